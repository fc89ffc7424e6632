// Statistics store: run-time trackers and period averages kept in a key/value file (the format
// of zeb_store_file, rewritten atomically after every change that shows in it). The handle owns
// the file's lines and, in memory only, each tracker's running mark and the part of a second not
// yet written: the file holds whole seconds, so a tracker updated every half second still counts
// every nanosecond and the file is rewritten at most once a second per tracker. Averages keep
// their sum, count and period start in the file beside the average itself, so a restart inside a
// period goes on averaging where it stopped.
//
// The oven bakes without statistics, so the file never stops the store: a file that cannot be
// read is set aside under a time-stamped name and counting starts from zero; a write that fails
// (a full or read-only disk) keeps everything in memory, is logged once with the file's name, and
// every later change tries the whole file again until a write succeeds, which is logged once too.
//
// The disk is written by a thread of the handle's own, never by the caller: a flush to a busy or
// worn flash card can take seconds, and the oven's control loop counts its trackers every few
// seconds. A change only marks the file for writing; the writer renders it as it is then and
// writes it outside the lock, so changes made meanwhile are folded into its next write.
#include "zeb_stat.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "zeb_logger.h"
#include "zeb_stat.hpp"
#include "zeb_store_file.hpp"

namespace store = zeb::store;

namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr const char *kModule = "zeb_stat";
constexpr std::string_view kSumSuffix = ".sum";
constexpr std::string_view kCountSuffix = ".count";
constexpr std::string_view kStartSuffix = ".period_start";
// Unreadable files set aside and kept, the newest ones: enough to compare, too few to fill a disk.
constexpr std::size_t kKeepUnreadable = 3;

int64_t system_monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

int64_t system_realtime_s() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

std::atomic<zeb::stat::ClockFn> monotonic_ns{system_monotonic_ns};
std::atomic<zeb::stat::ClockFn> realtime_s{system_realtime_s};
std::atomic<zeb::stat::WriteFn> write_file{store::write_file_atomically};

struct Tracker {
    bool running = false;
    int64_t mark_ns = 0;     // monotonic moment the running stretch started
    int64_t pending_ns = 0;  // counted but below a whole second, not in the file yet
};

// Entry names are plain file keys: no blanks, and no '.', which is kept for the derived keys of
// averages.
bool valid_name(const char *name) {
    return name != nullptr && store::valid_key(name) &&
           std::string_view(name).find_first_of(". \t") == std::string_view::npos;
}

int32_t clamp_int32(int64_t v) {
    return v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v));
}

