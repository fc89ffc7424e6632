// kor_oven_mgr end to end: the real program on the virtual IO board's pseudo-terminal, driven over
// the service bus as the touch UI, the cloud service and the firmware-update service would drive
// it, and checked at the board's registers, in the events that come back and in its log.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kor_oven_config.h"
#include "kor_oven_conversions.h"
#include "oven_process.hpp"

namespace {

using kor_test::BusEvent;
using kor_test::Millis;
using kor_test::OvenRig;
using kor_test::wait_until;
using namespace std::chrono_literals;
using namespace kor_test::e2e;

auto board_mode(int state) {
    return [state](const BusEvent &ev) { return ev.int_at(1) == state; };
}

std::vector<std::string> words(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

bool has_write(const std::string &writes, const std::string &entry) {
    const auto all = words(writes);
    return std::find(all.begin(), all.end(), entry) != all.end();
}

class OvenManagerE2E : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << rig.diagnostics() << "--- UI events (tail):\n"
                      << rig.ui.events.dump(0, 60) << "--- zeb_telvo:\n"
                      << rig.telvo.events.dump() << "--- zeb_update:\n"
                      << rig.update.events.dump();
        }
        rig.stop();
    }

    // Powers the oven on and brings it to bake (state 6) quickly; the UI client sees the walk when
    // it is registered.
    void bake() {
        ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {1}));
        ASSERT_TRUE(wait_until(
            [&] {
                const int state = rig.board_state();
                return state >= 4 && state <= 7;
            },
            5s))
            << rig.board_state();
        rig.warm_to_target();
        ASSERT_TRUE(rig.wait_board_state(6, 5s)) << rig.board_state();
    }

    OvenRig rig;
};

// ---- start-up ----

TEST_F(OvenManagerE2E, NoArgumentsPrintsTheUsageAndExitsWithMinus22) {
    OvenRig::Options options;
    options.start_manager = false;
    ASSERT_TRUE(rig.start(options)) << rig.error();
    ASSERT_TRUE(rig.start_manager({}));
    EXPECT_EQ(234, rig.mgr.wait_exit(5s));
    const std::string out = rig.mgr.stdout_text();
    EXPECT_NE(std::string::npos,
              out.find("Usage: kor_oven_mgr com_device (e.g. /dev/ttyUSB0) [tablo_io_channel]\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("main: exit code -22\n")) << out;
    // The usage comes first: nothing was brought up.
    EXPECT_EQ(0u, out.find("Usage: ")) << out;
}

TEST_F(OvenManagerE2E, StartUpWritesReachTheBoard) {
    ASSERT_TRUE(rig.start()) << rig.error();
    const std::string device = rig.sim.link_path();
    EXPECT_TRUE(wait_until(
        [&] {
            return rig.mgr.stdout_text().find("Oven manager successfully started on " + device +
                                              "\n") != std::string::npos;
        },
        3s))
        << rig.mgr.stdout_text();

    const std::string writes = rig.writes();
    // Clock (two words), every blower enabled with its set speed, both belts at the speed of 330 s,
    // the heater's target, and the oven status last of the initialisation: off, machine
    // configuration 1 (the oven type), panel switch.
    for (const char *entry : {"20:=1", "29:=1", "38:=1", "47:=1", "24:=630", "5:=362", "13:=362",
                              "56:=500", "1:=0", "2:=1", "82:=1"}) {
        EXPECT_TRUE(has_write(writes, entry)) << entry << " missing in " << writes;
    }
    EXPECT_NE(std::string::npos, writes.find("1:=0 2:=1 82:=1")) << writes;
    const auto all = words(writes);
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](auto &w) {
        return w.rfind("401:=", 0) == 0;
    })) << writes;
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](auto &w) {
        return w.rfind("402:=", 0) == 0;
    })) << writes;
    EXPECT_EQ(1, rig.reg(kRegMachineConfig));
    EXPECT_EQ(500, rig.reg(kRegTarget));
    EXPECT_EQ(630, rig.reg(kRegBlower1High));
    EXPECT_EQ(0, rig.reg(kRegEnable));
    // The board took its configuration on the first attempt.
    EXPECT_EQ(1, rig.mgr.log_count("End init, 1 attempts")) << rig.mgr.log_text();
    EXPECT_EQ(0, rig.mgr.log_count_containing("IO Board failed to initialize"));

    // The update service was subscribed to with the manager's channel.
    auto subscribe = rig.update.events.wait("zeb.update.register", 2s);
    ASSERT_TRUE(subscribe);
    ASSERT_EQ(260u, subscribe->data.size());
    EXPECT_EQ(1, subscribe->int_at(0));
    EXPECT_EQ("zeb_backend", std::string(reinterpret_cast<const char *>(&subscribe->data[4])));
}

