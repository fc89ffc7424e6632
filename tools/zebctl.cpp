// zebctl: the operator's and the tests' client of the service bus. It registers as a UI client
// and shows the oven manager's notifications (monitor), sends requests (send), binds any channel
// and prints what arrives (listen), plays the firmware-update service (offer-firmware), and shows
// what the fleet agent's report queue holds (fleet-queue).
// Owns its own bus channel for the length of one command and removes it on the way out.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kor_fleet_queue.hpp"
#include "kor_fleet_report.hpp"
#include "zeb_common.h"
#include "zeb_format.hpp"
#include "zeb_unique_fd.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char *kManager = "zeb_backend";
constexpr const char *kUpdateChannel = "zeb_update";
constexpr std::size_t kComponentIdField = 255;
constexpr auto kTick = 100ms;             // how often a waiting command looks at the clock
constexpr auto kRedrawPeriod = 200ms;     // the live view redraws at most five times a second
constexpr auto kManagerCheckPeriod = 1s;  // how often monitor looks for a restarted manager

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// ---- usage ----

constexpr const char *kUsageMain =
    "usage: zebctl COMMAND [OPTIONS]\n"
    "\n"
    "The client of the service bus (socket folder $ZEB_BUS_DIR, default /run/zeb).\n"
    "\n"
    "commands:\n"
    "  monitor         register with the oven manager and show its notifications\n"
    "  send            send a request event to the oven manager (or any channel)\n"
    "  listen          bind a channel and print every event that arrives\n"
    "  offer-firmware  play the firmware-update service: offer a firmware file\n"
    "  fleet-queue     show the fleet agent's report queue: what waits for the broker\n"
    "\n"
    "zebctl COMMAND --help shows the options of one command.\n";

constexpr const char *kUsageMonitor =
    "usage: zebctl monitor [--json] [--channel NAME] [--manager NAME] [--count N] [--timeout S]\n"
    "\n"
    "Opens its own channel, registers it with the oven manager (\"zeb.varlo.register\", value 1)\n"
    "and shows every event that arrives, decoded by its format descriptor. On a terminal a live\n"
    "status view is redrawn in place; otherwise one line per event \"name field=value ...\".\n"
    "When the manager's channel is not there yet, or the manager restarts, monitor registers\n"
    "again as soon as it is back (checked once a second).\n"
    "\n"
    "  --json          one JSON object per line: {\"event\":...,\"sender\":...,\"fields\":{...}}\n"
    "  --channel NAME  own channel (default zebctl_<pid>)\n"
    "  --manager NAME  the oven manager's channel (default zeb_backend)\n"
    "  --count N       stop after N events\n"
    "  --timeout S     stop after S seconds without an event\n"
    "\n"
    "exit status: 0 after N events, on a signal, or on a time-out after at least one event;\n"
    "1 on a time-out without any event, on a usage error or when the bus fails.\n";

constexpr const char *kUsageSend =
    "usage: zebctl send EVENT [VALUES...] [--to CHANNEL] [--format DESC]\n"
    "\n"
    "Sends one event to the oven manager (default channel zeb_backend). An EVENT without a dot\n"
    "is taken as \"zeb.varlo.EVENT\". The manager's requests get their exact data layout:\n"
    "  zeb.varlo.register VALUE CHANNEL          zeb.varlo.set_target_temperature DEGREES_F\n"
    "  zeb.varlo.set_belt_cook_time BELT SECONDS zeb.varlo.set_target_fan_speed FAN PERCENT\n"
    "  zeb.varlo.photo_cell_enable 1|0           zeb.varlo.power_onoff 1|0\n"
    "  zeb.varlo.serial_number_changed           zeb.varlo.menu_preset_changed BELT NAME\n"
    "  zeb.varlo.config_setting_changed SETTING VALUE\n"
    "  zeb.varlo.factory_reset_start             zeb.varlo.factory_reset_end OUTCOME\n"
    "  zeb.varlo.idle_mode_onoff ONOFF BELT1_S BELT2_S FAN1 FAN2 FAN3 FAN4\n"
    "  zeb.varlo.demo_mode_onoff 1|0             zeb.update.firmware.available ID PATH\n"
    "(The manager takes firmware offers only from zeb_update: use offer-firmware.)\n"
    "Any other event: integers are packed as 32-bit signed integers, \"s:TEXT\" as a\n"
    "NUL-terminated string and \"f:NUMBER\" as a 32-bit float, in the order given.\n"
    "\n"
    "  --to CHANNEL    the channel to send to (default zeb_backend)\n"
    "  --format DESC   the format descriptor to send instead of the one built from the values\n"
    "                  (to play the manager's notifications: --format \"4s1 mode 4s1 "
    "board_mode\")\n"
    "\n"
    "Prints nothing on success; an error and exit status 1 on failure.\n";

constexpr const char *kUsageListen =
    "usage: zebctl listen CHANNEL [--json] [--count N] [--timeout S]\n"
    "\n"
    "Binds CHANNEL (for instance zeb_telvo or zeb_update) and prints every event that arrives,\n"
    "decoded by its format descriptor; a \"1s0 json\" payload is printed as its text.\n"
    "\n"
    "  --json          one JSON object per line\n"
    "  --count N       stop after N events\n"
    "  --timeout S     stop after S seconds without an event\n"
    "\n"
    "exit status: as for monitor; 1 also when the channel is already taken.\n";

