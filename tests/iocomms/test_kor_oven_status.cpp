// Oven-wide registers and the polled copies over the recording fake link: which register each
// function reaches, the clock split, the fault table, the diagnostic record, and what the
// accessors give before the blocks exist, before a poll and after one.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "register_map_fixture.hpp"

namespace {

using kor_test::Op;
using kor_test::Outcome;
using kor_test::RegisterMapTest;
using kor_test::wait_until;
using kor_test::Write;

// A distinct value for every register, so a word read from the wrong place shows.
uint16_t board_value(int reg) {
    return static_cast<uint16_t>(reg * 3 + 7);
}

extern "C" size_t kor_c_sizeof_diagnostic_reg_data(void);
extern "C" size_t kor_c_offsetof_tcstate7(void);
extern "C" size_t kor_c_sizeof_board_fault(void);

class OvenStatus : public RegisterMapTest {
  protected:
    // Fills the fake board's polled ranges with board_value().
    void fill_polled_ranges() {
        for (int reg = 99; reg <= 119; ++reg)
            fake.set_register(reg, board_value(reg));
        for (int reg = 199; reg <= 212; ++reg)
            fake.set_register(reg, board_value(reg));
        for (int reg = 299; reg <= 336; ++reg)
            fake.set_register(reg, board_value(reg));
    }

