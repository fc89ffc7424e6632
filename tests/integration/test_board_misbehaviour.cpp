// The IO board link against a virtual board that misbehaves on command, over a real
// pseudo-terminal: replies that come late, all replies slowed down, register replies with a
// broken CRC or from another slave, and CPI confirmations that are slow or spoiled. The link must
// fail the exchange, keep its connection state, never take a stale reply for a new one, and a
// firmware update must survive one bad confirmation a block.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "kor_io_board_update.h"
#include "kor_io_board_update_private.hpp"
#include "kor_modbus.h"
#include "log_capture.hpp"
#include "sim_process.hpp"

namespace {

using kor_test::wait_until;
using namespace std::chrono_literals;

// Long enough that a busy machine's stalls never fail a read the board answers in time; the late
// and delayed replies below come well after it.
constexpr int32_t kTimeoutMs = 500;

class MisbehavingBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        kor_board_update_set_wait_ms(0);
        ASSERT_TRUE(sim.start({"--firmware-out", sim.folder() + "/firmware.bin"}))
            << sim.last_error();
        ASSERT_EQ(0, kor_board_update_init());
    }
    void TearDown() override {
        if (ctx != nullptr) {
            EXPECT_EQ(0, kor_modbus_free(ctx));
        }
        kor_board_update_set_wait_ms(-1);
    }
    // A link without polling; retries 1 makes every failed attempt a failed operation.
    void open(int32_t retries) {
        ASSERT_EQ(0, kor_modbus_init(&ctx, sim.link_path().c_str(), 1, kTimeoutMs, 20, retries, 0,
                                     nullptr));
    }
    int read(uint32_t reg) {
        uint16_t value = 0;
        return kor_modbus_read_holding_register(ctx, reg, &value) == 0 ? value : -1;
    }
    // Every reply the board made has gone out on the line.
    bool replies_out() {
        return wait_until([&] { return sim.status_field("queued") == "0"; }, 5000ms);
    }
    // A reply nobody has read waits at the link's end of the line. A second descriptor of the
    // pseudo-terminal sees the input the link has not read, without taking it.
    bool leftover_arrived() {
        const int fd = ::open(sim.link_path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            return false;
        }
        const bool arrived = wait_until(
            [fd] {
                int waiting = 0;
                return ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
            },
            5000ms);
        ::close(fd);
        return arrived;
    }
    std::string firmware(size_t size) {
        std::vector<char> bytes(size);
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>(i * 13 + i / 247);
        }
        const std::string path = sim.folder() + "/fw.bin";
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(size));
        return path;
    }

    kor_test::LogCapture log;
    kor_test::SimProcess sim;
    modbus_data_t *ctx = nullptr;
};

// Each trouble fails one read; whatever the board sent too late is not taken for the answer to
// the next read, which sees the register's new value; the link stays up.
TEST_F(MisbehavingBoard, ASpoiledOrLateRegisterReplyFailsOneReadAndNothingLingers) {
    struct Case {
        const char *trouble;
        const char *after;  // ends the trouble once the read has failed
        const char *failure;
        bool leftover;  // the reply comes after the read gave up on it
    };
    const Case cases[] = {
        {"late 1 1500", nullptr, "errno: 110 desc: Connection timed out", true},
        {"delay 1000", "delay 0", "errno: 110 desc: Connection timed out", true},
        {"bad-crc", nullptr, "desc: Invalid CRC", false},
        {"wrong-slave", nullptr, "desc: Response not from requested slave", false},
    };
    open(1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.trouble);
        ASSERT_EQ("ok", sim.command("set 5 1111"));
        ASSERT_EQ("ok", sim.command(c.trouble));
        const int failures = log.count_containing(c.failure);
        EXPECT_EQ(-1, read(5));
        EXPECT_EQ(failures + 1, log.count_containing(c.failure)) << log.dump();
        if (c.after != nullptr) {
            ASSERT_EQ("ok", sim.command(c.after));
        }
        ASSERT_TRUE(replies_out());
        if (c.leftover) {
            ASSERT_TRUE(leftover_arrived());
        }
        ASSERT_EQ("ok", sim.command("set 5 2222"));
        EXPECT_EQ(2222, read(5)) << "a stale reply was taken for the new read";
        EXPECT_EQ(2222, read(5));
        EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(ctx));
    }
}

