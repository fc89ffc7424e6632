// IO channel front end: picks a transport by the channel name and forwards every operation to it.
//
// The transport list is built once per process, on the first open: the message queue, then the
// TCP transport when its plug-in library loads and exports its entry. The plug-in stays loaded
// for the life of the process, since open channels point into it. The handles are owned by the
// caller between vix_io_open and vix_io_close.
#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "vix_io.h"

struct vix_io_channel_t {
    const vix_io_transport_t *ops;
    void *state;
};

namespace {

constexpr const char *kPluginFile = "libvixio-tcp.so";
constexpr const char *kPluginEntry = "vix_io_tcp_register";

std::once_flag list_once;
std::vector<vix_io_register_fn> transports;

// Directory this library was loaded from, so a plug-in installed beside it is found even when
// the program's own search path does not name that directory.
std::string own_directory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&vix_io_sysvmq_register), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string{} : path.substr(0, slash);
}

void *load_plugin() {
    const char *dir = std::getenv("VIX_IO_PLUGIN_DIR");
    if (dir != nullptr && dir[0] != '\0') {
        // A named directory is the only place looked at: it lets a test run without the plug-in.
        return dlopen((std::string(dir) + "/" + kPluginFile).c_str(), RTLD_NOW);
    }
    if (void *handle = dlopen(kPluginFile, RTLD_NOW)) {
        return handle;
    }
    const std::string beside = own_directory();
    if (beside.empty()) {
        return nullptr;
    }
    return dlopen((beside + "/" + kPluginFile).c_str(), RTLD_NOW);
}

void build_list() {
    try {
        transports.push_back(&vix_io_sysvmq_register);
        if (void *plugin = load_plugin()) {
            if (void *entry = dlsym(plugin, kPluginEntry)) {
                vix_io_register_fn fn;
                static_assert(sizeof fn == sizeof entry);
                std::memcpy(&fn, &entry, sizeof fn);
                transports.push_back(fn);
            } else {
                dlclose(plugin);
            }
        }
    } catch (const std::bad_alloc &) {
        // An empty list leaves every open failing rather than half a list.
        transports.clear();
    }
}

bool has_prefix(const char *name, const char *prefix) {
    return prefix != nullptr && std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

extern "C" vix_io_channel_t *vix_io_open(const char *name, int32_t mode) {
    if (name == nullptr) {
        return nullptr;
    }
    std::call_once(list_once, build_list);

    const vix_io_transport_t *chosen = nullptr;
    for (vix_io_register_fn fn : transports) {
        const vix_io_transport_t *ops = fn();
        if (ops == nullptr) {
            continue;
        }
        if (chosen == nullptr) {
            chosen = ops;  // the first transport takes names no prefix matches
        }
        if (has_prefix(name, ops->prefix)) {
            chosen = ops;
            break;
        }
    }
    if (chosen == nullptr || chosen->open == nullptr) {
        return nullptr;
    }

    std::unique_ptr<vix_io_channel_t> channel;
    try {
        channel = std::make_unique<vix_io_channel_t>();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    channel->ops = chosen;
    channel->state = chosen->open(name, mode);
    if (channel->state == nullptr) {
        return nullptr;
    }
    return channel.release();
}

extern "C" void vix_io_close(vix_io_channel_t *channel) {
    std::unique_ptr<vix_io_channel_t> owner(channel);
    if (owner && owner->ops->close != nullptr) {
        owner->ops->close(owner->state);
    }
}

extern "C" int32_t vix_io_send(vix_io_channel_t *channel, const vix_io_buffer *buffer) {
    if (channel == nullptr || channel->ops->send == nullptr) {
        return -1;
    }
    return channel->ops->send(channel->state, buffer);
}

extern "C" int32_t vix_io_receive(vix_io_channel_t *channel, vix_io_buffer **buffer) {
    if (channel == nullptr || buffer == nullptr || channel->ops->receive == nullptr) {
        return -1;
    }
    return channel->ops->receive(channel->state, buffer);
}

extern "C" int32_t vix_io_grow_buffer(vix_io_channel_t *channel, int32_t size) {
    if (channel == nullptr || channel->ops->grow_buffer == nullptr) {
        return -1;
    }
    return channel->ops->grow_buffer(channel->state, size);
}

extern "C" int32_t vix_io_max_message(vix_io_channel_t *channel) {
    if (channel == nullptr || channel->ops->max_message == nullptr) {
        return -1;
    }
    return channel->ops->max_message(channel->state);
}

extern "C" int32_t vix_io_get_error_codes(vix_io_channel_t *channel, vix_io_error_codes_t *codes) {
    if (channel == nullptr || codes == nullptr || channel->ops->get_error_codes == nullptr) {
        return -1;
    }
    return channel->ops->get_error_codes(channel->state, codes);
}

extern "C" const char *vix_io_get_error_message(int32_t code) {
    switch (code) {
        case VIX_IO_ERROR_UNKNOWN:
            return "Unknown error";
        case VIX_IO_ERROR_NO_MEMORY:
            return "Out of memory";
        case VIX_IO_ERROR_ACCESS:
            return "Access error";
        case VIX_IO_ERROR_QUEUE_EMPTY:
            return "Message queue empty";
        case VIX_IO_ERROR_QUEUE_FULL:
            return "Message queue full";
        case VIX_IO_ERROR_TIMEOUT:
            return "Timeout occurred";
        default:
            return "No error";
    }
}
