// The IO board firmware update against the recording fake link and a CPI-answering fake board:
// how files of every awkward size are cut into blocks, that the trailer is always the file's own
// last four bytes, that unusable files are refused before the board hears anything, that CPI
// mode is always left, and the progress reports of the console's variant.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "cpi_board_fake.hpp"
#include "fake_link.hpp"
#include "kor_io_board_update.h"
#include "kor_io_board_update_private.hpp"
#include "kor_modbus.h"
#include "log_capture.hpp"

using kor_test::CpiBoardFake;
using kor_test::CpiRequest;
using kor_test::FakeLink;
using kor_test::LogCapture;
using kor_test::Op;
using kor_test::ScratchDir;

namespace {

// Bytes that differ from block to block, so a block sent twice or out of place shows.
std::vector<uint8_t> image(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

struct ProgressCall {
    int32_t blocks_sent, blocks_total;
    int64_t bytes_sent, bytes_total;
    bool operator==(const ProgressCall &) const = default;
};

void record_progress(void *user, int32_t blocks_sent, int32_t blocks_total, int64_t bytes_sent,
                     int64_t bytes_total) {
    static_cast<std::vector<ProgressCall> *>(user)->push_back(
        {blocks_sent, blocks_total, bytes_sent, bytes_total});
}

class BoardUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        kor_board_update_set_wait_ms(0);
        ASSERT_EQ(0, kor_board_update_init());
        ASSERT_EQ(0, kor_modbus_init(&sut, "/dev/ttyFAKE0", 1, 1500, 10, 3, 0, fake.table()));
    }
    void TearDown() override {
        EXPECT_EQ(0, kor_modbus_free(sut));
        kor_board_update_set_wait_ms(-1);
    }

    std::string write_file(const std::string &name, const std::vector<uint8_t> &bytes) {
        const std::string path = dir.file(name);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // CPI mode is off when a block is refused with EPERM.
    bool cpi_mode_off() {
        const uint8_t probe = 0;
        const int sends = fake.count(Op::SendRaw);
        errno = 0;
        const bool refused =
            kor_modbus_transfer_cpi_block(sut, &probe, 1, 9, 9) == -1 && errno == EPERM;
        return refused && fake.count(Op::SendRaw) == sends;
    }

    // Checks that the file went out as file 1 blocks 0.. of the given sizes, in order, carrying
    // the file's bytes, and then its last four bytes as file 2 block 0.
    void expect_sent_as(const std::vector<uint8_t> &bytes, const std::vector<size_t> &sizes) {
        const auto requests = board.requests();
        ASSERT_EQ(sizes.size() + 1, requests.size());
        size_t offset = 0;
        for (size_t i = 0; i < sizes.size(); ++i) {
            const CpiRequest &r = requests[i];
            EXPECT_EQ(1, r.slave);
            EXPECT_EQ(0x41, r.function);
            EXPECT_EQ(1, r.file) << "request " << i;
            EXPECT_EQ(static_cast<int>(i), r.block) << "request " << i;
            ASSERT_EQ(sizes[i], r.data.size()) << "block " << i;
            EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), bytes.begin() + offset))
                << "block " << i << " does not carry its part of the file";
            offset += sizes[i];
        }
        EXPECT_EQ(bytes.size(), offset);
        const CpiRequest &trailer = requests.back();
        EXPECT_EQ(2, trailer.file);
        EXPECT_EQ(0, trailer.block);
        EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 4, bytes.end()), trailer.data);
    }

    LogCapture log;
    ScratchDir dir;
    FakeLink fake;
    CpiBoardFake board{fake};
    modbus_data_t *sut = nullptr;
};

