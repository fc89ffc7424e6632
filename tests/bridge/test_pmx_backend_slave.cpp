// The slave relay as a process: the test is the Modbus master on the other end of a
// pseudo-terminal (hand-built RTU frames) and the UI application on the IO channels.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridge_process.hpp"
#include "log_capture.hpp"
#include "modbus_ft.h"
#include "vix_io.h"

namespace {

using namespace std::chrono_literals;
using Frame = std::vector<uint8_t>;

Frame with_crc(Frame frame) {
    const uint16_t crc = modbus_ft_calculate_crc(frame.data(), static_cast<int>(frame.size()));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

uint8_t hi(int v) {
    return static_cast<uint8_t>((v >> 8) & 0xFF);
}
uint8_t lo(int v) {
    return static_cast<uint8_t>(v & 0xFF);
}

class SlaveRelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        { std::ofstream(ftok_file_).put('k'); }
        ASSERT_EQ(::setenv("QVIO_FTOK_PATH", ftok_file_.c_str(), 1), 0);
        line_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(line_, 0);
        ASSERT_EQ(::grantpt(line_), 0);
        ASSERT_EQ(::unlockpt(line_), 0);
        const std::string device = ::ptsname(line_);
        ASSERT_TRUE(ui_.open_receive("PmxSlaveChannelIn"));
        ASSERT_TRUE(relay_.start(
            "pmx_backend_slave",
            {"PMX_SERIAL_DEVICE=" + device, "PMX_LOG_FILE=" + log_, "QVIO_FTOK_PATH=" + ftok_file_},
            dir_.file("relay.out")));
        ASSERT_TRUE(ui_.open_send("PmxSlaveChannelOut", 5s));
        ASSERT_TRUE(kor_test::wait_until(
            [&] {
                return kor_test::has_line(log_,
                                          "Send channel: PmxSlaveChannelIn successfully opened");
            },
            5s))
            << kor_test::read_file(log_);
    }
    void TearDown() override {
        ui_.close();
        relay_.stop();
        vix_io_close(vix_io_open("PmxSlaveChannelOut", VIX_IO_MODE_RECEIVE));
        if (line_ >= 0) {
            ::close(line_);
        }
    }

