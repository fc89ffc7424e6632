// The virtual IO board's register bank: holding registers 0-499 in a libmodbus mapping, the
// libmodbus context that formats the answers to standard requests, and the log of every register
// write the master made, in the order the board applied them.
//
// libmodbus writes its reply to the context's socket. That socket is a pipe owned here, so the
// board gets the reply bytes back and decides when (after the wire time) and whether they go on
// the line; the line itself belongs to the link (sim_link).
#pragma once

#include <modbus/modbus.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "sim_fd.hpp"

namespace kor_sim {

constexpr int kRegisterCount = 500;
// The log keeps the latest writes only, so a long run cannot grow it without bound.
constexpr std::size_t kWriteLogLimit = 100000;

struct RegisterWrite {
    uint16_t reg;
    uint16_t value;
    // When the board applied it, on the monotonic clock (CLOCK_MONOTONIC, which other processes
    // on the machine read too): a test times a request against it.
    std::chrono::steady_clock::time_point at{};
};

class RegisterBank {
    struct Key {
        explicit Key() = default;
    };

  public:
    explicit RegisterBank(Key) {}
    // Null when libmodbus or the pipe cannot be set up; error says why.
    static std::unique_ptr<RegisterBank> create(int slave_id, std::string &error);
    ~RegisterBank();
    RegisterBank(const RegisterBank &) = delete;
    RegisterBank &operator=(const RegisterBank &) = delete;

    // Local access (control socket, oven physics): never logged as a master write.
    bool get(int reg, uint16_t &value) const;
    bool set(int reg, uint16_t value);
    // Several registers from first on, under one lock: the oven physics takes a consistent
    // picture of the bank and publishes its outputs in one go. False (nothing done) when the
    // range leaves 0-499.
    bool get_range(int first, std::span<uint16_t> values) const;
    bool set_range(int first, std::span<const uint16_t> values);

    // Answers one framed standard request (address, function, data, CRC) with libmodbus and
    // returns the reply frame, CRC included; empty when libmodbus sends none. The writes of a
    // request that was not answered with an exception go to the write log.
    std::vector<uint8_t> reply(std::span<const uint8_t> request);

    std::vector<RegisterWrite> writes() const;
    void clear_writes();
    // The writes so far, and forgets them in the same step: a reader that polls this sees every
    // write exactly once.
    std::vector<RegisterWrite> take_writes();

  private:
    void log_writes_locked(std::span<const uint8_t> request);

    mutable std::mutex lock_;
    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;
    UniqueFd reply_read_;
    UniqueFd reply_write_;
    std::deque<RegisterWrite> writes_;
};

}  // namespace kor_sim
