// Test fixture for everything that runs against the virtual IO board: starts kor_ioboard_sim as
// a child process in a scratch folder, waits for its line and control socket, sends control
// commands, and stops it (quit, or a signal, with a kill as the last resort) when it goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "log_capture.hpp"

namespace kor_test {

// One connection to the board's control socket.
class ControlClient {
  public:
    ControlClient() = default;
    ~ControlClient();
    ControlClient(const ControlClient &) = delete;
    ControlClient &operator=(const ControlClient &) = delete;

    bool connect(const std::string &path);
    void disconnect();
    bool connected() const { return fd_ >= 0; }
    // Sends one command line and returns its answer line without the newline; "error: no
    // answer" when the board did not answer within timeout.
    std::string command(const std::string &line,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

  private:
    int fd_ = -1;
    std::string input_;
};

class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts the board with --link and --control in the scratch folder, plus extra arguments,
    // and waits until both are there. The board gets SIGTERM when the starting thread ends, so
    // a killed test run leaves none behind: start it from the thread that owns the fixture. False
    // (with the reason in last_error()) when it did not come up within five seconds.
    bool start(const std::vector<std::string> &extra_args = {});
    // Asks the board to quit; waits for it (killing it after five seconds). The exit status, or
    // -1 when it was not running or had to be killed.
    int stop();
    // Sends sig and waits for the exit as stop() does.
    int signal_and_wait(int sig);
    bool running();

    // Thread-safe; reconnects when the connection was lost.
    std::string command(const std::string &line);
    // The value of NAME=VALUE in the status line, "" when missing.
    std::string status_field(const std::string &name);
    // The requests the board has answered so far (status "served"); -1 when unknown.
    long served();

    pid_t pid() const { return pid_; }
    const std::string &link_path() const { return link_; }
    // The line the board announced (the pseudo-terminal the link names).
    const std::string &line_path() const { return line_; }
    const std::string &control_path() const { return control_; }
    const std::string &folder() const { return scratch_.path(); }
    // What the board printed on stdout so far.
    std::string output() const;
    const std::string &last_error() const { return error_; }

  private:
    int wait_exit(std::chrono::milliseconds timeout);

    ScratchDir scratch_;
    std::string link_ = scratch_.file("ttyIO");
    std::string control_ = scratch_.file("control");
    std::string stdout_file_ = scratch_.file("sim.out");
    std::string line_;
    pid_t pid_ = -1;
    std::string error_;
    std::mutex lock_;
    ControlClient client_;
};

}  // namespace kor_test
