// Recording fake of the IO board link's call table; see fake_link.hpp.
#include "fake_link.hpp"

#include <modbus/modbus.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <thread>

namespace kor_test {

FakeLink *FakeLink::active_ = nullptr;

FakeLink::FakeLink()
    : table_{s_new_rtu,
             s_connect,
             s_close,
             s_free,
             s_strerror,
             s_set_serial_mode,
             s_set_slave,
             s_set_debug,
             s_set_response_timeout,
             s_read_register,
             s_read_registers,
             s_write_register,
             s_send_raw_request,
             s_receive_raw} {
    if (active_ != nullptr) {
        throw std::logic_error("one FakeLink at a time");
    }
    active_ = this;
}

FakeLink::~FakeLink() {
    active_ = nullptr;
}

FakeLink *FakeLink::of(mbs_ctx_t *ctx) {
    return ctx != nullptr ? static_cast<FakeLink *>(ctx->ctx) : nullptr;
}

void FakeLink::script(Op op, Outcome outcome) {
    std::lock_guard lock(lock_);
    scripts_[op].push_back(std::move(outcome));
}

void FakeLink::script_n(Op op, int times, const Outcome &outcome) {
    for (int i = 0; i < times; ++i) {
        script(op, outcome);
    }
}

void FakeLink::set_default(Op op, Outcome outcome) {
    std::lock_guard lock(lock_);
    defaults_[op] = std::move(outcome);
}

void FakeLink::set_hook(std::function<void(const Call &)> hook) {
    std::lock_guard lock(lock_);
    hook_ = std::move(hook);
}

void FakeLink::set_register(int address, uint16_t value) {
    std::lock_guard lock(lock_);
    registers_[address] = value;
}

uint16_t FakeLink::register_value(int address) const {
    std::lock_guard lock(lock_);
    auto it = registers_.find(address);
    return it != registers_.end() ? it->second : 0;
}

std::vector<Call> FakeLink::calls() const {
    std::lock_guard lock(lock_);
    return calls_;
}

std::vector<Call> FakeLink::calls(Op op) const {
    std::lock_guard lock(lock_);
    std::vector<Call> out;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out),
                 [op](const Call &c) { return c.op == op; });
    return out;
}

int FakeLink::count(Op op) const {
    std::lock_guard lock(lock_);
    return static_cast<int>(
        std::count_if(calls_.begin(), calls_.end(), [op](const Call &c) { return c.op == op; }));
}

bool FakeLink::wait_for(Op op, int n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::count_if(calls_.begin(), calls_.end(),
                             [op](const Call &c) { return c.op == op; }) >= n;
    });
}

int FakeLink::live_contexts() const {
    std::lock_guard lock(lock_);
    return static_cast<int>(contexts_.size());
}

Outcome FakeLink::enter(const Call &call, const Outcome &healthy) {
    Outcome outcome = healthy;
    std::function<void(const Call &)> hook;
    {
        std::lock_guard lock(lock_);
        calls_.push_back(call);
        auto &queue = scripts_[call.op];
        if (!queue.empty()) {
            outcome = std::move(queue.front());
            queue.pop_front();
        } else if (auto it = defaults_.find(call.op); it != defaults_.end()) {
            outcome = it->second;
        }
        hook = hook_;
    }
    changed_.notify_all();
    if (hook) {
        hook(call);
    }
    if (outcome.delay.count() > 0) {
        std::this_thread::sleep_for(outcome.delay);
    }
    return outcome;
}

// Leaves errno as a real slot would.
void FakeLink::leave(const Outcome &outcome) {
    if (outcome.result == -1) {
        errno = outcome.err;
    }
}

mbs_ctx_t *FakeLink::s_new_rtu(const char *device, int baud, char parity, int data_bit,
                               int stop_bit) {
    FakeLink *self = active_;
    Call call{Op::NewRtu};
    call.device = device != nullptr ? device : "";
    call.baud = baud;
    call.parity = parity;
    call.data_bit = data_bit;
    call.stop_bit = stop_bit;
    Outcome outcome = self->enter(call, Outcome{});
    if (outcome.result == -1) {
        leave(outcome);
        return nullptr;
    }
    auto holder = std::make_unique<mbs_ctx_t>();
    holder->ctx = self;
    mbs_ctx_t *raw = holder.get();
    std::lock_guard lock(self->lock_);
    self->contexts_.insert(std::move(holder));
    return raw;
}

int FakeLink::s_connect(mbs_ctx_t *ctx) {
    Outcome o = of(ctx)->enter(Call{Op::Connect}, Outcome{});
    leave(o);
    return o.result;
}

