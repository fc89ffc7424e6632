// Modbus slave relay between a Modbus RTU master and a UI engine application: answers the master
// as slave 1 from a map of holding registers 0-999 that the UI application fills, and tells the
// application about every register the master writes. Owns the serial line, the register map,
// the two IO channels and the channel thread.
//
//   serial device  PMX_SERIAL_DEVICE, default /dev/ttySC1, 38400 8N1, RS-485 as the master
//                  bridges set it up
//   log file       PMX_LOG_FILE, default /tmp/pmx_backend_slave.log
//   receives on    PmxSlaveChannelOut:
//                    "modbus_slave_set", data address, count, v1..vn (unsigned 16-bit, host byte
//                    order): the registers the master reads from now on. A count of 0, a range
//                    beyond register 999 or fewer values than the count change nothing (logged).
//   sends on       PmxSlaveChannelIn, once it is there (tried every 80 ms):
//                    "modbus_slave_write", format "1s0 modbus_write_data", text
//                    "address,count,v1,...,vn," for every write of the master (functions 6, 16
//                    and 23) that the map took. A write while the UI's channel is not open is
//                    logged and not reported.
// Reads and writes of the master are served from the map under one lock, so the master never
// sees half of a "modbus_slave_set". Requests outside the map get the Modbus exception libmodbus
// gives them. SIGTERM, SIGINT or SIGHUP end the relay cleanly.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "pmx_channel.hpp"
#include "pmx_line.hpp"
#include "pmx_log.h"
#include "vix_io.h"

