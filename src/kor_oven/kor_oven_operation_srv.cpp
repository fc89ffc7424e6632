// The operation service's record and start-up: creating and freeing the table of outside
// operations (oven_operation_srv_t), the service logger, and the start-up writes that load the
// configuration into the IO board (oven status, blowers and inverters, belts, photo-eye, heater)
// together with the bitmask builders they need. Owns the record it allocates and the service's
// logger handle. Every outside operation is reached through the record; only the belt
// conversion is called directly.
#include "kor_oven_operation_srv.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kor_srv_log.hpp"

namespace {

constexpr const char *kSourceName = "kor_oven_operation_srv";

#define KOR_SRV_INVALID_INPUT() \
    KOR_SRV_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kSourceName, __LINE__)

std::mutex g_logger_lock;
zeb_logger_t *g_logger = nullptr;

// Prints the line on standard output and writes it to the log at level 6.
#define KOR_SRV_PRINT_AND_LOG(...)              \
    do {                                        \
        std::printf(__VA_ARGS__);               \
        std::printf("\n");                      \
        std::fflush(stdout);                    \
        KOR_SRV_LOG(ZEB_LOG_INFO, __VA_ARGS__); \
    } while (0)

void bind_operations(oven_operation_srv_t *srv) {
#define KOR_SRV_BIND(fn) srv->fn = &::fn
    KOR_SRV_BIND(kor_oven_set_oven_enable);                     // 1
    KOR_SRV_BIND(kor_oven_set_machine_config);                  // 2
    KOR_SRV_BIND(kor_set_heater_target_temp);                   // 3
    KOR_SRV_BIND(kor_set_belt_speed);                           // 4
    KOR_SRV_BIND(kor_set_belt_min_rpm);                         // 5
    KOR_SRV_BIND(kor_set_belt_max_rpm);                         // 6
    KOR_SRV_BIND(kor_set_belt_enable_test);                     // 7
    KOR_SRV_BIND(kor_set_belt_direction);                       // 8
    KOR_SRV_BIND(kor_set_belt_enabled);                         // 9
    KOR_SRV_BIND(kor_state_set_belt_cook_time);                 // 10
    KOR_SRV_BIND(kor_stats_set_belt_time);                      // 11
    KOR_SRV_BIND(kor_stats_set_belt_run_time);                  // 12
    KOR_SRV_BIND(kor_set_photoeye_timeout);                     // 13
    KOR_SRV_BIND(kor_set_blower_speed);                         // 14
    KOR_SRV_BIND(kor_set_blower_enable_relay_test);             // 15
    KOR_SRV_BIND(kor_set_blower_hz_startup);                    // 16
    KOR_SRV_BIND(kor_set_blower_hz_cooldown);                   // 17
    KOR_SRV_BIND(kor_set_blower_speed_sense_error);             // 18
    KOR_SRV_BIND(kor_set_blower_speed_sensor_configuration);    // 19
    KOR_SRV_BIND(kor_set_heater_photocell_enable);              // 20
    KOR_SRV_BIND(kor_set_heater_photocell_delay);               // 21
    KOR_SRV_BIND(kor_set_heater_attenuation_enable);            // 22
    KOR_SRV_BIND(kor_set_heater_attenuation_threshold);         // 23
    KOR_SRV_BIND(kor_set_heater_attenuation_delay);             // 24
    KOR_SRV_BIND(kor_set_heater_pid_p);                         // 25
    KOR_SRV_BIND(kor_set_heater_pid_i);                         // 26
    KOR_SRV_BIND(kor_set_heater_pid_d);                         // 27
    KOR_SRV_BIND(kor_set_heater_tc_enable);                     // 28
    KOR_SRV_BIND(kor_set_heater_enable_relay_test);             // 29
    KOR_SRV_BIND(kor_set_heater_energy_limit);                  // 30
    KOR_SRV_BIND(kor_set_heater_level_setting_test);            // 31
    KOR_SRV_BIND(kor_set_heater_manifold_valve_test);           // 32
    KOR_SRV_BIND(kor_set_heater_attenuation_relay_no_nc);       // 33
    KOR_SRV_BIND(kor_set_heater_autotune_enable);               // 34
    KOR_SRV_BIND(kor_set_inverter_pulse_threshold);             // 35
    KOR_SRV_BIND(kor_oven_set_panel_switch_enable);             // 36
    KOR_SRV_BIND(kor_oven_set_heat_high_limit_enable);          // 37
    KOR_SRV_BIND(kor_oven_set_time);                            // 38
    KOR_SRV_BIND(kor_oven_get_faults);                          // 39
    KOR_SRV_BIND(kor_oven_clear_fault);                         // 40
    KOR_SRV_BIND(kor_oven_get_diagnostic_reg_data);             // 41
    KOR_SRV_BIND(notify_diagnostic_registers);                  // 42
    srv->unused_43 = nullptr;                                   // 43, never bound
    KOR_SRV_BIND(kor_oven_init_structures);                     // 44
    KOR_SRV_BIND(kor_oven_init);                                // 45
    KOR_SRV_BIND(kor_init_blower);                              // 46
    KOR_SRV_BIND(kor_heater_init);                              // 47
    KOR_SRV_BIND(kor_belt_init);                                // 48
    KOR_SRV_BIND(kor_oven_subscribe_to_register_blocks);        // 49
    KOR_SRV_BIND(zeb_faultman_check);                           // 50
    KOR_SRV_BIND(zeb_faultman_set);                             // 51
    KOR_SRV_BIND(zeb_faultman_clear);                           // 52
    KOR_SRV_BIND(zeb_timer_initialize);                         // 53
    KOR_SRV_BIND(zeb_timer_set_interval);                       // 54
    KOR_SRV_BIND(kor_oven_get_thermocouple_reg);                // 55
    KOR_SRV_BIND(kor_oven_get_reset_ignition_reg);              // 56
    KOR_SRV_BIND(kor_oven_get_blower_speed_reg);                // 57
    KOR_SRV_BIND(kor_oven_get_belt_speed_reg);                  // 58
    KOR_SRV_BIND(kor_oven_get_modbus_connection_state);         // 59
    KOR_SRV_BIND(kor_telvo_report_fault_io_comm_lost);          // 60
    KOR_SRV_BIND(kor_telvo_report_fault_all_probes_open);       // 61
    KOR_SRV_BIND(kor_telvo_report_fault_belt_comm_lost);        // 62
    KOR_SRV_BIND(kor_telvo_report_fault_sensor_open);           // 63
    KOR_SRV_BIND(kor_telvo_report_fault_sensor_closed);         // 64
    KOR_SRV_BIND(kor_telvo_report_fault_belt_stalled);          // 65
    KOR_SRV_BIND(kor_telvo_report_fault_all_belts_stalled);     // 66
    KOR_SRV_BIND(kor_telvo_report_fault_heating_error);         // 67
    KOR_SRV_BIND(kor_telvo_report_fault_probe_open);            // 68
    KOR_SRV_BIND(kor_telvo_report_fault_oven_over_temp);        // 69
    KOR_SRV_BIND(kor_telvo_report_fault_reset_ignition);        // 70
    KOR_SRV_BIND(kor_telvo_report_fault_high_temp_check_fans);  // 71
    KOR_SRV_BIND(kor_telvo_report_fault_over_temp_check_fans);  // 72
    KOR_SRV_BIND(kor_telvo_report_fault_fan_fault);             // 73
    KOR_SRV_BIND(kor_telvo_report_photocell_override);          // 74
    KOR_SRV_BIND(kor_telvo_report_serial_number_changed);       // 75
    KOR_SRV_BIND(kor_get_operation_state);                      // 76
    KOR_SRV_BIND(kor_get_oven_config);                          // 77
    KOR_SRV_BIND(kor_config_update_setting_int);                // 78
    KOR_SRV_BIND(kor_config_update_setting_str);                // 79
    KOR_SRV_BIND(kor_config_update_setting_flt);                // 80
    KOR_SRV_BIND(notify_tc_enable_changed);                     // 81
#undef KOR_SRV_BIND
}

