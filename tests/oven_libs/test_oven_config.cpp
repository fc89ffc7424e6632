// Configuration library against the real settings store: the shipped sample stores, the load
// failures and the setting index they name, the model-file fallback and its write-back, the
// in-memory updates and the copies handed out.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "kor_oven_config.h"
#include "log_capture.hpp"
#include "zeb_logger.h"

namespace {

using kor_test::LogCapture;
using kor_test::ScratchDir;

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

std::string sample_dir() {
    return kor_test::source_dir() + "/data/config";
}

std::string sample_settings() {
    return read_file(sample_dir() + "/settings");
}

// The store text without the line of key.
std::string without(const std::string &text, const std::string &key) {
    std::regex line("(^|\n)" + key + " *=[^\n]*");
    std::string out = std::regex_replace(text, line, "$1");
    EXPECT_NE(out, text) << "no line for " << key;
    return out;
}

// The store text with key set to value (the last line of a key wins).
std::string with(const std::string &text, const std::string &key, const std::string &value) {
    return text + "\n" + key + " = " + value + "\n";
}

int warnings_or_worse(const LogCapture &log) {
    int n = 0;
    for (const auto &l : log.lines()) {
        n += l.level <= ZEB_LOG_WARNING ? 1 : 0;
    }
    return n;
}

class OvenConfig : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(zeb_logger_open(&logger_), 0); }
    void TearDown() override { zeb_logger_close(logger_); }

    // Writes settings (and the sample model file) into the scratch dir and loads it.
    int32_t load_text(const std::string &settings) {
        write_file(dir_.file("settings"), settings);
        std::filesystem::copy_file(sample_dir() + "/KOR-2B4", dir_.file("KOR-2B4"),
                                   std::filesystem::copy_options::overwrite_existing);
        return kor_load_oven_config(dir_.path().c_str(), logger_);
    }

    oven_config_t copy() {
        oven_config_t c;
        EXPECT_EQ(kor_get_oven_config(&c), 0);
        return c;
    }

    static std::string failure(int setting, int code) {
        return "FAILED to load setting " + std::to_string(setting) +
               ". Err: " + std::to_string(code);
    }

    zeb_logger_t *logger_ = nullptr;
    ScratchDir dir_;
    LogCapture log_;
};

TEST_F(OvenConfig, TwoBeltSampleLoadsWithoutWarningAndLeavesTheStoreAlone) {
    const std::string before = sample_settings();
    ASSERT_EQ(kor_load_oven_config(sample_dir().c_str(), logger_), 0);
    EXPECT_EQ(warnings_or_worse(log_), 0) << log_.dump();
    EXPECT_EQ(sample_settings(), before);

    oven_config_t c = copy();
    EXPECT_STREQ(c.model_name, "KOR-2B4");
    EXPECT_EQ(c.num_blowers, 4);
    EXPECT_EQ(c.num_inverters, 4);
    EXPECT_EQ(c.num_belts, 2);
    EXPECT_EQ(c.inverter_hz_min, 450);
    EXPECT_EQ(c.inverter_hz_max, 700);
    EXPECT_FLOAT_EQ(c.hz_rpm_multiplier, 28.856f);
    EXPECT_FLOAT_EQ(c.hz_rpm_offset, 86.518f);
    EXPECT_FLOAT_EQ(c.belt_length, 54.75f);
    EXPECT_EQ(c.heating_cooldown_temp, 200);
    EXPECT_STREQ(c.blower[3].pos, "Rear");
    EXPECT_EQ(c.inverter_sensor_pulses_per_min[3], 1200);
    EXPECT_STREQ(c.blower_speed_sense_error, "0000");
    EXPECT_STREQ(c.speed_sensor_configuration, "1111");
    EXPECT_EQ(c.heat_maximum_output, 100);
    EXPECT_EQ(c.photoeye_enable, 1);
    for (const belt_config_t &b : c.belt) {
        EXPECT_FLOAT_EQ(b.belt_shaft, 5.5f);
        EXPECT_EQ(b.belt_motor_teeth, 15);
        EXPECT_EQ(b.belt_conveyor_teeth, 15);
        EXPECT_EQ(b.belt_motor_ratio, 200);
        EXPECT_EQ(b.min_rpm, 100);
        EXPECT_EQ(b.max_rpm, 3000);
        EXPECT_EQ(b.tweak_speed_percent, 0);
        EXPECT_EQ(b.rpm_modifier_percent, 100);
        // The belt constants give the worked conversion: 330 s is 362 RPM, and the configured
        // cook time range lies inside the RPM range.
        auto rpm = [&b, &c](float cook) {
            return std::roundf(60.0f *
                               (b.belt_conveyor_teeth * c.belt_length * b.belt_motor_ratio) /
                               (b.belt_motor_teeth * b.belt_shaft * cook));
        };
        EXPECT_EQ(rpm(static_cast<float>(b.cook_time)), 362.0f);
        EXPECT_LE(rpm(static_cast<float>(b.belt_min_cook_time)), b.max_rpm);
        EXPECT_GE(rpm(static_cast<float>(b.belt_max_cook_time)), b.min_rpm);
    }
    // Every blower's set speed lies inside the inverter range, so the UI percent is defined.
    for (int i = 0; i < c.num_blowers; ++i) {
        EXPECT_GE(c.blower[i].speed_set, c.inverter_hz_min);
        EXPECT_LE(c.blower[i].speed_set, c.inverter_hz_max);
    }
}

