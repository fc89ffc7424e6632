// TCP transport plug-in and the transport loader: names and modes, framing across reads, several
// senders, a receiver that comes back, a sender that sends garbage, two processes end to end, and
// a fresh process that finds the plug-in or falls back to the message queue without it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "channel_helpers.hpp"
#include "log_capture.hpp"
#include "vixio_tcp.h"

using namespace channel_test;

namespace {

const bool plugin_dir_set = setenv("VIX_IO_PLUGIN_DIR", VIX_IO_TEST_PLUGIN_DIR, 1) == 0;

class TcpChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plugin_dir_set);
        setenv("QVIO_FTOK_PATH", dir_.path().c_str(), 1);
        port_ = free_port();
        ASSERT_GT(port_, 0);
        name_ = "tcp://127.0.0.1:" + std::to_string(port_);
    }
    void TearDown() override {
        EXPECT_TRUE(queues_left(dir_.path()).empty()) << "a name fell through to the queue";
        unsetenv("QVIO_FTOK_PATH");
    }

    kor_test::ScratchDir dir_;
    int port_ = 0;
    std::string name_;
};

TEST_F(TcpChannel, EventCrossesWithItsFrameAndBufferGrows) {
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);
    EXPECT_EQ(VIXIO_TCP_MAX_MESSAGE, vix_io_max_message(receiver.get()));
    Channel sender = open_channel("tcp://localhost:" + std::to_string(port_), VIX_IO_MODE_SEND);
    ASSERT_NE(nullptr, sender);
    EXPECT_EQ(0, vix_io_grow_buffer(sender.get(), 256 * 1024));

    const char data[5] = {'1', ',', '2', ',', '\0'};
    Buffer example(
        vix_io_serialize(nullptr, nullptr, "modbus_ret", "1s0 modbus_read_data", data, 5));
    // Larger than one read of the receiver, so the frame arrives in pieces.
    const std::string large(300 * 1024, 'L');
    Buffer big = make_event("big", large);
    ASSERT_EQ(0, vix_io_send(sender.get(), example.get()));
    ASSERT_EQ(0, vix_io_send(sender.get(), big.get()));
    ASSERT_EQ(0, vix_io_send(sender.get(), example.get()));

    vix_io_buffer *in = nullptr;
    ASSERT_EQ(57, vix_io_receive(receiver.get(), &in));
    Buffer slot(in);
    EXPECT_EQ(0, std::memcmp(example->data, slot->data, 57));
    std::string name;
    EXPECT_EQ(large, receive_text(receiver.get(), slot, &name));
    EXPECT_EQ("big", name);
    EXPECT_GE(slot->size, big->used);
    in = slot.get();
    ASSERT_EQ(57, vix_io_receive(receiver.get(), &in));
    EXPECT_EQ(slot.get(), in);
}

TEST_F(TcpChannel, NamesAndModesOutsideTheDesignAreRefused) {
    const std::string port = std::to_string(port_);
    for (const std::string &bad : std::vector<std::string>{
             "tcp://10.0.0.1:" + port, "tcp://127.0.0.1", "tcp://127.0.0.1:0",
             "tcp://127.0.0.1:70000", "tcp://127.0.0.1:" + port + "x", "tcp://:" + port}) {
        EXPECT_EQ(nullptr, open_channel(bad, VIX_IO_MODE_RECEIVE)) << bad;
    }
    EXPECT_EQ(nullptr, open_channel(name_, VIX_IO_MODE_EITHER));
    EXPECT_EQ(nullptr, open_channel(name_, 3));
    EXPECT_EQ(nullptr, open_channel(name_, VIX_IO_MODE_RECEIVE | 64));

    // One receiver per port.
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);
    EXPECT_EQ(nullptr, open_channel(name_, VIX_IO_MODE_RECEIVE));
}

TEST_F(TcpChannel, SendSideNeedsAReceiver) {
    EXPECT_EQ(nullptr, open_channel(name_, VIX_IO_MODE_SEND));
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);
    EXPECT_NE(nullptr, open_channel(name_, VIX_IO_MODE_SEND));
}

