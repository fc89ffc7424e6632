// The unit conversions and the operation state, against the sample two-belt, four-blower store
// (frequencies 450-700, 28.856 RPM/Hz + 86.518, 54.75 in cavity, 5.5 in pitch, 15/15 teeth,
// ratio 200, 100-3000 RPM, 60-1200 s) and hand-changed copies of it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "kor_operation_state.h"
#include "kor_oven_config.h"
#include "kor_oven_conversions.h"
#include "log_capture.hpp"
#include "zeb_logger.h"

namespace {

using kor_test::LogCapture;

constexpr const char *kSrvModule = "kor_oven_operation_service";
constexpr const char *kStateModule = "kor_operation_state";

oven_config_t sample_config() {
    static const oven_config_t loaded = [] {
        zeb_logger_t *logger = nullptr;
        EXPECT_EQ(zeb_logger_open(&logger), 0);
        const std::string dir = kor_test::source_dir() + "/data/config";
        EXPECT_EQ(kor_load_oven_config(dir.c_str(), logger), 0);
        zeb_logger_close(logger);  // the library keeps none of it
        oven_config_t config{};
        EXPECT_EQ(kor_get_oven_config(&config), 0);
        return config;
    }();
    return loaded;
}

operation_state_t snapshot() {
    operation_state_t state;
    EXPECT_EQ(kor_get_operation_state(&state), 0);
    return state;
}

class Conversions : public ::testing::Test {
  protected:
    oven_config_t config = sample_config();
    LogCapture log;

    int32_t cook_time_to_rpm(int32_t cook_time, int32_t belt = 1) {
        int32_t rpm = -7;
        EXPECT_EQ(kor_srv_convert_cook_time_to_rpm(cook_time, belt, &config, &rpm), 0);
        return rpm;
    }
    int32_t rpm_to_cook_time(int32_t rpm, int32_t belt = 1) {
        int32_t cook_time = -7;
        EXPECT_EQ(kor_srv_convert_rpm_to_cook_time(rpm, belt, &config, &cook_time), 0);
        return cook_time;
    }
};

TEST_F(Conversions, SampleStoreHasTheWorkedExampleConstants) {
    EXPECT_EQ(config.inverter_hz_min, 450);
    EXPECT_EQ(config.inverter_hz_max, 700);
    EXPECT_FLOAT_EQ(config.hz_rpm_multiplier, 28.856f);
    EXPECT_FLOAT_EQ(config.hz_rpm_offset, 86.518f);
    EXPECT_FLOAT_EQ(config.belt_length, 54.75f);
    EXPECT_EQ(config.belt[0].belt_motor_ratio, 200);
}

TEST_F(Conversions, BlowerFrequencyAndRpmInTheirOwnUnits) {
    int32_t rpm = 0;
    for (auto [hz, expected] : {std::pair{40, 1241}, {60, 1818}, {90, 2684}}) {
        ASSERT_EQ(kor_srv_convert_blower_hz_to_rpm(hz, &config, &rpm), 0);
        EXPECT_EQ(rpm, expected) << hz << " Hz";
    }
    // Back from RPM the result is in tenths of Hz.
    int32_t hz = 0;
    ASSERT_EQ(kor_srv_convert_blower_rpm_to_hz(1241, &config, &hz), 0);
    EXPECT_EQ(hz, 400);
    ASSERT_EQ(kor_srv_convert_blower_rpm_to_hz(2684, &config, &hz), 0);
    EXPECT_EQ(hz, 900);

    EXPECT_EQ(kor_srv_convert_blower_hz_to_rpm(40, nullptr, &rpm), -1);
    EXPECT_EQ(kor_srv_convert_blower_rpm_to_hz(1241, &config, nullptr), -1);
    EXPECT_EQ(log.count_containing("Parameter NULL (kor_oven_conversions:"), 2);
}

TEST_F(Conversions, FrequencyToPercentInsideTheInverterRangeOnly) {
    int32_t percent = 0;
    for (auto [hz, expected] : {std::pair{450, 64}, {550, 79}, {700, 100}}) {
        ASSERT_EQ(kor_srv_convert_hz_to_blower_percent(hz, 1, &config, &percent), 0);
        EXPECT_EQ(percent, expected) << hz;
    }
    // Outside the range: -1, the output untouched and nothing logged.
    percent = 42;
    EXPECT_EQ(kor_srv_convert_hz_to_blower_percent(350, 1, &config, &percent), -1);
    EXPECT_EQ(kor_srv_convert_hz_to_blower_percent(750, 4, &config, &percent), -1);
    EXPECT_EQ(percent, 42);
    EXPECT_TRUE(log.lines().empty()) << log.dump();

    EXPECT_EQ(kor_srv_convert_hz_to_blower_percent(550, 0, &config, &percent), -1);
    EXPECT_EQ(kor_srv_convert_hz_to_blower_percent(550, 5, &config, &percent), -1);
    EXPECT_EQ(
        log.count_containing("Blower number parameter out of range: 0 - (kor_oven_conversions:"),
        1);
    EXPECT_EQ(
        log.count_containing("Blower number parameter out of range: 5 - (kor_oven_conversions:"),
        1);
    EXPECT_EQ(kor_srv_convert_hz_to_blower_percent(550, 1, nullptr, &percent), -1);
    EXPECT_EQ(log.count_containing("Parameter NULL (kor_oven_conversions:"), 1);
    EXPECT_EQ(percent, 42);
}

TEST_F(Conversions, PercentToFrequencyAddsFiveBeforeScaling) {
    int32_t hz = 0;
    for (auto [percent, expected] : {std::pair{100, 700}, {75, 560}, {65, 490}}) {
        ASSERT_EQ(kor_srv_convert_blower_percent_to_hz(percent, 2, &config, &hz), 0);
        EXPECT_EQ(hz, expected) << percent << " %";
    }
    EXPECT_TRUE(log.lines().empty()) << log.dump();

    // Below the inverter minimum: the frequency is still handed out, with -1.
    EXPECT_EQ(kor_srv_convert_blower_percent_to_hz(50, 2, &config, &hz), -1);
    EXPECT_EQ(hz, 385);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].message, "Calculated blower hz out of range. hz: 385");
    EXPECT_EQ(log.lines()[0].level, ZEB_LOG_ERR);
    EXPECT_EQ(log.lines()[0].module, kSrvModule);
}

