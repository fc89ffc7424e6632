// UI notifications: one function per event the oven manager sends to the touch UI (to every
// registered client) or to the firmware-update service ("zeb_update"). Each packs its fields as
// 32-bit host-order words in descriptor order and hands them to the bus; nothing is kept between
// calls, so any thread may send. A failed send is neither retried nor logged: the control thread
// sends the periodic ones again on its next cycle.
#include "kor_oven_notify.h"

#include <array>
#include <cstddef>
#include <cstring>

#include "zeb_common.h"

namespace {

// The bus answers a broadcast with the number of clients reached; the notifications report 0 for
// a broadcast that went out (to any number of clients) and the bus error otherwise, so callers
// can treat any non-zero result as a failure.
int32_t notify_all(const char *event, const char *format, const void *data, int32_t length) {
    const int rc = zeb_service_notify_all(event, format, data, length);
    return rc < 0 ? rc : 0;
}

constexpr const char *kUpdateChannel = "zeb_update";
// The update service always answers the oven manager's default channel, whatever channel this
// process itself was started on.
constexpr const char *kBackendChannel = "zeb_backend";
constexpr std::size_t kTcTextField = 8;
constexpr std::size_t kChannelField = 256;

static_assert(sizeof(diagnostic_reg_data_t) == KOR_DIAGNOSTIC_VALUES * sizeof(int32_t),
              "the diagnostic block is sent as 38 packed 32-bit values");

// Packs 32-bit fields (integers or floats) one after the other, in host byte order.
template <std::size_t N>
class Packer {
  public:
    Packer &put(int32_t v) { return put_raw(&v, sizeof v); }
    Packer &put(float v) { return put_raw(&v, sizeof v); }
    Packer &put_text(const char *text, std::size_t field) {
        // The field is zeroed; at most field - 1 characters of the caller's text are read, so a
        // text without its NUL is never read past.
        const std::size_t n = text != nullptr ? ::strnlen(text, field - 1) : 0;
        if (n > 0) {
            std::memcpy(bytes_.data() + used_, text, n);
        }
        used_ += field;
        return *this;
    }
    const void *data() const { return bytes_.data(); }
    int32_t size() const { return static_cast<int32_t>(used_); }

  private:
    Packer &put_raw(const void *v, std::size_t n) {
        std::memcpy(bytes_.data() + used_, v, n);
        used_ += n;
        return *this;
    }
    std::array<unsigned char, N> bytes_{};
    std::size_t used_ = 0;
};

template <std::size_t N>
int32_t broadcast(const char *event, const char *format, const Packer<N> &p) {
    return notify_all(event, format, p.data(), p.size());
}

int32_t broadcast_ints(const char *event, const char *format, int32_t a) {
    return broadcast(event, format, Packer<4>().put(a));
}

int32_t broadcast_ints(const char *event, const char *format, int32_t a, int32_t b) {
    return broadcast(event, format, Packer<8>().put(a).put(b));
}

int32_t broadcast_empty(const char *event) {
    return notify_all(event, "", nullptr, 0);
}

}  // namespace

