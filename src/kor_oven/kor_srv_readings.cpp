// Readings and diagnostics of the operation service: thermocouple, blower and belt values from
// the IO board library's polled copies, the ignitor and gas-manifold status the UI shows, the
// diagnostic registers and firmware versions for the UI, and thermocouple enabling, which
// rewrites both the configuration and the board. Keeps no state of its own; everything outside
// goes through the service record, except the firmware and voltage operations, which take only
// the link handle and call the IO board library, configuration and notifications directly.
#include <cstring>

#include "kor_oven_operation_srv.h"
#include "kor_srv_log.hpp"

namespace {

// Source name for the argument-check lines.
constexpr const char *kFile = "kor_srv_readings";

// Register ranges of the polled status block the readings may index.
constexpr int32_t kThermocouples = 6;
constexpr int32_t kThermocoupleStates = 7;
constexpr int32_t kBlowers = KOR_CONFIG_MAX_BLOWERS;
constexpr int32_t kBelts = KOR_CONFIG_MAX_BELTS;

// tcstate1-tcstate7 by position, so the states are indexed without leaving the record.
constexpr int32_t diagnostic_reg_data_t::*kTcState[kThermocoupleStates] = {
    &diagnostic_reg_data_t::tcstate1, &diagnostic_reg_data_t::tcstate2,
    &diagnostic_reg_data_t::tcstate3, &diagnostic_reg_data_t::tcstate4,
    &diagnostic_reg_data_t::tcstate5, &diagnostic_reg_data_t::tcstate6,
    &diagnostic_reg_data_t::tcstate7};

int32_t invalid_input(int line) {
    KOR_SRV_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kFile, line);
    return -1;
}

// Whether position p (1-based) of a per-position text holds the digit p. A text shorter than the
// position counts as "not set" rather than reading past its end.
bool position_is_digit(const char *text, int32_t p) {
    const size_t len = strnlen(text, KOR_CONFIG_TEXT_LEN);
    return p >= 1 && p <= 9 && static_cast<size_t>(p) <= len && text[p - 1] == '0' + p;
}

// The diagnostic data through the record, with the failure line the status operations share.
int32_t read_diagnostics(oven_operation_srv_t *srv, diagnostic_reg_data_t *data) {
    const int32_t err = srv->kor_oven_get_diagnostic_reg_data(data);
    if (err != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Get diagnostic register data FAILED! Error: %d", err);
    }
    return err;
}

}  // namespace

int32_t kor_srv_read_active_tc_values(oven_operation_srv_t *srv, int16_t *values, int32_t count,
                                      const oven_config_t *config) {
    if (srv == nullptr || values == nullptr || config == nullptr || count < 0 ||
        count > kThermocouples) {
        return invalid_input(__LINE__);
    }
    std::memset(values, 0, sizeof(*values) * static_cast<size_t>(count));
    int32_t slot = 0;
    for (int32_t p = 1; p <= count; ++p) {
        if (position_is_digit(config->heating_active_probes, p)) {
            values[slot++] = static_cast<int16_t>(srv->kor_oven_get_thermocouple_reg(p));
        }
    }
    return 0;
}

int32_t kor_srv_read_all_tc_values(oven_operation_srv_t *srv, int16_t *values, int32_t count) {
    if (srv == nullptr || values == nullptr || count < 0 || count > kThermocoupleStates) {
        return invalid_input(__LINE__);
    }
    diagnostic_reg_data_t data{};
    if (srv->kor_oven_get_diagnostic_reg_data(&data) != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Couldn't retrieve the diagnostic register data (%s:%d)", kFile,
                    __LINE__);
        return -1;
    }
    for (int32_t i = 1; i <= count; ++i) {
        // A thermocouple the board reports unsound has no meaningful reading.
        values[i - 1] = data.*kTcState[i - 1] != 0
                            ? int16_t{-1}
                            : static_cast<int16_t>(srv->kor_oven_get_thermocouple_reg(i));
    }
    return 0;
}

int32_t kor_srv_read_all_blower_values(oven_operation_srv_t *srv, uint16_t *values, int32_t count) {
    if (srv == nullptr || values == nullptr || count < 0 || count > kBlowers) {
        return invalid_input(__LINE__);
    }
    for (int32_t i = 1; i <= count; ++i) {
        values[i - 1] = srv->kor_oven_get_blower_speed_reg(i);
    }
    return 0;
}

