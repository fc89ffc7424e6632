// The oven control thread: the manager's heartbeat. Every cycle copies the polled register blocks,
// keeps the operation state current, sends the periodic UI notifications, hands fault detection
// to the operation service, watches the link and the board's configuration, carries out a pending
// IO board firmware transfer and turns changes of the board's oven state into the UI's state
// events. The board runs the oven; this thread observes and reports. It also owns the soak
// countdown callback and the soak timer's lifetime.
//
// The thread is started once and runs until shutdown stops and joins it. Each pass of its loop
// feeds the service manager's watchdog (kor_oven_watchdog.hpp). What it keeps between
// cycles is a ControlState (kor_oven_control.hpp), so tests drive single cycles in process.
//
// Every cycle ends with the full period's sleep, also the cycles that re-initialise the board,
// report a dead link or transfer firmware: our link can fail a read at once (a device that went
// away answers EIO without a time-out), and the link-down path would then log and raise the fault
// many times a second.
#include "kor_oven_control.hpp"

#include "kor_oven_snapshot.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

using kor_mgr::belt_count;
using kor_mgr::blower_count;
using kor_mgr::config_copy;
using kor_mgr::snapshot;

constexpr const char *kModule = "kor_oven_mgr";

#define CONTROL_LOG(level, ...) zeb_logger_log(logger, (level), kModule, __VA_ARGS__)

constexpr uint16_t kStateOff = 0;
constexpr uint16_t kStatePreheat = 4;
constexpr uint16_t kStateIdle = 5;
constexpr uint16_t kStateBake = 6;
constexpr uint16_t kStateNegDeltaT = 7;
constexpr uint16_t kStateCooldown = 8;
constexpr uint16_t kStateOverTemp = 9;
constexpr uint16_t kStateTest = 10;
constexpr uint16_t kStateSoak = 12;

// The time trackers are brought up to date once the count before a cycle exceeds this.
constexpr uint32_t kStatsCycles = 100;

// Takes the soak timer out of the shared handle, so exactly one party (this thread or the
// countdown callback) clears it.
zeb_timer_t *take_soak_timer() {
    return std::atomic_ref<zeb_timer_t *>(soak_timer).exchange(nullptr);
}

void clear_soak_timer() {
    if (zeb_timer_t *timer = take_soak_timer(); timer != nullptr) {
        zeb_timer_clear_timer(timer_service, timer);
    }
}

// A new soak replaces a countdown still running from an earlier one instead of leaking it.
void arm_soak_timer() {
    zeb_timer_t *armed = nullptr;
    if (kor_srv_init_soak_timer(oven_operation_srv, timer_service, &armed,
                                kor_oven_soak_timer_callback) != 0) {
        return;
    }
    zeb_timer_t *old = std::atomic_ref<zeb_timer_t *>(soak_timer).exchange(armed);
    if (old != nullptr) {
        zeb_timer_clear_timer(timer_service, old);
    }
}

bool is_start_up_state(int32_t state) {
    return state >= 1 && state <= kStatePreheat;
}

void send_temperature(int32_t heat_percent) {
    const operation_state_t state = snapshot();
    notify_oven_temperature(state.temp, state.target_temp, heat_percent);
}

