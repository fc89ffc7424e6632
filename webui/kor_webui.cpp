// kor_webui: the technician's web console. A bus client that registers with the oven manager as a
// UI does, keeps the oven's picture from the notifications and serves it over HTTP (cpp-httplib):
// the state with the active faults, the temperature history, the event stream and the few
// requests a technician may send.
#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>
#include <sodium.h>
#include <nlohmann/json.hpp>

#include "webui_assets.hpp"
#include "webui_faults.hpp"
#include "webui_picture.hpp"
#include "webui_requests.hpp"
#include "webui_session.hpp"
#include "webui_stream.hpp"
#include "zeb_common.h"
#include "zeb_config.h"
#include "zeb_format.hpp"

namespace {

using kor_webui::Clock;
using nlohmann::json;

constexpr const char *kUsage =
    "usage: kor_webui [--listen ADDR:PORT] [--config FILE]\n"
    "       kor_webui --hash-password\n"
    "\n"
    "The oven's web console. Registers with the oven manager as a UI client on its own bus\n"
    "channel, keeps the oven's picture from the notifications and serves it over HTTP:\n"
    "  GET /                     the page\n"
    "  GET /api/state            the current picture as one JSON object\n"
    "  GET /api/history?seconds=N temperature, target and heater samples of the last N seconds\n"
    "                            (at most 3600)\n"
    "  GET /api/events           Server-Sent Events: every notification as JSON\n"
    "  POST /api/login, /api/logout, GET /api/session   the session cookie\n"
    "  POST /api/request         power, target temperature, belt cook time, fan speed, idle mode\n"
    "                            (with a session and the header X-Kor-Request: 1)\n"
    "See docs/webui.md for the whole interface.\n"
    "\n"
    "  --listen ADDR:PORT  the address to serve on (default 127.0.0.1:8080; port 0 picks a free\n"
    "                      one). Another address than the loopback is the operator's choice.\n"
    "  --config FILE       settings store, lines \"key = value\": password_hash, tls_cert_file,\n"
    "                      tls_key_file, channel (default kor_webui), manager_channel (default\n"
    "                      zeb_backend), fault_file (default $ZEB_FAULT_FILE: the fault\n"
    "                      manager's list of active faults). Without a password hash the\n"
    "                      console is read-only.\n"
    "  --hash-password     read a password on standard input, print its Argon2id hash for\n"
    "                      password_hash, and exit\n"
    "  -h, --help          this text\n"
    "\n"
    "Prints \"kor_webui: listening on http(s)://ADDR:PORT\" once it serves. The bus folder is\n"
    "ZEB_BUS_DIR (default /run/zeb). Exits 0 on SIGTERM or SIGINT, 1 on a usage or start-up\n"
    "error.\n";

// If a notification has not come for this long, the manager may have restarted without us: send
// the registration again (the same channel registers once, so a repeat is harmless).
constexpr auto kRegisterAgainAfter = std::chrono::seconds(2);
constexpr auto kRegisterRetry = std::chrono::seconds(1);
constexpr int kBusTickMs = 200;
constexpr int kBacklog = 128;

struct Settings {
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string config_file;
    std::string password_hash;
    std::string tls_cert_file;
    std::string tls_key_file;
    std::string channel = "kor_webui";
    std::string manager_channel = "zeb_backend";
    std::string fault_file;  // the fault manager's list of active faults; empty: none
};

int usage_error(const std::string &what) {
    std::fprintf(stderr, "kor_webui: %s\n%s", what.c_str(), kUsage);
    return 1;
}

bool parse_listen(const std::string &text, std::string &host, int &port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    const std::string_view digits(text.c_str() + colon + 1);
    int value = -1;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() || value < 0 ||
        value > 65535) {
        return false;
    }
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    port = value;
    return true;
}

