// Statistics library against a recording fake of the statistics store: which entries each
// operation touches, with which arguments, and how every store failure is logged and returned.
// The fake's functions are defined in this program, so they take the place of the real store's
// for the library as well.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kor_oven_stats.h"
#include "log_capture.hpp"
#include "zeb_stat.h"

namespace {

struct Call {
    std::string op;
    std::string name;
    int64_t arg = 0;
    int64_t arg2 = 0;
    bool operator==(const Call &o) const {
        return op == o.op && name == o.name && arg == o.arg && arg2 == o.arg2;
    }
};

std::ostream &operator<<(std::ostream &os, const Call &c) {
    return os << c.op << "(" << c.name << ", " << c.arg << ", " << c.arg2 << ")";
}

struct FakeStore {
    std::mutex lock;
    std::vector<Call> calls;
    std::map<std::string, int> fail;        // "op name" -> result
    std::map<std::string, int32_t> fields;  // get_field values
    std::string opened_path;

    int result(const std::string &op, const std::string &name) {
        auto it = fail.find(op + " " + name);
        return it == fail.end() ? 0 : it->second;
    }
    void record(Call c) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(std::move(c));
    }
};

FakeStore fake;
zeb_stat_t *const kHandle = reinterpret_cast<zeb_stat_t *>(0x5747);

}  // namespace

extern "C" {

int zeb_stat_open(const char *path, zeb_stat_t **handle) {
    fake.opened_path = path;
    fake.record({"open", path});
    int rc = fake.result("open", "");
    if (rc == 0) {
        *handle = kHandle;
    }
    return rc;
}

int zeb_stat_runtime_start(zeb_stat_t *handle, const char *name) {
    EXPECT_EQ(handle, kHandle);
    fake.record({"start", name});
    return fake.result("start", name);
}

int zeb_stat_runtime_update(zeb_stat_t *handle, const char *name, int32_t end) {
    EXPECT_EQ(handle, kHandle);
    fake.record({"update", name, end});
    return fake.result("update", name);
}

int zeb_stat_get_field(zeb_stat_t *handle, const char *name, int32_t *value) {
    EXPECT_EQ(handle, kHandle);
    fake.record({"get", name});
    int rc = fake.result("get", name);
    if (rc == 0) {
        *value = fake.fields[name];
    }
    return rc;
}

int zeb_stat_average_period(zeb_stat_t *handle, const char *name, uint32_t value,
                            int32_t period_s) {
    EXPECT_EQ(handle, kHandle);
    fake.record({"average", name, value, period_s});
    return fake.result("average", name);
}

int zeb_stat_close(zeb_stat_t *handle) {
    EXPECT_EQ(handle, kHandle);
    fake.record({"close", ""});
    return fake.result("close", "");
}

}  // extern "C"

namespace {

using kor_test::LogCapture;

class OvenStats : public ::testing::Test {
  protected:
    void SetUp() override {
        fake.calls.clear();
        fake.fail.clear();
        fake.fields.clear();
        ASSERT_EQ(kor_init_stats("/data/cfg"), 0);
        fake.calls.clear();
        log_.clear();
    }
    void TearDown() override { kor_close_stats(); }

    std::vector<Call> calls() { return fake.calls; }

