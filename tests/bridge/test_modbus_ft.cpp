// The bridges' Modbus file transfer: framing, block count, retries and results against a fake
// slave on a pseudo-terminal that records every request, and the whole image arriving at the
// virtual IO board.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "bridge_process.hpp"
#include "log_capture.hpp"
#include "modbus_ft.h"
#include "pmx_log.h"
#include "sim_process.hpp"

namespace {

using namespace std::chrono_literals;
using kor_test::pattern;
using kor_test::ScratchDir;
using Frame = std::vector<uint8_t>;

// A slave on the master end of a pseudo-terminal: collects each request (a frame ends after
// 3 ms of quiet) and answers it as the policy says (nullopt: no answer).
class FakeSlave {
  public:
    using Policy = std::function<std::optional<Frame>(const Frame &request, int index)>;

    explicit FakeSlave(Policy policy) : policy_(std::move(policy)) {
        fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0 && ::grantpt(fd_) == 0 && ::unlockpt(fd_) == 0) {
            path_ = ::ptsname(fd_);
            thread_ = std::thread([this] { serve(); });
        }
    }
    ~FakeSlave() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    const std::string &path() const { return path_; }
    std::vector<Frame> requests() {
        std::lock_guard lock(lock_);
        return requests_;
    }

    // The confirmation the IO board gives: the six header bytes and their CRC.
    static Frame confirmation(const Frame &request) {
        Frame reply(request.begin(), request.begin() + 6);
        const uint16_t crc = modbus_ft_calculate_crc(reply.data(), 6);
        reply.push_back(static_cast<uint8_t>(crc & 0xFF));
        reply.push_back(static_cast<uint8_t>(crc >> 8));
        return reply;
    }

  private:
    void serve() {
        Frame frame;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 3);
            if (ready > 0 && (p.revents & POLLIN) != 0) {
                uint8_t bytes[512];
                const ssize_t n = ::read(fd_, bytes, sizeof bytes);
                if (n > 0) {
                    frame.insert(frame.end(), bytes, bytes + n);
                    continue;
                }
            }
            if (ready > 0 && (p.revents & POLLIN) == 0) {
                std::this_thread::sleep_for(5ms);  // the other end is not open yet
            }
            if (frame.empty()) {
                continue;
            }
            int index = 0;
            {
                std::lock_guard lock(lock_);
                requests_.push_back(frame);
                index = static_cast<int>(requests_.size()) - 1;
            }
            if (auto reply = policy_(frame, index)) {
                (void)!::write(fd_, reply->data(), reply->size());
            }
            frame.clear();
        }
    }

    Policy policy_;
    int fd_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<Frame> requests_;
};

std::optional<Frame> always_confirm(const Frame &request, int) {
    return FakeSlave::confirmation(request);
}

// A libmodbus master as the bridge opens its line. The response time-out is what an unanswered
// block costs; a slave that answers must never miss it, however busy the machine, or the block
// goes again and the slave hears it twice.
class Master {
  public:
    explicit Master(const std::string &device, int timeout_ms = 1000) {
        ctx_ = modbus_new_rtu(device.c_str(), 38400, 'N', 8, 1);
        if (ctx_ != nullptr) {
            modbus_set_slave(ctx_, 1);
            modbus_set_response_timeout(ctx_, timeout_ms / 1000, (timeout_ms % 1000) * 1000);
            connected_ = modbus_connect(ctx_) == 0;
        }
    }
    ~Master() {
        if (ctx_ != nullptr) {
            modbus_close(ctx_);
            modbus_free(ctx_);
        }
    }
    bool ok() const { return connected_; }
    modbus_t *ctx() { return ctx_; }

  private:
    modbus_t *ctx_ = nullptr;
    bool connected_ = false;
};

class ModbusFileTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(pmx_log_open(log_.c_str()), 0);
        modbus_ft_set_block_pause_ms(1);
    }
    void TearDown() override {
        pmx_log_close();
        modbus_ft_set_block_pause_ms(100);
    }
    std::string file(const std::vector<uint8_t> &bytes) {
        const std::string path = dir_.file("image.bin");
        kor_test::write_file(path, bytes);
        return path;
    }
    bool logged(const std::string &line) { return kor_test::has_line(log_, line); }

    ScratchDir dir_;
    std::string log_ = dir_.file("pmx.log");
};

// Block index of a recorded request, and its data.
int block_of(const Frame &request) {
    return (request[4] << 8) | request[5];
}
Frame data_of(const Frame &request) {
    return Frame(request.begin() + 6, request.end() - 2);
}

TEST(ModbusFtCrc, MatchesTheModbusRtuCrc) {
    const uint8_t read_request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(modbus_ft_calculate_crc(read_request, 6), 0x0A84);
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(modbus_ft_calculate_crc(check, 9), 0x4B37);
    EXPECT_EQ(modbus_ft_calculate_crc(check, 0), 0xFFFF);
    EXPECT_EQ(modbus_ft_calculate_crc(nullptr, 9), 0xFFFF);
}

