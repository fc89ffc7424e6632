// Setpoint commands, readings and diagnostics of the operation service. Everything the service
// reaches through its record is a recording fake here (the calls, their arguments and their
// order); the firmware and voltage operations, which take only the link handle, run the real IO
// board library over the recording fake link.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "fake_link.hpp"
#include "kor_oven_operation_srv.h"
#include "log_capture.hpp"

namespace {

using kor_test::LogCapture;

// One call that reached the record.
struct Call {
    std::string op;
    std::vector<int64_t> args;
    std::string text;
};

// What the fakes bound into the record saw and what they answer. File-static so capture-less
// lambdas (plain function pointers of the entries' exact types) can reach it.
struct Recorder {
    std::vector<Call> calls;
    std::map<std::string, int> results;  // scripted result per operation, 0 when absent
    operation_state_t state{};           // the fake operation state
    diagnostic_reg_data_t diagnostics{};
    diagnostic_reg_data_t notified{};
    std::map<int32_t, uint16_t> thermocouple;
    uint16_t reset_ignition = 0;
    modbus_data_t *handle = nullptr;

    int record(const std::string &op, std::vector<int64_t> args = {}, std::string text = {}) {
        calls.push_back({op, std::move(args), std::move(text)});
        auto it = results.find(op);
        return it == results.end() ? 0 : it->second;
    }
    std::vector<std::string> ops() const {
        std::vector<std::string> out;
        for (const Call &c : calls)
            out.push_back(c.op);
        return out;
    }
    std::vector<Call> of(const std::string &op) const {
        std::vector<Call> out;
        for (const Call &c : calls)
            if (c.op == op)
                out.push_back(c);
        return out;
    }
};

Recorder rec;

// A record whose every entry the code under test may call is a recording fake.
oven_operation_srv_t fake_record() {
    oven_operation_srv_t srv{};
    srv.kor_oven_set_oven_enable = [](modbus_data_t *m, uint16_t v) {
        rec.handle = m;
        return rec.record("oven_enable", {v});
    };
    srv.kor_set_heater_target_temp = [](modbus_data_t *m, uint16_t v) {
        rec.handle = m;
        return rec.record("heater_target_temp", {v});
    };
    srv.kor_config_update_setting_int = [](uint32_t s, int32_t i, int32_t v) {
        return static_cast<int32_t>(rec.record("config_int", {s, i, v}));
    };
    srv.kor_config_update_setting_str = [](uint32_t s, const char *t) {
        return static_cast<int32_t>(rec.record("config_str", {s}, t));
    };
    srv.kor_state_set_belt_cook_time = [](int32_t i, uint16_t v) {
        if (i >= 0 && i < 2)
            rec.state.belt_cook_time[i] = v;
        return static_cast<int32_t>(rec.record("state_belt_cook_time", {i, v}));
    };
    srv.kor_get_operation_state = [](operation_state_t *dst) {
        *dst = rec.state;
        return static_cast<int32_t>(rec.record("get_operation_state"));
    };
    srv.kor_set_belt_speed = [](modbus_data_t *m, int32_t b, uint16_t v) {
        rec.handle = m;
        return rec.record("belt_speed", {b, v});
    };
    srv.kor_stats_set_belt_time = [](int32_t b, uint32_t v) {
        return static_cast<int32_t>(rec.record("stats_belt_time", {b, v}));
    };
    srv.kor_stats_set_belt_run_time = [](int32_t b, int32_t v) {
        return static_cast<int32_t>(rec.record("stats_belt_run_time", {b, v}));
    };
    srv.kor_set_photoeye_timeout = [](modbus_data_t *, uint16_t v) {
        return rec.record("photoeye_timeout", {v});
    };
    srv.kor_set_blower_speed = [](modbus_data_t *m, int32_t b, uint16_t v) {
        rec.handle = m;
        return rec.record("blower_speed", {b, v});
    };
    srv.kor_telvo_report_serial_number_changed = []() {
        return static_cast<int32_t>(rec.record("telvo_serial_number"));
    };
    srv.kor_oven_get_thermocouple_reg = [](int32_t tc) {
        rec.record("thermocouple_reg", {tc});
        return rec.thermocouple[tc];
    };
    srv.kor_oven_get_blower_speed_reg = [](int32_t b) {
        rec.record("blower_speed_reg", {b});
        return static_cast<uint16_t>(1000 + b);
    };
    srv.kor_oven_get_belt_speed_reg = [](int32_t b) {
        rec.record("belt_speed_reg", {b});
        return static_cast<uint16_t>(300 + b);
    };
    srv.kor_oven_get_reset_ignition_reg = []() {
        rec.record("reset_ignition_reg");
        return rec.reset_ignition;
    };
    srv.kor_oven_get_diagnostic_reg_data = [](diagnostic_reg_data_t *d) {
        *d = rec.diagnostics;
        return rec.record("diagnostic_reg_data");
    };
    srv.notify_diagnostic_registers = [](const diagnostic_reg_data_t *d) {
        rec.notified = *d;
        return static_cast<int32_t>(rec.record("notify_diagnostic"));
    };
    srv.kor_set_heater_tc_enable = [](modbus_data_t *, uint16_t mask) {
        return rec.record("heater_tc_enable", {mask});
    };
    srv.notify_tc_enable_changed = [](int32_t count, const char *t) {
        return static_cast<int32_t>(rec.record("notify_tc_enable", {count}, t));
    };
    return srv;
}

// The sample stores: two belts and four blowers, and the one-belt variant.
oven_config_t load_config(const std::string &dir) {
    zeb_logger_t *logger = nullptr;
    EXPECT_EQ(0, zeb_logger_open(&logger));
    EXPECT_EQ(0, kor_load_oven_config(dir.c_str(), logger));
    oven_config_t config{};
    EXPECT_EQ(0, kor_get_oven_config(&config));
    zeb_logger_close(logger);
    return config;
}

// Lines of the service matching "<what> (<file>:<line>)" at level 3.
int located_lines(const LogCapture &log, const std::string &what, const std::string &file) {
    const std::regex pattern(what + " \\(" + file + ":[0-9]+\\)");
    int n = 0;
    for (const auto &l : log.lines())
        if (l.level == 3 && l.module == "kor_oven_operation_service" &&
            std::regex_match(l.message, pattern))
            ++n;
    return n;
}

class ServiceTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        two_belts = new oven_config_t(load_config(kor_test::source_dir() + "/data/config"));
        one_belt = new oven_config_t(load_config(kor_test::source_dir() + "/data/config/one_belt"));
    }
    static void TearDownTestSuite() {
        delete two_belts;
        delete one_belt;
    }
    void SetUp() override {
        rec = Recorder{};
        srv = fake_record();
    }

    static oven_config_t *two_belts;
    static oven_config_t *one_belt;
    LogCapture log;
    oven_operation_srv_t srv{};
    int dummy_link = 0;  // the service only hands the handle on
    modbus_data_t *modbus = reinterpret_cast<modbus_data_t *>(&dummy_link);
};
oven_config_t *ServiceTest::two_belts = nullptr;
oven_config_t *ServiceTest::one_belt = nullptr;

