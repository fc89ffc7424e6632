// The oven control thread one cycle at a time, idle mode and demo mode. The IO board is the
// recording fake link under the real IO board library (its polling thread fills the status block
// from the fake's register file); the operation service is the real record with the link state
// and the cloud report replaced; the UI is this test's own bus channel, registered as a client
// and named "zeb_update" so the firmware responses arrive here too.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fake_link.hpp"
#include "kor_oven_control.hpp"
#include "log_capture.hpp"

namespace {

using kor_test::LogCapture;
using kor_test::Op;

struct Ev {
    std::string name;
    std::vector<int32_t> data;
};

std::vector<Ev> with_name(const std::vector<Ev> &evs, const std::string &name) {
    std::vector<Ev> out;
    for (const Ev &e : evs)
        if (e.name == name)
            out.push_back(e);
    return out;
}

int count(const std::vector<Ev> &evs, const std::string &name) {
    return static_cast<int>(with_name(evs, name).size());
}

// What the replaced operations saw; file-static so plain function pointers reach it.
std::atomic<int32_t> link_state{1};
std::vector<int32_t> energy_mode_calls;
int tracker_updates = 0;
int reinit_calls = 0;
std::vector<std::string> transferred;
int transfer_result = 0;
std::vector<int32_t> comm_lost_reports;

class ControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link_state = 1;
        energy_mode_calls.clear();
        tracker_updates = 0;
        reinit_calls = 0;
        transferred.clear();
        transfer_result = 0;
        comm_lost_reports.clear();
        demo_mode = 0;

        ::setenv("ZEB_BUS_DIR", scratch_.file("bus").c_str(), 1);
        ASSERT_EQ(0, zeb_service_initialize("zeb_update"));
        ASSERT_EQ(0, zeb_service_register("zeb_update", 1));
        ASSERT_EQ(0, zeb_logger_open(&logger));
        load_config("/data/config");

        ASSERT_EQ(0, kor_srv_init(&oven_operation_srv));
        oven_operation_srv->kor_oven_get_modbus_connection_state = []() -> int32_t {
            return link_state.load();
        };
        oven_operation_srv->kor_telvo_report_fault_io_comm_lost = [](uint8_t fs, int32_t) {
            comm_lost_reports.push_back(fs);
            return int32_t{0};
        };
        ASSERT_EQ(0, zeb_faultman_init(KOR_UI_FAULT_COUNT, &faultman));
        ASSERT_EQ(0, zeb_timer_initialize(&timer_service));

        ASSERT_EQ(0, kor_modbus_init(&modbus, "fake", 1, 100, 2, 3, 0, fake.table()));
        fake.set_register(2, 1);  // a configured board
        ASSERT_EQ(0, kor_oven_init_structures());
        ASSERT_EQ(0, kor_oven_subscribe_to_register_blocks(modbus));
        ASSERT_EQ(0, kor_modbus_start_polling(modbus));
        settle();