TEST_F(OvenManagerE2E, ABoardThatNeverTakesItsConfigurationFailsFourAttemptsAndStartUpGoesOn) {
    // The board answers what it is given; an oven type of 0xFFFF is a machine configuration the
    // manager must take as "not configured".
    OvenRig::Options options;
    options.settings = {{"oven_type", "65535"}};
    ASSERT_TRUE(rig.start(options)) << rig.error();

    // The start-up initialisation is the log up to the first "End init, 4 attempts"; the control
    // thread re-initialises an unconfigured board afterwards, again and again.
    const auto log = rig.mgr.log_messages();
    const auto end = std::find(log.begin(), log.end(), "End init, 4 attempts");
    ASSERT_NE(log.end(), end) << rig.mgr.log_text();
    std::vector<std::string> init;
    for (auto it = log.begin(); it != end + 1; ++it) {
        if (*it == "Start init" || it->rfind("IO Board failed to initialize", 0) == 0 ||
            it->rfind("End init", 0) == 0) {
            init.push_back(*it);
        }
    }
    std::vector<std::string> expected;
    for (int attempt = 1; attempt <= 4; ++attempt) {
        expected.push_back("Start init");
        expected.push_back("IO Board failed to initialize, attempt: " + std::to_string(attempt));
        expected.push_back("End init, " + std::to_string(attempt) + " attempts");
    }
    EXPECT_EQ(expected, init);
    EXPECT_EQ(0, rig.mgr.log_count("End init, 5 attempts"));
    EXPECT_TRUE(rig.mgr.running());
}

TEST_F(OvenManagerE2E, WithoutTheUpdateServiceTheOvenStartsAndRegistersOnceItAppears) {
    OvenRig::Options options;
    options.start_manager = false;
    ASSERT_TRUE(rig.start(options)) << rig.error();
    rig.update.close();
    ASSERT_TRUE(rig.start_manager({rig.sim.link_path()})) << rig.error();
    EXPECT_EQ(1, rig.mgr.log_count_containing("Unable to initialize update channel. Err: "))
        << rig.mgr.log_text();

    // The oven works meanwhile: a registered UI hears from it.
    std::size_t cursor = rig.ui.events.size();
    ASSERT_EQ(0, rig.register_ui());
    EXPECT_TRUE(rig.ui.events.wait(kMode, 5s, &cursor));

    // The update service comes up later; the registration is tried again every 10 s.
    ASSERT_TRUE(rig.update.open("zeb_update"));
    std::size_t update_cursor = 0;
    auto subscribe = rig.update.events.wait("zeb.update.register", 30s, &update_cursor);
    ASSERT_TRUE(subscribe);
    ASSERT_EQ(260u, subscribe->data.size());
    EXPECT_EQ(1, subscribe->int_at(0));
    EXPECT_EQ("zeb_backend", std::string(reinterpret_cast<const char *>(&subscribe->data[4])));
    // Once through, the retries stop: a whole period later there is no second one.
    EXPECT_FALSE(rig.update.events.wait("zeb.update.register", 12s, &update_cursor));
    EXPECT_TRUE(rig.mgr.running());
}

TEST_F(OvenManagerE2E, OnAChannelOfItsOwnTheOvenAnswersThereAndSubscribesAsZebBackend) {
    OvenRig::Options options;
    options.start_manager = false;
    ASSERT_TRUE(rig.start(options)) << rig.error();
    ASSERT_TRUE(rig.start_manager({rig.sim.link_path(), "oven_two"})) << rig.error();
    EXPECT_EQ(1, rig.mgr.log_count("Initializing service channel oven_two"));
    auto subscribe = rig.update.events.wait("zeb.update.register", 5s);
    ASSERT_TRUE(subscribe);
    EXPECT_EQ("zeb_backend", std::string(reinterpret_cast<const char *>(&subscribe->data[4])));

    std::vector<char> data(4 + std::strlen(OvenRig::kUiChannel) + 1, 0);
    const int32_t one = 1;
    std::memcpy(data.data(), &one, sizeof one);
    std::memcpy(data.data() + 4, OvenRig::kUiChannel, std::strlen(OvenRig::kUiChannel));
    ASSERT_EQ(0, rig.ui.send("oven_two", "zeb.varlo.register", "4s1 value 1s0 channel", data.data(),
                             data.size()));
    EXPECT_TRUE(rig.ui.events.wait(kMode, 5s));
}

// ---- requests ----

