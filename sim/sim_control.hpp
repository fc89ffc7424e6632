// The control socket of the virtual IO board: a Unix stream socket where tests and the demo send
// one text command a line and read one answer line each; several clients may be connected.
//
// Commands live in a table: each module of the board adds its own, so a new feature is one
// add() call. Names that are known but not built (reserve()) answer "error: not supported".
#pragma once

#include <poll.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim_fd.hpp"
#include "sim_link.hpp"
#include "sim_registers.hpp"

namespace kor_sim {

class CommandTable {
  public:
    // args: the words after the command name. Returns the answer line, without newline.
    using Handler = std::function<std::string(std::span<const std::string_view> args)>;

    void add(const std::string &name, Handler handler);
    // A command whose module is not there yet.
    void reserve(const std::string &name);
    std::string run(std::string_view line) const;
    // The command names, blank-separated.
    std::string names() const;

  private:
    std::map<std::string, Handler, std::less<>> handlers_;
};

// Fields a module adds to the status line ("name=value ..."), after the core's own.
using StatusPart = std::function<std::string()>;

// The commands of the board core: status, get, set, silence, exception, delay, late, bad-crc,
// wrong-slave, writes, quit, help.
// status_part, when given, extends the status line (the oven and the CPI receiver use it).
void add_core_commands(CommandTable &table, RegisterBank &bank, SimLink &link,
                       std::atomic<bool> &quit, StatusPart status_part = {});

// Command arguments: a whole decimal integer within [low, high], or seconds within 0-86400
// (decimals allowed); nothing else around them.
bool parse_int(std::string_view text, long low, long high, long &out);
bool parse_seconds(std::string_view text, double &out);

class ControlServer {
    struct Key {
        explicit Key() = default;
    };

  public:
    ControlServer(Key, std::string path, const CommandTable &commands)
        : path_(std::move(path)), commands_(commands) {}
    // Null on failure, with error saying why. A stale socket at path is replaced.
    static std::unique_ptr<ControlServer> open(const std::string &path,
                                               const CommandTable &commands, std::string &error);
    ~ControlServer();
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

    // Appends the descriptors to watch; handle() takes the same entries back after poll().
    void collect(std::vector<pollfd> &fds) const;
    void handle(std::span<const pollfd> fds);

  private:
    struct Client {
        UniqueFd fd;
        std::string input;
    };
    bool serve_client(Client &client);

    std::string path_;
    const CommandTable &commands_;
    UniqueFd listen_;
    std::vector<Client> clients_;
};

}  // namespace kor_sim