// ---- setpoint commands ----

using Setpoints = ServiceTest;

TEST_F(Setpoints, BeltCookTimeRunsEveryStepInOrderWithTheConvertedRpm) {
    ASSERT_EQ(2, two_belts->num_belts);
    rec.state.belt_cook_time[1] = 200;
    EXPECT_EQ(0, kor_srv_set_belt_cook_time(&srv, modbus, two_belts, 1, 330));

    const std::vector<std::string> order{"state_belt_cook_time", "belt_speed",
                                         "stats_belt_time",      "stats_belt_run_time",
                                         "get_operation_state",  "photoeye_timeout"};
    EXPECT_EQ(order, rec.ops());
    ASSERT_EQ(order.size(), rec.calls.size());
    EXPECT_EQ((std::vector<int64_t>{0, 330}), rec.calls[0].args);
    EXPECT_EQ((std::vector<int64_t>{1, 362}), rec.calls[1].args);
    EXPECT_EQ((std::vector<int64_t>{1, 362}), rec.calls[2].args);
    EXPECT_EQ((std::vector<int64_t>{1, 362}), rec.calls[3].args);
    // The slower belt decides: round(1.5 * 330).
    EXPECT_EQ((std::vector<int64_t>{495}), rec.calls[5].args);
    EXPECT_EQ(modbus, rec.handle);
    EXPECT_TRUE(log.contains("Set belt cook time. Belt:1 Time (sec):330"));
    EXPECT_TRUE(
        log.contains("kor_srv_set_belt_cook_time: Update belt run time stats. Belt:1 rpm:362"));
    EXPECT_TRUE(log.contains("Converted belt cook time [330] to [362] rpm for belt 1"));
    EXPECT_EQ(0, log.count_containing("FAILED"));
}

