// Platform logger. All handles share one process-wide output, opened on first use from the
// environment (ZEB_LOG, ZEB_LOG_LEVEL), so a module may open as many handles as it likes and
// lines from several threads never interleave inside a line. The level is checked before
// anything is formatted: suppressed debug lines cost one comparison.
//
// Messages carry text from other processes (event names, channel names, file paths), so the
// formatted message is escaped before it is written: a control byte or a byte outside printable
// ASCII becomes \n, \r, \t or \xHH, and no client can start a line of its own or put raw bytes
// into the log.
#include "zeb_logger.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

struct zeb_logger {
    int magic;
};

namespace {

constexpr int kMagic = 0x7a65626c;

enum class Output { Stderr, Syslog, File };

struct LogState {
    std::mutex lock;
    Output output = Output::Stderr;
    int max_level = ZEB_LOG_INFO;
    FILE *file = nullptr;
    zeb_logger_sink_fn sink = nullptr;
    void *sink_user = nullptr;

    LogState() {
        if (const char *lvl = std::getenv("ZEB_LOG_LEVEL"); lvl != nullptr && *lvl != '\0') {
            char *end = nullptr;
            long v = std::strtol(lvl, &end, 10);
            if (end != nullptr && *end == '\0' && v >= 0 && v <= 7) {
                max_level = static_cast<int>(v);
            }
        }
        const char *where = std::getenv("ZEB_LOG");
        if (where == nullptr || std::strcmp(where, "stderr") == 0 || *where == '\0') {
            output = Output::Stderr;
        } else if (std::strcmp(where, "syslog") == 0) {
            output = Output::Syslog;
            openlog(nullptr, LOG_PID, LOG_DAEMON);
        } else if (std::strncmp(where, "file:", 5) == 0) {
            file = std::fopen(where + 5, "ae");
            output = file != nullptr ? Output::File : Output::Stderr;
            if (file == nullptr) {
                std::fprintf(stderr, "zeb_logger: cannot open %s (%s), logging to stderr\n",
                             where + 5, std::strerror(errno));
            }
        }
    }
    ~LogState() {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
};

LogState &state() {
    static LogState s;
    return s;
}

const char *level_name(int level) {
    static const char *const names[] = {"EMERG", "ALERT",  "CRIT", "ERROR",
                                        "WARN",  "NOTICE", "INFO", "DEBUG"};
    return level >= 0 && level <= 7 ? names[level] : "LOG";
}

// True when message needs no escaping (the usual case: no copy is made).
bool printable(const char *message) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(message); *p != 0; ++p) {
        if (*p < 0x20 || *p > 0x7e) {
            return false;
        }
    }
    return true;
}

std::string escaped(const char *message) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(message); *p != 0; ++p) {
        switch (*p) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (*p < 0x20 || *p > 0x7e) {
                    out += "\\x";
                    out += kHex[*p >> 4];
                    out += kHex[*p & 0xF];
                } else {
                    out += static_cast<char>(*p);
                }
        }
    }
    return out;
}

void write_line(LogState &s, int level, const char *module, const char *message) {
    if (s.sink != nullptr) {
        s.sink(s.sink_user, level, module, message);
        return;
    }
    if (s.output == Output::Syslog) {
        syslog(level & 7, "%s: %s", module, message);
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    localtime_r(&now.tv_sec, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &parts);
    FILE *out = s.output == Output::File ? s.file : stderr;
    std::fprintf(out, "%s.%03ld %s %s: %s\n", stamp, now.tv_nsec / 1000000L, level_name(level),
                 module, message);
    std::fflush(out);
}

}  // namespace

extern "C" int zeb_logger_open(zeb_logger_t **handle) {
    if (handle == nullptr) {
        return -EINVAL;
    }
    state();  // read the environment once, before threads start logging
    auto *h = static_cast<zeb_logger_t *>(std::malloc(sizeof(zeb_logger_t)));
    if (h == nullptr) {
        return -ENOMEM;
    }
    h->magic = kMagic;
    *handle = h;
    return 0;
}

extern "C" int zeb_logger_log(zeb_logger_t *handle, int level, const char *module,
                              const char *format, ...) {
    if (handle == nullptr || handle->magic != kMagic || format == nullptr) {
        return -EINVAL;
    }
    LogState &s = state();
    if (level > s.max_level) {
        return 0;
    }
    char small[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string big;
    const char *message = small;
    if (n >= static_cast<int>(sizeof small)) {
        big.resize(static_cast<size_t>(n) + 1);
        va_start(args, format);
        std::vsnprintf(big.data(), big.size(), format, args);
        va_end(args);
        big.resize(static_cast<size_t>(n));
        message = big.c_str();
    } else if (n < 0) {
        message = format;
    }
    std::string safe;
    if (!printable(message)) {
        safe = escaped(message);
        message = safe.c_str();
    }
    module = module != nullptr ? module : "-";
    std::string safe_module;
    if (!printable(module)) {
        safe_module = escaped(module);
        module = safe_module.c_str();
    }
    std::lock_guard<std::mutex> guard(s.lock);
    write_line(s, level, module, message);
    return 0;
}

extern "C" int zeb_logger_close(zeb_logger_t *handle) {
    if (handle != nullptr) {
        handle->magic = 0;
        std::free(handle);
    }
    return 0;
}

extern "C" void zeb_logger_set_sink(zeb_logger_sink_fn sink, void *user) {
    LogState &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.sink = sink;
    s.sink_user = user;
}