TEST_F(OvenConfig, OneBeltSampleLoadsBothBeltsWithoutWarning) {
    const std::string dir = sample_dir() + "/one_belt";
    const std::string before = read_file(dir + "/settings");
    ASSERT_EQ(kor_load_oven_config(dir.c_str(), logger_), 0);
    EXPECT_EQ(warnings_or_worse(log_), 0) << log_.dump();
    EXPECT_EQ(read_file(dir + "/settings"), before);

    oven_config_t c = copy();
    EXPECT_STREQ(c.model_name, "KOR-1B2");
    EXPECT_EQ(c.num_blowers, 2);
    EXPECT_EQ(c.num_inverters, 2);
    EXPECT_EQ(c.num_belts, 1);
    EXPECT_EQ(c.belt[1].belt_motor_ratio, 200);  // read whatever num_belts says
    EXPECT_EQ(c.blower[2].speed_set, 0);
    EXPECT_STREQ(c.blower_speed_sense_error, "0011");
}

TEST_F(OvenConfig, SampleModelFilesCarryTheFallbackKey) {
    for (const std::string &dir : {sample_dir(), sample_dir() + "/one_belt"}) {
        ScratchDir copy_dir;
        std::filesystem::copy(dir, copy_dir.path());
        write_file(copy_dir.file("settings"),
                   without(read_file(dir + "/settings"), "blower_speed_sense_error"));
        EXPECT_EQ(kor_load_oven_config(copy_dir.path().c_str(), logger_), 0) << dir;
        oven_config_t c = copy();
        EXPECT_EQ(std::string(c.blower_speed_sense_error).size(), 4u) << dir;
    }
}

TEST_F(OvenConfig, DumpWritesEveryLineInOrder) {
    ASSERT_EQ(kor_load_oven_config(sample_dir().c_str(), logger_), 0);
    log_.clear();
    ASSERT_EQ(kor_dump_oven_config(logger_), 0);
    std::vector<std::string> lines;
    for (const auto &l : log_.lines()) {
        EXPECT_EQ(l.level, ZEB_LOG_INFO);
        EXPECT_EQ(l.module, "kor_oven_config");
        lines.push_back(l.message);
    }
    // 13 head lines, 4 blowers x 4, num_inverters, 4 inverters, 15 heating lines, 3 belt
    // lines, 2 belts x 15, the two blower constants.
    ASSERT_EQ(lines.size(), 13u + 16u + 1u + 4u + 15u + 3u + 30u + 2u);
    EXPECT_EQ(lines[0], "model_name: KOR-2B4");
    EXPECT_EQ(lines[12], "num_blowers: 4");
    EXPECT_EQ(lines[13], "blower[0] pos: Front");
    EXPECT_EQ(lines[14], "blower[0] speed_idle: 450");
    EXPECT_EQ(lines[15], "blower[0] speed_high: 700");
    EXPECT_EQ(lines[16], "blower[0] speed_set: 630");
    EXPECT_EQ(lines[25], "blower[3] pos: Rear");
    EXPECT_EQ(lines[29], "num_inverters: 4");
    EXPECT_EQ(lines[33], "inverter[3] inverter_sensor_pulses_per_min: 1200");
    EXPECT_EQ(lines[37], "heating_num_cavity_active_probes: 4");
    EXPECT_EQ(lines[38], "heating_active_probes: 1234xx");
    EXPECT_EQ(lines[45], "heating_cooldown_temp: 200");
    EXPECT_EQ(lines[48], "heating_high_limit_enable_key: 1");
    EXPECT_EQ(lines[49], "belt_length: 54.750000");
    EXPECT_EQ(lines[51], "num_belts: 2");
    EXPECT_EQ(lines[52], "belt[0] pos: Front");
    EXPECT_EQ(lines[53], "belt[0] belt_shaft: 5.500000");
    EXPECT_EQ(lines[57], "belt[0] min_rpm: 100");
    EXPECT_EQ(lines[59], "belt[0] cook_time: 330");
    EXPECT_EQ(lines[61], "belt[0] belt_max_cook_time: 1200");
    EXPECT_EQ(lines[66], "belt[0] rpm_modifier_percent: 100");
    EXPECT_EQ(lines[67], "belt[1] pos: Rear");
    // Floats go out as doubles: the float nearest 28.856 prints with its own digits.
    EXPECT_EQ(lines[82], "hz_rpm_multiplier: 28.856001");
    EXPECT_EQ(lines[83], "hz_rpm_offset: 86.517998");

    EXPECT_EQ(kor_dump_oven_config(nullptr), -EINVAL);
}

