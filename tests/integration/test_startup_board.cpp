// The oven manager's IO board start-up against the virtual IO board: the sample configuration
// loaded, the operation service created, and its start-up writes (clock, blowers, belts, photo-eye,
// heater, oven status) sent through real libmodbus over a pseudo-terminal. The board's registers
// must end up holding what the configuration says.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "kor_oven_operation_srv.h"
#include "log_capture.hpp"
#include "sim_process.hpp"

namespace {

using kor_test::wait_until;
using namespace std::chrono_literals;

// kor_modbus_free on a helper thread: a teardown that hangs fails the test instead of the run.
bool free_within(modbus_data_t *ctx, std::chrono::milliseconds limit) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([ctx, done] {
        kor_modbus_free(ctx);
        *done = true;
    }).detach();
    return wait_until([&] { return done->load(); }, limit);
}

std::size_t count_words(const std::string &s) {
    std::istringstream in(s);
    std::size_t n = 0;
    for (std::string w; in >> w;) {
        ++n;
    }
    return n;
}

class StartupOnBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        // The photo cell step reports to the cloud service: this test plays "zeb_telvo".
        ::setenv("ZEB_BUS_DIR", scratch.file("bus").c_str(), 1);
        ASSERT_EQ(0, zeb_service_initialize("zeb_telvo"));
        ASSERT_EQ(0, kor_telvo_init());

        const std::string dir = kor_test::source_dir() + "/data/config";
        ASSERT_EQ(0, kor_load_oven_config(dir.c_str(), nullptr));
        ASSERT_EQ(0, kor_get_oven_config(&cfg));

        ASSERT_TRUE(sim.start()) << sim.last_error();
        ASSERT_EQ(0, kor_modbus_init(&ctx, sim.link_path().c_str(), 1, 200, 50, 3, 0, nullptr));
        ASSERT_EQ("ok", sim.command("writes clear"));
        ASSERT_EQ(0, kor_srv_init(&srv));
    }
    void TearDown() override {
        if (ctx != nullptr) {
            EXPECT_TRUE(free_within(ctx, 3000ms)) << "kor_modbus_free did not return";
        }
        kor_oven_free();
        kor_srv_uninitialize(srv);
        zeb_service_uninitialize();
        ::unsetenv("ZEB_BUS_DIR");
    }

    int reg(int address) { return std::stoi(sim.command("get " + std::to_string(address))); }

    kor_test::LogCapture log;
    kor_test::ScratchDir scratch;
    kor_test::SimProcess sim;
    modbus_data_t *ctx = nullptr;
    oven_operation_srv_t *srv = nullptr;
    oven_config_t cfg{};
};

