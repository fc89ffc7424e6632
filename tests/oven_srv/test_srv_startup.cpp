// The operation service's start-up: the UI notifications as they arrive on a real bus channel
// (names, descriptors, exact bytes), the record kor_srv_init binds, the start-up write sequences
// and where they stop (recording fakes bound into a zeroed record), the bitmask builders, and the
// timers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kor_oven_operation_srv.h"
#include "log_capture.hpp"

namespace {

// ---------------------------------------------------------------------------------------------
// Notifications over a scratch bus. The test's own channel is "zeb_update" and registers itself
// as a UI client, so both the broadcasts and the events for the update service come back to it.

struct EventDeleter {
    void operator()(zeb_event_t *ev) const { zeb_service_free_event(ev); }
};
using Event = std::unique_ptr<zeb_event_t, EventDeleter>;

class NotifyOnBus : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("ZEB_BUS_DIR", scratch_.file("bus").c_str(), 1);
        ASSERT_EQ(0, zeb_service_initialize("zeb_update"));
        ASSERT_EQ(0, zeb_service_register("zeb_update", 1));
    }
    void TearDown() override {
        zeb_service_uninitialize();
        ::unsetenv("ZEB_BUS_DIR");
    }

    static Event next() {
        zeb_event_t *ev = nullptr;
        const int rc = zeb_service_wait_event_timeout(&ev, 2000);
        EXPECT_EQ(0, rc) << "no event arrived";
        return Event(rc == 0 ? ev : nullptr);
    }

    static std::vector<int32_t> ints(const zeb_event_t *ev) {
        std::vector<int32_t> out(static_cast<std::size_t>(ev->length) / 4);
        if (!out.empty()) {
            std::memcpy(out.data(), ev->data, out.size() * 4);
        }
        return out;
    }

    kor_test::ScratchDir scratch_;
};

TEST_F(NotifyOnBus, IntegerEventsCarryTheirNamesDescriptorsAndValues) {
    EXPECT_EQ(0, notify_oven_state(3, 6));
    Event ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.mode_notify", ev->name);
    EXPECT_STREQ("4s1 mode 4s1 board_mode", ev->format);
    EXPECT_EQ((std::vector<int32_t>{3, 6}), ints(ev.get()));

    notify_oven_temperature(480, 500, 73);
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.temperature_notify", ev->name);
    EXPECT_STREQ("4s1 temperature 4s1 target 4s1 heat_percent", ev->format);
    EXPECT_EQ((std::vector<int32_t>{480, 500, 73}), ints(ev.get()));

    notify_belt_target_cook_time(2, 330);
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.belt_target_cook_time_notify", ev->name);
    EXPECT_STREQ("4s1 belt_num 4s1 target_cook_time", ev->format);
    EXPECT_EQ((std::vector<int32_t>{2, 330}), ints(ev.get()));

    notify_manifold_status(-1, 42);
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.manifold_status", ev->name);
    EXPECT_STREQ("4s1 manifold_valve 4s1 air_pos", ev->format);
    EXPECT_EQ((std::vector<int32_t>{-1, 42}), ints(ev.get()));

    notify_soak_timer(95, 1);
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.soak_timer_notify", ev->name);
    EXPECT_STREQ("4s1 seconds 4s1 initial", ev->format);
    EXPECT_EQ((std::vector<int32_t>{95, 1}), ints(ev.get()));

    notify_photoeye_detection(1);
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.photoeye_detection", ev->name);
    EXPECT_STREQ("4s1 detect", ev->format);
    EXPECT_EQ((std::vector<int32_t>{1}), ints(ev.get()));
}

