// The virtual IO board as a process, driven the way the oven manager and the tests use it: raw
// libmodbus on its pseudo-terminal, text commands on its control socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "log_capture.hpp"
#include "raw_master.hpp"
#include "sim_process.hpp"

namespace {

using kor_test::SimProcess;
using namespace std::chrono_literals;

using kor_test::RawMaster;
using kor_test::with_crc;

class IoBoardSim : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(sim.start()) << sim.last_error(); }
    SimProcess sim;
};

TEST_F(IoBoardSim, AnnouncesItsPseudoTerminalAndPublishesTheLink) {
    const std::string out = sim.output();
    const std::string pty = sim.line_path();
    EXPECT_EQ(out, "kor_ioboard_sim: serving slave 1 on " + pty + "\n");
    EXPECT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
    EXPECT_EQ(std::filesystem::read_symlink(sim.link_path()).string(), pty);
    EXPECT_EQ(sim.status_field("line"), pty);
}

TEST_F(IoBoardSim, ServesHoldingRegistersAndLogsTheMastersWritesInOrder) {
    RawMaster master(sim.link_path());
    ASSERT_TRUE(master.ok());

    EXPECT_EQ(sim.command("set 106 350"), "ok");
    EXPECT_EQ(master.read(106), 350);
    EXPECT_EQ(master.read(499), 0);

    EXPECT_EQ(master.write(56, 400), 1);
    const uint16_t block[3] = {1, 2, 65535};
    EXPECT_EQ(modbus_write_registers(master.ctx(), 20, 3, block), 3);
    EXPECT_EQ(sim.command("get 56"), "400");
    EXPECT_EQ(sim.command("get 22"), "65535");

    uint16_t values[3] = {};
    ASSERT_EQ(modbus_read_registers(master.ctx(), 20, 3, values), 3);
    EXPECT_EQ(values[0], 1);
    EXPECT_EQ(values[2], 65535);

    // Beyond the map: libmodbus's illegal-address exception, and no write is logged.
    uint16_t value = 0;
    EXPECT_EQ(modbus_read_registers(master.ctx(), 500, 1, &value), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(master.write(500, 1), -1);
    EXPECT_EQ(errno, EMBXILADD);
    const uint16_t across[2] = {7, 8};
    EXPECT_EQ(modbus_write_registers(master.ctx(), 499, 2, across), -1);

    // Control-socket sets are the board's own doing, not the master's.
    EXPECT_EQ(sim.command("writes"), "56:=400 20:=1 21:=2 22:=65535");
    EXPECT_EQ(sim.status_field("writes"), "4");
    EXPECT_EQ(sim.command("writes clear"), "ok");
    EXPECT_EQ(sim.command("writes"), "");
    EXPECT_EQ(master.write(1, 1), 1);
    EXPECT_EQ(sim.command("writes"), "1:=1");
}

// "writes take" stamps each write with the monotonic clock other processes read, hands every
// write out exactly once, and leaves the plain log to its own readers no longer.
TEST_F(IoBoardSim, TakesTheWritesWithTheTimeTheBoardAppliedThem) {
    RawMaster master(sim.link_path());
    ASSERT_TRUE(master.ok());
    auto now_us = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    };
    const long long before = now_us();
    EXPECT_EQ(master.write(56, 450), 1);
    const long long between = now_us();
    EXPECT_EQ(master.write(57, 7), 1);
    const long long after = now_us();

    const std::string taken = sim.command("writes take");
    long long t1 = 0;
    long long t2 = 0;
    ASSERT_EQ(std::sscanf(taken.c_str(), "56:=450@%lld 57:=7@%lld", &t1, &t2), 2) << taken;
    EXPECT_LE(before, t1);
    EXPECT_LE(t1, between);
    EXPECT_LE(between, t2);
    EXPECT_LE(t2, after);
    EXPECT_EQ(sim.command("writes take"), "");
    EXPECT_EQ(sim.command("writes"), "");
    EXPECT_EQ(sim.command("writes give").rfind("error: ", 0), 0u);
}

