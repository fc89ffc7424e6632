// The statistics store on simulated clocks: trackers and period averages across updates and
// restarts, the file they leave, and what happens to a file that cannot be read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.hpp"
#include "zeb_stat.h"
#include "zeb_stat.hpp"

namespace {

constexpr int64_t kSecond = 1'000'000'000;
std::atomic<int64_t> fake_mono_ns{0};
std::atomic<int64_t> fake_wall_s{0};

int64_t mono() {
    return fake_mono_ns.load();
}
int64_t wall() {
    return fake_wall_s.load();
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The name part of a file set aside at that wall-clock second.
std::string utc_stamp(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

bool exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

class StatStore : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_mono_ns = 1000 * kSecond;
        fake_wall_s = 1'800'000'000;
        zeb::stat::set_clocks_for_tests(mono, wall);
        path_ = dir_.file("sys_stat");
    }
    void TearDown() override {
        if (sut_ != nullptr) {
            zeb_stat_close(sut_);
        }
        zeb::stat::set_clocks_for_tests(nullptr, nullptr);
    }
    void open() { ASSERT_EQ(0, zeb_stat_open(path_.c_str(), &sut_)); }
    void reopen() {
        ASSERT_EQ(0, zeb_stat_close(sut_));
        sut_ = nullptr;
        open();
    }
    int32_t field(const char *name) {
        int32_t v = -1;
        EXPECT_EQ(0, zeb_stat_get_field(sut_, name, &v)) << name;
        return v;
    }
    static void advance_ms(int64_t ms) { fake_mono_ns += ms * 1'000'000; }

    kor_test::ScratchDir dir_;
    std::string path_;
    zeb_stat_t *sut_ = nullptr;
};

}  // namespace

TEST_F(StatStore, TrackerCountsRunningStretchesAndStops) {
    open();
    ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "oven_powered_timer"));
    EXPECT_EQ(0, field("oven_powered_timer"));
    advance_ms(10'000);
    EXPECT_EQ(10, field("oven_powered_timer")) << "a running stretch counts before any update";
    EXPECT_EQ(0, zeb_stat_runtime_update(sut_, "oven_powered_timer", 0));
    ASSERT_EQ(0, zeb_stat_flush(sut_));
    EXPECT_NE(std::string::npos, read_text(path_).find("oven_powered_timer = 10\n"));
    advance_ms(5'000);
    EXPECT_EQ(0, zeb_stat_runtime_update(sut_, "oven_powered_timer", 1));
    EXPECT_EQ(15, field("oven_powered_timer"));
    advance_ms(100'000);
    EXPECT_EQ(15, field("oven_powered_timer")) << "a stopped tracker stands still";
    EXPECT_EQ(0, zeb_stat_runtime_update(sut_, "oven_powered_timer", 0));
    EXPECT_EQ(15, field("oven_powered_timer"));

    ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "oven_powered_timer"));
    advance_ms(3'000);
    EXPECT_EQ(18, field("oven_powered_timer"));
    // A second start while running keeps what already ran.
    ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "oven_powered_timer"));
    advance_ms(2'000);
    EXPECT_EQ(20, field("oven_powered_timer"));
}

TEST_F(StatStore, FrequentUpdatesKeepTheFractionsOfASecond) {
    open();
    ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "energy_mode_timer"));
    for (int i = 0; i < 20; ++i) {  // the control loop's pace: about twice a second
        advance_ms(510);
        ASSERT_EQ(0, zeb_stat_runtime_update(sut_, "energy_mode_timer", 0));
    }
    EXPECT_EQ(10, field("energy_mode_timer"));  // 10.2 s
    ASSERT_EQ(0, zeb_stat_flush(sut_));
    EXPECT_NE(std::string::npos, read_text(path_).find("energy_mode_timer = 10\n"));
}

