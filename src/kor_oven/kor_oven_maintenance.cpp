// The oven manager's slower duties beside the request loop and the control thread: the two-step
// configuration factory reset the UI drives, accepting IO board firmware offered by the update
// service (the control thread carries out the transfer), and the periodic timer callbacks for the
// cloud heartbeat and the IO board clock. Owns nothing: the handles belong to main.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kor_oven_mgr.h"
#include "kor_oven_snapshot.hpp"

namespace {

using kor_mgr::snapshot;

constexpr const char *kModule = "kor_oven_mgr";

#define MGR_LOG(level, ...) zeb_logger_log(logger, (level), kModule, __VA_ARGS__)

constexpr int32_t kPowerOffTries = 5;
constexpr int32_t kPowerOffWaitMs = 1000;

bool oven_is_off(const operation_state_t &state) {
    return state.io_board_state == 0 || state.io_board_state == 8;
}

}  // namespace

void kor_oven_perform_factory_reset_prepare() {
    MGR_LOG(ZEB_LOG_INFO, "Request configuration file factory reset. Switching oven to POWER OFF.");
    // Switched off as a power-off request does.
    kor_srv_oven_enable(oven_operation_srv, modbus, 0);
    kor_state_set_power(0);
    kor_stats_powered_on(0);

    int32_t tries = 0;
    bool off = false;
    while (!off && tries < kPowerOffTries) {
        kor_oven_init_wait(kPowerOffWaitMs);
        ++tries;
        off = oven_is_off(snapshot());
    }
    if (!off) {
        MGR_LOG(ZEB_LOG_ERR, "Oven did not POWER OFF for factory reset. Retry count %d", tries);
        notify_factory_reset_ready(0);
        return;
    }
    MGR_LOG(ZEB_LOG_INFO, "Oven ready for factory reset!");
    notify_factory_reset_ready(1);
}

void kor_oven_perform_factory_reset(int32_t outcome) {
    MGR_LOG(ZEB_LOG_INFO, "Perform configuration file factory reset.");
    if (outcome != 1) {
        MGR_LOG(ZEB_LOG_ERR, "Config reset failed in UI. Abort!");
        return;
    }
    const operation_state_t state = snapshot();
    if (!oven_is_off(state)) {
        MGR_LOG(ZEB_LOG_ERR,
                "Cannot perform configuration file factory reset. Incorrect oven state %d",
                state.io_board_state);
        return;
    }
    // Reloads the reset configuration, re-derives the operation state, re-initialises the board.
    oven_reinitialize_io_board();
}

void kor_oven_update_io_board_firmware(const char *component, const char *path) {
    if (component == nullptr || path == nullptr) {
        return;
    }
    MGR_LOG(ZEB_LOG_INFO, "Notify available update %s:%s", component, path);
    if (std::strcmp(component, KOR_IO_BOARD_COMPONENT) != 0) {
        MGR_LOG(ZEB_LOG_INFO, "Ignoring update %s:%s", component, path);
        notify_update_io_board_response(KOR_UPDATE_IGNORED);
        return;
    }
    // The state keeps at most 255 characters of a path: a longer one would name another file.
    if (path[0] == '\0' || std::strlen(path) >= KOR_STATE_TEXT_SIZE) {
        MGR_LOG(ZEB_LOG_ERR, "Refusing update %s: file path empty or longer than %d characters",
                component, KOR_STATE_TEXT_SIZE - 1);
        notify_update_io_board_response(KOR_UPDATE_FAILED);
        return;
    }
    // Only a regular file: a FIFO would hold the control thread in its open for good, a device
    // would send whatever it gives. stat never opens the file, so it cannot block on one; the
    // transfer checks again on the file it opens, as the name may meanwhile lead elsewhere.
    struct stat st {};
    if (::stat(path, &st) != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Refusing update %s:%s: cannot read the file - errno:%d", component,
                path, errno);
        notify_update_io_board_response(KOR_UPDATE_FAILED);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        MGR_LOG(ZEB_LOG_ERR, "Refusing update %s:%s: not a regular file", component, path);
        notify_update_io_board_response(KOR_UPDATE_FAILED);
        return;
    }
    // One transfer at a time. Only this handler, on the request loop, sets the mode, and the
    // control thread clears it once the accepted file has its final answer: an offer that finds
    // it set would otherwise replace the waiting file or lose its own answer. It gets its final
    // answer now.
    if (snapshot().update_io_board_mode != 0) {
        MGR_LOG(ZEB_LOG_WARNING, "Refusing update %s:%s: another transfer is pending or running",
                component, path);
        notify_update_io_board_response(KOR_UPDATE_FAILED);
        return;
    }
    MGR_LOG(ZEB_LOG_INFO, "Accepting update %s:%s", component, path);
    notify_update_io_board_response(KOR_UPDATE_ACCEPTED);
    // The path first: the control thread acts as soon as it sees the mode.
    kor_state_set_update_io_board_file_name(path);
    kor_state_set_update_io_board_mode(1);
}