// Register values are 16-bit: the configuration's 32-bit integers are cut to their low word.
constexpr uint16_t reg(int32_t value) {
    return static_cast<uint16_t>(value);
}

// The configuration's counts are checked when it loads; a record built some other way still
// never makes the loops index past the arrays.
int32_t bounded(int32_t count, int32_t max) {
    return count < 0 ? 0 : (count > max ? max : count);
}

// Blower masks: character 1 (blower 1) is bit 3, character 4 (blower 4) bit 0; a shorter text
// ends the scan at its NUL.
uint16_t blower_mask(const char *text) {
    uint16_t mask = 0;
    for (int i = 0; i < 4 && text[i] != '\0'; ++i) {
        if (text[i] == '1') {
            mask = static_cast<uint16_t>(mask | (1u << (3 - i)));
        }
    }
    return mask;
}

}  // namespace

zeb_logger_t *kor_srv_logger() {
    std::lock_guard<std::mutex> guard(g_logger_lock);
    if (g_logger == nullptr) {
        zeb_logger_open(&g_logger);
    }
    return g_logger;
}

void kor_srv_logger_close() {
    zeb_logger_t *handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_logger_lock);
        handle = g_logger;
        g_logger = nullptr;
    }
    zeb_logger_close(handle);
}

int32_t kor_srv_init(oven_operation_srv_t **srv) {
    kor_srv_logger();
    if (srv == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    // Every call starts the fault table afresh, also when the record already exists.
    std::memset(ui_faults, 0, sizeof ui_faults);
    kor_srv_fill_ui_faults(ui_faults);
    if (*srv != nullptr) {
        return 0;
    }
    // A plain table of pointers, zeroed like the rest: calloc here, free in kor_srv_uninitialize.
    auto *record =
        static_cast<oven_operation_srv_t *>(std::calloc(1, sizeof(oven_operation_srv_t)));
    if (record == nullptr) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Failed to allocate oven_operation_srv_t");
        return -1;
    }
    bind_operations(record);
    *srv = record;
    return 0;
}

