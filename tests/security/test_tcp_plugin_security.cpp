// The TCP plug-in's receiving end against a connection flood: a process out of descriptors must
// still get its non-blocking receive back at once, and connections beyond the cap are refused
// while the senders already connected go on.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bus_probe.hpp"
#include "vix_io.h"

namespace {

using Clock = std::chrono::steady_clock;

// The transport list is built on the first open of the process: make it see the plug-in.
const bool plugin_dir_set = setenv("VIX_IO_PLUGIN_DIR", VIX_IO_TEST_PLUGIN_DIR, 1) == 0;

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
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
    vix_io_buffer *event = vix_io_serialize(nullptr, nullptr, "probe", "1s0 text", text.c_str(),
                                            static_cast<std::int32_t>(text.size() + 1));
    const int rc = event != nullptr ? vix_io_send(channel, event) : -1;
    vix_io_free_buffer(event);
    return rc;
}

// Non-blocking receives until one gives a message or the deadline passes; the message's size.
int receive_within(vix_io_channel_t *receiver, std::chrono::seconds deadline) {
    const auto end = Clock::now() + deadline;
    vix_io_buffer *in = nullptr;
    int got = -1;
    while (got < 0 && Clock::now() < end) {
        got = vix_io_receive(receiver, &in);
        if (got < 0) {
            poll(nullptr, 0, 2);
        }
    }
    vix_io_free_buffer(in);
    return got;
}

class TcpFlood : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plugin_dir_set);
        port_ = free_port();
        ASSERT_GT(port_, 0);
        name_ = "tcp://127.0.0.1:" + std::to_string(port_);
    }
    void TearDown() override { unsetenv("VIXIO_TCP_MAX_CONNECTIONS"); }
    int port_ = 0;
    std::string name_;
};

// A receiver with one sender taken on and one more waiting in the backlog, so its listener stays
// readable; null when it cannot be set up.
struct Flooded {
    vix_io_channel_t *receiver = nullptr;
    vix_io_channel_t *sender = nullptr;
};
Flooded flooded_receiver(int port, std::int32_t flags) {
    const std::string name = "tcp://127.0.0.1:" + std::to_string(port);
    Flooded out;
    out.receiver = vix_io_open(name.c_str(), VIX_IO_MODE_RECEIVE | flags);
    out.sender = vix_io_open(name.c_str(), VIX_IO_MODE_SEND);
    if (out.receiver == nullptr || out.sender == nullptr || send_text(out.sender, "first") != 0) {
        return {};
    }
    // Non-blocking: a few tries until it is there; blocking: waits for it.
    vix_io_buffer *in = nullptr;
    const int got = flags != 0 ? receive_within(out.receiver, std::chrono::seconds(5))
                               : vix_io_receive(out.receiver, &in);
    vix_io_free_buffer(in);
    if (got <= 0 || connect_raw(port) < 0) {
        return {};
    }
    return out;
}

// Leaves the process no free descriptor.
bool exhaust_descriptors() {
    const int spare = dup(0);
    rlimit limit{static_cast<rlim_t>(spare + 1), static_cast<rlim_t>(spare + 1)};
    close(spare);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    while (dup(0) >= 0) {
    }
    return true;
}

