// The CPI block transfer of the IO board link against the recording fake link: the CRC, the
// request layout, the reply checks and their order, refusals before anything is sent, retries,
// the frame dump of a debug link and the texts of the CPI error codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cpi_board_fake.hpp"
#include "fake_link.hpp"
#include "kor_modbus.h"
#include "log_capture.hpp"

using kor_test::CpiBoardFake;
using kor_test::CpiRequest;
using kor_test::FakeLink;
using kor_test::LogCapture;
using kor_test::Op;
using kor_test::Outcome;

namespace {

std::vector<uint8_t> bytes_of(const char *text) {
    return std::vector<uint8_t>(text, text + std::strlen(text));
}

// A good confirmation for slave 1, file 1, block 2.
std::vector<uint8_t> good_reply() {
    return kor_test::cpi_confirmation({0x01, 0x41, 0x00, 0x01, 0x00, 0x02});
}

int verify(const std::vector<uint8_t> &reply, int32_t slave = 1, uint16_t file = 1,
           uint16_t block = 2) {
    errno = 0;
    return kor_modbus_verify_cpi_response_packet(slave, file, block, reply.data(),
                                                 static_cast<int32_t>(reply.size()));
}

TEST(CpiCrc, MatchesTheModbusCrcOfKnownFrames) {
    const auto digits = bytes_of("123456789");
    EXPECT_EQ(0x4B37, kor_modbus_calculate_crc(digits.data(), 9));
    // A read of one holding register at 0 from slave 1 goes out as 01 03 00 00 00 01 84 0A.
    const uint8_t read_request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(0x0A84, kor_modbus_calculate_crc(read_request, 6));
    EXPECT_EQ(0xFFFF, kor_modbus_calculate_crc(read_request, 0));
}

TEST(CpiPacket, BuildsTheRequestLayout) {
    const uint8_t data[] = {0xAA, 0xBB};
    uint8_t out[16];
    std::memset(out, 0x5A, sizeof out);
    ASSERT_EQ(0, kor_modbus_build_cpi_packet(1, data, 2, out, sizeof out, 1, 2));
    const std::vector<uint8_t> expected = {0x01, 0x41, 0x00, 0x01, 0x00, 0x02, 0xAA, 0xBB};
    EXPECT_EQ(expected, std::vector<uint8_t>(out, out + 8));
    for (size_t i = 8; i < sizeof out; ++i) {
        EXPECT_EQ(0, out[i]) << "byte " << i << " was not zeroed";
    }

    // File and block numbers are big-endian; the slave id is cut to its low byte.
    std::vector<uint8_t> full(KOR_CPI_MAX_DATA, 0x11);
    uint8_t big[KOR_CPI_MAX_REQUEST];
    ASSERT_EQ(0, kor_modbus_build_cpi_packet(0x107, full.data(), KOR_CPI_MAX_DATA, big, sizeof big,
                                             0x1234, 0xABCD));
    EXPECT_EQ(0x07, big[0]);
    EXPECT_EQ(0x12, big[2]);
    EXPECT_EQ(0x34, big[3]);
    EXPECT_EQ(0xAB, big[4]);
    EXPECT_EQ(0xCD, big[5]);
    EXPECT_EQ(0x11, big[KOR_CPI_MAX_REQUEST - 1]);
}

TEST(CpiPacket, RefusesBadArgumentsWithEinval) {
    const uint8_t data[KOR_CPI_MAX_DATA + 1] = {};
    uint8_t out[KOR_CPI_MAX_REQUEST + 1];
    struct Case {
        const char *what;
        const uint8_t *data;
        int32_t n;
        uint8_t *out;
        int32_t out_size;
    };
    const Case cases[] = {
        {"null data", nullptr, 2, out, 8},
        {"no bytes", data, 0, out, 8},
        {"248 bytes", data, 248, out, KOR_CPI_MAX_REQUEST},
        {"null out", data, 2, nullptr, 8},
        {"out of 254", data, 2, out, KOR_CPI_MAX_REQUEST + 1},
        {"out of 0", data, 2, out, 0},
        {"out too small for the data", data, 10, out, 15},
    };
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(-1, kor_modbus_build_cpi_packet(1, c.data, c.n, c.out, c.out_size, 1, 0))
            << c.what;
        EXPECT_EQ(EINVAL, errno) << c.what;
    }
}