namespace {

constexpr const char *kDefaultDevice = "/dev/ttySC1";
constexpr const char *kDefaultLog = "/tmp/pmx_backend_slave.log";
constexpr const char *kSendChannel = "PmxSlaveChannelIn";
constexpr const char *kReceiveChannel = "PmxSlaveChannelOut";
constexpr const char *kWriteEvent = "modbus_slave_write";
constexpr const char *kWriteFormat = "1s0 modbus_write_data";
constexpr const char *kSetEvent = "modbus_slave_set";
constexpr int kBaud = 38400;
constexpr int kSlave = 1;
constexpr int kRegisters = 1000;
constexpr int32_t kEventBufferSize = 300;
// How long modbus_receive waits before the loop looks for a stop signal.
constexpr uint32_t kIndicationTimeoutUs = 200000;
constexpr auto kRoundPause = std::chrono::milliseconds(5);
constexpr auto kSendOpenPause = std::chrono::milliseconds(80);
constexpr auto kReceiveOpenPause = std::chrono::seconds(1);

constexpr uint8_t kWriteSingle = 0x06;
constexpr uint8_t kWriteMultiple = 0x10;
constexpr uint8_t kWriteAndRead = 0x17;

struct MappingFree {
    void operator()(modbus_mapping_t *map) const { modbus_mapping_free(map); }
};
using MappingOwner = std::unique_ptr<modbus_mapping_t, MappingFree>;

uint16_t word_at(const uint8_t *bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

// The registers a request writes, when libmodbus will take the write into the map (the same
// checks it makes before it answers with an exception instead).
struct WriteRange {
    int address = 0;
    int count = 0;
};

bool written_range(const uint8_t *query, int length, int header, WriteRange &range) {
    const int o = header;
    if (length < o + 1) {
        return false;
    }
    const uint8_t function = query[o];
    int address = 0;
    int count = 0;
    if (function == kWriteSingle && length >= o + 5) {
        address = word_at(query + o + 1);
        count = 1;
    } else if (function == kWriteMultiple && length >= o + 6) {
        address = word_at(query + o + 1);
        count = word_at(query + o + 3);
        if (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || query[o + 5] != count * 2) {
            return false;
        }
    } else if (function == kWriteAndRead && length >= o + 10) {
        const int read_address = word_at(query + o + 1);
        const int read_count = word_at(query + o + 3);
        address = word_at(query + o + 5);
        count = word_at(query + o + 7);
        if (count < 1 || count > MODBUS_MAX_WR_WRITE_REGISTERS || read_count < 1 ||
            read_count > MODBUS_MAX_WR_READ_REGISTERS || query[o + 9] != count * 2 ||
            read_address + read_count > kRegisters) {
            return false;
        }
    } else {
        return false;
    }
    if (address + count > kRegisters) {
        return false;
    }
    range.address = address;
    range.count = count;
    return true;
}

// The channel to the UI application, shared by the Modbus loop (write reports) and the channel
// thread (which opens it): a channel handle is used by one thread at a time.
class Reporter {
  public:
    Reporter() : buffer_(vix_io_size_buffer(nullptr, kEventBufferSize)) {}

    bool is_open() {
        std::lock_guard lock(lock_);
        return channel_ != nullptr;
    }
    void try_open() {
        pmx::ChannelOwner channel(
            vix_io_open(kSendChannel, VIX_IO_MODE_SEND | VIX_IO_FLAG_NONBLOCK));
        if (!channel) {
            return;
        }
        std::lock_guard lock(lock_);
        channel_ = std::move(channel);
        pmx_printf("Send channel: %s successfully opened", kSendChannel);
    }
    void report(const std::string &text) {
        std::lock_guard lock(lock_);
        if (!channel_) {
            pmx_printf("PMX_SLAVE write %s not reported: no channel to the UI", text.c_str());
            return;
        }
        if (pmx::send_text(channel_.get(), buffer_, kWriteEvent, kWriteFormat, text) != 0) {
            pmx_printf("send error");
        }
    }

  private:
    std::mutex lock_;
    pmx::ChannelOwner channel_;
    pmx::BufferOwner buffer_;
};

class Relay {
  public:
    Relay(modbus_t *ctx, modbus_mapping_t *map) : ctx_(ctx), map_(map) {}

    // Serves the master until a stop signal comes.
    void serve_master();
    // The channel thread: takes the UI application's register values until stop is set.
    void serve_ui(const std::atomic<bool> &stop);

  private:
    void set_registers(const pmx::Event &event);

    modbus_t *ctx_;
    modbus_mapping_t *map_;
    std::mutex map_lock_;
    Reporter reporter_;
};

void Relay::serve_master() {
    const int header = modbus_get_header_length(ctx_);
    std::vector<uint8_t> query(MODBUS_RTU_MAX_ADU_LENGTH);
    while (pmx::wait_for_stop_signal(0) == 0) {
        const int length = modbus_receive(ctx_, query.data());
        if (length < 0) {
            if (errno != ETIMEDOUT) {
                modbus_flush(ctx_);  // a broken frame: start clean with the next one
            }
            continue;
        }
        if (length == 0) {
            continue;  // not for us
        }
        WriteRange range;
        const bool writes = written_range(query.data(), length, header, range);
        std::string text;
        {
            std::lock_guard lock(map_lock_);
            if (modbus_reply(ctx_, query.data(), length, map_) < 0) {
                pmx_printf("PMX_SLAVE reply failed: %s", modbus_strerror(errno));
            }
            if (writes) {
                text = std::to_string(range.address) + "," + std::to_string(range.count) + ",";
                for (int i = 0; i < range.count; ++i) {
                    text += std::to_string(map_->tab_registers[range.address + i]) + ",";
                }
            }
        }
        if (writes) {
            reporter_.report(text);
        }
    }
}

void Relay::set_registers(const pmx::Event &event) {
    if (event.fields() < 2) {
        pmx_printf("PMX_SLAVE modbus_slave_set without address and count dropped");
        return;
    }
    const int address = event.field(0);
    const int count = event.field(1);
    if (count < 1 || address + count > kRegisters ||
        event.fields() < 2 + static_cast<std::size_t>(count)) {
        pmx_printf("PMX_SLAVE modbus_slave_set %d,%d refused", address, count);
        return;
    }
    std::lock_guard lock(map_lock_);
    for (int i = 0; i < count; ++i) {
        map_->tab_registers[address + i] = event.field(2 + static_cast<std::size_t>(i));
    }
}

void Relay::serve_ui(const std::atomic<bool> &stop) {
    pmx::BufferOwner buffer(vix_io_size_buffer(nullptr, kEventBufferSize));
    pmx::ChannelOwner receive;
    auto last_send_try = std::chrono::steady_clock::now() - kSendOpenPause;
    auto last_receive_try = std::chrono::steady_clock::now() - kReceiveOpenPause;
    while (!stop.load()) {
        const auto now = std::chrono::steady_clock::now();
        if (!receive && now - last_receive_try >= kReceiveOpenPause) {
            last_receive_try = now;
            receive.reset(vix_io_open(kReceiveChannel, VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK));
            pmx_printf(receive ? "PMX_SLAVE open receive successfully"
                               : "PMX_SLAVE Can't open receive channel");
        }
        if (!reporter_.is_open() && now - last_send_try >= kSendOpenPause) {
            last_send_try = now;
            reporter_.try_open();
        }
        if (receive) {
            pmx::Event event;
            switch (pmx::receive_event(receive.get(), buffer, event)) {
                case pmx::Received::event:
                    if (event.name == kSetEvent) {
                        set_registers(event);
                    }
                    break;
                case pmx::Received::malformed:
                    pmx_printf("PMX_SLAVE malformed message dropped");
                    break;
                case pmx::Received::nothing:
                    break;
            }
        }
        std::this_thread::sleep_for(kRoundPause);
    }
}

}  // namespace

int main() {
    // Before any thread: the stop signals wait for the Modbus loop to pick them up.
    pmx::block_stop_signals();
    const std::string device = pmx::setting("PMX_SERIAL_DEVICE", kDefaultDevice);
    const std::string log_file = pmx::setting("PMX_LOG_FILE", kDefaultLog);
    pmx_log_open(log_file.c_str());
    pmx_printf("logging_start");
    pmx_printf("pmx_backend_slave on %s, slave %d", device.c_str(), kSlave);
    pmx_printf("Baud: %d", kBaud);

    pmx::ModbusOwner ctx(modbus_new_rtu(device.c_str(), kBaud, 'N', 8, 1));
    if (!ctx) {
        pmx_printf("Unable to create the libmodbus context");
        return -1;
    }
    if (modbus_set_slave(ctx.get(), kSlave) != 0) {
        pmx_printf("modbus_set_slave error: %s", modbus_strerror(errno));
        return -2;
    }
    MappingOwner map(modbus_mapping_new(0, 0, kRegisters, 0));
    if (!map) {
        pmx_printf("Unable to allocate the register map");
        return -1;
    }
    if (modbus_connect(ctx.get()) != 0) {
        pmx_printf("modbus_connect error: %s", modbus_strerror(errno));
        return -3;
    }
    pmx::set_rs485(ctx.get(), device);
    modbus_set_indication_timeout(ctx.get(), 0, kIndicationTimeoutUs);

    Relay relay(ctx.get(), map.get());
    std::atomic<bool> stop{false};
    std::thread channel_thread;
    try {
        channel_thread = std::thread([&] { relay.serve_ui(stop); });
    } catch (const std::system_error &) {
        std::fputs("Thread create failed\n", stderr);
        modbus_close(ctx.get());
        return 0;
    }
    relay.serve_master();
    pmx_printf("PMX_SLAVE stopping");
    stop.store(true);
    channel_thread.join();
    modbus_close(ctx.get());
    pmx_log_close();
    return 0;
}