TEST_F(IoBoardSim, ControlCommandsCheckTheirArgumentsAndServeSeveralClients) {
    EXPECT_EQ(sim.command("get 500").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.command("get -1").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.command("get 12abc").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.command("set 1 65536").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.command("set 1").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.command("silence soon").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.command("silence -1").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.command("exception 256").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.command("exception 4 0").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.command("frobnicate 1"), "error: unknown command 'frobnicate'");
    EXPECT_EQ(sim.command(""), "error: empty command");
    for (const char *bad : {"fault 198 1", "fault 213 1", "fault 199", "fault 199 65536",
                            "forget now", "cpi-corrupt x", "food -1", "food 0", "soak 0",
                            "soak 65536", "soak", "physics maybe", "cpi x"}) {
        EXPECT_EQ(sim.command(bad).rfind("error: usage: ", 0), 0u) << bad;
    }
    // A soak needs a heating oven.
    EXPECT_EQ(sim.command("soak 30").rfind("error: a soak needs a heating oven", 0), 0u);
    EXPECT_EQ(sim.command("set 7 77"), "ok");
    EXPECT_EQ(sim.command("  get\t7 "), "77");

    kor_test::ControlClient second;
    ASSERT_TRUE(second.connect(sim.control_path()));
    EXPECT_EQ(second.command("set 8 88"), "ok");
    EXPECT_EQ(sim.command("get 8"), "88");
    EXPECT_EQ(second.command("get 7"), "77");
    second.disconnect();
    EXPECT_EQ(sim.command("get 7"), "77");
}

