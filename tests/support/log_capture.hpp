// Test helpers shared by every suite: a logger sink that keeps the lines of one test (and prints
// them only when the test fails), a polling wait with a deadline instead of fixed sleeps, and a
// scratch directory that removes itself.
#pragma once

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

// A loopback TCP port nobody listens on at the moment of asking; -1 if none could be had.
int free_loopback_port();

// Directory of the built programs (KOR_BIN_DIR, set by CTest).
std::string bin_dir();
// Root of the source tree (KOR_SOURCE_DIR, set by CTest).
std::string source_dir();

}  // namespace kor_test
