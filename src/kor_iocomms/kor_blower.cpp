// Blower registers of the IO board: names each blower position's inverter registers and turns
// every setting into one queued write or one synchronous read. Owns no state.
//
// Positions outside 1-4 have no registers: they are refused before anything reaches the bus, so
// a bad index can never land on a neighbouring blower's (or the belt's) register.
#include "kor_blower.h"

#include <optional>

#include "kor_register_access.hpp"

namespace {

using kor_regs::Where;
using Field = uint32_t blower_addresses_t::*;

constexpr uint32_t kFirstBlowerBase = 20;
constexpr uint32_t kBlowerStride = 9;
constexpr uint32_t kPulseThresholdBase = 69;
constexpr uint32_t kPhotocellDelayRegister = 19;
constexpr uint32_t kSpeedSenseErrorRegister = 92;
constexpr uint32_t kSpeedSensorConfigurationRegister = 93;
constexpr uint16_t kBlowerRelayTest = 1;

std::optional<blower_addresses_t> addresses_of(int32_t blower) {
    if (blower < 1 || blower > KOR_BLOWER_COUNT) {
        return std::nullopt;
    }
    const uint32_t n = static_cast<uint32_t>(blower);
    const uint32_t b = kFirstBlowerBase + kBlowerStride * (n - 1);
    return blower_addresses_t{b,
                              b + 1,
                              b + 2,
                              b + 3,
                              b + 4,
                              b + 5,
                              b + 6,
                              b + 7,
                              b + 8,
                              kPulseThresholdBase + n,
                              kPhotocellDelayRegister};
}

// The position's addresses, or nothing (with the log line) when it has none.
std::optional<blower_addresses_t> checked(int32_t blower, const Where &where) {
    auto a = addresses_of(blower);
    if (!a) {
        kor_regs::log_invalid_input(where);
    }
    return a;
}

int set_field(modbus_data_t *ctx, int32_t blower, Field field, uint16_t value,
              const Where &where = Where::current()) {
    if (!kor_regs::present(where, ctx)) {
        return -1;
    }
    const auto a = checked(blower, where);
    return a ? kor_regs::write_register(ctx, (*a).*field, value, where) : -1;
}

int get_field(modbus_data_t *ctx, int32_t blower, Field field, uint16_t *value,
              const Where &where = Where::current()) {
    if (!kor_regs::present(where, ctx, value)) {
        return -1;
    }
    const auto a = checked(blower, where);
    return a ? kor_regs::read_register(ctx, (*a).*field, value, where) : -1;
}

}  // namespace

extern "C" {

blower_addresses_t get_blower_addresses(int32_t blower) {
    return addresses_of(blower).value_or(blower_addresses_t{});
}

int32_t get_inverter_pulse_threshold_address(int32_t blower) {
    const auto a = addresses_of(blower);
    return a ? static_cast<int32_t>(a->pulse_threshold) : -1;
}

int kor_init_blower(modbus_data_t *ctx, int32_t blower, uint16_t vdc_min, uint16_t vdc_max,
                    uint16_t hz_min, uint16_t hz_max, uint16_t hz_startup, uint16_t hz_idle,
                    uint16_t hz_high, uint16_t hz_cooldown, uint16_t photocell_delay) {
    if (!kor_regs::present(Where::current(), ctx)) {
        return -1;
    }
    const auto a = checked(blower, Where::current());
    if (!a) {
        return -1;
    }
    return kor_regs::write_registers(ctx, {{a->enable, 1},
                                           {a->vdc_min, vdc_min},
                                           {a->vdc_max, vdc_max},
                                           {a->hz_min, hz_min},
                                           {a->hz_max, hz_max},
                                           {a->hz_startup, hz_startup},
                                           {a->hz_idle, hz_idle},
                                           {a->hz_high, hz_high},
                                           {a->hz_cooldown, hz_cooldown},
                                           {a->photocell_delay, photocell_delay}});
}

int kor_set_inverter_pulse_threshold(modbus_data_t *ctx, int32_t blower, uint16_t value) {
    return set_field(ctx, blower, &blower_addresses_t::pulse_threshold, value);
}

int kor_set_blower_speed(modbus_data_t *ctx, int32_t blower, uint16_t value) {
    return set_field(ctx, blower, &blower_addresses_t::hz_high, value);
}

int kor_set_blower_hz_startup(modbus_data_t *ctx, int32_t blower, uint16_t value) {
    return set_field(ctx, blower, &blower_addresses_t::hz_startup, value);
}

int kor_set_blower_hz_cooldown(modbus_data_t *ctx, int32_t blower, uint16_t value) {
    return set_field(ctx, blower, &blower_addresses_t::hz_cooldown, value);
}

int kor_set_blower_enable_relay_test(modbus_data_t *ctx, uint16_t on) {
    return kor_regs::write_register(ctx, kor_regs::kTestSelectorRegister,
                                    kor_regs::test_selector(on, kBlowerRelayTest));
}

int kor_set_blower_speed_sense_error(modbus_data_t *ctx, uint16_t mask) {
    return kor_regs::write_register(ctx, kSpeedSenseErrorRegister, mask);
}

int kor_set_blower_speed_sensor_configuration(modbus_data_t *ctx, uint16_t mask) {
    return kor_regs::write_register(ctx, kSpeedSensorConfigurationRegister, mask);
}

int kor_get_blower_vdc_min(modbus_data_t *ctx, int32_t blower, uint16_t *value) {
    return get_field(ctx, blower, &blower_addresses_t::vdc_min, value);
}

int kor_get_blower_vdc_max(modbus_data_t *ctx, int32_t blower, uint16_t *value) {
    return get_field(ctx, blower, &blower_addresses_t::vdc_max, value);
}

int kor_get_blower_hz_min(modbus_data_t *ctx, int32_t blower, uint16_t *value) {
    return get_field(ctx, blower, &blower_addresses_t::hz_min, value);
}

int kor_get_blower_hz_max(modbus_data_t *ctx, int32_t blower, uint16_t *value) {
    return get_field(ctx, blower, &blower_addresses_t::hz_max, value);
}

int kor_get_blower_hz_startup(modbus_data_t *ctx, int32_t blower, uint16_t *value) {
    return get_field(ctx, blower, &blower_addresses_t::hz_startup, value);
}

int kor_get_blower_hz_idle(modbus_data_t *ctx, int32_t blower, uint16_t *value) {
    return get_field(ctx, blower, &blower_addresses_t::hz_idle, value);
}

int kor_get_blower_hz_high(modbus_data_t *ctx, int32_t blower, uint16_t *value) {
    return get_field(ctx, blower, &blower_addresses_t::hz_high, value);
}

int kor_get_blower_hz_cooldown(modbus_data_t *ctx, int32_t blower, uint16_t *value) {
    return get_field(ctx, blower, &blower_addresses_t::hz_cooldown, value);
}

}  // extern "C"
