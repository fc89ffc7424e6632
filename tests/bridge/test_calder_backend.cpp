// The master bridges as processes: calder_backend and pmx_backend2 on the virtual IO board's
// line, with the test playing the UI application over the IO channels. The channels' keys come
// from a scratch file (QVIO_FTOK_PATH), so a UI engine running on the same machine is not
// disturbed, and the queues go with the test.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bridge_process.hpp"
#include "log_capture.hpp"
#include "sim_process.hpp"
#include "vix_io.h"

namespace {

using namespace std::chrono_literals;
using kor_test::pattern;

struct Variant {
    const char *program;
    const char *send_channel;     // the bridge's, on which the test receives
    const char *receive_channel;  // the bridge's, on which the test sends
    const char *version;
};

const Variant kCalder = {"calder_backend", "CalderChannelIn", "CalderChannelOut", "Version 129"};
// Both master bridges reply on the UI's one reply channel; only the receive channel differs.
const Variant kPmx2 = {"pmx_backend2", "CalderChannelIn", "CalderChannelOut2", "Version 240206"};

class BridgeTest : public ::testing::Test {
  protected:
    void start(const Variant &variant, const std::vector<std::string> &extra_env = {}) {
        variant_ = variant;
        { std::ofstream(ftok_file_).put('k'); }
        ASSERT_EQ(::setenv("QVIO_FTOK_PATH", ftok_file_.c_str(), 1), 0);
        ASSERT_TRUE(board_.start({"--firmware-out", firmware_out_})) << board_.last_error();
        ASSERT_TRUE(ui_.open_receive(variant.send_channel));
        std::vector<std::string> env = {"PMX_SERIAL_DEVICE=" + board_.link_path(),
                                        "PMX_LOG_FILE=" + log_, "PMX_FIRMWARE_FILE=" + firmware_,
                                        "QVIO_FTOK_PATH=" + ftok_file_};
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        ASSERT_TRUE(bridge_.start(variant.program, env, dir_.file("bridge.out")));
        ASSERT_TRUE(ui_.open_send(variant.receive_channel, 5s))
            << kor_test::read_file(dir_.file("bridge.out")) << kor_test::read_file(log_);
    }
    void TearDown() override {
        ui_.close();
        bridge_.stop();
        // A bridge that died would leave its queue: taking it over and closing removes it.
        if (variant_.receive_channel != nullptr) {
            vix_io_close(vix_io_open(variant_.receive_channel, VIX_IO_MODE_RECEIVE));
        }
    }

    // Sends a request and returns the reply text; "<no reply>" when none came.
    std::string ask(const std::string &name, const std::vector<uint16_t> &fields,
                    std::chrono::milliseconds timeout = 5s) {
        if (ui_.send(name, fields) != 0) {
            return "<send failed>";
        }
        return reply(timeout);
    }
    std::string reply(std::chrono::milliseconds timeout = 5s) {
        const auto event = ui_.receive(timeout);
        if (!event) {
            return "<no reply>";
        }
        EXPECT_EQ(event->name, "modbus_ret");
        EXPECT_EQ(event->format, "1s0 modbus_read_data");
        EXPECT_FALSE(event->data.empty());
        if (!event->data.empty()) {
            EXPECT_EQ(event->data.back(), 0) << "the text goes with its NUL";
        }
        return event->text();
    }
    bool logged(const std::string &line) { return kor_test::has_line(log_, line); }

    kor_test::ScratchDir dir_;
    std::string ftok_file_ = dir_.file("ftok");
    std::string log_ = dir_.file("pmx_backend.log");
    std::string firmware_ = dir_.file("qxt.bin");
    std::string firmware_out_ = dir_.file("received.bin");
    Variant variant_{};
    kor_test::SimProcess board_;
    kor_test::UiPeer ui_;
    kor_test::BridgeProcess bridge_;
};

TEST_F(BridgeTest, StartsUpAndLogsEachStep) {
    start(kCalder);
    ASSERT_EQ(ask("modbus_r", {999, 1}), "999,1,511,");
    const auto lines = kor_test::read_lines(log_);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "logging_start");
    EXPECT_EQ(lines[1], "Version 129");
    EXPECT_EQ(lines[2], "Baud: 38400");
    EXPECT_TRUE(
        logged("RS485 mode not supported by " + board_.link_path() + ", using the port as it is"));
    EXPECT_TRUE(logged("Trying to open the connection to the frontend"));
    EXPECT_TRUE(logged("Send channel: CalderChannelIn successfully opened"));
    EXPECT_TRUE(logged("PMX_MBB start receive_thread"));
    EXPECT_TRUE(logged("PMX_MBB open receive successfully"));

