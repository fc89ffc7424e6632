// Modbus master bridge between a UI engine application and a Modbus RTU slave: calder_backend,
// and pmx_backend2 when built with PMX_VARIANT_2. Owns the serial line, the two IO channels and
// the receive thread that does all Modbus traffic, one request at a time in arrival order.
//
//                    calder_backend            pmx_backend2
//   serial device    /dev/ttySC1               /dev/ttySC2             (38400 8N1, slave 1)
//   receives on      CalderChannelOut          CalderChannelOut2
//   sends on         CalderChannelIn           CalderChannelIn
//   log version      Version 129               Version 240206
// pmx_backend2 differs in its line, its receive channel and its extra events; its replies go to
// the UI's one reply channel like calder_backend's. PMX_SERIAL_DEVICE, PMX_LOG_FILE (default
// /tmp/pmx_backend.log) and PMX_FIRMWARE_FILE (default /opt/quenly/qxm/stmupdate/qxt.bin)
// override the fixed paths; PMX_SEND_CHANNEL names another send channel.
//
// Requests carry unsigned 16-bit fields in host byte order. Every reply is the event
// "modbus_ret", format "1s0 modbus_read_data", whose data is the reply text:
//   modbus_r  address,count          "address,count,v1,...,vn," read with modbus_read_registers;
//                                    failure "address,count". Address 999 is not read: the
//                                    bridge answers "999,count,511,".
//   modbus_p  address,count,v1..vn   modbus_write_registers; "modbus_p,address,count,116," when
//                                    written, "modbus_p,address,count,102," when not.
//   modbus_ft (no data)              sends the firmware file as file 1; "FT000,blocks,N" or
//                                    "FT001,Error,R" with the transfer's negative result.
//   sys       command,argument       a command of 1 toggles libmodbus debug output (to stdout);
//                                    any other command changes nothing. Reply
//                                    "sys,debug,total,read,write,transfer,511," with the debug
//                                    flag and the failure counts (511 closes every status reply).
// pmx_backend2 also serves:
//   mb_ir     address,count          as modbus_r on input registers (modbus_read_input_registers),
//                                    without the 999 special case.
//   mb_const_rw address,count,v1..vn writes the registers, reads the same registers back and
//                                    replies "mb_const_rw,address,count,r1,...,rn," with what was
//                                    read; "mb_const_rw,address,count,102," when either failed.
// Other names are ignored. A read of more than 125 registers, a write of more than 123 (the
// Modbus limits) or of fewer values than its count is answered as a failure without touching the
// line; a request too short for its address and count, or a message that does not decode, is
// dropped with a log line.
//
// Reads and writes go out up to three times, 20 ms apart ("re-read address, retry",
// "retry write address count retry"); every failed call is counted in the error statistics. The
// file transfer runs on the receive thread; the requests that arrived while it ran are discarded
// afterwards (logged with their number) and only then is the transfer's reply sent, so a request
// the UI makes after seeing that reply is always served. SIGTERM, SIGINT or SIGHUP end the bridge
// cleanly: its channels are closed and the queue it created removed.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "modbus_ft.h"
#include "pmx_channel.hpp"
#include "pmx_line.hpp"
#include "pmx_log.h"
#include "vix_io.h"

