// The IO channel's message queues against a second local user: who may send on a queue root
// created, and whether root joins a queue that the other user put in place first (to read the
// replies meant for the UI, or to feed the bridge requests).
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "bus_probe.hpp"
#include "log_capture.hpp"
#include "vix_io.h"

namespace {

// The queue's System V key for a channel name under key path dir, written out from the
// transport's definition.
key_t queue_key(const std::string &dir, const std::string &name) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : name) {
        hash = (hash * 16777619u) ^ c;
    }
    hash += 1u;
    return ftok(dir.c_str(), static_cast<int>((hash ^ (hash >> 8)) & 0xffu));
}

int send_one(vix_io_channel_t *channel, const char *text) {
    vix_io_buffer *event = vix_io_serialize(nullptr, nullptr, "modbus_p", "1s0 text", text,
                                            static_cast<std::int32_t>(std::strlen(text) + 1));
    const int rc = event != nullptr ? vix_io_send(channel, event) : -1;
    vix_io_free_buffer(event);
    return rc;
}

class QueueSecurity : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: the probe runs as nobody";
        }
        setenv("QVIO_FTOK_PATH", dir_.path().c_str(), 1);
        unsetenv("QVIO_SYSV_MODE");
    }
    void TearDown() override {
        const int left = msgget(queue_key(dir_.path(), kName), 0);
        if (left >= 0) {
            msgctl(left, IPC_RMID, nullptr);
        }
        unsetenv("QVIO_SYSV_MODE");
        unsetenv("QVIO_FTOK_PATH");
    }
    static constexpr const char *kName = "CalderChannelOut";
    kor_test::ScratchDir dir_;
};

TEST_F(QueueSecurity, AnotherUserSendsOnlyWhereTheInstallationAllowsIt) {
    struct Case {
        const char *mode;  // QVIO_SYSV_MODE, null for unset
        unsigned expected_mode;
        bool nobody_sends;
    } cases[] = {
        {nullptr, 0660, false},
        {"0666", 0666, true},
        {"0600", 0600, false},
        {"99", 0660, false},  // not octal: the default holds
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode != nullptr ? c.mode : "unset");
        if (c.mode != nullptr) {
            setenv("QVIO_SYSV_MODE", c.mode, 1);
        } else {
            unsetenv("QVIO_SYSV_MODE");
        }
        vix_io_channel_t *receiver = vix_io_open(kName, VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK);
        ASSERT_NE(nullptr, receiver);
        msqid_ds info{};
        ASSERT_EQ(0, msgctl(msgget(queue_key(dir_.path(), kName), 0), IPC_STAT, &info));
        EXPECT_EQ(c.expected_mode, info.msg_perm.mode & 0777u);

        const int probe = bus_probe::as_nobody([] {
            vix_io_channel_t *sender = vix_io_open(kName, VIX_IO_MODE_SEND | VIX_IO_FLAG_NONBLOCK);
            if (sender == nullptr) {
                return 1;
            }
            const int rc = send_one(sender, "56,1,999");
            vix_io_close(sender);
            return rc == 0 ? 0 : 1;
        });
        EXPECT_EQ(c.nobody_sends ? 0 : 1, probe) << "0 sent, 1 refused";
        vix_io_buffer *in = nullptr;
        EXPECT_EQ(c.nobody_sends, vix_io_receive(receiver, &in) > 0);
        vix_io_free_buffer(in);
        vix_io_close(receiver);
    }
}

TEST_F(QueueSecurity, AQueueAnotherUserPutInPlaceIsNotJoined) {
    struct Case {
        const char *mode;  // QVIO_SYSV_MODE of root's side, null for unset
        bool joined;
    } cases[] = {
        {nullptr, false}, {"0666", true},  // an installation that shares its queues between users
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode != nullptr ? c.mode : "unset");
        // nobody creates the queue, open to all, and hands its ownership to root: only its
        // creator shows who it really is.
        const std::string dir = dir_.path();
        ASSERT_EQ(0, bus_probe::as_nobody([&dir] {
                      const int queue = msgget(queue_key(dir, kName), IPC_CREAT | IPC_EXCL | 0666);
                      msqid_ds info{};
                      if (queue < 0 || msgctl(queue, IPC_STAT, &info) != 0) {
                          return 1;
                      }
                      info.msg_perm.uid = 0;
                      return msgctl(queue, IPC_SET, &info) == 0 ? 0 : 2;
                  }));
        if (c.mode != nullptr) {
            setenv("QVIO_SYSV_MODE", c.mode, 1);
        } else {
            unsetenv("QVIO_SYSV_MODE");
        }
        for (const std::int32_t mode : {VIX_IO_MODE_SEND, VIX_IO_MODE_EITHER}) {
            vix_io_channel_t *joined = vix_io_open(kName, mode);
            EXPECT_EQ(c.joined, joined != nullptr) << "mode " << mode;
            vix_io_close(joined);
        }
        // The receiving side replaces the planted queue with its own.
        vix_io_channel_t *receiver = vix_io_open(kName, VIX_IO_MODE_RECEIVE);
        ASSERT_NE(nullptr, receiver);
        msqid_ds info{};
        ASSERT_EQ(0, msgctl(msgget(queue_key(dir, kName), 0), IPC_STAT, &info));
        EXPECT_EQ(0u, info.msg_perm.cuid);
        vix_io_close(receiver);
    }
}

}  // namespace
