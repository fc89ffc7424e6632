// The oven's picture kept from the manager's notifications, and its JSON forms.
#include "webui_picture.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

namespace kor_webui {

using nlohmann::json;

std::string event_json(std::string_view name, const zebctl::Decoded &decoded) {
    // The decoder's own JSON rendering names the fields as the descriptor does; the stream's
    // object keeps those and names the event "name".
    json line = json::parse(zebctl::json_line(name, "", decoded), nullptr, false);
    json out = {{"name", std::string(name)}, {"fields", json::object()}};
    if (line.is_object() && line.contains("fields")) {
        out["fields"] = line["fields"];
    }
    if (line.is_object() && line.contains("error")) {
        out["error"] = line["error"];
    }
    return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

void Picture::update(std::string_view name, const zebctl::Decoded &d) {
    auto get = [&](const char *field) -> std::optional<std::int64_t> {
        std::int64_t v = 0;
        if (zebctl::field_int(d, field, v)) {
            return v;
        }
        return std::nullopt;
    };
    auto index = [&](const char *field, int count) -> int {
        const auto v = get(field);
        return v && *v >= 1 && *v <= count ? static_cast<int>(*v - 1) : -1;
    };
    const auto now = Clock::now();
    std::lock_guard guard(lock_);
    last_ = now;
    updated_unix_ms_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    ++notifications_;
    if (name == "zeb.varlo.mode_notify") {
        mode_ = get("mode");
        board_mode_ = get("board_mode");
    } else if (name == "zeb.varlo.temperature_notify") {
        temperature_ = get("temperature");
        target_ = get("target");
        heat_ = get("heat_percent");
        if (temperature_ && target_ && heat_) {
            // One sample a second, the second's newest values: the ring's size is bounded by its
            // span, whatever rate the notifications come at (a flood of them included).
            if (!history_.empty() && now - history_.back().at < kSampleEvery) {
                history_.back() = {history_.back().at, *temperature_, *target_, *heat_};
            } else {
                history_.push_back({now, *temperature_, *target_, *heat_});
            }
        }
        while (!history_.empty() && now - history_.front().at > kHistorySpan) {
            history_.pop_front();
        }
    } else if (name == "zeb.varlo.tc_temp_notify") {
        for (int i = 0; i < 6; ++i) {
            tcs_[i] = get(("tc" + std::to_string(i + 1)).c_str()).value_or(0);
        }
        have_tcs_ = true;
    } else if (name == "zeb.varlo.belt_target_cook_time_notify") {
        if (int b = index("belt_num", 2); b >= 0) {
            belts_[b].target_cook_time = get("target_cook_time");
        }
    } else if (name == "zeb.varlo.belt_measured_time_notify") {
        belts_[0].rpm = get("belt1_rpm");
        belts_[1].rpm = get("belt2_rpm");
        belts_[0].cook_time = get("belt1_cook_time");
        belts_[1].cook_time = get("belt2_cook_time");
    } else if (name == "zeb.varlo.belt_status_notify") {
        if (int b = index("belt_num", 2); b >= 0) {
            belts_[b].status = get("belt_status");
        }
    } else if (name == "zeb.varlo.fan_speed_notify") {
        if (int f = index("fan_num", 4); f >= 0) {
            fans_[f].speed = get("fan_speed");
        }
    } else if (name == "zeb.varlo.fan_target_speed_notify") {
        if (int f = index("fan_num", 4); f >= 0) {
            fans_[f].target = get("fan_target_speed");
        }
    } else if (name == "zeb.varlo.fan_hz_rpm_notify") {
        for (int i = 0; i < 4; ++i) {
            fans_[i].rpm = get(("fan" + std::to_string(i + 1) + "_rpm").c_str());
        }
    } else if (name == "zeb.varlo.firmware_versions_notify") {
        io_version_ = get("io_version");
        bldc1_version_ = get("bldc_version_1");
        bldc2_version_ = get("bldc_version_2");
    } else if (name == "zeb.varlo.oven_voltage_notify") {
        voltage_ = get("voltage");
    } else if (name == "zeb.varlo.soak_timer_notify") {
        soak_ = get("seconds");
    } else if (name == "zeb.varlo.power_on") {
        power_ = "on";
    } else if (name == "zeb.varlo.power_off") {
        power_ = "off";
    } else if (name == "zeb.varlo.power_cooldown") {
        power_ = "cooldown";
    } else if (name == "zeb.varlo.preheat_complete") {
        power_ = "preheat complete";
    }
}

void Picture::set_faults(std::vector<ActiveFault> faults) {
    std::lock_guard guard(lock_);
    faults_ = std::move(faults);
}

std::optional<Clock::time_point> Picture::last_notification() const {
    std::lock_guard guard(lock_);
    return last_;
}

namespace {

json opt(const std::optional<std::int64_t> &v) {
    return v ? json(*v) : json(nullptr);
}

std::string utc_text(std::int64_t unix_ms) {
    const std::time_t secs = static_cast<std::time_t>(unix_ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03dZ", buf, static_cast<int>(unix_ms % 1000));
    return out;
}

}  // namespace

std::string Picture::state_json() const {
    std::lock_guard guard(lock_);
    const bool up = last_ && Clock::now() - *last_ < kLinkTimeout;
    json belts = json::array();
    for (const Belt &b : belts_) {
        belts.push_back({{"cook_time", opt(b.cook_time)},
                         {"target_cook_time", opt(b.target_cook_time)},
                         {"speed", opt(b.rpm)},
                         {"status", opt(b.status)}});
    }
    json fans = json::array();
    for (const Fan &f : fans_) {
        fans.push_back({{"speed", opt(f.speed)}, {"target", opt(f.target)}, {"rpm", opt(f.rpm)}});
    }
    json tcs = json::array();
    if (have_tcs_) {
        for (std::int64_t t : tcs_) {
            tcs.push_back(t);
        }
    }
    json faults = json::array();
    for (const ActiveFault &f : faults_) {
        faults.push_back({{"code", f.code}, {"text", f.text}, {"since", f.since}});
    }
    json state = {
        {"mode", mode_ ? json(zebctl::ui_state_name(*mode_)) : json(nullptr)},
        {"mode_code", opt(mode_)},
        {"board_state", board_mode_ ? json(zebctl::board_state_name(*board_mode_)) : json(nullptr)},
        {"board_state_code", opt(board_mode_)},
        {"power", power_},
        {"temperature", opt(temperature_)},
        {"target", opt(target_)},
        {"heat_percent", opt(heat_)},
        {"belts", belts},
        {"fans", fans},
        {"thermocouples", tcs},
        {"faults", faults},
        {"versions",
         {{"io", opt(io_version_)},
          {"bldc_1", opt(bldc1_version_)},
          {"bldc_2", opt(bldc2_version_)}}},
        {"voltage", opt(voltage_)},
        {"soak_seconds", opt(soak_)},
        {"link", up ? "up" : "down"},
        {"updated", last_ ? json(utc_text(updated_unix_ms_)) : json(nullptr)},
        {"notifications", notifications_},
    };
    // The fault texts come from a file: bytes that are no UTF-8 are replaced, never thrown on.
    return state.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::size_t Picture::history_size() const {
    std::lock_guard guard(lock_);
    return history_.size();
}

std::string Picture::history_json(int seconds) const {
    std::lock_guard guard(lock_);
    const auto now = Clock::now();
    const auto span = std::chrono::seconds(std::clamp<int>(seconds, 0, kHistorySpan.count()));
    json samples = json::array();
    for (const Sample &s : history_) {
        if (now - s.at > span) {
            continue;
        }
        const double t = std::chrono::duration<double>(s.at - now).count();
        samples.push_back({{"t", std::round(t * 10) / 10},
                           {"temperature", s.temperature},
                           {"target", s.target},
                           {"heat_percent", s.heat}});
    }
    return json{{"seconds", span.count()}, {"samples", samples}}.dump();
}

}  // namespace kor_webui
