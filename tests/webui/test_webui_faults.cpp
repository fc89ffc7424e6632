// The fault manager's list as the console reads it: whatever the file holds, only well-formed
// lines become faults, and a file that is not a regular file is refused rather than waited on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "webui_faults.hpp"

using kor_webui::ActiveFault;

TEST(WebuiFaults, OnlyWellFormedLinesAreFaults) {
    const struct {
        std::string text;
        std::vector<int> codes;
    } cases[] = {
        {"", {}},
        {"5\t2026-01-02T03:04:05Z\tThermocouple #1 is broken.\n", {5}},
        {"5\tT\tA\n21\tT\tB", {5, 21}},  // the last line without its newline
        {"0\tT\tzero\n65536\tT\ttoo big\n-3\tT\tnegative\n7x\tT\tnot a number\n", {}},
        {"11\tno text\n\t\t\n\n12\tT\t\n", {12}},
        {std::string("9\tT\t\xff\xfe\x01 bytes\n"), {9}},
    };
    for (const auto &c : cases) {
        std::vector<int> codes;
        for (const ActiveFault &f : kor_webui::parse_fault_list(c.text)) {
            codes.push_back(static_cast<int>(f.code));
        }
        EXPECT_EQ(c.codes, codes) << c.text;
    }
    const auto one = kor_webui::parse_fault_list("5\t2026-01-02T03:04:05Z\tTC1 broken.\tx\n");
    ASSERT_EQ(1u, one.size());
    EXPECT_EQ("TC1 broken.\tx", one[0].text);
    EXPECT_EQ("2026-01-02T03:04:05Z", one[0].since);

    std::string many;
    for (int i = 0; i < 1000; ++i) {
        many += "1\tT\tagain\n";
    }
    EXPECT_EQ(kor_webui::kMaxFaults, kor_webui::parse_fault_list(many).size());
}

TEST(WebuiFaults, OnlyARegularFileIsRead) {
    char folder[] = "/tmp/webui_faults_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string dir = folder;
    std::vector<ActiveFault> faults{{1, "stale", ""}};
    EXPECT_EQ(0, kor_webui::read_fault_list(dir + "/missing", faults));
    EXPECT_TRUE(faults.empty());  // no list yet: no faults

    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(-1, kor_webui::read_fault_list(fifo, faults));
    EXPECT_EQ(-1, kor_webui::read_fault_list(dir, faults));

    const std::string file = dir + "/faults";
    FILE *f = std::fopen(file.c_str(), "w");
    ASSERT_NE(nullptr, f);
    std::fputs("13\tT\tControl box above 165F\n", f);
    std::fclose(f);
    EXPECT_EQ(0, kor_webui::read_fault_list(file, faults));
    ASSERT_EQ(1u, faults.size());
    EXPECT_EQ(13, faults[0].code);
    std::remove(file.c_str());
    std::remove(fifo.c_str());
    rmdir(folder);
}