extern "C" {

int32_t notify_oven_state(int32_t ui_state, int32_t board_state) {
    return broadcast_ints("zeb.varlo.mode_notify", "4s1 mode 4s1 board_mode", ui_state,
                          board_state);
}

int32_t notify_oven_temperature(int32_t temperature, int32_t target, int32_t heat_percent) {
    return broadcast("zeb.varlo.temperature_notify", "4s1 temperature 4s1 target 4s1 heat_percent",
                     Packer<12>().put(temperature).put(target).put(heat_percent));
}

int32_t notify_tc_temperature(const int16_t tc[6]) {
    if (tc == nullptr) {
        return -1;
    }
    Packer<24> p;
    for (int i = 0; i < 6; ++i) {
        p.put(static_cast<int32_t>(tc[i]));  // thermocouples may read below zero: keep the sign
    }
    return broadcast("zeb.varlo.tc_temp_notify", "4s1 tc1 4s1 tc2 4s1 tc3 4s1 tc4 4s1 tc5 4s1 tc6",
                     p);
}

int32_t notify_power_on(void) {
    return broadcast_empty("zeb.varlo.power_on");
}

int32_t notify_power_off(void) {
    return broadcast_empty("zeb.varlo.power_off");
}

int32_t notify_preheat_complete(void) {
    return broadcast_empty("zeb.varlo.preheat_complete");
}

int32_t notify_cooldown(void) {
    return broadcast_empty("zeb.varlo.power_cooldown");
}

int32_t notify_belt_target_cook_time(int32_t belt, int32_t cook_time) {
    return broadcast_ints("zeb.varlo.belt_target_cook_time_notify",
                          "4s1 belt_num 4s1 target_cook_time", belt, cook_time);
}

int32_t notify_belt_measured_cook_time(const uint16_t rpm[2], const uint16_t cook_time[2]) {
    if (rpm == nullptr || cook_time == nullptr) {
        return -1;
    }
    return broadcast("zeb.varlo.belt_measured_time_notify",
                     "4s1 belt1_rpm 4s1 belt2_rpm 4s1 belt1_cook_time 4s1 belt2_cook_time",
                     Packer<16>()
                         .put(static_cast<int32_t>(rpm[0]))
                         .put(static_cast<int32_t>(rpm[1]))
                         .put(static_cast<int32_t>(cook_time[0]))
                         .put(static_cast<int32_t>(cook_time[1])));
}

int32_t notify_oven_belt_status(int32_t belt, int32_t status) {
    return broadcast_ints("zeb.varlo.belt_status_notify", "4s1 belt_num 4s1 belt_status", belt,
                          status);
}

int32_t notify_oven_fan_speed(int32_t fan, int32_t speed) {
    return broadcast_ints("zeb.varlo.fan_speed_notify", "4s1 fan_num 4s1 fan_speed", fan, speed);
}

int32_t notify_oven_fan_target_speed(int32_t fan, int32_t speed) {
    return broadcast_ints("zeb.varlo.fan_target_speed_notify", "4s1 fan_num 4s1 fan_target_speed",
                          fan, speed);
}

int32_t notify_oven_fan_rpm_hz(const uint16_t rpm[4], const float hz[4],
                               int32_t cooling_fan_status) {
    if (rpm == nullptr || hz == nullptr) {
        return -1;
    }
    Packer<36> p;
    for (int i = 0; i < 4; ++i) {
        p.put(static_cast<int32_t>(rpm[i]));
    }
    for (int i = 0; i < 4; ++i) {
        p.put(hz[i]);
    }
    p.put(cooling_fan_status);
    return broadcast("zeb.varlo.fan_hz_rpm_notify",
                     "4s1 fan1_rpm 4s1 fan2_rpm 4s1 fan3_rpm 4s1 fan4_rpm 4f1 fan1_hz 4f1 fan2_hz "
                     "4f1 fan3_hz 4f1 fan4_hz 4s1 cooling_fan_status",
                     p);
}

int32_t notify_photoeye_detection(int32_t detect) {
    return broadcast_ints("zeb.varlo.photoeye_detection", "4s1 detect", detect);
}

int32_t notify_photoeye_enable(int32_t enable) {
    return broadcast_ints("zeb.varlo.photoeye_enable", "4s1 enable", enable);
}

int32_t notify_ignitor_status(int32_t status) {
    return broadcast_ints("zeb.varlo.ignitor_status", "4s1 ignitor_status", status);
}

int32_t notify_manifold_status(int32_t manifold_valve, int32_t air_pos) {
    return broadcast_ints("zeb.varlo.manifold_status", "4s1 manifold_valve 4s1 air_pos",
                          manifold_valve, air_pos);
}

int32_t notify_factory_reset_ready(int32_t status) {
    return broadcast_ints("zeb.varlo.factory_reset_ready", "4s1 status", status);
}

int32_t notify_tc_enable_changed(int32_t enabled_tcs, const char *text) {
    return broadcast("zeb.varlo.tc_enable", "4s1 enabled_tcs 1s0 format",
                     Packer<4 + kTcTextField>().put(enabled_tcs).put_text(text, kTcTextField));
}

int32_t notify_diagnostic_registers(const diagnostic_reg_data_t *data) {
    if (data == nullptr) {
        return -1;
    }
    return notify_all(
        "zeb.varlo.diag_reg_notify",
        "4s1 di1 4s1 di2 4s1 di3 4s1 di4 4s1 di5 4s1 di6 4s1 di7 4s1 di8 4s1 oc1 4s1 oc2 4s1 oc3 "
        "4s1 oc4 4s1 oc5 4s1 oc6 4s1 oc7 4s1 oc8 4s1 dac1 4s1 dac2 4s1 dac3 4s1 dac4 4s1 dac5 4s1 "
        "dac6 4s1 dac7 4s1 dac8 4s1 mcp1 4s1 mcp2 4s1 mcp3 4s1 mcp4 4s1 mcp5 4s1 mcp6 4s1 mcp7 "
        "4s1 tcstate1 4s1 tcstate2 4s1 tcstate3 4s1 tcstate4 4s1 tcstate5 4s1 tcstate6 4s1 "
        "tcstate7",
        data, static_cast<int32_t>(sizeof *data));
}

int32_t notify_soak_timer(int32_t seconds, int32_t initial) {
    return broadcast_ints("zeb.varlo.soak_timer_notify", "4s1 seconds 4s1 initial", seconds,
                          initial);
}

int32_t notify_firmware_versions(uint16_t io_version, uint16_t bldc_version_1,
                                 uint16_t bldc_version_2) {
    return broadcast("zeb.varlo.firmware_versions_notify",
                     "4s1 io_version 4s1 bldc_version_1 4s1 bldc_version_2",
                     Packer<12>()
                         .put(static_cast<int32_t>(io_version))
                         .put(static_cast<int32_t>(bldc_version_1))
                         .put(static_cast<int32_t>(bldc_version_2)));
}

int32_t notify_oven_voltage(uint16_t voltage) {
    return broadcast_ints("zeb.varlo.oven_voltage_notify", "4s1 voltage",
                          static_cast<int32_t>(voltage));
}

int32_t notify_dump_logs(void) {
    // No descriptor at all; on the wire the bus writes a missing descriptor as an empty one.
    return notify_all("zeb.varlo.generate_logs", nullptr, nullptr, 0);
}

int32_t notify_update_io_board_response(int32_t response) {
    const Packer<4> p = Packer<4>().put(response);
    return zeb_service_send_event(kUpdateChannel, "zeb.update.firmware.response", "4s1 response",
                                  p.data(), p.size());
}

int32_t subscribe_update_service(void) {
    const Packer<4 + kChannelField> p =
        Packer<4 + kChannelField>().put(int32_t{1}).put_text(kBackendChannel, kChannelField);
    return zeb_service_send_event(kUpdateChannel, "zeb.update.register", "4s1 enable 1s0 channel",
                                  p.data(), p.size());
}

}  // extern "C"