TEST_F(OvenManagerE2E, AClientRegisteringDuringBakeGetsStateBeltsAndPreheatCompleteInOrder) {
    ASSERT_TRUE(rig.start()) << rig.error();
    bake();
    std::size_t cursor = rig.ui.events.size();
    ASSERT_EQ(0, rig.register_ui());

    auto mode = rig.ui.events.wait(kMode, 3s, &cursor);
    ASSERT_TRUE(mode);
    EXPECT_EQ(6, mode->int_at(1));
    EXPECT_EQ(kor_srv_convert_board_state_to_ui_state(6), mode->int_at(0));
    // Per belt: its status (bake) and its target cook time; then preheat-complete.
    for (int belt = 1; belt <= 2; ++belt) {
        SCOPED_TRACE("belt " + std::to_string(belt));
        auto status = rig.ui.events.wait(
            kBeltStatus, [&](const BusEvent &ev) { return ev.int_at(0) == belt; }, 2s, &cursor);
        ASSERT_TRUE(status);
        EXPECT_EQ(2, status->int_at(1));
        auto cook = rig.ui.events.wait(
            kBeltCookTime, [&](const BusEvent &ev) { return ev.int_at(0) == belt; }, 2s, &cursor);
        ASSERT_TRUE(cook);
        EXPECT_EQ(330, cook->int_at(1));
    }
    EXPECT_TRUE(rig.ui.events.wait(kPreheatComplete, 2s, &cursor));
    // The oven was on already: the client is told so.
    EXPECT_FALSE(rig.ui.events.named(kPowerOn).empty());
}

TEST_F(OvenManagerE2E, NotificationsCarryTheirNamesAndFormatDescriptors) {
    // Registered, then on (measured fan speeds need running blowers); a factory reset's first
    // step comes last, as it switches the oven off.
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_EQ(0, rig.register_ui());
    ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {1}));
    struct Row {
        const char *name;
        const char *format;
        std::size_t fields;
        const char *request;  // sent first, when the event answers a request
    };
    const Row rows[] = {
        {"zeb.varlo.photoeye_enable", "4s1 enable", 1, nullptr},
        {"zeb.varlo.oven_voltage_notify", "4s1 voltage", 1, nullptr},
        {"zeb.varlo.belt_status_notify", "4s1 belt_num 4s1 belt_status", 2, nullptr},
        {"zeb.varlo.fan_speed_notify", "4s1 fan_num 4s1 fan_speed", 2, nullptr},
        {"zeb.varlo.fan_target_speed_notify", "4s1 fan_num 4s1 fan_target_speed", 2, nullptr},
        {"zeb.varlo.ignitor_status", "4s1 ignitor_status", 1, nullptr},
        {"zeb.varlo.factory_reset_ready", "4s1 status", 1, "zeb.varlo.factory_reset_start"},
    };
    for (const Row &row : rows) {
        if (row.request != nullptr) {
            ASSERT_EQ(0, rig.send(row.request, {}));
        }
        auto ev = rig.ui.events.wait(row.name, 10s);
        ASSERT_TRUE(ev) << row.name;
        EXPECT_EQ(row.format, ev->format) << row.name;
        EXPECT_EQ(row.fields * 4, ev->data.size()) << row.name;
    }
}

TEST_F(OvenManagerE2E, PowerAndSetPointsReachTheirRegisters) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_EQ(0, rig.register_ui());

    ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {1}));
    EXPECT_TRUE(rig.wait_reg(kRegEnable, 1));
    EXPECT_TRUE(rig.ui.events.wait(kPowerOn, 5s));

    ASSERT_EQ(0, rig.send("zeb.varlo.set_target_temperature", {450}));
    EXPECT_TRUE(rig.wait_reg(kRegTarget, 450)) << rig.reg(kRegTarget);
    // The next temperature notifications carry the new target.
    EXPECT_TRUE(rig.ui.events.wait(
        "zeb.varlo.temperature_notify", [](const BusEvent &ev) { return ev.int_at(1) == 450; },
        3s));

    // 80 % of the 70.0 Hz maximum, rounded as the board does ((80 + 5) % of it): 59.5 Hz.
    ASSERT_EQ(0, rig.send("zeb.varlo.set_target_fan_speed", {1, 80}));
    EXPECT_TRUE(rig.wait_reg(kRegBlower1High, 595)) << rig.reg(kRegBlower1High);

    ASSERT_EQ(0, kor_load_oven_config(rig.config_dir().c_str(), nullptr));
    oven_config_t config{};
    ASSERT_EQ(0, kor_get_oven_config(&config));
    int32_t rpm = 0;
    ASSERT_EQ(0, kor_srv_convert_cook_time_to_rpm(600, 2, &config, &rpm));
    ASSERT_NE(362, rpm);
    ASSERT_EQ(0, rig.send("zeb.varlo.set_belt_cook_time", {2, 600}));
    EXPECT_TRUE(rig.wait_reg(kRegBelt2Speed, rpm)) << rig.reg(kRegBelt2Speed) << " vs " << rpm;
    EXPECT_TRUE(rig.ui.events.wait(
        kBeltCookTime, [](const BusEvent &ev) { return ev.int_at(0) == 2 && ev.int_at(1) == 600; },
        3s));

    ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {0}));
    EXPECT_TRUE(rig.wait_reg(kRegEnable, 0));
}