int32_t kor_srv_uninitialize(oven_operation_srv_t *srv) {
    kor_srv_logger_close();
    std::free(srv);
    return 0;
}

int32_t kor_srv_init_subscribe_registers(oven_operation_srv_t *srv, modbus_data_t *modbus) {
    if (srv == nullptr || modbus == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    KOR_SRV_LOG(ZEB_LOG_INFO, "Initializing modbus subscription registers.");
    const int32_t rc = srv->kor_oven_subscribe_to_register_blocks(modbus);
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Initializing modbus register blocks FAILED! Error: %d", rc);
    }
    return rc;
}

int32_t kor_srv_init_oven_status_structures(oven_operation_srv_t *srv) {
    if (srv == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    KOR_SRV_PRINT_AND_LOG("Initializing oven status structures");
    const int32_t rc = srv->kor_oven_init_structures();
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Oven status initialization FAILED! Error: %d", rc);
    }
    return rc;
}

int32_t kor_srv_init_oven_status(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                 uint16_t oven_enable, const oven_config_t *config) {
    if (srv == nullptr || modbus == nullptr || config == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    KOR_SRV_LOG(ZEB_LOG_INFO,
                "Initializing oven status registers - oven_enable:%d fuel_type:%d "
                "panel_switch_enabled:%d",
                oven_enable, config->oven_type, config->panel_switch_enabled);
    const int32_t rc = srv->kor_oven_init(modbus, oven_enable, reg(config->oven_type),
                                          reg(config->panel_switch_enabled));
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Oven status initialization FAILED! Error: %d", rc);
    }
    return rc;
}

