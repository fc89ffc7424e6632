/* IO board link, blower registers: the nine inverter registers of each blower position 1-4 (base
 * 20, 29, 38, 47), the inverter pulse thresholds (70-73), the photocell delay (19) and the shared
 * blower masks. Values pass through unchanged (frequencies in the board's units); the caller
 * converts.
 *
 * Setters return 0 once their write is queued, -1 for a null context or a position outside 1-4
 * (nothing is queued then), else the transport's code. Getters return 0 with *value set, or -1
 * for a null argument, a position outside 1-4 (no bus traffic) or a failed read. */
#ifndef KOR_BLOWER_H
#define KOR_BLOWER_H

#include <stdint.h>

#include "kor_modbus.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KOR_BLOWER_COUNT 4

/* Register addresses of one blower position, in register order; all zero for a position that
 * does not exist. */
typedef struct blower_addresses {
    uint32_t enable;          /* b */
    uint32_t vdc_min;         /* b + 1 */
    uint32_t vdc_max;         /* b + 2 */
    uint32_t hz_startup;      /* b + 3 */
    uint32_t hz_high;         /* b + 4, the set speed */
    uint32_t hz_idle;         /* b + 5 */
    uint32_t hz_cooldown;     /* b + 6 */
    uint32_t hz_min;          /* b + 7 */
    uint32_t hz_max;          /* b + 8 */
    uint32_t pulse_threshold; /* 69 + n */
    uint32_t photocell_delay; /* 19, shared */
} blower_addresses_t;

blower_addresses_t get_blower_addresses(int32_t blower);
/* 70-73, or -1 for a position outside 1-4. */
int32_t get_inverter_pulse_threshold_address(int32_t blower);

/* Ten writes in this order: enable := 1, vdc_min, vdc_max, hz_min, hz_max, hz_startup, hz_idle,
 * hz_high, hz_cooldown, photocell delay (19); stops at the first refused enqueue. */
int kor_init_blower(modbus_data_t *ctx, int32_t blower, uint16_t vdc_min, uint16_t vdc_max,
                    uint16_t hz_min, uint16_t hz_max, uint16_t hz_startup, uint16_t hz_idle,
                    uint16_t hz_high, uint16_t hz_cooldown, uint16_t photocell_delay);
int kor_set_inverter_pulse_threshold(modbus_data_t *ctx, int32_t blower, uint16_t value);
int kor_set_blower_speed(modbus_data_t *ctx, int32_t blower, uint16_t value);
int kor_set_blower_hz_startup(modbus_data_t *ctx, int32_t blower, uint16_t value);
int kor_set_blower_hz_cooldown(modbus_data_t *ctx, int32_t blower, uint16_t value);
/* Test selector 74 := 1 when on is 1, else 0. */
int kor_set_blower_enable_relay_test(modbus_data_t *ctx, uint16_t on);
/* Blower 1 is bit 3 of both masks, blower 4 bit 0. */
int kor_set_blower_speed_sense_error(modbus_data_t *ctx, uint16_t mask);          /* 92 */
int kor_set_blower_speed_sensor_configuration(modbus_data_t *ctx, uint16_t mask); /* 93 */

int kor_get_blower_vdc_min(modbus_data_t *ctx, int32_t blower, uint16_t *value);
int kor_get_blower_vdc_max(modbus_data_t *ctx, int32_t blower, uint16_t *value);
int kor_get_blower_hz_min(modbus_data_t *ctx, int32_t blower, uint16_t *value);
int kor_get_blower_hz_max(modbus_data_t *ctx, int32_t blower, uint16_t *value);
int kor_get_blower_hz_startup(modbus_data_t *ctx, int32_t blower, uint16_t *value);
int kor_get_blower_hz_idle(modbus_data_t *ctx, int32_t blower, uint16_t *value);
int kor_get_blower_hz_high(modbus_data_t *ctx, int32_t blower, uint16_t *value);
int kor_get_blower_hz_cooldown(modbus_data_t *ctx, int32_t blower, uint16_t *value);

#ifdef __cplusplus
}
#endif

#endif /* KOR_BLOWER_H */