// The target temperature the UI is shown and the last one written to the heater's register agree
// through a power-on and board re-initialisations: the operator's choice, until the store's own
// heating_set_temp changes.
TEST_F(OvenManagerE2E, TheTargetShownAndTheTargetHeatedToStayTheOperatorsChoice) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_EQ(0, rig.register_ui());
    auto last_target_write = [&] {
        int last = -1;
        for (const std::string &w : words(rig.writes()))
            if (w.rfind("56:=", 0) == 0)
                last = std::stoi(w.substr(4));
        return last;
    };
    // The second temperature notification from cursor on: the first may have left before the
    // step being checked.
    auto shown_target = [&](std::size_t cursor) {
        rig.ui.events.wait(kTemperature, 5s, &cursor);
        auto ev = rig.ui.events.wait(kTemperature, 5s, &cursor);
        return ev ? ev->int_at(1) : -1;
    };
    // The cursor comes after the re-initialisation's last line: what the manager sends from
    // then on was sent after it.
    auto reinitialise = [&](int nth) {
        EXPECT_EQ("ok", rig.sim.command("forget"));
        EXPECT_TRUE(wait_until(
            [&] { return rig.mgr.log_count("Re-initialized IO Board successfully.") == nth; },
            10s));
        return rig.ui.events.size();
    };

    ASSERT_EQ(0, rig.send("zeb.varlo.set_target_temperature", {455}));
    ASSERT_TRUE(rig.wait_reg(kRegTarget, 455)) << rig.reg(kRegTarget);
    std::size_t cursor = rig.ui.events.size();
    ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {1}));
    ASSERT_TRUE(rig.ui.events.wait(kPowerOn, 5s, &cursor));
    EXPECT_EQ(455, shown_target(cursor)) << "after power-on";
    EXPECT_EQ(455, last_target_write());

    cursor = reinitialise(1);
    EXPECT_EQ(455, last_target_write()) << "after a re-initialisation";
    EXPECT_EQ(455, shown_target(cursor)) << "after a re-initialisation";

    {
        std::ofstream store(rig.config_dir() + "/settings", std::ios::app);
        store << "\nheating_set_temp = 480\n";
    }
    cursor = reinitialise(2);
    EXPECT_EQ(480, last_target_write()) << "after the store changed";
    EXPECT_EQ(480, shown_target(cursor)) << "after the store changed";
}

// ---- the control thread ----

TEST_F(OvenManagerE2E, PowerOnWalksThroughPreheatToIdle) {
    // Slow enough physics that the purge (5 s of oven time) is seen by the 500 ms poll.
    OvenRig::Options options;
    options.speed = 3;
    ASSERT_TRUE(rig.start(options)) << rig.error();
    ASSERT_EQ(0, rig.register_ui());
    // The idle-mode request sets the idle key and the belts; the oven then settles in idle.
    ASSERT_EQ(0, rig.send("zeb.varlo.idle_mode_onoff", {1, 330, 330, 0, 0, 0, 0}));
    ASSERT_TRUE(rig.wait_reg(kRegIdleKey, 2));
    std::size_t start = rig.ui.events.size();

    ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {1}));
    std::size_t cursor = start;
    ASSERT_TRUE(rig.ui.events.wait(kMode, board_mode(1), 5s, &cursor));
    ASSERT_TRUE(rig.ui.events.wait(kMode, board_mode(4), 8s, &cursor));
    const std::size_t at_preheat = cursor;
    rig.warm_to_target();
    ASSERT_TRUE(rig.ui.events.wait(kMode, board_mode(5), 5s, &cursor));

    // One state notification per step, in the board's order, ending in idle.
    std::vector<int> modes;
    for (const auto &ev : rig.ui.events.named(kMode, start)) {
        modes.push_back(ev.int_at(1));
    }
    EXPECT_TRUE(std::is_sorted(modes.begin(), modes.end())) << ::testing::PrintToString(modes);
    EXPECT_EQ(5, modes.back());
    EXPECT_EQ(1, modes.front());
    EXPECT_EQ(static_cast<std::size_t>(std::unique(modes.begin(), modes.end()) - modes.begin()),
              modes.size())
        << ::testing::PrintToString(modes);
    // Power-on on 0 -> 1 only; preheat-complete once, on 4 -> 5, before idle is announced.
    EXPECT_EQ(1u, rig.ui.events.named(kPowerOn, start).size());
    const auto preheat_complete = rig.ui.events.named(kPreheatComplete, start);
    EXPECT_EQ(1u, preheat_complete.size());
    std::size_t pc = at_preheat;
    EXPECT_TRUE(rig.ui.events.wait(kPreheatComplete, 0ms, &pc));
    EXPECT_LT(pc, cursor);
    EXPECT_TRUE(rig.wait_log("Notify PREHEAT COMPLETE", 5s));
    EXPECT_EQ(1, rig.mgr.log_count("Notify PREHEAT COMPLETE")) << rig.mgr.log_text();
}

