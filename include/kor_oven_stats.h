/* Oven statistics library (libkor_oven_stats): the oven's usage statistics in the statistics
 * store "sys_stat" of the configuration directory. Run-time trackers for the powered oven, the
 * energy-saving mode and each belt; the cook time derived from them; period averages of the
 * setpoints. Times are in the store's unit, seconds. Every store failure is logged with its
 * code and returned; a file that cannot be written is not such a failure (see
 * kor_stats_store_status). */
#ifndef KOR_OVEN_STATS_H
#define KOR_OVEN_STATS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KOR_STATS_AVERAGE_PERIOD 600

/* Opens "<dir>/sys_stat" and starts the powered-on and energy-mode trackers. 0, -1 for a null
 * dir or a path that does not fit, or the store's code. */
int32_t kor_init_stats(const char *dir);
/* 0 while the store's file is written (or the store is not open), else the code of the last
 * write that failed: the statistics are kept in memory meanwhile and written with the next
 * change that finds the disk writable again. */
int32_t kor_stats_store_status(void);
/* Closes the store; the result of the close (-1 when it was not open). */
int32_t kor_close_stats(void);
/* Brings the running totals of every running tracker up to date in the store. Returns 0. */
int32_t kor_stats_update_time_trackers(void);
/* on = 1 starts the tracker, anything else ends it. Return 0; the store's result is ignored. */
int32_t kor_stats_powered_on(int32_t on);
int32_t kor_stats_in_energy_mode(int32_t on);
/* Powered-on time; -1 for a null out, else 0 or the store's code. */
int32_t kor_stats_get_powered_on(int32_t *out);
/* Powered-on time minus energy-mode time; out is left untouched on failure. */
int32_t kor_stats_get_cook_time(int32_t *out);
/* Setpoint averages over KOR_STATS_AVERAGE_PERIOD. A blower outside 1-4 or a belt outside 1-2
 * records nothing and returns 0. */
int32_t kor_stats_set_temp(uint32_t value);
int32_t kor_stats_set_blower_speed(int32_t blower, uint32_t value);
int32_t kor_stats_set_belt_time(int32_t belt, uint32_t value);
/* Belt run time (belt 1-2): rpm above 0 starts (or keeps running) "belt_<n>_run_timer", rpm 0
 * ends it. -1 for a belt outside 1-2 or a negative rpm, else 0 or the store's code. */
int32_t kor_stats_set_belt_run_time(int32_t belt, int32_t rpm);
/* The belt's accumulated run time; 0 for a belt that has never run. -1 for a null out or a belt
 * outside 1-2, else 0 or the store's code. */
int32_t kor_stats_get_belt_run_time(int32_t belt, int32_t *out);

#ifdef __cplusplus
}
#endif

#endif /* KOR_OVEN_STATS_H */
