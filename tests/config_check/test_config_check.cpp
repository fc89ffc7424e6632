// kor_config_check run as a process on the sample stores and on broken copies of them: the exact
// problem lines, the exit status, that the directory is left as it was, and that the RPM it
// reports for an unreachable cook time is the one the operation service's conversion computes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "kor_oven_config.h"
#include "kor_oven_conversions.h"
#include "log_capture.hpp"

namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;
    std::vector<std::string> out;  // standard output, one entry a line
    std::string err;
};

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs the program with args; stdout and stderr are kept apart through a scratch file.
Result run(const std::vector<std::string> &args) {
    kor_test::ScratchDir tmp;
    std::string cmd = quote(kor_test::bin_dir() + "/kor_config_check");
    for (const std::string &a : args) {
        cmd += " " + quote(a);
    }
    cmd += " 2>" + quote(tmp.file("err"));
    Result r;
    FILE *p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return r;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        text.append(buf, n);
    }
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        r.out.push_back(line);
    }
    r.err = read_file(tmp.file("err"));
    return r;
}

// A scratch copy of a sample store directory, with its settings open to edits.
class StoreCopy {
  public:
    explicit StoreCopy(const std::string &sample = "data/config") {
        for (const auto &entry : fs::directory_iterator(kor_test::source_dir() + "/" + sample)) {
            if (entry.is_regular_file()) {
                fs::copy_file(entry.path(), dir_.path() + "/" + entry.path().filename().string());
            }
        }
    }
    const std::string &dir() const { return dir_.path(); }
    std::string settings() const { return dir_.file("settings"); }

    // Replaces the value of key (value given), or removes its line (value empty).
    void set(const std::string &key, const std::optional<std::string> &value,
             const std::string &file = "settings") {
        std::istringstream in(read_file(dir_.file(file)));
        std::string out;
        bool found = false;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(key + " =", 0) == 0) {
                found = true;
                if (value) {
                    out += key + " = " + *value + "\n";
                }
                continue;
            }
            out += line + "\n";
        }
        ASSERT_TRUE(found) << key;
        std::ofstream(dir_.file(file), std::ios::binary | std::ios::trunc) << out;
    }

  private:
    kor_test::ScratchDir dir_;
};

// The problem lines: the output without its last (summary) line and without notes.
std::vector<std::string> problems(const Result &r) {
    std::vector<std::string> lines;
    for (size_t i = 0; i + 1 < r.out.size(); ++i) {
        if (r.out[i].rfind("note: ", 0) != 0) {
            lines.push_back(r.out[i]);
        }
    }
    return lines;
}

std::string joined(const Result &r) {
    std::string s;
    for (const std::string &l : r.out) {
        s += l + "\n";
    }
    return s + r.err;
}

TEST(ConfigCheck, SampleStoresPassAndStayUntouched) {
    const std::map<std::string, std::string> samples = {
        {"data/config", "(model KOR-2B4, 2 belts, 4 blowers)"},
        {"data/config/one_belt", "(model KOR-1B2, 1 belt, 2 blowers)"}};
    for (const auto &[sample, summary] : samples) {
        StoreCopy copy(sample);
        const std::string before = read_file(copy.settings());
        const Result r = run({copy.dir()});
        EXPECT_EQ(r.status, 0) << joined(r);
        ASSERT_EQ(r.out.size(), 1u) << joined(r);
        EXPECT_EQ(r.out[0], copy.dir() + "/settings: loads and runs cleanly " + summary);
        EXPECT_EQ(read_file(copy.settings()), before);
    }
    // The samples themselves, in the source tree, as a technician would point at them.
    const Result r = run({kor_test::source_dir() + "/data/config/"});
    EXPECT_EQ(r.status, 0) << joined(r);
}

TEST(ConfigCheck, MissingAndMalformedValuesNameTheKeyAndTheLoaderStop) {
    {
        StoreCopy copy;
        copy.set("inverter_hz_start", std::nullopt);
        copy.set("belt_pid_d_2", std::nullopt);
        const Result r = run({copy.dir()});
        EXPECT_EQ(r.status, 1) << joined(r);
        EXPECT_EQ(problems(r),
                  (std::vector<std::string>{
                      "inverter_hz_start: missing", "belt_pid_d_2: missing",
                      "inverter_hz_start: the oven manager stops loading here: \"FAILED to load "
                      "setting 10. Err: -2\""}));
        EXPECT_EQ(r.out.back(), copy.dir() + "/settings: 3 problems found");
    }
    {
        StoreCopy copy;
        copy.set("heating_temp_max", "12abc");
        copy.set("belt_shaft_1", "5,5");
        copy.set("inverter_vdc_max", "99999999999");
        const Result r = run({copy.dir()});
        EXPECT_EQ(r.status, 1) << joined(r);
        EXPECT_EQ(problems(r),
                  (std::vector<std::string>{
                      "inverter_vdc_max: \"99999999999\" does not fit a 32-bit integer",
                      "heating_temp_max: \"12abc\" is not a whole number",
                      "belt_shaft_1: \"5,5\" is not a number",
                      "inverter_vdc_max: the oven manager stops loading here: \"FAILED to load "
                      "setting 7. Err: -34\""}));
    }
}

