// Cloud reports: the exact texts, the argument checks, and that every text the library can emit
// is valid JSON carrying the values it was given, whatever bytes the texts hold. The bus send is
// a recording fake defined in this program, so it takes the place of the real one for the
// library as well.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "kor_oven_telvo.h"
#include "log_capture.hpp"
#include "zeb_logger.h"

namespace {

struct Sent {
    std::string target;
    std::string event;
    std::string format;
    std::string data;  // every byte, the NUL included
    int32_t length = 0;
};

std::vector<Sent> sent;
int send_result = 0;

}  // namespace

extern "C" int zeb_service_send_event(const char *target, const char *event, const char *format,
                                      const void *data, int32_t length) {
    sent.push_back({target, event, format,
                    std::string(static_cast<const char *>(data), static_cast<size_t>(length)),
                    length});
    return send_result;
}

namespace {

using json = nlohmann::json;
using kor_test::LogCapture;
using Text = char[KOR_TELVO_TEXT_LEN];

class OvenTelvo : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(kor_telvo_init(), 0); }
    void SetUp() override {
        sent.clear();
        send_result = 0;
    }

    // The one text sent, checked for its channel, event, format, NUL and log line.
    std::string only_text() {
        EXPECT_EQ(sent.size(), 1u);
        if (sent.size() != 1) {
            return "";
        }
        const Sent &s = sent[0];
        EXPECT_EQ(s.target, "zeb_telvo");
        EXPECT_EQ(s.event, "zeb.telvo.send");
        EXPECT_EQ(s.format, "1s0 json");
        EXPECT_EQ(static_cast<size_t>(s.length), std::strlen(s.data.c_str()) + 1);
        EXPECT_EQ(s.data.back(), '\0');
        std::string text = s.data.substr(0, s.data.size() - 1);
        // The log holds the text in printable ASCII: the JSON has no control bytes left, and the
        // logger writes every other byte outside printable ASCII as \xHH.
        std::string in_log;
        for (const unsigned char c : text) {
            if (c < 0x20 || c > 0x7e) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                in_log += hex;
            } else {
                in_log += static_cast<char>(c);
            }
        }
        bool logged = false;
        for (const auto &l : log_.lines()) {
            logged |=
                l.level == ZEB_LOG_INFO && l.module == "kor_vellor_service" && l.message == in_log;
        }
        EXPECT_TRUE(logged) << log_.dump();
        return text;
    }

    LogCapture log_;
};

TEST_F(OvenTelvo, HeartbeatText) {
    const uint16_t fans[] = {1, 2, 3, 4};
    const uint16_t bake[] = {1, 2};
    const uint16_t therm[] = {1, 2, 3, 4};
    Text menu[2] = {"pizza", "cheeseburger"};
    ASSERT_EQ(kor_telvo_heartbeat(1, 2, fans, 4, bake, 2, 3, therm, 4, menu, 2), 0);
    EXPECT_EQ(only_text(),
              "{ \"state\" : 1, \"sp\" : 2, \"fanset\" : [1,2,3,4], \"bake_tm\" : [1,2], "
              "\"temp\" : 3, \"therm\" : [1,2,3,4], \"menu\" : [\"pizza\",\"cheeseburger\"] }");
}

TEST_F(OvenTelvo, FaultTexts) {
    const uint16_t one[] = {440};
    const uint16_t fans[] = {55, 66, 77, 88};
    const uint16_t times[] = {426, 392};
    const uint16_t probes[] = {880, 789, 865, 912};

    ASSERT_EQ(kor_telvo_report_fault_io_comm_lost(0, 2), 0);
    EXPECT_EQ(only_text(),
              "{ \"t\" : \"fault\", \"fc\" : \"f11\", \"fs\" : false, \"state\" : 2 }");
    sent.clear();
    ASSERT_EQ(kor_telvo_report_fault_belt_comm_lost(1, one, 1), 0);
    EXPECT_EQ(only_text(),
              "{ \"t\" : \"fault\", \"fc\" : \"f1\", \"fs\" : true, \"bake_tm\" : [440] }");
    sent.clear();
    ASSERT_EQ(kor_telvo_report_fault_sensor_closed(0, 4, fans, 4), 0);
    EXPECT_EQ(only_text(),
              "{ \"t\" : \"fault\", \"fc\" : \"f10\", \"fs\" : false, \"state\" : 4, "
              "\"fanset\" : [55,66,77,88] }");
    sent.clear();
    ASSERT_EQ(kor_telvo_report_fault_all_belts_stalled(1, 5, times, 2), 0);
    EXPECT_EQ(only_text(),
              "{ \"t\" : \"fault\", \"fc\" : \"f12\", \"fs\" : true, \"state\" : 5, "
              "\"bake_tm\" : [426,392] }");
    sent.clear();
    ASSERT_EQ(kor_telvo_report_fault_heating_error(0, 8, 877, 550, probes, 4), 0);
    EXPECT_EQ(only_text(),
              "{ \"t\" : \"fault\", \"fc\" : \"f4\", \"fs\" : false, \"state\" : 8, "
              "\"temp\" : 877, \"sp\" : 550, \"therm\" : [880,789,865,912] }");
    sent.clear();
    ASSERT_EQ(kor_telvo_report_fault_high_temp_check_fans(0), 0);
    EXPECT_EQ(only_text(), "{ \"t\" : \"fault\", \"fc\" : \"f13\", \"fs\" : false }");
    sent.clear();
    ASSERT_EQ(kor_telvo_report_photocell_override(), 0);
    EXPECT_EQ(only_text(), "{ \"t\" : \"photo_override\" }");
    sent.clear();
    ASSERT_EQ(kor_telvo_report_serial_number_changed(), 0);
    EXPECT_EQ(only_text(), "{ \"t\" : \"serial_changed\" }");
}

