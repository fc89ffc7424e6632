// Service bus in one process: endpoints created directly play sender and receiver over a scratch
// bus folder, raw sockets play misbehaving peers, and the C functions act on the process-wide
// channel. Covers names, modes, delivery and order, non-blocking sends, dropped clients, garbage,
// stale and live socket files, and the limits.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.hpp"
#include "vix_io.h"
#include "zeb_bus.hpp"
#include "zeb_common.h"

using namespace std::chrono_literals;
using kor_test::wait_until;
using zeb::BusEndpoint;
using zeb::EventPtr;

namespace {

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus_dir_ = scratch_.file("bus");  // missing: the first endpoint creates it
        ::setenv("ZEB_BUS_DIR", bus_dir_.c_str(), 1);
    }
    void TearDown() override {
        zeb_service_uninitialize();
        ::unsetenv("ZEB_BUS_DIR");
    }

    std::unique_ptr<BusEndpoint> open(const char *name) {
        std::unique_ptr<BusEndpoint> ep;
        EXPECT_EQ(0, BusEndpoint::open(name, ep)) << name;
        return ep;
    }
    std::string path(const std::string &channel) const { return bus_dir_ + "/" + channel; }

    // A raw connection to a channel, as a foreign or broken peer would make.
    int raw_connect(const std::string &channel) const {
        int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path(channel).c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
        return fd;
    }

    static EventPtr next(BusEndpoint &ep, int timeout_ms = 2000) {
        zeb_event_t *ev = nullptr;
        const int rc = ep.wait_event(&ev, timeout_ms);
        EXPECT_EQ(0, rc);
        return EventPtr(ev);
    }

    kor_test::ScratchDir scratch_;
    kor_test::LogCapture log_;
    std::string bus_dir_;
};

int32_t int_of(const zeb_event_t *ev) {
    int32_t v = 0;
    std::memcpy(&v, ev->data, sizeof v);
    return v;
}

bool exists(const std::string &p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

}  // namespace

TEST_F(BusTest, ChannelNamesAreChecked) {
    for (const char *ok :
         {"zeb_backend", "zeb.update-2", "A", "abcdefghijklmnopqrstuvwxyz012345"}) {
        EXPECT_TRUE(zeb::valid_channel_name(ok)) << ok;
    }
    for (const char *bad : {"", ".hidden", "..", "../etc", "a/b", "a b", "ümlaut", "x\n",
                            "abcdefghijklmnopqrstuvwxyz0123456"}) {
        EXPECT_FALSE(zeb::valid_channel_name(bad)) << bad;
        EXPECT_EQ(-EINVAL, zeb_service_initialize(bad)) << bad;
    }
    EXPECT_FALSE(zeb::valid_channel_name(nullptr));
    EXPECT_EQ(-EINVAL, zeb_service_initialize(nullptr));

    auto a = open("alpha");
    EXPECT_EQ(-EINVAL, a->register_client("../beta", 1));
    EXPECT_EQ(-EINVAL, a->register_client(nullptr, 1));
    EXPECT_EQ(-EINVAL, a->send_event("no/slash", "ev", "", nullptr, 0));
    EXPECT_EQ(-EINVAL, zeb_service_send_event(".x", "ev", "", nullptr, 0));
    // Nothing escaped the bus folder.
    EXPECT_FALSE(exists(scratch_.file("beta")));
}

