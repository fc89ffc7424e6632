/* Oven configuration library (libkor_oven_config): the oven's configuration record, loaded from
 * the key/value store "settings" in a configuration directory, held once per process behind a
 * mutex and handed out as full copies. The oven manager changes single settings in memory with
 * the update operations; a reload replaces them with the store's values. */
#ifndef KOR_OVEN_CONFIG_H
#define KOR_OVEN_CONFIG_H

#include <stdint.h>

#include "zeb_logger.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KOR_CONFIG_TEXT_LEN 256 /* every text field, NUL included */
#define KOR_CONFIG_MAX_BLOWERS 4
#define KOR_CONFIG_MAX_INVERTERS 4
#define KOR_CONFIG_MAX_BELTS 2
#define KOR_CONFIG_HEATING_COOLDOWN_TEMP 200

/* Setting indexes: the position of each key in config_keys_strs. They number the settings for
 * the update operations and for the load failure line. */
enum kor_config_setting {
    KOR_CONFIG_OVEN_MODEL = 0,
    KOR_CONFIG_NUM_BELTS = 1,
    KOR_CONFIG_OVEN_TYPE = 2,
    KOR_CONFIG_SERIAL_NUMBER = 3,
    KOR_CONFIG_CUSTOMER_NAME = 4,
    KOR_CONFIG_PANEL_SWITCH_ENABLED = 5,
    KOR_CONFIG_INVERTER_VDC_MIN = 6,
    KOR_CONFIG_INVERTER_VDC_MAX = 7,
    KOR_CONFIG_INVERTER_HZ_MIN = 8,
    KOR_CONFIG_INVERTER_HZ_MAX = 9,
    KOR_CONFIG_INVERTER_HZ_START = 10,
    KOR_CONFIG_INVERTER_HZ_COOL = 11,
    KOR_CONFIG_INVERTER_PHOTO_DELAY_SECS = 12,
    KOR_CONFIG_NUM_BLOWERS = 13,
    KOR_CONFIG_BLOWER_SPEED_HIGH = 14,
    KOR_CONFIG_BLOWER_SPEED_IDLE = 15,
    KOR_CONFIG_BLOWER_SPEED_SET = 16,
    KOR_CONFIG_BLOWER_POS = 17,
    KOR_CONFIG_NUM_INVERTERS = 18,
    KOR_CONFIG_SENSOR_PULSES_PER_MIN = 19,
    KOR_CONFIG_HEATING_PID_P = 20,
    KOR_CONFIG_HEATING_PID_I = 21,
    KOR_CONFIG_HEATING_PID_D = 22,
    KOR_CONFIG_HEATING_ACTIVE_PROBES = 23,
    KOR_CONFIG_HEATING_NUM_CAVITY_ACTIVE_PROBES = 24,
    KOR_CONFIG_HEATING_GAS_ATTENUATION_ACTIVE = 25,
    KOR_CONFIG_HEATING_GAS_ATTENUATION_SET_TEMP = 26,
    KOR_CONFIG_HEATING_GAS_ATTENUATION_IDLE_MIN = 27,
    KOR_CONFIG_HEATING_GAS_ATTENUATION_STARTUP = 28,
    KOR_CONFIG_HEATING_GAS_ATTENUATION_VALVE_NO_NC = 29,
    KOR_CONFIG_HEATING_SET_TEMP = 30,
    KOR_CONFIG_HEATING_TEMP_MIN = 31,
    KOR_CONFIG_HEATING_TEMP_MAX = 32,
    KOR_CONFIG_HEAT_MAXIMUM_OUTPUT = 33,
    KOR_CONFIG_HEATING_HIGH_LIMIT_ENABLE = 34,
    KOR_CONFIG_BELT_LENGTH = 35,
    KOR_CONFIG_BELT_SHAFT = 36,
    KOR_CONFIG_BELT_MOTOR_TEETH = 37,
    KOR_CONFIG_BELT_CONVEYOR_TEETH = 38,
    KOR_CONFIG_BELT_MOTOR_RATIO = 39,
    KOR_CONFIG_BELT_DIRECTION = 40,
    KOR_CONFIG_BELT_MIN_COOK_TIME = 41,
    KOR_CONFIG_BELT_MAX_COOK_TIME = 42,
    KOR_CONFIG_BELT_COOK_TIME = 43,
    KOR_CONFIG_BELT_MIN_RPM = 44,
    KOR_CONFIG_BELT_MAX_RPM = 45,
    KOR_CONFIG_BELT_POS = 46,
    KOR_CONFIG_BELT_PID_P = 47,
    KOR_CONFIG_BELT_PID_I = 48,
    KOR_CONFIG_BELT_PID_D = 49,
    KOR_CONFIG_TWEAK_SPEED_PERCENT = 50,
    KOR_CONFIG_BELT_RPM_MODIFIER_PERCENT = 51,
    KOR_CONFIG_HZ_RPM_MULTIPLIER = 52,
    KOR_CONFIG_HZ_RPM_OFFSET = 53,
    KOR_CONFIG_BLOWER_SPEED_SENSE_ERROR = 54,
    KOR_CONFIG_PHOTOEYE_ENABLE = 55,
    KOR_CONFIG_SPEED_SENSOR_CONFIGURATION = 56,
    KOR_CONFIG_UI_FIRMWARE = 57,
    KOR_CONFIG_IO_FIRMWARE = 58,
    KOR_CONFIG_DRIVE_BOARD_1 = 59,
    KOR_CONFIG_DRIVE_BOARD_2 = 60,
    KOR_CONFIG_NUM_SETTINGS = 61
};