        cs.reinitialize_io_board = []() {
            ++reinit_calls;
            return int32_t{0};
        };
        cs.transfer_firmware = [](modbus_data_t *, const char *path) {
            transferred.emplace_back(path);
            return transfer_result;
        };
        cs.stats_in_energy_mode = [](int32_t on) {
            energy_mode_calls.push_back(on);
            return int32_t{0};
        };
        cs.stats_update_time_trackers = []() {
            ++tracker_updates;
            return int32_t{0};
        };
    }

    void TearDown() override {
        if (timer_service != nullptr) {
            zeb_timer_uninitialize(timer_service);
        }
        timer_service = nullptr;
        soak_timer = nullptr;
        if (modbus != nullptr) {
            kor_modbus_free(modbus);
        }
        modbus = nullptr;
        kor_oven_free();
        zeb_faultman_uninit(faultman);
        faultman = nullptr;
        kor_srv_uninitialize(oven_operation_srv);
        oven_operation_srv = nullptr;
        kor_uninitialize_operation_state();
        zeb_service_uninitialize();
        zeb_logger_close(logger);
        logger = nullptr;
        ::unsetenv("ZEB_BUS_DIR");
    }

    void load_config(const std::string &relative) {
        ASSERT_EQ(0, kor_load_oven_config((kor_test::source_dir() + relative).c_str(), logger));
        ASSERT_EQ(0, kor_get_oven_config(&config));
        kor_uninitialize_operation_state();
        ASSERT_EQ(0, kor_initialize_operation_state(&config));
    }

    // Two whole polling rounds after a change of the fake's registers, so the next cycle's copy
    // of the blocks holds it.
    void settle() {
        const int n = fake.count(Op::ReadRegisters);
        ASSERT_TRUE(fake.wait_for(Op::ReadRegisters, n + 6));
    }

    void board(uint16_t state, uint16_t temp = 0) {
        fake.set_register(99, state);
        fake.set_register(106, temp);
        settle();
    }

    // Every event that reached this channel since the last drain.
    static std::vector<Ev> drain() {
        std::vector<Ev> out;
        for (;;) {
            zeb_event_t *ev = nullptr;
            if (zeb_service_wait_event_timeout(&ev, 50) != 0 || ev == nullptr) {
                return out;
            }
            Ev e{ev->name, std::vector<int32_t>(static_cast<size_t>(ev->length) / 4)};
            if (!e.data.empty()) {
                std::memcpy(e.data.data(), ev->data, e.data.size() * 4);
            }
            out.push_back(std::move(e));
            zeb_service_free_event(ev);
        }
    }

    std::vector<Ev> cycle(CycleEnd expected = CycleEnd::completed) {
        EXPECT_EQ(expected, kor_oven_control_cycle(cs));
        return drain();
    }

    static operation_state_t state() {
        operation_state_t s{};
        EXPECT_EQ(0, kor_get_operation_state(&s));
        return s;
    }

    kor_test::ScratchDir scratch_;
    LogCapture log;
    kor_test::FakeLink fake;
    oven_config_t config{};
    ControlState cs;
};

// ---- temperature readiness ----

TEST(ReadyTemp, WithinTenPercentOfTheTargetBothBoundsIncluded) {
    EXPECT_TRUE(is_ready_temp(450, 500));
    EXPECT_TRUE(is_ready_temp(550, 500));
    EXPECT_TRUE(is_ready_temp(500, 500));
    EXPECT_FALSE(is_ready_temp(449, 500));
    EXPECT_FALSE(is_ready_temp(551, 500));
    // Bounds that are not whole numbers in single precision still land where double puts them.
    EXPECT_TRUE(is_ready_temp(315, 350));
    EXPECT_FALSE(is_ready_temp(314, 350));
}

// ---- state transitions ----

TEST_F(ControlTest, FirstCycleInStateOffSendsNoTransitionEvents) {
    board(0, 70);
    const auto evs = cycle();
    EXPECT_EQ(0, count(evs, "zeb.varlo.mode_notify"));
    EXPECT_EQ(0, count(evs, "zeb.varlo.power_off"));
    EXPECT_EQ(0, count(evs, "zeb.varlo.power_on"));
    EXPECT_TRUE(energy_mode_calls.empty());
    EXPECT_EQ(0, log.count_containing("Transitioned from state"));
    // The periodic values still go out.
    const auto temp = with_name(evs, "zeb.varlo.temperature_notify");
    ASSERT_EQ(1u, temp.size());
    EXPECT_EQ((std::vector<int32_t>{70, 500, 0}), temp[0].data);
    EXPECT_EQ(2, count(evs, "zeb.varlo.belt_status_notify"));
    EXPECT_EQ(4, count(evs, "zeb.varlo.fan_target_speed_notify"));
    EXPECT_EQ(1, count(evs, "zeb.varlo.tc_temp_notify"));
    EXPECT_EQ(1, count(evs, "zeb.varlo.diag_reg_notify"));
    EXPECT_EQ(70, state().temp);
}

