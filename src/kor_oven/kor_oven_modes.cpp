// Idle mode and demo mode of the oven manager, and the demo cycle. Idle mode switches the board
// between idle and bake through its UI key register (86) with new belt cook times and fan targets
// in one request. Demo mode lets the UI run without an IO board: requests only change the
// operation state, and the control thread runs the demo cycle here instead of its board cycle,
// walking the oven through preheat, bake and cooldown without any board traffic.
// Owns the demo-mode flag's reads and writes (the flag and its mutex are main's).
#include <algorithm>

#include "kor_oven_mgr.h"
#include "kor_oven_snapshot.hpp"

namespace {

using kor_mgr::belt_count;
using kor_mgr::blower_count;
using kor_mgr::config_copy;
using kor_mgr::kWordMax;
using kor_mgr::snapshot;
using kor_mgr::value_fits;

constexpr const char *kModule = "kor_oven_mgr";
constexpr const char *kSourceName = "kor_oven_modes";

#define MODES_LOG(level, ...) zeb_logger_log(logger, (level), kModule, __VA_ARGS__)

// The board's UI key register: 1 = idle key off (bake), 2 = idle key on (idle).
constexpr uint32_t kUiKeyPressedRegister = 86;
constexpr uint32_t kUiKeyIdleOff = 1;
constexpr uint32_t kUiKeyIdleOn = 2;

constexpr int32_t kStateOff = 0;
constexpr int32_t kStatePreheat = 4;
constexpr int32_t kStateIdle = 5;
constexpr int32_t kStateBake = 6;
constexpr int32_t kStateCooldown = 8;

// The demo walk: preheat starts at this temperature, moves 5 F per cycle, and the oven counts as
// off once cooldown reaches 200 F.
constexpr int32_t kDemoPreheatStart = 180;
constexpr int32_t kDemoStep = 5;
constexpr int32_t kDemoOffTemp = 200;
constexpr int32_t kDemoHeatPercent = 60;
constexpr int32_t kDemoPreheatHeatPercent = 20;

uint16_t as_temp(int32_t value) {
    return static_cast<uint16_t>(std::clamp(value, 0, 0xFFFF));
}

// Positive fan targets are stored; 0 or less keeps the fan's current target.
void store_fan_targets(const int32_t (&fans)[4]) {
    for (int32_t i = 0; i < 4; ++i) {
        if (fans[i] > 0) {
            kor_state_set_blower_percent_target(i, static_cast<uint16_t>(fans[i]));
        }
    }
}

bool record_missing(int line) {
    if (oven_operation_srv != nullptr) {
        return false;
    }
    MODES_LOG(ZEB_LOG_ERR, "Parameter NULL (%s:%d)", kSourceName, line);
    return true;
}

void demo_transition(int32_t prev, int32_t next, const oven_config_t &config) {
    MODES_LOG(ZEB_LOG_INFO, "DEMO_MODE: Transitioned from state %d to %d", prev, next);
    switch (next) {
        case kStateOff:
            MODES_LOG(ZEB_LOG_INFO, "DEMO_MODE: state: OVEN_OFF, Notify POWER OFF");
            notify_power_off();
            break;
        case kStatePreheat:
            if (prev == kStateOff || prev == kStateCooldown) {
                MODES_LOG(ZEB_LOG_INFO, "DEMO_MODE: state: PREHEAT, POWER ON signaled!");
                kor_state_set_temp(kDemoPreheatStart);
                kor_state_set_target_temp(as_temp(config.heating_set_temp));
                kor_state_set_belt_state(0);
                const operation_state_t state = snapshot();
                notify_power_on();
                notify_oven_temperature(state.temp, state.target_temp, kDemoPreheatHeatPercent);
            }
            break;
        case kStateIdle:
        case kStateBake:
            MODES_LOG(ZEB_LOG_INFO,
                      next == kStateIdle ? "DEMO_MODE: Notify IDLE" : "DEMO_MODE: Notify BAKE");
            kor_state_set_belt_state(next == kStateIdle ? 1 : 2);
            if (prev == kStatePreheat) {
                MODES_LOG(ZEB_LOG_INFO, "DEMO_MODE: Notify PREHEAT COMPLETE");
                notify_preheat_complete();
            }
            break;
        case kStateCooldown: {
            MODES_LOG(ZEB_LOG_INFO, "DEMO_MODE: Notify COOLDOWN");
            kor_state_set_belt_state(0);
            notify_cooldown();
            kor_state_set_target_temp(as_temp(config.heating_cooldown_temp));
            const operation_state_t state = snapshot();
            notify_oven_temperature(state.temp, state.target_temp, 0);
            break;
        }
        default:
            break;
    }
}

}  // namespace

uint8_t kor_oven_get_demo_mode() {
    std::lock_guard lock(demo_mode_mutex);
    return demo_mode;
}

void kor_oven_demo_mode_event(int32_t value) {
    const uint8_t on = value == 1 ? 1 : 0;
    {
        std::lock_guard lock(demo_mode_mutex);
        demo_mode = on;
    }
    MODES_LOG(ZEB_LOG_INFO, on != 0 ? "DEMO_MODE: set to ON" : "DEMO_MODE: set to OFF");
}

