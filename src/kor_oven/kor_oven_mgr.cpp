// The oven manager's life: the process-wide handles, the command line, the start-up sequence
// (logger, fault manager, statistics, configuration, IO board link, operation service, update and
// cloud services, bus channel, timers, operation state, IO board initialisation, polling and
// control threads, periodic timers), the request loop on the main thread, and the orderly release
// in reverse when the loop ends. Owns every process-wide handle from creation to shutdown.
//
// Stopping: SIGTERM and SIGINT are blocked in every thread and taken by one watcher thread with
// sigwait. The watcher leaves the bus (zeb_service_uninitialize), which wakes the request loop's
// wait with -ESHUTDOWN, so the process ends through the same orderly shutdown as any other end of
// the loop. A second signal while that shutdown hangs ends the process at once.
#include "kor_oven_mgr.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kor_io_board_update.h"
#include "kor_oven_telvo.h"
#include "kor_oven_watchdog.hpp"

// ---- process-wide handles ----
zeb_logger_t *logger = nullptr;
zeb_faultman_t *faultman = nullptr;
modbus_data_t *modbus = nullptr;
oven_operation_srv_t *oven_operation_srv = nullptr;
zeb_timer_service_t *timer_service = nullptr;
zeb_timer_t *telvo_timer = nullptr;
zeb_timer_t *io_board_clock_timer = nullptr;
zeb_timer_t *soak_timer = nullptr;
uint8_t demo_mode = 0;
std::mutex demo_mode_mutex;
std::mutex set_point_mutex;

namespace {

constexpr const char *kModule = "kor_oven_mgr";
constexpr int32_t kFaultCount = 28;
constexpr int32_t kSlaveId = 1;
constexpr int32_t kResponseTimeoutMs = 1500;
constexpr int32_t kPollPeriodMs = 500;
constexpr int32_t kRetryCount = 3;
constexpr int32_t kInitAttempts = 4;
// Longest wait for the start-up writes to leave the queue. A live board takes them in well under
// a second; a dead line would keep them for seconds each, and the machine-configuration read
// after the wait finds that out anyway.
constexpr int32_t kInitWritesDrainMs = 2000;
constexpr int32_t kUsageError = -22;

#define MGR_LOG(level, ...) zeb_logger_log(logger, (level), kModule, __VA_ARGS__)

__attribute__((format(printf, 1, 2))) void print_line(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// The channel start-up opened; set before the request loop starts, read-only after.
std::string g_channel = KOR_DEFAULT_CHANNEL;

// Serialises IO board (re)initialisations: the control thread and a factory reset on the main
// thread may both ask for one, and each pauses and resumes the polling around its writes.
std::mutex g_board_init_lock;

// Takes SIGTERM and SIGINT for the whole process (see the top of the file). Built before any
// other thread so that every thread inherits the blocked mask.
class SignalWatcher {
  public:
    SignalWatcher() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        thread_ = std::thread([this] { run(); });
    }
    ~SignalWatcher() {
        closing_.store(true);
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SignalWatcher(const SignalWatcher &) = delete;
    SignalWatcher &operator=(const SignalWatcher &) = delete;

    bool stop_requested() const { return requested_.load(); }
    int signal_number() const { return signal_.load(); }

  private:
    void run() {
        for (;;) {
            int sig = 0;
            if (sigwait(&set_, &sig) != 0) {
                continue;
            }
            if (closing_.load()) {
                return;
            }
            if (requested_.exchange(true)) {
                std::_Exit(128 + sig);
            }
            signal_.store(sig);
            // Wakes the request loop with -ESHUTDOWN; before the channel exists it does nothing
            // and main sees the flag before it enters the loop.
            zeb_service_uninitialize();
        }
    }

    sigset_t set_{};
    sigset_t previous_{};
    std::atomic<bool> closing_{false};
    std::atomic<bool> requested_{false};
    std::atomic<int> signal_{0};
    std::thread thread_;
};

// The oven runs without its firmware-update service: when the registration finds nobody on the
// update channel, this timer sends it again until it goes through, then clears itself.
constexpr uint32_t kUpdateRegistrationRetryMs = 10000;
std::atomic<zeb_timer_t *> g_update_registration_timer{nullptr};

void retry_update_registration(void *) {
    if (subscribe_update_service() != 0) {
        return;
    }
    MGR_LOG(ZEB_LOG_INFO, "Registered with the update service");
    if (zeb_timer_t *const timer = g_update_registration_timer.exchange(nullptr)) {
        zeb_timer_clear_timer(timer_service, timer);
    }
}

// What start-up set up, so the shutdown releases only that.
struct Acquired {
    bool stats = false;
    bool service_channel = false;
    bool operation_state = false;
};

struct tm local_now() {
    const time_t now = ::time(nullptr);
    struct tm parts {};
    localtime_r(&now, &parts);
    return parts;
}

// The six initialisation steps of one attempt; 0 when all passed, else the failing step's code.
int32_t run_init_steps(const oven_config_t *config, const operation_state_t *state) {
    int32_t err = kor_srv_set_io_board_clock_time(oven_operation_srv, modbus);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_INFO, "Unable to initialize rtc");
        return err;
    }
    err = kor_srv_init_blowers(oven_operation_srv, modbus, config);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_INFO, "Unable to initialize blowers");
        return err;
    }
    err = kor_srv_init_belts(oven_operation_srv, modbus, config);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_INFO, "Unable to initialize belts");
        return err;
    }
    // A one-belt oven has no second cook time, whatever the state still holds for it.
    err = kor_srv_set_belt_photoeye_timeout(oven_operation_srv, modbus, state->belt_cook_time[0],
                                            config->num_belts >= 2 ? state->belt_cook_time[1] : 0);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_INFO, "Unable to initialize photoeye timeout");
        return err;
    }
    err = kor_srv_init_heater(oven_operation_srv, modbus, config);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_INFO, "Unable to initialize heater");
        return err;
    }
    err = kor_srv_init_oven_status(oven_operation_srv, modbus, state->power, config);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_INFO, "Unable to initialize oven status");
    }
    return err;
}