TEST_F(BoardUpdate, FileGoesOutInBlocksThenItsLastFourBytes) {
    struct Case {
        size_t size;
        std::vector<size_t> blocks;
    };
    // 500: a short last block; 494: whole blocks only, ending on a read of nothing; 249: a last
    // block of two bytes, so the trailer spans two blocks; 4: the smallest file.
    const Case cases[] = {{500, {247, 247, 6}}, {494, {247, 247}}, {249, {247, 2}}, {4, {4}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        log.clear();
        const int sends_before = fake.count(Op::SendRaw);
        const auto bytes = image(c.size);
        const auto path = write_file("fw_" + std::to_string(c.size) + ".bin", bytes);
        ASSERT_EQ(0, kor_board_update_transfer_file_to_io_board(sut, path.c_str())) << log.dump();
        auto requests = board.requests();
        requests.erase(requests.begin(), requests.begin() + sends_before);
        ASSERT_EQ(c.blocks.size() + 1, requests.size());

        size_t offset = 0;
        for (size_t i = 0; i < c.blocks.size(); ++i) {
            EXPECT_EQ(1, requests[i].file);
            EXPECT_EQ(static_cast<int>(i), requests[i].block);
            ASSERT_EQ(c.blocks[i], requests[i].data.size()) << "block " << i;
            EXPECT_TRUE(std::equal(requests[i].data.begin(), requests[i].data.end(),
                                   bytes.begin() + offset));
            offset += c.blocks[i];
        }
        EXPECT_EQ(2, requests.back().file);
        EXPECT_EQ(0, requests.back().block);
        EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 4, bytes.end()), requests.back().data);

        EXPECT_TRUE(log.contains("Performing IO Board update - file:" + path));
        EXPECT_EQ(1, log.count("Switching into CPI transfer mode - modbus polling paused..."));
        EXPECT_EQ(1, log.count("File 1 EOF detected! Transfer complete."));
        EXPECT_EQ(1, log.count("File 2 EOF detected! Transfer complete."));
        EXPECT_EQ(1, log.count("CPI transfer mode ended - modbus polling resumed..."));
        EXPECT_EQ(0, log.count_containing("Failed to apply IO Boared update!"));
        EXPECT_TRUE(cpi_mode_off());
    }
}

TEST_F(BoardUpdate, FiveHundredByteFileAsTheBoardSeesIt) {
    const auto bytes = image(500);
    const auto path = write_file("fw.bin", bytes);
    std::vector<ProgressCall> progress;
    ASSERT_EQ(0, kor_board_update_transfer_file_to_io_board_progress(sut, path.c_str(),
                                                                     record_progress, &progress));
    expect_sent_as(bytes, {247, 247, 6});
    const std::vector<ProgressCall> expected = {
        {1, 4, 247, 500}, {2, 4, 494, 500}, {3, 4, 500, 500}, {4, 4, 500, 500}};
    EXPECT_EQ(expected, progress);
    EXPECT_EQ(1, log.count("Successfully transfered 6 bytes - file:1 - block:2"));
    EXPECT_EQ(1, log.count("Successfully transfered 4 bytes - file:2 - block:0"));
}

TEST_F(BoardUpdate, WholeBlockFileReportsProgressWithoutAnEmptyBlock) {
    const auto bytes = image(494);
    const auto path = write_file("fw.bin", bytes);
    std::vector<ProgressCall> progress;
    ASSERT_EQ(0, kor_board_update_transfer_file_to_io_board_progress(sut, path.c_str(),
                                                                     record_progress, &progress));
    expect_sent_as(bytes, {247, 247});
    const std::vector<ProgressCall> expected = {
        {1, 3, 247, 494}, {2, 3, 494, 494}, {3, 3, 494, 494}};
    EXPECT_EQ(expected, progress);
}

TEST_F(BoardUpdate, UnusableFilesFailBeforeAnythingIsSent) {
    const std::string missing = dir.file("missing.bin");
    const auto three = write_file("three.bin", image(3));
    const auto empty = write_file("empty.bin", {});
    // A FIFO without a writer: opening it must not wait for one.
    const std::string fifo = dir.file("fw.fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::tuple<std::string, int, std::string> cases[] = {
        {missing, ENOENT, "Failed to open file:" + missing + " - errno:2"},
        {three, EINVAL, "Update file:" + three + " too short - 3 bytes"},
        {empty, EINVAL, "Update file:" + empty + " too short - 0 bytes"},
        {dir.path(), EINVAL, "Update file:" + dir.path() + " is not a regular file"},
        {fifo, EINVAL, "Update file:" + fifo + " is not a regular file"},
    };
    for (const auto &[path, err, why] : cases) {
        SCOPED_TRACE(path);
        log.clear();
        std::vector<ProgressCall> progress;
        errno = 0;
        EXPECT_EQ(-1, kor_board_update_transfer_file_to_io_board_progress(
                          sut, path.c_str(), record_progress, &progress));
        EXPECT_EQ(err, errno);
        EXPECT_EQ(1, log.count_containing(why)) << log.dump();
        EXPECT_EQ(1, log.count("Failed to apply IO Boared update! ret: -1 - errno:" +
                               std::to_string(err)));
        EXPECT_EQ(0, log.count("Switching into CPI transfer mode - modbus polling paused..."));
        EXPECT_EQ(1, log.count("CPI transfer mode ended - modbus polling resumed..."));
        EXPECT_TRUE(progress.empty());
        EXPECT_EQ(0, fake.count(Op::SendRaw));
        EXPECT_TRUE(cpi_mode_off());
    }
}