void handle_transition(ControlState &cs, int32_t next, const oven_config_t &config,
                       int32_t heat_percent) {
    const int32_t prev = cs.previous_state;
    CONTROL_LOG(ZEB_LOG_INFO, "Transitioned from state %d to %d", prev, next);
    cs.energy_mode = 0;

    if (next == kStateOff) {
        CONTROL_LOG(ZEB_LOG_INFO, "Notify POWER OFF");
        notify_power_off();
    } else if (is_start_up_state(next)) {
        // Only a start from off or cooldown is a power-on; 1 -> 4 during start-up is not.
        if (prev == kStateOff || prev == kStateCooldown) {
            CONTROL_LOG(ZEB_LOG_INFO, "POWER ON signaled!");
            kor_state_set_target_temp(static_cast<uint16_t>(config.heating_set_temp));
            kor_state_set_belt_state(0);
            notify_power_on();
            send_temperature(heat_percent);
        }
    } else if (next == kStateIdle || next == kStateBake) {
        CONTROL_LOG(ZEB_LOG_INFO, next == kStateIdle ? "Notify IDLE" : "Notify BAKE");
        if (next == kStateIdle) {
            cs.energy_mode = 1;
        }
        kor_state_set_belt_state(next == kStateIdle ? 1 : 2);
        if (is_start_up_state(prev) || prev == kStateSoak) {
            CONTROL_LOG(ZEB_LOG_INFO, "Notify PREHEAT COMPLETE");
            notify_preheat_complete();
        }
    } else if (next == kStateNegDeltaT) {
        CONTROL_LOG(ZEB_LOG_INFO, "Notify NEG_DELTA_T");
        kor_state_set_belt_state(0);
        send_temperature(heat_percent);
    } else if (next == kStateCooldown) {
        CONTROL_LOG(ZEB_LOG_INFO, "Notify COOLDOWN");
        kor_state_set_belt_state(0);
        notify_cooldown();
        kor_state_set_target_temp(static_cast<uint16_t>(config.heating_cooldown_temp));
        send_temperature(heat_percent);
        clear_soak_timer();
    } else if (next == kStateOverTemp) {
        CONTROL_LOG(ZEB_LOG_INFO, "Notify OVER_TEMP");
    } else if (next == kStateSoak) {
        CONTROL_LOG(ZEB_LOG_INFO, "Notify SOAK");
        kor_state_set_belt_state(2);
        uint16_t seconds = 0;
        if (kor_oven_get_soak_time(modbus, &seconds) == 0) {
            cs.soak_seconds = seconds;
            CONTROL_LOG(ZEB_LOG_INFO, "Notify SOAK timer START value: %d", seconds);
            notify_soak_timer(seconds, 1);
        }
        // The countdown reads the time left itself, so it runs even without a start value.
        arm_soak_timer();
    }

    cs.stats_in_energy_mode(cs.energy_mode);
    cs.previous_state = next;
    notify_oven_state(kor_srv_convert_board_state_to_ui_state(next), next);
}

// Steps 3 and 4 of a cycle: change logging of the enable flag and the machine configuration.
// Returns whether the machine configuration was read, and the value read.
bool read_board_flags(ControlState &cs, uint16_t &machine_config) {
    uint16_t enable = 0;
    if (kor_oven_get_oven_enable(modbus, &enable) == 0) {
        if (enable != cs.previous_oven_enable) {
            CONTROL_LOG(ZEB_LOG_WARNING, "IO enable [%d]", enable);
        }
        cs.previous_oven_enable = enable;
    }
    if (kor_oven_get_machine_config(modbus, &machine_config) != 0) {
        return false;
    }
    if (machine_config != cs.previous_machine_config) {
        CONTROL_LOG(ZEB_LOG_WARNING, "Machine config [%d]", machine_config);
    }
    cs.previous_machine_config = machine_config;
    return true;
}

void update_photo_eye(ControlState &cs) {
    const uint16_t photo_eye = kor_oven_get_photo_eye_reg();
    if (photo_eye != cs.previous_photo_eye) {
        CONTROL_LOG(ZEB_LOG_INFO, "Photoeye transitioned from state %d to %d",
                    cs.previous_photo_eye, photo_eye);
        if (photo_eye == 0) {
            CONTROL_LOG(ZEB_LOG_INFO, "Photoeye is clear");
            notify_photoeye_detection(0);
        } else if (photo_eye == 1) {
            CONTROL_LOG(ZEB_LOG_INFO, "Detected food on belt");
            notify_photoeye_detection(1);
        }
    }
    cs.previous_photo_eye = photo_eye;
}

void report_belts_and_blowers(const oven_config_t &config) {
    const operation_state_t state = snapshot();
    const bool ready = is_ready_temp(state.temp, state.target_temp);
    for (int32_t belt = 1; belt <= belt_count(config); ++belt) {
        const bool running = state.belt_state == 1 || state.belt_state == 2;
        notify_oven_belt_status(belt, running && ready ? state.belt_state : 0);
        notify_belt_target_cook_time(belt, state.belt_cook_time[belt - 1]);
    }
    for (int32_t blower = 1; blower <= blower_count(config); ++blower) {
        const uint16_t hz = oven_operation_srv->kor_oven_get_blower_speed_reg(blower);
        int32_t percent = 0;
        if (kor_srv_convert_hz_to_blower_percent(hz, blower, &config, &percent) == 0) {
            kor_state_set_blower_percent_actual(blower - 1, static_cast<uint16_t>(percent));
            notify_oven_fan_speed(blower, percent);
        }
        notify_oven_fan_target_speed(blower, state.blower_percent_target[blower - 1]);
    }
}