TEST_F(OvenConfig, MissingDirectoryOrStoreFails) {
    EXPECT_EQ(kor_load_oven_config(nullptr, logger_), -EINVAL);
    EXPECT_EQ(kor_reload_oven_config(nullptr, logger_), -EINVAL);
    EXPECT_EQ(kor_load_oven_config("/", logger_), -ENOENT);
    EXPECT_TRUE(log_.contains(failure(0, -ENOENT))) << log_.dump();
    EXPECT_EQ(kor_get_oven_config(nullptr), -1);

    // A directory name too long for the path buffer is refused, not cut to another path.
    std::string long_dir = dir_.path() + "/" + std::string(300, 'd');
    EXPECT_EQ(kor_load_oven_config(long_dir.c_str(), logger_), -ENAMETOOLONG);
}

TEST_F(OvenConfig, MissingKeyNamesItsSettingIndex) {
    struct Case {
        const char *key;
        int setting;
    };
    const Case cases[] = {
        {"oven_model", 0},
        {"customer_name", 4},
        {"oven_type", 2},
        {"num_blowers", 13},
        {"blower_pos_4", 17},
        {"sensor_pulses_per_min_4", 19},
        {"heating_gas_attenuation_startup", 28},
        {"heating_set_temp", 30},
        {"heat_maximum_output", 33},
        {"num_belts", 1},
        {"belt_length", 35},
        {"belt_shaft_2", 36},
        {"belt_pos_2", 46},
        {"belt_rpm_modifier_percent_2", 51},
        {"hz_rpm_offset", 53},
        {"photoeye_enable", 55},
        {"speed_sensor_configuration", 56},
    };
    for (const Case &c : cases) {
        log_.clear();
        EXPECT_EQ(load_text(without(sample_settings(), c.key)), -ENOENT) << c.key;
        EXPECT_EQ(log_.lines().back().message, failure(c.setting, -ENOENT)) << c.key;
        EXPECT_EQ(log_.lines().back().level, ZEB_LOG_ERR);
    }
}

TEST_F(OvenConfig, OneBeltStoreStillNeedsTheSecondBelt) {
    const std::string one_belt = read_file(sample_dir() + "/one_belt/settings");
    EXPECT_EQ(load_text(without(one_belt, "belt_max_rpm_2")), -ENOENT);
    EXPECT_TRUE(log_.contains(failure(45, -ENOENT)));
}

TEST_F(OvenConfig, FailedLoadKeepsWhatWasReadBeforeTheFailingKey) {
    ASSERT_EQ(load_text(without(sample_settings(), "heating_set_temp")), -ENOENT);
    oven_config_t c = copy();
    EXPECT_STREQ(c.model_name, "KOR-2B4");
    EXPECT_EQ(c.heating_gas_attenuation_valve_no_nc, 0);
    EXPECT_STREQ(c.heating_gas_attenuation_startup, "high");
    EXPECT_EQ(c.heating_set_temp, 0);
    EXPECT_EQ(c.heating_cooldown_temp, 0);
    EXPECT_EQ(c.num_belts, 0);
    EXPECT_EQ(c.belt[0].belt_motor_ratio, 0);
}