namespace {

#ifdef PMX_VARIANT_2
constexpr const char *kDefaultDevice = "/dev/ttySC2";
constexpr const char *kVersion = "Version 240206";
constexpr const char *kReceiveChannel = "CalderChannelOut2";
constexpr bool kVariant2 = true;
#else
constexpr const char *kDefaultDevice = "/dev/ttySC1";
constexpr const char *kVersion = "Version 129";
constexpr const char *kReceiveChannel = "CalderChannelOut";
constexpr bool kVariant2 = false;
#endif
constexpr const char *kDefaultSendChannel = "CalderChannelIn";

constexpr int kBaud = 38400;
constexpr int kSlave = 1;
constexpr const char *kDefaultLog = "/tmp/pmx_backend.log";
constexpr const char *kDefaultFirmware = "/opt/quenly/qxm/stmupdate/qxt.bin";
constexpr int kFirmwareFileId = 1;
constexpr int32_t kEventBufferSize = 300;

constexpr const char *kReplyName = "modbus_ret";
constexpr const char *kReplyFormat = "1s0 modbus_read_data";

constexpr int kAttempts = 3;
constexpr auto kRetryPause = std::chrono::milliseconds(20);
constexpr auto kRoundPause = std::chrono::milliseconds(5);
constexpr auto kSendOpenPause = std::chrono::milliseconds(80);
constexpr auto kReceiveOpenPause = std::chrono::seconds(1);

constexpr uint16_t kStatusAddress = 999;
constexpr int kStatusValue = 511;
constexpr int kWritten = 't';
constexpr int kNotWritten = 'f';

// Failed Modbus calls by kind, and failed file transfers; total counts all of them.
struct error_stats_t {
    uint32_t total;
    uint32_t read;
    uint32_t write;
    uint32_t transfer;
};

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void append(std::string &text, const char *format, ...) {
    char piece[64];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n > 0) {
        text.append(piece, static_cast<std::size_t>(n) < sizeof piece ? static_cast<std::size_t>(n)
                                                                      : sizeof piece - 1);
    }
}

class Bridge {
  public:
    Bridge(modbus_t *ctx, vix_io_channel_t *send, std::string firmware)
        : ctx_(ctx), send_(send), firmware_(std::move(firmware)) {}

    // The receive thread: opens the receive channel and serves requests until stop is set.
    void run(const std::atomic<bool> &stop);
    // Serves one decoded request (the fuzz target drives the bridge through it).
    void dispatch(const pmx::Event &event);

  private:
    void read_registers(const pmx::Event &event, bool input);
    void write_registers(const pmx::Event &event);
    void write_and_read_back(const pmx::Event &event);
    void transfer_file();
    void status(const pmx::Event &event);
    void reply(const std::string &text);
    // Count registers into values, with retries: 0 or -1.
    int read_with_retries(int address, int count, uint16_t *values, bool input);
    int write_with_retries(int address, int count, const uint16_t *values);
    // The values of a write request (fields 2...), or false when there are fewer than count.
    static bool take_values(const pmx::Event &event, int count, std::vector<uint16_t> &values);

    modbus_t *ctx_;
    vix_io_channel_t *send_;
    std::string firmware_;
    pmx::ChannelOwner receive_;
    pmx::BufferOwner receive_buffer_;
    pmx::BufferOwner send_buffer_;
    error_stats_t errors_{};
    bool debug_ = false;
};

void Bridge::run(const std::atomic<bool> &stop) {
    pmx_printf("PMX_MBB start receive_thread");
    receive_buffer_.reset(vix_io_size_buffer(nullptr, kEventBufferSize));
    send_buffer_.reset(vix_io_size_buffer(nullptr, kEventBufferSize));
    while (!stop.load()) {
        receive_.reset(vix_io_open(kReceiveChannel, VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK));
        if (receive_) {
            break;
        }
        pmx_printf("PMX_MBB Can't open receive channel");
        const auto until = std::chrono::steady_clock::now() + kReceiveOpenPause;
        while (!stop.load() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(kRoundPause);
        }
    }
    if (!receive_) {
        return;
    }
    pmx_printf("PMX_MBB open receive successfully");
    while (!stop.load()) {
        pmx::Event event;
        switch (pmx::receive_event(receive_.get(), receive_buffer_, event)) {
            case pmx::Received::event:
                dispatch(event);
                break;
            case pmx::Received::malformed:
                pmx_printf("PMX_MBB malformed message dropped");
                break;
            case pmx::Received::nothing:
                break;
        }
        std::this_thread::sleep_for(kRoundPause);
    }
    receive_.reset();
}

void Bridge::dispatch(const pmx::Event &event) {
    if (event.name == "modbus_r") {
        read_registers(event, false);
    } else if (event.name == "modbus_p") {
        write_registers(event);
    } else if (event.name == "modbus_ft") {
        transfer_file();
    } else if (event.name == "sys") {
        status(event);
    } else if (kVariant2 && event.name == "mb_ir") {
        read_registers(event, true);
    } else if (kVariant2 && event.name == "mb_const_rw") {
        write_and_read_back(event);
    }
}

