// modbus_console: a service console that reads and writes single holding registers of the IO
// board with libmodbus directly, one command a line on standard input. Owns one libmodbus RTU
// context for its whole run.
//
// Every message goes to standard output, line-buffered, so a script driving the console through a
// pipe sees each answer as soon as it is printed. With debug on, libmodbus prints its frame dumps
// there as well.
#include <linux/serial.h>
#include <modbus/modbus.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "console_line.hpp"

namespace {

constexpr std::size_t kMaxDevice = 31;
constexpr std::size_t kMaxLine = 127;
// Linux's internal "ioctl not supported" code, which some serial drivers leak to user space.
constexpr int kENOIOCTLCMD = 515;

struct ModbusFree {
    void operator()(modbus_t *ctx) const { modbus_free(ctx); }
};
using ModbusOwner = std::unique_ptr<modbus_t, ModbusFree>;

// Closes the port when the console leaves after a successful connect.
class Connection {
  public:
    explicit Connection(modbus_t *ctx) : ctx_(ctx) {}
    ~Connection() { modbus_close(ctx_); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

  private:
    modbus_t *ctx_;
};

// USB adapters switch direction themselves and a pseudo-terminal needs none: such ports are used
// as they are.
bool rs485_unsupported(int err) {
    return err == ENOTTY || err == EINVAL || err == kENOIOCTLCMD || err == EOPNOTSUPP;
}

void warn_rs485_unsupported(const char *device, bool &warned) {
    if (!warned) {
        warned = true;
        std::printf("RS485 mode not supported by %s, using the port as it is\n", device);
    }
}

// The command loop; returns the result of the last read or write (0 when there was none).
int run_commands(modbus_t *ctx) {
    int result = 0;
    std::string line;
    for (;;) {
        const kor_console::LineStatus status = kor_console::read_line(stdin, kMaxLine, line);
        if (status == kor_console::LineStatus::end_of_input) {
            return result;  // a closed input ends the session like a quit
        }
        if (status == kor_console::LineStatus::too_long) {
            std::printf("Input line too long, max is %zu characters\n", kMaxLine);
            continue;
        }
        const kor_console::Command command = kor_console::decode_command(line, "rw!");
        if (command.kind == kor_console::CommandKind::invalid) {
            std::puts("Invalid input");
            continue;
        }
        if (command.kind == kor_console::CommandKind::quit) {
            return result;
        }
        if (command.refusal) {
            std::printf("%s\n", command.refusal->c_str());
            result = -1;
            continue;
        }
        if (command.kind == kor_console::CommandKind::read) {
            uint16_t value = 0;
            result = modbus_read_registers(ctx, command.address, 1, &value);
            if (result == 1) {
                std::printf("read 0x%02X (%d) from %d\n", value, value, command.address);
            } else {
                const int err = errno;
                std::printf("read from %d failed - errno %d : %s\n", command.address, err,
                            modbus_strerror(err));
                result = -1;
            }
        } else {
            const auto value = static_cast<uint16_t>(command.value);
            result = modbus_write_register(ctx, command.address, value);
            if (result == 1) {
                std::printf("wrote 0x%02X (%d) to %d\n", value, value, command.address);
            } else {
                const int err = errno;
                std::printf("write to %d failed - errno %d : %s\n", command.address, err,
                            modbus_strerror(err));
                result = -1;
            }
        }
        if (result == -1) {
            // A reply that comes after the time-out must not be taken for the next request's.
            modbus_flush(ctx);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::puts("COM Port Test.\nUsage: test /dev/device");
        return -1;
    }
    const char *device = argv[1];
    if (std::strlen(device) > kMaxDevice) {
        std::printf("device string too long, max is %zu\n", kMaxDevice);
        return -1;
    }

    std::puts("libmodbus test");
    std::puts("allocate context");
    ModbusOwner ctx(modbus_new_rtu(device, 57600, 'N', 8, 1));
    if (!ctx) {
        std::puts("Failed to allocate modbus context");
        return -1;
    }
    std::puts("set debug");
    if (modbus_set_debug(ctx.get(), 1) != 0) {
        std::puts("Failed to set modbus debug");
        return -1;
    }
    std::puts("set response timeout");
    if (modbus_set_response_timeout(ctx.get(), 10, 0) != 0) {
        std::puts("Failed to set response timeout");
        return -1;
    }
    std::puts("set slave");
    if (modbus_set_slave(ctx.get(), 1) != 0) {
        std::puts("Failed to set slave");
        return -1;
    }
    std::puts("perform connection");
    if (modbus_connect(ctx.get()) != 0) {
        std::printf("Failed to conect to %s\n", device);
        return -1;
    }
    Connection connection(ctx.get());

    bool rs485_warned = false;
    std::puts("configure ioctl");
    // The transceiver's driver is turned round 1 ms after the last byte has left.
    struct serial_rs485 rs485 = {};
    rs485.flags = SER_RS485_RTS_AFTER_SEND;
    rs485.delay_rts_after_send = 1;
    if (ioctl(modbus_get_socket(ctx.get()), TIOCSRS485, &rs485) < 0) {
        const int err = errno;
        if (!rs485_unsupported(err)) {
            std::printf("ioctl error %d\n", err);
            return -1;
        }
        warn_rs485_unsupported(device, rs485_warned);
    }
    std::puts("set serial mode to RS485");
    if (modbus_rtu_set_serial_mode(ctx.get(), MODBUS_RTU_RS485) != 0) {
        if (!rs485_unsupported(errno)) {
            std::puts("Failed set serial mode");
            return -1;
        }
        warn_rs485_unsupported(device, rs485_warned);
    }

    std::puts("Read usage:  r <addr> <enter>");
    std::puts("Write usage: w <addr> <val> <enter>");
    std::puts("Quit:        ! <enter>\n");

    const int result = run_commands(ctx.get());
    std::puts("closing");
    return result;
}