TEST(ConfigCheck, CountsBeyondTheArraysFail) {
    StoreCopy copy;
    copy.set("num_blowers", "5");
    copy.set("num_belts", "-1");
    const Result r = run({copy.dir()});
    EXPECT_EQ(r.status, 1) << joined(r);
    EXPECT_EQ(problems(r),
              (std::vector<std::string>{
                  "num_blowers: 5 is beyond the 4 blowers the configuration holds (0-4)",
                  "num_belts: -1 is beyond the 2 belts the configuration holds (0-2)",
                  "num_blowers: the oven manager stops loading here: \"FAILED to load setting "
                  "13. Err: -1\""}));
}

// These load: the oven manager would start, and run with bounds that contradict each other.
TEST(ConfigCheck, InconsistentBoundsAndSetPointsFailAlthoughTheStoreLoads) {
    {
        StoreCopy copy;
        copy.set("inverter_vdc_min", "120");
        copy.set("heating_temp_min", "650");
        copy.set("belt_min_rpm_2", "3500");
        copy.set("belt_max_cook_time_1", "50");
        const Result r = run({copy.dir()});
        EXPECT_EQ(r.status, 1) << joined(r);
        EXPECT_EQ(problems(r), (std::vector<std::string>{
                                   "inverter_vdc_min: 120 is above inverter_vdc_max 100",
                                   "heating_temp_min: 650 is above heating_temp_max 600",
                                   "belt_min_cook_time_1: 60 is above belt_max_cook_time_1 50",
                                   "belt_min_rpm_2: 3500 is above belt_max_rpm_2 3000"}));
    }
    {
        // With the inverter range itself inverted, the speeds are not measured against it.
        StoreCopy copy;
        copy.set("inverter_hz_min", "800");
        const Result r = run({copy.dir()});
        EXPECT_EQ(problems(r),
                  (std::vector<std::string>{"inverter_hz_min: 800 is above inverter_hz_max 700"}));
    }
    {
        StoreCopy copy;
        copy.set("blower_speed_set_3", "710");
        copy.set("blower_speed_idle_1", "449");
        copy.set("heating_set_temp", "650");
        const Result r = run({copy.dir()});
        EXPECT_EQ(r.status, 1) << joined(r);
        EXPECT_EQ(
            problems(r),
            (std::vector<std::string>{
                "blower_speed_idle_1: 449 is outside the inverter range 450-700",
                "blower_speed_set_3: 710 is outside the inverter range 450-700",
                "heating_set_temp: 650 is outside heating_temp_min-heating_temp_max 300-600"}));
    }
    {
        // Blowers past num_blowers are not the oven's: their keys may say anything.
        StoreCopy copy("data/config/one_belt");
        std::ofstream(copy.settings(), std::ios::app) << "blower_speed_set_3 = 9999\n";
        EXPECT_EQ(run({copy.dir()}).status, 0);
    }
}

TEST(ConfigCheck, CookTimesOutsideTheBeltBoundsOrTheMotorRangeFail) {
    {
        StoreCopy copy;
        copy.set("belt_cook_time_2", "30");
        const Result r = run({copy.dir()});
        EXPECT_EQ(r.status, 1) << joined(r);
        EXPECT_EQ(problems(r),
                  (std::vector<std::string>{
                      "belt_cook_time_2: 30 s is outside belt 2's cook times 60-1200",
                      "belt_cook_time_2: 30 s needs 3982 RPM, belt 2 reaches 100-3000"}));
    }
    {
        // Within its cook-time bounds, but the motor tops out at 300 RPM.
        StoreCopy copy;
        copy.set("belt_max_rpm_1", "300");
        const Result r = run({copy.dir()});
        EXPECT_EQ(r.status, 1) << joined(r);
        EXPECT_EQ(problems(r),
                  (std::vector<std::string>{
                      "belt_cook_time_1: 330 s needs 362 RPM, belt 1 reaches 100-300",
                      "belt_min_cook_time_1: 60 s needs 1991 RPM, belt 1 reaches 100-300"}));
    }
    {
        // A zero in the speed terms leaves no RPM to compute: named, not divided by.
        StoreCopy copy;
        copy.set("belt_motor_teeth_2", "0");
        copy.set("belt_cook_time_1", "0");
        const Result r = run({copy.dir()});
        EXPECT_EQ(r.status, 1) << joined(r);
        EXPECT_EQ(problems(r), (std::vector<std::string>{"belt_cook_time_1: 0 must be above 0",
                                                         "belt_motor_teeth_2: 0 must be above 0"}));
    }
}

