// End-to-end rig of the oven manager: the virtual IO board, kor_oven_mgr as a real process on its
// pseudo-terminal with a scratch configuration and a scratch bus folder, a UI client on the bus
// (this process's own channel), and listeners in the places of the cloud service ("zeb_telvo")
// and the firmware-update service ("zeb_update"). Everything received is kept with its time, so
// a test waits for an event by name and predicate instead of sleeping through periods.
//
// Owns every process it starts: the destructor stops the manager (SIGTERM, then SIGKILL) and the
// board, also when a test fails half-way; the children get SIGTERM if this process dies.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.hpp"
#include "sim_process.hpp"

namespace zeb {
class BusEndpoint;
}

namespace kor_test {

using Millis = std::chrono::milliseconds;

// The manager's test-only knobs: its fixed waits of the board initialisation and factory reset,
// and the control thread's sleep.
inline constexpr const char *kInitWaitEnv = "KOR_INIT_WAIT_MS";
inline constexpr const char *kCycleEnv = "KOR_CYCLE_MS";

// The manager's board-initialisation waits give a real board time to settle and to apply its
// configuration. The manager itself waits for its queued start-up writes to reach the board before
// it reads it back, and the virtual board applies each write before it answers, so nothing the
// tests check hangs on these waits however busy the machine: they are shortened for speed only.
// Sanitizer builds keep longer ones.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int kDefaultInitWaitMs = 250;
#else
inline constexpr int kDefaultInitWaitMs = 20;
#endif

// Events and board registers the end-to-end tests name.
namespace e2e {
inline constexpr const char *kMode = "zeb.varlo.mode_notify";
inline constexpr const char *kPowerOn = "zeb.varlo.power_on";
inline constexpr const char *kPowerOff = "zeb.varlo.power_off";
inline constexpr const char *kCooldown = "zeb.varlo.power_cooldown";
inline constexpr const char *kPreheatComplete = "zeb.varlo.preheat_complete";
inline constexpr const char *kBeltStatus = "zeb.varlo.belt_status_notify";
inline constexpr const char *kBeltCookTime = "zeb.varlo.belt_target_cook_time_notify";
inline constexpr const char *kSoakTimer = "zeb.varlo.soak_timer_notify";
inline constexpr const char *kTemperature = "zeb.varlo.temperature_notify";
inline constexpr const char *kUpdateResponse = "zeb.update.firmware.response";
inline constexpr const char *kTelvoSend = "zeb.telvo.send";

// Holding registers of the board.
inline constexpr int kRegEnable = 1;
inline constexpr int kRegMachineConfig = 2;
inline constexpr int kRegBelt2Speed = 13;
inline constexpr int kRegBlower1High = 24;
inline constexpr int kRegTarget = 56;
inline constexpr int kRegIdleKey = 86;
inline constexpr int kRegState = 99;
inline constexpr int kRegTemperature = 106;
inline constexpr int kRegSoakLeft = 121;
}  // namespace e2e

// One event as it arrived.
struct BusEvent {
    std::string name;
    std::string format;
    std::string sender;
    std::vector<uint8_t> data;
    std::chrono::steady_clock::time_point at;

    std::size_t ints() const { return data.size() / 4; }
    // The index-th 32-bit field; INT32_MIN when the data is too short.
    int32_t int_at(std::size_t index) const;
    // The data as text, up to its first NUL.
    std::string text() const;
};

using EventPredicate = std::function<bool(const BusEvent &)>;

// Events of one channel in arrival order, filled by a receiving thread.
class EventLog {
  public:
    void push(BusEvent event);
    std::size_t size() const;
    std::vector<BusEvent> since(std::size_t from) const;
    // Events called name at or after from.
    std::vector<BusEvent> named(const std::string &name, std::size_t from = 0) const;
    // Waits for the first event at index >= *cursor called name for which pred holds; on success
    // returns it and moves *cursor just past it. An empty name matches every event.
    std::optional<BusEvent> wait(const std::string &name, const EventPredicate &pred,
                                 Millis timeout, std::size_t *cursor = nullptr);
    std::optional<BusEvent> wait(const std::string &name, Millis timeout,
                                 std::size_t *cursor = nullptr) {
        return wait(name, nullptr, timeout, cursor);
    }
    // One line per event (name and integer fields), for failure messages.
    std::string dump(std::size_t from = 0, std::size_t max = 200) const;

  private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<BusEvent> events_;
};

// The test's UI client: this process's own bus channel, drained by a thread.
class UiClient {
  public:
    UiClient() = default;
    ~UiClient();
    UiClient(const UiClient &) = delete;
    UiClient &operator=(const UiClient &) = delete;

    // Opens the channel (ZEB_BUS_DIR must be set already) and starts receiving.
    bool open(const std::string &channel);
    void close();
    const std::string &channel() const { return channel_; }

    int send(const std::string &target, const std::string &event, const std::string &format,
             const void *data, std::size_t length);
    int send_ints(const std::string &target, const std::string &event,
                  const std::vector<int32_t> &values);

    EventLog events;

  private:
    std::string channel_;
    std::atomic<bool> stop_{false};
    std::thread receiver_;
};

// A second place on the bus, in the role of another service ("zeb_telvo", "zeb_update", a
// second UI).
class ChannelListener {
  public:
    ChannelListener();
    ~ChannelListener();
    ChannelListener(const ChannelListener &) = delete;
    ChannelListener &operator=(const ChannelListener &) = delete;

