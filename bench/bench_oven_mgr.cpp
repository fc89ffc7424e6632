// Benchmark of the oven manager against the virtual IO board (no wire emulation): how long a UI
// request takes to become a register write at the board, and what the manager costs at steady
// state (CPU share and resident memory while the oven bakes).
//
// Latency: the UI client sends "zeb.varlo.set_target_temperature" with a new value and then asks
// the board for holding register 56 over its control socket in a tight loop until the value is
// there. The figure therefore covers bus, request loop, handler, write queue, write thread and
// the Modbus exchange, plus at most one control-socket round trip, whose own median is printed
// beside it. Consecutive requests alternate values, so each one must arrive anew, and are 50 ms
// apart, so each finds the manager done with the one before. The figures are the median, the
// 99th percentile and the worst request. Each request is also split in two at the manager's log
// line "Set oven target temp:V" (millisecond stamps): bus and request loop before it, write
// queue, write thread, Modbus exchange and the board after it; the slow requests are listed with
// their split, so a stall shows on which side of the queue it happened.
//
// Steady state: the oven is switched on and brought to bake, a UI client is registered (so every
// notification is really sent), and the manager runs with its production cycle; the CPU share is
// utime + stime from /proc/PID/stat over the window, the memory VmRSS from /proc/PID/status.
//
// Usage: bench_oven_mgr [--requests N] [--seconds S] [--poll-us U]   (default 2000 requests,
// 30 s, 0). --poll-us makes the loop that asks the board pause U microseconds between questions
// instead of asking back to back, so that it is no longer a busy thread competing with the
// manager and the board for the cores.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "oven_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kMedianBarMs = 5.0;
constexpr double kP99BarMs = 20.0;
constexpr double kCpuBarPercent = 0.5;
constexpr double kRssBarMiB = 8.0;
constexpr auto kRequestGap = 50ms;

// utime + stime of a process, in seconds; negative when unreadable.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold blanks: the fields counted here start after its ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return -1.0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14) {
            utime = std::stoull(field);
        } else if (n == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A "VmRSS:"-style line of /proc/PID/status, in KiB; -1 when missing.
long status_kib(pid_t pid, const std::string &key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0) {
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
        }
    }
    return -1;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Milliseconds since local midnight, as the manager's log stamps count them.
double ms_of_day(std::chrono::system_clock::time_point at) {
    const auto since_epoch = at.time_since_epoch();
    const time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    tm parts{};
    localtime_r(&seconds, &parts);
    const double fraction =
        std::chrono::duration<double, std::milli>(since_epoch - std::chrono::seconds(seconds))
            .count();
    return ((parts.tm_hour * 60.0 + parts.tm_min) * 60.0 + parts.tm_sec) * 1000.0 + fraction;
}

// The stamps (ms of day) and values of the manager's "Set oven target temp:V" lines, in order.
std::vector<std::pair<double, int>> target_lines(const std::string &log) {
    std::vector<std::pair<double, int>> lines;
    std::istringstream in(log);
    const std::string key = "Set oven target temp:";
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find(key);
        int hour = 0;
        int minute = 0;
        double second = 0.0;
        // 2026-12-08T10:15:00.123 INFO module: message
        if (at == std::string::npos || line.size() < 23 ||
            std::sscanf(line.c_str() + 11, "%d:%d:%lf", &hour, &minute, &second) != 3) {
            continue;
        }
        lines.emplace_back(((hour * 60.0 + minute) * 60.0 + second) * 1000.0,
                           std::atoi(line.c_str() + at + key.size()));
    }
    return lines;
}

void row(const char *name, double value, const char *unit, const char *bar, bool met) {
    std::printf("%-42s %9.3f %-4s %-20s %s\n", name, value, unit, bar, met ? "ok" : "MISSED");
}