TEST_F(ControlTest, StartUpWalkSignalsPowerOnOnceAndPreheatCompleteOnIdle) {
    board(0);
    cycle();

    fake.set_register(119, 80);  // heater output
    board(1, 150);
    auto evs = cycle();
    EXPECT_EQ(1, count(evs, "zeb.varlo.power_on"));
    ASSERT_EQ(1, count(evs, "zeb.varlo.mode_notify"));
    EXPECT_EQ((std::vector<int32_t>{KOR_UI_STATE_PREHEAT, 1}),
              with_name(evs, "zeb.varlo.mode_notify")[0].data);
    // The periodic temperature and the power-on one, with the heater output.
    const auto temps = with_name(evs, "zeb.varlo.temperature_notify");
    ASSERT_EQ(2u, temps.size());
    EXPECT_EQ((std::vector<int32_t>{150, 500, 80}), temps[1].data);
    EXPECT_EQ(1, log.count("Transitioned from state 0 to 1"));
    EXPECT_EQ(0, state().belt_state);

    board(4, 300);
    evs = cycle();
    EXPECT_EQ(0, count(evs, "zeb.varlo.power_on"));
    ASSERT_EQ(1, count(evs, "zeb.varlo.mode_notify"));
    EXPECT_EQ((std::vector<int32_t>{KOR_UI_STATE_PREHEAT, 4}),
              with_name(evs, "zeb.varlo.mode_notify")[0].data);
    EXPECT_EQ(0, count(evs, "zeb.varlo.preheat_complete"));

    board(5, 480);
    evs = cycle();
    EXPECT_EQ(1, count(evs, "zeb.varlo.preheat_complete"));
    ASSERT_EQ(1, count(evs, "zeb.varlo.mode_notify"));
    EXPECT_EQ((std::vector<int32_t>{KOR_UI_STATE_IDLE, 5}),
              with_name(evs, "zeb.varlo.mode_notify")[0].data);
    EXPECT_EQ(1, state().belt_state);
    EXPECT_EQ(1, log.count("Notify PREHEAT COMPLETE"));
    EXPECT_EQ(1, log.count("POWER ON signaled!"));

    EXPECT_EQ((std::vector<int32_t>{0, 0, 1}), energy_mode_calls);
    // The operation state follows the board.
    EXPECT_EQ(5, state().io_board_state);
}

TEST_F(ControlTest, IdleToBakeAndCooldownClearsAnArmedSoakTimer) {
    board(0);
    cycle();
    board(5, 500);
    cycle();

    board(6, 500);
    auto evs = cycle();
    EXPECT_EQ(0, count(evs, "zeb.varlo.preheat_complete"));
    EXPECT_EQ(2, state().belt_state);
    for (const Ev &e : with_name(evs, "zeb.varlo.belt_status_notify"))
        EXPECT_EQ(1, e.data[1]) << "the status is sent before the transition of this cycle";

    // Belt status is the belt state only while the temperature is ready.
    evs = cycle();
    auto belts = with_name(evs, "zeb.varlo.belt_status_notify");
    ASSERT_EQ(2u, belts.size());
    EXPECT_EQ((std::vector<int32_t>{1, 2}), belts[0].data);
    EXPECT_EQ((std::vector<int32_t>{2, 2}), belts[1].data);
    board(6, 440);
    belts = with_name(cycle(), "zeb.varlo.belt_status_notify");
    ASSERT_EQ(2u, belts.size());
    EXPECT_EQ((std::vector<int32_t>{1, 0}), belts[0].data);

    static std::atomic<int> ticks{0};
    ASSERT_EQ(0, zeb_timer_set_interval(
                     timer_service, &soak_timer, 10, [](void *) { ++ticks; }, nullptr, 0));
    ASSERT_TRUE(kor_test::wait_until([] { return ticks.load() > 0; }));

    board(8, 440);
    evs = cycle();
    EXPECT_EQ(1, count(evs, "zeb.varlo.power_cooldown"));
    EXPECT_EQ(nullptr, soak_timer);
    const int after = ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(after, ticks.load()) << "the soak timer still runs";
    EXPECT_EQ(KOR_CONFIG_HEATING_COOLDOWN_TEMP, state().target_temp);
    EXPECT_EQ(0, state().belt_state);
    const auto temps = with_name(evs, "zeb.varlo.temperature_notify");
    ASSERT_EQ(2u, temps.size());
    EXPECT_EQ(KOR_CONFIG_HEATING_COOLDOWN_TEMP, temps[1].data[1]);
    EXPECT_EQ((std::vector<int32_t>{KOR_UI_STATE_COOLDOWN, 8}),
              with_name(evs, "zeb.varlo.mode_notify")[0].data);

    // Back to off; a later start from cooldown is a power-on again.
    board(0, 150);
    evs = cycle();
    EXPECT_EQ(1, count(evs, "zeb.varlo.power_off"));
    board(8, 150);
    cycle();
    board(2, 150);
    evs = cycle();
    EXPECT_EQ(1, count(evs, "zeb.varlo.power_on"));
    EXPECT_EQ(500, state().target_temp);
}