TEST_F(IoBoardSim, SilenceStopsAllAnswersUntilItRunsOut) {
    RawMaster master(sim.link_path(), 100);
    ASSERT_TRUE(master.ok());
    ASSERT_EQ(sim.command("set 3 33"), "ok");
    EXPECT_EQ(sim.status_field("state"), "serving");

    ASSERT_EQ(sim.command("silence 0.4"), "ok");
    EXPECT_EQ(sim.status_field("state"), "silent");
    EXPECT_GT(std::stod(sim.status_field("silence")), 0.1);
    const long served = sim.served();
    EXPECT_EQ(master.read(3), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(master.write(3, 1), -1);
    EXPECT_EQ(sim.served(), served);
    EXPECT_EQ(sim.command("get 3"), "33");  // a silenced write is not applied

    EXPECT_TRUE(
        kor_test::wait_until([&] { return sim.status_field("state") == "serving"; }, 2000ms));
    EXPECT_EQ(master.read(3), 33);

    // A long silence ends early on "silence 0".
    ASSERT_EQ(sim.command("silence 60"), "ok");
    EXPECT_EQ(master.read(3), -1);
    ASSERT_EQ(sim.command("silence 0"), "ok");
    EXPECT_EQ(master.read(3), 33);
}

TEST_F(IoBoardSim, InjectedExceptionsAreOneShotUnlessCounted) {
    RawMaster master(sim.link_path());
    ASSERT_TRUE(master.ok());

    ASSERT_EQ(sim.command("exception 4"), "ok");
    EXPECT_EQ(sim.status_field("exception"), "4x1");
    EXPECT_EQ(master.read(0), -1);
    EXPECT_EQ(errno, EMBXSFAIL);
    EXPECT_EQ(master.read(0), 312);  // the board's firmware version
    EXPECT_EQ(sim.status_field("exception"), "none");

    ASSERT_EQ(sim.command("exception 6 2"), "ok");
    EXPECT_EQ(master.write(10, 1), -1);
    EXPECT_EQ(errno, EMBXSBUSY);
    EXPECT_EQ(master.write(10, 2), -1);
    EXPECT_EQ(errno, EMBXSBUSY);
    EXPECT_EQ(master.write(10, 3), 1);
    EXPECT_EQ(sim.command("writes"), "10:=3");

    ASSERT_EQ(sim.command("exception 2 5"), "ok");
    ASSERT_EQ(sim.command("exception 0"), "ok");
    EXPECT_EQ(master.read(10), 3);
}

TEST_F(IoBoardSim, IgnoresOtherSlavesAndCorruptedFrames) {
    RawMaster master(sim.link_path());
    ASSERT_TRUE(master.ok());
    ASSERT_EQ(sim.command("set 0 42"), "ok");
    const long served = sim.served();

    modbus_set_slave(master.ctx(), 2);
    EXPECT_EQ(master.read(0), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(sim.status_field("other_slave"), "1");
    modbus_set_slave(master.ctx(), 1);

    auto request = with_crc({0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
    auto corrupted = request;
    corrupted.back() ^= 0x5A;
    EXPECT_TRUE(master.exchange_raw(corrupted, 200ms, 1).empty());
    EXPECT_EQ(sim.status_field("bad_crc"), "1");
    EXPECT_EQ(sim.served(), served);

    // Two requests back to back on the line are still two frames with two answers.
    auto twice = request;
    twice.insert(twice.end(), request.begin(), request.end());
    const auto replies = master.exchange_raw(twice, 500ms, 14);
    const auto one = with_crc({0x01, 0x03, 0x02, 0x00, 42});
    std::vector<uint8_t> expected = one;
    expected.insert(expected.end(), one.begin(), one.end());
    EXPECT_EQ(replies, expected);

    // An unknown function gets libmodbus's illegal-function exception.
    EXPECT_EQ(master.exchange_raw(with_crc({0x01, 0x42, 0x00}), 300ms, 5),
              with_crc({0x01, 0xC2, 0x01}));
    EXPECT_EQ(master.read(0), 42);
}

TEST(IoBoardSimWire, BaudDelaysEachReplyByItsWireTime) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--baud", "9600"})) << sim.last_error();
    RawMaster master(sim.link_path(), 1000);
    ASSERT_TRUE(master.ok());
    uint16_t values[100];
    const auto start = std::chrono::steady_clock::now();
    // 205 reply bytes at 9600 baud, 10 bits each: 213.5 ms on the wire.
    ASSERT_EQ(modbus_read_registers(master.ctx(), 0, 100, values), 100);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 210ms);
    // A wire time counted twice or in the wrong unit shows; a busy machine's stalls do not.
    EXPECT_LT(elapsed, 2000ms);
}

TEST(IoBoardSimLifecycle, QuitAndSignalsRemoveTheLinkAndTheControlSocket) {
    for (int how : {0, SIGTERM, SIGINT}) {
        SimProcess sim;
        // A stale file at the link path is replaced.
        ASSERT_EQ(::symlink("/nonexistent", sim.link_path().c_str()), 0);
        ASSERT_TRUE(sim.start()) << sim.last_error();
        EXPECT_NE(std::filesystem::read_symlink(sim.link_path()).string(), "/nonexistent");
        EXPECT_EQ(how == 0 ? sim.stop() : sim.signal_and_wait(how), 0) << how;
        struct stat st {};
        EXPECT_NE(::lstat(sim.link_path().c_str(), &st), 0) << how;
        EXPECT_NE(::lstat(sim.control_path().c_str(), &st), 0) << how;
    }
}

TEST(IoBoardSimLifecycle, RefusesBadOptions) {
    kor_test::ScratchDir dir;
    for (std::vector<std::string> args : {std::vector<std::string>{"--baud", "fast"},
                                          {"--speed", "0"},
                                          {"--frobnicate", "1"},
                                          {"--device", "/dev/null", "--link", dir.file("x")},
                                          {"--device", dir.file("none")}}) {
        std::string line = kor_test::bin_dir() + "/kor_ioboard_sim";
        for (const auto &a : args) {
            line += " '" + a + "'";
        }
        line += " >/dev/null 2>&1";
        const int status = std::system(line.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << line;
    }
    const std::string help = kor_test::bin_dir() + "/kor_ioboard_sim --help >/dev/null";
    EXPECT_EQ(std::system(help.c_str()), 0);
}

// Trouble staged on the command line is the control command of the option's name; a bad one keeps
// the board from starting, as a bad command's arguments are refused.
TEST(IoBoardSimTrouble, OptionsStageTheirCommandsAndBadArgumentsAreRefused) {
    kor_test::SimProcess sim;
    ASSERT_TRUE(sim.start({"--delay", "30", "--late", "2,2500", "--bad-crc", "2", "--wrong-slave",
                           "1", "--cpi-corrupt", "short,2", "--flash", "1.5,400"}))
        << sim.last_error();
    EXPECT_EQ("30", sim.status_field("delay"));
    EXPECT_EQ("2x2500", sim.status_field("late"));
    EXPECT_EQ("3", sim.status_field("spoiled"));
    EXPECT_NE(std::string::npos, sim.command("cpi").find(" corrupt=2"));
    for (const char *bad :
         {"delay -1", "delay 60001", "late", "late 1 0", "bad-crc x", "wrong-slave 1 2",
          "cpi-corrupt crc x", "cpi-corrupt bogus", "flash", "flash 1 65536"}) {
        EXPECT_EQ(sim.command(bad).rfind("error: usage: ", 0), 0u) << bad;
    }
    for (const char *bad : {"--late x", "--flash 1,70000", "--cpi-corrupt bogus"}) {
        const std::string line =
            kor_test::bin_dir() + "/kor_ioboard_sim " + bad + " >/dev/null 2>&1";
        const int status = std::system(line.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << line;
    }
}

}  // namespace
