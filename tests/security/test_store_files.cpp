// The stores probed as a clumsy technician or a hostile local user would: a symlink planted where
// a rewrite puts its temporary file, FIFOs, oversized and empty files in the places of settings
// and sys_stat, repeated corrupt statistics, a statistics folder on a read-only or full disk,
// and a configuration check without its scratch folder. The libraries are driven directly; the
// oven manager and kor_config_check run as the real programs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "log_capture.hpp"
#include "oven_process.hpp"
#include "zeb_config.h"
#include "zeb_faultman.h"
#include "zeb_stat.h"

namespace fs = std::filesystem;
using kor_test::Millis;
using kor_test::OvenRig;
using kor_test::ScratchDir;
using kor_test::wait_until;

namespace {

constexpr const char *kStatsFaultText = "\tStatistics cannot be saved.";

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::set<std::string> entries(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// The three writers of a store file, each changing its file once.
struct Writer {
    const char *file;
    std::string initial;
    std::string written;  // a part of the file after the write
    std::function<int(const std::string &path)> write;
    // The fault manager rewrites its list at start, and an empty list needs no room.
    bool keeps_on_failure = true;
};

int write_setting(const std::string &path) {
    zeb_config_t *h = nullptr;
    int rc = zeb_config_open(path.c_str(), &h);
    if (rc == -ENOENT) {
        write_text(path, "");  // a new store: the library refuses to open a missing one
        rc = zeb_config_open(path.c_str(), &h);
    }
    if (rc != 0) {
        return rc;
    }
    rc = zeb_config_set_string(h, "k", "new");
    zeb_config_close(h);
    return rc;
}

int write_statistic(const std::string &path) {
    zeb_stat_t *h = nullptr;
    int rc = zeb_stat_open(path.c_str(), &h);
    if (rc != 0) {
        return rc;
    }
    rc = zeb_stat_average_period(h, "set_temp", 400, 600);
    zeb_stat_close(h);
    return rc;
}

int write_fault(const std::string &path) {
    ::setenv("ZEB_FAULT_FILE", path.c_str(), 1);
    zeb_faultman_t *h = nullptr;
    int rc = zeb_faultman_init(28, &h);
    if (rc == 0) {
        rc = zeb_faultman_set(h, nullptr, "probe", 2, "Blower #1 is not running.");
        zeb_faultman_uninit(h);
    }
    ::unsetenv("ZEB_FAULT_FILE");
    return rc;
}

const std::vector<Writer> &writers() {
    static const std::vector<Writer> all = {
        {"settings", "k = old\n", "k = new\n", write_setting},
        {"sys_stat", "oven_powered_timer = 5\n", "set_temp = 400\n", write_statistic},
        {"faults", "", "\tBlower #1 is not running.\n", write_fault, false},
    };
    return all;
}

// A small tmpfs over a folder, so a test can fill it or make it read-only; unmounted (lazily:
// a program may still hold it) when it goes.
class Tmpfs {
  public:
    explicit Tmpfs(std::string dir) : dir_(std::move(dir)) {
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, kOptions) == 0;
    }
    ~Tmpfs() {
        if (mounted_) {
            ::umount2(dir_.c_str(), MNT_DETACH);
        }
    }
    Tmpfs(const Tmpfs &) = delete;
    Tmpfs &operator=(const Tmpfs &) = delete;
    bool mounted() const { return mounted_; }
    bool read_only(bool ro) {
        return ::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | (ro ? MS_RDONLY : 0),
                       kOptions) == 0;
    }

  private:
    static constexpr const char *kOptions = "size=256k,mode=0755";
    std::string dir_;
    bool mounted_ = false;
};

// Writes zeros to path until the disk is full; true when it filled.
bool fill(const std::string &path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const std::vector<char> block(4096, 0);
    bool full = false;
    for (int i = 0; i < 100000 && !full; ++i) {
        full = ::write(fd, block.data(), block.size()) < 0 && errno == ENOSPC;
    }
    ::close(fd);
    return full;
}

struct CheckRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

