// Unit conversions between what the UI speaks (blower percent, belt cook time, UI oven state) and
// what the IO board speaks (inverter tenths of Hz, blower and belt RPM, board oven state).
//
// The board does its own arithmetic in single precision, so these do too, operation by operation
// in the order the formulas read; a double anywhere would move some results by one. The only
// state here is the last belt RPM logged as out of range, per belt: the measured belt speed is
// converted on every poll, and a belt that stays out of range must not flood the log.
#include "kor_oven_conversions.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kor_srv_log.hpp"

namespace {

constexpr const char *kUnit = "kor_oven_conversions";

// RPM last logged by kor_srv_convert_rpm_to_cook_time, belt 1 and belt 2.
std::atomic<int32_t> last_rpm_0{0};
std::atomic<int32_t> last_rpm_1{0};

// roundf, then the float-to-int conversion of the board's processor, which saturates instead of
// leaving the result undefined: a stopped belt (RPM 0) divides by zero, and +inf must become the
// largest int so that it clamps to the longest cook time on every platform.
int32_t round_to_int32(float value) {
    const float rounded = std::roundf(value);
    if (std::isnan(rounded)) {
        return 0;
    }
    if (rounded >= 2147483648.0f) {
        return std::numeric_limits<int32_t>::max();
    }
    if (rounded < -2147483648.0f) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(rounded);
}

void log_null(int line) {
    KOR_SRV_LOG(ZEB_LOG_ERR, "Parameter NULL (%s:%d)", kUnit, line);
}

// Step 5 of the cook time conversion, shared by both directions: the belt travels the cavity
// length in cook_time seconds at rpm motor turns a minute, so either one is this quotient with the
// other as divisor.
float belt_quotient(const oven_config_t *config, const belt_config_t &belt, float tweak,
                    float modifier, int32_t divisor) {
    return tweak * modifier * 60 *
           (belt.belt_conveyor_teeth * config->belt_length * belt.belt_motor_ratio) /
           (belt.belt_motor_teeth * belt.belt_shaft * divisor);
}

float tweak_factor(const belt_config_t &belt) {
    return 1 + static_cast<float>(belt.tweak_speed_percent) / 100;
}

float modifier_factor(const belt_config_t &belt) {
    return static_cast<float>(belt.rpm_modifier_percent) / 100;
}

}  // namespace

extern "C" int32_t kor_srv_convert_board_state_to_ui_state(int32_t board_state) {
    switch (board_state) {
        case 0:
            return KOR_UI_STATE_OFF;
        case 1:
        case 2:
        case 3:
        case 4:
        case 7:
            return KOR_UI_STATE_PREHEAT;
        case 5:
            return KOR_UI_STATE_IDLE;
        case 6:
            return KOR_UI_STATE_BAKE;
        case 8:
            return KOR_UI_STATE_COOLDOWN;
        case 10:
            return KOR_UI_STATE_TEST;
        case 12:
            return KOR_UI_STATE_SOAK;
        default:
            return KOR_UI_STATE_FAULT;
    }
}

extern "C" int32_t kor_srv_convert_blower_hz_to_rpm(int32_t hz, const oven_config_t *config,
                                                    int32_t *rpm) {
    if (config == nullptr || rpm == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    *rpm =
        round_to_int32(config->hz_rpm_multiplier * static_cast<float>(hz) + config->hz_rpm_offset);
    return 0;
}

extern "C" int32_t kor_srv_convert_blower_rpm_to_hz(int32_t rpm, const oven_config_t *config,
                                                    int32_t *hz) {
    if (config == nullptr || hz == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    *hz = round_to_int32((static_cast<float>(rpm) - config->hz_rpm_offset) /
                         config->hz_rpm_multiplier * 10);
    return 0;
}

extern "C" int32_t kor_srv_convert_blower_percent_to_hz(int32_t percent, int32_t blower,
                                                        const oven_config_t *config, int32_t *hz) {
    if (percent < 0 || percent > 100) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Blower speed parameter out of range: %d - (%s:%d)", percent,
                    kUnit, __LINE__);
        return -1;
    }
    if (blower < 1 || blower > KOR_CONFIG_MAX_BLOWERS) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Blower number parameter out of range: %d - (%s:%d)", blower,
                    kUnit, __LINE__);
        return -1;
    }
    if (config == nullptr || hz == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    if (percent == 100) {
        *hz = config->inverter_hz_max;
        return 0;
    }
    // The 5 is added before scaling: the board's own rounding of a percent step.
    const float step = 100 / static_cast<float>(config->inverter_hz_max);
    *hz = round_to_int32(static_cast<float>(percent + 5) / step);
    if (*hz < config->inverter_hz_min || *hz > config->inverter_hz_max) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Calculated blower hz out of range. hz: %d", *hz);
        return -1;
    }
    return 0;
}

