// The oven manager's notifications to the service manager, in process: what goes out on
// NOTIFY_SOCKET, and that nothing goes out where no service manager or no watchdog asks for it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "kor_oven_watchdog.hpp"
#include "log_capture.hpp"
#include "notify_socket.hpp"

namespace {

using namespace std::chrono_literals;

class OvenWatchdog : public ::testing::Test {
  protected:
    void SetUp() override {
        ::unsetenv("WATCHDOG_USEC");
        ::unsetenv("WATCHDOG_PID");
        ASSERT_TRUE(manager.open(scratch.file("notify")));
        ::setenv("NOTIFY_SOCKET", scratch.file("notify").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
        ::unsetenv("WATCHDOG_PID");
    }

    kor_test::ScratchDir scratch;
    kor_test::NotifySocket manager;
};

TEST_F(OvenWatchdog, SaysNothingWhereNoServiceManagerListens) {
    ::unsetenv("NOTIFY_SOCKET");
    ::setenv("WATCHDOG_USEC", "10000000", 1);
    EXPECT_EQ(0, kor_oven_watchdog_ready("/dev/ttyUSB0"));
    EXPECT_EQ(0, kor_oven_watchdog_kick());
    EXPECT_EQ(0, kor_oven_watchdog_stopping());
    EXPECT_FALSE(manager.wait([](const std::string &) { return true; }, 100ms));
}

TEST_F(OvenWatchdog, ReportsReadyWithTheDeviceAndStopping) {
    std::size_t cursor = 0;
    EXPECT_EQ(1, kor_oven_watchdog_ready("/dev/ttyUSB0"));
    EXPECT_TRUE(
        manager.wait_text("READY=1\nSTATUS=Oven manager running on /dev/ttyUSB0", 2s, &cursor));
    EXPECT_EQ(1, kor_oven_watchdog_stopping());
    EXPECT_TRUE(manager.wait_text("STOPPING=1\nSTATUS=Shutting down", 2s, &cursor));
    EXPECT_EQ(2u, manager.messages().size());
}

TEST_F(OvenWatchdog, FeedsTheWatchdogOnlyWhenOneIsAskedForThisProcess) {
    // Type=notify without WatchdogSec: no watchdog, nothing to feed.
    EXPECT_EQ(0, kor_oven_watchdog_kick());

    // Asked for another process (a parent's setting inherited through fork and exec).
    ::setenv("WATCHDOG_USEC", "10000000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid() + 1).c_str(), 1);
    EXPECT_EQ(0, kor_oven_watchdog_kick());
    EXPECT_FALSE(manager.wait([](const std::string &) { return true; }, 100ms));

    std::size_t cursor = 0;
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
    EXPECT_EQ(1, kor_oven_watchdog_kick());
    EXPECT_TRUE(manager.wait_text("WATCHDOG=1", 2s, &cursor));

    // Without WATCHDOG_PID the request holds for whoever reads it.
    ::unsetenv("WATCHDOG_PID");
    EXPECT_EQ(1, kor_oven_watchdog_kick());
    EXPECT_TRUE(manager.wait_text("WATCHDOG=1", 2s, &cursor));
    EXPECT_EQ(2u, manager.messages().size());
}

TEST_F(OvenWatchdog, AServiceManagerThatIsGoneIsAFailure) {
    ::setenv("NOTIFY_SOCKET", scratch.file("gone").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "10000000", 1);
    EXPECT_EQ(-1, kor_oven_watchdog_ready("/dev/ttyUSB0"));
    EXPECT_EQ(-1, kor_oven_watchdog_kick());
    EXPECT_EQ(-1, kor_oven_watchdog_stopping());
}

}  // namespace