TEST_F(OvenTelvo, SettingsText) {
    ASSERT_EQ(kor_telvo_report_settings_changed("abc123", "meat lovers", 1, 365, 223, "1248", 2359,
                                                3, 4, 300, 0),
              0);
    EXPECT_EQ(only_text(),
              "{ \"t\" : \"settings\", \"serial\" : \"abc123\", \"group\" : \"meat lovers\", "
              "\"split\" : true, \"on_tm\" : 365, \"tot_cook_tm\" : 223, \"ui_version\" : "
              "\"1248\", \"io_version\" : 2359, \"drive_f_version\" : 3, \"drive_r_version\" : 4, "
              "\"belt_f_time\" : 300, \"belt_r_time\" : 0}");
    sent.clear();
    ASSERT_EQ(kor_telvo_report_settings_changed("s", "g", 0, -1, 0, nullptr, 0, 0, 0, 0, 0), 0);
    json j = json::parse(only_text());
    EXPECT_EQ(j["split"], false);
    EXPECT_EQ(j["ui_version"], "");
    EXPECT_EQ(j["on_tm"], -1);
}

TEST_F(OvenTelvo, EveryFaultReportCarriesItsCode) {
    const uint16_t a[] = {1, 2, 3};
    struct Case {
        const char *fc;
        std::function<int32_t(uint8_t)> send;
        std::vector<std::string> keys;  // beyond t, fc, fs
    };
    const std::vector<Case> cases = {
        {"f1",
         [&](uint8_t fs) { return kor_telvo_report_fault_belt_comm_lost(fs, a, 2); },
         {"bake_tm"}},
        {"f2",
         [&](uint8_t fs) { return kor_telvo_report_fault_sensor_open(fs, 6, a, 3); },
         {"state", "fanset"}},
        {"f3",
         [&](uint8_t fs) { return kor_telvo_report_fault_belt_stalled(fs, 6, a, 2); },
         {"state", "bake_tm"}},
        {"f4",
         [&](uint8_t fs) { return kor_telvo_report_fault_heating_error(fs, 6, 500, 550, a, 3); },
         {"state", "temp", "sp", "therm"}},
        {"f5",
         [&](uint8_t fs) { return kor_telvo_report_fault_probe_open(fs, 6, 500, 550, a, 3); },
         {"state", "temp", "sp", "therm"}},
        {"f6",
         [&](uint8_t fs) { return kor_telvo_report_fault_all_probes_open(fs, 6); },
         {"state"}},
        {"f7",
         [&](uint8_t fs) { return kor_telvo_report_fault_oven_over_temp(fs, 6, 500, 550, a, 3); },
         {"state", "temp", "sp", "therm"}},
        {"f8", [&](uint8_t fs) { return kor_telvo_report_fault_fan_fault(fs); }, {}},
        {"f9",
         [&](uint8_t fs) { return kor_telvo_report_fault_reset_ignition(fs, 6, 500, 550, a, 3); },
         {"state", "temp", "sp", "therm"}},
        {"f10",
         [&](uint8_t fs) { return kor_telvo_report_fault_sensor_closed(fs, 6, a, 3); },
         {"state", "fanset"}},
        {"f11", [&](uint8_t fs) { return kor_telvo_report_fault_io_comm_lost(fs, 6); }, {"state"}},
        {"f12",
         [&](uint8_t fs) { return kor_telvo_report_fault_all_belts_stalled(fs, 6, a, 2); },
         {"state", "bake_tm"}},
        {"f13", [&](uint8_t fs) { return kor_telvo_report_fault_high_temp_check_fans(fs); }, {}},
        {"f14", [&](uint8_t fs) { return kor_telvo_report_fault_over_temp_check_fans(fs); }, {}},
    };
    for (const Case &c : cases) {
        for (uint8_t fs : {uint8_t{1}, uint8_t{0}, uint8_t{7}}) {
            sent.clear();
            ASSERT_EQ(c.send(fs), 0) << c.fc;
            json j = json::parse(only_text());
            EXPECT_EQ(j["t"], "fault") << c.fc;
            EXPECT_EQ(j["fc"], c.fc);
            EXPECT_EQ(j["fs"], fs != 0) << c.fc;
            EXPECT_EQ(j.size(), 3 + c.keys.size()) << c.fc;
            for (const std::string &k : c.keys) {
                EXPECT_TRUE(j.contains(k)) << c.fc << " " << k;
            }
        }
    }
}

