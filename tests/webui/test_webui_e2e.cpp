// The web console against the real oven manager on the virtual IO board: kor_webui runs as a
// process on the rig's bus folder, the test reads its HTTP interface.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "oven_process.hpp"

using namespace std::chrono_literals;
using kor_test::OvenRig;
using kor_test::private_dirty_kib;
using kor_test::read_file;
using kor_test::wait_until;
using nlohmann::json;

namespace {

// kor_webui as a child process on the rig's bus, listening on a free loopback port.
class WebuiProcess {
  public:
    ~WebuiProcess() { stop(); }

    bool start(OvenRig &rig, const std::vector<std::string> &config_lines = {},
               const std::string &listen = "127.0.0.1:0") {
        // Files of their own for every console a test starts.
        static int started = 0;
        const std::string name = "webui" + std::to_string(++started);
        out_ = rig.file(name + ".out");
        err_ = rig.file(name + ".err");
        const std::string config = rig.file(name + ".conf");
        {
            std::ofstream c(config);
            for (const auto &line : config_lines) {
                c << line << "\n";
            }
        }
        const std::string bin = kor_test::bin_dir() + "/kor_webui";
        const std::string bus = rig.bus_dir();
        pid_ = fork();
        if (pid_ == 0) {
            setenv("ZEB_BUS_DIR", bus.c_str(), 1);
            freopen(out_.c_str(), "w", stdout);
            freopen(err_.c_str(), "w", stderr);
            execl(bin.c_str(), "kor_webui", "--listen", listen.c_str(), "--config", config.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        // Listening (its address on standard output), or gone at once (a refused setting).
        const std::string prefix = "kor_webui: listening on ";
        const bool settled = wait_until(
            [&] { return reap(WNOHANG) || read_file(out_).find(prefix) != std::string::npos; },
            20s);
        const std::string out = read_file(out_);
        const std::size_t at = out.find(prefix);
        if (!settled || pid_ < 0 || at == std::string::npos) {
            return false;
        }
        tls_ = out.compare(at + prefix.size(), 8, "https://") == 0;
        const std::string host = "127.0.0.1:";
        const std::size_t colon = out.find(host, at);
        port_ = colon == std::string::npos ? 0 : std::stoi(out.substr(colon + host.size()));
        return port_ > 0;
    }

    // Collects the exit status once the process has ended; true then.
    bool reap(int flags) {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, flags) != pid_) {
            return false;
        }
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return true;
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            reap(0);
        }
    }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(10, 0);
        return c;
    }
    json get(const std::string &path, int *status = nullptr) const {
        auto c = client();
        auto res = c.Get(path.c_str());
        if (status != nullptr) {
            *status = res ? res->status : -1;
        }
        return res ? json::parse(res->body, nullptr, false) : json();
    }
    // A POST with a JSON body and extra headers; the status, and the answer's headers in headers.
    json post(const std::string &path, const std::string &body, const httplib::Headers &extra,
              int &status, httplib::Headers *headers = nullptr) const {
        auto c = client();
        auto res = c.Post(path.c_str(), extra, body, "application/json");
        status = res ? res->status : -1;
        if (res && headers != nullptr) {
            *headers = res->headers;
        }
        return res ? json::parse(res->body, nullptr, false) : json();
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    bool tls() const { return tls_; }
    std::string diagnostics() const { return read_file(out_) + read_file(err_); }
    int exit_status() const { return exit_status_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    int exit_status_ = -2;
    bool tls_ = false;
    std::string out_, err_;
};

// One client of GET /api/events, read by its own thread; keeps every "data:" object.
class EventStream {
  public:
    ~EventStream() { close(); }
    void open(int port) {
        reader_ = std::thread([this, port] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(30, 0);
            auto res = c.Get(
                "/api/events",
                [this](const httplib::Response &r) {
                    std::lock_guard guard(lock_);
                    status_ = r.status;
                    changed_.notify_all();
                    return true;
                },
                [this](const char *data, std::size_t length) {
                    std::lock_guard guard(lock_);
                    buffer_.append(data, length);
                    for (std::size_t end; (end = buffer_.find("\n\n")) != std::string::npos;) {
                        const std::string block = buffer_.substr(0, end);
                        buffer_.erase(0, end + 2);
                        if (block.rfind(": kor_webui", 0) == 0) {
                            connected_ = true;
                        } else if (block.rfind("data: ", 0) == 0) {
                            messages_.push_back(json::parse(block.substr(6), nullptr, false));
                        }
                    }
                    changed_.notify_all();
                    return !stop_.load();
                });
            std::lock_guard guard(lock_);
            ended_ = true;
            if (res && status_ == 0) {
                status_ = res->status;
            }
            changed_.notify_all();
        });
    }
    void close() {
        stop_ = true;
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    // Waits until the stream is set up (true) or refused (false; status() says why).
    bool wait_connected() {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, 10s, [&] { return connected_ || ended_; });
        return connected_;
    }
    int status() {
        std::lock_guard guard(lock_);
        return status_;
    }
    // Waits for a message called name whose fields satisfy pred.
    bool wait(const std::string &name, const std::function<bool(const json &)> &pred) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, 10s, [&] {
            for (const json &m : messages_) {
                if (m.is_object() && m["name"] == name && m["fields"].is_object() &&
                    pred(m["fields"])) {
                    return true;
                }
            }
            return false;
        });
    }

  private:
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::condition_variable changed_;
    std::string buffer_;
    std::vector<json> messages_;
    bool connected_ = false;
    bool ended_ = false;
    int status_ = 0;
};

