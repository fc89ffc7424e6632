// The web console's event stream: notification -> SSE message at each client, with 1 and with 32
// clients streaming, and the console's CPU share meanwhile. The benchmark plays the oven manager
// on a scratch bus (it binds "zeb_backend", takes the console's registration and sends numbered
// temperature notifications), so the figure is the console's own delay, not the manager's cycle.
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "oven_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A baking oven's manager sends about 20 notifications at each control cycle (every 500 ms).
constexpr int kBurst = 20;
constexpr auto kCycle = std::chrono::milliseconds(500);
constexpr int kSeconds = 10;  // per run
constexpr int kCount = kBurst * kSeconds * 2;

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// utime + stime of a process in clock ticks.
long cpu_ticks(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) {
            utime = std::atol(field.c_str());
        } else if (i == 15) {
            stime = std::atol(field.c_str());
        }
    }
    return utime + stime;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return -1;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

struct Run {
    std::vector<double> latencies_ms;
    double cpu_percent = 0;
    int missing = 0;
};

Run run(kor_test::ChannelListener &manager, int port, pid_t console, int clients) {
    std::vector<std::atomic<std::int64_t>> sent(kCount);
    std::mutex lock;
    Run result;
    std::atomic<int> connected{0};
    std::atomic<bool> stop{false};
    std::vector<int> received(clients, 0);
    std::vector<std::thread> readers;
    for (int c = 0; c < clients; ++c) {
        readers.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(30, 0);
            std::string buffer;
            client.Get("/api/events", [&](const char *data, std::size_t length) {
                const auto now = Clock::now().time_since_epoch().count();
                buffer.append(data, length);
                for (std::size_t end; (end = buffer.find("\n\n")) != std::string::npos;) {
                    const std::string block = buffer.substr(0, end);
                    buffer.erase(0, end + 2);
                    if (block.rfind(": kor_webui", 0) == 0) {
                        ++connected;
                    } else if (block.rfind("data: ", 0) == 0) {
                        const auto j = nlohmann::json::parse(block.substr(6), nullptr, false);
                        const int seq = j.is_object() ? j["fields"].value("temperature", -1) : -1;
                        if (seq >= 0 && seq < kCount && sent[seq] > 0) {
                            std::lock_guard guard(lock);
                            result.latencies_ms.push_back((now - sent[seq]) / 1e6);
                            ++received[c];
                        }
                    }
                }
                return !stop.load();
            });
        });
    }
    const auto deadline = Clock::now() + 10s;
    while (connected < clients && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const long ticks0 = cpu_ticks(console);
    const auto t0 = Clock::now();
    for (int i = 0; i < kCount; ++i) {
        if (i % kBurst == 0) {
            std::this_thread::sleep_until(t0 + (i / kBurst) * kCycle);
        }
        const std::int32_t data[3] = {i, 500, 40};
        sent[i] = Clock::now().time_since_epoch().count();
        manager.send("kor_webui", "zeb.varlo.temperature_notify",
                     "4s1 temperature 4s1 target 4s1 heat_percent", data, sizeof data);
    }
    std::this_thread::sleep_for(500ms);  // the last messages on their way
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const long ticks1 = cpu_ticks(console);
    result.cpu_percent = 100.0 * (ticks1 - ticks0) / sysconf(_SC_CLK_TCK) / wall;
    stop = true;
    // A reader returns at its next message or keep-alive comment (within a second).
    const std::int32_t data[3] = {-1, 500, 40};
    manager.send("kor_webui", "zeb.varlo.temperature_notify",
                 "4s1 temperature 4s1 target 4s1 heat_percent", data, sizeof data);
    // Notifications go on until every reader returned, and a moment longer: the console finds a
    // stream whose client left at its next write, and frees its place for the next run.
    std::atomic<bool> joined{false};
    std::thread feeder([&] {
        for (int i = 0; !joined || i < 20; ++i) {
            manager.send("kor_webui", "zeb.varlo.temperature_notify",
                         "4s1 temperature 4s1 target 4s1 heat_percent", data, sizeof data);
            std::this_thread::sleep_for(50ms);
            i = joined ? i : 0;
        }
    });
    for (auto &t : readers) {
        t.join();
    }
    joined = true;
    feeder.join();
    for (int r : received) {
        result.missing += kCount - r;
    }
    return result;
}

}  // namespace

int main() {
    kor_test::ScratchDir scratch;
    setenv("ZEB_BUS_DIR", scratch.path().c_str(), 1);
    kor_test::ChannelListener manager;
    if (!manager.open("zeb_backend")) {
        std::fprintf(stderr, "bench_webui: cannot bind zeb_backend\n");
        return 1;
    }
    const std::string out = scratch.file("webui.out");
    const std::string bin = kor_test::bin_dir() + "/kor_webui";
    const pid_t console = fork();
    if (console == 0) {
        freopen(out.c_str(), "w", stdout);
        execl(bin.c_str(), "kor_webui", "--listen", "127.0.0.1:0", static_cast<char *>(nullptr));
        _exit(127);
    }
    const std::string prefix = "kor_webui: listening on http://127.0.0.1:";
    int port = 0;
    if (kor_test::wait_until([&] { return read_file(out).find(prefix) != std::string::npos; },
                             10s)) {
        const std::string text = read_file(out);
        port = std::atoi(text.c_str() + text.find(prefix) + prefix.size());
    }
    int rc = 0;
    if (port <= 0 || !manager.events.wait("zeb.varlo.register", 10s)) {
        std::fprintf(stderr, "bench_webui: the console did not start or register\n");
        rc = 1;
    } else {
        std::printf(
            "bench_webui: notification -> SSE message, %d notifications every %d ms for "
            "%d s\n",
            kBurst, static_cast<int>(kCycle.count()), kSeconds);
        for (int clients : {1, 32}) {
            const Run r = run(manager, port, console, clients);
            const double median = percentile(r.latencies_ms, 0.5);
            const double p99 = percentile(r.latencies_ms, 0.99);
            const bool met = p99 >= 0 && p99 < 100 && r.missing == 0;
            std::printf("ROW\tSSE latency, %d client%s, median ms\t%.3f\t-\t-\t-\t-\n", clients,
                        clients > 1 ? "s" : "", median);
            std::printf("ROW\tSSE latency, %d client%s, p99 ms\t%.3f\t-\t-\t< 100\t%s\n", clients,
                        clients > 1 ? "s" : "", p99, met ? "ok" : "FAIL");
            std::printf("ROW\tSSE messages missing, %d client%s\t%d\t-\t-\t0\t%s\n", clients,
                        clients > 1 ? "s" : "", r.missing, r.missing == 0 ? "ok" : "FAIL");
            if (clients == 32) {
                std::printf(
                    "ROW\tkor_webui CPU, 32 clients streaming, %% of a core\t%.2f\t-\t-\t< 2\t%s\n",
                    r.cpu_percent, r.cpu_percent < 2 ? "ok" : "FAIL");
            }
            rc |= met ? 0 : 1;
        }
    }
    kill(console, SIGTERM);
    waitpid(console, nullptr, 0);
    return rc;
}