TEST_F(OvenTelvo, MissingArraysAndTextsAreRefusedAndNothingIsSent) {
    const uint16_t a[] = {1, 2, 3, 4};
    Text menu[1] = {"pizza"};
    EXPECT_EQ(kor_telvo_heartbeat(1, 2, a, 4, a, 2, 3, a, 4, nullptr, 2), -1);
    EXPECT_EQ(kor_telvo_heartbeat(1, 2, a, 4, a, 2, 3, a, 0, menu, 1), -1);
    EXPECT_EQ(kor_telvo_heartbeat(1, 2, nullptr, 4, a, 2, 3, a, 4, menu, 1), -1);
    EXPECT_EQ(kor_telvo_heartbeat(1, 2, a, 4, a, -1, 3, a, 4, menu, 1), -1);
    EXPECT_EQ(kor_telvo_report_fault_belt_comm_lost(1, nullptr, 1), -1);
    EXPECT_EQ(kor_telvo_report_fault_sensor_open(1, 1, a, 0), -1);
    EXPECT_EQ(kor_telvo_report_fault_belt_stalled(1, 1, nullptr, 2), -1);
    EXPECT_EQ(kor_telvo_report_fault_probe_open(1, 1, 1, 1, a, -3), -1);
    EXPECT_EQ(kor_telvo_report_fault_reset_ignition(1, 1, 1, 1, nullptr, 1), -1);
    EXPECT_EQ(kor_telvo_report_settings_changed(nullptr, "g", 0, 0, 0, "1", 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(kor_telvo_report_settings_changed("s", nullptr, 0, 0, 0, "1", 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(dispatch_json_event(nullptr), -1);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(log_.count_containing("{"), 0);
}

TEST_F(OvenTelvo, SendFailureIsReturned) {
    send_result = -ECONNREFUSED;
    EXPECT_EQ(kor_telvo_report_fault_fan_fault(1), -ECONNREFUSED);
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(OvenTelvo, ArrayBlocks) {
    char block[KOR_TELVO_BLOCK_LEN];
    const uint16_t items[] = {1, 2, 3, 4};
    ASSERT_EQ(build_int_array_block(items, 4, block, sizeof block), 0);
    EXPECT_STREQ(block, "1,2,3,4");
    const uint16_t big[] = {65535, 0};
    ASSERT_EQ(build_int_array_block(big, 2, block, sizeof block), 0);
    EXPECT_STREQ(block, "65535,0");
    Text names[3] = {"a", "b c", ""};
    ASSERT_EQ(build_str_array_block(names, 3, block, sizeof block), 0);
    EXPECT_STREQ(block, "\"a\",\"b c\",\"\"");

    // 42 five-digit items need 251 bytes and fit with the NUL; 43 do not and are refused.
    std::vector<uint16_t> many(43, 65535);
    ASSERT_EQ(build_int_array_block(many.data(), 42, block, sizeof block), 0);
    EXPECT_EQ(std::strlen(block), 251u);
    EXPECT_EQ(build_int_array_block(many.data(), 43, block, sizeof block), -1);
    EXPECT_EQ(block[0], '\0');
    EXPECT_EQ(build_int_array_block(nullptr, 1, block, sizeof block), -1);
    EXPECT_EQ(build_int_array_block(items, 0, block, sizeof block), -1);
}

TEST_F(OvenTelvo, TextValuesAreEscaped) {
    const std::string serial =
        "a\"b\\c\nd\te\x01"
        "f";
    const std::string group = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8d\x95";  // valid UTF-8
    ASSERT_EQ(kor_telvo_report_settings_changed(serial.c_str(), group.c_str(), 1, 0, 0, "v\x7f", 0,
                                                0, 0, 0, 0),
              0);
    const std::string text = only_text();
    EXPECT_NE(text.find("\"a\\\"b\\\\c\\nd\\te\\u0001f\""), std::string::npos) << text;
    json j = json::parse(text);
    EXPECT_EQ(j["serial"], serial);
    EXPECT_EQ(j["group"], group);
    EXPECT_EQ(j["ui_version"], "v\x7f");

    // Bytes that are not UTF-8 become U+FFFD, so a parser still takes the text.
    sent.clear();
    Text menu[3] = {"\xff\xfe", "a\xc3", "\xed\xa0\x80 \xc0\xaf \xf4\x90\x80\x80"};
    const uint16_t a[] = {1};
    ASSERT_EQ(kor_telvo_heartbeat(1, 2, a, 1, a, 1, 3, a, 1, menu, 3), 0);
    j = json::parse(only_text());
    EXPECT_EQ(j["menu"][0], "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(j["menu"][1], "a\xef\xbf\xbd");
    EXPECT_EQ(j["menu"][2].get<std::string>().find("\xed\xa0\x80"), std::string::npos);

    // A menu item that fills its 256 bytes without a NUL is read to its end, no further.
    sent.clear();
    Text full[2];
    std::memset(full[0], 'x', sizeof full[0]);
    std::strcpy(full[1], "second");
    ASSERT_EQ(build_str_array_block(full, 1, nullptr, 0), -1);
    char block[1024];
    ASSERT_EQ(build_str_array_block(full, 1, block, sizeof block), 0);
    EXPECT_EQ(std::string(block), "\"" + std::string(256, 'x') + "\"");
}

TEST_F(OvenTelvo, ReportsThatWouldNotFitAreRefusedWhole) {
    // Five 60-character menu names overflow the 256-byte menu block.
    Text menu[5];
    for (auto &m : menu) {
        std::memset(m, 'm', 60);
        m[60] = '\0';
    }
    const uint16_t a[] = {1};
    EXPECT_EQ(kor_telvo_heartbeat(1, 2, a, 1, a, 1, 3, a, 1, menu, 4), 0);
    EXPECT_EQ(kor_telvo_heartbeat(1, 2, a, 1, a, 1, 3, a, 1, menu, 5), -1);
    EXPECT_EQ(sent.size(), 1u);

    // Quotes double in length when escaped: three such texts overflow the 1024-byte event.
    sent.clear();
    const std::string quotes(200, '"');
    EXPECT_EQ(kor_telvo_report_settings_changed(quotes.c_str(), quotes.c_str(), 0, 0, 0,
                                                quotes.c_str(), 0, 0, 0, 0, 0),
              -1);
    EXPECT_TRUE(sent.empty());

    // A builder given too small a buffer leaves it cleared.
    char small[40];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(
        create_settings_changed_event("s", "g", 0, 0, 0, "u", 0, 0, 0, 0, 0, small, sizeof small),
        -1);
    for (char ch : small) {
        ASSERT_EQ(ch, '\0');
    }
    const std::string photo = "{ \"t\" : \"photo_override\" }";
    char exact[64];
    const auto fit = static_cast<uint32_t>(photo.size() + 1);
    EXPECT_EQ(create_telvo_photocell_override_event(exact, fit), 0);
    EXPECT_EQ(exact, photo);
    EXPECT_EQ(create_telvo_photocell_override_event(exact, fit - 1), -1);
}

TEST_F(OvenTelvo, RandomTextsAlwaysGiveValidJsonOrARefusal) {
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<int> len(0, 300);
    auto random_text = [&] {
        std::string s(static_cast<size_t>(len(rng)), ' ');
        for (char &c : s) {
            c = static_cast<char>(byte(rng));
        }
        return s;
    };
    int accepted = 0;
    int refused = 0;
    for (int i = 0; i < 1500; ++i) {
        sent.clear();
        log_.clear();
        const std::string serial = random_text();
        const std::string group = random_text().substr(0, 40);
        int32_t rc = kor_telvo_report_settings_changed(serial.c_str(), group.c_str(), 1, i, -i, "9",
                                                       1, 2, 3, 4, 5);
        if (rc == -1) {
            ++refused;
            EXPECT_TRUE(sent.empty());
            continue;
        }
        ASSERT_EQ(rc, 0);
        ++accepted;
        json j;
        ASSERT_NO_THROW(j = json::parse(only_text())) << only_text();
        EXPECT_EQ(j["on_tm"], i);
        EXPECT_EQ(j["belt_r_time"], 5);
    }
    // Both outcomes were exercised.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 10);
}

}  // namespace
