// The configuration store: how a file is read, how a write keeps the rest of the file, and that
// a writer killed at any moment leaves a store that still opens.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.hpp"
#include "zeb_config.h"

namespace {

void write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Owns an open store for one test.
class Store {
  public:
    explicit Store(const std::string &path) { rc_ = zeb_config_open(path.c_str(), &h_); }
    ~Store() {
        if (h_ != nullptr) {
            zeb_config_close(h_);
        }
    }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    int rc() const { return rc_; }
    zeb_config_t *get() const { return h_; }
    std::optional<std::string> str(const char *key) const {
        char *v = nullptr;
        if (zeb_config_get_string(h_, key, &v) != 0) {
            return std::nullopt;
        }
        std::string out(v);
        std::free(v);
        return out;
    }

  private:
    zeb_config_t *h_ = nullptr;
    int rc_ = 0;
};

}  // namespace

TEST(ConfigStore, ParsesTrimmedKeysCommentsAndLastLineWins) {
    kor_test::ScratchDir dir;
    const std::string path = dir.file("settings");
    write_text(path,
               "# oven settings\n"
               "  oven_model\t=  Q-3240 \r\n"
               "\n"
               "   # num_belts = 9\n"
               "num_belts = 1\n"
               "num_belts=2\n"
               "url = host=a;b\n"
               "empty =\n"
               "no equals sign here\n"
               " = orphan value\n"
               "last_line_without_newline = yes");
    Store sut(path);
    ASSERT_EQ(0, sut.rc());
    EXPECT_EQ("Q-3240", sut.str("oven_model"));
    EXPECT_EQ("2", sut.str("num_belts"));
    EXPECT_EQ("host=a;b", sut.str("url"));  // only the first '=' separates
    EXPECT_EQ("", sut.str("empty"));
    EXPECT_EQ("yes", sut.str("last_line_without_newline"));
    EXPECT_EQ(std::nullopt, sut.str("# oven settings"));
    EXPECT_EQ(std::nullopt, sut.str("no equals sign here"));
    EXPECT_EQ(std::nullopt, sut.str(""));
    char *v = nullptr;
    EXPECT_EQ(-ENOENT, zeb_config_get_string(sut.get(), "missing", &v));
    EXPECT_EQ(nullptr, v);
}

TEST(ConfigStore, NumbersMustBeWholeAndInRange) {
    kor_test::ScratchDir dir;
    const std::string path = dir.file("settings");
    write_text(path,
               "plain = 12\n"
               "negative = -7\n"
               "suffix = 12abc\n"
               "empty =\n"
               "spaced =  1.5\n"
               "max = 2147483647\n"
               "min = -2147483648\n"
               "above = 2147483648\n"
               "below = -2147483649\n"
               "hex = 0x10\n"
               "two = 1 2\n"
               "exp = 1e3\n"
               "nan = nan\n"
               "inf = inf\n"
               "huge = 1e60\n"
               "fsuffix = 1.5f\n");
    Store sut(path);
    ASSERT_EQ(0, sut.rc());
    int32_t i = 99;
    EXPECT_EQ(0, zeb_config_get_int(sut.get(), "plain", &i));
    EXPECT_EQ(12, i);
    EXPECT_EQ(0, zeb_config_get_int(sut.get(), "negative", &i));
    EXPECT_EQ(-7, i);
    EXPECT_EQ(0, zeb_config_get_int(sut.get(), "max", &i));
    EXPECT_EQ(INT32_MAX, i);
    EXPECT_EQ(0, zeb_config_get_int(sut.get(), "min", &i));
    EXPECT_EQ(INT32_MIN, i);
    i = 99;
    EXPECT_EQ(-EINVAL, zeb_config_get_int(sut.get(), "suffix", &i));
    EXPECT_EQ(-EINVAL, zeb_config_get_int(sut.get(), "empty", &i));
    EXPECT_EQ(-EINVAL, zeb_config_get_int(sut.get(), "spaced", &i));
    EXPECT_EQ(-EINVAL, zeb_config_get_int(sut.get(), "hex", &i));
    EXPECT_EQ(-EINVAL, zeb_config_get_int(sut.get(), "two", &i));
    EXPECT_EQ(-ERANGE, zeb_config_get_int(sut.get(), "above", &i));
    EXPECT_EQ(-ERANGE, zeb_config_get_int(sut.get(), "below", &i));
    EXPECT_EQ(-ENOENT, zeb_config_get_int(sut.get(), "missing", &i));
    EXPECT_EQ(99, i) << "a failed read leaves the output alone";

    float f = 0.0f;
    EXPECT_EQ(0, zeb_config_get_float(sut.get(), "spaced", &f));
    EXPECT_FLOAT_EQ(1.5f, f);
    EXPECT_EQ(0, zeb_config_get_float(sut.get(), "negative", &f));
    EXPECT_FLOAT_EQ(-7.0f, f);
    EXPECT_EQ(0, zeb_config_get_float(sut.get(), "exp", &f));
    EXPECT_FLOAT_EQ(1000.0f, f);
    f = 4.0f;
    EXPECT_EQ(-EINVAL, zeb_config_get_float(sut.get(), "suffix", &f));
    EXPECT_EQ(-EINVAL, zeb_config_get_float(sut.get(), "empty", &f));
    EXPECT_EQ(-EINVAL, zeb_config_get_float(sut.get(), "fsuffix", &f));
    EXPECT_EQ(-EINVAL, zeb_config_get_float(sut.get(), "nan", &f));
    EXPECT_EQ(-EINVAL, zeb_config_get_float(sut.get(), "inf", &f));
    EXPECT_EQ(-ERANGE, zeb_config_get_float(sut.get(), "huge", &f));
    EXPECT_EQ(-ENOENT, zeb_config_get_float(sut.get(), "missing", &f));
    EXPECT_FLOAT_EQ(4.0f, f);
}