TEST_F(BusTest, FolderAndSocketModesAndCleanup) {
    auto a = open("alpha");
    struct stat st;
    ASSERT_EQ(0, ::stat(bus_dir_.c_str(), &st));
    EXPECT_EQ(0770u, st.st_mode & 07777);
    ASSERT_EQ(0, ::stat(path("alpha").c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0660u, st.st_mode & 07777);
    a.reset();
    EXPECT_FALSE(exists(path("alpha")));
}

TEST_F(BusTest, EventsTravelWithNameFormatSenderAndData) {
    auto a = open("alpha");
    auto b = open("beta");
    const int32_t value = -5;
    ASSERT_EQ(0, a->send_event("beta", "zeb.varlo.set_target_temperature", "4s1 target", &value,
                               sizeof value));
    EventPtr ev = next(*b);
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.set_target_temperature", ev->name);
    EXPECT_STREQ("4s1 target", ev->format);
    EXPECT_STREQ("alpha", ev->sender);
    ASSERT_EQ(4, ev->length);
    EXPECT_EQ(-5, int_of(ev.get()));

    // No data and no descriptor.
    ASSERT_EQ(0, a->send_event("beta", "zeb.varlo.generate_logs", nullptr, nullptr, 0));
    ev = next(*b);
    EXPECT_STREQ("zeb.varlo.generate_logs", ev->name);
    EXPECT_STREQ("", ev->format);
    EXPECT_EQ(0, ev->length);
    EXPECT_EQ(nullptr, ev->data);

    // A "1s0" string sent without its NUL is still terminated on arrival.
    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    ASSERT_EQ(0, a->send_event("beta", "menu", "1s0 name", unterminated, 4));
    ev = next(*b);
    ASSERT_EQ(4, ev->length);
    EXPECT_STREQ("abcd", static_cast<const char *>(ev->data));

    // Largest event: the whole message at most 64 KiB.
    std::vector<char> big(ZEB_MAX_EVENT_SIZE - 64);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 7);
    }
    ASSERT_EQ(
        0, a->send_event("beta", "big", "1s0 blob", big.data(), static_cast<int32_t>(big.size())));
    ev = next(*b);
    ASSERT_EQ(static_cast<int32_t>(big.size()), ev->length);
    EXPECT_EQ(0, std::memcmp(big.data(), ev->data, big.size()));
    std::vector<char> too_big(ZEB_MAX_EVENT_SIZE);
    EXPECT_EQ(-EMSGSIZE, a->send_event("beta", "big", "1s0 blob", too_big.data(),
                                       static_cast<int32_t>(too_big.size())));
    EXPECT_EQ(-EINVAL, a->send_event("beta", nullptr, "", nullptr, 0));
    EXPECT_EQ(-EINVAL, a->send_event("beta", "ev", "4s1 x", nullptr, 4));

    // Nothing else arrived, and a wait with a time-out says so.
    zeb_event_t *none = nullptr;
    EXPECT_EQ(1, b->wait_event(&none, 20));
    EXPECT_EQ(nullptr, none);
}

TEST_F(BusTest, BurstOfNotificationsArrivesWholeAndInOrder) {
    auto server = open("server");
    auto client = open("client");
    ASSERT_EQ(0, server->register_client("client", 7));
    constexpr int kEvents = 100;
    std::vector<int32_t> seen;
    std::atomic<bool> reader_failed{false};
    std::thread reader([&] {
        for (int i = 0; i < kEvents; ++i) {
            zeb_event_t *ev = nullptr;
            if (client->wait_event(&ev, 5000) != 0) {
                reader_failed = true;
                return;
            }
            EventPtr owned(ev);
            if (owned->length != 12) {
                reader_failed = true;
                return;
            }
            seen.push_back(int_of(owned.get()));
        }
    });
    // Real notifications are small: a burst of them must fit the connection whole, with no
    // event lost and none refused, as a datagram socket's ten-message queue would.
    int reached = 0;
    for (int32_t i = 0; i < kEvents; ++i) {
        const int32_t fields[3] = {i, 500, 80};
        reached += server->notify_all("zeb.varlo.temperature_notify",
                                      "4s1 temperature 4s1 target 4s1 heat_percent", fields,
                                      sizeof fields);
    }
    reader.join();
    EXPECT_FALSE(reader_failed.load());
    EXPECT_EQ(kEvents, reached);
    ASSERT_EQ(static_cast<std::size_t>(kEvents), seen.size());
    for (int32_t i = 0; i < kEvents; ++i) {
        EXPECT_EQ(i, seen[static_cast<std::size_t>(i)]);
    }
}

TEST_F(BusTest, SendsNeverBlockOnAReceiverThatDoesNotRead) {
    auto server = open("server");
    auto idle = open("idle");  // never reads
    ASSERT_EQ(0, server->register_client("idle", 1));
    std::vector<char> payload(60000, 'x');
    int reached = 0;
    int full = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) {
        const int rc = server->notify_all("ev", "1s0 blob", payload.data(),
                                          static_cast<int32_t>(payload.size()));
        reached += rc;
        full += rc == 0 ? 1 : 0;
    }
    // A direct send to the full connection says so instead of waiting.
    EXPECT_EQ(-EAGAIN, server->send_event("idle", "ev", "1s0 blob", payload.data(),
                                          static_cast<int32_t>(payload.size())));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 2s);
    EXPECT_GT(reached, 0);
    EXPECT_GT(full, 0) << "the connection never filled up";
    EXPECT_EQ(1u, server->client_count()) << "a full client is not a gone client";
    // Once it reads, what was queued arrives whole.
    EventPtr ev = next(*idle);
    ASSERT_TRUE(ev);
    EXPECT_EQ(60000, ev->length);
}