void kor_oven_idle_mode_onoff_event(int32_t onoff, int32_t belt1_cook_time, int32_t belt2_cook_time,
                                    int32_t fan1, int32_t fan2, int32_t fan3, int32_t fan4) {
    if (record_missing(__LINE__)) {
        return;
    }
    const int32_t cook_times[2] = {belt1_cook_time, belt2_cook_time};
    const int32_t fans[4] = {fan1, fan2, fan3, fan4};
    // Values of 0 or below have their own meaning (keep the fan's target, no speed for the
    // belt); values above a 16-bit field would wrap, so they refuse the whole request.
    for (const int32_t value : {belt1_cook_time, belt2_cook_time, fan1, fan2, fan3, fan4}) {
        if (!value_fits("zeb.varlo.idle_mode_onoff", value, INT32_MIN, kWordMax)) {
            return;
        }
    }

    if (kor_oven_get_demo_mode() != 0) {
        MODES_LOG(ZEB_LOG_INFO,
                  "DEMO_MODE: kor_oven_idle_mode_onoff_event: idle mode request with onoff %d, "
                  "belt1 speed %d, belt2 speed %d.",
                  onoff, belt1_cook_time, belt2_cook_time);
        const oven_config_t config = config_copy();
        for (int32_t belt = 1; belt <= belt_count(config); ++belt) {
            oven_operation_srv->kor_state_set_belt_cook_time(
                belt - 1, static_cast<uint16_t>(cook_times[belt - 1]));
        }
        store_fan_targets(fans);
        if (onoff == 0) {
            kor_state_set_io_board_state(kStateBake);
        } else if (onoff == 1) {
            kor_state_set_io_board_state(kStateIdle);
        }
        return;
    }

    MODES_LOG(ZEB_LOG_INFO,
              "kor_oven_idle_mode_onoff_event: idle mode request with onoff %d, belt1 speed %d, "
              "belt2 speed %d.",
              onoff, belt1_cook_time, belt2_cook_time);
    // The key goes to the board before any belt speed, so the board sees the mode first.
    if (onoff == 0 || onoff == 1) {
        const uint32_t key = onoff == 0 ? kUiKeyIdleOff : kUiKeyIdleOn;
        const int rc = kor_modbus_write_holding_register(modbus, kUiKeyPressedRegister, key);
        if (rc != 0) {
            MODES_LOG(ZEB_LOG_ERR,
                      "kor_oven_idle_mode_onoff_event: writing UI_KEY_PRESSED register FAILED! "
                      "Err %d",
                      rc);
            return;
        }
    }

    const oven_config_t config = config_copy();

    for (int32_t belt = 1; belt <= belt_count(config); ++belt) {
        const int32_t cook_time = cook_times[belt - 1];
        int32_t rpm = 0;
        if (kor_srv_convert_cook_time_to_rpm(cook_time, belt, &config, &rpm) != 0) {
            // A cook time without a belt speed (0 or below): this belt keeps its speed and its
            // cook time, the others go on.
            continue;
        }
        MODES_LOG(ZEB_LOG_INFO, "kor_oven_idle_mode_onoff_event: setting rpm to %d for belt %d",
                  rpm, belt);
        const int rc = kor_set_belt_speed(modbus, belt, static_cast<uint16_t>(rpm));
        if (rc != 0) {
            MODES_LOG(ZEB_LOG_ERR,
                      "kor_oven_idle_mode_onoff_event: unable to set belt %d speed to %d rpm. "
                      "Err %d",
                      belt, rpm, rc);
            return;
        }
        oven_operation_srv->kor_stats_set_belt_time(belt, static_cast<uint32_t>(rpm));
        oven_operation_srv->kor_stats_set_belt_run_time(belt, rpm);
        oven_operation_srv->kor_state_set_belt_cook_time(belt - 1,
                                                         static_cast<uint16_t>(cook_time));
    }
    store_fan_targets(fans);
}

void kor_oven_demo_cycle(int32_t *previous_state) {
    if (previous_state == nullptr) {
        MODES_LOG(ZEB_LOG_ERR, "Parameter NULL (%s:%d)", kSourceName, __LINE__);
        return;
    }
    if (record_missing(__LINE__)) {
        return;
    }
    const operation_state_t state = snapshot();
    const oven_config_t config = config_copy();
    const int32_t prev = *previous_state;
    const int32_t next = state.io_board_state;

    int32_t temp = state.temp;
    if (state.target_temp != temp) {
        temp = state.target_temp;
        kor_state_set_temp(as_temp(temp));
    }
    notify_oven_temperature(temp, state.target_temp, kDemoHeatPercent);

    for (int32_t belt = 1; belt <= belt_count(config); ++belt) {
        notify_oven_belt_status(belt, state.belt_state);
        notify_belt_target_cook_time(belt, state.belt_cook_time[belt - 1]);
    }
    for (int32_t blower = 1; blower <= blower_count(config); ++blower) {
        notify_oven_fan_target_speed(blower, state.blower_percent_target[blower - 1]);
    }

    if (next == kStatePreheat && prev == kStatePreheat) {
        temp += kDemoStep;
        kor_state_set_temp(as_temp(temp));
        if (temp >= config.heating_set_temp) {
            kor_state_set_io_board_state(kStateBake);
        }
    }
    if (next == kStateCooldown && prev == kStateCooldown) {
        temp -= kDemoStep;
        kor_state_set_temp(as_temp(temp));
        if (temp <= kDemoOffTemp) {
            kor_state_set_io_board_state(kStateOff);
        }
    }

    if (next != prev) {
        demo_transition(prev, next, config);
        *previous_state = next;
        notify_oven_state(kor_srv_convert_board_state_to_ui_state(next), next);
    }
}
