// The fleet agent as a process between a scratch service bus and a real Mosquitto broker:
// reports out (order, numbering, bad input), presence, outages of the broker, a killed agent,
// a full or read-only queue folder, the configuration, and firmware offers in. The test process
// plays the oven manager on the bus: it sends the reports and answers the offers.
#include <sodium.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fleet_rig.hpp"
#include "kor_fleet_queue.hpp"
#include "notify_socket.hpp"
#include "zeb_common.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using kor_test::Millis;
using kor_test::MqttMessage;

constexpr Millis kWait(20000);

std::string run(const std::string &cmd) {
    std::string out;
    if (FILE *p = ::popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p) != nullptr) {
            out += buf;
        }
        ::pclose(p);
    }
    return out;
}

json parse(const MqttMessage &m) {
    return json::parse(m.payload, nullptr, false);
}

class FleetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus_ = scratch_.file("bus");
        fs::create_directories(bus_);
        ::setenv("ZEB_BUS_DIR", bus_.c_str(), 1);
        ASSERT_TRUE(broker_.start()) << broker_.log_text();
        agent_.config["broker_port"] = std::to_string(broker_.port());
    }
    void TearDown() override {
        zeb_service_uninitialize();
        if (HasFailure()) {
            std::fprintf(stderr, "---- agent log\n%s\n---- broker log\n%s\n",
                         agent_.log_text().c_str(), broker_.log_text().c_str());
        }
    }

    // Subscribes everything of the agent's oven; a persistent session keeps what the broker
    // receives while the subscriber is away (a restart of the broker).
    void subscribe(const std::string &id = "fleet_test_sub") {
        sub_ = std::make_unique<kor_test::MqttSubscriber>(id);
        ASSERT_TRUE(sub_->connect(broker_.port(), "kor/#")) << broker_.log_text();
    }

    // The reports that arrived, by their seq; every copy of one seq must be the same message.
    std::map<std::uint64_t, json> reports(std::size_t *copies = nullptr) {
        std::map<std::uint64_t, json> by_seq;
        std::size_t n = 0;
        for (const auto &m : sub_->messages()) {
            if (m.topic.rfind(agent_.topic("report/"), 0) != 0) {
                continue;
            }
            json j = parse(m);
            j["topic"] = m.topic;
            const auto seq = j["seq"].get<std::uint64_t>();
            if (by_seq.count(seq) != 0) {
                EXPECT_EQ(by_seq[seq], j) << "seq " << seq << " sent twice, differently";
            }
            by_seq[seq] = j;
            ++n;
        }
        if (copies != nullptr) {
            *copies = n;
        }
        return by_seq;
    }

    bool wait_reports(std::size_t distinct) {
        return kor_test::wait_until([&] { return reports().size() >= distinct; }, kWait);
    }

    std::optional<MqttMessage> wait_status(const std::string &state,
                                           std::size_t *cursor = nullptr) {
        return sub_->wait(
            agent_.topic("status"),
            [&](const MqttMessage &m) { return parse(m).value("state", "") == state; }, kWait,
            cursor);
    }

    kor_test::ScratchDir scratch_;
    std::string bus_;
    kor_test::MosquittoBroker broker_;
    kor_test::AgentProcess agent_;
    std::unique_ptr<kor_test::MqttSubscriber> sub_;
};

// ---- reports out ----

