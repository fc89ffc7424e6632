// A CPI-answering board on top of the recording fake link: every raw request it sees is answered
// with the confirmation a healthy board would send, unless the test queued a fault for that
// reply. Shared by the block-transfer and the update tests.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "fake_link.hpp"
#include "kor_modbus.h"

namespace kor_test {

// One request the fake board received, split into its fields.
struct CpiRequest {
    int slave = 0;
    int function = 0;
    int file = 0;
    int block = 0;
    std::vector<uint8_t> data;
};

inline CpiRequest parse_cpi_request(const std::vector<uint8_t> &bytes) {
    CpiRequest r;
    if (bytes.size() >= 6) {
        r.slave = bytes[0];
        r.function = bytes[1];
        r.file = (bytes[2] << 8) | bytes[3];
        r.block = (bytes[4] << 8) | bytes[5];
        r.data.assign(bytes.begin() + 6, bytes.end());
    }
    return r;
}

// The confirmation of a request: its first six bytes and their CRC, low byte first.
inline std::vector<uint8_t> cpi_confirmation(const std::vector<uint8_t> &request) {
    std::vector<uint8_t> reply(request.begin(), request.begin() + 6);
    const uint16_t crc = kor_modbus_calculate_crc(reply.data(), 6);
    reply.push_back(static_cast<uint8_t>(crc & 0xFF));
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    return reply;
}

class CpiBoardFake {
  public:
    using Fault = std::function<void(std::vector<uint8_t> &reply)>;

    explicit CpiBoardFake(FakeLink &link) : link_(link) {
        link_.set_hook([this](const Call &call) {
            if (call.op != Op::SendRaw) {
                return;
            }
            std::vector<uint8_t> reply = cpi_confirmation(call.bytes);
            {
                std::lock_guard lock(lock_);
                if (!faults_.empty()) {
                    faults_.front()(reply);
                    faults_.pop_front();
                }
            }
            Outcome o;
            o.result = static_cast<int>(reply.size());
            o.bytes = std::move(reply);
            link_.script(Op::ReceiveRaw, std::move(o));
        });
    }
    ~CpiBoardFake() { link_.set_hook(nullptr); }
    CpiBoardFake(const CpiBoardFake &) = delete;
    CpiBoardFake &operator=(const CpiBoardFake &) = delete;

    // The next reply (one per request, in order) is spoiled by fault.
    void spoil_next(Fault fault) {
        std::lock_guard lock(lock_);
        faults_.push_back(std::move(fault));
    }

    std::vector<CpiRequest> requests() const {
        std::vector<CpiRequest> out;
        for (const Call &c : link_.calls(Op::SendRaw)) {
            out.push_back(parse_cpi_request(c.bytes));
        }
        return out;
    }

  private:
    FakeLink &link_;
    std::mutex lock_;
    std::deque<Fault> faults_;
};

inline void swap_crc(std::vector<uint8_t> &reply) {
    std::swap(reply[6], reply[7]);
}

}  // namespace kor_test
