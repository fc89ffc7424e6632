// The service manager's end of the notification protocol, for tests: a datagram socket bound at
// a path (what NOTIFY_SOCKET names), drained by a thread that keeps every message with the time
// it arrived, so a test waits for a message instead of sleeping.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kor_test {

class NotifySocket {
  public:
    using Clock = std::chrono::steady_clock;
    struct Message {
        std::string text;
        Clock::time_point at;
    };

    NotifySocket() = default;
    ~NotifySocket() { close(); }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool open(const std::string &path) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) {
            return false;
        }
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        ::unlink(path.c_str());
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            return false;
        }
        path_ = path;
        receiver_ = std::thread([this] { receive(); });
        return true;
    }

    void close() {
        stop_ = true;
        if (receiver_.joinable()) {
            receiver_.join();
        }
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(path_.c_str());
        }
        fd_ = -1;
    }

    std::vector<Message> messages() const {
        std::lock_guard<std::mutex> guard(lock_);
        return messages_;
    }

    // The first message at index >= *cursor for which pred holds; moves *cursor past it.
    template <typename Pred>
    std::optional<Message> wait(Pred pred, std::chrono::milliseconds timeout,
                                std::size_t *cursor = nullptr) {
        std::size_t local = 0;
        std::size_t &at = cursor != nullptr ? *cursor : local;
        std::unique_lock<std::mutex> guard(lock_);
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            for (; at < messages_.size(); ++at) {
                if (pred(messages_[at].text)) {
                    return messages_[at++];
                }
            }
            if (changed_.wait_until(guard, deadline) == std::cv_status::timeout &&
                at >= messages_.size()) {
                return std::nullopt;
            }
        }
    }

    std::optional<Message> wait_text(const std::string &text, std::chrono::milliseconds timeout,
                                     std::size_t *cursor = nullptr) {
        return wait([&text](const std::string &t) { return t == text; }, timeout, cursor);
    }

  private:
    void receive() {
        char buffer[4096];
        while (!stop_) {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n < 0) {
                continue;
            }
            std::lock_guard<std::mutex> guard(lock_);
            messages_.push_back({std::string(buffer, static_cast<std::size_t>(n)), Clock::now()});
            changed_.notify_all();
        }
    }

    int fd_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread receiver_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
};

}  // namespace kor_test