TEST(ConfigStore, SetKeepsCommentsAndOrderAndAppendsNewKeys) {
    kor_test::ScratchDir dir;
    const std::string path = dir.file("settings");
    write_text(path,
               "# header comment\n"
               "a = 1\n"
               "\n"
               "b = 2   # not a comment, part of the value\n"
               "a = 3\n"
               "stray line\n"
               "c = 4");
    {
        Store sut(path);
        ASSERT_EQ(0, sut.rc());
        EXPECT_EQ(0, zeb_config_set_string(sut.get(), "a", "30"));
        EXPECT_EQ(0, zeb_config_set_string(sut.get(), "new_key", "  padded value \t"));
        EXPECT_EQ("30", sut.str("a"));  // the handle sees its own writes
        EXPECT_EQ("padded value", sut.str("new_key"));
    }
    EXPECT_EQ(
        "# header comment\n"
        "a = 1\n"
        "\n"
        "b = 2   # not a comment, part of the value\n"
        "a = 30\n"
        "stray line\n"
        "c = 4\n"
        "new_key = padded value\n",
        read_text(path));
    Store reopened(path);
    ASSERT_EQ(0, reopened.rc());
    EXPECT_EQ("30", reopened.str("a"));
    EXPECT_EQ("padded value", reopened.str("new_key"));
    EXPECT_EQ("4", reopened.str("c"));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()),
                               std::filesystem::directory_iterator{}))
        << "no temporary file is left behind";
}

TEST(ConfigStore, WritesOfTwoHandlesDoNotLoseEachOther) {
    kor_test::ScratchDir dir;
    const std::string path = dir.file("settings");
    write_text(path, "x = 0\n");
    Store first(path);
    Store second(path);
    ASSERT_EQ(0, first.rc());
    ASSERT_EQ(0, second.rc());
    EXPECT_EQ(0, zeb_config_set_string(second.get(), "from_second", "2"));
    EXPECT_EQ(0, zeb_config_set_string(first.get(), "from_first", "1"));
    EXPECT_EQ(std::nullopt, first.str("from_second")) << "reads show the file as opened";
    Store after(path);
    EXPECT_EQ("1", after.str("from_first"));
    EXPECT_EQ("2", after.str("from_second"));
}

TEST(ConfigStore, RefusesBadArgumentsAndMissingStores) {
    kor_test::ScratchDir dir;
    zeb_config_t *h = nullptr;
    EXPECT_EQ(-ENOENT, zeb_config_open(dir.file("settings").c_str(), &h));
    EXPECT_EQ(-ENOENT, zeb_config_open(dir.file("no_dir/settings").c_str(), &h));
    EXPECT_EQ(-EISDIR, zeb_config_open(dir.path().c_str(), &h));
    EXPECT_EQ(-EINVAL, zeb_config_open(nullptr, &h));
    EXPECT_EQ(-EINVAL, zeb_config_open(dir.file("settings").c_str(), nullptr));
    EXPECT_EQ(nullptr, h);

    const std::string path = dir.file("settings");
    write_text(path, "k = v\n");
    Store sut(path);
    ASSERT_EQ(0, sut.rc());
    char *text = nullptr;
    int32_t i = 0;
    EXPECT_EQ(-EINVAL, zeb_config_get_string(nullptr, "k", &text));
    EXPECT_EQ(-EINVAL, zeb_config_get_string(sut.get(), nullptr, &text));
    EXPECT_EQ(-EINVAL, zeb_config_get_string(sut.get(), "k", nullptr));
    EXPECT_EQ(-EINVAL, zeb_config_get_int(nullptr, "k", &i));
    for (const char *bad_key : {"", "a=b", "two\nlines", " padded", "#comment", "tab\tin"}) {
        EXPECT_EQ(-EINVAL, zeb_config_set_string(sut.get(), bad_key, "v")) << bad_key;
    }
    EXPECT_EQ(-EINVAL, zeb_config_set_string(sut.get(), "k", "line\nbreak"));
    EXPECT_EQ(-EINVAL, zeb_config_set_string(sut.get(), "k", nullptr));
    EXPECT_EQ("k = v\n", read_text(path)) << "refused writes leave the file alone";
    EXPECT_EQ(-EINVAL, zeb_config_close(nullptr));
}

