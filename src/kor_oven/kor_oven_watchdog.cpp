// Service manager notifications of the oven manager (see kor_oven_watchdog.hpp). libsystemd's
// sd_notify does the sending; it reads NOTIFY_SOCKET on every call and does nothing without it.
#include "kor_oven_watchdog.hpp"

#include <systemd/sd-daemon.h>

#include <cstdint>

#include "kor_io_board_update.h"

namespace {

int32_t result_of(int rc) {
    return rc > 0 ? 1 : (rc == 0 ? 0 : -1);
}

// Acknowledged blocks of a transfer prove the loop is alive as well as a finished cycle does.
void feed_on_progress(void *, int32_t, int32_t, int64_t, int64_t) {
    kor_oven_watchdog_kick();
}

}  // namespace

int32_t kor_oven_watchdog_ready(const char *device) {
    return result_of(sd_notifyf(0, "READY=1\nSTATUS=Oven manager running on %s",
                                device != nullptr ? device : ""));
}

int32_t kor_oven_watchdog_kick() {
    // Asked for per process: WATCHDOG_PID (when set) must name this one. Checked on every call,
    // which costs a getenv or two, so a test can set the environment at any time.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) {
        return 0;
    }
    return result_of(sd_notify(0, "WATCHDOG=1"));
}

int32_t kor_oven_watchdog_stopping() {
    return result_of(sd_notify(0, "STOPPING=1\nSTATUS=Shutting down"));
}

int kor_oven_watchdog_transfer_firmware(modbus_data_t *ctx, const char *path) {
    return kor_board_update_transfer_file_to_io_board_progress(ctx, path, feed_on_progress,
                                                               nullptr);
}
