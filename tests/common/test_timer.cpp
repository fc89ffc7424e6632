// Interval timers: a periodic timer keeps its grid even when its callback is slow, a callback can
// clear its own timer, clearing from another thread waits for a running callback, and a service
// can be torn down with timers armed.
#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.hpp"
#include "zeb_common.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kor_test::wait_until;

namespace {

class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, zeb_timer_initialize(&sut_)); }
    void TearDown() override {
        if (sut_ != nullptr) {
            EXPECT_EQ(0, zeb_timer_uninitialize(sut_));
        }
    }
    zeb_timer_service_t *sut_ = nullptr;
};

struct Ticks {
    std::mutex lock;
    std::vector<Clock::time_point> at;
    std::chrono::milliseconds work{0};
    std::size_t size() {
        std::lock_guard<std::mutex> g(lock);
        return at.size();
    }
    static void record(void *arg) {
        auto *self = static_cast<Ticks *>(arg);
        {
            std::lock_guard<std::mutex> g(self->lock);
            self->at.push_back(Clock::now());
        }
        std::this_thread::sleep_for(self->work);
    }
};

void count(void *arg) {
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

}  // namespace

TEST_F(TimerTest, PeriodicTimerKeepsItsGridWithoutDrift) {
    // Each callback takes 3 ms of a 10 ms period. A timer that re-armed from the end of its
    // callback could never tick sooner than 13 ms after the tick before, however idle the
    // machine; one on its grid comes back to the grid after a late tick, and so ticks sooner
    // every time a tick was not later than the one before it. A busy machine delays ticks but
    // cannot take every one of them later than the last for seconds on end.
    Ticks ticks;
    ticks.work = 3ms;
    zeb_timer_t *timer = nullptr;
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(0, zeb_timer_set_interval(sut_, &timer, 10, &Ticks::record, &ticks, 0));
    const auto on_grid = [&] {
        std::lock_guard<std::mutex> g(ticks.lock);
        for (std::size_t k = 1; k < ticks.at.size(); ++k) {
            if (ticks.at[k] - ticks.at[k - 1] < 12ms) {
                return ticks.at.size() >= 20;
            }
        }
        return false;
    };
    const bool grid = wait_until(on_grid, 5s);
    ASSERT_EQ(0, zeb_timer_clear_timer(sut_, timer));

    std::lock_guard<std::mutex> g(ticks.lock);
    ASSERT_GE(ticks.at.size(), 20u);
    std::string gaps;
    for (std::size_t k = 0; k < ticks.at.size(); ++k) {
        // Never early.
        EXPECT_GE(ticks.at[k] - start, std::chrono::milliseconds(10 * (k + 1))) << "tick " << k;
        if (k > 0 && k < 40) {
            gaps += " " + std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                             ticks.at[k] - ticks.at[k - 1])
                                             .count());
        }
    }
    EXPECT_TRUE(grid) << "no tick came sooner than 12 ms after the one before it in "
                      << ticks.at.size() << " ticks; the gaps (us):" << gaps;
}

TEST_F(TimerTest, CallbackThatClearsItsOwnTimerFiresOnce) {
    struct Self {
        zeb_timer_service_t *service;
        zeb_timer_t *timer = nullptr;
        std::atomic<int> fired{0};
        std::atomic<int> clear_result{1};
    } self{sut_};
    auto callback = [](void *arg) {
        auto *s = static_cast<Self *>(arg);
        s->fired.fetch_add(1);
        s->clear_result = zeb_timer_clear_timer(s->service, s->timer);
    };
    ASSERT_EQ(0, zeb_timer_set_interval(sut_, &self.timer, 2, callback, &self, 0));
    ASSERT_TRUE(wait_until([&] { return self.fired.load() >= 1; }, 2s));
    std::this_thread::sleep_for(30ms);  // fifteen more periods
    EXPECT_EQ(1, self.fired.load());
    EXPECT_EQ(0, self.clear_result.load());
    // The timer is gone: its old handle is no longer one of the service's.
    EXPECT_EQ(-EINVAL, zeb_timer_clear_timer(sut_, self.timer));
}

TEST_F(TimerTest, ClearFromAnotherThreadWaitsForTheRunningCallback) {
    struct Slow {
        std::atomic<int> entered{0};
        std::atomic<bool> finished{false};
    } slow;
    auto callback = [](void *arg) {
        auto *s = static_cast<Slow *>(arg);
        s->entered.fetch_add(1);
        std::this_thread::sleep_for(100ms);
        s->finished = true;
    };
    zeb_timer_t *timer = nullptr;
    ASSERT_EQ(0, zeb_timer_set_interval(sut_, &timer, 5, callback, &slow, 0));
    ASSERT_TRUE(wait_until([&] { return slow.entered.load() >= 1; }, 2s));
    ASSERT_EQ(0, zeb_timer_clear_timer(sut_, timer));
    EXPECT_TRUE(slow.finished.load()) << "clear returned while the callback still ran";
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(1, slow.entered.load());
}

