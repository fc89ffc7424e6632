// Fault handling of the operation service: owns the UI fault table (27 numbered faults with their
// descriptions), turns the IO board's fault words into it, keeps the platform fault manager in step
// with which faults are active, clears one-shot faults on the board once reported and reports
// every change to the cloud. The fault manager's own record of set faults is the reference for
// change detection; the table's active column is rewritten from the board on every scan.
//
// The control thread scans every cycle and a power-on request re-sends on the request loop: one
// lock makes each scan, with the fault manager updates that follow from it, whole, so neither
// reads the table while the other rewrites it.
#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "kor_oven_operation_srv.h"
#include "kor_srv_log.hpp"

ui_fault_t ui_faults[KOR_UI_FAULT_COUNT];

namespace {

// Which board data makes a fault active.
enum class Match {
    none,  // entry 0
    bit,   // the given sub-fault bit of the board code
    any,   // any nonzero bit field of the board code
    link,  // the Modbus link is down (no board code)
};

// The cloud report a change of the fault triggers, by the arguments it takes.
enum class Report {
    none,
    belt_comm_lost,
    sensor_open,
    sensor_closed,
    belt_stalled,
    heating_error,
    probe_open,
    all_probes_open,
    oven_over_temp,
    reset_ignition,
    io_comm_lost,
    fan_fault,
    high_temp_check_fans,
    over_temp_check_fans,
};

struct FaultDef {
    int32_t board_code;
    Match match;
    uint8_t bit;
    uint8_t resettable;
    Report report;
    const char *description;
};

constexpr int kAmbientTcFault = 14;
constexpr int kLinkFault = 11;
constexpr int kAmbientTc = 5;

// Indexed by UI fault number; entry 0 stays empty.
constexpr std::array<FaultDef, KOR_UI_FAULT_COUNT> kFaults{{
    {0, Match::none, 0, 0, Report::none, ""},
    {199, Match::bit, 0, 0, Report::belt_comm_lost, "Unable to communicate with drive board #1."},
    {200, Match::bit, 0, 1, Report::sensor_open, "Blower #1 is not running."},
    {201, Match::bit, 0, 0, Report::belt_stalled, "Belt #1 RPM is not close."},
    {202, Match::any, 0, 1, Report::heating_error, "Oven heat is insufficient."},
    {203, Match::bit, 0, 0, Report::probe_open, "Thermocouple #1 is broken."},
    {204, Match::any, 0, 0, Report::all_probes_open, "No thermocouples are available for PID."},
    {205, Match::any, 0, 0, Report::oven_over_temp, "Oven temperature goes above 650F."},
    {206, Match::any, 0, 1, Report::fan_fault, "Cooling fan is not running."},
    {207, Match::any, 0, 1, Report::reset_ignition, "Ignition Module is in lockout state."},
    {208, Match::bit, 0, 1, Report::sensor_closed,
     "Blower #1 sensor started closed at beginning of blower sense state and does not open before "
     "closing again (threshold 0 only)."},
    {-1, Match::link, 0, 0, Report::io_comm_lost, "Communication with IO board lost."},
    {209, Match::any, 0, 0, Report::high_temp_check_fans, "Control box above 150F"},
    {210, Match::any, 0, 0, Report::over_temp_check_fans, "Control box above 165F"},
    {211, Match::any, 0, 0, Report::probe_open, "Ambient Thermocouple Open"},
    {212, Match::any, 0, 0, Report::none, "IO Detects high limit relay has opened."},
    {199, Match::bit, 1, 0, Report::belt_comm_lost, "Unable to communicate with drive board #2."},
    {200, Match::bit, 1, 1, Report::sensor_open, "Blower #2 is not running."},
    {200, Match::bit, 2, 1, Report::sensor_open, "Blower #3 is not running."},
    {200, Match::bit, 3, 1, Report::sensor_open, "Blower #4 is not running."},
    {201, Match::bit, 1, 0, Report::belt_stalled, "Belt #2 RPM is not close."},
    {203, Match::bit, 1, 0, Report::probe_open, "Thermocouple #2 is broken."},
    {203, Match::bit, 2, 0, Report::probe_open, "Thermocouple #3 is broken."},
    {203, Match::bit, 3, 0, Report::probe_open, "Thermocouple #4 is broken."},
    {203, Match::bit, 4, 0, Report::probe_open, "Thermocouple #5 is broken."},
    {208, Match::bit, 1, 1, Report::sensor_closed,
     "Blower #2 sensor started closed at beginning of blower sense state and does not open before "
     "closing again (threshold 0 only)."},
    {208, Match::bit, 2, 1, Report::sensor_closed,
     "Blower #3 sensor started closed at beginning of blower sense state and does not open before "
     "closing again (threshold 0 only)."},
    {208, Match::bit, 3, 1, Report::sensor_closed,
     "Blower #4 sensor started closed at beginning of blower sense state and does not open before "
     "closing again (threshold 0 only)."},
}};

enum class Change { unchanged, reported, cleared };

// Guards ui_faults between a scan and the use of its result.
std::mutex g_ui_faults_lock;

// Reads the board's fault list into ui_faults and sets the link fault; the first error, logged.
int32_t scan_board_faults(oven_operation_srv_t *srv) {
    board_fault_t *faults = nullptr;
    int32_t count = 0;
    int32_t rc = srv->kor_oven_get_faults(&faults, &count);
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Read oven faults FAILED! Error: %d", rc);
        return rc;
    }
    rc = kor_srv_convert_board_to_ui_fault(faults, count, ui_faults, KOR_UI_FAULT_COUNT);
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Conversion from board to UI faults FAILED! Error: %d", rc);
        return rc;
    }
    ui_faults[kLinkFault].active = srv->kor_oven_get_modbus_connection_state() == 0 ? 1 : 0;
    return 0;
}