std::string directory_of(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name(const std::string &path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "<path>.corrupt.<UTC time>", so names sort by age.
std::string unreadable_name(const std::string &path, int64_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    tm parts{};
    gmtime_r(&t, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &parts);
    return path + ".corrupt." + stamp;
}

// The names of the files set aside beside path, oldest first.
std::vector<std::string> unreadable_names(const std::string &path) {
    const std::string prefix = base_name(path) + ".corrupt.";
    std::vector<std::string> names;
    if (DIR *d = ::opendir(directory_of(path).c_str()); d != nullptr) {
        while (const dirent *e = ::readdir(d)) {
            if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) {
                names.emplace_back(e->d_name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Renames from to a name that sorts after every file set aside so far: to, or to with "-01" to
// "-99" for files set aside in the same second. 0 with the name used, or -errno.
int rename_to_new_name(const std::string &from, const std::string &to, std::string &used) {
    int n = 0;
    const std::string stamped = base_name(to);
    for (const std::string &name : unreadable_names(from)) {
        if (name.rfind(stamped, 0) == 0) {
            n = std::max(n, name.size() == stamped.size()
                                ? 1
                                : std::atoi(name.c_str() + stamped.size() + 1) + 1);
        }
    }
    for (; n < 100; ++n) {
        char suffix[16] = "";
        if (n > 0) {
            std::snprintf(suffix, sizeof suffix, "-%02d", n);
        }
        used = to + suffix;
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, used.c_str(), RENAME_NOREPLACE) == 0) {
            return 0;
        }
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without RENAME_NOREPLACE: look first; a race only costs an old copy.
            if (struct stat st{}; ::lstat(used.c_str(), &st) == 0) {
                continue;
            }
            if (::rename(from.c_str(), used.c_str()) == 0) {
                return 0;
            }
        }
        if (errno != EEXIST) {
            return -errno;
        }
    }
    return -EEXIST;
}

// Removes the oldest files set aside beyond the few kept.
void prune_unreadable(const std::string &path) {
    const std::vector<std::string> names = unreadable_names(path);
    const std::string dir = directory_of(path);
    for (std::size_t i = 0; i + kKeepUnreadable < names.size(); ++i) {
        ::unlink((dir + "/" + names[i]).c_str());  // never a folder: only files are removed
    }
}

}  // namespace

struct zeb_stat {
    static constexpr uint32_t kMagic = 0x7a737461;
    uint32_t magic = kMagic;
    std::mutex lock;
    std::string path;
    store::StoreFile file;
    std::map<std::string, Tracker, std::less<>> trackers;
    zeb_logger_t *logger = nullptr;
    // Why the file found at open could not be used; it is set aside before the first write.
    std::string unreadable;
    // 0 while the file is written, else the code of the last write that failed.
    std::atomic<int> write_status{0};
    // Changes asked for and changes the writer has tried to write, under the lock: the file is
    // behind while they differ.
    uint64_t changes = 0;
    uint64_t written = 0;
    bool stopping = false;
    std::condition_variable wake;       // a change, or stop
    std::condition_variable caught_up;  // the writer has tried what was asked of it
    std::thread writer;

    ~zeb_stat() { zeb_logger_close(logger); }

    int64_t number(const std::string &key) const {
        int64_t v = 0;
        if (auto text = file.get(key)) {
            store::parse_int64(*text, v);  // every value was checked at open or written by us
        }
        return v;
    }
    void put(const std::string &key, int64_t v) { file.set(key, std::to_string(v)); }
    bool is_average(const std::string &name) const {
        return file.get(name + std::string(kCountSuffix)).has_value();
    }

    // Moves the unreadable file out of the way, keeping it for whoever wants to look at it.
    int set_aside() {
        std::string aside;
        int rc = rename_to_new_name(path, unreadable_name(path, realtime_s.load()()), aside);
        if (rc == -ENOENT) {
            unreadable.clear();  // gone meanwhile: nothing left to keep
            return 0;
        }
        if (rc != 0) {
            return rc;
        }
        zeb_logger_log(logger, ZEB_LOG_WARNING, kModule,
                       "Statistics file %s %s, moved to %s; statistics start from zero",
                       path.c_str(), unreadable.c_str(), aside.c_str());
        unreadable.clear();
        prune_unreadable(path);
        return 0;
    }

    // Writes the file as text. A failure keeps everything in memory for the next write; the first
    // failure and the first success after failures are logged, nothing in between.
    int save(const std::string &text) {
        int rc = unreadable.empty() ? 0 : set_aside();
        if (rc == 0) {
            rc = write_file.load()(path, text);
        }
        const int before = write_status.exchange(rc);
        if (rc != 0 && before == 0) {
            zeb_logger_log(logger, ZEB_LOG_ERR, kModule,
                           "Cannot write statistics file %s: %s. Err: %d; statistics are kept in "
                           "memory until it can be written",
                           path.c_str(), std::strerror(-rc), rc);
        } else if (rc == 0 && before != 0) {
            zeb_logger_log(logger, ZEB_LOG_NOTICE, kModule, "Statistics file %s written again",
                           path.c_str());
        }
        return rc;
    }
    // After a change, under the lock: asks the writer for the file when it changed or an earlier
    // write failed. The operation has done its part once the value is in memory, so it succeeds
    // either way.
    int keep(bool changed) {
        if (changed || write_status.load() != 0) {
            ++changes;
            wake.notify_one();
        }
        return 0;
    }

    // The writer thread: one write at a time, each of the file as it is when the write starts.
    // While it runs, only it writes to the disk and touches `unreadable`; at stop it writes what
    // is left.
    void write_loop() {
        std::unique_lock<std::mutex> lk(lock);
        for (;;) {
            wake.wait(lk, [this] { return stopping || written < changes; });
            if (written == changes) {
                return;
            }
            const uint64_t upto = changes;
            const std::string text = file.render();
            lk.unlock();
            save(text);
            lk.lock();
            written = upto;
            caught_up.notify_all();
        }
    }

    // Waits until everything changed so far has been tried. Under the lock.
    void wait_written(std::unique_lock<std::mutex> &lk) {
        const uint64_t target = changes;
        caught_up.wait(lk, [&] { return written >= target; });
    }

    // Brings a running tracker up to now; true when its whole seconds in the file changed.
    bool fold(const std::string &name, Tracker &t, int64_t now) {
        int64_t elapsed = now > t.mark_ns ? now - t.mark_ns : 0;
        t.mark_ns = now;
        int64_t total = t.pending_ns + elapsed;
        t.pending_ns = total % kNsPerSecond;
        int64_t seconds = total / kNsPerSecond;
        if (seconds == 0) {
            return false;
        }
        put(name, number(name) + seconds);
        return true;
    }
};

namespace {

bool usable(const zeb_stat_t *handle) {
    return handle != nullptr && handle->magic == zeb_stat::kMagic;
}

// A file is usable when every line is blank, a comment or "key = value" with a whole,
// non-negative number: everything this store writes.
bool well_formed(const store::StoreFile &file) {
    if (!file.malformed().empty()) {
        return false;
    }
    for (const auto &[key, value] : file.entries()) {
        int64_t v = 0;
        if (store::parse_int64(value, v) != 0 || v < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

namespace zeb::stat {

void set_clocks_for_tests(ClockFn monotonic, ClockFn realtime) {
    monotonic_ns.store(monotonic != nullptr ? monotonic : system_monotonic_ns);
    realtime_s.store(realtime != nullptr ? realtime : system_realtime_s);
}

void set_writer_for_tests(WriteFn write) {
    write_file.store(write != nullptr ? write : store::write_file_atomically);
}

}  // namespace zeb::stat

extern "C" int zeb_stat_open(const char *path, zeb_stat_t **handle) {
    if (path == nullptr || *path == '\0' || handle == nullptr) {
        return -EINVAL;
    }
    auto stat = std::make_unique<zeb_stat>();
    stat->path = path;
    if (int rc = zeb_logger_open(&stat->logger); rc != 0) {
        return rc;
    }
    std::string text;
    int rc = store::read_file(stat->path, text);
    if (rc == 0) {
        stat->file = store::StoreFile::parse(text);
        if (!well_formed(stat->file)) {
            stat->unreadable = "cannot be parsed";
            stat->file = store::StoreFile{};
        }
    } else if (rc != -ENOENT) {
        stat->unreadable = store::file_problem(rc);
        if (stat->unreadable == "cannot be read") {
            stat->unreadable += std::string(" (") + std::strerror(-rc) + ")";
        }
    }
    if (rc != 0 || !stat->unreadable.empty()) {
        // A missing or set-aside file starts empty; a failure is kept, not fatal.
        stat->save(stat->file.render());
    }
    try {
        stat->writer = std::thread([s = stat.get()] { s->write_loop(); });
    } catch (const std::system_error &e) {
        return e.code().value() != 0 ? -e.code().value() : -EAGAIN;
    }
    *handle = stat.release();
    return 0;
}

extern "C" int zeb_stat_runtime_start(zeb_stat_t *handle, const char *name) {
    if (!usable(handle) || !valid_name(name)) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    const std::string key(name);
    if (handle->is_average(key)) {
        return -EINVAL;
    }
    const int64_t now = monotonic_ns.load()();
    bool changed = false;
    Tracker &t = handle->trackers[key];
    if (t.running) {
        changed = handle->fold(key, t, now);  // a second start keeps what already ran
    } else {
        t.running = true;
        t.mark_ns = now;
    }
    if (!handle->file.get(key)) {
        handle->put(key, 0);
        changed = true;
    }
    return handle->keep(changed);
}

extern "C" int zeb_stat_runtime_update(zeb_stat_t *handle, const char *name, int32_t end) {
    if (!usable(handle) || !valid_name(name)) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    const std::string key(name);
    if (handle->is_average(key)) {
        return -EINVAL;
    }
    auto it = handle->trackers.find(key);
    if (it == handle->trackers.end()) {
        // Known from an earlier run but not started in this one: nothing runs, nothing to add.
        return handle->file.get(key) ? 0 : -ENOENT;
    }
    Tracker &t = it->second;
    if (!t.running) {
        return 0;
    }
    bool changed = handle->fold(key, t, monotonic_ns.load()());
    if (end != 0) {
        t.running = false;
    }
    return handle->keep(changed);
}

extern "C" int zeb_stat_get_field(zeb_stat_t *handle, const char *name, int32_t *value) {
    if (!usable(handle) || !valid_name(name) || value == nullptr) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    const std::string key(name);
    if (!handle->file.get(key)) {
        return -ENOENT;
    }
    int64_t v = handle->number(key);
    if (auto it = handle->trackers.find(key); it != handle->trackers.end() && it->second.running) {
        int64_t now = monotonic_ns.load()();
        int64_t elapsed = now > it->second.mark_ns ? now - it->second.mark_ns : 0;
        v += (it->second.pending_ns + elapsed) / kNsPerSecond;
    }
    *value = clamp_int32(v);
    return 0;
}

extern "C" int zeb_stat_average_period(zeb_stat_t *handle, const char *name, uint32_t value,
                                       int32_t period_s) {
    if (!usable(handle) || !valid_name(name) || period_s <= 0) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    const std::string key(name);
    if (handle->trackers.count(key) != 0 || (handle->file.get(key) && !handle->is_average(key))) {
        return -EINVAL;  // a tracker of that name
    }
    const std::string sum_key = key + std::string(kSumSuffix);
    const std::string count_key = key + std::string(kCountSuffix);
    const std::string start_key = key + std::string(kStartSuffix);
    const int64_t now = realtime_s.load()();
    int64_t sum = handle->number(sum_key);
    int64_t count = handle->number(count_key);
    int64_t start = handle->number(start_key);
    // A new period starts with the first value after the last one ended; a clock set back
    // before the period's start also starts a new one rather than stretching the old.
    if (count <= 0 || now < start || now - start >= period_s) {
        sum = 0;
        count = 0;
        start = now;
    }
    sum += value;
    count += 1;
    handle->put(key, (sum + count / 2) / count);
    handle->put(sum_key, sum);
    handle->put(count_key, count);
    handle->put(start_key, start);
    return handle->keep(true);
}

extern "C" int zeb_stat_write_status(zeb_stat_t *handle) {
    if (!usable(handle)) {
        return -EINVAL;
    }
    return handle->write_status.load();
}

extern "C" int zeb_stat_flush(zeb_stat_t *handle) {
    if (!usable(handle)) {
        return -EINVAL;
    }
    std::unique_lock<std::mutex> lk(handle->lock);
    handle->wait_written(lk);
    return handle->write_status.load();
}

extern "C" int zeb_stat_close(zeb_stat_t *handle) {
    if (!usable(handle)) {
        return -EINVAL;
    }
    {
        std::lock_guard<std::mutex> guard(handle->lock);
        // Running stretches would otherwise be lost with the handle.
        const int64_t now = monotonic_ns.load()();
        bool changed = false;
        for (auto &[name, t] : handle->trackers) {
            if (t.running) {
                changed = handle->fold(name, t, now) || changed;
            }
        }
        handle->keep(changed);
        handle->stopping = true;
        handle->magic = 0;
        handle->wake.notify_one();
    }
    std::unique_ptr<zeb_stat> owner(handle);
    handle->writer.join();  // it writes what is left first
    return handle->write_status.load();
}