// Start-up steps 2-25; returns 0 when the request loop may run, else the failing step's code.
int32_t start_up(const char *device, const char *channel, int32_t debug, Acquired &acquired) {
    print_line("Initializing logger\n");
    if (const int rc = zeb_logger_open(&logger); rc != 0) {
        logger = nullptr;
        print_line("Unable to open the logger\n");
        return rc;
    }
    // demo_mode_mutex is a std::mutex with static storage: it exists from here on.

    MGR_LOG(ZEB_LOG_INFO, "Initializing fault manager");
    int32_t err = zeb_faultman_init(kFaultCount, &faultman);
    if (err != 0) {
        faultman = nullptr;
        MGR_LOG(ZEB_LOG_ERR, "Unable to initialize the fault manager. Err: %d", err);
        return err;
    }

    const char *dir = kor_oven_config_dir();
    MGR_LOG(ZEB_LOG_INFO, "Initializing stats library from directory %s", dir);
    err = kor_init_stats(dir);
    if (err != 0) {
        return err;
    }
    acquired.stats = true;
    kor_oven_watch_stats_store();  // a store that cannot be written shows before the first cycle

    MGR_LOG(ZEB_LOG_INFO, "Initializing oven config from directory %s", dir);
    err = kor_load_oven_config(dir, logger);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Unable to open oven config. Err: %d", err);
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Dumping oven config to log file");
    err = kor_dump_oven_config(logger);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Unable to print oven config to log. Err: %d", err);
        print_line("Unable to print oven config to log\n");
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Initialize boot copy of oven config");
    oven_config_t config{};
    err = kor_get_oven_config(&config);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Unable to get the oven config. Err: %d", err);
        print_line("unable to get the oven config\n");
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Initializing modbus on device %s id %d", device, kSlaveId);
    err = kor_modbus_init(&modbus, device, kSlaveId, kResponseTimeoutMs, kPollPeriodMs, kRetryCount,
                          debug, nullptr);
    if (err != 0) {
        modbus = nullptr;
        MGR_LOG(ZEB_LOG_ERR, "Unable to open COM port %s. Err: %d", device, err);
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Initializing oven operation service");
    err = kor_srv_init(&oven_operation_srv);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Unable to initialize oven operation service. Err: %d", err);
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Initializing IO Board update service");
    err = kor_board_update_init();
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Unable to initialize board update API. Err: %d", err);
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Initializing telvo vellor service");
    err = kor_telvo_init();
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Unable to initialize telvo vellor service. Err: %d", err);
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Initializing service channel %s", channel);
    err = zeb_service_initialize(channel);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Unable to initialize service channel. Err: %d", err);
        print_line("Unable to initialize service channel\n");
        return err;
    }
    acquired.service_channel = true;
    g_channel = channel;

    MGR_LOG(ZEB_LOG_INFO, "Initializing update channel");
    // A send to a channel nobody has opened fails on our bus: the update service may simply not
    // be up yet. The oven does not need it to cook, so start-up goes on and a timer retries.
    err = subscribe_update_service();
    const bool update_registered = err == 0;
    if (!update_registered) {
        MGR_LOG(ZEB_LOG_WARNING, "Unable to initialize update channel. Err: %d", err);
        print_line("Unable to initialize update channel\n");
    }

    MGR_LOG(ZEB_LOG_INFO, "Initializing timer service");
    err = kor_srv_init_timer_service(oven_operation_srv, &timer_service);
    if (err != 0) {
        timer_service = nullptr;
        return err;
    }
    if (!update_registered) {
        zeb_timer_t *timer = nullptr;
        err = zeb_timer_set_interval(timer_service, &timer, kUpdateRegistrationRetryMs,
                                     retry_update_registration, nullptr, 0);
        if (err != 0) {
            MGR_LOG(ZEB_LOG_ERR, "Unable to arm the update registration timer. Err: %d", err);
            return err;
        }
        g_update_registration_timer.store(timer);
        MGR_LOG(ZEB_LOG_WARNING, "Registering with the update service again every %u s",
                kUpdateRegistrationRetryMs / 1000);
    }

    MGR_LOG(ZEB_LOG_INFO, "Initializing oven status from configuration");
    err = kor_initialize_operation_state(&config);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Unable to initialize operation state structure. Err: %d", err);
        return err;
    }
    acquired.operation_state = true;

    MGR_LOG(ZEB_LOG_INFO, "Initializing oven status structures");
    err = kor_srv_init_oven_status_structures(oven_operation_srv);
    if (err != 0) {
        return err;
    }

    operation_state_t state{};
    (void)oven_operation_srv->kor_get_operation_state(&state);
    state.power = 0;
    (void)oven_initialize_io_board(&config, &state);

    MGR_LOG(ZEB_LOG_INFO, "Initializing modbus status registers.");
    err = kor_srv_init_subscribe_registers(oven_operation_srv, modbus);
    if (err != 0) {
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Initializing modbus polling thread");
    err = kor_modbus_start_polling(modbus);
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Unable to start modbus polling thread. Err: %d", err);
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Initializing control thread");
    err = kor_oven_start_control_thread();
    if (err != 0) {
        MGR_LOG(ZEB_LOG_ERR, "Unable to create oven control thread. Err: %d", err);
        print_line("Unable to create oven control thread\n");
        return err;
    }

    (void)kor_srv_update_firmware_versions(modbus);

    MGR_LOG(ZEB_LOG_INFO, "Initializing telvo vellor timer");
    err = kor_srv_init_telvo_timer(oven_operation_srv, timer_service, &telvo_timer,
                                   kor_oven_telvo_vellor_callback);
    if (err != 0) {
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Initializing io board clock update timer");
    err =
        kor_srv_init_io_board_clock_timer(oven_operation_srv, timer_service, &io_board_clock_timer,
                                          kor_oven_io_board_clock_update_callback);
    if (err != 0) {
        return err;
    }

    MGR_LOG(ZEB_LOG_INFO, "Oven manager successfully started on %s", device);
    print_line("Oven manager successfully started on %s\n", device);
    return 0;
}

// Releases, in reverse, what start-up set up.
void shut_down(const Acquired &acquired) {
    // The control thread uses the link, the service record and the logger: it ends first.
    kor_oven_stop_control_thread();
    // The timer callbacks use the link and the logger: they stop before either goes. Stopping
    // the service releases every timer still armed.
    if (timer_service != nullptr) {
        zeb_timer_uninitialize(timer_service);
        timer_service = nullptr;
        telvo_timer = nullptr;
        io_board_clock_timer = nullptr;
        soak_timer = nullptr;
        g_update_registration_timer.store(nullptr);
    }
    if (modbus != nullptr) {
        kor_modbus_free(modbus);
        modbus = nullptr;
    }
    if (logger != nullptr) {
        MGR_LOG(ZEB_LOG_ERR, "ENCOUNTERED ERROR DURING INIT");
        zeb_logger_t *const closing = logger;
        logger = nullptr;
        zeb_logger_close(closing);
    }
    // demo_mode_mutex needs no release (static std::mutex).
    if (acquired.service_channel) {
        zeb_service_uninitialize();
    }
    if (acquired.stats) {
        kor_close_stats();
    }
    if (oven_operation_srv != nullptr) {
        kor_srv_uninitialize(oven_operation_srv);
        oven_operation_srv = nullptr;
    }
    kor_oven_free();
    if (acquired.operation_state) {
        kor_uninitialize_operation_state();
    }
    if (faultman != nullptr) {
        zeb_faultman_uninit(faultman);
        faultman = nullptr;
    }
}

const char *base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

}  // namespace