// The cloud report of one changed fault, with its readings from the snapshot and configuration.
int32_t report_fault(oven_operation_srv_t *srv, int fault, uint8_t fs, const oven_config_t *config,
                     const operation_state_t *state) {
    // Counts come from the configuration; the snapshot's arrays are fixed, so never read past them.
    const int32_t belts = std::clamp<int32_t>(config->num_belts, 0, 2);
    const int32_t blowers = std::clamp<int32_t>(config->num_blowers, 0, 4);
    const int32_t probes = std::clamp<int32_t>(config->heating_num_cavity_active_probes, 0, 4);
    const int32_t board_state = state->io_board_state;

    uint16_t fanset[4] = {0, 0, 0, 0};
    for (int32_t i = 0; i < blowers; ++i) {
        int32_t hz = 0;
        if (kor_srv_convert_blower_percent_to_hz(state->blower_percent_target[i], i + 1, config,
                                                 &hz) == 0) {
            fanset[i] = static_cast<uint16_t>(hz);
        }
    }

    switch (kFaults[static_cast<size_t>(fault)].report) {
        case Report::belt_comm_lost:
            return srv->kor_telvo_report_fault_belt_comm_lost(fs, state->belt_cook_time, belts);
        case Report::sensor_open:
            return srv->kor_telvo_report_fault_sensor_open(fs, board_state, fanset, blowers);
        case Report::sensor_closed:
            return srv->kor_telvo_report_fault_sensor_closed(fs, board_state, fanset, blowers);
        case Report::belt_stalled:
            return srv->kor_telvo_report_fault_belt_stalled(fs, board_state, state->belt_cook_time,
                                                            belts);
        case Report::heating_error:
            return srv->kor_telvo_report_fault_heating_error(
                fs, board_state, state->temp, state->target_temp, state->tc_readout, probes);
        case Report::probe_open:
            return srv->kor_telvo_report_fault_probe_open(
                fs, board_state, state->temp, state->target_temp, state->tc_readout, probes);
        case Report::oven_over_temp:
            return srv->kor_telvo_report_fault_oven_over_temp(
                fs, board_state, state->temp, state->target_temp, state->tc_readout, probes);
        case Report::reset_ignition:
            return srv->kor_telvo_report_fault_reset_ignition(
                fs, board_state, state->temp, state->target_temp, state->tc_readout, probes);
        case Report::all_probes_open:
            return srv->kor_telvo_report_fault_all_probes_open(fs, board_state);
        case Report::io_comm_lost:
            return srv->kor_telvo_report_fault_io_comm_lost(fs, board_state);
        case Report::fan_fault:
            return srv->kor_telvo_report_fault_fan_fault(fs);
        case Report::high_temp_check_fans:
            return srv->kor_telvo_report_fault_high_temp_check_fans(fs);
        case Report::over_temp_check_fans:
            return srv->kor_telvo_report_fault_over_temp_check_fans(fs);
        case Report::none:
            break;
    }
    return 0;
}