TEST_F(ModbusFileTransfer, SplitsTheFileIntoBlocksOf128WithEveryByteSent) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> blocks;
    };
    // 130 bytes: a 2-byte tail, which rounding to the nearest block count would lose.
    const Case cases[] = {{256, {128, 128}}, {200, {128, 72}}, {130, {128, 2}}, {5, {5}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        FakeSlave slave(always_confirm);
        ASSERT_FALSE(slave.path().empty());
        Master master(slave.path());
        ASSERT_TRUE(master.ok());
        const auto image = pattern(c.size);
        EXPECT_EQ(modbus_ft_write_file(master.ctx(), 1, file(image).c_str()),
                  static_cast<int>(c.blocks.size()));
        const auto requests = slave.requests();
        ASSERT_EQ(requests.size(), c.blocks.size());
        Frame received;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const Frame &r = requests[i];
            ASSERT_EQ(r.size(), 6 + c.blocks[i] + 2);
            EXPECT_EQ(r[0], 1);
            EXPECT_EQ(r[1], 0x41);
            EXPECT_EQ(r[2], 0);
            EXPECT_EQ(r[3], 1);
            EXPECT_EQ(block_of(r), static_cast<int>(i));
            const uint16_t crc = modbus_ft_calculate_crc(r.data(), static_cast<int>(r.size() - 2));
            EXPECT_EQ(r[r.size() - 2], crc & 0xFF);
            EXPECT_EQ(r[r.size() - 1], crc >> 8);
            const Frame data = data_of(r);
            received.insert(received.end(), data.begin(), data.end());
        }
        EXPECT_EQ(received, image);
    }
    EXPECT_TRUE(logged("FT file size: 200.000000, numblocks: 2"));
    EXPECT_TRUE(logged("FT file size: 130.000000, numblocks: 2"));
}

TEST_F(ModbusFileTransfer, FileIdGoesAsItsLow8BitsAndBlockIndexBigEndian) {
    FakeSlave slave(always_confirm);
    Master master(slave.path());
    ASSERT_TRUE(master.ok());
    // 257 blocks: the last index is 256, 0x01 0x00 on the wire.
    ASSERT_EQ(modbus_ft_write_file(master.ctx(), 0x0105, file(pattern(256 * 128 + 1)).c_str()),
              257);
    const auto requests = slave.requests();
    ASSERT_EQ(requests.size(), 257u);
    EXPECT_EQ(requests.back()[2], 0);
    EXPECT_EQ(requests.back()[3], 0x05);
    EXPECT_EQ(requests.back()[4], 0x01);
    EXPECT_EQ(requests.back()[5], 0x00);
    EXPECT_EQ(requests.back().size(), 6u + 1 + 2);
}

TEST_F(ModbusFileTransfer, EmptyOrMissingFileSendsNothing) {
    FakeSlave slave(always_confirm);
    Master master(slave.path());
    ASSERT_TRUE(master.ok());
    EXPECT_EQ(modbus_ft_write_file(master.ctx(), 1, file({}).c_str()), 0);
    EXPECT_TRUE(logged("FT file size: 0.000000, numblocks: 0"));

    const std::string missing = dir_.file("missing.bin");
    EXPECT_EQ(modbus_ft_write_file(master.ctx(), 1, missing.c_str()), -1);
    EXPECT_TRUE(logged("Failed to open file: " + missing));
    EXPECT_EQ(modbus_ft_write_file(master.ctx(), 1, nullptr), -1);
    EXPECT_EQ(modbus_ft_write_file(nullptr, 1, file(pattern(10)).c_str()), -1);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(slave.requests().empty());
}

TEST_F(ModbusFileTransfer, RetriedBlockKeepsItsIndexAndData) {
    // The first two sends of block 0 and the first of block 1 go unanswered.
    FakeSlave slave([](const Frame &request, int index) -> std::optional<Frame> {
        if (index == 0 || index == 1 || index == 3) {
            return std::nullopt;
        }
        return FakeSlave::confirmation(request);
    });
    Master master(slave.path());
    ASSERT_TRUE(master.ok());
    const auto image = pattern(200);
    ASSERT_EQ(modbus_ft_write_file(master.ctx(), 1, file(image).c_str()), 2);
    const auto requests = slave.requests();
    ASSERT_EQ(requests.size(), 5u);
    const int expected_blocks[] = {0, 0, 0, 1, 1};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(block_of(requests[i]), expected_blocks[i]) << "request " << i;
    }
    EXPECT_EQ(requests[0], requests[2]);
    EXPECT_EQ(requests[3], requests[4]);
    EXPECT_EQ(data_of(requests[4]), Frame(image.begin() + 128, image.end()));
    EXPECT_TRUE(logged("FW Update retry block 0, retry: 1"));
    EXPECT_TRUE(logged("FW Update retry block 0, retry: 2"));
    EXPECT_TRUE(logged("FW Update retry block 1, retry: 1"));
    EXPECT_FALSE(logged("FW Update retry block 0, retry: 3"));
}