TEST_F(StatStore, TrackersSurviveReopenAndCloseKeepsTheRunningStretch) {
    open();
    ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "oven_powered_timer"));
    ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "energy_mode_timer"));
    advance_ms(4'000);
    ASSERT_EQ(0, zeb_stat_runtime_update(sut_, "energy_mode_timer", 1));
    advance_ms(3'000);
    reopen();  // close adds the 7 s of the still running powered tracker
    EXPECT_EQ(7, field("oven_powered_timer"));
    EXPECT_EQ(4, field("energy_mode_timer"));
    advance_ms(50'000);
    EXPECT_EQ(7, field("oven_powered_timer")) << "nothing runs until started again";
    EXPECT_EQ(0, zeb_stat_runtime_update(sut_, "oven_powered_timer", 1));
    ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "oven_powered_timer"));
    advance_ms(2'000);
    EXPECT_EQ(0, zeb_stat_runtime_update(sut_, "oven_powered_timer", 0));
    EXPECT_EQ(9, field("oven_powered_timer"));
}

TEST_F(StatStore, PeriodAverageSurvivesRestartAndStartsAgainAfterThePeriod) {
    open();
    EXPECT_EQ(0, zeb_stat_average_period(sut_, "set_temp", 450, 600));
    fake_wall_s += 100;
    EXPECT_EQ(0, zeb_stat_average_period(sut_, "set_temp", 500, 600));
    EXPECT_EQ(0, zeb_stat_average_period(sut_, "set_temp", 551, 600));
    EXPECT_EQ(500, field("set_temp"));  // 1501 / 3, rounded
    reopen();
    EXPECT_EQ(500, field("set_temp"));
    fake_wall_s += 499;  // 599 s into the period: still inside
    EXPECT_EQ(0, zeb_stat_average_period(sut_, "set_temp", 299, 600));
    EXPECT_EQ(450, field("set_temp"));  // 1800 / 4
    fake_wall_s += 1;                   // 600 s: a new period begins with this value
    EXPECT_EQ(0, zeb_stat_average_period(sut_, "set_temp", 100, 600));
    EXPECT_EQ(100, field("set_temp"));
    fake_wall_s -= 3600;  // clock set back: the period starts again rather than stretching
    EXPECT_EQ(0, zeb_stat_average_period(sut_, "set_temp", 200, 600));
    EXPECT_EQ(200, field("set_temp"));
    fake_wall_s += 10;
    EXPECT_EQ(0, zeb_stat_average_period(sut_, "set_temp", 4'000'000'000u, 600));
    EXPECT_EQ(2'000'000'100LL, field("set_temp")) << "large values do not overflow the sum";

    EXPECT_EQ(0, zeb_stat_average_period(sut_, "blower_1_set_speed", 80, 600));
    EXPECT_EQ(80, field("blower_1_set_speed"));
    EXPECT_EQ(-EINVAL, zeb_stat_average_period(sut_, "belt_1_set_time", 80, 0));
    EXPECT_EQ(-EINVAL, zeb_stat_average_period(sut_, "belt_1_set_time", 80, -600));
}

TEST_F(StatStore, NamesAreOneKindAndMustBePlainKeys) {
    open();
    int32_t v = 0;
    EXPECT_EQ(-ENOENT, zeb_stat_get_field(sut_, "never_written", &v));
    EXPECT_EQ(-ENOENT, zeb_stat_runtime_update(sut_, "never_started", 0));
    ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "tracker"));
    ASSERT_EQ(0, zeb_stat_average_period(sut_, "average", 5, 600));
    EXPECT_EQ(-EINVAL, zeb_stat_average_period(sut_, "tracker", 5, 600));
    EXPECT_EQ(-EINVAL, zeb_stat_runtime_start(sut_, "average"));
    EXPECT_EQ(-EINVAL, zeb_stat_runtime_update(sut_, "average", 1));
    for (const char *bad : {"", "a.b", "a=b", "two words", "#x", "line\nbreak"}) {
        EXPECT_EQ(-EINVAL, zeb_stat_runtime_start(sut_, bad)) << bad;
        EXPECT_EQ(-EINVAL, zeb_stat_average_period(sut_, bad, 1, 600)) << bad;
    }
    EXPECT_EQ(-EINVAL, zeb_stat_runtime_start(sut_, nullptr));
    EXPECT_EQ(-EINVAL, zeb_stat_get_field(sut_, "tracker", nullptr));
    EXPECT_EQ(-EINVAL, zeb_stat_get_field(nullptr, "tracker", &v));
    EXPECT_EQ(-EINVAL, zeb_stat_close(nullptr));
    zeb_stat_t *h = nullptr;
    EXPECT_EQ(-EINVAL, zeb_stat_open(nullptr, &h));
    EXPECT_EQ(-EINVAL, zeb_stat_open(path_.c_str(), nullptr));
}

TEST_F(StatStore, MissingFileIsCreatedAndCommentsAreKept) {
    zeb_stat_t *h = nullptr;
    ASSERT_EQ(0, zeb_stat_open(dir_.file("no_dir/sys_stat").c_str(), &h))
        << "statistics go on in memory without their folder";
    EXPECT_EQ(-ENOENT, zeb_stat_write_status(h));
    EXPECT_EQ(-ENOENT, zeb_stat_close(h));
    open();
    EXPECT_TRUE(exists(path_));
    EXPECT_EQ("", read_text(path_));
    ASSERT_EQ(0, zeb_stat_close(sut_));
    sut_ = nullptr;

    write_text(path_, "# statistics of oven 7\n\nold_timer = 3600\n");
    open();
    EXPECT_EQ(3600, field("old_timer"));
    ASSERT_EQ(0, zeb_stat_average_period(sut_, "set_temp", 400, 600));
    ASSERT_EQ(0, zeb_stat_flush(sut_));
    const std::string text = read_text(path_);
    EXPECT_EQ(0u, text.rfind("# statistics of oven 7\n\nold_timer = 3600\nset_temp = 400\n", 0))
        << text;
}

TEST_F(StatStore, UnparsableFileIsSetAsideAndCountingStartsFromZero) {
    const std::vector<std::string> broken = {
        "oven_powered_timer = 120\nthis is not a statistic\n",
        "oven_powered_timer = 12abc\n",
        "oven_powered_timer = -5\n",
        "oven_powered_timer =\n",
        " = 5\n",
    };
    for (const auto &text : broken) {
        kor_test::LogCapture log;
        write_text(path_, text);
        fake_wall_s += 1;
        const std::string aside = path_ + ".corrupt." + utc_stamp(fake_wall_s);
        open();
        EXPECT_EQ(text, read_text(aside)) << "the bad file is kept for a look";
        EXPECT_EQ("", read_text(path_));
        int32_t v = 0;
        EXPECT_EQ(-ENOENT, zeb_stat_get_field(sut_, "oven_powered_timer", &v)) << text;
        ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "oven_powered_timer"));
        advance_ms(2'000);
        EXPECT_EQ(2, field("oven_powered_timer"));
        auto lines = log.lines();
        ASSERT_EQ(1u, lines.size()) << log.dump();
        EXPECT_EQ(4, lines[0].level);
        EXPECT_EQ("zeb_stat", lines[0].module);
        EXPECT_EQ("Statistics file " + path_ + " cannot be parsed, moved to " + aside +
                      "; statistics start from zero",
                  lines[0].message);
        ASSERT_EQ(0, zeb_stat_close(sut_));
        sut_ = nullptr;
    }
}

TEST_F(StatStore, WriteFailuresKeepTheStatisticsInMemoryUntilAWriteSucceeds) {
    open();
    kor_test::LogCapture log;
    {
        // A file that may not grow makes the write fail even for root.
        kor_test::FileSizeLimit no_growth(0);
        EXPECT_EQ(0, zeb_stat_runtime_start(sut_, "oven_powered_timer"));
        EXPECT_EQ(0, zeb_stat_average_period(sut_, "set_temp", 1, 600));
        advance_ms(1'000);
        EXPECT_EQ(0, zeb_stat_runtime_update(sut_, "oven_powered_timer", 0));
        EXPECT_EQ(-EFBIG, zeb_stat_flush(sut_));
        EXPECT_EQ(-EFBIG, zeb_stat_write_status(sut_));
    }
    EXPECT_EQ("", read_text(path_));
    EXPECT_EQ(1, field("oven_powered_timer")) << "counted in memory";
    EXPECT_EQ(1, log.count("Cannot write statistics file " + path_ +
                           ": File too large. Err: -27; statistics are kept in memory until it "
                           "can be written"))
        << "logged once: " << log.dump();
    EXPECT_EQ(0, zeb_stat_runtime_update(sut_, "oven_powered_timer", 0))
        << "the next update writes again, even without a new second";
    EXPECT_EQ(0, zeb_stat_flush(sut_));
    EXPECT_EQ(1, log.count("Statistics file " + path_ + " written again")) << log.dump();
    EXPECT_EQ(2u, log.lines().size()) << log.dump();
    reopen();
    EXPECT_EQ(1, field("oven_powered_timer")) << "the next write carries what failed before";
    EXPECT_EQ(1, field("set_temp"));
}

TEST_F(StatStore, ConcurrentUsersOfOneHandle) {
    open();
    ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "oven_powered_timer"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            std::string name = "blower_" + std::to_string(t + 1) + "_set_speed";
            for (int i = 0; i < 20; ++i) {
                EXPECT_EQ(0, zeb_stat_average_period(sut_, name.c_str(), 10u * (t + 1), 600));
                EXPECT_EQ(0, zeb_stat_runtime_update(sut_, "oven_powered_timer", 0));
                int32_t v = 0;
                EXPECT_EQ(0, zeb_stat_get_field(sut_, "oven_powered_timer", &v));
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    reopen();
    EXPECT_EQ(10, field("blower_1_set_speed"));
    EXPECT_EQ(20, field("blower_2_set_speed"));
    EXPECT_EQ(30, field("blower_3_set_speed"));
}

// A disk that stalls, as a worn flash card does for seconds: the first write is held until the
// test lets it go (or a minute passes, which fails the test).
struct StalledDisk {
    std::mutex lock;
    std::condition_variable changed;
    bool released = false;
    bool gave_up = false;
    int writes = 0;

    static StalledDisk &the() {
        static StalledDisk disk;
        return disk;
    }
    static int write(const std::string &path, std::string_view content) {
        StalledDisk &d = the();
        std::unique_lock<std::mutex> lk(d.lock);
        if (++d.writes == 1) {
            d.changed.notify_all();
            d.gave_up =
                !d.changed.wait_for(lk, std::chrono::seconds(60), [&] { return d.released; });
        }
        lk.unlock();
        write_text(path, std::string(content));
        return 0;
    }
};

TEST_F(StatStore, NoCallWaitsForAStalledDiskAndTheFileCatchesUpInOneWrite) {
    open();
    StalledDisk &disk = StalledDisk::the();
    zeb::stat::set_writer_for_tests(StalledDisk::write);
    ASSERT_EQ(0, zeb_stat_runtime_start(sut_, "oven_powered_timer"));
    {
        std::unique_lock<std::mutex> lk(disk.lock);
        ASSERT_TRUE(
            disk.changed.wait_for(lk, std::chrono::seconds(30), [&] { return disk.writes == 1; }));
    }
    // The control loop's calls while the first write hangs: none of them may wait for it.
    for (uint32_t temp : {500u, 510u, 520u}) {
        EXPECT_EQ(0, zeb_stat_average_period(sut_, "set_temp", temp, 600));
        advance_ms(1'000);
        EXPECT_EQ(0, zeb_stat_runtime_update(sut_, "oven_powered_timer", 0));
    }
    EXPECT_EQ(3, field("oven_powered_timer"));
    EXPECT_EQ(0, zeb_stat_write_status(sut_));
    {
        std::lock_guard<std::mutex> lk(disk.lock);
        EXPECT_FALSE(disk.gave_up) << "a call waited for the disk";
        EXPECT_EQ(1, disk.writes);
        disk.released = true;
        disk.changed.notify_all();
    }
    EXPECT_EQ(0, zeb_stat_flush(sut_));
    zeb::stat::set_writer_for_tests(nullptr);
    EXPECT_EQ(2, disk.writes) << "the changes made meanwhile go in one write";
    const std::string text = read_text(path_);
    EXPECT_NE(std::string::npos, text.find("oven_powered_timer = 3\n")) << text;
    EXPECT_NE(std::string::npos, text.find("set_temp = 510\n")) << text;
}

// Without the simulated clocks: the system's monotonic clock drives a tracker.
TEST(StatStoreRealClock, TrackerFollowsTheMonotonicClock) {
    kor_test::ScratchDir dir;
    zeb_stat_t *sut = nullptr;
    ASSERT_EQ(0, zeb_stat_open(dir.file("sys_stat").c_str(), &sut));
    ASSERT_EQ(0, zeb_stat_runtime_start(sut, "t"));
    int32_t v = -1;
    EXPECT_TRUE(
        kor_test::wait_until([&] { return zeb_stat_get_field(sut, "t", &v) == 0 && v >= 1; },
                             std::chrono::milliseconds(3000)));
    EXPECT_EQ(1, v);
    EXPECT_EQ(0, zeb_stat_close(sut));
}
