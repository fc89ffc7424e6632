// Reports on the broker (see kor_fleet_report.hpp).
#include "kor_fleet_report.hpp"

#include <ctime>

#include <nlohmann/json.hpp>

namespace kor_fleet {

namespace {

using json = nlohmann::json;

bool valid_type(const std::string &t) {
    if (t.empty() || t.size() > 64) {
        return false;
    }
    for (char c : t) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return t != "unknown";
}

bool is_heartbeat(const json &j) {
    for (const char *key : {"state", "sp", "fanset", "bake_tm", "temp", "therm", "menu"}) {
        if (!j.contains(key)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

std::string iso_time(std::int64_t ms) {
    const time_t secs = static_cast<time_t>(ms / 1000);
    tm utc{};
    gmtime_r(&secs, &utc);
    char buf[40];
    const size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms % 1000));
    return buf;
}

ReportMessage build_report_message(std::uint64_t seq, std::int64_t time_ms, std::string_view text) {
    // The bus text ends at its NUL.
    if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
        text = text.substr(0, nul);
    }
    ReportMessage m;
    const json parsed = json::parse(text.begin(), text.end(), nullptr, false);
    std::string embedded;
    if (!parsed.is_discarded() && parsed.is_object()) {
        const auto t = parsed.find("t");
        if (t != parsed.end() && t->is_string() && valid_type(t->get<std::string>())) {
            m.type = t->get<std::string>();
        } else if (t == parsed.end() && is_heartbeat(parsed)) {
            m.type = "heartbeat";
        }
    }
    if (!m.type.empty()) {
        embedded.assign(text);
        if (m.type == "settings") {
            json board = json::object();
            for (const char *key :
                 {"ui_version", "io_version", "drive_f_version", "drive_r_version"}) {
                if (const auto v = parsed.find(key); v != parsed.end()) {
                    board[key] = *v;
                }
            }
            m.board_versions = board.dump();
        }
    } else {
        m.type = "unknown";
        embedded = json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
    }
    m.payload = "{\"seq\": " + std::to_string(seq) + ", \"time\": \"" + iso_time(time_ms) +
                "\", \"report\": " + embedded + "}";
    return m;
}

}  // namespace kor_fleet
