// The oven behind the virtual IO board: the cavity's temperature, the burner, blowers, belts and
// sensors, and the board's walk through its oven states, as the oven manager sees them in the
// register map. It owns the model's state; the registers stay in the bank, where the master and
// the control socket reach them.
//
// Every tick the oven takes one picture of all registers, runs its physics in steps of 100 ms of
// simulated time (--speed N makes N of them pass in 100 ms of real time) and publishes its
// outputs in one go: status 99-124, the fault words it owns, diagnostics 299-336. Outputs are
// recomputed on every tick, so a control-socket "set" on one of them lasts until the next tick;
// the temperature (106) is the exception: a value set from outside becomes the cavity's new
// temperature, so a test can put the oven where it wants it (an over-temperature, a cold oven).
//
// A board without a machine configuration (register 2 is 0 or 0xFFFF: fresh from a reset, or
// after `forget`) does not know its oven: everything stops at once, state 0 is published, and
// from then on the oven rests and leaves the registers as they are set (only the photo-eye
// still clears) until the master configures it again. So a board nobody has configured is a
// plain register store, which is what tests of the link want from it.
//
// Fault words: the non-resettable ones (199, 201, 203, 204, 205, 209-212) describe a condition
// and are rewritten every tick from the faults raised on command and the oven's own findings (an
// over-temperature raises 205 by itself), so a master that writes 0 to them changes nothing. The
// resettable ones (200, 202, 206, 207, 208) are one-shot reports: raised once, they stay until
// the master writes 0, as the oven manager does once it has reported them. 207 is the ignition
// lockout: the burner goes out and ignition waits until the master resets it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "sim_control.hpp"
#include "sim_link.hpp"
#include "sim_registers.hpp"

namespace kor_sim {

// Board oven states (register 99).
enum OvenState : uint16_t {
    kStateOff = 0,
    kStatePurge = 1,
    kStateIgnition = 2,
    kStateFlameProving = 3,
    kStatePreheat = 4,
    kStateIdle = 5,
    kStateBake = 6,
    kStateNegativeDeltaT = 7,
    kStateCooldown = 8,
    kStateOverTemp = 9,
    kStateTest = 10,
    kStateSoak = 12,
};

constexpr int kFirstFault = 199;
constexpr int kFaultCount = 14;
constexpr size_t kStateHistory = 256;

struct OvenStatus {
    int state = 0;
    double temperature = 0.0;
    int target = 0;
    int soak_left = 0;
    bool running = true;  // physics on
};

class Oven {
  public:
    // speed: simulated seconds per real second (--speed).
    Oven(RegisterBank &bank, double speed);

    // Sets the fixed registers (versions, supply voltage, ambient temperature) and starts the
    // clock.
    void start(Clock::time_point now);
    // Milliseconds until the next tick is due (0 when it is).
    int timeout_ms(Clock::time_point now) const;
    // Runs the ticks that are due.
    void on_timeout(Clock::time_point now);

    // Raises fault word code (199-212) with bits, or clears it with 0. False for another code.
    bool raise_fault(int code, uint16_t bits);
    // The board forgets its machine configuration (register 2 := 0), as after a reset.
    void forget();
    // Food on the photo-eye (register 107 = 1) for the given real time.
    void food(Clock::time_point now, std::chrono::milliseconds duration);
    // Starts a soak of the given simulated seconds (state 12); only while the oven is heating
    // (states 4-7 or 12). False with the reason otherwise.
    bool soak(int seconds, std::string &error);
    // Stops or resumes the physics; stopped, the registers keep what they are set to.
    void run(bool on);
    OvenStatus status() const;
    // The states the oven walked through since the start or the last clear, oldest first (the
    // latest kStateHistory of them): a master polling register 99 can miss a short one.
    const std::deque<int> &states() const { return states_; }
    void clear_states() { states_.assign(1, state_); }

  private:
    using Registers = std::array<uint16_t, kRegisterCount>;
    void step(double dt, const Registers &in);
    void walk(double dt, const Registers &in);
    void move_to(int state);
    void shut_down();
    void update_over_temperature();
    double heat_output(const Registers &in) const;
    void publish(Registers &regs, Clock::time_point now);
    void rest(Registers &regs, Clock::time_point now);
    bool burner_on() const;
    bool locked_out(const Registers &in) const { return in[207] != 0; }

    RegisterBank &bank_;
    double speed_;
    std::chrono::microseconds period_;
    Clock::time_point last_tick_{};
    double pending_s_ = 0.0;
    bool running_ = true;
    bool resting_ = false;

    int state_ = kStateOff;
    std::deque<int> states_{kStateOff};
    double state_time_s_ = 0.0;
    double temperature_;
    uint16_t published_temperature_;
    double heat_percent_ = 0.0;
    std::array<double, 4> blower_hz_{};  // tenths of Hz, as the set registers
    std::array<double, 2> belt_rpm_{};
    double air_shutter_ = 0.0;
    bool over_temperature_ = false;
    int soak_total_s_ = 0;
    double soak_left_s_ = 0.0;
    Clock::time_point food_until_{};
    bool food_pending_ = false;
    std::array<uint16_t, kFaultCount> standing_faults_{};  // raised on command, kept
    int target_ = 0;
};

// fault, forget, food, soak and physics on the control socket.
void add_oven_commands(CommandTable &table, Oven &oven);

}  // namespace kor_sim