// kor_config_check DIR with an environment, killed when it has not ended in 20 s (status 137).
CheckRun config_check(const std::string &dir, const std::string &env) {
    ScratchDir tmp;
    const std::string cmd = "timeout -s KILL 20 env " + env + " " +
                            quote(kor_test::bin_dir() + "/kor_config_check") + " " + quote(dir) +
                            " >" + quote(tmp.file("out")) + " 2>" + quote(tmp.file("err"));
    const int status = std::system(cmd.c_str());
    CheckRun r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = kor_test::read_file(tmp.file("out"));
    r.err = kor_test::read_file(tmp.file("err"));
    return r;
}

// A copy of the sample configuration, its settings without the lines of the given key.
void copy_sample(const std::string &dir, const std::string &drop_key = "") {
    fs::copy(kor_test::source_dir() + "/data/config", dir, fs::copy_options::recursive);
    if (drop_key.empty()) {
        return;
    }
    std::istringstream in(kor_test::read_file(dir + "/settings"));
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(drop_key + " =", 0) != 0) {
            out += line + "\n";
        }
    }
    write_text(dir + "/settings", out);
}

}  // namespace

// A symlink (or anything) at "<store>.tmp" is not where a rewrite goes: the victim stays whole,
// the store stays a regular file with its mode, and nothing is left behind, also when the write
// fails. A new store gets 0644 less the umask.
TEST(StoreWrites, PlantedTemporaryNameIsNeitherFollowedNorReplaced) {
    for (const Writer &w : writers()) {
        SCOPED_TRACE(w.file);
        kor_test::LogCapture log;
        ScratchDir dir;
        ScratchDir elsewhere;
        const std::string path = dir.file(w.file);
        const std::string victim = elsewhere.file("victim");
        write_text(victim, "precious\n");
        write_text(path, w.initial);
        ASSERT_EQ(0, ::chmod(path.c_str(), 0600));
        ASSERT_EQ(0, ::symlink(victim.c_str(), (path + ".tmp").c_str()));
        const std::set<std::string> before = entries(dir.path());

        EXPECT_EQ(0, w.write(path));
        EXPECT_EQ("precious\n", kor_test::read_file(victim));
        EXPECT_TRUE(S_ISREG(mode_of(path)));
        EXPECT_EQ(0600u, mode_of(path) & 07777) << "the store keeps its mode";
        EXPECT_NE(std::string::npos, kor_test::read_file(path).find(w.written))
            << kor_test::read_file(path);
        EXPECT_TRUE(S_ISLNK(mode_of(path + ".tmp")));
        EXPECT_EQ(before, entries(dir.path()));

        const std::string written = kor_test::read_file(path);
        {
            kor_test::FileSizeLimit no_growth(0);
            w.write(path);
        }
        if (w.keeps_on_failure) {
            EXPECT_EQ(written, kor_test::read_file(path)) << "a failed write keeps the old store";
        }
        EXPECT_EQ(before, entries(dir.path())) << "a failed write leaves no temporary file";

        ASSERT_EQ(0, ::unlink(path.c_str()));
        const mode_t old_mask = ::umask(077);
        EXPECT_EQ(0, w.write(path));
        ::umask(old_mask);
        EXPECT_EQ(0600u, mode_of(path) & 07777) << "a new store honours the umask";
    }
}