TEST_F(TcpChannel, BadSendsAndEmptyNonBlockingReceiveReportTheirCodes) {
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK);
    ASSERT_NE(nullptr, receiver);
    Channel sender = open_channel(name_, VIX_IO_MODE_SEND | VIX_IO_FLAG_NONBLOCK);
    ASSERT_NE(nullptr, sender);

    vix_io_buffer *slot = nullptr;
    EXPECT_EQ(-1, vix_io_receive(receiver.get(), &slot));
    EXPECT_EQ(nullptr, slot);
    vix_io_error_codes_t codes = error_codes(receiver.get());
    EXPECT_EQ(VIX_IO_ERROR_QUEUE_EMPTY, codes.code);
    EXPECT_EQ(ENOMSG, codes.system_error);

    // A buffer that is not one encoded event cannot be framed.
    Buffer event = make_event("e", "payload");
    event->used -= 1;
    EXPECT_EQ(-1, vix_io_send(sender.get(), event.get()));
    codes = error_codes(sender.get());
    EXPECT_EQ(VIX_IO_ERROR_UNKNOWN, codes.code);
    EXPECT_EQ(EINVAL, codes.system_error);
    EXPECT_EQ(-1, vix_io_send(receiver.get(), event.get())) << "a receiving end does not send";

    // The refused send left the stream clean for the next event.
    event->used += 1;
    ASSERT_EQ(0, vix_io_send(sender.get(), event.get()));
    Buffer in;
    ASSERT_TRUE(
        kor_test::wait_until([&] { return receive_text(receiver.get(), in) != "<failed>"; }));
    EXPECT_EQ(0, std::memcmp(event->data, in->data, static_cast<std::size_t>(event->used)));
}

TEST_F(TcpChannel, ManySendersAllArriveEachInOrder) {
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);
    constexpr int kSenders = 3;
    constexpr int kEach = 200;
    std::vector<std::thread> threads;
    for (int s = 0; s < kSenders; ++s) {
        threads.emplace_back([this, s] {
            Channel sender = open_channel(name_, VIX_IO_MODE_SEND);
            for (int i = 0; sender && i < kEach; ++i) {
                Buffer event = make_event("seq", std::to_string(s) + ":" + std::to_string(i));
                vix_io_send(sender.get(), event.get());
            }
        });
    }
    int next[kSenders] = {};
    Buffer slot;
    for (int n = 0; n < kSenders * kEach; ++n) {
        const std::string text = receive_text(receiver.get(), slot);
        const auto colon = text.find(':');
        ASSERT_NE(std::string::npos, colon) << text;
        const int s = std::stoi(text.substr(0, colon));
        ASSERT_TRUE(s >= 0 && s < kSenders);
        ASSERT_EQ(next[s], std::stoi(text.substr(colon + 1))) << "sender " << s;
        ++next[s];
    }
    for (std::thread &t : threads) {
        t.join();
    }
}

TEST_F(TcpChannel, SenderWithAnImpossibleFrameIsDroppedOthersGoOn) {
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);

    const int raw = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, connect(raw, reinterpret_cast<sockaddr *>(&address), sizeof address));
    const uint32_t too_small = 5;
    char garbage[16] = {};
    std::memcpy(garbage, &too_small, sizeof too_small);
    ASSERT_EQ(16, send(raw, garbage, sizeof garbage, 0));

    Channel sender = open_channel(name_, VIX_IO_MODE_SEND);
    ASSERT_NE(nullptr, sender);
    Buffer event = make_event("good", "still here");
    ASSERT_EQ(0, vix_io_send(sender.get(), event.get()));
    Buffer slot;
    EXPECT_EQ("still here", receive_text(receiver.get(), slot));

    // The receiver hung up on the garbage sender.
    pollfd p{raw, POLLIN, 0};
    EXPECT_EQ(1, poll(&p, 1, 2000));
    char byte;
    EXPECT_LE(recv(raw, &byte, 1, 0), 0);
    close(raw);
}

TEST_F(TcpChannel, SenderReconnectsToAReceiverThatCameBack) {
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);
    Channel sender = open_channel(name_, VIX_IO_MODE_SEND);
    ASSERT_NE(nullptr, sender);
    Buffer first = make_event("e", "first");
    ASSERT_EQ(0, vix_io_send(sender.get(), first.get()));
    Buffer slot;
    ASSERT_EQ("first", receive_text(receiver.get(), slot));

    receiver.reset();
    receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);
    Buffer second = make_event("e", "second");
    ASSERT_EQ(0, vix_io_send(sender.get(), second.get()));
    EXPECT_EQ("second", receive_text(receiver.get(), slot));

    // With the receiver gone for good the send fails instead of vanishing.
    receiver.reset();
    EXPECT_EQ(-1, vix_io_send(sender.get(), second.get()));
    EXPECT_EQ(ECONNREFUSED, error_codes(sender.get()).system_error);
}