TEST(CpiReply, EachFaultHasItsOwnCode) {
    EXPECT_EQ(0, verify(good_reply()));

    auto seven = good_reply();
    seven.pop_back();
    EXPECT_EQ(-1, verify(seven));
    EXPECT_EQ(KOR_CPI_ELENGTH, errno);
    auto nine = good_reply();
    nine.push_back(0);
    EXPECT_EQ(-1, verify(nine));
    EXPECT_EQ(KOR_CPI_ELENGTH, errno);

    // Slave 2 answering when slave 1 was asked.
    EXPECT_EQ(-1, verify(kor_test::cpi_confirmation({0x02, 0x41, 0x00, 0x01, 0x00, 0x02})));
    EXPECT_EQ(KOR_CPI_EADDRESS, errno);

    auto swapped = good_reply();
    kor_test::swap_crc(swapped);
    EXPECT_EQ(-1, verify(swapped));
    EXPECT_EQ(KOR_CPI_ECRC, errno);

    EXPECT_EQ(-1, verify(kor_test::cpi_confirmation({0x01, 0x03, 0x00, 0x01, 0x00, 0x02})));
    EXPECT_EQ(KOR_CPI_ECOMMAND, errno);
    EXPECT_EQ(-1, verify(kor_test::cpi_confirmation({0x01, 0x41, 0x00, 0x02, 0x00, 0x02})));
    EXPECT_EQ(KOR_CPI_EFILE, errno);
    EXPECT_EQ(-1, verify(kor_test::cpi_confirmation({0x01, 0x41, 0x00, 0x01, 0x01, 0x02})));
    EXPECT_EQ(KOR_CPI_EBLOCK, errno);

    errno = 0;
    EXPECT_EQ(-1, kor_modbus_verify_cpi_response_packet(1, 1, 2, nullptr, 8));
    EXPECT_EQ(EINVAL, errno);
}

TEST(CpiReply, ChecksRunInTheirOrder) {
    // Wrong address, command, file, block and CRC at once: the address is named first.
    std::vector<uint8_t> all_wrong = {0x09, 0x03, 0x00, 0x07, 0x00, 0x09, 0x00, 0x00};
    EXPECT_EQ(-1, verify(all_wrong));
    EXPECT_EQ(KOR_CPI_EADDRESS, errno);
    all_wrong[0] = 0x01;
    EXPECT_EQ(-1, verify(all_wrong));
    EXPECT_EQ(KOR_CPI_ECOMMAND, errno);
    all_wrong[1] = 0x41;
    EXPECT_EQ(-1, verify(all_wrong));
    EXPECT_EQ(KOR_CPI_EFILE, errno);
    all_wrong[3] = 0x01;
    EXPECT_EQ(-1, verify(all_wrong));
    EXPECT_EQ(KOR_CPI_EBLOCK, errno);
    all_wrong[5] = 0x02;
    EXPECT_EQ(-1, verify(all_wrong));
    EXPECT_EQ(KOR_CPI_ECRC, errno);
    // A short reply is refused on its length before its content is looked at.
    all_wrong.resize(3);
    EXPECT_EQ(-1, verify(all_wrong));
    EXPECT_EQ(KOR_CPI_ELENGTH, errno);
}

TEST(CpiErrorTexts, TheLinkNamesEachCpiCode) {
    std::unique_ptr<modbus_interface_t, decltype(&std::free)> table(kor_create_modbus_instance(),
                                                                    &std::free);
    ASSERT_NE(nullptr, table);
    EXPECT_STREQ("CRC check failed", table->strerror(KOR_CPI_ECRC));
    EXPECT_STREQ("Wrong controller address response", table->strerror(KOR_CPI_EADDRESS));
    EXPECT_STREQ("Wrong file number response", table->strerror(KOR_CPI_EFILE));
    EXPECT_STREQ("Wrong modbus command response", table->strerror(KOR_CPI_ECOMMAND));
    EXPECT_STREQ("Wrong block ID response", table->strerror(KOR_CPI_EBLOCK));
    EXPECT_STREQ("Wrong CPI response length", table->strerror(KOR_CPI_ELENGTH));
}

class CpiBlockTransfer : public ::testing::Test {
  protected:
    void TearDown() override {
        if (sut != nullptr) {
            EXPECT_EQ(0, kor_modbus_free(sut));
        }
    }

    void open(int32_t retry = 3, int32_t debug = 0) {
        ASSERT_EQ(0,
                  kor_modbus_init(&sut, "/dev/ttyFAKE0", 1, 1500, 10, retry, debug, fake.table()));
    }

    int send_block(const std::vector<uint8_t> &data, uint16_t file = 1, uint16_t block = 2) {
        errno = 0;
        return kor_modbus_transfer_cpi_block(sut, data.data(), static_cast<int32_t>(data.size()),
                                             file, block);
    }

    LogCapture log;
    FakeLink fake;
    CpiBoardFake board{fake};
    modbus_data_t *sut = nullptr;
};

TEST_F(CpiBlockTransfer, SendsTheRequestAndAcceptsTheConfirmation) {
    open();
    ASSERT_EQ(0, kor_modbus_start_cpi_file_transfer(sut));
    ASSERT_EQ(0, send_block({0xAA, 0xBB}));

    auto sent = fake.calls(Op::SendRaw);
    ASSERT_EQ(1u, sent.size());
    const std::vector<uint8_t> expected = {0x01, 0x41, 0x00, 0x01, 0x00, 0x02, 0xAA, 0xBB};
    EXPECT_EQ(expected, sent[0].bytes);
    auto received = fake.calls(Op::ReceiveRaw);
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(8, received[0].count);
    EXPECT_TRUE(log.contains("Successfully transfered 2 bytes - file:1 - block:2")) << log.dump();
    // Without debug no frame is dumped.
    EXPECT_EQ(0, log.count_containing("CPI Frame"));
}