TEST_F(FleetTest, ReportsReachTheBrokerInOrderUnchanged) {
    subscribe();
    ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
    auto online = wait_status("online");
    ASSERT_TRUE(online);
    EXPECT_EQ(parse(*online)["agent_version"], "0.1.0");

    struct Case {
        std::string text;
        std::string type;
        bool unchanged;  // embedded as the object itself, else as a string
    };
    const std::string heartbeat =
        "{ \"state\" : 1, \"sp\" : 2, \"fanset\" : [1,2,3,4], \"bake_tm\" : [1,2], \"temp\" : 3, "
        "\"therm\" : [1,2,3,4], \"menu\" : [\"pizza\",\"cheeseburger\"] }";
    const std::string settings =
        "{ \"t\" : \"settings\", \"serial\" : \"abc123\", \"group\" : \"meat lovers\", \"split\" : "
        "true, \"on_tm\" : 365, \"tot_cook_tm\" : 223, \"ui_version\" : \"1248\", \"io_version\" : "
        "2359, \"drive_f_version\" : 3, \"drive_r_version\" : 4, \"belt_f_time\" : 300, "
        "\"belt_r_time\" : 0}";
    const std::vector<Case> cases = {
        {"{ \"t\" : \"fault\", \"fc\" : \"f11\", \"fs\" : false, \"state\" : 2 }", "fault", true},
        {heartbeat, "heartbeat", true},
        {settings, "settings", true},
        {"{ \"t\" : \"photo_override\" }", "photo_override", true},
        {"not json {", "unknown", false},
        {"{\"no_t\": 1}", "unknown", false},
        {"{\"t\": \"a/b\"}", "unknown", false},  // no topic levels of its own
        {"[1, 2]", "unknown", false},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(kor_test::send_report(c.text), 0);
    }
    // Over-long: refused with a warning, and the report after it still comes.
    ASSERT_EQ(
        kor_test::send_report("{\"t\": \"fault\", \"x\": \"" + std::string(9000, 'x') + "\"}"), 0);
    ASSERT_EQ(kor_test::send_report("{\"t\": \"last\"}"), 0);

    ASSERT_TRUE(wait_reports(cases.size() + 1));
    std::size_t copies = 0;
    const auto got = reports(&copies);
    EXPECT_EQ(copies, got.size()) << "a report was sent twice within one connection";
    ASSERT_EQ(got.size(), cases.size() + 1);
    std::uint64_t seq = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(got.count(seq), 1u);
        const json &j = got.at(seq);
        EXPECT_EQ(j["topic"], agent_.topic("report/" + c.type));
        EXPECT_TRUE(std::regex_match(j["time"].get<std::string>(),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
        if (c.unchanged) {
            EXPECT_EQ(j["report"], json::parse(c.text));
        } else {
            EXPECT_EQ(j["report"], c.text);
        }
        ++seq;
    }
    EXPECT_EQ(got.at(seq)["report"]["t"], "last");
    EXPECT_EQ(agent_.log_count("Refusing a report of"), 1);
    // The raw text is carried unchanged, blanks and all.
    bool raw_found = false;
    for (const auto &m : sub_->messages()) {
        raw_found = raw_found || m.payload.find(heartbeat) != std::string::npos;
    }
    EXPECT_TRUE(raw_found);
    // The settings report's versions go into the presence, retained for whoever comes later.
    kor_test::MqttSubscriber late;
    ASSERT_TRUE(late.connect(broker_.port(), agent_.topic("status")));
    auto status = late.wait(
        agent_.topic("status"), [](const MqttMessage &m) { return parse(m)["board"].is_object(); },
        kWait);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->retained);
    EXPECT_EQ(parse(*status)["board"]["io_version"], 2359);
}

// ---- presence ----

TEST_F(FleetTest, PresenceIsOnlineThenOfflineOnStopAndOnKill) {
    subscribe();
    std::size_t cursor = 0;
    for (const int sig : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(sig);
        ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
        ASSERT_TRUE(wait_status("online", &cursor));
        agent_.kill(sig);
        // SIGTERM: the agent says so itself; SIGKILL: the broker sends the last will.
        ASSERT_TRUE(wait_status("offline", &cursor));
        EXPECT_EQ(agent_.wait_exit(kWait), sig == SIGTERM ? 0 : 128 + SIGKILL);
    }
}

// Reports the manager handed over just before a stop are queued, not lost: here they wait in the
// agent's bus connection while it is frozen, and SIGTERM comes with them.
TEST_F(FleetTest, ReportsOnTheBusAtAStopAreQueuedNotLost) {
    ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
    agent_.kill(SIGSTOP);
    constexpr int kReports = 5;
    for (int i = 0; i < kReports; ++i) {
        ASSERT_EQ(kor_test::send_report("{\"t\": \"late\"}"), 0);
    }
    agent_.kill(SIGTERM);
    agent_.kill(SIGCONT);
    EXPECT_EQ(agent_.wait_exit(kWait), 0);
    kor_fleet::QueueStatus q;
    ASSERT_EQ(kor_fleet::ReportQueue::inspect(agent_.queue_dir(), q), 0);
    EXPECT_EQ(q.next_seq, kReports + 1u) << agent_.log_text();
}