// Steps 14 to 20: thermocouples, faults, diagnostics, ignitor, blower and belt speeds, manifold.
void report_readings(const oven_config_t &config) {
    int16_t active_tc[4] = {};
    if (kor_srv_read_active_tc_values(oven_operation_srv, active_tc, 4, &config) == 0) {
        for (int32_t i = 0; i < 4; ++i) {
            kor_state_set_tc_readout(i, static_cast<uint16_t>(active_tc[i]));
        }
    }

    const operation_state_t state = snapshot();
    kor_srv_notify_io_board_fault(oven_operation_srv, modbus, faultman, &config, &state);
    kor_srv_notify_ui_diagnostic_registers(oven_operation_srv);

    int16_t all_tc[6] = {};
    if (kor_srv_read_all_tc_values(oven_operation_srv, all_tc, 6) == 0) {
        notify_tc_temperature(all_tc);
    }

    int32_t ignitor = 0;
    if (kor_srv_calculate_ignitor_status(oven_operation_srv, &ignitor) == 0) {
        notify_ignitor_status(ignitor);
    }
    const uint16_t cooling_fan = kor_oven_get_cooling_fan_status_reg();

    uint16_t blower_rpm[4] = {};
    if (kor_srv_read_all_blower_values(oven_operation_srv, blower_rpm, 4) == 0) {
        float hz[4] = {};
        for (int32_t i = 0; i < 4; ++i) {
            int32_t tenths = 0;
            if (kor_srv_convert_blower_rpm_to_hz(blower_rpm[i], &config, &tenths) == 0) {
                hz[i] = static_cast<float>(tenths) / 10.0f;
            }
        }
        notify_oven_fan_rpm_hz(blower_rpm, hz, cooling_fan);
    }

    uint16_t belt_rpm[2] = {};
    if (kor_srv_read_all_belt_values(oven_operation_srv, belt_rpm, 2) == 0) {
        uint16_t cook_time[2] = {};
        for (int32_t i = 0; i < 2; ++i) {
            int32_t seconds = 0;
            if (kor_srv_convert_rpm_to_cook_time(belt_rpm[i], i + 1, &config, &seconds) == 0) {
                cook_time[i] = static_cast<uint16_t>(seconds);
            }
        }
        notify_belt_measured_cook_time(belt_rpm, cook_time);
    }

    int32_t valve = 0;
    if (kor_srv_calculate_manifold_valve_status_attenuation(oven_operation_srv, &config, &valve) ==
        0) {
        notify_manifold_status(valve, kor_oven_get_air_shutter_pos_reg());
    }
}

// The thread runs for the life of the process; shutdown stops and joins it before the link and
// the logger it uses are released (a detached thread would use them after they are freed).
struct ControlThread {
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
};

ControlThread &control_thread() {
    static ControlThread ct;
    return ct;
}

void control_thread_main() {
    ControlThread &ct = control_thread();
    ControlState cs;
    const auto period = std::chrono::milliseconds(kor_oven_cycle_period_ms());
    for (;;) {
        kor_oven_control_cycle(cs);
        // Only a loop that comes round feeds the watchdog: a hung cycle gets the program
        // restarted by the service manager.
        kor_oven_watchdog_kick();
        std::unique_lock<std::mutex> guard(ct.lock);
        if (ct.wake.wait_for(guard, period, [&ct] { return ct.stop; })) {
            return;
        }
    }
}

}  // namespace

bool is_ready_temp(int32_t temperature, int32_t target) {
    const double t = temperature;
    const double s = target;
    return t <= s * 1.1 && t >= s * 0.9;
}

int32_t kor_oven_cycle_period_ms() {
    const char *text = std::getenv("KOR_CYCLE_MS");
    if (text == nullptr || *text == '\0') {
        return kKorCyclePeriodMs;
    }
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > 60000) {
        return kKorCyclePeriodMs;
    }
    return static_cast<int32_t>(value);
}

