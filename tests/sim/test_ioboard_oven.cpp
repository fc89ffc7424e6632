// The virtual IO board's oven and CPI receiver as a process, seen the way the oven manager sees
// them: register writes and reads with libmodbus on the pseudo-terminal, raw CPI requests, and
// the control commands that make the oven misbehave. Fast physics (--speed) keeps them short.
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log_capture.hpp"
#include "raw_master.hpp"
#include "sim_process.hpp"

namespace {

using kor_test::RawMaster;
using kor_test::SimProcess;
using kor_test::wait_until;
using kor_test::with_crc;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// The oven manager's start-up writes: blowers 1-2, belts 1-2, heater, enable and machine type.
void configure(RawMaster &master, uint16_t enable = 1) {
    const std::vector<std::pair<int, uint16_t>> writes{
        {20, 1},   {23, 450}, {24, 630},  {25, 450},   {26, 350}, {29, 1},
        {32, 450}, {33, 600}, {34, 460},  {35, 360},   {5, 362},  {13, 300},
        {15, 3},   {56, 500}, {75, 0x0F}, {1, enable}, {2, 1}};
    for (const auto &[reg, value] : writes) {
        ASSERT_EQ(master.write(reg, value), 1) << reg;
    }
}

// Waits for register 99 to show want; then the board's own list of the states it walked.
std::string walk_to(SimProcess &sim, RawMaster &master, int want,
                    std::chrono::milliseconds timeout) {
    if (!wait_until([&] { return master.read(99) == want; }, timeout)) {
        return "never reached " + std::to_string(want) + ": " + sim.command("states");
    }
    return sim.command("states");
}

TEST(IoBoardOven, WalksToBakeOnTheMastersWritesIdlesAndCoolsDown) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--speed", "50"})) << sim.last_error();
    RawMaster master(sim.link_path());
    ASSERT_TRUE(master.ok());
    EXPECT_EQ(master.read(0), 312);
    EXPECT_EQ(master.read(123), 205);
    EXPECT_EQ(master.read(122), 120);

    configure(master, 0);
    EXPECT_EQ(master.read(99), 0);  // configured but not enabled
    ASSERT_EQ(master.write(1, 1), 1);
    // Every start-up step, however short, and nothing before the enable.
    EXPECT_EQ(walk_to(sim, master, 6, 10000ms), "0 1 2 3 4 6");
    EXPECT_GE(master.read(106), 495);
    EXPECT_EQ(sim.status_field("oven_state"), "6");
    EXPECT_EQ(sim.status_field("target"), "500");
    // Blowers and belts reach their set points.
    EXPECT_TRUE(
        wait_until([&] { return master.read(108) == 630 && master.read(109) == 600; }, 5000ms));
    EXPECT_TRUE(
        wait_until([&] { return master.read(115) == 362 && master.read(116) == 300; }, 5000ms));
    EXPECT_NEAR(master.read(101), master.read(106) + 3, 2);
    EXPECT_EQ(master.read(105), 0);

    // The idle key.
    ASSERT_EQ(sim.command("states clear"), "ok");
    ASSERT_EQ(master.write(86, 2), 1);
    EXPECT_EQ(walk_to(sim, master, 5, 5000ms), "6 5");
    EXPECT_TRUE(wait_until([&] { return master.read(108) == 450; }, 5000ms));
    ASSERT_EQ(master.write(86, 1), 1);
    EXPECT_EQ(walk_to(sim, master, 6, 5000ms), "6 5 6");

    // Off: cooldown at the cool-down frequency, then off below 200 F.
    ASSERT_EQ(sim.command("states clear"), "ok");
    ASSERT_EQ(master.write(1, 0), 1);
    EXPECT_EQ(walk_to(sim, master, 0, 20000ms), "6 8 0");
    EXPECT_LE(master.read(106), 200);
    EXPECT_TRUE(wait_until([&] { return master.read(108) == 0; }, 5000ms));
}

