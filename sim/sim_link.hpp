// The virtual IO board's end of the RS-485 line: a pseudo-terminal pair (or a given serial
// device), the RTU framing of the requests, and the board's answer to each frame.
//
// libmodbus cannot frame a request whose function it does not know (the CPI function 0x41 has
// no length byte), so the board frames by itself: a frame ends at a gap on the line of 3.5
// character times (2 ms at least), or as soon as a standard request is complete. A frame with a
// bad CRC or for another slave is ignored, as a real board on a shared bus does. Standard
// functions are answered by the register bank through libmodbus; 0x41 goes to the CPI handler.
// Link trouble on command (silence, exception replies, replies that come late or spoiled) and the
// wire-time delay live here too, because they decide what goes on the line and when. A reply that
// is to go out later waits in a queue of its own and the board serves the line meanwhile, as a
// board busy with something else answers in the end: a late reply arrives after the master has
// given up on it, beside the answers to its next requests.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim_fd.hpp"
#include "sim_registers.hpp"

namespace kor_sim {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kSlaveId = 1;
constexpr uint8_t kCpiFunction = 0x41;

// CRC-16/MODBUS (initial 0xFFFF, reflected polynomial 0xA001); the low byte goes first on the
// wire.
uint16_t modbus_crc16(std::span<const uint8_t> bytes);

// Answers one CPI request frame (CRC already checked) with the complete reply frame; an empty
// frame when the board refuses the request and stays silent (the sender's time-out tells it);
// nullopt when the request is not handled: then the board answers it as an unknown function.
using CpiHandler = std::function<std::optional<std::vector<uint8_t>>(std::span<const uint8_t>)>;

struct LinkOptions {
    std::string device;  // empty: a new pseudo-terminal pair
    int baud = 0;        // 0: replies without wire-time delay
};

struct LinkStatus {
    bool silent = false;
    double silence_left_s = 0.0;
    uint64_t frames = 0;   // frames seen on the line
    uint64_t served = 0;   // replies sent
    uint64_t ignored = 0;  // frames left unanswered (CRC, other slave, silence, no reply)
    uint64_t bad_crc = 0;
    uint64_t other_slave = 0;
    int exception_code = 0;   // pending injected exception, 0 when none
    int exception_count = 0;  // replies it still applies to
    int delay_ms = 0;         // added to every reply
    int late_count = 0;       // requests still to be answered late
    int late_ms = 0;
    int spoiled = 0;         // register replies still to be spoiled (bad CRC, other slave)
    std::size_t queued = 0;  // replies waiting for their time
};

// How a register reply is spoiled on command.
enum class ReplyFault { BadCrc, WrongSlave };

class SimLink {
    struct Key {
        explicit Key() = default;
    };

  public:
    SimLink(Key, RegisterBank &bank) : bank_(bank) {}
    // Null on failure, with error saying why.
    static std::unique_ptr<SimLink> open(const LinkOptions &options, RegisterBank &bank,
                                         std::string &error);

    // The descriptor the board serves (pty master or the serial device).
    int fd() const { return line_.get(); }
    // The path the oven manager opens: the pty slave, or the device itself.
    const std::string &peer_path() const { return peer_path_; }
    bool is_pty() const { return keep_slave_.valid(); }

    // Milliseconds until the pending frame ends (its gap passes); -1 when nothing is pending.
    int timeout_ms(Clock::time_point now) const;
    // Reads what the line has; completes frames that are whole. False when the line failed.
    bool on_readable(Clock::time_point now);
    // Completes the pending frame when its gap has passed.
    void on_timeout(Clock::time_point now);

    // Stop answering for the given time (zero or less ends a silence).
    void silence(std::chrono::milliseconds duration);
    // Answer the next count requests to this slave with exception code.
    void inject_exception(uint8_t code, int count);
    // Every reply waits this long before it goes out (zero: at once).
    void set_delay(std::chrono::milliseconds delay) { delay_ = delay; }
    // The next count requests are answered this much later (on top of the delay).
    void answer_late(int count, std::chrono::milliseconds late);
    // The next count register replies (not CPI) go out spoiled; count 0 cancels.
    void spoil_replies(ReplyFault fault, int count);
    LinkStatus status() const;
    void set_cpi_handler(CpiHandler handler) { cpi_handler_ = std::move(handler); }

  private:
    void complete_whole_frames();
    void handle_frame(std::span<const uint8_t> frame);
    // Sends the reply now or queues it for its time.
    void answer(std::vector<uint8_t> reply);
    void spoil(std::vector<uint8_t> &reply);
    void send_reply(std::span<const uint8_t> reply);
    void send_due(Clock::time_point now);

    struct Queued {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };

    RegisterBank &bank_;
    UniqueFd line_;
    UniqueFd keep_slave_;  // our own slave descriptor: the master never sees a hang-up
    std::string peer_path_;
    int baud_ = 0;
    std::chrono::microseconds gap_{2000};
    std::vector<uint8_t> pending_;
    bool overflow_ = false;
    Clock::time_point last_byte_{};
    Clock::time_point silent_until_{};
    int exception_code_ = 0;
    int exception_count_ = 0;
    std::chrono::milliseconds delay_{0};
    std::chrono::milliseconds late_{0};
    int late_count_ = 0;
    std::deque<ReplyFault> spoil_;
    std::vector<Queued> queue_;  // by due time
    CpiHandler cpi_handler_;
    LinkStatus counters_;
};

// A symbolic link that names the line for the oven manager; replaced atomically when it exists,
// removed when the owner goes (unless something else has taken the name meanwhile).
class PublishedLink {
    struct Key {
        explicit Key() = default;
    };

  public:
    PublishedLink(Key, std::string link, std::string target)
        : link_(std::move(link)), target_(std::move(target)) {}
    static std::unique_ptr<PublishedLink> publish(const std::string &link,
                                                  const std::string &target, std::string &error);
    ~PublishedLink();
    PublishedLink(const PublishedLink &) = delete;
    PublishedLink &operator=(const PublishedLink &) = delete;

  private:
    std::string link_;
    std::string target_;
};

}  // namespace kor_sim