int32_t kor_srv_read_all_belt_values(oven_operation_srv_t *srv, uint16_t *values, int32_t count) {
    if (srv == nullptr || values == nullptr || count < 0 || count > kBelts) {
        return invalid_input(__LINE__);
    }
    for (int32_t i = 1; i <= count; ++i) {
        values[i - 1] = srv->kor_oven_get_belt_speed_reg(i);
    }
    return 0;
}

int32_t kor_srv_calculate_ignitor_status(oven_operation_srv_t *srv, int32_t *status) {
    if (srv == nullptr || status == nullptr) {
        return invalid_input(__LINE__);
    }
    *status = -1;
    diagnostic_reg_data_t data{};
    const int32_t err = read_diagnostics(srv, &data);
    if (err != 0) {
        return err;
    }
    *status = data.oc7 != 0 ? 2 : 1;
    if (*status == 2 && srv->kor_oven_get_reset_ignition_reg() == 1) {
        *status = 3;
    }
    return 0;
}

int32_t kor_srv_calculate_manifold_valve_status_attenuation(oven_operation_srv_t *srv,
                                                            const oven_config_t *config,
                                                            int32_t *status) {
    if (srv == nullptr || config == nullptr || status == nullptr) {
        return invalid_input(__LINE__);
    }
    *status = -1;
    diagnostic_reg_data_t data{};
    const int32_t err = read_diagnostics(srv, &data);
    if (err != 0) {
        return err;
    }
    // The attenuation relay is wired normally open (0) or normally closed (1); the status is
    // what the valve does, whichever way the output drives it.
    const bool output_on = data.oc4 != 0;
    if (config->heating_gas_attenuation_valve_no_nc == 0) {
        *status = output_on ? 1 : 2;
    } else if (config->heating_gas_attenuation_valve_no_nc == 1) {
        *status = output_on ? 2 : 1;
    }
    return 0;
}

int32_t kor_srv_notify_ui_diagnostic_registers(oven_operation_srv_t *srv) {
    if (srv == nullptr) {
        return invalid_input(__LINE__);
    }
    diagnostic_reg_data_t data{};
    int32_t err = read_diagnostics(srv, &data);
    if (err != 0) {
        return err;
    }
    err = srv->notify_diagnostic_registers(&data);
    if (err != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Send diagnostic register data FAILED! Error: %d", err);
    }
    return err;
}

int32_t kor_srv_update_tc_enable_str(const oven_config_t *config, int32_t tc, int32_t enable,
                                     char *text) {
    if (config == nullptr || text == nullptr || tc < 1 || tc > kThermocouples) {
        return invalid_input(__LINE__);
    }
    size_t len = strnlen(config->heating_active_probes, KOR_CONFIG_TEXT_LEN - 1);
    std::memcpy(text, config->heating_active_probes, len);
    // A text shorter than the position is taken to have its missing positions inactive, so it
    // is padded with 'x' up to the position instead of writing past its end.
    const size_t position = static_cast<size_t>(tc);
    while (len < position) {
        text[len++] = 'x';
    }
    text[len] = '\0';
    text[position - 1] = enable != 0 ? static_cast<char>('0' + tc) : 'x';
    KOR_SRV_LOG(ZEB_LOG_INFO, "Generated TC Enable String %s", text);
    return 0;
}

int32_t kor_srv_enable_tc(oven_operation_srv_t *srv, modbus_data_t *modbus,
                          const oven_config_t *config, int32_t tc, int32_t enable) {
    if (srv == nullptr || modbus == nullptr || config == nullptr) {
        return invalid_input(__LINE__);
    }
    KOR_SRV_LOG(ZEB_LOG_INFO, "Modifying TC enable for TC:%d enable:%d", tc, enable);

    char text[KOR_CONFIG_TEXT_LEN] = {};
    int32_t err = kor_srv_update_tc_enable_str(config, tc, enable, text);
    // The count is taken from the new text rather than stepped from the stored one: a probe
    // already in the requested state (the ambient probe is disabled again each time its fault
    // comes back) or a count that had drifted would otherwise move it away from the text.
    int32_t count = 0;
    for (int32_t p = 1; p <= kThermocouples; ++p) {
        count += position_is_digit(text, p) ? 1 : 0;
    }
    if (err == 0) {
        err = srv->kor_config_update_setting_str(KOR_CONFIG_HEATING_ACTIVE_PROBES, text);
    }
    if (err == 0) {
        err = srv->kor_config_update_setting_int(KOR_CONFIG_HEATING_NUM_CAVITY_ACTIVE_PROBES, 0,
                                                 count);
    }
    uint16_t mask = 0;
    if (err == 0) {
        err = kor_srv_create_tc_enable_bitmask(text, &mask);
    }
    if (err == 0) {
        err = srv->kor_set_heater_tc_enable(modbus, mask);
    }
    if (err == 0) {
        err = srv->notify_tc_enable_changed(count, text);
    }
    return err;
}