TEST_F(OvenConfig, MalformedNumbersFailTheirKey) {
    EXPECT_EQ(load_text(with(sample_settings(), "num_blowers", "four")), -EINVAL);
    EXPECT_TRUE(log_.contains(failure(13, -EINVAL)));
    EXPECT_EQ(load_text(with(sample_settings(), "belt_length", "54.75 in")), -EINVAL);
    EXPECT_TRUE(log_.contains(failure(35, -EINVAL)));
    EXPECT_EQ(load_text(with(sample_settings(), "belt_cook_time_2", "3.5")), -EINVAL);
    EXPECT_TRUE(log_.contains(failure(43, -EINVAL)));
}

TEST_F(OvenConfig, CountsBeyondTheArraysFailTheLoad) {
    struct Case {
        const char *key;
        const char *value;
        int setting;
        int32_t oven_config_t::*field;
    };
    const Case cases[] = {
        {"num_blowers", "5", 13, &oven_config_t::num_blowers},
        {"num_blowers", "-1", 13, &oven_config_t::num_blowers},
        {"num_inverters", "5", 18, &oven_config_t::num_inverters},
        {"num_inverters", "-2", 18, &oven_config_t::num_inverters},
        {"num_belts", "3", 1, &oven_config_t::num_belts},
        {"num_belts", "-1", 1, &oven_config_t::num_belts},
    };
    for (const Case &c : cases) {
        log_.clear();
        EXPECT_EQ(load_text(with(sample_settings(), c.key, c.value)), -1) << c.key << c.value;
        EXPECT_EQ(log_.lines().back().message, failure(c.setting, -1)) << c.key << c.value;
        // The bad count is not kept for readers that loop over it.
        EXPECT_EQ(copy().*c.field, 0) << c.key << c.value;
    }
    // The bounds themselves are fine.
    std::string edge = with(with(sample_settings(), "num_belts", "0"), "num_inverters", "0");
    EXPECT_EQ(load_text(edge), 0);
}

TEST_F(OvenConfig, LongTextIsCutToItsField) {
    const std::string name(300, 'n');
    ASSERT_EQ(load_text(with(sample_settings(), "customer_name", name)), 0);
    oven_config_t c = copy();
    EXPECT_EQ(std::string(c.customer_name), name.substr(0, 255));
    EXPECT_EQ(c.panel_switch_enabled, 1);  // the next field is untouched
}

TEST_F(OvenConfig, CooldownTemperatureIsAlways200) {
    ASSERT_EQ(load_text(with(sample_settings(), "heating_cooldown_temp", "999")), 0);
    EXPECT_EQ(copy().heating_cooldown_temp, 200);
}

TEST_F(OvenConfig, OperatorsTargetTemperatureOutlivesReloadsUntilTheStoreChangesIt) {
    // The operator's target is what the board heats to; a reload after a board re-initialisation
    // must hand it back, unless the store's own heating_set_temp has changed since.
    const std::string text = sample_settings();
    ASSERT_EQ(load_text(text), 0);
    ASSERT_EQ(copy().heating_set_temp, 500);
    struct Step {
        const char *what;
        int32_t update;      // operator's target first; 0 for none
        const char *stored;  // heating_set_temp written to the store before the reload
        bool full_load;      // a restart of the manager rather than a reload
        int32_t expected;
    };
    const Step steps[] = {
        {"operator 455, store unchanged", 455, "500", false, 455},
        {"second reload, store unchanged", 0, "500", false, 455},
        {"store changed to 480", 0, "480", false, 480},
        {"operator 430 over the changed store", 430, "480", false, 430},
        {"restart", 0, "480", true, 480},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        if (step.update != 0) {
            ASSERT_EQ(kor_config_update_setting_int(KOR_CONFIG_HEATING_SET_TEMP, 0, step.update),
                      0);
            EXPECT_EQ(copy().heating_set_temp, step.update);
        }
        write_file(dir_.file("settings"), with(text, "heating_set_temp", step.stored));
        ASSERT_EQ(step.full_load ? kor_load_oven_config(dir_.path().c_str(), logger_)
                                 : kor_reload_oven_config(dir_.path().c_str(), logger_),
                  0);
        EXPECT_EQ(copy().heating_set_temp, step.expected);
    }
}

