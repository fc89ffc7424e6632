// The client request loop and the UI event handlers. The loop takes one event at a time from the
// oven manager's bus channel, finds its handler by name and calls it with the fields of the
// event's data; handlers turn requests into operation-service calls, operation-state updates and
// statistics, or only into state updates in demo mode. Owns nothing: the handles belong to main.
//
// Events come from other processes, so no field is trusted: an integer is read only when the data
// holds all four of its bytes, a text only up to the end of the data, and a belt or fan number is
// checked before it becomes an index. An event that fails a check is dropped with a warning.
// Firmware offers count only from the update service's channel, and only UIs may register for
// the notifications: the manager's own channel and the services' channels are refused, or the
// manager would notify itself, or flood a service with UI events, for as long as it runs.
// Handlers are quick (a queued register write or a synchronous read at most) and the loop holds
// no lock of its own, so a flood of requests delays only itself, never the control thread.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "kor_oven_mgr.h"
#include "kor_oven_snapshot.hpp"
#include "kor_oven_telvo.h"

namespace {

using kor_mgr::belt_count;
using kor_mgr::config_copy;
using kor_mgr::kWordMax;
using kor_mgr::snapshot;
using kor_mgr::value_fits;

constexpr const char *kModule = "kor_oven_mgr";

#define MGR_LOG(level, ...) zeb_logger_log(logger, (level), kModule, __VA_ARGS__)

// Where the texts start in the events that carry them.
constexpr std::size_t kNameOffset = 4;            // register, menu preset: after one integer
constexpr std::size_t kComponentFieldSize = 255;  // firmware offer: id field, then the path

// The update service's channel: the only sender of firmware offers.
constexpr const char *kUpdateChannel = "zeb_update";

// Bounds-checked view of an event's data bytes, and its sender's channel name.
class EventData {
  public:
    explicit EventData(const zeb_event_t *event)
        : bytes_(static_cast<const char *>(event->data),
                 event->data != nullptr && event->length > 0
                     ? static_cast<std::size_t>(event->length)
                     : 0),
          sender_(event->sender != nullptr ? event->sender : "") {}

    std::size_t size() const { return bytes_.size(); }
    // The channel the sender says it sends from; "" for a sender without a channel.
    const char *sender() const { return sender_; }

    // The index-th 32-bit integer (host order), when the data holds all of it.
    bool integer(std::size_t index, int32_t *out) const {
        const std::size_t offset = index * sizeof(int32_t);
        if (offset + sizeof(int32_t) > bytes_.size()) {
            return false;
        }
        std::memcpy(out, bytes_.data() + offset, sizeof(int32_t));
        return true;
    }

    // The text starting at offset, up to its NUL, the end of a field of field_size bytes or the
    // end of the data, whichever comes first. False when the data ends before the field starts.
    bool text(std::size_t offset, std::size_t field_size, std::string *out) const {
        if (offset >= bytes_.size()) {
            return false;
        }
        const std::span<const char> field =
            bytes_.subspan(offset, std::min(field_size, bytes_.size() - offset));
        const std::size_t length = ::strnlen(field.data(), field.size());
        out->assign(field.data(), length);
        return true;
    }

