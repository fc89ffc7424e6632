// End-to-end rig of the oven manager; see oven_process.hpp.
#include "oven_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "zeb_bus.hpp"
#include "zeb_common.h"

extern char **environ;

namespace kor_test {

namespace {

namespace fs = std::filesystem;

BusEvent to_bus_event(const zeb_event_t &ev) {
    BusEvent out;
    out.name = ev.name != nullptr ? ev.name : "";
    out.format = ev.format != nullptr ? ev.format : "";
    out.sender = ev.sender != nullptr ? ev.sender : "";
    if (ev.data != nullptr && ev.length > 0) {
        const auto *bytes = static_cast<const uint8_t *>(ev.data);
        out.data.assign(bytes, bytes + ev.length);
    }
    out.at = std::chrono::steady_clock::now();
    return out;
}

constexpr int kReceivePollMs = 50;

}  // namespace

// ---- BusEvent ----

int32_t BusEvent::int_at(std::size_t index) const {
    if ((index + 1) * 4 > data.size()) {
        return INT32_MIN;
    }
    int32_t value = 0;
    std::memcpy(&value, data.data() + index * 4, sizeof value);
    return value;
}

std::string BusEvent::text() const {
    const auto nul = std::find(data.begin(), data.end(), uint8_t{0});
    return std::string(data.begin(), nul);
}

// ---- EventLog ----

void EventLog::push(BusEvent event) {
    {
        std::lock_guard guard(lock_);
        events_.push_back(std::move(event));
    }
    changed_.notify_all();
}

std::size_t EventLog::size() const {
    std::lock_guard guard(lock_);
    return events_.size();
}

std::vector<BusEvent> EventLog::since(std::size_t from) const {
    std::lock_guard guard(lock_);
    if (from >= events_.size()) {
        return {};
    }
    return std::vector<BusEvent>(events_.begin() + static_cast<std::ptrdiff_t>(from),
                                 events_.end());
}

std::vector<BusEvent> EventLog::named(const std::string &name, std::size_t from) const {
    std::vector<BusEvent> out;
    for (auto &ev : since(from)) {
        if (ev.name == name) {
            out.push_back(std::move(ev));
        }
    }
    return out;
}

std::optional<BusEvent> EventLog::wait(const std::string &name, const EventPredicate &pred,
                                       Millis timeout, std::size_t *cursor) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t next = cursor != nullptr ? *cursor : 0;
    std::unique_lock guard(lock_);
    for (;;) {
        for (; next < events_.size(); ++next) {
            const BusEvent &ev = events_[next];
            if ((name.empty() || ev.name == name) && (!pred || pred(ev))) {
                if (cursor != nullptr) {
                    *cursor = next + 1;
                }
                return ev;
            }
        }
        if (changed_.wait_until(guard, deadline) == std::cv_status::timeout &&
            next >= events_.size()) {
            return std::nullopt;
        }
    }
}

std::string EventLog::dump(std::size_t from, std::size_t max) const {
    const auto events = since(from);
    std::string out;
    const std::size_t first = events.size() > max ? events.size() - max : 0;
    for (std::size_t i = first; i < events.size(); ++i) {
        out += "  [" + std::to_string(from + i) + "] " + events[i].name;
        for (std::size_t k = 0; k < events[i].ints() && k < 12; ++k) {
            out += " " + std::to_string(events[i].int_at(k));
        }
        out += "\n";
    }
    return out;
}

// ---- UiClient ----

UiClient::~UiClient() {
    close();
}

bool UiClient::open(const std::string &channel) {
    if (zeb_service_initialize(channel.c_str()) != 0) {
        return false;
    }
    channel_ = channel;
    stop_ = false;
    receiver_ = std::thread([this] {
        while (!stop_) {
            zeb_event_t *ev = nullptr;
            const int rc = zeb_service_wait_event_timeout(&ev, kReceivePollMs);
            if (rc == 0 && ev != nullptr) {
                events.push(to_bus_event(*ev));
                zeb_service_free_event(ev);
            } else if (rc < 0) {
                break;
            }
        }
    });
    return true;
}

