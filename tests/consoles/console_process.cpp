// Console process fixture; see console_process.hpp.
#include "console_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

namespace kor_test {

namespace {

void close_fd(int &fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// A raw pseudo-terminal: master in *master, the open slave returned (-1 on failure).
int open_terminal(int *master) {
    *master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0 || ::grantpt(*master) != 0 || ::unlockpt(*master) != 0) {
        close_fd(*master);
        return -1;
    }
    const char *name = ::ptsname(*master);
    const int slave = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios mode{};
    if (slave < 0 || ::tcgetattr(slave, &mode) != 0) {
        close_fd(*master);
        return -1;
    }
    // No newline translation: the test sees the bytes the console wrote.
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);
    return slave;
}

}  // namespace

ConsoleProcess::~ConsoleProcess() {
    close_fd(input_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    close_fd(output_fd_);
}

bool ConsoleProcess::start(const std::string &program, const std::vector<std::string> &args,
                           bool terminal) {
    std::vector<std::string> all{bin_dir() + "/" + program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    int in_pipe[2] = {-1, -1};
    int out_read = -1;
    int out_write = -1;
    if (::pipe2(in_pipe, O_CLOEXEC) != 0) {
        return false;
    }
    if (terminal) {
        out_write = open_terminal(&out_read);
    } else {
        int out_pipe[2] = {-1, -1};
        if (::pipe2(out_pipe, O_CLOEXEC) == 0) {
            out_read = out_pipe[0];
            out_write = out_pipe[1];
        }
    }
    const int err = ::open(errors_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_write < 0 || err < 0) {
        ::close(in_pipe[0]);
        ::close(in_pipe[1]);
        close_fd(out_read);
        close_fd(out_write);
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            _exit(127);
        }
        ::dup2(in_pipe[0], STDIN_FILENO);
        ::dup2(out_write, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_write);
    ::close(err);
    if (pid < 0) {
        ::close(in_pipe[1]);
        ::close(out_read);
        return false;
    }
    // A console that quits early must not kill the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    pid_ = pid;
    input_ = in_pipe[1];
    output_fd_ = out_read;
    return true;
}

bool ConsoleProcess::send(const std::string &text) {
    std::size_t sent = 0;
    while (input_ >= 0 && sent < text.size()) {
        const ssize_t n = ::write(input_, text.data() + sent, text.size() - sent);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return sent == text.size();
}

void ConsoleProcess::close_input() {
    close_fd(input_);
}

bool ConsoleProcess::pump(std::chrono::milliseconds timeout) {
    if (output_fd_ < 0) {
        return false;
    }
    pollfd p{output_fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) {
        return ready == 0 || errno == EINTR;
    }
    char buffer[4096];
    const ssize_t n = ::read(output_fd_, buffer, sizeof buffer);
    if (n <= 0) {
        // End of the pipe, or EIO once the terminal's last writer has gone.
        if (n < 0 && errno == EINTR) {
            return true;
        }
        close_fd(output_fd_);
        return false;
    }
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool ConsoleProcess::wait_for(const std::string &text, std::chrono::milliseconds timeout,
                              std::size_t from) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (output_.find(text, from) != std::string::npos) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(std::min(left, std::chrono::milliseconds(100)))) {
            return output_.find(text, from) != std::string::npos;
        }
    }
}

int ConsoleProcess::wait_exit(std::chrono::milliseconds timeout) {
    close_input();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            // What the console wrote before it ended is still in the pipe.
            while (pump(std::chrono::milliseconds(0)) && output_fd_ >= 0) {
                pollfd p{output_fd_, POLLIN, 0};
                if (::poll(&p, 1, 0) <= 0) {
                    break;
                }
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        if (!pump(std::chrono::milliseconds(20))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return -1;
}

std::string ConsoleProcess::errors() const {
    std::ifstream in(errors_file_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace kor_test
