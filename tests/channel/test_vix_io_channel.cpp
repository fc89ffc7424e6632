// IO channel library and its message-queue transport, through the public channel API: keys,
// open modes, the round trip of an encoded event, buffer growth, failure codes and texts, and two
// processes talking through a queue. Every test keys its queues on its own scratch directory
// (QVIO_FTOK_PATH) and checks that none is left behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "channel_helpers.hpp"
#include "log_capture.hpp"

using namespace channel_test;

namespace {

// The transport list is built on the first open: make it see the plug-in built with the tests.
const bool plugin_dir_set = setenv("VIX_IO_PLUGIN_DIR", VIX_IO_TEST_PLUGIN_DIR, 1) == 0;

// Reference key, written out from the definition rather than taken from the library.
uint32_t reference_key(const std::string &name) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : name) {
        hash = hash * 16777619u;
        hash = hash ^ c;
    }
    return hash + 1u;
}

class QueueChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plugin_dir_set);
        setenv("QVIO_FTOK_PATH", dir_.path().c_str(), 1);
        unsetenv("QVIO_SYSV_KEY");
        unsetenv("QVIO_SYSV_OLD_KEY");
        // Only 256 keys exist per key path: a name whose reply channel would share its key
        // would have the reply's receiver replace the main queue. Such a pair is skipped.
        static int serial = 0;
        do {
            name_ = "sysvmq://test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
        } while (project_byte(name_) == project_byte(name_ + "-reply"));
    }
    void TearDown() override {
        EXPECT_TRUE(queues_left(dir_.path()).empty()) << "a queue was left behind";
        unsetenv("QVIO_FTOK_PATH");
    }

    static int project_byte(const std::string &name) {
        const uint32_t key = reference_key(name);
        return static_cast<int>((key ^ (key >> 8)) & 0xff);
    }
    bool queue_exists(const std::string &name) const {
        return msgget(ftok(dir_.path().c_str(), project_byte(name)), 0) >= 0;
    }

    kor_test::ScratchDir dir_;
    std::string name_;
};

TEST(ChannelErrorText, EveryCodeHasItsTextAndUnknownCodesSayNoError) {
    EXPECT_STREQ("No error", vix_io_get_error_message(0));
    EXPECT_STREQ("Unknown error", vix_io_get_error_message(1));
    EXPECT_STREQ("Out of memory", vix_io_get_error_message(2));
    EXPECT_STREQ("Access error", vix_io_get_error_message(3));
    EXPECT_STREQ("Message queue empty", vix_io_get_error_message(4));
    EXPECT_STREQ("Message queue full", vix_io_get_error_message(5));
    EXPECT_STREQ("Timeout occurred", vix_io_get_error_message(6));
    EXPECT_STREQ("No error", vix_io_get_error_message(7));
    EXPECT_STREQ("No error", vix_io_get_error_message(1000));
}

TEST(ChannelNullHandle, OperationsFailAndCloseDoesNothing) {
    Buffer buffer = make_event("x", "y");
    vix_io_buffer *raw = buffer.get();
    vix_io_error_codes_t codes{};
    EXPECT_EQ(-1, vix_io_send(nullptr, buffer.get()));
    EXPECT_EQ(-1, vix_io_receive(nullptr, &raw));
    EXPECT_EQ(raw, buffer.get());
    EXPECT_EQ(-1, vix_io_grow_buffer(nullptr, 100));
    EXPECT_EQ(-1, vix_io_max_message(nullptr));
    EXPECT_EQ(-1, vix_io_get_error_codes(nullptr, &codes));
    vix_io_close(nullptr);
    EXPECT_EQ(nullptr, vix_io_open(nullptr, VIX_IO_MODE_RECEIVE));
}

