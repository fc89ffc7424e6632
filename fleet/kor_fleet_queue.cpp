// The durable report queue (see kor_fleet_queue.hpp for the format and the rules).
#include "kor_fleet_queue.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace kor_fleet {

namespace {

constexpr std::string_view kMarkerPrefix = "{\"t\": \"fleet_dropped\", \"count\": ";
constexpr const char *kModuleName = "kor_fleet_agent";
constexpr std::int64_t kAckPeriodMs = 200;  // "acked" is rewritten at most this often

std::int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

const std::array<std::uint32_t, 256> &crc_table() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    return table;
}

int sync_dir(const std::string &dir) {
    zeb::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0) {
        return -errno;
    }
    return 0;
}

bool read_full(int fd, void *buf, std::size_t size, std::int64_t offset) {
    auto *p = static_cast<char *>(buf);
    while (size > 0) {
        const ssize_t n = zeb::retry_eintr([&] { return ::pread(fd, p, size, offset); });
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

int write_full(int fd, const void *buf, std::size_t size, std::int64_t offset) {
    const auto *p = static_cast<const char *>(buf);
    while (size > 0) {
        const ssize_t n = zeb::retry_eintr([&] { return ::pwrite(fd, p, size, offset); });
        if (n < 0) {
            return -errno;
        }
        if (n == 0) {
            return -ENOSPC;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return 0;
}

struct Header {
    std::uint32_t length;
    std::uint32_t crc;
    std::uint64_t seq;
    std::int64_t time_ms;
};
static_assert(sizeof(Header) == kRecordHeader);

}  // namespace

std::uint32_t crc32(const void *data, std::size_t size, std::uint32_t crc) {
    const auto &t = crc_table();
    const auto *p = static_cast<const unsigned char *>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc = t[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    }
    return ~crc;
}

ReportQueue::ReportQueue(QueueOptions options, zeb_logger_t *log)
    : options_(std::move(options)),
      log_(log),
      segment_bytes_(std::clamp<std::int64_t>(options_.max_bytes / 8, 8192, 4 * 1024 * 1024)) {}

ReportQueue::~ReportQueue() {
    flush(true);
}

int ReportQueue::open(const QueueOptions &options, zeb_logger_t *log,
                      std::unique_ptr<ReportQueue> &out) {
    std::unique_ptr<ReportQueue> q(new ReportQueue(options, log));
    const int rc = q->load();
    if (rc != 0) {
        return rc;
    }
    out = std::move(q);
    return 0;
}

int ReportQueue::load() {
    const std::string &dir = options_.dir;
    if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
        const int err = errno;
        zeb_logger_log(log_, 3, kModuleName, "Cannot create queue_dir %s: %s", dir.c_str(),
                       std::strerror(err));
        return -err;
    }
    // Writable, really: a read-only mount or a folder of someone else must stop the start-up,
    // not lose the first report.
    const std::string probe = dir + "/.probe";
    zeb::UniqueFd pfd(::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
    if (!pfd) {
        const int err = errno;
        zeb_logger_log(log_, 3, kModuleName, "queue_dir %s is not writable: %s", dir.c_str(),
                       std::strerror(err));
        return -err;
    }
    pfd.reset();
    ::unlink(probe.c_str());

    read_acked();
    acked_written_ = acked_;
    const std::vector<std::uint64_t> firsts = list_segments();
    std::uint64_t high = acked_;
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        Segment seg;
        seg.first = firsts[i];
        char name[32];
        std::snprintf(name, sizeof name, "%020" PRIu64 ".seg", seg.first);
        seg.path = dir + "/" + name;
        const int rc = scan(seg, i + 1 == firsts.size());
        if (rc != 0) {
            return rc;
        }
        high = std::max({high, seg.last, seg.first - 1});
        total_bytes_ += seg.size;
        segments_.push_back(std::move(seg));
    }
    next_seq_ = high + 1;
    read_seq_ = acked_ + 1;
    if (segments_.empty()) {
        return start_segment_locked();
    }
    return 0;
}

int ReportQueue::read_acked() {
    FILE *f = std::fopen((options_.dir + "/acked").c_str(), "re");
    if (f == nullptr) {
        return errno == ENOENT ? 0 : -errno;
    }
    unsigned long long v = 0;
    if (std::fscanf(f, "%llu", &v) == 1) {
        acked_ = v;
    } else {
        zeb_logger_log(log_, 4, kModuleName, "%s/acked is unreadable; sending the whole queue",
                       options_.dir.c_str());
    }
    std::fclose(f);
    return 0;
}

std::vector<std::uint64_t> ReportQueue::list_segments() const {
    std::vector<std::uint64_t> firsts;
    if (DIR *d = ::opendir(options_.dir.c_str())) {
        while (dirent *e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() == 24 && name.compare(20, 4, ".seg") == 0 &&
                std::all_of(name.begin(), name.begin() + 20,
                            [](char c) { return c >= '0' && c <= '9'; })) {
                firsts.push_back(std::stoull(name.substr(0, 20)));
            }
        }
        ::closedir(d);
    }
    std::sort(firsts.begin(), firsts.end());
    return firsts;
}

int ReportQueue::inspect(const std::string &dir, QueueStatus &out) {
    ReportQueue q({dir, std::int64_t{1} << 40, 1000}, nullptr);
    if (::access(dir.c_str(), R_OK | X_OK) != 0) {
        return -errno;
    }
    if (const int rc = q.read_acked(); rc != 0) {
        return rc;
    }
    QueueStatus st;
    st.acked = q.acked_;
    std::uint64_t high = q.acked_;
    for (const std::uint64_t first : q.list_segments()) {
        Segment seg;
        seg.first = first;
        char name[32];
        std::snprintf(name, sizeof name, "%020" PRIu64 ".seg", first);
        seg.path = dir + "/" + name;
        bool torn = false;
        if (const int rc = q.scan(seg, false, &torn, &st); rc != 0) {
            return rc;
        }
        st.torn += torn ? 1 : 0;
        ++st.segments;
        st.bytes += seg.size;
        high = std::max({high, seg.last, seg.first - 1});
    }
    st.next_seq = high + 1;
    out = st;
    return 0;
}

int ReportQueue::scan(Segment &seg, bool repair, bool *torn, QueueStatus *status) {
    seg.fd.reset(::open(seg.path.c_str(), (repair ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    if (!seg.fd) {
        const int err = errno;
        zeb_logger_log(log_, 3, kModuleName, "Cannot open %s: %s", seg.path.c_str(),
                       std::strerror(err));
        return -err;
    }
    struct stat st {};
    ::fstat(seg.fd.get(), &st);
    const std::int64_t file_size = st.st_size;
    std::int64_t at = 0;
    std::uint64_t prev = seg.first - 1;
    std::vector<char> buf;
    while (at < file_size) {
        Header h{};
        bool ok = at + static_cast<std::int64_t>(kRecordHeader) <= file_size &&
                  read_full(seg.fd.get(), &h, sizeof h, at) && h.length <= kMaxRecordText &&
                  at + static_cast<std::int64_t>(kRecordHeader + h.length) <= file_size &&
                  h.seq > prev;
        if (ok) {
            buf.resize(16 + h.length);
            ok = read_full(seg.fd.get(), buf.data(), buf.size(), at + 8) &&
                 crc32(buf.data(), buf.size()) == h.crc;
        }
        if (!ok) {
            if (torn != nullptr) {
                *torn = true;
            }
            zeb_logger_log(log_, 4, kModuleName,
                           "Dropping a torn or corrupt record in %s at offset %lld (%lld bytes)",
                           seg.path.c_str(), static_cast<long long>(at),
                           static_cast<long long>(file_size - at));
            if (repair && ::ftruncate(seg.fd.get(), at) != 0) {
                const int err = errno;
                zeb_logger_log(log_, 3, kModuleName, "Cannot cut %s: %s", seg.path.c_str(),
                               std::strerror(err));
                return -err;
            }
            break;
        }
        if (status != nullptr && h.seq > status->acked) {
            if (status->pending++ == 0) {
                status->oldest_pending = h.seq;
                status->oldest_pending_ms = h.time_ms;
            }
        }
        const std::string_view text(buf.data() + 16, h.length);
        if (text.substr(0, kMarkerPrefix.size()) == kMarkerPrefix) {
            markers_[h.seq] = std::strtoull(buf.data() + 16 + kMarkerPrefix.size(), nullptr, 10);
        }
        prev = h.seq;
        at += static_cast<std::int64_t>(kRecordHeader + h.length);
    }
    seg.size = at;
    seg.last = prev;
    return 0;
}

int ReportQueue::start_segment_locked() {
    Segment seg;
    seg.first = next_seq_;
    seg.last = next_seq_ - 1;
    char name[32];
    std::snprintf(name, sizeof name, "%020" PRIu64 ".seg", seg.first);
    seg.path = options_.dir + "/" + name;
    seg.fd.reset(::open(seg.path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
    if (!seg.fd) {
        const int err = errno;
        zeb_logger_log(log_, 3, kModuleName, "Cannot create %s: %s", seg.path.c_str(),
                       std::strerror(err));
        return -err;
    }
    if (options_.sync_ms == 0) {
        sync_dir(options_.dir);
    }
    if (!segments_.empty()) {
        // The segment before stays only to be read; its descriptor may be read-only from now.
        ::fdatasync(segments_.back().fd.get());
    }
    segments_.push_back(std::move(seg));
    return 0;
}

int ReportQueue::write_locked(std::string_view text, std::int64_t time_ms, std::uint64_t &seq) {
    const auto size = static_cast<std::int64_t>(kRecordHeader + text.size());
    if (segments_.back().size > 0 && segments_.back().size + size > segment_bytes_) {
        if (int rc = start_segment_locked(); rc != 0) {
            return rc;
        }
    }
    while (total_bytes_ + size > options_.max_bytes && segments_.size() > 1) {
        drop_oldest_locked();
    }
    Segment &seg = segments_.back();
    std::vector<char> rec(static_cast<std::size_t>(size));
    Header h{static_cast<std::uint32_t>(text.size()), 0, next_seq_, time_ms};
    std::memcpy(rec.data(), &h, sizeof h);
    std::memcpy(rec.data() + sizeof h, text.data(), text.size());
    h.crc = crc32(rec.data() + 8, rec.size() - 8);
    std::memcpy(rec.data() + 4, &h.crc, 4);
    if (int rc = write_full(seg.fd.get(), rec.data(), rec.size(), seg.size); rc != 0) {
        // Leave no half record behind: the next append writes at the same place.
        if (::ftruncate(seg.fd.get(), seg.size) != 0) {
            zeb_logger_log(log_, 3, kModuleName, "Cannot cut %s: %s", seg.path.c_str(),
                           std::strerror(errno));
        }
        return rc;
    }
    if (options_.sync_ms == 0) {
        ::fdatasync(seg.fd.get());
    } else {
        dirty_ = true;
    }
    seg.size += size;
    seg.last = next_seq_;
    total_bytes_ += size;
    seq = next_seq_++;
    return 0;
}

void ReportQueue::drop_oldest_locked() {
    Segment &seg = segments_.front();
    const std::uint64_t from = std::max({read_seq_, acked_ + 1, seg.first});
    std::uint64_t lost = seg.last >= from ? seg.last - from + 1 : 0;
    for (auto it = markers_.begin(); it != markers_.end() && it->first <= seg.last;) {
        if (it->first >= from) {
            lost += it->second;
        }
        it = markers_.erase(it);
    }
    dropped_ += lost;
    if (lost > 0) {
        zeb_logger_log(log_, 4, kModuleName,
                       "Report queue full: dropping %" PRIu64 " unsent reports (seq %" PRIu64
                       " to %" PRIu64 ")",
                       lost, from, seg.last);
    }
    if (read_segment_ == 0) {
        read_offset_ = 0;
        read_seq_ = std::max(read_seq_, seg.last + 1);
    } else {
        --read_segment_;
    }
    ::unlink(seg.path.c_str());
    total_bytes_ -= seg.size;
    segments_.pop_front();
}

int ReportQueue::append(std::string_view text, std::int64_t time_ms, std::uint64_t *seq_out) {
    if (text.size() > kMaxRecordText) {
        return -1;
    }
    std::lock_guard<std::mutex> hold(lock_);
    // One attempt per way out of a full disk: drop the oldest segment, or begin a new one so
    // that the old one can go.
    auto write_with_room = [&](std::string_view t, std::uint64_t &seq) {
        int rc = 0;
        for (int attempt = 0; attempt < 64; ++attempt) {
            rc = write_locked(t, time_ms, seq);
            if (rc != -ENOSPC && rc != -EDQUOT && rc != -EFBIG) {
                return rc;
            }
            if (segments_.size() > 1) {
                drop_oldest_locked();
            } else if (segments_.back().size > 0) {
                if (start_segment_locked() != 0) {
                    return rc;
                }
            } else {
                return rc;
            }
        }
        return rc;
    };
    std::uint64_t seq = 0;
    if (dropped_ > 0) {
        const std::uint64_t was = dropped_;
        const std::string marker = std::string(kMarkerPrefix) + std::to_string(was) + "}";
        if (write_with_room(marker, seq) == 0) {
            // Drops made to fit the marker itself wait for the next one.
            dropped_ -= was;
            markers_[seq] = was;
        }
    }
    const int rc = write_with_room(text, seq);
    if (rc != 0) {
        // The report takes its number all the same, so that the gap shows.
        ++dropped_;
        ++next_seq_;
        if (!full_warned_) {
            zeb_logger_log(log_, 3, kModuleName, "Cannot queue a report in %s: %s",
                           options_.dir.c_str(), std::strerror(-rc));
            full_warned_ = true;
        }
        return -1;
    }
    full_warned_ = false;
    if (seq_out != nullptr) {
        *seq_out = seq;
    }
    return 0;
}

int ReportQueue::next(QueueRecord &out) {
    std::lock_guard<std::mutex> hold(lock_);
    for (;;) {
        if (read_segment_ >= segments_.size()) {
            return 1;
        }
        const Segment &seg = segments_[read_segment_];
        if (read_offset_ >= seg.size) {
            if (read_segment_ + 1 >= segments_.size()) {
                return 1;
            }
            ++read_segment_;
            read_offset_ = 0;
            continue;
        }
        Header h{};
        if (!read_full(seg.fd.get(), &h, sizeof h, read_offset_)) {
            return 1;
        }
        out.text.resize(h.length);
        if (!read_full(seg.fd.get(), out.text.data(), h.length,
                       read_offset_ + static_cast<std::int64_t>(kRecordHeader))) {
            return 1;
        }
        read_offset_ += static_cast<std::int64_t>(kRecordHeader + h.length);
        if (h.seq < read_seq_) {
            continue;  // acknowledged before a restart, or handed out already
        }
        read_seq_ = h.seq + 1;
        out.seq = h.seq;
        out.time_ms = h.time_ms;
        return 0;
    }
}

void ReportQueue::acknowledge(std::uint64_t seq) {
    std::lock_guard<std::mutex> hold(lock_);
    acked_ = std::max(acked_, seq);
}

int ReportQueue::write_acked_locked() {
    const std::string tmp = options_.dir + "/acked.tmp";
    const std::string path = options_.dir + "/acked";
    zeb::UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
    if (!fd) {
        return -errno;
    }
    const std::string text = std::to_string(acked_) + "\n";
    int rc = write_full(fd.get(), text.data(), text.size(), 0);
    if (rc == 0 && ::fsync(fd.get()) != 0) {
        rc = -errno;
    }
    if (rc == 0) {
        rc = fd.close_checked();
    }
    if (rc == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) {
        rc = -errno;
    }
    if (rc != 0) {
        ::unlink(tmp.c_str());
        return rc;
    }
    sync_dir(options_.dir);
    acked_written_ = acked_;
    return 0;
}

void ReportQueue::flush(bool force) {
    std::lock_guard<std::mutex> hold(lock_);
    const std::int64_t now = monotonic_ms();
    if (dirty_ && (force || now - last_sync_ms_ >= options_.sync_ms)) {
        ::fdatasync(segments_.back().fd.get());
        dirty_ = false;
        last_sync_ms_ = now;
    }
    if (acked_ == acked_written_ || (!force && now - last_ack_ms_ < kAckPeriodMs)) {
        return;
    }
    last_ack_ms_ = now;
    if (const int rc = write_acked_locked(); rc != 0) {
        zeb_logger_log(log_, 4, kModuleName, "Cannot write %s/acked: %s", options_.dir.c_str(),
                       std::strerror(-rc));
        return;
    }
    // Segments wholly acknowledged go, never the one being written nor the one being read.
    while (segments_.size() > 1 && read_segment_ > 0 && segments_.front().last <= acked_written_) {
        markers_.erase(markers_.begin(), markers_.upper_bound(segments_.front().last));
        ::unlink(segments_.front().path.c_str());
        total_bytes_ -= segments_.front().size;
        segments_.pop_front();
        --read_segment_;
    }
}

std::uint64_t ReportQueue::acked() const {
    std::lock_guard<std::mutex> hold(lock_);
    return acked_;
}

std::uint64_t ReportQueue::next_seq() const {
    std::lock_guard<std::mutex> hold(lock_);
    return next_seq_;
}

std::int64_t ReportQueue::bytes() const {
    std::lock_guard<std::mutex> hold(lock_);
    return total_bytes_;
}

}  // namespace kor_fleet