constexpr const char *kUsageFleetQueue =
    "usage: zebctl fleet-queue [DIR]\n"
    "\n"
    "Reads the fleet agent's durable report queue in DIR (default /var/lib/kor/fleet, the\n"
    "agent's queue_dir) without changing it, also while the agent runs, and shows the\n"
    "acknowledged mark, the next sequence number, and how many reports wait for the broker\n"
    "and since when.\n"
    "\n"
    "exit status: 0, or 1 when the folder cannot be read.\n";

constexpr const char *kUsageOffer =
    "usage: zebctl offer-firmware ID PATH [--to CHANNEL] [--wait S]\n"
    "\n"
    "Plays the firmware-update service: binds zeb_update (on an oven whose fleet agent runs, stop\n"
    "it first: it holds zeb_update), sends \"zeb.update.firmware.available\"\n"
    "with the component ID (at most 254 characters) and PATH (made absolute when relative, since\n"
    "the manager runs elsewhere) and prints each \"zeb.update.firmware.response\":\n"
    "1 accepted, 2 ignored, 3 transferred, 4 failed. \"zeb.update.register\" and any other event\n"
    "that arrives is printed too.\n"
    "\n"
    "  --to CHANNEL    the oven manager's channel (default zeb_backend)\n"
    "  --wait S        how long to wait for the final response (default 120)\n"
    "\n"
    "exit status: 0 when the firmware was transferred (3), 2 when the offer was ignored (2),\n"
    "1 when the transfer failed (4), on a time-out, when zeb_update is already taken or on a\n"
    "usage error.\n";

// The error and the command's synopsis line; --help has the rest.
int usage_error(const char *usage, const std::string &message) {
    const std::string_view text = usage;
    const std::string synopsis(text.substr(0, text.find('\n')));
    std::fprintf(stderr, "zebctl: %s\n%s\n", message.c_str(), synopsis.c_str());
    return 1;
}

bool wants_help(int argc, char **argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return true;
        }
    }
    return false;
}

// ---- argument parsing ----

