// Virtual IO board test fixture; see sim_process.hpp.
#include "sim_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace kor_test {

ControlClient::~ControlClient() {
    disconnect();
}

bool ControlClient::connect(const std::string &path) {
    disconnect();
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        disconnect();
        return false;
    }
    return true;
}

void ControlClient::disconnect() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    input_.clear();
}

std::string ControlClient::command(const std::string &line, std::chrono::milliseconds timeout) {
    if (fd_ < 0) {
        return "error: not connected";
    }
    const std::string out = line + "\n";
    if (::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
        disconnect();
        return "error: send failed";
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto newline = input_.find('\n');
        if (newline != std::string::npos) {
            std::string answer = input_.substr(0, newline);
            input_.erase(0, newline + 1);
            return answer;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return "error: no answer";
        }
        char buffer[4096];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            disconnect();
            return "error: no answer";
        }
        input_.append(buffer, static_cast<std::size_t>(n));
    }
}

SimProcess::~SimProcess() {
    if (pid_ > 0) {
        signal_and_wait(SIGTERM);
    }
}

bool SimProcess::start(const std::vector<std::string> &extra_args) {
    if (pid_ > 0) {
        error_ = "already running";
        return false;
    }
    const std::string program = bin_dir() + "/kor_ioboard_sim";
    std::vector<std::string> args{program, "--link", link_, "--control", control_};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char *> argv;
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    const int out = ::open(stdout_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        error_ = "cannot create " + stdout_file_;
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out);
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        // A test run killed by its time-out must not leave boards behind.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            _exit(127);
        }
        if (!ChildUser::become()) {
            ::_exit(127);
        }
        ::dup2(out, STDOUT_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out);
    pid_ = pid;
    const bool up = wait_until(
        [&] {
            if (!running()) {
                return true;
            }
            // The board publishes its link last, after its banner: a link that names the
            // line of the banner is a board that is ready (and not a stale link of another).
            const std::string text = output();
            const std::string banner = "kor_ioboard_sim: serving slave 1 on ";
            const auto at = text.find(banner);
            const auto end = text.find('\n', at);
            if (at == std::string::npos || end == std::string::npos) {
                return false;
            }
            line_ = text.substr(at + banner.size(), end - at - banner.size());
            char target[PATH_MAX] = {};
            const ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
            return n > 0 && line_ == target && client_.connect(control_);
        },
        std::chrono::milliseconds(5000));
    if (!up || !running()) {
        error_ = "kor_ioboard_sim did not come up (" + program + ")";
        if (pid_ > 0) {
            signal_and_wait(SIGKILL);
        }
        return false;
    }
    return true;
}

bool SimProcess::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int SimProcess::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

int SimProcess::stop() {
    if (pid_ <= 0) {
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!client_.connected()) {
            client_.connect(control_);
        }
        client_.command("quit");
        client_.disconnect();
    }
    return wait_exit(std::chrono::milliseconds(5000));
}

int SimProcess::signal_and_wait(int sig) {
    if (pid_ <= 0) {
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        client_.disconnect();
    }
    ::kill(pid_, sig);
    return wait_exit(std::chrono::milliseconds(5000));
}

std::string SimProcess::command(const std::string &line) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!client_.connected() && !client_.connect(control_)) {
        return "error: cannot connect to " + control_;
    }
    return client_.command(line);
}

std::string SimProcess::status_field(const std::string &name) {
    std::istringstream words(command("status"));
    std::string word;
    const std::string key = name + "=";
    while (words >> word) {
        if (word.rfind(key, 0) == 0) {
            return word.substr(key.size());
        }
    }
    return "";
}

long SimProcess::served() {
    const std::string value = status_field("served");
    return value.empty() ? -1 : std::stol(value);
}

std::string SimProcess::output() const {
    std::ifstream in(stdout_file_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace kor_test
