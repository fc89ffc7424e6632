// Work of one oven control cycle, for counting its instructions under callgrind: sets up the
// oven manager's handles as the control thread finds them (configuration, operation state and
// service, fault manager, timers, the IO board link on the recording fake link with its status
// blocks polled once, a UI client on the bus), brings the board to bake, runs two warm-up cycles
// and then N cycles of kor_oven_control_cycle on the main thread.
//
// scripts/bench.sh runs it twice under `valgrind --tool=callgrind --separate-threads=yes`, with N
// and with 0 cycles, and divides the difference of the main thread's instruction counts by N:
// set-up, tear-down and the other threads (polling, writes, timers, the UI drain) fall out.
// The polling thread runs once at the start and then sleeps (its period is a minute), so every
// cycle sees the same blocks.
//
// Usage: bench_control_cycle N   (prints the cycles run and how each ended)
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "fake_link.hpp"
#include "kor_oven_control.hpp"

namespace {

// The UI's channel: a listening socket drained by its own thread, so notifications always have
// room, as with a live UI.
class UiDrain {
  public:
    explicit UiDrain(const std::string &path) : fd_(::socket(AF_UNIX, SOCK_SEQPACKET, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        ok_ = ::bind(fd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 &&
              ::listen(fd_, 4) == 0;
        if (ok_) {
            thread_ = std::thread([this] { run(); });
        }
    }
    ~UiDrain() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(fd_);
    }
    UiDrain(const UiDrain &) = delete;
    UiDrain &operator=(const UiDrain &) = delete;
    bool ok() const { return ok_; }

  private:
    void run() {
        const int conn = ::accept(fd_, nullptr, nullptr);
        if (conn < 0) {
            return;
        }
        char buffer[ZEB_MAX_EVENT_SIZE];
        timeval wait{0, 100000};
        ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        while (!stop_) {
            ::recv(conn, buffer, sizeof buffer, 0);
        }
        ::close(conn);
    }

    int fd_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int fail(const char *what) {
    std::fprintf(stderr, "bench_control_cycle: %s\n", what);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_control_cycle N\n");
        return 2;
    }
    const long cycles = std::strtol(argv[1], nullptr, 10);
    // The production level, but nothing written anywhere that costs more than a write().
    ::setenv("ZEB_LOG", "file:/dev/null", 0);
    char scratch[] = "/tmp/bench_control_cycle.XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        return fail("no scratch folder");
    }
    const std::string dir = scratch;
    ::setenv("ZEB_BUS_DIR", dir.c_str(), 1);

    int rc = 2;
    {
        UiDrain ui(dir + "/bench_ui");
        kor_test::FakeLink fake;
        oven_config_t config{};
        if (!ui.ok() || zeb_service_initialize("zeb_backend") != 0 ||
            zeb_service_register("bench_ui", 1) != 0 || zeb_logger_open(&logger) != 0) {
            return fail("cannot open the bus or the logger");
        }
        const std::string config_dir = std::string(KOR_BENCH_SOURCE_DIR) + "/../data/config";
        if (kor_load_oven_config(config_dir.c_str(), logger) != 0 ||
            kor_get_oven_config(&config) != 0 || kor_initialize_operation_state(&config) != 0 ||
            kor_srv_init(&oven_operation_srv) != 0 ||
            zeb_faultman_init(KOR_UI_FAULT_COUNT, &faultman) != 0 ||
            zeb_timer_initialize(&timer_service) != 0) {
            return fail("cannot set up the operation service");
        }
        oven_operation_srv->kor_oven_get_modbus_connection_state = []() -> int32_t { return 1; };

        // A configured board at bake, near its target.
        fake.set_register(2, 1);
        fake.set_register(99, 6);
        fake.set_register(106, 450);
        if (kor_modbus_init(&modbus, "fake", 1, 100, 60000, 3, 0, fake.table()) != 0 ||
            kor_oven_init_structures() != 0 || kor_oven_subscribe_to_register_blocks(modbus) != 0 ||
            kor_modbus_start_polling(modbus) != 0) {
            return fail("cannot open the fake link");
        }
        // The first polling round, then the thread sleeps.
        if (!fake.wait_for(kor_test::Op::ReadRegisters, 1)) {
            return fail("the polling thread never read the blocks");
        }
        int blocks = 0;
        while (fake.count(kor_test::Op::ReadRegisters) > blocks) {
            blocks = fake.count(kor_test::Op::ReadRegisters);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }

        ControlState cs;
        cs.reinitialize_io_board = []() { return int32_t{0}; };
        cs.stats_in_energy_mode = [](int32_t) { return int32_t{0}; };
        cs.stats_update_time_trackers = []() { return int32_t{0}; };
        kor_oven_control_cycle(cs);  // the transition into bake
        kor_oven_control_cycle(cs);
        long completed = 0;
        for (long i = 0; i < cycles; ++i) {
            completed += kor_oven_control_cycle(cs) == CycleEnd::completed ? 1 : 0;
        }
        std::printf("cycles %ld completed %ld blocks %d\n", cycles, completed, blocks);
        rc = completed == cycles ? 0 : 1;

        zeb_timer_uninitialize(timer_service);
        timer_service = nullptr;
        soak_timer = nullptr;
        kor_modbus_free(modbus);
        modbus = nullptr;
        kor_oven_free();
        zeb_faultman_uninit(faultman);
        faultman = nullptr;
        kor_srv_uninitialize(oven_operation_srv);
        oven_operation_srv = nullptr;
        kor_uninitialize_operation_state();
        zeb_service_uninitialize();
        zeb_logger_close(logger);
        logger = nullptr;
    }
    std::filesystem::remove_all(dir);
    return rc;
}
