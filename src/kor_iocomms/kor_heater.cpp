// Heater registers of the IO board: names the gas heater's holding registers and turns every
// setting into one queued write or one synchronous read. Owns no state.
#include "kor_heater.h"

#include "kor_register_access.hpp"

namespace {

using kor_regs::Where;

constexpr uint32_t kPhotocellDelayRegister = 19;
constexpr uint32_t kTargetTempRegister = 56;
constexpr uint32_t kPidPRegister = 57;
constexpr uint32_t kPidIRegister = 58;
constexpr uint32_t kPidDRegister = 59;
constexpr uint32_t kIgnitionEnableRegister = 60;
constexpr uint32_t kAttenuationEnableRegister = 62;
constexpr uint32_t kAttenuationThresholdRegister = 63;
constexpr uint32_t kAttenuationDelayRegister = 64;
constexpr uint32_t kRelayNoNcRegister = 65;
constexpr uint32_t kAirDamperPosRegister = 66;
constexpr uint32_t kPidTuningRegister = 68;
constexpr uint32_t kPhotocellEnableRegister = 69;
constexpr uint32_t kTcEnableRegister = 75;
constexpr uint32_t kEnergyLimitRegister = 76;
constexpr uint32_t kHeatMaxOutputRegister = 77;
constexpr uint32_t kLevelSettingTestRegister = 79;
constexpr uint32_t kHighLimitEnableRegister = 80;
constexpr uint32_t kAutotuneEnableRegister = 81;
constexpr uint32_t kIgnitionStatusRegister = 117;
constexpr uint32_t kAirDamperFeedbackRegister = 118;
constexpr uint32_t kManifoldValveTestRegister = 310;
constexpr uint16_t kHeaterRelayTest = 2;

}  // namespace

extern "C" {

int kor_heater_init(modbus_data_t *ctx, uint16_t pid_p, uint16_t pid_i, uint16_t pid_d,
                    uint16_t target_temp, uint16_t tc_enable, uint16_t attenuation_enable,
                    uint16_t relay_no_nc, uint16_t high_limit_enable, uint16_t heat_max_output) {
    return kor_regs::write_registers(ctx, {{kPidPRegister, pid_p},
                                           {kPidIRegister, pid_i},
                                           {kPidDRegister, pid_d},
                                           {kTargetTempRegister, target_temp},
                                           {kTcEnableRegister, tc_enable},
                                           {kAttenuationEnableRegister, attenuation_enable},
                                           {kRelayNoNcRegister, relay_no_nc},
                                           {kHighLimitEnableRegister, high_limit_enable},
                                           {kHeatMaxOutputRegister, heat_max_output}});
}

int kor_set_heater_tc_enable(modbus_data_t *ctx, uint16_t mask) {
    return kor_regs::write_register(ctx, kTcEnableRegister, mask);
}

int kor_set_heater_target_temp(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kTargetTempRegister, value);
}

int kor_set_heater_ignition_enable(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kIgnitionEnableRegister, value);
}

int kor_set_heater_attenuation_enable(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kAttenuationEnableRegister, value);
}

int kor_set_heater_attenuation_threshold(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kAttenuationThresholdRegister, value);
}

int kor_set_heater_attenuation_delay(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kAttenuationDelayRegister, value);
}

int kor_set_heater_pid_p(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kPidPRegister, value);
}

int kor_set_heater_pid_i(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kPidIRegister, value);
}

int kor_set_heater_pid_d(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kPidDRegister, value);
}

int kor_set_heater_attenuation_relay_no_nc(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kRelayNoNcRegister, value);
}

int kor_set_heater_air_damper_pos(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kAirDamperPosRegister, value);
}

int kor_set_heater_pid_tuning(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kPidTuningRegister, value);
}

int kor_set_heater_photocell_enable(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kPhotocellEnableRegister, value);
}

int kor_set_heater_photocell_delay(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kPhotocellDelayRegister, value);
}

int kor_set_heater_enable_relay_test(modbus_data_t *ctx, uint16_t on) {
    return kor_regs::write_register(ctx, kor_regs::kTestSelectorRegister,
                                    kor_regs::test_selector(on, kHeaterRelayTest));
}

int kor_set_heater_energy_limit(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kEnergyLimitRegister, value);
}

int kor_set_heater_level_setting_test(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kLevelSettingTestRegister, value);
}

int kor_set_heater_manifold_valve_test(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kManifoldValveTestRegister, value);
}

int kor_set_heater_autotune_enable(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kAutotuneEnableRegister, value);
}

int kor_get_heater_pid(modbus_data_t *ctx, uint16_t *p, uint16_t *i, uint16_t *d) {
    if (!kor_regs::present(Where::current(), ctx, p, i, d)) {
        return -1;
    }
    if (kor_regs::read_register(ctx, kPidPRegister, p) != 0 ||
        kor_regs::read_register(ctx, kPidIRegister, i) != 0 ||
        kor_regs::read_register(ctx, kPidDRegister, d) != 0) {
        return -1;
    }
    return 0;
}

int kor_get_heater_ignition_enable(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kIgnitionEnableRegister, value);
}

int kor_get_heater_ignition_status(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kIgnitionStatusRegister, value);
}

int kor_get_heater_attenuation_enable(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kAttenuationEnableRegister, value);
}

int kor_get_heater_attenuation_threshold(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kAttenuationThresholdRegister, value);
}

int kor_get_heater_attenuation_relay_no_nc(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kRelayNoNcRegister, value);
}

int kor_get_heater_air_damper_pos(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kAirDamperPosRegister, value);
}

int kor_get_heater_air_damper_pos_feedback(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kAirDamperFeedbackRegister, value);
}

int kor_get_heater_photocell_enable(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kPhotocellEnableRegister, value);
}

}  // extern "C"