    LogCapture log_;
};

TEST_F(OvenStats, InitOpensTheStoreAndStartsBothTrackers) {
    kor_close_stats();
    fake.calls.clear();
    ASSERT_EQ(kor_init_stats("/opt/quenly/data/config"), 0);
    EXPECT_EQ(fake.opened_path, "/opt/quenly/data/config/sys_stat");
    EXPECT_TRUE(
        log_.contains("Initializing stats library from file /opt/quenly/data/config/sys_stat"));
    std::vector<Call> expected = {{"open", "/opt/quenly/data/config/sys_stat"},
                                  {"start", "oven_powered_timer"},
                                  {"start", "energy_mode_timer"}};
    EXPECT_EQ(calls(), expected);
}

TEST_F(OvenStats, InitFailuresAreLoggedAndReturned) {
    kor_close_stats();
    fake.fail["open "] = -EIO;
    EXPECT_EQ(kor_init_stats("/d"), -EIO);
    EXPECT_TRUE(log_.contains("Unable to initialize the stats lib. Err: -5"));

    fake.fail.clear();
    fake.fail["start energy_mode_timer"] = -ENOSPC;
    EXPECT_EQ(kor_init_stats("/d"), -ENOSPC);
    EXPECT_TRUE(
        log_.contains("Unable to initialize the energy_mode_timer stats tracker. Err: -28"));

    fake.fail.clear();
    fake.fail["start oven_powered_timer"] = -ENOSPC;
    fake.calls.clear();
    EXPECT_EQ(kor_init_stats("/d"), -ENOSPC);
    EXPECT_TRUE(
        log_.contains("Unable to initialize the oven_powered_timer stats tracker. Err: -28"));
    for (const Call &c : calls()) {
        EXPECT_NE(c.name, "energy_mode_timer");  // not started after the first failed
    }
}

TEST_F(OvenStats, SwitchingTrackersIgnoresTheStoreResult) {
    fake.fail["start oven_powered_timer"] = -EIO;
    fake.fail["update energy_mode_timer"] = -EIO;
    EXPECT_EQ(kor_stats_powered_on(1), 0);
    EXPECT_EQ(kor_stats_powered_on(0), 0);
    EXPECT_EQ(kor_stats_powered_on(2), 0);
    EXPECT_EQ(kor_stats_in_energy_mode(1), 0);
    EXPECT_EQ(kor_stats_in_energy_mode(0), 0);
    EXPECT_EQ(kor_stats_update_time_trackers(), 0);
    std::vector<Call> expected = {
        {"start", "oven_powered_timer"},     {"update", "oven_powered_timer", 1},
        {"update", "oven_powered_timer", 1}, {"start", "energy_mode_timer"},
        {"update", "energy_mode_timer", 1},  {"update", "oven_powered_timer", 0},
        {"update", "energy_mode_timer", 0},
    };
    EXPECT_EQ(calls(), expected);
}

TEST_F(OvenStats, ReadsCheckTheirOutputAndReportFailures) {
    EXPECT_EQ(kor_stats_get_powered_on(nullptr), -1);
    EXPECT_EQ(kor_stats_get_cook_time(nullptr), -1);
    EXPECT_EQ(kor_stats_get_belt_run_time(1, nullptr), -1);
    EXPECT_EQ(log_.count_containing("Parameter NULL (src/kor_oven_stats/kor_oven_stats:"), 3);
    EXPECT_TRUE(calls().empty());

    fake.fields["oven_powered_timer"] = 7200;
    fake.fields["energy_mode_timer"] = 1800;
    int32_t v = 0;
    EXPECT_EQ(kor_stats_get_powered_on(&v), 0);
    EXPECT_EQ(v, 7200);
    EXPECT_EQ(kor_stats_get_cook_time(&v), 0);
    EXPECT_EQ(v, 5400);

    fake.fail["get oven_powered_timer"] = -EIO;
    v = 11;
    EXPECT_EQ(kor_stats_get_powered_on(&v), -EIO);
    EXPECT_TRUE(log_.contains("Failed to retrieve powered on stat. Err: -5"));
    EXPECT_EQ(kor_stats_get_cook_time(&v), -EIO);
    EXPECT_EQ(v, 11);

    fake.fail.clear();
    fake.fail["get energy_mode_timer"] = -ENOENT;
    v = 12;
    EXPECT_EQ(kor_stats_get_cook_time(&v), -ENOENT);
    EXPECT_EQ(v, 12);
    EXPECT_TRUE(log_.contains("Failed to retrieve cook time stat. Err: -2"));
}

TEST_F(OvenStats, SetpointAveragesUseTheirEntriesAndPeriod) {
    EXPECT_EQ(kor_stats_set_temp(500), 0);
    for (int32_t blower = 0; blower <= 5; ++blower) {
        EXPECT_EQ(kor_stats_set_blower_speed(blower, 600u + static_cast<uint32_t>(blower)), 0);
    }
    for (int32_t belt = 0; belt <= 3; ++belt) {
        EXPECT_EQ(kor_stats_set_belt_time(belt, 300u + static_cast<uint32_t>(belt)), 0);
    }
    std::vector<Call> expected = {
        {"average", "set_temp", 500, 600},           {"average", "blower_1_set_speed", 601, 600},
        {"average", "blower_2_set_speed", 602, 600}, {"average", "blower_3_set_speed", 603, 600},
        {"average", "blower_4_set_speed", 604, 600}, {"average", "belt_1_set_time", 301, 600},
        {"average", "belt_2_set_time", 302, 600},
    };
    EXPECT_EQ(calls(), expected);

    fake.fail["average set_temp"] = -EIO;
    fake.fail["average blower_3_set_speed"] = -ENOSPC;
    fake.fail["average belt_2_set_time"] = -EROFS;
    EXPECT_EQ(kor_stats_set_temp(1), -EIO);
    EXPECT_EQ(kor_stats_set_blower_speed(3, 1), -ENOSPC);
    EXPECT_EQ(kor_stats_set_belt_time(2, 1), -EROFS);
    EXPECT_TRUE(log_.contains("Failed to log set temperature. Err: -5"));
    EXPECT_TRUE(log_.contains("Failed to log set blower speed. Err: -28"));
    EXPECT_TRUE(log_.contains("Failed to log set belt time. Err: -30"));
}

TEST_F(OvenStats, BeltRunTimeStartsAndEndsItsTracker) {
    EXPECT_EQ(kor_stats_set_belt_run_time(1, 362), 0);
    EXPECT_EQ(kor_stats_set_belt_run_time(1, 400), 0);  // a speed change keeps it running
    EXPECT_EQ(kor_stats_update_time_trackers(), 0);
    EXPECT_EQ(kor_stats_set_belt_run_time(1, 0), 0);
    EXPECT_EQ(kor_stats_set_belt_run_time(2, 100), 0);
    std::vector<Call> expected = {
        {"start", "belt_1_run_timer"},       {"start", "belt_1_run_timer"},
        {"update", "oven_powered_timer", 0}, {"update", "energy_mode_timer", 0},
        {"update", "belt_1_run_timer", 0},   {"update", "belt_1_run_timer", 1},
        {"start", "belt_2_run_timer"},
    };
    EXPECT_EQ(calls(), expected);

    // A stopped belt is no longer brought up to date.
    fake.calls.clear();
    kor_stats_update_time_trackers();
    for (const Call &c : calls()) {
        EXPECT_NE(c.name, "belt_1_run_timer");
    }

    fake.fields["belt_2_run_timer"] = 95;
    int32_t v = 0;
    EXPECT_EQ(kor_stats_get_belt_run_time(2, &v), 0);
    EXPECT_EQ(v, 95);
}

TEST_F(OvenStats, BeltRunTimeEdgeCases) {
    EXPECT_EQ(kor_stats_set_belt_run_time(0, 100), -1);
    EXPECT_EQ(kor_stats_set_belt_run_time(3, 100), -1);
    EXPECT_EQ(kor_stats_set_belt_run_time(1, -5), -1);
    int32_t v = 0;
    EXPECT_EQ(kor_stats_get_belt_run_time(3, &v), -1);
    EXPECT_TRUE(calls().empty());

    // A belt that never ran: ending it is no failure and its run time reads 0.
    fake.fail["update belt_2_run_timer"] = -ENOENT;
    fake.fail["get belt_2_run_timer"] = -ENOENT;
    EXPECT_EQ(kor_stats_set_belt_run_time(2, 0), 0);
    v = 99;
    EXPECT_EQ(kor_stats_get_belt_run_time(2, &v), 0);
    EXPECT_EQ(v, 0);

    // Real store failures are logged and returned.
    fake.fail["start belt_1_run_timer"] = -EIO;
    fake.fail["get belt_1_run_timer"] = -EIO;
    EXPECT_EQ(kor_stats_set_belt_run_time(1, 300), -EIO);
    EXPECT_TRUE(log_.contains("Failed to log belt run time. Err: -5"));
    EXPECT_EQ(kor_stats_get_belt_run_time(1, &v), -EIO);
    EXPECT_TRUE(log_.contains("Failed to retrieve belt run time stat. Err: -5"));
}

TEST_F(OvenStats, ClosedLibraryReachesNoStore) {
    EXPECT_EQ(kor_close_stats(), 0);
    fake.calls.clear();
    int32_t v = 3;
    EXPECT_EQ(kor_stats_get_powered_on(&v), -1);
    EXPECT_EQ(v, 3);
    EXPECT_EQ(kor_stats_set_temp(1), -1);
    EXPECT_EQ(kor_stats_powered_on(1), 0);
    EXPECT_EQ(kor_close_stats(), -1);
    EXPECT_TRUE(calls().empty());
    ASSERT_EQ(kor_init_stats("/data/cfg"), 0);
}

}  // namespace
