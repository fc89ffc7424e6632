// Service bus between real processes over a scratch bus folder: a forked child registers as a
// client, receives a burst in order and answers; once it is killed, notifications neither block
// nor raise SIGPIPE, the client is dropped, and a new process takes over its stale socket file.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "log_capture.hpp"
#include "zeb_common.h"

using namespace std::chrono_literals;

namespace {

constexpr int kBurst = 100;

// Sends until the parent's channel is up; the parent may still be starting.
bool announce(const char *event, int32_t value) {
    for (int i = 0; i < 500; ++i) {
        if (zeb_service_send_event("parent", event, "4s1 value", &value, sizeof value) == 0) {
            return true;
        }
        ::usleep(10000);
    }
    return false;
}

// The client process: registers, checks the burst, reports, then serves until killed.
int client_main() {
    ::alarm(20);  // a hung child must not hang the suite
    if (zeb_service_initialize("child") != 0) {
        return 10;
    }
    if (!announce("child.ready", 0)) {
        return 11;
    }
    int32_t expected = 0;
    while (expected < kBurst) {
        zeb_event_t *ev = nullptr;
        if (zeb_service_wait_event(&ev) != 0) {
            return 12;
        }
        int32_t seq = -1;
        if (std::strcmp(ev->name, "seq") == 0 && ev->length == 4) {
            std::memcpy(&seq, ev->data, sizeof seq);
        }
        zeb_service_free_event(ev);
        if (seq != expected) {
            return 13;
        }
        ++expected;
    }
    if (zeb_service_send_event("parent", "child.done", "4s1 count", &expected, 4) != 0) {
        return 14;
    }
    for (;;) {
        zeb_event_t *ev = nullptr;
        if (zeb_service_wait_event(&ev) != 0) {
            return 15;
        }
        zeb_service_free_event(ev);
    }
}

// A process that takes over the channel "child" and says so.
int successor_main() {
    ::alarm(20);
    // Forked after the parent opened its channel: drop the inherited copy first. That must not
    // remove the parent's socket file.
    zeb_service_uninitialize();
    const int rc = zeb_service_initialize("child");
    if (!announce("child.back", rc)) {
        return 11;
    }
    zeb_service_uninitialize();
    return rc == 0 ? 0 : 10;
}

pid_t spawn(int (*body)()) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    return pid;
}

// Exit code of the child, or -1 when it does not end in time.
int reap(pid_t pid) {
    int status = 0;
    const bool ended =
        kor_test::wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The next event of that name (others are skipped), with its first 32-bit field.
bool expect_event(const char *name, int32_t &value, const char *sender) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        zeb_event_t *ev = nullptr;
        if (zeb_service_wait_event_timeout(&ev, 200) != 0) {
            continue;
        }
        const bool match = std::strcmp(ev->name, name) == 0 && ev->length >= 4 &&
                           std::strcmp(ev->sender, sender) == 0;
        if (match) {
            std::memcpy(&value, ev->data, sizeof value);
        }
        zeb_service_free_event(ev);
        if (match) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(BusProcesses, ClientProcessGetsBurstInOrderThenVanishesAndIsReplaced) {
    kor_test::ScratchDir scratch;
    const std::string dir = scratch.file("bus");
    ::setenv("ZEB_BUS_DIR", dir.c_str(), 1);
    kor_test::LogCapture log;

    const pid_t child = spawn(client_main);
    ASSERT_GT(child, 0);
    ASSERT_EQ(0, zeb_service_initialize("parent"));
    int32_t value = -1;
    ASSERT_TRUE(expect_event("child.ready", value, "child"));
    ASSERT_EQ(0, zeb_service_register("child", 1));
    for (int32_t i = 0; i < kBurst; ++i) {
        ASSERT_EQ(1, zeb_service_notify_all("seq", "4s1 seq", &i, sizeof i)) << "event " << i;
    }
    ASSERT_TRUE(expect_event("child.done", value, "child"));
    EXPECT_EQ(kBurst, value);

    // The client dies without leaving the bus: its socket file stays behind.
    ASSERT_EQ(0, ::kill(child, SIGKILL));
    EXPECT_EQ(128 + SIGKILL, reap(child));
    struct stat st;
    ASSERT_EQ(0, ::stat((dir + "/child").c_str(), &st));

    // Sending to it neither blocks nor kills this process with SIGPIPE; it is dropped once.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, zeb_service_notify_all("after", "", nullptr, 0));
    EXPECT_EQ(0, zeb_service_notify_all("again", "", nullptr, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3000ms);
    EXPECT_EQ(1, log.count_containing("client child is gone"));

    // A new process takes over the stale channel.
    const pid_t successor = spawn(successor_main);
    ASSERT_GT(successor, 0);
    ASSERT_TRUE(expect_event("child.back", value, "child"));
    EXPECT_EQ(0, value) << "zeb_service_initialize in the successor";
    EXPECT_EQ(0, reap(successor));

    EXPECT_EQ(0, zeb_service_uninitialize());
    ::unsetenv("ZEB_BUS_DIR");
}

TEST(BusProcesses, ForkedProcessCannotTakeOrRemoveALiveChannel) {
    kor_test::ScratchDir scratch;
    ::setenv("ZEB_BUS_DIR", scratch.file("bus").c_str(), 1);
    ASSERT_EQ(0, zeb_service_initialize("child"));
    const pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        ::alarm(10);
        zeb_service_uninitialize();  // the inherited copy; the parent's file must stay
        const int rc = zeb_service_initialize("child");
        ::_exit(rc == -EADDRINUSE ? 0 : 1);
    }
    EXPECT_EQ(0, reap(other));
    // The parent's channel is untouched: its file is there and it receives its own event.
    struct stat st;
    EXPECT_EQ(0, ::stat(scratch.file("bus/child").c_str(), &st));
    ASSERT_EQ(0, zeb_service_send_event("child", "self", "", nullptr, 0));
    zeb_event_t *ev = nullptr;
    ASSERT_EQ(0, zeb_service_wait_event_timeout(&ev, 2000));
    EXPECT_STREQ("self", ev->name);
    zeb_service_free_event(ev);
    EXPECT_EQ(0, zeb_service_uninitialize());
    ::unsetenv("ZEB_BUS_DIR");
}