    // Subscribes, polls, and waits until a copy shows the board's words.
    void poll_once() {
        ASSERT_EQ(0, kor_oven_subscribe_to_register_blocks(ctx));
        ASSERT_EQ(0, kor_modbus_start_polling(ctx));
        ASSERT_TRUE(wait_until([&] {
            diagnostic_reg_data_t d{};
            return kor_oven_read_subscription_blocks(ctx) == 0 &&
                   kor_oven_get_status_reg() == board_value(99) &&
                   kor_oven_get_reset_ignition_reg() == board_value(207) &&
                   kor_oven_get_diagnostic_reg_data(&d) == 0 && d.tcstate7 == board_value(336);
        })) << "the polled copies never showed the board's registers";
    }
};

TEST_F(OvenStatus, WritersReachTheirRegistersInOrder) {
    EXPECT_EQ(0, kor_oven_init(ctx, 1, 3, 1));
    EXPECT_EQ(0, kor_oven_set_oven_enable(ctx, 0));
    EXPECT_EQ(0, kor_oven_set_machine_config(ctx, 12));
    EXPECT_EQ(0, kor_oven_set_panel_switch_enable(ctx, 2));
    EXPECT_EQ(0, kor_oven_set_heat_high_limit_enable(ctx, 1));
    EXPECT_EQ(0, kor_oven_set_time(ctx, 0x12345678u));
    EXPECT_EQ(0, kor_oven_clear_fault(ctx, 207));

    const std::vector<Write> expected{{1, 1},  {2, 3},  {82, 1},       {1, 0},        {2, 12},
                                      {82, 2}, {80, 1}, {401, 0x5678}, {402, 0x1234}, {207, 0}};
    EXPECT_EQ(expected, drain_writes());
}

TEST_F(OvenStatus, RefusedArgumentsNeverReachTheBoard) {
    EXPECT_EQ(-1, kor_oven_init(nullptr, 1, 3, 1));
    EXPECT_EQ(-1, kor_oven_set_time(nullptr, 1));
    EXPECT_EQ(-1, kor_oven_set_heat_high_limit_enable(nullptr, 1));
    // Only fault words can be cleared: anything else would zero a setting.
    EXPECT_EQ(-1, kor_oven_clear_fault(ctx, 198));
    EXPECT_EQ(-1, kor_oven_clear_fault(ctx, 213));
    EXPECT_EQ(-1, kor_oven_clear_fault(ctx, 1));
    EXPECT_EQ(-1, kor_oven_clear_fault(nullptr, 207));

    uint16_t value = 0;
    EXPECT_EQ(-1, kor_oven_get_bldc_version(ctx, 0, &value));
    EXPECT_EQ(-1, kor_oven_get_bldc_version(ctx, 3, &value));
    EXPECT_EQ(-1, kor_oven_get_bldc_version(ctx, 1, nullptr));
    EXPECT_EQ(-1, kor_oven_get_version(ctx, nullptr));
    EXPECT_EQ(-1, kor_oven_get_version(nullptr, &value));
    EXPECT_EQ(-1, kor_oven_get_soak_time(ctx, nullptr));
    EXPECT_EQ(-1, kor_oven_get_soak_timer_time(ctx, nullptr));
    EXPECT_EQ(-1, kor_oven_get_oven_voltage(ctx, nullptr));
    EXPECT_EQ(-1, kor_oven_get_oven_enable(ctx, nullptr));
    EXPECT_EQ(-1, kor_oven_get_machine_config(ctx, nullptr));
    EXPECT_EQ(-1, kor_oven_get_oven_state(ctx, nullptr));
    EXPECT_EQ(KOR_OVEN_TEST_FLAG_UNKNOWN, kor_oven_get_test_flag_reg(nullptr));

    EXPECT_TRUE(reads().empty());
    EXPECT_TRUE(drain_writes().empty());
    EXPECT_EQ(5, argument_lines("Invalid input parameter", "kor_oven_status"));
    EXPECT_EQ(14, argument_lines("Parameter NULL", "kor_oven_status"));
}

TEST_F(OvenStatus, SynchronousReadersReadTheirRegisters) {
    struct Case {
        const char *name;
        std::function<int(uint16_t *)> read;
        int reg;
    };
    const std::vector<Case> cases{
        {"version", [&](uint16_t *v) { return kor_oven_get_version(ctx, v); }, 0},
        {"oven enable", [&](uint16_t *v) { return kor_oven_get_oven_enable(ctx, v); }, 1},
        {"machine config", [&](uint16_t *v) { return kor_oven_get_machine_config(ctx, v); }, 2},
        {"oven state", [&](uint16_t *v) { return kor_oven_get_oven_state(ctx, v); }, 99},
        {"soak time", [&](uint16_t *v) { return kor_oven_get_soak_time(ctx, v); }, 120},
        {"soak left", [&](uint16_t *v) { return kor_oven_get_soak_timer_time(ctx, v); }, 121},
        {"voltage", [&](uint16_t *v) { return kor_oven_get_oven_voltage(ctx, v); }, 122},
        {"drive 1", [&](uint16_t *v) { return kor_oven_get_bldc_version(ctx, 1, v); }, 123},
        {"drive 2", [&](uint16_t *v) { return kor_oven_get_bldc_version(ctx, 2, v); }, 124},
    };
    for (const Case &c : cases) {
        fake.set_register(c.reg, board_value(c.reg));
    }
    fake.set_register(74, 3);
    for (const Case &c : cases) {
        uint16_t value = 0;
        EXPECT_EQ(0, c.read(&value)) << c.name;
        EXPECT_EQ(board_value(c.reg), value) << c.name;
        ASSERT_FALSE(reads().empty());
        EXPECT_EQ(c.reg, reads().back()) << c.name;
    }
    EXPECT_EQ(3, kor_oven_get_test_flag_reg(ctx));
    EXPECT_EQ(74, reads().back());
}

TEST_F(OvenStatus, FailedReadsLeaveTheOutputAndFlagTheTestSelectorUnknown) {
    fake.set_default(Op::ReadRegister, failed_read());
    uint16_t value = 4242;
    EXPECT_EQ(-1, kor_oven_get_version(ctx, &value));
    EXPECT_EQ(-1, kor_oven_get_soak_timer_time(ctx, &value));
    EXPECT_EQ(-1, kor_oven_get_bldc_version(ctx, 2, &value));
    EXPECT_EQ(4242, value);
    EXPECT_EQ(KOR_OVEN_TEST_FLAG_UNKNOWN, kor_oven_get_test_flag_reg(ctx));
}

TEST_F(OvenStatus, AccessorsGiveZeroBeforeTheBlocksExistAndBeforeThePoll) {
    fill_polled_ranges();
    auto all_zero = [] {
        diagnostic_reg_data_t diag;
        std::memset(&diag, 0xA5, sizeof diag);
        EXPECT_EQ(0, kor_oven_get_diagnostic_reg_data(&diag));
        const std::array<int32_t, 38> zeros{};
        return kor_oven_get_status_reg() == 0 && kor_oven_get_temp_reg() == 0 &&
               kor_oven_get_photo_eye_reg() == 0 && kor_oven_get_blower_speed_reg(1) == 0 &&
               kor_oven_get_thermocouple_reg(6) == 0 && kor_oven_get_belt_speed_reg(2) == 0 &&
               kor_oven_get_cooling_fan_status_reg() == 0 &&
               kor_oven_get_air_shutter_pos_reg() == 0 && kor_oven_get_ignition_status_reg() == 0 &&
               kor_oven_get_heat_output_percent_reg() == 0 &&
               kor_oven_get_reset_ignition_reg() == 0 &&
               std::memcmp(&diag, zeros.data(), sizeof diag) == 0;
    };
    // Never subscribed: nothing to read, and nothing to refresh from.
    EXPECT_TRUE(all_zero());
    EXPECT_EQ(-1, kor_oven_read_subscription_blocks(ctx));

    // Subscribed, not yet polled.
    ASSERT_EQ(0, kor_oven_subscribe_to_register_blocks(ctx));
    EXPECT_EQ(0, kor_oven_read_subscription_blocks(ctx));
    EXPECT_TRUE(all_zero());
    EXPECT_EQ(0, fake.count(Op::ReadRegisters));
}

TEST_F(OvenStatus, PollingSubscribesTheThreeRangesInOrder) {
    fill_polled_ranges();
    poll_once();
    const auto polls = fake.calls(Op::ReadRegisters);
    ASSERT_GE(polls.size(), 3u);
    EXPECT_EQ(99, polls[0].address);
    EXPECT_EQ(21, polls[0].count);
    EXPECT_EQ(199, polls[1].address);
    EXPECT_EQ(14, polls[1].count);
    EXPECT_EQ(299, polls[2].address);
    EXPECT_EQ(38, polls[2].count);
}

TEST_F(OvenStatus, AccessorsReadTheirWordOfThePolledStatus) {
    fill_polled_ranges();
    poll_once();
    struct Case {
        const char *name;
        std::function<uint16_t()> get;
        int reg;  // 0: out of range, must give 0
    };
    const std::vector<Case> cases{
        {"status", kor_oven_get_status_reg, 99},
        {"temperature", kor_oven_get_temp_reg, 106},
        {"photo eye", kor_oven_get_photo_eye_reg, 107},
        {"cooling fan", kor_oven_get_cooling_fan_status_reg, 112},
        {"ignition", kor_oven_get_ignition_status_reg, 117},
        {"air shutter", kor_oven_get_air_shutter_pos_reg, 118},
        {"heat output", kor_oven_get_heat_output_percent_reg, 119},
        {"reset ignition", kor_oven_get_reset_ignition_reg, 207},
        {"tc 1", [] { return kor_oven_get_thermocouple_reg(1); }, 100},
        {"tc 6", [] { return kor_oven_get_thermocouple_reg(6); }, 105},
        {"blower 1", [] { return kor_oven_get_blower_speed_reg(1); }, 108},
        {"blower 4", [] { return kor_oven_get_blower_speed_reg(4); }, 111},
        {"belt 1", [] { return kor_oven_get_belt_speed_reg(1); }, 115},
        {"belt 2", [] { return kor_oven_get_belt_speed_reg(2); }, 116},
        // The neighbours of every numbered range hold data, so a missing bound check shows.
        {"tc 0", [] { return kor_oven_get_thermocouple_reg(0); }, 0},
        {"tc 7", [] { return kor_oven_get_thermocouple_reg(7); }, 0},
        {"blower 0", [] { return kor_oven_get_blower_speed_reg(0); }, 0},
        {"blower 5", [] { return kor_oven_get_blower_speed_reg(5); }, 0},
        {"belt 0", [] { return kor_oven_get_belt_speed_reg(0); }, 0},
        {"belt 3", [] { return kor_oven_get_belt_speed_reg(3); }, 0},
        {"belt -1", [] { return kor_oven_get_belt_speed_reg(-1); }, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.reg == 0 ? 0 : board_value(c.reg), c.get()) << c.name;
    }
    EXPECT_EQ(0, fake.count(Op::ReadRegister)) << "accessors must not touch the bus";
}

TEST_F(OvenStatus, FaultTableAlwaysHoldsTheFourteenFaultWords) {
    board_fault_t *faults = nullptr;
    int32_t count = 0;
    ASSERT_EQ(0, kor_oven_get_faults(&faults, &count));
    ASSERT_EQ(14, count);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(199u + i, faults[i].reg);
        EXPECT_EQ(0, faults[i].value);
    }

