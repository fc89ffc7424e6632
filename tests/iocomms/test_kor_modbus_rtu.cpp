// The libmodbus call table on a pseudo-terminal: a port without RS-485 support is used as it is,
// long time-outs are accepted, raw replies are gathered with a bound, and bytes beyond a raw reply
// are never taken for the next one. A late register reply against the virtual board: the
// integration test test_board_misbehaviour.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kor_modbus.h"
#include "log_capture.hpp"

using namespace std::chrono_literals;
using kor_test::LogCapture;

namespace {

uint16_t crc16(const std::vector<uint8_t> &bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
        }
    }
    return crc;
}

// A read-holding-registers reply of one word from slave 1, with its CRC.
std::vector<uint8_t> reply_of(uint16_t value) {
    std::vector<uint8_t> frame = {0x01, 0x03, 0x02, static_cast<uint8_t>(value >> 8),
                                  static_cast<uint8_t>(value & 0xFF)};
    uint16_t crc = crc16(frame);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// Reads exactly n bytes from the board's end of the line, or fewer after the timeout.
std::vector<uint8_t> read_n(int fd, size_t n, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 10) > 0) {
            uint8_t buf[64];
            ssize_t got = read(fd, buf, std::min(sizeof(buf), n - out.size()));
            if (got > 0) {
                out.insert(out.end(), buf, buf + got);
            }
        }
    }
    return out;
}

class RtuTable : public ::testing::Test {
  protected:
    void SetUp() override {
        table = kor_create_modbus_instance();
        ASSERT_NE(nullptr, table);
        board = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(board, 0);
        ASSERT_EQ(0, grantpt(board));
        ASSERT_EQ(0, unlockpt(board));
        device = ptsname(board);
    }
    void TearDown() override {
        if (ctx != nullptr) {
            table->close(ctx);
            table->free(ctx);
        }
        if (board >= 0) {
            close(board);
        }
        std::free(table);
    }
    void open_link() {
        ctx = table->new_rtu(device.c_str(), 57600, 'N', 8, 1);
        ASSERT_NE(nullptr, ctx);
        ASSERT_EQ(0, table->set_slave(ctx, 1));
        ASSERT_EQ(0, table->connect(ctx));
    }
    void send_to_link(const std::vector<uint8_t> &bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(board, bytes.data(), bytes.size()));
    }
    // Waits until n bytes wait on the link's end, unread: the terminal layer hands written bytes
    // on a moment later, and later still on a busy machine.
    bool pending_on_link(int n) {
        const int fd = ::open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            return false;
        }
        const bool there = kor_test::wait_until(
            [&] {
                int count = 0;
                return ioctl(fd, FIONREAD, &count) == 0 && count >= n;
            },
            5s);
        ::close(fd);
        return there;
    }

    LogCapture log;
    modbus_interface_t *table = nullptr;
    int board = -1;
    std::string device;
    mbs_ctx_t *ctx = nullptr;
};

TEST_F(RtuTable, EverySlotIsFilledAndErrorTextsIncludeTheCpiCodes) {
    void *const *slots = reinterpret_cast<void *const *>(table);
    for (size_t i = 0; i < sizeof(modbus_interface_t) / sizeof(void *); ++i) {
        EXPECT_NE(nullptr, slots[i]) << "slot " << i;
    }
    EXPECT_STREQ("CRC check failed", table->strerror(KOR_CPI_ECRC));
    EXPECT_STREQ("Wrong controller address response", table->strerror(KOR_CPI_EADDRESS));
    EXPECT_STREQ("Wrong file number response", table->strerror(KOR_CPI_EFILE));
    EXPECT_STREQ("Wrong modbus command response", table->strerror(KOR_CPI_ECOMMAND));
    EXPECT_STREQ("Wrong block ID response", table->strerror(KOR_CPI_EBLOCK));
    EXPECT_STREQ("Wrong CPI response length", table->strerror(KOR_CPI_ELENGTH));
    EXPECT_STREQ(modbus_strerror(ETIMEDOUT), table->strerror(ETIMEDOUT));
    EXPECT_STREQ("Illegal data address", table->strerror(EMBXILADD));
    EXPECT_EQ(nullptr, table->new_rtu("", 57600, 'N', 8, 1));
}