TEST_F(NotifyOnBus, SixteenBitSourcesWidenWithTheirSignOrWithZeros) {
    const int16_t tc[6] = {-5, 0, 650, -32768, 32767, 1};
    notify_tc_temperature(tc);
    Event ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.tc_temp_notify", ev->name);
    EXPECT_STREQ("4s1 tc1 4s1 tc2 4s1 tc3 4s1 tc4 4s1 tc5 4s1 tc6", ev->format);
    EXPECT_EQ((std::vector<int32_t>{-5, 0, 650, -32768, 32767, 1}), ints(ev.get()));

    notify_firmware_versions(0xFFFF, 0x8000, 7);
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.firmware_versions_notify", ev->name);
    EXPECT_STREQ("4s1 io_version 4s1 bldc_version_1 4s1 bldc_version_2", ev->format);
    EXPECT_EQ((std::vector<int32_t>{65535, 32768, 7}), ints(ev.get()));

    notify_oven_voltage(0xFFFE);
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.oven_voltage_notify", ev->name);
    EXPECT_EQ((std::vector<int32_t>{65534}), ints(ev.get()));

    const uint16_t rpm[2] = {0xFFFF, 362};
    const uint16_t cook[2] = {40000, 330};
    notify_belt_measured_cook_time(rpm, cook);
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.belt_measured_time_notify", ev->name);
    EXPECT_STREQ("4s1 belt1_rpm 4s1 belt2_rpm 4s1 belt1_cook_time 4s1 belt2_cook_time", ev->format);
    EXPECT_EQ((std::vector<int32_t>{65535, 362, 40000, 330}), ints(ev.get()));

    const uint16_t fan_rpm[4] = {1241, 0xFFFF, 0, 2684};
    const float hz[4] = {40.0f, 62.5f, 0.0f, -1.25f};
    notify_oven_fan_rpm_hz(fan_rpm, hz, 3);
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.fan_hz_rpm_notify", ev->name);
    EXPECT_STREQ(
        "4s1 fan1_rpm 4s1 fan2_rpm 4s1 fan3_rpm 4s1 fan4_rpm 4f1 fan1_hz 4f1 fan2_hz "
        "4f1 fan3_hz 4f1 fan4_hz 4s1 cooling_fan_status",
        ev->format);
    ASSERT_EQ(36, ev->length);
    const std::vector<int32_t> words = ints(ev.get());
    EXPECT_EQ((std::vector<int32_t>{1241, 65535, 0, 2684}),
              std::vector<int32_t>(words.begin(), words.begin() + 4));
    float got_hz[4];
    std::memcpy(got_hz, static_cast<const char *>(ev->data) + 16, sizeof got_hz);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(hz[i], got_hz[i]) << i;
    }
    EXPECT_EQ(3, words[8]);
}

TEST_F(NotifyOnBus, StateEventsWithoutDataAndTheLogRequest) {
    const struct {
        int32_t (*send)();
        const char *name;
    } cases[] = {{notify_power_on, "zeb.varlo.power_on"},
                 {notify_power_off, "zeb.varlo.power_off"},
                 {notify_preheat_complete, "zeb.varlo.preheat_complete"},
                 {notify_cooldown, "zeb.varlo.power_cooldown"},
                 {notify_dump_logs, "zeb.varlo.generate_logs"}};
    for (const auto &c : cases) {
        EXPECT_EQ(0, c.send()) << c.name;
        Event ev = next();
        ASSERT_TRUE(ev) << c.name;
        EXPECT_STREQ(c.name, ev->name);
        // generate_logs is sent without a descriptor; the bus writes a missing one as "".
        EXPECT_STREQ("", ev->format) << c.name;
        EXPECT_EQ(0, ev->length) << c.name;
        EXPECT_EQ(nullptr, ev->data) << c.name;
    }
}

TEST_F(NotifyOnBus, TcEnableSendsTwelveBytesWithTheTextCutToSevenCharacters) {
    notify_tc_enable_changed(0x0F, "1234xx");
    Event ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.tc_enable", ev->name);
    EXPECT_STREQ("4s1 enabled_tcs 1s0 format", ev->format);
    ASSERT_EQ(12, ev->length);
    const unsigned char expected[12] = {0x0F, 0, 0, 0, '1', '2', '3', '4', 'x', 'x', 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, ev->data, 12));

    notify_tc_enable_changed(31, "123456789");
    ev = next();
    ASSERT_TRUE(ev);
    ASSERT_EQ(12, ev->length);
    EXPECT_EQ(0, std::memcmp("1234567", static_cast<const char *>(ev->data) + 4, 8));

    // Seven characters and no NUL: exactly those seven are read (checked under ASan).
    const char unterminated[7] = {'1', '2', '3', '4', '5', '6', 'x'};
    notify_tc_enable_changed(31, unterminated);
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, std::memcmp("123456x", static_cast<const char *>(ev->data) + 4, 8));

    notify_tc_enable_changed(0, nullptr);
    ev = next();
    ASSERT_TRUE(ev);
    ASSERT_EQ(12, ev->length);
    const unsigned char zeros[12] = {};
    EXPECT_EQ(0, std::memcmp(zeros, ev->data, 12));
}

TEST_F(NotifyOnBus, DiagnosticBlockPassesThroughAs152Bytes) {
    diagnostic_reg_data_t d;
    int32_t values[KOR_DIAGNOSTIC_VALUES];
    for (int i = 0; i < KOR_DIAGNOSTIC_VALUES; ++i) {
        values[i] = (i % 2 == 0 ? 1 : -1) * (i * 1000 + 7);
    }
    std::memcpy(&d, values, sizeof d);
    // A broadcast that reached its client is a success: callers treat non-zero as a failure.
    EXPECT_EQ(0, notify_diagnostic_registers(&d));
    Event ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.diag_reg_notify", ev->name);
    const std::string format = ev->format;
    EXPECT_EQ(0u, format.find("4s1 di1 4s1 di2 "));
    EXPECT_NE(std::string::npos, format.find(" 4s1 mcp7 4s1 tcstate1 "));
    EXPECT_EQ(format.size() - std::strlen("4s1 tcstate7"), format.rfind("4s1 tcstate7"));
    ASSERT_EQ(152, ev->length);
    EXPECT_EQ(0, std::memcmp(values, ev->data, 152));
    EXPECT_EQ(-1, notify_diagnostic_registers(nullptr));
}

