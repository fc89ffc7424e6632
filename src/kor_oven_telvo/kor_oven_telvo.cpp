// Cloud reporting library: builds the JSON texts of the cloud reports in caller buffers and sends
// them to the cloud-reporting service. It owns only its logger handle. Texts come from the
// configuration and the UI (serial number, menu names), so every text value is escaped, and a
// report that does not fit its buffer is refused whole: a cut text would be invalid JSON.
#include "kor_oven_telvo.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "zeb_common.h"
#include "zeb_logger.h"

namespace {

constexpr const char *kModule = "kor_vellor_service";

std::atomic<zeb_logger_t *> telvo_logger{nullptr};

// Appends to a fixed buffer, always leaving room for the NUL; once something does not fit, the
// writer stays failed and finish() clears the buffer.
class Writer {
  public:
    Writer(char *out, uint32_t out_len) : buf_(out, out != nullptr ? out_len : 0) {
        if (!buf_.empty()) {
            std::memset(buf_.data(), 0, buf_.size());
        }
        ok_ = !buf_.empty();
    }

    Writer &raw(std::string_view s) {
        if (ok_ && len_ + s.size() < buf_.size()) {
            std::memcpy(buf_.data() + len_, s.data(), s.size());
            len_ += s.size();
        } else {
            ok_ = false;
        }
        return *this;
    }

    Writer &number(int64_t v) {
        char digits[24];
        int n = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(v));
        return raw(std::string_view(digits, static_cast<size_t>(n)));
    }

    Writer &boolean(uint8_t v) { return raw(v != 0 ? "true" : "false"); }

    // A JSON string: quotes around the text, '"', '\' and control characters escaped, and every
    // byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD.
    Writer &quoted(std::string_view text) {
        raw("\"");
        size_t i = 0;
        while (ok_ && i < text.size()) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c == '"') {
                raw("\\\"");
            } else if (c == '\\') {
                raw("\\\\");
            } else if (c < 0x20) {
                control(c);
            } else if (c < 0x80) {
                raw(std::string_view(&text[i], 1));
            } else if (size_t n = utf8_length(text.substr(i)); n > 0) {
                raw(text.substr(i, n));
                i += n;
                continue;
            } else {
                raw("\\ufffd");
            }
            ++i;
        }
        return raw("\"");
    }

    // An array block already built: "[" block "]".
    Writer &array(const char *block) { return raw("[").raw(block).raw("]"); }

    int32_t finish() {
        if (!ok_) {
            if (!buf_.empty()) {
                std::memset(buf_.data(), 0, buf_.size());
            }
            return -1;
        }
        return 0;
    }

  private:
    void control(unsigned char c) {
        switch (c) {
            case '\b':
                raw("\\b");
                break;
            case '\f':
                raw("\\f");
                break;
            case '\n':
                raw("\\n");
                break;
            case '\r':
                raw("\\r");
                break;
            case '\t':
                raw("\\t");
                break;
            default: {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                raw(esc);
            }
        }
    }

    // Length of the well-formed UTF-8 sequence at the start of s (lead byte 0x80 or above), or
    // 0: no overlong forms, no surrogates, nothing above U+10FFFF.
    static size_t utf8_length(std::string_view s) {
        const auto b0 = static_cast<unsigned char>(s[0]);
        size_t n = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            n = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            n = 3;
            lo = b0 == 0xE0 ? 0xA0 : 0x80;
            hi = b0 == 0xED ? 0x9F : 0xBF;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            n = 4;
            lo = b0 == 0xF0 ? 0x90 : 0x80;
            hi = b0 == 0xF4 ? 0x8F : 0xBF;
        } else {
            return 0;
        }
        if (s.size() < n) {
            return 0;
        }
        for (size_t k = 1; k < n; ++k) {
            const auto b = static_cast<unsigned char>(s[k]);
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
                return 0;
            }
        }
        return n;
    }

    std::span<char> buf_;
    size_t len_ = 0;
    bool ok_ = true;
};

