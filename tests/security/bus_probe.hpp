// A probe in a child process of the test: as the second local user ("nobody") or as root with
// its own limits. The child runs a function and ends with its result as the exit status; the
// parent waits within a deadline and kills a child that does not end.
#pragma once

#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace bus_probe {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
// Exit status of a child that did not end within the deadline (killed) or could not start.
constexpr int kHung = -1;

// Runs probe in a child (as nobody when as_nobody) and returns its exit status (0-255), or kHung.
inline int run_child(const std::function<int()> &probe, bool as_nobody,
                     std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const pid_t pid = fork();
    if (pid < 0) {
        return kHung;
    }
    if (pid == 0) {
        if (as_nobody &&
            (setgroups(0, nullptr) != 0 || setgid(kNogroup) != 0 || setuid(kNobody) != 0)) {
            _exit(126);
        }
        _exit(probe());
    }
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : kHung;
        }
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return kHung;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

inline int as_nobody(const std::function<int()> &probe) {
    return run_child(probe, true);
}

}  // namespace bus_probe