TEST_F(NotifyOnBus, UpdateServiceEventsGoToItsChannelNamingTheBackend) {
    // Not a registered client's business: sent to "zeb_update" itself, 260 bytes, always naming
    // "zeb_backend" although this process's channel is another.
    EXPECT_EQ(0, subscribe_update_service());
    Event ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.update.register", ev->name);
    EXPECT_STREQ("4s1 enable 1s0 channel", ev->format);
    ASSERT_EQ(260, ev->length);
    unsigned char expected[260] = {};
    expected[0] = 1;
    std::memcpy(expected + 4, "zeb_backend", 11);
    EXPECT_EQ(0, std::memcmp(expected, ev->data, 260));

    EXPECT_EQ(0, notify_update_io_board_response(KOR_UPDATE_TRANSFERRED));
    ev = next();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.update.firmware.response", ev->name);
    EXPECT_STREQ("4s1 response", ev->format);
    EXPECT_EQ((std::vector<int32_t>{3}), ints(ev.get()));
}

TEST_F(NotifyOnBus, TheUpdateServiceMissingIsAFailedSend) {
    zeb_service_uninitialize();  // nobody listens on "zeb_update" now
    EXPECT_NE(0, subscribe_update_service());
    EXPECT_NE(0, notify_update_io_board_response(KOR_UPDATE_FAILED));
}

// ---------------------------------------------------------------------------------------------
// The record.

constexpr std::size_t kEntries = 81;
static_assert(sizeof(oven_operation_srv_t) == kEntries * sizeof(void *));

std::vector<bool> bound_entries(const oven_operation_srv_t *srv) {
    std::vector<bool> bound(kEntries);
    for (std::size_t i = 0; i < kEntries; ++i) {
        void *p = nullptr;
        std::memcpy(&p, reinterpret_cast<const char *>(srv) + i * sizeof(void *), sizeof p);
        bound[i] = p != nullptr;
    }
    return bound;
}

TEST(SrvInit, BindsEveryEntryButTheEmptyOneAndRefillsTheFaultTableOnEveryCall) {
    kor_test::LogCapture log;
    oven_operation_srv_t *srv = nullptr;
    ASSERT_EQ(0, kor_srv_init(&srv));
    ASSERT_NE(nullptr, srv);
    const std::vector<bool> bound = bound_entries(srv);
    for (std::size_t i = 0; i < kEntries; ++i) {
        EXPECT_EQ(i != 42, bound[i]) << "entry " << i + 1;
    }
    EXPECT_EQ(&kor_oven_set_oven_enable, srv->kor_oven_set_oven_enable);
    EXPECT_EQ(&notify_diagnostic_registers, srv->notify_diagnostic_registers);
    EXPECT_EQ(&kor_oven_init_structures, srv->kor_oven_init_structures);
    EXPECT_EQ(&kor_belt_init, srv->kor_belt_init);
    EXPECT_EQ(&zeb_timer_set_interval, srv->zeb_timer_set_interval);
    EXPECT_EQ(&kor_telvo_report_photocell_override, srv->kor_telvo_report_photocell_override);
    EXPECT_EQ(&notify_tc_enable_changed, srv->notify_tc_enable_changed);
    EXPECT_EQ(27u, ui_faults[27].fault);
    EXPECT_EQ(-1, ui_faults[11].board_code);

    // A second call keeps the record and puts the fault table back in its initial state.
    oven_operation_srv_t *const first = srv;
    ui_faults[4].active = 1;
    std::strcpy(ui_faults[4].description, "scribbled");
    ui_faults[0].fault = 99;
    ASSERT_EQ(0, kor_srv_init(&srv));
    EXPECT_EQ(first, srv);
    EXPECT_EQ(0, ui_faults[4].active);
    EXPECT_STREQ("Oven heat is insufficient.", ui_faults[4].description);
    EXPECT_EQ(0u, ui_faults[0].fault);

    EXPECT_EQ(-1, kor_srv_init(nullptr));
    EXPECT_EQ(1, log.count_containing("Invalid input parameter (kor_oven_operation_srv:"));
    EXPECT_EQ(0, kor_srv_uninitialize(srv));
    EXPECT_EQ(0, kor_srv_uninitialize(nullptr));
}

// ---------------------------------------------------------------------------------------------
// Start-up writes through recording fakes.

std::vector<std::string> g_calls;
std::string g_fail_on;  // the first call whose text starts with this fails with g_fail_code
int g_fail_code = -1;

int record(const std::string &call) {
    g_calls.push_back(call);
    return !g_fail_on.empty() && call.rfind(g_fail_on, 0) == 0 ? g_fail_code : 0;
}

template <typename... T>
std::string join(const char *name, T... values) {
    std::string s = name;
    ((s += " " + std::to_string(values)), ...);
    return s;
}

