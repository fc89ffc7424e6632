/* UI notifications: one function per event the oven manager tells the touch UI (broadcast to
 * every registered client) or the firmware-update service (channel "zeb_update"). Each builds the
 * packed data of its format descriptor and returns the bus result. */
#ifndef KOR_OVEN_NOTIFY_H
#define KOR_OVEN_NOTIFY_H

#include <stdint.h>

#include "kor_oven_status.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KOR_DIAGNOSTIC_VALUES 38

int32_t notify_oven_state(int32_t ui_state, int32_t board_state);
int32_t notify_oven_temperature(int32_t temperature, int32_t target, int32_t heat_percent);
int32_t notify_tc_temperature(const int16_t tc[6]);
int32_t notify_power_on(void);
int32_t notify_power_off(void);
int32_t notify_preheat_complete(void);
int32_t notify_cooldown(void);
int32_t notify_belt_target_cook_time(int32_t belt, int32_t cook_time);
int32_t notify_belt_measured_cook_time(const uint16_t rpm[2], const uint16_t cook_time[2]);
int32_t notify_oven_belt_status(int32_t belt, int32_t status);
int32_t notify_oven_fan_speed(int32_t fan, int32_t speed);
int32_t notify_oven_fan_target_speed(int32_t fan, int32_t speed);
int32_t notify_oven_fan_rpm_hz(const uint16_t rpm[4], const float hz[4],
                               int32_t cooling_fan_status);
int32_t notify_photoeye_detection(int32_t detect);
int32_t notify_photoeye_enable(int32_t enable);
int32_t notify_ignitor_status(int32_t status);
int32_t notify_manifold_status(int32_t manifold_valve, int32_t air_pos);
int32_t notify_factory_reset_ready(int32_t status);
/* text: at most 7 characters are sent (an 8-byte field with its NUL). */
int32_t notify_tc_enable_changed(int32_t enabled_tcs, const char *text);
/* The 38 diagnostic values (152 bytes), passed through as read. */
int32_t notify_diagnostic_registers(const diagnostic_reg_data_t *data);
int32_t notify_soak_timer(int32_t seconds, int32_t initial);
int32_t notify_firmware_versions(uint16_t io_version, uint16_t bldc_version_1,
                                 uint16_t bldc_version_2);
int32_t notify_oven_voltage(uint16_t voltage);
int32_t notify_dump_logs(void);

/* To the firmware-update service ("zeb_update"). */
#define KOR_UPDATE_ACCEPTED 1
#define KOR_UPDATE_IGNORED 2
#define KOR_UPDATE_TRANSFERRED 3
#define KOR_UPDATE_FAILED 4
int32_t notify_update_io_board_response(int32_t response);
int32_t subscribe_update_service(void);

#ifdef __cplusplus
}
#endif

#endif /* KOR_OVEN_NOTIFY_H */