bool parse_int32(std::string_view s, std::int32_t &out) {
    if (s.size() > 1 && s[0] == '+') {
        s.remove_prefix(1);
    }
    int base = 10;
    bool negative = false;
    std::string_view digits = s;
    if (!digits.empty() && digits[0] == '-') {
        negative = true;
        digits.remove_prefix(1);
    }
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    if (digits.empty()) {
        return false;
    }
    std::int64_t v = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) {
        return false;
    }
    v = negative ? -v : v;
    if (v < INT32_MIN || v > INT32_MAX) {
        return false;
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

bool parse_seconds(const char *s, double &out) {
    char *end = nullptr;
    errno = 0;
    out = std::strtod(s, &end);
    return errno == 0 && end != s && *end == '\0' && std::isfinite(out) && out >= 0 && out < 1e7;
}

bool parse_float(const char *s, double &out) {
    char *end = nullptr;
    errno = 0;
    out = std::strtod(s, &end);
    return errno == 0 && end != s && *end == '\0';
}

bool parse_count(const char *s, long &out) {
    char *end = nullptr;
    errno = 0;
    out = std::strtol(s, &end, 10);
    return errno == 0 && end != s && *end == '\0' && out > 0;
}

bool valid_channel(std::string_view name) {
    if (name.empty() || name.size() > ZEB_CHANNEL_NAME_MAX || name[0] == '.') {
        return false;
    }
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string bus_error(int rc) {
    return std::strerror(rc < 0 ? -rc : rc);
}

// A send failure, said so that an operator knows what to look at.
std::string send_error(int rc) {
    switch (-rc) {
        case ENOENT:
        case ECONNREFUSED: {
            const char *dir = std::getenv("ZEB_BUS_DIR");
            return std::string("no such channel on the bus (is its process running? bus folder ") +
                   (dir != nullptr && *dir != '\0' ? dir : "/run/zeb") + ")";
        }
        case EAGAIN:
            return "the receiver's queue is full, the event was lost";
        default:
            return bus_error(rc);
    }
}

// ---- the bus channel of one command ----

// Leaves the bus (removing the channel's socket file) however the command ends.
class BusSession {
  public:
    BusSession() = default;
    ~BusSession() {
        if (open_) {
            zeb_service_uninitialize();
        }
    }
    BusSession(const BusSession &) = delete;
    BusSession &operator=(const BusSession &) = delete;

    int open(const std::string &channel) {
        const int rc = zeb_service_initialize(channel.c_str());
        open_ = rc == 0;
        return rc;
    }

  private:
    bool open_ = false;
};

struct EventDeleter {
    void operator()(zeb_event_t *ev) const { zeb_service_free_event(ev); }
};
using EventPtr = std::unique_ptr<zeb_event_t, EventDeleter>;

// Waits up to one tick. 0 with ev set, 1 on a quiet tick, below 0 when the channel failed.
int wait_tick(EventPtr &ev) {
    zeb_event_t *raw = nullptr;
    const int rc = zeb_service_wait_event_timeout(
        &raw, static_cast<std::int32_t>(std::chrono::milliseconds(kTick).count()));
    ev.reset(raw);
    return rc;
}

zebctl::Decoded decode_event(const zeb_event_t &ev) {
    const std::size_t length = ev.length > 0 && ev.data != nullptr ? ev.length : 0;
    return zebctl::decode(ev.format ? ev.format : "",
                          std::span(static_cast<const std::uint8_t *>(ev.data), length));
}

void print_line(const std::string &line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void print_event(const zeb_event_t &ev, const zebctl::Decoded &decoded, bool json) {
    print_line(json ? zebctl::json_line(ev.name, ev.sender ? ev.sender : "", decoded)
                    : zebctl::text_line(ev.name, decoded));
}

// ---- request layouts ----

enum class Arg { Int, Text, ComponentId };

struct Layout {
    const char *event;
    std::vector<Arg> args;
    const char *format;
};

const std::vector<Layout> &known_requests() {
    static const std::vector<Layout> layouts = {
        {"zeb.varlo.register", {Arg::Int, Arg::Text}, "4s1 value 1s0 channel"},
        {"zeb.varlo.set_target_temperature", {Arg::Int}, "4s1 target_temperature"},
        {"zeb.varlo.set_belt_cook_time", {Arg::Int, Arg::Int}, "4s1 belt_num 4s1 cook_time"},
        {"zeb.varlo.set_target_fan_speed", {Arg::Int, Arg::Int}, "4s1 fan_num 4s1 fan_speed"},
        {"zeb.varlo.photo_cell_enable", {Arg::Int}, "4s1 enable"},
        {"zeb.varlo.power_onoff", {Arg::Int}, "4s1 power"},
        {"zeb.varlo.serial_number_changed", {}, ""},
        {"zeb.varlo.menu_preset_changed", {Arg::Int, Arg::Text}, "4s1 belt_num 1s0 preset_name"},
        {"zeb.varlo.config_setting_changed", {Arg::Int, Arg::Int}, "4s1 setting 4s1 value"},
        {"zeb.varlo.factory_reset_start", {}, ""},
        {"zeb.varlo.factory_reset_end", {Arg::Int}, "4s1 outcome"},
        {"zeb.update.firmware.available",
         {Arg::ComponentId, Arg::Text},
         "1s255 component_id 1s0 path"},
        {"zeb.varlo.idle_mode_onoff",
         {Arg::Int, Arg::Int, Arg::Int, Arg::Int, Arg::Int, Arg::Int, Arg::Int},
         "4s1 onoff 4s1 belt1_cook_time 4s1 belt2_cook_time 4s1 fan1_percent 4s1 fan2_percent "
         "4s1 fan3_percent 4s1 fan4_percent"},
        {"zeb.varlo.demo_mode_onoff", {Arg::Int}, "4s1 onoff"},
    };
    return layouts;
}

void append_int(std::vector<std::uint8_t> &data, std::int32_t v) {
    const auto *p = reinterpret_cast<const std::uint8_t *>(&v);
    data.insert(data.end(), p, p + sizeof v);
}

void append_text(std::vector<std::uint8_t> &data, std::string_view text) {
    data.insert(data.end(), text.begin(), text.end());
    data.push_back(0);
}

struct Request {
    std::string format;
    std::vector<std::uint8_t> data;
};

// Builds the data of a request; false with why set when the values do not fit.
bool build_request(const std::string &event, const std::vector<std::string> &values, Request &out,
                   std::string &why) {
    for (const Layout &layout : known_requests()) {
        if (event != layout.event) {
            continue;
        }
        if (values.size() != layout.args.size()) {
            why = event + " takes " + std::to_string(layout.args.size()) + " value(s), got " +
                  std::to_string(values.size());
            return false;
        }
        out.format = layout.format;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::string &v = values[i];
            switch (layout.args[i]) {
                case Arg::Int: {
                    std::int32_t n = 0;
                    if (!parse_int32(v, n)) {
                        why = "not a 32-bit integer: \"" + v + "\"";
                        return false;
                    }
                    append_int(out.data, n);
                    break;
                }
                case Arg::Text:
                    append_text(out.data, v);
                    break;
                case Arg::ComponentId:
                    if (v.size() >= kComponentIdField || v.find('\0') != std::string::npos) {
                        why = "component id longer than " + std::to_string(kComponentIdField - 1) +
                              " characters";
                        return false;
                    }
                    out.data.insert(out.data.end(), v.begin(), v.end());
                    out.data.resize(out.data.size() + (kComponentIdField - v.size()), 0);
                    break;
            }
        }
        return true;
    }
    // Any other event: the values speak for their own types.
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string &v = values[i];
        const std::string name = "v" + std::to_string(i + 1);
        if (v.rfind("s:", 0) == 0) {
            append_text(out.data, std::string_view(v).substr(2));
            out.format += "1s0 " + name;
        } else if (v.rfind("f:", 0) == 0) {
            double d = 0;
            if (!parse_float(v.c_str() + 2, d)) {
                why = "not a number: \"" + v + "\"";
                return false;
            }
            const float f = static_cast<float>(d);
            const auto *p = reinterpret_cast<const std::uint8_t *>(&f);
            out.data.insert(out.data.end(), p, p + sizeof f);
            out.format += "4f1 " + name;
        } else {
            std::int32_t n = 0;
            if (!parse_int32(v, n)) {
                why = "not a 32-bit integer: \"" + v + "\" (prefix texts with s:, floats with f:)";
                return false;
            }
            append_int(out.data, n);
            out.format += "4s1 " + name;
        }
        if (i + 1 < values.size()) {
            out.format += ' ';
        }
    }
    return true;
}

int send_request(const std::string &to, const std::string &event, const Request &req) {
    return zeb_service_send_event(to.c_str(), event.c_str(), req.format.c_str(),
                                  req.data.empty() ? nullptr : req.data.data(),
                                  static_cast<std::int32_t>(req.data.size()));
}

// ---- send ----

int cmd_send(int argc, char **argv) {
    if (wants_help(argc, argv)) {
        std::fputs(kUsageSend, stdout);
        return 0;
    }
    std::string to = kManager;
    std::optional<std::string> format;
    std::vector<std::string> positional;
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--to") {
            if (i + 1 >= argc) {
                return usage_error(kUsageSend, "--to needs a channel name");
            }
            to = argv[++i];
        } else if (a == "--format") {
            if (i + 1 >= argc) {
                return usage_error(kUsageSend, "--format needs a descriptor");
            }
            format = argv[++i];
        } else if (a.rfind("--", 0) == 0) {
            return usage_error(kUsageSend, "unknown option " + std::string(a));
        } else {
            positional.emplace_back(a);
        }
    }
    if (positional.empty()) {
        return usage_error(kUsageSend, "send needs an EVENT");
    }
    if (!valid_channel(to)) {
        return usage_error(kUsageSend, "bad channel name \"" + to + "\"");
    }
    std::string event = positional.front();
    if (event.find('.') == std::string::npos) {
        event = "zeb.varlo." + event;
    }
    const std::vector<std::string> values(positional.begin() + 1, positional.end());
    Request req;
    std::string why;
    if (!build_request(event, values, req, why)) {
        return usage_error(kUsageSend, why);
    }
    if (format) {
        req.format = *format;
    }
    if (req.data.size() + event.size() + req.format.size() + 256 > ZEB_MAX_EVENT_SIZE) {
        std::fprintf(stderr, "zebctl: event %s too large for the bus\n", event.c_str());
        return 1;
    }
    if (int rc = send_request(to, event, req); rc != 0) {
        std::fprintf(stderr, "zebctl: cannot send %s to %s: %s\n", event.c_str(), to.c_str(),
                     send_error(rc).c_str());
        return 1;
    }
    return 0;
}

