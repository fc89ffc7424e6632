// Copies of the manager's shared records for its own modules: the operation state and the oven
// configuration as the operation service holds them, taken under the service's lock, and the belt
// and blower counts of a configuration kept inside the arrays they index.
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

}  // namespace kor_mgr