TEST_F(ControlTest, SoakStartsTheCountdownWhichStopsItselfAtZero) {
    board(0);
    cycle();
    board(4, 300);
    cycle();
    fake.set_register(120, 90);  // soak start
    fake.set_register(121, 0);   // soak time left
    board(12, 300);
    auto evs = cycle();
    const auto soak = with_name(evs, "zeb.varlo.soak_timer_notify");
    ASSERT_EQ(1u, soak.size());
    EXPECT_EQ((std::vector<int32_t>{90, 1}), soak[0].data);
    EXPECT_TRUE(log.contains("Notify SOAK timer START value: 90"));
    EXPECT_EQ(2, state().belt_state);
    EXPECT_EQ((std::vector<int32_t>{KOR_UI_STATE_SOAK, 12}),
              with_name(evs, "zeb.varlo.mode_notify")[0].data);
    EXPECT_NE(nullptr, std::atomic_ref<zeb_timer_t *>(soak_timer).load());

    // The first tick (800 ms) reads 0 left, reports it and clears the timer from inside.
    ASSERT_TRUE(kor_test::wait_until(
        [] { return std::atomic_ref<zeb_timer_t *>(soak_timer).load() == nullptr; }));
    evs = drain();
    const auto ticks = with_name(evs, "zeb.varlo.soak_timer_notify");
    ASSERT_EQ(1u, ticks.size());
    EXPECT_EQ((std::vector<int32_t>{0, 0}), ticks[0].data);

    // Soak to bake completes the preheat.
    board(6, 500);
    EXPECT_EQ(1, count(cycle(), "zeb.varlo.preheat_complete"));
}

TEST_F(ControlTest, TestFlagTurnsAnyStateIntoTestMode) {
    board(0);
    cycle();
    fake.set_register(74, 3);
    board(6, 500);
    const auto evs = cycle();
    EXPECT_EQ((std::vector<int32_t>{KOR_UI_STATE_TEST, 10}),
              with_name(evs, "zeb.varlo.mode_notify")[0].data);
    EXPECT_EQ(10, state().io_board_state);
    EXPECT_EQ(1, log.count("Transitioned from state 0 to 10"));
}

TEST_F(ControlTest, PhotoEyeChangesAreLoggedAndOnlyZeroAndOneNotified) {
    fake.set_register(107, 1);
    settle();
    auto det = with_name(cycle(), "zeb.varlo.photoeye_detection");
    ASSERT_EQ(1u, det.size());
    EXPECT_EQ(std::vector<int32_t>{1}, det[0].data);
    EXPECT_TRUE(log.contains("Photoeye transitioned from state 0 to 1"));
    EXPECT_TRUE(log.contains("Detected food on belt"));

    EXPECT_EQ(0, count(cycle(), "zeb.varlo.photoeye_detection")) << "no change, no event";

    fake.set_register(107, 0);
    settle();
    det = with_name(cycle(), "zeb.varlo.photoeye_detection");
    ASSERT_EQ(1u, det.size());
    EXPECT_EQ(std::vector<int32_t>{0}, det[0].data);
    EXPECT_TRUE(log.contains("Photoeye is clear"));

    fake.set_register(107, 2);
    settle();
    EXPECT_EQ(0, count(cycle(), "zeb.varlo.photoeye_detection"));
    EXPECT_TRUE(log.contains("Photoeye transitioned from state 0 to 2"));
}

