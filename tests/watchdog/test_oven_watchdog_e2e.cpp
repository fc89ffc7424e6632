// kor_oven_mgr under a service manager, end to end: the real program on the virtual IO board with
// NOTIFY_SOCKET naming a datagram socket of this test, as systemd would set it for Type=notify
// with WatchdogSec=. Start-up ends in READY=1, the control loop feeds the watchdog, a firmware
// transfer that blocks the loop feeds it block by block, and SIGTERM ends in STOPPING=1 and the
// exit status the unit counts as a regular stop.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "notify_socket.hpp"
#include "oven_process.hpp"

namespace {

using kor_test::Millis;
using kor_test::NotifySocket;
using kor_test::OvenRig;
using kor_test::e2e::kUpdateResponse;
using namespace std::chrono_literals;

constexpr const char *kWatchdog = "WATCHDOG=1";
// SIGTERM leaves the bus, the request loop ends with -ESHUTDOWN: exit status 256 - 108. The unit
// file lists it in SuccessExitStatus=.
constexpr int kStopExitStatus = 148;

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

class OvenWatchdogE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(manager.open(scratch.file("notify")));
        // The manager inherits these; WATCHDOG_PID stays unset, as for a test's child process.
        ::setenv("NOTIFY_SOCKET", scratch.file("notify").c_str(), 1);
        ::setenv("WATCHDOG_USEC", "60000000", 1);
    }
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << rig.diagnostics();
            for (const auto &m : manager.messages()) {
                std::cerr << "notify: " << m.text << "\n";
            }
        }
        rig.stop();
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
    }

    // The watchdog messages that arrived between from and to, and the longest time in that span
    // without one.
    std::pair<int, Millis> watchdog_between(NotifySocket::Clock::time_point from,
                                            NotifySocket::Clock::time_point to) {
        int count = 0;
        Millis longest(0);
        NotifySocket::Clock::time_point previous = from;
        for (const auto &m : manager.messages()) {
            if (m.text != kWatchdog || m.at < from || m.at > to) {
                continue;
            }
            ++count;
            longest = std::max(longest, std::chrono::duration_cast<Millis>(m.at - previous));
            previous = m.at;
        }
        longest = std::max(longest, std::chrono::duration_cast<Millis>(to - previous));
        return {count, longest};
    }

    kor_test::ScratchDir scratch;
    NotifySocket manager;
    OvenRig rig;
};

TEST_F(OvenWatchdogE2E, ReadyAfterStartUpThenTheControlLoopFeedsTheWatchdogUntilStopping) {
    OvenRig::Options options;
    options.wait_started = false;
    ASSERT_TRUE(rig.start(options)) << rig.error();

    std::size_t cursor = 0;
    const auto ready = manager.wait(
        [](const std::string &text) { return starts_with(text, "READY=1"); }, 15s, &cursor);
    ASSERT_TRUE(ready);
    // Sent once start-up has finished: its last line is already in the log.
    EXPECT_EQ(1, rig.mgr.log_count("Oven manager successfully started on " + rig.sim.link_path()));
    EXPECT_EQ("READY=1\nSTATUS=Oven manager running on " + rig.sim.link_path(), ready->text);

    // A 60 ms cycle: the watchdog hears from the loop again and again, without long pauses. A
    // busy machine may stretch the cycles, never into pauses of seconds.
    ASSERT_TRUE(manager.wait_text(kWatchdog, 5s, &cursor));
    const auto window_start = NotifySocket::Clock::now();
    EXPECT_TRUE(kor_test::wait_until(
        [&] { return watchdog_between(window_start, NotifySocket::Clock::now()).first >= 8; },
        10s));
    const auto [count, longest] = watchdog_between(window_start, NotifySocket::Clock::now());
    EXPECT_GE(count, 8);
    EXPECT_LT(longest, 5000ms);

    ASSERT_EQ(0, ::kill(rig.mgr.pid(), SIGTERM));
    EXPECT_TRUE(manager.wait_text("STOPPING=1\nSTATUS=Shutting down", 10s, &cursor));
    EXPECT_EQ(kStopExitStatus, rig.mgr.wait_exit(15s));
    const auto all = manager.messages();
    EXPECT_EQ(1, std::count_if(all.begin(), all.end(), [](const NotifySocket::Message &m) {
                  return starts_with(m.text, "READY=1");
              }));
}

TEST_F(OvenWatchdogE2E, AFirmwareTransferFeedsTheWatchdogWithEveryBlock) {
    OvenRig::Options options;
    // Replies at the wire time of 9600 baud: the transfer blocks the control loop for seconds.
    options.sim_args = {"--baud", "9600", "--firmware-out", rig.file("flashed.bin")};
    ASSERT_TRUE(rig.start(options)) << rig.error();
    ASSERT_TRUE(manager.wait_text(kWatchdog, 5s));

    constexpr int kBlocks = 100;
    const std::string path = rig.file("io_board.bin");
    {
        std::vector<char> image(kBlocks * 247, '\x5a');
        std::ofstream(path, std::ios::binary).write(image.data(), static_cast<long>(image.size()));
    }
    ASSERT_EQ(0, rig.offer_firmware("dravik_kor_board", path));

    std::size_t cursor = 0;
    const auto accepted = rig.update.events.wait(kUpdateResponse, 3s, &cursor);
    ASSERT_TRUE(accepted);
    ASSERT_EQ(1, accepted->int_at(0));
    const auto done = rig.update.events.wait(kUpdateResponse, 60s, &cursor);
    ASSERT_TRUE(done);
    ASSERT_EQ(3, done->int_at(0));

    // The loop is inside the transfer for all that time (two fixed 1 s waits and the blocks),
    // yet the watchdog heard from it after every acknowledged block.
    const auto took = std::chrono::duration_cast<Millis>(done->at - accepted->at);
    EXPECT_GT(took, 2000ms);
    // The feed after the trailer and the update response travel on two sockets to two threads
    // of this process, so that last feed may be stamped just after the response: the blocks'
    // feeds are the ones certain to fall inside the window.
    const auto [count, longest] = watchdog_between(accepted->at, done->at);
    EXPECT_GE(count, kBlocks);
    // Unfed, the gap would be the whole transfer (tens of seconds at 9600 baud); fed, it is the
    // longest fixed wait plus a block, with room for a loaded machine.
    EXPECT_LT(longest, 5000ms) << "transfer took " << took.count() << " ms";
}

}  // namespace
