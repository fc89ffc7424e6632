// Bridge process and UI peer fixtures; see bridge_process.hpp.
#include "bridge_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "log_capture.hpp"

extern char **environ;

namespace kor_test {

BridgeProcess::~BridgeProcess() {
    stop();
}

bool BridgeProcess::start(const std::string &program, const std::vector<std::string> &env,
                          const std::string &output_file) {
    const std::string path = bin_dir() + "/" + program;
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; ++e) {
        env_strings.emplace_back(*e);
    }
    env_strings.insert(env_strings.end(), env.begin(), env.end());
    std::vector<char *> envp;
    for (auto &s : env_strings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::string program_copy = path;
    char *argv[] = {program_copy.data(), nullptr};
    const int out = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out);
        return false;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
    }
    ::close(out);
    pid_ = pid;
    return true;
}

std::optional<int> BridgeProcess::wait_exit(std::chrono::milliseconds timeout) {
    if (pid_ < 0) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

bool BridgeProcess::running() {
    if (pid_ < 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int BridgeProcess::stop() {
    if (pid_ < 0) {
        return -1;
    }
    ::kill(pid_, SIGTERM);
    if (auto status = wait_exit(std::chrono::seconds(5))) {
        return *status;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

std::string UiEvent::text() const {
    std::string s(data.begin(), data.end());
    const auto nul = s.find('\0');
    return nul == std::string::npos ? s : s.substr(0, nul);
}

UiPeer::~UiPeer() {
    close();
}

void UiPeer::close() {
    vix_io_close(send_);
    vix_io_close(receive_);
    send_ = nullptr;
    receive_ = nullptr;
}

bool UiPeer::open_receive(const std::string &name) {
    receive_ = vix_io_open(name.c_str(), VIX_IO_MODE_RECEIVE | VIX_IO_FLAG_NONBLOCK);
    return receive_ != nullptr;
}

bool UiPeer::open_send(const std::string &name, std::chrono::milliseconds timeout) {
    return wait_until(
        [&] {
            send_ = vix_io_open(name.c_str(), VIX_IO_MODE_SEND);
            return send_ != nullptr;
        },
        timeout);
}

int UiPeer::send(const std::string &name, const std::vector<uint16_t> &fields) {
    vix_io_buffer *buffer =
        vix_io_serialize(nullptr, nullptr, name.c_str(), "", fields.data(),
                         static_cast<int32_t>(fields.size() * sizeof(uint16_t)));
    if (buffer == nullptr) {
        return -1;
    }
    const int rc = vix_io_send(send_, buffer);
    vix_io_free_buffer(buffer);
    return rc;
}

int UiPeer::send_raw(const std::vector<uint8_t> &bytes) {
    vix_io_buffer *buffer = vix_io_size_buffer(nullptr, static_cast<int32_t>(bytes.size()));
    if (buffer == nullptr) {
        return -1;
    }
    std::memcpy(buffer->data, bytes.data(), bytes.size());
    buffer->used = static_cast<int32_t>(bytes.size());
    const int rc = vix_io_send(send_, buffer);
    vix_io_free_buffer(buffer);
    return rc;
}

std::optional<UiEvent> UiPeer::receive(std::chrono::milliseconds timeout) {
    std::optional<UiEvent> event;
    vix_io_buffer *buffer = nullptr;
    wait_until(
        [&] {
            if (vix_io_receive(receive_, &buffer) < 0) {
                return false;
            }
            char *name = nullptr;
            char *format = nullptr;
            void *data = nullptr;
            const int32_t length = vix_io_unserialize(buffer, nullptr, &name, &format, &data);
            if (length < 0) {
                return false;
            }
            UiEvent e;
            e.name = name;
            e.format = format;
            if (length > 0) {
                const auto *bytes = static_cast<const uint8_t *>(data);
                e.data.assign(bytes, bytes + length);
            }
            event = std::move(e);
            return true;
        },
        timeout);
    vix_io_free_buffer(buffer);
    return event;
}

std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool has_line(const std::string &path, const std::string &line) {
    for (const auto &l : read_lines(path)) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> pattern(std::size_t count) {
    std::vector<uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + i / 128 * 13 + 1) & 0xFF);
    }
    return bytes;
}

}  // namespace kor_test
