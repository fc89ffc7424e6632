// Benchmark of the service bus fan-out: zeb_service_notify_all to four registered clients against
// raw SOCK_SEQPACKET sends of the same encoded bytes to the same four listening sockets.
//
// Four receiver threads each listen on a channel socket in a scratch bus folder and drain every
// connection they accept, counting messages. The sender sends in batches of 32 events and waits
// until all four receivers have the whole batch, so neither path ever finds a connection full
// (a full connection loses the event on both paths; the losses are counted and reported). The
// bus path encodes each event as notify_all does in use; the raw path sends bytes encoded once
// beforehand, on non-blocking connected sockets, as the bus sends. Rounds alternate which path
// goes first; the figure is the median of the pairs' ratios (bus / raw); the bar is 0.8.
//
// Usage: bench_bus_fanout [--events N] [--rounds N]   (default 20000 events, 11 rounds)
// Besides its own lines it prints one "ROW" line for scripts/bench.sh.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "vix_io.h"
#include "zeb_common.h"
#include "zeb_unique_fd.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kBar = 0.8;
constexpr int kClients = 4;
constexpr int kBatch = 32;
constexpr const char *kSender = "bench_mgr";
constexpr const char *kEvent = "zeb.varlo.temperature_notify";
constexpr const char *kFormat = "4s1 temperature 4s1 target 4s1 heat_percent";
constexpr int32_t kData[3] = {452, 450, 37};

using Fd = zeb::UniqueFd;

sockaddr_un address_of(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    return addr;
}