// The Argon2id hash the program prints for a password given on its standard input.
std::string hash_password(const std::string &password) {
    const std::string command =
        "echo '" + password + "' | '" + kor_test::bin_dir() + "/kor_webui' --hash-password";
    FILE *p = popen(command.c_str(), "r");
    std::string out;
    char buf[256];
    while (p != nullptr && fgets(buf, sizeof buf, p) != nullptr) {
        out += buf;
    }
    if (p != nullptr) {
        pclose(p);
    }
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

constexpr const char *kPassword = "bench-oven-7";

class WebuiE2E : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << rig.diagnostics() << "--- kor_webui:\n" << webui.diagnostics();
        }
        webui.stop();
        rig.stop();
    }

    // Waits until GET /api/state satisfies pred; the last state seen is left in last.
    bool wait_state(const std::function<bool(const json &)> &pred,
                    std::chrono::milliseconds timeout = 10s) {
        return wait_until(
            [&] {
                last = webui.get("/api/state");
                return last.is_object() && pred(last);
            },
            timeout);
    }

    OvenRig rig;
    WebuiProcess webui;
    json last;
};

// The console registers, follows the oven from off through preheat to bake, and keeps the
// temperature history the chart draws.
TEST_F(WebuiE2E, StateFollowsThePreheat) {
    OvenRig::Options options;
    options.speed = 3;
    ASSERT_TRUE(rig.start(options)) << rig.error();
    ASSERT_TRUE(webui.start(rig));
    ASSERT_TRUE(wait_state([](const json &s) {
        return s["link"] == "up" && s["board_state"] == "off" && s["target"] == 500;
    })) << last.dump();
    for (const char *key : {"mode", "board_state", "temperature", "target", "heat_percent", "belts",
                            "fans", "thermocouples", "faults", "versions", "link", "updated"}) {
        EXPECT_TRUE(last.contains(key)) << key;
    }
    EXPECT_EQ(2u, last["belts"].size());
    EXPECT_EQ(4u, last["fans"].size());

    ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {1}));
    ASSERT_TRUE(wait_state([](const json &s) { return s["board_state"] == "preheat"; }))
        << last.dump();
    EXPECT_EQ("preheat", last["mode"]);
    rig.warm_to_target();
    ASSERT_TRUE(wait_state([](const json &s) { return s["board_state"] == "bake"; }))
        << last.dump();
    EXPECT_EQ("bake", last["mode"]);
    EXPECT_EQ("preheat complete", last["power"]);
    EXPECT_TRUE(last["temperature"].is_number()) << last.dump();
    EXPECT_TRUE(last["versions"]["io"].is_number()) << last.dump();
    EXPECT_EQ(6u, last["thermocouples"].size()) << last.dump();

    // Samples in time order, all within the asked span, the newest at the target reached.
    const json history = webui.get("/api/history?seconds=60");
    ASSERT_TRUE(history["samples"].is_array()) << history.dump();
    ASSERT_GE(history["samples"].size(), 2u) << history.dump();
    double previous = -61;
    for (const json &s : history["samples"]) {
        EXPECT_GE(s["t"].get<double>(), previous);
        EXPECT_LE(s["t"].get<double>(), 0.0);
        previous = s["t"].get<double>();
        EXPECT_EQ(500, s["target"]);
    }
}