TEST(IoBoardOven, FaultForgetFoodAndSoakCommandsShowInTheRegisters) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--speed", "100"})) << sim.last_error();
    RawMaster master(sim.link_path());
    ASSERT_TRUE(master.ok());
    configure(master);
    ASSERT_EQ(walk_to(sim, master, 6, 10000ms), "0 1 2 3 4 6");

    // A standing fault survives the master's write of 0; a one-shot one is cleared by it.
    ASSERT_EQ(sim.command("fault 203 17"), "ok");
    EXPECT_TRUE(wait_until([&] { return master.read(203) == 17 && master.read(100) == 0; }));
    EXPECT_EQ(master.read(330), 1);
    ASSERT_EQ(master.write(203, 0), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(master.read(203), 17);
    ASSERT_EQ(sim.command("fault 203 0"), "ok");
    EXPECT_TRUE(wait_until([&] { return master.read(203) == 0 && master.read(100) > 0; }));

    ASSERT_EQ(sim.command("fault 207 1"), "ok");
    EXPECT_EQ(master.read(207), 1);
    EXPECT_TRUE(wait_until([&] { return master.read(99) == 2 && master.read(117) == 3; }));
    ASSERT_EQ(sim.command("states clear"), "ok");
    ASSERT_EQ(master.write(207, 0), 1);  // the oven manager resets the ignition
    // Flame proving, then preheat: it cooled meanwhile.
    EXPECT_EQ(walk_to(sim, master, 6, 10000ms), "2 3 4 6");
    EXPECT_EQ(master.read(207), 0);

    ASSERT_EQ(sim.command("food 0.3"), "ok");
    EXPECT_EQ(master.read(107), 1);
    EXPECT_TRUE(wait_until([&] { return master.read(107) == 0; }, 2000ms));

    ASSERT_EQ(sim.command("soak 60"), "ok");
    EXPECT_EQ(master.read(99), 12);
    EXPECT_EQ(master.read(120), 60);
    const int left = master.read(121);
    EXPECT_LE(left, 60);
    EXPECT_TRUE(wait_until([&] { return master.read(121) < left && master.read(121) > 0; }));
    EXPECT_EQ(sim.status_field("oven_state"), "12");
    EXPECT_TRUE(wait_until([&] { return master.read(99) == 6; }, 5000ms));
    EXPECT_EQ(master.read(121), 0);

    // Forgetting the configuration: off, and off it stays though still enabled.
    ASSERT_EQ(sim.command("forget"), "ok");
    EXPECT_EQ(master.read(2), 0);
    EXPECT_TRUE(wait_until([&] { return master.read(99) == 0; }, 5000ms));
    ASSERT_EQ(sim.command("states clear"), "ok");
    std::this_thread::sleep_for(200ms);  // 20 simulated seconds
    EXPECT_EQ(sim.command("states"), "0");
    EXPECT_EQ(master.read(1), 1);
    ASSERT_EQ(master.write(2, 1), 1);
    EXPECT_TRUE(wait_until([&] { return master.read(99) != 0; }, 5000ms));
}

// One CPI request through libmodbus (which adds the CRC) and what comes back within wait.
Bytes cpi_exchange(RawMaster &master, uint16_t file, uint16_t block, const Bytes &data,
                   std::chrono::milliseconds wait = 500ms) {
    Bytes request{1,
                  0x41,
                  static_cast<uint8_t>(file >> 8),
                  static_cast<uint8_t>(file),
                  static_cast<uint8_t>(block >> 8),
                  static_cast<uint8_t>(block)};
    request.insert(request.end(), data.begin(), data.end());
    if (modbus_send_raw_request(master.ctx(), request.data(), static_cast<int>(request.size())) <
        0) {
        return {};
    }
    Bytes in;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (in.size() < 8) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{master.fd(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        uint8_t buffer[64];
        const ssize_t n = ::read(master.fd(), buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        in.insert(in.end(), buffer, buffer + n);
    }
    return in;
}

Bytes confirmation(uint16_t file, uint16_t block) {
    return with_crc({1, 0x41, static_cast<uint8_t>(file >> 8), static_cast<uint8_t>(file),
                     static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)});
}

TEST(IoBoardCpi, AnImageSentInBlocksLandsByteForByteInTheFirmwareFile) {
    SimProcess sim;
    const std::string out = sim.folder() + "/firmware.bin";
    ASSERT_TRUE(sim.start({"--firmware-out", out})) << sim.last_error();
    RawMaster master(sim.link_path());
    ASSERT_TRUE(master.ok());

    Bytes firmware(500);
    for (std::size_t i = 0; i < firmware.size(); ++i) {
        firmware[i] = static_cast<uint8_t>((i * 7 + 3) ^ (i >> 8));
    }
    auto part = [&](std::size_t from, std::size_t count) {
        return Bytes(firmware.begin() + static_cast<std::ptrdiff_t>(from),
                     firmware.begin() + static_cast<std::ptrdiff_t>(from + count));
    };
    EXPECT_EQ(cpi_exchange(master, 1, 0, part(0, 247)), confirmation(1, 0));
    EXPECT_EQ(cpi_exchange(master, 1, 1, part(247, 247)), confirmation(1, 1));

    // Out of order: no reply at all, and nothing stored.
    EXPECT_TRUE(cpi_exchange(master, 1, 3, part(494, 6), 300ms).empty());
    // A corrupted confirmation, then the sender's retry is confirmed soundly.
    ASSERT_EQ(sim.command("cpi-corrupt"), "ok");
    const Bytes bad = cpi_exchange(master, 1, 2, part(494, 6));
    ASSERT_EQ(bad.size(), 8u);
    EXPECT_NE(bad, confirmation(1, 2));
    const Bytes good = confirmation(1, 2);
    EXPECT_EQ(Bytes(bad.begin(), bad.begin() + 6), Bytes(good.begin(), good.begin() + 6));
    EXPECT_EQ(cpi_exchange(master, 1, 2, part(494, 6)), confirmation(1, 2));

    EXPECT_EQ(cpi_exchange(master, 2, 0, part(496, 4)), confirmation(2, 0));

    std::ifstream in(out, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), firmware);
    std::ifstream trailer(out + ".trailer", std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(trailer), {}), part(496, 4));
    char expected[64];
    std::snprintf(expected, sizeof expected,
                  "cpi blocks=3 bytes=500 trailer=%02X%02X%02X%02X refused=1 corrupt=0",
                  firmware[496], firmware[497], firmware[498], firmware[499]);
    EXPECT_EQ(sim.command("cpi"), expected);
    EXPECT_EQ(sim.status_field("cpi_bytes"), "500");

    // The line still serves registers after the transfer.
    EXPECT_EQ(master.read(0), 312);
}

}  // namespace