// ---- options shared by monitor and listen ----

struct WatchOptions {
    bool json = false;
    long count = 0;         // 0: no limit
    double timeout_s = -1;  // below 0: none
    std::string channel;    // monitor: own channel; listen: the channel to bind
    std::string manager = kManager;
};

// Parses the options of monitor (with_monitor) or listen; false after printing the error.
bool parse_watch(int argc, char **argv, bool with_monitor, const char *usage, WatchOptions &opt,
                 std::vector<std::string> &positional) {
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                usage_error(usage, std::string(a) + " needs " + what);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--json") {
            opt.json = true;
        } else if (a == "--count") {
            const char *v = value("a number");
            if (v == nullptr) {
                return false;
            }
            if (!parse_count(v, opt.count)) {
                usage_error(usage, "--count needs a positive number");
                return false;
            }
        } else if (a == "--timeout") {
            const char *v = value("seconds");
            if (v == nullptr) {
                return false;
            }
            if (!parse_seconds(v, opt.timeout_s)) {
                usage_error(usage, "--timeout needs seconds (0 or more)");
                return false;
            }
        } else if (with_monitor && (a == "--channel" || a == "--manager")) {
            const char *v = value("a channel name");
            if (v == nullptr) {
                return false;
            }
            (a == "--channel" ? opt.channel : opt.manager) = v;
        } else if (a.rfind("-", 0) == 0 && a.size() > 1) {
            usage_error(usage, "unknown option " + std::string(a));
            return false;
        } else {
            positional.emplace_back(a);
        }
    }
    return true;
}

// Counts events and watches the quiet time for --count and --timeout.
class StopRule {
  public:
    explicit StopRule(const WatchOptions &opt) : opt_(opt), last_(Clock::now()) {}
    void seen() {
        ++events_;
        last_ = Clock::now();
    }
    bool count_reached() const { return opt_.count > 0 && events_ >= opt_.count; }
    bool timed_out() const {
        return opt_.timeout_s >= 0 &&
               Clock::now() - last_ >= std::chrono::duration<double>(opt_.timeout_s);
    }
    long events() const { return events_; }
    // 0 when something arrived (or the limit was reached), 1 after a time-out without events.
    int exit_code() const { return events_ > 0 ? 0 : 1; }

  private:
    const WatchOptions &opt_;
    Clock::time_point last_;
    long events_ = 0;
};

// ---- listen ----

