/* Platform statistics store: the same text format as the configuration store, rewritten
 * atomically. Time unit: seconds. A run-time tracker keeps its accumulated seconds; start marks
 * the moment (monotonic clock); update with end flag 0 adds the elapsed time and goes on, with
 * end flag 1 adds it and stops. A period average keeps the average of the values recorded within
 * the period. Values survive a restart; a file that cannot be parsed is set aside as
 * "<file>.corrupt" with a warning and the statistics start again from zero. */
#ifndef ZEB_STAT_H
#define ZEB_STAT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zeb_stat zeb_stat_t;

int zeb_stat_open(const char *path, zeb_stat_t **handle);
int zeb_stat_runtime_start(zeb_stat_t *handle, const char *name);
int zeb_stat_runtime_update(zeb_stat_t *handle, const char *name, int32_t end);
/* The entry's current value: a tracker's seconds (including a running stretch), an average. */
int zeb_stat_get_field(zeb_stat_t *handle, const char *name, int32_t *value);
int zeb_stat_average_period(zeb_stat_t *handle, const char *name, uint32_t value, int32_t period_s);
int zeb_stat_close(zeb_stat_t *handle);

#ifdef __cplusplus
}
#endif

#endif /* ZEB_STAT_H */