// The RPM the check reports must be the one the oven manager's conversion computes before it
// clamps, also with a tweak and a modifier, or the technician chases a number the oven never uses.
TEST(ConfigCheck, ReportedRpmMatchesTheServiceConversion) {
    struct Case {
        std::string tweak, modifier, cook, min_rpm, max_rpm;
    };
    const std::vector<Case> cases = {{"7", "93", "97", "100", "1000"},
                                     {"-13", "117", "1111", "150", "3000"},
                                     {"0", "100", "333", "100", "358"}};
    for (const Case &c : cases) {
        StoreCopy copy;
        copy.set("tweak_speed_percent_1", c.tweak);
        copy.set("belt_rpm_modifier_percent_1", c.modifier);
        copy.set("belt_cook_time_1", c.cook);
        copy.set("belt_min_rpm_1", c.min_rpm);
        copy.set("belt_max_rpm_1", c.max_rpm);
        const Result r = run({copy.dir()});
        std::string line;
        for (const std::string &l : problems(r)) {
            if (l.rfind("belt_cook_time_1: ", 0) == 0) {
                line = l;
            }
        }
        ASSERT_FALSE(line.empty()) << joined(r);
        long long reported = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "belt_cook_time_1: %*d s needs %lld RPM", &reported), 1)
            << line;

        kor_test::LogCapture log;
        zeb_logger_t *logger = nullptr;
        ASSERT_EQ(zeb_logger_open(&logger), 0);
        ASSERT_EQ(kor_load_oven_config(copy.dir().c_str(), logger), 0);
        oven_config_t cfg;
        ASSERT_EQ(kor_get_oven_config(&cfg), 0);
        int32_t rpm = 0;
        ASSERT_EQ(kor_srv_convert_cook_time_to_rpm(cfg.belt[0].cook_time, 1, &cfg, &rpm), 0);
        zeb_logger_close(logger);
        EXPECT_EQ(log.count_containing("invalid_rpm: " + std::to_string(reported) + ","), 1)
            << line << "\n"
            << log.dump();
    }
}

TEST(ConfigCheck, ModelFileFallbackIsANoteAndTheStoreIsNotWritten) {
    StoreCopy copy;
    copy.set("blower_speed_sense_error", std::nullopt);
    const std::string before = read_file(copy.settings());
    const Result r = run({copy.dir()});
    EXPECT_EQ(r.status, 0) << joined(r);
    ASSERT_EQ(r.out.size(), 2u) << joined(r);
    EXPECT_EQ(r.out[0],
              "note: blower_speed_sense_error: not in settings; the oven manager takes \"0000\" "
              "from the model file KOR-2B4 and writes it into settings");
    EXPECT_EQ(read_file(copy.settings()), before);

    // Missing from the model file as well: the oven manager would not start.
    copy.set("blower_speed_sense_error", std::nullopt, "KOR-2B4");
    const Result broken = run({copy.dir()});
    EXPECT_EQ(broken.status, 1) << joined(broken);
    EXPECT_EQ(problems(broken),
              (std::vector<std::string>{
                  "blower_speed_sense_error: missing, also from the model file " + copy.dir() +
                      "/KOR-2B4",
                  "blower_speed_sense_error: the oven manager stops loading here: \"FAILED to "
                  "load setting 54. Err: -2\""}));
}

TEST(ConfigCheck, UsageAndUnreadableDirectories) {
    const Result help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    ASSERT_FALSE(help.out.empty());
    EXPECT_EQ(help.out[0], "Usage: kor_config_check DIR");

    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"a", "b"}, {"--verbose"}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << joined(r);
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(r.err.rfind("Usage: kor_config_check DIR\n", 0), 0u) << r.err;
    }

    kor_test::ScratchDir empty;
    const Result none = run({empty.path() + "/nowhere"});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, "kor_config_check: cannot read the directory " + empty.path() +
                            "/nowhere: No such file or directory\n");
    std::ofstream(empty.file("plain")) << "x\n";
    EXPECT_EQ(run({empty.file("plain")}).status, 2);

    // A readable directory without a store is a finding, not a usage error.
    const Result nostore = run({empty.path()});
    EXPECT_EQ(nostore.status, 1);
    EXPECT_EQ(problems(nostore),
              (std::vector<std::string>{"settings: cannot open " + empty.path() +
                                        "/settings: No such file or directory"}));
}

}  // namespace
