// Conveyor belt registers of the IO board: names each belt position's registers and turns every
// setting into queued writes or synchronous reads. Owns no state.
//
// Positions other than 1 and 2 have no registers: they are refused before anything reaches the
// bus (belt 3 would otherwise land on the blower registers above 18).
#include "kor_belt.h"

#include <array>
#include <optional>

#include "kor_register_access.hpp"

namespace {

using kor_regs::Where;
using Field = uint32_t belt_addresses_t::*;

constexpr std::array<belt_addresses_t, KOR_BELT_COUNT> kBelts{{
    {3, 4, 5, 6, 8, 9, 10},
    {11, 12, 13, 14, 16, 17, 18},
}};
constexpr uint32_t kPhotoEyeTimeoutRegister = 7;
constexpr uint32_t kBeltEnabledRegister = 15;
constexpr uint16_t kBeltTest = 3;

std::optional<belt_addresses_t> addresses_of(int32_t belt) {
    if (belt < 1 || belt > KOR_BELT_COUNT) {
        return std::nullopt;
    }
    return kBelts[static_cast<size_t>(belt - 1)];
}

// The position's addresses, or nothing (with the log line) when it has none.
std::optional<belt_addresses_t> checked(int32_t belt, const Where &where) {
    auto a = addresses_of(belt);
    if (!a) {
        kor_regs::log_invalid_input(where);
    }
    return a;
}

int set_field(modbus_data_t *ctx, int32_t belt, Field field, uint16_t value,
              const Where &where = Where::current()) {
    if (!kor_regs::present(where, ctx)) {
        return -1;
    }
    const auto a = checked(belt, where);
    return a ? kor_regs::write_register(ctx, (*a).*field, value, where) : -1;
}

}  // namespace

extern "C" {

belt_addresses_t get_belt_addresses(int32_t belt) {
    return addresses_of(belt).value_or(belt_addresses_t{});
}

int kor_belt_init(modbus_data_t *ctx, int32_t belt, uint16_t min_rpm, uint16_t max_rpm,
                  uint16_t direction, uint16_t speed, uint16_t pid_p, uint16_t pid_i,
                  uint16_t pid_d) {
    if (!kor_regs::present(Where::current(), ctx)) {
        return -1;
    }
    const auto a = checked(belt, Where::current());
    if (!a) {
        return -1;
    }
    return kor_regs::write_registers(ctx, {{a->min_rpm, min_rpm},
                                           {a->max_rpm, max_rpm},
                                           {a->direction, direction},
                                           {a->speed, speed},
                                           {a->pid_p, pid_p},
                                           {a->pid_i, pid_i},
                                           {a->pid_d, pid_d}});
}

int kor_set_belt_enabled(modbus_data_t *ctx, uint16_t mask) {
    return kor_regs::write_register(ctx, kBeltEnabledRegister, mask);
}

int kor_set_belt_direction(modbus_data_t *ctx, int32_t belt, uint16_t value) {
    return set_field(ctx, belt, &belt_addresses_t::direction, value);
}

int kor_set_belt_speed(modbus_data_t *ctx, int32_t belt, uint16_t value) {
    return set_field(ctx, belt, &belt_addresses_t::speed, value);
}

int kor_set_belt_min_rpm(modbus_data_t *ctx, int32_t belt, uint16_t value) {
    return set_field(ctx, belt, &belt_addresses_t::min_rpm, value);
}

int kor_set_belt_max_rpm(modbus_data_t *ctx, int32_t belt, uint16_t value) {
    return set_field(ctx, belt, &belt_addresses_t::max_rpm, value);
}

int kor_set_photoeye_timeout(modbus_data_t *ctx, uint16_t seconds) {
    return kor_regs::write_register(ctx, kPhotoEyeTimeoutRegister, seconds);
}

int kor_set_belt_pid(modbus_data_t *ctx, int32_t belt, uint16_t p, uint16_t i, uint16_t d) {
    if (!kor_regs::present(Where::current(), ctx)) {
        return -1;
    }
    const auto a = checked(belt, Where::current());
    if (!a) {
        return -1;
    }
    return kor_regs::write_registers(ctx, {{a->pid_p, p}, {a->pid_i, i}, {a->pid_d, d}});
}

int kor_get_belt_pid(modbus_data_t *ctx, int32_t belt, uint16_t *p, uint16_t *i, uint16_t *d) {
    if (!kor_regs::present(Where::current(), ctx, p, i, d)) {
        return -1;
    }
    const auto a = checked(belt, Where::current());
    if (!a) {
        return -1;
    }
    if (kor_regs::read_register(ctx, a->pid_p, p) != 0 ||
        kor_regs::read_register(ctx, a->pid_i, i) != 0 ||
        kor_regs::read_register(ctx, a->pid_d, d) != 0) {
        return -1;
    }
    return 0;
}

int kor_set_belt_enable_test(modbus_data_t *ctx, uint16_t on) {
    return kor_regs::write_register(ctx, kor_regs::kTestSelectorRegister,
                                    kor_regs::test_selector(on, kBeltTest));
}

}  // extern "C"
