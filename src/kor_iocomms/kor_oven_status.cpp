// Oven-wide registers of the IO board and the library's copy of the polled ranges.
//
// Owns the three local copies of the polled blocks (status, faults, diagnostics), the fault tables
// handed out by kor_oven_get_faults and the last connection state read. The control thread
// refreshes the copies once a cycle; the accessors read single words from them without touching
// the bus. A short lock guards the copies: the request handlers read them too, and kor_oven_free
// may release them while another thread is still asking. The fault table goes out of the lock
// to its caller, so each thread gets a table of its own (the control thread's scan and a
// power-on's re-send read theirs at the same time).
#include "kor_oven_status.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "kor_register_access.hpp"

namespace {

using kor_regs::Where;

constexpr uint32_t kVersionRegister = 0;
constexpr uint32_t kOvenEnableRegister = 1;
constexpr uint32_t kMachineConfigRegister = 2;
constexpr uint32_t kHeatHighLimitEnableRegister = 80;
constexpr uint32_t kPanelSwitchEnableRegister = 82;
constexpr uint32_t kOvenStateRegister = 99;
constexpr uint32_t kThermocouple1Register = 100;
constexpr uint32_t kTemperatureRegister = 106;
constexpr uint32_t kPhotoEyeRegister = 107;
constexpr uint32_t kBlowerSpeed1Register = 108;
constexpr uint32_t kCoolingFanRegister = 112;
constexpr uint32_t kBeltSpeed1Register = 115;
constexpr uint32_t kIgnitionStatusRegister = 117;
constexpr uint32_t kAirShutterRegister = 118;
constexpr uint32_t kHeatOutputRegister = 119;
constexpr uint32_t kSoakTimeRegister = 120;
constexpr uint32_t kSoakTimeLeftRegister = 121;
constexpr uint32_t kSupplyVoltageRegister = 122;
constexpr uint32_t kDriveBoard1VersionRegister = 123;
constexpr uint32_t kTimeLowRegister = 401;
constexpr uint32_t kTimeHighRegister = 402;

constexpr int32_t kThermocouples = 6;
constexpr int32_t kBlowers = 4;
constexpr int32_t kBelts = 2;
constexpr int32_t kDriveBoards = 2;

struct PolledRange {
    int32_t id;
    uint32_t first;
    int32_t count;
};

constexpr std::array<PolledRange, 3> kRanges{{
    {KOR_OVEN_STATUS_BLOCK, KOR_OVEN_STATUS_FIRST_REGISTER, KOR_OVEN_STATUS_COUNT},
    {KOR_OVEN_FAULT_BLOCK, KOR_OVEN_FAULT_FIRST_REGISTER, KOR_OVEN_FAULT_COUNT},
    {KOR_OVEN_DIAGNOSTIC_BLOCK, KOR_OVEN_DIAGNOSTIC_FIRST_REGISTER, KOR_OVEN_DIAGNOSTIC_COUNT},
}};

static_assert(sizeof(diagnostic_reg_data_t) == KOR_OVEN_DIAGNOSTIC_COUNT * sizeof(int32_t),
              "the diagnostic record is the 38 registers and nothing else");

struct OvenStatus {
    std::mutex lock;
    // Empty until subscribed, then one word per register of the range.
    std::array<std::vector<uint16_t>, kRanges.size()> copies;
    std::atomic<int32_t> connection_status{KOR_MODBUS_STATE_DISCONNECTED};

    // One word of a polled range; 0 before the range was subscribed.
    uint16_t word(size_t range, uint32_t address) {
        std::lock_guard guard(lock);
        const std::vector<uint16_t> &copy = copies[range];
        const uint32_t index = address - kRanges[range].first;
        return index < copy.size() ? copy[index] : 0;
    }
};

OvenStatus &status() {
    static OvenStatus instance;
    return instance;
}

uint16_t status_word(uint32_t address) {
    return status().word(KOR_OVEN_STATUS_BLOCK, address);
}

// The n-th (1-based) of `count` consecutive status registers from `first`, 0 when out of range.
uint16_t numbered_status_word(uint32_t first, int32_t n, int32_t count) {
    if (n < 1 || n > count) {
        return 0;
    }
    return status_word(first + static_cast<uint32_t>(n - 1));
}

}  // namespace

