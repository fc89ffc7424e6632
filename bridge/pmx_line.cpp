// Serial line and process settings of the bridges; see pmx_line.hpp.
#include "pmx_line.hpp"

#include <linux/serial.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "pmx_log.h"

namespace pmx {

namespace {

// The kernel's "no such ioctl" for drivers without the call; not in the user-space errno list.
constexpr int kENOIOCTLCMD = 515;

bool rs485_unsupported(int err) {
    return err == ENOTTY || err == EINVAL || err == kENOIOCTLCMD || err == EOPNOTSUPP;
}

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

std::string setting(const char *name, const char *fallback) {
    const char *value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? std::string(value) : std::string(fallback);
}

void set_rs485(modbus_t *ctx, const std::string &device) {
    bool warned = false;
    auto warn = [&] {
        if (!warned) {
            warned = true;
            pmx_printf("RS485 mode not supported by %s, using the port as it is", device.c_str());
        }
    };
    struct serial_rs485 rs485;
    std::memset(&rs485, 0, sizeof rs485);
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND;
    if (ioctl(modbus_get_socket(ctx), TIOCSRS485, &rs485) < 0) {
        if (rs485_unsupported(errno)) {
            warn();
        } else {
            pmx_printf("ioctl error\n");
        }
    }
    if (modbus_rtu_set_serial_mode(ctx, MODBUS_RTU_RS485) != 0) {
        if (rs485_unsupported(errno)) {
            warn();
        } else {
            pmx_printf("modbus_rtu_set_serial_mode error: %s", modbus_strerror(errno));
        }
    }
}

void block_stop_signals() {
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int wait_for_stop_signal(int timeout_ms) {
    const sigset_t set = stop_signals();
    if (timeout_ms < 0) {
        int signal_number = 0;
        while (sigwait(&set, &signal_number) != 0) {
        }
        return signal_number;
    }
    struct timespec timeout;
    timeout.tv_sec = timeout_ms / 1000;
    timeout.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
    for (;;) {
        const int signal_number = sigtimedwait(&set, nullptr, &timeout);
        if (signal_number > 0) {
            return signal_number;
        }
        if (errno != EINTR) {
            return 0;  // EAGAIN: the time is up
        }
    }
}

}  // namespace pmx
