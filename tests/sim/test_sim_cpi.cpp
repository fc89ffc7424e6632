// The CPI receiver of the virtual IO board, fed request frames directly: what it confirms, what it
// refuses, and what lands in the firmware file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "log_capture.hpp"
#include "sim_control.hpp"
#include "sim_cpi.hpp"
#include "sim_link.hpp"

namespace {

using namespace kor_sim;
using Bytes = std::vector<uint8_t>;

Bytes with_crc(Bytes frame) {
    const uint16_t crc = modbus_crc16(frame);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

Bytes request(uint16_t file, uint16_t block, const Bytes &data) {
    Bytes frame{kSlaveId,
                kCpiFunction,
                static_cast<uint8_t>(file >> 8),
                static_cast<uint8_t>(file),
                static_cast<uint8_t>(block >> 8),
                static_cast<uint8_t>(block)};
    frame.insert(frame.end(), data.begin(), data.end());
    return with_crc(frame);
}

Bytes confirmation(uint16_t file, uint16_t block) {
    return with_crc({kSlaveId, kCpiFunction, static_cast<uint8_t>(file >> 8),
                     static_cast<uint8_t>(file), static_cast<uint8_t>(block >> 8),
                     static_cast<uint8_t>(block)});
}

Bytes image(std::size_t size, uint8_t seed) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(i * 31 + seed);
    }
    return out;
}

