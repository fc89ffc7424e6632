// Test fixture for the serial consoles: runs a console program as a child process with its
// standard input on a pipe and its standard output on a pipe (or, to see what a technician's
// terminal shows, on a pseudo-terminal), gathers what it prints, and reaps it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "log_capture.hpp"

namespace kor_test {

class ConsoleProcess {
  public:
    ConsoleProcess() = default;
    ~ConsoleProcess();
    ConsoleProcess(const ConsoleProcess &) = delete;
    ConsoleProcess &operator=(const ConsoleProcess &) = delete;

    // Starts bin_dir()/program with args. With terminal set, standard output is a raw
    // pseudo-terminal. Standard error goes to a file (errors()).
    bool start(const std::string &program, const std::vector<std::string> &args,
               bool terminal = false);
    // Writes text to the console's standard input.
    bool send(const std::string &text);
    void close_input();
    // Gathers output until it contains text (from position from on); false after timeout.
    bool wait_for(const std::string &text,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
                  std::size_t from = 0);
    // Closes the input, gathers the output to its end and reaps the process: its exit status,
    // or -1 when it was killed by a signal or had to be killed after timeout.
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

    const std::string &output() const { return output_; }
    std::string errors() const;

  private:
    // Reads what is there, waiting up to timeout for the first bytes; false at end of output.
    bool pump(std::chrono::milliseconds timeout);

    ScratchDir scratch_;
    std::string errors_file_ = scratch_.file("stderr");
    pid_t pid_ = -1;
    int input_ = -1;
    int output_fd_ = -1;
    std::string output_;
};

}  // namespace kor_test