TEST_F(RtuTable, PortWithoutRs485IsUsedAsItIs) {
    open_link();
    EXPECT_EQ(0, table->set_serial_mode(ctx, KOR_MODBUS_RTU_RS485));
    const std::string warning =
        "RS485 mode not supported by " + device + ", using the port as it is";
    EXPECT_EQ(1, log.count(warning)) << log.dump();
    for (const auto &line : log.lines()) {
        if (line.message == warning) {
            EXPECT_EQ(4, line.level);
            EXPECT_EQ("kor_oven_modbus", line.module);
        }
    }
    // A time-out of a second or more is accepted, also with the microseconds given in full.
    EXPECT_EQ(0, table->set_response_timeout(ctx, 1, 500000));
    EXPECT_EQ(0, table->set_response_timeout(ctx, 0, 1500000));
}

TEST_F(RtuTable, ReceiveRawGathersTheReplyWithinItsBound) {
    open_link();
    std::vector<uint8_t> reply = {0x01, 0x41, 0x00, 0x01, 0x00, 0x02, 0xAB, 0xCD};
    std::thread late([&] {
        std::this_thread::sleep_for(30ms);  // the reply arrives in two parts, a little late
        send_to_link({reply.begin(), reply.begin() + 3});
        std::this_thread::sleep_for(20ms);
        send_to_link({reply.begin() + 3, reply.end()});
    });
    uint8_t buffer[8] = {};
    EXPECT_EQ(8, table->receive_raw(ctx, buffer, 8));
    late.join();
    EXPECT_EQ(reply, std::vector<uint8_t>(buffer, buffer + 8));

    // A short reply ends at the bound with what came.
    send_to_link({0x01, 0x41, 0x00});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(3, table->receive_raw(ctx, buffer, 8));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 1000ms);
}

TEST_F(RtuTable, BytesBeyondARawReplyAreNotTakenForTheNextReply) {
    open_link();
    // A confirmation followed by two stray bytes: the next block must not start with them.
    std::vector<uint8_t> first = {0x01, 0x41, 0x00, 0x01, 0x00, 0x00, 0x11, 0x22, 0xEE, 0xEE};
    send_to_link(first);
    ASSERT_TRUE(pending_on_link(static_cast<int>(first.size())));
    uint8_t buffer[8] = {};
    EXPECT_EQ(8, table->receive_raw(ctx, buffer, 8));

    const uint8_t request[] = {0x01, 0x41, 0x00, 0x01, 0x00, 0x01, 0xAA};
    std::vector<uint8_t> second = {0x01, 0x41, 0x00, 0x01, 0x00, 0x01, 0x33, 0x44};
    std::thread board_side([&] {
        EXPECT_EQ(9u, read_n(board, 9, 2000ms).size());  // the request and its CRC
        send_to_link(second);
    });
    ASSERT_GT(table->send_raw_request(ctx, request, sizeof request), 0);
    EXPECT_EQ(8, table->receive_raw(ctx, buffer, 8));
    board_side.join();
    EXPECT_EQ(second, std::vector<uint8_t>(buffer, buffer + 8));
}

TEST_F(RtuTable, LinkOpensWithTheLibmodbusTableAndWritesGoOnTheWire) {
    modbus_data_t *sut = nullptr;
    ASSERT_EQ(0, kor_modbus_init(&sut, device.c_str(), 1, 1500, 10, 3, 0, nullptr));
    EXPECT_EQ(1, kor_modbus_is_running(sut));

    // Register 56 := 425 as a write-single-register frame; the board echoes it.
    std::vector<uint8_t> expected = {0x01, 0x06, 0x00, 0x38, 0x01, 0xA9};
    uint16_t crc = crc16(expected);
    expected.push_back(static_cast<uint8_t>(crc & 0xFF));
    expected.push_back(static_cast<uint8_t>(crc >> 8));
    ASSERT_EQ(0, kor_modbus_write_holding_register(sut, 56, 425));
    auto frame = read_n(board, 8, 2000ms);
    EXPECT_EQ(expected, frame);
    send_to_link(frame);

    std::thread board_side([&] {
        auto request = read_n(board, 8, 2000ms);
        ASSERT_EQ(8u, request.size());
        EXPECT_EQ(0x03, request[1]);
        send_to_link(reply_of(0x0BEE));
    });
    uint16_t value = 0;
    EXPECT_EQ(0, kor_modbus_read_holding_register(sut, 0, &value));
    board_side.join();
    EXPECT_EQ(0x0BEE, value);
    EXPECT_EQ(1, kor_modbus_is_running(sut));
    EXPECT_EQ(0, kor_modbus_free(sut));
}

}  // namespace