int32_t kor_srv_init_blowers(oven_operation_srv_t *srv, modbus_data_t *modbus,
                             const oven_config_t *config) {
    if (srv == nullptr || modbus == nullptr || config == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    const int32_t blowers = bounded(config->num_blowers, KOR_CONFIG_MAX_BLOWERS);
    int32_t rc = 0;
    for (int32_t i = 0; i < blowers && rc == 0; ++i) {
        const blower_config_t &b = config->blower[i];
        KOR_SRV_LOG(ZEB_LOG_INFO,
                    "Initializing blower #%d registers at position %.255s - vdc_min:%d "
                    "vdc_max:%d hz_min:%d hz_max:%d hz_start:%d speed_idle:%d speed_set:%d "
                    "hz_cool:%d photo_delay:%d",
                    i, b.pos, config->inverter_vdc_min, config->inverter_vdc_max,
                    config->inverter_hz_min, config->inverter_hz_max, config->inverter_hz_start,
                    b.speed_idle, b.speed_set, config->inverter_hz_cool,
                    config->inverter_photo_delay_secs);
        rc = srv->kor_init_blower(
            modbus, i + 1, reg(config->inverter_vdc_min), reg(config->inverter_vdc_max),
            reg(config->inverter_hz_min), reg(config->inverter_hz_max),
            reg(config->inverter_hz_start), reg(b.speed_idle), reg(b.speed_set),
            reg(config->inverter_hz_cool), reg(config->inverter_photo_delay_secs));
        if (rc != 0) {
            KOR_SRV_LOG(ZEB_LOG_ERR, "Blower #%d initialization FAILED! Error: %d", i, rc);
        }
    }
    // One pulse threshold per blower: the count is the blowers', not num_inverters.
    for (int32_t j = 1; j <= blowers && rc == 0; ++j) {
        const int32_t pulses = config->inverter_sensor_pulses_per_min[j - 1];
        KOR_SRV_LOG(ZEB_LOG_INFO, "Initializing inverter #%d - inverter_sensor_pulses_per_min:%d",
                    j, pulses);
        rc = srv->kor_set_inverter_pulse_threshold(modbus, j, reg(pulses));
        if (rc != 0) {
            KOR_SRV_LOG(ZEB_LOG_ERR, "Inverter #%d initialization FAILED! Error: %d", j, rc);
        }
    }
    if (rc != 0) {
        return rc;
    }
    uint16_t mask = 0;
    kor_srv_create_blower_speed_sense_error_bitmask(config->blower_speed_sense_error, &mask);
    KOR_SRV_LOG(ZEB_LOG_INFO, "Initializing blower speed sense error: %d", mask);
    rc = srv->kor_set_blower_speed_sense_error(modbus, mask);
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Inverter initialization FAILED! Error: %d", rc);
        return rc;
    }
    mask = 0;
    kor_srv_create_blower_speed_sensor_config_bitmask(config->speed_sensor_configuration, &mask);
    KOR_SRV_LOG(ZEB_LOG_INFO, "Initializing blower speed sensor configuration: %d", mask);
    rc = srv->kor_set_blower_speed_sensor_configuration(modbus, mask);
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Inverter initialization FAILED! Error: %d", rc);
    }
    return rc;
}

int32_t kor_srv_init_belts(oven_operation_srv_t *srv, modbus_data_t *modbus,
                           const oven_config_t *config) {
    if (srv == nullptr || modbus == nullptr || config == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    int32_t rc = 0;
    // Both belt positions are written whatever num_belts says; the enabled mask tells the board
    // which ones run.
    for (int32_t i = 0; i < KOR_CONFIG_MAX_BELTS && rc == 0; ++i) {
        const belt_config_t &b = config->belt[i];
        int32_t rpm = 0;
        rc = kor_srv_convert_cook_time_to_rpm(b.cook_time, i + 1, config, &rpm);
        KOR_SRV_LOG(ZEB_LOG_INFO,
                    "Initializing belt #%d registers at position %.255s - min_rpm:%d max_rpm:%d "
                    "belt_direction:%d cook_time:%d rpm:%d pid_p:%d pid_i:%d pid_d:%d",
                    i, b.pos, b.min_rpm, b.max_rpm, config->belt_direction, b.cook_time, rpm,
                    b.pid_p, b.pid_i, b.pid_d);
        if (rc == 0) {
            rc = srv->kor_belt_init(modbus, i + 1, reg(b.min_rpm), reg(b.max_rpm),
                                    reg(config->belt_direction), reg(rpm), reg(b.pid_p),
                                    reg(b.pid_i), reg(b.pid_d));
        }
        if (rc != 0) {
            KOR_SRV_LOG(ZEB_LOG_ERR, "Belt #%d initialization FAILED! Error: %d", i, rc);
        }
    }
    if (rc == 0) {
        const uint16_t mask = config->num_belts == 1 ? 1 : 3;
        KOR_SRV_LOG(ZEB_LOG_INFO, "Initializing belt_enabled:%d", mask);
        rc = srv->kor_set_belt_enabled(modbus, mask);
    }
    if (rc == 0) {
        rc = kor_srv_set_belt_photoeye_timeout(
            srv, modbus, config->belt[0].cook_time,
            config->num_belts >= 2 ? config->belt[1].cook_time : 0);
    }
    if (rc == 0) {
        rc = kor_srv_set_photo_cell_enable(srv, modbus, config->photoeye_enable);
    }
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Belt initialization FAILED! Error: %d", rc);
    }
    return rc;
}

