// The oven control thread's inside, for the thread itself and the tests that drive it one cycle at
// a time: what the thread keeps from one cycle to the next, the few outside operations it calls
// that a test needs to replace (they default to the real ones), and the cycle itself.
#pragma once

#include <stdint.h>

#include "kor_io_board_update.h"
#include "kor_oven_mgr.h"
#include "kor_oven_watchdog.hpp"

// Production cycle period; KOR_CYCLE_MS (1-60000) shortens it for end-to-end tests.
inline constexpr int32_t kKorCyclePeriodMs = 510;

struct ControlState {
    // The board state whose transition was last handled; the demo cycle keeps its own walk here
    // too, so switching demo mode on or off never replays a transition.
    int32_t previous_state = 0;
    uint16_t previous_photo_eye = 0;
    uint16_t previous_oven_enable = 0;
    uint16_t previous_machine_config = 0xFFFF;
    uint32_t cycle_count = 0;
    int32_t energy_mode = 0;
    uint16_t soak_seconds = 0;

    // Seams: the slow or stateful operations a cycle calls outside this module.
    int32_t (*reinitialize_io_board)() = oven_reinitialize_io_board;
    // The transfer feeds the service manager's watchdog with every acknowledged block.
    int (*transfer_firmware)(modbus_data_t *ctx,
                             const char *path) = kor_oven_watchdog_transfer_firmware;
    int32_t (*stats_in_energy_mode)(int32_t on) = kor_stats_in_energy_mode;
    int32_t (*stats_update_time_trackers)() = kor_stats_update_time_trackers;
};

// How a cycle ended.
enum class CycleEnd {
    completed,  // every step ran
    demo,       // demo mode: the demo cycle ran instead of the board cycle
    reinit,     // the board had lost its configuration and was re-initialised
    link_down,  // no Modbus connection: the communication fault was raised
    firmware,   // a pending IO board firmware transfer ran
};

// One cycle of the control thread, without its sleep.
CycleEnd kor_oven_control_cycle(ControlState &cs);

// The cycle period: KOR_CYCLE_MS when it holds a whole number of 1 to 60000 ms, else 510.
int32_t kor_oven_cycle_period_ms();