TEST_F(OvenManagerE2E, SoakCountsDownAndCooldownClearsItsTimer) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_EQ(0, rig.register_ui());
    bake();

    // A soak of 150 s of oven time (3 s here): the start value, then countdown ticks to 0.
    const std::size_t soak_start = rig.ui.events.size();
    std::size_t cursor = soak_start;
    ASSERT_EQ("ok", rig.sim.command("soak 150"));
    auto first = rig.ui.events.wait(kSoakTimer, 3s, &cursor);
    ASSERT_TRUE(first);
    EXPECT_EQ(150, first->int_at(0));
    EXPECT_EQ(1, first->int_at(1));
    ASSERT_TRUE(rig.ui.events.wait(
        kSoakTimer, [](const BusEvent &ev) { return ev.int_at(0) == 0; }, 8s, &cursor));
    const auto ticks = rig.ui.events.named(kSoakTimer);
    ASSERT_GE(ticks.size(), 3u);
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        EXPECT_EQ(0, ticks[i].int_at(1));
        EXPECT_LE(ticks[i].int_at(0), ticks[i - 1].int_at(0));
        EXPECT_LT(ticks[i].int_at(0), 150);
    }
    // At 0 the countdown stops by itself.
    std::this_thread::sleep_for(2000ms);
    EXPECT_EQ(0u, rig.ui.events.named(kSoakTimer, cursor).size());
    std::size_t back = soak_start;
    EXPECT_TRUE(rig.ui.events.wait(kMode, board_mode(6), 5s, &back));
    cursor = std::max(cursor, back);

    // Off and on again: the cooldown after a finished soak must not touch its released timer.
    ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {0}));
    ASSERT_TRUE(rig.ui.events.wait(kMode, board_mode(8), 5s, &cursor));
    ASSERT_TRUE(rig.mgr.running());
    bake();
    ASSERT_TRUE(rig.ui.events.wait(kMode, board_mode(6), 5s, &cursor));

    // A long soak, then the board held still with time left: 12 -> 6 keeps the countdown
    // going, 6 -> 8 ends it.
    ASSERT_EQ("ok", rig.sim.command("soak 3000"));
    ASSERT_TRUE(rig.ui.events.wait(
        kSoakTimer, [](const BusEvent &ev) { return ev.int_at(1) == 0; }, 5s, &cursor));
    ASSERT_EQ("ok", rig.sim.command("physics off"));
    ASSERT_EQ("ok", rig.sim.command("set " + std::to_string(kRegSoakLeft) + " 2500"));
    ASSERT_EQ("ok", rig.sim.command("set " + std::to_string(kRegState) + " 6"));
    ASSERT_TRUE(rig.ui.events.wait(kMode, board_mode(6), 3s, &cursor));
    EXPECT_TRUE(rig.ui.events.wait(
        kSoakTimer, [](const BusEvent &ev) { return ev.int_at(0) == 2500; }, 3s, &cursor));
    ASSERT_EQ("ok", rig.sim.command("set " + std::to_string(kRegState) + " 8"));
    EXPECT_TRUE(rig.ui.events.wait(kCooldown, 3s, &cursor));
    ASSERT_TRUE(rig.ui.events.wait(kMode, board_mode(8), 3s, &cursor));
    std::this_thread::sleep_for(2000ms);  // more than two countdown periods
    EXPECT_EQ(0u, rig.ui.events.named(kSoakTimer, cursor).size());
    EXPECT_TRUE(rig.mgr.running());
}