TEST_F(BoardUpdate, FailedBlockEndsTheUpdateAndLeavesCpiMode) {
    const auto path = write_file("fw.bin", image(1000));
    // Block 0 goes through; every attempt at block 1 gets a reply with a broken CRC.
    board.spoil_next([](std::vector<uint8_t> &) {});
    for (int i = 0; i < 3; ++i) {
        board.spoil_next(kor_test::swap_crc);
    }
    std::vector<ProgressCall> progress;
    errno = 0;
    EXPECT_EQ(-1, kor_board_update_transfer_file_to_io_board_progress(sut, path.c_str(),
                                                                      record_progress, &progress));
    EXPECT_EQ(KOR_CPI_ECRC, errno);
    const auto requests = board.requests();
    ASSERT_EQ(4u, requests.size()) << "block 0 once, block 1 three times, nothing after";
    for (size_t i = 1; i < requests.size(); ++i) {
        EXPECT_EQ(1, requests[i].file);
        EXPECT_EQ(1, requests[i].block);
    }
    const std::vector<ProgressCall> expected = {{1, 6, 247, 1000}};
    EXPECT_EQ(expected, progress);
    EXPECT_EQ(1, log.count("Failed to apply IO Boared update! ret: -1 - errno:42827423"));
    EXPECT_EQ(0, log.count("File 1 EOF detected! Transfer complete."));
    EXPECT_TRUE(cpi_mode_off());
}

TEST_F(BoardUpdate, FailedTrailerFailsTheUpdate) {
    const auto path = write_file("fw.bin", image(10));
    board.spoil_next([](std::vector<uint8_t> &) {});
    for (int i = 0; i < 3; ++i) {
        board.spoil_next([](std::vector<uint8_t> &r) { r[0] = 2; });
    }
    errno = 0;
    EXPECT_EQ(-1, kor_board_update_transfer_file_to_io_board(sut, path.c_str()));
    EXPECT_EQ(KOR_CPI_EADDRESS, errno);
    EXPECT_EQ(1, log.count("File 1 EOF detected! Transfer complete."));
    EXPECT_EQ(0, log.count("File 2 EOF detected! Transfer complete."));
    EXPECT_TRUE(cpi_mode_off());
}

TEST_F(BoardUpdate, NullArgumentsAreRefused) {
    errno = 0;
    EXPECT_EQ(-1, kor_board_update_transfer_file_to_io_board(nullptr, "/tmp/x"));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(-1, kor_board_update_transfer_file_to_io_board(sut, nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, fake.count(Op::SendRaw));
}

TEST_F(BoardUpdate, ReadFileBlockReadsZeroesAndReportsTheEnd) {
    const auto path = write_file("fw.bin", image(300));
    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, file);
    uint8_t buffer[KOR_BOARD_UPDATE_BLOCK_SIZE];
    int32_t count = -1;
    ASSERT_EQ(0, kor_board_update_read_file_block(file, buffer, sizeof buffer, &count));
    EXPECT_EQ(247, count);
    EXPECT_EQ(0, log.count("End of file reached."));
    std::fill(std::begin(buffer), std::end(buffer), 0xEE);
    ASSERT_EQ(0, kor_board_update_read_file_block(file, buffer, sizeof buffer, &count));
    EXPECT_EQ(53, count);
    EXPECT_EQ(0, buffer[53]) << "the rest of the buffer is zeroed";
    EXPECT_EQ(0, buffer[246]);
    EXPECT_EQ(image(300)[299], buffer[52]);
    EXPECT_TRUE(log.contains("Read 247 bytes from file."));
    EXPECT_TRUE(log.contains("Read 53 bytes from file."));
    EXPECT_EQ(1, log.count("End of file reached."));

    errno = 0;
    EXPECT_EQ(-1, kor_board_update_read_file_block(file, buffer, 0, &count));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(-1, kor_board_update_read_file_block(file, nullptr, 10, &count));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(-1, kor_board_update_read_file_block(file, buffer, 10, nullptr));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(-1, kor_board_update_read_file_block(nullptr, buffer, 10, &count));
    EXPECT_EQ(EINVAL, errno);
    std::fclose(file);

    // A directory opens for reading but fails to read.
    FILE *directory = std::fopen(dir.path().c_str(), "rb");
    ASSERT_NE(nullptr, directory);
    errno = 0;
    EXPECT_EQ(-1, kor_board_update_read_file_block(directory, buffer, sizeof buffer, &count));
    EXPECT_EQ(EISDIR, errno);
    EXPECT_EQ(0, count);
    EXPECT_TRUE(log.contains("ERROR reading file. errno:21"));
    std::fclose(directory);
}

}  // namespace
