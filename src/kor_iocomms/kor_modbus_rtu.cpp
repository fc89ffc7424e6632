// The libmodbus call table of the IO board link: fourteen slots over one Modbus RTU context.
//
// Each mbs_ctx_t handed out by new_rtu is the first member of an rtu_link that also owns the
// device name (for log lines), a logger handle and the "dirty" flag: after an exchange that
// failed (time-out, bad CRC, exception) a late reply may still be on its way, and since all
// single-register replies look alike the next request must not take it for its own, so the line
// is flushed before that request goes out; so it is whenever bytes wait on it before a request.
#include <linux/serial.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "kor_modbus.h"
#include "zeb_logger.h"

namespace {

constexpr const char *kModule = "kor_oven_modbus";
// Linux's internal "ioctl not supported" code, which some serial drivers leak to user space.
constexpr int kENOIOCTLCMD = 515;
// receive_raw gives the board this long for a whole reply (the old 499 reads of 500 us).
constexpr auto kReceiveBound = std::chrono::milliseconds(250);

struct rtu_link {
    mbs_ctx_t holder;  // first: the slots get &holder back and find the rest from it
    bool dirty;
    bool rs485_warned;
    zeb_logger_t *logger;
    char *device;  // strdup'ed
};
static_assert(std::is_standard_layout_v<rtu_link>, "holder must be pointer-interconvertible");

rtu_link *link_of(mbs_ctx_t *ctx) {
    return reinterpret_cast<rtu_link *>(ctx);
}

modbus_t *modbus_of(mbs_ctx_t *ctx) {
    return ctx != nullptr ? static_cast<modbus_t *>(ctx->ctx) : nullptr;
}

void release(rtu_link *link) {
    if (link == nullptr) {
        return;
    }
    if (link->holder.ctx != nullptr) {
        modbus_free(static_cast<modbus_t *>(link->holder.ctx));
    }
    zeb_logger_close(link->logger);
    std::free(link->device);
    std::free(link);
}

// Ports without kernel RS-485 support (USB adapters switch direction themselves, a
// pseudo-terminal needs none) are used as they are.
bool rs485_unsupported(int err) {
    return err == ENOTTY || err == EINVAL || err == kENOIOCTLCMD || err == EOPNOTSUPP;
}

void warn_rs485_unsupported(rtu_link *link) {
    if (!link->rs485_warned) {
        link->rs485_warned = true;
        zeb_logger_log(link->logger, ZEB_LOG_WARNING, kModule,
                       "RS485 mode not supported by %s, using the port as it is", link->device);
    }
}

// Drops whatever a failed exchange left on the line before the next request goes out, and any
// bytes that wait there anyway: a late reply to a first attempt may come after its retry was
// answered, when the exchange has already succeeded. The check costs one ioctl, and a clean line
// is not flushed, so a debug link prints nothing for it.
void flush_if_dirty(mbs_ctx_t *ctx) {
    rtu_link *link = link_of(ctx);
    int waiting = 0;
    if (!link->dirty && ioctl(modbus_get_socket(modbus_of(ctx)), FIONREAD, &waiting) == 0 &&
        waiting == 0) {
        return;
    }
    modbus_flush(modbus_of(ctx));
    link->dirty = false;
}

// Marks the line dirty when the exchange failed; keeps errno for the caller.
int note_result(mbs_ctx_t *ctx, int result) {
    if (result == -1) {
        int saved = errno;
        link_of(ctx)->dirty = true;
        errno = saved;
    }
    return result;
}

mbs_ctx_t *rtu_new(const char *device, int baud, char parity, int data_bit, int stop_bit) {
    if (device == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto *link = static_cast<rtu_link *>(std::calloc(1, sizeof(rtu_link)));
    if (link == nullptr) {
        return nullptr;
    }
    link->device = strdup(device);
    if (link->device == nullptr || zeb_logger_open(&link->logger) != 0) {
        release(link);
        errno = ENOMEM;
        return nullptr;
    }
    modbus_t *mb = modbus_new_rtu(device, baud, parity, data_bit, stop_bit);
    if (mb == nullptr) {
        int saved = errno;
        release(link);
        errno = saved;
        return nullptr;
    }
    link->holder.ctx = mb;
    return &link->holder;
}

int rtu_connect(mbs_ctx_t *ctx) {
    modbus_t *mb = modbus_of(ctx);
    if (mb == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int result = modbus_connect(mb);
    if (result != 0) {
        return result;
    }
    // The transceiver's driver is turned round 2 ms after the last byte has left.
    struct serial_rs485 rs485 = {};
    rs485.flags = SER_RS485_RTS_AFTER_SEND;
    rs485.delay_rts_after_send = 2;
    if (ioctl(modbus_get_socket(mb), TIOCSRS485, &rs485) < 0) {
        if (!rs485_unsupported(errno)) {
            return -2;
        }
        warn_rs485_unsupported(link_of(ctx));
    }
    link_of(ctx)->dirty = false;
    return result;
}

int rtu_close(mbs_ctx_t *ctx) {
    if (modbus_t *mb = modbus_of(ctx); mb != nullptr) {
        modbus_close(mb);
    }
    return 0;
}

void rtu_free(mbs_ctx_t *ctx) {
    if (ctx != nullptr) {
        release(link_of(ctx));
    }
}

const char *rtu_strerror(int code) {
    switch (code) {
        case KOR_CPI_ECRC:
            return "CRC check failed";
        case KOR_CPI_EADDRESS:
            return "Wrong controller address response";
        case KOR_CPI_EFILE:
            return "Wrong file number response";
        case KOR_CPI_ECOMMAND:
            return "Wrong modbus command response";
        case KOR_CPI_EBLOCK:
            return "Wrong block ID response";
        case KOR_CPI_ELENGTH:
            return "Wrong CPI response length";
        default:
            return modbus_strerror(code);
    }
}

int rtu_set_serial_mode(mbs_ctx_t *ctx, int mode) {
    modbus_t *mb = modbus_of(ctx);
    if (mb == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int result = modbus_rtu_set_serial_mode(mb, mode);
    if (result != 0 && mode == MODBUS_RTU_RS485 && rs485_unsupported(errno)) {
        // libmodbus asks the port with TIOCGRS485/TIOCSRS485 itself.
        warn_rs485_unsupported(link_of(ctx));
        return 0;
    }
    return result;
}

int rtu_set_slave(mbs_ctx_t *ctx, int slave) {
    modbus_t *mb = modbus_of(ctx);
    if (mb == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return modbus_set_slave(mb, slave);
}

int rtu_set_debug(mbs_ctx_t *ctx, int flag) {
    modbus_t *mb = modbus_of(ctx);
    if (mb == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return modbus_set_debug(mb, flag);
}

int rtu_set_response_timeout(mbs_ctx_t *ctx, uint32_t seconds, uint32_t microseconds) {
    modbus_t *mb = modbus_of(ctx);
    if (mb == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // libmodbus refuses a microsecond part of a second or more; carry it into the seconds.
    seconds += microseconds / 1000000u;
    microseconds %= 1000000u;
    return modbus_set_response_timeout(mb, seconds, microseconds);
}

int rtu_read_register(mbs_ctx_t *ctx, int address, uint16_t *value) {
    modbus_t *mb = modbus_of(ctx);
    if (mb == nullptr || value == nullptr) {
        errno = EINVAL;
        return -1;
    }
    flush_if_dirty(ctx);
    return note_result(ctx, modbus_read_registers(mb, address, 1, value));
}

int rtu_read_registers(mbs_ctx_t *ctx, int address, int count, uint16_t *values) {
    modbus_t *mb = modbus_of(ctx);
    if (mb == nullptr || values == nullptr) {
        errno = EINVAL;
        return -1;
    }
    flush_if_dirty(ctx);
    return note_result(ctx, modbus_read_registers(mb, address, count, values));
}

int rtu_write_register(mbs_ctx_t *ctx, int address, uint32_t value) {
    modbus_t *mb = modbus_of(ctx);
    if (mb == nullptr) {
        errno = EINVAL;
        return -1;
    }
    flush_if_dirty(ctx);
    return note_result(ctx, modbus_write_register(mb, address, static_cast<uint16_t>(value)));
}

int rtu_send_raw_request(mbs_ctx_t *ctx, const uint8_t *request, int length) {
    modbus_t *mb = modbus_of(ctx);
    if (mb == nullptr || request == nullptr) {
        errno = EINVAL;
        return -1;
    }
    flush_if_dirty(ctx);
    // libmodbus takes a non-const buffer but only reads it.
    return note_result(ctx, modbus_send_raw_request(mb, const_cast<uint8_t *>(request), length));
}

// Gathers size bytes of a raw reply, waiting with poll() up to the overall bound. "No data yet"
// (EAGAIN, EINTR) is not a failure; a failed read ends the gathering.
int rtu_receive_raw(mbs_ctx_t *ctx, uint8_t *buffer, int size) {
    modbus_t *mb = modbus_of(ctx);
    if (mb == nullptr || buffer == nullptr || size <= 0) {
        errno = EINVAL;
        return -1;
    }
    const int fd = modbus_get_socket(mb);
    tcdrain(fd);
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + kReceiveBound;
    int gathered = 0;
    int read_errno = 0;
    while (gathered < size) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) {
            break;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            read_errno = errno;
            break;
        }
        if (ready == 0) {
            break;
        }
        ssize_t n = read(fd, buffer + gathered, static_cast<size_t>(size - gathered));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            read_errno = errno;
            break;
        }
        if (n == 0) {
            break;  // the other end has gone
        }
        gathered += static_cast<int>(n);
    }
    // A raw reply carries no length we could check here: a longer reply, or one the caller
    // rejects, would leave bytes that the next request takes for its answer. Flush before it.
    link_of(ctx)->dirty = true;
    if (gathered == 0 && read_errno != 0) {
        errno = read_errno;
        return -1;
    }
    if (gathered < size) {
        errno = read_errno != 0 ? read_errno : ETIMEDOUT;
    }
    return gathered;
}

constexpr modbus_interface_t kRtuTable = {
    rtu_new,
    rtu_connect,
    rtu_close,
    rtu_free,
    rtu_strerror,
    rtu_set_serial_mode,
    rtu_set_slave,
    rtu_set_debug,
    rtu_set_response_timeout,
    rtu_read_register,
    rtu_read_registers,
    rtu_write_register,
    rtu_send_raw_request,
    rtu_receive_raw,
};

}  // namespace

extern "C" modbus_interface_t *kor_create_modbus_instance(void) {
    auto *table = static_cast<modbus_interface_t *>(std::malloc(sizeof(modbus_interface_t)));
    if (table != nullptr) {
        *table = kRtuTable;
    }
    return table;
}
