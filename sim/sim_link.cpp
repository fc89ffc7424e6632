// The line of the virtual IO board; see sim_link.hpp.
#include "sim_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

namespace kor_sim {

namespace {

// Longest run of bytes taken as one frame; anything longer is line noise and is dropped whole.
constexpr std::size_t kMaxFrame = 512;

std::string errno_text(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool make_raw(int fd, speed_t speed, std::string &error) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = errno_text("tcgetattr");
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = errno_text("tcsetattr");
        return false;
    }
    return true;
}

speed_t termios_speed(int baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B57600;
    }
}

// Length of a standard request as its function defines it; 0 when the bytes so far do not tell
// (an unknown function such as CPI, or a count byte not yet arrived).
std::size_t expected_length(std::span<const uint8_t> f) {
    if (f.size() < 2) {
        return 0;
    }
    switch (f[1]) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
            return 8;
        case 0x07:
        case 0x0B:
        case 0x0C:
        case 0x11:
            return 4;
        case 0x0F:
        case 0x10:
            return f.size() >= 7 ? 9u + f[6] : 0;
        case 0x16:
            return 10;
        case 0x17:
            return f.size() >= 11 ? 13u + f[10] : 0;
        default:
            return 0;
    }
}

bool crc_ok(std::span<const uint8_t> frame) {
    if (frame.size() < 4) {
        return false;
    }
    const uint16_t crc = modbus_crc16(frame.first(frame.size() - 2));
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

}  // namespace

uint16_t modbus_crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

