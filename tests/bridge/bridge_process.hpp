// Test fixtures for the bridge programs: a bridge started as a child process with its own
// environment (serial device, log and firmware files, IO channel key path), and the UI
// application's side of the IO channels, played by the test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "log_capture.hpp"
#include "vix_io.h"

namespace kor_test {

class BridgeProcess {
  public:
    BridgeProcess() = default;
    ~BridgeProcess();
    BridgeProcess(const BridgeProcess &) = delete;
    BridgeProcess &operator=(const BridgeProcess &) = delete;

    // Starts program (a name in bin_dir()) with the test's environment plus env ("NAME=VALUE"),
    // its output to output_file. The child gets SIGTERM when the starting thread ends.
    bool start(const std::string &program, const std::vector<std::string> &env,
               const std::string &output_file);
    // SIGTERM and wait (a kill after five seconds): the exit status, -1 when killed or not
    // running.
    int stop();
    // The exit status once the child has ended within timeout, else nullopt.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    bool running();

  private:
    pid_t pid_ = -1;
};

// One event as the test sees it.
struct UiEvent {
    std::string name;
    std::string format;
    std::vector<uint8_t> data;
    // The data as text, without the NUL.
    std::string text() const;
};

// The UI application: receives on one channel (created here) and sends on the bridge's.
class UiPeer {
  public:
    UiPeer() = default;
    ~UiPeer();
    UiPeer(const UiPeer &) = delete;
    UiPeer &operator=(const UiPeer &) = delete;

    // Creates the channel the bridge sends on.
    bool open_receive(const std::string &name);
    // Opens the channel the bridge receives on, waiting up to timeout for the bridge to create it.
    bool open_send(const std::string &name, std::chrono::milliseconds timeout);
    // Sends name with unsigned 16-bit fields in host order; 0 or -1.
    int send(const std::string &name, const std::vector<uint16_t> &fields);
    // Sends raw bytes as one message (for malformed messages); 0 or -1.
    int send_raw(const std::vector<uint8_t> &bytes);
    // The next event within timeout, or nullopt.
    std::optional<UiEvent> receive(std::chrono::milliseconds timeout);
    void close();

  private:
    vix_io_channel_t *receive_ = nullptr;
    vix_io_channel_t *send_ = nullptr;
};

// The lines of a log file ("" when it cannot be read).
std::vector<std::string> read_lines(const std::string &path);
// Whether the file has a line equal to line.
bool has_line(const std::string &path, const std::string &line);
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
// count bytes of a fixed pattern, different from block to block.
std::vector<uint8_t> pattern(std::size_t count);

}  // namespace kor_test
