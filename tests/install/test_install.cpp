// The installed project as another project sees it: `cmake --install` of this build into a
// scratch prefix, its layout (programs, versioned libraries, headers, pkg-config files, the CMake
// package, and nothing that is only for building or testing), installed programs that find their
// libraries through their RUNPATH, a C11 program built with pkg-config and a CMake project built
// with find_package(KorOven) against it; and the Debian package unpacked into a scratch root.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "log_capture.hpp"
#include "shell.hpp"

namespace fs = std::filesystem;

namespace {

using Result = kor_test::ShellResult;

std::string quote(const std::string &s) {
    return kor_test::shell_quote(s);
}

// Runs a shell command line; LD_LIBRARY_PATH is dropped so that nothing but RUNPATH (or the
// consumer's own rpath) finds a library.
Result sh(const std::string &command) {
    return kor_test::shell(command, "env -u LD_LIBRARY_PATH ");
}

std::set<std::string> names_in(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A scratch copy of a sample configuration store, so a consumer may load (and write) it freely.
std::string copy_sample(const kor_test::ScratchDir &scratch, const std::string &name) {
    const fs::path dir = fs::path(scratch.path()) / name;
    fs::create_directories(dir);
    for (const auto &entry : fs::directory_iterator(kor_test::source_dir() + "/data/config")) {
        if (entry.is_regular_file()) {
            fs::copy_file(entry.path(), dir / entry.path().filename());
        }
    }
    return dir.string();
}

// The install folders under the prefix, as this build was configured.
const std::string kBin = "/" KOR_INSTALL_BINDIR;
const std::string kLib = "/" KOR_INSTALL_LIBDIR;
const std::string kInclude = "/" KOR_INSTALL_INCLUDEDIR;

const std::set<std::string> kPrograms = {"kor_oven_mgr",    "kor_ioboard_sim", "kor_config_check",
                                         "modbus_console",  "ioboard_console", "zebctl",
                                         "calder_backend",  "pmx_backend2",    "pmx_backend_slave",
                                         "kor_fleet_agent", "kor_webui"};
const std::vector<std::string> kLibraries = {
    "kor_iocomms", "kor_oven_config", "kor_oven_stats", "kor_oven_telvo", "zeb_common",
    "zeb_logger",  "zeb_config",      "zeb_stat",       "zeb_faultman",   "vix_io"};

// One install for the whole suite: installing is the slow part and every test only reads it.
class Installed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        scratch_ = std::make_unique<kor_test::ScratchDir>();
        prefix_ = scratch_->path() + "/prefix";
        install_ = sh(quote(KOR_CMAKE_COMMAND) + " --install " + quote(KOR_BUILD_DIR) +
                      " --prefix " + quote(prefix_));
    }
    static void TearDownTestSuite() { scratch_.reset(); }

    void SetUp() override { ASSERT_EQ(install_.status, 0) << install_.out; }

    static std::unique_ptr<kor_test::ScratchDir> scratch_;
    static std::string prefix_;
    static Result install_;
};

std::unique_ptr<kor_test::ScratchDir> Installed::scratch_;
std::string Installed::prefix_;
Result Installed::install_;

TEST_F(Installed, LayoutHasTheDeliverablesAndNothingForBuildingOrTesting) {
    EXPECT_EQ(names_in(prefix_ + kBin), kPrograms);

    const fs::path lib = prefix_ + kLib;
    for (const std::string &name : kLibraries) {
        const fs::path so = lib / ("lib" + name + ".so");
        const fs::path soname = lib / ("lib" + name + ".so." KOR_SOVERSION);
        const fs::path real = lib / ("lib" + name + ".so." KOR_PROJECT_VERSION);
        EXPECT_TRUE(fs::is_symlink(so)) << so;
        EXPECT_TRUE(fs::is_symlink(soname)) << soname;
        EXPECT_TRUE(fs::is_regular_file(real) && !fs::is_symlink(real)) << real;
        EXPECT_EQ(fs::canonical(so), fs::canonical(real)) << so;
        // The name a linked program records is the SOVERSION name.
        const Result soname_tag = sh("readelf -d " + quote(real.string()));
        EXPECT_NE(soname_tag.out.find("Library soname: [lib" + name + ".so." KOR_SOVERSION "]"),
                  std::string::npos)
            << soname_tag.out;
    }
    EXPECT_TRUE(fs::is_regular_file(lib / "libvixio-tcp.so"));

    std::set<std::string> pc = names_in(lib / "pkgconfig");
    EXPECT_EQ(pc, (std::set<std::string>{"kor_iocomms.pc", "kor_oven_config.pc",
                                         "kor_oven_stats.pc", "kor_oven_telvo.pc"}));
    for (const char *f :
         {"KorOvenConfig.cmake", "KorOvenConfigVersion.cmake", "KorOvenTargets.cmake"}) {
        EXPECT_TRUE(fs::is_regular_file(lib / "cmake/KorOven" / f)) << f;
    }

    // Every public header, and only those.
    std::set<std::string> headers;
    for (const auto &entry : fs::directory_iterator(kor_test::source_dir() + "/include")) {
        headers.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names_in(prefix_ + kInclude), headers);

    // No static helper library, test program or benchmark anywhere in the tree.
    for (const auto &entry : fs::recursive_directory_iterator(prefix_)) {
        const std::string name = entry.path().filename().string();
        EXPECT_NE(entry.path().extension(), ".a") << entry.path();
        EXPECT_NE(name.rfind("test_", 0), 0u) << entry.path();
        EXPECT_NE(name.rfind("bench_", 0), 0u) << entry.path();
    }
}