void log_reported(const ui_fault_t &f) {
    KOR_SRV_LOG(ZEB_LOG_INFO, "Reported - Fault: %d - Reg: %d - Value: %d - Desc: %s",
                static_cast<int>(f.fault), f.board_code, f.active, f.description);
}

void log_cleared(const ui_fault_t &f) {
    KOR_SRV_LOG(ZEB_LOG_INFO, "Cleared - Fault: %d - Reg: %d - Value: %d - Desc: %s",
                static_cast<int>(f.fault), f.board_code, f.active, f.description);
}

}  // namespace

void kor_srv_fill_ui_faults(ui_fault_t *table) {
    if (table == nullptr) {
        return;
    }
    std::memset(table, 0, sizeof(ui_fault_t) * KOR_UI_FAULT_COUNT);
    for (size_t n = 1; n < kFaults.size(); ++n) {
        ui_fault_t &f = table[n];
        f.fault = static_cast<uint32_t>(n);
        f.board_code = kFaults[n].board_code;
        f.active = 0;
        f.resettable = kFaults[n].resettable;
        std::strncpy(f.description, kFaults[n].description, KOR_UI_FAULT_DESC_SIZE - 1);
    }
}

int32_t kor_srv_convert_board_to_ui_fault(const board_fault_t *faults, int32_t count,
                                          ui_fault_t *table, int32_t size) {
    if (faults == nullptr || table == nullptr || count <= 0 || size <= 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", "kor_srv_faults", __LINE__);
        return -1;
    }
    // The table has room for size entries, but only the 28 known faults have a meaning.
    const int32_t entries = std::min<int32_t>(size, KOR_UI_FAULT_COUNT);
    for (int32_t n = 1; n < entries; ++n) {
        table[n].active = 0;
    }
    for (int32_t i = 0; i < count; ++i) {
        const board_fault_t &rec = faults[i];
        if (rec.value == 0) {
            continue;
        }
        // Board data selects entries only by matching the definitions, never as an index, so an
        // unknown code or a bit beyond the known sub-faults touches nothing.
        for (int32_t n = 1; n < entries; ++n) {
            const FaultDef &def = kFaults[static_cast<size_t>(n)];
            if (def.match != Match::bit && def.match != Match::any) {
                continue;
            }
            if (static_cast<int64_t>(rec.reg) != def.board_code) {
                continue;
            }
            if (def.match == Match::any || ((rec.value >> def.bit) & 1U) != 0) {
                table[n].active = 1;
            }
        }
    }
    return 0;
}

