/* IO board link, heater registers: target temperature, PID, thermocouple enable mask, ignition,
 * gas attenuation, air damper, photocell, energy limit, the heater tests, heat high-limit and heat
 * maximum output. Values pass through unchanged; the caller converts units.
 *
 * Setters return 0 once their write is queued, -1 for a null context, else the transport's code.
 * Getters return 0 with the output set, or -1 for a null argument (no bus traffic) or a failed
 * read. */
#ifndef KOR_HEATER_H
#define KOR_HEATER_H

#include <stdint.h>

#include "kor_modbus.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Nine writes in this order: PID P (57), I (58), D (59), target temperature (56), thermocouple
 * enable (75), attenuation enable (62), relay no/nc (65), high-limit enable (80), heat maximum
 * output (77); stops at the first refused enqueue and returns its code. */
int kor_heater_init(modbus_data_t *ctx, uint16_t pid_p, uint16_t pid_i, uint16_t pid_d,
                    uint16_t target_temp, uint16_t tc_enable, uint16_t attenuation_enable,
                    uint16_t relay_no_nc, uint16_t high_limit_enable, uint16_t heat_max_output);

int kor_set_heater_tc_enable(modbus_data_t *ctx, uint16_t mask);                /* 75 */
int kor_set_heater_target_temp(modbus_data_t *ctx, uint16_t value);             /* 56 */
int kor_set_heater_ignition_enable(modbus_data_t *ctx, uint16_t value);         /* 60 */
int kor_set_heater_attenuation_enable(modbus_data_t *ctx, uint16_t value);      /* 62 */
int kor_set_heater_attenuation_threshold(modbus_data_t *ctx, uint16_t value);   /* 63 */
int kor_set_heater_attenuation_delay(modbus_data_t *ctx, uint16_t value);       /* 64 */
int kor_set_heater_pid_p(modbus_data_t *ctx, uint16_t value);                   /* 57 */
int kor_set_heater_pid_i(modbus_data_t *ctx, uint16_t value);                   /* 58 */
int kor_set_heater_pid_d(modbus_data_t *ctx, uint16_t value);                   /* 59 */
int kor_set_heater_attenuation_relay_no_nc(modbus_data_t *ctx, uint16_t value); /* 65 */
int kor_set_heater_air_damper_pos(modbus_data_t *ctx, uint16_t value);          /* 66 */
int kor_set_heater_pid_tuning(modbus_data_t *ctx, uint16_t value);              /* 68 */
int kor_set_heater_photocell_enable(modbus_data_t *ctx, uint16_t value);        /* 69 */
int kor_set_heater_photocell_delay(modbus_data_t *ctx, uint16_t value);         /* 19 */
/* Test selector 74 := 2 when on is 1, else 0. */
int kor_set_heater_enable_relay_test(modbus_data_t *ctx, uint16_t on);
int kor_set_heater_energy_limit(modbus_data_t *ctx, uint16_t value);        /* 76 */
int kor_set_heater_level_setting_test(modbus_data_t *ctx, uint16_t value);  /* 79 */
int kor_set_heater_manifold_valve_test(modbus_data_t *ctx, uint16_t value); /* 310 */
int kor_set_heater_autotune_enable(modbus_data_t *ctx, uint16_t value);     /* 81 */

/* Reads P (57), I (58), D (59) in order, stopping at the first failure. */
int kor_get_heater_pid(modbus_data_t *ctx, uint16_t *p, uint16_t *i, uint16_t *d);
int kor_get_heater_ignition_enable(modbus_data_t *ctx, uint16_t *value);         /* 60 */
int kor_get_heater_ignition_status(modbus_data_t *ctx, uint16_t *value);         /* 117 */
int kor_get_heater_attenuation_enable(modbus_data_t *ctx, uint16_t *value);      /* 62 */
int kor_get_heater_attenuation_threshold(modbus_data_t *ctx, uint16_t *value);   /* 63 */
int kor_get_heater_attenuation_relay_no_nc(modbus_data_t *ctx, uint16_t *value); /* 65 */
int kor_get_heater_air_damper_pos(modbus_data_t *ctx, uint16_t *value);          /* 66 */
int kor_get_heater_air_damper_pos_feedback(modbus_data_t *ctx, uint16_t *value); /* 118 */
int kor_get_heater_photocell_enable(modbus_data_t *ctx, uint16_t *value);        /* 69 */

#ifdef __cplusplus
}
#endif

#endif /* KOR_HEATER_H */
