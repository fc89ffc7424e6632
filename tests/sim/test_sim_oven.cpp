// The oven of the virtual IO board, driven tick by tick on a made-up clock: the state walk the
// oven manager follows, the physics behind the readings, and the faults and commands that bend
// it. The master's writes go through the register bank's Modbus path, as on the line.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim_link.hpp"
#include "sim_oven.hpp"
#include "sim_registers.hpp"

namespace {

using namespace kor_sim;
using namespace std::chrono_literals;

class OvenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        bank = RegisterBank::create(kSlaveId, error);
        ASSERT_TRUE(bank) << error;
        sut = std::make_unique<Oven>(*bank, 1.0);
        now = Clock::time_point{} + 1h;
        sut->start(now);
    }

    uint16_t reg(int r) const {
        uint16_t value = 0;
        bank->get(r, value);
        return value;
    }

    // A write of the master (function 6), as the oven manager makes it on the line.
    void write(int r, uint16_t value) {
        std::vector<uint8_t> frame{kSlaveId,
                                   0x06,
                                   static_cast<uint8_t>(r >> 8),
                                   static_cast<uint8_t>(r),
                                   static_cast<uint8_t>(value >> 8),
                                   static_cast<uint8_t>(value)};
        const uint16_t crc = modbus_crc16(frame);
        frame.push_back(static_cast<uint8_t>(crc & 0xFF));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
        ASSERT_EQ(bank->reply(frame).size(), 8u) << "write " << r;
    }

    // One tick (100 ms at speed 1); the board state is recorded when it changes.
    void tick() {
        now += 100ms;
        sut->on_timeout(now);
        elapsed_s += 0.1;
        if (seen.empty() || seen.back().first != reg(99)) {
            seen.emplace_back(reg(99), elapsed_s);
        }
    }

    void run_for(double seconds, const std::function<void()> &each = {}) {
        for (double s = 0; s < seconds; s += 0.1) {
            tick();
            if (each) {
                each();
            }
        }
    }

    bool run_until(const std::function<bool()> &pred, double limit_s) {
        for (double s = 0; s < limit_s; s += 0.1) {
            tick();
            if (pred()) {
                return true;
            }
        }
        return false;
    }

    std::vector<int> states_seen() const {
        std::vector<int> out;
        for (const auto &entry : seen) {
            out.push_back(entry.first);
        }
        return out;
    }

    // What the oven manager writes at start-up: blowers 1-2, belts, heater, then enable and
    // machine configuration.
    void configure(bool enable = true) {
        const std::vector<std::pair<int, uint16_t>> writes{
            {20, 1},   {23, 450}, {24, 630},  {25, 450},
            {26, 350}, {29, 1},   {32, 450},  {33, 600},
            {34, 460}, {35, 360}, {5, 362},   {13, 300},
            {15, 3},   {56, 500}, {75, 0x0F}, {1, enable ? uint16_t(1) : uint16_t(0)},
            {2, 1}};
        for (const auto &[r, v] : writes) {
            write(r, v);
        }
    }

    void bake() {
        configure();
        ASSERT_TRUE(run_until([&] { return reg(99) == kStateBake; }, 600));
        run_for(10);  // blowers and belts at speed
    }

    std::unique_ptr<RegisterBank> bank;
    std::unique_ptr<Oven> sut;
    Clock::time_point now;
    double elapsed_s = 0;
    std::vector<std::pair<int, double>> seen;  // board state and when it began
};