int g_dummy_link;
modbus_data_t *const kLink = reinterpret_cast<modbus_data_t *>(&g_dummy_link);

int checked(modbus_data_t *ctx, const std::string &call) {
    return record(ctx == kLink ? call : call + " (wrong link)");
}

class StartupWrites : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        g_fail_on.clear();
        g_fail_code = -1;
        const std::string dir = kor_test::source_dir() + "/data/config";
        ASSERT_EQ(0, kor_load_oven_config(dir.c_str(), nullptr));
        ASSERT_EQ(0, kor_get_oven_config(&cfg));
        bind();
    }

    void bind() {
        srv.kor_init_blower = [](modbus_data_t *c, int32_t b, uint16_t v1, uint16_t v2, uint16_t h1,
                                 uint16_t h2, uint16_t hs, uint16_t hi, uint16_t hh, uint16_t hc,
                                 uint16_t pd) {
            return checked(c, join("init_blower", b, v1, v2, h1, h2, hs, hi, hh, hc, pd));
        };
        srv.kor_set_inverter_pulse_threshold = [](modbus_data_t *c, int32_t b, uint16_t v) {
            return checked(c, join("pulse_threshold", b, v));
        };
        srv.kor_set_blower_speed_sense_error = [](modbus_data_t *c, uint16_t m) {
            return checked(c, join("sense_error", m));
        };
        srv.kor_set_blower_speed_sensor_configuration = [](modbus_data_t *c, uint16_t m) {
            return checked(c, join("sensor_config", m));
        };
        srv.kor_belt_init = [](modbus_data_t *c, int32_t b, uint16_t lo, uint16_t hi, uint16_t dir,
                               uint16_t rpm, uint16_t p, uint16_t i, uint16_t d) {
            return checked(c, join("belt_init", b, lo, hi, dir, rpm, p, i, d));
        };
        srv.kor_set_belt_enabled = [](modbus_data_t *c, uint16_t m) {
            return checked(c, join("belt_enabled", m));
        };
        srv.kor_set_photoeye_timeout = [](modbus_data_t *c, uint16_t s) {
            return checked(c, join("photoeye_timeout", s));
        };
        srv.kor_set_heater_photocell_enable = [](modbus_data_t *c, uint16_t v) {
            return checked(c, join("photocell_enable", v));
        };
        srv.kor_telvo_report_photocell_override = [] { return record("telvo_photocell"); };
        srv.kor_heater_init = [](modbus_data_t *c, uint16_t p, uint16_t i, uint16_t d, uint16_t t,
                                 uint16_t tc, uint16_t att, uint16_t nonc, uint16_t hl,
                                 uint16_t max) {
            return checked(c, join("heater_init", p, i, d, t, tc, att, nonc, hl, max));
        };
        srv.kor_oven_init = [](modbus_data_t *c, uint16_t en, uint16_t mc, uint16_t ps) {
            return checked(c, join("oven_init", en, mc, ps));
        };
        srv.kor_oven_init_structures = [] { return record("init_structures"); };
        srv.kor_oven_subscribe_to_register_blocks = [](modbus_data_t *c) {
            return checked(c, "subscribe");
        };
    }

    kor_test::LogCapture log;
    oven_operation_srv_t srv{};
    oven_config_t cfg{};
};

using Calls = std::vector<std::string>;

TEST_F(StartupWrites, BlowersInvertersAndTheirMasks) {
    std::strcpy(cfg.blower_speed_sense_error, "1001");
    cfg.blower[2].speed_set = 70000;  // a 32-bit value reaches the board cut to 16 bits
    ASSERT_EQ(0, kor_srv_init_blowers(&srv, kLink, &cfg));
    EXPECT_EQ((Calls{"init_blower 1 0 100 450 700 450 450 630 350 30",
                     "init_blower 2 0 100 450 700 450 450 630 350 30",
                     "init_blower 3 0 100 450 700 450 450 4464 350 30",
                     "init_blower 4 0 100 450 700 450 450 630 350 30", "pulse_threshold 1 1200",
                     "pulse_threshold 2 1200", "pulse_threshold 3 1200", "pulse_threshold 4 1200",
                     "sense_error 9", "sensor_config 15"}),
              g_calls);
    EXPECT_TRUE(log.contains(
        "Initializing blower #0 registers at position Front - vdc_min:0 vdc_max:100 hz_min:450 "
        "hz_max:700 hz_start:450 speed_idle:450 speed_set:630 hz_cool:350 photo_delay:30"))
        << log.dump();
    EXPECT_TRUE(
        log.contains("Initializing blower #3 registers at position Rear - vdc_min:0 "
                     "vdc_max:100 hz_min:450 hz_max:700 hz_start:450 speed_idle:450 "
                     "speed_set:630 hz_cool:350 photo_delay:30"));
    EXPECT_TRUE(log.contains("Initializing inverter #1 - inverter_sensor_pulses_per_min:1200"));
    EXPECT_TRUE(
        log.contains("Generated Ignore Blower Speed Sense Error Bitmask 0x09 from string 1001"));
    EXPECT_TRUE(log.contains("Initializing blower speed sense error: 9"));
    EXPECT_TRUE(
        log.contains("Generated Blower Speed Sensor Configuration Bitmask 0x0F from string 1111"));
    EXPECT_TRUE(log.contains("Initializing blower speed sensor configuration: 15"));
}

