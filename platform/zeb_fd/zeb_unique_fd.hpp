// The one owner of a file descriptor that every module of this tree uses inside: move-only,
// closes its descriptor when it goes, and the helper that repeats a system call interrupted by
// a signal. Header only; not installed.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace zeb {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            // close() is not retried: on Linux the descriptor is gone even when it reports EINTR.
            ::close(fd_);
        }
        fd_ = fd;
    }
    // Closes now and reports the result (0 or -errno): close can be the first place a write
    // error shows.
    int close_checked() {
        const int fd = release();
        return fd >= 0 && ::close(fd) != 0 ? -errno : 0;
    }

  private:
    int fd_ = -1;
};

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

}  // namespace zeb