extern "C" int32_t kor_srv_convert_hz_to_blower_percent(int32_t hz, int32_t blower,
                                                        const oven_config_t *config,
                                                        int32_t *percent) {
    if (blower < 1 || blower > KOR_CONFIG_MAX_BLOWERS) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Blower number parameter out of range: %d - (%s:%d)", blower,
                    kUnit, __LINE__);
        return -1;
    }
    if (config == nullptr || percent == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    // Out of range is an answer, not a fault: the caller keeps what it had, without a log line.
    if (hz < config->inverter_hz_min || hz > config->inverter_hz_max) {
        return -1;
    }
    *percent =
        round_to_int32(100 / static_cast<float>(config->inverter_hz_max) * static_cast<float>(hz));
    return 0;
}

extern "C" int32_t kor_srv_convert_cook_time_to_rpm(int32_t cook_time, int32_t belt,
                                                    const oven_config_t *config, int32_t *rpm) {
    if (cook_time <= 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Cook time parameter out of range: %d - (%s:%d)", cook_time, kUnit,
                    __LINE__);
        return -1;
    }
    if (belt < 1 || belt > KOR_CONFIG_MAX_BELTS) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Belt parameter out of range: %d - (%s:%d)", belt, kUnit,
                    __LINE__);
        return -1;
    }
    if (config == nullptr || rpm == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    const int32_t index = belt - 1;
    const belt_config_t &entry = config->belt[index];
    const float tweak = tweak_factor(entry);
    const float modifier = modifier_factor(entry);
    const int32_t calculated =
        round_to_int32(belt_quotient(config, entry, tweak, modifier, cook_time));
    if (calculated >= entry.min_rpm && calculated <= entry.max_rpm) {
        *rpm = calculated;
        return 0;
    }
    // A cook time beyond what the motor can do runs the belt at its limit: still a success.
    *rpm = calculated < entry.min_rpm ? entry.min_rpm : entry.max_rpm;
    KOR_SRV_LOG(ZEB_LOG_ERR,
                "kor_srv_convert_cook_time_to_rpm RPM out of range. invalid_rpm: %d, actual_rpm: "
                "%d, cook_time: %d, belt: %d, cavity_len: %f, motor_gear_ratio: %f, motor_teeth: "
                "%d, conveyor_teeth: %d, conveyor_pitch: %f, min_rpm: %d, max_rpm: %d, "
                "tweak_percent: %f, rpm_modifier_percent: %f",
                calculated, *rpm, cook_time, index, static_cast<double>(config->belt_length),
                static_cast<double>(entry.belt_motor_ratio), entry.belt_motor_teeth,
                entry.belt_conveyor_teeth, static_cast<double>(entry.belt_shaft), entry.min_rpm,
                entry.max_rpm, static_cast<double>(tweak), static_cast<double>(modifier));
    return 0;
}

extern "C" int32_t kor_srv_convert_rpm_to_cook_time(int32_t rpm, int32_t belt,
                                                    const oven_config_t *config,
                                                    int32_t *cook_time) {
    if (config == nullptr || cook_time == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    if (belt < 1 || belt > KOR_CONFIG_MAX_BELTS) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Belt parameter out of range: %d - (%s:%d)", belt, kUnit,
                    __LINE__);
        return -1;
    }
    if (rpm < 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "RPM parameter out of range: %d - (%s:%d)", rpm, kUnit, __LINE__);
        return -1;
    }
    const int32_t index = belt - 1;
    const belt_config_t &entry = config->belt[index];
    const float tweak = tweak_factor(entry);
    const float modifier = modifier_factor(entry);
    const int32_t calculated = round_to_int32(belt_quotient(config, entry, tweak, modifier, rpm));
    if (calculated >= entry.belt_min_cook_time && calculated <= entry.belt_max_cook_time) {
        *cook_time = calculated;
        return 0;
    }
    *cook_time =
        calculated < entry.belt_min_cook_time ? entry.belt_min_cook_time : entry.belt_max_cook_time;
    std::atomic<int32_t> &last_rpm = index == 0 ? last_rpm_0 : last_rpm_1;
    if (last_rpm.exchange(rpm) != rpm) {
        KOR_SRV_LOG(ZEB_LOG_ERR,
                    "kor_srv_convert_rpm_to_cook_time cook time out of range. invalid_cook_time: "
                    "%d, clamped_cook_time: %d, rpm: %d, belt: %d, cavity_len: %f, "
                    "motor_gear_ratio: %f, motor_teeth: %d, conveyor_teeth: %d, conveyor_pitch: "
                    "%f, min_cook_time: %d, max_cook_time: %d, tweak_percent: %f, "
                    "rpm_modifier_percent: %f",
                    calculated, *cook_time, rpm, index, static_cast<double>(config->belt_length),
                    static_cast<double>(entry.belt_motor_ratio), entry.belt_motor_teeth,
                    entry.belt_conveyor_teeth, static_cast<double>(entry.belt_shaft),
                    entry.belt_min_cook_time, entry.belt_max_cook_time, static_cast<double>(tweak),
                    static_cast<double>(modifier));
    }
    return 0;
}