// The manager going away shows as the link down; the console registers with the new one.
TEST_F(WebuiE2E, RegistersAgainAfterTheManagerRestarts) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_TRUE(webui.start(rig));
    ASSERT_TRUE(wait_state([](const json &s) { return s["link"] == "up"; })) << last.dump();
    rig.mgr.stop();
    ASSERT_TRUE(wait_state([](const json &s) { return s["link"] == "down"; })) << last.dump();
    const long before = last["notifications"].get<long>();
    ASSERT_TRUE(rig.start_manager({rig.sim.link_path()})) << rig.error();
    EXPECT_TRUE(wait_state(
        [&](const json &s) { return s["link"] == "up" && s["notifications"] > before; }, 20s))
        << last.dump();
}

// The read-only interface refuses what it does not understand, in JSON.
TEST_F(WebuiE2E, ReadOnlyInterfaceRefusesBadQueries) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_TRUE(webui.start(rig));
    const struct {
        const char *path;
        int status;
    } cases[] = {
        {"/api/history?seconds=0", 400},    {"/api/history?seconds=3601", 400},
        {"/api/history?seconds=abc", 400},  {"/api/history?seconds=", 400},
        {"/api/history?seconds=10x", 400},  {"/api/nothing", 404},
        {"/api/history?seconds=3600", 200}, {"/api/history", 200},
    };
    for (const auto &c : cases) {
        int status = 0;
        const json body = webui.get(c.path, &status);
        EXPECT_EQ(c.status, status) << c.path;
        EXPECT_TRUE(body.is_object()) << c.path;
        EXPECT_EQ(c.status != 200, body.contains("error")) << c.path << " " << body.dump();
    }
    // The page and everything it loads come from the program; together well under 300 KB.
    std::size_t weight = 0;
    for (const char *path : {"/", "/app.js", "/style.css", "/chart.min.js"}) {
        auto c = webui.client();
        auto res = c.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(200, res->status) << path;
        weight += res->body.size();
    }
    auto page = webui.client().Get("/");
    EXPECT_NE(std::string::npos, page->body.find("<canvas id=\"chart\">")) << page->body;
    EXPECT_EQ(0u, page->get_header_value("Content-Type").rfind("text/html", 0));
    EXPECT_LT(weight, 300u * 1024u);
    std::printf("page weight with its scripts: %zu bytes\n", weight);
    // Without a password hash nobody logs in.
    int status = 0;
    const json login = webui.post("/api/login", R"({"password": "x"})", {}, status);
    EXPECT_EQ(403, status) << login.dump();
    webui.stop();
    EXPECT_EQ(0, webui.exit_status());
}