TEST_F(Conversions, PercentToFrequencyChecksPercentThenBlowerThenPointers) {
    int32_t hz = 11;
    EXPECT_EQ(kor_srv_convert_blower_percent_to_hz(-1, 1, &config, &hz), -1);
    EXPECT_EQ(kor_srv_convert_blower_percent_to_hz(101, 1, &config, &hz), -1);
    EXPECT_EQ(
        log.count_containing("Blower speed parameter out of range: -1 - (kor_oven_conversions:"),
        1);
    EXPECT_EQ(
        log.count_containing("Blower speed parameter out of range: 101 - (kor_oven_conversions:"),
        1);
    EXPECT_EQ(kor_srv_convert_blower_percent_to_hz(75, 0, &config, &hz), -1);
    EXPECT_EQ(kor_srv_convert_blower_percent_to_hz(75, 5, &config, &hz), -1);
    EXPECT_EQ(log.count_containing("Blower number parameter out of range: 0 - ("), 1);
    EXPECT_EQ(log.count_containing("Blower number parameter out of range: 5 - ("), 1);
    EXPECT_EQ(hz, 11);

    // Each failure reports only the first check it fails.
    log.clear();
    EXPECT_EQ(kor_srv_convert_blower_percent_to_hz(150, 9, nullptr, nullptr), -1);
    EXPECT_EQ(kor_srv_convert_blower_percent_to_hz(75, 9, nullptr, nullptr), -1);
    EXPECT_EQ(kor_srv_convert_blower_percent_to_hz(75, 1, nullptr, &hz), -1);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u) << log.dump();
    EXPECT_EQ(lines[0].message.rfind("Blower speed parameter out of range: 150 - (", 0), 0u);
    EXPECT_EQ(lines[1].message.rfind("Blower number parameter out of range: 9 - (", 0), 0u);
    EXPECT_EQ(lines[2].message.rfind("Parameter NULL (kor_oven_conversions:", 0), 0u);
}

