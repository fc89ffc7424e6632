// The operation state: owns the process's one operation_state record, the leaf mutex
// oven_status_mutex that guards it, and this module's logger handle. Request handlers, the
// control thread and timer callbacks write single fields through the setters; everyone reads a
// full copy. The mutex is never held across a call into another module, so it cannot join a
// lock-order cycle: blower targets are converted before it is taken.
#include "kor_operation_state.h"

#include <array>
#include <cstring>
#include <iterator>
#include <mutex>

#include "kor_oven_conversions.h"
#include "zeb_logger.h"

// File-scope statics rather than an unnamed namespace: the record shares its name with the
// struct tag, which it hides only from the same scope.
static operation_state_t operation_state{};
// A std::mutex needs no creation step, so initialising again (after a configuration reload in
// tests or a re-run) is safe while other threads hold or wait for it.
static std::mutex oven_status_mutex;

namespace {

constexpr const char *kModule = "kor_operation_state";
constexpr const char *kUnit = "kor_operation_state";

constexpr int32_t kBelts = std::size(operation_state_t{}.belt_cook_time);
constexpr int32_t kBlowers = std::size(operation_state_t{}.blower_percent_target);
constexpr int32_t kReadouts = std::size(operation_state_t{}.tc_readout);

// Opened on first use (initialisation opens it), kept to the end of the process: setters may log
// from any thread at any time, including after kor_uninitialize_operation_state.
zeb_logger_t *state_logger() {
    struct Owner {
        zeb_logger_t *handle = nullptr;
        Owner() { zeb_logger_open(&handle); }
        ~Owner() { zeb_logger_close(handle); }
        Owner(const Owner &) = delete;
        Owner &operator=(const Owner &) = delete;
    };
    static Owner owner;
    return owner.handle;
}

#define STATE_LOG(level, ...) zeb_logger_log(state_logger(), (level), kModule, __VA_ARGS__)

void log_null(int line) {
    STATE_LOG(ZEB_LOG_ERR, "Parameter NULL (%s:%d)", kUnit, line);
}

void log_invalid(int line) {
    STATE_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kUnit, line);
}

// Percent targets of the configured blowers; -1 where the configured frequency does not convert.
// A count beyond the array (a record not checked by the loader) stops at the array's end.
std::array<int32_t, KOR_CONFIG_MAX_BLOWERS> configured_blower_targets(const oven_config_t &config,
                                                                      bool log_conversions) {
    std::array<int32_t, KOR_CONFIG_MAX_BLOWERS> targets;
    targets.fill(-1);
    for (int32_t i = 0; i < config.num_blowers && i < KOR_CONFIG_MAX_BLOWERS; ++i) {
        int32_t percent = 0;
        if (kor_srv_convert_hz_to_blower_percent(config.blower[i].speed_set, i + 1, &config,
                                                 &percent) == 0) {
            if (log_conversions) {
                STATE_LOG(ZEB_LOG_INFO, "Converted blower_speed_set:%d to %d",
                          config.blower[i].speed_set, percent);
            }
            targets[i] = percent;
        }
    }
    return targets;
}

void apply_configured_set_points(const oven_config_t &config,
                                 const std::array<int32_t, KOR_CONFIG_MAX_BLOWERS> &targets) {
    for (int32_t i = 0; i < KOR_CONFIG_MAX_BELTS; ++i) {
        operation_state.belt_cook_time[i] = static_cast<uint16_t>(config.belt[i].cook_time);
    }
    for (int32_t i = 0; i < KOR_CONFIG_MAX_BLOWERS; ++i) {
        if (targets[i] >= 0) {
            operation_state.blower_percent_target[i] = static_cast<uint16_t>(targets[i]);
        }
    }
}

void copy_text(char (&field)[KOR_STATE_TEXT_SIZE], const char *text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text, strnlen(text, sizeof field - 1));
}

template <typename Store>
int32_t store(Store &&store_field) {
    std::lock_guard lock(oven_status_mutex);
    store_field(operation_state);
    return 0;
}

}  // namespace