TEST_F(Installed, ProgramsFindTheInstalledLibrariesThroughTheirRunpath) {
    for (const std::string &program : {std::string("kor_config_check"), std::string("zebctl")}) {
        const Result tags = sh("readelf -d " + quote(prefix_ + kBin + "/" + program));
        EXPECT_NE(tags.out.find("Library runpath: [" KOR_PROGRAM_RUNPATH "]"), std::string::npos)
            << tags.out;
        EXPECT_EQ(tags.out.find(KOR_BUILD_DIR), std::string::npos) << tags.out;
    }
    const Result lib_tags =
        sh("readelf -d " + quote(prefix_ + kLib + "/libkor_iocomms.so." KOR_SOVERSION));
    EXPECT_NE(lib_tags.out.find("Library runpath: [$ORIGIN]"), std::string::npos) << lib_tags.out;

    // Run from a moved copy of the prefix: no path of the build or the first prefix is needed.
    const std::string moved = scratch_->path() + "/moved";
    fs::copy(prefix_, moved, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    const std::string config = copy_sample(*scratch_, "config-run");
    const Result check = sh(quote(moved + kBin + "/kor_config_check") + " " + quote(config));
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("loads and runs cleanly (model KOR-2B4, 2 belts, 4 blowers)"),
              std::string::npos)
        << check.out;
    fs::remove_all(moved);
}

TEST_F(Installed, CProgramBuildsWithPkgConfig) {
    const std::string env = "export PKG_CONFIG_PATH=" + quote(prefix_ + kLib + "/pkgconfig") + "; ";
    const Result version = sh(env +
                              "pkg-config --modversion kor_iocomms kor_oven_config "
                              "kor_oven_stats kor_oven_telvo");
    EXPECT_EQ(version.status, 0) << version.out;
    EXPECT_EQ(version.out, std::string(KOR_PROJECT_VERSION "\n") + KOR_PROJECT_VERSION "\n" +
                               KOR_PROJECT_VERSION "\n" + KOR_PROJECT_VERSION "\n");
    const Result requires_private = sh(env + "pkg-config --print-requires-private kor_iocomms");
    EXPECT_EQ(requires_private.out, "libmodbus\n");
    const Result libdir = sh(env + "pkg-config --variable=libdir kor_oven_config");
    ASSERT_EQ(libdir.status, 0);
    EXPECT_EQ(fs::canonical(libdir.out.substr(0, libdir.out.find('\n'))),
              fs::canonical(prefix_ + kLib));

    const std::string exe = scratch_->path() + "/consumer_pc";
    const Result build =
        sh(env + quote(KOR_C_COMPILER) + " -std=c11 -Wall -Wextra -Werror " +
           KOR_CONSUMER_FLAGS " " + quote(KOR_CONSUMER_DIR "/main.c") + " -o " + quote(exe) +
           " $(pkg-config --cflags --libs kor_iocomms kor_oven_config)" +
           " -Wl,-rpath,$(pkg-config --variable=libdir kor_iocomms)");
    ASSERT_EQ(build.status, 0) << build.out;
    const std::string config = copy_sample(*scratch_, "config-pc");
    const Result run = sh(quote(exe) + " " + quote(config));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "model KOR-2B4, 2 belts, 4 blowers, hz 450-700\n");
}