TEST_F(BusTest, VanishedClientsAreDroppedWithoutBlocking) {
    auto server = open("server");
    auto stays = open("stays");
    auto leaves = open("leaves");
    ASSERT_EQ(0, server->register_client("stays", 1));
    ASSERT_EQ(0, server->register_client("leaves", 2));
    ASSERT_EQ(0, server->register_client("never_existed", 3));
    EXPECT_EQ(2, server->notify_all("first", "", nullptr, 0));
    EXPECT_EQ(2u, server->client_count());  // never_existed is gone already
    ASSERT_TRUE(next(*leaves));

    leaves.reset();  // closes its connections and removes its socket file
    EXPECT_EQ(1, server->notify_all("second", "", nullptr, 0));
    EXPECT_EQ(1u, server->client_count());
    EXPECT_EQ(1, log_.count_containing("client leaves is gone"));
    EXPECT_EQ(1, log_.count_containing("client never_existed is gone"));
    EXPECT_EQ(1, server->notify_all("third", "", nullptr, 0));
    EXPECT_EQ(1, log_.count_containing("client leaves is gone"));  // dropped once

    // The remaining client got everything, in order.
    EXPECT_STREQ("first", next(*stays)->name);
    EXPECT_STREQ("second", next(*stays)->name);
    EXPECT_STREQ("third", next(*stays)->name);

    // A dropped client may register again once it is back.
    auto back = open("leaves");
    ASSERT_EQ(0, server->register_client("leaves", 2));
    EXPECT_EQ(2, server->notify_all("fourth", "", nullptr, 0));
    EXPECT_STREQ("fourth", next(*back)->name);
}

TEST_F(BusTest, KeptConnectionReconnectsOnceWhenThePeerRestarted) {
    auto a = open("alpha");
    auto b = open("beta");
    ASSERT_EQ(0, a->send_event("beta", "before", "", nullptr, 0));
    EXPECT_STREQ("before", next(*b)->name);
    b.reset();
    b = open("beta");
    ASSERT_EQ(0, a->send_event("beta", "after", "", nullptr, 0));
    EXPECT_STREQ("after", next(*b)->name);
    b.reset();
    EXPECT_EQ(-ENOENT, a->send_event("beta", "nobody", "", nullptr, 0));
}

