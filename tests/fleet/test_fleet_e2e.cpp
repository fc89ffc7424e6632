// The fleet agent beside the real oven manager on the virtual IO board: the manager's own
// reports reach the broker, and a signed image offered on the broker ends up in the board.
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fleet_rig.hpp"
#include "oven_process.hpp"

namespace {

using json = nlohmann::json;
using kor_test::MqttMessage;
using namespace std::chrono_literals;

TEST(FleetE2E, TheManagersReportsReachTheBrokerAndASignedImageReachesTheBoard) {
    kor_test::OvenRig rig;
    kor_test::OvenRig::Options options;
    const std::string flashed = rig.file("flashed.bin");
    options.sim_args = {"--firmware-out", flashed};
    options.start_manager = false;
    ASSERT_TRUE(rig.start(options)) << rig.error();
    // The agent takes the two service channels the rig's listeners would hold.
    rig.telvo.close();
    rig.update.close();

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

}  // namespace
