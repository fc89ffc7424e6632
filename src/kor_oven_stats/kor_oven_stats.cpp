// Oven statistics library: owns the handle of the statistics store sys_stat and this module's
// logger handle. Run-time trackers (powered oven, energy-saving mode, each belt) and setpoint
// averages all live in the store, which is thread-safe and keeps them across restarts; this
// library only names the entries and turns the oven manager's calls into store operations.
// A store whose file cannot be written keeps the statistics in memory and does not fail the
// operations; kor_stats_store_status tells the oven manager, which shows it as a fault.
#include "kor_oven_stats.h"

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "zeb_logger.h"
#include "zeb_stat.h"

namespace {

constexpr const char *kModule = "kor_oven_stats";
constexpr const char *kUnit = "src/kor_oven_stats/kor_oven_stats";
constexpr const char *kStoreFile = "sys_stat";
constexpr const char *kPoweredTimer = "oven_powered_timer";
constexpr const char *kEnergyTimer = "energy_mode_timer";
constexpr const char *kSetTemp = "set_temp";
constexpr const char *kBlowerSetSpeed[] = {"blower_1_set_speed", "blower_2_set_speed",
                                           "blower_3_set_speed", "blower_4_set_speed"};
constexpr const char *kBeltSetTime[] = {"belt_1_set_time", "belt_2_set_time"};
constexpr const char *kBeltRunTimer[] = {"belt_1_run_timer", "belt_2_run_timer"};
constexpr int32_t kBelts = 2;
constexpr int32_t kBlowers = 4;

// Written by init and close only; the other operations are called from several threads.
std::atomic<zeb_stat_t *> stats_store{nullptr};
std::atomic<zeb_logger_t *> stats_logger{nullptr};
// Belts whose tracker this process started and has not ended; the periodic update keeps
// their totals current in the store.
std::atomic<bool> belt_running[kBelts];

// A macro so that the compiler checks each format against its values.
#define STATS_LOG(level, ...) zeb_logger_log(stats_logger.load(), level, kModule, __VA_ARGS__)

int32_t parameter_null(int line) {
    STATS_LOG(ZEB_LOG_ERR, "Parameter NULL (%s:%d)", kUnit, line);
    return -1;
}

int32_t invalid_input(int line) {
    STATS_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kUnit, line);
    return -1;
}

// Store operations on a closed library fail like a store would, without reaching it.
constexpr int32_t kNotOpen = -1;

int32_t runtime_start(const char *name) {
    zeb_stat_t *s = stats_store.load();
    return s != nullptr ? zeb_stat_runtime_start(s, name) : kNotOpen;
}

int32_t runtime_update(const char *name, int32_t end) {
    zeb_stat_t *s = stats_store.load();
    return s != nullptr ? zeb_stat_runtime_update(s, name, end) : kNotOpen;
}

int32_t get_field(const char *name, int32_t *out) {
    zeb_stat_t *s = stats_store.load();
    return s != nullptr ? zeb_stat_get_field(s, name, out) : kNotOpen;
}

int32_t average(const char *name, uint32_t value) {
    zeb_stat_t *s = stats_store.load();
    return s != nullptr ? zeb_stat_average_period(s, name, value, KOR_STATS_AVERAGE_PERIOD)
                        : kNotOpen;
}

void switch_tracker(const char *name, int32_t on) {
    if (on == 1) {
        runtime_start(name);
    } else {
        runtime_update(name, 1);
    }
}

}  // namespace

extern "C" {

int32_t kor_init_stats(const char *dir) {
    if (stats_logger.load() == nullptr) {
        zeb_logger_t *logger = nullptr;
        if (zeb_logger_open(&logger) == 0) {
            zeb_logger_t *expected = nullptr;
            if (!stats_logger.compare_exchange_strong(expected, logger)) {
                zeb_logger_close(logger);
            }
        }
    }
    if (dir == nullptr) {
        return parameter_null(__LINE__);
    }
    char path[256];
    int n = std::snprintf(path, sizeof path, "%s/%s", dir, kStoreFile);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        return invalid_input(__LINE__);
    }
    STATS_LOG(ZEB_LOG_INFO, "Initializing stats library from file %s", path);
    zeb_stat_t *store = nullptr;
    int32_t rc = zeb_stat_open(path, &store);
    if (rc != 0) {
        STATS_LOG(ZEB_LOG_ERR, "Unable to initialize the stats lib. Err: %d", rc);
        return rc;
    }
    if (zeb_stat_t *old = stats_store.exchange(store); old != nullptr) {
        zeb_stat_close(old);
    }
    for (auto &running : belt_running) {
        running = false;
    }
    for (const char *tracker : {kPoweredTimer, kEnergyTimer}) {
        rc = runtime_start(tracker);
        if (rc != 0) {
            STATS_LOG(ZEB_LOG_ERR, "Unable to initialize the %s stats tracker. Err: %d", tracker,
                      rc);
            return rc;
        }
    }
    return 0;
}