TEST_F(Setpoints, PhotoEyeTimeoutFollowsBothBeltsOrBeltOneAlone) {
    // Belt 2 at 331 s and belt 1 at 0: round(496.5) = 497.
    rec.state.belt_cook_time[0] = 0;
    EXPECT_EQ(0, kor_srv_set_belt_cook_time(&srv, modbus, two_belts, 2, 331));
    ASSERT_EQ(1u, rec.of("photoeye_timeout").size());
    EXPECT_EQ(497, rec.of("photoeye_timeout")[0].args[0]);
    EXPECT_EQ(2, rec.of("belt_speed")[0].args[0]);
    EXPECT_EQ(1, rec.of("state_belt_cook_time")[0].args[0]);

    // A single-belt oven ignores whatever the state holds for belt 2.
    rec = Recorder{};
    rec.state.belt_cook_time[1] = 600;
    ASSERT_EQ(1, one_belt->num_belts);
    EXPECT_EQ(0, kor_srv_set_belt_cook_time(&srv, modbus, one_belt, 1, 330));
    ASSERT_EQ(1u, rec.of("photoeye_timeout").size());
    EXPECT_EQ(495, rec.of("photoeye_timeout")[0].args[0]);
}

TEST_F(Setpoints, ZeroCookTimeIsStoredThenRejectedByTheConversion) {
    rec.state.belt_cook_time[0] = 330;
    EXPECT_EQ(-1, kor_srv_set_belt_cook_time(&srv, modbus, two_belts, 1, 0));
    EXPECT_EQ(std::vector<std::string>{"state_belt_cook_time"}, rec.ops());
    EXPECT_EQ(0, rec.state.belt_cook_time[0]);
    EXPECT_EQ(1, log.count("Set belt cook time FAILED! Error: -1"));
    EXPECT_EQ(0, log.count_containing("Converted belt cook time"));
}

TEST_F(Setpoints, BeltOutOfRangeIsRejectedBeforeAnythingIsStored) {
    for (int32_t belt : {0, 3, -1}) {
        EXPECT_EQ(-1, kor_srv_set_belt_cook_time(&srv, modbus, two_belts, belt, 330));
        EXPECT_EQ(1, located_lines(log, "Belt out of range. Belt:" + std::to_string(belt),
                                   "kor_srv_setpoints"))
            << log.dump();
    }
    // The belt is checked before the record, so even a missing record is not touched.
    EXPECT_EQ(-1, kor_srv_set_belt_cook_time(nullptr, modbus, two_belts, 3, 330));
    EXPECT_TRUE(rec.calls.empty());
    EXPECT_EQ(-1, kor_srv_set_belt_cook_time(&srv, modbus, nullptr, 1, 330));
    EXPECT_TRUE(rec.calls.empty());
    EXPECT_EQ(1, located_lines(log, "Invalid input parameter", "kor_srv_setpoints"));
}

TEST_F(Setpoints, AFailingStepStopsTheOnesAfterItAndIsReturned) {
    const std::vector<std::string> steps{"belt_speed", "stats_belt_time", "stats_belt_run_time",
                                         "get_operation_state"};
    for (size_t failing = 0; failing < steps.size(); ++failing) {
        rec = Recorder{};
        rec.results[steps[failing]] = -7;
        log.clear();
        EXPECT_EQ(-7, kor_srv_set_belt_cook_time(&srv, modbus, two_belts, 1, 330))
            << steps[failing];
        std::vector<std::string> expected{"state_belt_cook_time"};
        expected.insert(expected.end(), steps.begin(),
                        steps.begin() + static_cast<std::ptrdiff_t>(failing) + 1);
        EXPECT_EQ(expected, rec.ops()) << steps[failing];
        EXPECT_EQ(1, log.count("Set belt cook time FAILED! Error: -7"));
        EXPECT_EQ(0, log.count_containing("Converted belt cook time"));
    }
}

TEST_F(Setpoints, PhotoEyeFailureDoesNotChangeTheOutcome) {
    rec.results["photoeye_timeout"] = -3;
    EXPECT_EQ(0, kor_srv_set_belt_cook_time(&srv, modbus, two_belts, 1, 330));
    EXPECT_EQ(0, log.count_containing("Set belt cook time FAILED"));
    EXPECT_TRUE(log.contains("Converted belt cook time [330] to [362] rpm for belt 1"));
}