  private:
    std::span<const char> bytes_;
    const char *sender_;
};

constexpr std::size_t kWholeData = static_cast<std::size_t>(-1);

bool valid_belt(int32_t belt) {
    return belt >= 1 && belt <= KOR_CONFIG_MAX_BELTS;
}
bool valid_fan(int32_t fan) {
    return fan >= 1 && fan <= KOR_CONFIG_MAX_BLOWERS;
}

// The manager's own channel and the services' channels: none of them is a UI.
bool ui_channel(const std::string &channel) {
    return channel != kor_oven_channel() && channel != kUpdateChannel &&
           channel != KOR_TELVO_CHANNEL;
}

// Each returns false when the event's data does not hold what the request needs.
bool on_register(const EventData &d) {
    int32_t value = 0;
    std::string channel;
    if (!d.integer(0, &value) || !d.text(kNameOffset, kWholeData, &channel) || channel.empty()) {
        return false;
    }
    if (!ui_channel(channel)) {
        MGR_LOG(ZEB_LOG_WARNING, "Registration of client %s refused: the channel is not a UI's",
                channel.c_str());
        return true;
    }
    // Only a client that got its place is synchronised: a refused one (a name the bus does not
    // take, no free place) would otherwise flood the registered clients with the whole state.
    if (const int rc = zeb_service_register(channel.c_str(), value); rc != 0) {
        MGR_LOG(ZEB_LOG_WARNING, "Registration of client %s refused. Err: %d", channel.c_str(), rc);
        return true;
    }
    kor_oven_register_client();
    return true;
}

bool on_target_temperature(const EventData &d) {
    int32_t temperature = 0;
    if (!d.integer(0, &temperature)) {
        return false;
    }
    kor_oven_set_target_temperature_event(temperature);
    return true;
}

bool on_belt_cook_time(const EventData &d) {
    int32_t belt = 0;
    int32_t cook_time = 0;
    if (!d.integer(0, &belt) || !d.integer(1, &cook_time) || !valid_belt(belt)) {
        return false;
    }
    kor_oven_set_belt_cook_time_event(belt, cook_time);
    return true;
}

bool on_target_fan_speed(const EventData &d) {
    int32_t fan = 0;
    int32_t percent = 0;
    if (!d.integer(0, &fan) || !d.integer(1, &percent) || !valid_fan(fan)) {
        return false;
    }
    kor_oven_set_target_fan_speed_event(fan, percent);
    return true;
}

bool on_photo_cell(const EventData &d) {
    int32_t enable = 0;
    if (!d.integer(0, &enable)) {
        return false;
    }
    kor_oven_set_photo_cell_event(enable);
    return true;
}

bool on_power(const EventData &d) {
    int32_t value = 0;
    if (!d.integer(0, &value)) {
        return false;
    }
    kor_oven_power_onoff_event(value);
    return true;
}

bool on_serial_number(const EventData &) {
    kor_oven_set_serial_number_changed_event();
    return true;
}

bool on_menu_preset(const EventData &d) {
    int32_t belt = 0;
    std::string name;
    if (!d.integer(0, &belt) || !valid_belt(belt) || !d.text(kNameOffset, kWholeData, &name)) {
        return false;
    }
    kor_oven_set_menu_preset_changed_event(belt, name.c_str());
    return true;
}

bool on_config_setting(const EventData &d) {
    int32_t setting = 0;
    int32_t value = 0;
    if (!d.integer(0, &setting) || !d.integer(1, &value)) {
        return false;
    }
    kor_oven_config_setting_changed(setting, value);
    return true;
}

bool on_factory_reset_start(const EventData &) {
    kor_oven_perform_factory_reset_prepare();
    return true;
}

bool on_factory_reset_end(const EventData &d) {
    int32_t outcome = 0;
    if (!d.integer(0, &outcome)) {
        return false;
    }
    kor_oven_perform_factory_reset(outcome);
    return true;
}

bool on_firmware_available(const EventData &d) {
    // The sender's name is what its bus client says; the bus folder's permissions decide who may
    // send at all. This still keeps a UI that forwards anything from choosing a file to flash.
    if (std::strcmp(d.sender(), kUpdateChannel) != 0) {
        MGR_LOG(ZEB_LOG_WARNING,
                "Dropping zeb.update.firmware.available from channel %s: firmware offers come "
                "from %s only",
                d.sender()[0] != '\0' ? d.sender() : "(none)", kUpdateChannel);
        return true;
    }
    std::string component;
    std::string path;
    if (!d.text(0, kComponentFieldSize, &component) ||
        !d.text(kComponentFieldSize, kWholeData, &path)) {
        return false;
    }
    kor_oven_update_io_board_firmware(component.c_str(), path.c_str());
    return true;
}

bool on_idle_mode(const EventData &d) {
    int32_t v[7] = {};
    for (std::size_t i = 0; i < 7; ++i) {
        if (!d.integer(i, &v[i])) {
            return false;
        }
    }
    kor_oven_idle_mode_onoff_event(v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
    return true;
}

bool on_demo_mode(const EventData &d) {
    int32_t value = 0;
    if (!d.integer(0, &value)) {
        return false;
    }
    kor_oven_demo_mode_event(value);
    return true;
}

struct Request {
    const char *name;
    bool needs_data;
    bool (*handle)(const EventData &);
};

// Looked up in this order; the first name that matches decides.
constexpr Request kRequests[] = {
    {"zeb.varlo.register", true, on_register},
    {"zeb.varlo.set_target_temperature", true, on_target_temperature},
    {"zeb.varlo.set_belt_cook_time", true, on_belt_cook_time},
    {"zeb.varlo.set_target_fan_speed", true, on_target_fan_speed},
    {"zeb.varlo.photo_cell_enable", true, on_photo_cell},
    {"zeb.varlo.power_onoff", true, on_power},
    {"zeb.varlo.serial_number_changed", false, on_serial_number},
    {"zeb.varlo.menu_preset_changed", true, on_menu_preset},
    {"zeb.varlo.config_setting_changed", true, on_config_setting},
    {"zeb.varlo.factory_reset_start", false, on_factory_reset_start},
    {"zeb.varlo.factory_reset_end", true, on_factory_reset_end},
    {"zeb.update.firmware.available", true, on_firmware_available},
    {"zeb.varlo.idle_mode_onoff", true, on_idle_mode},
    {"zeb.varlo.demo_mode_onoff", true, on_demo_mode},
};

}  // namespace

int32_t process_client_requests(zeb_logger_t *log) {
    if (log == nullptr) {
        return -1;
    }
    for (;;) {
        zeb_event_t *event = nullptr;
        const int rc = zeb_service_wait_event(&event);
        if (rc < 0) {
            std::printf("zeb_service_wait_event failed: %d\n", errno);
            std::fflush(stdout);
            return rc;
        }
        if (event != nullptr) {
            kor_oven_dispatch_event(event);
            zeb_service_free_event(event);
        }
    }
}

void kor_oven_dispatch_event(const zeb_event_t *event) {
    if (event == nullptr || event->name == nullptr) {
        return;
    }
    MGR_LOG(ZEB_LOG_INFO, "process_client_requests: Received event: %s", event->name);
    const EventData data(event);
    for (const Request &request : kRequests) {
        if (std::strcmp(request.name, event->name) != 0) {
            continue;
        }
        if (request.needs_data && data.size() == 0) {
            return;  // a request of this name without data is dropped silently
        }
        if (!request.handle(data)) {
            MGR_LOG(ZEB_LOG_WARNING,
                    "process_client_requests: dropping malformed event %s (%zu bytes of data)",
                    event->name, data.size());
        }
        return;
    }
}

void kor_oven_register_client() {
    MGR_LOG(ZEB_LOG_INFO, "Synchronizing oven state with UI");

    uint16_t enable = 0;
    if (kor_oven_get_oven_enable(modbus, &enable) == 0) {
        if (enable == 1) {
            notify_power_on();
        }
        kor_stats_powered_on(enable);
    }
    uint16_t photo_eye = 0;
    if (kor_get_heater_photocell_enable(modbus, &photo_eye) == 0) {
        notify_photoeye_enable(photo_eye);
    }
    kor_srv_notify_firmware_versions(modbus);
    kor_srv_notify_oven_voltage(modbus);

    const oven_config_t config = config_copy();
    uint16_t board_state = 0;
    if (kor_oven_get_oven_state(modbus, &board_state) != 0) {
        return;
    }
    notify_oven_state(kor_srv_convert_board_state_to_ui_state(board_state), board_state);
    if (board_state == 5 || board_state == 6) {
        kor_state_set_belt_state(board_state == 5 ? 1 : 2);
        const operation_state_t state = snapshot();
        for (int32_t belt = 1; belt <= belt_count(config); ++belt) {
            notify_oven_belt_status(belt, state.belt_state);
            notify_belt_target_cook_time(belt, state.belt_cook_time[belt - 1]);
        }
        notify_preheat_complete();
    } else if (board_state == 8) {
        notify_cooldown();
    }
}

void kor_oven_power_onoff_event(int32_t value) {
    if (!value_fits("zeb.varlo.power_onoff", value, 0, kWordMax)) {
        return;
    }
    if (kor_oven_get_demo_mode() != 0) {
        if (value == 0) {
            MGR_LOG(ZEB_LOG_INFO, "DEMO_MODE: power off request, set oven state to COOLDOWN.");
            kor_state_set_io_board_state(8);
        } else if (value == 1) {
            MGR_LOG(ZEB_LOG_INFO, "DEMO_MODE: power on request, set oven state to PREHEAT.");
            kor_state_set_io_board_state(4);
        }
        return;
    }
    {
        // Against a board initialisation running meanwhile (see set_point_mutex).
        std::lock_guard order(set_point_mutex);
        kor_srv_oven_enable(oven_operation_srv, modbus, value);
        kor_state_set_power(static_cast<uint16_t>(value));
    }
    kor_stats_powered_on(value);
    if (value == 1) {
        // Faults still active on the board are announced again.
        kor_srv_resend_io_board_fault(oven_operation_srv, faultman);
    }
}

void kor_oven_set_target_temperature_event(int32_t temperature) {
    // The oven's configured bounds, within what the register and the state can hold.
    const oven_config_t config = config_copy();
    if (!value_fits("zeb.varlo.set_target_temperature", temperature,
                    std::max(config.heating_temp_min, 0),
                    std::min(config.heating_temp_max, kWordMax))) {
        return;
    }
    if (kor_oven_get_demo_mode() != 0) {
        kor_state_set_target_temp(static_cast<uint16_t>(temperature));
        return;
    }
    {
        // Against a board initialisation running meanwhile (see set_point_mutex).
        std::lock_guard order(set_point_mutex);
        kor_srv_set_target_temp(oven_operation_srv, modbus, temperature);
    }
    kor_state_set_target_temp(static_cast<uint16_t>(temperature));
    kor_stats_set_temp(static_cast<uint32_t>(temperature));
}

void kor_oven_set_belt_cook_time_event(int32_t belt, int32_t cook_time) {
    if (!valid_belt(belt) || !value_fits("zeb.varlo.set_belt_cook_time", cook_time, 0, kWordMax)) {
        return;
    }
    if (kor_oven_get_demo_mode() != 0) {
        oven_operation_srv->kor_state_set_belt_cook_time(belt - 1,
                                                         static_cast<uint16_t>(cook_time));
        return;
    }
    const oven_config_t config = config_copy();
    kor_srv_set_belt_cook_time(oven_operation_srv, modbus, &config, belt, cook_time);
}

void kor_oven_set_target_fan_speed_event(int32_t fan, int32_t percent) {
    if (!valid_fan(fan) || !value_fits("zeb.varlo.set_target_fan_speed", percent, 0, kWordMax)) {
        return;
    }
    const bool demo = kor_oven_get_demo_mode() != 0;
    const oven_config_t config = config_copy();
    kor_state_set_blower_percent_target(fan - 1, static_cast<uint16_t>(percent));
    if (demo) {
        return;
    }
    int32_t hz = 0;
    if (kor_srv_convert_blower_percent_to_hz(percent, fan, &config, &hz) != 0) {
        return;  // the stored target stays; nothing reaches the board
    }
    kor_srv_set_blower_speed(oven_operation_srv, modbus, fan, hz);
    kor_stats_set_blower_speed(fan, static_cast<uint32_t>(hz));
}

void kor_oven_set_photo_cell_event(int32_t enable) {
    if (!value_fits("zeb.varlo.photo_cell_enable", enable, 0, kWordMax)) {
        return;
    }
    kor_srv_set_photo_cell_enable(oven_operation_srv, modbus, enable);
}

void kor_oven_set_serial_number_changed_event() {
    kor_srv_serial_number_changed(oven_operation_srv);
}

void kor_oven_set_menu_preset_changed_event(int32_t belt, const char *name) {
    if (!valid_belt(belt) || name == nullptr) {
        return;
    }
    kor_state_set_menu_preset(belt - 1, name);
}

void kor_oven_config_setting_changed(int32_t setting, int32_t value) {
    kor_srv_config_setting_changed(oven_operation_srv, modbus, setting, value);
}