// Under systemd: ready once set up, the watchdog fed while the broker is away, stopping said.
TEST_F(FleetTest, TellsTheServiceManagerReadyWatchdogAndStopping) {
    kor_test::NotifySocket manager;
    ASSERT_TRUE(manager.open(scratch_.file("notify")));
    agent_.env = {{"NOTIFY_SOCKET", scratch_.file("notify")}, {"WATCHDOG_USEC", "1000000"}};
    broker_.stop();
    ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
    std::size_t cursor = 0;
    ASSERT_TRUE(manager.wait_text("READY=1", kWait, &cursor));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(manager.wait_text("WATCHDOG=1", kWait, &cursor));
    }
    agent_.kill(SIGTERM);
    ASSERT_TRUE(manager.wait_text("STOPPING=1", kWait, &cursor));
    EXPECT_EQ(agent_.wait_exit(kWait), 0);
}

// ---- outages and crashes ----

// The broker is away while reports come: they wait in the queue and go out in order once it is
// back, whether it was down from the start or went down in the middle of a stream.
TEST_F(FleetTest, ReportsWaitForTheBrokerAndGoOutInOrder) {
    subscribe();
    for (const bool down_at_start : {true, false}) {
        SCOPED_TRACE(down_at_start ? "down at start" : "restart mid-stream");
        const std::uint64_t before = reports().size();
        if (down_at_start) {
            broker_.stop();
            ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
        } else {
            ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
            ASSERT_TRUE(wait_status("online"));
        }
        constexpr int kReports = 300;
        for (int i = 0; i < kReports; ++i) {
            ASSERT_EQ(kor_test::send_report("{\"t\": \"n\", \"i\": " + std::to_string(i) + "}"), 0);
            if (!down_at_start && i == kReports / 3) {
                broker_.stop();
            }
        }
        if (down_at_start) {
            // What a technician sees meanwhile.
            std::string out;
            EXPECT_TRUE(kor_test::wait_until(
                [&] {
                    out = run(kor_test::bin_dir() + "/zebctl fleet-queue " + agent_.queue_dir());
                    return out.find("waiting for the broker: 300 reports, the oldest seq 1 ") !=
                           std::string::npos;
                },
                kWait))
                << out;
        }
        ASSERT_TRUE(broker_.start()) << broker_.log_text();
        ASSERT_TRUE(wait_reports(before + kReports));
        const auto got = reports();
        // Every seq from 1 on, none missing; the reports in the order they came.
        std::uint64_t expect = 1;
        int last_i = -1;
        for (const auto &[seq, j] : got) {
            ASSERT_EQ(seq, expect++);
            if (seq > before) {
                EXPECT_EQ(j["report"]["i"].get<int>(), last_i + 1);
                last_i = j["report"]["i"].get<int>();
            }
        }
        agent_.stop();
    }
}

// Reports handed to the broker that never acknowledged them: the broker freezes, the agent is
// stopped, the broker dies with the reports unread. They are still queued, and the next agent
// sends them.
TEST_F(FleetTest, ReportsTheBrokerNeverAcknowledgedAreSentAgain) {
    subscribe();
    ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
    ASSERT_TRUE(wait_status("online"));
    broker_.kill(SIGSTOP);
    constexpr int kReports = 20;
    for (int i = 0; i < kReports; ++i) {
        ASSERT_EQ(kor_test::send_report("{\"t\": \"held\", \"i\": " + std::to_string(i) + "}"), 0);
    }
    kor_fleet::QueueStatus q;
    ASSERT_TRUE(kor_test::wait_until(
        [&] {
            return kor_fleet::ReportQueue::inspect(agent_.queue_dir(), q) == 0 &&
                   q.next_seq == kReports + 1;
        },
        kWait));
    EXPECT_EQ(agent_.stop(), 0);
    broker_.kill(SIGKILL);
    broker_.wait_exit(kWait);
    ASSERT_TRUE(broker_.start()) << broker_.log_text();
    subscribe("fleet_test_sub_2");  // the broker lost every session
    ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
    ASSERT_TRUE(wait_reports(kReports));
    const auto got = reports();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kReports));
    EXPECT_EQ(got.begin()->second["report"]["i"], 0);
    EXPECT_EQ(got.rbegin()->first, static_cast<std::uint64_t>(kReports));
}