void UiClient::close() {
    if (receiver_.joinable()) {
        stop_ = true;
        receiver_.join();
    }
    if (!channel_.empty()) {
        zeb_service_uninitialize();
        channel_.clear();
    }
}

int UiClient::send(const std::string &target, const std::string &event, const std::string &format,
                   const void *data, std::size_t length) {
    return zeb_service_send_event(target.c_str(), event.c_str(), format.c_str(), data,
                                  static_cast<int32_t>(length));
}

int UiClient::send_ints(const std::string &target, const std::string &event,
                        const std::vector<int32_t> &values) {
    std::string format;
    for (std::size_t i = 0; i < values.size(); ++i) {
        format += (i == 0 ? "" : " ") + std::string("4s1 v") + std::to_string(i + 1);
    }
    return send(target, event, format, values.empty() ? nullptr : values.data(),
                values.size() * sizeof(int32_t));
}

// ---- ChannelListener ----

ChannelListener::ChannelListener() = default;

ChannelListener::~ChannelListener() {
    close();
}

bool ChannelListener::open(const std::string &channel) {
    if (zeb::BusEndpoint::open(channel.c_str(), endpoint_) != 0) {
        return false;
    }
    stop_ = false;
    receiver_ = std::thread([this] {
        while (!stop_) {
            zeb_event_t *ev = nullptr;
            const int rc = endpoint_->wait_event(&ev, kReceivePollMs);
            if (rc == 0 && ev != nullptr) {
                events.push(to_bus_event(*ev));
                zeb_service_free_event(ev);
            } else if (rc < 0) {
                break;
            }
        }
    });
    return true;
}

int ChannelListener::send(const std::string &target, const std::string &event,
                          const std::string &format, const void *data, std::size_t length) {
    if (!endpoint_) {
        return -ENOTCONN;
    }
    return endpoint_->send_event(target.c_str(), event.c_str(), format.c_str(), data,
                                 static_cast<int32_t>(length));
}

void ChannelListener::close() {
    if (receiver_.joinable()) {
        stop_ = true;
        receiver_.join();
    }
    if (endpoint_) {
        endpoint_->shutdown();
        endpoint_.reset();
    }
}

// ---- ManagerProcess ----

ManagerProcess::~ManagerProcess() {
    stop(Millis(1000));
}

bool ManagerProcess::start(const std::string &folder, const std::vector<std::string> &args,
                           const std::map<std::string, std::string> &env) {
    if (pid_ > 0) {
        return false;
    }
    out_ = folder + "/mgr.out";
    err_ = folder + "/mgr.err";
    log_ = folder + "/mgr.log";
    term_signal_ = 0;

    std::vector<std::string> argv_text{bin_dir() + "/kor_oven_mgr"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        if (env.find(key) == env.end()) {
            env_text.push_back(entry);
        }
    }
    for (const auto &[key, value] : env) {
        env_text.push_back(key + "=" + value);
    }
    std::vector<char *> argv;
    for (auto &a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (auto &e : env_text) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0) {
        if (out >= 0) {
            ::close(out);
        }
        if (err >= 0) {
            ::close(err);
        }
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out);
        ::close(err);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here: a test run that dies takes the manager along.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            _exit(127);
        }
        if (!ChildUser::become()) {
            ::_exit(127);
        }
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ::close(out);
    ::close(err);
    pid_ = pid;
    return true;
}

bool ManagerProcess::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        term_signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        pid_ = -1;
        return false;
    }
    return true;
}

int ManagerProcess::wait_exit(Millis timeout) {
    if (pid_ <= 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            term_signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(Millis(5));
    }
}