    fill_polled_ranges();
    poll_once();
    faults[3].reg = 1;  // a caller scribbling on the handed-out table
    ASSERT_EQ(0, kor_oven_get_faults(&faults, &count));
    ASSERT_EQ(14, count);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(199u + i, faults[i].reg);
        EXPECT_EQ(board_value(199 + i), faults[i].value);
    }

    EXPECT_EQ(-1, kor_oven_get_faults(nullptr, &count));
    EXPECT_EQ(-1, kor_oven_get_faults(&faults, nullptr));
}

TEST_F(OvenStatus, DiagnosticRecordCarriesTheRegistersInOrder) {
    fill_polled_ranges();
    poll_once();
    diagnostic_reg_data_t d{};
    ASSERT_EQ(0, kor_oven_get_diagnostic_reg_data(&d));
    std::array<int32_t, 38> fields{};
    std::memcpy(fields.data(), &d, sizeof d);
    for (int i = 0; i < 38; ++i) {
        EXPECT_EQ(board_value(299 + i), fields[i]) << "field " << i;
    }
    EXPECT_EQ(board_value(299), d.di1);
    EXPECT_EQ(board_value(310), d.oc4);  // gas manifold valve
    EXPECT_EQ(board_value(313), d.oc7);  // ignitor
    EXPECT_EQ(board_value(322), d.dac8);
    EXPECT_EQ(board_value(329), d.mcp7);
    EXPECT_EQ(board_value(330), d.tcstate1);
    EXPECT_EQ(-1, kor_oven_get_diagnostic_reg_data(nullptr));
    // C sees the same records.
    EXPECT_EQ(sizeof(diagnostic_reg_data_t), kor_c_sizeof_diagnostic_reg_data());
    EXPECT_EQ(offsetof(diagnostic_reg_data_t, tcstate7), kor_c_offsetof_tcstate7());
    EXPECT_EQ(sizeof(board_fault_t), kor_c_sizeof_board_fault());
}