    // A stop signal ends it cleanly and takes its queue with it.
    EXPECT_EQ(bridge_.stop(), 0);
    EXPECT_EQ(vix_io_open("CalderChannelOut", VIX_IO_MODE_SEND), nullptr);
}

TEST_F(BridgeTest, ReadsHoldingRegisters) {
    start(kCalder);
    ASSERT_EQ(board_.command("set 10 111"), "ok");
    ASSERT_EQ(board_.command("set 11 222"), "ok");
    ASSERT_EQ(board_.command("set 12 65535"), "ok");
    EXPECT_EQ(ask("modbus_r", {10, 3}), "10,3,111,222,65535,");
    // Address 999 is the bridge's own: not read, answered with 511.
    EXPECT_EQ(ask("modbus_r", {999, 4}), "999,4,511,");
    // Beyond the Modbus limit of 125 or nothing at all: a failure, the line untouched.
    const long served = board_.served();
    EXPECT_EQ(ask("modbus_r", {10, 126}), "10,126");
    EXPECT_EQ(ask("modbus_r", {10, 0}), "10,0");
    EXPECT_EQ(board_.served(), served);
    // 125 registers are the most one read takes.
    const std::string all = ask("modbus_r", {0, 125});
    EXPECT_EQ(std::count(all.begin(), all.end(), ','), 127) << all;
}

TEST_F(BridgeTest, ReadRetriesAndCountsFailures) {
    start(kCalder);
    ASSERT_EQ(board_.command("set 10 42"), "ok");
    ASSERT_EQ(board_.command("exception 4 1"), "ok");
    EXPECT_EQ(ask("modbus_r", {10, 1}), "10,1,42,");
    EXPECT_TRUE(logged("re-read 10, 1"));

    ASSERT_EQ(board_.command("exception 4 3"), "ok");
    EXPECT_EQ(ask("modbus_r", {10, 1}), "10,1");
    EXPECT_TRUE(logged("re-read 10, 2"));
    // One failed call, then three: four read failures, nothing else.
    EXPECT_EQ(ask("sys", {0, 0}), "sys,0,4,4,0,0,511,");
}

TEST_F(BridgeTest, WritesHoldingRegisters) {
    start(kCalder);
    ASSERT_EQ(board_.command("writes clear"), "ok");
    EXPECT_EQ(ask("modbus_p", {20, 2, 7, 65000}), "modbus_p,20,2,116,");
    EXPECT_EQ(board_.command("get 20"), "7");
    EXPECT_EQ(board_.command("get 21"), "65000");
    EXPECT_EQ(board_.command("writes"), "20:=7 21:=65000");

    // Fewer values than the count, a count beyond the limit, none: failures, nothing written.
    EXPECT_EQ(ask("modbus_p", {20, 3, 1, 2}), "modbus_p,20,3,102,");
    std::vector<uint16_t> many(2 + 124, 5);
    many[0] = 20;
    many[1] = 124;
    EXPECT_EQ(ask("modbus_p", many), "modbus_p,20,124,102,");
    EXPECT_EQ(ask("modbus_p", {20, 0}), "modbus_p,20,0,102,");
    EXPECT_EQ(board_.command("writes"), "20:=7 21:=65000");

    // A refused write is retried and answered as a failure.
    ASSERT_EQ(board_.command("exception 4 3"), "ok");
    EXPECT_EQ(ask("modbus_p", {22, 1, 9}), "modbus_p,22,1,102,");
    EXPECT_TRUE(logged("retry write 22 1 1"));
    EXPECT_TRUE(logged("retry write 22 1 2"));
    EXPECT_EQ(ask("sys", {0, 0}), "sys,0,3,0,3,0,511,");
}

TEST_F(BridgeTest, FileTransferSendsTheFirmwareAndDropsRequestsMeanwhile) {
    const auto image = pattern(2 * 128 + 40);
    kor_test::write_file(firmware_, image);
    start(kCalder);
    ASSERT_EQ(ui_.send("modbus_ft", {}), 0);
    // Sent while the transfer runs (it takes three pauses of 100 ms at least): dropped.
    ASSERT_EQ(ui_.send("modbus_r", {999, 1}), 0);
    ASSERT_EQ(ui_.send("sys", {0, 0}), 0);
    EXPECT_EQ(reply(), "FT000,blocks,3");
    EXPECT_EQ(kor_test::read_file(firmware_out_), std::string(image.begin(), image.end()));
    EXPECT_TRUE(logged("Entered FILE TRANSFER mode"));
    EXPECT_TRUE(logged("FT file size: 296.000000, numblocks: 3"));
    EXPECT_TRUE(logged("PMX_MBB dropped 2 requests received during the file transfer"));
    // Served again, and the dropped requests never get an answer.
    ASSERT_EQ(board_.command("set 10 5"), "ok");
    EXPECT_EQ(ask("modbus_r", {10, 1}), "10,1,5,");
    EXPECT_EQ(reply(200ms), "<no reply>");

    std::remove(firmware_.c_str());
    EXPECT_EQ(ask("modbus_ft", {}), "FT001,Error,-1");
    EXPECT_TRUE(logged("Failed to open file: " + firmware_));
    EXPECT_EQ(ask("sys", {0, 0}), "sys,0,1,0,0,1,511,");
}

