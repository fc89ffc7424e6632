// Blower, heater and belt registers over the recording fake link: the write orders of the init
// functions, the register each setter and getter reaches for every position, the address lookups,
// the test selector, and refused positions and outputs that never reach the bus.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "register_map_fixture.hpp"

namespace {

using kor_test::Op;
using kor_test::RegisterMapTest;
using kor_test::Write;

extern "C" size_t kor_c_sizeof_blower_addresses(void);
extern "C" size_t kor_c_sizeof_belt_addresses(void);

uint16_t board_value(int reg) {
    return static_cast<uint16_t>(reg * 5 + 3);
}

using BoardRegisters = RegisterMapTest;

TEST_F(BoardRegisters, BlowerAddressesForEveryPosition) {
    for (int32_t n = 1; n <= 4; ++n) {
        const uint32_t b = 20 + 9 * static_cast<uint32_t>(n - 1);
        const blower_addresses_t a = get_blower_addresses(n);
        SCOPED_TRACE("blower " + std::to_string(n));
        EXPECT_EQ(b, a.enable);
        EXPECT_EQ(b + 1, a.vdc_min);
        EXPECT_EQ(b + 2, a.vdc_max);
        EXPECT_EQ(b + 3, a.hz_startup);
        EXPECT_EQ(b + 4, a.hz_high);
        EXPECT_EQ(b + 5, a.hz_idle);
        EXPECT_EQ(b + 6, a.hz_cooldown);
        EXPECT_EQ(b + 7, a.hz_min);
        EXPECT_EQ(b + 8, a.hz_max);
        EXPECT_EQ(69u + static_cast<uint32_t>(n), a.pulse_threshold);
        EXPECT_EQ(19u, a.photocell_delay);
        EXPECT_EQ(69 + n, get_inverter_pulse_threshold_address(n));
    }
    EXPECT_EQ(47u, get_blower_addresses(4).enable);
    EXPECT_EQ(55u, get_blower_addresses(4).hz_max);
    for (int32_t bad : {0, 5, -1, 100}) {
        const blower_addresses_t a = get_blower_addresses(bad);
        const blower_addresses_t zeros{};
        EXPECT_EQ(0, std::memcmp(&a, &zeros, sizeof a)) << bad;
        EXPECT_EQ(-1, get_inverter_pulse_threshold_address(bad)) << bad;
    }
    EXPECT_EQ(sizeof(blower_addresses_t), kor_c_sizeof_blower_addresses());
}

TEST_F(BoardRegisters, BeltAddressesForEveryPosition) {
    const belt_addresses_t one = get_belt_addresses(1);
    const belt_addresses_t two = get_belt_addresses(2);
    const std::vector<uint32_t> expected_one{3, 4, 5, 6, 8, 9, 10};
    const std::vector<uint32_t> expected_two{11, 12, 13, 14, 16, 17, 18};
    EXPECT_EQ(expected_one,
              (std::vector<uint32_t>{one.min_rpm, one.max_rpm, one.speed, one.direction, one.pid_p,
                                     one.pid_i, one.pid_d}));
    EXPECT_EQ(expected_two,
              (std::vector<uint32_t>{two.min_rpm, two.max_rpm, two.speed, two.direction, two.pid_p,
                                     two.pid_i, two.pid_d}));
    for (int32_t bad : {0, 3, -1}) {
        const belt_addresses_t a = get_belt_addresses(bad);
        const belt_addresses_t zeros{};
        EXPECT_EQ(0, std::memcmp(&a, &zeros, sizeof a)) << bad;
    }
    EXPECT_EQ(sizeof(belt_addresses_t), kor_c_sizeof_belt_addresses());
}

TEST_F(BoardRegisters, InitBlowerWritesTenRegistersInOrder) {
    EXPECT_EQ(0, kor_init_blower(ctx, 1, 0, 10, 40, 113, 60, 55, 63, 44, 4));
    EXPECT_EQ(0, kor_init_blower(ctx, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9));
    const std::vector<Write> expected{{20, 1},  {21, 0},  {22, 10}, {27, 40}, {28, 113},
                                      {23, 60}, {25, 55}, {24, 63}, {26, 44}, {19, 4},
                                      {47, 1},  {48, 1},  {49, 2},  {54, 3},  {55, 4},
                                      {50, 5},  {52, 6},  {51, 7},  {53, 8},  {19, 9}};
    EXPECT_EQ(expected, drain_writes());
}

TEST_F(BoardRegisters, BlowerSettersReachEachPositionsRegister) {
    std::vector<Write> expected;
    for (int32_t n = 1; n <= 4; ++n) {
        const uint32_t b = 20 + 9 * static_cast<uint32_t>(n - 1);
        const auto v = static_cast<uint16_t>(n * 100);
        EXPECT_EQ(0, kor_set_blower_speed(ctx, n, v + 1));
        EXPECT_EQ(0, kor_set_blower_hz_startup(ctx, n, v + 2));
        EXPECT_EQ(0, kor_set_blower_hz_cooldown(ctx, n, v + 3));
        EXPECT_EQ(0, kor_set_inverter_pulse_threshold(ctx, n, v + 4));
        expected.insert(expected.end(), {{static_cast<int>(b + 4), v + 1u},
                                         {static_cast<int>(b + 3), v + 2u},
                                         {static_cast<int>(b + 6), v + 3u},
                                         {69 + n, v + 4u}});
    }
    EXPECT_EQ(0, kor_set_blower_speed_sense_error(ctx, 0x08));
    EXPECT_EQ(0, kor_set_blower_speed_sensor_configuration(ctx, 0x0F));
    expected.insert(expected.end(), {{92, 0x08}, {93, 0x0F}});
    EXPECT_EQ(expected, drain_writes());
}

TEST_F(BoardRegisters, BlowerGettersReadEachPositionsRegister) {
    using Getter = int (*)(modbus_data_t *, int32_t, uint16_t *);
    struct Case {
        const char *name;
        Getter get;
        uint32_t offset;
    };
    const std::vector<Case> cases{
        {"vdc_min", kor_get_blower_vdc_min, 1},
        {"vdc_max", kor_get_blower_vdc_max, 2},
        {"hz_startup", kor_get_blower_hz_startup, 3},
        {"hz_high", kor_get_blower_hz_high, 4},
        {"hz_idle", kor_get_blower_hz_idle, 5},
        {"hz_cooldown", kor_get_blower_hz_cooldown, 6},
        {"hz_min", kor_get_blower_hz_min, 7},
        {"hz_max", kor_get_blower_hz_max, 8},
    };
    for (int reg = 20; reg <= 55; ++reg) {
        fake.set_register(reg, board_value(reg));
    }
    for (int32_t n = 1; n <= 4; ++n) {
        for (const Case &c : cases) {
            const int reg = static_cast<int>(20 + 9 * static_cast<uint32_t>(n - 1) + c.offset);
            uint16_t value = 0;
            EXPECT_EQ(0, c.get(ctx, n, &value)) << c.name << " " << n;
            EXPECT_EQ(board_value(reg), value) << c.name << " " << n;
            EXPECT_EQ(reg, reads().back()) << c.name << " " << n;
        }
    }
}

TEST_F(BoardRegisters, HeaterInitWritesNineRegistersInOrder) {
    EXPECT_EQ(0, kor_heater_init(ctx, 11, 12, 13, 450, 0x1F, 1, 0, 1, 85));
    const std::vector<Write> expected{{57, 11}, {58, 12}, {59, 13}, {56, 450}, {75, 0x1F},
                                      {62, 1},  {65, 0},  {80, 1},  {77, 85}};
    EXPECT_EQ(expected, drain_writes());
}

TEST_F(BoardRegisters, HeaterSettersReachTheirRegisters) {
    using Setter = int (*)(modbus_data_t *, uint16_t);
    struct Case {
        Setter set;
        int reg;
    };
    const std::vector<Case> cases{
        {kor_set_heater_tc_enable, 75},
        {kor_set_heater_target_temp, 56},
        {kor_set_heater_ignition_enable, 60},
        {kor_set_heater_attenuation_enable, 62},
        {kor_set_heater_attenuation_threshold, 63},
        {kor_set_heater_attenuation_delay, 64},
        {kor_set_heater_pid_p, 57},
        {kor_set_heater_pid_i, 58},
        {kor_set_heater_pid_d, 59},
        {kor_set_heater_attenuation_relay_no_nc, 65},
        {kor_set_heater_air_damper_pos, 66},
        {kor_set_heater_pid_tuning, 68},
        {kor_set_heater_photocell_enable, 69},
        {kor_set_heater_photocell_delay, 19},
        {kor_set_heater_energy_limit, 76},
        {kor_set_heater_level_setting_test, 79},
        {kor_set_heater_manifold_valve_test, 310},
        {kor_set_heater_autotune_enable, 81},
    };
    std::vector<Write> expected;
    uint16_t value = 1000;
    for (const Case &c : cases) {
        EXPECT_EQ(0, c.set(ctx, value)) << c.reg;
        expected.emplace_back(c.reg, value);
        ++value;
    }
    EXPECT_EQ(expected, drain_writes());
}

TEST_F(BoardRegisters, HeaterGettersReadTheirRegisters) {
    using Getter = int (*)(modbus_data_t *, uint16_t *);
    struct Case {
        Getter get;
        int reg;
    };
    const std::vector<Case> cases{
        {kor_get_heater_ignition_enable, 60},          {kor_get_heater_ignition_status, 117},
        {kor_get_heater_attenuation_enable, 62},       {kor_get_heater_attenuation_threshold, 63},
        {kor_get_heater_attenuation_relay_no_nc, 65},  {kor_get_heater_air_damper_pos, 66},
        {kor_get_heater_air_damper_pos_feedback, 118}, {kor_get_heater_photocell_enable, 69},
    };
    for (const Case &c : cases) {
        fake.set_register(c.reg, board_value(c.reg));
        uint16_t value = 0;
        EXPECT_EQ(0, c.get(ctx, &value)) << c.reg;
        EXPECT_EQ(board_value(c.reg), value) << c.reg;
        EXPECT_EQ(c.reg, reads().back());
    }
}

TEST_F(BoardRegisters, PidReadsStopAtTheFirstFailure) {
    for (int reg : {57, 58, 59, 8, 9, 10, 16, 17, 18}) {
        fake.set_register(reg, board_value(reg));
    }
    uint16_t p = 0, i = 0, d = 0;
    ASSERT_EQ(0, kor_get_heater_pid(ctx, &p, &i, &d));
    EXPECT_EQ((std::vector<uint16_t>{board_value(57), board_value(58), board_value(59)}),
              (std::vector<uint16_t>{p, i, d}));
    ASSERT_EQ(0, kor_get_belt_pid(ctx, 2, &p, &i, &d));
    EXPECT_EQ((std::vector<uint16_t>{board_value(16), board_value(17), board_value(18)}),
              (std::vector<uint16_t>{p, i, d}));
    EXPECT_EQ((std::vector<int>{57, 58, 59, 16, 17, 18}), reads());

    // The first read of the belt's I fails on every attempt: D is never asked for.
    fake.script(Op::ReadRegister, kor_test::Outcome{1});
    fake.script_n(Op::ReadRegister, 3, failed_read());
    p = i = d = 7;
    EXPECT_EQ(-1, kor_get_belt_pid(ctx, 1, &p, &i, &d));
    EXPECT_EQ(board_value(8), p);
    EXPECT_EQ(7, i);
    EXPECT_EQ(7, d);
    const std::vector<int> after = reads();
    EXPECT_EQ((std::vector<int>{8, 9, 9, 9}), std::vector<int>(after.begin() + 6, after.end()));

    fake.script(Op::ReadRegister, kor_test::Outcome{1});
    fake.script_n(Op::ReadRegister, 3, failed_read());
    EXPECT_EQ(-1, kor_get_heater_pid(ctx, &p, &i, &d));
    EXPECT_EQ(58, reads().back());
}

TEST_F(BoardRegisters, BeltInitAndSettersReachTheBeltsRegisters) {
    EXPECT_EQ(0, kor_belt_init(ctx, 1, 100, 200, 1, 240, 80, 36, 2));
    EXPECT_EQ(0, kor_belt_init(ctx, 2, 101, 201, 0, 241, 81, 37, 3));
    EXPECT_EQ(0, kor_set_belt_pid(ctx, 1, 88, 22, 13));
    EXPECT_EQ(0, kor_set_belt_pid(ctx, 2, 89, 23, 14));
    EXPECT_EQ(0, kor_set_belt_speed(ctx, 2, 300));
    EXPECT_EQ(0, kor_set_belt_direction(ctx, 2, 1));
    EXPECT_EQ(0, kor_set_belt_min_rpm(ctx, 1, 50));
    EXPECT_EQ(0, kor_set_belt_max_rpm(ctx, 2, 900));
    EXPECT_EQ(0, kor_set_belt_enabled(ctx, 3));
    EXPECT_EQ(0, kor_set_photoeye_timeout(ctx, 495));
    const std::vector<Write> expected{
        {3, 100}, {4, 200},  {6, 1},    {5, 240}, {8, 80}, {9, 36},   {10, 2}, {11, 101}, {12, 201},
        {14, 0},  {13, 241}, {16, 81},  {17, 37}, {18, 3}, {8, 88},   {9, 22}, {10, 13},  {16, 89},
        {17, 23}, {18, 14},  {13, 300}, {14, 1},  {3, 50}, {12, 900}, {15, 3}, {7, 495}};
    EXPECT_EQ(expected, drain_writes());
}

TEST_F(BoardRegisters, TestSelectorTakesItsCodeOnlyForOne) {
    for (uint16_t on : {1, 0, 2, 3, 65535}) {
        EXPECT_EQ(0, kor_set_blower_enable_relay_test(ctx, on));
        EXPECT_EQ(0, kor_set_heater_enable_relay_test(ctx, on));
        EXPECT_EQ(0, kor_set_belt_enable_test(ctx, on));
    }
    std::vector<Write> expected{{74, 1}, {74, 2}, {74, 3}};
    for (int i = 0; i < 4 * 3; ++i) {
        expected.emplace_back(74, 0);
    }
    EXPECT_EQ(expected, drain_writes());
}

TEST_F(BoardRegisters, PositionsWithoutRegistersAreRefusedWithoutTraffic) {
    uint16_t value = 0, p = 0, i = 0, d = 0;
    for (int32_t bad : {0, 5, -1}) {
        EXPECT_EQ(-1, kor_init_blower(ctx, bad, 1, 2, 3, 4, 5, 6, 7, 8, 9)) << bad;
        EXPECT_EQ(-1, kor_set_blower_speed(ctx, bad, 1)) << bad;
        EXPECT_EQ(-1, kor_set_blower_hz_startup(ctx, bad, 1)) << bad;
        EXPECT_EQ(-1, kor_set_blower_hz_cooldown(ctx, bad, 1)) << bad;
        EXPECT_EQ(-1, kor_set_inverter_pulse_threshold(ctx, bad, 1)) << bad;
        EXPECT_EQ(-1, kor_get_blower_hz_high(ctx, bad, &value)) << bad;
        EXPECT_EQ(-1, kor_get_blower_vdc_min(ctx, bad, &value)) << bad;
    }
    for (int32_t bad : {0, 3, -1}) {
        EXPECT_EQ(-1, kor_belt_init(ctx, bad, 1, 2, 3, 4, 5, 6, 7)) << bad;
        EXPECT_EQ(-1, kor_set_belt_speed(ctx, bad, 1)) << bad;
        EXPECT_EQ(-1, kor_set_belt_direction(ctx, bad, 1)) << bad;
        EXPECT_EQ(-1, kor_set_belt_min_rpm(ctx, bad, 1)) << bad;
        EXPECT_EQ(-1, kor_set_belt_max_rpm(ctx, bad, 1)) << bad;
        EXPECT_EQ(-1, kor_set_belt_pid(ctx, bad, 1, 2, 3)) << bad;
        EXPECT_EQ(-1, kor_get_belt_pid(ctx, bad, &p, &i, &d)) << bad;
    }
    EXPECT_TRUE(drain_writes().empty());
    EXPECT_TRUE(reads().empty());
    EXPECT_EQ(3 * 7, argument_lines("Invalid input parameter", "kor_blower"));
    EXPECT_EQ(3 * 7, argument_lines("Invalid input parameter", "kor_belt"));
}

TEST_F(BoardRegisters, MissingContextOrOutputNeverReachesTheBus) {
    uint16_t value = 0, p = 0, i = 0;
    // Null outputs.
    EXPECT_EQ(-1, kor_get_blower_hz_idle(ctx, 1, nullptr));
    EXPECT_EQ(-1, kor_get_heater_ignition_status(ctx, nullptr));
    EXPECT_EQ(-1, kor_get_heater_photocell_enable(ctx, nullptr));
    EXPECT_EQ(-1, kor_get_heater_pid(ctx, &p, &i, nullptr));
    EXPECT_EQ(-1, kor_get_belt_pid(ctx, 1, nullptr, &i, &value));
    // Null context.
    EXPECT_EQ(-1, kor_get_blower_hz_max(nullptr, 1, &value));
    EXPECT_EQ(-1, kor_get_heater_air_damper_pos(nullptr, &value));
    EXPECT_EQ(-1, kor_init_blower(nullptr, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9));
    EXPECT_EQ(-1, kor_set_blower_speed(nullptr, 1, 1));
    EXPECT_EQ(-1, kor_set_blower_speed_sensor_configuration(nullptr, 1));
    EXPECT_EQ(-1, kor_heater_init(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9));
    EXPECT_EQ(-1, kor_set_heater_target_temp(nullptr, 400));
    EXPECT_EQ(-1, kor_set_heater_enable_relay_test(nullptr, 1));
    EXPECT_EQ(-1, kor_belt_init(nullptr, 1, 1, 2, 3, 4, 5, 6, 7));
    EXPECT_EQ(-1, kor_set_belt_pid(nullptr, 1, 1, 2, 3));
    EXPECT_EQ(-1, kor_set_belt_enabled(nullptr, 3));

    EXPECT_TRUE(drain_writes().empty());
    EXPECT_TRUE(reads().empty());
    EXPECT_EQ(5, argument_lines("Parameter NULL", "kor_blower"));
    EXPECT_EQ(7, argument_lines("Parameter NULL", "kor_heater"));
    EXPECT_EQ(4, argument_lines("Parameter NULL", "kor_belt"));
}

TEST_F(BoardRegisters, FailedReadLeavesTheOutputAlone) {
    fake.set_default(Op::ReadRegister, failed_read());
    uint16_t value = 4242;
    EXPECT_EQ(-1, kor_get_blower_hz_high(ctx, 2, &value));
    EXPECT_EQ(-1, kor_get_heater_ignition_enable(ctx, &value));
    EXPECT_EQ(4242, value);
    EXPECT_EQ(3 * 2, fake.count(Op::ReadRegister)) << "three attempts each";
}

}  // namespace