TEST_F(Setpoints, BlowerSpeedChecksTheBlowerBeforeAnyWrite) {
    for (int32_t blower : {0, 5}) {
        EXPECT_EQ(-1, kor_srv_set_blower_speed(&srv, modbus, blower, 560));
        EXPECT_EQ(1, located_lines(log, "Blower out of range. Blower:" + std::to_string(blower),
                                   "kor_srv_setpoints"));
    }
    EXPECT_TRUE(rec.calls.empty());

    testing::internal::CaptureStdout();
    EXPECT_EQ(0, kor_srv_set_blower_speed(&srv, modbus, 4, 560));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, printed.find("Set blower speed. Blower:4 Speed:560\n"));
    ASSERT_EQ(1u, rec.calls.size());
    EXPECT_EQ((std::vector<int64_t>{4, 560}), rec.calls[0].args);
    EXPECT_EQ(modbus, rec.handle);
    EXPECT_EQ(1, log.count("Set blower speed. Blower:4 Speed:560"));

    rec.results["blower_speed"] = -1;
    EXPECT_EQ(-1, kor_srv_set_blower_speed(&srv, modbus, 1, 700));
    EXPECT_TRUE(log.contains("Set blower speed time FAILED! Error: -1"));
}

TEST_F(Setpoints, TargetTemperatureIsPersistedEvenWhenTheBoardIsUnreachable) {
    rec.results["heater_target_temp"] = -1;
    EXPECT_EQ(-1, kor_srv_set_target_temp(&srv, modbus, 450));
    EXPECT_EQ((std::vector<std::string>{"heater_target_temp", "config_int"}), rec.ops());
    EXPECT_EQ((std::vector<int64_t>{450}), rec.calls[0].args);
    EXPECT_EQ((std::vector<int64_t>{KOR_CONFIG_HEATING_SET_TEMP, 0, 450}), rec.calls[1].args);
    EXPECT_TRUE(log.contains("Set oven target temp:450"));
    EXPECT_TRUE(log.contains("Set target temp FAILED! Error: -1"));

    // A failing persist does not hide the board's success.
    rec = Recorder{};
    rec.results["config_int"] = -1;
    EXPECT_EQ(0, kor_srv_set_target_temp(&srv, modbus, 500));
    EXPECT_EQ(2u, rec.calls.size());
}

TEST_F(Setpoints, OvenEnableAndSerialNumberReportTheirErrors) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, kor_srv_oven_enable(&srv, modbus, 1));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, printed.find("OVEN POWER ON/OFF enable:1\n"));
    ASSERT_EQ(1u, rec.calls.size());
    EXPECT_EQ((std::vector<int64_t>{1}), rec.calls[0].args);
    bool warned = false;
    for (const auto &l : log.lines())
        warned |= l.level == 4 && l.message == "OVEN POWER ON/OFF enable:1";
    EXPECT_TRUE(warned);

    rec.results["oven_enable"] = -4;
    EXPECT_EQ(-4, kor_srv_oven_enable(&srv, modbus, 0));
    EXPECT_TRUE(log.contains("Oven power on/off FAILED! Error: -4"));

    EXPECT_EQ(0, kor_srv_serial_number_changed(&srv));
    EXPECT_TRUE(log.contains("Serial number changed"));
    rec.results["telvo_serial_number"] = -2;
    EXPECT_EQ(-2, kor_srv_serial_number_changed(&srv));
    EXPECT_TRUE(log.contains("Serial number changed FAILED! Error: -2"));
    EXPECT_EQ(4u, rec.of("oven_enable").size() + rec.of("telvo_serial_number").size());

    EXPECT_EQ(-1, kor_srv_oven_enable(&srv, nullptr, 1));
    EXPECT_EQ(-1, kor_srv_set_target_temp(nullptr, modbus, 450));
    EXPECT_EQ(-1, kor_srv_set_blower_speed(&srv, nullptr, 1, 560));
    EXPECT_EQ(-1, kor_srv_serial_number_changed(nullptr));
    EXPECT_EQ(4, located_lines(log, "Invalid input parameter", "kor_srv_setpoints"));
}

// ---- readings ----

using Readings = ServiceTest;