bool array_ok(const void *items, int32_t count) {
    return items != nullptr && count > 0;
}

// One string-array item: at most its 256 bytes, up to its NUL.
std::string_view item_text(const char (&item)[KOR_TELVO_TEXT_LEN]) {
    return std::string_view(item, strnlen(item, KOR_TELVO_TEXT_LEN));
}

// The fault report head shared by every fault template: { "t" : "fault", "fc" : ..., "fs" : ...
Writer &fault_head(Writer &w, const char *fc, uint8_t fs) {
    return w.raw("{ \"t\" : \"fault\", \"fc\" : ").quoted(fc).raw(", \"fs\" : ").boolean(fs);
}

// Builds into a fresh 1024-byte buffer and sends; -1 when the builder refuses.
template <typename Build>
int32_t report(Build build) {
    char text[KOR_TELVO_EVENT_LEN];
    if (build(text, static_cast<uint32_t>(sizeof text)) != 0) {
        return -1;
    }
    return dispatch_json_event(text);
}

int32_t tc_report(const char *fc, uint8_t fs, int32_t state, int32_t temp, int32_t sp,
                  const uint16_t *therm, int32_t count) {
    if (!array_ok(therm, count)) {
        return -1;
    }
    return report([&](char *out, uint32_t len) {
        return create_telvo_fault_tc_reading_event(fc, fs, state, temp, sp, therm, count, out, len);
    });
}

int32_t blower_report(const char *fc, uint8_t fs, int32_t state, const uint16_t *fanset,
                      int32_t count) {
    if (!array_ok(fanset, count)) {
        return -1;
    }
    return report([&](char *out, uint32_t len) {
        return create_telvo_fault_blower_reading_event(fc, fs, state, fanset, count, out, len);
    });
}

int32_t belt_report(const char *fc, uint8_t fs, int32_t state, const uint16_t *bake_tm,
                    int32_t count) {
    if (!array_ok(bake_tm, count)) {
        return -1;
    }
    return report([&](char *out, uint32_t len) {
        return create_telvo_fault_belt_reading_event(fc, fs, state, bake_tm, count, out, len);
    });
}

int32_t oven_state_report(const char *fc, uint8_t fs, int32_t state) {
    return report([&](char *out, uint32_t len) {
        return create_telvo_fault_oven_state_event(fc, fs, state, out, len);
    });
}

int32_t fault_state_report(const char *fc, uint8_t fs) {
    return report(
        [&](char *out, uint32_t len) { return create_telvo_fault_state_event(fc, fs, out, len); });
}

}  // namespace

