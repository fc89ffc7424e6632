// The oven manager probed over the service bus as a hostile local client would: firmware offers
// that name a FIFO or come from a channel other than the update service's, registrations of the
// manager's own channel and of the services' channels, event names that would forge log lines,
// target temperatures outside the configured bounds. The real manager runs on the virtual board.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "oven_process.hpp"

namespace {

using kor_test::BusEvent;
using kor_test::OvenRig;
using kor_test::wait_until;
using namespace std::chrono_literals;
using namespace kor_test::e2e;

// The exit status of a manager stopped by SIGTERM (its result -108, ESHUTDOWN, as a status byte).
constexpr int kStopped = (256 - 108) & 0xFF;
constexpr const char *kOffer = "zeb.update.firmware.available";
constexpr const char *kRegister = "zeb.varlo.register";

std::vector<char> offer_data(const std::string &component, const std::string &path) {
    std::vector<char> data(255, 0);
    std::memcpy(data.data(), component.data(), component.size());
    data.insert(data.end(), path.begin(), path.end());
    data.push_back('\0');
    return data;
}

std::vector<char> register_data(const std::string &channel) {
    std::vector<char> data(4, 0);
    data[0] = 1;
    data.insert(data.end(), channel.begin(), channel.end());
    data.push_back('\0');
    return data;
}

std::map<std::string, std::string> files_under(const std::string &folder) {
    std::map<std::string, std::string> out;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            out[entry.path().string()] = text.str();
        }
    }
    return out;
}

class ManagerSecurity : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << rig.diagnostics() << "--- UI events (tail):\n"
                      << rig.ui.events.dump(0, 40) << "--- zeb_update:\n"
                      << rig.update.events.dump() << "--- zeb_telvo:\n"
                      << rig.telvo.events.dump();
        }
        rig.stop();
    }

    // The control thread is alive: a cavity temperature put on the board reaches the UI.
    bool control_thread_answers(int temperature) {
        if (rig.sim.command("physics off") != "ok" ||
            rig.sim.command("set " + std::to_string(kRegTemperature) + " " +
                            std::to_string(temperature)) != "ok") {
            return false;
        }
        std::size_t cursor = rig.ui.events.size();
        return rig.ui.events
            .wait(
                kTemperature, [&](const BusEvent &ev) { return ev.int_at(0) == temperature; }, 10s,
                &cursor)
            .has_value();
    }

    OvenRig rig;
};

// A FIFO named in an offer is refused at once (4) and never opened: the control thread keeps
// notifying, requests are answered and SIGTERM ends the manager.
TEST_F(ManagerSecurity, AFirmwareOfferNamingAFifoIsRefusedAndTheManagerKeepsRunning) {
    ASSERT_TRUE(rig.start()) << rig.error();
    ASSERT_EQ(0, rig.register_ui());
    const std::string fifo = rig.file("io_board.fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600)) << std::strerror(errno);

    std::size_t cursor = 0;
    const auto offer = offer_data("dravik_kor_board", fifo);
    ASSERT_EQ(0, rig.update.send(OvenRig::kManagerChannel, kOffer, "1s255 id 1s0 path",
                                 offer.data(), offer.size()));
    const auto answer = rig.update.events.wait(kUpdateResponse, 5s, &cursor);
    ASSERT_TRUE(answer);
    EXPECT_EQ(4, answer->int_at(0));
    EXPECT_TRUE(
        rig.wait_log("Refusing update dravik_kor_board:" + fifo + ": not a regular file", 5s));

    EXPECT_TRUE(control_thread_answers(333));
    EXPECT_EQ(0, rig.register_ui());
    EXPECT_EQ(0, rig.mgr.log_count_containing("Performing IO Board update"));
    ASSERT_TRUE(rig.mgr.kill(SIGTERM));
    EXPECT_EQ(kStopped, rig.mgr.wait_exit(10s));
}

// Offers count only from the update service's channel; any other sender is logged and dropped,
// with no answer and no file read. The update service's own offer is still answered.
TEST_F(ManagerSecurity, FirmwareOffersFromAnyOtherChannelAreDropped) {
    ASSERT_TRUE(rig.start()) << rig.error();
    kor_test::ChannelListener impostor;
    ASSERT_TRUE(impostor.open("zeb_update2"));
    const auto offer = offer_data("dravik_kor_board", "../../etc/passwd");
    ASSERT_EQ(0, rig.send_raw(kOffer, "1s255 id 1s0 path", offer.data(), offer.size()));
    ASSERT_EQ(0, impostor.send(OvenRig::kManagerChannel, kOffer, "1s255 id 1s0 path", offer.data(),
                               offer.size()));
    for (const std::string sender : {OvenRig::kUiChannel, "zeb_update2"}) {
        EXPECT_TRUE(rig.wait_log("Dropping zeb.update.firmware.available from channel " + sender +
                                     ": firmware offers come from zeb_update only",
                                 5s))
            << sender;
    }
    // The update service's own offer is answered; it is the first answer the channel sees.
    const auto ignored = offer_data("another_component", "/nonexistent");
    ASSERT_EQ(0, rig.update.send(OvenRig::kManagerChannel, kOffer, "1s255 id 1s0 path",
                                 ignored.data(), ignored.size()));
    std::size_t cursor = 0;
    const auto answer = rig.update.events.wait(kUpdateResponse, 5s, &cursor);
    ASSERT_TRUE(answer);
    EXPECT_EQ(2, answer->int_at(0));
    EXPECT_EQ(1u, rig.update.events.named(kUpdateResponse).size());
    EXPECT_EQ(0, rig.mgr.log_count_containing("Accepting update"));
    EXPECT_EQ(0, rig.mgr.log_count_containing("Performing IO Board update"));
    impostor.close();
}

// The manager's own channel and the services' channels are no UI: registering them is refused
// with a warning, and neither the manager nor the services get UI notifications.
TEST_F(ManagerSecurity, RegistrationsOfTheManagerOrServiceChannelsAreRefused) {
    ASSERT_TRUE(rig.start()) << rig.error();
    for (const std::string channel : {OvenRig::kManagerChannel, "zeb_update", "zeb_telvo"}) {
        const auto data = register_data(channel);
        ASSERT_EQ(0, rig.send_raw(kRegister, "4s1 value 1s0 channel", data.data(), data.size()));
        EXPECT_TRUE(rig.wait_log(
            "Registration of client " + channel + " refused: the channel is not a UI's", 5s))
            << channel;
    }
    ASSERT_EQ(0, rig.register_ui());
    // Several rounds of the control thread's notifications reach the UI, none anyone else.
    std::size_t cursor = rig.ui.events.size();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(rig.ui.events.wait(kTemperature, 10s, &cursor));
    }
    for (const auto *listener : {&rig.update, &rig.telvo}) {
        for (const BusEvent &ev : listener->events.since(0)) {
            EXPECT_NE(0u, ev.name.rfind("zeb.varlo.", 0)) << ev.name;
        }
    }
    EXPECT_EQ(0, rig.mgr.log_count_containing("Received event: zeb.varlo.temperature_notify"));
    EXPECT_EQ(0, rig.mgr.log_count_containing("Received event: zeb.varlo.mode_notify"));
}