TEST_F(Conversions, CookTimeToRpmWithTweakAndModifier) {
    EXPECT_EQ(cook_time_to_rpm(330), 362);
    config.belt[0].tweak_speed_percent = 15;
    EXPECT_EQ(cook_time_to_rpm(330), 416);
    config.belt[0].tweak_speed_percent = -15;
    EXPECT_EQ(cook_time_to_rpm(330), 308);
    config.belt[0].tweak_speed_percent = 0;
    for (auto [modifier, expected] : {std::pair{30, 109}, {200, 724}, {800, 2896}}) {
        config.belt[0].rpm_modifier_percent = modifier;
        EXPECT_EQ(cook_time_to_rpm(330), expected) << modifier << " %";
    }
    EXPECT_TRUE(log.lines().empty()) << log.dump();

    // Belt 2 has its own entry: belt 1's modifier does not reach it.
    EXPECT_EQ(cook_time_to_rpm(330, 2), 362);
    config.belt[1].tweak_speed_percent = 15;
    EXPECT_EQ(cook_time_to_rpm(330, 2), 416);
}

TEST_F(Conversions, CookTimeToRpmClampsToTheMotorLimitsAndLogsEachTime) {
    config.belt[0].rpm_modifier_percent = 1000;
    EXPECT_EQ(cook_time_to_rpm(330), 3000);
    EXPECT_EQ(log.count("kor_srv_convert_cook_time_to_rpm RPM out of range. invalid_rpm: 3620, "
                        "actual_rpm: 3000, cook_time: 330, belt: 0, cavity_len: 54.750000, "
                        "motor_gear_ratio: 200.000000, motor_teeth: 15, conveyor_teeth: 15, "
                        "conveyor_pitch: 5.500000, min_rpm: 100, max_rpm: 3000, tweak_percent: "
                        "1.000000, rpm_modifier_percent: 10.000000"),
              1)
        << log.dump();

    config.belt[0].rpm_modifier_percent = 100;
    log.clear();
    EXPECT_EQ(cook_time_to_rpm(5), 3000);
    EXPECT_EQ(cook_time_to_rpm(5), 3000);
    const std::string too_fast =
        "kor_srv_convert_cook_time_to_rpm RPM out of range. invalid_rpm: 23891, actual_rpm: 3000, "
        "cook_time: 5, belt: 0, cavity_len: 54.750000, motor_gear_ratio: 200.000000, "
        "motor_teeth: 15, conveyor_teeth: 15, conveyor_pitch: 5.500000, min_rpm: 100, max_rpm: "
        "3000, tweak_percent: 1.000000, rpm_modifier_percent: 1.000000";
    EXPECT_EQ(log.count(too_fast), 2) << log.dump();
    EXPECT_EQ(log.lines()[0].level, ZEB_LOG_ERR);

    // Too slow clamps up to the minimum; belt 2 logs itself as belt 1 (zero-based).
    log.clear();
    EXPECT_EQ(cook_time_to_rpm(5000, 2), 100);
    EXPECT_EQ(log.count_containing("invalid_rpm: 24, actual_rpm: 100, cook_time: 5000, belt: 1,"),
              1)
        << log.dump();
}

TEST_F(Conversions, CookTimeToRpmRejectsBadArgumentsInOrder) {
    int32_t rpm = 5;
    EXPECT_EQ(kor_srv_convert_cook_time_to_rpm(0, 1, &config, &rpm), -1);
    EXPECT_EQ(kor_srv_convert_cook_time_to_rpm(-3, 1, &config, &rpm), -1);
    EXPECT_EQ(kor_srv_convert_cook_time_to_rpm(330, 0, &config, &rpm), -1);
    EXPECT_EQ(kor_srv_convert_cook_time_to_rpm(330, 3, &config, &rpm), -1);
    EXPECT_EQ(kor_srv_convert_cook_time_to_rpm(330, 1, nullptr, &rpm), -1);
    EXPECT_EQ(kor_srv_convert_cook_time_to_rpm(0, 3, nullptr, nullptr), -1);
    EXPECT_EQ(rpm, 5);
    EXPECT_EQ(log.count_containing("Cook time parameter out of range: 0 - (kor_oven_conversions:"),
              2);
    EXPECT_EQ(log.count_containing("Cook time parameter out of range: -3 - ("), 1);
    EXPECT_EQ(log.count_containing("Belt parameter out of range: 0 - (kor_oven_conversions:"), 1);
    EXPECT_EQ(log.count_containing("Belt parameter out of range: 3 - ("), 1);
    EXPECT_EQ(log.count_containing("Parameter NULL (kor_oven_conversions:"), 1);
}

