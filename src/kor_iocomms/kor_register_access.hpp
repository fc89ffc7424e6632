// The one way the register-map modules (oven status, blower, heater, belt) reach the board: the
// argument checks with the link's own log lines, one queued write, a run of queued writes that
// stops at the first refused enqueue, and one synchronous read. Everything here goes through the
// public transport API; the modules own no link state of their own.
//
// The log lines name the calling module's file and line, as the transport's do, so the checks
// take the caller's std::source_location instead of each module repeating them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <source_location>
#include <string_view>

#include "kor_modbus.h"
#include "zeb_logger.h"

namespace kor_regs {

inline constexpr const char *kModule = "kor_oven_modbus";

using Where = std::source_location;

// One logger handle for the register-map modules, opened on first use and closed at unload.
inline zeb_logger_t *logger() {
    struct Owner {
        zeb_logger_t *handle = nullptr;
        Owner() { zeb_logger_open(&handle); }
        ~Owner() { zeb_logger_close(handle); }
        Owner(const Owner &) = delete;
        Owner &operator=(const Owner &) = delete;
    };
    static Owner owner;
    return owner.handle;
}

// "kor_blower" out of ".../src/kor_iocomms/kor_blower.cpp": the log lines carry the bare name.
constexpr std::string_view file_stem(std::string_view path) {
    if (const auto slash = path.find_last_of('/'); slash != std::string_view::npos) {
        path.remove_prefix(slash + 1);
    }
    if (const auto dot = path.find_last_of('.'); dot != std::string_view::npos) {
        path = path.substr(0, dot);
    }
    return path;
}

inline void log_invalid_input(const Where &where) {
    const std::string_view stem = file_stem(where.file_name());
    zeb_logger_log(logger(), ZEB_LOG_ERR, kModule, "Invalid input parameter (%.*s:%d)",
                   static_cast<int>(stem.size()), stem.data(), static_cast<int>(where.line()));
}

inline void log_null_parameter(const Where &where) {
    const std::string_view stem = file_stem(where.file_name());
    zeb_logger_log(logger(), ZEB_LOG_ERR, kModule, "Parameter NULL (%.*s:%d)",
                   static_cast<int>(stem.size()), stem.data(), static_cast<int>(where.line()));
}

// False (and the "Parameter NULL" line) when any of the pointers is null.
template <typename... Pointers>
bool present(const Where &where, const Pointers *...pointers) {
    if (((pointers == nullptr) || ...)) {
        log_null_parameter(where);
        return false;
    }
    return true;
}

struct RegisterWrite {
    uint32_t address;
    uint16_t value;
};

// Queues the writes in the order given; stops at the first enqueue that fails and returns its
// code. Writes already queued stay queued: the board has no way to take them back.
inline int write_registers(modbus_data_t *ctx, std::initializer_list<RegisterWrite> writes,
                           const Where &where = Where::current()) {
    if (!present(where, ctx)) {
        return -1;
    }
    for (const RegisterWrite &w : writes) {
        if (const int result = kor_modbus_write_holding_register(ctx, w.address, w.value);
            result != 0) {
            return result;
        }
    }
    return 0;
}

inline int write_register(modbus_data_t *ctx, uint32_t address, uint16_t value,
                          const Where &where = Where::current()) {
    return write_registers(ctx, {{address, value}}, where);
}

// Synchronous read of one register; the output is left alone when the read fails.
inline int read_register(modbus_data_t *ctx, uint32_t address, uint16_t *out,
                         const Where &where = Where::current()) {
    if (!present(where, ctx, out)) {
        return -1;
    }
    uint16_t value = 0;
    if (kor_modbus_read_holding_register(ctx, address, &value) != 0) {
        return -1;
    }
    *out = value;
    return 0;
}

// The three relay/belt test setters: the selector takes its code only for exactly 1, anything
// else switches every test off.
inline constexpr uint32_t kTestSelectorRegister = 74;
inline uint16_t test_selector(uint16_t on, uint16_t code) {
    return on == 1 ? code : 0;
}

}  // namespace kor_regs
