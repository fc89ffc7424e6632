// zebctl as a process on a scratch bus folder. The test plays the other side of each command
// with its own channel: the oven manager ("zeb_backend") for send, monitor and offer-firmware,
// a plain sender for listen. It checks the exact bytes zebctl sends, the lines it prints and its
// exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "log_capture.hpp"
#include "zeb_common.h"

using namespace std::chrono_literals;

namespace {

struct EventDeleter {
    void operator()(zeb_event_t *ev) const { zeb_service_free_event(ev); }
};
using EventPtr = std::unique_ptr<zeb_event_t, EventDeleter>;

// zebctl run as a child with standard output and error on pipes; reaped (killed if need be) when
// it goes.
class Zebctl {
  public:
    explicit Zebctl(const std::vector<std::string> &args) {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        const std::string program = kor_test::bin_dir() + "/zebctl";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(program.c_str()));
            for (const std::string &a : args) {
                argv.push_back(const_cast<char *>(a.c_str()));
            }
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Zebctl() {
        if (pid_ > 0 && status_ < -1) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {out_, err_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    Zebctl(const Zebctl &) = delete;
    Zebctl &operator=(const Zebctl &) = delete;

    // Gathers standard output until it holds count lines; false after the timeout.
    bool wait_lines(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (lines().size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !pump(static_cast<int>(left.count()))) {
                return lines().size() >= count;
            }
        }
        return true;
    }

    // Gathers standard error until it contains text; false after the timeout.
    bool wait_error(const std::string &text, std::chrono::milliseconds timeout = 5000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (err_text_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            pump(20);
        }
        return true;
    }

    // Exit status once the process ends, -1 when it had to be killed after the timeout.
    int wait_exit(std::chrono::milliseconds timeout = 5000ms) {
        if (status_ >= -1) {
            return status_;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int st = 0;
            const pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                while (pump(0)) {
                }
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                return status_;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                status_ = -1;
                return status_;
            }
            pump(20);
        }
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(out_text_);
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        // A line counts once its newline arrived.
        if (!out_text_.empty() && out_text_.back() != '\n') {
            out.pop_back();
        }
        return out;
    }
    const std::string &output() const { return out_text_; }
    const std::string &errors() const { return err_text_; }
    pid_t pid() const { return pid_; }

  private:
    // Reads what there is on both pipes, waiting up to timeout_ms; false once stdout ended.
    bool pump(int timeout_ms) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 2, timeout_ms) <= 0) {
            return true;
        }
        bool open = true;
        char buf[4096];
        if (fds[0].revents != 0) {
            const ssize_t n = ::read(out_, buf, sizeof buf);
            if (n > 0) {
                out_text_.append(buf, static_cast<std::size_t>(n));
            } else {
                open = false;
            }
        }
        if (fds[1].revents != 0) {
            const ssize_t n = ::read(err_, buf, sizeof buf);
            if (n > 0) {
                err_text_.append(buf, static_cast<std::size_t>(n));
            }
        }
        return open;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int status_ = -2;  // -2 while running
    std::string out_text_;
    std::string err_text_;
};

// A scratch bus folder for the test, and the test's own channel on it (the manager's by default).
class ZebctlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("ZEB_BUS_DIR", scratch_.path().c_str(), 1);
        ASSERT_EQ(zeb_service_initialize("zeb_backend"), 0);
    }
    void TearDown() override {
        zeb_service_uninitialize();
        ::unsetenv("ZEB_BUS_DIR");
    }

    // The next event on the test's channel, null after the timeout.
    static EventPtr next_event(std::chrono::milliseconds timeout = 5000ms) {
        zeb_event_t *ev = nullptr;
        if (zeb_service_wait_event_timeout(&ev, static_cast<int32_t>(timeout.count())) != 0) {
            return nullptr;
        }
        return EventPtr(ev);
    }

    static std::vector<std::uint8_t> bytes_of(const zeb_event_t &ev) {
        const auto *p = static_cast<const std::uint8_t *>(ev.data);
        return std::vector<std::uint8_t>(p, p + (ev.length > 0 ? ev.length : 0));
    }

    // The channel's socket exists and accepts connections (a probe connect succeeds).
    bool channel_up(const std::string &channel) {
        return kor_test::wait_until([&] {
            struct stat st {};
            if (::stat(scratch_.file(channel).c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
                return false;
            }
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s",
                          scratch_.file(channel).c_str());
            const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            const bool ok =
                fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
            if (fd >= 0) {
                ::close(fd);
            }
            return ok;
        });
    }

    // Sends to zebctl's channel "zeb_update" as the manager answers an offer.
    static void respond(int32_t response) {
        ASSERT_EQ(zeb_service_send_event("zeb_update", "zeb.update.firmware.response",
                                         "4s1 response", &response, sizeof response),
                  0);
    }

    kor_test::ScratchDir scratch_;
};