TEST_F(OvenManagerE2E, LinkLossRaisesTheCommunicationFaultAndItsReturnClearsIt) {
    ASSERT_TRUE(rig.start()) << rig.error();
    std::size_t cursor = 0;
    // Five operations in a row that end in a time-out (three attempts of 1.5 s each) mark the
    // link down, and the control thread sees it once its own reads of the cycle have failed:
    // 30 to 55 s here, as the control and polling threads take turns on the line, and longer on
    // a busy machine, where the polling thread may hold the line for several reads in a row. The
    // board stays silent until the test ends the silence.
    ASSERT_EQ("ok", rig.sim.command("silence 600"));
    auto raised = rig.telvo.events.wait(
        kTelvoSend,
        [](const BusEvent &ev) {
            return ev.text().find("\"fc\" : \"f11\"") != std::string::npos &&
                   ev.text().find("\"fs\" : true") != std::string::npos;
        },
        150s, &cursor);
    ASSERT_TRUE(raised);
    ASSERT_EQ("ok", rig.sim.command("silence 0"));
    // The report may overtake the manager's own log lines.
    EXPECT_TRUE(rig.wait_log("No MODBUS connection to IO board detected", 10s));
    EXPECT_TRUE(
        rig.wait_log("Reported - Fault: 11 - Reg: -1 - Value: 1 - Desc: "
                     "Communication with IO board lost.",
                     10s));
    EXPECT_EQ(1, rig.mgr.log_count("Reported - Fault: 11 - Reg: -1 - Value: 1 - Desc: "
                                   "Communication with IO board lost."));

    auto cleared = rig.telvo.events.wait(
        kTelvoSend,
        [](const BusEvent &ev) {
            return ev.text().find("\"fc\" : \"f11\"") != std::string::npos &&
                   ev.text().find("\"fs\" : false") != std::string::npos;
        },
        20s, &cursor);
    ASSERT_TRUE(cleared);
    EXPECT_TRUE(rig.wait_log("Cleared - Fault: 11", 1s, true));
    // Reported once, cleared once.
    int reports = 0;
    for (const auto &ev : rig.telvo.events.named(kTelvoSend)) {
        reports += ev.text().find("\"f11\"") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(2, reports);
}

TEST_F(OvenManagerE2E, ABoardFaultIsReportedToTheCloudAndItsEndToo) {
    ASSERT_TRUE(rig.start()) << rig.error();
    std::size_t cursor = 0;
    ASSERT_EQ("ok", rig.sim.command("fault 203 1"));
    auto raised = rig.telvo.events.wait(
        kTelvoSend,
        [](const BusEvent &ev) {
            return ev.text().find("\"fc\" : \"f5\"") != std::string::npos &&
                   ev.text().find("\"fs\" : true") != std::string::npos;
        },
        5s, &cursor);
    ASSERT_TRUE(raised);
    // The report may overtake the manager's own log line.
    EXPECT_TRUE(rig.wait_log("Reported - Fault: 5 - Reg: 203", 5s, true));
    EXPECT_EQ(1,
              rig.mgr.log_count(
                  "Reported - Fault: 5 - Reg: 203 - Value: 1 - Desc: Thermocouple #1 is broken."));
    ASSERT_EQ("ok", rig.sim.command("fault 203 0"));
    EXPECT_TRUE(rig.telvo.events.wait(
        kTelvoSend,
        [](const BusEvent &ev) {
            return ev.text().find("\"fc\" : \"f5\"") != std::string::npos &&
                   ev.text().find("\"fs\" : false") != std::string::npos;
        },
        5s, &cursor));
}

// ---- maintenance ----

TEST_F(OvenManagerE2E, FactoryResetAbortsOnAFailedUiResetAndReinitialisesAfterADoneOne) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_EQ(0, rig.register_ui());

    ASSERT_EQ(0, rig.send("zeb.varlo.factory_reset_start", {}));
    auto ready = rig.ui.events.wait("zeb.varlo.factory_reset_ready", 8s);
    ASSERT_TRUE(ready);
    EXPECT_EQ(1, ready->int_at(0));
    EXPECT_TRUE(rig.wait_log("Oven ready for factory reset!", 5s));
    EXPECT_EQ(1, rig.mgr.log_count("Oven ready for factory reset!"));

    ASSERT_EQ(0, rig.send("zeb.varlo.factory_reset_end", {0}));
    EXPECT_TRUE(rig.wait_log("Config reset failed in UI. Abort!", 3s));
    EXPECT_EQ(0, rig.mgr.log_count_containing("Start re-init"));

    // The UI has rewritten the settings: the re-initialisation loads them and sends them.
    {
        std::ofstream settings(rig.config_dir() + "/settings", std::ios::app);
        settings << "\nheating_set_temp = 430\n";
    }
    ASSERT_EQ("ok", rig.sim.command("writes clear"));
    ASSERT_EQ(0, rig.send("zeb.varlo.factory_reset_end", {1}));
    EXPECT_TRUE(rig.wait_log("Re-initialized IO Board successfully.", 5s));
    EXPECT_EQ(1, rig.mgr.log_count_containing("Start re-init: "));
    EXPECT_TRUE(rig.wait_reg(kRegTarget, 430)) << rig.reg(kRegTarget);
    EXPECT_TRUE(has_write(rig.writes(), "56:=430")) << rig.writes();
}