TEST_F(StartupWrites, OnlyTheConfiguredBlowersAndTheirInvertersAreWritten) {
    cfg.num_blowers = 2;  // num_inverters stays 4: the blower count rules
    ASSERT_EQ(0, kor_srv_init_blowers(&srv, kLink, &cfg));
    EXPECT_EQ((Calls{"init_blower 1 0 100 450 700 450 450 630 350 30",
                     "init_blower 2 0 100 450 700 450 450 630 350 30", "pulse_threshold 1 1200",
                     "pulse_threshold 2 1200", "sense_error 0", "sensor_config 15"}),
              g_calls);
}

TEST_F(StartupWrites, BlowerSequenceStopsAtTheFirstError) {
    g_fail_on = "init_blower 2";
    g_fail_code = -5;
    EXPECT_EQ(-5, kor_srv_init_blowers(&srv, kLink, &cfg));
    EXPECT_EQ((Calls{"init_blower 1 0 100 450 700 450 450 630 350 30",
                     "init_blower 2 0 100 450 700 450 450 630 350 30"}),
              g_calls);
    EXPECT_EQ(1, log.count("Blower #1 initialization FAILED! Error: -5")) << log.dump();

    g_calls.clear();
    g_fail_on = "pulse_threshold 3";
    EXPECT_EQ(-5, kor_srv_init_blowers(&srv, kLink, &cfg));
    EXPECT_EQ(7u, g_calls.size());
    EXPECT_EQ("pulse_threshold 3 1200", g_calls.back());
    EXPECT_EQ(1, log.count("Inverter #3 initialization FAILED! Error: -5"));

    g_calls.clear();
    g_fail_on = "sense_error";
    EXPECT_EQ(-5, kor_srv_init_blowers(&srv, kLink, &cfg));
    EXPECT_EQ("sense_error 0", g_calls.back());
    EXPECT_EQ(1, log.count("Inverter initialization FAILED! Error: -5"));

    g_calls.clear();
    g_fail_on = "sensor_config";
    g_fail_code = -9;
    EXPECT_EQ(-9, kor_srv_init_blowers(&srv, kLink, &cfg));
    EXPECT_EQ("sensor_config 15", g_calls.back());
    EXPECT_EQ(1, log.count("Inverter initialization FAILED! Error: -9"));
}

TEST_F(StartupWrites, TwoBelts) {
    ASSERT_EQ(0, kor_srv_init_belts(&srv, kLink, &cfg));
    EXPECT_EQ(
        (Calls{"belt_init 1 100 3000 0 362 10 2 0", "belt_init 2 100 3000 0 362 10 2 0",
               "belt_enabled 3", "photoeye_timeout 495", "photocell_enable 1", "telvo_photocell"}),
        g_calls);
    EXPECT_TRUE(
        log.contains("Initializing belt #0 registers at position Front - min_rpm:100 "
                     "max_rpm:3000 belt_direction:0 cook_time:330 rpm:362 pid_p:10 "
                     "pid_i:2 pid_d:0"))
        << log.dump();
    EXPECT_TRUE(
        log.contains("Initializing belt #1 registers at position Rear - min_rpm:100 "
                     "max_rpm:3000 belt_direction:0 cook_time:330 rpm:362 pid_p:10 "
                     "pid_i:2 pid_d:0"));
    EXPECT_TRUE(log.contains("Initializing belt_enabled:3"));
    EXPECT_TRUE(log.contains("Set belt photoeye timeout 495"));
    EXPECT_TRUE(log.contains("Set photo cell 1"));
}

TEST_F(StartupWrites, OneBeltStillWritesBothButEnablesOneAndIgnoresTheSecondCookTime) {
    cfg.num_belts = 1;
    cfg.belt[1].cook_time = 600;  // would give a 900 s timeout if it counted
    cfg.photoeye_enable = 0;
    ASSERT_EQ(0, kor_srv_init_belts(&srv, kLink, &cfg));
    EXPECT_EQ(
        (Calls{"belt_init 1 100 3000 0 362 10 2 0", "belt_init 2 100 3000 0 199 10 2 0",
               "belt_enabled 1", "photoeye_timeout 495", "photocell_enable 0", "telvo_photocell"}),
        g_calls);
}

