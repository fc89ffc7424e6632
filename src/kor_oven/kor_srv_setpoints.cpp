// Setpoint commands of the operation service: oven power, target temperature, belt cook time,
// blower speed and the serial-number report. Each carries one set point to the IO board and to
// whoever else must know of it (operation state, configuration, statistics, cloud), always through
// the service record so a test can stand in for any party. Owns nothing; the record and the link
// handle belong to the caller.
#include <cstdarg>
#include <cstdio>

#include "kor_oven_operation_srv.h"
#include "kor_srv_log.hpp"

namespace {

// Source name for the argument-check lines.
constexpr const char *kFile = "kor_srv_setpoints";

// The console shows these commands as they happen, so they go to stdout as well as the log.
__attribute__((format(printf, 1, 2))) void print_line(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

int32_t invalid_input(int line) {
    KOR_SRV_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kFile, line);
    return -1;
}

}  // namespace

int32_t kor_srv_oven_enable(oven_operation_srv_t *srv, modbus_data_t *modbus, int32_t enable) {
    if (srv == nullptr || modbus == nullptr) {
        return invalid_input(__LINE__);
    }
    print_line("OVEN POWER ON/OFF enable:%d\n", enable);
    KOR_SRV_LOG(ZEB_LOG_WARNING, "OVEN POWER ON/OFF enable:%d", enable);
    const int32_t err = srv->kor_oven_set_oven_enable(modbus, static_cast<uint16_t>(enable));
    if (err != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Oven power on/off FAILED! Error: %d", err);
    }
    return err;
}

int32_t kor_srv_set_target_temp(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                int32_t temperature) {
    if (srv == nullptr || modbus == nullptr) {
        return invalid_input(__LINE__);
    }
    print_line("Set oven target temp:%d\n", temperature);
    KOR_SRV_LOG(ZEB_LOG_INFO, "Set oven target temp:%d", temperature);
    const int32_t err = srv->kor_set_heater_target_temp(modbus, static_cast<uint16_t>(temperature));
    if (err != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Set target temp FAILED! Error: %d", err);
    }
    // The operator's choice is kept even when the board could not be told: the next
    // initialisation of the board sends it again.
    (void)srv->kor_config_update_setting_int(KOR_CONFIG_HEATING_SET_TEMP, 0, temperature);
    return err;
}

int32_t kor_srv_set_belt_cook_time(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                   const oven_config_t *config, int32_t belt, int32_t cook_time) {
    if (belt < 1 || belt > KOR_CONFIG_MAX_BELTS) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Belt out of range. Belt:%d (%s:%d)", belt, kFile, __LINE__);
        return -1;
    }
    if (srv == nullptr || modbus == nullptr || config == nullptr) {
        return invalid_input(__LINE__);
    }
    print_line("Set belt cook time. Belt:%d Time:%d\n", belt, cook_time);
    KOR_SRV_LOG(ZEB_LOG_INFO, "Set belt cook time. Belt:%d Time (sec):%d", belt, cook_time);

    // The state holds the operator's request even if the board refuses it below.
    (void)srv->kor_state_set_belt_cook_time(belt - 1, static_cast<uint16_t>(cook_time));

    int32_t rpm = 0;
    int32_t err = kor_srv_convert_cook_time_to_rpm(cook_time, belt, config, &rpm);
    if (err == 0) {
        err = srv->kor_set_belt_speed(modbus, belt, static_cast<uint16_t>(rpm));
    }
    if (err == 0) {
        err = srv->kor_stats_set_belt_time(belt, static_cast<uint32_t>(rpm));
    }
    if (err == 0) {
        KOR_SRV_LOG(ZEB_LOG_INFO,
                    "kor_srv_set_belt_cook_time: Update belt run time stats. Belt:%d rpm:%d", belt,
                    rpm);
        err = srv->kor_stats_set_belt_run_time(belt, rpm);
    }
    operation_state_t state{};
    if (err == 0) {
        err = srv->kor_get_operation_state(&state);
    }
    if (err == 0) {
        // Both belts share one photo-eye, so its timeout follows the slower of them.
        const int32_t second = config->num_belts >= 2 ? state.belt_cook_time[1] : 0;
        (void)kor_srv_set_belt_photoeye_timeout(srv, modbus, state.belt_cook_time[0], second);
        print_line("Converted belt cook time [%d] to [%d] rpm for belt %d\n", cook_time, rpm, belt);
        KOR_SRV_LOG(ZEB_LOG_INFO, "Converted belt cook time [%d] to [%d] rpm for belt %d",
                    cook_time, rpm, belt);
    } else {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Set belt cook time FAILED! Error: %d", err);
    }
    return err;
}

int32_t kor_srv_set_blower_speed(oven_operation_srv_t *srv, modbus_data_t *modbus, int32_t blower,
                                 int32_t speed) {
    if (blower < 1 || blower > KOR_CONFIG_MAX_BLOWERS) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Blower out of range. Blower:%d (%s:%d)", blower, kFile, __LINE__);
        return -1;
    }
    if (srv == nullptr || modbus == nullptr) {
        return invalid_input(__LINE__);
    }
    print_line("Set blower speed. Blower:%d Speed:%d\n", blower, speed);
    KOR_SRV_LOG(ZEB_LOG_INFO, "Set blower speed. Blower:%d Speed:%d", blower, speed);
    const int32_t err = srv->kor_set_blower_speed(modbus, blower, static_cast<uint16_t>(speed));
    if (err != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Set blower speed time FAILED! Error: %d", err);
    }
    return err;
}

int32_t kor_srv_serial_number_changed(oven_operation_srv_t *srv) {
    if (srv == nullptr) {
        return invalid_input(__LINE__);
    }
    print_line("Serial number changed\n");
    KOR_SRV_LOG(ZEB_LOG_INFO, "Serial number changed");
    const int32_t err = srv->kor_telvo_report_serial_number_changed();
    if (err != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Serial number changed FAILED! Error: %d", err);
    }
    return err;
}