// Every unreadable statistics file is kept under its own time-stamped name; only the newest few
// stay, so a fault that repeats cannot fill the disk with them.
TEST(StatisticsStore, EachCorruptFileIsKeptUnderItsOwnName) {
    ScratchDir dir;
    const std::string path = dir.file("sys_stat");
    for (int i = 1; i <= 5; ++i) {
        write_text(path, "broken " + std::to_string(i) + "\n");
        zeb_stat_t *h = nullptr;
        ASSERT_EQ(0, zeb_stat_open(path.c_str(), &h));
        ASSERT_EQ(0, zeb_stat_close(h));
    }
    std::vector<std::string> kept;
    for (const std::string &name : entries(dir.path())) {
        if (name.rfind("sys_stat.corrupt.", 0) == 0) {
            kept.push_back(kor_test::read_file(dir.file(name)));
        }
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ((std::vector<std::string>{"broken 3\n", "broken 4\n", "broken 5\n"}), kept);
    EXPECT_EQ("", kor_test::read_file(path));
}

// The oven manager on store files that are not what they should be: a bad settings file stops
// start-up at once with a line that names the file and what is wrong with it; a bad sys_stat is
// set aside and the oven starts; a symlinked settings file is an installation's choice and loads.
TEST(ManagerStores, FileLevelProblemsAreNamedAndNeverBlock) {
    struct Case {
        const char *name;
        std::function<void(const std::string &config)> plant;
        bool starts;
        std::string line;  // a part of a log line, after the configuration folder
    };
    const auto fifo = [](const std::string &path) {
        ::unlink(path.c_str());
        ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
    };
    const auto resize = [](const std::string &path, off_t size) {
        ASSERT_EQ(0, ::truncate(path.c_str(), size));
    };
    const std::vector<Case> cases = {
        {"settings is a FIFO", [&](const std::string &c) { fifo(c + "/settings"); }, false,
         "/settings: not a regular file"},
        {"settings is missing", [](const std::string &c) { fs::remove(c + "/settings"); }, false,
         "/settings: No such file or directory"},
        {"settings is empty", [&](const std::string &c) { resize(c + "/settings", 0); }, false,
         "/settings is empty"},
        {"settings is too big", [&](const std::string &c) { resize(c + "/settings", 17 << 20); },
         false, "/settings: larger than 16 MiB"},
        {"settings is a symlink",
         [](const std::string &c) {
             fs::rename(c + "/settings", c + "/../settings.real");
             fs::create_symlink(c + "/../settings.real", c + "/settings");
         },
         true, ""},
        {"sys_stat is a FIFO", [&](const std::string &c) { fifo(c + "/sys_stat"); }, true,
         "/sys_stat is not a regular file, moved to "},
        {"sys_stat is 101 MB",
         [&](const std::string &c) {
             write_text(c + "/sys_stat", "");
             resize(c + "/sys_stat", 101 << 20);
         },
         true, "/sys_stat is larger than 16 MiB, moved to "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OvenRig rig;
        OvenRig::Options options;
        options.start_manager = false;
        options.wait_started = false;
        ASSERT_TRUE(rig.start(options)) << rig.error();
        c.plant(rig.config_dir());
        ASSERT_TRUE(rig.start_manager({rig.sim.link_path()})) << rig.error();
        const std::string started = "Oven manager successfully started on " + rig.sim.link_path();
        if (c.starts) {
            EXPECT_TRUE(wait_until([&] { return rig.mgr.log_count(started) > 0; }, Millis(20000)))
                << rig.diagnostics();
        } else {
            EXPECT_NE(-1, rig.mgr.wait_exit(Millis(20000))) << "start-up must end, not hang";
            EXPECT_EQ(0, rig.mgr.log_count(started));
            EXPECT_EQ(1, rig.mgr.log_count_containing("FAILED to load setting 0. Err: "));
        }
        if (!c.line.empty()) {
            EXPECT_EQ(1, rig.mgr.log_count_containing(rig.config_dir() + c.line))
                << rig.diagnostics();
        }
    }
}

// kor_config_check on the same kinds of files, and without room for its scratch copy: FIFOs are
// problems of the store (status 1) named with the file, never a hang; a missing or full TMPDIR is
// the check's own trouble (status 2), not the store's.
TEST(ConfigCheck, UnreadableFilesAndAMissingScratchFolder) {
    struct Case {
        const char *name;
        const char *fifo;      // the file replaced by a FIFO, if any
        const char *drop_key;  // a settings line removed, if any
        const char *tmpdir;    // "gone", "full" or empty
        int status;
        std::string out;  // a part of standard output, after the folder
        std::string err;  // a part of standard error, after the missing TMPDIR
    };
    const std::vector<Case> cases = {
        {"settings is a FIFO", "settings", "", "", 1, "/settings: not a regular file", ""},
        {"the model file is a FIFO", "KOR-2B4", "blower_speed_sense_error", "", 1,
         "/KOR-2B4 cannot be opened: not a regular file", ""},
        {"TMPDIR is missing", nullptr, "", "gone", 2, "",
         "kor_config_check: no scratch folder in {TMPDIR}: No such file or directory\n"},
        // Last: it needs root to mount a tmpfs, and skips without.
        {"TMPDIR is full", nullptr, "", "full", 2, "",
         "kor_config_check: cannot write {TMPDIR}/kor_config_check."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir scratch;
        const std::string dir = scratch.file("config");
        copy_sample(dir, c.drop_key);
        if (c.fifo != nullptr) {
            const std::string path = dir + "/" + c.fifo;
            fs::remove(path);
            ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
        }
        const std::string tmpdir = *c.tmpdir != '\0' ? scratch.file(c.tmpdir) : scratch.path();
        std::optional<Tmpfs> disk;
        if (std::string(c.tmpdir) == "full") {
            fs::create_directories(tmpdir);
            disk.emplace(tmpdir);
            if (!disk->mounted()) {
                GTEST_SKIP() << "cannot mount a tmpfs on " << tmpdir << ": "
                             << std::strerror(errno);
            }
            ASSERT_TRUE(fill(tmpdir + "/filler"));
        }
        const CheckRun r = config_check(dir, "TMPDIR=" + quote(tmpdir));
        EXPECT_EQ(c.status, r.status) << r.out << r.err;
        if (!c.out.empty()) {
            EXPECT_NE(std::string::npos, r.out.find(dir + c.out)) << r.out;
        }
        if (!c.err.empty()) {
            std::string err = c.err;
            err.replace(err.find("{TMPDIR}"), 8, tmpdir);
            EXPECT_EQ(0u, r.err.find(err)) << r.err;
            EXPECT_EQ("", r.out) << "the store is not blamed";
        }
    }
}

// A statistics folder on a read-only or a full disk: the oven starts and answers the UI, the
// statistics go on in memory, the cause is logged once and fault 28 shows it; once the disk takes
// writes again the store is written, that is logged once and the fault clears.
TEST(ManagerStores, StatisticsThatCannotBeWrittenDoNotStopTheOven) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs for the statistics folder needs root";
    }
    for (const bool read_only : {true, false}) {
        SCOPED_TRACE(read_only ? "read-only disk" : "full disk");
        OvenRig rig;
        const std::string config = rig.file("config");
        fs::create_directories(config);
        Tmpfs disk(config);
        if (!disk.mounted()) {
            GTEST_SKIP() << "cannot mount a tmpfs on " << config << ": " << std::strerror(errno);
        }
        OvenRig::Options options;
        options.start_manager = false;
        ASSERT_TRUE(rig.start(options)) << rig.error();
        const std::string filler = config + "/filler";
        if (read_only) {
            ASSERT_TRUE(disk.read_only(true));
        } else {
            ASSERT_TRUE(fill(filler));
        }
        ASSERT_TRUE(rig.start_manager({rig.sim.link_path()})) << rig.error();
        EXPECT_EQ(0, rig.register_ui()) << rig.diagnostics();
        const std::string faults = rig.file("faults");
        const auto fault_shown = [&] {
            return kor_test::read_file(faults).find(kStatsFaultText) != std::string::npos;
        };
        EXPECT_TRUE(wait_until(fault_shown, Millis(10000))) << kor_test::read_file(faults);
        const std::string stats = config + "/sys_stat";
        const std::string cause = "Cannot write statistics file " + stats;

        if (read_only) {
            ASSERT_TRUE(disk.read_only(false));
        } else {
            ASSERT_EQ(0, ::unlink(filler.c_str()));
        }
        EXPECT_TRUE(wait_until(
            [&] {
                return kor_test::read_file(stats).find("oven_powered_timer = ") !=
                       std::string::npos;
            },
            Millis(30000)))
            << rig.diagnostics();
        EXPECT_TRUE(wait_until([&] { return !fault_shown(); }, Millis(30000)))
            << kor_test::read_file(faults);
        EXPECT_EQ(1, rig.mgr.log_count_containing(cause)) << rig.diagnostics();
        EXPECT_EQ(1, rig.mgr.log_count("Statistics file " + stats + " written again"))
            << rig.diagnostics();
        EXPECT_TRUE(rig.mgr.running());
    }
}
