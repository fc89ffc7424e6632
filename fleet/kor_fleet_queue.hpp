// The durable report queue: every report is appended here before anything else happens to it,
// and leaves only once the broker acknowledged it.
//
// On disk: segment files "<first seq, 20 digits>.seg" under queue_dir, each a run of records
//   u32 text length | u32 CRC-32 of the rest | u64 seq | i64 arrival time, ms since the epoch |
//   text
// in host byte order, and the file "acked" holding the highest sequence number below which
// everything was acknowledged (rewritten atomically). Appends go straight to the kernel (a
// crash or SIGKILL of the agent loses nothing written); data is flushed to the storage every
// sync period, or after every record when the period is 0. Opening scans the segments: a torn
// or corrupt record ends its segment there (and is cut off the last one), so it is never sent.
//
// Bounded: when a record would take the segments beyond max_bytes, the oldest segments go and
// one {"t": "fleet_dropped", "count": N} record, N the sequence numbers lost unsent, is queued
// ahead of the next report; the counts of all fleet_dropped records that arrive add up to the
// sequence numbers missing. A full disk is met the same way; a report that finds no room at all
// is counted into that record.
//
// Threads: append from the bus thread, next/acknowledge/flush from the agent's loop; one mutex.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "zeb_logger.h"
#include "zeb_unique_fd.hpp"

namespace kor_fleet {

struct QueueRecord {
    std::uint64_t seq = 0;
    std::int64_t time_ms = 0;
    std::string text;
};

struct QueueOptions {
    std::string dir;
    std::int64_t max_bytes = 16 * 1024 * 1024;
    int sync_ms = 200;
};

inline constexpr std::size_t kRecordHeader = 24;
inline constexpr std::size_t kMaxRecordText = 65536;

std::uint32_t crc32(const void *data, std::size_t size, std::uint32_t crc = 0);

// What a queue folder holds, read without changing anything (the agent may be running).
struct QueueStatus {
    std::uint64_t acked = 0;     // the acknowledged mark
    std::uint64_t next_seq = 1;  // the number the next report gets
    std::uint64_t pending = 0;   // records above the mark, waiting for the broker
    std::uint64_t oldest_pending = 0;
    std::int64_t oldest_pending_ms = 0;  // its arrival time
    std::uint64_t segments = 0;
    std::int64_t bytes = 0;
    std::uint64_t torn = 0;  // segments that end in a torn or corrupt record
};

class ReportQueue {
  public:
    // Reads the folder's state; 0, or a negative errno when it cannot be read.
    static int inspect(const std::string &dir, QueueStatus &out);

    // Creates the folder when missing, checks that it is writable, reads "acked" and scans the
    // segments. 0, or a negative errno (logged once with the folder's name).
    static int open(const QueueOptions &options, zeb_logger_t *log,
                    std::unique_ptr<ReportQueue> &out);
    ~ReportQueue();
    ReportQueue(const ReportQueue &) = delete;
    ReportQueue &operator=(const ReportQueue &) = delete;

    // Appends one report arriving at time_ms; its sequence number into *seq. 0, or -1 when it
    // found no room (it is then counted as dropped).
    int append(std::string_view text, std::int64_t time_ms, std::uint64_t *seq = nullptr);
    // The next record after the last one handed out: 0 with *out, 1 when none waits.
    int next(QueueRecord &out);
    // Everything up to and including seq is acknowledged.
    void acknowledge(std::uint64_t seq);
    // Flushes appended data and, when changed, the acknowledged number, then removes segments
    // that hold nothing unacknowledged. Call it every sync period; force ignores the period.
    void flush(bool force = false);

    std::uint64_t acked() const;
    // The sequence number the next report gets.
    std::uint64_t next_seq() const;
    // Bytes of the segment files on disk.
    std::int64_t bytes() const;
    int sync_ms() const { return options_.sync_ms; }

  private:
    struct Segment {
        std::uint64_t first = 0;  // from the name: the first seq it may hold
        std::uint64_t last = 0;   // the last seq in it, first - 1 when empty
        std::int64_t size = 0;    // valid bytes
        zeb::UniqueFd fd;
        std::string path;
    };

    ReportQueue(QueueOptions options, zeb_logger_t *log);
    int load();
    // Reads a segment's records up to the first torn one; repair cuts that off the file.
    int scan(Segment &seg, bool repair, bool *torn = nullptr, QueueStatus *status = nullptr);
    int read_acked();
    std::vector<std::uint64_t> list_segments() const;
    int start_segment_locked();
    int write_locked(std::string_view text, std::int64_t time_ms, std::uint64_t &seq);
    void drop_oldest_locked();
    int write_acked_locked();

    const QueueOptions options_;
    zeb_logger_t *log_;
    std::int64_t segment_bytes_;

    mutable std::mutex lock_;
    std::deque<Segment> segments_;
    std::int64_t total_bytes_ = 0;
    std::uint64_t next_seq_ = 1;
    std::uint64_t acked_ = 0;
    std::uint64_t acked_written_ = 0;
    // Read cursor: the next seq to hand out, and where it lies.
    std::uint64_t read_seq_ = 1;
    std::size_t read_segment_ = 0;  // index into segments_
    std::int64_t read_offset_ = 0;
    std::uint64_t dropped_ = 0;  // sequence numbers lost unsent, not yet reported
    // The fleet_dropped records still queued and their counts: one that goes unsent hands its
    // count on to the next, so the counts always add up to the numbers missing.
    std::map<std::uint64_t, std::uint64_t> markers_;
    bool dirty_ = false;  // appended data not yet flushed
    bool full_warned_ = false;
    std::int64_t last_sync_ms_ = 0;
    std::int64_t last_ack_ms_ = 0;
};

}  // namespace kor_fleet