TEST_F(Installed, CMakeProjectBuildsWithFindPackage) {
    const std::string build_dir = scratch_->path() + "/consumer_cmake";
    const Result configure = sh(
        quote(KOR_CMAKE_COMMAND) + " -S " + quote(KOR_CONSUMER_DIR) + " -B " + quote(build_dir) +
        " -DCMAKE_PREFIX_PATH=" + quote(prefix_) + " -DCMAKE_C_COMPILER=" + quote(KOR_C_COMPILER) +
        " -DCMAKE_BUILD_TYPE=Release" + " -DCMAKE_C_FLAGS=" + quote(KOR_CONSUMER_FLAGS));
    ASSERT_EQ(configure.status, 0) << configure.out;
    const Result build = sh(quote(KOR_CMAKE_COMMAND) + " --build " + quote(build_dir));
    ASSERT_EQ(build.status, 0) << build.out;
    const std::string config = copy_sample(*scratch_, "config-cmake");
    const Result run = sh(quote(build_dir + "/kor_consumer") + " " + quote(config));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out,
              "model KOR-2B4, 2 belts, 4 blowers, hz 450-700\n"
              "event zeb.varlo.set_target_temperature, 64 bytes\n");

    // The version file refuses a release this one is not compatible with.
    const std::string probe = scratch_->path() + "/probe";
    fs::create_directories(probe);
    std::ofstream(probe + "/CMakeLists.txt")
        << "cmake_minimum_required(VERSION 3.25)\nproject(probe NONE)\n"
           "find_package(KorOven 9.0 QUIET)\nif(KorOven_FOUND)\n  message(FATAL_ERROR \"9.0 "
           "accepted\")\nendif()\nfind_package(KorOven " KOR_PROJECT_VERSION " EXACT REQUIRED)\n";
    const Result versions = sh(quote(KOR_CMAKE_COMMAND) + " -S " + quote(probe) + " -B " +
                               quote(probe + "/build") + " -DCMAKE_PREFIX_PATH=" + quote(prefix_));
    EXPECT_EQ(versions.status, 0) << versions.out;
}

// The Debian package: built by cpack from this build, unpacked with dpkg -x, run from there.
TEST(Package, DebianPackageUnpacksAndRuns) {
    kor_test::ScratchDir scratch;
    const std::string out = scratch.path() + "/out";
    const Result cpack = sh("cd " + quote(KOR_BUILD_DIR) + " && " + quote(KOR_CPACK_COMMAND) +
                            " -G DEB -B " + quote(out));
    ASSERT_EQ(cpack.status, 0) << cpack.out;
    std::string deb;
    for (const auto &entry : fs::directory_iterator(out)) {
        if (entry.path().extension() == ".deb") {
            deb = entry.path().string();
        }
    }
    ASSERT_FALSE(deb.empty()) << cpack.out;

    const Result fields = sh("dpkg-deb -f " + quote(deb) + " Package Version Depends");
    ASSERT_EQ(fields.status, 0) << fields.out;
    EXPECT_NE(fields.out.find("Package: kor-oven\n"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("Version: " KOR_PROJECT_VERSION "\n"), std::string::npos)
        << fields.out;
    EXPECT_NE(fields.out.find("libmodbus5"), std::string::npos) << fields.out;

    const std::string root = scratch.path() + "/root";
    const Result unpack = sh("dpkg -x " + quote(deb) + " " + quote(root));
    ASSERT_EQ(unpack.status, 0) << unpack.out;
    EXPECT_TRUE(fs::is_regular_file(root + "/usr" + kLib + "/pkgconfig/kor_iocomms.pc"));
    EXPECT_TRUE(fs::is_regular_file(root + "/usr" + kInclude + "/kor_oven_config.h"));

    // Every program has its manual page, the units are there, and Debian's checker finds no
    // error in the package.
    for (const std::string &program : kPrograms) {
        if (!KOR_MAN_PAGES) {
            break;
        }
        const bool daemon = program == "kor_oven_mgr" || program == "kor_fleet_agent";
        const std::string page = root + "/usr/share/man/man" + (daemon ? "8/" : "1/") + program +
                                 (daemon ? ".8.gz" : ".1.gz");
        EXPECT_TRUE(fs::is_regular_file(page)) << page;
    }
    for (const char *unit : {"kor-oven-mgr@.service", "kor-ioboard-sim.service",
                             "kor-fleet-agent.service", "kor-webui.service"}) {
        EXPECT_TRUE(fs::is_regular_file(root + "/usr/lib/systemd/system/" + unit)) << unit;
    }
    if (sh("command -v lintian").status == 0) {
        const Result lint = sh("lintian --no-tag-display-limit " + quote(deb));
        EXPECT_EQ(lint.out.find("\nE: "), std::string::npos) << lint.out;
        EXPECT_NE(lint.out.rfind("E: ", 0), 0u) << lint.out;
    }

    const Result mgr = sh(quote(root + "/usr" + kBin + "/kor_oven_mgr"));
    EXPECT_EQ(mgr.status, 234) << mgr.out;
    EXPECT_NE(mgr.out.find("Usage: kor_oven_mgr com_device (e.g. /dev/ttyUSB0) [tablo_io_channel]"),
              std::string::npos)
        << mgr.out;

    const std::string config = copy_sample(scratch, "config");
    const Result check =
        sh(quote(root + "/usr" + kBin + "/kor_config_check") + " " + quote(config));
    EXPECT_EQ(check.status, 0) << check.out;
}

}  // namespace