TEST_F(ControlTest, TimeTrackersAreUpdatedOnceEvery102Cycles) {
    board(0);
    for (int i = 0; i < 101; ++i)
        kor_oven_control_cycle(cs);
    EXPECT_EQ(0, tracker_updates);
    kor_oven_control_cycle(cs);
    EXPECT_EQ(1, tracker_updates);
    for (int i = 0; i < 101; ++i)
        kor_oven_control_cycle(cs);
    EXPECT_EQ(1, tracker_updates);
    kor_oven_control_cycle(cs);
    EXPECT_EQ(2, tracker_updates);
}

// ---- board and link trouble, firmware ----

TEST_F(ControlTest, LostMachineConfigurationAsksForLogsAndReinitialises) {
    fake.set_register(2, 0);
    auto evs = cycle(CycleEnd::reinit);
    EXPECT_EQ(1, reinit_calls);
    EXPECT_EQ(1, count(evs, "zeb.varlo.generate_logs"));
    EXPECT_EQ(0, count(evs, "zeb.varlo.temperature_notify")) << "the rest of the cycle is skipped";
    EXPECT_TRUE(log.contains("Machine config [0]"));
    EXPECT_TRUE(log.contains("IO Board reinit requested [0]"));

    fake.set_register(2, 0xFFFF);
    evs = cycle(CycleEnd::reinit);
    EXPECT_EQ(2, reinit_calls);
    EXPECT_TRUE(log.contains("IO Board reinit requested [65535]"));

    fake.set_register(2, 1);
    evs = cycle();
    EXPECT_EQ(2, reinit_calls);
    EXPECT_EQ(1, count(evs, "zeb.varlo.temperature_notify"));
    EXPECT_TRUE(log.contains("Machine config [1]"));

    // An unreadable configuration is not a lost one.
    kor_test::Outcome failed;
    failed.result = -1;
    failed.err = 5;
    fake.set_default(Op::ReadRegister, failed);
    cycle();
    EXPECT_EQ(2, reinit_calls);
}

TEST_F(ControlTest, LinkDownRaisesTheCommunicationFaultAndSkipsTheCycle) {
    link_state = 0;
    auto evs = cycle(CycleEnd::link_down);
    EXPECT_EQ(1, zeb_faultman_check(faultman, 11));
    EXPECT_EQ(std::vector<int32_t>{1}, comm_lost_reports);
    EXPECT_EQ(0, count(evs, "zeb.varlo.temperature_notify"));
    int errors = 0;
    for (const auto &l : log.lines())
        if (l.level == 3 && l.module == "kor_oven_mgr" &&
            l.message == "No MODBUS connection to IO board detected")
            ++errors;
    EXPECT_EQ(1, errors);

    // Once the link is back the fault is cleared by the cycle's fault scan.
    link_state = 1;
    evs = cycle();
    EXPECT_EQ(0, zeb_faultman_check(faultman, 11));
    EXPECT_EQ((std::vector<int32_t>{1, 0}), comm_lost_reports);
}

TEST_F(ControlTest, PendingFirmwareIsTransferredOnceAndAnswered) {
    ASSERT_EQ(0, kor_state_set_update_io_board_file_name("/tmp/io_board.bin"));
    ASSERT_EQ(0, kor_state_set_update_io_board_mode(1));
    auto evs = cycle(CycleEnd::firmware);
    EXPECT_EQ(std::vector<std::string>{"/tmp/io_board.bin"}, transferred);
    auto resp = with_name(evs, "zeb.update.firmware.response");
    ASSERT_EQ(1u, resp.size());
    EXPECT_EQ(std::vector<int32_t>{KOR_UPDATE_TRANSFERRED}, resp[0].data);
    EXPECT_EQ(0, state().update_io_board_mode);
    cycle();
    EXPECT_EQ(1u, transferred.size());

    transfer_result = -1;
    ASSERT_EQ(0, kor_state_set_update_io_board_mode(1));
    resp = with_name(cycle(CycleEnd::firmware), "zeb.update.firmware.response");
    ASSERT_EQ(1u, resp.size());
    EXPECT_EQ(std::vector<int32_t>{KOR_UPDATE_FAILED}, resp[0].data);
    EXPECT_EQ(0, state().update_io_board_mode);
}