int32_t kor_srv_init_heater(oven_operation_srv_t *srv, modbus_data_t *modbus,
                            const oven_config_t *config) {
    if (srv == nullptr || modbus == nullptr || config == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    uint16_t tc_mask = 0;
    kor_srv_create_tc_enable_bitmask(config->heating_active_probes, &tc_mask);
    KOR_SRV_LOG(ZEB_LOG_INFO,
                "Initializing heater registers - pid_p:%d pid_i:%d pid_d:%d set_temp:%d "
                "tc_enable:%d attenuation_active:%d valve_no_nc:%d high_limit_enable:%d "
                "heat_maximum_output:%d",
                config->heating_pid_p, config->heating_pid_i, config->heating_pid_d,
                config->heating_set_temp, tc_mask, config->heating_gas_attenuation_active,
                config->heating_gas_attenuation_valve_no_nc, config->heating_high_limit_enable,
                config->heat_maximum_output);
    const int32_t rc = srv->kor_heater_init(
        modbus, reg(config->heating_pid_p), reg(config->heating_pid_i), reg(config->heating_pid_d),
        reg(config->heating_set_temp), tc_mask, reg(config->heating_gas_attenuation_active),
        reg(config->heating_gas_attenuation_valve_no_nc), reg(config->heating_high_limit_enable),
        reg(config->heat_maximum_output));
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Heater initialization FAILED! Error: %d", rc);
    }
    return rc;
}

int32_t kor_srv_set_belt_photoeye_timeout(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                          int32_t belt1_cook_time, int32_t belt2_cook_time) {
    if (srv == nullptr || modbus == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    // Food must clear the photo-eye within half again the slower belt's cook time.
    const int32_t longest = belt1_cook_time > belt2_cook_time ? belt1_cook_time : belt2_cook_time;
    const auto timeout = static_cast<int32_t>(std::lround(1.5 * static_cast<double>(longest)));
    KOR_SRV_LOG(ZEB_LOG_INFO, "Set belt photoeye timeout %d", timeout);
    const int32_t rc = srv->kor_set_photoeye_timeout(modbus, reg(timeout));
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Set photoeye FAILED! Error: %d", rc);
    }
    return rc;
}

int32_t kor_srv_set_photo_cell_enable(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                      int32_t enable) {
    if (srv == nullptr || modbus == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    KOR_SRV_PRINT_AND_LOG("Set photo cell %d", enable);
    const int32_t rc = srv->kor_set_heater_photocell_enable(modbus, reg(enable));
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Set photo cell FAILED! Error: %d", rc);
        return rc;
    }
    // The cloud report is best effort: an oven without its cloud service (offline kitchens,
    // the service restarting) must still initialise its IO board.
    const int32_t report = srv->kor_telvo_report_photocell_override();
    if (report != 0) {
        KOR_SRV_LOG(ZEB_LOG_WARNING, "Photocell override report FAILED! Error: %d", report);
    }
    return 0;
}

int32_t kor_srv_create_tc_enable_bitmask(const char *text, uint16_t *mask) {
    if (text == nullptr || mask == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    // Character n holds the digit n when thermocouple n is active; the sixth never enters the
    // mask. A shorter text ends the scan at its NUL.
    uint16_t bits = 0;
    for (int i = 0; i < 5 && text[i] != '\0'; ++i) {
        if (text[i] == '1' + i) {
            bits = static_cast<uint16_t>(bits | (1u << i));
        }
    }
    *mask = bits;
    KOR_SRV_LOG(ZEB_LOG_INFO, "Generated TC Enable Bitmask 0x%02X", bits);
    return 0;
}

int32_t kor_srv_create_blower_speed_sense_error_bitmask(const char *text, uint16_t *mask) {
    if (text == nullptr || mask == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    *mask = blower_mask(text);
    KOR_SRV_LOG(ZEB_LOG_INFO,
                "Generated Ignore Blower Speed Sense Error Bitmask 0x%02X from string %s", *mask,
                text);
    return 0;
}

int32_t kor_srv_create_blower_speed_sensor_config_bitmask(const char *text, uint16_t *mask) {
    if (text == nullptr || mask == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    *mask = blower_mask(text);
    KOR_SRV_LOG(ZEB_LOG_INFO,
                "Generated Blower Speed Sensor Configuration Bitmask 0x%02X from string %s", *mask,
                text);
    return 0;
}
