// The fault manager: raising, checking and clearing numbered faults, the log lines of each
// change, and the list of raised faults it keeps in $ZEB_FAULT_FILE.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.hpp"
#include "zeb_faultman.h"

namespace {

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);) {
        out.push_back(line);
    }
    return out;
}

// Points $ZEB_FAULT_FILE at a scratch file (or nowhere) for one test.
class FaultFile {
  public:
    explicit FaultFile(const std::string &path) { ::setenv("ZEB_FAULT_FILE", path.c_str(), 1); }
    FaultFile() { ::unsetenv("ZEB_FAULT_FILE"); }
    ~FaultFile() { ::unsetenv("ZEB_FAULT_FILE"); }
};

}  // namespace

TEST(FaultManager, SetCheckClearAndLogLines) {
    FaultFile none;
    kor_test::LogCapture log;
    zeb_logger_t *logger = nullptr;
    ASSERT_EQ(0, zeb_logger_open(&logger));
    zeb_faultman_t *sut = nullptr;
    ASSERT_EQ(0, zeb_faultman_init(27, &sut));

    for (int n = 1; n <= 27; ++n) {
        EXPECT_EQ(0, zeb_faultman_check(sut, n)) << n;
    }
    EXPECT_EQ(0, zeb_faultman_set(sut, logger, "kor_oven_operation_service", 8,
                                  "Cooling fan is not running."));
    EXPECT_EQ(1, zeb_faultman_check(sut, 8));
    EXPECT_EQ(0, zeb_faultman_check(sut, 7));
    EXPECT_EQ(0, zeb_faultman_check(sut, 9));
    EXPECT_EQ(0, zeb_faultman_set(sut, logger, "kor_oven_operation_service", 27, "last one"));
    EXPECT_EQ(1, zeb_faultman_check(sut, 27));
    // Raising a raised fault again changes nothing and logs nothing.
    EXPECT_EQ(0, zeb_faultman_set(sut, logger, "kor_oven_operation_service", 8, "again"));
    EXPECT_EQ(0, zeb_faultman_clear(sut, 8));
    EXPECT_EQ(0, zeb_faultman_check(sut, 8));
    EXPECT_EQ(1, zeb_faultman_check(sut, 27));
    EXPECT_EQ(0, zeb_faultman_clear(sut, 8));  // clear again: nothing to do
    EXPECT_EQ(0, zeb_faultman_set(sut, nullptr, nullptr, 1, nullptr));
    EXPECT_EQ(1, zeb_faultman_check(sut, 1));

    auto lines = log.lines();
    ASSERT_EQ(4u, lines.size()) << log.dump();
    EXPECT_EQ(4, lines[0].level);
    EXPECT_EQ("kor_oven_operation_service", lines[0].module);
    EXPECT_EQ("Fault 8 raised: Cooling fan is not running.", lines[0].message);
    EXPECT_EQ("Fault 27 raised: last one", lines[1].message);
    EXPECT_EQ(6, lines[2].level);
    EXPECT_EQ("zeb_faultman", lines[2].module);
    EXPECT_EQ("Fault 8 cleared: Cooling fan is not running.", lines[2].message);
    EXPECT_EQ("zeb_faultman", lines[3].module);
    EXPECT_EQ("Fault 1 raised: ", lines[3].message);

    EXPECT_EQ(0, zeb_faultman_uninit(sut));
    zeb_logger_close(logger);
}

