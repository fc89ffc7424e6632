// Fuzz target: the oven manager's request dispatch. The input is first taken as one encoded bus
// message; when it decodes, its name, format, sender and data become the event handed to
// kor_oven_dispatch_event exactly as the request loop would. An input that does not decode is
// used the quick way instead: its first byte picks one of the known request names and the rest
// is the data, so the fuzzer reaches every handler without having to build a whole message.
//
// The process-wide handles are set up once against the recording fake link and a scratch copy of
// the repository's configuration directory (handlers write settings back), with no bus: the
// notifications the handlers send simply fail.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fake_link.hpp"
#include "fuzz_scratch.hpp"
#include "kor_oven_mgr.h"
#include "vix_io.h"

namespace {

constexpr const char *kRequestNames[] = {
    "zeb.varlo.register",
    "zeb.varlo.set_target_temperature",
    "zeb.varlo.set_belt_cook_time",
    "zeb.varlo.set_target_fan_speed",
    "zeb.varlo.photo_cell_enable",
    "zeb.varlo.power_onoff",
    "zeb.varlo.serial_number_changed",
    "zeb.varlo.menu_preset_changed",
    "zeb.varlo.config_setting_changed",
    "zeb.varlo.factory_reset_start",
    "zeb.varlo.factory_reset_end",
    "zeb.update.firmware.available",
    "zeb.varlo.idle_mode_onoff",
    "zeb.varlo.demo_mode_onoff",
};
constexpr std::size_t kRequestCount = sizeof kRequestNames / sizeof kRequestNames[0];

// The fake link records every call; it is replaced every kLinkLifetime inputs so its record
// does not grow without bound.
constexpr int kLinkLifetime = 20000;
std::unique_ptr<kor_test::FakeLink> g_link;
int g_inputs = 0;

void open_link() {
    g_link = std::make_unique<kor_test::FakeLink>();
    if (kor_modbus_init(&modbus, "fake", 1, 100, 10, 1, 0, g_link->table()) != 0) {
        std::fputs("fuzz_bus_dispatch: set-up failed: link\n", stderr);
        std::abort();
    }
}

void renew_link() {
    kor_modbus_free(modbus);
    modbus = nullptr;
    g_link.reset();
    open_link();
}

// Copies the repository's configuration directory into a fresh scratch directory.
std::string scratch_config() {
    const std::string dir = kor_fuzz::scratch_dir("kor_fuzz_dispatch");
    std::filesystem::copy(KOR_SOURCE_DIR "/data/config", dir,
                          std::filesystem::copy_options::recursive);
    return dir;
}

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_bus_dispatch: set-up failed: %s\n", what);
        std::abort();
    }
}

// Dispatches one event whose data buffer holds exactly the given bytes, so a read past the data
// shows under the address sanitizer.
void dispatch(const char *name, const char *format, const char *sender, const uint8_t *data,
              std::size_t size) {
    std::string name_copy = name;
    std::string format_copy = format;
    std::string sender_copy = sender;
    std::unique_ptr<uint8_t[]> data_copy;
    if (size > 0) {
        data_copy = std::make_unique<uint8_t[]>(size);
        std::memcpy(data_copy.get(), data, size);
    }
    zeb_event_t event{};
    event.name = name_copy.data();
    event.format = format_copy.data();
    event.sender = sender_copy.data();
    event.data = data_copy.get();
    event.length = static_cast<int32_t>(size);
    kor_oven_dispatch_event(&event);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string dir = scratch_config();
    ::setenv("KOR_CONFIG_DIR", dir.c_str(), 1);
    ::setenv("KOR_INIT_WAIT_MS", "0", 1);
    ::setenv("ZEB_BUS_DIR", dir.c_str(), 1);
    ::setenv("ZEB_LOG", "file:/dev/null", 1);
    require(zeb_logger_open(&logger) == 0, "logger");
    require(kor_load_oven_config(dir.c_str(), logger) == 0, "configuration");
    oven_config_t config{};
    require(kor_get_oven_config(&config) == 0, "configuration copy");
    require(kor_initialize_operation_state(&config) == 0, "operation state");
    require(kor_srv_init(&oven_operation_srv) == 0, "operation service");
    open_link();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, std::size_t size) {
    if (size > ZEB_MAX_EVENT_SIZE) {
        return -1;  // the bus never delivers more
    }
    // The decoder is given its own copy: it may only read the used bytes.
    std::vector<char> message(bytes, bytes + size);
    vix_io_buffer view{message.data(), static_cast<int32_t>(size), static_cast<int32_t>(size)};
    char *sender = nullptr;
    char *name = nullptr;
    char *format = nullptr;
    void *data = nullptr;
    const int32_t length = vix_io_unserialize(&view, &sender, &name, &format, &data);
    if (length >= 0) {
        dispatch(name, format, sender, static_cast<const uint8_t *>(data),
                 static_cast<std::size_t>(length));
    } else if (size > 0) {
        dispatch(kRequestNames[bytes[0] % kRequestCount], "", "", bytes + 1, size - 1);
    }
    if (++g_inputs % kLinkLifetime == 0) {
        renew_link();
    }
    return 0;
}
