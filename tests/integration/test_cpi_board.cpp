// The IO board firmware update over a real pseudo-terminal with real libmodbus against the
// virtual IO board: files of awkward sizes and a large one arrive whole with the right trailer,
// and polling of register blocks goes on after the update.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kor_io_board_update.h"
#include "kor_io_board_update_private.hpp"
#include "kor_modbus.h"
#include "log_capture.hpp"
#include "sim_process.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using kor_test::wait_until;
using namespace std::chrono_literals;

Bytes image(size_t size, unsigned seed) {
    Bytes bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

Bytes read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string hex(const uint8_t *bytes, size_t count) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        out += two;
    }
    return out;
}

class CpiOnBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        kor_board_update_set_wait_ms(0);
        ASSERT_TRUE(sim.start({"--firmware-out", firmware_out})) << sim.last_error();
        ASSERT_EQ(0, kor_modbus_init(&ctx, sim.link_path().c_str(), 1, 200, 20, 3, 0, nullptr));
        ASSERT_EQ(0, kor_board_update_init());
    }
    void TearDown() override {
        if (ctx != nullptr) {
            EXPECT_EQ(0, kor_modbus_free(ctx));
        }
        kor_board_update_set_wait_ms(-1);
    }

    std::string write_file(const std::string &name, const Bytes &bytes) {
        const std::string path = sim.folder() + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // The board holds exactly this image and its last four bytes as the trailer.
    void expect_board_holds(const Bytes &bytes) {
        EXPECT_EQ(bytes, read_all(firmware_out)) << "image differs";
        EXPECT_EQ(Bytes(bytes.end() - 4, bytes.end()), read_all(firmware_out + ".trailer"));
        const size_t blocks = (bytes.size() + 246) / 247;
        EXPECT_EQ(
            "cpi blocks=" + std::to_string(blocks) + " bytes=" + std::to_string(bytes.size()) +
                " trailer=" + hex(bytes.data() + bytes.size() - 4, 4) + " refused=0 corrupt=0",
            sim.command("cpi"));
    }

    kor_test::LogCapture log;
    kor_test::SimProcess sim;
    const std::string firmware_out = sim.folder() + "/firmware.bin";
    modbus_data_t *ctx = nullptr;
};

TEST_F(CpiOnBoard, FilesOfEverySizeArriveWholeWithTheirTrailer) {
    // A short last block, whole blocks only, and a 100 KiB image of 415 blocks.
    for (size_t size : {size_t{500}, size_t{494}, size_t{100 * 1024}}) {
        SCOPED_TRACE(size);
        const Bytes bytes = image(size, static_cast<unsigned>(size));
        const std::string path = write_file("fw.bin", bytes);
        ASSERT_EQ(0, kor_board_update_transfer_file_to_io_board(ctx, path.c_str())) << log.dump();
        expect_board_holds(bytes);
    }
    EXPECT_EQ(0, log.count_containing("Transfer failed")) << log.dump();
}

TEST_F(CpiOnBoard, UpdateBesidePollingSucceedsAndPollingResumes) {
    ASSERT_EQ(0, sim.command("set 450 1234").rfind("ok", 0));
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(ctx, 1, 450, 1));
    ASSERT_EQ(0, kor_modbus_start_polling(ctx));
    uint16_t word = 0;
    ASSERT_TRUE(wait_until([&] {
        return kor_modbus_read_data_subscription_block(ctx, 1, &word) == 0 && word == 1234;
    }));

    const Bytes bytes = image(20 * 1024, 3);
    const std::string path = write_file("fw.bin", bytes);
    ASSERT_EQ(0, kor_board_update_transfer_file_to_io_board(ctx, path.c_str())) << log.dump();
    expect_board_holds(bytes);

    ASSERT_EQ(0, sim.command("set 450 4321").rfind("ok", 0));
    EXPECT_TRUE(wait_until([&] {
        return kor_modbus_read_data_subscription_block(ctx, 1, &word) == 0 && word == 4321;
    })) << "polling did not resume";
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(ctx));
}

// The production waits, kept: the board gets a second after entering CPI mode before the first
// block, and a second after the last block before the trailer.
TEST_F(CpiOnBoard, TheBoardGetsASecondBeforeTheFirstBlockAndBeforeTheTrailer) {
    kor_board_update_set_wait_ms(-1);
    using Clock = std::chrono::steady_clock;
    struct Seen {
        Clock::time_point start;
        std::vector<Clock::time_point> at;  // one per confirmed block, the trailer last
    } seen;
    const Bytes bytes = image(500, 11);  // three image blocks
    const std::string path = write_file("fw.bin", bytes);
    seen.start = Clock::now();
    ASSERT_EQ(0, kor_board_update_transfer_file_to_io_board_progress(
                     ctx, path.c_str(),
                     [](void *user, int32_t, int32_t, int64_t, int64_t) {
                         static_cast<Seen *>(user)->at.push_back(Clock::now());
                     },
                     &seen))
        << log.dump();
    expect_board_holds(bytes);
    ASSERT_EQ(4u, seen.at.size());
    EXPECT_GE(seen.at[0] - seen.start, std::chrono::milliseconds(1000));
    EXPECT_GE(seen.at[3] - seen.at[2], std::chrono::milliseconds(1000));
}

}  // namespace