TEST_F(Conversions, RpmToCookTimeRoundTripsAndClamps) {
    EXPECT_EQ(rpm_to_cook_time(362), 330);
    EXPECT_EQ(rpm_to_cook_time(362, 2), 330);
    // A stopped belt divides by zero: the cook time is the longest there is, on any processor.
    EXPECT_EQ(rpm_to_cook_time(0), 1200);
    EXPECT_EQ(rpm_to_cook_time(0, 2), 1200);
    // Faster than the shortest cook time clamps down to it.
    EXPECT_EQ(rpm_to_cook_time(3000), 60);

    int32_t cook_time = 9;
    EXPECT_EQ(kor_srv_convert_rpm_to_cook_time(-1, 1, &config, &cook_time), -1);
    EXPECT_EQ(kor_srv_convert_rpm_to_cook_time(362, 0, &config, &cook_time), -1);
    EXPECT_EQ(kor_srv_convert_rpm_to_cook_time(362, 3, &config, &cook_time), -1);
    EXPECT_EQ(kor_srv_convert_rpm_to_cook_time(362, 1, nullptr, &cook_time), -1);
    EXPECT_EQ(cook_time, 9);
    EXPECT_EQ(log.count_containing("RPM parameter out of range: -1 - (kor_oven_conversions:"), 1);
    EXPECT_EQ(log.count_containing("Belt parameter out of range: 0 - ("), 1);
    EXPECT_EQ(log.count_containing("Belt parameter out of range: 3 - ("), 1);
    EXPECT_EQ(log.count_containing("Parameter NULL (kor_oven_conversions:"), 1);
    // Pointers are checked before the belt, the belt before the RPM.
    log.clear();
    EXPECT_EQ(kor_srv_convert_rpm_to_cook_time(-1, 7, &config, nullptr), -1);
    EXPECT_EQ(kor_srv_convert_rpm_to_cook_time(-1, 7, &config, &cook_time), -1);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u) << log.dump();
    EXPECT_EQ(lines[0].message.rfind("Parameter NULL (", 0), 0u);
    EXPECT_EQ(lines[1].message.rfind("Belt parameter out of range: 7 - (", 0), 0u);
}

TEST_F(Conversions, RpmToCookTimeLogsAStuckBeltOncePerRpm) {
    // Known starting point for both belts, whatever ran before in this process.
    rpm_to_cook_time(7, 1);
    rpm_to_cook_time(7, 2);
    log.clear();

    EXPECT_EQ(rpm_to_cook_time(5, 2), 1200);
    EXPECT_EQ(rpm_to_cook_time(5, 2), 1200);
    const std::string stuck =
        "kor_srv_convert_rpm_to_cook_time cook time out of range. invalid_cook_time: 23891, "
        "clamped_cook_time: 1200, rpm: 5, belt: 1, cavity_len: 54.750000, motor_gear_ratio: "
        "200.000000, motor_teeth: 15, conveyor_teeth: 15, conveyor_pitch: 5.500000, "
        "min_cook_time: 60, max_cook_time: 1200, tweak_percent: 1.000000, rpm_modifier_percent: "
        "1.000000";
    EXPECT_EQ(log.count(stuck), 1) << log.dump();
    EXPECT_EQ(log.lines().size(), 1u);

    // A new RPM logs again; an in-range reading in between does not reset the memory.
    EXPECT_EQ(rpm_to_cook_time(6, 2), 1200);
    EXPECT_EQ(rpm_to_cook_time(362, 2), 330);
    EXPECT_EQ(rpm_to_cook_time(6, 2), 1200);
    EXPECT_EQ(log.count_containing("rpm: 6, belt: 1,"), 1);
    EXPECT_EQ(rpm_to_cook_time(5, 2), 1200);
    EXPECT_EQ(log.count(stuck), 2);

    // Belt 1 keeps its own memory: RPM 5 there is new.
    EXPECT_EQ(rpm_to_cook_time(5, 1), 1200);
    EXPECT_EQ(rpm_to_cook_time(5, 1), 1200);
    EXPECT_EQ(log.count_containing("rpm: 5, belt: 0,"), 1) << log.dump();
}