TEST_F(OvenManagerE2E, AFirmwareOfferIsFlashedIntoTheBoardAndOthersAreIgnored) {
    OvenRig::Options options;
    const std::string flashed = rig.file("flashed.bin");
    options.sim_args = {"--firmware-out", flashed};
    ASSERT_TRUE(rig.start(options)) << rig.error();

    // An image of five and a half blocks of 247 bytes.
    std::vector<char> image(5 * 247 + 123);
    std::mt19937 random(7);
    for (auto &b : image) {
        b = static_cast<char>(random() & 0xFF);
    }
    const std::string path = rig.file("io_board.bin");
    std::ofstream(path, std::ios::binary).write(image.data(), static_cast<long>(image.size()));

    std::size_t cursor = 0;
    ASSERT_EQ(0, rig.offer_firmware("dravik_kor_board", path));
    auto accepted = rig.update.events.wait(kUpdateResponse, 3s, &cursor);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(1, accepted->int_at(0));
    // A second image offered while the first is on its way is refused at once with its final
    // answer; the first still gets its own.
    std::vector<char> second(image.rbegin(), image.rend());
    const std::string second_path = rig.file("io_board_2.bin");
    std::ofstream(second_path, std::ios::binary)
        .write(second.data(), static_cast<long>(second.size()));
    ASSERT_EQ(0, rig.offer_firmware("dravik_kor_board", second_path));
    auto refused = rig.update.events.wait(kUpdateResponse, 3s, &cursor);
    ASSERT_TRUE(refused);
    EXPECT_EQ(4, refused->int_at(0));
    auto done = rig.update.events.wait(kUpdateResponse, 20s, &cursor);
    ASSERT_TRUE(done);
    EXPECT_EQ(3, done->int_at(0));
    EXPECT_FALSE(rig.update.events.wait(kUpdateResponse, 2s, &cursor));

    std::ifstream in(flashed, std::ios::binary);
    const std::vector<char> received((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    EXPECT_EQ(image, received);
    std::ifstream trailer_in(flashed + ".trailer", std::ios::binary);
    const std::vector<char> trailer((std::istreambuf_iterator<char>(trailer_in)),
                                    std::istreambuf_iterator<char>());
    EXPECT_EQ(std::vector<char>(image.end() - 4, image.end()), trailer);

    ASSERT_EQ(0, rig.offer_firmware("another_component", path));
    auto ignored = rig.update.events.wait(kUpdateResponse, 3s, &cursor);
    ASSERT_TRUE(ignored);
    EXPECT_EQ(2, ignored->int_at(0));
    EXPECT_TRUE(rig.wait_log("Ignoring update another_component:" + path, 5s));
    EXPECT_EQ(1, rig.mgr.log_count("Ignoring update another_component:" + path));
}

// ---- demo mode ----

TEST_F(OvenManagerE2E, DemoModeWalksTheOvenWithoutWritingToTheBoard) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_EQ(0, rig.register_ui());
    ASSERT_EQ(0, rig.send("zeb.varlo.demo_mode_onoff", {1}));
    ASSERT_TRUE(rig.wait_log("DEMO_MODE: set to ON", 3s));
    ASSERT_EQ("ok", rig.sim.command("writes clear"));
    const std::size_t start = rig.ui.events.size();

    std::size_t cursor = start;
    ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {1}));
    ASSERT_TRUE(rig.ui.events.wait(kPowerOn, 3s, &cursor));
    ASSERT_TRUE(rig.ui.events.wait(kPreheatComplete, 3s, &cursor));
    ASSERT_TRUE(rig.ui.events.wait(kMode, board_mode(6), 3s, &cursor));
    ASSERT_EQ(0, rig.send("zeb.varlo.set_target_temperature", {440}));
    ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {0}));
    ASSERT_TRUE(rig.ui.events.wait(kCooldown, 3s, &cursor));
    ASSERT_TRUE(rig.ui.events.wait(kPowerOff, 10s, &cursor));
    ASSERT_TRUE(rig.ui.events.wait(kMode, board_mode(0), 3s, &cursor));

    std::vector<int> modes;
    for (const auto &ev : rig.ui.events.named(kMode, start)) {
        modes.push_back(ev.int_at(1));
    }
    EXPECT_EQ((std::vector<int>{4, 6, 8, 0}), modes);
    // The board was left alone: no register written, the oven never enabled.
    EXPECT_EQ("", rig.writes());
    EXPECT_EQ(0, rig.reg(kRegEnable));
    EXPECT_EQ(0, rig.board_state());
}

// ---- robustness ----