std::vector<std::uint8_t> ints(std::initializer_list<int32_t> values) {
    std::vector<std::uint8_t> out;
    for (int32_t v : values) {
        const auto *p = reinterpret_cast<const std::uint8_t *>(&v);
        out.insert(out.end(), p, p + 4);
    }
    return out;
}

std::vector<std::uint8_t> with_text(std::vector<std::uint8_t> head, const std::string &text) {
    head.insert(head.end(), text.begin(), text.end());
    head.push_back(0);
    return head;
}

TEST_F(ZebctlTest, SendBuildsTheExactLayoutOfEachRequest) {
    struct Case {
        std::vector<std::string> args;
        std::string event;
        std::vector<std::uint8_t> data;
        std::string format;
    };
    std::vector<std::uint8_t> offer(255, 0);
    std::memcpy(offer.data(), "dravik_kor_board", 16);
    offer = with_text(offer, "/tmp/io board.cpi");
    const std::vector<Case> cases = {
        {{"zeb.varlo.set_belt_cook_time", "2", "330"},
         "zeb.varlo.set_belt_cook_time",
         ints({2, 330}),
         "4s1 belt_num 4s1 cook_time"},
        {{"set_target_temperature", "-40"}, "zeb.varlo.set_target_temperature", ints({-40}), ""},
        {{"zeb.varlo.register", "1", "ui_main"},
         "zeb.varlo.register",
         with_text(ints({1}), "ui_main"),
         "4s1 value 1s0 channel"},
        {{"menu_preset_changed", "2", "Pizza 12\""},
         "zeb.varlo.menu_preset_changed",
         with_text(ints({2}), "Pizza 12\""),
         ""},
        {{"idle_mode_onoff", "1", "300", "310", "50", "60", "70", "0x50"},
         "zeb.varlo.idle_mode_onoff",
         ints({1, 300, 310, 50, 60, 70, 80}),
         ""},
        {{"zeb.varlo.serial_number_changed"}, "zeb.varlo.serial_number_changed", {}, ""},
        {{"factory_reset_start"}, "zeb.varlo.factory_reset_start", {}, ""},
        {{"zeb.update.firmware.available", "dravik_kor_board", "/tmp/io board.cpi"},
         "zeb.update.firmware.available",
         offer,
         "1s255 component_id 1s0 path"},
        // Unknown events: integers, texts and floats in the order given.
        {{"acme.custom", "7", "s:ab", "-1", "f:1.5"},
         "acme.custom",
         [] {
             auto d = with_text(ints({7}), "ab");
             auto tail = ints({-1});
             d.insert(d.end(), tail.begin(), tail.end());
             const float f = 1.5f;
             const auto *p = reinterpret_cast<const std::uint8_t *>(&f);
             d.insert(d.end(), p, p + 4);
             return d;
         }(),
         "4s1 v1 1s0 v2 4s1 v3 4f1 v4"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.event);
        std::vector<std::string> args = {"send"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Zebctl sut(args);
        ASSERT_EQ(sut.wait_exit(), 0) << sut.errors();
        EXPECT_EQ(sut.output(), "");
        EventPtr ev = next_event();
        ASSERT_TRUE(ev);
        EXPECT_STREQ(ev->name, c.event.c_str());
        EXPECT_EQ(bytes_of(*ev), c.data);
        EXPECT_EQ(ev->length, static_cast<int32_t>(c.data.size()));
        if (!c.format.empty()) {
            EXPECT_STREQ(ev->format, c.format.c_str());
        }
    }
}

TEST_F(ZebctlTest, SendRefusesBadValuesAndReportsAMissingChannel) {
    const std::vector<std::vector<std::string>> bad = {
        {"send", "power_onoff"},                            // a value missing
        {"send", "power_onoff", "1", "2"},                  // one too many
        {"send", "set_belt_cook_time", "1", "4294967296"},  // beyond 32 bits
        {"send", "set_target_temperature", "12abc"},
        {"send", "acme.custom", "word"},  // a text without its s: prefix
        {"send", "zeb.update.firmware.available", std::string(255, 'i'), "/tmp/f"},
        {"send", "power_onoff", "1", "--to", "bad/name"},
        {"send", "power_onoff", "1", "--bogus"},
        {"send"},
    };
    for (const auto &args : bad) {
        SCOPED_TRACE(args.size() > 1 ? args[1] : "no event");
        Zebctl sut(args);
        EXPECT_EQ(sut.wait_exit(), 1);
        EXPECT_NE(sut.errors().find("zebctl: "), std::string::npos);
    }
    // Nothing half-built reached the manager.
    EXPECT_FALSE(next_event(200ms));

    Zebctl missing({"send", "power_onoff", "1", "--to", "nobody_here"});
    EXPECT_EQ(missing.wait_exit(), 1);
    EXPECT_NE(missing.errors().find("cannot send zeb.varlo.power_onoff to nobody_here"),
              std::string::npos)
        << missing.errors();
}

TEST_F(ZebctlTest, ListenPrintsJsonAndTextAndStopsOnCountOrTimeout) {
    const std::string body = R"({"event":"heartbeat","temp":450})";
    {
        Zebctl sut({"listen", "zeb_telvo", "--json", "--count", "1"});
        ASSERT_TRUE(channel_up("zeb_telvo"));
        ASSERT_EQ(zeb_service_send_event("zeb_telvo", "zeb.telvo.send", "1s0 json", body.c_str(),
                                         static_cast<int32_t>(body.size() + 1)),
                  0);
        ASSERT_EQ(sut.wait_exit(), 0) << sut.errors();
        ASSERT_EQ(sut.lines().size(), 1u) << sut.output();
        const nlohmann::json j = nlohmann::json::parse(sut.lines()[0]);
        EXPECT_EQ(j, nlohmann::json({{"event", "zeb.telvo.send"},
                                     {"sender", "zeb_backend"},
                                     {"fields", {{"json", body}}}}));
    }
    {
        // Plain lines: the payload as its text; --timeout ends a quiet listen with status 0 once
        // something arrived.
        Zebctl sut({"listen", "zeb_update", "--timeout", "2"});
        ASSERT_TRUE(channel_up("zeb_update"));
        ASSERT_EQ(zeb_service_send_event("zeb_update", "zeb.telvo.send", "1s0 json", body.c_str(),
                                         static_cast<int32_t>(body.size() + 1)),
                  0);
        const int32_t response = 3;
        ASSERT_EQ(zeb_service_send_event("zeb_update", "zeb.update.firmware.response",
                                         "4s1 response", &response, 4),
                  0);
        EXPECT_EQ(sut.wait_exit(), 0);
        EXPECT_EQ(sut.output(),
                  "zeb.telvo.send json=" + body + "\nzeb.update.firmware.response response=3\n");
    }
    {
        Zebctl sut({"listen", "zeb_telvo", "--timeout", "0.2"});
        EXPECT_EQ(sut.wait_exit(), 1);  // nothing arrived
        EXPECT_EQ(sut.output(), "");
    }
    {
        // The test's own channel is taken: listen says so.
        Zebctl sut({"listen", "zeb_backend"});
        EXPECT_EQ(sut.wait_exit(), 1);
        EXPECT_NE(sut.errors().find("already taken"), std::string::npos) << sut.errors();
    }
}

TEST_F(ZebctlTest, MonitorRegistersAndPrintsEveryNotification) {
    Zebctl sut({"monitor", "--json", "--channel", "ui_test", "--count", "4"});
    EventPtr reg = next_event();
    ASSERT_TRUE(reg);
    ASSERT_STREQ(reg->name, "zeb.varlo.register");
    ASSERT_EQ(bytes_of(*reg), with_text(ints({1}), "ui_test"));
    ASSERT_EQ(zeb_service_register("ui_test", 1), 0);

    const auto mode = ints({3, 6});
    EXPECT_EQ(
        zeb_service_notify_all("zeb.varlo.mode_notify", "4s1 mode 4s1 board_mode", mode.data(), 8),
        1);
    const auto tc = ints({-5, 400, 401, 402, 403, 404});
    EXPECT_EQ(
        zeb_service_notify_all("zeb.varlo.tc_temp_notify",
                               "4s1 tc1 4s1 tc2 4s1 tc3 4s1 tc4 4s1 tc5 4s1 tc6", tc.data(), 24),
        1);
    EXPECT_EQ(zeb_service_notify_all("zeb.varlo.power_on", "", nullptr, 0), 1);
    auto tcs = ints({7});
    tcs.insert(tcs.end(), {'K', 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(
        zeb_service_notify_all("zeb.varlo.tc_enable", "4s1 enabled_tcs 1s0 format", tcs.data(), 12),
        1);
    ASSERT_EQ(sut.wait_exit(), 0) << sut.errors();
    const auto lines = sut.lines();
    ASSERT_EQ(lines.size(), 4u) << sut.output();
    auto field = [](const nlohmann::json &j) { return j.at("fields"); };
    const nlohmann::json l0 = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(l0["event"], "zeb.varlo.mode_notify");
    EXPECT_EQ(l0["sender"], "zeb_backend");
    EXPECT_EQ(field(l0), nlohmann::json({{"mode", 3}, {"board_mode", 6}}));
    const nlohmann::json l1 = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(field(l1)["tc1"], -5);
    EXPECT_EQ(field(l1)["tc6"], 404);
    const nlohmann::json l2 = nlohmann::json::parse(lines[2]);
    EXPECT_EQ(l2["event"], "zeb.varlo.power_on");
    EXPECT_TRUE(field(l2).empty());
    EXPECT_EQ(field(nlohmann::json::parse(lines[3])),
              nlohmann::json({{"enabled_tcs", 7}, {"format", "K"}}));
    // It left the bus on the way out.
    struct stat st {};
    EXPECT_NE(::stat(scratch_.file("ui_test").c_str(), &st), 0);
}

TEST_F(ZebctlTest, MonitorWaitsForTheManagerAndRegistersAgainAfterARestart) {
    // No manager yet: the monitor keeps trying.
    zeb_service_uninitialize();
    Zebctl sut({"monitor", "--channel", "ui_wait", "--count", "1"});
    ASSERT_TRUE(sut.wait_error("zebctl: manager channel zeb_backend not reachable"))
        << sut.errors();
    ASSERT_EQ(zeb_service_initialize("zeb_backend"), 0);
    EventPtr reg = next_event(3000ms);
    ASSERT_TRUE(reg) << sut.errors();
    EXPECT_STREQ(reg->name, "zeb.varlo.register");

    // The manager starts again: a new socket, a new registration, without a duplicate before.
    EXPECT_FALSE(next_event(1300ms));
    zeb_service_uninitialize();
    ASSERT_EQ(zeb_service_initialize("zeb_backend"), 0);
    reg = next_event(3000ms);
    ASSERT_TRUE(reg);
    EXPECT_STREQ(reg->name, "zeb.varlo.register");
    EXPECT_EQ(bytes_of(*reg), with_text(ints({1}), "ui_wait"));
    EXPECT_TRUE(sut.wait_error("zebctl: manager zeb_backend is back, registered again"))
        << sut.errors();

    // Without --json on a pipe: one plain line per event.
    ASSERT_EQ(zeb_service_register("ui_wait", 1), 0);
    const auto belt = ints({1, 2});
    EXPECT_EQ(zeb_service_notify_all("zeb.varlo.belt_status_notify", "4s1 belt_num 4s1 belt_status",
                                     belt.data(), 8),
              1);
    ASSERT_EQ(sut.wait_exit(), 0) << sut.errors();
    EXPECT_EQ(sut.output(), "zeb.varlo.belt_status_notify belt_num=1 belt_status=2\n");
}

TEST_F(ZebctlTest, OfferFirmwareExitStatusFollowsTheManagersAnswer) {
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    struct Case {
        std::vector<int32_t> answers;
        int status;
        std::string last_line;
    };
    const std::vector<Case> cases = {
        {{1, 3}, 0, "zeb.update.firmware.response 3: firmware transferred to the board"},
        {{2}, 2, "zeb.update.firmware.response 2: update ignored (not for the IO board)"},
        {{1, 4}, 1, "zeb.update.firmware.response 4: transfer failed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        Zebctl sut({"offer-firmware", "dravik_kor_board", "fw/io.cpi", "--wait", "5"});
        EventPtr offer = next_event();
        ASSERT_TRUE(offer) << sut.errors();
        ASSERT_STREQ(offer->name, "zeb.update.firmware.available");
        EXPECT_STREQ(offer->sender, "zeb_update");
        const std::string path = std::string(cwd) + "/fw/io.cpi";
        ASSERT_EQ(offer->length, static_cast<int32_t>(255 + path.size() + 1));
        const char *data = static_cast<const char *>(offer->data);
        EXPECT_STREQ(data, "dravik_kor_board");
        EXPECT_EQ(std::string(data + 16, 255 - 16), std::string(255 - 16, '\0'));
        EXPECT_STREQ(data + 255, path.c_str());

        // The manager's subscription is shown too.
        std::vector<std::uint8_t> sub = ints({1});
        sub.resize(260, 0);
        std::memcpy(sub.data() + 4, "zeb_backend", 11);
        ASSERT_EQ(zeb_service_send_event("zeb_update", "zeb.update.register",
                                         "4s1 enable 1s0 channel", sub.data(), 260),
                  0);
        for (int32_t a : c.answers) {
            respond(a);
        }
        EXPECT_EQ(sut.wait_exit(), c.status) << sut.output() << sut.errors();
        const auto lines = sut.lines();
        ASSERT_GE(lines.size(), 3u) << sut.output();
        EXPECT_EQ(lines[1], "zeb.update.register enable=1 channel=zeb_backend");
        EXPECT_EQ(lines.back(), c.last_line);
        if (c.answers.size() > 1) {
            EXPECT_EQ(lines[2], "zeb.update.firmware.response 1: update accepted");
        }
    }
}

TEST_F(ZebctlTest, OfferFirmwareFailsOnTimeOutOrWhenTheUpdateChannelIsTaken) {
    {
        Zebctl sut({"offer-firmware", "dravik_kor_board", "/tmp/fw.cpi", "--wait", "0.3"});
        ASSERT_TRUE(next_event());
        respond(1);  // accepted, but never finished
        EXPECT_EQ(sut.wait_exit(), 1);
        EXPECT_NE(sut.errors().find("no final response"), std::string::npos) << sut.errors();
    }
    {
        Zebctl holder({"listen", "zeb_update"});
        ASSERT_TRUE(channel_up("zeb_update"));
        Zebctl sut({"offer-firmware", "dravik_kor_board", "/tmp/fw.cpi", "--wait", "1"});
        EXPECT_EQ(sut.wait_exit(), 1);
        EXPECT_NE(sut.errors().find("already taken"), std::string::npos) << sut.errors();
        // Nothing was offered, and the holder keeps its channel.
        EXPECT_FALSE(next_event(200ms));
        EXPECT_TRUE(channel_up("zeb_update"));
        ::kill(holder.pid(), SIGTERM);
        EXPECT_EQ(holder.wait_exit(), 0);  // a signal ends it normally
    }
    {
        Zebctl sut({"offer-firmware", std::string(255, 'x'), "/tmp/fw.cpi"});
        EXPECT_EQ(sut.wait_exit(), 1);
        EXPECT_FALSE(next_event(100ms));
    }
}

TEST_F(ZebctlTest, HelpNamesEveryCommandAndOption) {
    Zebctl main_help({"--help"});
    EXPECT_EQ(main_help.wait_exit(), 0);
    for (const char *cmd : {"monitor", "send", "listen", "offer-firmware"}) {
        EXPECT_NE(main_help.output().find(cmd), std::string::npos) << cmd;
    }
    const std::vector<std::pair<std::string, std::vector<std::string>>> options = {
        {"monitor", {"--json", "--channel", "--manager", "--count", "--timeout"}},
        {"send", {"--to", "--format"}},
        {"listen", {"--json", "--count", "--timeout"}},
        {"offer-firmware", {"--to", "--wait"}},
    };
    for (const auto &[cmd, opts] : options) {
        Zebctl help({cmd, "--help"});
        EXPECT_EQ(help.wait_exit(), 0) << cmd;
        for (const std::string &o : opts) {
            EXPECT_NE(help.output().find(o), std::string::npos) << cmd << " " << o;
        }
    }
    Zebctl unknown({"bake"});
    EXPECT_EQ(unknown.wait_exit(), 1);
    EXPECT_NE(unknown.errors().find("unknown command"), std::string::npos);
}

}  // namespace