std::unique_ptr<SimLink> SimLink::open(const LinkOptions &options, RegisterBank &bank,
                                       std::string &error) {
    auto link = std::make_unique<SimLink>(Key{}, bank);
    link->baud_ = options.baud;
    const int char_baud = options.baud > 0 ? options.baud : 57600;
    // 3.5 characters of 10 bits (8N1) end a frame; a pty delivers a request at once, so the
    // floor only has to outlast scheduling jitter of the writer.
    const auto gap = std::chrono::microseconds(35'000'000LL / char_baud);
    link->gap_ = std::max(gap, std::chrono::microseconds(2000));
    const speed_t speed = termios_speed(char_baud);

    if (!options.device.empty()) {
        link->line_.reset(retry_eintr([&] {
            return ::open(options.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        }));
        if (!link->line_.valid()) {
            error = errno_text(options.device.c_str());
            return nullptr;
        }
        if (!make_raw(link->fd(), speed, error)) {
            return nullptr;
        }
        link->peer_path_ = options.device;
        return link;
    }

    link->line_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!link->line_.valid()) {
        error = errno_text("posix_openpt");
        return nullptr;
    }
    char name[PATH_MAX];
    if (grantpt(link->fd()) != 0 || unlockpt(link->fd()) != 0 ||
        ptsname_r(link->fd(), name, sizeof name) != 0) {
        error = errno_text("pseudo-terminal");
        return nullptr;
    }
    link->peer_path_ = name;
    link->keep_slave_.reset(
        retry_eintr([&] { return ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (!link->keep_slave_.valid()) {
        error = errno_text(name);
        return nullptr;
    }
    if (!make_raw(link->keep_slave_.get(), speed, error) || !make_raw(link->fd(), speed, error)) {
        return nullptr;
    }
    if (fcntl(link->fd(), F_SETFL, O_NONBLOCK) != 0) {
        error = errno_text("fcntl");
        return nullptr;
    }
    return link;
}

int SimLink::timeout_ms(Clock::time_point now) const {
    // Round up: waking early would only cost another turn of the loop.
    auto until = [now](Clock::time_point when) {
        const auto left = when - now;
        return left <= Clock::duration::zero()
                   ? 0
                   : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    };
    int ms = -1;
    if (!pending_.empty() || overflow_) {
        ms = until(last_byte_ + gap_);
    }
    if (!queue_.empty()) {
        const int reply_ms = until(queue_.front().due);
        ms = ms < 0 ? reply_ms : std::min(ms, reply_ms);
    }
    return ms;
}

bool SimLink::on_readable(Clock::time_point now) {
    uint8_t buffer[512];
    for (;;) {
        const ssize_t n = retry_eintr([&] { return ::read(fd(), buffer, sizeof buffer); });
        if (n > 0) {
            last_byte_ = now;
            if (overflow_ || pending_.size() + static_cast<std::size_t>(n) > kMaxFrame) {
                overflow_ = true;
                pending_.clear();
                continue;
            }
            pending_.insert(pending_.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        return false;  // end of file or a failed line
    }
    complete_whole_frames();
    return true;
}

void SimLink::complete_whole_frames() {
    while (!overflow_ && !pending_.empty()) {
        const std::size_t length = expected_length(pending_);
        if (length == 0 || pending_.size() < length ||
            !crc_ok(std::span<const uint8_t>(pending_).first(length))) {
            return;  // the gap decides
        }
        std::vector<uint8_t> frame(pending_.begin(), pending_.begin() + length);
        pending_.erase(pending_.begin(), pending_.begin() + length);
        handle_frame(frame);
    }
}

void SimLink::on_timeout(Clock::time_point now) {
    send_due(now);
    if ((pending_.empty() && !overflow_) || now < last_byte_ + gap_) {
        return;
    }
    std::vector<uint8_t> frame;
    frame.swap(pending_);
    if (overflow_) {
        overflow_ = false;
        ++counters_.frames;
        ++counters_.ignored;
        return;
    }
    handle_frame(frame);
}

void SimLink::send_due(Clock::time_point now) {
    while (!queue_.empty() && queue_.front().due <= now) {
        const std::vector<uint8_t> bytes = std::move(queue_.front().bytes);
        queue_.erase(queue_.begin());
        send_reply(bytes);
    }
}

void SimLink::handle_frame(std::span<const uint8_t> frame) {
    ++counters_.frames;
    if (!crc_ok(frame)) {
        ++counters_.bad_crc;
        ++counters_.ignored;
        return;
    }
    if (frame[0] != kSlaveId) {
        ++counters_.other_slave;
        ++counters_.ignored;
        return;
    }
    if (Clock::now() < silent_until_) {
        ++counters_.ignored;
        return;
    }
    if (exception_count_ > 0) {
        --exception_count_;
        std::vector<uint8_t> reply{frame[0], static_cast<uint8_t>(frame[1] | 0x80),
                                   static_cast<uint8_t>(exception_code_)};
        const uint16_t crc = modbus_crc16(reply);
        reply.push_back(static_cast<uint8_t>(crc & 0xFF));
        reply.push_back(static_cast<uint8_t>(crc >> 8));
        if (exception_count_ == 0) {
            exception_code_ = 0;
        }
        spoil(reply);
        answer(std::move(reply));
        return;
    }
    if (frame[1] == kCpiFunction && cpi_handler_) {
        if (auto reply = cpi_handler_(frame)) {
            if (reply->empty()) {
                ++counters_.ignored;
                return;
            }
            answer(std::move(*reply));
            return;
        }
    }
    // Unknown functions, CPI included while no handler takes it, get libmodbus's
    // illegal-function exception.
    std::vector<uint8_t> reply = bank_.reply(frame);
    if (reply.empty()) {
        ++counters_.ignored;
        return;
    }
    spoil(reply);
    answer(std::move(reply));
}

void SimLink::spoil(std::vector<uint8_t> &reply) {
    if (spoil_.empty() || reply.size() < 4) {
        return;
    }
    const ReplyFault fault = spoil_.front();
    spoil_.pop_front();
    if (fault == ReplyFault::BadCrc) {
        reply.back() ^= 0xFF;
        return;
    }
    // Another slave's answer, whole and with its own good CRC.
    reply[0] = static_cast<uint8_t>(kSlaveId + 1);
    const uint16_t crc = modbus_crc16(std::span<const uint8_t>(reply).first(reply.size() - 2));
    reply[reply.size() - 2] = static_cast<uint8_t>(crc & 0xFF);
    reply[reply.size() - 1] = static_cast<uint8_t>(crc >> 8);
}

void SimLink::answer(std::vector<uint8_t> reply) {
    auto wait = delay_;
    if (late_count_ > 0) {
        --late_count_;
        wait += late_;
    }
    if (wait.count() <= 0) {
        send_reply(reply);
        return;
    }
    const auto due = Clock::now() + wait;
    // Equal times keep their order: a reply never overtakes one queued before it for the same time.
    const auto at =
        std::upper_bound(queue_.begin(), queue_.end(), due,
                         [](Clock::time_point t, const Queued &q) { return t < q.due; });
    queue_.insert(at, Queued{due, std::move(reply)});
}

void SimLink::send_reply(std::span<const uint8_t> reply) {
    if (baud_ > 0) {
        // 8N1: ten bits a byte on the wire.
        std::this_thread::sleep_for(
            std::chrono::microseconds(static_cast<int64_t>(reply.size()) * 10'000'000 / baud_));
    }
    std::size_t done = 0;
    while (done < reply.size()) {
        const ssize_t n =
            retry_eintr([&] { return ::write(fd(), reply.data() + done, reply.size() - done); });
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Nobody drains the other end; give it a moment, then drop the reply as a line
            // with no listener would.
            pollfd p{fd(), POLLOUT, 0};
            if (retry_eintr([&] { return ::poll(&p, 1, 1000); }) > 0) {
                continue;
            }
        }
        ++counters_.ignored;
        return;
    }
    ++counters_.served;
}

void SimLink::silence(std::chrono::milliseconds duration) {
    silent_until_ = duration.count() > 0 ? Clock::now() + duration : Clock::time_point{};
}

void SimLink::inject_exception(uint8_t code, int count) {
    exception_code_ = count > 0 ? code : 0;
    exception_count_ = count > 0 ? count : 0;
}

void SimLink::answer_late(int count, std::chrono::milliseconds late) {
    late_count_ = count > 0 ? count : 0;
    late_ = late;
}

void SimLink::spoil_replies(ReplyFault fault, int count) {
    // A new order replaces what was left of the same kind.
    std::erase(spoil_, fault);
    spoil_.insert(spoil_.end(), static_cast<std::size_t>(std::max(count, 0)), fault);
}

LinkStatus SimLink::status() const {
    LinkStatus s = counters_;
    const auto now = Clock::now();
    s.silent = now < silent_until_;
    s.silence_left_s = s.silent ? std::chrono::duration<double>(silent_until_ - now).count() : 0.0;
    s.exception_code = exception_code_;
    s.exception_count = exception_count_;
    s.delay_ms = static_cast<int>(delay_.count());
    s.late_count = late_count_;
    s.late_ms = static_cast<int>(late_.count());
    s.spoiled = static_cast<int>(spoil_.size());
    s.queued = queue_.size();
    return s;
}

std::unique_ptr<PublishedLink> PublishedLink::publish(const std::string &link,
                                                      const std::string &target,
                                                      std::string &error) {
    // Make the new link beside the old one and rename it over it: the name never goes missing.
    const std::string temp = link + ".new." + std::to_string(getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
        error = errno_text(temp.c_str());
        return nullptr;
    }
    if (::rename(temp.c_str(), link.c_str()) != 0) {
        error = errno_text(link.c_str());
        ::unlink(temp.c_str());
        return nullptr;
    }
    return std::make_unique<PublishedLink>(Key{}, link, target);
}

PublishedLink::~PublishedLink() {
    char current[PATH_MAX];
    const ssize_t n = ::readlink(link_.c_str(), current, sizeof current - 1);
    if (n >= 0 && target_ == std::string(current, static_cast<std::size_t>(n))) {
        ::unlink(link_.c_str());
    }
}

}  // namespace kor_sim
