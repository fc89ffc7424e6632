// kor_fleet_agent: the command line, the configuration, the signals, and the agent's loop.
#include <malloc.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "kor_fleet_agent.hpp"
#include "kor_fleet_config.hpp"
#include "zeb_logger.h"

namespace {

struct LoggerCloser {
    void operator()(zeb_logger_t *log) const { zeb_logger_close(log); }
};

int usage(const char *why) {
    std::fprintf(stderr, "kor_fleet_agent: %s\nTry kor_fleet_agent --help.\n", why);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    // Firmware offers are the agent's only large blocks, and its memory must come back after
    // each. glibc raises its mmap threshold to the size of every large block freed, so from the
    // second offer on they came from the heaps; and the MQTT thread's blocks sat in a heap of its
    // own, whose free top a trim does not give back. A fixed threshold keeps large blocks mapped
    // apart, and one heap for the agent's few threads lets the trim after an offer reach it all.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    mallopt(M_ARENA_MAX, 1);
    const char *config_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kor_fleet::kHelpText, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("kor_fleet_agent %s\n", kor_fleet::kVersion);
            return 0;
        }
        if (a == "--config" && i + 1 < argc) {
            config_path = argv[++i];
        } else if (a.rfind("--config=", 0) == 0) {
            config_path = argv[i] + 9;
        } else {
            return usage(("unknown argument " + std::string(a)).c_str());
        }
    }
    if (config_path == nullptr) {
        return usage("--config FILE is required");
    }
    zeb_logger_t *raw_log = nullptr;
    zeb_logger_open(&raw_log);
    std::unique_ptr<zeb_logger_t, LoggerCloser> log(raw_log);

    kor_fleet::Config config;
    std::string error;
    if (kor_fleet::load_config(config_path, config, &error) != 0) {
        zeb_logger_log(log.get(), 3, kor_fleet::kModule, "%s", error.c_str());
        return 2;
    }
    std::string password;
    if (!config.password_file.empty() &&
        kor_fleet::read_password(config.password_file, password, &error) != 0) {
        zeb_logger_log(log.get(), 3, kor_fleet::kModule, "%s", error.c_str());
        return 2;
    }

    // Every thread starts with these blocked; one thread takes them with sigwait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    kor_fleet::Agent agent(std::move(config), std::move(password), log.get());
    if (agent.start() != 0) {
        return 1;
    }
    std::thread signals([&] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        zeb_logger_log(log.get(), 6, kor_fleet::kModule, "Stopping on signal %d", sig);
        agent.request_stop();
    });
    agent.run();
    signals.join();
    return 0;
}