TEST_F(TcpFlood, ReceiveReturnsAtOnceWhenTheProcessIsOutOfDescriptors) {
    int other = free_port();
    while (other == port_) {
        other = free_port();
    }
    // In a child: its descriptor limit and the descriptors it fills are its own.
    const int port = port_;
    const int status = bus_probe::run_child(
        [port, other] {
            const Flooded quick = flooded_receiver(port, VIX_IO_FLAG_NONBLOCK);
            const Flooded waiting = flooded_receiver(other, 0);
            if (quick.receiver == nullptr || waiting.receiver == nullptr) {
                return 10;
            }
            if (!exhaust_descriptors()) {
                return 11;
            }
            for (int round = 0; round < 3; ++round) {
                vix_io_buffer *in = nullptr;
                const auto start = Clock::now();
                const int got = vix_io_receive(quick.receiver, &in);
                const auto took = Clock::now() - start;
                vix_io_error_codes_t codes{};
                vix_io_get_error_codes(quick.receiver, &codes);
                if (got != -1 || codes.code != VIX_IO_ERROR_QUEUE_EMPTY) {
                    return 12;
                }
                if (took > std::chrono::seconds(1)) {
                    return 13;
                }
            }
            // A blocking receive waits for the next message without spinning on the listener:
            // the receiving thread's processor time stays far below the time it waited.
            std::thread later([&waiting] {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                send_text(waiting.sender, "later");
            });
            timespec cpu_start{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_start);
            const auto start = Clock::now();
            vix_io_buffer *in = nullptr;
            const int got = vix_io_receive(waiting.receiver, &in);
            const auto waited = Clock::now() - start;
            timespec cpu_end{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_end);
            later.join();
            const auto cpu = std::chrono::seconds(cpu_end.tv_sec - cpu_start.tv_sec) +
                             std::chrono::nanoseconds(cpu_end.tv_nsec - cpu_start.tv_nsec);
            if (got <= 0) {
                return 14;
            }
            return cpu * 4 < waited ? 0 : 15;
        },
        false, std::chrono::seconds(15));
    EXPECT_EQ(0, status) << "-1: a receive never returned; 13: slow; 15: the blocking one spun";
}

TEST_F(TcpFlood, ConnectionsBeyondTheCapAreRefusedAndTheOthersGoOn) {
    constexpr int kCap = 4;
    setenv("VIXIO_TCP_MAX_CONNECTIONS", std::to_string(kCap).c_str(), 1);
    vix_io_channel_t *receiver =
        vix_io_open(name_.c_str(), VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK);
    ASSERT_NE(nullptr, receiver);
    std::vector<vix_io_channel_t *> senders;
    for (int i = 0; i < kCap; ++i) {
        senders.push_back(vix_io_open(name_.c_str(), VIX_IO_MODE_SEND));
        ASSERT_NE(nullptr, senders.back());
        ASSERT_EQ(0, send_text(senders.back(), "hello"));
        EXPECT_GT(receive_within(receiver, std::chrono::seconds(10)), 0) << "sender " << i;
    }

    // One more: the receiver closes it; the connected ones still deliver.
    const int extra = connect_raw(port_);
    ASSERT_GE(extra, 0);
    bool refused = false;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!refused && Clock::now() < end) {
        vix_io_buffer *in = nullptr;
        EXPECT_EQ(-1, vix_io_receive(receiver, &in));
        vix_io_free_buffer(in);
        pollfd p{extra, POLLIN, 0};
        char byte;
        refused = poll(&p, 1, 5) == 1 && recv(extra, &byte, 1, MSG_DONTWAIT) <= 0;
    }
    EXPECT_TRUE(refused) << "the connection above the cap was kept";
    close(extra);
    for (vix_io_channel_t *sender : senders) {
        ASSERT_EQ(0, send_text(sender, "still here"));
        EXPECT_GT(receive_within(receiver, std::chrono::seconds(10)), 0);
    }

    // A place that frees up takes a new sender.
    vix_io_close(senders.back());
    senders.back() = nullptr;
    const auto freed = Clock::now() + std::chrono::seconds(10);
    bool delivered = false;
    while (!delivered && Clock::now() < freed) {
        vix_io_channel_t *late = vix_io_open(name_.c_str(), VIX_IO_MODE_SEND);
        delivered = late != nullptr && send_text(late, "late") == 0 &&
                    receive_within(receiver, std::chrono::seconds(1)) > 0;
        vix_io_close(late);
    }
    EXPECT_TRUE(delivered);
    for (vix_io_channel_t *sender : senders) {
        vix_io_close(sender);
    }
    vix_io_close(receiver);
}

}  // namespace