TEST_F(OvenConfig, SenseErrorFallsBackToTheModelFileAndIsWrittenBack) {
    const std::string settings = without(sample_settings(), "blower_speed_sense_error");
    write_file(dir_.file("KOR-2B4"), "blower_speed_sense_error = 1010\n");
    write_file(dir_.file("settings"), settings);
    ASSERT_EQ(kor_load_oven_config(dir_.path().c_str(), logger_), 0) << log_.dump();
    EXPECT_STREQ(copy().blower_speed_sense_error, "1010");
    EXPECT_TRUE(
        log_.contains("get_current_oven_info: could not read blower_speed_sense_error "
                      "from config file. Reading from file " +
                      dir_.file("KOR-2B4") + "."))
        << log_.dump();
    EXPECT_TRUE(
        log_.contains("get_current_oven_info: writing key [blower_speed_sense_error], "
                      "string value [1010] to config file."));
    EXPECT_EQ(warnings_or_worse(log_), 0);

    // The settings store now has the key, with its other lines and comments kept.
    const std::string after = read_file(dir_.file("settings"));
    EXPECT_NE(after.find("blower_speed_sense_error = 1010"), std::string::npos);
    EXPECT_NE(after.find("# Oven settings store"), std::string::npos);
    EXPECT_NE(after.find("belt_pos_2 = Rear"), std::string::npos);

    // The next load reads it straight from the settings store.
    std::filesystem::remove(dir_.file("KOR-2B4"));
    log_.clear();
    ASSERT_EQ(kor_reload_oven_config(dir_.path().c_str(), logger_), 0);
    EXPECT_EQ(log_.count_containing("get_current_oven_info"), 0);
    EXPECT_STREQ(copy().blower_speed_sense_error, "1010");
}

TEST_F(OvenConfig, FallbackFailuresFailTheLoad) {
    const std::string settings = without(sample_settings(), "blower_speed_sense_error");
    write_file(dir_.file("settings"), settings);

    // No model file.
    EXPECT_EQ(kor_load_oven_config(dir_.path().c_str(), logger_), -ENOENT);
    EXPECT_TRUE(log_.contains(failure(54, -ENOENT)));

    // A model file without the key.
    write_file(dir_.file("KOR-2B4"), "num_blowers = 4\n");
    log_.clear();
    EXPECT_EQ(kor_load_oven_config(dir_.path().c_str(), logger_), -ENOENT);
    EXPECT_TRUE(log_.contains(failure(54, -ENOENT)));
    EXPECT_EQ(read_file(dir_.file("settings")), settings);  // nothing written back

    // A model name that would lead out of the directory.
    ScratchDir outside;
    write_file(outside.file("evil"), "blower_speed_sense_error = 1111\n");
    const std::string rel = "../" + std::filesystem::path(outside.path()).filename().string();
    write_file(dir_.file("settings"), with(settings, "oven_model", rel + "/evil"));
    log_.clear();
    EXPECT_EQ(kor_load_oven_config(dir_.path().c_str(), logger_), -EINVAL);
    EXPECT_TRUE(log_.contains(failure(54, -EINVAL)));
    EXPECT_STREQ(copy().blower_speed_sense_error, "");
}

class OvenConfigUpdates : public OvenConfig {
  protected:
    void SetUp() override {
        OvenConfig::SetUp();
        ASSERT_EQ(kor_load_oven_config(sample_dir().c_str(), logger_), 0);
        before_ = copy();
    }
    // The record differs from the one after the load in no byte.
    bool unchanged() {
        oven_config_t now = copy();
        return std::memcmp(&now, &before_, sizeof now) == 0;
    }
    oven_config_t before_;
};