void kor_oven_telvo_vellor_callback(void *) {
    if (kor_oven_get_demo_mode() != 0) {
        return;
    }
    MGR_LOG(ZEB_LOG_INFO, "Telvo Vellor heartbeat");
    const operation_state_t state = snapshot();
    oven_config_t config{};
    (void)oven_operation_srv->kor_get_oven_config(&config);

    // Counts as the configuration gives them, kept inside the arrays they index.
    const int32_t blowers = std::clamp(config.num_blowers, 0, KOR_CONFIG_MAX_BLOWERS);
    const int32_t belts = std::clamp(config.num_belts, 0, KOR_CONFIG_MAX_BELTS);
    const int32_t probes = std::clamp(config.heating_num_cavity_active_probes, 0, 4);

    uint16_t fanset[KOR_CONFIG_MAX_BLOWERS] = {0, 0, 0, 0};
    for (int32_t blower = 1; blower <= blowers; ++blower) {
        int32_t hz = 0;
        if (kor_srv_convert_blower_percent_to_hz(state.blower_percent_target[blower - 1], blower,
                                                 &config, &hz) == 0) {
            fanset[blower - 1] = static_cast<uint16_t>(hz);
        }
    }
    int32_t err = kor_telvo_heartbeat(state.io_board_state, state.target_temp, fanset, blowers,
                                      state.belt_cook_time, belts, state.temp, state.tc_readout,
                                      probes, state.menu_preset, belts);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Telvo vellor heartbeat FAILED! Error: %d", err);
    }

    int32_t powered_on = 0;
    int32_t cook_time = 0;
    int32_t belt_front = 0;
    int32_t belt_rear = 0;
    const bool read = kor_stats_get_powered_on(&powered_on) == 0 &&
                      kor_stats_get_cook_time(&cook_time) == 0 &&
                      kor_stats_get_belt_run_time(1, &belt_front) == 0 &&
                      kor_stats_get_belt_run_time(2, &belt_rear) == 0;
    MGR_LOG(ZEB_LOG_INFO, "Telvo Vellor settings changed");
    if (!read) {
        return;
    }
    char ui_version[16];
    std::snprintf(ui_version, sizeof ui_version, "%d", config.ui_firmware);
    err = kor_telvo_report_settings_changed(config.serial_number, config.customer_name,
                                            config.num_belts == 2 ? 1 : 0, powered_on, cook_time,
                                            ui_version, config.io_firmware, config.drive_board_1,
                                            config.drive_board_2, belt_front, belt_rear);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Telvo vellor settings message FAILED! Error: %d", err);
    }
}

void kor_oven_io_board_clock_update_callback(void *) {
    kor_srv_set_io_board_clock_time(oven_operation_srv, modbus);
}