void ManagerProcess::stop(Millis grace) {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    if (wait_exit(grace) == -1 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

bool ManagerProcess::kill(int sig) {
    return pid_ > 0 && ::kill(pid_, sig) == 0;
}

int ManagerProcess::open_fds() const {
    if (pid_ <= 0) {
        return -1;
    }
    std::error_code ec;
    int n = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec), end;
         !ec && it != end; it.increment(ec)) {
        ++n;
    }
    return ec ? -1 : n;
}

long ManagerProcess::resident_kib() const {
    if (pid_ <= 0) {
        return -1;
    }
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            try {
                return std::stol(line.substr(6));
            } catch (const std::exception &) {
                return -1;
            }
        }
    }
    return -1;
}

std::string ManagerProcess::stdout_text() const {
    return read_file(out_);
}

std::string ManagerProcess::stderr_text() const {
    return read_file(err_);
}

std::string ManagerProcess::log_text() const {
    return read_file(log_);
}

std::vector<std::string> ManagerProcess::log_messages() const {
    // "<date>T<time> <LEVEL> <module>: <message>"
    std::vector<std::string> out;
    std::istringstream in(log_text());
    for (std::string line; std::getline(in, line);) {
        std::size_t at = line.find(' ');
        at = at == std::string::npos ? at : line.find(' ', at + 1);
        at = at == std::string::npos ? at : line.find(": ", at + 1);
        out.push_back(at == std::string::npos ? line : line.substr(at + 2));
    }
    return out;
}

int ManagerProcess::log_count(const std::string &message) const {
    const auto lines = log_messages();
    return static_cast<int>(std::count(lines.begin(), lines.end(), message));
}