// A technician logs in and changes the target: it reaches the board's register and comes back on
// the event stream; after the logout the same request is refused. Streams are limited to 32.
TEST_F(WebuiE2E, LoginThenSetPointReachesTheBoard) {
    const std::string hash = hash_password(kPassword);
    ASSERT_EQ(0u, hash.rfind("$argon2id$", 0)) << hash;
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_TRUE(webui.start(rig, {"password_hash = " + hash}));
    EventStream stream;
    stream.open(webui.port());
    ASSERT_TRUE(stream.wait_connected()) << stream.status();
    ASSERT_TRUE(stream.wait("zeb.varlo.temperature_notify",
                            [](const json &f) { return f["target"] == 500; }));

    int status = 0;
    httplib::Headers headers;
    webui.post("/api/login", json{{"password", kPassword}}.dump(), {}, status, &headers);
    ASSERT_EQ(200, status);
    const std::string cookie = headers.find("Set-Cookie")->second;
    EXPECT_NE(std::string::npos, cookie.find("HttpOnly")) << cookie;
    EXPECT_NE(std::string::npos, cookie.find("SameSite=Strict")) << cookie;
    const httplib::Headers session = {{"Cookie", cookie.substr(0, cookie.find(';'))},
                                      {"X-Kor-Request", "1"}};
    const std::string set_450 = R"({"name": "zeb.varlo.set_target_temperature", "values": [450]})";
    const json sent = webui.post("/api/request", set_450, session, status);
    ASSERT_EQ(200, status) << sent.dump();
    EXPECT_TRUE(rig.wait_reg(kor_test::e2e::kRegTarget, 450, 10s)) << rig.writes();
    EXPECT_TRUE(stream.wait("zeb.varlo.temperature_notify",
                            [](const json &f) { return f["target"] == 450; }));
    EXPECT_TRUE(wait_state([](const json &s) { return s["target"] == 450; })) << last.dump();

    webui.post("/api/logout", "", session, status);
    EXPECT_EQ(200, status);
    webui.post("/api/request", set_450, session, status);
    EXPECT_EQ(401, status);

    // 32 streams at most: the 33rd is refused, the others keep streaming.
    std::vector<std::unique_ptr<EventStream>> more;
    for (int i = 1; i < 32; ++i) {
        more.push_back(std::make_unique<EventStream>());
        more.back()->open(webui.port());
        ASSERT_TRUE(more.back()->wait_connected()) << i << " " << more.back()->status();
    }
    EventStream refused;
    refused.open(webui.port());
    EXPECT_FALSE(refused.wait_connected());
    EXPECT_EQ(429, refused.status());
}

