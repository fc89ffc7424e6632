// The web console against the real oven manager on the virtual IO board: kor_webui runs as a
// process on the rig's bus folder, the test reads its HTTP interface.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "oven_process.hpp"

using namespace std::chrono_literals;
using kor_test::OvenRig;
using kor_test::wait_until;
using nlohmann::json;

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// kor_webui as a child process on the rig's bus, listening on a free loopback port.
class WebuiProcess {
  public:
    ~WebuiProcess() { stop(); }

    bool start(OvenRig &rig, const std::vector<std::string> &config_lines = {}) {
        out_ = rig.file("webui.out");
        err_ = rig.file("webui.err");
        const std::string config = rig.file("webui.conf");
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
            execl(bin.c_str(), "kor_webui", "--listen", "127.0.0.1:0", "--config", config.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        const std::string prefix = "kor_webui: listening on http://127.0.0.1:";
        const bool listening =
            wait_until([&] { return read_file(out_).find(prefix) != std::string::npos; }, 10s);
        if (!listening) {
            return false;
        }
        const std::string out = read_file(out_);
        port_ = std::stoi(out.substr(out.find(prefix) + prefix.size()));
        return port_ > 0;
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
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
    std::string diagnostics() const { return read_file(out_) + read_file(err_); }
    int exit_status() const { return exit_status_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    int exit_status_ = -2;
    std::string out_, err_;
};

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
    webui.stop();
    EXPECT_EQ(0, webui.exit_status());
}

}  // namespace