TEST(BoardStateMapping, EveryBoardStateHasItsUiState) {
    const std::pair<int32_t, int32_t> table[] = {
        {0, KOR_UI_STATE_OFF},      {1, KOR_UI_STATE_PREHEAT}, {2, KOR_UI_STATE_PREHEAT},
        {3, KOR_UI_STATE_PREHEAT},  {4, KOR_UI_STATE_PREHEAT}, {5, KOR_UI_STATE_IDLE},
        {6, KOR_UI_STATE_BAKE},     {7, KOR_UI_STATE_PREHEAT}, {8, KOR_UI_STATE_COOLDOWN},
        {9, KOR_UI_STATE_FAULT},    {10, KOR_UI_STATE_TEST},   {11, KOR_UI_STATE_FAULT},
        {12, KOR_UI_STATE_SOAK},    {13, KOR_UI_STATE_FAULT},  {-1, KOR_UI_STATE_FAULT},
        {1000, KOR_UI_STATE_FAULT},
    };
    for (auto [board, ui] : table) {
        EXPECT_EQ(kor_srv_convert_board_state_to_ui_state(board), ui) << "board state " << board;
    }
    EXPECT_EQ(KOR_UI_STATE_FAULT, 5);
    EXPECT_EQ(KOR_UI_STATE_PREHEAT, 1);
}

class OperationState : public ::testing::Test {
  protected:
    oven_config_t config = sample_config();
    LogCapture log;
};

TEST_F(OperationState, InitialisationFillsTheConfiguredSetPoints) {
    // Leftovers of an earlier run are cleared by initialising again.
    kor_state_set_power(1);
    kor_state_set_io_board_state(6);
    kor_state_set_menu_preset(0, "Pizza");
    kor_state_set_update_io_board_mode(1);
    kor_state_set_blower_percent_actual(3, 88);
    log.clear();

    ASSERT_EQ(kor_initialize_operation_state(&config), 0);
    EXPECT_EQ(log.count("Converted blower_speed_set:630 to 90"), 4) << log.dump();
    const std::string init_line =
        "Initialized operation_state - target_temp:500 belt1_cook_time:330 belt2_cook_time:330 "
        "blower1_target:90 blower2_target:90 blower3_target:90 blower4_target:90";
    ASSERT_EQ(log.count(init_line), 1) << log.dump();
    EXPECT_EQ(log.lines().back().message, init_line);
    EXPECT_EQ(log.lines().back().module, kStateModule);
    EXPECT_EQ(log.lines().back().level, ZEB_LOG_INFO);

    const operation_state_t state = snapshot();
    EXPECT_EQ(state.power, 0);
    EXPECT_EQ(state.io_board_state, 0);
    EXPECT_EQ(state.belt_state, 0);
    EXPECT_EQ(state.temp, 0);
    EXPECT_EQ(state.target_temp, 500);
    EXPECT_EQ(state.belt_cook_time[0], 330);
    EXPECT_EQ(state.belt_cook_time[1], 330);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(state.blower_percent_target[i], 90);
        EXPECT_EQ(state.blower_percent_actual[i], 0);
        EXPECT_EQ(state.tc_readout[i], 0);
    }
    EXPECT_STREQ(state.menu_preset[0], "");
    EXPECT_STREQ(state.menu_preset[1], "");
    EXPECT_EQ(state.update_io_board_mode, 0);
    EXPECT_STREQ(state.update_io_board_file_name, "");
}