TEST_F(CpiBlockTransfer, RefusesBadBlocksAndBlocksOutsideCpiModeBeforeSending) {
    open();
    const std::vector<uint8_t> two = {1, 2};
    EXPECT_EQ(-1, send_block(two));
    EXPECT_EQ(EPERM, errno);

    ASSERT_EQ(0, kor_modbus_start_cpi_file_transfer(sut));
    EXPECT_EQ(-1, send_block({}));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, send_block(std::vector<uint8_t>(248, 0x55)));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(-1, kor_modbus_transfer_cpi_block(sut, nullptr, 2, 1, 0));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(-1, kor_modbus_transfer_cpi_block(nullptr, two.data(), 2, 1, 0));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, fake.count(Op::SendRaw));
    EXPECT_EQ(0, fake.count(Op::ReceiveRaw));

    // The largest block goes; leaving CPI mode refuses the next.
    EXPECT_EQ(0, send_block(std::vector<uint8_t>(247, 0x55)));
    EXPECT_EQ(253u, fake.calls(Op::SendRaw).at(0).bytes.size());
    ASSERT_EQ(0, kor_modbus_end_cpi_file_transfer(sut));
    EXPECT_EQ(-1, send_block(two));
    EXPECT_EQ(EPERM, errno);
    EXPECT_EQ(1, fake.count(Op::SendRaw));
}

TEST_F(CpiBlockTransfer, GivesUpAfterTheRetryCountWithTheLastError) {
    open(3);
    ASSERT_EQ(0, kor_modbus_start_cpi_file_transfer(sut));
    // Send fails, then the receive fails, then the board's reply names another block.
    fake.set_hook(nullptr);
    Outcome send_failed;
    send_failed.result = -1;
    send_failed.err = EIO;
    fake.script(Op::SendRaw, send_failed);
    Outcome receive_failed;
    receive_failed.result = -1;
    receive_failed.err = EBADF;
    fake.script(Op::ReceiveRaw, receive_failed);
    Outcome other_block;
    other_block.result = 8;
    other_block.bytes = kor_test::cpi_confirmation({0x01, 0x41, 0x00, 0x01, 0x00, 0x03});
    fake.script(Op::ReceiveRaw, other_block);

    EXPECT_EQ(-1, send_block({0xAA, 0xBB}));
    EXPECT_EQ(KOR_CPI_EBLOCK, errno);
    EXPECT_EQ(3, fake.count(Op::SendRaw));
    EXPECT_EQ(2, fake.count(Op::ReceiveRaw)) << "no receive after a failed send";
    EXPECT_EQ(1,
              log.count_containing("Failed modbus send raw request - Error: -1 errno: 5 desc: "));
    EXPECT_EQ(
        1, log.count_containing("Failed modbus receive confirmation - Error: -1 errno: 9 desc: "));
    EXPECT_EQ(1, log.count_containing(
                     "CPI transfer comfirmation failed - Error: -1 errno: 42827438 desc: "));
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_TRUE(log.contains("Transfer failed - retry_count: " + std::to_string(attempt)));
    }
    EXPECT_EQ(0, log.count_containing("Successfully transfered"));
}

TEST_F(CpiBlockTransfer, RetryCountZeroStillMakesOneAttempt) {
    open(0);
    ASSERT_EQ(0, kor_modbus_start_cpi_file_transfer(sut));
    board.spoil_next(kor_test::swap_crc);
    EXPECT_EQ(-1, send_block({0xAA}));
    EXPECT_EQ(KOR_CPI_ECRC, errno);
    EXPECT_EQ(1, fake.count(Op::SendRaw));
}

TEST_F(CpiBlockTransfer, FailedBlocksLeaveTheConnectionStateAlone) {
    // The state follows register exchanges; a board refusing blocks is not a lost link.
    open(1);
    ASSERT_EQ(0, kor_modbus_start_cpi_file_transfer(sut));
    fake.set_hook(nullptr);
    Outcome timed_out;
    timed_out.result = -1;
    timed_out.err = ETIMEDOUT;
    fake.script_n(Op::ReceiveRaw, 6, timed_out);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(-1, send_block({0xAA}));
        EXPECT_EQ(ETIMEDOUT, errno);
    }
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(sut));
}

TEST_F(CpiBlockTransfer, DebugLinkDumpsRequestAndReplyFrames) {
    open(3, 1);
    ASSERT_EQ(0, kor_modbus_start_cpi_file_transfer(sut));
    ASSERT_EQ(0, send_block({0xAA, 0xBB}));
    EXPECT_EQ(1, log.count("CPI Frame [01][41][00][01][00][02][AA][BB]")) << log.dump();
    const auto reply = good_reply();
    char expected[64];
    std::snprintf(expected, sizeof expected, "CPI Frame [01][41][00][01][00][02][%02X][%02X]",
                  reply[6], reply[7]);
    EXPECT_EQ(1, log.count(expected)) << log.dump();
}

}  // namespace
