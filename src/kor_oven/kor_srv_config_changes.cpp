// Configuration changes of the operation service: applies one setting from the UI's service and
// setup screens (the UI's own setting numbers 0-60). It updates the configuration record where the
// setting is a configuration key, writes the IO board where the board holds it, and rewrites a
// belt's speed when the setting changes the cook-time-to-RPM constants, so the belt keeps the
// operator's cook time. The first failing write ends the change; nothing is rolled back. A value
// that a register of the setting cannot hold is refused before anything is written.
#include "kor_oven_operation_srv.h"
#include "kor_srv_log.hpp"

namespace {

// Frequencies arrive in whole Hz and go to the board in tenths, cut to a register word.
uint16_t tenths_of_hz(int32_t hz) {
    return static_cast<uint16_t>(static_cast<int64_t>(hz) * 10);
}

// The largest value a setting's board write carries without wrapping: a 16-bit word, or a word
// of tenths of Hz for the settings given in whole Hz; -1 for settings whose value reaches no
// register (configuration only, thermocouple switches, the belt-enabled mask, nothing at all).
int32_t board_word_limit(int32_t setting) {
    constexpr int32_t kWord = 0xFFFF;
    if (setting >= 40 && setting <= 45) {
        return kWord / 10;
    }
    if (setting == 8 || setting == 9 || (setting >= 14 && setting <= 18) ||
        (setting >= 20 && setting <= 28) || (setting >= 36 && setting <= 39) ||
        (setting >= 46 && setting <= 51) || (setting >= 58 && setting <= 60)) {
        return kWord;
    }
    return -1;
}

// Runs the setting's action; sets belt to the belt (1-2) whose speed must follow, else leaves 0.
int32_t apply_setting(oven_operation_srv_t *srv, modbus_data_t *modbus, int32_t setting,
                      int32_t value, int32_t &belt) {
    const uint16_t word = static_cast<uint16_t>(value);
    auto config_int = [&](uint32_t key, int32_t index) {
        return srv->kor_config_update_setting_int(key, index, value);
    };

    int32_t rc = 0;
    switch (setting) {
        case 0:
        case 1:
            belt = setting + 1;
            return config_int(KOR_CONFIG_BELT_CONVEYOR_TEETH, setting);
        case 2:
        case 3:
            belt = setting - 1;
            return config_int(KOR_CONFIG_BELT_MOTOR_TEETH, setting - 2);
        case 4:
        case 5:
            belt = setting - 3;
            return config_int(KOR_CONFIG_BELT_MOTOR_RATIO, setting - 4);
        case 6:
        case 7:
            // The UI sends the conveyor pitch in hundredths.
            belt = setting - 5;
            return srv->kor_config_update_setting_flt(KOR_CONFIG_BELT_SHAFT, setting - 6,
                                                      static_cast<float>(value) / 100.0f);
        case 8:
            rc = config_int(KOR_CONFIG_BELT_MIN_RPM, 0);
            if (rc == 0)
                rc = config_int(KOR_CONFIG_BELT_MIN_RPM, 1);
            if (rc == 0)
                rc = srv->kor_set_belt_min_rpm(modbus, 1, word);
            if (rc == 0)
                rc = srv->kor_set_belt_min_rpm(modbus, 2, word);
            return rc;
        case 9:
            rc = config_int(KOR_CONFIG_BELT_MAX_RPM, 0);
            if (rc == 0)
                rc = config_int(KOR_CONFIG_BELT_MAX_RPM, 1);
            if (rc == 0)
                rc = srv->kor_set_belt_max_rpm(modbus, 1, word);
            if (rc == 0)
                rc = srv->kor_set_belt_max_rpm(modbus, 2, word);
            return rc;
        case 10:
            return config_int(KOR_CONFIG_BELT_MIN_COOK_TIME, 0);
        case 11:
            return config_int(KOR_CONFIG_BELT_MAX_COOK_TIME, 0);
        case 12:
            return config_int(KOR_CONFIG_BELT_MIN_COOK_TIME, 1);
        case 13:
            return config_int(KOR_CONFIG_BELT_MAX_COOK_TIME, 1);
        case 14:
        case 15:
            return srv->kor_set_belt_enable_test(modbus, word);
        case 16:
        case 17:
            belt = setting - 15;
            rc = config_int(KOR_CONFIG_BELT_COOK_TIME, setting - 16);
            if (rc == 0)
                rc = srv->kor_set_belt_speed(modbus, belt, word);
            return rc;
        case 18:
            rc = srv->kor_set_belt_direction(modbus, 1, word);
            if (rc == 0)
                rc = srv->kor_set_belt_direction(modbus, 2, word);
            return rc;
        case 19:
            rc = config_int(KOR_CONFIG_NUM_BELTS, 0);
            if (rc == 0)
                rc = srv->kor_set_belt_enabled(modbus, value == 1 ? 1 : 3);
            return rc;
        case 20:
            return srv->kor_set_heater_enable_relay_test(modbus, word);
        case 21:
            return srv->kor_set_heater_level_setting_test(modbus, word);
        case 22:
            return srv->kor_set_heater_energy_limit(modbus, word);
        case 23:
            return srv->kor_set_heater_attenuation_enable(modbus, word);
        case 24:
            return srv->kor_set_heater_attenuation_threshold(modbus, word);
        case 25:
            return srv->kor_set_heater_attenuation_delay(modbus, word);
        case 26:
            return srv->kor_set_heater_pid_p(modbus, word);
        case 27:
            return srv->kor_set_heater_pid_i(modbus, word);
        case 28:
            return srv->kor_set_heater_pid_d(modbus, word);
        case 30:
        case 31:
        case 32:
        case 33:
        case 34: {
            // Thermocouple enable works on the current record: an earlier change may have
            // rewritten the probes text since the caller's copy was taken.
            oven_config_t config{};
            rc = srv->kor_get_oven_config(&config);
            if (rc == 0)
                rc = kor_srv_enable_tc(srv, modbus, &config, setting - 29, value != 0 ? 1 : 0);
            return rc;
        }
        case 36:
            return srv->kor_oven_set_machine_config(modbus, word);
        case 37:
            return srv->kor_set_heater_manifold_valve_test(modbus, word);
        case 38:
            return srv->kor_set_heater_attenuation_relay_no_nc(modbus, word);
        case 39:
            return srv->kor_set_blower_enable_relay_test(modbus, word);
        case 40:
            for (int32_t n = 1; rc == 0 && n <= 4; ++n) {
                rc = srv->kor_set_blower_hz_startup(modbus, n, tenths_of_hz(value));
            }
            return rc;
        case 41:
            for (int32_t n = 1; rc == 0 && n <= 4; ++n) {
                rc = srv->kor_set_blower_hz_cooldown(modbus, n, tenths_of_hz(value));
            }
            return rc;
        case 42:
        case 43:
        case 44:
        case 45:
            return srv->kor_set_blower_speed(modbus, setting - 41, tenths_of_hz(value));
        case 46:
        case 47:
        case 48:
        case 49:
            return srv->kor_set_inverter_pulse_threshold(modbus, setting - 45, word);
        case 50:
            return srv->kor_set_heater_photocell_enable(modbus, word);
        case 51:
            return srv->kor_set_heater_photocell_delay(modbus, word);
        case 52:
            return config_int(KOR_CONFIG_HEATING_TEMP_MIN, 0);
        case 53:
            return config_int(KOR_CONFIG_HEATING_TEMP_MAX, 0);
        case 54:
        case 55:
            belt = setting - 53;
            return config_int(KOR_CONFIG_TWEAK_SPEED_PERCENT, setting - 54);
        case 56:
        case 57:
            belt = setting - 55;
            return config_int(KOR_CONFIG_BELT_RPM_MODIFIER_PERCENT, setting - 56);
        case 58:
            return srv->kor_set_heater_autotune_enable(modbus, word);
        case 59:
            return srv->kor_oven_set_panel_switch_enable(modbus, word);
        case 60:
            return srv->kor_oven_set_heat_high_limit_enable(modbus, word);
        default:
            // 29, 35 and numbers outside the UI's range: nothing beyond the log line.
            return 0;
    }
}

// Rewrites the belt's speed from the operator's cook time with the new formula constants.
int32_t recalculate_belt(oven_operation_srv_t *srv, modbus_data_t *modbus, int32_t belt) {
    oven_config_t config{};
    int32_t rc = srv->kor_get_oven_config(&config);
    if (rc != 0) {
        return rc;
    }
    operation_state_t state{};
    rc = srv->kor_get_operation_state(&state);
    if (rc != 0) {
        return rc;
    }
    return kor_srv_set_belt_cook_time(srv, modbus, &config, belt, state.belt_cook_time[belt - 1]);
}

}  // namespace

int32_t kor_srv_config_setting_changed(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                       int32_t setting, int32_t value) {
    if (srv == nullptr || modbus == nullptr) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", "kor_srv_config_changes",
                    __LINE__);
        return -1;
    }
    KOR_SRV_LOG(ZEB_LOG_INFO, "Oven config setting changed. Setting: %d, value: %d", setting,
                value);

    if (const int32_t limit = board_word_limit(setting);
        limit >= 0 && (value < 0 || value > limit)) {
        // Refused before the configuration or the board is touched: cut to a word it would wrap.
        KOR_SRV_LOG(ZEB_LOG_WARNING, "Refusing config setting %d: value %d out of range (0 to %d)",
                    setting, value, limit);
        return -1;
    }

    int32_t belt = 0;
    int32_t rc = apply_setting(srv, modbus, setting, value, belt);

    if (belt == 1 || belt == 2) {
        KOR_SRV_LOG(ZEB_LOG_INFO, "Recalculating belt RPM for IO Board");
        if (rc == 0) {
            rc = recalculate_belt(srv, modbus, belt);
        }
    }

    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Oven config setting changed FAILED! Error: %d", rc);
    }
    return rc;
}
