// Configuration store: one handle owns the picture of its file as it was at open, plus its own
// writes. A write starts again from the file on disk, not from that picture, so a key that
// another handle wrote in the meantime is not lost; writes of the whole process go one at a time
// for the same reason. The text format and the atomic rewrite live in zeb_store_file.
#include "zeb_config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "zeb_store_file.hpp"

namespace store = zeb::store;

struct zeb_config {
    static constexpr uint32_t kMagic = 0x7a636667;
    uint32_t magic = kMagic;
    std::mutex lock;
    std::string path;
    store::StoreFile view;
};

namespace {

// Serialises read-modify-write cycles of every handle in the process; taken after a handle's own
// lock, never before it.
std::mutex write_lock;

bool usable(const zeb_config_t *handle) {
    return handle != nullptr && handle->magic == zeb_config::kMagic;
}

int lookup(zeb_config_t *handle, const char *key, std::string &out) {
    if (!usable(handle) || key == nullptr) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    auto value = handle->view.get(key);
    if (!value) {
        return -ENOENT;
    }
    out.assign(*value);
    return 0;
}

}  // namespace

extern "C" const char *zeb_config_open_error_text(int rc) {
    switch (rc) {
        case -EINVAL:
            return "not a regular file";
        case -EFBIG:
            return "larger than 16 MiB";
        default:
            return std::strerror(-rc);
    }
}

extern "C" int zeb_config_open(const char *path, zeb_config_t **handle) {
    if (path == nullptr || *path == '\0' || handle == nullptr) {
        return -EINVAL;
    }
    std::string text;
    if (int rc = store::read_file(path, text); rc != 0) {
        return rc;
    }
    auto config = std::make_unique<zeb_config>();
    config->path = path;
    config->view = store::StoreFile::parse(text);
    *handle = config.release();
    return 0;
}

extern "C" int zeb_config_get_string(zeb_config_t *handle, const char *key, char **value) {
    if (value == nullptr) {
        return -EINVAL;
    }
    std::string text;
    if (int rc = lookup(handle, key, text); rc != 0) {
        return rc;
    }
    auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy == nullptr) {
        return -ENOMEM;
    }
    std::memcpy(copy, text.c_str(), text.size() + 1);
    *value = copy;
    return 0;
}

extern "C" int zeb_config_get_int(zeb_config_t *handle, const char *key, int32_t *value) {
    if (value == nullptr) {
        return -EINVAL;
    }
    std::string text;
    if (int rc = lookup(handle, key, text); rc != 0) {
        return rc;
    }
    return store::parse_int32(text, *value);
}

extern "C" int zeb_config_get_float(zeb_config_t *handle, const char *key, float *value) {
    if (value == nullptr) {
        return -EINVAL;
    }
    std::string text;
    if (int rc = lookup(handle, key, text); rc != 0) {
        return rc;
    }
    return store::parse_float(text, *value);
}

extern "C" int zeb_config_set_string(zeb_config_t *handle, const char *key, const char *value) {
    if (!usable(handle) || key == nullptr || value == nullptr || !store::valid_key(key) ||
        !store::valid_value(value)) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(handle->lock);
    std::lock_guard<std::mutex> writing(write_lock);
    std::string text;
    store::StoreFile current;
    if (int rc = store::read_file(handle->path, text); rc == 0) {
        current = store::StoreFile::parse(text);
    } else if (rc == -ENOENT) {
        current = handle->view;  // removed under us: put back what this handle knows
    } else {
        return rc;
    }
    current.set(key, value);
    if (int rc = store::write_file_atomically(handle->path, current.render()); rc != 0) {
        return rc;
    }
    handle->view.set(key, value);
    return 0;
}

extern "C" int zeb_config_close(zeb_config_t *handle) {
    if (!usable(handle)) {
        return -EINVAL;
    }
    handle->magic = 0;
    std::unique_ptr<zeb_config> owner(handle);
    return 0;
}