int32_t kor_srv_notify_io_board_fault(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                      zeb_faultman_t *faultman, const oven_config_t *config,
                                      const operation_state_t *state) {
    if (srv == nullptr || modbus == nullptr || faultman == nullptr || config == nullptr ||
        state == nullptr) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", "kor_srv_faults", __LINE__);
        return -1;
    }
    std::lock_guard guard(g_ui_faults_lock);
    int32_t rc = scan_board_faults(srv);
    if (rc != 0) {
        return rc;
    }

    int32_t result = 0;
    for (int n = 1; n < KOR_UI_FAULT_COUNT; ++n) {
        const ui_fault_t &f = ui_faults[n];
        Change change = Change::unchanged;
        int fm_rc = 0;
        if (f.active == 1 && srv->zeb_faultman_check(faultman, n) != 1) {
            log_reported(f);
            fm_rc =
                srv->zeb_faultman_set(faultman, kor_srv_logger(), kKorSrvModule, n, f.description);
            change = Change::reported;
        } else if (f.active == 0 && srv->zeb_faultman_check(faultman, n) != 0) {
            log_cleared(f);
            fm_rc = srv->zeb_faultman_clear(faultman, n);
            change = Change::cleared;
        }
        if (fm_rc != 0) {
            KOR_SRV_LOG(ZEB_LOG_ERR, "Fault manager operation FAILED! Error: %d.", fm_rc);
            result = -1;
        }

        if (change == Change::reported && f.resettable != 0) {
            // One-shot faults: cleared at once so the board can raise them again. The fault
            // manager is cleared even when the board refused, so the next scan retries.
            KOR_SRV_LOG(ZEB_LOG_INFO, "Clear fault:%d on IO Board", f.board_code);
            rc = srv->kor_oven_clear_fault(modbus, static_cast<uint32_t>(f.board_code));
            if (rc != 0) {
                KOR_SRV_LOG(ZEB_LOG_ERR, "Clear resettable fault FAILED! Fault:%d - Error: %d.",
                            f.board_code, rc);
                result = -1;
            }
            fm_rc = srv->zeb_faultman_clear(faultman, n);
            if (fm_rc != 0) {
                KOR_SRV_LOG(ZEB_LOG_ERR, "Fault manager operation FAILED! Error: %d.", fm_rc);
                result = -1;
            }
        }

        if (n == kAmbientTcFault && change == Change::reported) {
            rc = kor_srv_enable_tc(srv, modbus, config, kAmbientTc, 0);
            if (rc != 0) {
                KOR_SRV_LOG(ZEB_LOG_ERR, "Disable TC5 after error FAILED! Error: %d.", rc);
                result = -1;
            }
        }

        if (change != Change::unchanged) {
            const uint8_t fs = change == Change::reported ? 1 : 0;
            KOR_SRV_LOG(ZEB_LOG_INFO, "Reporting fault to Vellor - Fault: %d - Status: %d", n, fs);
            rc = report_fault(srv, n, fs, config, state);
            if (rc != 0) {
                KOR_SRV_LOG(ZEB_LOG_ERR, "Telvo fault report FAILED! Error: %d. Fault: %d", rc, n);
                result = -1;
            }
        }
    }
    return result;
}

int32_t kor_srv_resend_io_board_fault(oven_operation_srv_t *srv, zeb_faultman_t *faultman) {
    if (srv == nullptr || faultman == nullptr) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", "kor_srv_faults", __LINE__);
        return -1;
    }
    KOR_SRV_LOG(ZEB_LOG_INFO, "Scanning IO Board for active faults.");
    std::lock_guard guard(g_ui_faults_lock);
    int32_t rc = scan_board_faults(srv);

    for (int n = 1; rc == 0 && n < KOR_UI_FAULT_COUNT; ++n) {
        rc = srv->zeb_faultman_clear(faultman, n);
        if (rc != 0) {
            KOR_SRV_LOG(ZEB_LOG_ERR, "Clearing faults has FAILED! Error: %d", rc);
        }
    }

    bool any_active = false;
    for (int n = 1; rc == 0 && n < KOR_UI_FAULT_COUNT; ++n) {
        const ui_fault_t &f = ui_faults[n];
        if (f.active != 1) {
            continue;
        }
        any_active = true;
        rc = srv->zeb_faultman_set(faultman, kor_srv_logger(), kKorSrvModule, n, f.description);
        if (rc == 0) {
            log_reported(f);
        }
    }

    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Reporting faults has FAILED! Error: %d", rc);
    } else if (!any_active) {
        KOR_SRV_LOG(ZEB_LOG_INFO, "No active faults found on IO Board.");
    }
    return rc;
}
