// Control socket and core commands of the virtual IO board; see sim_control.hpp.
#include "sim_control.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace kor_sim {

namespace {

constexpr std::size_t kMaxClients = 32;
constexpr std::size_t kMaxLine = 1024;
// Later than the oven manager's 1.5 s response time-out.
constexpr long kDefaultLateMs = 2000;

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

std::string format_status(const LinkStatus &s, const RegisterBank &bank, const SimLink &link) {
    char line[512];
    const std::string exception = s.exception_count > 0 ? std::to_string(s.exception_code) + "x" +
                                                              std::to_string(s.exception_count)
                                                        : "none";
    std::snprintf(
        line, sizeof line,
        "state=%s served=%llu frames=%llu ignored=%llu bad_crc=%llu other_slave=%llu "
        "silence=%.3f exception=%s delay=%d late=%dx%d spoiled=%d queued=%zu writes=%zu line=%s",
        s.silent ? "silent" : "serving", static_cast<unsigned long long>(s.served),
        static_cast<unsigned long long>(s.frames), static_cast<unsigned long long>(s.ignored),
        static_cast<unsigned long long>(s.bad_crc), static_cast<unsigned long long>(s.other_slave),
        s.silence_left_s, exception.c_str(), s.delay_ms, s.late_count, s.late_ms, s.spoiled,
        s.queued, bank.writes().size(), link.peer_path().c_str());
    return line;
}

}  // namespace

bool parse_int(std::string_view text, long low, long high, long &out) {
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

bool parse_seconds(std::string_view text, double &out) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !(value >= 0.0) ||
        value > 86400.0) {
        return false;
    }
    out = value;
    return true;
}

void CommandTable::add(const std::string &name, Handler handler) {
    handlers_[name] = std::move(handler);
}

void CommandTable::reserve(const std::string &name) {
    handlers_[name] = [](std::span<const std::string_view>) {
        return std::string("error: not supported");
    };
}

std::string CommandTable::run(std::string_view line) const {
    const auto words = split_words(line);
    if (words.empty()) {
        return "error: empty command";
    }
    const auto it = handlers_.find(words[0]);
    if (it == handlers_.end()) {
        return "error: unknown command '" + std::string(words[0]) + "'";
    }
    return it->second(std::span<const std::string_view>(words).subspan(1));
}

std::string CommandTable::names() const {
    std::string out;
    for (const auto &entry : handlers_) {
        out += out.empty() ? "" : " ";
        out += entry.first;
    }
    return out;
}

void add_core_commands(CommandTable &table, RegisterBank &bank, SimLink &link,
                       std::atomic<bool> &quit, StatusPart status_part) {
    using Args = std::span<const std::string_view>;
    table.add("status", [&bank, &link, status_part = std::move(status_part)](Args args) {
        if (!args.empty()) {
            return std::string("error: usage: status");
        }
        std::string line = format_status(link.status(), bank, link);
        if (status_part) {
            line += " " + status_part();
        }
        return line;
    });
    table.add("get", [&bank](Args args) {
        long reg = 0;
        if (args.size() != 1 || !parse_int(args[0], 0, kRegisterCount - 1, reg)) {
            return std::string("error: usage: get REG (0-499)");
        }
        uint16_t value = 0;
        bank.get(static_cast<int>(reg), value);
        return std::to_string(value);
    });
    table.add("set", [&bank](Args args) {
        long reg = 0;
        long value = 0;
        if (args.size() != 2 || !parse_int(args[0], 0, kRegisterCount - 1, reg) ||
            !parse_int(args[1], 0, 65535, value)) {
            return std::string("error: usage: set REG (0-499) VAL (0-65535)");
        }
        bank.set(static_cast<int>(reg), static_cast<uint16_t>(value));
        return std::string("ok");
    });
    table.add("silence", [&link](Args args) {
        double seconds = 0;
        if (args.size() != 1 || !parse_seconds(args[0], seconds)) {
            return std::string("error: usage: silence SECONDS (0-86400, 0 ends a silence)");
        }
        link.silence(std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000.0 + 0.5)));
        return std::string("ok");
    });
    table.add("exception", [&link](Args args) {
        long code = 0;
        long count = 1;
        if (args.empty() || args.size() > 2 || !parse_int(args[0], 0, 255, code) ||
            (args.size() == 2 && !parse_int(args[1], 1, 1000000, count))) {
            return std::string("error: usage: exception CODE (1-255, 0 cancels) [COUNT]");
        }
        link.inject_exception(static_cast<uint8_t>(code), code == 0 ? 0 : static_cast<int>(count));
        return std::string("ok");
    });
    table.add("delay", [&link](Args args) {
        long ms = 0;
        if (args.size() != 1 || !parse_int(args[0], 0, 60000, ms)) {
            return std::string("error: usage: delay MS (0-60000, 0 ends it)");
        }
        link.set_delay(std::chrono::milliseconds(ms));
        return std::string("ok");
    });
    table.add("late", [&link](Args args) {
        long count = 0;
        long ms = kDefaultLateMs;
        if (args.empty() || args.size() > 2 || !parse_int(args[0], 0, 1000000, count) ||
            (args.size() == 2 && !parse_int(args[1], 1, 60000, ms))) {
            return std::string("error: usage: late COUNT (0 cancels) [MS] (1-60000, default 2000)");
        }
        link.answer_late(static_cast<int>(count), std::chrono::milliseconds(ms));
        return std::string("ok");
    });
    const std::pair<const char *, ReplyFault> spoils[] = {{"bad-crc", ReplyFault::BadCrc},
                                                          {"wrong-slave", ReplyFault::WrongSlave}};
    for (const auto &[name, fault] : spoils) {
        table.add(name, [&link, name = std::string(name), fault = fault](Args args) {
            long count = 1;
            if (args.size() > 1 || (args.size() == 1 && !parse_int(args[0], 0, 1000000, count))) {
                return "error: usage: " + name + " [COUNT] (default 1, 0 cancels)";
            }
            link.spoil_replies(fault, static_cast<int>(count));
            return std::string("ok");
        });
    }
    table.add("writes", [&bank](Args args) {
        if (args.size() == 1 && args[0] == "clear") {
            bank.clear_writes();
            return std::string("ok");
        }
        const bool take = args.size() == 1 && args[0] == "take";
        if (!args.empty() && !take) {
            return std::string("error: usage: writes [clear|take]");
        }
        std::string out;
        for (const auto &w : take ? bank.take_writes() : bank.writes()) {
            out += out.empty() ? "" : " ";
            out += std::to_string(w.reg) + ":=" + std::to_string(w.value);
            if (take) {
                const auto us =
                    std::chrono::duration_cast<std::chrono::microseconds>(w.at.time_since_epoch());
                out += "@" + std::to_string(us.count());
            }
        }
        return out;
    });
    table.add("quit", [&quit](Args) {
        quit = true;
        return std::string("ok");
    });
    table.add("help", [&table](Args) { return table.names(); });
}