TEST_F(BusTest, GarbageIsDroppedWithAWarningAndTheWaitGoesOn) {
    auto b = open("beta");
    const int garbage = raw_connect("beta");
    const int oversize = raw_connect("beta");
    const int lying = raw_connect("beta");
    const int good = raw_connect("beta");
    ASSERT_EQ(13, ::send(garbage, "garbage bytes", 13, MSG_NOSIGNAL));

    // A well-formed header whose total size does not match what arrived.
    vix_io_buffer *msg = vix_io_serialize(nullptr, "raw", "liar", "", "abcd", 4);
    ASSERT_NE(nullptr, msg);
    const std::uint32_t wrong = static_cast<std::uint32_t>(msg->used) + 100;
    std::memcpy(msg->data, &wrong, sizeof wrong);
    ASSERT_EQ(msg->used,
              ::send(lying, msg->data, static_cast<std::size_t>(msg->used), MSG_NOSIGNAL));

    int sndbuf = 4 * ZEB_MAX_EVENT_SIZE;
    ::setsockopt(oversize, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    std::vector<char> huge(ZEB_MAX_EVENT_SIZE + 100, 'h');
    ASSERT_EQ(static_cast<ssize_t>(huge.size()),
              ::send(oversize, huge.data(), huge.size(), MSG_NOSIGNAL));

    msg = vix_io_serialize(msg, "raw", "good.event", "4s1 v", "\x01\x00\x00\x00", 4);
    ASSERT_EQ(msg->used,
              ::send(good, msg->data, static_cast<std::size_t>(msg->used), MSG_NOSIGNAL));
    vix_io_free_buffer(msg);

    EventPtr ev = next(*b);
    ASSERT_TRUE(ev);
    EXPECT_STREQ("good.event", ev->name);
    EXPECT_STREQ("raw", ev->sender);
    EXPECT_EQ(1, int_of(ev.get()));
    EXPECT_EQ(1, log_.count("zeb_service: dropping an undecodable message of 13 bytes on "
                            "channel beta, closing its connection"));
    EXPECT_EQ(1, log_.count_containing("dropping an undecodable message of 32 bytes"));
    EXPECT_EQ(1, log_.count("zeb_service: dropping a message above 65536 bytes on channel beta, "
                            "closing its connection"));
    for (const auto &line : log_.lines()) {
        if (line.message.find("dropping") != std::string::npos) {
            EXPECT_EQ(ZEB_LOG_WARNING, line.level);
            EXPECT_EQ("zeb_common", line.module);
        }
    }

    // The three offenders were hung up on; the good sender still is connected.
    for (int fd : {garbage, oversize, lying}) {
        EXPECT_TRUE(wait_until(
            [&] { return ::send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno == EPIPE; },
            2s));
        ::close(fd);
    }
    zeb_event_t *none = nullptr;
    EXPECT_EQ(1, b->wait_event(&none, 10));
    msg = vix_io_serialize(nullptr, "raw", "still.here", "", nullptr, 0);
    ASSERT_EQ(msg->used,
              ::send(good, msg->data, static_cast<std::size_t>(msg->used), MSG_NOSIGNAL));
    vix_io_free_buffer(msg);
    EXPECT_STREQ("still.here", next(*b)->name);
    ::close(good);
}

TEST_F(BusTest, RegistrationLimits) {
    auto server = open("server");
    EXPECT_EQ(0, server->register_client("ui", 1));
    EXPECT_EQ(0, server->register_client("ui", 2));  // same name once
    EXPECT_EQ(1u, server->client_count());
    for (int i = 1; i < ZEB_MAX_CLIENTS; ++i) {
        EXPECT_EQ(0, server->register_client(("client" + std::to_string(i)).c_str(), i));
    }
    EXPECT_EQ(static_cast<std::size_t>(ZEB_MAX_CLIENTS), server->client_count());
    EXPECT_EQ(-ENOSPC, server->register_client("one_too_many", 0));
    EXPECT_EQ(0, server->register_client("ui", 3));       // a known one still may
    EXPECT_EQ(-ENOTCONN, zeb_service_register("ui", 1));  // no process-wide channel yet
}

TEST_F(BusTest, LiveChannelIsNeverStolenButAStaleOneIsReplaced) {
    auto live = open("beta");
    std::unique_ptr<BusEndpoint> thief;
    EXPECT_EQ(-EADDRINUSE, BusEndpoint::open("beta", thief));
    EXPECT_FALSE(thief);
    auto a = open("alpha");
    ASSERT_EQ(0, a->send_event("beta", "still.mine", "", nullptr, 0));
    EXPECT_STREQ("still.mine", next(*live)->name);

    // A socket file left behind by a process that died without cleaning up.
    {
        int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path("gamma").c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
        ASSERT_EQ(0, ::listen(fd, 1));
        ::close(fd);
    }
    ASSERT_TRUE(exists(path("gamma")));
    auto gamma = open("gamma");
    ASSERT_TRUE(gamma);
    EXPECT_EQ(1, log_.count("zeb_service: replacing the stale socket " + path("gamma")));
    ASSERT_EQ(0, a->send_event("gamma", "hello", "", nullptr, 0));
    EXPECT_STREQ("hello", next(*gamma)->name);

    // A file that is not a socket is not the bus's to remove.
    std::ofstream(path("delta")) << "keep me";
    std::unique_ptr<BusEndpoint> delta;
    EXPECT_EQ(-EADDRINUSE, BusEndpoint::open("delta", delta));
    EXPECT_TRUE(exists(path("delta")));
}

TEST_F(BusTest, AChannelFileAppearsOnlyOnceItAcceptsConnections) {
    // Senders take the channel's file as the sign that it is up (tools and tests poll for it):
    // every file that shows must take a connection at once, and nothing else is left behind.
    constexpr int kChannels = 100;
    std::vector<std::unique_ptr<BusEndpoint>> opened(kChannels);
    std::thread opener([&] {
        for (int i = 0; i < kChannels; ++i) {
            EXPECT_EQ(0, BusEndpoint::open(("ch" + std::to_string(i)).c_str(), opened[i]));
        }
    });
    for (int i = 0; i < kChannels; ++i) {
        const std::string name = "ch" + std::to_string(i);
        // A tight poll, so a file that shows before its socket listens is caught.
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!exists(path(name))) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << name;
        }
        const int fd = raw_connect(name);
        ::close(fd);
    }
    opener.join();
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(bus_dir_)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(static_cast<std::size_t>(kChannels), names.size());
    for (const auto &name : names) {
        EXPECT_EQ(0u, name.rfind("ch", 0)) << name;
    }
}