// Control and non-ASCII bytes from a client are escaped: every line of the log is one whole line
// of the logger's own making, in plain ASCII.
TEST_F(ManagerSecurity, ClientTextCannotForgeLogLines) {
    ASSERT_TRUE(rig.start()) << rig.error();
    const std::string forged = "\n2026-01-01T00:00:00.000 ERROR kor_oven_mgr: forged\xff\xfe\t!";
    ASSERT_EQ(0, rig.send("zeb.varlo.x" + forged, {1}));
    const auto data = register_data("ui" + forged);
    ASSERT_EQ(0, rig.send_raw(kRegister, "4s1 value 1s0 channel", data.data(), data.size()));

    const std::string escaped =
        "\\n2026-01-01T00:00:00.000 ERROR kor_oven_mgr: forged\\xff\\xfe\\t!";
    EXPECT_TRUE(rig.wait_log("process_client_requests: Received event: zeb.varlo.x" + escaped, 5s));
    EXPECT_TRUE(rig.wait_log("Registration of client ui" + escaped, 5s, true));
    const std::regex line(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} [A-Z]+ [A-Za-z_0-9]+: [\x20-\x7e]*)");
    std::istringstream in(rig.mgr.log_text());
    for (std::string text; std::getline(in, text);) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
    }
    EXPECT_EQ(0, rig.mgr.log_count_containing("forged\xff"));
}

// Target temperatures outside heating_temp_min/max are refused with a warning: no write of the
// target register, nothing stored, the UI still sees the old target.
TEST_F(ManagerSecurity, TargetTemperaturesOutsideTheConfiguredBoundsAreRefused) {
    OvenRig::Options options;
    options.settings["heating_temp_max"] = "600";
    ASSERT_TRUE(rig.start(options)) << rig.error();
    ASSERT_EQ(0, rig.register_ui());
    const int target = rig.reg(kRegTarget);
    ASSERT_GT(target, 0);
    ASSERT_EQ("ok", rig.sim.command("writes clear"));
    const auto stored = files_under(rig.config_dir());

    for (const int32_t degrees : {2000, 65986}) {
        ASSERT_EQ(0, rig.send("zeb.varlo.set_target_temperature", {degrees}));
        EXPECT_TRUE(rig.wait_log("Refusing zeb.varlo.set_target_temperature: value " +
                                     std::to_string(degrees) + " out of range",
                                 5s, true))
            << degrees;
    }
    std::size_t cursor = rig.ui.events.size();
    const auto seen = rig.ui.events.wait(kTemperature, 10s, &cursor);
    ASSERT_TRUE(seen);
    EXPECT_EQ(target, seen->int_at(1));
    EXPECT_EQ(target, rig.reg(kRegTarget));
    EXPECT_FALSE(std::regex_search(rig.writes(), std::regex(R"((^|\s)56:=)"))) << rig.writes();
    EXPECT_EQ(stored, files_under(rig.config_dir()));
}

}  // namespace