int cmd_listen(int argc, char **argv) {
    if (wants_help(argc, argv)) {
        std::fputs(kUsageListen, stdout);
        return 0;
    }
    WatchOptions opt;
    std::vector<std::string> positional;
    if (!parse_watch(argc, argv, false, kUsageListen, opt, positional)) {
        return 1;
    }
    if (positional.size() != 1) {
        return usage_error(kUsageListen, "listen needs exactly one CHANNEL");
    }
    opt.channel = positional.front();
    if (!valid_channel(opt.channel)) {
        return usage_error(kUsageListen, "bad channel name \"" + opt.channel + "\"");
    }
    BusSession bus;
    if (int rc = bus.open(opt.channel); rc != 0) {
        std::fprintf(
            stderr, "zebctl: cannot bind channel %s: %s\n", opt.channel.c_str(),
            rc == -EADDRINUSE ? "already taken by another process" : bus_error(rc).c_str());
        return 1;
    }
    StopRule stop(opt);
    while (!g_stop) {
        EventPtr ev;
        const int rc = wait_tick(ev);
        if (rc < 0) {
            std::fprintf(stderr, "zebctl: channel %s failed: %s\n", opt.channel.c_str(),
                         bus_error(rc).c_str());
            return 1;
        }
        if (rc == 0 && ev) {
            print_event(*ev, decode_event(*ev), opt.json);
            stop.seen();
            if (stop.count_reached()) {
                return 0;
            }
        } else if (stop.timed_out()) {
            return stop.exit_code();
        }
    }
    return 0;
}

// ---- monitor ----

const char *belt_status_name(std::int64_t s) {
    switch (s) {
        case 0:
            return "stopped";
        case 1:
            return "idle";
        case 2:
            return "bake";
        default:
            return "?";
    }
}

std::string num(const std::optional<std::int64_t> &v) {
    return v ? std::to_string(*v) : "-";
}

// What the live view shows: the last value of each field it knows, by event and field name.
class StatusView {
  public:
    StatusView(std::string channel, std::string manager)
        : channel_(std::move(channel)), manager_(std::move(manager)) {}

    void set_registered(bool registered) {
        registered_ = registered;
        dirty_ = true;
    }

    void update(const zeb_event_t &ev, const zebctl::Decoded &d) {
        ++events_;
        dirty_ = true;
        const std::string_view name = ev.name;
        auto get = [&](const char *field) -> std::optional<std::int64_t> {
            std::int64_t v = 0;
            if (zebctl::field_int(d, field, v)) {
                return v;
            }
            return std::nullopt;
        };
        auto in_range = [](std::optional<std::int64_t> i, int hi) {
            return i && *i >= 1 && *i <= hi;
        };
        if (name == "zeb.varlo.mode_notify") {
            ui_state_ = get("mode");
            board_state_ = get("board_mode");
        } else if (name == "zeb.varlo.temperature_notify") {
            temperature_ = get("temperature");
            target_ = get("target");
            heat_ = get("heat_percent");
        } else if (name == "zeb.varlo.belt_status_notify") {
            if (auto b = get("belt_num"); in_range(b, 2)) {
                belts_[*b - 1].status = get("belt_status");
            }
        } else if (name == "zeb.varlo.belt_target_cook_time_notify") {
            if (auto b = get("belt_num"); in_range(b, 2)) {
                belts_[*b - 1].target = get("target_cook_time");
            }
        } else if (name == "zeb.varlo.belt_measured_time_notify") {
            belts_[0].rpm = get("belt1_rpm");
            belts_[1].rpm = get("belt2_rpm");
            belts_[0].measured = get("belt1_cook_time");
            belts_[1].measured = get("belt2_cook_time");
        } else if (name == "zeb.varlo.fan_speed_notify") {
            if (auto f = get("fan_num"); in_range(f, 4)) {
                fans_[*f - 1].speed = get("fan_speed");
            }
        } else if (name == "zeb.varlo.fan_target_speed_notify") {
            if (auto f = get("fan_num"); in_range(f, 4)) {
                fans_[*f - 1].target = get("fan_target_speed");
            }
        } else if (name == "zeb.varlo.fan_hz_rpm_notify") {
            for (int i = 0; i < 4; ++i) {
                fans_[i].rpm = get(("fan" + std::to_string(i + 1) + "_rpm").c_str());
            }
        } else if (name == "zeb.varlo.photoeye_detection") {
            photo_detect_ = get("detect");
        } else if (name == "zeb.varlo.photoeye_enable") {
            photo_enable_ = get("enable");
        } else if (name == "zeb.varlo.soak_timer_notify") {
            soak_ = get("seconds");
        } else if (name == "zeb.varlo.power_on") {
            power_ = "on";
        } else if (name == "zeb.varlo.power_off") {
            power_ = "off";
        } else if (name == "zeb.varlo.power_cooldown") {
            power_ = "cooldown";
        } else if (name == "zeb.varlo.preheat_complete") {
            power_ = "on, preheat complete";
        } else if (name.find("fault") != std::string_view::npos &&
                   name != "zeb.varlo.factory_reset_ready") {
            ++faults_;
        }
        // The periodic notifications would drown the rest: the list keeps the changes of state.
        if (!periodic(name)) {
            char stamp[16];
            const std::time_t now = std::time(nullptr);
            std::tm tm{};
            localtime_r(&now, &tm);
            std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
            recent_.push_back(std::string(stamp) + " " + zebctl::text_line(name, d));
            if (recent_.size() > 6) {
                recent_.pop_front();
            }
        }
    }