// ---- demo mode ----

TEST_F(ControlTest, DemoModeFlagIsOnOnlyForOne) {
    kor_oven_demo_mode_event(1);
    EXPECT_EQ(1, kor_oven_get_demo_mode());
    EXPECT_TRUE(log.contains("DEMO_MODE: set to ON"));
    kor_oven_demo_mode_event(2);
    EXPECT_EQ(0, kor_oven_get_demo_mode());
    EXPECT_TRUE(log.contains("DEMO_MODE: set to OFF"));
    kor_oven_demo_mode_event(1);
    kor_oven_demo_mode_event(0);
    EXPECT_EQ(0, kor_oven_get_demo_mode());
}

TEST_F(ControlTest, DemoWalksPreheatBakeCooldownAndOffWithoutTouchingTheBoard) {
    kor_oven_demo_mode_event(1);
    const int reads = fake.count(Op::ReadRegister);
    const int writes = fake.count(Op::WriteRegister);

    // A power-on request in demo mode sets the state to preheat.
    ASSERT_EQ(0, kor_state_set_io_board_state(4));
    auto evs = cycle(CycleEnd::demo);
    EXPECT_EQ(1, count(evs, "zeb.varlo.power_on"));
    auto temps = with_name(evs, "zeb.varlo.temperature_notify");
    ASSERT_EQ(2u, temps.size());
    EXPECT_EQ((std::vector<int32_t>{500, 500, 60}), temps[0].data);
    EXPECT_EQ((std::vector<int32_t>{180, 500, 20}), temps[1].data);
    EXPECT_EQ((std::vector<int32_t>{KOR_UI_STATE_PREHEAT, 4}),
              with_name(evs, "zeb.varlo.mode_notify")[0].data);
    EXPECT_EQ(2, count(evs, "zeb.varlo.belt_status_notify"));
    EXPECT_EQ(4, count(evs, "zeb.varlo.fan_target_speed_notify"));
    EXPECT_EQ(180, state().temp);
    EXPECT_TRUE(log.contains("DEMO_MODE: state: PREHEAT, POWER ON signaled!"));

    // The temperature jumps to the target and +5 reaches it: bake is next.
    evs = cycle(CycleEnd::demo);
    EXPECT_EQ(0, count(evs, "zeb.varlo.mode_notify"));
    EXPECT_EQ(505, state().temp);
    EXPECT_EQ(6, state().io_board_state);

    evs = cycle(CycleEnd::demo);
    EXPECT_EQ(1, count(evs, "zeb.varlo.preheat_complete"));
    EXPECT_EQ((std::vector<int32_t>{KOR_UI_STATE_BAKE, 6}),
              with_name(evs, "zeb.varlo.mode_notify")[0].data);
    EXPECT_EQ(2, state().belt_state);
    EXPECT_TRUE(log.contains("DEMO_MODE: Transitioned from state 4 to 6"));

    // A power-off request in demo mode sets cooldown.
    ASSERT_EQ(0, kor_state_set_io_board_state(8));
    evs = cycle(CycleEnd::demo);
    EXPECT_EQ(1, count(evs, "zeb.varlo.power_cooldown"));
    temps = with_name(evs, "zeb.varlo.temperature_notify");
    ASSERT_EQ(2u, temps.size());
    EXPECT_EQ((std::vector<int32_t>{500, 200, 0}), temps[1].data);
    EXPECT_EQ(0, state().belt_state);

    evs = cycle(CycleEnd::demo);
    EXPECT_EQ(195, state().temp);
    EXPECT_EQ(0, state().io_board_state);
    EXPECT_EQ(0, count(evs, "zeb.varlo.power_off"));

    evs = cycle(CycleEnd::demo);
    EXPECT_EQ(1, count(evs, "zeb.varlo.power_off"));
    EXPECT_EQ((std::vector<int32_t>{KOR_UI_STATE_OFF, 0}),
              with_name(evs, "zeb.varlo.mode_notify")[0].data);
    EXPECT_TRUE(log.contains("DEMO_MODE: state: OVEN_OFF, Notify POWER OFF"));

    EXPECT_EQ(reads, fake.count(Op::ReadRegister));
    EXPECT_EQ(writes, fake.count(Op::WriteRegister));
    EXPECT_TRUE(energy_mode_calls.empty()) << "demo transitions report no energy mode";
}

