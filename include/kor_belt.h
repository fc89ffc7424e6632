/* IO board link, conveyor belt registers: the seven registers of each belt position 1-2 (RPM
 * limits, speed, direction, PID), the belt-enabled mask (15), the photo-eye timeout (7) and the
 * belt test. Values pass through unchanged (speeds in RPM); the caller converts.
 *
 * Setters return 0 once their writes are queued, -1 for a null context or a position other than
 * 1 and 2 (nothing is queued then), else the transport's code. Getters return 0 with the outputs
 * set, or -1 for a null argument, a bad position (no bus traffic) or a failed read. */
#ifndef KOR_BELT_H
#define KOR_BELT_H

#include <stdint.h>

#include "kor_modbus.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KOR_BELT_COUNT 2

/* Register addresses of one belt position; all zero for a position that does not exist. */
typedef struct belt_addresses {
    uint32_t min_rpm;   /* 3 / 11 */
    uint32_t max_rpm;   /* 4 / 12 */
    uint32_t speed;     /* 5 / 13 */
    uint32_t direction; /* 6 / 14 */
    uint32_t pid_p;     /* 8 / 16 */
    uint32_t pid_i;     /* 9 / 17 */
    uint32_t pid_d;     /* 10 / 18 */
} belt_addresses_t;

belt_addresses_t get_belt_addresses(int32_t belt);

/* Seven writes in this order: minimum RPM, maximum RPM, direction, speed, P, I, D; stops at the
 * first refused enqueue and returns its code. */
int kor_belt_init(modbus_data_t *ctx, int32_t belt, uint16_t min_rpm, uint16_t max_rpm,
                  uint16_t direction, uint16_t speed, uint16_t pid_p, uint16_t pid_i,
                  uint16_t pid_d);
/* Bit 0 belt 1, bit 1 belt 2. */
int kor_set_belt_enabled(modbus_data_t *ctx, uint16_t mask); /* 15 */
int kor_set_belt_direction(modbus_data_t *ctx, int32_t belt, uint16_t value);
int kor_set_belt_speed(modbus_data_t *ctx, int32_t belt, uint16_t value);
int kor_set_belt_min_rpm(modbus_data_t *ctx, int32_t belt, uint16_t value);
int kor_set_belt_max_rpm(modbus_data_t *ctx, int32_t belt, uint16_t value);
int kor_set_photoeye_timeout(modbus_data_t *ctx, uint16_t seconds); /* 7 */
/* P, I, D in order; stops at the first refused enqueue. */
int kor_set_belt_pid(modbus_data_t *ctx, int32_t belt, uint16_t p, uint16_t i, uint16_t d);
/* Reads P, I, D in order, stopping at the first failure. */
int kor_get_belt_pid(modbus_data_t *ctx, int32_t belt, uint16_t *p, uint16_t *i, uint16_t *d);
/* Test selector 74 := 3 when on is 1, else 0. */
int kor_set_belt_enable_test(modbus_data_t *ctx, uint16_t on);

#ifdef __cplusplus
}
#endif

#endif /* KOR_BELT_H */