    // Redraws when something changed and the last redraw is old enough.
    void maybe_draw(bool force = false) {
        const auto now = Clock::now();
        if (!dirty_ || (!force && now - last_draw_ < kRedrawPeriod)) {
            return;
        }
        dirty_ = false;
        last_draw_ = now;
        std::string s = "\x1b[H\x1b[2J";
        s += "zebctl monitor  channel " + channel_ + "  manager " + manager_ +
             (registered_ ? "  (registered)" : "  (waiting for the manager)") + "\n\n";
        s += "Oven state  : ";
        s += ui_state_ ? std::to_string(*ui_state_) + " " + zebctl::ui_state_name(*ui_state_) : "-";
        s += "   board state ";
        s += board_state_
                 ? std::to_string(*board_state_) + " " + zebctl::board_state_name(*board_state_)
                 : "-";
        s += "   power " + power_ + "\n";
        s += "Temperature : " + num(temperature_) + " F   target " + num(target_) + " F   heat " +
             num(heat_) + " %\n";
        for (int b = 0; b < 2; ++b) {
            const Belt &belt = belts_[b];
            s += "Belt " + std::to_string(b + 1) + "      : status " +
                 (belt.status ? std::to_string(*belt.status) + " " + belt_status_name(*belt.status)
                              : std::string("-")) +
                 "   target " + num(belt.target) + " s   measured " + num(belt.measured) +
                 " s at " + num(belt.rpm) + " rpm\n";
        }
        s += "Fans        :";
        for (int f = 0; f < 4; ++f) {
            s += "  " + std::to_string(f + 1) + ": " + num(fans_[f].speed) + "/" +
                 num(fans_[f].target) + " %";
            if (fans_[f].rpm) {
                s += " " + num(fans_[f].rpm) + " rpm";
            }
        }
        s += "\n";
        s += "Photo-eye   : ";
        s += photo_enable_ ? (*photo_enable_ ? "enabled" : "disabled") : "-";
        s += photo_detect_ ? (*photo_detect_ ? ", food detected" : ", clear") : "";
        s += "\n";
        if (soak_) {
            s += "Soak        : " + num(soak_) + " s left\n";
        }
        if (faults_ > 0) {
            s += "Faults      : " + std::to_string(faults_) + " fault events\n";
        }
        s += "Events      : " + std::to_string(events_) + " received\n\nLast events:\n";
        for (const std::string &line : recent_) {
            s += "  " + line.substr(0, 150) + "\n";
        }
        std::fputs(s.c_str(), stdout);
        std::fflush(stdout);
    }

  private:
    struct Belt {
        std::optional<std::int64_t> status, target, measured, rpm;
    };
    struct Fan {
        std::optional<std::int64_t> speed, target, rpm;
    };

    static bool periodic(std::string_view name) {
        static const char *const names[] = {
            "zeb.varlo.temperature_notify",
            "zeb.varlo.tc_temp_notify",
            "zeb.varlo.belt_measured_time_notify",
            "zeb.varlo.fan_speed_notify",
            "zeb.varlo.fan_hz_rpm_notify",
            "zeb.varlo.diag_reg_notify",
            "zeb.varlo.ignitor_status",
            "zeb.varlo.manifold_status",
            "zeb.varlo.soak_timer_notify",
            "zeb.varlo.oven_voltage_notify",
        };
        for (const char *n : names) {
            if (name == n) {
                return true;
            }
        }
        return false;
    }

    std::string channel_, manager_;
    bool registered_ = false;
    bool dirty_ = true;
    Clock::time_point last_draw_{};
    long events_ = 0;
    long faults_ = 0;
    std::string power_ = "-";
    std::optional<std::int64_t> ui_state_, board_state_, temperature_, target_, heat_;
    std::optional<std::int64_t> photo_detect_, photo_enable_, soak_;
    Belt belts_[2];
    Fan fans_[4];
    std::deque<std::string> recent_;
};

std::string manager_socket(const std::string &manager) {
    const char *dir = std::getenv("ZEB_BUS_DIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/run/zeb") + "/" + manager;
}

using Fd = zeb::UniqueFd;

// An idle connection to the manager's channel that sends nothing: the manager's end closes when
// that process goes, whatever the next one does with the socket file (a restarted manager may
// well get the same inode and time stamp), so its hang-up says "register again".
Fd connect_probe(const std::string &path, int &err) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        err = -ENAMETOOLONG;
        return Fd();
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid() ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        err = -errno;
        return Fd();
    }
    return Fd(fd.release());
}