// Child side of the two-process exchange; its channels close before it exits.
int run_tcp_peer(const std::string &to_parent, const std::string &from_parent) {
    Channel in(vix_io_open(from_parent.c_str(), VIX_IO_MODE_RECEIVE));
    Channel out;
    for (int attempt = 0; attempt < 500 && !out; ++attempt) {
        out.reset(vix_io_open(to_parent.c_str(), VIX_IO_MODE_SEND));
        if (!out) {
            usleep(2000);
        }
    }
    if (!in || !out) {
        return 2;
    }
    Buffer hello = make_event("hello", "listening");
    if (vix_io_send(out.get(), hello.get()) != 0) {
        return 3;
    }
    // Echo every event back with its text reversed until "stop".
    Buffer slot;
    for (;;) {
        std::string name;
        std::string text = receive_text(in.get(), slot, &name);
        if (text == "<failed>") {
            return 4;
        }
        if (name == "stop") {
            return 0;
        }
        Buffer reply = make_event("echo", std::string(text.rbegin(), text.rend()));
        if (vix_io_send(out.get(), reply.get()) != 0) {
            return 5;
        }
    }
}

TEST_F(TcpChannel, TwoProcessesTalkBothWays) {
    const std::string to_child = "tcp://127.0.0.1:" + std::to_string(free_port());
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);
        _exit(run_tcp_peer(name_, to_child));
    }
    Buffer slot;
    std::string name;
    ASSERT_EQ("listening", receive_text(receiver.get(), slot, &name));
    Channel sender = open_channel(to_child, VIX_IO_MODE_SEND);
    ASSERT_NE(nullptr, sender);
    for (int i = 0; i < 100; ++i) {
        const std::string text = "round " + std::to_string(i);
        Buffer event = make_event("ping", text);
        ASSERT_EQ(0, vix_io_send(sender.get(), event.get()));
        ASSERT_EQ(std::string(text.rbegin(), text.rend()), receive_text(receiver.get(), slot));
    }
    Buffer stop = make_event("stop", "");
    ASSERT_EQ(0, vix_io_send(sender.get(), stop.get()));
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

// The loader decides once per process, so each case runs the probe as a fresh process.
std::string run_probe(const std::string &plugin_dir, const std::string &channel,
                      const std::string &ftok_path, int *exit_code) {
    const std::string command = "env VIX_IO_PLUGIN_DIR='" + plugin_dir + "' QVIO_FTOK_PATH='" +
                                ftok_path + "' '" VIX_IO_TEST_PROBE "' '" + channel + "'";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "<popen failed>";
    }
    std::string text;
    char chunk[256];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        text.append(chunk, n);
    }
    const int status = pclose(pipe);
    *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return text;
}

TEST_F(TcpChannel, LoaderUsesThePlugInWhenFoundAndTheQueueWithout) {
    int code = -1;
    EXPECT_EQ("max_message=1048576 received=34 data=probe\n",
              run_probe(VIX_IO_TEST_PLUGIN_DIR, name_, dir_.path(), &code));
    EXPECT_EQ(0, code);
    EXPECT_TRUE(queues_left(dir_.path()).empty());

    // With the plug-in in reach a queue name still goes to the queue.
    EXPECT_EQ("max_message=-1 received=34 data=probe\n",
              run_probe(VIX_IO_TEST_PLUGIN_DIR, "sysvmq://probe", dir_.path(), &code));
    EXPECT_EQ(0, code);

    // Without it the TCP name falls back to the first transport, the message queue.
    kor_test::ScratchDir empty;
    EXPECT_EQ("max_message=-1 received=34 data=probe\n",
              run_probe(empty.path(), name_, dir_.path(), &code));
    EXPECT_EQ(0, code);
    EXPECT_TRUE(queues_left(dir_.path()).empty()) << "the probe removes the queue it created";
}

}  // namespace
