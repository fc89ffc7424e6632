// Copies of the manager's shared records for its own modules: the operation state and the oven
// configuration as the operation service holds them, taken under the service's lock, the belt
// and blower counts of a configuration kept inside the arrays they index, and the range check of
// request values.
#pragma once

#include <stdint.h>

#include <algorithm>

#include "kor_oven_mgr.h"

namespace kor_mgr {

inline operation_state_t snapshot() {
    operation_state_t state{};
    (void)oven_operation_srv->kor_get_operation_state(&state);
    return state;
}

inline oven_config_t config_copy() {
    oven_config_t config{};
    (void)oven_operation_srv->kor_get_oven_config(&config);
    return config;
}

inline int32_t belt_count(const oven_config_t &config) {
    return std::clamp(config.num_belts, 0, KOR_CONFIG_MAX_BELTS);
}

inline int32_t blower_count(const oven_config_t &config) {
    return std::clamp(config.num_blowers, 0, KOR_CONFIG_MAX_BLOWERS);
}

// Registers and the state's fields are 16 bits: a larger or negative value would wrap.
inline constexpr int32_t kWordMax = 0xFFFF;

// A request value outside [low, high] is refused before anything is stored or written.
inline bool value_fits(const char *event, int32_t value, int32_t low, int32_t high) {
    if (value >= low && value <= high) {
        return true;
    }
    zeb_logger_log(logger, ZEB_LOG_WARNING, "kor_oven_mgr",
                   "Refusing %s: value %d out of range (%d to %d)", event, value, low, high);
    return false;
}

}  // namespace kor_mgr