Bytes slice(const Bytes &bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class CpiTest : public ::testing::Test {
  protected:
    kor_test::ScratchDir dir;
    std::string out = dir.file("firmware.bin");
    CpiReceiver sut{out};
};

TEST_F(CpiTest, StoresTheImageInOrderAndKeepsTheTrailer) {
    const Bytes firmware = image(500, 7);
    EXPECT_EQ(sut.handle(request(1, 0, slice(firmware, 0, 247))), confirmation(1, 0));
    EXPECT_EQ(read_file(out), slice(firmware, 0, 247));  // written as it arrives
    EXPECT_EQ(sut.handle(request(1, 1, slice(firmware, 247, 247))), confirmation(1, 1));
    EXPECT_EQ(sut.handle(request(1, 2, slice(firmware, 494, 6))), confirmation(1, 2));
    EXPECT_EQ(sut.handle(request(2, 0, slice(firmware, 496, 4))), confirmation(2, 0));

    EXPECT_EQ(read_file(out), firmware);
    EXPECT_EQ(read_file(out + ".trailer"), slice(firmware, 496, 4));
    const CpiStatus s = sut.status();
    EXPECT_EQ(s.blocks, 3u);
    EXPECT_EQ(s.bytes, 500u);
    ASSERT_TRUE(s.has_trailer);
    EXPECT_EQ(Bytes(s.trailer, s.trailer + 4), slice(firmware, 496, 4));
    EXPECT_EQ(s.refused, 0u);

    CommandTable table;
    add_cpi_commands(table, sut);
    char expected[80];
    std::snprintf(expected, sizeof expected, "cpi blocks=3 bytes=500 trailer=%02X%02X%02X%02X",
                  firmware[496], firmware[497], firmware[498], firmware[499]);
    EXPECT_EQ(table.run("cpi").rfind(expected, 0), 0u) << table.run("cpi");
}

TEST_F(CpiTest, ARetriedBlockIsConfirmedAgainWithoutDuplicatingItsData) {
    const Bytes firmware = image(400, 3);
    ASSERT_EQ(sut.handle(request(1, 0, slice(firmware, 0, 247))), confirmation(1, 0));
    // The sender did not get the reply and sends block 0 again, then goes on.
    EXPECT_EQ(sut.handle(request(1, 0, slice(firmware, 0, 247))), confirmation(1, 0));
    ASSERT_EQ(sut.handle(request(1, 1, slice(firmware, 247, 153))), confirmation(1, 1));
    // A retry of the last block whose data differs: the new data counts, stored once.
    Bytes changed = slice(firmware, 247, 153);
    changed[0] ^= 0xFF;
    EXPECT_EQ(sut.handle(request(1, 1, changed)), confirmation(1, 1));
    EXPECT_EQ(sut.handle(request(1, 1, slice(firmware, 247, 153))), confirmation(1, 1));
    EXPECT_EQ(read_file(out), firmware);
    EXPECT_EQ(sut.status().bytes, 400u);
    EXPECT_EQ(sut.status().blocks, 2u);
}

TEST_F(CpiTest, RefusesOutOfOrderBlocksUnknownFilesAndWrongSizesWithoutAReply) {
    const Bytes firmware = image(600, 9);
    EXPECT_TRUE(sut.handle(request(1, 1, slice(firmware, 0, 247))).empty());  // no block 0 yet
    EXPECT_TRUE(sut.handle(request(2, 0, slice(firmware, 0, 4))).empty());    // no image yet
    ASSERT_EQ(sut.handle(request(1, 0, slice(firmware, 0, 247))), confirmation(1, 0));
    ASSERT_EQ(sut.handle(request(1, 1, slice(firmware, 247, 247))), confirmation(1, 1));

    EXPECT_TRUE(sut.handle(request(1, 3, slice(firmware, 494, 106))).empty());  // skips 2
    EXPECT_TRUE(sut.handle(request(1, 0xFFFF, slice(firmware, 494, 106))).empty());
    EXPECT_TRUE(sut.handle(request(3, 2, slice(firmware, 494, 106))).empty());
    EXPECT_TRUE(sut.handle(request(0, 2, slice(firmware, 494, 106))).empty());
    EXPECT_TRUE(sut.handle(request(1, 2, {})).empty());             // no data
    EXPECT_TRUE(sut.handle(request(1, 2, image(248, 1))).empty());  // one byte too many
    EXPECT_TRUE(sut.handle(request(2, 0, {1, 2, 3})).empty());      // trailer of 3 bytes
    EXPECT_TRUE(sut.handle(request(2, 1, {1, 2, 3, 4})).empty());   // trailer block 1
    EXPECT_TRUE(sut.handle(with_crc({kSlaveId, kCpiFunction, 0, 1})).empty());  // cut short
    EXPECT_EQ(sut.status().refused, 11u);
    EXPECT_EQ(read_file(out), slice(firmware, 0, 494));  // untouched by all of that

    // The block it waits for still goes in.
    EXPECT_EQ(sut.handle(request(1, 2, slice(firmware, 494, 106))), confirmation(1, 2));
    EXPECT_EQ(sut.handle(request(1, 3, image(247, 2))), confirmation(1, 3));  // 247 at the end
    EXPECT_EQ(sut.status().bytes, 847u);
}

TEST_F(CpiTest, BlockZeroStartsANewImageAndDropsTheOldTrailer) {
    const Bytes first = image(300, 1);
    ASSERT_EQ(sut.handle(request(1, 0, slice(first, 0, 247))), confirmation(1, 0));
    ASSERT_EQ(sut.handle(request(1, 1, slice(first, 247, 53))), confirmation(1, 1));
    ASSERT_EQ(sut.handle(request(2, 0, slice(first, 296, 4))), confirmation(2, 0));

    const Bytes second = image(100, 2);
    EXPECT_EQ(sut.handle(request(1, 0, second)), confirmation(1, 0));
    EXPECT_EQ(read_file(out), second);
    EXPECT_FALSE(sut.status().has_trailer);
    std::ifstream trailer(out + ".trailer");
    EXPECT_FALSE(trailer.good());
    EXPECT_EQ(sut.status().blocks, 1u);
}

TEST_F(CpiTest, CorruptsOnlyTheNextReply) {
    CommandTable table;
    add_cpi_commands(table, sut);
    EXPECT_EQ(table.run("cpi-corrupt"), "ok");
    const Bytes good = confirmation(1, 0);
    const Bytes reply = sut.handle(request(1, 0, {0xAA, 0xBB}));
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(slice(reply, 0, 6), slice(good, 0, 6));
    EXPECT_NE(reply, good);
    EXPECT_NE(modbus_crc16(slice(reply, 0, 6)), reply[6] | (reply[7] << 8));
    // The sender retries; this time the reply is sound and the data is there once.
    EXPECT_EQ(sut.handle(request(1, 0, {0xAA, 0xBB})), good);
    EXPECT_EQ(read_file(out), (Bytes{0xAA, 0xBB}));
}

TEST(CpiWithoutFile, ChecksAndConfirmsWithoutStoring) {
    CpiReceiver sut("");
    EXPECT_EQ(sut.handle(request(1, 0, image(10, 0))), confirmation(1, 0));
    EXPECT_TRUE(sut.handle(request(1, 5, image(10, 0))).empty());
    EXPECT_EQ(sut.status().bytes, 10u);
}

TEST(CpiUnwritable, AnImageItCannotStoreIsNotConfirmed) {
    kor_test::ScratchDir dir;
    CpiReceiver sut(dir.file("missing/firmware.bin"));
    EXPECT_TRUE(sut.handle(request(1, 0, image(10, 0))).empty());
    EXPECT_NE(sut.last_error().find("missing/firmware.bin"), std::string::npos);
    EXPECT_EQ(sut.status().blocks, 0u);
}

}  // namespace