// Every refusal answers 4xx with a JSON error and sends nothing to the manager.
TEST_F(WebuiE2E, BadRequestsAreRefusedAndNothingIsSent) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_TRUE(webui.start(rig, {"password_hash = " + hash_password(kPassword)}));
    int status = 0;
    httplib::Headers headers;
    webui.post("/api/login", json{{"password", kPassword}}.dump(), {}, status, &headers);
    ASSERT_EQ(200, status);
    const std::string set_cookie = headers.find("Set-Cookie")->second;
    const std::string cookie = set_cookie.substr(0, set_cookie.find(';'));
    const std::string big(5000, ' ');
    const auto req = [](const char *name, const char *values) {
        return std::string(R"({"name": ")") + name + R"(", "values": )" + values + "}";
    };
    enum Who { kNobody, kSession, kStranger };
    const struct {
        const char *what;
        const char *path;
        Who who;
        bool header;
        std::string body;
        int status;
    } cases[] = {
        {"wrong password", "/api/login", kNobody, false, R"({"password": "guess"})", 401},
        {"login not JSON", "/api/login", kNobody, false, "password=x", 400},
        {"login body too long", "/api/login", kNobody, false, R"({"password": ")" + big + "\"}",
         413},
        {"no CSRF header", "/api/request", kSession, false, req("zeb.varlo.power_onoff", "[1]"),
         403},
        {"no session", "/api/request", kNobody, true, req("zeb.varlo.power_onoff", "[1]"), 401},
        {"unknown session", "/api/request", kStranger, true, req("zeb.varlo.power_onoff", "[1]"),
         401},
        {"malformed JSON", "/api/request", kSession, true, R"({"name": )", 400},
        {"not an object", "/api/request", kSession, true, "[1, 2]", 400},
        {"request body too long", "/api/request", kSession, true,
         req("zeb.varlo.power_onoff", ("[1]" + big).c_str()), 413},
        {"not a console request", "/api/request", kSession, true,
         req("zeb.varlo.factory_reset_start", "[]"), 400},
        {"registration", "/api/request", kSession, true, req("zeb.varlo.register", "[1]"), 400},
        {"target out of range", "/api/request", kSession, true,
         req("zeb.varlo.set_target_temperature", "[5000]"), 400},
        {"negative target", "/api/request", kSession, true,
         req("zeb.varlo.set_target_temperature", "[-1]"), 400},
        {"target as text", "/api/request", kSession, true,
         req("zeb.varlo.set_target_temperature", R"(["450"])"), 400},
        {"fractional target", "/api/request", kSession, true,
         req("zeb.varlo.set_target_temperature", "[450.5]"), 400},
        {"too few values", "/api/request", kSession, true,
         req("zeb.varlo.set_belt_cook_time", "[1]"), 400},
        {"too many values", "/api/request", kSession, true, req("zeb.varlo.power_onoff", "[1, 1]"),
         400},
        {"no such fan", "/api/request", kSession, true,
         req("zeb.varlo.set_target_fan_speed", "[5, 50]"), 400},
        {"power 2", "/api/request", kSession, true, req("zeb.varlo.power_onoff", "[2]"), 400},
    };
    for (const auto &c : cases) {
        httplib::Headers h;
        if (c.who != kNobody) {
            h.emplace("Cookie", c.who == kSession ? cookie : "kor_session=00ff");
        }
        if (c.header) {
            h.emplace("X-Kor-Request", "1");
        }
        const json body = webui.post(c.path, c.body, h, status);
        EXPECT_EQ(c.status, status) << c.what;
        EXPECT_TRUE(body.is_object() && body.contains("error")) << c.what << ": " << body.dump();
    }
    // A good request last: once the manager has it, it would have had every earlier one too.
    webui.post("/api/request", req("zeb.varlo.set_belt_cook_time", "[1, 300]"),
               {{"Cookie", cookie}, {"X-Kor-Request", "1"}}, status);
    EXPECT_EQ(200, status);
    EXPECT_TRUE(rig.wait_log("Received event: zeb.varlo.set_belt_cook_time", 10s, true))
        << rig.mgr.log_text();
    for (const char *refused :
         {"power_onoff", "set_target_temperature", "factory_reset_start", "set_target_fan_speed"}) {
        EXPECT_EQ(0,
                  rig.mgr.log_count_containing(std::string("Received event: zeb.varlo.") + refused))
            << refused;
    }
    EXPECT_EQ(1, rig.mgr.log_count_containing("Received event: zeb.varlo.set_belt_cook_time"));
}

// The board's faults reach /api/state from the manager's fault list, with their texts, and leave
// it when the board clears them.
TEST_F(WebuiE2E, FaultsFollowTheBoard) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_TRUE(webui.start(rig, {"fault_file = " + rig.file("faults")}));
    ASSERT_TRUE(wait_state([](const json &s) { return s["link"] == "up"; })) << last.dump();
    EXPECT_EQ(json::array(), last["faults"]);
    const auto codes = [](const json &s) {
        std::vector<int> out;
        for (const json &f : s["faults"]) {
            out.push_back(f["code"].get<int>());
        }
        return out;
    };
    // Thermocouples 1 and 2 broken: faults 5 and 21, standing until the board clears them.
    ASSERT_EQ("ok", rig.sim.command("fault 203 3"));
    ASSERT_TRUE(wait_state(
        [&](const json &s) {
            return codes(s) == std::vector{5, 21};
        },
        20s))
        << last.dump();
    EXPECT_EQ("Thermocouple #1 is broken.", last["faults"][0]["text"]);
    EXPECT_EQ("Thermocouple #2 is broken.", last["faults"][1]["text"]);
    EXPECT_TRUE(last["faults"][0]["since"].is_string()) << last.dump();
    ASSERT_EQ("ok", rig.sim.command("fault 203 2"));
    ASSERT_TRUE(wait_state([&](const json &s) { return codes(s) == std::vector{21}; }, 20s))
        << last.dump();
    ASSERT_EQ("ok", rig.sim.command("fault 203 0"));
    EXPECT_TRUE(wait_state([&](const json &s) { return s["faults"].empty(); }, 20s)) << last.dump();
}