const char *kor_oven_config_dir() {
    const char *dir = std::getenv("KOR_CONFIG_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : KOR_DEFAULT_CONFIG_DIR;
}

const char *kor_oven_channel() {
    return g_channel.c_str();
}

void kor_oven_init_wait(int32_t default_ms) {
    int32_t ms = default_ms;
    if (const char *text = std::getenv("KOR_INIT_WAIT_MS"); text != nullptr && text[0] != '\0') {
        char *end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end != nullptr && *end == '\0' && value >= 0 && value <= default_ms) {
            ms = static_cast<int32_t>(value);
        }
    }
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

int32_t oven_initialize_io_board(const oven_config_t *config, const operation_state_t *state) {
    if (config == nullptr || state == nullptr) {
        MGR_LOG(ZEB_LOG_ERR, "Parameter NULL (%s:%d)", "kor_oven_mgr", __LINE__);
        return -1;
    }
    std::lock_guard serial(g_board_init_lock);
    // Only one party talks to the board while it is configured.
    kor_modbus_enable_polling(modbus, 0);
    kor_oven_init_wait(1000);

    for (int32_t attempt = 1; attempt <= kInitAttempts; ++attempt) {
        MGR_LOG(ZEB_LOG_INFO, "Start init");
        int32_t err = 0;
        {
            // The copies the caller took may be seconds old by now (the waits above): a target or
            // a power on/off the operator sent since then is what the board must get, not the
            // copies'.
            std::lock_guard order(set_point_mutex);
            oven_config_t current = *config;
            oven_config_t live{};
            if (oven_operation_srv->kor_get_oven_config(&live) == 0) {
                current.heating_set_temp = live.heating_set_temp;
            }
            operation_state_t current_state = *state;
            operation_state_t live_state{};
            if (oven_operation_srv->kor_get_operation_state(&live_state) == 0) {
                current_state.power = live_state.power;
            }
            err = run_init_steps(&current, &current_state);
        }
        // The steps only queue their writes; the board's answer means something only once they
        // have all gone out, and then the board takes a moment to apply them.
        if (kor_modbus_wait_writes(modbus, kInitWritesDrainMs) != 0) {
            MGR_LOG(ZEB_LOG_WARNING, "Board writes still queued after %d ms", kInitWritesDrainMs);
        }
        kor_oven_init_wait(500);
        if (err == 0) {
            uint16_t machine_config = 0;
            if (kor_oven_get_machine_config(modbus, &machine_config) != 0) {
                MGR_LOG(ZEB_LOG_INFO, "Unable to query machine config");
                err = -1;
            } else if (machine_config == 0 || machine_config == 0xFFFF) {
                // The board has not taken its configuration.
                MGR_LOG(ZEB_LOG_INFO, "IO Board failed to initialize, attempt: %d", attempt);
                err = -1;
            }
        }
        MGR_LOG(ZEB_LOG_INFO, "End init, %d attempts", attempt);
        if (err == 0) {
            break;
        }
    }

    kor_oven_init_wait(1000);
    kor_modbus_enable_polling(modbus, 1);
    // The outcome reaches only the log: the control thread notices a board that is missing or
    // not configured and deals with it.
    return 0;
}

int32_t oven_reinitialize_io_board() {
    const struct tm start = local_now();
    MGR_LOG(ZEB_LOG_INFO, "Start re-init: %02d:%02d:%02d", start.tm_hour, start.tm_min,
            start.tm_sec);
    operation_state_t state{};
    (void)oven_operation_srv->kor_get_operation_state(&state);

    const char *dir = kor_oven_config_dir();
    oven_config_t config{};
    bool have_copy = false;
    if (kor_reload_oven_config(dir, logger) == 0 && kor_dump_oven_config(logger) == 0 &&
        oven_operation_srv->kor_get_oven_config(&config) == 0) {
        have_copy = true;
        kor_reinitialize_operation_state(&config);
    }
    if (!have_copy) {
        // The board still needs a configuration: the record as it stands now.
        (void)oven_operation_srv->kor_get_oven_config(&config);
    }
    (void)oven_initialize_io_board(&config, &state);

    const struct tm end = local_now();
    MGR_LOG(ZEB_LOG_INFO, "End re-init: %02d:%02d:%02d", end.tm_hour, end.tm_min, end.tm_sec);
    MGR_LOG(ZEB_LOG_INFO, "Re-initialized IO Board successfully.");
    return 0;
}

int kor_oven_mgr_main(int argc, char **argv) {
    int32_t result = 0;
    if (argc < 2 || argv[1] == nullptr) {
        print_line("Usage: %s com_device (e.g. /dev/ttyUSB0) [tablo_io_channel]\n",
                   base_name(argc > 0 && argv[0] != nullptr ? argv[0] : "kor_oven_mgr"));
        result = kUsageError;
        print_line("main: exit code %d\n", result);
        return result;
    }
    const char *device = argv[1];
    const char *channel = argc > 2 ? argv[2] : KOR_DEFAULT_CHANNEL;
    const int32_t debug = argc > 3 ? std::atoi(argv[3]) : 0;

    Acquired acquired;
    {
        SignalWatcher signals;
        result = start_up(device, channel, debug, acquired);
        if (result == 0) {
            // Started: the service manager may now order the units that wait for us.
            kor_oven_watchdog_ready(device);
            if (signals.stop_requested()) {
                result = -ESHUTDOWN;
            } else {
                result = process_client_requests(logger);
            }
            if (signals.stop_requested()) {
                // A stop that found the loop busy with an event ends it with -ENOTCONN (the bus
                // was already left); the service manager must see the same regular stop status
                // however the signal fell.
                result = -ESHUTDOWN;
                MGR_LOG(ZEB_LOG_INFO, "Signal %d received, shutting down", signals.signal_number());
            }
        }
        kor_oven_watchdog_stopping();
        shut_down(acquired);
    }
    print_line("main: exit code %d\n", result);
    return result;
}
