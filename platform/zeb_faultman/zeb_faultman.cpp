// Fault manager: the process's record of which numbered faults are raised, with the text and the
// time of each. Every change is logged and, when $ZEB_FAULT_FILE names a file, the whole list of
// raised faults is rewritten there atomically (zeb_store_file), so a reader such as a service
// tool never sees half a list. The list is written once at start as well, so faults of an earlier
// run do not linger in it.
#include "zeb_faultman.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zeb_store_file.hpp"

namespace {

constexpr const char *kModule = "zeb_faultman";
constexpr int32_t kMaxFaults = 65535;

struct Fault {
    bool raised = false;
    int64_t raised_at = 0;  // wall-clock seconds
    std::string description;
};

std::string utc_stamp(int64_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// The list is one line per fault, so a description may not break a line or a field.
std::string one_line(const char *text) {
    std::string out = text != nullptr ? text : "";
    for (char &c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    return out;
}

}  // namespace

struct zeb_faultman {
    static constexpr uint32_t kMagic = 0x7a66616d;
    uint32_t magic = kMagic;
    std::mutex lock;
    std::vector<Fault> faults;  // fault n at index n - 1
    std::string list_path;      // empty: no list file
    zeb_logger_t *logger = nullptr;

    ~zeb_faultman() { zeb_logger_close(logger); }

    bool known(int32_t fault) const {
        return fault >= 1 && static_cast<std::size_t>(fault) <= faults.size();
    }

    // Called with the lock held, so the file always shows the latest state.
    int write_list() {
        if (list_path.empty()) {
            return 0;
        }
        std::string text;
        for (std::size_t i = 0; i < faults.size(); ++i) {
            if (faults[i].raised) {
                text += std::to_string(i + 1) + '\t' + utc_stamp(faults[i].raised_at) + '\t' +
                        faults[i].description + '\n';
            }
        }
        int rc = zeb::store::write_file_atomically(list_path, text);
        if (rc != 0) {
            zeb_logger_log(logger, ZEB_LOG_ERR, kModule,
                           "Writing the fault list to %s FAILED! Error: %d", list_path.c_str(), rc);
        }
        return rc;
    }
};

namespace {

bool usable(const zeb_faultman_t *handle) {
    return handle != nullptr && handle->magic == zeb_faultman::kMagic;
}

}  // namespace

extern "C" int zeb_faultman_init(int32_t count, zeb_faultman_t **handle) {
    if (handle == nullptr || count < 1 || count > kMaxFaults) {
        return -EINVAL;
    }
    auto manager = std::make_unique<zeb_faultman>();
    if (int rc = zeb_logger_open(&manager->logger); rc != 0) {
        return rc;
    }
    manager->faults.resize(static_cast<std::size_t>(count));
    if (const char *path = std::getenv("ZEB_FAULT_FILE"); path != nullptr) {
        manager->list_path = path;
    }
    // A list that cannot be written is logged; the oven still needs its fault manager, and the
    // next change tries the file again.
    manager->write_list();
    *handle = manager.release();
    return 0;
}

extern "C" int zeb_faultman_check(zeb_faultman_t *handle, int32_t fault) {
    if (!usable(handle)) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    if (!handle->known(fault)) {
        return -EINVAL;
    }
    return handle->faults[static_cast<std::size_t>(fault) - 1].raised ? 1 : 0;
}

extern "C" int zeb_faultman_set(zeb_faultman_t *handle, zeb_logger_t *logger, const char *module,
                                int32_t fault, const char *description) {
    if (!usable(handle)) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    if (!handle->known(fault)) {
        return -EINVAL;
    }
    Fault &f = handle->faults[static_cast<std::size_t>(fault) - 1];
    if (f.raised) {
        return 0;  // still the same fault, raised when it first came
    }
    f.raised = true;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    f.raised_at = now.tv_sec;
    f.description = one_line(description);
    zeb_logger_log(logger != nullptr ? logger : handle->logger, ZEB_LOG_WARNING,
                   module != nullptr ? module : kModule, "Fault %d raised: %s", fault,
                   f.description.c_str());
    return handle->write_list();
}

extern "C" int zeb_faultman_clear(zeb_faultman_t *handle, int32_t fault) {
    if (!usable(handle)) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    if (!handle->known(fault)) {
        return -EINVAL;
    }
    Fault &f = handle->faults[static_cast<std::size_t>(fault) - 1];
    if (!f.raised) {
        return 0;
    }
    zeb_logger_log(handle->logger, ZEB_LOG_INFO, kModule, "Fault %d cleared: %s", fault,
                   f.description.c_str());
    f = Fault{};
    return handle->write_list();
}

extern "C" int zeb_faultman_uninit(zeb_faultman_t *handle) {
    if (!usable(handle)) {
        return -EINVAL;
    }
    {
        std::lock_guard<std::mutex> guard(handle->lock);
        handle->magic = 0;
    }
    std::unique_ptr<zeb_faultman> owner(handle);
    return 0;
}
