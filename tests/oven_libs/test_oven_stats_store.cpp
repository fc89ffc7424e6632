// Statistics library on the real statistics store, with the store's clocks replaced so hours
// pass in microseconds: trackers and averages survive a restart, belt run times accumulate
// across speed changes, and a corrupt sys_stat does not stop start-up.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kor_oven_stats.h"
#include "log_capture.hpp"
#include "zeb_stat.hpp"

namespace {

using kor_test::LogCapture;
using kor_test::ScratchDir;

constexpr int64_t kSecond = 1'000'000'000;
std::atomic<int64_t> mono_ns{1000 * kSecond};
std::atomic<int64_t> wall_s{1'800'000'000};

int64_t fake_mono() {
    return mono_ns.load();
}
int64_t fake_wall() {
    return wall_s.load();
}

void advance(int64_t seconds) {
    mono_ns += seconds * kSecond;
    wall_s += seconds;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class OvenStatsStore : public ::testing::Test {
  protected:
    void SetUp() override { zeb::stat::set_clocks_for_tests(fake_mono, fake_wall); }
    void TearDown() override {
        kor_close_stats();
        zeb::stat::set_clocks_for_tests(nullptr, nullptr);
    }
    void restart() {
        ASSERT_EQ(kor_close_stats(), 0);
        ASSERT_EQ(kor_init_stats(dir_.path().c_str()), 0);
    }
    int32_t powered() {
        int32_t v = -1;
        EXPECT_EQ(kor_stats_get_powered_on(&v), 0);
        return v;
    }
    int32_t cook() {
        int32_t v = -1;
        EXPECT_EQ(kor_stats_get_cook_time(&v), 0);
        return v;
    }
    int32_t belt(int32_t n) {
        int32_t v = -1;
        EXPECT_EQ(kor_stats_get_belt_run_time(n, &v), 0);
        return v;
    }

    ScratchDir dir_;
    LogCapture log_;
};

TEST_F(OvenStatsStore, TrackersAccumulateAndSurviveARestart) {
    ASSERT_EQ(kor_init_stats(dir_.path().c_str()), 0);
    EXPECT_TRUE(std::filesystem::exists(dir_.file("sys_stat")));
    // Both trackers run from start-up; leaving energy mode turns the difference into cook time.
    advance(100);
    kor_stats_in_energy_mode(0);
    advance(50);
    EXPECT_EQ(powered(), 150);
    EXPECT_EQ(cook(), 50);
    EXPECT_EQ(kor_stats_update_time_trackers(), 0);

    restart();
    EXPECT_EQ(powered(), 150);
    advance(30);
    kor_stats_powered_on(0);
    kor_stats_in_energy_mode(0);
    advance(1000);  // switched off: nothing counts
    EXPECT_EQ(powered(), 180);
    EXPECT_EQ(cook(), 180 - 130);
}

TEST_F(OvenStatsStore, BeltRunTimeCountsWhileTheBeltMoves) {
    ASSERT_EQ(kor_init_stats(dir_.path().c_str()), 0);
    EXPECT_EQ(belt(1), 0);
    EXPECT_EQ(belt(2), 0);  // never ran: still readable
    EXPECT_EQ(kor_stats_set_belt_run_time(2, 0), 0);

    EXPECT_EQ(kor_stats_set_belt_run_time(1, 362), 0);
    advance(40);
    EXPECT_EQ(kor_stats_set_belt_run_time(1, 400), 0);
    advance(20);
    EXPECT_EQ(belt(1), 60);
    EXPECT_EQ(kor_stats_set_belt_run_time(1, 0), 0);
    advance(500);
    EXPECT_EQ(belt(1), 60);

    EXPECT_EQ(kor_stats_set_belt_run_time(1, 100), 0);
    advance(15);
    kor_stats_update_time_trackers();
    restart();  // the close counts the running stretch too
    EXPECT_EQ(belt(1), 75);
    EXPECT_EQ(belt(2), 0);
}

TEST_F(OvenStatsStore, AveragesSurviveARestartWithinTheirPeriod) {
    ASSERT_EQ(kor_init_stats(dir_.path().c_str()), 0);
    EXPECT_EQ(kor_stats_set_temp(500), 0);
    EXPECT_EQ(kor_stats_set_temp(520), 0);
    EXPECT_EQ(kor_stats_set_belt_time(2, 300), 0);
    restart();  // the close writes what is left: the file is read as the next start reads it
    EXPECT_NE(read_file(dir_.file("sys_stat")).find("set_temp = 510"), std::string::npos);
    advance(60);
    EXPECT_EQ(kor_stats_set_temp(540), 0);
    restart();
    std::string text = read_file(dir_.file("sys_stat"));
    EXPECT_NE(text.find("set_temp = 520"), std::string::npos) << text;
    EXPECT_NE(text.find("belt_2_set_time = 300"), std::string::npos) << text;

    advance(KOR_STATS_AVERAGE_PERIOD);  // a new period starts over
    EXPECT_EQ(kor_stats_set_temp(450), 0);
    restart();
    EXPECT_NE(read_file(dir_.file("sys_stat")).find("set_temp = 450"), std::string::npos);
}

TEST_F(OvenStatsStore, CorruptStoreDoesNotStopStartUp) {
    {
        std::ofstream out(dir_.file("sys_stat"));
        out << "oven_powered_timer = lots\n\x01\x02 garbage without equals\n";
    }
    ASSERT_EQ(kor_init_stats(dir_.path().c_str()), 0) << log_.dump();
    EXPECT_EQ(
        log_.count_containing("Statistics file " + dir_.file("sys_stat") +
                              " cannot be parsed, moved to " + dir_.file("sys_stat.corrupt.")),
        1);
    advance(10);
    EXPECT_EQ(powered(), 10);
    EXPECT_EQ(kor_stats_set_temp(500), 0);
}

TEST_F(OvenStatsStore, MissingDirectoryKeepsTheStatisticsInMemory) {
    const std::string missing = dir_.file("nowhere");
    ASSERT_EQ(kor_init_stats(missing.c_str()), 0);
    EXPECT_EQ(kor_stats_store_status(), -ENOENT);
    EXPECT_EQ(log_.count_containing("Cannot write statistics file " + missing + "/sys_stat"), 1);
    advance(10);
    EXPECT_EQ(powered(), 10);
    EXPECT_EQ(kor_stats_set_temp(500), 0);
    EXPECT_EQ(kor_close_stats(), -ENOENT);
    EXPECT_EQ(kor_stats_store_status(), 0) << "nothing open, nothing failing";
    EXPECT_EQ(kor_init_stats(nullptr), -1);
}

}  // namespace