// Reads the optional keys of the settings store; a missing key keeps its default.
int load_config(Settings &s) {
    zeb_config_t *handle = nullptr;
    if (const int rc = zeb_config_open(s.config_file.c_str(), &handle); rc != 0) {
        std::fprintf(stderr, "kor_webui: cannot open the configuration %s: %s\n",
                     s.config_file.c_str(), zeb_config_open_error_text(rc));
        return -1;
    }
    auto get = [&](const char *key, std::string &out) {
        char *value = nullptr;
        if (zeb_config_get_string(handle, key, &value) == 0 && value != nullptr) {
            out = value;
        }
        std::free(value);
    };
    get("password_hash", s.password_hash);
    get("tls_cert_file", s.tls_cert_file);
    get("tls_key_file", s.tls_key_file);
    get("channel", s.channel);
    get("manager_channel", s.manager_channel);
    get("fault_file", s.fault_file);
    zeb_config_close(handle);
    if (s.tls_cert_file.empty() != s.tls_key_file.empty()) {
        std::fprintf(stderr, "kor_webui: %s is set but %s is not: HTTPS needs both\n",
                     s.tls_cert_file.empty() ? "tls_key_file" : "tls_cert_file",
                     s.tls_cert_file.empty() ? "tls_cert_file" : "tls_key_file");
        return -1;
    }
    return 0;
}

std::string error_body(const std::string &text) {
    return json{{"error", text}}.dump();
}

// ---- the bus side ----

int send_register(const Settings &s) {
    std::vector<char> data(4, 0);
    const std::int32_t one = 1;
    std::memcpy(data.data(), &one, 4);
    data.insert(data.end(), s.channel.begin(), s.channel.end());
    data.push_back('\0');
    return zeb_service_send_event(s.manager_channel.c_str(), "zeb.varlo.register",
                                  "4s1 value 1s0 channel", data.data(),
                                  static_cast<std::int32_t>(data.size()));
}

struct EventFree {
    void operator()(zeb_event_t *ev) const { zeb_service_free_event(ev); }
};

// Takes the active faults from the fault manager's list when it is time to look again.
class FaultWatch {
  public:
    explicit FaultWatch(std::string path) : path_(std::move(path)) {}

    void poll(kor_webui::Picture &picture) {
        const auto now = Clock::now();
        if (path_.empty() || now - last_ < kFaultPoll) {
            return;
        }
        last_ = now;
        std::vector<kor_webui::ActiveFault> faults;
        errno = 0;
        if (kor_webui::read_fault_list(path_, faults) != 0) {
            if (!warned_) {
                std::fprintf(stderr, "kor_webui: cannot read the fault list %s: %s\n",
                             path_.c_str(), errno != 0 ? std::strerror(errno) : "not a file");
            }
            warned_ = true;
            return;  // the last list read stays
        }
        warned_ = false;
        picture.set_faults(std::move(faults));
    }

  private:
    static constexpr auto kFaultPoll = std::chrono::milliseconds(500);
    std::string path_;
    Clock::time_point last_{};
    bool warned_ = false;
};

// Receives the notifications until stop; registers again whenever they stop coming.
void bus_loop(const Settings &s, kor_webui::Picture &picture, kor_webui::Broadcaster &stream,
              const std::atomic<bool> &stop) {
    auto last_try = Clock::now() - kRegisterRetry;
    bool warned = false;
    FaultWatch faults(s.fault_file);
    while (!stop.load()) {
        faults.poll(picture);
        const auto last = picture.last_notification();
        const auto now = Clock::now();
        if ((!last || now - *last > kRegisterAgainAfter) && now - last_try >= kRegisterRetry) {
            last_try = now;
            const int rc = send_register(s);
            if (rc != 0 && !warned) {
                std::fprintf(stderr, "kor_webui: manager channel %s not reachable (%s), retrying\n",
                             s.manager_channel.c_str(), std::strerror(-rc));
            }
            warned = rc != 0;
        }
        zeb_event_t *raw = nullptr;
        const int rc = zeb_service_wait_event_timeout(&raw, kBusTickMs);
        std::unique_ptr<zeb_event_t, EventFree> ev(raw);
        if (rc < 0 && rc != -ETIMEDOUT && rc != -EAGAIN && rc != -EINTR) {
            std::fprintf(stderr, "kor_webui: channel %s failed: %s\n", s.channel.c_str(),
                         std::strerror(-rc));
            return;
        }
        if (rc != 0 || !ev || ev->name == nullptr) {
            continue;
        }
        const std::size_t length = ev->length > 0 && ev->data != nullptr ? ev->length : 0;
        const zebctl::Decoded decoded =
            zebctl::decode(ev->format ? ev->format : "",
                           std::span(static_cast<const std::uint8_t *>(ev->data), length));
        picture.update(ev->name, decoded);
        if (stream.clients() > 0) {
            stream.publish("data: " + kor_webui::event_json(ev->name, decoded) + "\n\n");
        }
    }
}

// ---- the HTTP side ----

constexpr const char *kCookie = "kor_session";

void reply(httplib::Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, "application/json");
}

