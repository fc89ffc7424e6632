// Shared test helpers; see log_capture.hpp.
#include "log_capture.hpp"

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "zeb_logger.h"

namespace kor_test {

LogCapture::LogCapture() {
    zeb_logger_set_sink(&LogCapture::sink, this);
}

LogCapture::~LogCapture() {
    zeb_logger_set_sink(nullptr, nullptr);
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "---- captured log ----\n%s----------------------\n", dump().c_str());
    }
}

void LogCapture::sink(void *user, int level, const char *module, const char *message) {
    auto *self = static_cast<LogCapture *>(user);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->lines_.push_back({level, module, message});
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

int LogCapture::count(const std::string &text) const {
    std::lock_guard<std::mutex> guard(lock_);
    int n = 0;
    for (const auto &l : lines_) {
        n += l.message == text ? 1 : 0;
    }
    return n;
}

int LogCapture::count_containing(const std::string &part) const {
    std::lock_guard<std::mutex> guard(lock_);
    int n = 0;
    for (const auto &l : lines_) {
        n += l.message.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.clear();
}

std::string LogCapture::dump() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::ostringstream out;
    for (const auto &l : lines_) {
        out << l.level << ' ' << l.module << ": " << l.message << '\n';
    }
    return out.str();
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

ScratchDir::ScratchDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kor_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    ChildUser::hand_over(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

FileSizeLimit::FileSizeLimit(unsigned long bytes) {
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    old_soft_ = limit.rlim_cur;
    limit.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        throw std::runtime_error("setrlimit(RLIMIT_FSIZE) failed");
    }
}

FileSizeLimit::~FileSizeLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = old_soft_;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, old_handler_);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

long private_dirty_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string key; in >> key;) {
        long kib = 0;
        if (key == "Private_Dirty:" && in >> kib) {
            return kib;
        }
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return -1;
}

int free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

namespace {
// Read after fork in the child: plain values, set before any child is started.
bool child_user_set = false;
uid_t child_uid = 0;
gid_t child_gid = 0;
}  // namespace

ChildUser::ChildUser(uid_t uid, gid_t gid)
    : had_(child_user_set), old_uid_(child_uid), old_gid_(child_gid) {
    child_user_set = true;
    child_uid = uid;
    child_gid = gid;
}

ChildUser::~ChildUser() {
    child_user_set = had_;
    child_uid = old_uid_;
    child_gid = old_gid_;
}

bool ChildUser::become() {
    if (!child_user_set) {
        return true;
    }
    // Groups first, while still root; a changed user ID clears every capability.
    return ::setgroups(0, nullptr) == 0 && ::setresgid(child_gid, child_gid, child_gid) == 0 &&
           ::setresuid(child_uid, child_uid, child_uid) == 0 &&
           ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

void ChildUser::hand_over(const std::string &path, bool shared) {
    if (!child_user_set) {
        return;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    if (::lchown(path.c_str(), child_uid, child_gid) != 0) {
        throw std::runtime_error("cannot give " + path + " to the child user");
    }
    if (fs::is_directory(fs::symlink_status(path, ec))) {
        if (shared) {
            fs::permissions(path, fs::perms::set_gid | fs::perms::owner_all | fs::perms::group_all,
                            ec);
        }
        for (const auto &entry : fs::recursive_directory_iterator(path, ec)) {
            if (::lchown(entry.path().c_str(), child_uid, child_gid) != 0) {
                throw std::runtime_error("cannot give " + entry.path().string() +
                                         " to the child user");
            }
        }
    }
}

std::string bin_dir() {
    const char *d = std::getenv("KOR_BIN_DIR");
    return d != nullptr ? d : KOR_DEFAULT_BIN_DIR;
}

std::string source_dir() {
    const char *d = std::getenv("KOR_SOURCE_DIR");
    return d != nullptr ? d : KOR_DEFAULT_SOURCE_DIR;
}

}  // namespace kor_test