// One client channel: a listening socket and a thread that accepts and drains.
class Receiver {
  public:
    explicit Receiver(const std::string &path) : listener_(::socket(AF_UNIX, SOCK_SEQPACKET, 0)) {
        const sockaddr_un addr = address_of(path);
        if (::bind(listener_.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(listener_.get(), 16) != 0) {
            std::perror("bench_bus_fanout: listen");
            std::exit(2);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~Receiver() {
        stop_ = true;
        thread_.join();
    }
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    long received() const { return received_.load(std::memory_order_acquire); }

  private:
    void run() {
        std::vector<Fd> conns;
        std::vector<char> buffer(ZEB_MAX_EVENT_SIZE);
        while (!stop_) {
            std::vector<pollfd> fds{{listener_.get(), POLLIN, 0}};
            for (const Fd &c : conns) {
                fds.push_back({c.get(), POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 50) <= 0) {
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                conns.emplace_back(::accept(listener_.get(), nullptr, nullptr));
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) {
                    continue;
                }
                // Drain what is there without blocking, as the bus's receiving side does.
                while (::recv(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
                    received_.fetch_add(1, std::memory_order_release);
                }
            }
        }
    }

    Fd listener_;
    std::atomic<long> received_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

using Receivers = std::array<Receiver *, kClients>;

long total_received(const Receivers &receivers) {
    long total = 0;
    for (const Receiver *r : receivers) {
        total += r->received();
    }
    return total;
}

// Waits until every receiver has everything sent so far (minus what was lost); false when the
// receivers stalled for a second.
bool wait_drained(const Receivers &receivers, long expected) {
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (total_received(receivers) < expected) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

struct Result {
    double events_per_second = 0.0;
    long lost = 0;
};

// Events per second with zeb_service_notify_all to the four registered clients.
Result bus_round(const Receivers &receivers, int events) {
    Result result;
    long expected = total_received(receivers);
    const auto start = Clock::now();
    for (int sent = 0; sent < events;) {
        for (int i = 0; i < kBatch && sent < events; ++i, ++sent) {
            const int reached = zeb_service_notify_all(kEvent, kFormat, kData, sizeof kData);
            result.lost += kClients - std::max(0, reached);
            expected += std::max(0, reached);
        }
        if (!wait_drained(receivers, expected)) {
            std::fprintf(stderr, "bench_bus_fanout: the receivers stalled\n");
            std::exit(2);
        }
    }
    result.events_per_second = events / std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

// Events per second with raw sends of the same bytes on four connected sockets.
Result raw_round(const Receivers &receivers, const std::vector<Fd> &sockets,
                 const std::vector<char> &bytes, int events) {
    Result result;
    long expected = total_received(receivers);
    const auto start = Clock::now();
    for (int sent = 0; sent < events;) {
        for (int i = 0; i < kBatch && sent < events; ++i, ++sent) {
            for (const Fd &s : sockets) {
                const ssize_t n =
                    ::send(s.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n == static_cast<ssize_t>(bytes.size())) {
                    ++expected;
                } else {
                    ++result.lost;
                }
            }
        }
        if (!wait_drained(receivers, expected)) {
            std::fprintf(stderr, "bench_bus_fanout: the receivers stalled\n");
            std::exit(2);
        }
    }
    result.events_per_second = events / std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    setenv("ZEB_LOG_LEVEL", "3", 0);
    int events = 20000;
    int rounds = 11;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--events") == 0) {
            events = std::max(kBatch, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    char scratch[] = "/tmp/bench_bus_fanout.XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = scratch;
    setenv("ZEB_BUS_DIR", dir.c_str(), 1);

    int rc = 2;
    {
        std::vector<std::unique_ptr<Receiver>> owned;
        Receivers receivers{};
        for (int i = 0; i < kClients; ++i) {
            owned.push_back(std::make_unique<Receiver>(dir + "/bench_ui" + std::to_string(i)));
            receivers[static_cast<std::size_t>(i)] = owned.back().get();
        }
        if (zeb_service_initialize(kSender) != 0) {
            std::fprintf(stderr, "bench_bus_fanout: cannot open the bus channel\n");
        } else {
            for (int i = 0; i < kClients; ++i) {
                zeb_service_register(("bench_ui" + std::to_string(i)).c_str(), 1);
            }
            // The same bytes the bus puts on the wire: the sender's channel in the target field.
            vix_io_buffer *encoded =
                vix_io_serialize(nullptr, kSender, kEvent, kFormat, kData, sizeof kData);
            const std::vector<char> bytes(encoded->data, encoded->data + encoded->used);
            vix_io_free_buffer(encoded);
            std::vector<Fd> sockets;
            for (int i = 0; i < kClients; ++i) {
                sockets.emplace_back(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0));
                const sockaddr_un addr = address_of(dir + "/bench_ui" + std::to_string(i));
                if (::connect(sockets.back().get(), reinterpret_cast<const sockaddr *>(&addr),
                              sizeof addr) != 0) {
                    std::perror("bench_bus_fanout: connect");
                    return 2;
                }
            }

            bus_round(receivers, events / 10 + kBatch);  // connects, and warms both paths
            raw_round(receivers, sockets, bytes, events / 10 + kBatch);
            std::vector<double> bus;
            std::vector<double> raw;
            std::vector<double> ratios;
            long lost = 0;
            for (int round = 0; round < rounds; ++round) {
                Result b;
                Result r;
                if (round % 2 == 0) {
                    b = bus_round(receivers, events);
                    r = raw_round(receivers, sockets, bytes, events);
                } else {
                    r = raw_round(receivers, sockets, bytes, events);
                    b = bus_round(receivers, events);
                }
                bus.push_back(b.events_per_second);
                raw.push_back(r.events_per_second);
                ratios.push_back(b.events_per_second / r.events_per_second);
                lost += b.lost + r.lost;
                if (std::getenv("BENCH_VERBOSE") != nullptr) {
                    std::printf("round %d: raw %.0f, bus %.0f\n", round, r.events_per_second,
                                b.events_per_second);
                }
            }
            const double ratio = median(ratios);
            std::printf(
                "bench_bus_fanout: event of %zu bytes to %d clients, %d events a round, "
                "%d rounds, batches of %d (median rates)\n",
                bytes.size(), kClients, events, rounds, kBatch);
            std::printf("  raw SOCK_SEQPACKET sends: %.0f events/s\n", median(raw));
            std::printf("  zeb_service_notify_all:   %.0f events/s\n", median(bus));
            std::printf("  median ratio of the pairs: %.3f (bar %.2f); deliveries lost: %ld\n",
                        ratio, kBar, lost);
            char value[32];
            char peer[64];
            std::snprintf(value, sizeof value, "%.0f", median(bus));
            std::snprintf(peer, sizeof peer, "raw seqpacket %.0f", median(raw));
            const bool met = ratio >= kBar && lost == 0;
            std::printf("ROW\tbus fan-out to 4 clients, events/s\t%s\t%s\t%.3f\t>= 0.8\t%s\n",
                        value, peer, ratio, met ? "ok" : "FAIL");
            zeb_service_uninitialize();
            rc = met ? 0 : 1;
        }
    }
    std::filesystem::remove_all(dir);
    return rc;
}