namespace {
// Whether thread tid sleeps in the kernel (state S of its stat line): the clearing thread is then
// waiting for the running callback.
bool sleeping(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(in, line);
    const std::size_t name_end = line.rfind(')');
    return name_end != std::string::npos && name_end + 2 < line.size() && line[name_end + 2] == 'S';
}

// A callback that holds until released, and a one-shot whose callback arms a new timer as soon
// as the held timer has been freed: the allocator then tends to hand the new timer the freed
// timer's memory.
struct Reuse {
    zeb_timer_service_t *service = nullptr;
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<zeb_timer_t *> fresh{nullptr};

    static void hold(void *arg) {
        auto *r = static_cast<Reuse *>(arg);
        r->entered = true;
        while (!r->release) {
            std::this_thread::sleep_for(1ms);
        }
    }
    static void arm(void *arg) {
        auto *r = static_cast<Reuse *>(arg);
        zeb_timer_t *timer = nullptr;
        if (zeb_timer_set_interval(r->service, &timer, 3600000, hold, r, 0) == 0) {
            r->fresh = timer;
        }
    }
};
}  // namespace

TEST_F(TimerTest, ClearWaitingForACallbackReturnsWhenANewTimerTakesItsMemory) {
    bool reused = false;
    for (int round = 0; round < 20 && !reused; ++round) {
        Reuse r;
        r.service = sut_;
        zeb_timer_t *held = nullptr;
        ASSERT_EQ(0, zeb_timer_set_interval(sut_, &held, 1, Reuse::hold, &r, 0));
        ASSERT_TRUE(wait_until([&] { return r.entered.load(); }, 2s));
        zeb_timer_t *arming = nullptr;
        const auto armed_at = Clock::now();
        ASSERT_EQ(0, zeb_timer_set_interval(sut_, &arming, 1, Reuse::arm, &r, ZEB_TIMER_ONESHOT));

        std::atomic<pid_t> tid{0};
        std::atomic<bool> cleared{false};
        std::thread clearer([&] {
            tid = static_cast<pid_t>(::gettid());
            EXPECT_EQ(0, zeb_timer_clear_timer(sut_, held));
            cleared = true;
        });
        // Released once the clear waits and the one-shot is due, so it runs right after.
        ASSERT_TRUE(wait_until([&] { return tid != 0 && sleeping(tid); }, 2s));
        ASSERT_TRUE(wait_until([&] { return Clock::now() > armed_at + 2ms; }, 2s));
        r.release = true;

        ASSERT_TRUE(wait_until([&] { return r.fresh.load() != nullptr; }, 2s));
        reused = r.fresh.load() == held;
        EXPECT_TRUE(wait_until([&] { return cleared.load(); }, 3s))
            << "the clear still waits, for a new timer at the cleared one's address (round "
            << round << ", memory " << (reused ? "reused" : "not reused") << ")";
        // Whatever happened, the new timer goes, which also frees a clear that waits for it.
        EXPECT_EQ(0, zeb_timer_clear_timer(sut_, r.fresh.load()));
        clearer.join();
        EXPECT_EQ(0, zeb_timer_clear_timer(sut_, arming));
    }
    if (!reused) {
        GTEST_SKIP() << "the allocator never reused a cleared timer's memory (sanitizer build?)";
    }
}

TEST_F(TimerTest, ClearedTimerStopsAndOthersGoOn) {
    std::atomic<int> a{0};
    std::atomic<int> b{0};
    zeb_timer_t *ta = nullptr;
    zeb_timer_t *tb = nullptr;
    ASSERT_EQ(0, zeb_timer_set_interval(sut_, &ta, 2, count, &a, 0));
    ASSERT_EQ(0, zeb_timer_set_interval(sut_, &tb, 3, count, &b, 0));
    ASSERT_TRUE(wait_until([&] { return a.load() >= 3 && b.load() >= 3; }, 2s));
    ASSERT_EQ(0, zeb_timer_clear_timer(sut_, ta));
    const int a_after = a.load();
    const int b_after = b.load();
    EXPECT_TRUE(wait_until([&] { return b.load() >= b_after + 5; }, 5s));
    EXPECT_EQ(a_after, a.load());
    EXPECT_EQ(-EINVAL, zeb_timer_clear_timer(sut_, ta));  // already released
}

TEST_F(TimerTest, OneShotFiresOnceAndStaysClearable) {
    std::atomic<int> fired{0};
    zeb_timer_t *timer = nullptr;
    ASSERT_EQ(0, zeb_timer_set_interval(sut_, &timer, 2, count, &fired, ZEB_TIMER_ONESHOT));
    ASSERT_TRUE(wait_until([&] { return fired.load() >= 1; }, 2s));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(1, fired.load());
    EXPECT_EQ(0, zeb_timer_clear_timer(sut_, timer));
}

namespace {
struct Chain {
    zeb_timer_service_t *service;
    zeb_timer_t *first = nullptr;
    zeb_timer_t *second = nullptr;
    std::atomic<int> second_fired{0};
    std::atomic<int> arm_result{1};

