// A recording fake of the IO board link's call table (modbus_interface_t) for the unit tests of
// libkor_iocomms: every slot call is recorded with its arguments; results, errno and an optional
// delay can be scripted per call; by default it behaves like a healthy board with a register file.
// One FakeLink is active at a time (new_rtu has no way to find its fake but a global).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kor_modbus.h"

namespace kor_test {

enum class Op {
    NewRtu,
    Connect,
    Close,
    Free,
    Strerror,
    SetSerialMode,
    SetSlave,
    SetDebug,
    SetResponseTimeout,
    ReadRegister,
    ReadRegisters,
    WriteRegister,
    SendRaw,
    ReceiveRaw,
};

struct Call {
    Op op;
    std::string device;          // new_rtu
    int baud = 0;                // new_rtu
    char parity = 0;             // new_rtu
    int data_bit = 0;            // new_rtu
    int stop_bit = 0;            // new_rtu
    int address = 0;             // reads, writes; mode, slave, flag, code for the setters
    int count = 0;               // read_registers; size for receive_raw
    uint32_t value = 0;          // write_register
    uint32_t seconds = 0;        // set_response_timeout
    uint32_t microseconds = 0;   // set_response_timeout
    std::vector<uint8_t> bytes;  // send_raw_request
};

// What one scripted call does. result -1 sets errno to err. For reads, words (when given) are
// what the board answers; otherwise the register file is read. For receive_raw, bytes are
// copied out and their count is the result unless result is -1.
struct Outcome {
    int result = 0;
    int err = 0;
    std::chrono::milliseconds delay{0};
    std::vector<uint16_t> words;
    std::vector<uint8_t> bytes;
};

class FakeLink {
  public:
    FakeLink();
    ~FakeLink();
    FakeLink(const FakeLink &) = delete;
    FakeLink &operator=(const FakeLink &) = delete;

    // The call table to hand to kor_modbus_init.
    const modbus_interface_t *table() const { return &table_; }

    // Queues an outcome for the next call of op; once the queue is empty the default rules.
    void script(Op op, Outcome outcome);
    void script_n(Op op, int times, const Outcome &outcome);
    // Replaces the default rule of op (used once the script of op is exhausted).
    void set_default(Op op, Outcome outcome);
    // Called (outside the fake's lock) at the start of every slot call, before any delay.
    void set_hook(std::function<void(const Call &)> hook);

    void set_register(int address, uint16_t value);
    uint16_t register_value(int address) const;

    std::vector<Call> calls() const;
    std::vector<Call> calls(Op op) const;
    int count(Op op) const;
    // Waits until at least n calls of op were made.
    bool wait_for(Op op, int n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // new_rtu holders not yet released through free.
    int live_contexts() const;

  private:
    static FakeLink *active_;
    static FakeLink *of(mbs_ctx_t *ctx);

    // Records the call and picks its outcome.
    Outcome enter(const Call &call, const Outcome &healthy);
    static void leave(const Outcome &outcome);

    static mbs_ctx_t *s_new_rtu(const char *device, int baud, char parity, int data_bit,
                                int stop_bit);
    static int s_connect(mbs_ctx_t *ctx);
    static int s_close(mbs_ctx_t *ctx);
    static void s_free(mbs_ctx_t *ctx);
    static const char *s_strerror(int code);
    static int s_set_serial_mode(mbs_ctx_t *ctx, int mode);
    static int s_set_slave(mbs_ctx_t *ctx, int slave);
    static int s_set_debug(mbs_ctx_t *ctx, int flag);
    static int s_set_response_timeout(mbs_ctx_t *ctx, uint32_t seconds, uint32_t microseconds);
    static int s_read_register(mbs_ctx_t *ctx, int address, uint16_t *value);
    static int s_read_registers(mbs_ctx_t *ctx, int address, int count, uint16_t *values);
    static int s_write_register(mbs_ctx_t *ctx, int address, uint32_t value);
    static int s_send_raw_request(mbs_ctx_t *ctx, const uint8_t *request, int length);
    static int s_receive_raw(mbs_ctx_t *ctx, uint8_t *buffer, int size);

    modbus_interface_t table_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Call> calls_;
    std::map<Op, std::deque<Outcome>> scripts_;
    std::map<Op, Outcome> defaults_;
    std::map<int, uint16_t> registers_;
    std::set<std::unique_ptr<mbs_ctx_t>> contexts_;
    std::function<void(const Call &)> hook_;
};

}  // namespace kor_test
