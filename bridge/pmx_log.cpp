// The bridges' log file (see pmx_log.h). Owns the one open log stream and the lock that keeps the
// lines of the bridge's threads whole.
#include "pmx_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex log_lock;
std::FILE *log_file = nullptr;

}  // namespace

extern "C" int pmx_log_open(const char *path) {
    std::lock_guard lock(log_lock);
    if (log_file != nullptr) {
        std::fclose(log_file);
        log_file = nullptr;
    }
    if (path == nullptr) {
        return -1;
    }
    log_file = std::fopen(path, "we");
    return log_file != nullptr ? 0 : -1;
}

extern "C" void pmx_log_close(void) {
    std::lock_guard lock(log_lock);
    if (log_file != nullptr) {
        std::fclose(log_file);
        log_file = nullptr;
    }
}

extern "C" void pmx_printf(const char *format, ...) {
    if (format == nullptr) {
        return;
    }
    std::lock_guard lock(log_lock);
    if (log_file == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(log_file, format, args);
    va_end(args);
    std::fputc('\n', log_file);
    std::fflush(log_file);
}