std::unique_ptr<ControlServer> ControlServer::open(const std::string &path,
                                                   const CommandTable &commands,
                                                   std::string &error) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "control socket path empty or too long: " + path;
        return nullptr;
    }
    auto server = std::make_unique<ControlServer>(Key{}, path, commands);
    server->listen_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!server->listen_.valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    // A socket left by a board that died is replaced; any other file is not ours to remove.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        ::unlink(path.c_str());
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::bind(server->listen_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(server->listen_.get(), 16) != 0) {
        error = path + ": " + std::strerror(errno);
        server->path_.clear();  // not ours: the destructor must not unlink it
        return nullptr;
    }
    return server;
}

ControlServer::~ControlServer() {
    clients_.clear();
    listen_.reset();
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

void ControlServer::collect(std::vector<pollfd> &fds) const {
    fds.push_back({listen_.get(), POLLIN, 0});
    for (const auto &c : clients_) {
        fds.push_back({c.fd.get(), POLLIN, 0});
    }
}

void ControlServer::handle(std::span<const pollfd> fds) {
    // Entries: the listening socket, then the clients in the order collect() gave them.
    std::vector<bool> keep(clients_.size(), true);
    for (std::size_t i = 0; i < clients_.size() && i + 1 < fds.size(); ++i) {
        if (fds[i + 1].revents != 0) {
            keep[i] = serve_client(clients_[i]);
        }
    }
    std::vector<Client> kept;
    for (std::size_t i = 0; i < clients_.size(); ++i) {
        if (keep[i]) {
            kept.push_back(std::move(clients_[i]));
        }
    }
    clients_ = std::move(kept);

    if (!fds.empty() && (fds[0].revents & POLLIN) != 0) {
        for (;;) {
            UniqueFd fd(retry_eintr([&] {
                return ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            }));
            if (!fd.valid()) {
                break;
            }
            if (clients_.size() < kMaxClients) {
                clients_.push_back({std::move(fd), {}});
            }
        }
    }
}

bool ControlServer::serve_client(Client &client) {
    char buffer[512];
    bool open = true;
    while (open) {
        const ssize_t n =
            retry_eintr([&] { return ::read(client.fd.get(), buffer, sizeof buffer); });
        if (n > 0) {
            client.input.append(buffer, static_cast<std::size_t>(n));
            if (client.input.size() > 64 * kMaxLine) {
                return false;  // a flood, not commands
            }
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            open = false;  // closed or failed; the lines it sent before still run
        }
    }
    std::size_t newline;
    while ((newline = client.input.find('\n')) != std::string::npos) {
        const std::string answer =
            commands_.run(std::string_view(client.input).substr(0, newline)) + "\n";
        client.input.erase(0, newline + 1);
        // Answers are short; a client that cannot take one line is not reading and is dropped.
        const ssize_t sent = retry_eintr([&] {
            return ::send(client.fd.get(), answer.data(), answer.size(),
                          MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (sent != static_cast<ssize_t>(answer.size())) {
            return false;
        }
    }
    return open && client.input.size() <= kMaxLine;
}

}  // namespace kor_sim