TEST_F(Readings, ActiveThermocouplesArePackedAndTheRestStayZero) {
    oven_config_t config = *two_belts;
    std::snprintf(config.heating_active_probes, sizeof config.heating_active_probes, "1x3x5x");
    for (int32_t tc = 1; tc <= 6; ++tc)
        rec.thermocouple[tc] = static_cast<uint16_t>(400 + tc);
    int16_t values[4] = {77, 77, 77, 77};
    EXPECT_EQ(0, kor_srv_read_active_tc_values(&srv, values, 4, &config));
    EXPECT_EQ(401, values[0]);
    EXPECT_EQ(403, values[1]);
    EXPECT_EQ(0, values[2]);
    EXPECT_EQ(0, values[3]);
    const auto reads = rec.of("thermocouple_reg");
    ASSERT_EQ(2u, reads.size());
    EXPECT_EQ(1, reads[0].args[0]);
    EXPECT_EQ(3, reads[1].args[0]);

    // A text shorter than the count is read only up to its end.
    std::snprintf(config.heating_active_probes, sizeof config.heating_active_probes, "12");
    int16_t more[6] = {};
    EXPECT_EQ(0, kor_srv_read_active_tc_values(&srv, more, 6, &config));
    EXPECT_EQ(401, more[0]);
    EXPECT_EQ(402, more[1]);
    EXPECT_EQ(0, more[2]);
    EXPECT_EQ(-1, kor_srv_read_active_tc_values(&srv, more, 7, &config));
    EXPECT_EQ(-1, kor_srv_read_active_tc_values(&srv, more, 4, nullptr));
}

TEST_F(Readings, AllThermocouplesMarkUnsoundOnesWithoutReadingThem) {
    for (int32_t tc = 1; tc <= 7; ++tc)
        rec.thermocouple[tc] = static_cast<uint16_t>(300 + tc);
    rec.thermocouple[2] = static_cast<uint16_t>(-5);  // below zero arrives as a signed value
    rec.diagnostics.tcstate3 = 2;
    int16_t values[7] = {};
    EXPECT_EQ(0, kor_srv_read_all_tc_values(&srv, values, 7));
    EXPECT_EQ(301, values[0]);
    EXPECT_EQ(-5, values[1]);
    EXPECT_EQ(-1, values[2]);
    EXPECT_EQ(304, values[3]);
    EXPECT_EQ(307, values[6]);
    for (const Call &c : rec.of("thermocouple_reg"))
        EXPECT_NE(3, c.args[0]);
    EXPECT_EQ(6u, rec.of("thermocouple_reg").size());

    // Counts beyond the seven states are refused before anything is read.
    rec = Recorder{};
    EXPECT_EQ(-1, kor_srv_read_all_tc_values(&srv, values, 8));
    EXPECT_EQ(-1, kor_srv_read_all_tc_values(&srv, values, -1));
    EXPECT_TRUE(rec.calls.empty());

    rec.results["diagnostic_reg_data"] = -1;
    EXPECT_EQ(-1, kor_srv_read_all_tc_values(&srv, values, 4));
    EXPECT_EQ(1, located_lines(log, "Couldn't retrieve the diagnostic register data",
                               "kor_srv_readings"));
    EXPECT_TRUE(rec.of("thermocouple_reg").empty());
}

TEST_F(Readings, BlowerAndBeltCountsStayWithinTheirRegisters) {
    uint16_t blowers[4] = {};
    EXPECT_EQ(0, kor_srv_read_all_blower_values(&srv, blowers, 4));
    EXPECT_EQ(1001, blowers[0]);
    EXPECT_EQ(1004, blowers[3]);
    uint16_t belts[2] = {};
    EXPECT_EQ(0, kor_srv_read_all_belt_values(&srv, belts, 2));
    EXPECT_EQ(301, belts[0]);
    EXPECT_EQ(302, belts[1]);
    EXPECT_EQ(6u, rec.calls.size());

    rec = Recorder{};
    uint16_t wide[8] = {};
    EXPECT_EQ(-1, kor_srv_read_all_blower_values(&srv, wide, 5));
    EXPECT_EQ(-1, kor_srv_read_all_belt_values(&srv, wide, 3));
    EXPECT_EQ(-1, kor_srv_read_all_belt_values(&srv, nullptr, 2));
    EXPECT_TRUE(rec.calls.empty());
    EXPECT_EQ(3, located_lines(log, "Invalid input parameter", "kor_srv_readings"));
}

