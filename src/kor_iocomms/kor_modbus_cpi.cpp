// CPI block transfer of the IO board link: builds the private 0x41 requests that carry a firmware
// file, checks the board's 8-byte confirmations and sends one block with the link's retries.
// Owns nothing: the link context, its bus lock and its CPI-mode flag belong to the transport.
//
// A block is sent and its confirmation read under one hold of the bus lock, so a register write
// of the write thread can never slip between a request and its reply. The connection state is
// left alone here: it follows register exchanges only, and a board busy flashing its image says
// nothing about the register link.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <string>

#include "kor_modbus.h"
#include "kor_modbus_private.hpp"
#include "zeb_logger.h"

namespace {

constexpr const char *kFile = "kor_modbus_cpi";

// The table of the reflected polynomial 0xA001, one entry per byte value.
constexpr std::array<uint16_t, 256> make_crc_table() {
    std::array<uint16_t, 256> table{};
    for (uint16_t i = 0; i < 256; ++i) {
        uint16_t crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u)
                                  : static_cast<uint16_t>(crc >> 1);
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = make_crc_table();

uint16_t big_endian(const uint8_t *bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

// "[01][41]..." for the frame dump of a debug link.
std::string frame_text(std::span<const uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 4);
    char cell[8];
    for (uint8_t b : bytes) {
        std::snprintf(cell, sizeof cell, "[%02X]", b);
        text += cell;
    }
    return text;
}

bool in_cpi_mode(modbus_data *ctx) {
    std::lock_guard lock(ctx->state_lock);
    return ctx->cpi_mode;
}

// Outcome of one attempt: which step failed (if any), its result and errno.
enum class Step { None, Send, Receive, Verify };

struct Attempt {
    Step failed = Step::None;
    int result = 0;
    int err = 0;
    int received = 0;
    uint8_t reply[KOR_CPI_REPLY_LENGTH] = {};
};

Attempt exchange(modbus_data *ctx, const uint8_t *request, int length, uint16_t file,
                 uint16_t block) {
    Attempt a;
    std::lock_guard bus(ctx->bus_lock);
    a.result = ctx->interface.send_raw_request(ctx->mbs_ctx, request, length);
    if (a.result == -1) {
        a.err = errno;
        a.failed = Step::Send;
        return a;
    }
    a.result = ctx->interface.receive_raw(ctx->mbs_ctx, a.reply, KOR_CPI_REPLY_LENGTH);
    if (a.result == -1) {
        a.err = errno;
        a.failed = Step::Receive;
        return a;
    }
    if (a.result == 0) {
        // Nothing at all within the bound: a board that did not answer, like a register read
        // that timed out, not a reply of the wrong length.
        a.result = -1;
        a.err = ETIMEDOUT;
        a.failed = Step::Receive;
        return a;
    }
    a.received = a.result;
    a.result =
        kor_modbus_verify_cpi_response_packet(ctx->slave_id, file, block, a.reply, a.received);
    if (a.result != 0) {
        a.err = errno;
        a.failed = Step::Verify;
    }
    return a;
}

}  // namespace

extern "C" uint16_t kor_modbus_calculate_crc(const uint8_t *data, int32_t length) {
    uint16_t crc = 0xFFFF;
    if (data == nullptr) {
        return crc;
    }
    for (int32_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ data[i]) & 0xFFu]);
    }
    return crc;
}

extern "C" int kor_modbus_build_cpi_packet(int32_t slave_id, const uint8_t *data, int32_t n,
                                           uint8_t *out, int32_t out_size, uint16_t file,
                                           uint16_t block) {
    // The room must also hold the header and all n bytes, not only be a plausible size.
    if (data == nullptr || n < 1 || n > KOR_CPI_MAX_DATA || out == nullptr || out_size < 1 ||
        out_size > KOR_CPI_MAX_REQUEST || out_size < n + 6) {
        errno = EINVAL;
        return -1;
    }
    std::memset(out, 0, static_cast<size_t>(out_size));
    out[0] = static_cast<uint8_t>(slave_id & 0xFF);
    out[1] = KOR_CPI_FUNCTION;
    out[2] = static_cast<uint8_t>(file >> 8);
    out[3] = static_cast<uint8_t>(file & 0xFFu);
    out[4] = static_cast<uint8_t>(block >> 8);
    out[5] = static_cast<uint8_t>(block & 0xFFu);
    std::memcpy(out + 6, data, static_cast<size_t>(n));
    return 0;
}