TEST_F(OvenConfigUpdates, IntSettingsChangeTheirField) {
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_NUM_BELTS, 0, 1), 0);
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_HEATING_NUM_CAVITY_ACTIVE_PROBES, 0, 3), 0);
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_HEATING_TEMP_MIN, 0, 250), 0);
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_HEATING_TEMP_MAX, 0, 620), 0);
    oven_config_t c = copy();
    EXPECT_EQ(c.num_belts, 1);
    EXPECT_EQ(c.heating_num_cavity_active_probes, 3);
    EXPECT_EQ(c.heating_temp_min, 250);
    EXPECT_EQ(c.heating_temp_max, 620);

    // Per-belt settings change only the belt named by index.
    struct Case {
        uint32_t setting;
        int32_t belt_config_t::*field;
    };
    const Case cases[] = {
        {37, &belt_config_t::belt_motor_teeth},
        {38, &belt_config_t::belt_conveyor_teeth},
        {39, &belt_config_t::belt_motor_ratio},
        {41, &belt_config_t::belt_min_cook_time},
        {42, &belt_config_t::belt_max_cook_time},
        {43, &belt_config_t::cook_time},
        {44, &belt_config_t::min_rpm},
        {45, &belt_config_t::max_rpm},
        {50, &belt_config_t::tweak_speed_percent},
        {51, &belt_config_t::rpm_modifier_percent},
    };
    int32_t value = 1000;
    for (const Case &k : cases) {
        ++value;
        EXPECT_EQ(kor_config_update_setting_int(k.setting, 1, value), 0) << k.setting;
        oven_config_t after = copy();
        EXPECT_EQ(after.belt[1].*k.field, value) << k.setting;
        EXPECT_EQ(after.belt[0].*k.field, before_.belt[0].*k.field) << k.setting;
    }

    // Setting 36 takes an integer and stores it as the float pitch.
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_BELT_SHAFT, 0, 6), 0);
    EXPECT_FLOAT_EQ(copy().belt[0].belt_shaft, 6.0f);
}

TEST_F(OvenConfigUpdates, FirmwareVersionsAreKeptBesideTheTable) {
    // The operation service stores the IO board version with index 1: the index does not matter.
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_UI_FIRMWARE, 0, 1248), 0);
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_IO_FIRMWARE, 1, 2359), 0);
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_DRIVE_BOARD_1, 1, 3), 0);
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_DRIVE_BOARD_2, 1, 4), 0);
    oven_config_t c = copy();
    EXPECT_EQ(c.ui_firmware, 1248);
    EXPECT_EQ(c.io_firmware, 2359);
    EXPECT_EQ(c.drive_board_1, 3);
    EXPECT_EQ(c.drive_board_2, 4);
    EXPECT_EQ(c.heating_set_temp, before_.heating_set_temp);
}

TEST_F(OvenConfigUpdates, UnlistedSettingsChangeNothingAndSucceed) {
    for (uint32_t setting : {0u, 2u, 13u, 23u, 35u, 46u, 54u, 61u, 1000u}) {
        EXPECT_EQ(kor_config_update_setting_int(setting, 0, 77), 0) << setting;
    }
    for (uint32_t setting : {0u, 3u, 36u, 54u, 99u}) {
        EXPECT_EQ(kor_config_update_setting_str(setting, "xx"), 0) << setting;
    }
    for (uint32_t setting : {0u, 35u, 52u, 99u}) {
        EXPECT_EQ(kor_config_update_setting_flt(setting, 0, 1.5f), 0) << setting;
    }
    EXPECT_TRUE(unchanged());
}

TEST_F(OvenConfigUpdates, IndexesOutsideTheBeltsAreRefused) {
    for (int32_t index : {-1, 2, 1000}) {
        for (uint32_t setting : {36u, 37u, 38u, 39u, 41u, 42u, 43u, 44u, 45u, 50u, 51u}) {
            EXPECT_EQ(kor_config_update_setting_int(setting, index, 5), -1) << setting;
        }
        EXPECT_EQ(kor_config_update_setting_flt(KOR_CONFIG_BELT_SHAFT, index, 5.0f), -1);
    }
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_NUM_BELTS, 0, 3), -1);
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_NUM_BELTS, 0, -1), -1);
    EXPECT_EQ(kor_config_update_setting_str(KOR_CONFIG_HEATING_ACTIVE_PROBES, nullptr), -1);
    EXPECT_TRUE(unchanged());
    EXPECT_GE(log_.count_containing("Invalid input parameter (src/kor_oven_config/"), 1);
}

TEST_F(OvenConfigUpdates, LaterMessagesNeedNotTheLoadersLogger) {
    // The caller may close its logger once the load has returned: the refusals are still logged.
    ASSERT_EQ(zeb_logger_close(logger_), 0);
    logger_ = nullptr;
    log_.clear();
    EXPECT_EQ(kor_config_update_setting_int(KOR_CONFIG_NUM_BELTS, 0, 3), -1);
    EXPECT_EQ(kor_config_update_setting_flt(KOR_CONFIG_BELT_SHAFT, 2, 1.0f), -1);
    EXPECT_EQ(kor_config_update_setting_str(KOR_CONFIG_HEATING_ACTIVE_PROBES, nullptr), -1);
    EXPECT_EQ(log_.count_containing("Invalid input parameter (src/kor_oven_config/"), 2)
        << log_.dump();
    EXPECT_EQ(log_.count_containing("Parameter NULL (src/kor_oven_config/"), 1) << log_.dump();
}