TEST_F(Readings, IgnitorStatusFollowsTheOutputAndTheResetRequest) {
    int32_t status = 0;
    rec.diagnostics.oc7 = 1;
    rec.reset_ignition = 1;
    EXPECT_EQ(0, kor_srv_calculate_ignitor_status(&srv, &status));
    EXPECT_EQ(3, status);

    rec.reset_ignition = 0;
    EXPECT_EQ(0, kor_srv_calculate_ignitor_status(&srv, &status));
    EXPECT_EQ(2, status);

    rec = Recorder{};
    rec.reset_ignition = 1;
    EXPECT_EQ(0, kor_srv_calculate_ignitor_status(&srv, &status));
    EXPECT_EQ(1, status);

    rec.results["diagnostic_reg_data"] = -9;
    EXPECT_EQ(-9, kor_srv_calculate_ignitor_status(&srv, &status));
    EXPECT_EQ(-1, status);
    EXPECT_TRUE(log.contains("Get diagnostic register data FAILED! Error: -9"));
}

TEST_F(Readings, ManifoldStatusDependsOnTheValveWiring) {
    oven_config_t config = *two_belts;
    struct Case {
        int32_t no_nc;
        int32_t oc4;
        int32_t status;
    };
    for (const Case &c : {Case{1, 1, 2}, Case{1, 0, 1}, Case{0, 1, 1}, Case{0, 0, 2},
                          Case{2, 1, -1}, Case{-1, 0, -1}}) {
        config.heating_gas_attenuation_valve_no_nc = c.no_nc;
        rec.diagnostics.oc4 = c.oc4;
        int32_t status = 99;
        EXPECT_EQ(0, kor_srv_calculate_manifold_valve_status_attenuation(&srv, &config, &status));
        EXPECT_EQ(c.status, status) << "no_nc " << c.no_nc << " oc4 " << c.oc4;
    }
    rec.results["diagnostic_reg_data"] = -2;
    int32_t status = 99;
    EXPECT_EQ(-2, kor_srv_calculate_manifold_valve_status_attenuation(&srv, &config, &status));
    EXPECT_EQ(-1, status);
    EXPECT_EQ(-1, kor_srv_calculate_manifold_valve_status_attenuation(&srv, nullptr, &status));
}

TEST_F(Readings, DiagnosticRegistersArePassedThroughToTheUi) {
    rec.diagnostics.di1 = 1;
    rec.diagnostics.oc4 = 4;
    rec.diagnostics.tcstate7 = -7;
    EXPECT_EQ(0, kor_srv_notify_ui_diagnostic_registers(&srv));
    EXPECT_EQ((std::vector<std::string>{"diagnostic_reg_data", "notify_diagnostic"}), rec.ops());
    EXPECT_EQ(1, rec.notified.di1);
    EXPECT_EQ(4, rec.notified.oc4);
    EXPECT_EQ(-7, rec.notified.tcstate7);

    rec.results["notify_diagnostic"] = -3;
    EXPECT_EQ(-3, kor_srv_notify_ui_diagnostic_registers(&srv));
    EXPECT_TRUE(log.contains("Send diagnostic register data FAILED! Error: -3"));

    rec = Recorder{};
    rec.results["diagnostic_reg_data"] = -5;
    EXPECT_EQ(-5, kor_srv_notify_ui_diagnostic_registers(&srv));
    EXPECT_TRUE(rec.of("notify_diagnostic").empty());
    EXPECT_TRUE(log.contains("Get diagnostic register data FAILED! Error: -5"));
}

// ---- thermocouple enabling ----

using Thermocouples = ServiceTest;

TEST_F(Thermocouples, EnableTextPutsTheDigitOrXAtItsPosition) {
    oven_config_t config = *two_belts;
    std::snprintf(config.heating_active_probes, sizeof config.heating_active_probes, "1234xx");
    char text[KOR_CONFIG_TEXT_LEN];
    EXPECT_EQ(0, kor_srv_update_tc_enable_str(&config, 6, 1, text));
    EXPECT_STREQ("1234x6", text);
    EXPECT_TRUE(log.contains("Generated TC Enable String 1234x6"));
    EXPECT_EQ(0, kor_srv_update_tc_enable_str(&config, 1, 0, text));
    EXPECT_STREQ("x234xx", text);

    // A short text is padded with inactive positions instead of being written past its end.
    std::snprintf(config.heating_active_probes, sizeof config.heating_active_probes, "12");
    EXPECT_EQ(0, kor_srv_update_tc_enable_str(&config, 5, 1, text));
    EXPECT_STREQ("12xx5", text);
    EXPECT_EQ(0, kor_srv_update_tc_enable_str(&config, 1, 0, text));
    EXPECT_STREQ("x2", text);

    for (int32_t tc : {0, 7})
        EXPECT_EQ(-1, kor_srv_update_tc_enable_str(&config, tc, 1, text));
    EXPECT_EQ(2, located_lines(log, "Invalid input parameter", "kor_srv_readings"));
}