// Settings that cannot work stop the start: exit 1 with the reason, nothing served. A second
// console on a port already served is one of them.
TEST_F(WebuiE2E, RefusedSettingsStopTheStart) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_TRUE(webui.start(rig));
    const std::string taken = "127.0.0.1:" + std::to_string(webui.port());
    const std::string key = rig.file("webui.key");
    const std::string cert = rig.file("webui.pem");
    std::ofstream(key) << "not a key\n";
    const struct {
        std::vector<std::string> config;
        std::string listen;
        std::string message;
    } cases[] = {
        {{"tls_key_file = " + key}, "127.0.0.1:0", "tls_key_file is set but tls_cert_file is not"},
        {{"tls_cert_file = " + cert},
         "127.0.0.1:0",
         "tls_cert_file is set but tls_key_file is not"},
        {{"tls_cert_file = " + cert, "tls_key_file = " + key},
         "127.0.0.1:0",
         "cannot load the TLS certificate"},
        {{}, taken, "cannot listen on " + taken + ": Address already in use"},
    };
    for (const auto &c : cases) {
        WebuiProcess refused;
        EXPECT_FALSE(refused.start(rig, c.config, c.listen)) << c.message;
        EXPECT_EQ(1, refused.exit_status()) << c.message;
        EXPECT_NE(std::string::npos, refused.diagnostics().find(c.message))
            << refused.diagnostics();
    }
    EXPECT_EQ(200, webui.client().Get("/api/state")->status);
}

// With a certificate and its key the console speaks HTTPS only; the session cookie is Secure.
TEST_F(WebuiE2E, ServesHttpsWithItsCertificate) {
    ASSERT_TRUE(rig.start()) << rig.error();
    const std::string key = rig.file("webui.key");
    const std::string cert = rig.file("webui.pem");
    const std::string openssl =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        key + "' -out '" + cert + "' 2>/dev/null";
    ASSERT_EQ(0, std::system(openssl.c_str()));
    ASSERT_TRUE(webui.start(rig, {"tls_cert_file = " + cert, "tls_key_file = " + key,
                                  "password_hash = " + hash_password(kPassword)}))
        << webui.diagnostics();
    ASSERT_TRUE(webui.tls()) << webui.diagnostics();

    httplib::SSLClient tls("127.0.0.1", webui.port());
    tls.set_ca_cert_path(cert.c_str());
    tls.enable_server_certificate_verification(true);
    tls.set_read_timeout(10, 0);
    json state;
    ASSERT_TRUE(wait_until(
        [&] {
            auto res = tls.Get("/api/state");
            state = res && res->status == 200 ? json::parse(res->body, nullptr, false) : json();
            return state.is_object() && state["link"] == "up";
        },
        10s))
        << state.dump() << webui.diagnostics();
    auto login = tls.Post("/api/login", json{{"password", kPassword}}.dump(), "application/json");
    ASSERT_TRUE(login);
    EXPECT_EQ(200, login->status);
    EXPECT_NE(std::string::npos, login->get_header_value("Set-Cookie").find("; Secure"));

    auto plain = webui.client().Get("/api/state");
    EXPECT_FALSE(plain && plain->status == 200) << plain->body;
}