TEST_F(ModbusFileTransfer, BlockFailingFourTimesEndsTheTransfer) {
    struct Case {
        const char *what;
        FakeSlave::Policy policy;
    };
    const Case cases[] = {
        {"silent slave", [](const Frame &, int) -> std::optional<Frame> { return std::nullopt; }},
        {"exception",
         [](const Frame &request, int) -> std::optional<Frame> {
             Frame reply = {request[0], static_cast<uint8_t>(request[1] | 0x80), 0x04};
             const uint16_t crc = modbus_ft_calculate_crc(reply.data(), 3);
             reply.push_back(static_cast<uint8_t>(crc & 0xFF));
             reply.push_back(static_cast<uint8_t>(crc >> 8));
             return reply;
         }},
        {"broken CRC",
         [](const Frame &request, int) -> std::optional<Frame> {
             Frame reply = FakeSlave::confirmation(request);
             reply[7] ^= 0xFF;
             return reply;
         }},
        {"confirmation of another block",
         [](const Frame &request, int) -> std::optional<Frame> {
             Frame other = request;
             other[5] ^= 0x01;
             return FakeSlave::confirmation(other);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakeSlave slave(c.policy);
        Master master(slave.path());
        ASSERT_TRUE(master.ok());
        EXPECT_EQ(modbus_ft_write_file(master.ctx(), 1, file(pattern(300)).c_str()), -3);
        const auto requests = slave.requests();
        ASSERT_EQ(requests.size(), 4u);
        for (const Frame &r : requests) {
            EXPECT_EQ(block_of(r), 0);
        }
        EXPECT_TRUE(logged("FW Update retry block 0, retry: 3"));
        EXPECT_TRUE(logged("FW Update raw request error: -1"));
    }
}

TEST_F(ModbusFileTransfer, UnreadableFileFailsWithMinusTwo) {
    FakeSlave slave(always_confirm);
    Master master(slave.path());
    ASSERT_TRUE(master.ok());
    // A directory opens for reading but gives no data; a FIFO nobody writes to must not block
    // the bridge in its open.
    const std::string fifo = dir_.file("image.fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    for (const std::string &path : {dir_.path(), fifo}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(modbus_ft_write_file(master.ctx(), 1, path.c_str()), -2);
        EXPECT_TRUE(logged("FW Update Failed to read data from file"));
    }
    EXPECT_TRUE(slave.requests().empty());
}

TEST_F(ModbusFileTransfer, PausesAfterEveryBlock) {
    FakeSlave slave(always_confirm);
    Master master(slave.path());
    ASSERT_TRUE(master.ok());
    modbus_ft_set_block_pause_ms(60);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(modbus_ft_write_file(master.ctx(), 1, file(pattern(3 * 128)).c_str()), 3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 180ms);
}

// Against the virtual IO board: the image it stores is the file, also after a retry of block 0.
class FileTransferToBoard : public ModbusFileTransfer {
  protected:
    void SetUp() override {
        ModbusFileTransfer::SetUp();
        ASSERT_TRUE(board_.start({"--firmware-out", firmware_out_})) << board_.last_error();
    }
    kor_test::SimProcess board_;
    std::string firmware_out_ = dir_.file("received.bin");
};

TEST_F(FileTransferToBoard, ImageArrivesWhole) {
    Master master(board_.link_path());
    ASSERT_TRUE(master.ok());
    const auto image = pattern(200);
    ASSERT_EQ(modbus_ft_write_file(master.ctx(), 1, file(image).c_str()), 2);
    EXPECT_EQ(kor_test::read_file(firmware_out_), std::string(image.begin(), image.end()));
    EXPECT_EQ(board_.status_field("cpi_blocks"), "2");
    // The line is clean afterwards: a register read gets its own answer.
    ASSERT_EQ(board_.command("set 40 1234"), "ok");
    uint16_t value = 0;
    EXPECT_EQ(modbus_read_registers(master.ctx(), 40, 1, &value), 1);
    EXPECT_EQ(value, 1234);
}

TEST_F(FileTransferToBoard, BlockZeroRetriedAfterSilenceKeepsIndexZero) {
    Master master(board_.link_path());
    ASSERT_TRUE(master.ok());
    // One or two sends of block 0 go unanswered (1 s time-out each), the third is taken.
    ASSERT_EQ(board_.command("silence 1.5"), "ok");
    const auto image = pattern(3 * 128 + 10);
    ASSERT_EQ(modbus_ft_write_file(master.ctx(), 1, file(image).c_str()), 4);
    EXPECT_TRUE(logged("FW Update retry block 0, retry: 1"));
    EXPECT_EQ(kor_test::read_file(firmware_out_), std::string(image.begin(), image.end()));
    EXPECT_EQ(board_.status_field("cpi_blocks"), "4");
}

}  // namespace