std::string session_token(const httplib::Request &req) {
    const std::string cookies = req.get_header_value("Cookie");
    const std::string key = std::string(kCookie) + "=";
    std::size_t at = 0;
    while (at < cookies.size()) {
        while (at < cookies.size() && (cookies[at] == ' ' || cookies[at] == ';')) {
            ++at;
        }
        const std::size_t end = std::min(cookies.find(';', at), cookies.size());
        if (cookies.compare(at, key.size(), key) == 0) {
            return cookies.substr(at + key.size(), end - at - key.size());
        }
        at = end;
    }
    return "";
}

struct Context {
    const Settings &settings;
    kor_webui::Picture &picture;
    kor_webui::Broadcaster &stream;
    kor_webui::Sessions &sessions;
    bool tls;
};

void add_control_routes(httplib::Server &svr, Context &ctx) {
    svr.Get("/api/events", [&ctx](const httplib::Request &, httplib::Response &res) {
        auto client = ctx.stream.subscribe();
        if (!client) {
            reply(res, 429,
                  error_body("too many event streams (at most " +
                             std::to_string(kor_webui::Broadcaster::kMaxClients) + ")"));
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content_provider(
            "text/event-stream",
            [client, first = true](std::size_t, httplib::DataSink &sink) mutable {
                if (first) {
                    // A comment first: the client knows the stream is set up.
                    first = false;
                    const std::string hello = ": kor_webui\n\n";
                    return sink.write(hello.data(), hello.size());
                }
                bool ended = false;
                auto message = client->next(std::chrono::seconds(1), ended);
                if (ended) {
                    sink.done();
                    return false;
                }
                // A quiet second sends a comment, which also finds clients that went away.
                const std::string text = message ? *message : std::string(":\n\n");
                return sink.write(text.data(), text.size());
            },
            [&ctx, client](bool) { ctx.stream.unsubscribe(client); });
    });
    svr.Get("/api/session", [&ctx](const httplib::Request &req, httplib::Response &res) {
        reply(res, 200,
              json{{"read_only", !ctx.sessions.enabled()},
                   {"logged_in", ctx.sessions.valid(session_token(req))}}
                  .dump());
    });
    svr.Post("/api/login", [&ctx](const httplib::Request &req, httplib::Response &res) {
        if (!ctx.sessions.enabled()) {
            reply(res, 403, error_body("read-only console: no password is configured"));
            return;
        }
        const json body = json::parse(req.body, nullptr, false);
        if (!body.is_object() || !body.contains("password") || !body["password"].is_string()) {
            reply(res, 400, error_body("the body must be {\"password\": \"...\"}"));
            return;
        }
        std::string token;
        std::chrono::milliseconds wait{0};
        const auto outcome =
            ctx.sessions.login(req.remote_addr, body["password"].get<std::string>(), token, wait);
        if (outcome != kor_webui::Sessions::Login::ok) {
            // The client's wait is told, never slept here: a worker held per guess would let one
            // client starve the event streams and everyone else.
            const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
            res.set_header("Retry-After", std::to_string(seconds));
            const bool wrong = outcome == kor_webui::Sessions::Login::wrong;
            const std::string error = wrong ? "wrong password"
                                            : "too many logins from this address: try again in " +
                                                  std::to_string(seconds) + " s";
            reply(res, wrong ? 401 : 429,
                  json{{"error", error}, {"retry_after_ms", wait.count()}}.dump());
            return;
        }
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + token +
                                         "; Path=/; HttpOnly; SameSite=Strict" +
                                         (ctx.tls ? "; Secure" : ""));
        reply(res, 200, json{{"logged_in", true}}.dump());
    });
    svr.Post("/api/logout", [&ctx](const httplib::Request &req, httplib::Response &res) {
        ctx.sessions.logout(session_token(req));
        res.set_header("Set-Cookie",
                       std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
        reply(res, 200, json{{"logged_in", false}}.dump());
    });
    svr.Post("/api/request", [&ctx](const httplib::Request &req, httplib::Response &res) {
        // The page sets this header; a form or a link from another site cannot.
        if (req.get_header_value("X-Kor-Request") != "1") {
            reply(res, 403, error_body("the header X-Kor-Request: 1 is missing"));
            return;
        }
        if (!ctx.sessions.valid(session_token(req))) {
            reply(res, 401, error_body("log in first"));
            return;
        }
        kor_webui::BusRequest request;
        std::string error;
        if (kor_webui::parse_request(req.body, request, error) != 0) {
            reply(res, 400, error_body(error));
            return;
        }
        const int rc = zeb_service_send_event(
            ctx.settings.manager_channel.c_str(), request.event.c_str(), request.format.c_str(),
            request.data.data(), static_cast<std::int32_t>(request.data.size()));
        if (rc != 0) {
            std::fprintf(stderr, "kor_webui: cannot send %s to %s: %s\n", request.event.c_str(),
                         ctx.settings.manager_channel.c_str(), std::strerror(-rc));
            reply(res, 502, error_body("the oven manager is not reachable"));
            return;
        }
        reply(res, 200, json{{"sent", request.event}}.dump());
    });
}

void add_routes(httplib::Server &svr, kor_webui::Picture &picture) {
    svr.set_payload_max_length(4096);
    svr.Get("/api/state", [&picture](const httplib::Request &, httplib::Response &res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(picture.state_json(), "application/json");
    });
    svr.Get("/api/history", [&picture](const httplib::Request &req, httplib::Response &res) {
        int seconds = 1800;
        if (req.has_param("seconds")) {
            const std::string text = req.get_param_value("seconds");
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
            if (ec != std::errc() || end != text.data() + text.size() || seconds < 1 ||
                seconds > 3600) {
                res.status = 400;
                res.set_content(error_body("seconds must be a whole number from 1 to 3600"),
                                "application/json");
                return;
            }
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(picture.history_json(seconds), "application/json");
    });
    // The page and its files, from the program itself.
    for (std::size_t i = 0; i < kor_webui::kAssetCount; ++i) {
        const kor_webui::Asset &asset = kor_webui::kAssets[i];
        svr.Get(asset.path, [&asset](const httplib::Request &, httplib::Response &res) {
            const std::string type = asset.type;
            res.set_content(
                reinterpret_cast<const char *>(asset.data), asset.size,
                (type.rfind("text/", 0) == 0 ? type + "; charset=utf-8" : type).c_str());
        });
    }
    // Every refusal the library makes itself (unknown path, body too long) answers in JSON too.
    svr.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty()) {
            res.set_content(
                error_body(res.status == 404   ? "no such resource"
                           : res.status == 413 ? "body too long (at most 4096 bytes)"
                                               : "HTTP status " + std::to_string(res.status)),
                "application/json");
        }
    });
}