TEST_F(QueueChannel, ExampleEventMakesTheRoundTripIntact) {
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);
    Channel sender = open_channel(name_, VIX_IO_MODE_SEND);
    ASSERT_NE(nullptr, sender);

    const char data[5] = {'1', ',', '2', ',', '\0'};
    Buffer out(vix_io_serialize(nullptr, nullptr, "modbus_ret", "1s0 modbus_read_data", data, 5));
    ASSERT_NE(nullptr, out);
    ASSERT_EQ(57, out->used);
    ASSERT_EQ(0, vix_io_send(sender.get(), out.get()));

    vix_io_buffer *in = nullptr;
    ASSERT_EQ(57, vix_io_receive(receiver.get(), &in));
    Buffer owned(in);
    ASSERT_NE(nullptr, in);
    EXPECT_GE(in->size, 100);
    EXPECT_EQ(57, in->used);
    EXPECT_EQ(0, std::memcmp(out->data, in->data, 57));

    char *target = nullptr;
    char *name = nullptr;
    char *format = nullptr;
    void *payload = nullptr;
    ASSERT_EQ(5, vix_io_unserialize(in, &target, &name, &format, &payload));
    EXPECT_STREQ("modbus_ret", name);
    EXPECT_STREQ("", target);
    EXPECT_STREQ("1s0 modbus_read_data", format);
    EXPECT_EQ(in->data + 52, payload);
    EXPECT_EQ(0, std::memcmp(data, payload, 5));

    // Neither transport operation is offered by the queue.
    EXPECT_EQ(-1, vix_io_grow_buffer(sender.get(), 4096));
    EXPECT_EQ(-1, vix_io_max_message(receiver.get()));
}

TEST_F(QueueChannel, ReceiveDoublesTheBufferUntilTheMessageFits) {
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    Channel sender = open_channel(name_, VIX_IO_MODE_SEND);
    ASSERT_NE(nullptr, receiver);
    ASSERT_NE(nullptr, sender);

    // 1000 bytes do not fit 100, 200, 400 or 800 bytes of storage less 16; 1600 do.
    const std::string text(1000 - 12 - 16, 'z');  // strings 4 + 1 + 9, padding 2
    Buffer big = make_event("big", text);
    ASSERT_EQ(1000, big->used);
    Buffer small = make_event("s", "tiny");
    ASSERT_EQ(0, vix_io_send(sender.get(), big.get()));
    ASSERT_EQ(0, vix_io_send(sender.get(), small.get()));

    Buffer slot(vix_io_size_buffer(nullptr, 50));
    std::string name;
    EXPECT_EQ(text, receive_text(receiver.get(), slot, &name));
    EXPECT_EQ("big", name);
    EXPECT_EQ(1600, slot->size);
    EXPECT_EQ(1000, slot->used);

    // The grown buffer serves the next, smaller message as it is.
    EXPECT_EQ("tiny", receive_text(receiver.get(), slot));
    EXPECT_EQ(1600, slot->size);
}

TEST_F(QueueChannel, SendSideNeedsTheReceiverQueue) {
    EXPECT_EQ(nullptr, open_channel(name_, VIX_IO_MODE_SEND));
    EXPECT_FALSE(queue_exists(name_));

    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);
    EXPECT_TRUE(queue_exists(name_));
    Channel sender = open_channel(name_, VIX_IO_MODE_SEND);
    ASSERT_NE(nullptr, sender);

    // The sender does not own the queue; the receiver removes it.
    sender.reset();
    EXPECT_TRUE(queue_exists(name_));
    receiver.reset();
    EXPECT_FALSE(queue_exists(name_));
}

TEST_F(QueueChannel, NonBlockingReceiveOnAnEmptyQueueSaysEmpty) {
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK);
    ASSERT_NE(nullptr, receiver);
    EXPECT_EQ(VIX_IO_ERROR_NONE, error_codes(receiver.get()).code);

    vix_io_buffer *slot = nullptr;
    EXPECT_EQ(-1, vix_io_receive(receiver.get(), &slot));
    EXPECT_EQ(nullptr, slot) << "a buffer created by a failed receive is released";
    const vix_io_error_codes_t codes = error_codes(receiver.get());
    EXPECT_EQ(ENOMSG, codes.system_error);
    EXPECT_EQ(VIX_IO_ERROR_QUEUE_EMPTY, codes.code);
    EXPECT_STREQ("Message queue empty", vix_io_get_error_message(codes.code));

    // A buffer the caller passed in stays the caller's.
    Buffer mine(vix_io_size_buffer(nullptr, 200));
    vix_io_buffer *raw = mine.get();
    EXPECT_EQ(-1, vix_io_receive(receiver.get(), &raw));
    EXPECT_EQ(mine.get(), raw);
}

