// The service units as the install puts them, with the programs they start: systemd's own check
// of a unit has nothing to say about any of them, and its offline security review rates every one
// at most 2.5 ("OK"), so that each service runs as its own user in a sandbox.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "log_capture.hpp"
#include "shell.hpp"

namespace {

using kor_test::shell;
using kor_test::shell_quote;

TEST(ServiceUnits, PassSystemdsCheckAndRateAtMostOk) {
    if (shell("command -v systemd-analyze").status != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed (scripts/deps.sh installs it)";
    }
    kor_test::ScratchDir scratch;
    const std::string prefix = scratch.path() + "/prefix";
    const auto install = shell(shell_quote(KOR_CMAKE_COMMAND) + " --install " +
                               shell_quote(KOR_BUILD_DIR) + " --prefix " + shell_quote(prefix));
    ASSERT_EQ(0, install.status) << install.out;
    const std::string units = prefix + "/lib/systemd/system";
    // The template is checked as the instance on a serial line; the manual pages the units name
    // are looked up in the prefix (sanitizer builds make none).
    std::filesystem::create_symlink("kor-oven-mgr@.service", units + "/kor-oven-mgr@ttyS0.service");
    const std::string man =
        KOR_MAN_PAGES ? "MANPATH=" + shell_quote(prefix + "/share/man") + " systemd-analyze verify "
                      : std::string("systemd-analyze verify --man=no ");

    for (const char *unit : {"kor-oven-mgr@ttyS0.service", "kor-ioboard-sim.service",
                             "kor-fleet-agent.service", "kor-webui.service"}) {
        SCOPED_TRACE(unit);
        const auto verify = shell("cd " + shell_quote(units) + " && " + man + "./" + unit);
        EXPECT_EQ(0, verify.status) << verify.out;
        EXPECT_EQ("", verify.out);

        const auto review =
            shell("cd " + shell_quote(units) +
                  " && systemd-analyze security --offline=yes --threshold=25 ./" + unit);
        EXPECT_EQ(0, review.status) << review.out;
        std::smatch level;
        ASSERT_TRUE(std::regex_search(review.out, level,
                                      std::regex("Overall exposure level for [^:]+: ([0-9.]+)")))
            << review.out;
        EXPECT_LE(std::stod(level[1]), 2.5) << review.out;
        // A low rating alone does not say who runs it: the service user, never root.
        EXPECT_NE(review.out.find("Service runs under a static non-root user identity"),
                  std::string::npos)
            << review.out;
        std::cout << unit << ": " << level[1] << "\n";
    }
}

}  // namespace