TEST_F(OvenConfigUpdates, TextAndFloatUpdates) {
    EXPECT_EQ(kor_config_update_setting_str(KOR_CONFIG_HEATING_ACTIVE_PROBES, "1x3x5x"), 0);
    EXPECT_STREQ(copy().heating_active_probes, "1x3x5x");
    const std::string long_text(400, '1');
    EXPECT_EQ(kor_config_update_setting_str(KOR_CONFIG_HEATING_ACTIVE_PROBES, long_text.c_str()),
              0);
    oven_config_t c = copy();
    EXPECT_EQ(std::string(c.heating_active_probes), long_text.substr(0, 255));
    EXPECT_EQ(c.heating_num_cavity_active_probes, before_.heating_num_cavity_active_probes);

    EXPECT_EQ(kor_config_update_setting_flt(KOR_CONFIG_BELT_SHAFT, 1, 5.25f), 0);
    c = copy();
    EXPECT_FLOAT_EQ(c.belt[1].belt_shaft, 5.25f);
    EXPECT_FLOAT_EQ(c.belt[0].belt_shaft, 5.5f);
}

TEST_F(OvenConfigUpdates, CopiesKeepTheirValuesAndReloadUndoesUpdates) {
    oven_config_t held = copy();
    ASSERT_EQ(kor_config_update_setting_int(KOR_CONFIG_BELT_COOK_TIME, 0, 400), 0);
    EXPECT_EQ(held.belt[0].cook_time, 330);
    EXPECT_EQ(copy().belt[0].cook_time, 400);

    ASSERT_EQ(kor_reload_oven_config(sample_dir().c_str(), logger_), 0);
    EXPECT_EQ(copy().belt[0].cook_time, 330);
    EXPECT_EQ(copy().io_firmware, 0);

    // A failing reload leaves the earlier copy as it was.
    ASSERT_EQ(kor_reload_oven_config("/", logger_), -ENOENT);
    EXPECT_STREQ(held.model_name, "KOR-2B4");
    EXPECT_STREQ(copy().model_name, "");
}

TEST_F(OvenConfigUpdates, ConcurrentUpdatesAndCopiesSeeWholeValues) {
    std::atomic<bool> torn{false};
    std::thread writer([] {
        for (int i = 0; i < 2000; ++i) {
            kor_config_update_setting_str(KOR_CONFIG_HEATING_ACTIVE_PROBES,
                                          i % 2 == 0 ? "123456" : "xxxxxx");
        }
    });
    for (int i = 0; i < 2000; ++i) {
        oven_config_t c;
        kor_get_oven_config(&c);
        std::string p(c.heating_active_probes);
        if (p != "123456" && p != "xxxxxx" && p != "1234xx") {
            torn = true;
        }
    }
    writer.join();
    EXPECT_FALSE(torn);
}

TEST(OvenConfigKeys, TableMatchesTheSettingIndexes) {
    EXPECT_STREQ(config_keys_strs[KOR_CONFIG_OVEN_MODEL], "oven_model");
    EXPECT_STREQ(config_keys_strs[KOR_CONFIG_NUM_BELTS], "num_belts");
    EXPECT_STREQ(config_keys_strs[KOR_CONFIG_HEATING_ACTIVE_PROBES], "heating_active_probes");
    EXPECT_STREQ(config_keys_strs[KOR_CONFIG_BELT_SHAFT], "belt_shaft_");
    EXPECT_STREQ(config_keys_strs[KOR_CONFIG_BELT_DIRECTION], "belt_direction");
    EXPECT_STREQ(config_keys_strs[KOR_CONFIG_BELT_POS], "belt_pos_");
    EXPECT_STREQ(config_keys_strs[KOR_CONFIG_BLOWER_SPEED_SENSE_ERROR], "blower_speed_sense_error");
    EXPECT_STREQ(config_keys_strs[KOR_CONFIG_DRIVE_BOARD_2], "drive_board_2");
    for (const char *k : config_keys_strs) {
        ASSERT_NE(k, nullptr);
    }
}

}  // namespace