int hash_password() {
    std::string password;
    if (!std::getline(std::cin, password) || password.empty()) {
        std::fprintf(stderr, "kor_webui: no password on standard input\n");
        return 1;
    }
    if (sodium_init() < 0) {
        std::fprintf(stderr, "kor_webui: libsodium failed to start\n");
        return 1;
    }
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(
            hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
            crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0) {
        std::fprintf(stderr, "kor_webui: out of memory hashing the password\n");
        return 1;
    }
    sodium_memzero(password.data(), password.size());
    std::printf("%s\n", hash);
    return 0;
}

// Forty HTTP workers, mostly asleep on their event streams. glibc gives every thread a cache of
// the blocks it freed and spreads the threads over up to eight heaps per core, so blocks a worker
// freed wait in its own cache while the others take fresh pages: the console's private memory
// crept up by about a KiB with every stream that came and went, for hours. One heap and no
// per-thread caches keep it flat, and a few requests a second need neither. The caches can only be
// turned off before the program starts (GLIBC_TUNABLES), so the console starts itself once more
// with the tunable set, unless whoever started it chose a cache size already.
void tune_malloc(char **argv) {
    constexpr const char *kTunables = "GLIBC_TUNABLES";
    constexpr std::string_view kCache = "glibc.malloc.tcache_count";
    const char *given = std::getenv(kTunables);
    const std::string before = given != nullptr ? given : "";
    if (before.find(kCache) == std::string::npos) {
        const std::string wanted =
            (before.empty() ? "" : before + ":") + std::string(kCache) + "=0";
        // The program's own path, not /proc/self/exe, so that ps and pgrep still show kor_webui.
        std::array<char, 4096> self{};
        const ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
        if (n > 0 && setenv(kTunables, wanted.c_str(), 1) == 0) {
            execv(self.data(), argv);
            // Still fine to serve: only the memory settles later. The children of this process
            // get the environment it was given.
            if (given != nullptr) {
                setenv(kTunables, before.c_str(), 1);
            } else {
                unsetenv(kTunables);
            }
        }
    }
    mallopt(M_ARENA_MAX, 1);
}

}  // namespace

