// The logger's level filter, sink and bad-handle behaviour.
#include <gtest/gtest.h>

#include "log_capture.hpp"
#include "zeb_logger.h"

TEST(Logger, SinkReceivesFormattedLinesAndFiltersAboveLevel) {
    kor_test::LogCapture log;
    zeb_logger_t *h = nullptr;
    ASSERT_EQ(0, zeb_logger_open(&h));
    EXPECT_EQ(0, zeb_logger_log(h, 3, "kor_oven_mgr", "Unable to open COM port %s. Err: %d",
                                "/dev/ttyUSB0", -1));
    EXPECT_EQ(0, zeb_logger_log(h, 7, "kor_oven_mgr", "debug line dropped at level 6"));
    std::string long_text(2000, 'x');
    EXPECT_EQ(0, zeb_logger_log(h, 6, "m", "%s", long_text.c_str()));
    auto lines = log.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(3, lines[0].level);
    EXPECT_EQ("kor_oven_mgr", lines[0].module);
    EXPECT_EQ("Unable to open COM port /dev/ttyUSB0. Err: -1", lines[0].message);
    EXPECT_EQ(long_text, lines[1].message);  // long lines are not cut
    EXPECT_EQ(0, zeb_logger_close(h));
}

TEST(Logger, RefusesNullArguments) {
    EXPECT_NE(0, zeb_logger_open(nullptr));
    EXPECT_NE(0, zeb_logger_log(nullptr, 3, "m", "x"));
    zeb_logger_t *h = nullptr;
    ASSERT_EQ(0, zeb_logger_open(&h));
    EXPECT_NE(0, zeb_logger_log(h, 3, "m", nullptr));
    EXPECT_EQ(0, zeb_logger_close(nullptr));
    zeb_logger_close(h);
}