TEST(ConfigStore, FailedWriteReturnsErrnoAndKeepsOldFile) {
    kor_test::ScratchDir dir;
    const std::string path = dir.file("settings");
    write_text(path, "k = old\n");
    Store sut(path);
    ASSERT_EQ(0, sut.rc());
    {
        // A file that may not grow makes the write fail even for root.
        kor_test::FileSizeLimit no_growth(0);
        EXPECT_EQ(-EFBIG, zeb_config_set_string(sut.get(), "k", "new"));
    }
    EXPECT_EQ("k = old\n", read_text(path));
    EXPECT_EQ("old", sut.str("k")) << "a failed write is not seen as written";
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()),
                               std::filesystem::directory_iterator{}))
        << "no temporary file is left behind";
    EXPECT_EQ(0, zeb_config_set_string(sut.get(), "k", "new"));
    EXPECT_EQ("new", sut.str("k"));
}

TEST(ConfigStore, ThreadsSharingAHandleLoseNoWrite) {
    kor_test::ScratchDir dir;
    const std::string path = dir.file("settings");
    write_text(path, "# shared\n");
    Store sut(path);
    ASSERT_EQ(0, sut.rc());
    constexpr int kThreads = 4;
    constexpr int kKeys = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kKeys; ++k) {
                std::string key = "t" + std::to_string(t) + "_" + std::to_string(k);
                EXPECT_EQ(0, zeb_config_set_string(sut.get(), key.c_str(), key.c_str()));
                EXPECT_EQ(key, sut.str(key.c_str()));
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    Store after(path);
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kKeys; ++k) {
            std::string key = "t" + std::to_string(t) + "_" + std::to_string(k);
            EXPECT_EQ(key, after.str(key.c_str()));
        }
    }
}

// A child rewrites one key in a loop; it is killed with SIGKILL at varied moments. Each time the
// store must open, keep its other lines, and hold a value the child wrote or the one before.
TEST(ConfigStore, WriterKilledAtAnyMomentLeavesAReadableStore) {
    kor_test::ScratchDir dir;
    const std::string path = dir.file("settings");
    const std::string fixed = "# keep me\nserial_number = SN-1\n";
    write_text(path, fixed + "counter = 0\n");
    int64_t last_seen = 0;
    for (int round = 0; round < 12; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            zeb_config_t *h = nullptr;
            if (zeb_config_open(path.c_str(), &h) != 0) {
                ::_exit(2);
            }
            for (int64_t n = last_seen + 1;; ++n) {
                std::string padding(static_cast<std::size_t>(n % 4000), 'x');
                std::string value = std::to_string(n) + " " + padding;
                if (zeb_config_set_string(h, "counter", value.c_str()) != 0) {
                    ::_exit(3);
                }
            }
        }
        // Let it write a few times, then kill it somewhere inside a write.
        auto counter = [&]() -> int64_t {
            Store s(path);
            auto v = s.rc() == 0 ? s.str("counter") : std::nullopt;
            return v ? std::stoll(*v) : -1;
        };
        bool wrote = kor_test::wait_until([&] { return counter() >= last_seen + 2; },
                                          std::chrono::milliseconds(5000));
        std::this_thread::sleep_for(std::chrono::microseconds(300 * (round % 5)));
        ASSERT_EQ(0, ::kill(child, SIGKILL));
        int status = 0;
        ASSERT_EQ(child, ::waitpid(child, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own, status " << status;
        ASSERT_TRUE(wrote) << "the writer made no progress";

        Store sut(path);
        ASSERT_EQ(0, sut.rc()) << "round " << round;
        const std::string text = read_text(path);
        EXPECT_EQ(0u, text.rfind(fixed, 0)) << "round " << round << ": " << text.substr(0, 80);
        auto value = sut.str("counter");
        ASSERT_TRUE(value.has_value());
        const int64_t n = std::stoll(*value);
        ASSERT_GT(n, last_seen);
        EXPECT_EQ(std::to_string(n) + " " + std::string(static_cast<std::size_t>(n % 4000), 'x'),
                  *value)
            << "a torn value";
        last_seen = n;
    }
}