TEST_F(OvenManagerE2E, MalformedEventsAreDroppedAndTheManagerStillAnswers) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_EQ("ok", rig.sim.command("writes clear"));

    // Indexes outside the oven: nothing may be written for them.
    ASSERT_EQ(0, rig.send("zeb.varlo.set_belt_cook_time", {3, 300}));
    ASSERT_EQ(0, rig.send("zeb.varlo.set_belt_cook_time", {0, 300}));
    ASSERT_EQ(0, rig.send("zeb.varlo.set_target_fan_speed", {9, 50}));
    ASSERT_EQ(0, rig.send("zeb.varlo.set_target_fan_speed", {-1, 50}));
    // Short data: one byte where integers are due.
    const char one = 1;
    for (const char *name : {"zeb.varlo.power_onoff", "zeb.varlo.set_belt_cook_time",
                             "zeb.varlo.set_target_fan_speed", "zeb.varlo.idle_mode_onoff",
                             "zeb.varlo.config_setting_changed", "zeb.varlo.set_target_temperature",
                             "zeb.varlo.factory_reset_end", "zeb.varlo.demo_mode_onoff"}) {
        ASSERT_EQ(0, rig.send_raw(name, "4s1 v", &one, 1));
    }
    // Text fields without their NUL, and a firmware offer (from the update service, the only
    // channel offers count from) too short for its component field.
    const std::string no_nul = std::string("\x01\x00\x00\x00", 4) + std::string(64, 'x');
    ASSERT_EQ(0, rig.send_raw("zeb.varlo.register", "4s1 v 1s0 c", no_nul.data(), no_nul.size()));
    ASSERT_EQ(0, rig.send_raw("zeb.varlo.menu_preset_changed", "4s1 v 1s0 c", no_nul.data(),
                              no_nul.size()));
    ASSERT_EQ(0, rig.update.send(OvenRig::kManagerChannel, "zeb.update.firmware.available",
                                 "1s0 id", no_nul.data(), no_nul.size()));
    ASSERT_EQ(0, rig.send("zeb.varlo.no_such_event", {1, 2, 3}));
    ASSERT_TRUE(
        rig.wait_log("process_client_requests: Received event: zeb.varlo.no_such_event", 5s));
    std::this_thread::sleep_for(300ms);  // let the write thread drain anything wrongly queued
    EXPECT_EQ("", rig.writes());
    EXPECT_TRUE(rig.mgr.running());

    // A thousand events of random names (real ones among them) and random data.
    const std::vector<std::string> names{"zeb.varlo.set_target_temperature",
                                         "zeb.varlo.set_belt_cook_time",
                                         "zeb.varlo.set_target_fan_speed",
                                         "zeb.varlo.photo_cell_enable",
                                         "zeb.varlo.menu_preset_changed",
                                         "zeb.varlo.idle_mode_onoff",
                                         "zeb.varlo.register",
                                         "zeb.varlo.power_onoff",
                                         "zeb.varlo.demo_mode_onoff",
                                         "zeb.varlo",
                                         "x",
                                         "zeb.varlo.set_target_temperature.more"};
    std::mt19937 random(2024);
    for (int i = 0; i < 1000; ++i) {
        std::vector<uint8_t> data(random() % 48);
        for (auto &b : data) {
            b = static_cast<uint8_t>(random());
        }
        const std::string &name = names[random() % names.size()];
        // The manager's channel may be full for a moment: give it the time to read.
        ASSERT_TRUE(wait_until(
            [&] {
                return rig.send_raw(name, "", data.empty() ? nullptr : data.data(), data.size()) ==
                       0;
            },
            3s))
            << "event " << i;
    }
    ASSERT_TRUE(rig.mgr.running());

    // A UI that was never registered registers now and is answered.
    kor_test::ChannelListener late;
    ASSERT_TRUE(late.open("late_ui"));
    const std::string late_name = "late_ui";
    std::vector<char> data(4 + late_name.size() + 1, 0);
    data[0] = 1;
    std::memcpy(data.data() + 4, late_name.data(), late_name.size());
    ASSERT_EQ(0, rig.send_raw("zeb.varlo.register", "4s1 v 1s0 c", data.data(), data.size()));
    EXPECT_TRUE(late.events.wait(kMode, 10s)) << late.events.dump();
    EXPECT_TRUE(rig.mgr.running());
    late.close();
}

TEST_F(OvenManagerE2E, ABoardThatForgetsItsConfigurationIsReinitialisedInPlace) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_EQ(0, rig.register_ui());
    std::size_t cursor = rig.ui.events.size();
    ASSERT_EQ("ok", rig.sim.command("forget"));
    EXPECT_TRUE(rig.wait_log("IO Board reinit requested [0]", 5s));
    auto dump = rig.ui.events.wait("zeb.varlo.generate_logs", 3s, &cursor);
    ASSERT_TRUE(dump);
    EXPECT_TRUE(dump->data.empty());
    EXPECT_TRUE(rig.wait_log("Re-initialized IO Board successfully.", 5s));
    EXPECT_TRUE(rig.wait_reg(kRegMachineConfig, 1));
    EXPECT_TRUE(rig.mgr.running());
}

}  // namespace