TEST_F(BusTest, ProcessWideChannelThroughTheCInterface) {
    auto peer = open("peer");
    // Sending works before the process has a channel of its own; the sender is then empty.
    ASSERT_EQ(0, zeb_service_send_event("peer", "anon", "", nullptr, 0));
    EventPtr ev = next(*peer);
    EXPECT_STREQ("anon", ev->name);
    EXPECT_STREQ("", ev->sender);
    zeb_event_t *raw = nullptr;
    EXPECT_EQ(-ENOTCONN, zeb_service_wait_event_timeout(&raw, 0));
    EXPECT_EQ(ENOTCONN, errno);
    EXPECT_EQ(-ENOTCONN, zeb_service_notify_all("ev", "", nullptr, 0));

    ASSERT_EQ(0, zeb_service_initialize("zeb_backend"));
    EXPECT_EQ(-EALREADY, zeb_service_initialize("zeb_backend"));
    ASSERT_EQ(0, zeb_service_register("peer", 1));
    const int32_t v = 42;
    EXPECT_EQ(1, zeb_service_notify_all("zeb.varlo.power_on", "4s1 v", &v, 4));
    ev = next(*peer);
    EXPECT_STREQ("zeb.varlo.power_on", ev->name);
    EXPECT_STREQ("zeb_backend", ev->sender);
    EXPECT_EQ(42, int_of(ev.get()));

    ASSERT_EQ(0, peer->send_event("zeb_backend", "zeb.varlo.register", "", nullptr, 0));
    ASSERT_EQ(0, zeb_service_wait_event(&raw));
    EXPECT_STREQ("zeb.varlo.register", raw->name);
    EXPECT_STREQ("peer", raw->sender);
    zeb_service_free_event(raw);
    EXPECT_EQ(1, zeb_service_wait_event_timeout(&raw, 10));
    EXPECT_EQ(nullptr, raw);

    EXPECT_EQ(0, zeb_service_uninitialize());
    EXPECT_FALSE(exists(path("zeb_backend")));
    EXPECT_EQ(-ENOTCONN, zeb_service_wait_event(&raw));
    // The channel can be opened again.
    ASSERT_EQ(0, zeb_service_initialize("zeb_backend"));
}

TEST_F(BusTest, UninitializeWakesAThreadBlockedInWait) {
    ASSERT_EQ(0, zeb_service_initialize("zeb_backend"));
    std::atomic<int> result{1};
    std::atomic<int> err{0};
    std::atomic<pid_t> tid{0};
    std::thread waiter([&] {
        tid = static_cast<pid_t>(::gettid());
        zeb_event_t *ev = nullptr;
        const int rc = zeb_service_wait_event(&ev);
        err = errno;
        result = rc;
        zeb_service_free_event(ev);
    });
    // The waiter blocks in the kernel (state S in its stat line), however long it took to start.
    const auto blocked = [&] {
        std::ifstream in("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
        std::string line;
        std::getline(in, line);
        const std::size_t name_end = line.rfind(')');
        return name_end != std::string::npos && name_end + 2 < line.size() &&
               line[name_end + 2] == 'S';
    };
    EXPECT_TRUE(wait_until([&] { return tid.load() != 0 && blocked(); }, 5s));
    EXPECT_EQ(1, result.load()) << "the wait returned without an event";
    EXPECT_EQ(0, zeb_service_uninitialize());
    waiter.join();
    EXPECT_EQ(-ESHUTDOWN, result.load());
    EXPECT_EQ(ESHUTDOWN, err.load());
    EXPECT_FALSE(exists(path("zeb_backend")));
}

TEST_F(BusTest, SocketPathTooLongIsRefused) {
    const std::string deep = scratch_.file(std::string(90, 'd'));
    ::setenv("ZEB_BUS_DIR", deep.c_str(), 1);
    std::unique_ptr<BusEndpoint> ep;
    EXPECT_EQ(-ENAMETOOLONG, BusEndpoint::open("abcdefghijklmnopqrstuvwxyz", ep));
}
