// The oven behind the virtual IO board; see sim_oven.hpp.
#include "sim_oven.hpp"

#include <algorithm>
#include <cmath>

namespace kor_sim {

namespace {

using Args = std::span<const std::string_view>;

// One physics step of simulated time.
constexpr double kStepS = 0.1;
// After a stall (a stopped process, a loaded machine) the oven catches up at most this much
// simulated time at once instead of racing through hours in one tick.
constexpr double kMaxCatchUpS = 600.0;

constexpr double kAmbientF = 75.0;
// Full fire adds this many degrees a second; the cavity loses heat in proportion to its excess
// over the room, faster with the blowers moving air. At 500 F bake holds with about 57 % heat.
constexpr double kHeatRateFPerS = 8.0;
constexpr double kLossStill = 0.004;
constexpr double kLossAirflow = 0.008;
// Within this band below target the oven counts as up to temperature; further below than the
// drop band while baking it reheats (negative delta T).
constexpr double kReadyBandF = 5.0;
constexpr double kDropBandF = 25.0;
constexpr double kProportionalPerF = 10.0;  // heat percent per degree of error
constexpr double kOverTempF = 650.0;
constexpr double kOverTempClearF = 600.0;
constexpr double kCooledF = 200.0;

// Start-up steps, simulated seconds.
constexpr double kPurgeS = 5.0;
constexpr double kIgnitionS = 3.0;
constexpr double kFlameProvingS = 2.0;
constexpr double kLowFirePercent = 20.0;

constexpr double kBlowerRampPerS = 200.0;  // tenths of Hz a second
constexpr double kBeltRampPerS = 200.0;    // RPM a second
constexpr double kShutterRampPerS = 20.0;

// Fixed identity of the board.
constexpr uint16_t kFirmwareVersion = 312;
constexpr uint16_t kSupplyVolts = 120;
constexpr uint16_t kDriveBoardVersion[2] = {205, 205};

// Each thermocouple reads the cavity with its own small error.
constexpr double kThermocoupleOffsetF[6] = {-2.0, 3.0, -1.0, 2.0, -4.0, 1.0};

constexpr int kRegEnable = 1;
constexpr int kRegMachineConfig = 2;
constexpr int kRegBelt1Speed = 5;
constexpr int kRegBelt2Speed = 13;
constexpr int kRegBeltsEnabled = 15;
constexpr int kRegBlowerBase = 20;  // + 9 per blower
constexpr int kRegTarget = 56;
constexpr int kRegAttenuation = 62;
constexpr int kRegAirDamper = 66;
constexpr int kRegTestFlag = 74;
constexpr int kRegTcEnable = 75;
constexpr int kRegHeatMax = 77;
constexpr int kRegIdleKey = 86;
constexpr int kRegState = 99;
constexpr int kRegTemperature = 106;
constexpr int kRegPhotoEye = 107;
constexpr int kRegPhotoEyeInput = 302;  // di4
constexpr int kRegSoakStart = 120;
constexpr int kRegSoakLeft = 121;
constexpr int kStatusCount = 26;  // 99-124
constexpr int kFirstDiagnostic = 299;
constexpr int kDiagnosticCount = 38;

constexpr int kFaultBlower = 200;
constexpr int kFaultDriveBoard = 199;
constexpr int kFaultBelt = 201;
constexpr int kFaultThermocouple = 203;
constexpr int kFaultNoPidProbes = 204;
constexpr int kFaultOverTemp = 205;
constexpr int kFaultCoolingFan = 206;
constexpr int kFaultControlBox150 = 209;
constexpr int kFaultControlBox165 = 210;
constexpr int kFaultAmbientProbe = 211;
constexpr int kFaultHighLimit = 212;

bool resettable(int code) {
    return code == 200 || code == 202 || code == 206 || code == 207 || code == 208;
}

bool heating_state(int state) {
    return (state >= kStatePurge && state <= kStateNegativeDeltaT) || state == kStateSoak;
}

double ramp(double value, double target, double step) {
    return value < target ? std::min(value + step, target) : std::max(value - step, target);
}

uint16_t to_word(double value) {
    return static_cast<uint16_t>(std::lround(std::clamp(value, 0.0, 65535.0)));
}

}  // namespace

Oven::Oven(RegisterBank &bank, double speed)
    : bank_(bank),
      speed_(speed),
      period_(std::clamp(std::chrono::microseconds(static_cast<int64_t>(100'000.0 / speed)),
                         std::chrono::microseconds(5'000), std::chrono::microseconds(100'000))),
      temperature_(kAmbientF),
      published_temperature_(to_word(kAmbientF)) {}

void Oven::start(Clock::time_point now) {
    bank_.set(0, kFirmwareVersion);
    bank_.set(122, kSupplyVolts);
    bank_.set(123, kDriveBoardVersion[0]);
    bank_.set(124, kDriveBoardVersion[1]);
    last_tick_ = now;
    Registers regs{};
    bank_.get_range(0, regs);
    publish(regs, now);
    resting_ = true;  // no machine configuration yet
}

int Oven::timeout_ms(Clock::time_point now) const {
    const auto left = last_tick_ + period_ - now;
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void Oven::on_timeout(Clock::time_point now) {
    if (now < last_tick_ + period_) {
        return;
    }
    const double real_s = std::chrono::duration<double>(now - last_tick_).count();
    last_tick_ = now;
    if (!running_) {
        return;
    }
    pending_s_ = std::min(pending_s_ + real_s * speed_, kMaxCatchUpS);
    Registers regs{};
    bank_.get_range(0, regs);
    if (regs[kRegMachineConfig] == 0 || regs[kRegMachineConfig] == 0xFFFF) {
        rest(regs, now);
        return;
    }
    resting_ = false;
    if (regs[kRegTemperature] != published_temperature_) {
        temperature_ = regs[kRegTemperature];  // put there from outside: the cavity follows
    }
    target_ = regs[kRegTarget];
    while (pending_s_ >= kStepS) {
        step(kStepS, regs);
        pending_s_ -= kStepS;
    }
    publish(regs, now);
}

void Oven::rest(Registers &regs, Clock::time_point now) {
    pending_s_ = 0.0;
    if (!resting_) {
        // Everything stops at once, as on a board reset; then the registers are left alone.
        move_to(kStateOff);
        heat_percent_ = 0.0;
        blower_hz_.fill(0.0);
        belt_rpm_.fill(0.0);
        air_shutter_ = 0.0;
        publish(regs, now);
        resting_ = true;
        return;
    }
    if (food_pending_ && now >= food_until_) {
        food_pending_ = false;
        bank_.set(kRegPhotoEye, 0);
        bank_.set(kRegPhotoEyeInput, 0);
    }
}

void Oven::move_to(int state) {
    if (state != state_) {
        state_ = state;
        state_time_s_ = 0.0;
        states_.push_back(state);
        if (states_.size() > kStateHistory) {
            states_.pop_front();
        }
    }
    if (state != kStateSoak) {
        soak_left_s_ = 0.0;
    }
}

void Oven::shut_down() {
    move_to(temperature_ >= kCooledF ? kStateCooldown : kStateOff);
}

void Oven::update_over_temperature() {
    if (temperature_ > kOverTempF) {
        over_temperature_ = true;
    } else if (temperature_ < kOverTempClearF) {
        over_temperature_ = false;
    }
}

bool Oven::burner_on() const {
    return state_ == kStateFlameProving || state_ == kStatePreheat || state_ == kStateIdle ||
           state_ == kStateBake || state_ == kStateNegativeDeltaT || state_ == kStateSoak;
}

// Only a configured board walks (on_timeout rests an unconfigured one).
void Oven::walk(double dt, const Registers &in) {
    state_time_s_ += dt;
    const bool enabled = in[kRegEnable] != 0;
    const double target = in[kRegTarget];
    const int settled = in[kRegIdleKey] == 2 ? kStateIdle : kStateBake;
    const bool near_target = temperature_ >= target - kReadyBandF;
    const bool over = over_temperature_ || standing_faults_[kFaultOverTemp - kFirstFault] != 0;

    if (in[kRegTestFlag] != 0) {
        move_to(kStateTest);
        return;
    }
    if (state_ == kStateTest) {
        move_to(kStateOff);
    }
    if (over) {
        move_to(kStateOverTemp);
        return;
    }
    if (state_ == kStateOverTemp) {
        // Cooled below the limit: start again from the purge, or cool down when switched off.
        if (enabled) {
            move_to(kStatePurge);
        } else {
            shut_down();
        }
        return;
    }
    if (state_ == kStateOff || state_ == kStateCooldown) {
        if (enabled) {
            move_to(kStatePurge);
        } else if (state_ == kStateCooldown && temperature_ < kCooledF) {
            move_to(kStateOff);
        }
        return;
    }
    if (!enabled) {
        shut_down();
        return;
    }
    // A lockout puts the flame out; ignition waits for the master to reset it.
    if (locked_out(in) && state_ != kStatePurge && state_ != kStateIgnition) {
        move_to(kStateIgnition);
        return;
    }
    switch (state_) {
        case kStatePurge:
            if (state_time_s_ >= kPurgeS) {
                move_to(kStateIgnition);
            }
            break;
        case kStateIgnition:
            if (locked_out(in)) {
                state_time_s_ = 0.0;  // after the reset the ignition trial starts afresh
            } else if (state_time_s_ >= kIgnitionS) {
                move_to(kStateFlameProving);
            }
            break;
        case kStateFlameProving:
            if (state_time_s_ >= kFlameProvingS) {
                move_to(kStatePreheat);
            }
            break;
        case kStatePreheat:
        case kStateNegativeDeltaT:
            if (near_target) {
                move_to(settled);
            }
            break;
        case kStateIdle:
        case kStateBake:
            move_to(temperature_ < target - kDropBandF ? kStateNegativeDeltaT : settled);
            break;
        case kStateSoak:
            if (soak_left_s_ <= 0.0) {
                move_to(near_target ? settled : kStatePreheat);
            }
            break;
        default:
            break;
    }
}

double Oven::heat_output(const Registers &in) const {
    const bool over = over_temperature_ || standing_faults_[kFaultOverTemp - kFirstFault] != 0;
    if (!burner_on() || locked_out(in) || over || in[kFaultNoPidProbes] != 0 ||
        in[kFaultHighLimit] != 0) {
        return 0.0;
    }
    const double most =
        in[kRegHeatMax] >= 1 && in[kRegHeatMax] <= 100 ? double(in[kRegHeatMax]) : 100.0;
    const double target = in[kRegTarget];
    switch (state_) {
        case kStateFlameProving:
            return std::min(kLowFirePercent, most);
        case kStatePreheat:
        case kStateNegativeDeltaT:
            return most;
        default: {
            // Hold the target: what the losses take at the target, plus a proportional part.
            const double hold = kLossAirflow * (target - kAmbientF) / kHeatRateFPerS * 100.0;
            return std::clamp(hold + kProportionalPerF * (target - temperature_), 0.0, most);
        }
    }
}

void Oven::step(double dt, const Registers &in) {
    update_over_temperature();
    walk(dt, in);
    heat_percent_ = heat_output(in);

    for (int i = 0; i < 4; ++i) {
        const int base = kRegBlowerBase + 9 * i;
        double target = 0.0;
        switch (state_) {
            case kStatePurge:
            case kStateIgnition:
            case kStateFlameProving:
                target = in[base + 3];
                break;
            case kStatePreheat:
            case kStateBake:
            case kStateNegativeDeltaT:
            case kStateSoak:
                target = in[base + 4];
                break;
            case kStateIdle:
                target = in[base + 5];
                break;
            case kStateCooldown:
            case kStateOverTemp:
                target = in[base + 6];
                break;
            case kStateTest:
                target = in[kRegTestFlag] == 1 ? in[base + 3] : 0.0;
                break;
            default:
                break;
        }
        if (in[base] == 0) {
            target = 0.0;
        }
        if ((in[kFaultBlower] & (1u << i)) != 0) {
            blower_hz_[i] = 0.0;  // not running
        } else {
            blower_hz_[i] = ramp(blower_hz_[i], target, kBlowerRampPerS * dt);
        }
    }
    const bool belts_run = heating_state(state_) || (state_ == kStateTest && in[kRegTestFlag] == 3);
    for (int j = 0; j < 2; ++j) {
        double target = in[j == 0 ? kRegBelt1Speed : kRegBelt2Speed];
        if (!belts_run || (in[kRegBeltsEnabled] & (1u << j)) == 0 ||
            (in[kFaultDriveBoard] & (1u << j)) != 0) {
            target = 0.0;
        } else if ((in[kFaultBelt] & (1u << j)) != 0) {
            target /= 2.0;  // the belt lags far behind its set speed
        }
        belt_rpm_[j] = ramp(belt_rpm_[j], target, kBeltRampPerS * dt);
    }
    air_shutter_ = ramp(air_shutter_, burner_on() ? in[kRegAirDamper] : 0.0, kShutterRampPerS * dt);

    const bool airflow =
        std::any_of(blower_hz_.begin(), blower_hz_.end(), [](double hz) { return hz > 0.0; });
    const double loss = airflow ? kLossAirflow : kLossStill;
    temperature_ +=
        dt * (kHeatRateFPerS * heat_percent_ / 100.0 - loss * (temperature_ - kAmbientF));
    update_over_temperature();
    if (state_ == kStateSoak) {
        soak_left_s_ = std::max(0.0, soak_left_s_ - dt);
    }
}

void Oven::publish(Registers &regs, Clock::time_point now) {
    // Fault words the oven owns: what was raised on command plus its own findings.
    for (int i = 0; i < kFaultCount; ++i) {
        const int code = kFirstFault + i;
        if (!resettable(code)) {
            regs[code] = standing_faults_[i];
        }
    }
    if (over_temperature_) {
        regs[kFaultOverTemp] |= 1;
    }
    auto fault = [&regs](int code) { return regs[code]; };

    uint16_t tcstate[7] = {};
    for (int i = 0; i < 5; ++i) {
        tcstate[i] = (fault(kFaultThermocouple) & (1u << i)) != 0 ? 1 : 0;
    }
    if (fault(kFaultAmbientProbe) != 0) {
        tcstate[4] = 1;  // the ambient probe sits at position 5
    }

    const bool photo_eye = now < food_until_;
    if (!photo_eye) {
        food_pending_ = false;
    }
    const bool cooling_fan =
        (state_ != kStateOff || temperature_ > 150.0) && fault(kFaultCoolingFan) == 0;
    const bool igniting = state_ == kStateIgnition;
    const bool locked = regs[207] != 0;
    const bool flame = burner_on() && !locked;
    uint16_t ignition = 0;
    if (igniting) {
        ignition = locked ? 3 : 1;
    } else if (flame) {
        ignition = 2;
    }

    regs[kRegState] = static_cast<uint16_t>(state_);
    for (int i = 0; i < 6; ++i) {
        const bool enabled = (regs[kRegTcEnable] & (1u << i)) != 0;
        const bool sound = i >= 5 || tcstate[i] == 0;
        regs[100 + i] = enabled && sound ? to_word(temperature_ + kThermocoupleOffsetF[i]) : 0;
    }
    published_temperature_ = to_word(temperature_);
    regs[kRegTemperature] = published_temperature_;
    regs[kRegPhotoEye] = photo_eye ? 1 : 0;
    for (int i = 0; i < 4; ++i) {
        regs[108 + i] = to_word(blower_hz_[i]);
    }
    regs[112] = cooling_fan ? 1 : 0;
    regs[115] = to_word(belt_rpm_[0]);
    regs[116] = to_word(belt_rpm_[1]);
    regs[117] = ignition;
    regs[118] = to_word(air_shutter_);
    regs[119] = to_word(heat_percent_);
    regs[kRegSoakLeft] = to_word(std::ceil(soak_left_s_));
    if (state_ == kStateSoak) {
        regs[kRegSoakStart] = static_cast<uint16_t>(soak_total_s_);
    }

    // Diagnostics: the inputs and outputs behind the picture above.
    uint16_t *di = &regs[kFirstDiagnostic];
    uint16_t *oc = di + 8;
    uint16_t *dac = oc + 8;
    uint16_t *mcp = dac + 8;
    const bool airflow =
        std::any_of(blower_hz_.begin(), blower_hz_.end(), [](double hz) { return hz > 0.0; });
    const bool belts = belt_rpm_[0] > 0.0 || belt_rpm_[1] > 0.0;
    di[0] = flame ? 1 : 0;                        // flame sense
    di[1] = airflow ? 1 : 0;                      // air proving switch
    di[2] = fault(kFaultHighLimit) == 0 ? 1 : 0;  // high-limit relay closed
    di[3] = photo_eye ? 1 : 0;                    // photo-eye
    di[4] = regs[kRegEnable] != 0 ? 1 : 0;        // enable
    di[5] = 1;                                    // gas pressure switch
    di[6] = di[7] = 0;
    // With the heater relay test on, the outputs are the master's to drive.
    if (!(state_ == kStateTest && regs[kRegTestFlag] == 2)) {
        bool any_fault = false;
        for (int i = 0; i < kFaultCount; ++i) {
            any_fault = any_fault || regs[kFirstFault + i] != 0;
        }
        oc[0] = airflow ? 1 : 0;                           // blower relay
        oc[1] = belts ? 1 : 0;                             // belt relay
        oc[2] = cooling_fan ? 1 : 0;                       // cooling fan
        oc[3] = (flame || (igniting && !locked)) ? 1 : 0;  // gas manifold valve
        oc[4] = regs[kRegAttenuation] != 0 && flame && heat_percent_ < 50.0 ? 1 : 0;
        oc[5] = 0;
        oc[6] = igniting ? 1 : 0;   // ignitor
        oc[7] = any_fault ? 1 : 0;  // alarm
    }
    for (int i = 0; i < 4; ++i) {
        dac[i] = to_word(blower_hz_[i]);  // inverter speed commands
    }
    dac[4] = to_word(heat_percent_ * 40.95);  // modulating valve, 12 bits
    dac[5] = dac[6] = dac[7] = 0;
    double box = 85.0 + temperature_ / 25.0;
    if (fault(kFaultControlBox165) != 0) {
        box = 170.0;
    } else if (fault(kFaultControlBox150) != 0) {
        box = 155.0;
    }
    mcp[0] = to_word(box);  // control box temperature
    mcp[1] = regs[122];     // supply voltage
    for (int i = 2; i < 7; ++i) {
        mcp[i] = 0;
    }
    std::copy(std::begin(tcstate), std::end(tcstate), mcp + 7);

    bank_.set_range(kRegState, std::span<const uint16_t>(&regs[kRegState], kStatusCount));
    bank_.set_range(kFirstFault, std::span<const uint16_t>(&regs[kFirstFault], kFaultCount));
    bank_.set_range(kFirstDiagnostic,
                    std::span<const uint16_t>(&regs[kFirstDiagnostic], kDiagnosticCount));
}

bool Oven::raise_fault(int code, uint16_t bits) {
    if (code < kFirstFault || code >= kFirstFault + kFaultCount) {
        return false;
    }
    if (!resettable(code)) {
        standing_faults_[code - kFirstFault] = bits;
    }
    uint16_t value = bits;
    if (code == kFaultOverTemp && over_temperature_) {
        value |= 1;
    }
    bank_.set(code, value);
    return true;
}

void Oven::forget() {
    bank_.set(kRegMachineConfig, 0);
}

void Oven::food(Clock::time_point now, std::chrono::milliseconds duration) {
    food_until_ = now + duration;
    food_pending_ = true;
    bank_.set(kRegPhotoEye, 1);
    bank_.set(kRegPhotoEyeInput, 1);
}

bool Oven::soak(int seconds, std::string &error) {
    if (!running_) {
        error = "the physics is off";
        return false;
    }
    if (!(state_ >= kStatePreheat && state_ <= kStateNegativeDeltaT) && state_ != kStateSoak) {
        error = "a soak needs a heating oven (state 4-7 or 12), the oven is in state " +
                std::to_string(state_);
        return false;
    }
    move_to(kStateSoak);
    soak_total_s_ = seconds;
    soak_left_s_ = seconds;
    // Seen at once, not only after the next tick.
    bank_.set(kRegState, kStateSoak);
    bank_.set(kRegSoakStart, static_cast<uint16_t>(seconds));
    bank_.set(kRegSoakLeft, static_cast<uint16_t>(seconds));
    return true;
}

void Oven::run(bool on) {
    if (on && !running_) {
        // The oven takes the registers as they were left.
        uint16_t temperature = 0;
        bank_.get(kRegTemperature, temperature);
        if (temperature != published_temperature_) {
            temperature_ = temperature;
            published_temperature_ = temperature;
        }
        pending_s_ = 0.0;
    }
    running_ = on;
}

OvenStatus Oven::status() const {
    OvenStatus s;
    s.state = state_;
    s.temperature = temperature_;
    s.target = target_;
    s.soak_left = static_cast<int>(std::ceil(soak_left_s_));
    s.running = running_;
    return s;
}

void add_oven_commands(CommandTable &table, Oven &oven) {
    table.add("fault", [&oven](Args args) {
        long code = 0;
        long bits = 0;
        if (args.size() != 2 ||
            !parse_int(args[0], kFirstFault, kFirstFault + kFaultCount - 1, code) ||
            !parse_int(args[1], 0, 65535, bits)) {
            return std::string("error: usage: fault CODE (199-212) BITS (0-65535, 0 clears)");
        }
        oven.raise_fault(static_cast<int>(code), static_cast<uint16_t>(bits));
        return std::string("ok");
    });
    table.add("forget", [&oven](Args args) {
        if (!args.empty()) {
            return std::string("error: usage: forget");
        }
        oven.forget();
        return std::string("ok");
    });
    table.add("food", [&oven](Args args) {
        double seconds = 3.0;
        if (args.size() > 1 || (args.size() == 1 && !parse_seconds(args[0], seconds)) ||
            seconds <= 0.0) {
            return std::string("error: usage: food [SECONDS] (real time, default 3)");
        }
        oven.food(Clock::now(),
                  std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000.0 + 0.5)));
        return std::string("ok");
    });
    table.add("soak", [&oven](Args args) {
        long seconds = 0;
        if (args.size() != 1 || !parse_int(args[0], 1, 65535, seconds)) {
            return std::string("error: usage: soak SECONDS (1-65535)");
        }
        std::string error;
        if (!oven.soak(static_cast<int>(seconds), error)) {
            return "error: " + error;
        }
        return std::string("ok");
    });
    table.add("states", [&oven](Args args) {
        if (args.size() == 1 && args[0] == "clear") {
            oven.clear_states();
            return std::string("ok");
        }
        if (!args.empty()) {
            return std::string("error: usage: states [clear]");
        }
        std::string out;
        for (int state : oven.states()) {
            out += (out.empty() ? "" : " ") + std::to_string(state);
        }
        return out;
    });
    table.add("physics", [&oven](Args args) {
        if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) {
            return std::string("error: usage: physics on|off");
        }
        oven.run(args[0] == "on");
        return std::string("ok");
    });
}

}  // namespace kor_sim
