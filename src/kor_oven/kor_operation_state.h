/* The oven manager's single picture of what the oven is doing and what the operator asked for:
 * power, the IO board's oven state, belt and blower set points, readings, menu presets and the
 * pending IO board update. One process-wide record behind one leaf mutex; readers always get a
 * full copy. */
#ifndef KOR_OPERATION_STATE_H
#define KOR_OPERATION_STATE_H

#include <stdint.h>

#include "kor_oven_config.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KOR_STATE_TEXT_SIZE 256

typedef struct operation_state {
    uint16_t power;
    int32_t io_board_state;
    int32_t belt_state;
    uint16_t belt_cook_time[2];
    uint16_t blower_percent_target[4];
    uint16_t blower_percent_actual[4];
    uint16_t temp;
    uint16_t target_temp;
    uint16_t tc_readout[4];
    char menu_preset[2][KOR_STATE_TEXT_SIZE];
    uint8_t update_io_board_mode;
    char update_io_board_file_name[KOR_STATE_TEXT_SIZE];
} operation_state_t;

int32_t kor_initialize_operation_state(const oven_config_t *config);
int32_t kor_reinitialize_operation_state(const oven_config_t *config);
int32_t kor_uninitialize_operation_state(void);
int32_t kor_get_operation_state(operation_state_t *dst);

/* Setters store one field under the mutex and return 0. An index outside its array changes
 * nothing and returns -1. */
int32_t kor_state_set_power(uint16_t power);
int32_t kor_state_set_io_board_state(int32_t state);
int32_t kor_state_set_belt_state(int32_t state);
int32_t kor_state_set_belt_cook_time(int32_t index, uint16_t cook_time);
int32_t kor_state_set_blower_percent_target(int32_t index, uint16_t percent);
int32_t kor_state_set_blower_percent_actual(int32_t index, uint16_t percent);
int32_t kor_state_set_temp(uint16_t temp);
int32_t kor_state_set_target_temp(uint16_t temp);
int32_t kor_state_set_tc_readout(int32_t index, uint16_t temp);
int32_t kor_state_set_menu_preset(int32_t index, const char *text);
int32_t kor_state_set_update_io_board_mode(uint8_t mode);
int32_t kor_state_set_update_io_board_file_name(const char *text);

#ifdef __cplusplus
}
#endif

#endif /* KOR_OPERATION_STATE_H */
