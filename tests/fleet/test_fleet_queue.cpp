// The fleet agent's durable queue on its own: what a restart finds after a torn write, the
// acknowledged mark and the sequence numbers across restarts, and the bound.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kor_fleet_queue.hpp"
#include "log_capture.hpp"

namespace {

namespace fs = std::filesystem;
using kor_fleet::QueueRecord;
using kor_fleet::ReportQueue;

zeb_logger_t *logger() {
    static zeb_logger_t *log = [] {
        zeb_logger_t *l = nullptr;
        zeb_logger_open(&l);
        return l;
    }();
    return log;
}

std::unique_ptr<ReportQueue> open_queue(const std::string &dir, std::int64_t max_bytes = 1 << 20) {
    std::unique_ptr<ReportQueue> q;
    EXPECT_EQ(ReportQueue::open({dir, max_bytes, 0}, logger(), q), 0);
    return q;
}

std::vector<QueueRecord> drain(ReportQueue &q) {
    std::vector<QueueRecord> out;
    QueueRecord r;
    while (q.next(r) == 0) {
        out.push_back(r);
    }
    return out;
}

fs::path only_segment(const std::string &dir) {
    std::vector<fs::path> segs;
    for (const auto &e : fs::directory_iterator(dir)) {
        if (e.path().extension() == ".seg") {
            segs.push_back(e.path());
        }
    }
    EXPECT_EQ(segs.size(), 1u);
    return segs.empty() ? fs::path() : segs.front();
}

// A write cut by a crash or a power cut, at the end of the last segment.
struct Tear {
    const char *name;
    void (*damage)(const fs::path &seg);
    std::uint64_t intact;  // records that must survive
};

void append_bytes(const fs::path &p, const std::string &bytes) {
    std::ofstream(p, std::ios::binary | std::ios::app) << bytes;
}

const Tear kTears[] = {
    {"half a header", [](const fs::path &p) { append_bytes(p, std::string(10, '\x07')); }, 3},
    {"header without its text",
     [](const fs::path &p) {
         // A header that promises 100 bytes, then 5 of them.
         std::string h(kor_fleet::kRecordHeader, '\0');
         h[0] = 100;
         append_bytes(p, h + "{\"t\":");
     },
     3},
    {"flipped byte in the last text",
     [](const fs::path &p) {
         std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
         f.seekp(-3, std::ios::end);
         f.put('X');
     },
     2},
    {"zeros after a power cut", [](const fs::path &p) { append_bytes(p, std::string(100, '\0')); },
     3},
};

TEST(FleetQueue, TornTailIsDroppedNeverReturned) {
    for (const Tear &tear : kTears) {
        SCOPED_TRACE(tear.name);
        kor_test::ScratchDir dir;
        {
            auto q = open_queue(dir.path());
            for (int i = 1; i <= 3; ++i) {
                ASSERT_EQ(q->append("{\"t\": \"r" + std::to_string(i) + "\"}", 1000 + i), 0);
            }
        }
        const fs::path seg = only_segment(dir.path());
        const auto clean_size = fs::file_size(seg);
        tear.damage(seg);

        kor_test::LogCapture log;
        auto q = open_queue(dir.path());
        const auto got = drain(*q);
        ASSERT_EQ(got.size(), tear.intact);
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].seq, i + 1);
            EXPECT_EQ(got[i].text, "{\"t\": \"r" + std::to_string(i + 1) + "\"}");
            EXPECT_EQ(got[i].time_ms, static_cast<std::int64_t>(1001 + i));
        }
        EXPECT_EQ(log.count_containing("Dropping a torn or corrupt record"), 1) << log.dump();
        EXPECT_LE(fs::file_size(seg), clean_size);
        // The next report takes the number after the last intact one and reads back whole.
        std::uint64_t seq = 0;
        ASSERT_EQ(q->append("{\"t\": \"after\"}", 5000, &seq), 0);
        EXPECT_EQ(seq, tear.intact + 1);
        q.reset();
        auto again = open_queue(dir.path());
        const auto all = drain(*again);
        ASSERT_EQ(all.size(), tear.intact + 1);
        EXPECT_EQ(all.back().text, "{\"t\": \"after\"}");
    }
}

TEST(FleetQueue, AcknowledgedStayGoneAndNumbersGoOnAcrossRestarts) {
    kor_test::ScratchDir dir;
    {
        auto q = open_queue(dir.path());
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(q->append("{\"t\": \"x\"}", i), 0);
        }
        ASSERT_EQ(drain(*q).size(), 5u);
        q->acknowledge(3);
        q->flush(true);
    }
    {
        auto q = open_queue(dir.path());
        const auto got = drain(*q);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].seq, 4u);
        EXPECT_EQ(q->next_seq(), 6u);
        q->acknowledge(5);
        q->flush(true);
    }
    // All acknowledged: nothing to send, and the numbers still go on.
    auto q = open_queue(dir.path());
    EXPECT_TRUE(drain(*q).empty());
    std::uint64_t seq = 0;
    ASSERT_EQ(q->append("{\"t\": \"x\"}", 9, &seq), 0);
    EXPECT_EQ(seq, 6u);
}

TEST(FleetQueue, FullQueueDropsTheOldestAndSaysHowMany) {
    kor_test::ScratchDir dir;
    kor_test::LogCapture log;
    constexpr std::int64_t kMax = 65536;
    auto q = open_queue(dir.path(), kMax);
    const std::string report = "{\"t\": \"fault\", \"pad\": \"" + std::string(1000, 'p') + "\"}";
    constexpr int kReports = 300;  // about five times the bound
    for (int i = 0; i < kReports; ++i) {
        ASSERT_EQ(q->append(report, i), 0);
        ASSERT_LE(q->bytes(), kMax);
    }
    const auto got = drain(*q);
    ASSERT_FALSE(got.empty());
    // Every number up to the last is either read back or counted by a fleet_dropped report.
    std::uint64_t counted = 0;
    std::uint64_t markers = 0;
    for (const auto &r : got) {
        const auto at = r.text.find("\"fleet_dropped\", \"count\": ");
        if (at != std::string::npos) {
            counted += std::stoull(r.text.substr(at + 26));
            ++markers;
        }
    }
    EXPECT_GT(markers, 0u);
    EXPECT_EQ(got.size() + counted, got.back().seq);
    EXPECT_EQ(got.back().text, report);
}

}  // namespace
