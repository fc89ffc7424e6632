// Test helpers shared by every suite: a logger sink that keeps the lines of one test (and prints
// them only when the test fails), a polling wait with a deadline instead of fixed sleeps, and a
// scratch directory that removes itself.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kor_test {

struct LogLine {
    int level;
    std::string module;
    std::string message;
};

// Installs itself as the logger sink for its lifetime.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> lines() const;
    // Number of lines whose message equals text exactly.
    int count(const std::string &text) const;
    // Number of lines whose message contains part.
    int count_containing(const std::string &part) const;
    bool contains(const std::string &text) const { return count(text) > 0; }
    void clear();
    std::string dump() const;

  private:
    static void sink(void *user, int level, const char *module, const char *message);
    mutable std::mutex lock_;
    std::vector<LogLine> lines_;
};

// Polls pred every few milliseconds until it holds or the timeout passes; returns its last value.
bool wait_until(const std::function<bool()> &pred,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when it goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Lowers this process's file size limit (RLIMIT_FSIZE) for its lifetime, with SIGXFSZ ignored:
// every write that would make a file larger than bytes fails with EFBIG. A write failure that
// holds for root too, where a read-only directory does not.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(unsigned long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

  private:
    unsigned long old_soft_;
    void (*old_handler_)(int);
};

// The whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string &path);

// Private dirty memory of a process in KiB (what it wrote itself: heap, stacks); -1 when it cannot
// be read.
long private_dirty_kib(pid_t pid);

// A loopback TCP port nobody listens on at the moment of asking; -1 if none could be had.
int free_loopback_port();

// The user the rigs' child processes (the programs under test) run as. Unset, they run as this
// process does. Set, every child takes on that user and group before it starts, with no other
// groups, no capabilities and no way back to privileges, as a service user under systemd; and
// every ScratchDir made meanwhile belongs to that user. Only root can set it.
class ChildUser {
  public:
    // For the lifetime of this object; the previous setting comes back after it.
    ChildUser(uid_t uid, gid_t gid);
    ~ChildUser();
    ChildUser(const ChildUser &) = delete;
    ChildUser &operator=(const ChildUser &) = delete;

    // In a forked child, before exec: takes on the child user if one is set. Only
    // async-signal-safe calls; false when a step fails (the child must not go on then).
    static bool become();
    // Gives path, and everything below it, to the child user when one is set. A folder the
    // programs share with this process (a bus folder) gets the setgid bit as well, so that what
    // this process makes in it belongs to the child user's group.
    static void hand_over(const std::string &path, bool shared = false);

  private:
    bool had_ = false;
    uid_t old_uid_ = 0;
    gid_t old_gid_ = 0;
};

// Directory of the built programs (KOR_BIN_DIR, set by CTest).
std::string bin_dir();
// Root of the source tree (KOR_SOURCE_DIR, set by CTest).
std::string source_dir();

}  // namespace kor_test