TEST_F(OvenStatus, CopiesFollowTheBoardAndGoAwayWithFree) {
    fill_polled_ranges();
    poll_once();
    fake.set_register(106, 451);
    fake.set_register(207, 1);
    ASSERT_TRUE(wait_until([&] {
        kor_oven_read_subscription_blocks(ctx);
        return kor_oven_get_temp_reg() == 451 && kor_oven_get_reset_ignition_reg() == 1;
    }));

    EXPECT_EQ(0, kor_oven_free());
    EXPECT_EQ(0, kor_oven_get_temp_reg());
    EXPECT_EQ(0, kor_oven_get_reset_ignition_reg());
    EXPECT_EQ(-1, kor_oven_read_subscription_blocks(ctx));
    EXPECT_EQ(-1, kor_oven_read_subscription_blocks(nullptr));
    EXPECT_EQ(-1, kor_oven_subscribe_to_register_blocks(nullptr));
}

TEST_F(OvenStatus, ConnectionStateIsTheTransportsAsLastRead) {
    ASSERT_EQ(0, kor_oven_read_connection_status(ctx));
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_oven_get_modbus_connection_state());
    EXPECT_EQ(-1, kor_oven_read_connection_status(nullptr));
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_oven_get_modbus_connection_state());

    // The board stops answering: five reads in a row time out and the link counts as lost,
    // but only the next read of the status tells.
    Outcome timeout;
    timeout.result = -1;
    timeout.err = ETIMEDOUT;
    fake.set_default(Op::ReadRegister, timeout);
    uint16_t value = 0;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(-1, kor_oven_get_version(ctx, &value));
    }
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_oven_get_modbus_connection_state());
    ASSERT_EQ(0, kor_oven_read_connection_status(ctx));
    EXPECT_EQ(KOR_MODBUS_STATE_DISCONNECTED, kor_oven_get_modbus_connection_state());
}

}  // namespace
