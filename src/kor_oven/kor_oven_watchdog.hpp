// The oven manager's line to the service manager (systemd): "READY=1" once start-up is done,
// "WATCHDOG=1" from every cycle of the control thread, "STOPPING=1" when shutdown begins.
//
// The watchdog is fed from the control thread alone, at the end of each cycle and, while a
// firmware transfer holds a cycle, after each block the board acknowledges; never from a ticker
// of its own. A loop that hangs (a stuck lock, a board exchange that never returns) stops the
// notifications, and the service manager restarts the program. Every call is a no-op where no
// service manager listens (NOTIFY_SOCKET unset), so the program runs unchanged from a shell or a
// test.
#pragma once

#include <stdint.h>

#include "kor_modbus.h"

// "READY=1" with a status line naming the device. 1 when sent, 0 when nobody listens, -1 when
// the send failed.
int32_t kor_oven_watchdog_ready(const char *device);
// "WATCHDOG=1" when the service manager asked for a watchdog (WATCHDOG_USEC for this process).
// 1 when sent, 0 when no watchdog is asked for, -1 when the send failed.
int32_t kor_oven_watchdog_kick();
// "STOPPING=1". 1 when sent, 0 when nobody listens, -1 when the send failed.
int32_t kor_oven_watchdog_stopping();

// The IO board firmware transfer as the control thread runs it: one transfer blocks the cycle
// for as long as the file takes on the line, far beyond a watchdog period, so every block the
// board acknowledges feeds the watchdog. A transfer that stops making progress stops feeding it.
// Same arguments and result as kor_board_update_transfer_file_to_io_board.
int kor_oven_watchdog_transfer_firmware(modbus_data_t *ctx, const char *path);