/* Key names by setting index; per-position keys end in "_" and take the 1-based position. */
extern const char *const config_keys_strs[KOR_CONFIG_NUM_SETTINGS];

typedef struct blower_config {
    int32_t speed_high;
    int32_t speed_idle;
    int32_t speed_set;
    char pos[KOR_CONFIG_TEXT_LEN];
} blower_config_t;

typedef struct belt_config {
    int32_t cook_time;
    char pos[KOR_CONFIG_TEXT_LEN];
    float belt_shaft;
    int32_t belt_motor_teeth;
    int32_t belt_conveyor_teeth;
    int32_t belt_motor_ratio;
    int32_t belt_min_cook_time;
    int32_t belt_max_cook_time;
    int32_t min_rpm;
    int32_t max_rpm;
    int32_t pid_p;
    int32_t pid_i;
    int32_t pid_d;
    int32_t tweak_speed_percent;
    int32_t rpm_modifier_percent;
} belt_config_t;

typedef struct oven_config {
    char model_name[KOR_CONFIG_TEXT_LEN];
    int32_t oven_type;
    char serial_number[KOR_CONFIG_TEXT_LEN];
    char customer_name[KOR_CONFIG_TEXT_LEN];
    int32_t panel_switch_enabled;
    int32_t inverter_vdc_min;
    int32_t inverter_vdc_max;
    int32_t inverter_hz_min; /* tenths of Hz */
    int32_t inverter_hz_max; /* tenths of Hz */
    int32_t inverter_hz_start;
    int32_t inverter_hz_cool;
    int32_t inverter_photo_delay_secs;
    int32_t num_blowers; /* 0 to KOR_CONFIG_MAX_BLOWERS after a successful load */
    blower_config_t blower[KOR_CONFIG_MAX_BLOWERS];
    int32_t num_inverters; /* 0 to KOR_CONFIG_MAX_INVERTERS after a successful load */
    int32_t inverter_sensor_pulses_per_min[KOR_CONFIG_MAX_INVERTERS];
    int32_t heating_pid_p;
    int32_t heating_pid_i;
    int32_t heating_pid_d;
    char heating_active_probes[KOR_CONFIG_TEXT_LEN];
    int32_t heating_num_cavity_active_probes;
    int32_t heating_gas_attenuation_active;
    int32_t heating_gas_attenuation_set_temp;
    int32_t heating_gas_attenuation_idle_min;
    char heating_gas_attenuation_startup[KOR_CONFIG_TEXT_LEN];
    int32_t heating_gas_attenuation_valve_no_nc;
    int32_t heating_set_temp;
    int32_t heating_cooldown_temp; /* always KOR_CONFIG_HEATING_COOLDOWN_TEMP once loaded */
    int32_t heating_temp_min;
    int32_t heating_temp_max;
    int32_t heat_maximum_output;
    int32_t heating_high_limit_enable;
    float belt_length;
    int32_t belt_direction;
    int32_t num_belts; /* 0 to KOR_CONFIG_MAX_BELTS; both belt entries are loaded whatever it is */
    belt_config_t belt[KOR_CONFIG_MAX_BELTS];
    float hz_rpm_multiplier;
    float hz_rpm_offset;
    char blower_speed_sense_error[KOR_CONFIG_TEXT_LEN];
    int32_t photoeye_enable;
    char speed_sensor_configuration[KOR_CONFIG_TEXT_LEN];
    /* Firmware versions (settings 57 to 60): never in the store, set by the update operation. */
    int32_t ui_firmware;
    int32_t io_firmware;
    int32_t drive_board_1;
    int32_t drive_board_2;
} oven_config_t;

/* Loads "<dir>/settings" into the cleared record. -22 for a null dir; otherwise 0 or the code of
 * the failing store call (-1 for a count outside its array, -36 for a path that does not fit),
 * after the log line "FAILED to load setting <index>. Err: <code>". logger serves this load
 * only; the library's later messages go through a handle of its own. */
int32_t kor_load_oven_config(const char *dir, zeb_logger_t *logger);
/* The same, after the store has changed. */
int32_t kor_reload_oven_config(const char *dir, zeb_logger_t *logger);
/* Full copy of the record; -1 for a null dst. */
int32_t kor_get_oven_config(oven_config_t *dst);
/* Writes the record to the log, one line a field; -22 for a null logger. */
int32_t kor_dump_oven_config(zeb_logger_t *logger);

/* In-memory updates; nothing is written to the store. A setting they do not handle changes
 * nothing and returns 0. A per-belt setting with an index outside 0-1, a null text or a belt
 * count outside 0-2 changes nothing and returns -1.
 * int: settings 1, 24, 30, 31, 32, the per-belt settings 36-39, 41-45, 50, 51 (36 stored as a
 * float), and the firmware versions 57-60; index is looked at only for the per-belt ones.
 * Setting 30 (heating_set_temp, the operator's target) outlives a reload of a store whose own
 * heating_set_temp has not changed since the last load; a load always takes the store's. */
int32_t kor_config_update_setting_int(uint32_t setting, int32_t index, int32_t value);
/* str: setting 23 (heating_active_probes); the text is cut at 255 characters. */
int32_t kor_config_update_setting_str(uint32_t setting, const char *text);
/* flt: setting 36 (belt_shaft_ of belt index). */
int32_t kor_config_update_setting_flt(uint32_t setting, int32_t index, float value);

#ifdef __cplusplus
}
#endif

#endif /* KOR_OVEN_CONFIG_H */