extern "C" int kor_modbus_verify_cpi_response_packet(int32_t slave_id, uint16_t file,
                                                     uint16_t block, const uint8_t *reply,
                                                     int32_t length) {
    int err = 0;
    if (reply == nullptr) {
        err = EINVAL;
    } else if (length != KOR_CPI_REPLY_LENGTH) {
        err = KOR_CPI_ELENGTH;
    } else if (reply[0] != static_cast<uint8_t>(slave_id & 0xFF)) {
        err = KOR_CPI_EADDRESS;
    } else if (reply[1] != KOR_CPI_FUNCTION) {
        err = KOR_CPI_ECOMMAND;
    } else if (big_endian(reply + 2) != file) {
        err = KOR_CPI_EFILE;
    } else if (big_endian(reply + 4) != block) {
        err = KOR_CPI_EBLOCK;
    } else {
        const uint16_t crc = kor_modbus_calculate_crc(reply, 6);
        if (reply[6] != (crc & 0xFFu) || reply[7] != (crc >> 8)) {
            err = KOR_CPI_ECRC;
        }
    }
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

extern "C" int kor_modbus_transfer_cpi_block(modbus_data_t *context, const uint8_t *data, int32_t n,
                                             uint16_t file, uint16_t block) {
    if (context == nullptr) {
        errno = EINVAL;
        return -1;
    }
    modbus_data *ctx = context;
    if (data == nullptr || n <= 0 || n > KOR_CPI_MAX_DATA) {
        zeb_logger_log(ctx->logger, ZEB_LOG_ERR, kKorModbusModule,
                       "Invalid input parameter (%s:%d)", kFile, __LINE__);
        errno = EINVAL;
        return -1;
    }
    if (!in_cpi_mode(ctx)) {
        errno = EPERM;
        return -1;
    }

    uint8_t request[KOR_CPI_MAX_REQUEST];
    const int length = n + 6;
    int result = kor_modbus_build_cpi_packet(ctx->slave_id, data, n, request, length, file, block);
    if (result != 0) {
        const int err = errno;
        zeb_logger_log(ctx->logger, ZEB_LOG_ERR, kKorModbusModule,
                       "Failed to build CPI packet - Error: %d errno: %d desc: %s", result, err,
                       kor_modbus_error_text(ctx, err));
        errno = err;
        return result;
    }
    if (ctx->debug) {
        zeb_logger_log(ctx->logger, ZEB_LOG_INFO, kKorModbusModule, "CPI Frame %s",
                       frame_text({request, static_cast<size_t>(length)}).c_str());
    }

    const int32_t attempts = kor_modbus_attempts(ctx);
    int last_err = 0;
    for (int32_t attempt = 0; attempt < attempts; ++attempt) {
        const Attempt a = exchange(ctx, request, length, file, block);
        if (ctx->debug && a.failed != Step::Send && a.received > 0) {
            zeb_logger_log(ctx->logger, ZEB_LOG_INFO, kKorModbusModule, "CPI Frame %s",
                           frame_text({a.reply, static_cast<size_t>(a.received)}).c_str());
        }
        const char *what = nullptr;
        switch (a.failed) {
            case Step::None:
                zeb_logger_log(ctx->logger, ZEB_LOG_INFO, kKorModbusModule,
                               "Successfully transfered %d bytes - file:%d - block:%d", n, file,
                               block);
                return 0;
            case Step::Send:
                what = "Failed modbus send raw request";
                break;
            case Step::Receive:
                what = "Failed modbus receive confirmation";
                break;
            case Step::Verify:
                what = "CPI transfer comfirmation failed";
                break;
        }
        zeb_logger_log(ctx->logger, ZEB_LOG_ERR, kKorModbusModule,
                       "%s - Error: %d errno: %d desc: %s", what, a.result, a.err,
                       kor_modbus_error_text(ctx, a.err));
        zeb_logger_log(ctx->logger, ZEB_LOG_ERR, kKorModbusModule,
                       "Transfer failed - retry_count: %d", attempt);
        last_err = a.err;
    }
    errno = last_err;
    return -1;
}