// The late reply of a first attempt comes after its retry was answered: the read succeeds, and the
// leftover must not become the answer to the next read of another register.
TEST_F(MisbehavingBoard, AReplyLaterThanItsAnsweredRetryIsNotTakenForTheNextRead) {
    open(3);
    ASSERT_EQ("ok", sim.command("set 5 1111"));
    ASSERT_EQ("ok", sim.command("set 6 2222"));
    ASSERT_EQ("ok", sim.command("late 1 900"));
    EXPECT_EQ(1111, read(5));
    ASSERT_TRUE(leftover_arrived());
    EXPECT_EQ(2222, read(6)) << "the leftover reply was taken for the read of register 6";
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(ctx));
}

// A CPI confirmation has 250 ms to arrive whole: a board slower than that fails the block.
TEST_F(MisbehavingBoard, ACpiConfirmationSlowerThanTheReceiveBoundFailsTheBlock) {
    struct Case {
        int delay_ms;
        int result;
    };
    const Case cases[] = {{50, 0}, {400, -1}};
    open(1);
    const std::string path = firmware(300);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.delay_ms);
        ASSERT_EQ("ok", sim.command("delay " + std::to_string(c.delay_ms)));
        EXPECT_EQ(c.result, kor_board_update_transfer_file_to_io_board(ctx, path.c_str()))
            << log.dump();
        ASSERT_EQ("ok", sim.command("delay 0"));
        ASSERT_TRUE(replies_out());
    }
}

// One spoiled confirmation costs its block one retry and the update succeeds; three in a row
// (every attempt) end the update at that block with the fault's code.
TEST_F(MisbehavingBoard, ASpoiledCpiConfirmationIsRetriedAndThreeEndTheUpdate) {
    struct Case {
        const char *kind;
        int err;
        const char *text;
    };
    const Case cases[] = {
        {"crc", KOR_CPI_ECRC, "CRC check failed"},
        {"short", KOR_CPI_ELENGTH, "Wrong CPI response length"},
        {"block", KOR_CPI_EBLOCK, "Wrong block ID response"},
        {"file", KOR_CPI_EFILE, "Wrong file number response"},
    };
    open(3);
    const std::string path = firmware(600);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        const std::string line =
            "CPI transfer comfirmation failed - Error: -1 errno: " + std::to_string(c.err) +
            " desc: " + c.text;
        ASSERT_EQ("ok", sim.command(std::string("cpi-corrupt ") + c.kind));
        ASSERT_EQ(0, kor_board_update_transfer_file_to_io_board(ctx, path.c_str())) << log.dump();
        EXPECT_EQ(1, log.count(line)) << log.dump();
        EXPECT_EQ("cpi blocks=3 bytes=600 trailer=", sim.command("cpi").substr(0, 31));

        ASSERT_EQ("ok", sim.command(std::string("cpi-corrupt ") + c.kind + " 3"));
        const long frames = std::stol(sim.status_field("frames"));
        errno = 0;
        EXPECT_EQ(-1, kor_board_update_transfer_file_to_io_board(ctx, path.c_str()));
        EXPECT_EQ(c.err, errno);
        EXPECT_EQ(4, log.count(line));
        EXPECT_EQ(frames + 3, std::stol(sim.status_field("frames"))) << "block 0 thrice, no more";
        ASSERT_TRUE(replies_out());
    }
    // CPI mode was left every time: polling rounds go on.
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(ctx, 1, 450, 1));
    ASSERT_EQ(0, kor_modbus_start_polling(ctx));
    ASSERT_EQ("ok", sim.command("set 450 77"));
    uint16_t word = 0;
    EXPECT_TRUE(wait_until(
        [&] { return kor_modbus_read_data_subscription_block(ctx, 1, &word) == 0 && word == 77; }));
}

}  // namespace
