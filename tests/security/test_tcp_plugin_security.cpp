// The TCP plug-in's receiving end against a connection flood: a process out of descriptors must
// still get its non-blocking receive back at once and must not spin in a blocking one, and
// connections beyond the cap are refused while the senders already connected go on.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bus_probe.hpp"
#include "channel_helpers.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using channel_test::Channel;
using channel_test::free_port;
using channel_test::open_channel;

// The transport list is built on the first open of the process: make it see the plug-in.
const bool plugin_dir_set = setenv("VIX_IO_PLUGIN_DIR", VIX_IO_TEST_PLUGIN_DIR, 1) == 0;

std::string tcp_name(int port) {
    return "tcp://127.0.0.1:" + std::to_string(port);
}

int connect_raw(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int send_text(vix_io_channel_t *channel, const std::string &text) {
    const channel_test::Buffer event = channel_test::make_event("probe", text);
    return event ? vix_io_send(channel, event.get()) : -1;
}

// Receives (at least once) until a message comes or the deadline passes; its size or -1.
int receive_within(vix_io_channel_t *receiver, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    channel_test::Buffer slot;
    for (;;) {
        vix_io_buffer *in = slot.release();
        const int got = vix_io_receive(receiver, &in);
        slot.reset(in);
        if (got >= 0 || Clock::now() >= end) {
            return got;
        }
        poll(nullptr, 0, 2);
    }
}

// A receiver with one sender taken on and one more connection waiting in the backlog, so its
// listener stays readable.
struct Flooded {
    Channel receiver;
    Channel sender;
    bool ready = false;
};
Flooded flooded_receiver(int port, std::int32_t flags) {
    Flooded out{open_channel(tcp_name(port), VIX_IO_MODE_RECEIVE | flags),
                open_channel(tcp_name(port), VIX_IO_MODE_SEND)};
    out.ready = out.receiver && out.sender && send_text(out.sender.get(), "first") == 0 &&
                receive_within(out.receiver.get(), 5s) > 0 && connect_raw(port) >= 0;
    return out;
}

// Leaves the process no free descriptor.
bool exhaust_descriptors() {
    const int spare = dup(0);
    const rlimit limit{static_cast<rlim_t>(spare + 1), static_cast<rlim_t>(spare + 1)};
    close(spare);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    while (dup(0) >= 0) {
    }
    return errno == EMFILE;
}

std::chrono::nanoseconds thread_cpu() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

TEST(TcpFlood, ReceiveReturnsAtOnceWhenTheProcessIsOutOfDescriptors) {
    ASSERT_TRUE(plugin_dir_set);
    const int port = free_port();
    int other = free_port();
    while (other == port) {
        other = free_port();
    }
    // In a child: its descriptor limit and the descriptors it fills are its own.
    const int status = bus_probe::run_child(
        [port, other] {
            const Flooded quick = flooded_receiver(port, VIX_IO_FLAG_NONBLOCK);
            const Flooded waiting = flooded_receiver(other, 0);
            // A second process shares the blocking receiver's sender and sends on it once told,
            // half a second later (a thread would need descriptors of the sanitizers' own).
            int start_pipe[2];
            if (!quick.ready || !waiting.ready || pipe(start_pipe) != 0) {
                return 10;
            }
            const pid_t later = fork();
            if (later == 0) {
                close(start_pipe[1]);  // a child that was killed leaves this one an end of file
                char go;
                if (read(start_pipe[0], &go, 1) == 1) {
                    std::this_thread::sleep_for(500ms);
                    send_text(waiting.sender.get(), "later");
                }
                _exit(0);
            }
            if (later < 0 || !exhaust_descriptors()) {
                return 10;
            }
            for (int round = 0; round < 3; ++round) {
                vix_io_buffer *in = nullptr;
                const auto start = Clock::now();
                const int got = vix_io_receive(quick.receiver.get(), &in);
                if (Clock::now() - start > 1s) {
                    return 11;
                }
                if (got != -1 || channel_test::error_codes(quick.receiver.get()).code !=
                                     VIX_IO_ERROR_QUEUE_EMPTY) {
                    return 12;
                }
            }
            // A blocking receive waits for the next message without spinning on the listener:
            // the receiving thread's processor time stays far below the time it waited.
            const auto cpu_start = thread_cpu();
            [[maybe_unused]] const ssize_t told = write(start_pipe[1], "g", 1);
            const auto start = Clock::now();
            const int got = receive_within(waiting.receiver.get(), 10s);
            const auto waited = Clock::now() - start;
            const auto cpu = thread_cpu() - cpu_start;
            waitpid(later, nullptr, 0);
            return got <= 0 ? 13 : cpu * 4 < waited ? 0 : 14;
        },
        false, 15s);
    EXPECT_EQ(0, status) << "-1: a receive never returned; 11: slow; 14: the blocking one spun";
}

TEST(TcpFlood, ConnectionsBeyondTheCapAreRefusedAndTheOthersGoOn) {
    ASSERT_TRUE(plugin_dir_set);
    constexpr int kCap = 4;
    const int port = free_port();
    setenv("VIXIO_TCP_MAX_CONNECTIONS", std::to_string(kCap).c_str(), 1);
    const Channel receiver =
        open_channel(tcp_name(port), VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK);
    unsetenv("VIXIO_TCP_MAX_CONNECTIONS");
    ASSERT_TRUE(receiver);
    std::vector<Channel> senders;
    for (int i = 0; i < kCap; ++i) {
        senders.push_back(open_channel(tcp_name(port), VIX_IO_MODE_SEND));
        ASSERT_TRUE(senders.back());
        ASSERT_EQ(0, send_text(senders.back().get(), "hello"));
        EXPECT_GT(receive_within(receiver.get(), 10s), 0) << "sender " << i;
    }

    // One more: the receiver closes it; the connected ones still deliver.
    const int extra = connect_raw(port);
    ASSERT_GE(extra, 0);
    bool refused = false;
    for (const auto end = Clock::now() + 10s; !refused && Clock::now() < end;) {
        EXPECT_EQ(-1, receive_within(receiver.get(), 0ms));
        pollfd p{extra, POLLIN, 0};
        char byte;
        refused = poll(&p, 1, 5) == 1 && recv(extra, &byte, 1, MSG_DONTWAIT) <= 0;
    }
    EXPECT_TRUE(refused) << "the connection above the cap was kept";
    close(extra);
    for (const Channel &sender : senders) {
        ASSERT_EQ(0, send_text(sender.get(), "still here"));
        EXPECT_GT(receive_within(receiver.get(), 10s), 0);
    }

    // A place that frees up takes a new sender.
    senders.pop_back();
    bool delivered = false;
    for (const auto end = Clock::now() + 10s; !delivered && Clock::now() < end;) {
        const Channel late = open_channel(tcp_name(port), VIX_IO_MODE_SEND);
        delivered =
            late && send_text(late.get(), "late") == 0 && receive_within(receiver.get(), 1s) > 0;
    }
    EXPECT_TRUE(delivered);
}

}  // namespace