    static void second_cb(void *arg) { static_cast<Chain *>(arg)->second_fired.fetch_add(1); }
    // Runs on the timer thread: arming and clearing there must not deadlock.
    static void first_cb(void *arg) {
        auto *c = static_cast<Chain *>(arg);
        if (c->second == nullptr) {
            c->arm_result = zeb_timer_set_interval(c->service, &c->second, 1, second_cb, c, 0);
            zeb_timer_clear_timer(c->service, c->first);
        }
    }
};
}  // namespace

TEST_F(TimerTest, CallbacksMayArmAndClearOtherTimers) {
    Chain chain{sut_};
    ASSERT_EQ(0, zeb_timer_set_interval(sut_, &chain.first, 1, Chain::first_cb, &chain, 0));
    ASSERT_TRUE(wait_until([&] { return chain.second_fired.load() >= 3; }, 2s));
    EXPECT_EQ(0, chain.arm_result.load());
    EXPECT_EQ(-EINVAL, zeb_timer_clear_timer(sut_, chain.first));  // cleared by the callback
}

TEST_F(TimerTest, InvalidArgumentsAreRefused) {
    zeb_timer_t *timer = nullptr;
    std::atomic<int> n{0};
    EXPECT_EQ(-EINVAL, zeb_timer_initialize(nullptr));
    EXPECT_EQ(-EINVAL, zeb_timer_set_interval(nullptr, &timer, 10, count, &n, 0));
    EXPECT_EQ(-EINVAL, zeb_timer_set_interval(sut_, nullptr, 10, count, &n, 0));
    EXPECT_EQ(-EINVAL, zeb_timer_set_interval(sut_, &timer, 10, nullptr, &n, 0));
    EXPECT_EQ(-EINVAL, zeb_timer_set_interval(sut_, &timer, 0, count, &n, 0));
    EXPECT_EQ(-EINVAL, zeb_timer_clear_timer(sut_, nullptr));
    EXPECT_EQ(-EINVAL, zeb_timer_clear_timer(nullptr, timer));
    EXPECT_EQ(-EINVAL, zeb_timer_uninitialize(nullptr));

    // A timer of another service is not this one's to clear.
    zeb_timer_service_t *other = nullptr;
    ASSERT_EQ(0, zeb_timer_initialize(&other));
    ASSERT_EQ(0, zeb_timer_set_interval(other, &timer, 60000, count, &n, 0));
    EXPECT_EQ(-EINVAL, zeb_timer_clear_timer(sut_, timer));
    EXPECT_EQ(0, zeb_timer_clear_timer(other, timer));
    EXPECT_EQ(0, zeb_timer_uninitialize(other));
}

TEST(TimerService, UninitializeWithTimersArmedStopsEverything) {
    zeb_timer_service_t *sut = nullptr;
    ASSERT_EQ(0, zeb_timer_initialize(&sut));
    std::atomic<int> fast{0};
    struct Slow {
        std::atomic<int> entered{0};
        std::atomic<bool> finished{false};
    } slow;
    auto slow_cb = [](void *arg) {
        auto *s = static_cast<Slow *>(arg);
        s->entered.fetch_add(1);
        std::this_thread::sleep_for(60ms);
        s->finished = true;
    };
    zeb_timer_t *t = nullptr;
    ASSERT_EQ(0, zeb_timer_set_interval(sut, &t, 1, count, &fast, 0));
    ASSERT_EQ(0, zeb_timer_set_interval(sut, &t, 3600000, count, &fast, 0));
    ASSERT_EQ(0, zeb_timer_set_interval(sut, &t, 60000, count, &fast, ZEB_TIMER_ONESHOT));
    ASSERT_EQ(0, zeb_timer_set_interval(sut, &t, 5, slow_cb, &slow, 0));
    ASSERT_TRUE(wait_until([&] { return slow.entered.load() >= 1 && fast.load() >= 3; }, 2s));
    ASSERT_EQ(0, zeb_timer_uninitialize(sut));  // the timers are freed (checked under ASan)
    EXPECT_TRUE(slow.finished.load()) << "uninitialize returned while a callback still ran";
    const int after = fast.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(after, fast.load());
}

TEST(TimerService, UninitializeFromItsOwnCallbackIsRefused) {
    struct Self {
        zeb_timer_service_t *service = nullptr;
        std::atomic<int> result{1};
    } self;
    ASSERT_EQ(0, zeb_timer_initialize(&self.service));
    zeb_timer_t *t = nullptr;
    auto callback = [](void *arg) {
        auto *s = static_cast<Self *>(arg);
        int expected = 1;
        s->result.compare_exchange_strong(expected, zeb_timer_uninitialize(s->service));
    };
    ASSERT_EQ(0, zeb_timer_set_interval(self.service, &t, 1, callback, &self, ZEB_TIMER_ONESHOT));
    ASSERT_TRUE(wait_until([&] { return self.result.load() != 1; }, 2s));
    EXPECT_EQ(-EDEADLK, self.result.load());
    EXPECT_EQ(0, zeb_timer_uninitialize(self.service));
}