// ---- idle mode ----

std::vector<kor_test::Call> writes_of(const kor_test::FakeLink &fake) {
    return fake.calls(Op::WriteRegister);
}

TEST_F(ControlTest, IdleRequestWritesTheKeyBeforeTheBeltsAndStoresPositiveFanTargets) {
    const operation_state_t before = state();
    kor_oven_idle_mode_onoff_event(1, 330, 200, 0, 50, -1, 30);
    ASSERT_TRUE(fake.wait_for(Op::WriteRegister, 3));
    const auto w = writes_of(fake);
    ASSERT_EQ(3u, w.size());
    EXPECT_EQ(86, w[0].address);
    EXPECT_EQ(2u, w[0].value);
    EXPECT_EQ(5, w[1].address);   // belt 1 speed
    EXPECT_EQ(13, w[2].address);  // belt 2 speed
    int32_t rpm1 = 0;
    int32_t rpm2 = 0;
    ASSERT_EQ(0, kor_srv_convert_cook_time_to_rpm(330, 1, &config, &rpm1));
    ASSERT_EQ(0, kor_srv_convert_cook_time_to_rpm(200, 2, &config, &rpm2));
    EXPECT_EQ(static_cast<uint32_t>(rpm1), w[1].value);
    EXPECT_EQ(static_cast<uint32_t>(rpm2), w[2].value);
    EXPECT_TRUE(log.contains("kor_oven_idle_mode_onoff_event: setting rpm to " +
                             std::to_string(rpm1) + " for belt 1"));

    const operation_state_t after = state();
    EXPECT_EQ(330, after.belt_cook_time[0]);
    EXPECT_EQ(200, after.belt_cook_time[1]);
    EXPECT_EQ(before.blower_percent_target[0], after.blower_percent_target[0]);
    EXPECT_EQ(50, after.blower_percent_target[1]);
    EXPECT_EQ(before.blower_percent_target[2], after.blower_percent_target[2]);
    EXPECT_EQ(30, after.blower_percent_target[3]);

    // Idle off is key 1.
    kor_oven_idle_mode_onoff_event(0, 330, 200, 0, 0, 0, 0);
    ASSERT_TRUE(fake.wait_for(Op::WriteRegister, 6));
    EXPECT_EQ(86, writes_of(fake)[3].address);
    EXPECT_EQ(1u, writes_of(fake)[3].value);
}