TEST_F(Thermocouples, DisablingRewritesConfigurationBoardAndUiInOrder) {
    oven_config_t config = *two_belts;
    std::snprintf(config.heating_active_probes, sizeof config.heating_active_probes, "12345x");
    config.heating_num_cavity_active_probes = 5;
    EXPECT_EQ(0, kor_srv_enable_tc(&srv, modbus, &config, 5, 0));
    EXPECT_EQ((std::vector<std::string>{"config_str", "config_int", "heater_tc_enable",
                                        "notify_tc_enable"}),
              rec.ops());
    ASSERT_EQ(4u, rec.calls.size());
    EXPECT_EQ(KOR_CONFIG_HEATING_ACTIVE_PROBES, rec.calls[0].args[0]);
    EXPECT_EQ("1234xx", rec.calls[0].text);
    EXPECT_EQ((std::vector<int64_t>{KOR_CONFIG_HEATING_NUM_CAVITY_ACTIVE_PROBES, 0, 4}),
              rec.calls[1].args);
    EXPECT_EQ(0x0F, rec.calls[2].args[0]);
    EXPECT_EQ(4, rec.calls[3].args[0]);
    EXPECT_EQ("1234xx", rec.calls[3].text);
    EXPECT_TRUE(log.contains("Modifying TC enable for TC:5 enable:0"));
}

TEST_F(Thermocouples, TheActiveCountFollowsTheProbesText) {
    // A probe already in the requested state, or a stored count that had drifted, must not move
    // the count away from the text.
    struct Case {
        const char *probes;
        int32_t count;
        int32_t tc;
        int32_t enable;
        const char *text;
        int64_t expected;
    };
    const Case cases[] = {
        {"12345x", 5, 5, 0, "1234xx", 4},  // the ordinary disable
        {"1234xx", 4, 5, 0, "1234xx", 4},  // already disabled
        {"12345x", 5, 1, 1, "12345x", 5},  // already enabled
        {"12345x", 9, 6, 1, "123456", 6},  // a drifted count comes back to the text
        {"x2", 1, 4, 1, "x2x4", 2},        // a short text
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.probes) + " tc " + std::to_string(c.tc));
        rec = Recorder{};
        oven_config_t config = *two_belts;
        std::snprintf(config.heating_active_probes, sizeof config.heating_active_probes, "%s",
                      c.probes);
        config.heating_num_cavity_active_probes = c.count;
        ASSERT_EQ(0, kor_srv_enable_tc(&srv, modbus, &config, c.tc, c.enable));
        ASSERT_EQ(1u, rec.of("config_int").size());
        EXPECT_EQ(
            (std::vector<int64_t>{KOR_CONFIG_HEATING_NUM_CAVITY_ACTIVE_PROBES, 0, c.expected}),
            rec.of("config_int")[0].args);
        ASSERT_EQ(1u, rec.of("notify_tc_enable").size());
        EXPECT_EQ(c.expected, rec.of("notify_tc_enable")[0].args[0]);
        EXPECT_EQ(c.text, rec.of("notify_tc_enable")[0].text);
    }
}

TEST_F(Thermocouples, AFailingStepStopsTheRest) {
    oven_config_t config = *two_belts;
    rec.results["config_str"] = -1;
    EXPECT_EQ(-1, kor_srv_enable_tc(&srv, modbus, &config, 5, 1));
    EXPECT_EQ(std::vector<std::string>{"config_str"}, rec.ops());

    rec = Recorder{};
    rec.results["heater_tc_enable"] = -6;
    EXPECT_EQ(-6, kor_srv_enable_tc(&srv, modbus, &config, 5, 1));
    EXPECT_TRUE(rec.of("notify_tc_enable").empty());

    rec = Recorder{};
    EXPECT_EQ(-1, kor_srv_enable_tc(&srv, modbus, &config, 7, 1));
    EXPECT_TRUE(rec.calls.empty());
}

// ---- firmware versions and voltage over the real IO board library ----

class BoardReadings : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, kor_modbus_init(&ctx, "fake", 1, 100, 10, 3, 0, fake.table()));
        load_config(kor_test::source_dir() + "/data/config");
    }
    void TearDown() override {
        if (ctx != nullptr) {
            EXPECT_EQ(0, kor_modbus_free(ctx));
        }
    }
    std::vector<int> reads() const {
        std::vector<int> out;
        for (const auto &c : fake.calls(kor_test::Op::ReadRegister))
            out.push_back(c.address);
        return out;
    }
    void fail_reads() {
        kor_test::Outcome failed;
        failed.result = -1;
        failed.err = 5;  // EIO: a bad answer, not a time-out
        fake.set_default(kor_test::Op::ReadRegister, failed);
    }
    static bool was_read(const std::vector<int> &r, int reg) {
        return std::find(r.begin(), r.end(), reg) != r.end();
    }

    LogCapture log;
    kor_test::FakeLink fake;
    modbus_data_t *ctx = nullptr;
};

