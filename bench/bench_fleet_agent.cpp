// The fleet agent against raw libmosquitto on the same broker, in one run: reports per second
// from the bus to a subscriber through the agent (durable queue on), side by side with a client
// that publishes the same payloads at QoS 1 straight to the broker (what mosquitto_pub does, in a
// loop); then the time to drain a backlog of 10,000 reports once the broker is back, and the
// agent's resident memory. Prints ROW lines for scripts/bench.sh.
#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fleet_rig.hpp"
#include "kor_fleet_queue.hpp"
#include "zeb_common.h"

namespace {

using Clock = std::chrono::steady_clock;
using kor_test::Millis;

constexpr int kReports = 5000;
constexpr int kRounds = 3;
constexpr int kBacklog = 10000;
constexpr double kBar = 0.5;
constexpr double kMemoryBarMiB = 8.0;

// A fault report as the manager sends it, and the message the agent makes of it (same size).
const std::string kReport =
    "{ \"t\" : \"fault\", \"fc\" : \"f4\", \"fs\" : false, \"state\" : 8, \"temp\" : 877, \"sp\" "
    ": 550, \"therm\" : [880,789,865,912] }";

std::string envelope(int seq) {
    return "{\"seq\": " + std::to_string(seq) +
           ", \"time\": \"2026-12-08T10:15:00.123Z\", \"report\": " + kReport + "}";
}

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Raw libmosquitto: QoS 1 publishes of the same payloads with the agent's in-flight window,
// until the subscriber has them all.
double raw_round(int port, kor_test::MqttSubscriber &sub, const std::string &topic) {
    mosquitto *m = mosquitto_new(nullptr, true, nullptr);
    mosquitto_max_inflight_messages_set(m, 64);
    if (mosquitto_connect(m, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(m);
        return -1;
    }
    const std::size_t before = sub.count();
    const auto t0 = Clock::now();
    for (int i = 1; i <= kReports; ++i) {
        const std::string p = envelope(i);
        mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(p.size()), p.data(), 1,
                          false);
    }
    const bool ok =
        kor_test::wait_until([&] { return sub.count() >= before + kReports; }, Millis(120000));
    const double s = seconds_since(t0);
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
    return ok ? kReports / s : -1;
}

// The agent: reports sent on the bus as the oven manager sends them, until the subscriber has
// them all.
double agent_round(kor_test::MqttSubscriber &sub) {
    const std::size_t before = sub.count();
    const auto t0 = Clock::now();
    for (int i = 0; i < kReports; ++i) {
        if (kor_test::send_report(kReport) != 0) {
            return -1;
        }
    }
    const bool ok =
        kor_test::wait_until([&] { return sub.count() >= before + kReports; }, Millis(120000));
    return ok ? kReports / seconds_since(t0) : -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double status_mib(pid_t pid, const char *field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::stod(line.substr(std::string(field).size())) / 1024.0;
        }
    }
    return -1;
}

}  // namespace

int main() {
    kor_test::ScratchDir scratch;
    const std::string bus = scratch.file("bus");
    std::filesystem::create_directories(bus);
    ::setenv("ZEB_BUS_DIR", bus.c_str(), 1);
    kor_test::MosquittoBroker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "bench_fleet_agent: the broker did not start\n");
        return 2;
    }
    int status = 0;
    for (const char *sync : {"200", "0"}) {
        kor_test::MqttSubscriber sub("bench_fleet_sub");
        kor_test::AgentProcess agent;
        agent.config["broker_port"] = std::to_string(broker.port());
        agent.config["queue_sync_ms"] = sync;
        agent.config["queue_dir"] = scratch.file(std::string("queue_") + sync);
        if (!sub.connect(broker.port(), "kor/#") || !agent.start(bus)) {
            std::fprintf(stderr, "bench_fleet_agent: the agent did not start\n%s\n",
                         agent.log_text().c_str());
            return 2;
        }
        std::vector<double> raw;
        std::vector<double> fleet;
        std::vector<double> ratios;
        for (int round = 0; round < kRounds; ++round) {
            const double r = raw_round(broker.port(), sub, "kor/raw/report/fault");
            const double a = agent_round(sub);
            if (r <= 0 || a <= 0) {
                std::fprintf(stderr, "bench_fleet_agent: a round did not complete\n");
                return 2;
            }
            raw.push_back(r);
            fleet.push_back(a);
            ratios.push_back(a / r);
            std::printf("queue_sync_ms %s, round %d: raw %.0f/s, agent %.0f/s\n", sync, round, r,
                        a);
        }
        const double ratio = median(ratios);
        const bool gated = std::string(sync) == "200";
        const bool met = ratio >= kBar;
        std::printf(
            "ROW\tfleet agent: reports/s bus -> subscriber (queue_sync_ms %s)\t%.0f\t"
            "raw libmosquitto QoS 1 %.0f\t%.3f\t%s\t%s\n",
            sync, median(fleet), median(raw), ratio, gated ? ">= 0.5" : "-",
            gated ? (met ? "ok" : "FAIL") : "info");
        status |= gated && !met ? 1 : 0;

        if (gated) {
            // A backlog: the broker away while 10,000 reports come, then back.
            broker.stop();
            for (int i = 0; i < kBacklog; ++i) {
                if (kor_test::send_report(kReport) != 0) {
                    return 2;
                }
            }
            kor_fleet::QueueStatus q;
            kor_test::wait_until(
                [&] {
                    return kor_fleet::ReportQueue::inspect(agent.queue_dir(), q) == 0 &&
                           q.pending >= kBacklog;
                },
                Millis(60000));
            const std::size_t before = sub.count();
            const auto t0 = Clock::now();
            if (!broker.start()) {
                return 2;
            }
            const bool drained = kor_test::wait_until(
                [&] { return sub.count() >= before + kBacklog; }, Millis(300000));
            const double s = seconds_since(t0);
            std::printf("backlog of %d (queue %lld bytes): drained in %.2f s%s\n", kBacklog,
                        static_cast<long long>(q.bytes), s, drained ? "" : " (INCOMPLETE)");
            std::printf(
                "ROW\tfleet agent: drain 10,000 queued reports after the broker is back (s)\t"
                "%.2f\t-\t-\t-\t%s\n",
                s, drained ? "info" : "FAIL");
            status |= drained ? 0 : 1;
            const double rss = status_mib(agent.pid(), "VmRSS:");
            const double peak = status_mib(agent.pid(), "VmHWM:");
            std::printf("agent memory: VmRSS %.2f MiB, VmHWM %.2f MiB\n", rss, peak);
            std::printf(
                "ROW\tfleet agent: resident memory, peak over the run (VmHWM) (MiB)\t%.2f\t"
                "now %.2f\t-\t< 8 MiB\t%s\n",
                peak, rss, peak < kMemoryBarMiB ? "ok" : "FAIL");
            status |= peak < kMemoryBarMiB ? 0 : 1;
        }
        agent.stop();
    }
    return status;
}