int main(int argc, char **argv) {
    tune_malloc(argv);
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--hash-password") {
            return hash_password();
        }
        if (arg == "--listen" || arg == "--config") {
            if (i + 1 >= argc) {
                return usage_error(arg + " needs a value");
            }
            const std::string value = argv[++i];
            if (arg == "--config") {
                settings.config_file = value;
            } else if (!parse_listen(value, settings.host, settings.port)) {
                return usage_error("bad --listen \"" + value + "\" (ADDR:PORT)");
            }
            continue;
        }
        return usage_error("unknown argument \"" + arg + "\"");
    }
    // The same variable tells the manager's fault manager where to keep the list.
    if (const char *path = std::getenv("ZEB_FAULT_FILE"); path != nullptr) {
        settings.fault_file = path;
    }
    if (!settings.config_file.empty() && load_config(settings) != 0) {
        return 1;
    }
    if (settings.fault_file.empty()) {
        std::fprintf(stderr,
                     "kor_webui: no fault list (fault_file or ZEB_FAULT_FILE): the "
                     "console shows no faults\n");
    }

    // Signals go to one waiting thread; every other thread starts with them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::unique_ptr<httplib::Server> svr;
    const bool tls = !settings.tls_cert_file.empty();
    if (tls) {
        svr = std::make_unique<httplib::SSLServer>(settings.tls_cert_file.c_str(),
                                                   settings.tls_key_file.c_str());
        if (!svr->is_valid()) {
            std::fprintf(stderr, "kor_webui: cannot load the TLS certificate %s or key %s\n",
                         settings.tls_cert_file.c_str(), settings.tls_key_file.c_str());
            return 1;
        }
    } else {
        svr = std::make_unique<httplib::Server>();
    }
    // The library's own socket options let a second process bind the same port (SO_REUSEPORT),
    // and it listens with a backlog of 5, which drops connections when a page load and a few
    // browsers connect at once. Its listening socket is set up here instead: SO_REUSEADDR only,
    // and a backlog of kBacklog once bound.
    int listener = -1;
    svr->set_socket_options([&listener](int fd) {
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listener = fd;
    });
    int port = settings.port;
    const bool bound = port == 0 ? (port = svr->bind_to_any_port(settings.host)) > 0
                                 : svr->bind_to_port(settings.host, port);
    if (bound && ::listen(listener, kBacklog) != 0) {
        std::fprintf(stderr, "kor_webui: listen: %s\n", std::strerror(errno));
        return 1;
    }
    if (!bound) {
        std::fprintf(stderr, "kor_webui: cannot listen on %s:%d: %s\n", settings.host.c_str(),
                     settings.port, std::strerror(errno));
        return 1;
    }

    if (const int rc = zeb_service_initialize(settings.channel.c_str()); rc != 0) {
        std::fprintf(stderr, "kor_webui: cannot bind bus channel %s: %s\n",
                     settings.channel.c_str(),
                     rc == -EADDRINUSE ? "already taken by another process" : std::strerror(-rc));
        return 1;
    }

    kor_webui::Picture picture;
    kor_webui::Broadcaster stream;
    kor_webui::Sessions sessions(settings.password_hash);
    std::atomic<bool> stop{false};
    Context ctx{settings, picture, stream, sessions, tls};
    // Every event stream holds a worker: room for all of them and the other requests.
    // (The library takes ownership of the pool it is handed.)
    svr->new_task_queue = [] {
        return new httplib::ThreadPool(kor_webui::Broadcaster::kMaxClients + 8);
    };
    add_routes(*svr, picture);
    add_control_routes(*svr, ctx);

    std::thread bus([&] {
        bus_loop(settings, picture, stream, stop);
        svr->stop();
    });
    std::thread waiter([&] {
        for (;;) {
            int sig = 0;
            if (sigwait(&signals, &sig) == 0 && sig != SIGPIPE) {
                break;
            }
        }
        stop = true;
        stream.close_all();
        svr->stop();
    });

    std::printf("kor_webui: listening on %s://%s:%d\n", tls ? "https" : "http",
                settings.host.c_str(), port);
    std::fflush(stdout);
    svr->listen_after_bind();

    stop = true;
    stream.close_all();
    bus.join();
    // The waiter ends on a signal only: send it one when the bus ended the serving.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    zeb_service_uninitialize();
    return 0;
}