void kor_oven_watch_stats_store() {
    const bool failing = kor_stats_store_status() != 0;
    const int raised = zeb_faultman_check(faultman, KOR_STATS_STORE_FAULT);
    if (failing && raised == 0) {
        zeb_faultman_set(faultman, logger, kModule, KOR_STATS_STORE_FAULT,
                         KOR_STATS_STORE_FAULT_TEXT);
    } else if (!failing && raised == 1) {
        zeb_faultman_clear(faultman, KOR_STATS_STORE_FAULT);
    }
}

CycleEnd kor_oven_control_cycle(ControlState &cs) {
    // First, so that neither demo mode nor a dead link hides the statistics store's state.
    kor_oven_watch_stats_store();
    operation_state_t state = snapshot();
    const oven_config_t config = config_copy();

    if (kor_oven_get_demo_mode() != 0) {
        kor_oven_demo_cycle(&cs.previous_state);
        return CycleEnd::demo;
    }

    uint16_t machine_config = 0;
    const bool machine_config_read = read_board_flags(cs, machine_config);

    kor_oven_read_connection_status(modbus);
    kor_oven_read_subscription_blocks(modbus);

    // A board that lost its configuration (reset, brown-out) is set up again in place.
    if (machine_config_read && (machine_config == 0 || machine_config == 0xFFFF)) {
        CONTROL_LOG(ZEB_LOG_WARNING, "IO Board reinit requested [%d]", machine_config);
        notify_dump_logs();
        cs.reinitialize_io_board();
        return CycleEnd::reinit;
    }

    if (oven_operation_srv->kor_oven_get_modbus_connection_state() == 0) {
        state = snapshot();
        kor_srv_notify_io_board_fault(oven_operation_srv, modbus, faultman, &config, &state);
        CONTROL_LOG(ZEB_LOG_ERR, "No MODBUS connection to IO board detected");
        kor_oven_read_connection_status(modbus);
        return CycleEnd::link_down;
    }

    if (state.update_io_board_mode != 0) {
        char path[KOR_STATE_TEXT_SIZE] = {};
        std::memcpy(path, state.update_io_board_file_name, sizeof path - 1);
        const int rc = cs.transfer_firmware(modbus, path);
        notify_update_io_board_response(rc == 0 ? KOR_UPDATE_TRANSFERRED : KOR_UPDATE_FAILED);
        kor_state_set_update_io_board_mode(0);
        return CycleEnd::firmware;
    }

    // Oven state. The operation state follows the board, so the factory reset's readiness check
    // and the cloud heartbeat see the oven's real state.
    uint16_t board_state = kor_oven_get_status_reg();
    const uint16_t test_flag = kor_oven_get_test_flag_reg(modbus);
    if (test_flag != KOR_OVEN_TEST_FLAG_UNKNOWN && test_flag != 0 && board_state != kStateTest) {
        board_state = kStateTest;
    }
    if (board_state != state.io_board_state) {
        kor_state_set_io_board_state(board_state);
    }

    const uint16_t temperature = kor_oven_get_temp_reg();
    const uint16_t heat_percent = kor_oven_get_heat_output_percent_reg();
    kor_state_set_temp(temperature);
    notify_oven_temperature(temperature, state.target_temp, heat_percent);

    update_photo_eye(cs);
    report_belts_and_blowers(config);
    report_readings(config);

    if (cs.cycle_count++ > kStatsCycles) {
        cs.cycle_count = 0;
        cs.stats_update_time_trackers();
    }
    if (board_state != cs.previous_state) {
        handle_transition(cs, board_state, config, heat_percent);
    }
    return CycleEnd::completed;
}

int32_t kor_oven_start_control_thread() {
    ControlThread &ct = control_thread();
    if (ct.thread.joinable()) {
        return 0;
    }
    try {
        ct.thread = std::thread(control_thread_main);
    } catch (const std::system_error &e) {
        return e.code().value() != 0 ? e.code().value() : -1;
    }
    return 0;
}

void kor_oven_stop_control_thread() {
    ControlThread &ct = control_thread();
    if (!ct.thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(ct.lock);
        ct.stop = true;
    }
    ct.wake.notify_all();
    ct.thread.join();
}

void kor_oven_soak_timer_callback(void *) {
    uint16_t left = 0;
    if (kor_oven_get_soak_timer_time(modbus, &left) != 0) {
        return;  // an unreadable tick sends nothing; the next one tries again
    }
    notify_soak_timer(left, 0);
    if (left == 0) {
        // Clearing its own timer from inside the callback is supported by the timer service.
        clear_soak_timer();
    }
}