extern "C" {

int32_t kor_telvo_init(void) {
    if (telvo_logger.load() != nullptr) {
        return 0;
    }
    zeb_logger_t *logger = nullptr;
    int rc = zeb_logger_open(&logger);
    if (rc != 0) {
        return rc;
    }
    zeb_logger_t *expected = nullptr;
    if (!telvo_logger.compare_exchange_strong(expected, logger)) {
        zeb_logger_close(logger);
    }
    return 0;
}

int32_t dispatch_json_event(const char *json) {
    if (json == nullptr) {
        return -1;
    }
    zeb_logger_log(telvo_logger.load(), ZEB_LOG_INFO, kModule, "%s", json);
    const size_t len = std::strlen(json) + 1;
    return zeb_service_send_event(KOR_TELVO_CHANNEL, KOR_TELVO_EVENT, KOR_TELVO_FORMAT, json,
                                  static_cast<int32_t>(len));
}

int32_t build_int_array_block(const uint16_t *items, int32_t count, char *block,
                              uint32_t block_len) {
    Writer w(block, block_len);
    if (!array_ok(items, count)) {
        return -1;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (i > 0) {
            w.raw(",");
        }
        w.number(items[i]);
    }
    return w.finish();
}

int32_t build_str_array_block(const char (*items)[KOR_TELVO_TEXT_LEN], int32_t count, char *block,
                              uint32_t block_len) {
    Writer w(block, block_len);
    if (!array_ok(items, count)) {
        return -1;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (i > 0) {
            w.raw(",");
        }
        w.quoted(item_text(items[i]));
    }
    return w.finish();
}

int32_t create_telvo_heartbeat_event(int32_t state, int32_t sp, const uint16_t *fanset,
                                     int32_t fanset_count, const uint16_t *bake_tm,
                                     int32_t bake_tm_count, int32_t temp, const uint16_t *therm,
                                     int32_t therm_count, const char (*menu)[KOR_TELVO_TEXT_LEN],
                                     int32_t menu_count, char *out, uint32_t out_len) {
    Writer w(out, out_len);
    char fan_block[KOR_TELVO_BLOCK_LEN];
    char bake_block[KOR_TELVO_BLOCK_LEN];
    char therm_block[KOR_TELVO_BLOCK_LEN];
    char menu_block[KOR_TELVO_BLOCK_LEN];
    if (build_int_array_block(fanset, fanset_count, fan_block, sizeof fan_block) != 0 ||
        build_int_array_block(bake_tm, bake_tm_count, bake_block, sizeof bake_block) != 0 ||
        build_int_array_block(therm, therm_count, therm_block, sizeof therm_block) != 0 ||
        build_str_array_block(menu, menu_count, menu_block, sizeof menu_block) != 0) {
        return -1;
    }
    w.raw("{ \"state\" : ").number(state);
    w.raw(", \"sp\" : ").number(sp);
    w.raw(", \"fanset\" : ").array(fan_block);
    w.raw(", \"bake_tm\" : ").array(bake_block);
    w.raw(", \"temp\" : ").number(temp);
    w.raw(", \"therm\" : ").array(therm_block);
    w.raw(", \"menu\" : ").array(menu_block);
    w.raw(" }");
    return w.finish();
}

int32_t create_telvo_fault_oven_state_event(const char *fc, uint8_t fs, int32_t state, char *out,
                                            uint32_t out_len) {
    Writer w(out, out_len);
    if (fc == nullptr) {
        return -1;
    }
    fault_head(w, fc, fs).raw(", \"state\" : ").number(state).raw(" }");
    return w.finish();
}

int32_t create_telvo_fault_belt_comm_lost_event(uint8_t fs, const uint16_t *bake_tm, int32_t count,
                                                char *out, uint32_t out_len) {
    Writer w(out, out_len);
    char block[KOR_TELVO_BLOCK_LEN];
    if (build_int_array_block(bake_tm, count, block, sizeof block) != 0) {
        return -1;
    }
    fault_head(w, "f1", fs).raw(", \"bake_tm\" : ").array(block).raw(" }");
    return w.finish();
}

namespace {

// A reading fault: the fault's head, the oven state and one array of readings under key.
int32_t fault_state_array_event(const char *fc, uint8_t fs, int32_t state, const char *key,
                                const uint16_t *values, int32_t count, char *out,
                                uint32_t out_len) {
    Writer w(out, out_len);
    char block[KOR_TELVO_BLOCK_LEN];
    if (fc == nullptr || build_int_array_block(values, count, block, sizeof block) != 0) {
        return -1;
    }
    fault_head(w, fc, fs).raw(", \"state\" : ").number(state);
    w.raw(", \"").raw(key).raw("\" : ").array(block).raw(" }");
    return w.finish();
}

}  // namespace

int32_t create_telvo_fault_blower_reading_event(const char *fc, uint8_t fs, int32_t state,
                                                const uint16_t *fanset, int32_t count, char *out,
                                                uint32_t out_len) {
    return fault_state_array_event(fc, fs, state, "fanset", fanset, count, out, out_len);
}

int32_t create_telvo_fault_belt_reading_event(const char *fc, uint8_t fs, int32_t state,
                                              const uint16_t *bake_tm, int32_t count, char *out,
                                              uint32_t out_len) {
    return fault_state_array_event(fc, fs, state, "bake_tm", bake_tm, count, out, out_len);
}

int32_t create_telvo_fault_tc_reading_event(const char *fc, uint8_t fs, int32_t state, int32_t temp,
                                            int32_t sp, const uint16_t *therm, int32_t count,
                                            char *out, uint32_t out_len) {
    Writer w(out, out_len);
    char block[KOR_TELVO_BLOCK_LEN];
    if (fc == nullptr || build_int_array_block(therm, count, block, sizeof block) != 0) {
        return -1;
    }
    fault_head(w, fc, fs).raw(", \"state\" : ").number(state);
    w.raw(", \"temp\" : ").number(temp).raw(", \"sp\" : ").number(sp);
    w.raw(", \"therm\" : ").array(block).raw(" }");
    return w.finish();
}

int32_t create_telvo_fault_state_event(const char *fc, uint8_t fs, char *out, uint32_t out_len) {
    Writer w(out, out_len);
    if (fc == nullptr) {
        return -1;
    }
    fault_head(w, fc, fs).raw(" }");
    return w.finish();
}

int32_t create_telvo_photocell_override_event(char *out, uint32_t out_len) {
    Writer w(out, out_len);
    w.raw("{ \"t\" : \"photo_override\" }");
    return w.finish();
}

int32_t create_telvo_serial_number_changed_event(char *out, uint32_t out_len) {
    Writer w(out, out_len);
    w.raw("{ \"t\" : \"serial_changed\" }");
    return w.finish();
}

int32_t create_settings_changed_event(const char *serial, const char *group, uint8_t split,
                                      int32_t on_tm, int32_t tot_cook_tm, const char *ui_version,
                                      int32_t io_version, int32_t drive_f_version,
                                      int32_t drive_r_version, int32_t belt_f_time,
                                      int32_t belt_r_time, char *out, uint32_t out_len) {
    Writer w(out, out_len);
    if (serial == nullptr || group == nullptr) {
        return -1;
    }
    w.raw("{ \"t\" : \"settings\", \"serial\" : ").quoted(serial);
    w.raw(", \"group\" : ").quoted(group);
    w.raw(", \"split\" : ").boolean(split);
    w.raw(", \"on_tm\" : ").number(on_tm);
    w.raw(", \"tot_cook_tm\" : ").number(tot_cook_tm);
    w.raw(", \"ui_version\" : ").quoted(ui_version != nullptr ? ui_version : "");
    w.raw(", \"io_version\" : ").number(io_version);
    w.raw(", \"drive_f_version\" : ").number(drive_f_version);
    w.raw(", \"drive_r_version\" : ").number(drive_r_version);
    w.raw(", \"belt_f_time\" : ").number(belt_f_time);
    w.raw(", \"belt_r_time\" : ").number(belt_r_time);
    w.raw("}");
    return w.finish();
}

int32_t kor_telvo_heartbeat(int32_t state, int32_t sp, const uint16_t *fanset, int32_t fanset_count,
                            const uint16_t *bake_tm, int32_t bake_tm_count, int32_t temp,
                            const uint16_t *therm, int32_t therm_count,
                            const char (*menu)[KOR_TELVO_TEXT_LEN], int32_t menu_count) {
    if (!array_ok(fanset, fanset_count) || !array_ok(bake_tm, bake_tm_count) ||
        !array_ok(therm, therm_count) || !array_ok(menu, menu_count)) {
        return -1;
    }
    return report([&](char *out, uint32_t len) {
        return create_telvo_heartbeat_event(state, sp, fanset, fanset_count, bake_tm, bake_tm_count,
                                            temp, therm, therm_count, menu, menu_count, out, len);
    });
}

int32_t kor_telvo_report_fault_belt_comm_lost(uint8_t fs, const uint16_t *bake_tm, int32_t count) {
    if (!array_ok(bake_tm, count)) {
        return -1;
    }
    return report([&](char *out, uint32_t len) {
        return create_telvo_fault_belt_comm_lost_event(fs, bake_tm, count, out, len);
    });
}

int32_t kor_telvo_report_fault_sensor_open(uint8_t fs, int32_t state, const uint16_t *fanset,
                                           int32_t count) {
    return blower_report("f2", fs, state, fanset, count);
}

int32_t kor_telvo_report_fault_belt_stalled(uint8_t fs, int32_t state, const uint16_t *bake_tm,
                                            int32_t count) {
    return belt_report("f3", fs, state, bake_tm, count);
}

int32_t kor_telvo_report_fault_heating_error(uint8_t fs, int32_t state, int32_t temp, int32_t sp,
                                             const uint16_t *therm, int32_t count) {
    return tc_report("f4", fs, state, temp, sp, therm, count);
}

int32_t kor_telvo_report_fault_probe_open(uint8_t fs, int32_t state, int32_t temp, int32_t sp,
                                          const uint16_t *therm, int32_t count) {
    return tc_report("f5", fs, state, temp, sp, therm, count);
}

int32_t kor_telvo_report_fault_all_probes_open(uint8_t fs, int32_t state) {
    return oven_state_report("f6", fs, state);
}

int32_t kor_telvo_report_fault_oven_over_temp(uint8_t fs, int32_t state, int32_t temp, int32_t sp,
                                              const uint16_t *therm, int32_t count) {
    return tc_report("f7", fs, state, temp, sp, therm, count);
}

int32_t kor_telvo_report_fault_fan_fault(uint8_t fs) {
    return fault_state_report("f8", fs);
}

int32_t kor_telvo_report_fault_reset_ignition(uint8_t fs, int32_t state, int32_t temp, int32_t sp,
                                              const uint16_t *therm, int32_t count) {
    return tc_report("f9", fs, state, temp, sp, therm, count);
}

int32_t kor_telvo_report_fault_sensor_closed(uint8_t fs, int32_t state, const uint16_t *fanset,
                                             int32_t count) {
    return blower_report("f10", fs, state, fanset, count);
}

int32_t kor_telvo_report_fault_io_comm_lost(uint8_t fs, int32_t state) {
    return oven_state_report("f11", fs, state);
}

int32_t kor_telvo_report_fault_all_belts_stalled(uint8_t fs, int32_t state, const uint16_t *bake_tm,
                                                 int32_t count) {
    return belt_report("f12", fs, state, bake_tm, count);
}

int32_t kor_telvo_report_fault_high_temp_check_fans(uint8_t fs) {
    return fault_state_report("f13", fs);
}

int32_t kor_telvo_report_fault_over_temp_check_fans(uint8_t fs) {
    return fault_state_report("f14", fs);
}

int32_t kor_telvo_report_photocell_override(void) {
    return report(create_telvo_photocell_override_event);
}

int32_t kor_telvo_report_serial_number_changed(void) {
    return report(create_telvo_serial_number_changed_event);
}

int32_t kor_telvo_report_settings_changed(const char *serial, const char *group, uint8_t split,
                                          int32_t on_tm, int32_t tot_cook_tm,
                                          const char *ui_version, int32_t io_version,
                                          int32_t drive_f_version, int32_t drive_r_version,
                                          int32_t belt_f_time, int32_t belt_r_time) {
    if (serial == nullptr || group == nullptr) {
        return -1;
    }
    return report([&](char *out, uint32_t len) {
        return create_settings_changed_event(serial, group, split, on_tm, tot_cook_tm, ui_version,
                                             io_version, drive_f_version, drive_r_version,
                                             belt_f_time, belt_r_time, out, len);
    });
}

}  // extern "C"
