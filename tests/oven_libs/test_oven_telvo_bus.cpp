// Cloud reports over the real service bus: a report reaches whoever listens on "zeb_telvo" as
// one "zeb.telvo.send" event whose data is the JSON text with its NUL, and a report with no
// listener returns the bus's failure instead of claiming success.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "kor_oven_telvo.h"
#include "log_capture.hpp"
#include "zeb_common.h"

namespace {

using kor_test::ScratchDir;

class OvenTelvoBus : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("ZEB_BUS_DIR", bus_.path().c_str(), 1);
        ASSERT_EQ(kor_telvo_init(), 0);
    }
    void TearDown() override { zeb_service_uninitialize(); }
    ScratchDir bus_;
};

TEST_F(OvenTelvoBus, ReportArrivesOnTheTelvoChannel) {
    ASSERT_EQ(zeb_service_initialize("zeb_telvo"), 0);
    const uint16_t fans[] = {55, 66, 77, 88};
    ASSERT_EQ(kor_telvo_report_fault_sensor_closed(0, 4, fans, 4), 0);
    ASSERT_EQ(kor_telvo_report_settings_changed("KB24-000117", "Demo \"Kitchen\"", 1, 365, 223,
                                                "1248", 2359, 3, 4, 300, 0),
              0);

    zeb_event_t *ev = nullptr;
    ASSERT_EQ(zeb_service_wait_event_timeout(&ev, 2000), 0);
    ASSERT_NE(ev, nullptr);
    const std::string expected =
        "{ \"t\" : \"fault\", \"fc\" : \"f10\", \"fs\" : false, \"state\" : 4, "
        "\"fanset\" : [55,66,77,88] }";
    EXPECT_STREQ(ev->name, "zeb.telvo.send");
    EXPECT_STREQ(ev->format, "1s0 json");
    ASSERT_EQ(ev->length, static_cast<int32_t>(expected.size() + 1));
    EXPECT_EQ(std::string(static_cast<const char *>(ev->data)), expected);
    zeb_service_free_event(ev);

    ev = nullptr;
    ASSERT_EQ(zeb_service_wait_event_timeout(&ev, 2000), 0);
    ASSERT_NE(ev, nullptr);
    auto j = nlohmann::json::parse(static_cast<const char *>(ev->data));
    EXPECT_EQ(j["group"], "Demo \"Kitchen\"");
    EXPECT_EQ(j["io_version"], 2359);
    zeb_service_free_event(ev);
}

TEST_F(OvenTelvoBus, NoListenerIsAFailure) {
    EXPECT_LT(kor_telvo_report_photocell_override(), 0);
}

}  // namespace
