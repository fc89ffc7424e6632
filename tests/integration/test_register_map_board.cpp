// The register map over a real pseudo-terminal with real libmodbus against the virtual IO board:
// the write orders of the blower and belt initialisation as the board received them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "kor_iocomms.h"
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

class RegisterMapOnBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start()) << sim.last_error();
        ASSERT_EQ(0, kor_modbus_init(&ctx, sim.link_path().c_str(), 1, 200, 50, 3, 0, nullptr));
        ASSERT_EQ("ok", sim.command("writes clear"));
    }
    void TearDown() override {
        if (ctx != nullptr) {
            EXPECT_TRUE(free_within(ctx, 3000ms)) << "kor_modbus_free did not return";
        }
    }

    // True once the board's write log reads exactly `expected`.
    bool board_saw(const std::string &expected) {
        return wait_until([&] { return sim.command("writes") == expected; }, 3000ms);
    }

    kor_test::LogCapture log;
    kor_test::SimProcess sim;
    modbus_data_t *ctx = nullptr;
};

TEST_F(RegisterMapOnBoard, BlowerInitReachesTheBoardInOrder) {
    ASSERT_EQ(0, kor_init_blower(ctx, 1, 0, 10, 40, 113, 60, 55, 63, 44, 4));
    EXPECT_TRUE(board_saw("20:=1 21:=0 22:=10 27:=40 28:=113 23:=60 25:=55 24:=63 26:=44 19:=4"))
        << sim.command("writes");
    EXPECT_EQ("63", sim.command("get 24"));
}

TEST_F(RegisterMapOnBoard, BeltInitReachesTheBoardInOrder) {
    ASSERT_EQ(0, kor_belt_init(ctx, 1, 100, 200, 1, 240, 80, 36, 2));
    EXPECT_TRUE(board_saw("3:=100 4:=200 6:=1 5:=240 8:=80 9:=36 10:=2")) << sim.command("writes");
    uint16_t p = 0, i = 0, d = 0;
    ASSERT_EQ(0, kor_get_belt_pid(ctx, 1, &p, &i, &d));
    EXPECT_EQ(80, p);
    EXPECT_EQ(36, i);
    EXPECT_EQ(2, d);
}

}  // namespace