bool probe_hung_up(const Fd &probe) {
    pollfd p{probe.get(), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) {
        return false;
    }
    if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return true;
    }
    // The manager never writes to it; end of stream (or anything else) means it is gone.
    char byte;
    const ssize_t n = ::recv(probe.get(), &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Sends "zeb.varlo.register" (value 1, own channel) to the manager, again whenever the manager
// went away, and keeps trying once a second while it is not there.
class Registration {
  public:
    Registration(std::string manager, std::string channel)
        : manager_(std::move(manager)),
          channel_(std::move(channel)),
          path_(manager_socket(manager_)) {}

    // Call often: looks at the probe every time, tries a registration at most once a second.
    void refresh(bool quiet) {
        if (registered_ && probe_hung_up(probe_)) {
            registered_ = false;
            probe_.reset();
            lost_ = true;
            next_try_ = Clock::now();  // a restarting manager may already be back
        }
        if (registered_ || Clock::now() < next_try_) {
            return;
        }
        next_try_ = Clock::now() + kManagerCheckPeriod;
        // Probe first: a restart between the two shows as a hang-up and one more registration.
        int err = 0;
        Fd probe = connect_probe(path_, err);
        if (!probe.valid()) {
            warn(quiet, err);
            return;
        }
        Request req;
        append_int(req.data, 1);
        append_text(req.data, channel_);
        req.format = "4s1 value 1s0 channel";
        if (const int rc = send_request(manager_, "zeb.varlo.register", req); rc != 0) {
            warn(quiet, rc);
            return;
        }
        probe_.reset(probe.release());
        if (lost_ && !quiet) {
            std::fprintf(stderr, "zebctl: manager %s is back, registered again\n",
                         manager_.c_str());
        }
        registered_ = true;
        warned_ = false;
    }
    bool registered() const { return registered_; }

  private:
    void warn(bool quiet, int rc) {
        if (!warned_ && !quiet) {
            std::fprintf(stderr, "zebctl: manager channel %s not reachable (%s), retrying\n",
                         manager_.c_str(), send_error(rc).c_str());
        }
        warned_ = true;
    }

    std::string manager_, channel_, path_;
    Fd probe_;
    bool registered_ = false;
    bool lost_ = false;
    bool warned_ = false;
    Clock::time_point next_try_{};
};

int cmd_monitor(int argc, char **argv) {
    if (wants_help(argc, argv)) {
        std::fputs(kUsageMonitor, stdout);
        return 0;
    }
    WatchOptions opt;
    std::vector<std::string> positional;
    if (!parse_watch(argc, argv, true, kUsageMonitor, opt, positional)) {
        return 1;
    }
    if (!positional.empty()) {
        return usage_error(kUsageMonitor, "unexpected argument " + positional.front());
    }
    if (opt.channel.empty()) {
        opt.channel = "zebctl_" + std::to_string(::getpid());
    }
    if (!valid_channel(opt.channel) || !valid_channel(opt.manager)) {
        return usage_error(kUsageMonitor, "bad channel name");
    }
    const bool live = !opt.json && ::isatty(STDOUT_FILENO) == 1;
    BusSession bus;
    if (int rc = bus.open(opt.channel); rc != 0) {
        std::fprintf(
            stderr, "zebctl: cannot bind channel %s: %s\n", opt.channel.c_str(),
            rc == -EADDRINUSE ? "already taken by another process" : bus_error(rc).c_str());
        return 1;
    }
    Registration reg(opt.manager, opt.channel);
    StatusView view(opt.channel, opt.manager);
    StopRule stop(opt);
    bool was_registered = false;
    while (!g_stop) {
        reg.refresh(live);
        if (reg.registered() != was_registered) {
            was_registered = reg.registered();
            view.set_registered(was_registered);
        }
        EventPtr ev;
        const int rc = wait_tick(ev);
        if (rc < 0) {
            std::fprintf(stderr, "zebctl: channel %s failed: %s\n", opt.channel.c_str(),
                         bus_error(rc).c_str());
            return 1;
        }
        if (rc == 0 && ev) {
            const zebctl::Decoded decoded = decode_event(*ev);
            if (live) {
                view.update(*ev, decoded);
            } else {
                print_event(*ev, decoded, opt.json);
            }
            stop.seen();
            if (stop.count_reached()) {
                if (live) {
                    view.maybe_draw(true);
                }
                return 0;
            }
        } else if (stop.timed_out()) {
            return stop.exit_code();
        }
        if (live) {
            view.maybe_draw();
        }
    }
    return 0;
}

// ---- offer-firmware ----

const char *response_meaning(std::int64_t r) {
    switch (r) {
        case 1:
            return "update accepted";
        case 2:
            return "update ignored (not for the IO board)";
        case 3:
            return "firmware transferred to the board";
        case 4:
            return "transfer failed";
        default:
            return "unknown response";
    }
}

int cmd_offer(int argc, char **argv) {
    if (wants_help(argc, argv)) {
        std::fputs(kUsageOffer, stdout);
        return 0;
    }
    std::string to = kManager;
    double wait_s = 120;
    std::vector<std::string> positional;
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--to" || a == "--wait") {
            if (i + 1 >= argc) {
                return usage_error(kUsageOffer, std::string(a) + " needs a value");
            }
            const char *v = argv[++i];
            if (a == "--to") {
                to = v;
            } else if (!parse_seconds(v, wait_s)) {
                return usage_error(kUsageOffer, "--wait needs seconds (0 or more)");
            }
        } else if (a.rfind("--", 0) == 0) {
            return usage_error(kUsageOffer, "unknown option " + std::string(a));
        } else {
            positional.emplace_back(a);
        }
    }
    if (positional.size() != 2) {
        return usage_error(kUsageOffer, "offer-firmware needs ID and PATH");
    }
    if (!valid_channel(to)) {
        return usage_error(kUsageOffer, "bad channel name \"" + to + "\"");
    }
    std::string path = positional[1];
    if (path.empty()) {
        return usage_error(kUsageOffer, "empty PATH");
    }
    if (path.front() != '/') {
        // The manager opens the file from its own working folder.
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) != nullptr) {
            path = std::string(cwd) + "/" + path;
        }
    }
    Request req;
    std::string why;
    if (!build_request("zeb.update.firmware.available", {positional[0], path}, req, why)) {
        return usage_error(kUsageOffer, why);
    }
    BusSession bus;
    if (int rc = bus.open(kUpdateChannel); rc != 0) {
        std::fprintf(stderr, "zebctl: cannot bind channel %s: %s\n", kUpdateChannel,
                     rc == -EADDRINUSE ? "already taken (is an update service running?)"
                                       : bus_error(rc).c_str());
        return 1;
    }
    if (int rc = send_request(to, "zeb.update.firmware.available", req); rc != 0) {
        std::fprintf(stderr, "zebctl: cannot send zeb.update.firmware.available to %s: %s\n",
                     to.c_str(), send_error(rc).c_str());
        return 1;
    }
    std::printf("offered %s:%s to %s\n", positional[0].c_str(), path.c_str(), to.c_str());
    std::fflush(stdout);
    const auto deadline = Clock::now() + std::chrono::duration<double>(wait_s);
    while (!g_stop && Clock::now() < deadline) {
        EventPtr ev;
        const int rc = wait_tick(ev);
        if (rc < 0) {
            std::fprintf(stderr, "zebctl: channel %s failed: %s\n", kUpdateChannel,
                         bus_error(rc).c_str());
            return 1;
        }
        if (rc != 0 || !ev) {
            continue;
        }
        const zebctl::Decoded decoded = decode_event(*ev);
        std::int64_t response = 0;
        if (std::strcmp(ev->name, "zeb.update.firmware.response") == 0 &&
            zebctl::field_int(decoded, "response", response)) {
            std::printf("zeb.update.firmware.response %lld: %s\n", static_cast<long long>(response),
                        response_meaning(response));
            std::fflush(stdout);
            switch (response) {
                case 3:
                    return 0;
                case 2:
                    return 2;
                case 4:
                    return 1;
                default:
                    break;
            }
        } else {
            print_event(*ev, decoded, false);
        }
    }
    if (g_stop) {
        std::fprintf(stderr, "zebctl: interrupted before the final response\n");
    } else {
        std::fprintf(stderr, "zebctl: no final response within %g s\n", wait_s);
    }
    return 1;
}