TEST_F(BridgeTest, SkipsMalformedAndUnknownEvents) {
    start(kCalder);
    ASSERT_EQ(board_.command("set 10 77"), "ok");
    // A total size that does not match the message, then a name without its NUL.
    std::vector<uint8_t> bad(24, 0);
    bad[0] = 200;
    ASSERT_EQ(ui_.send_raw(bad), 0);
    std::vector<uint8_t> no_nul = {24,  0,   0,   0,   4, 0, 1, 0, 1, 0, 0, 0,
                                   'a', 'b', 'c', 'd', 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(ui_.send_raw(no_nul), 0);
    ASSERT_EQ(ui_.send("no_such_event", {1, 2}), 0);
    ASSERT_EQ(ui_.send("modbus_r", {10}), 0);  // no count: dropped
    EXPECT_EQ(ask("modbus_r", {10, 1}), "10,1,77,");
    EXPECT_EQ(reply(200ms), "<no reply>");
    EXPECT_TRUE(logged("PMX_MBB malformed message dropped"));
    EXPECT_TRUE(logged("PMX_MBB modbus_r without address and count dropped"));
    EXPECT_TRUE(bridge_.running());
}

TEST_F(BridgeTest, SysTogglesDebugAndReportsStatus) {
    start(kCalder);
    EXPECT_EQ(ask("sys", {1, 0}), "sys,1,0,0,0,0,511,");
    EXPECT_TRUE(logged("PMX_MBB libmodbus debug on"));
    EXPECT_EQ(ask("sys", {2, 0}), "sys,1,0,0,0,0,511,");
    EXPECT_EQ(ask("sys", {1, 0}), "sys,0,0,0,0,0,511,");
    EXPECT_EQ(ask("sys", {}), "sys,0,0,0,0,0,511,");
}

TEST_F(BridgeTest, SecondVariantWritesReadsBackAndReadsInputRegisters) {
    start(kPmx2);
    EXPECT_TRUE(logged("Version 240206"));
    EXPECT_TRUE(logged("Send channel: CalderChannelIn successfully opened"));
    EXPECT_EQ(ask("mb_const_rw", {30, 2, 5, 6}), "mb_const_rw,30,2,5,6,");
    EXPECT_EQ(board_.command("get 31"), "6");
    EXPECT_EQ(ask("mb_const_rw", {30, 3, 5, 6}), "mb_const_rw,30,3,102,");
    EXPECT_EQ(ask("modbus_r", {30, 2}), "30,2,5,6,");
    // The virtual board has no input registers: its exception makes a failure reply.
    EXPECT_EQ(ask("mb_ir", {0, 2}), "0,2");
    EXPECT_TRUE(logged("re-read 0, 2"));
    EXPECT_EQ(ask("mb_ir", {0, 126}), "0,126");
    EXPECT_EQ(bridge_.stop(), 0);
}

TEST_F(BridgeTest, SendChannelCanBeNamed) {
    const Variant own_replies = {"pmx_backend2", "UiRepliesOfLine2", "CalderChannelOut2",
                                 "Version 240206"};
    start(own_replies, {"PMX_SEND_CHANNEL=UiRepliesOfLine2"});
    EXPECT_EQ(ask("modbus_r", {999, 1}), "999,1,511,");
    EXPECT_TRUE(logged("Send channel: UiRepliesOfLine2 successfully opened"));
    EXPECT_EQ(bridge_.stop(), 0);
}

TEST_F(BridgeTest, FirstVariantIgnoresTheSecondVariantsEvents) {
    start(kCalder);
    ASSERT_EQ(board_.command("writes clear"), "ok");
    ASSERT_EQ(ui_.send("mb_const_rw", {30, 1, 5}), 0);
    ASSERT_EQ(ui_.send("mb_ir", {0, 1}), 0);
    EXPECT_EQ(ask("modbus_r", {999, 1}), "999,1,511,");
    EXPECT_EQ(reply(200ms), "<no reply>");
    EXPECT_EQ(board_.command("writes"), "");
}

}  // namespace