    // Sends a request frame (CRC added) and collects the answer: expect bytes, or what came
    // within the wait.
    Frame exchange(const Frame &request, std::size_t expect) {
        const Frame frame = with_crc(request);
        if (::write(line_, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
            return {};
        }
        Frame in;
        const auto deadline = std::chrono::steady_clock::now() + 1s;
        while (in.size() < expect) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{line_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            uint8_t bytes[512];
            const ssize_t n = ::read(line_, bytes, sizeof bytes);
            if (n <= 0) {
                break;
            }
            in.insert(in.end(), bytes, bytes + n);
        }
        return in;
    }
    // The registers read by the master, empty when the read failed.
    std::vector<uint16_t> read(int address, int count) {
        const Frame reply = exchange({1, 0x03, hi(address), lo(address), hi(count), lo(count)},
                                     5 + 2 * static_cast<std::size_t>(count));
        std::vector<uint16_t> values;
        if (reply.size() != 5 + 2 * static_cast<std::size_t>(count) || reply[1] != 0x03 ||
            with_crc(Frame(reply.begin(), reply.end() - 2)) != reply) {
            return values;
        }
        for (int i = 0; i < count; ++i) {
            values.push_back(static_cast<uint16_t>((reply[3 + 2 * i] << 8) | reply[4 + 2 * i]));
        }
        return values;
    }
    Frame write(int address, const std::vector<uint16_t> &values, std::size_t expect = 8) {
        const int count = static_cast<int>(values.size());
        Frame request = {1,
                         0x10,
                         hi(address),
                         lo(address),
                         hi(count),
                         lo(count),
                         static_cast<uint8_t>(2 * count)};
        for (uint16_t v : values) {
            request.push_back(hi(v));
            request.push_back(lo(v));
        }
        return exchange(request, expect);
    }
    std::string next_report(std::chrono::milliseconds timeout = 3s) {
        const auto event = ui_.receive(timeout);
        if (!event) {
            return "<no report>";
        }
        EXPECT_EQ(event->name, "modbus_slave_write");
        EXPECT_EQ(event->format, "1s0 modbus_write_data");
        return event->text();
    }

    kor_test::ScratchDir dir_;
    std::string ftok_file_ = dir_.file("ftok");
    std::string log_ = dir_.file("pmx_backend_slave.log");
    int line_ = -1;
    kor_test::UiPeer ui_;
    kor_test::BridgeProcess relay_;
};

TEST_F(SlaveRelayTest, MasterReadsWhatTheUiSets) {
    EXPECT_EQ(read(100, 3), (std::vector<uint16_t>{0, 0, 0}));
    ASSERT_EQ(ui_.send("modbus_slave_set", {100, 3, 11, 22, 65535}), 0);
    EXPECT_TRUE(kor_test::wait_until(
        [&] {
            return read(100, 3) == std::vector<uint16_t>{11, 22, 65535};
        },
        3s));
    // The last register of the map is there too.
    ASSERT_EQ(ui_.send("modbus_slave_set", {999, 1, 4242}), 0);
    EXPECT_TRUE(
        kor_test::wait_until([&] { return read(999, 1) == std::vector<uint16_t>{4242}; }, 3s));

    // Beyond the map, or fewer values than the count: nothing changes.
    ASSERT_EQ(ui_.send("modbus_slave_set", {999, 2, 1, 2}), 0);
    ASSERT_EQ(ui_.send("modbus_slave_set", {100, 3, 1, 2}), 0);
    ASSERT_EQ(ui_.send("modbus_slave_set", {100}), 0);
    EXPECT_TRUE(kor_test::wait_until(
        [&] { return kor_test::has_line(log_, "PMX_SLAVE modbus_slave_set 100,3 refused"); }, 3s));
    EXPECT_TRUE(kor_test::has_line(log_, "PMX_SLAVE modbus_slave_set 999,2 refused"));
    EXPECT_EQ(read(100, 3), (std::vector<uint16_t>{11, 22, 65535}));
    EXPECT_EQ(read(999, 1), (std::vector<uint16_t>{4242}));
    // A read beyond the map gets an exception.
    const Frame refused = exchange({1, 0x03, hi(999), lo(999), 0, 2}, 5);
    ASSERT_EQ(refused.size(), 5u);
    EXPECT_EQ(refused[1], 0x83);
}

TEST_F(SlaveRelayTest, MasterWritesAreReportedToTheUi) {
    EXPECT_EQ(write(200, {5, 6, 700}), with_crc({1, 0x10, 0, 200, 0, 3}));
    EXPECT_EQ(next_report(), "200,3,5,6,700,");
    EXPECT_EQ(read(200, 3), (std::vector<uint16_t>{5, 6, 700}));

    EXPECT_EQ(exchange({1, 0x06, hi(300), lo(300), 0, 7}, 8),
              with_crc({1, 0x06, hi(300), lo(300), 0, 7}));
    EXPECT_EQ(next_report(), "300,1,7,");

    // A write beyond the map is refused with an exception and not reported.
    const Frame refused = write(999, {1, 2}, 5);
    ASSERT_GE(refused.size(), 2u);
    EXPECT_EQ(refused[1], 0x90);
    // Nor is a read.
    EXPECT_EQ(read(300, 1), (std::vector<uint16_t>{7}));
    EXPECT_EQ(next_report(300ms), "<no report>");

    EXPECT_EQ(relay_.stop(), 0);
    EXPECT_EQ(vix_io_open("PmxSlaveChannelOut", VIX_IO_MODE_SEND), nullptr);
}

}  // namespace