TEST_F(QueueChannel, ReceiverReplacesAnOlderQueueWithTheSameKey) {
    Channel either = open_channel(name_, VIX_IO_MODE_EITHER);
    ASSERT_NE(nullptr, either);
    Buffer stale = make_event("stale", "old");
    ASSERT_EQ(0, vix_io_send(either.get(), stale.get()));

    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK);
    ASSERT_NE(nullptr, receiver);
    Buffer slot;
    EXPECT_EQ("<failed>", receive_text(receiver.get(), slot));
    EXPECT_EQ(VIX_IO_ERROR_QUEUE_EMPTY, error_codes(receiver.get()).code);

    // The old handle's queue is gone: its send fails with the system's reason kept.
    EXPECT_EQ(-1, vix_io_send(either.get(), stale.get()));
    const vix_io_error_codes_t codes = error_codes(either.get());
    EXPECT_NE(0, codes.system_error);
    EXPECT_EQ(VIX_IO_ERROR_UNKNOWN, codes.code);
}

TEST_F(QueueChannel, EitherModeCreatesOrJoinsAndOnlyTheCreatorRemoves) {
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);
    Channel joiner = open_channel(name_, VIX_IO_MODE_EITHER);
    ASSERT_NE(nullptr, joiner);
    Buffer event = make_event("e", "joined");
    ASSERT_EQ(0, vix_io_send(joiner.get(), event.get()));
    joiner.reset();
    ASSERT_TRUE(queue_exists(name_)) << "a joiner must not pull the receiver's queue away";
    Buffer slot;
    EXPECT_EQ("joined", receive_text(receiver.get(), slot));
    receiver.reset();

    Channel creator = open_channel(name_, VIX_IO_MODE_EITHER);
    ASSERT_NE(nullptr, creator);
    EXPECT_TRUE(queue_exists(name_));
    Channel sender = open_channel(name_, VIX_IO_MODE_SEND);
    ASSERT_NE(nullptr, sender);
    ASSERT_EQ(0, vix_io_send(sender.get(), event.get()));
    EXPECT_EQ("joined", receive_text(creator.get(), slot));
    creator.reset();
    EXPECT_FALSE(queue_exists(name_));
}

TEST_F(QueueChannel, UnknownModesAndFlagsAreRefused) {
    for (int32_t mode : {3, 4, 15, 32, 64 | VIX_IO_MODE_RECEIVE, -1}) {
        EXPECT_EQ(nullptr, open_channel(name_, mode)) << "mode " << mode;
    }
    EXPECT_FALSE(queue_exists(name_));
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK);
    EXPECT_NE(nullptr, receiver);
}

TEST_F(QueueChannel, NameWithoutPrefixIsItsOwnQueue) {
    const std::string bare = name_.substr(std::strlen("sysvmq://"));
    Channel prefixed = open_channel(name_, VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK);
    Channel plain = open_channel(bare, VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK);
    ASSERT_NE(nullptr, prefixed);
    ASSERT_NE(nullptr, plain);
    EXPECT_TRUE(queue_exists(name_));
    EXPECT_TRUE(queue_exists(bare));

    Channel sender = open_channel(bare, VIX_IO_MODE_SEND);
    ASSERT_NE(nullptr, sender);
    Buffer event = make_event("e", "plain only");
    ASSERT_EQ(0, vix_io_send(sender.get(), event.get()));
    Buffer slot;
    EXPECT_EQ("plain only", receive_text(plain.get(), slot));
    EXPECT_EQ("<failed>", receive_text(prefixed.get(), slot));
}

// The key lines go to standard output; a child prints them into a pipe.
std::string key_lines(const std::string &name, bool old_key, bool show = true) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "<pipe failed>";
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        if (show) {
            setenv("QVIO_SYSV_KEY", "1", 1);
        }
        if (old_key) {
            setenv("QVIO_SYSV_OLD_KEY", "1", 1);
        }
        vix_io_close(vix_io_open(name.c_str(), VIX_IO_MODE_RECEIVE));
        std::fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char chunk[256];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return text;
}

