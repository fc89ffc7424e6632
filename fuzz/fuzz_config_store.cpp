// Fuzz target: the configuration store's file parser and the oven configuration loader. The input
// becomes a scratch store file; the store is opened and a set of keys read as text, integer and
// float, one key is written and read back; then the input becomes the settings file of a scratch
// configuration directory that kor_load_oven_config loads.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_scratch.hpp"
#include "kor_oven_config.h"
#include "zeb_config.h"
#include "zeb_logger.h"

namespace {

std::string g_dir;
std::string g_store;
std::string g_settings_dir;
zeb_logger_t *g_logger = nullptr;

constexpr const char *kKeys[] = {
    "oven_model",
    "serial_number",
    "num_blowers",
    "num_belts",
    "inverter_hz_min",
    "belt_shaft_1",
    "belt_length",
    "heating_active_probes",
    "customer_name",
    "hz_rpm_offset",
    "a",
    "",
    "#comment",
    "key with blanks",
    "blower_pos_1",
    "photoeye_enable",
};

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_config_store: %s\n", what);
        std::abort();
    }
}

bool write_file(const std::string &path, const uint8_t *bytes, std::size_t size) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(bytes, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void store(const uint8_t *bytes, std::size_t size) {
    if (!write_file(g_store, bytes, size)) {
        return;
    }
    zeb_config_t *handle = nullptr;
    if (zeb_config_open(g_store.c_str(), &handle) != 0) {
        return;
    }
    for (const char *key : kKeys) {
        char *text = nullptr;
        if (zeb_config_get_string(handle, key, &text) == 0) {
            check(text != nullptr, "a found key without its text");
            std::free(text);
        }
        int32_t i = 0;
        (void)zeb_config_get_int(handle, key, &i);
        float f = 0;
        (void)zeb_config_get_float(handle, key, &f);
    }
    // One write, read back through the same handle.
    if (zeb_config_set_string(handle, "serial_number", "KB24-FUZZ") == 0) {
        char *text = nullptr;
        check(zeb_config_get_string(handle, "serial_number", &text) == 0 && text != nullptr &&
                  std::strcmp(text, "KB24-FUZZ") == 0,
              "a written key did not read back");
        std::free(text);
    }
    zeb_config_close(handle);
}

void loader(const uint8_t *bytes, std::size_t size) {
    if (!write_file(g_settings_dir + "/settings", bytes, size)) {
        return;
    }
    if (kor_load_oven_config(g_settings_dir.c_str(), g_logger) == 0) {
        oven_config_t config{};
        check(kor_get_oven_config(&config) == 0, "no configuration copy after a load");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_dir = kor_fuzz::scratch_dir("kor_fuzz_config");
    g_store = g_dir + "/store";
    g_settings_dir = g_dir + "/oven";
    check(::mkdir(g_settings_dir.c_str(), 0700) == 0, "no settings directory");
    ::setenv("ZEB_LOG", "file:/dev/null", 1);
    check(zeb_logger_open(&g_logger) == 0, "no logger");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, std::size_t size) {
    if (size > 65536) {
        return -1;
    }
    store(bytes, size);
    loader(bytes, size);
    return 0;
}