int fail(const std::string &why) {
    std::fprintf(stderr, "bench_oven_mgr: %s\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int requests = 2000;
    int seconds = 30;
    int poll_us = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--requests") == 0) {
            requests = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--poll-us") == 0) {
            poll_us = std::max(0, std::atoi(argv[i + 1]));
        }
    }

    kor_test::OvenRig rig;
    kor_test::OvenRig::Options options;
    options.speed = 20;
    options.cycle_ms = -1;  // the production control cycle
    if (!rig.start(options)) {
        return fail(rig.error());
    }
    if (rig.register_ui() != 0) {
        return fail("cannot register the UI client");
    }
    const pid_t pid = rig.mgr.pid();

    // Steady state: bake, with the production periods.
    rig.send("zeb.varlo.power_onoff", {1});
    if (!kor_test::wait_until(
            [&] {
                const int s = rig.board_state();
                return s >= 4 && s <= 7;
            },
            10s)) {
        return fail("the oven did not start");
    }
    rig.warm_to_target();
    if (!rig.wait_board_state(6, 10s) || !rig.ui.events.wait("zeb.varlo.preheat_complete", 5s)) {
        return fail("the oven did not reach bake\n" + rig.diagnostics());
    }
    std::this_thread::sleep_for(2s);  // let the transition's work settle
    const double cpu_start = cpu_seconds(pid);
    const auto window_start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu_end = cpu_seconds(pid);
    const double window_s = ms_since(window_start) / 1000.0;
    const long rss_kib = status_kib(pid, "VmRSS:");
    if (cpu_start < 0 || cpu_end < 0 || rss_kib < 0 || rig.board_state() != 6) {
        return fail("steady-state figures unreadable or the oven left bake");
    }
    const double cpu_percent = (cpu_end - cpu_start) / window_s * 100.0;

    // The control socket's own round trip, for scale.
    std::vector<double> round_trip;
    for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        rig.reg(56);
        round_trip.push_back(ms_since(start));
    }

    // Request -> register write.
    std::vector<double> latency;
    std::vector<double> sent_at;  // ms of day
    std::vector<int> values;
    int current = rig.reg(56);
    for (int i = 0; i < requests; ++i) {
        int value = 420 + (i % 60);
        if (value == current) {
            value += 100;
        }
        sent_at.push_back(ms_of_day(std::chrono::system_clock::now()));
        values.push_back(value);
        const auto start = Clock::now();
        if (rig.send("zeb.varlo.set_target_temperature", {value}) != 0) {
            return fail("request " + std::to_string(i) + " not sent");
        }
        bool arrived = false;
        while (ms_since(start) < 2000.0) {
            if (rig.reg(56) == value) {
                arrived = true;
                break;
            }
            if (poll_us > 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(poll_us));
            }
        }
        if (!arrived) {
            return fail("request " + std::to_string(i) + " did not reach the board\n" +
                        rig.diagnostics());
        }
        latency.push_back(ms_since(start));
        current = value;
        // The handler goes on after queueing the write (statistics, the configuration store's
        // synced rewrite): the next request waits for that, as a UI's next tap would not.
        std::this_thread::sleep_for(kRequestGap);
    }
    const long peak_kib = status_kib(pid, "VmHWM:");
    if (!rig.mgr.running()) {
        return fail("kor_oven_mgr died during the benchmark");
    }

    const double median = percentile(latency, 50.0);
    const double p99 = percentile(latency, 99.0);
    const double worst = *std::max_element(latency.begin(), latency.end());

    // Split each request at the manager's log line: the last `requests` lines are this loop's.
    auto lines = target_lines(rig.mgr.log_text());
    bool split = lines.size() >= latency.size();
    if (split) {
        lines.erase(lines.begin(), lines.end() - static_cast<long>(latency.size()));
        for (std::size_t i = 0; i < latency.size() && split; ++i) {
            split = lines[i].second == values[i];
        }
    }
    std::vector<double> before_queue;  // request sent -> handler's log line
    std::vector<double> after_queue;   // handler's log line -> value at the board
    std::vector<std::size_t> slow;
    for (std::size_t i = 0; split && i < latency.size(); ++i) {
        const double to_log = std::clamp(lines[i].first - sent_at[i], 0.0, latency[i]);
        before_queue.push_back(to_log);
        after_queue.push_back(latency[i] - to_log);
        if (latency[i] >= kMedianBarMs) {
            slow.push_back(i);
        }
    }
    const double rss_mib = static_cast<double>(rss_kib) / 1024.0;
    std::printf("bench_oven_mgr: kor_oven_mgr on the virtual IO board, no wire emulation\n");
    std::printf("%-42s %9s %-4s %-20s %s\n", "figure", "value", "", "bar", "");
    row(("request -> register 56, median (n=" + std::to_string(requests) + ")").c_str(), median,
        "ms", "< 5 ms", median < kMedianBarMs);
    row("request -> register 56, 99th percentile", p99, "ms", "< 20 ms", p99 < kP99BarMs);
    std::printf("%-42s %9.3f %-4s %-20s %s\n", "request -> register 56, worst", worst, "ms", "-",
                "info");
    std::printf("%-42s %9.3f %-4s %s\n", "  (control-socket round trip, median)",
                percentile(round_trip, 50.0), "ms", "included above, at most once");
    row(("CPU share at bake (" + std::to_string(seconds) + " s window)").c_str(), cpu_percent, "%",
        "< 0.5 % of one core", cpu_percent < kCpuBarPercent);
    row("resident memory (VmRSS)", rss_mib, "MiB", "< 8 MiB", rss_mib < kRssBarMiB);
    std::printf("%-42s %9.3f %-4s\n", "  (peak resident memory, VmHWM)",
                static_cast<double>(peak_kib) / 1024.0, "MiB");
    if (!split) {
        std::printf(
            "split at the log line: the manager's log does not hold one line per request\n");
        return 0;
    }
    std::printf("split at \"Set oven target temp\" (log stamps in whole ms):\n");
    std::printf("  sent -> log line:  median %.3f ms, p99 %.3f ms, worst %.3f ms\n",
                percentile(before_queue, 50.0), percentile(before_queue, 99.0),
                *std::max_element(before_queue.begin(), before_queue.end()));
    std::printf("  log line -> board: median %.3f ms, p99 %.3f ms, worst %.3f ms\n",
                percentile(after_queue, 50.0), percentile(after_queue, 99.0),
                *std::max_element(after_queue.begin(), after_queue.end()));
    std::printf("  requests of %.0f ms or more: %zu of %zu; the slowest:\n", kMedianBarMs,
                slow.size(), latency.size());
    // The slowest ten, slowest first.
    std::sort(slow.begin(), slow.end(),
              [&latency](std::size_t a, std::size_t b) { return latency[a] > latency[b]; });
    slow.resize(std::min<std::size_t>(slow.size(), 10));
    for (const std::size_t i : slow) {
        std::printf("    #%zu %.3f ms: sent -> log line %.1f ms, log line -> board %.1f ms\n", i,
                    latency[i], before_queue[i], after_queue[i]);
    }
    return 0;
}