int ManagerProcess::log_count_containing(const std::string &part) const {
    int n = 0;
    for (const auto &line : log_messages()) {
        n += line.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

// ---- OvenRig ----

OvenRig::OvenRig() = default;

OvenRig::~OvenRig() {
    stop();
}

bool OvenRig::start(const Options &options) {
    options_ = options;
    bus_dir_ = scratch_.file("bus");
    config_dir_ = scratch_.file("config");
    std::error_code ec;
    fs::create_directories(bus_dir_, ec);
    fs::copy(source_dir() + "/data/config", config_dir_, fs::copy_options::recursive, ec);
    if (ec) {
        error_ = "cannot copy the configuration: " + ec.message();
        return false;
    }
    if (!options.settings.empty()) {
        std::ofstream settings(config_dir_ + "/settings", std::ios::app);
        settings << "\n";
        for (const auto &[key, value] : options.settings) {
            settings << key << " = " << value << "\n";
        }
    }
    // Programs that run as another user own the stores they rewrite, and share the bus folder
    // with this process through its group.
    ChildUser::hand_over(scratch_.path());
    ChildUser::hand_over(bus_dir_, true);
    // The bus folder of this process: the UI client, the listeners and the manager share it.
    ::setenv("ZEB_BUS_DIR", bus_dir_.c_str(), 1);

    std::vector<std::string> sim_args{"--speed", std::to_string(options.speed)};
    sim_args.insert(sim_args.end(), options.sim_args.begin(), options.sim_args.end());
    if (!sim.start(sim_args)) {
        error_ = sim.last_error();
        return false;
    }
    if (!telvo.open("zeb_telvo") || !update.open("zeb_update") || !ui.open(kUiChannel)) {
        error_ = "cannot open the bus channels in " + bus_dir_;
        return false;
    }
    if (!options.start_manager) {
        return true;
    }
    return start_manager({sim.link_path()});
}

bool OvenRig::start_manager(const std::vector<std::string> &args) {
    mgr.stop();
    std::map<std::string, std::string> env{
        {"KOR_CONFIG_DIR", config_dir_},
        {"ZEB_BUS_DIR", bus_dir_},
        {"ZEB_LOG", "file:" + scratch_.file("mgr.log")},
        {"ZEB_LOG_LEVEL", "6"},
        {"ZEB_FAULT_FILE", scratch_.file("faults")},
    };
    if (options_.cycle_ms >= 0) {
        env[kCycleEnv] = std::to_string(options_.cycle_ms);
    }
    if (options_.init_wait_ms >= 0) {
        env[kInitWaitEnv] = std::to_string(options_.init_wait_ms);
    }
    if (!mgr.start(folder(), args, env)) {
        error_ = "cannot start kor_oven_mgr";
        return false;
    }
    if (!options_.wait_started || args.empty()) {
        return true;
    }
    const std::string started = "Oven manager successfully started on " + args[0];
    if (!wait_until([&] { return !mgr.running() || mgr.log_count(started) > 0; }, Millis(10000)) ||
        !mgr.running()) {
        error_ = "kor_oven_mgr did not start\n" + diagnostics();
        return false;
    }
    return true;
}

void OvenRig::stop() {
    mgr.stop();
    ui.close();
    telvo.close();
    update.close();
    if (sim.running()) {
        sim.signal_and_wait(SIGTERM);
    }
}

int OvenRig::send(const std::string &event, const std::vector<int32_t> &values) {
    return ui.send_ints(kManagerChannel, event, values);
}

int OvenRig::send_raw(const std::string &event, const std::string &format, const void *data,
                      std::size_t length) {
    return ui.send(kManagerChannel, event, format, data, length);
}

int OvenRig::offer_firmware(const std::string &component, const std::string &path) {
    std::vector<char> data(255, 0);
    std::memcpy(data.data(), component.data(), std::min<std::size_t>(component.size(), 254));
    data.insert(data.end(), path.begin(), path.end());
    data.push_back('\0');
    return update.send(kManagerChannel, "zeb.update.firmware.available", "1s0 id 1s0 path",
                       data.data(), data.size());
}

int OvenRig::register_ui() {
    std::vector<uint8_t> data(4 + std::strlen(kUiChannel) + 1, 0);
    const int32_t value = 1;
    std::memcpy(data.data(), &value, sizeof value);
    std::memcpy(data.data() + 4, kUiChannel, std::strlen(kUiChannel));
    std::size_t cursor = ui.events.size();
    if (send_raw("zeb.varlo.register", "4s1 value 1s0 channel", data.data(), data.size()) != 0) {
        return -1;
    }
    // The synchronisation ends with the oven's state; events counted from here on are the test's.
    return ui.events.wait(e2e::kMode, Millis(10000), &cursor) ? 0 : -1;
}

int OvenRig::reg(int address) {
    const std::string answer = sim.command("get " + std::to_string(address));
    try {
        return std::stoi(answer);
    } catch (const std::exception &) {
        return -1;
    }
}

bool OvenRig::wait_reg(int address, int value, Millis timeout) {
    return wait_until([&] { return reg(address) == value; }, timeout);
}

std::string OvenRig::writes() {
    return sim.command("writes");
}

int OvenRig::board_state() {
    const std::string value = sim.status_field("oven_state");
    return value.empty() ? -1 : std::stoi(value);
}

bool OvenRig::wait_board_state(int state, Millis timeout) {
    return wait_until([&] { return board_state() == state; }, timeout);
}

void OvenRig::warm_to_target() {
    const int target = reg(56);
    sim.command("set 106 " + std::to_string(std::max(target - 2, 0)));
}

bool OvenRig::wait_log(const std::string &message, Millis timeout, bool partial) {
    return wait_until(
        [&] {
            return partial ? mgr.log_count_containing(message) > 0 : mgr.log_count(message) > 0;
        },
        timeout);
}

std::string OvenRig::diagnostics() {
    std::string log = mgr.log_text();
    if (log.size() > 6000) {
        log = "...\n" + log.substr(log.size() - 6000);
    }
    std::string out = mgr.stdout_text();
    if (out.size() > 2000) {
        out = "...\n" + out.substr(out.size() - 2000);
    }
    return "--- kor_oven_mgr stdout:\n" + out + "--- stderr:\n" + mgr.stderr_text() +
           "--- log (tail):\n" + log + "--- board writes: " +
           (sim.running() ? sim.command("writes") : std::string("(board gone)")) + "\n";
}

}  // namespace kor_test