TEST_F(OvenTest, WalksFromOffThroughStartUpAndPreheatIntoBake) {
    EXPECT_EQ(reg(0), 312);  // the board's identity is there from the start
    EXPECT_EQ(reg(122), 120);
    EXPECT_EQ(reg(123), 205);
    run_for(10);
    EXPECT_EQ(reg(99), kStateOff);
    EXPECT_EQ(reg(106), 75);
    EXPECT_EQ(reg(119), 0);
    EXPECT_EQ(reg(108), 0);

    configure();
    const double enabled_at = elapsed_s;
    double last_temperature = 0;
    bool ignitor_seen = false;
    ASSERT_TRUE(run_until(
        [&] {
            switch (reg(99)) {
                case kStateIgnition:
                    ignitor_seen = reg(117) == 1 && reg(313) == 1;
                    EXPECT_EQ(reg(119), 0);
                    break;
                case kStatePreheat:
                    EXPECT_EQ(reg(119), 100);
                    EXPECT_GE(reg(106), last_temperature);
                    EXPECT_EQ(reg(117), 2);
                    break;
                default:
                    break;
            }
            last_temperature = reg(106);
            return reg(99) == kStateBake;
        },
        600));
    EXPECT_TRUE(ignitor_seen);
    EXPECT_EQ(states_seen(), (std::vector<int>{0, 1, 2, 3, 4, 6}));
    // Start-up takes its purge, ignition and flame proving, a few seconds each.
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_GE(seen[4].second - enabled_at, 9.5);
    EXPECT_LT(seen[4].second - enabled_at, 12.0);
    EXPECT_GE(reg(106), 495);

    // Bake holds the target with part of the heat.
    run_for(300, [&] {
        ASSERT_GE(reg(106), 490);
        ASSERT_LE(reg(106), 510);
    });
    EXPECT_GT(reg(119), 10);
    EXPECT_LT(reg(119), 90);
    EXPECT_EQ(reg(108), 630);
    EXPECT_EQ(reg(109), 600);
    EXPECT_EQ(reg(110), 0);  // blowers 3 and 4 are not enabled
    EXPECT_EQ(reg(111), 0);
    EXPECT_EQ(reg(115), 362);
    EXPECT_EQ(reg(116), 300);
    // Thermocouples 1-4 (mask 0x0F) read the cavity with their offsets; 5 and 6 are off.
    const int t = reg(106);
    EXPECT_NEAR(reg(100), t - 2, 1);
    EXPECT_NEAR(reg(101), t + 3, 1);
    EXPECT_NEAR(reg(102), t - 1, 1);
    EXPECT_NEAR(reg(103), t + 2, 1);
    EXPECT_EQ(reg(104), 0);
    EXPECT_EQ(reg(105), 0);
    // Diagnostics: flame, air proven, valve open, ignitor off, all probes sound.
    EXPECT_EQ(reg(299), 1);
    EXPECT_EQ(reg(300), 1);
    EXPECT_EQ(reg(310), 1);
    EXPECT_EQ(reg(313), 0);
    for (int r = 330; r <= 336; ++r) {
        EXPECT_EQ(reg(r), 0) << r;
    }
}

TEST_F(OvenTest, StaysOffWithoutAValidMachineConfigurationAndAfterForgetting) {
    write(1, 1);
    run_for(30);
    EXPECT_EQ(reg(99), kStateOff);
    write(2, 0xFFFF);
    run_for(30);
    EXPECT_EQ(reg(99), kStateOff);
    write(2, 5);
    tick();
    EXPECT_EQ(reg(99), kStatePurge);

    bake();
    sut->forget();
    EXPECT_EQ(reg(2), 0);
    tick();
    EXPECT_EQ(reg(99), kStateOff);
    EXPECT_EQ(reg(119), 0);
    run_for(60);
    EXPECT_EQ(reg(99), kStateOff);
    EXPECT_EQ(reg(1), 1);  // still enabled: only the configuration is gone
    write(2, 1);
    tick();
    EXPECT_EQ(reg(99), kStatePurge);
}

