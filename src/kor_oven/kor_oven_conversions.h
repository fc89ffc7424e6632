/* Unit conversions between the UI (blower percent, belt cook time, UI oven state) and the IO board
 * (inverter frequency, blower and belt RPM, board oven state), using the configuration's
 * constants. Single-precision arithmetic and roundf, exactly, so the numbers match the board's. */
#ifndef KOR_OVEN_CONVERSIONS_H
#define KOR_OVEN_CONVERSIONS_H

#include <stdint.h>

#include "kor_oven_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* UI oven states */
#define KOR_UI_STATE_OFF 0
#define KOR_UI_STATE_PREHEAT 1
#define KOR_UI_STATE_IDLE 2
#define KOR_UI_STATE_BAKE 3
#define KOR_UI_STATE_COOLDOWN 4
#define KOR_UI_STATE_FAULT 5
#define KOR_UI_STATE_TEST 6
#define KOR_UI_STATE_SOAK 8

int32_t kor_srv_convert_board_state_to_ui_state(int32_t board_state);
int32_t kor_srv_convert_blower_hz_to_rpm(int32_t hz, const oven_config_t *config, int32_t *rpm);
int32_t kor_srv_convert_blower_rpm_to_hz(int32_t rpm, const oven_config_t *config, int32_t *hz);
int32_t kor_srv_convert_blower_percent_to_hz(int32_t percent, int32_t blower,
                                             const oven_config_t *config, int32_t *hz);
int32_t kor_srv_convert_hz_to_blower_percent(int32_t hz, int32_t blower,
                                             const oven_config_t *config, int32_t *percent);
int32_t kor_srv_convert_cook_time_to_rpm(int32_t cook_time, int32_t belt,
                                         const oven_config_t *config, int32_t *rpm);
int32_t kor_srv_convert_rpm_to_cook_time(int32_t rpm, int32_t belt, const oven_config_t *config,
                                         int32_t *cook_time);

#ifdef __cplusplus
}
#endif

#endif /* KOR_OVEN_CONVERSIONS_H */