TEST_F(OperationState, OnlyConfiguredBlowersWithAValidFrequencyGetATarget) {
    config.num_blowers = 2;
    config.blower[1].speed_set = 750;  // above the inverter maximum
    ASSERT_EQ(kor_initialize_operation_state(&config), 0);
    operation_state_t state = snapshot();
    EXPECT_EQ(state.blower_percent_target[0], 90);
    EXPECT_EQ(state.blower_percent_target[1], 0);
    EXPECT_EQ(state.blower_percent_target[2], 0);
    EXPECT_EQ(state.blower_percent_target[3], 0);
    EXPECT_EQ(log.count("Converted blower_speed_set:630 to 90"), 1);
    EXPECT_EQ(log.count_containing("blower1_target:90 blower2_target:0 blower3_target:0 "
                                   "blower4_target:0"),
              1);

    // At re-initialisation the blower that does not convert keeps what it had.
    ASSERT_EQ(kor_state_set_blower_percent_target(1, 55), 0);
    config.blower[0].speed_set = 450;
    ASSERT_EQ(kor_reinitialize_operation_state(&config), 0);
    state = snapshot();
    EXPECT_EQ(state.blower_percent_target[0], 64);
    EXPECT_EQ(state.blower_percent_target[1], 55);

    // A count beyond the array (a record the loader never checked) stops at blower 4.
    config.num_blowers = 9;
    config.blower[1].speed_set = 700;
    ASSERT_EQ(kor_initialize_operation_state(&config), 0);
    state = snapshot();
    EXPECT_EQ(state.blower_percent_target[1], 100);
    EXPECT_EQ(state.blower_percent_target[3], 90);
}

TEST_F(OperationState, ReinitialisationReloadsSetPointsOnly) {
    ASSERT_EQ(kor_initialize_operation_state(&config), 0);
    kor_state_set_power(1);
    kor_state_set_io_board_state(6);
    kor_state_set_target_temp(450);
    kor_state_set_blower_percent_actual(0, 77);
    kor_state_set_menu_preset(1, "Wings");

    config.heating_set_temp = 520;
    config.belt[0].cook_time = 300;
    config.belt[1].cook_time = 420;
    config.blower[2].speed_set = 550;
    log.clear();
    ASSERT_EQ(kor_reinitialize_operation_state(&config), 0);
    EXPECT_EQ(log.count("Re-initialized operation_state - target_temp:520 belt1_cook_time:300 "
                        "belt2_cook_time:420 blower1_target:90 blower2_target:90 "
                        "blower3_target:79 blower4_target:90"),
              1)
        << log.dump();
    EXPECT_EQ(log.count_containing("Converted blower_speed_set"), 0);
    operation_state_t state = snapshot();
    EXPECT_EQ(state.target_temp, 520);
    EXPECT_EQ(state.power, 1);
    EXPECT_EQ(state.io_board_state, 6);
    EXPECT_EQ(state.blower_percent_actual[0], 77);
    EXPECT_STREQ(state.menu_preset[1], "Wings");

    // While the board cools down the target is the cooldown temperature.
    kor_state_set_io_board_state(8);
    ASSERT_EQ(kor_reinitialize_operation_state(&config), 0);
    EXPECT_EQ(snapshot().target_temp, 200);
    EXPECT_EQ(log.count_containing("Re-initialized operation_state - target_temp:200 "), 1);
}