// A client guessing passwords is told to wait (429 with Retry-After) at once, instead of holding a
// worker for its delay: many guesses at a time leave the event streams and the state served, and
// the right password is taken once the wait is over.
TEST_F(WebuiE2E, WrongPasswordsDoNotHoldTheWorkers) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_TRUE(webui.start(rig, {"password_hash = " + hash_password(kPassword)}));
    // One request first: the HTTP library sets up its tables on its first request, in code the
    // thread checker does not see, so a first burst from many threads would be reported as a race.
    ASSERT_TRUE(wait_state([](const json &s) { return s["link"] == "up"; })) << last.dump();
    // More guessers at once than the console has workers, three guesses each.
    constexpr int kGuessers = 48;
    std::mutex lock;
    std::map<int, int> statuses;
    int told_to_wait = 0;
    std::vector<std::thread> guessers;
    for (int i = 0; i < kGuessers; ++i) {
        guessers.emplace_back([&] {
            for (int n = 0; n < 3; ++n) {
                auto res = webui.client().Post("/api/login", R"({"password": "guess"})",
                                               "application/json");
                std::lock_guard guard(lock);
                ++statuses[res ? res->status : -100 - static_cast<int>(res.error())];
                const json body = res ? json::parse(res->body, nullptr, false) : json();
                if (res && res->status == 429 && res->has_header("Retry-After") &&
                    std::atoi(res->get_header_value("Retry-After").c_str()) >= 1 &&
                    body.is_object() && body.contains("error") &&
                    body.value("retry_after_ms", 0) > 0) {
                    ++told_to_wait;
                }
            }
        });
    }
    EventStream stream;
    stream.open(webui.port());
    EXPECT_TRUE(stream.wait_connected()) << stream.status();
    EXPECT_TRUE(stream.wait("zeb.varlo.temperature_notify", [](const json &) { return true; }));
    EXPECT_TRUE(wait_state([](const json &s) { return s["link"] == "up"; })) << last.dump();
    for (auto &t : guessers) {
        t.join();
    }
    // Every guess answered 401 or 429; a 401 starts a wait of at least 0.2 s, doubling, so 144
    // guesses at once cannot all be checked.
    EXPECT_EQ(3 * kGuessers, statuses[401] + statuses[429]) << ::testing::PrintToString(statuses);
    EXPECT_GE(statuses[401], 1);
    EXPECT_EQ(statuses[429], told_to_wait);
    EXPECT_GT(statuses[429], 2 * kGuessers);

    int status = 0;
    EXPECT_TRUE(wait_until(
        [&] {
            webui.post("/api/login", json{{"password", kPassword}}.dump(), {}, status);
            return status == 200;
        },
        30s))
        << status;
}

// Event streams coming and going leave nothing behind: once every worker has served streams,
// hundreds more do not move the console's private memory.
TEST_F(WebuiE2E, StreamsComingAndGoingLeaveItsMemoryFlat) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed blocks on purpose";
#endif
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_TRUE(webui.start(rig));
    // It starts itself once more to set up its allocator, under its own name (ps, pgrep).
    EXPECT_EQ("kor_webui\n", read_file("/proc/" + std::to_string(webui.pid()) + "/comm"));
    // A round: as many streams as the console serves, each until its first notification. The
    // console lets a closed stream go at its next write, so a new one may be refused for a moment.
    const auto round = [&] {
        std::vector<std::unique_ptr<EventStream>> streams(32);
        for (auto &s : streams) {
            s = std::make_unique<EventStream>();
            s->open(webui.port());
        }
        for (auto &s : streams) {
            ASSERT_TRUE(wait_until(
                [&] {
                    if (s->wait_connected()) {
                        return true;
                    }
                    s = std::make_unique<EventStream>();
                    s->open(webui.port());
                    return false;
                },
                10s))
                << s->status();
            ASSERT_TRUE(s->wait("zeb.varlo.temperature_notify", [](const json &) { return true; }));
        }
    };
    for (int i = 0; i < 4; ++i) {
        ASSERT_NO_FATAL_FAILURE(round());
    }
    const long before = private_dirty_kib(webui.pid());
    for (int i = 0; i < 20; ++i) {
        ASSERT_NO_FATAL_FAILURE(round());
    }
    // Unmended, 640 streams added about 500 KiB.
    EXPECT_LT(private_dirty_kib(webui.pid()) - before, 128) << "before: " << before << " KiB";
}

}  // namespace