// ---- fleet-queue ----

int cmd_fleet_queue(int argc, char **argv) {
    if (wants_help(argc, argv)) {
        std::fputs(kUsageFleetQueue, stdout);
        return 0;
    }
    if (argc > 1) {
        return usage_error(kUsageFleetQueue, "fleet-queue takes at most one DIR");
    }
    const std::string dir = argc == 1 ? argv[0] : "/var/lib/kor/fleet";
    kor_fleet::QueueStatus st;
    if (const int rc = kor_fleet::ReportQueue::inspect(dir, st); rc != 0) {
        std::fprintf(stderr, "zebctl: cannot read the queue %s: %s\n", dir.c_str(),
                     std::strerror(-rc));
        return 1;
    }
    std::printf("queue %s: %llu segments, %lld bytes\n", dir.c_str(),
                static_cast<unsigned long long>(st.segments), static_cast<long long>(st.bytes));
    std::printf("acknowledged up to seq %llu, next seq %llu\n",
                static_cast<unsigned long long>(st.acked),
                static_cast<unsigned long long>(st.next_seq));
    if (st.pending == 0) {
        std::printf("nothing waits for the broker\n");
    } else {
        std::printf("waiting for the broker: %llu reports, the oldest seq %llu from %s\n",
                    static_cast<unsigned long long>(st.pending),
                    static_cast<unsigned long long>(st.oldest_pending),
                    kor_fleet::iso_time(st.oldest_pending_ms).c_str());
    }
    if (st.torn > 0) {
        std::printf("%llu segments end in a torn record (dropped when the agent starts)\n",
                    static_cast<unsigned long long>(st.torn));
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(kUsageMain, stderr);
        return 1;
    }
    const std::string_view cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsageMain, stdout);
        return 0;
    }
    install_signals();
    if (cmd == "monitor") {
        return cmd_monitor(argc - 2, argv + 2);
    }
    if (cmd == "send") {
        return cmd_send(argc - 2, argv + 2);
    }
    if (cmd == "listen") {
        return cmd_listen(argc - 2, argv + 2);
    }
    if (cmd == "offer-firmware") {
        return cmd_offer(argc - 2, argv + 2);
    }
    if (cmd == "fleet-queue") {
        return cmd_fleet_queue(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "zebctl: unknown command %s\n\n%s", std::string(cmd).c_str(), kUsageMain);
    return 1;
}
