// A libmodbus master on the virtual IO board's line for the board's tests: register reads and
// writes as the oven manager makes them, and raw bytes for what libmodbus cannot frame (CPI
// replies, corrupted frames).
#pragma once

#include <modbus/modbus.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kor_test {

// A libmodbus master on the board's line, as the oven manager opens it.
class RawMaster {
  public:
    explicit RawMaster(const std::string &device, int timeout_ms = 150) {
        ctx_ = modbus_new_rtu(device.c_str(), 57600, 'N', 8, 1);
        if (ctx_ == nullptr) {
            return;
        }
        modbus_set_slave(ctx_, 1);
        modbus_set_response_timeout(ctx_, static_cast<uint32_t>(timeout_ms / 1000),
                                    static_cast<uint32_t>(timeout_ms % 1000) * 1000);
        connected_ = modbus_connect(ctx_) == 0;
    }
    ~RawMaster() {
        if (ctx_ != nullptr) {
            modbus_close(ctx_);
            modbus_free(ctx_);
        }
    }
    RawMaster(const RawMaster &) = delete;
    RawMaster &operator=(const RawMaster &) = delete;

    bool ok() const { return connected_; }
    modbus_t *ctx() { return ctx_; }
    int fd() { return modbus_get_socket(ctx_); }

    // The register value, or -1 with errno from libmodbus.
    int read(int reg) {
        uint16_t value = 0;
        const int rc = modbus_read_registers(ctx_, reg, 1, &value);
        modbus_flush(ctx_);
        return rc == 1 ? value : -1;
    }
    int write(int reg, uint16_t value) { return modbus_write_register(ctx_, reg, value); }

    // Writes raw bytes on the line and collects what comes back within the wait.
    std::vector<uint8_t> exchange_raw(const std::vector<uint8_t> &bytes,
                                      std::chrono::milliseconds wait, std::size_t expect) {
        std::vector<uint8_t> in;
        if (::write(fd(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            return in;
        }
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (in.size() < expect) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            uint8_t buffer[512];
            const ssize_t n = ::read(fd(), buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            in.insert(in.end(), buffer, buffer + n);
        }
        return in;
    }

  private:
    modbus_t *ctx_ = nullptr;
    bool connected_ = false;
};

inline std::vector<uint8_t> with_crc(std::vector<uint8_t> frame) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : frame) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<uint16_t>(crc >> 1);
        }
    }
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

}  // namespace kor_test
