// The bridges' log file when something other than the bridge's own old log waits at its path: a
// symlink or a hard link to a file the bridge must not touch, a file of another user, a FIFO, a
// folder. Each bridge runs as a process on a serial device that does not exist, so it opens its
// log, writes its first lines and ends; the planted target must come through untouched and the
// bridge must start either way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>

#include "bridge_process.hpp"
#include "log_capture.hpp"

namespace {

using namespace std::chrono_literals;
using kor_test::ScratchDir;

constexpr uid_t kNobody = 65534;

struct Planted {
    const char *what;
    const char *program;
    // Puts something at log, given a protected file target; false when it cannot.
    std::function<bool(const std::string &log, const std::string &target)> plant;
    bool log_written;  // whether the bridge can have its log at the path afterwards
};

TEST(BridgeLogSecurity, PlantedPathsAreNeitherFollowedNorTruncated) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the probe plants files of another user";
    }
    const Planted cases[] = {
        {"symlink to a root-only file", "calder_backend",
         [](const std::string &log, const std::string &target) {
             return symlink(target.c_str(), log.c_str()) == 0;
         },
         true},
        {"dangling symlink", "pmx_backend_slave",
         [](const std::string &log, const std::string &target) {
             return symlink((target + ".new").c_str(), log.c_str()) == 0;
         },
         true},
        {"hard link to a root-only file", "pmx_backend_slave",
         [](const std::string &log, const std::string &target) {
             return link(target.c_str(), log.c_str()) == 0;
         },
         true},
        {"file of another user", "pmx_backend2",
         [](const std::string &log, const std::string &) {
             std::ofstream(log) << "theirs\n";
             return chown(log.c_str(), kNobody, kNobody) == 0;
         },
         true},
        {"FIFO", "calder_backend",
         [](const std::string &log, const std::string &) { return mkfifo(log.c_str(), 0666) == 0; },
         true},
        {"folder", "calder_backend",
         [](const std::string &log, const std::string &) {
             return mkdir(log.c_str(), 0755) == 0 &&
                    symlink("/nowhere", (log + "/entry").c_str()) == 0;
         },
         false},
    };
    for (const Planted &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        const std::string target = dir.file("root_only");
        const std::string log = dir.file("pmx_backend.log");
        std::ofstream(target) << "secret\n";
        ASSERT_EQ(0, chmod(target.c_str(), 0600));
        ASSERT_TRUE(c.plant(log, target));

        kor_test::BridgeProcess bridge;
        ASSERT_TRUE(
            bridge.start(c.program,
                         {"PMX_LOG_FILE=" + log, "PMX_SERIAL_DEVICE=" + dir.file("no_such_tty"),
                          "QVIO_FTOK_PATH=" + dir.path()},
                         dir.file("output")));
        // No serial line: the bridge ends after its first lines, whatever became of its log.
        const auto status = bridge.wait_exit(10s);
        ASSERT_TRUE(status.has_value()) << "the bridge hangs on its log";
        EXPECT_NE(127, *status) << kor_test::read_file(dir.file("output"));

        EXPECT_EQ("secret\n", kor_test::read_file(target));
        struct stat st {};
        ASSERT_EQ(0, stat(target.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777);
        if (c.log_written) {
            ASSERT_EQ(0, lstat(log.c_str(), &st));
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(geteuid(), st.st_uid);
            EXPECT_EQ(1u, st.st_nlink);
            EXPECT_TRUE(kor_test::has_line(log, "logging_start"));
        } else {
            EXPECT_NE(std::string::npos, kor_test::read_file(dir.file("output")).find(log))
                << "the bridge says which log it could not open";
        }
    }
}

}  // namespace