extern "C" {

int kor_oven_init(modbus_data_t *ctx, uint16_t oven_enable, uint16_t machine_config,
                  uint16_t panel_switch_enable) {
    return kor_regs::write_registers(ctx, {{kOvenEnableRegister, oven_enable},
                                           {kMachineConfigRegister, machine_config},
                                           {kPanelSwitchEnableRegister, panel_switch_enable}});
}

int kor_oven_get_version(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kVersionRegister, value);
}

int kor_oven_get_oven_state(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kOvenStateRegister, value);
}

int kor_oven_get_oven_enable(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kOvenEnableRegister, value);
}

int kor_oven_get_machine_config(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kMachineConfigRegister, value);
}

int kor_oven_get_soak_time(modbus_data_t *ctx, uint16_t *seconds) {
    return kor_regs::read_register(ctx, kSoakTimeRegister, seconds);
}

int kor_oven_get_soak_timer_time(modbus_data_t *ctx, uint16_t *seconds) {
    return kor_regs::read_register(ctx, kSoakTimeLeftRegister, seconds);
}

int kor_oven_get_oven_voltage(modbus_data_t *ctx, uint16_t *value) {
    return kor_regs::read_register(ctx, kSupplyVoltageRegister, value);
}

int kor_oven_get_bldc_version(modbus_data_t *ctx, int32_t board, uint16_t *value) {
    if (!kor_regs::present(Where::current(), ctx, value)) {
        return -1;
    }
    if (board < 1 || board > kDriveBoards) {
        kor_regs::log_invalid_input(Where::current());
        return -1;
    }
    return kor_regs::read_register(
        ctx, kDriveBoard1VersionRegister + static_cast<uint32_t>(board - 1), value);
}

uint16_t kor_oven_get_test_flag_reg(modbus_data_t *ctx) {
    uint16_t value = 0;
    if (kor_regs::read_register(ctx, kor_regs::kTestSelectorRegister, &value) != 0) {
        return KOR_OVEN_TEST_FLAG_UNKNOWN;
    }
    return value;
}

int kor_oven_set_oven_enable(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kOvenEnableRegister, value);
}

int kor_oven_set_machine_config(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kMachineConfigRegister, value);
}

int kor_oven_set_panel_switch_enable(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kPanelSwitchEnableRegister, value);
}

int kor_oven_set_heat_high_limit_enable(modbus_data_t *ctx, uint16_t value) {
    return kor_regs::write_register(ctx, kHeatHighLimitEnableRegister, value);
}

int kor_oven_set_time(modbus_data_t *ctx, uint32_t time) {
    return kor_regs::write_registers(ctx, {{kTimeLowRegister, static_cast<uint16_t>(time)},
                                           {kTimeHighRegister, static_cast<uint16_t>(time >> 16)}});
}

int kor_oven_clear_fault(modbus_data_t *ctx, uint32_t reg) {
    if (!kor_regs::present(Where::current(), ctx)) {
        return -1;
    }
    // Only fault words may be cleared this way: a stray register number would zero a setting.
    if (reg < KOR_OVEN_FAULT_FIRST_REGISTER ||
        reg >= KOR_OVEN_FAULT_FIRST_REGISTER + KOR_OVEN_FAULT_COUNT) {
        kor_regs::log_invalid_input(Where::current());
        return -1;
    }
    return kor_regs::write_register(ctx, reg, 0);
}

int kor_oven_init_structures(void) {
    // The fault tables are filled afresh on every kor_oven_get_faults: nothing to reset.
    return 0;
}

int kor_oven_subscribe_to_register_blocks(modbus_data_t *ctx) {
    if (!kor_regs::present(Where::current(), ctx)) {
        return -1;
    }
    OvenStatus &s = status();
    {
        std::lock_guard guard(s.lock);
        for (auto &copy : s.copies) {
            copy.clear();
        }
    }
    for (size_t i = 0; i < kRanges.size(); ++i) {
        const PolledRange &range = kRanges[i];
        {
            std::lock_guard guard(s.lock);
            s.copies[i].assign(static_cast<size_t>(range.count), 0);
        }
        if (kor_modbus_init_data_subscription_block(
                ctx, range.id, static_cast<int32_t>(range.first), range.count) != 0) {
            return -1;
        }
    }
    return 0;
}