extern "C" int32_t kor_initialize_operation_state(const oven_config_t *config) {
    state_logger();
    if (config == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    const auto targets = configured_blower_targets(*config, true);
    operation_state_t snapshot;
    {
        std::lock_guard lock(oven_status_mutex);
        std::memset(&operation_state, 0, sizeof operation_state);
        operation_state.target_temp = static_cast<uint16_t>(config->heating_set_temp);
        apply_configured_set_points(*config, targets);
        snapshot = operation_state;
    }
    STATE_LOG(ZEB_LOG_INFO,
              "Initialized operation_state - target_temp:%d belt1_cook_time:%d belt2_cook_time:%d "
              "blower1_target:%d blower2_target:%d blower3_target:%d blower4_target:%d",
              snapshot.target_temp, snapshot.belt_cook_time[0], snapshot.belt_cook_time[1],
              snapshot.blower_percent_target[0], snapshot.blower_percent_target[1],
              snapshot.blower_percent_target[2], snapshot.blower_percent_target[3]);
    return 0;
}

extern "C" int32_t kor_reinitialize_operation_state(const oven_config_t *config) {
    if (config == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    const auto targets = configured_blower_targets(*config, false);
    operation_state_t snapshot;
    {
        std::lock_guard lock(oven_status_mutex);
        // A board that is cooling down keeps heading for the cooldown temperature.
        operation_state.target_temp = static_cast<uint16_t>(operation_state.io_board_state == 8
                                                                ? config->heating_cooldown_temp
                                                                : config->heating_set_temp);
        apply_configured_set_points(*config, targets);
        snapshot = operation_state;
    }
    STATE_LOG(ZEB_LOG_INFO,
              "Re-initialized operation_state - target_temp:%d belt1_cook_time:%d "
              "belt2_cook_time:%d blower1_target:%d blower2_target:%d blower3_target:%d "
              "blower4_target:%d",
              snapshot.target_temp, snapshot.belt_cook_time[0], snapshot.belt_cook_time[1],
              snapshot.blower_percent_target[0], snapshot.blower_percent_target[1],
              snapshot.blower_percent_target[2], snapshot.blower_percent_target[3]);
    return 0;
}

extern "C" int32_t kor_uninitialize_operation_state(void) {
    // Nothing to destroy: the mutex lives as long as the process, so late setters stay safe.
    return 0;
}

extern "C" int32_t kor_get_operation_state(operation_state_t *dst) {
    if (dst == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    std::memset(dst, 0, sizeof *dst);
    std::lock_guard lock(oven_status_mutex);
    *dst = operation_state;
    return 0;
}

extern "C" int32_t kor_state_set_power(uint16_t power) {
    return store([&](operation_state_t &state) { state.power = power; });
}

extern "C" int32_t kor_state_set_io_board_state(int32_t state_number) {
    return store([&](operation_state_t &state) { state.io_board_state = state_number; });
}

extern "C" int32_t kor_state_set_belt_state(int32_t belt_state) {
    return store([&](operation_state_t &state) { state.belt_state = belt_state; });
}

extern "C" int32_t kor_state_set_belt_cook_time(int32_t index, uint16_t cook_time) {
    if (index < 0 || index >= kBelts) {
        log_invalid(__LINE__);
        return -1;
    }
    return store([&](operation_state_t &state) { state.belt_cook_time[index] = cook_time; });
}

extern "C" int32_t kor_state_set_blower_percent_target(int32_t index, uint16_t percent) {
    if (index < 0 || index >= kBlowers) {
        log_invalid(__LINE__);
        return -1;
    }
    return store([&](operation_state_t &state) { state.blower_percent_target[index] = percent; });
}

extern "C" int32_t kor_state_set_blower_percent_actual(int32_t index, uint16_t percent) {
    if (index < 0 || index >= kBlowers) {
        log_invalid(__LINE__);
        return -1;
    }
    return store([&](operation_state_t &state) { state.blower_percent_actual[index] = percent; });
}

extern "C" int32_t kor_state_set_temp(uint16_t temp) {
    return store([&](operation_state_t &state) { state.temp = temp; });
}

extern "C" int32_t kor_state_set_target_temp(uint16_t temp) {
    return store([&](operation_state_t &state) { state.target_temp = temp; });
}

extern "C" int32_t kor_state_set_tc_readout(int32_t index, uint16_t temp) {
    if (index < 0 || index >= kReadouts) {
        log_invalid(__LINE__);
        return -1;
    }
    return store([&](operation_state_t &state) { state.tc_readout[index] = temp; });
}

extern "C" int32_t kor_state_set_menu_preset(int32_t index, const char *text) {
    if (index < 0 || index >= kBelts) {
        log_invalid(__LINE__);
        return -1;
    }
    if (text == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    return store([&](operation_state_t &state) { copy_text(state.menu_preset[index], text); });
}

extern "C" int32_t kor_state_set_update_io_board_mode(uint8_t mode) {
    return store([&](operation_state_t &state) { state.update_io_board_mode = mode; });
}

extern "C" int32_t kor_state_set_update_io_board_file_name(const char *text) {
    if (text == nullptr) {
        log_null(__LINE__);
        return -1;
    }
    return store(
        [&](operation_state_t &state) { copy_text(state.update_io_board_file_name, text); });
}