TEST_F(QueueChannel, KeyLinesShowTheHashAndTheProjectByte) {
    // Values worked out by hand from the hash's definition.
    EXPECT_EQ(0x811c9dc6u, reference_key(""));
    EXPECT_EQ(0x050c5d7fu, reference_key("a"));

    EXPECT_EQ(
        "SYSV 32 bit KEY for [CalderChannelIn] is 0x23aefecd\n"
        "SYSV 8 bit KEY for [CalderChannelIn] is 0x33\n",
        key_lines("CalderChannelIn", false));
    EXPECT_EQ(
        "SYSV 32 bit KEY for [CalderChannelOut] is 0xff6c1bec\n"
        "SYSV 8 bit KEY for [CalderChannelOut] is 0xf7\n",
        key_lines("CalderChannelOut", false));
    EXPECT_EQ(
        "SYSV 32 bit KEY for [sysvmq://CalderChannelIn] is 0xeb910858\n"
        "SYSV 8 bit KEY for [sysvmq://CalderChannelIn] is 0x50\n",
        key_lines("sysvmq://CalderChannelIn", false));
    EXPECT_EQ(
        "SYSV 32 bit KEY for [CalderChannelIn] is 0x23aefecd\n"
        "SYSV 8 bit KEY for [CalderChannelIn] is 0xbe\n",
        key_lines("CalderChannelIn", true));
    EXPECT_EQ("", key_lines("CalderChannelIn", false, false));
}

TEST_F(QueueChannel, QueueSitsAtTheKeyOfItsProjectByte) {
    for (bool old_key : {false, true}) {
        if (old_key) {
            setenv("QVIO_SYSV_OLD_KEY", "1", 1);
        } else {
            unsetenv("QVIO_SYSV_OLD_KEY");
        }
        Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
        ASSERT_NE(nullptr, receiver);
        const uint32_t key = reference_key(name_);
        const uint32_t folded =
            old_key ? key ^ (key >> 8) ^ (key >> 16) ^ (key >> 24) : key ^ (key >> 8);
        const std::vector<int> open = queues_left(dir_.path());
        ASSERT_EQ(1u, open.size());
        EXPECT_EQ(static_cast<int>(folded & 0xff), open[0]) << "old key " << old_key;
    }
    unsetenv("QVIO_SYSV_OLD_KEY");
}

// Child side of the two-process exchange; returns its exit code. Runs in a function so the
// channels close (and the child's own queue goes) before the child exits.
int run_sender(const std::string &name, const std::string &reply_name, int events) {
    Channel out(vix_io_open(name.c_str(), VIX_IO_MODE_SEND));
    if (!out) {
        return 2;
    }
    for (int i = 0; i < events; ++i) {
        Buffer event = make_event("seq", std::to_string(i));
        if (!event || vix_io_send(out.get(), event.get()) != 0) {
            return 3;
        }
    }
    // Answer on a queue of our own once the parent says it is listening.
    Channel in(vix_io_open(reply_name.c_str(), VIX_IO_MODE_RECEIVE));
    Buffer ready = make_event("ready", "");
    if (!in || vix_io_send(out.get(), ready.get()) != 0) {
        return 4;
    }
    Buffer slot;
    return receive_text(in.get(), slot) == "ack" ? 0 : 5;
}

TEST_F(QueueChannel, TwoProcessesExchangeEventsInOrder) {
    constexpr int kEvents = 50;
    Channel receiver = open_channel(name_, VIX_IO_MODE_RECEIVE);
    ASSERT_NE(nullptr, receiver);
    const std::string reply_name = name_ + "-reply";

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);  // never outlive a parent that gave up
        _exit(run_sender(name_, reply_name, kEvents));
    }

    Buffer slot;
    for (int i = 0; i < kEvents; ++i) {
        ASSERT_EQ(std::to_string(i), receive_text(receiver.get(), slot));
    }
    std::string name;
    receive_text(receiver.get(), slot, &name);
    ASSERT_EQ("ready", name);
    Channel reply = open_channel(reply_name, VIX_IO_MODE_SEND);
    ASSERT_NE(nullptr, reply);
    Buffer ack = make_event("ack", "ack");
    ASSERT_EQ(0, vix_io_send(reply.get(), ack.get()));

    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