    bool open(const std::string &channel);
    void close();
    // Sends from this channel, so the event carries its name as the sender: a client that
    // registers itself and vanishes is played this way.
    int send(const std::string &target, const std::string &event, const std::string &format,
             const void *data, std::size_t length);

    EventLog events;

  private:
    std::unique_ptr<zeb::BusEndpoint> endpoint_;
    std::atomic<bool> stop_{false};
    std::thread receiver_;
};

// kor_oven_mgr as a child process, stdout and stderr captured to files, its log (ZEB_LOG) to a
// third.
class ManagerProcess {
  public:
    ManagerProcess() = default;
    ~ManagerProcess();
    ManagerProcess(const ManagerProcess &) = delete;
    ManagerProcess &operator=(const ManagerProcess &) = delete;

    // Starts bin_dir()/kor_oven_mgr with args; env entries are added to (or replace) the
    // environment. Files go into folder.
    bool start(const std::string &folder, const std::vector<std::string> &args,
               const std::map<std::string, std::string> &env);
    bool running();
    // Waits for the exit: its status (WEXITSTATUS), -1 on a signal or time-out.
    int wait_exit(Millis timeout);
    // SIGTERM, then SIGKILL when it does not go within the grace time.
    void stop(Millis grace = Millis(2000));

    pid_t pid() const { return pid_; }
    // Sends sig to the running manager; false when it does not run. SIGKILL plays a power cut.
    bool kill(int sig);
    // What the manager holds right now, from /proc: its open file descriptors and its resident
    // memory in KiB; -1 when it does not run or /proc cannot tell.
    int open_fds() const;
    long resident_kib() const;
    // The signal that ended it, 0 when it exited or still runs.
    int term_signal() const { return term_signal_; }
    std::string stdout_text() const;
    std::string stderr_text() const;
    // The log's messages (the text after "<module>: "), in order.
    std::vector<std::string> log_messages() const;
    int log_count(const std::string &message) const;
    int log_count_containing(const std::string &part) const;
    std::string log_text() const;
    const std::string &log_path() const { return log_; }

  private:
    pid_t pid_ = -1;
    int term_signal_ = 0;
    std::string out_;
    std::string err_;
    std::string log_;
};

// The whole rig.
class OvenRig {
  public:
    struct Options {
        int speed = 50;                     // board physics speed-up
        std::vector<std::string> sim_args;  // further board arguments
        // Lines appended to the scratch copy of the settings store (the last line of a key wins).
        std::map<std::string, std::string> settings;
        bool start_manager = true;
        bool wait_started = true;  // wait for the start-up line
        int cycle_ms = 60;         // control thread sleep; -1 keeps the production period
        int init_wait_ms =
            kDefaultInitWaitMs;  // board init and factory reset waits; -1 keeps production
    };

    static constexpr const char *kManagerChannel = "zeb_backend";
    static constexpr const char *kUiChannel = "e2e_ui";

    OvenRig();
    ~OvenRig();
    OvenRig(const OvenRig &) = delete;
    OvenRig &operator=(const OvenRig &) = delete;

    // Board, listeners, UI channel, manager; false with the reason in error().
    bool start(const Options &options);
    bool start() { return start(Options{}); }
    // Starts (or restarts) only the manager with these arguments.
    bool start_manager(const std::vector<std::string> &args);
    void stop();
    const std::string &error() const { return error_; }

    // Sends an event from the UI client to the manager.
    int send(const std::string &event, const std::vector<int32_t> &values);
    int send_raw(const std::string &event, const std::string &format, const void *data,
                 std::size_t length);
    // Registers the UI client ("zeb.varlo.register": 1 and the channel name) and waits for the
    // manager's synchronisation to end (its oven state event); -1 when it does not come.
    int register_ui();
    // Offers a firmware file as the update service does, from its channel: the component in its
    // 255-byte field, then the path.
    int offer_firmware(const std::string &component, const std::string &path);

    // Board helpers.
    int reg(int address);
    bool wait_reg(int address, int value, Millis timeout = Millis(3000));
    std::string writes();
    int board_state();
    // Waits until the board's oven reports state.
    bool wait_board_state(int state, Millis timeout);
    // Puts the cavity temperature near the target, so a preheat ends at once.
    void warm_to_target();

    // Waits for a log message of the manager (exact match, or containing with partial).
    bool wait_log(const std::string &message, Millis timeout, bool partial = false);

    const std::string &config_dir() const { return config_dir_; }
    const std::string &bus_dir() const { return bus_dir_; }
    const std::string &folder() const { return scratch_.path(); }
    std::string file(const std::string &name) const { return scratch_.file(name); }

    SimProcess sim;
    UiClient ui;
    ChannelListener telvo;
    ChannelListener update;
    ManagerProcess mgr;

    // What the rig saw, for a failing test: the manager's stdout, stderr and log tail, and the
    // board's writes.
    std::string diagnostics();

  private:
    ScratchDir scratch_;
    Options options_;
    std::string config_dir_;
    std::string bus_dir_;
    std::string error_;
};

}  // namespace kor_test
