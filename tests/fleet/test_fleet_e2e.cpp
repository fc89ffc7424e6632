// The fleet agent beside the real oven manager on the virtual IO board: the manager's own
// reports reach the broker, and a signed image offered on the broker ends up in the board. Once
// as this process's user, once with the manager, the board, the agent and the broker as an
// unprivileged user (as the services run), beside this process's root-owned bus channels: a bake,
// the settings store rewritten, a firmware update.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fleet_rig.hpp"
#include "oven_process.hpp"

namespace {

using json = nlohmann::json;
using kor_test::MqttMessage;
using namespace std::chrono_literals;

// The field of /proc/PID/status called name ("Uid", "CapEff", ...), empty when there is none.
std::string status_field(pid_t pid, const std::string &name) {
    std::istringstream in(kor_test::read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            std::istringstream fields(line.substr(name.size() + 1));
            std::string first;
            fields >> first;
            return first;
        }
    }
    return "";
}

class FleetE2E : public ::testing::TestWithParam<bool> {};

TEST_P(FleetE2E, TheManagersReportsReachTheBrokerAndASignedImageReachesTheBoard) {
    const bool unprivileged = GetParam();
    std::optional<kor_test::ChildUser> as_user;
    uid_t uid = ::geteuid();
    if (unprivileged) {
        const passwd *nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || nobody == nullptr) {
            GTEST_SKIP() << "running the programs as another user takes root and a user nobody";
        }
        uid = nobody->pw_uid;
        as_user.emplace(nobody->pw_uid, nobody->pw_gid);
    }
    kor_test::OvenRig rig;
    kor_test::OvenRig::Options options;
    const std::string flashed = rig.file("flashed.bin");
    options.sim_args = {"--firmware-out", flashed};
    options.start_manager = false;
    ASSERT_TRUE(rig.start(options)) << rig.error();
    // The agent takes the two service channels the rig's listeners would hold.
    rig.telvo.close();
    rig.update.close();
    // The settings as a UI leaves them after a reset, without the blower sense key: the manager
    // takes it from the model file and rewrites the store.
    const std::string settings = rig.config_dir() + "/settings";
    {
        std::istringstream in(kor_test::read_file(settings));
        std::string kept;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("blower_speed_sense_error", 0) != 0) {
                kept += line + "\n";
            }
        }
        std::ofstream(settings, std::ios::trunc) << kept;
    }
    // Root's file (readable to all): the rewritten store is the manager's user's.
    if (unprivileged) {
        ASSERT_EQ(0, ::chown(settings.c_str(), 0, 0));
    }

    kor_test::MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log_text();
    kor_test::MqttSubscriber sub;
    ASSERT_TRUE(sub.connect(broker.port(), "kor/#"));
    kor_test::SigningKeys keys;
    kor_test::AgentProcess agent;
    agent.config["broker_port"] = std::to_string(broker.port());
    agent.config["firmware_public_key"] = keys.public_hex();
    ASSERT_TRUE(agent.start(rig.bus_dir())) << agent.log_text();
    ASSERT_TRUE(rig.start_manager({rig.sim.link_path()})) << rig.error();
    ASSERT_TRUE(agent.wait_log("Update client zeb_backend registered", 20s)) << agent.log_text();

    // Every program runs as the user chosen, with no capability left.
    for (pid_t pid : {rig.mgr.pid(), rig.sim.pid(), agent.pid()}) {
        EXPECT_EQ(std::to_string(uid), status_field(pid, "Uid")) << pid;
        EXPECT_EQ(unprivileged ? "0000000000000000" : status_field(::getpid(), "CapEff"),
                  status_field(pid, "CapEff"))
            << pid;
    }
    // The store rewritten, by the manager's user.
    ASSERT_TRUE(kor_test::wait_until(
        [&] {
            return kor_test::read_file(settings).find("blower_speed_sense_error") !=
                   std::string::npos;
        },
        10s))
        << rig.diagnostics();
    struct stat st {};
    ASSERT_EQ(0, ::stat(settings.c_str(), &st));
    EXPECT_EQ(uid, st.st_uid);

    // A bake, and the registered UI (a channel of this process) hears of it.
    ASSERT_EQ(0, rig.register_ui()) << rig.diagnostics();
    ASSERT_EQ(0, rig.send("zeb.varlo.power_onoff", {1}));
    ASSERT_TRUE(kor_test::wait_until(
        [&] {
            const int state = rig.board_state();
            return state >= 4 && state <= 7;
        },
        10s))
        << rig.diagnostics();
    rig.warm_to_target();
    ASSERT_TRUE(rig.wait_board_state(6, 10s)) << rig.diagnostics();
    EXPECT_TRUE(rig.ui.events.wait(
        kor_test::e2e::kMode, [](const kor_test::BusEvent &ev) { return ev.int_at(1) == 6; }, 10s))
        << rig.ui.events.dump();

    // A broken thermocouple on the board: the manager's fault report, raised and cleared.
    ASSERT_EQ("ok", rig.sim.command("fault 203 1"));
    std::size_t cursor = 0;
    auto fault = [&](bool set) {
        return sub.wait(
            agent.topic("report/fault"),
            [&](const MqttMessage &m) {
                const json r = json::parse(m.payload)["report"];
                return r["fc"] == "f5" && r["fs"] == set;
            },
            20s, &cursor);
    };
    ASSERT_TRUE(fault(true)) << agent.log_text();
    ASSERT_EQ("ok", rig.sim.command("fault 203 0"));
    ASSERT_TRUE(fault(false)) << agent.log_text();

    // An image of five and a half blocks of 247 bytes, signed by the fleet.
    std::string image(5 * 247 + 123, '\0');
    std::mt19937 random(7);
    for (auto &b : image) {
        b = static_cast<char>(random() & 0xFF);
    }
    std::size_t status_cursor = 0;
    auto status = [&](const std::string &state) {
        return sub.wait(
            agent.topic("firmware/status"),
            [&](const MqttMessage &m) { return json::parse(m.payload)["state"] == state; }, 30s,
            &status_cursor);
    };
    ASSERT_TRUE(sub.publish(agent.topic("firmware/offer"), kor_test::make_offer(keys, image)));
    ASSERT_TRUE(status("accepted")) << agent.log_text() << rig.diagnostics();
    ASSERT_TRUE(status("transferred")) << agent.log_text() << rig.diagnostics();
    std::ifstream in(flashed, std::ios::binary);
    EXPECT_EQ(image, std::string(std::istreambuf_iterator<char>(in), {}));

    // Signed, but not for this board: the manager says so, and the fleet hears it.
    ASSERT_TRUE(
        sub.publish(agent.topic("firmware/offer"), kor_test::make_offer(keys, "x", "other_part")));
    ASSERT_TRUE(status("not_for_this_board")) << agent.log_text();
}

INSTANTIATE_TEST_SUITE_P(AsUser, FleetE2E, ::testing::Values(false, true),
                         [](const auto &param_info) {
                             return param_info.param ? "Unprivileged" : "ThisProcessUser";
                         });

}  // namespace