TEST_F(BoardReadings, VersionsAreStoredInTheConfiguration) {
    fake.set_register(0, 0x0203);
    fake.set_register(123, 17);
    fake.set_register(124, 0xFFFF);
    EXPECT_EQ(0, kor_srv_update_firmware_versions(ctx));
    oven_config_t config{};
    ASSERT_EQ(0, kor_get_oven_config(&config));
    EXPECT_EQ(0x0203, config.io_firmware);
    EXPECT_EQ(17, config.drive_board_1);
    EXPECT_EQ(0xFFFF, config.drive_board_2);
    EXPECT_TRUE(
        log.contains("kor_srv_update_firmware_versions: bldc_version 1 value from modbus is 17"));
}

TEST_F(BoardReadings, UnreadableIoVersionStoresZeroAndSkipsTheDriveBoards) {
    ASSERT_EQ(0, kor_config_update_setting_int(KOR_CONFIG_IO_FIRMWARE, 1, 42));
    ASSERT_EQ(0, kor_config_update_setting_int(KOR_CONFIG_DRIVE_BOARD_1, 1, 7));
    ASSERT_EQ(0, kor_config_update_setting_int(KOR_CONFIG_DRIVE_BOARD_2, 1, 8));
    fail_reads();
    EXPECT_EQ(0, kor_srv_update_firmware_versions(ctx));
    oven_config_t config{};
    ASSERT_EQ(0, kor_get_oven_config(&config));
    EXPECT_EQ(0, config.io_firmware);
    EXPECT_EQ(7, config.drive_board_1);
    EXPECT_EQ(8, config.drive_board_2);
    const auto r = reads();
    EXPECT_TRUE(was_read(r, 0));
    EXPECT_FALSE(was_read(r, 123));
    EXPECT_FALSE(was_read(r, 124));
    EXPECT_EQ(1, log.count_containing("unable to retrieve io_firmware value from modbus!"));
}

TEST_F(BoardReadings, UnreadableDriveBoardOneSkipsDriveBoardTwo) {
    ASSERT_EQ(0, kor_config_update_setting_int(KOR_CONFIG_DRIVE_BOARD_1, 1, 7));
    ASSERT_EQ(0, kor_config_update_setting_int(KOR_CONFIG_DRIVE_BOARD_2, 1, 8));
    fake.set_register(0, 5);
    // The IO board answers the first read; everything after it fails.
    fake.script(kor_test::Op::ReadRegister, kor_test::Outcome{1});
    fail_reads();
    EXPECT_EQ(0, kor_srv_update_firmware_versions(ctx));
    oven_config_t config{};
    ASSERT_EQ(0, kor_get_oven_config(&config));
    EXPECT_EQ(5, config.io_firmware);
    EXPECT_EQ(0, config.drive_board_1);
    EXPECT_EQ(8, config.drive_board_2);
    EXPECT_FALSE(was_read(reads(), 124));
}

TEST_F(BoardReadings, NotificationsReadEveryValueAndAlwaysSucceed) {
    // No bus is open in this process: the notifications fail, which the operations log only.
    fail_reads();
    EXPECT_EQ(0, kor_srv_notify_firmware_versions(ctx));
    const auto r = reads();
    EXPECT_TRUE(was_read(r, 0));
    EXPECT_TRUE(was_read(r, 123));
    EXPECT_TRUE(was_read(r, 124));
    EXPECT_EQ(1, log.count_containing("Unable to notify UI of firware versions. Error: "));

    EXPECT_EQ(0, kor_srv_notify_oven_voltage(ctx));
    EXPECT_TRUE(was_read(reads(), 122));
    EXPECT_EQ(1, log.count_containing("Unable to notify UI of oven voltage. Error: "));

    EXPECT_EQ(-1, kor_srv_notify_firmware_versions(nullptr));
    EXPECT_EQ(-1, kor_srv_update_firmware_versions(nullptr));
    EXPECT_EQ(-1, kor_srv_notify_oven_voltage(nullptr));
}

}  // namespace
