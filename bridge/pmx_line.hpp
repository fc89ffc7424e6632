// The bridges' serial line and process settings: the owner of a libmodbus context, the RS-485
// set-up with its fallback for ports that have no kernel RS-485 support, the environment
// overrides of the fixed paths, and the signals that end a bridge. Bridge-internal.
#pragma once

#include <modbus.h>

#include <memory>
#include <string>

namespace pmx {

struct ModbusFree {
    void operator()(modbus_t *ctx) const { modbus_free(ctx); }
};
using ModbusOwner = std::unique_ptr<modbus_t, ModbusFree>;

// The value of the environment variable name when it is set and not empty, else fallback.
std::string setting(const char *name, const char *fallback);

// Puts a connected port into RS-485 mode: the TIOCSRS485 ioctl (transmitter enabled, RTS after
// send), then libmodbus's RS-485 serial mode. A port without kernel RS-485 support (USB adapters
// switch direction themselves, a pseudo-terminal needs none) is used as it is, with one warning
// line; any other failure is logged ("ioctl error\n") and start-up goes on.
void set_rs485(modbus_t *ctx, const std::string &device);

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread and every thread it starts later;
// call it before starting threads. wait_for_stop_signal() then returns the first of them, or 0
// when none came within timeout_ms (a negative time-out waits for ever).
void block_stop_signals();
int wait_for_stop_signal(int timeout_ms = -1);

}  // namespace pmx