int32_t kor_srv_notify_firmware_versions(modbus_data_t *modbus) {
    if (modbus == nullptr) {
        return invalid_input(__LINE__);
    }
    // A version the board does not give is shown as 0 rather than holding back the others.
    uint16_t io = 0;
    uint16_t drive1 = 0;
    uint16_t drive2 = 0;
    if (kor_oven_get_version(modbus, &io) != 0) {
        io = 0;
    }
    if (kor_oven_get_bldc_version(modbus, 1, &drive1) != 0) {
        drive1 = 0;
    }
    if (kor_oven_get_bldc_version(modbus, 2, &drive2) != 0) {
        drive2 = 0;
    }
    const int32_t err = notify_firmware_versions(io, drive1, drive2);
    if (err != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Unable to notify UI of firware versions. Error: %d", err);
    }
    return 0;
}

int32_t kor_srv_update_firmware_versions(modbus_data_t *modbus) {
    if (modbus == nullptr) {
        return invalid_input(__LINE__);
    }
    // The drive boards answer through the IO board: when it is silent, asking them only adds
    // time-outs, so each version is read only when the one before it was.
    uint16_t version = 0;
    int32_t err = kor_oven_get_version(modbus, &version);
    if (err == 0) {
        KOR_SRV_LOG(ZEB_LOG_INFO,
                    "kor_srv_update_firmware_versions: io_firmware value from modbus is %d",
                    version);
    } else {
        KOR_SRV_LOG(ZEB_LOG_ERR,
                    "kor_srv_update_firmware_versions: unable to retrieve io_firmware value from "
                    "modbus! Error: %d",
                    err);
        version = 0;
    }
    (void)kor_config_update_setting_int(KOR_CONFIG_IO_FIRMWARE, 1, version);
    if (err != 0) {
        return 0;
    }

    version = 0;
    err = kor_oven_get_bldc_version(modbus, 1, &version);
    if (err == 0) {
        KOR_SRV_LOG(ZEB_LOG_INFO,
                    "kor_srv_update_firmware_versions: bldc_version 1 value from modbus is %d",
                    version);
    } else {
        KOR_SRV_LOG(ZEB_LOG_ERR,
                    "kor_srv_update_firmware_versions: unable to retrieve bldc_1_fw_version value "
                    "from modbus! Error: %d",
                    err);
        version = 0;
    }
    (void)kor_config_update_setting_int(KOR_CONFIG_DRIVE_BOARD_1, 1, version);
    if (err != 0) {
        return 0;
    }

    version = 0;
    err = kor_oven_get_bldc_version(modbus, 2, &version);
    if (err == 0) {
        KOR_SRV_LOG(ZEB_LOG_INFO,
                    "kor_srv_update_firmware_versions: bldc_version 2 value from modbus is %d",
                    version);
    } else {
        KOR_SRV_LOG(ZEB_LOG_ERR,
                    "kor_srv_update_firmware_versions: unable to retrieve bldc_2_fw_version value "
                    "from modbus! Error: %d",
                    err);
        version = 0;
    }
    (void)kor_config_update_setting_int(KOR_CONFIG_DRIVE_BOARD_2, 1, version);
    return 0;
}

int32_t kor_srv_notify_oven_voltage(modbus_data_t *modbus) {
    if (modbus == nullptr) {
        return invalid_input(__LINE__);
    }
    uint16_t voltage = 0;
    if (kor_oven_get_oven_voltage(modbus, &voltage) != 0) {
        voltage = 0;
    }
    const int32_t err = notify_oven_voltage(voltage);
    if (err != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Unable to notify UI of oven voltage. Error: %d", err);
    }
    return 0;
}