// SIGKILL while reports stream in: whatever the agent had queued is sent after the restart,
// numbers go on where they were, and a record torn by the kill is never sent.
TEST_F(FleetTest, KilledAgentSendsWhatWasNotAcknowledged) {
    subscribe();
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread feeder([&] {
        for (int i = 0; !stop; ++i) {
            // While the agent is gone the send fails: the manager would lose those too.
            if (kor_test::send_report("{\"t\": \"n\", \"i\": " + std::to_string(i) + "}") == 0) {
                ++sent;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::uint64_t highest = 0;
    for (int round = 0; round < 4; ++round) {
        ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
        const int at = sent + 200;
        ASSERT_TRUE(kor_test::wait_until([&] { return sent >= at; }, kWait));
        agent_.kill(SIGKILL);
        agent_.wait_exit(kWait);
        const auto got = reports();
        if (!got.empty()) {
            EXPECT_GE(got.rbegin()->first, highest);
            highest = got.rbegin()->first;
        }
    }
    stop = true;
    feeder.join();
    ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
    ASSERT_EQ(kor_test::send_report("{\"t\": \"last\"}"), 0);
    auto last = sub_->wait(agent_.topic("report/last"), nullptr, kWait);
    ASSERT_TRUE(last);
    const auto last_seq = parse(*last)["seq"].get<std::uint64_t>();
    EXPECT_GT(last_seq, highest);
    // Everything before "last" was queued by one of the agents and reached the broker: the
    // numbers run from 1 without a gap.
    ASSERT_TRUE(kor_test::wait_until([&] { return reports().size() >= last_seq; }, kWait));
    const auto got = reports();
    EXPECT_EQ(got.size(), last_seq);
    EXPECT_EQ(got.rbegin()->first, last_seq);
}

// A queue folder on a tiny file system, and a queue with a small bound: the oldest reports give
// way, a fleet_dropped report says how many, and every number is accounted for.
TEST_F(FleetTest, FullQueueDropsTheOldestAndCountsThem) {
    struct Case {
        const char *name;
        const char *tmpfs_size;  // null: no file system of its own
        const char *max_bytes;
    };
    for (const Case &c : {Case{"small tmpfs", "48k", "1048576"}, Case{"bound", nullptr, "65536"}}) {
        SCOPED_TRACE(c.name);
        kor_test::ScratchDir where;
        const std::string dir = where.file("q");
        fs::create_directories(dir);
        if (c.tmpfs_size != nullptr &&
            ::mount("tmpfs", dir.c_str(), "tmpfs", 0,
                    (std::string("size=") + c.tmpfs_size).c_str()) != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
        }
        struct Unmount {
            std::string dir;
            bool mounted;
            ~Unmount() {
                if (mounted) {
                    ::umount2(dir.c_str(), MNT_DETACH);
                }
            }
        } unmount{dir, c.tmpfs_size != nullptr};
        kor_test::AgentProcess agent;
        agent.config["broker_port"] = std::to_string(broker_.port());
        agent.config["queue_dir"] = dir;
        agent.config["queue_max_bytes"] = c.max_bytes;
        subscribe(std::string("fleet_full_") + (c.tmpfs_size ? "a" : "b"));
        broker_.stop();
        ASSERT_TRUE(agent.start(bus_)) << agent.log_text();
        constexpr int kReports = 400;  // about 160 KB
        const std::string pad(300, 'p');
        for (int i = 0; i < kReports; ++i) {
            ASSERT_EQ(kor_test::send_report("{\"t\": \"n\", \"i\": " + std::to_string(i) +
                                            ", \"pad\": \"" + pad + "\"}"),
                      0);
        }
        ASSERT_EQ(kor_test::send_report("{\"t\": \"last\"}"), 0);
        ASSERT_TRUE(broker_.start());
        auto last = sub_->wait(agent.topic("report/last"), nullptr, kWait);
        ASSERT_TRUE(last) << agent.log_text();
        const auto last_seq = parse(*last)["seq"].get<std::uint64_t>();
        std::set<std::uint64_t> seen;
        std::uint64_t counted = 0;
        for (const auto &m : sub_->messages()) {
            const json j = parse(m);
            if (m.topic.rfind(agent.topic("report/"), 0) != 0 ||
                !seen.insert(j["seq"].get<std::uint64_t>()).second) {
                continue;
            }
            if (m.topic == agent.topic("report/fleet_dropped")) {
                counted += j["report"]["count"].get<std::uint64_t>();
            }
        }
        EXPECT_GT(counted, 0u);
        EXPECT_EQ(seen.size() + counted, last_seq);
        EXPECT_TRUE(agent.running());
        agent.stop();
        sub_.reset();
        broker_.stop();
        ASSERT_TRUE(broker_.start());
    }
}

TEST_F(FleetTest, QueueFolderNotWritableStopsTheStart) {
    const std::string dir = scratch_.file("ro");
    fs::create_directories(dir);
    bool mounted = false;
    if (::geteuid() == 0) {
        // Root writes through any mode bits: a read-only file system it is.
        mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", MS_RDONLY, "size=16k") == 0;
        if (!mounted) {
            GTEST_SKIP() << "cannot mount a read-only tmpfs here (" << std::strerror(errno) << ")";
        }
    } else {
        ::chmod(dir.c_str(), 0500);
    }
    agent_.config["queue_dir"] = dir;
    ASSERT_TRUE(agent_.start(bus_, false));
    EXPECT_EQ(agent_.wait_exit(kWait), 1);
    EXPECT_EQ(agent_.log_count("queue_dir " + dir + " is not writable"), 1) << agent_.log_text();
    if (mounted) {
        ::umount2(dir.c_str(), MNT_DETACH);
    }
}

TEST_F(FleetTest, BadConfigurationNamesTheKeyAndExits2) {
    const std::map<std::string, std::pair<std::string, std::string>> cases = {
        {"oven_id", {"oven_id", ""}},  // removed below: missing
        {"oven_id bad", {"oven_id", "a/b"}},
        {"broker_port", {"broker_port", "70000"}},
        {"queue_max_bytes", {"queue_max_bytes", "12x"}},
        {"firmware_public_key", {"firmware_public_key", "abcd"}},
        {"tls_key_file", {"tls_cert_file", "/etc/hostname"}},
        {"tls_ca_file", {"tls_ca_file", "/nonexistent/ca.pem"}},
        {"username", {"password_file", "/nonexistent"}},
    };
    for (const auto &[name, kv] : cases) {
        SCOPED_TRACE(name);
        kor_test::AgentProcess agent;
        agent.config[kv.first] = kv.second;
        if (kv.second.empty()) {
            agent.config.erase(kv.first);
        }
        ASSERT_TRUE(agent.start(bus_, false));
        EXPECT_EQ(agent.wait_exit(kWait), 2);
        const std::string key = name.substr(0, name.find(' '));
        EXPECT_EQ(agent.log_count("configuration key " + key + " must be"), 1) << agent.log_text();
    }
}

// TLS with a throwaway CA and client certificates, and a user name with a password: a broker
// whose certificate the agent does not trust, or that refuses the password, gets nothing, and
// the reports wait; with the right ones they all arrive. The password never shows in the log.
TEST_F(FleetTest, TlsAndCredentialsWithTheSecretKeptOutOfTheLog) {
    const std::string d = scratch_.file("pki");
    fs::create_directories(d);
    std::ofstream(d + "/server.ext") << "subjectAltName=IP:127.0.0.1\n";
    auto sh = [&](const std::string &cmd) {
        return std::system(("cd " + d + " && " + cmd + " >>openssl.log 2>&1").c_str()) == 0;
    };
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    for (const std::string ca : {"ca", "other-ca"}) {
        ASSERT_TRUE(sh("openssl req -x509 " + ec + " -keyout " + ca + ".key -out " + ca +
                       ".pem -days 2 -subj /CN=" + ca));
    }
    for (const std::string who : {"server", "client"}) {
        ASSERT_TRUE(sh("openssl req " + ec + " -keyout " + who + ".key -out " + who +
                       ".csr -subj /CN=" + who));
        ASSERT_TRUE(sh("openssl x509 -req -in " + who + ".csr -CA ca.pem -CAkey ca.key " +
                       "-CAcreateserial -days 2 -out " + who + ".pem" +
                       (who == "server" ? " -extfile server.ext" : "")));
    }
    const std::string password = "s3cret-Pa55word";
    ASSERT_TRUE(sh("mosquitto_passwd -b -c pw oven-7 " + password));
    std::ofstream(d + "/agent.pw") << password << "\n";
    std::ofstream(d + "/wrong.pw") << "Wr0ng-pa55word\n";

    broker_.stop();
    ASSERT_TRUE(broker_.start({"cafile " + d + "/ca.pem", "certfile " + d + "/server.pem",
                               "keyfile " + d + "/server.key", "require_certificate true",
                               "password_file " + d + "/pw", "allow_anonymous false"}))
        << broker_.log_text();
    sub_ = std::make_unique<kor_test::MqttSubscriber>("fleet_tls_sub");
    ASSERT_TRUE(sub_->connect(broker_.port(), "kor/#", d + "/ca.pem", d + "/client.pem",
                              d + "/client.key", "oven-7", password))
        << broker_.log_text();

    agent_.config["tls_cert_file"] = d + "/client.pem";
    agent_.config["tls_key_file"] = d + "/client.key";
    agent_.config["username"] = "oven-7";
    struct Phase {
        const char *name;
        const char *ca;
        const char *password_file;
        const char *failure;  // log text of the refusal; null when it connects
    };
    const Phase phases[] = {
        {"broker not trusted", "other-ca.pem", "agent.pw", "certificate verify failed"},
        {"wrong password", "ca.pem", "wrong.pw", "refused the connection"},
        {"all good", "ca.pem", "agent.pw", nullptr},
    };
    int sent = 0;
    for (const Phase &p : phases) {
        SCOPED_TRACE(p.name);
        agent_.config["tls_ca_file"] = d + "/" + p.ca;
        agent_.config["password_file"] = d + "/" + p.password_file;
        ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
        for (int i = 0; i < 3; ++i, ++sent) {
            ASSERT_EQ(kor_test::send_report("{\"t\": \"n\", \"i\": " + std::to_string(sent) + "}"),
                      0);
        }
        if (p.failure != nullptr) {
            ASSERT_TRUE(agent_.wait_log(p.failure, kWait)) << agent_.log_text();
        } else {
            ASSERT_TRUE(wait_status("online"));
            ASSERT_TRUE(wait_reports(sent));
            const auto got = reports();
            EXPECT_EQ(got.size(), static_cast<std::size_t>(sent));
            EXPECT_EQ(got.rbegin()->first, static_cast<std::uint64_t>(sent));
        }
        agent_.stop();
        EXPECT_EQ(agent_.log_count(password), 0);
        EXPECT_EQ(agent_.log_count("Wr0ng-pa55word"), 0);
    }
}

// ---- firmware offers ----

using Keys = kor_test::SigningKeys;

json offer_json(const Keys &keys, const std::string &image) {
    return json::parse(kor_test::make_offer(keys, image));
}

class FleetOfferTest : public FleetTest {
  protected:
    void SetUp() override {
        FleetTest::SetUp();
        ASSERT_EQ(sodium_init() >= 0, true);
        // This process is the oven manager's channel: what the agent offers arrives here.
        ASSERT_EQ(zeb_service_initialize("zeb_backend"), 0);
        agent_.config["firmware_public_key"] = keys_.public_hex();
        agent_.config["firmware_max_bytes"] = std::to_string(max_bytes());
        subscribe();
        ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
        ASSERT_TRUE(wait_status("online"));
    }

    std::optional<json> offer_and_wait_status(const std::string &payload,
                                              const std::string &topic = "") {
        EXPECT_TRUE(sub_->publish(topic.empty() ? agent_.topic("firmware/offer") : topic, payload));
        auto m = sub_->wait(agent_.topic("firmware/status"), nullptr, kWait, &status_cursor_);
        if (!m) {
            return std::nullopt;
        }
        return parse(*m);
    }

    // The next event offered to the manager, within timeout.
    std::optional<std::pair<std::string, std::string>> offered(Millis timeout) {
        zeb_event_t *ev = nullptr;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (zeb_service_wait_event_timeout(&ev, 100) == 0 && ev != nullptr) {
                std::pair<std::string, std::string> out;
                EXPECT_STREQ(ev->name, "zeb.update.firmware.available");
                EXPECT_STREQ(ev->sender, "zeb_update");
                if (ev->length > 255) {
                    const char *d = static_cast<const char *>(ev->data);
                    out = {std::string(d, strnlen(d, 255)), std::string(d + 255)};
                }
                zeb_service_free_event(ev);
                return out;
            }
        }
        return std::nullopt;
    }

    void respond(int code) {
        const int32_t v = code;
        ASSERT_EQ(zeb_service_send_event("zeb_update", "zeb.update.firmware.response",
                                         "4s1 response", &v, 4),
                  0);
    }

    bool firmware_dir_empty() {
        const std::string dir = agent_.config["firmware_dir"];
        return !fs::exists(dir) || fs::is_empty(dir);
    }

    virtual std::size_t max_bytes() const { return 4096; }

    Keys keys_;
    std::size_t status_cursor_ = 0;
};

class FleetLargeOfferTest : public FleetOfferTest {
  protected:
    std::size_t max_bytes() const override { return 256 * 1024; }
};

TEST_F(FleetOfferTest, BadOffersAreRefusedNothingWrittenNothingOffered) {
    const std::string image(1000, 'i');
    const Keys other_keys;
    const json good = offer_json(keys_, image);
    auto with = [&](const char *key, const json &value) {
        json j = good;
        j[key] = value;
        return j.dump();
    };
    auto without = [&](const char *key) {
        json j = good;
        j.erase(key);
        return j.dump();
    };
    struct Case {
        const char *name;
        std::string payload;
        std::string reason;  // part of the reason
        std::string topic;   // empty: this oven's
    };
    const std::vector<Case> cases = {
        {"wrong hash", with("sha256", std::string(64, 'a')), "sha256 does not match"},
        {"wrong signature", offer_json(other_keys, image).dump(), "signature does not verify"},
        {"image changed", with("image", offer_json(keys_, image + "x")["image"]),
         "sha256 does not match"},
        {"missing field", without("signature"), "missing field signature"},
        {"bad base64", with("image", "!!!not base64!!!"), "not valid base64"},
        {"oversize", offer_json(keys_, std::string(5000, 'i')).dump(),
         "larger than firmware_max_bytes"},
        {"not JSON", "{\"component\": ", "not a JSON object"},
        {"another oven's topic", good.dump(), "", "kor/oven-8/firmware/offer"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.topic.empty()) {
            // Never heard of: a bad offer after it is the first status to come.
            ASSERT_TRUE(sub_->publish(c.topic, c.payload));
            auto s = offer_and_wait_status(without("image"));
            ASSERT_TRUE(s);
            EXPECT_EQ((*s)["reason"], "missing field image");
        } else {
            auto s = offer_and_wait_status(c.payload);
            ASSERT_TRUE(s);
            EXPECT_EQ((*s)["state"], "refused");
            EXPECT_NE((*s)["reason"].get<std::string>().find(c.reason), std::string::npos)
                << (*s)["reason"];
        }
        EXPECT_TRUE(firmware_dir_empty());
        EXPECT_FALSE(offered(Millis(200)));
    }
}

TEST_F(FleetOfferTest, ValidOfferReachesTheManagerAndEveryAnswerIsPublished) {
    const std::string image = "firmware image bytes \x01\x02\x03";
    const json offer = offer_json(keys_, image);
    ASSERT_TRUE(sub_->publish(agent_.topic("firmware/offer"), offer.dump()));
    auto got = offered(kWait);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->first, "dravik_kor_board");
    // Written whole under its hash, group-readable for the manager, nobody else's.
    std::ifstream in(got->second, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), image);
    struct stat st {};
    ASSERT_EQ(::stat(got->second.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_NE(got->second.find(offer["sha256"].get<std::string>()), std::string::npos);

    respond(1);
    auto s = sub_->wait(agent_.topic("firmware/status"), nullptr, kWait, &status_cursor_);
    ASSERT_TRUE(s);
    EXPECT_EQ(parse(*s)["state"], "accepted");
    EXPECT_EQ(parse(*s)["sha256"], offer["sha256"]);
    // One at a time: an offer while this one runs is refused and not offered.
    auto busy = offer_and_wait_status(offer_json(keys_, "another").dump());
    ASSERT_TRUE(busy);
    EXPECT_EQ((*busy)["state"], "refused");
    EXPECT_NE((*busy)["reason"].get<std::string>().find("another offer is pending"),
              std::string::npos);
    EXPECT_FALSE(offered(Millis(200)));

    respond(3);
    s = sub_->wait(agent_.topic("firmware/status"), nullptr, kWait, &status_cursor_);
    ASSERT_TRUE(s);
    EXPECT_EQ(parse(*s)["state"], "transferred");

    // The next offer goes through again, and the manager's other answers map as documented.
    for (const auto &[code, state] :
         std::vector<std::pair<int, std::string>>{{2, "not_for_this_board"}, {4, "failed"}}) {
        ASSERT_TRUE(sub_->publish(agent_.topic("firmware/offer"),
                                  offer_json(keys_, "image " + state).dump()));
        ASSERT_TRUE(offered(kWait));
        respond(code);
        s = sub_->wait(agent_.topic("firmware/status"), nullptr, kWait, &status_cursor_);
        ASSERT_TRUE(s);
        EXPECT_EQ(parse(*s)["state"], state);
    }
}

// An offer's image, its base64 and its parse go back once it is handled: offers of growing size,
// up to 256 KiB, do not leave the agent larger by the largest of them.
TEST_F(FleetLargeOfferTest, HandledOffersLeaveNoMemoryBehind) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed blocks on purpose";
#endif
    const auto offer = [&](std::size_t size) {
        ASSERT_TRUE(sub_->publish(agent_.topic("firmware/offer"),
                                  offer_json(keys_, std::string(size, 'i')).dump()));
        ASSERT_TRUE(offered(kWait));
        respond(3);
        auto s = sub_->wait(agent_.topic("firmware/status"), nullptr, kWait, &status_cursor_);
        ASSERT_TRUE(s);
        ASSERT_EQ(parse(*s)["state"], "transferred");
    };
    ASSERT_NO_FATAL_FAILURE(offer(1024));  // the first: the manager's connection, made once
    const long before = kor_test::private_dirty_kib(agent_.pid());
    for (std::size_t size = 16 * 1024; size <= max_bytes(); size *= 2) {
        ASSERT_NO_FATAL_FAILURE(offer(size));
    }
    // Unmended, the agent kept 380 KiB of them.
    EXPECT_LT(kor_test::private_dirty_kib(agent_.pid()) - before, 64) << before << " KiB before";
}

TEST_F(FleetTest, WithoutAPublicKeyEveryOfferIsRefused) {
    subscribe();
    ASSERT_TRUE(agent_.start(bus_)) << agent_.log_text();
    ASSERT_TRUE(wait_status("online"));
    Keys keys;
    ASSERT_TRUE(sub_->publish(agent_.topic("firmware/offer"), offer_json(keys, "img").dump()));
    auto s = sub_->wait(agent_.topic("firmware/status"), nullptr, kWait);
    ASSERT_TRUE(s);
    EXPECT_EQ(parse(*s)["state"], "refused");
    EXPECT_EQ(parse(*s)["reason"], "no firmware_public_key configured");
}

}  // namespace
