// Register bank of the virtual IO board; see sim_registers.hpp.
#include "sim_registers.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kor_sim {

namespace {

uint16_t word_at(std::span<const uint8_t> frame, std::size_t at) {
    return static_cast<uint16_t>((frame[at] << 8) | frame[at + 1]);
}

}  // namespace

std::unique_ptr<RegisterBank> RegisterBank::create(int slave_id, std::string &error) {
    auto bank = std::make_unique<RegisterBank>(Key{});
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return nullptr;
    }
    bank->reply_read_.reset(fds[0]);
    bank->reply_write_.reset(fds[1]);
    // Only the reading side may come up empty; libmodbus writes whole replies far below the
    // pipe's capacity, so its blocking write returns at once.
    if (fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0) {
        error = std::string("fcntl: ") + std::strerror(errno);
        return nullptr;
    }
    // The device name is never opened: the context only formats replies onto the pipe.
    bank->ctx_ = modbus_new_rtu("/dev/null", 57600, 'N', 8, 1);
    if (bank->ctx_ == nullptr || modbus_set_slave(bank->ctx_, slave_id) != 0 ||
        modbus_set_socket(bank->ctx_, fds[1]) != 0) {
        error = std::string("libmodbus context: ") + modbus_strerror(errno);
        return nullptr;
    }
    // Before some exception replies libmodbus sleeps the response time-out to let a garbled
    // request die out on the line; the board has framed the request already, so that wait
    // would only stall the line. libmodbus refuses zero: one microsecond.
    if (modbus_set_response_timeout(bank->ctx_, 0, 1) != 0) {
        error = std::string("libmodbus time-out: ") + modbus_strerror(errno);
        return nullptr;
    }
    bank->map_ = modbus_mapping_new(0, 0, kRegisterCount, 0);
    if (bank->map_ == nullptr) {
        error = std::string("libmodbus mapping: ") + modbus_strerror(errno);
        return nullptr;
    }
    return bank;
}

RegisterBank::~RegisterBank() {
    if (map_ != nullptr) {
        modbus_mapping_free(map_);
    }
    if (ctx_ != nullptr) {
        // No modbus_close: the socket is our pipe and UniqueFd closes it.
        modbus_free(ctx_);
    }
}

bool RegisterBank::get(int reg, uint16_t &value) const {
    if (reg < 0 || reg >= kRegisterCount) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    value = map_->tab_registers[reg];
    return true;
}

bool RegisterBank::set(int reg, uint16_t value) {
    if (reg < 0 || reg >= kRegisterCount) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    map_->tab_registers[reg] = value;
    return true;
}

bool RegisterBank::get_range(int first, std::span<uint16_t> values) const {
    if (first < 0 || values.size() > static_cast<std::size_t>(kRegisterCount - first)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    std::copy_n(map_->tab_registers + first, values.size(), values.begin());
    return true;
}

bool RegisterBank::set_range(int first, std::span<const uint16_t> values) {
    if (first < 0 || values.size() > static_cast<std::size_t>(kRegisterCount - first)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    std::copy(values.begin(), values.end(), map_->tab_registers + first);
    return true;
}

std::vector<uint8_t> RegisterBank::reply(std::span<const uint8_t> request) {
    std::vector<uint8_t> out;
    // Address, function and CRC at least; libmodbus reads the fields of the function from the
    // buffer, so hand it a zero-padded copy of full ADU size: a short frame never makes it read
    // past our memory.
    if (request.size() < 4 || request.size() > MODBUS_RTU_MAX_ADU_LENGTH) {
        return out;
    }
    uint8_t req[MODBUS_MAX_ADU_LENGTH] = {};
    std::memcpy(req, request.data(), request.size());

    std::lock_guard<std::mutex> guard(lock_);
    if (modbus_reply(ctx_, req, static_cast<int>(request.size()), map_) <= 0) {
        return out;
    }
    uint8_t buffer[MODBUS_MAX_ADU_LENGTH];
    for (;;) {
        ssize_t n = retry_eintr([&] { return ::read(reply_read_.get(), buffer, sizeof buffer); });
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buffer, buffer + n);
    }
    if (out.size() >= 2 && (out[1] & 0x80) == 0) {
        log_writes_locked(request);
    }
    return out;
}

void RegisterBank::log_writes_locked(std::span<const uint8_t> request) {
    const auto now = std::chrono::steady_clock::now();
    auto add = [this, now](uint16_t reg, uint16_t value) {
        if (writes_.size() >= kWriteLogLimit) {
            writes_.pop_front();
        }
        writes_.push_back({reg, value, now});
    };
    // Frame: address, function, fields..., CRC (2). The reply was not an exception, so libmodbus
    // found the fields consistent; the length checks guard against a frame cut short.
    const uint8_t function = request[1];
    if (function == MODBUS_FC_WRITE_SINGLE_REGISTER && request.size() >= 8) {
        add(word_at(request, 2), word_at(request, 4));
    } else if (function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS && request.size() >= 9) {
        const uint16_t start = word_at(request, 2);
        const uint16_t count = word_at(request, 4);
        for (uint16_t i = 0; i < count && 7u + 2u * i + 1u < request.size() - 2; ++i) {
            add(static_cast<uint16_t>(start + i), word_at(request, 7 + 2 * i));
        }
    } else if (function == MODBUS_FC_WRITE_AND_READ_REGISTERS && request.size() >= 13) {
        const uint16_t start = word_at(request, 6);
        const uint16_t count = word_at(request, 8);
        for (uint16_t i = 0; i < count && 11u + 2u * i + 1u < request.size() - 2; ++i) {
            add(static_cast<uint16_t>(start + i), word_at(request, 11 + 2 * i));
        }
    }
}

std::vector<RegisterWrite> RegisterBank::writes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return {writes_.begin(), writes_.end()};
}

void RegisterBank::clear_writes() {
    std::lock_guard<std::mutex> guard(lock_);
    writes_.clear();
}

std::vector<RegisterWrite> RegisterBank::take_writes() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<RegisterWrite> out(writes_.begin(), writes_.end());
    writes_.clear();
    return out;
}

}  // namespace kor_sim
