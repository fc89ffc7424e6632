// The oven manager program: process-wide handles created by main and the functions its modules
// (start-up, request loop, control thread, idle and demo modes, maintenance) offer each other.
// Module map:
//   kor_oven_mgr.cpp          main: command line, start-up, IO board (re)initialisation, shutdown
//   kor_oven_requests.cpp     the client request loop and the UI event handlers
//   kor_oven_control.cpp      the oven control thread and the soak countdown
//   kor_oven_modes.cpp        idle mode, demo mode and the demo cycle
//   kor_oven_maintenance.cpp  factory reset, firmware offers, cloud heartbeat, IO board clock
//   kor_oven_watchdog.cpp     service manager notifications: ready, watchdog, stopping
#pragma once

#include <stdint.h>

#include <mutex>

#include "kor_oven_operation_srv.h"
#include "zeb_common.h"
#include "zeb_faultman.h"
#include "zeb_logger.h"

// Configuration directory; KOR_CONFIG_DIR overrides it (running without root, tests).
#define KOR_DEFAULT_CONFIG_DIR "/opt/quenly/data/config"
#define KOR_DEFAULT_CHANNEL "zeb_backend"
#define KOR_IO_BOARD_COMPONENT "dravik_kor_board"

// The one fault the manager raises itself (faults 1-27 come from the IO board): the statistics
// store cannot be written, so the statistics are kept in memory only. It clears once the store is
// written again.
#define KOR_STATS_STORE_FAULT 28
#define KOR_STATS_STORE_FAULT_TEXT "Statistics cannot be saved."

// ---- process-wide handles, owned by main from creation to shutdown ----
extern zeb_logger_t *logger;
extern zeb_faultman_t *faultman;
extern modbus_data_t *modbus;
extern oven_operation_srv_t *oven_operation_srv;
extern zeb_timer_service_t *timer_service;
extern zeb_timer_t *telvo_timer;
extern zeb_timer_t *io_board_clock_timer;
extern zeb_timer_t *soak_timer;
extern uint8_t demo_mode;
extern std::mutex demo_mode_mutex;
// Orders the operator's target temperature and power on/off against the IO board
// (re)initialisation: a request queues its board write and records the value under it, and the
// initialisation reads both and queues its own writes under it, so the board always ends with the
// latest target and the latest power on/off.
extern std::mutex set_point_mutex;

// The configuration directory in use (KOR_CONFIG_DIR or the default).
const char *kor_oven_config_dir();
// The manager's own bus channel: the one start-up opened, KOR_DEFAULT_CHANNEL before that.
const char *kor_oven_channel();
// Sleeps default_ms: the fixed waits of the IO board initialisation and of the factory reset.
// KOR_INIT_WAIT_MS (tests only) replaces every one of them by that many milliseconds.
void kor_oven_init_wait(int32_t default_ms);

// ---- start-up (kor_oven_mgr.cpp) ----
// The whole program: start-up, the request loop, shutdown; returns the exit status.
int kor_oven_mgr_main(int argc, char **argv);
int32_t oven_initialize_io_board(const oven_config_t *config, const operation_state_t *state);
int32_t oven_reinitialize_io_board();

// ---- request loop (kor_oven_requests.cpp) ----
// Returns only on failure: -1 without a logger, else the negative result of the bus wait.
int32_t process_client_requests(zeb_logger_t *log);
// Handles one received event (name lookup, data checks, handler); the loop calls it per event.
void kor_oven_dispatch_event(const zeb_event_t *event);
void kor_oven_register_client();
void kor_oven_power_onoff_event(int32_t value);
void kor_oven_set_target_temperature_event(int32_t temperature);
void kor_oven_set_belt_cook_time_event(int32_t belt, int32_t cook_time);
void kor_oven_set_target_fan_speed_event(int32_t fan, int32_t percent);
void kor_oven_set_photo_cell_event(int32_t enable);
void kor_oven_set_serial_number_changed_event();
void kor_oven_set_menu_preset_changed_event(int32_t belt, const char *name);
void kor_oven_config_setting_changed(int32_t setting, int32_t value);

// ---- control thread (kor_oven_control.cpp) ----
// Starts the control thread; 0 or the thread error. It runs until shutdown stops it.
int32_t kor_oven_start_control_thread();
// Ends the control thread after its current cycle and joins it (shutdown, before the link goes).
void kor_oven_stop_control_thread();
void kor_oven_soak_timer_callback(void *arg);
// Raises or clears the statistics store fault to match the store; every cycle and at start-up.
void kor_oven_watch_stats_store();
// Temperature readiness: within ±10 % of the target, both bounds included.
bool is_ready_temp(int32_t temperature, int32_t target);

// ---- idle and demo modes (kor_oven_modes.cpp) ----
uint8_t kor_oven_get_demo_mode();
void kor_oven_demo_mode_event(int32_t value);
void kor_oven_idle_mode_onoff_event(int32_t onoff, int32_t belt1_cook_time, int32_t belt2_cook_time,
                                    int32_t fan1, int32_t fan2, int32_t fan3, int32_t fan4);
// One demo cycle of the control thread; previous_state is the thread's P, updated in place.
void kor_oven_demo_cycle(int32_t *previous_state);

// ---- maintenance (kor_oven_maintenance.cpp) ----
void kor_oven_perform_factory_reset_prepare();
void kor_oven_perform_factory_reset(int32_t outcome);
void kor_oven_update_io_board_firmware(const char *component, const char *path);
void kor_oven_telvo_vellor_callback(void *arg);
void kor_oven_io_board_clock_update_callback(void *arg);
