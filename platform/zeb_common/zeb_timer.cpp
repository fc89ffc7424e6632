// Interval timers: one thread per timer service runs every callback of that service, one at a
// time, outside the service's lock. Deadlines live on the monotonic clock and advance by whole
// periods from the previous deadline, so a slow callback or a late wake-up never shifts the
// later ones; a callback that overruns a whole period skips the ticks it missed instead of
// firing them in a burst.
//
// The service owns its timers. Clearing a timer from its own callback only marks it, and the
// thread frees it once the callback has returned; clearing from any other thread waits for a
// running callback of that timer, so the caller may free what the callback uses right after.
// That wait looks for the timer's serial number, never its address: once the timer is freed, a
// timer armed meanwhile may well get the same memory.
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "zeb_common.h"

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

struct zeb_timer {
    Clock::duration period;
    Clock::time_point next;
    zeb_timer_callback_t callback;
    void *arg;
    bool oneshot;
    bool armed = true;     // a one-shot timer that fired stays allocated, disarmed, until cleared
    bool cleared = false;  // cleared while its callback runs: the thread frees it afterwards
    bool running = false;
    uint64_t serial = 0;  // unique within its service, unlike the address
};

struct zeb_timer_service {
    std::mutex lock;
    std::condition_variable wake;  // the timers changed, or stop
    std::condition_variable done;  // a callback has returned
    std::vector<std::unique_ptr<zeb_timer>> timers;
    bool stop = false;
    uint64_t last_serial = 0;
    std::thread thread;

    void run();
    bool owns(const zeb_timer *timer) const;
    bool holds_serial(uint64_t serial) const;
    void erase(const zeb_timer *timer);
};

bool zeb_timer_service::owns(const zeb_timer *timer) const {
    return std::any_of(timers.begin(), timers.end(),
                       [timer](const auto &t) { return t.get() == timer; });
}

bool zeb_timer_service::holds_serial(uint64_t serial) const {
    return std::any_of(timers.begin(), timers.end(),
                       [serial](const auto &t) { return t->serial == serial; });
}

void zeb_timer_service::erase(const zeb_timer *timer) {
    std::erase_if(timers, [timer](const auto &t) { return t.get() == timer; });
}

void zeb_timer_service::run() {
    std::unique_lock<std::mutex> lk(lock);
    while (!stop) {
        zeb_timer *due = nullptr;
        for (const auto &t : timers) {
            if (t->armed && !t->cleared && (due == nullptr || t->next < due->next)) {
                due = t.get();
            }
        }
        if (due == nullptr) {
            wake.wait(lk);
            continue;
        }
        if (const Clock::time_point deadline = due->next; Clock::now() < deadline) {
            // By value: wait_until reads the deadline again after waking, and the timer may
            // have been cleared and freed meanwhile.
            wake.wait_until(lk, deadline);
            continue;  // the earliest timer may have changed meanwhile
        }
        due->running = true;
        lk.unlock();
        due->callback(due->arg);
        lk.lock();
        due->running = false;
        if (due->cleared) {
            erase(due);
        } else if (due->oneshot) {
            due->armed = false;
        } else {
            due->next += due->period;
            const Clock::time_point now = Clock::now();
            if (due->next <= now) {
                // Overran at least one whole period: keep the phase, drop the missed ticks.
                due->next += due->period * ((now - due->next) / due->period + 1);
            }
        }
        done.notify_all();
    }
}

extern "C" int zeb_timer_initialize(zeb_timer_service_t **service) {
    if (service == nullptr) {
        return -EINVAL;
    }
    *service = nullptr;
    try {
        auto svc = std::make_unique<zeb_timer_service>();
        svc->thread = std::thread([s = svc.get()] { s->run(); });
        pthread_setname_np(svc->thread.native_handle(), "zeb_timer");
        *service = svc.release();
        return 0;
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    } catch (const std::system_error &e) {
        return -(e.code().value() != 0 ? e.code().value() : EAGAIN);
    }
}

extern "C" int zeb_timer_set_interval(zeb_timer_service_t *service, zeb_timer_t **timer,
                                      uint32_t period_ms, zeb_timer_callback_t callback, void *arg,
                                      uint32_t flags) {
    if (service == nullptr || timer == nullptr || callback == nullptr || period_ms == 0) {
        return -EINVAL;
    }
    try {
        auto t = std::make_unique<zeb_timer>();
        t->period = std::chrono::milliseconds(period_ms);
        t->next = Clock::now() + t->period;
        t->callback = callback;
        t->arg = arg;
        t->oneshot = (flags & ZEB_TIMER_ONESHOT) != 0;
        std::lock_guard<std::mutex> guard(service->lock);
        t->serial = ++service->last_serial;
        *timer = t.get();
        service->timers.push_back(std::move(t));
        service->wake.notify_all();
        return 0;
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

extern "C" int zeb_timer_clear_timer(zeb_timer_service_t *service, zeb_timer_t *timer) {
    if (service == nullptr || timer == nullptr) {
        return -EINVAL;
    }
    std::unique_lock<std::mutex> lk(service->lock);
    // Only a timer of this service: a stale handle must not be touched.
    if (!service->owns(timer)) {
        return -EINVAL;
    }
    timer->cleared = true;
    if (!timer->running) {
        service->erase(timer);
        service->wake.notify_all();
        return 0;
    }
    if (std::this_thread::get_id() == service->thread.get_id()) {
        return 0;  // from its own callback: the thread frees it once the callback returns
    }
    // By serial: the timer's memory may belong to a new timer by the time this thread wakes.
    const uint64_t serial = timer->serial;
    service->done.wait(lk, [&] { return !service->holds_serial(serial); });
    return 0;
}

extern "C" int zeb_timer_uninitialize(zeb_timer_service_t *service) {
    if (service == nullptr) {
        return -EINVAL;
    }
    if (std::this_thread::get_id() == service->thread.get_id()) {
        return -EDEADLK;  // a callback cannot join its own thread
    }
    {
        std::lock_guard<std::mutex> guard(service->lock);
        service->stop = true;
        service->wake.notify_all();
    }
    service->thread.join();  // a running callback finishes first
    std::unique_ptr<zeb_timer_service> owned(service);
    return 0;
}