TEST_F(StartupWrites, ACookTimeOfZeroStopsBeforeThatBeltIsWritten) {
    cfg.belt[1].cook_time = 0;
    EXPECT_EQ(-1, kor_srv_init_belts(&srv, kLink, &cfg));
    EXPECT_EQ((Calls{"belt_init 1 100 3000 0 362 10 2 0"}), g_calls);
    EXPECT_EQ(1, log.count("Belt #1 initialization FAILED! Error: -1")) << log.dump();
    EXPECT_EQ(1, log.count("Belt initialization FAILED! Error: -1"));

    g_calls.clear();
    cfg.belt[0].cook_time = 0;
    EXPECT_EQ(-1, kor_srv_init_belts(&srv, kLink, &cfg));
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(StartupWrites, BeltSequenceStopsAtEachFailingStep) {
    const struct {
        const char *fail;
        std::size_t calls;
    } cases[] = {{"belt_init 1", 1},      {"belt_init 2", 2},      {"belt_enabled", 3},
                 {"photoeye_timeout", 4}, {"photocell_enable", 5}};
    for (const auto &c : cases) {
        g_calls.clear();
        log.clear();
        g_fail_on = c.fail;
        g_fail_code = -4;
        EXPECT_EQ(-4, kor_srv_init_belts(&srv, kLink, &cfg)) << c.fail;
        EXPECT_EQ(c.calls, g_calls.size()) << c.fail;
        EXPECT_EQ(1, log.count("Belt initialization FAILED! Error: -4")) << c.fail;
    }
    EXPECT_EQ(1, log.count("Set photo cell FAILED! Error: -4"));
}

TEST_F(StartupWrites, AMissingCloudServiceDoesNotFailTheBelts) {
    g_fail_on = "telvo_photocell";
    g_fail_code = -111;
    EXPECT_EQ(0, kor_srv_init_belts(&srv, kLink, &cfg));
    EXPECT_EQ(6u, g_calls.size());
    EXPECT_EQ(1, log.count("Photocell override report FAILED! Error: -111"));
    EXPECT_EQ(0, log.count("Belt initialization FAILED! Error: -111"));
}

TEST_F(StartupWrites, PhotoEyeTimeoutIsHalfAgainTheLongerCookTimeRounded) {
    const struct {
        int32_t belt1, belt2, timeout;
    } cases[] = {{330, 200, 495}, {331, 0, 497}, {0, 331, 497}, {1200, 1199, 1800}, {1, 0, 2}};
    for (const auto &c : cases) {
        g_calls.clear();
        ASSERT_EQ(0, kor_srv_set_belt_photoeye_timeout(&srv, kLink, c.belt1, c.belt2));
        EXPECT_EQ((Calls{join("photoeye_timeout", c.timeout)}), g_calls);
        EXPECT_TRUE(log.contains("Set belt photoeye timeout " + std::to_string(c.timeout)));
    }
    g_fail_on = "photoeye_timeout";
    g_fail_code = -3;
    EXPECT_EQ(-3, kor_srv_set_belt_photoeye_timeout(&srv, kLink, 10, 10));
    EXPECT_EQ(1, log.count("Set photoeye FAILED! Error: -3"));
}

TEST_F(StartupWrites, HeaterGetsItsNineValues) {
    cfg.heat_maximum_output = 85;
    ASSERT_EQ(0, kor_srv_init_heater(&srv, kLink, &cfg));
    EXPECT_EQ((Calls{"heater_init 20 5 0 500 15 1 0 1 85"}), g_calls);
    EXPECT_TRUE(log.contains("Generated TC Enable Bitmask 0x0F"));
    EXPECT_TRUE(
        log.contains("Initializing heater registers - pid_p:20 pid_i:5 pid_d:0 "
                     "set_temp:500 tc_enable:15 attenuation_active:1 valve_no_nc:0 "
                     "high_limit_enable:1 heat_maximum_output:85"))
        << log.dump();
    g_fail_on = "heater_init";
    g_fail_code = -2;
    EXPECT_EQ(-2, kor_srv_init_heater(&srv, kLink, &cfg));
    EXPECT_EQ(1, log.count("Heater initialization FAILED! Error: -2"));
}

TEST_F(StartupWrites, OvenStatusStructuresAndSubscription) {
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(0, kor_srv_init_oven_status_structures(&srv));
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, printed.find("Initializing oven status structures\n"));
    EXPECT_TRUE(log.contains("Initializing oven status structures"));
    ASSERT_EQ(0, kor_srv_init_subscribe_registers(&srv, kLink));
    EXPECT_TRUE(log.contains("Initializing modbus subscription registers."));
    cfg.panel_switch_enabled = 0;
    ASSERT_EQ(0, kor_srv_init_oven_status(&srv, kLink, 1, &cfg));
    EXPECT_EQ((Calls{"init_structures", "subscribe", "oven_init 1 1 0"}), g_calls);
    EXPECT_TRUE(
        log.contains("Initializing oven status registers - oven_enable:1 fuel_type:1 "
                     "panel_switch_enabled:0"));

    g_fail_code = -6;
    g_fail_on = "init_structures";
    EXPECT_EQ(-6, kor_srv_init_oven_status_structures(&srv));
    g_fail_on = "oven_init";
    EXPECT_EQ(-6, kor_srv_init_oven_status(&srv, kLink, 0, &cfg));
    EXPECT_EQ(2, log.count("Oven status initialization FAILED! Error: -6"));
    g_fail_on = "subscribe";
    EXPECT_EQ(-6, kor_srv_init_subscribe_registers(&srv, kLink));
    EXPECT_EQ(1, log.count("Initializing modbus register blocks FAILED! Error: -6"));
}