void Bridge::reply(const std::string &text) {
    if (pmx::send_text(send_, send_buffer_, kReplyName, kReplyFormat, text) != 0) {
        pmx_printf("send error");
    }
}

bool Bridge::take_values(const pmx::Event &event, int count, std::vector<uint16_t> &values) {
    if (event.fields() < 2 + static_cast<std::size_t>(count)) {
        return false;
    }
    values.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        values[static_cast<std::size_t>(i)] = event.field(2 + static_cast<std::size_t>(i));
    }
    return true;
}

int Bridge::read_with_retries(int address, int count, uint16_t *values, bool input) {
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const int rc = input ? modbus_read_input_registers(ctx_, address, count, values)
                             : modbus_read_registers(ctx_, address, count, values);
        if (rc == count) {
            return 0;
        }
        ++errors_.read;
        ++errors_.total;
        if (attempt < kAttempts) {
            pmx_printf("re-read %d, %d", address, attempt);
            std::this_thread::sleep_for(kRetryPause);
        }
    }
    return -1;
}

int Bridge::write_with_retries(int address, int count, const uint16_t *values) {
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        if (modbus_write_registers(ctx_, address, count, values) == count) {
            return 0;
        }
        ++errors_.write;
        ++errors_.total;
        if (attempt < kAttempts) {
            pmx_printf("retry write %d %d %d", address, count, attempt);
            std::this_thread::sleep_for(kRetryPause);
        }
    }
    return -1;
}

void Bridge::read_registers(const pmx::Event &event, bool input) {
    if (event.fields() < 2) {
        pmx_printf("PMX_MBB %.*s without address and count dropped",
                   static_cast<int>(event.name.size()), event.name.data());
        return;
    }
    const int address = event.field(0);
    const int count = event.field(1);
    std::string text;
    if (!input && address == kStatusAddress) {
        append(text, "%d,%d,%d,", address, count, kStatusValue);
        reply(text);
        return;
    }
    uint16_t values[MODBUS_MAX_READ_REGISTERS];
    if (count < 1 || count > MODBUS_MAX_READ_REGISTERS ||
        read_with_retries(address, count, values, input) != 0) {
        append(text, "%d,%d", address, count);
        reply(text);
        return;
    }
    append(text, "%d,%d,", address, count);
    for (int i = 0; i < count; ++i) {
        append(text, "%d,", values[i]);
    }
    reply(text);
}

void Bridge::write_registers(const pmx::Event &event) {
    if (event.fields() < 2) {
        pmx_printf("PMX_MBB modbus_p without address and count dropped");
        return;
    }
    const int address = event.field(0);
    const int count = event.field(1);
    std::vector<uint16_t> values;
    const bool written = count >= 1 && count <= MODBUS_MAX_WRITE_REGISTERS &&
                         take_values(event, count, values) &&
                         write_with_retries(address, count, values.data()) == 0;
    std::string text;
    append(text, "modbus_p,%d,%d,%d,", address, count, written ? kWritten : kNotWritten);
    reply(text);
}

void Bridge::write_and_read_back(const pmx::Event &event) {
    if (event.fields() < 2) {
        pmx_printf("PMX_MBB mb_const_rw without address and count dropped");
        return;
    }
    const int address = event.field(0);
    const int count = event.field(1);
    std::vector<uint16_t> values;
    uint16_t read_back[MODBUS_MAX_WRITE_REGISTERS];
    const bool done = count >= 1 && count <= MODBUS_MAX_WRITE_REGISTERS &&
                      take_values(event, count, values) &&
                      write_with_retries(address, count, values.data()) == 0 &&
                      read_with_retries(address, count, read_back, false) == 0;
    std::string text;
    append(text, "mb_const_rw,%d,%d,", address, count);
    if (done) {
        for (int i = 0; i < count; ++i) {
            append(text, "%d,", read_back[i]);
        }
    } else {
        append(text, "%d,", kNotWritten);
    }
    reply(text);
}