TEST_F(OperationState, SettersStoreTheirFieldAndRefuseIndexesOutsideTheArray) {
    ASSERT_EQ(kor_initialize_operation_state(&config), 0);
    EXPECT_EQ(kor_state_set_power(1), 0);
    EXPECT_EQ(kor_state_set_io_board_state(12), 0);
    EXPECT_EQ(kor_state_set_belt_state(2), 0);
    EXPECT_EQ(kor_state_set_belt_cook_time(1, 600), 0);
    EXPECT_EQ(kor_state_set_blower_percent_target(3, 70), 0);
    EXPECT_EQ(kor_state_set_blower_percent_actual(2, 69), 0);
    EXPECT_EQ(kor_state_set_temp(498), 0);
    EXPECT_EQ(kor_state_set_target_temp(505), 0);
    EXPECT_EQ(kor_state_set_tc_readout(3, 501), 0);
    EXPECT_EQ(kor_state_set_menu_preset(0, "Pizza"), 0);
    EXPECT_EQ(kor_state_set_update_io_board_mode(1), 0);
    EXPECT_EQ(kor_state_set_update_io_board_file_name("/tmp/io.cpi"), 0);
    const operation_state_t before = snapshot();
    EXPECT_EQ(before.power, 1);
    EXPECT_EQ(before.io_board_state, 12);
    EXPECT_EQ(before.belt_state, 2);
    EXPECT_EQ(before.belt_cook_time[1], 600);
    EXPECT_EQ(before.blower_percent_target[3], 70);
    EXPECT_EQ(before.blower_percent_actual[2], 69);
    EXPECT_EQ(before.temp, 498);
    EXPECT_EQ(before.target_temp, 505);
    EXPECT_EQ(before.tc_readout[3], 501);
    EXPECT_STREQ(before.menu_preset[0], "Pizza");
    EXPECT_EQ(before.update_io_board_mode, 1);
    EXPECT_STREQ(before.update_io_board_file_name, "/tmp/io.cpi");

    log.clear();
    EXPECT_EQ(kor_state_set_belt_cook_time(-1, 1), -1);
    EXPECT_EQ(kor_state_set_belt_cook_time(2, 1), -1);
    EXPECT_EQ(kor_state_set_blower_percent_target(-1, 1), -1);
    EXPECT_EQ(kor_state_set_blower_percent_target(4, 1), -1);
    EXPECT_EQ(kor_state_set_blower_percent_actual(4, 1), -1);
    EXPECT_EQ(kor_state_set_tc_readout(4, 1), -1);
    EXPECT_EQ(kor_state_set_tc_readout(-1, 1), -1);
    EXPECT_EQ(kor_state_set_menu_preset(2, "x"), -1);
    EXPECT_EQ(kor_state_set_menu_preset(-1, "x"), -1);
    EXPECT_EQ(kor_state_set_menu_preset(0, nullptr), -1);
    EXPECT_EQ(kor_state_set_update_io_board_file_name(nullptr), -1);
    EXPECT_EQ(log.count_containing("Invalid input parameter (kor_operation_state:"), 9);
    EXPECT_EQ(log.count_containing("Parameter NULL (kor_operation_state:"), 2);
    const operation_state_t after = snapshot();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

TEST_F(OperationState, TextsAreCutTo255CharactersAndTerminated) {
    ASSERT_EQ(kor_initialize_operation_state(&config), 0);
    const std::string long_text(300, 'p');
    ASSERT_EQ(kor_state_set_menu_preset(1, long_text.c_str()), 0);
    ASSERT_EQ(kor_state_set_update_io_board_file_name(long_text.c_str()), 0);
    operation_state_t state = snapshot();
    EXPECT_EQ(std::string(state.menu_preset[1]), long_text.substr(0, 255));
    EXPECT_EQ(state.menu_preset[1][255], '\0');
    EXPECT_EQ(std::string(state.update_io_board_file_name), long_text.substr(0, 255));
    EXPECT_STREQ(state.menu_preset[0], "");

    // A shorter text afterwards leaves nothing of the longer one behind.
    ASSERT_EQ(kor_state_set_menu_preset(1, "Subs"), 0);
    state = snapshot();
    EXPECT_STREQ(state.menu_preset[1], "Subs");
    for (size_t i = 4; i < sizeof state.menu_preset[1]; ++i) {
        ASSERT_EQ(state.menu_preset[1][i], '\0') << i;
    }
}

TEST_F(OperationState, MissingRecordsAreRefused) {
    ASSERT_EQ(kor_initialize_operation_state(&config), 0);
    kor_state_set_temp(321);
    log.clear();
    EXPECT_EQ(kor_initialize_operation_state(nullptr), -1);
    EXPECT_EQ(kor_reinitialize_operation_state(nullptr), -1);
    EXPECT_EQ(kor_get_operation_state(nullptr), -1);
    EXPECT_EQ(log.count_containing("Parameter NULL (kor_operation_state:"), 3) << log.dump();
    EXPECT_EQ(snapshot().temp, 321);
    EXPECT_EQ(kor_uninitialize_operation_state(), 0);
}

TEST_F(OperationState, WritersAndReadersOnSeveralThreads) {
    ASSERT_EQ(kor_initialize_operation_state(&config), 0);
    std::thread writer([] {
        for (int i = 0; i < 2000; ++i) {
            kor_state_set_temp(static_cast<uint16_t>(i));
            kor_state_set_menu_preset(i % 2, i % 3 == 0 ? "Pizza" : "Wings");
        }
    });
    std::thread reader([] {
        for (int i = 0; i < 2000; ++i) {
            const operation_state_t state = snapshot();
            // A copy is never torn inside a text: it is always one of the two whole names.
            const std::string preset = state.menu_preset[0];
            ASSERT_TRUE(preset.empty() || preset == "Pizza" || preset == "Wings") << preset;
        }
    });
    writer.join();
    reader.join();
    EXPECT_EQ(snapshot().temp, 1999);
}

}  // namespace