TEST_F(ControlTest, IdleRequestLeavesABeltWhoseCookTimeCannotBeConverted) {
    // A cook time of 0 or below has no belt speed: that belt keeps its speed and its cook time,
    // the other belt and the fans go on.
    struct Case {
        int32_t belt1;
        int32_t belt2;
        int refused;  // the belt (1-2) left alone
    };
    for (const Case &c : {Case{0, 200, 1}, Case{330, -5, 2}}) {
        SCOPED_TRACE(c.refused);
        log.clear();
        const operation_state_t before = state();
        const int already = fake.count(Op::WriteRegister);
        kor_oven_idle_mode_onoff_event(1, c.belt1, c.belt2, 0, 40, 0, 0);
        // Writes leave in order: once this marker is out, everything before it is too.
        ASSERT_EQ(0, kor_modbus_write_holding_register(modbus, 400, 1));
        ASSERT_TRUE(fake.wait_for(Op::WriteRegister, already + 3));
        const auto w = writes_of(fake);
        const std::vector<kor_test::Call> mine(w.begin() + already, w.end());
        const int kept = c.refused == 1 ? 2 : 1;
        int32_t rpm = 0;
        ASSERT_EQ(0, kor_srv_convert_cook_time_to_rpm(kept == 1 ? c.belt1 : c.belt2, kept, &config,
                                                      &rpm));
        ASSERT_EQ(3u, mine.size());
        EXPECT_EQ(86, mine[0].address);
        EXPECT_EQ(kept == 1 ? 5 : 13, mine[1].address);
        EXPECT_EQ(static_cast<uint32_t>(rpm), mine[1].value);
        EXPECT_EQ(400, mine[2].address);
        const operation_state_t after = state();
        EXPECT_EQ(before.belt_cook_time[c.refused - 1], after.belt_cook_time[c.refused - 1]);
        EXPECT_EQ(kept == 1 ? c.belt1 : c.belt2, after.belt_cook_time[kept - 1]);
        EXPECT_EQ(40, after.blower_percent_target[1]);
        EXPECT_EQ(0, log.count_containing("for belt " + std::to_string(c.refused)));
    }
}

TEST_F(ControlTest, IdleRequestStopsWhenTheKeyCannotBeWritten) {
    const operation_state_t before = state();
    modbus_data_t *const saved = modbus;
    modbus = nullptr;  // the write is refused
    kor_oven_idle_mode_onoff_event(1, 330, 200, 40, 40, 40, 40);
    modbus = saved;
    EXPECT_TRUE(log.contains(
        "kor_oven_idle_mode_onoff_event: writing UI_KEY_PRESSED register FAILED! Err -1"));
    const operation_state_t after = state();
    EXPECT_EQ(
        0, std::memcmp(before.belt_cook_time, after.belt_cook_time, sizeof before.belt_cook_time));
    EXPECT_EQ(0, std::memcmp(before.blower_percent_target, after.blower_percent_target,
                             sizeof before.blower_percent_target));
    EXPECT_EQ(0, log.count_containing("setting rpm"));
}

TEST_F(ControlTest, IdleRequestOnAOneBeltOvenIgnoresTheSecondCookTime) {
    load_config("/data/config/one_belt");
    ASSERT_EQ(1, config.num_belts);
    const operation_state_t before = state();
    kor_oven_idle_mode_onoff_event(1, 330, 200, 0, 0, 0, 0);
    ASSERT_TRUE(fake.wait_for(Op::WriteRegister, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto w = writes_of(fake);
    ASSERT_EQ(2u, w.size());
    EXPECT_EQ(86, w[0].address);
    EXPECT_EQ(5, w[1].address);
    EXPECT_EQ(330, state().belt_cook_time[0]);
    EXPECT_EQ(before.belt_cook_time[1], state().belt_cook_time[1]);
    EXPECT_EQ(0, log.count_containing("for belt 2"));
}

TEST_F(ControlTest, IdleRequestInDemoModeOnlyChangesTheState) {
    kor_oven_demo_mode_event(1);
    kor_oven_idle_mode_onoff_event(1, 330, 200, 0, 60, 0, 0);
    EXPECT_EQ(5, state().io_board_state);
    EXPECT_EQ(330, state().belt_cook_time[0]);
    EXPECT_EQ(200, state().belt_cook_time[1]);
    EXPECT_EQ(60, state().blower_percent_target[1]);
    kor_oven_idle_mode_onoff_event(0, 330, 200, 0, 0, 0, 0);
    EXPECT_EQ(6, state().io_board_state);
    kor_oven_idle_mode_onoff_event(7, 330, 200, 0, 0, 0, 0);
    EXPECT_EQ(6, state().io_board_state);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0, fake.count(Op::WriteRegister));
}

}  // namespace
