// File descriptors of the virtual IO board: a move-only owner that closes its descriptor, and the
// one helper every system call goes through so EINTR never surfaces as a failure.
#pragma once

#include <unistd.h>
#include <cerrno>

#include <utility>

namespace kor_sim {

// Calls f until it does not fail with EINTR; returns its last result.
template <typename F>
auto retry_eintr(F &&f) {
    for (;;) {
        auto rc = f();
        if (rc != -1 || errno != EINTR) {
            return rc;
        }
    }
}

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            // close() is not retried: on Linux the descriptor is gone even when it reports EINTR.
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

}  // namespace kor_sim