TEST_F(StartupWrites, MissingArgumentsAreRefusedBeforeAnyCall) {
    EXPECT_EQ(-1, kor_srv_init_blowers(nullptr, kLink, &cfg));
    EXPECT_EQ(-1, kor_srv_init_blowers(&srv, nullptr, &cfg));
    EXPECT_EQ(-1, kor_srv_init_belts(&srv, kLink, nullptr));
    EXPECT_EQ(-1, kor_srv_init_heater(&srv, nullptr, &cfg));
    EXPECT_EQ(-1, kor_srv_init_oven_status(&srv, kLink, 1, nullptr));
    EXPECT_EQ(-1, kor_srv_init_oven_status_structures(nullptr));
    EXPECT_EQ(-1, kor_srv_init_subscribe_registers(&srv, nullptr));
    EXPECT_EQ(-1, kor_srv_set_belt_photoeye_timeout(nullptr, kLink, 1, 1));
    EXPECT_EQ(-1, kor_srv_set_photo_cell_enable(&srv, nullptr, 1));
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(9, log.count_containing("Invalid input parameter (kor_oven_operation_srv:"));
}

TEST(SrvBitmasks, ThermocoupleAndBlowerMasks) {
    kor_test::LogCapture log;
    const struct {
        const char *text;
        uint16_t mask;
    } tc[] = {{"12345x", 0x1F}, {"x2x4x6", 0x0A}, {"123456", 0x1F}, {"1234xx", 0x0F},
              {"", 0x00},       {"12", 0x03},     {"21xxxx", 0x00}, {"xxxxx5", 0x00}};
    for (const auto &c : tc) {
        uint16_t mask = 0xFFFF;
        ASSERT_EQ(0, kor_srv_create_tc_enable_bitmask(c.text, &mask));
        EXPECT_EQ(c.mask, mask) << c.text;
    }
    EXPECT_TRUE(log.contains("Generated TC Enable Bitmask 0x1F"));
    EXPECT_TRUE(log.contains("Generated TC Enable Bitmask 0x0A"));

    const struct {
        const char *text;
        uint16_t mask;
    } blower[] = {{"1000", 0x08}, {"0001", 0x01}, {"1111", 0x0F}, {"0110", 0x06},
                  {"10", 0x08},   {"", 0x00},     {"2111", 0x07}, {"11111", 0x0F}};
    for (const auto &c : blower) {
        uint16_t a = 0xFFFF;
        uint16_t b = 0xFFFF;
        ASSERT_EQ(0, kor_srv_create_blower_speed_sense_error_bitmask(c.text, &a));
        ASSERT_EQ(0, kor_srv_create_blower_speed_sensor_config_bitmask(c.text, &b));
        EXPECT_EQ(c.mask, a) << c.text;
        EXPECT_EQ(c.mask, b) << c.text;
    }
    EXPECT_TRUE(
        log.contains("Generated Ignore Blower Speed Sense Error Bitmask 0x08 from string 1000"));
    EXPECT_TRUE(
        log.contains("Generated Blower Speed Sensor Configuration Bitmask 0x01 from string 0001"));

    uint16_t mask = 0;
    EXPECT_EQ(-1, kor_srv_create_tc_enable_bitmask(nullptr, &mask));
    EXPECT_EQ(-1, kor_srv_create_blower_speed_sense_error_bitmask("1111", nullptr));
    EXPECT_EQ(-1, kor_srv_create_blower_speed_sensor_config_bitmask(nullptr, &mask));
}

// ---------------------------------------------------------------------------------------------
// Timers.

struct TimerCall {
    uint32_t period;
    zeb_timer_callback_t callback;
    void *arg;
    uint32_t flags;
};
std::vector<TimerCall> g_timer_calls;
int g_timer_result = 0;
std::vector<uint32_t> g_clock_writes;
int g_clock_result = 0;

void tick(void *) {}

class SrvTimers : public ::testing::Test {
  protected:
    void SetUp() override {
        g_timer_calls.clear();
        g_timer_result = 0;
        g_clock_writes.clear();
        g_clock_result = 0;
        srv.zeb_timer_initialize = [](zeb_timer_service_t **s) {
            *s = kService;
            return g_timer_result;
        };
        srv.zeb_timer_set_interval = [](zeb_timer_service_t *s, zeb_timer_t **t, uint32_t p,
                                        zeb_timer_callback_t cb, void *arg, uint32_t flags) {
            g_timer_calls.push_back({s == kService ? p : 0, cb, arg, flags});
            *t = nullptr;
            return g_timer_result;
        };
        srv.kor_oven_set_time = [](modbus_data_t *, uint32_t t) {
            g_clock_writes.push_back(t);
            return g_clock_result;
        };
    }