void Bridge::transfer_file() {
    pmx_printf("Entered FILE TRANSFER mode");
    const int result = modbus_ft_write_file(ctx_, kFirmwareFileId, firmware_.c_str());
    if (result < 0) {
        ++errors_.transfer;
        ++errors_.total;
    }
    // The transfer held the receive thread: what came meanwhile is dropped, before the reply
    // tells the UI that requests are served again.
    const int dropped = pmx::drain(receive_.get(), receive_buffer_);
    if (dropped > 0) {
        pmx_printf("PMX_MBB dropped %d requests received during the file transfer", dropped);
    }
    std::string text;
    if (result > 0) {
        append(text, "FT000,blocks,%d", result);
    } else {
        append(text, "FT001,Error,%d", result);
    }
    reply(text);
}

void Bridge::status(const pmx::Event &event) {
    if (event.field(0) == 1) {
        debug_ = !debug_;
        modbus_set_debug(ctx_, debug_ ? 1 : 0);
        pmx_printf("PMX_MBB libmodbus debug %s", debug_ ? "on" : "off");
    }
    std::string text;
    append(text, "sys,%d,%u,%u,%u,%u,%d,", debug_ ? 1 : 0, errors_.total, errors_.read,
           errors_.write, errors_.transfer, kStatusValue);
    reply(text);
}

}  // namespace

// The fuzz target compiles this file without main to reach Bridge::dispatch.
#ifndef PMX_BRIDGE_NO_MAIN
int main() {
    // Before any thread: the stop signals are taken by this thread alone, with sigwait.
    pmx::block_stop_signals();
    const std::string device = pmx::setting("PMX_SERIAL_DEVICE", kDefaultDevice);
    const std::string log_file = pmx::setting("PMX_LOG_FILE", kDefaultLog);
    const std::string firmware = pmx::setting("PMX_FIRMWARE_FILE", kDefaultFirmware);
    const std::string send_channel = pmx::setting("PMX_SEND_CHANNEL", kDefaultSendChannel);

    pmx_log_open(log_file.c_str());
    pmx_printf("logging_start");
    pmx_printf("%s", kVersion);
    pmx_printf("Baud: %d", kBaud);

    pmx::ModbusOwner ctx(modbus_new_rtu(device.c_str(), kBaud, 'N', 8, 1));
    if (!ctx) {
        pmx_printf("Unable to create the libmodbus context");
        return -1;
    }
    modbus_set_response_timeout(ctx.get(), 1, 0);
    if (modbus_set_slave(ctx.get(), kSlave) != 0) {
        std::perror("modbus_set_slave error\n");
        return -2;
    }
    if (modbus_connect(ctx.get()) != 0) {
        pmx_printf("modbus_connect error\n");
        return -3;
    }
    pmx::set_rs485(ctx.get(), device);

    pmx_printf("Trying to open the connection to the frontend\n");
    pmx::ChannelOwner send;
    for (;;) {
        send.reset(vix_io_open(send_channel.c_str(), VIX_IO_MODE_SEND | VIX_IO_FLAG_NONBLOCK));
        if (send) {
            break;
        }
        const auto pause_ms = static_cast<int>(std::chrono::milliseconds(kSendOpenPause).count());
        if (pmx::wait_for_stop_signal(pause_ms) != 0) {
            modbus_close(ctx.get());
            return 0;
        }
    }
    pmx_printf("Send channel: %s successfully opened\n", send_channel.c_str());

    Bridge bridge(ctx.get(), send.get(), firmware);
    std::atomic<bool> stop{false};
    std::thread receiver;
    try {
        receiver = std::thread([&] { bridge.run(stop); });
    } catch (const std::system_error &) {
        std::fputs("Thread create failed\n", stderr);
        modbus_close(ctx.get());
        return 0;
    }
    const int signal_number = pmx::wait_for_stop_signal();
    pmx_printf("PMX_MBB stopping on signal %d", signal_number);
    stop.store(true);
    receiver.join();
    modbus_close(ctx.get());
    pmx_log_close();
    return 0;
}
#endif  // PMX_BRIDGE_NO_MAIN