TEST_F(OvenTest, IdleKeyChoosesIdleAndTheBlowersFollowTheirFrequencies) {
    tick();
    write(86, 2);
    configure();
    ASSERT_TRUE(run_until([&] { return reg(99) == kStateIdle; }, 600));
    EXPECT_EQ(states_seen(), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    // From the set speed of preheat to the idle speed, with a ramp.
    EXPECT_GT(reg(108), 450);
    run_for(5);
    EXPECT_EQ(reg(108), 450);
    EXPECT_EQ(reg(109), 460);

    write(86, 1);
    tick();
    EXPECT_EQ(reg(99), kStateBake);
    run_for(5);
    EXPECT_EQ(reg(108), 630);
    write(86, 2);
    tick();
    EXPECT_EQ(reg(99), kStateIdle);

    // A new set frequency is followed in a ramp.
    write(86, 1);
    write(24, 500);
    tick();
    EXPECT_GT(reg(108), 500);
    run_for(2);
    EXPECT_EQ(reg(108), 500);
}

TEST_F(OvenTest, CoolsDownAfterEnableOffAndSwitchesOffBelow200F) {
    bake();
    write(1, 0);
    tick();
    EXPECT_EQ(reg(99), kStateCooldown);
    EXPECT_EQ(reg(119), 0);
    run_for(5);
    EXPECT_EQ(reg(108), 350);  // cool-down frequencies
    EXPECT_EQ(reg(109), 360);
    EXPECT_EQ(reg(115), 0);  // belts stop
    EXPECT_EQ(reg(112), 1);  // the cooling fan runs
    // Enable again while cooling: start-up again.
    write(1, 1);
    tick();
    EXPECT_EQ(reg(99), kStatePurge);
    write(1, 0);
    tick();
    EXPECT_EQ(reg(99), kStateCooldown);

    ASSERT_TRUE(run_until([&] { return reg(99) == kStateOff; }, 1200));
    EXPECT_LE(reg(106), 200);
    EXPECT_GE(reg(106), 195);
    run_for(5);
    EXPECT_EQ(reg(108), 0);
    // Without heat the cavity goes on cooling toward the room.
    run_for(1800);
    EXPECT_LT(reg(106), 100);
    EXPECT_GE(reg(106), 75);
}

TEST_F(OvenTest, ReheatsWhenTheCavityFallsFarBelowTarget) {
    bake();
    write(56, 600);
    tick();
    EXPECT_EQ(reg(99), kStateNegativeDeltaT);
    EXPECT_EQ(reg(119), 100);
    ASSERT_TRUE(run_until([&] { return reg(99) == kStateBake; }, 600));
    EXPECT_GE(reg(106), 595);
    // A lower target only lets it cool: it stays in bake.
    write(56, 450);
    run_for(60);
    EXPECT_EQ(reg(99), kStateBake);
}

TEST_F(OvenTest, OverTemperatureRaisesFault205UntilTheCavityCools) {
    bake();
    ASSERT_TRUE(bank->set(106, 700));  // taken over as the cavity temperature
    tick();
    EXPECT_EQ(reg(99), kStateOverTemp);
    EXPECT_EQ(reg(205) & 1, 1);
    EXPECT_EQ(reg(119), 0);
    write(205, 0);  // not a fault the master can reset
    tick();
    EXPECT_EQ(reg(205) & 1, 1);
    ASSERT_TRUE(run_until([&] { return reg(205) == 0; }, 600));
    EXPECT_LE(reg(106), 600);
    tick();
    EXPECT_EQ(reg(99), kStatePurge);  // still enabled: start again
}

TEST_F(OvenTest, IgnitionLockoutWaitsForTheMasterToResetIt) {
    sut->raise_fault(207, 1);
    run_for(5);
    EXPECT_EQ(reg(99), kStateOff);  // no burner to lock out
    write(207, 0);

    bake();
    sut->raise_fault(207, 1);
    tick();
    EXPECT_EQ(reg(99), kStateIgnition);
    EXPECT_EQ(reg(117), 3);
    EXPECT_EQ(reg(313), 1);  // ignitor output on: the manager's ignitor status 3
    EXPECT_EQ(reg(299), 0);  // no flame
    run_for(120);
    EXPECT_EQ(reg(99), kStateIgnition);
    EXPECT_EQ(reg(207), 1);
    EXPECT_EQ(reg(119), 0);
    EXPECT_LT(reg(106), 450);

    seen.clear();
    write(207, 0);  // the oven manager resets the resettable fault
    ASSERT_TRUE(run_until([&] { return reg(99) == kStateBake; }, 600));
    EXPECT_EQ(states_seen(), (std::vector<int>{2, 3, 4, 6}));
}

TEST_F(OvenTest, StandingFaultsOutliveMasterWritesOneShotFaultsDoNot) {
    bake();
    EXPECT_FALSE(sut->raise_fault(198, 1));
    EXPECT_FALSE(sut->raise_fault(213, 1));

    sut->raise_fault(203, 0x01);
    tick();
    EXPECT_EQ(reg(203), 1);
    EXPECT_EQ(reg(100), 0);  // thermocouple 1 broken
    EXPECT_EQ(reg(330), 1);
    EXPECT_EQ(reg(314), 1);  // alarm output
    write(203, 0);
    tick();
    EXPECT_EQ(reg(203), 1);
    sut->raise_fault(203, 0);
    tick();
    EXPECT_EQ(reg(203), 0);
    EXPECT_GT(reg(100), 400);
    EXPECT_EQ(reg(314), 0);

    sut->raise_fault(206, 1);
    sut->raise_fault(200, 0x02);
    EXPECT_EQ(reg(206), 1);  // seen at once
    tick();
    EXPECT_EQ(reg(112), 0);
    EXPECT_EQ(reg(109), 0);  // blower 2 not running
    EXPECT_EQ(reg(108), 630);
    write(206, 0);
    write(200, 0);
    run_for(5);
    EXPECT_EQ(reg(206), 0);
    EXPECT_EQ(reg(200), 0);
    EXPECT_EQ(reg(112), 1);
    EXPECT_EQ(reg(109), 600);

    // High-limit relay open: no heat while it stands.
    sut->raise_fault(212, 1);
    tick();
    EXPECT_EQ(reg(119), 0);
    EXPECT_EQ(reg(301), 0);
    sut->raise_fault(212, 0);
    run_for(30);
    EXPECT_GT(reg(119), 0);
}

TEST_F(OvenTest, SoakCountsDownAndThenBakes) {
    std::string error;
    EXPECT_FALSE(sut->soak(30, error));
    EXPECT_NE(error.find("state 0"), std::string::npos) << error;

    bake();
    ASSERT_TRUE(sut->soak(30, error)) << error;
    EXPECT_EQ(reg(99), kStateSoak);
    EXPECT_EQ(reg(120), 30);
    EXPECT_EQ(reg(121), 30);
    run_for(10);
    EXPECT_NEAR(reg(121), 20, 1);
    EXPECT_EQ(reg(99), kStateSoak);
    EXPECT_GE(reg(106), 490);  // held at temperature
    EXPECT_EQ(sut->status().soak_left, reg(121));
    ASSERT_TRUE(run_until([&] { return reg(99) != kStateSoak; }, 30));
    EXPECT_EQ(reg(99), kStateBake);
    EXPECT_EQ(reg(121), 0);
    EXPECT_EQ(reg(120), 30);  // the start value stays readable

    // Switched off during a soak: cooldown, nothing left to count.
    ASSERT_TRUE(sut->soak(100, error));
    run_for(5);
    write(1, 0);
    tick();
    EXPECT_EQ(reg(99), kStateCooldown);
    EXPECT_EQ(reg(121), 0);
}

TEST_F(OvenTest, TestFlagHoldsTheBoardInTestMode) {
    bake();
    write(74, 1);  // blower relay test
    tick();
    EXPECT_EQ(reg(99), kStateTest);
    EXPECT_EQ(reg(119), 0);
    run_for(5);
    EXPECT_EQ(reg(108), 450);  // start-up frequency
    EXPECT_EQ(reg(115), 0);
    write(74, 3);  // belt test
    run_for(5);
    EXPECT_EQ(reg(115), 362);
    EXPECT_EQ(reg(108), 0);
    write(74, 2);  // heater relay test: the outputs are the master's
    write(310, 1);
    run_for(2);
    EXPECT_EQ(reg(310), 1);
    write(310, 0);
    run_for(2);
    EXPECT_EQ(reg(310), 0);
    write(74, 0);
    tick();
    tick();
    EXPECT_EQ(reg(99), kStatePurge);  // enabled: walks again
}

TEST_F(OvenTest, AnUnconfiguredBoardRestsAndLeavesTheRegistersAsSet) {
    ASSERT_TRUE(bank->set(99, 4));
    ASSERT_TRUE(bank->set(106, 350));
    ASSERT_TRUE(bank->set(212, 9));
    write(1, 1);
    run_for(60);
    EXPECT_EQ(reg(99), 4);
    EXPECT_EQ(reg(106), 350);
    EXPECT_EQ(reg(212), 9);

    // Configured, the oven takes over: 350 F is where the cavity is, 212 is its own again.
    configure();
    tick();
    EXPECT_EQ(reg(212), 0);
    EXPECT_EQ(reg(99), kStatePurge);
    EXPECT_GE(reg(106), 349);
    EXPECT_LE(reg(106), 350);

    // Forgotten while heating: everything stops at once, then it rests again.
    run_for(60);
    ASSERT_GT(reg(108), 0);
    sut->forget();
    tick();
    EXPECT_EQ(reg(99), kStateOff);
    EXPECT_EQ(reg(108), 0);
    EXPECT_EQ(reg(115), 0);
    EXPECT_EQ(reg(119), 0);
    ASSERT_TRUE(bank->set(99, 7));
    run_for(5);
    EXPECT_EQ(reg(99), 7);
}

TEST_F(OvenTest, PhotoEyeSeesFoodForItsRealTime) {
    sut->food(now, 2s);
    EXPECT_EQ(reg(107), 1);
    run_for(1.5);
    EXPECT_EQ(reg(107), 1);
    EXPECT_EQ(reg(302), 1);  // its digital input
    run_for(1);
    EXPECT_EQ(reg(107), 0);
}

TEST_F(OvenTest, StoppedPhysicsLeavesTheRegistersAlone) {
    configure(false);
    tick();
    sut->run(false);
    ASSERT_TRUE(bank->set(99, 6));
    ASSERT_TRUE(bank->set(106, 480));
    run_for(5);
    EXPECT_EQ(reg(99), 6);
    EXPECT_FALSE(sut->status().running);
    sut->run(true);
    run_for(1);
    EXPECT_EQ(reg(99), kStateOff);
    EXPECT_LT(reg(106), 480);  // the oven took the set temperature over and cools from it
    EXPECT_GT(reg(106), 470);
}

TEST(OvenSpeed, SpeedRunsSimulatedTimeFaster) {
    std::string error;
    auto bank = RegisterBank::create(kSlaveId, error);
    ASSERT_TRUE(bank) << error;
    auto t0 = Clock::time_point{} + 1h;
    EXPECT_EQ(Oven(*bank, 0.5).timeout_ms(t0), 0);  // never started: due at once
    {
        Oven slow(*bank, 0.5);
        slow.start(t0);
        EXPECT_EQ(slow.timeout_ms(t0), 100);  // at most 100 ms between ticks
        Oven fast(*bank, 1000);
        fast.start(t0);
        EXPECT_EQ(fast.timeout_ms(t0), 5);  // at least 5 ms, more steps a tick
    }
    Oven sut(*bank, 10);
    sut.start(t0);
    EXPECT_EQ(sut.timeout_ms(t0), 10);
    bank->set(1, 1);
    bank->set(2, 1);
    uint16_t state = 0;
    auto t = t0;
    // Five simulated seconds of purge pass in half a real second.
    for (; t < t0 + 450ms; t += 10ms) {
        sut.on_timeout(t);
    }
    bank->get(99, state);
    EXPECT_EQ(state, kStatePurge);
    for (; t < t0 + 600ms; t += 10ms) {
        sut.on_timeout(t);
    }
    bank->get(99, state);
    EXPECT_EQ(state, kStateIgnition);
}

}  // namespace