int32_t kor_close_stats(void) {
    zeb_stat_t *store = stats_store.exchange(nullptr);
    if (store == nullptr) {
        return kNotOpen;
    }
    return zeb_stat_close(store);
}

int32_t kor_stats_store_status(void) {
    zeb_stat_t *s = stats_store.load();
    return s != nullptr ? zeb_stat_write_status(s) : 0;
}

int32_t kor_stats_update_time_trackers(void) {
    runtime_update(kPoweredTimer, 0);
    runtime_update(kEnergyTimer, 0);
    for (int32_t i = 0; i < kBelts; ++i) {
        if (belt_running[i]) {
            runtime_update(kBeltRunTimer[i], 0);
        }
    }
    return 0;
}

int32_t kor_stats_powered_on(int32_t on) {
    switch_tracker(kPoweredTimer, on);
    return 0;
}

int32_t kor_stats_in_energy_mode(int32_t on) {
    switch_tracker(kEnergyTimer, on);
    return 0;
}

int32_t kor_stats_get_powered_on(int32_t *out) {
    if (out == nullptr) {
        return parameter_null(__LINE__);
    }
    int32_t rc = get_field(kPoweredTimer, out);
    if (rc != 0) {
        STATS_LOG(ZEB_LOG_ERR, "Failed to retrieve powered on stat. Err: %d", rc);
    }
    return rc;
}

int32_t kor_stats_get_cook_time(int32_t *out) {
    if (out == nullptr) {
        return parameter_null(__LINE__);
    }
    int32_t powered = 0;
    int32_t energy = 0;
    int32_t rc = get_field(kPoweredTimer, &powered);
    if (rc == 0) {
        rc = get_field(kEnergyTimer, &energy);
    }
    if (rc != 0) {
        STATS_LOG(ZEB_LOG_ERR, "Failed to retrieve cook time stat. Err: %d", rc);
        return rc;
    }
    *out = powered - energy;
    return 0;
}

int32_t kor_stats_set_temp(uint32_t value) {
    int32_t rc = average(kSetTemp, value);
    if (rc != 0) {
        STATS_LOG(ZEB_LOG_ERR, "Failed to log set temperature. Err: %d", rc);
    }
    return rc;
}

int32_t kor_stats_set_blower_speed(int32_t blower, uint32_t value) {
    if (blower < 1 || blower > kBlowers) {
        return 0;
    }
    int32_t rc = average(kBlowerSetSpeed[blower - 1], value);
    if (rc != 0) {
        STATS_LOG(ZEB_LOG_ERR, "Failed to log set blower speed. Err: %d", rc);
    }
    return rc;
}

int32_t kor_stats_set_belt_time(int32_t belt, uint32_t value) {
    if (belt < 1 || belt > kBelts) {
        return 0;
    }
    int32_t rc = average(kBeltSetTime[belt - 1], value);
    if (rc != 0) {
        STATS_LOG(ZEB_LOG_ERR, "Failed to log set belt time. Err: %d", rc);
    }
    return rc;
}

int32_t kor_stats_set_belt_run_time(int32_t belt, int32_t rpm) {
    if (belt < 1 || belt > kBelts || rpm < 0) {
        return invalid_input(__LINE__);
    }
    const char *name = kBeltRunTimer[belt - 1];
    int32_t rc = 0;
    if (rpm > 0) {
        // A start of a running tracker keeps what has run: a speed change goes on counting.
        rc = runtime_start(name);
        belt_running[belt - 1] = rc == 0;
    } else {
        belt_running[belt - 1] = false;
        rc = runtime_update(name, 1);
        if (rc == -ENOENT) {
            rc = 0;  // a belt that has never run has nothing to end
        }
    }
    if (rc != 0) {
        STATS_LOG(ZEB_LOG_ERR, "Failed to log belt run time. Err: %d", rc);
    }
    return rc;
}

int32_t kor_stats_get_belt_run_time(int32_t belt, int32_t *out) {
    if (out == nullptr) {
        return parameter_null(__LINE__);
    }
    if (belt < 1 || belt > kBelts) {
        return invalid_input(__LINE__);
    }
    int32_t rc = get_field(kBeltRunTimer[belt - 1], out);
    if (rc == -ENOENT) {
        *out = 0;  // never run: the settings report still goes out for a one-belt oven
        return 0;
    }
    if (rc != 0) {
        STATS_LOG(ZEB_LOG_ERR, "Failed to retrieve belt run time stat. Err: %d", rc);
    }
    return rc;
}

}  // extern "C"