TEST_F(StartupOnBoard, TheBoardHoldsTheConfigurationAfterStartUp) {
    const auto before = static_cast<uint32_t>(std::time(nullptr));
    ASSERT_EQ(0, kor_srv_init_oven_status_structures(srv));
    ASSERT_EQ(0, kor_srv_init_subscribe_registers(srv, ctx));
    // The IO board initialisation, in start-up order; the oven is still off.
    ASSERT_EQ(0, kor_srv_set_io_board_clock_time(srv, ctx));
    ASSERT_EQ(0, kor_srv_init_blowers(srv, ctx, &cfg));
    ASSERT_EQ(0, kor_srv_init_belts(srv, ctx, &cfg)) << log.dump();
    ASSERT_EQ(0, kor_srv_set_belt_photoeye_timeout(srv, ctx, cfg.belt[0].cook_time,
                                                   cfg.belt[1].cook_time));
    ASSERT_EQ(0, kor_srv_init_heater(srv, ctx, &cfg));
    ASSERT_EQ(0, kor_srv_init_oven_status(srv, ctx, 0, &cfg));
    const auto after = static_cast<uint32_t>(std::time(nullptr));

    // clock 2, blowers 4 x 10, pulse thresholds 4, blower masks 2, belts 2 x 7, belt mask 1,
    // photo-eye timeout 2 (belts, then start-up), photo cell 1, heater 9, oven status 3.
    constexpr std::size_t kWrites = 2 + 40 + 4 + 2 + 14 + 1 + 2 + 1 + 9 + 3;
    ASSERT_TRUE(wait_until([&] { return count_words(sim.command("writes")) >= kWrites; }, 5000ms))
        << sim.command("writes");
    const std::string writes = sim.command("writes");
    EXPECT_EQ(kWrites, count_words(writes)) << writes;
    // The oven status comes last, in its own order.
    EXPECT_EQ(writes.size() - std::strlen("1:=0 2:=1 82:=1"), writes.rfind("1:=0 2:=1 82:=1"))
        << writes;

    const uint32_t clock =
        static_cast<uint32_t>(reg(401)) | (static_cast<uint32_t>(reg(402)) << 16);
    EXPECT_NE(0, reg(401));
    EXPECT_NE(0, reg(402));
    EXPECT_GE(clock, before);
    EXPECT_LE(clock, after);

    // Every blower position: enable, vdc min/max, start, set (high), idle, cooldown, hz min/max.
    const int bases[4] = {20, 29, 38, 47};
    for (int b = 0; b < 4; ++b) {
        const int base = bases[b];
        SCOPED_TRACE("blower " + std::to_string(b + 1));
        EXPECT_EQ(1, reg(base));
        EXPECT_EQ(cfg.inverter_vdc_min, reg(base + 1));
        EXPECT_EQ(cfg.inverter_vdc_max, reg(base + 2));
        EXPECT_EQ(cfg.inverter_hz_start, reg(base + 3));
        EXPECT_EQ(cfg.blower[b].speed_set, reg(base + 4));
        EXPECT_EQ(cfg.blower[b].speed_idle, reg(base + 5));
        EXPECT_EQ(cfg.inverter_hz_cool, reg(base + 6));
        EXPECT_EQ(cfg.inverter_hz_min, reg(base + 7));
        EXPECT_EQ(cfg.inverter_hz_max, reg(base + 8));
        EXPECT_EQ(cfg.inverter_sensor_pulses_per_min[b], reg(70 + b));
    }
    EXPECT_EQ(cfg.inverter_photo_delay_secs, reg(19));
    EXPECT_EQ(0x00, reg(92));  // "0000": no blower's speed sense error is ignored
    EXPECT_EQ(0x0F, reg(93));  // "1111"

    // Belts: 330 s on this oven is 362 RPM; both run.
    const int belt_base[2] = {3, 11};
    for (int b = 0; b < 2; ++b) {
        const int base = belt_base[b];
        SCOPED_TRACE("belt " + std::to_string(b + 1));
        EXPECT_EQ(cfg.belt[b].min_rpm, reg(base));
        EXPECT_EQ(cfg.belt[b].max_rpm, reg(base + 1));
        EXPECT_EQ(362, reg(base + 2));
        EXPECT_EQ(cfg.belt_direction, reg(base + 3));
        EXPECT_EQ(cfg.belt[b].pid_p, reg(base + 5));
        EXPECT_EQ(cfg.belt[b].pid_i, reg(base + 6));
        EXPECT_EQ(cfg.belt[b].pid_d, reg(base + 7));
    }
    EXPECT_EQ(3, reg(15));
    EXPECT_EQ(495, reg(7));
    EXPECT_EQ(cfg.photoeye_enable, reg(69));

    // Heater: PID, target, thermocouples "1234xx", attenuation, relay, high limit, maximum output.
    EXPECT_EQ(cfg.heating_pid_p, reg(57));
    EXPECT_EQ(cfg.heating_pid_i, reg(58));
    EXPECT_EQ(cfg.heating_pid_d, reg(59));
    EXPECT_EQ(cfg.heating_set_temp, reg(56));
    EXPECT_EQ(0x0F, reg(75));
    EXPECT_EQ(cfg.heating_gas_attenuation_active, reg(62));
    EXPECT_EQ(cfg.heating_gas_attenuation_valve_no_nc, reg(65));
    EXPECT_EQ(cfg.heating_high_limit_enable, reg(80));
    EXPECT_EQ(cfg.heat_maximum_output, reg(77));

    // Oven status: off, the fuel type as machine configuration, the panel switch.
    EXPECT_EQ(0, reg(1));
    EXPECT_EQ(cfg.oven_type, reg(2));
    EXPECT_EQ(cfg.panel_switch_enabled, reg(82));

    // The photo cell setting was reported to the cloud service.
    zeb_event_t *ev = nullptr;
    ASSERT_EQ(0, zeb_service_wait_event_timeout(&ev, 2000));
    ASSERT_NE(nullptr, ev->data);
    EXPECT_NE(nullptr, std::strstr(static_cast<const char *>(ev->data), "photo_override"));
    zeb_service_free_event(ev);
}

}  // namespace
