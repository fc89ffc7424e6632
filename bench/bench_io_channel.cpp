// Benchmark of IO channel round trips against raw System V message queues doing the same work.
//
// Two threads play ping-pong through two queues: the client sends an encoded event and waits for
// the echo, the server receives and sends it back. Once through the IO channel ("sysvmq://"
// channels, receive buffers reused), once with msgsnd/msgrcv on private queues, copying the same
// encoded event into and out of a message record. The two run in pairs, many times in one run;
// the figure is the median of the pairs' rate ratios (channel / raw); the bar is 0.9.
//
// Usage: bench_io_channel [--trips N] [--rounds N]   (default 4000 trips, 41 rounds)
// BENCH_VERBOSE set prints every pair.
// The channels' keys are made on a scratch directory (QVIO_FTOK_PATH), removed at the end.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "vix_io.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kBar = 0.9;

struct Payload {
    std::vector<char> bytes;  // one encoded event
};

Payload make_payload() {
    const char data[] = "1,2,3,4,5,";
    vix_io_buffer *buffer =
        vix_io_serialize(nullptr, nullptr, "modbus_ret", "1s0 modbus_read_data", data, sizeof data);
    Payload payload{std::vector<char>(buffer->data, buffer->data + buffer->used)};
    vix_io_free_buffer(buffer);
    return payload;
}

// Round trips per second over raw queues.
double raw_rate(const Payload &payload, int trips) {
    const int ping = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    const int pong = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    if (ping < 0 || pong < 0) {
        std::perror("msgget");
        std::exit(1);
    }
    const std::size_t length = payload.bytes.size();
    // Both ends take the event out of the message record and build a new record to send, as a
    // program holding events in buffers does (and as the channel does).
    auto echo = [&] {
        std::vector<char> message(sizeof(long) + 4096);
        std::vector<char> event(4096);
        std::vector<char> reply(sizeof(long) + 4096);
        const long type = 1;
        for (int i = 0; i < trips; ++i) {
            const ssize_t got = msgrcv(ping, message.data(), 4096, 0, 0);
            if (got < 0) {
                return;
            }
            std::memcpy(event.data(), message.data() + sizeof(long), static_cast<std::size_t>(got));
            std::memcpy(reply.data(), &type, sizeof type);
            std::memcpy(reply.data() + sizeof(long), event.data(), static_cast<std::size_t>(got));
            if (msgsnd(pong, reply.data(), static_cast<std::size_t>(got), 0) != 0) {
                return;
            }
        }
    };
    std::thread server(echo);
    std::vector<char> out(sizeof(long) + length);
    std::vector<char> in(sizeof(long) + 4096);
    std::vector<char> received(4096);
    const long type = 1;
    const auto start = Clock::now();
    for (int i = 0; i < trips; ++i) {
        std::memcpy(out.data(), &type, sizeof type);
        std::memcpy(out.data() + sizeof(long), payload.bytes.data(), length);
        if (msgsnd(ping, out.data(), length, 0) != 0) {
            break;
        }
        const ssize_t got = msgrcv(pong, in.data(), 4096, 0, 0);
        if (got < 0) {
            break;
        }
        std::memcpy(received.data(), in.data() + sizeof(long), static_cast<std::size_t>(got));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    server.join();
    msgctl(ping, IPC_RMID, nullptr);
    msgctl(pong, IPC_RMID, nullptr);
    return trips / seconds;
}

// Round trips per second through IO channels.
double channel_rate(const Payload &payload, int trips, const std::string &tag) {
    const std::string ping_name = "sysvmq://bench-ping-" + tag;
    const std::string pong_name = "sysvmq://bench-pong-" + tag;
    vix_io_channel_t *ping_in = vix_io_open(ping_name.c_str(), VIX_IO_MODE_RECEIVE);
    vix_io_channel_t *pong_in = vix_io_open(pong_name.c_str(), VIX_IO_MODE_RECEIVE);
    vix_io_channel_t *ping_out = vix_io_open(ping_name.c_str(), VIX_IO_MODE_SEND);
    vix_io_channel_t *pong_out = vix_io_open(pong_name.c_str(), VIX_IO_MODE_SEND);
    if (ping_in == nullptr || pong_in == nullptr || ping_out == nullptr || pong_out == nullptr) {
        std::fprintf(stderr, "cannot open the benchmark channels\n");
        std::exit(1);
    }
    auto echo = [&] {
        vix_io_buffer *buffer = nullptr;
        for (int i = 0; i < trips; ++i) {
            if (vix_io_receive(ping_in, &buffer) < 0 || vix_io_send(pong_out, buffer) != 0) {
                break;
            }
        }
        vix_io_free_buffer(buffer);
    };
    std::thread server(echo);
    vix_io_buffer *out = vix_io_size_buffer(nullptr, static_cast<int32_t>(payload.bytes.size()));
    vix_io_buffer *in = nullptr;
    const auto start = Clock::now();
    for (int i = 0; i < trips; ++i) {
        std::memcpy(out->data, payload.bytes.data(), payload.bytes.size());
        out->used = static_cast<int32_t>(payload.bytes.size());
        if (vix_io_send(ping_out, out) != 0 || vix_io_receive(pong_in, &in) < 0) {
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    server.join();
    vix_io_free_buffer(in);
    vix_io_free_buffer(out);
    vix_io_close(ping_out);
    vix_io_close(pong_out);
    vix_io_close(ping_in);
    vix_io_close(pong_in);
    return trips / seconds;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    int trips = 4000;
    int rounds = 41;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--trips") == 0) {
            trips = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        }
    }

    char scratch[] = "/tmp/bench_io_channel.XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("QVIO_FTOK_PATH", scratch, 1);
    const std::string tag = std::to_string(getpid());
    const Payload payload = make_payload();

    // Warm both paths once, then measure them in pairs, alternating which goes first, so load
    // from elsewhere on the machine hits both alike; the figure is the median of the pair ratios.
    raw_rate(payload, trips / 10 + 1);
    channel_rate(payload, trips / 10 + 1, tag);
    std::vector<double> raw;
    std::vector<double> channel;
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            raw.push_back(raw_rate(payload, trips));
            channel.push_back(channel_rate(payload, trips, tag));
        } else {
            channel.push_back(channel_rate(payload, trips, tag));
            raw.push_back(raw_rate(payload, trips));
        }
        ratios.push_back(channel.back() / raw.back());
        if (std::getenv("BENCH_VERBOSE") != nullptr) {
            std::printf("round %d: raw %.0f, channel %.0f\n", round, raw.back(), channel.back());
        }
    }
    std::filesystem::remove(scratch);

    const double raw_median = median(raw);
    const double channel_median = median(channel);
    const double ratio = median(ratios);
    std::printf("event of %zu bytes, %d round trips, %d rounds, median rates:\n",
                payload.bytes.size(), trips, rounds);
    std::printf("raw msgsnd/msgrcv: %.0f round trips/s\n", raw_median);
    std::printf("IO channel:        %.0f round trips/s\n", channel_median);
    std::printf("median ratio of the pairs: %.3f (bar %.2f) %s\n", ratio, kBar,
                ratio >= kBar ? "PASS" : "BELOW BAR");
    return 0;
}