TEST(FaultManager, RefusesBadHandlesCountsAndNumbers) {
    FaultFile none;
    zeb_faultman_t *sut = nullptr;
    EXPECT_EQ(-EINVAL, zeb_faultman_init(0, &sut));
    EXPECT_EQ(-EINVAL, zeb_faultman_init(-3, &sut));
    EXPECT_EQ(-EINVAL, zeb_faultman_init(27, nullptr));
    EXPECT_EQ(nullptr, sut);
    ASSERT_EQ(0, zeb_faultman_init(27, &sut));
    for (int32_t bad : {0, -1, 28, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(-EINVAL, zeb_faultman_check(sut, bad)) << bad;
        EXPECT_EQ(-EINVAL, zeb_faultman_set(sut, nullptr, "m", bad, "d")) << bad;
        EXPECT_EQ(-EINVAL, zeb_faultman_clear(sut, bad)) << bad;
    }
    EXPECT_EQ(-EINVAL, zeb_faultman_check(nullptr, 1));
    EXPECT_EQ(-EINVAL, zeb_faultman_set(nullptr, nullptr, "m", 1, "d"));
    EXPECT_EQ(-EINVAL, zeb_faultman_clear(nullptr, 1));
    EXPECT_EQ(-EINVAL, zeb_faultman_uninit(nullptr));
    EXPECT_EQ(0, zeb_faultman_uninit(sut));
}

TEST(FaultManager, FaultFileListsRaisedFaultsInOrder) {
    kor_test::ScratchDir dir;
    const std::string path = dir.file("faults");
    {
        std::ofstream stale(path);
        stale << "3\t2020-01-01T00:00:00Z\tfrom an earlier run\n";
    }
    FaultFile file(path);
    zeb_faultman_t *sut = nullptr;
    ASSERT_EQ(0, zeb_faultman_init(27, &sut));
    EXPECT_EQ("", read_text(path)) << "faults of an earlier run do not linger";

    ASSERT_EQ(0, zeb_faultman_set(sut, nullptr, "m", 14, "Ambient Thermocouple Open"));
    ASSERT_EQ(0, zeb_faultman_set(sut, nullptr, "m", 5, "Thermocouple #1\nis\tbroken."));
    auto lines = split_lines(read_text(path));
    ASSERT_EQ(2u, lines.size()) << read_text(path);
    const std::regex line(
        "([0-9]+)\t([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z)\t(.*)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, line)) << lines[0];
    EXPECT_EQ("5", m[1].str());
    EXPECT_EQ("Thermocouple #1 is broken.", m[3].str()) << "one fault, one line";
    ASSERT_TRUE(std::regex_match(lines[1], m, line)) << lines[1];
    EXPECT_EQ("14", m[1].str());
    EXPECT_EQ("Ambient Thermocouple Open", m[3].str());

    ASSERT_EQ(0, zeb_faultman_clear(sut, 5));
    lines = split_lines(read_text(path));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("14\t", 0));
    ASSERT_EQ(0, zeb_faultman_clear(sut, 14));
    EXPECT_EQ("", read_text(path));
    EXPECT_EQ(0, zeb_faultman_uninit(sut));
}

TEST(FaultManager, UnwritableFaultFileIsReportedButTheFaultIsKept) {
    kor_test::ScratchDir dir;
    const std::string path = dir.file("faults");
    FaultFile file(path);
    zeb_faultman_t *sut = nullptr;
    ASSERT_EQ(0, zeb_faultman_init(27, &sut));
    kor_test::LogCapture log;
    {
        kor_test::FileSizeLimit no_growth(0);
        EXPECT_EQ(-EFBIG, zeb_faultman_set(sut, nullptr, "m", 2, "Blower #1 is not running."));
    }
    EXPECT_EQ(1, zeb_faultman_check(sut, 2));
    EXPECT_EQ(1, log.count("Writing the fault list to " + path + " FAILED! Error: -27"))
        << log.dump();
    EXPECT_EQ("", read_text(path)) << "the list of the last write stays";
    ASSERT_EQ(0, zeb_faultman_set(sut, nullptr, "m", 3, "Belt #1 RPM is not close."));
    EXPECT_EQ(2u, split_lines(read_text(path)).size()) << "the next change writes the whole list";
    EXPECT_EQ(0, zeb_faultman_uninit(sut));
}

TEST(FaultManager, ThreadsRaisingAndClearingTheirOwnFaults) {
    kor_test::ScratchDir dir;
    FaultFile file(dir.file("faults"));
    zeb_faultman_t *sut = nullptr;
    ASSERT_EQ(0, zeb_faultman_init(16, &sut));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (int n = t * 4 + 1; n <= t * 4 + 4; ++n) {
                    EXPECT_EQ(0, zeb_faultman_set(sut, nullptr, "m", n, "x"));
                    EXPECT_EQ(1, zeb_faultman_check(sut, n));
                    if (round < 2 || n % 2 == 0) {
                        EXPECT_EQ(0, zeb_faultman_clear(sut, n));
                    }
                }
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    for (int n = 1; n <= 16; ++n) {
        EXPECT_EQ(n % 2, zeb_faultman_check(sut, n)) << n;
    }
    EXPECT_EQ(8u, split_lines(read_text(dir.file("faults"))).size());
    EXPECT_EQ(0, zeb_faultman_uninit(sut));
}