int FakeLink::s_close(mbs_ctx_t *ctx) {
    Outcome o = of(ctx)->enter(Call{Op::Close}, Outcome{});
    leave(o);
    return o.result;
}

void FakeLink::s_free(mbs_ctx_t *ctx) {
    FakeLink *self = of(ctx);
    self->enter(Call{Op::Free}, Outcome{});
    std::lock_guard lock(self->lock_);
    auto it = std::find_if(self->contexts_.begin(), self->contexts_.end(),
                           [ctx](const auto &p) { return p.get() == ctx; });
    if (it != self->contexts_.end()) {
        self->contexts_.erase(it);
    }
}

const char *FakeLink::s_strerror(int code) {
    Call call{Op::Strerror};
    call.address = code;
    active_->enter(call, Outcome{});
    return modbus_strerror(code);
}

int FakeLink::s_set_serial_mode(mbs_ctx_t *ctx, int mode) {
    Call call{Op::SetSerialMode};
    call.address = mode;
    Outcome o = of(ctx)->enter(call, Outcome{});
    leave(o);
    return o.result;
}

int FakeLink::s_set_slave(mbs_ctx_t *ctx, int slave) {
    Call call{Op::SetSlave};
    call.address = slave;
    Outcome o = of(ctx)->enter(call, Outcome{});
    leave(o);
    return o.result;
}

int FakeLink::s_set_debug(mbs_ctx_t *ctx, int flag) {
    Call call{Op::SetDebug};
    call.address = flag;
    Outcome o = of(ctx)->enter(call, Outcome{});
    leave(o);
    return o.result;
}

int FakeLink::s_set_response_timeout(mbs_ctx_t *ctx, uint32_t seconds, uint32_t microseconds) {
    Call call{Op::SetResponseTimeout};
    call.seconds = seconds;
    call.microseconds = microseconds;
    Outcome healthy;
    // Like libmodbus: a microsecond part of a second or more is refused.
    if (microseconds >= 1000000u || (seconds == 0 && microseconds == 0)) {
        healthy.result = -1;
        healthy.err = EINVAL;
    }
    Outcome o = of(ctx)->enter(call, healthy);
    leave(o);
    return o.result;
}

int FakeLink::s_read_register(mbs_ctx_t *ctx, int address, uint16_t *value) {
    FakeLink *self = of(ctx);
    Call call{Op::ReadRegister};
    call.address = address;
    call.count = 1;
    Outcome o = self->enter(call, Outcome{1});
    if (o.result == 1) {
        *value = o.words.empty() ? self->register_value(address) : o.words[0];
    }
    leave(o);
    return o.result;
}

int FakeLink::s_read_registers(mbs_ctx_t *ctx, int address, int count, uint16_t *values) {
    FakeLink *self = of(ctx);
    Call call{Op::ReadRegisters};
    call.address = address;
    call.count = count;
    Outcome healthy;
    healthy.result = count;
    Outcome o = self->enter(call, healthy);
    for (int i = 0; i < o.result; ++i) {
        values[i] = static_cast<size_t>(i) < o.words.size() ? o.words[static_cast<size_t>(i)]
                                                            : self->register_value(address + i);
    }
    leave(o);
    return o.result;
}

int FakeLink::s_write_register(mbs_ctx_t *ctx, int address, uint32_t value) {
    FakeLink *self = of(ctx);
    Call call{Op::WriteRegister};
    call.address = address;
    call.value = value;
    Outcome o = self->enter(call, Outcome{1});
    if (o.result == 1) {
        self->set_register(address, static_cast<uint16_t>(value));
    }
    leave(o);
    return o.result;
}

int FakeLink::s_send_raw_request(mbs_ctx_t *ctx, const uint8_t *request, int length) {
    Call call{Op::SendRaw};
    call.bytes.assign(request, request + std::max(length, 0));
    Outcome healthy;
    healthy.result = length + 2;  // libmodbus counts the CRC it appends
    Outcome o = of(ctx)->enter(call, healthy);
    leave(o);
    return o.result;
}

int FakeLink::s_receive_raw(mbs_ctx_t *ctx, uint8_t *buffer, int size) {
    Call call{Op::ReceiveRaw};
    call.count = size;
    Outcome o = of(ctx)->enter(call, Outcome{});
    if (o.result == -1) {
        leave(o);
        return -1;
    }
    int n = std::min(size, static_cast<int>(o.bytes.size()));
    std::copy(o.bytes.begin(), o.bytes.begin() + n, buffer);
    return n;
}

}  // namespace kor_test