int kor_oven_read_subscription_blocks(modbus_data_t *ctx) {
    if (!kor_regs::present(Where::current(), ctx)) {
        return -1;
    }
    OvenStatus &s = status();
    for (size_t i = 0; i < kRanges.size(); ++i) {
        // The transport copies under its block lock; ours is taken only for the hand-over, so
        // the bus side and the readers never wait on each other.
        std::array<uint16_t, KOR_MODBUS_MAX_BLOCK_REGISTERS> fresh{};
        if (kor_modbus_read_data_subscription_block(ctx, kRanges[i].id, fresh.data()) != 0) {
            return -1;
        }
        std::lock_guard guard(s.lock);
        std::vector<uint16_t> &copy = s.copies[i];
        if (copy.size() != static_cast<size_t>(kRanges[i].count)) {
            return -1;  // released by kor_oven_free meanwhile, or never subscribed here
        }
        std::copy_n(fresh.begin(), copy.size(), copy.begin());
    }
    return 0;
}

int kor_oven_free(void) {
    OvenStatus &s = status();
    std::lock_guard guard(s.lock);
    for (auto &copy : s.copies) {
        std::vector<uint16_t>().swap(copy);
    }
    return 0;
}

int kor_oven_read_connection_status(modbus_data_t *ctx) {
    if (!kor_regs::present(Where::current(), ctx)) {
        return -1;
    }
    status().connection_status = kor_modbus_get_state(ctx);
    return 0;
}

int32_t kor_oven_get_modbus_connection_state(void) {
    return status().connection_status;
}

int kor_oven_get_faults(board_fault_t **faults, int32_t *count) {
    if (!kor_regs::present(Where::current(), faults, count)) {
        return -1;
    }
    // The calling thread's own table, valid until its next call.
    thread_local std::array<board_fault_t, KOR_OVEN_FAULT_COUNT> table{};
    OvenStatus &s = status();
    {
        std::lock_guard guard(s.lock);
        const std::vector<uint16_t> &copy = s.copies[KOR_OVEN_FAULT_BLOCK];
        for (size_t i = 0; i < table.size(); ++i) {
            // Renumbered on every call: the table is handed out writable.
            table[i].reg = KOR_OVEN_FAULT_FIRST_REGISTER + static_cast<uint32_t>(i);
            table[i].value = i < copy.size() ? copy[i] : 0;
        }
    }
    *faults = table.data();
    *count = KOR_OVEN_FAULT_COUNT;
    return 0;
}

int kor_oven_get_diagnostic_reg_data(diagnostic_reg_data_t *data) {
    if (!kor_regs::present(Where::current(), data)) {
        return -1;
    }
    std::array<int32_t, KOR_OVEN_DIAGNOSTIC_COUNT> fields{};
    {
        OvenStatus &s = status();
        std::lock_guard guard(s.lock);
        const std::vector<uint16_t> &copy = s.copies[KOR_OVEN_DIAGNOSTIC_BLOCK];
        std::copy_n(copy.begin(), std::min(copy.size(), fields.size()), fields.begin());
    }
    std::memcpy(data, fields.data(), sizeof(*data));
    return 0;
}

uint16_t kor_oven_get_status_reg(void) {
    return status_word(kOvenStateRegister);
}

uint16_t kor_oven_get_thermocouple_reg(int32_t thermocouple) {
    return numbered_status_word(kThermocouple1Register, thermocouple, kThermocouples);
}

uint16_t kor_oven_get_temp_reg(void) {
    return status_word(kTemperatureRegister);
}

uint16_t kor_oven_get_photo_eye_reg(void) {
    return status_word(kPhotoEyeRegister);
}

uint16_t kor_oven_get_blower_speed_reg(int32_t blower) {
    return numbered_status_word(kBlowerSpeed1Register, blower, kBlowers);
}

uint16_t kor_oven_get_cooling_fan_status_reg(void) {
    return status_word(kCoolingFanRegister);
}

uint16_t kor_oven_get_belt_speed_reg(int32_t belt) {
    return numbered_status_word(kBeltSpeed1Register, belt, kBelts);
}

uint16_t kor_oven_get_ignition_status_reg(void) {
    return status_word(kIgnitionStatusRegister);
}

uint16_t kor_oven_get_air_shutter_pos_reg(void) {
    return status_word(kAirShutterRegister);
}

uint16_t kor_oven_get_heat_output_percent_reg(void) {
    return status_word(kHeatOutputRegister);
}

uint16_t kor_oven_get_reset_ignition_reg(void) {
    return status().word(KOR_OVEN_FAULT_BLOCK, KOR_OVEN_RESET_IGNITION_REGISTER);
}

}  // extern "C"