    static inline int service_dummy_;
    static inline zeb_timer_service_t *const kService =
        reinterpret_cast<zeb_timer_service_t *>(&service_dummy_);
    kor_test::LogCapture log;
    oven_operation_srv_t srv{};
    zeb_timer_t *timer = nullptr;
};

TEST_F(SrvTimers, EachTimerArmsItsPeriodWithTheCallback) {
    zeb_timer_service_t *service = nullptr;
    ASSERT_EQ(0, kor_srv_init_timer_service(&srv, &service));
    EXPECT_EQ(kService, service);
    EXPECT_TRUE(log.contains("Initializing timer service"));

    ASSERT_EQ(0, kor_srv_init_telvo_timer(&srv, kService, &timer, tick));
    ASSERT_EQ(0, kor_srv_init_io_board_clock_timer(&srv, kService, &timer, tick));
    ASSERT_EQ(0, kor_srv_init_soak_timer(&srv, kService, &timer, tick));
    ASSERT_EQ(3u, g_timer_calls.size());
    const uint32_t periods[3] = {60000, 86400000, 800};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(periods[i], g_timer_calls[i].period);
        EXPECT_EQ(&tick, g_timer_calls[i].callback);
        EXPECT_EQ(nullptr, g_timer_calls[i].arg);
        EXPECT_EQ(0u, g_timer_calls[i].flags);
    }
    EXPECT_TRUE(log.contains("Initializing telvo vellor timer"));
    EXPECT_TRUE(log.contains("Initializing IO Board clock update timer"));
    EXPECT_TRUE(log.contains("Initializing soak timer"));
}

TEST_F(SrvTimers, NoCallbackFailsWithoutCallingTheTimerService) {
    EXPECT_EQ(-1, kor_srv_init_telvo_timer(&srv, kService, &timer, nullptr));
    EXPECT_EQ(-1, kor_srv_init_io_board_clock_timer(&srv, kService, &timer, nullptr));
    EXPECT_EQ(-1, kor_srv_init_soak_timer(&srv, kService, &timer, nullptr));
    EXPECT_EQ(-1, kor_srv_init_soak_timer(&srv, kService, nullptr, tick));
    EXPECT_EQ(-1, kor_srv_init_soak_timer(nullptr, kService, &timer, tick));
    EXPECT_EQ(-1, kor_srv_init_timer_service(&srv, nullptr));
    EXPECT_TRUE(g_timer_calls.empty());
    EXPECT_EQ(6, log.count_containing("Invalid input parameter (kor_srv_timers:"));
}

TEST_F(SrvTimers, TimerServiceErrorsAreLoggedAndReturned) {
    g_timer_result = -22;
    zeb_timer_service_t *service = nullptr;
    EXPECT_EQ(-22, kor_srv_init_timer_service(&srv, &service));
    EXPECT_EQ(-22, kor_srv_init_telvo_timer(&srv, kService, &timer, tick));
    EXPECT_EQ(-22, kor_srv_init_io_board_clock_timer(&srv, kService, &timer, tick));
    EXPECT_EQ(-22, kor_srv_init_soak_timer(&srv, kService, &timer, tick));
    EXPECT_EQ(1, log.count("Timer service initialization FAILED! Error: -22"));
    EXPECT_EQ(1, log.count("Telvo vellor timer initialization FAILED! Error: -22"));
    EXPECT_EQ(1, log.count("IO Board clock update timer initialization FAILED! Error: -22"));
    EXPECT_EQ(1, log.count("Soak timer initialization FAILED! Error: -22"));
}

TEST_F(SrvTimers, ClockWriteCarriesTheCurrentTimeAndReportsAFailure) {
    const auto before = static_cast<uint32_t>(std::time(nullptr));
    ASSERT_EQ(0, kor_srv_set_io_board_clock_time(&srv, kLink));
    const auto after = static_cast<uint32_t>(std::time(nullptr));
    ASSERT_EQ(1u, g_clock_writes.size());
    EXPECT_GE(g_clock_writes[0], before);
    EXPECT_LE(g_clock_writes[0], after);
    EXPECT_TRUE(log.contains("Updating IO Board clock"));
    EXPECT_TRUE(log.contains("IO Board clock updated to " + std::to_string(g_clock_writes[0])));

    log.clear();
    g_clock_result = -7;
    EXPECT_EQ(-7, kor_srv_set_io_board_clock_time(&srv, kLink));
    EXPECT_TRUE(log.contains("Updating IO Board clock"));
    EXPECT_EQ(1, log.count("Update IO Board clock FAILED! Error: -7"));
    EXPECT_EQ(0, log.count_containing("IO Board clock updated to"));
}

}  // namespace
