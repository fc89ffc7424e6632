// What a queued report becomes on the broker: its topic leaf "report/<t>" and the message
// {"seq": N, "time": "<UTC, ms>", "report": <the report's text, unchanged>}. A text that is not
// a JSON object with a usable "t" goes to "report/unknown" as a JSON string, so nothing is
// dropped silently. The oven manager's heartbeat is the one report without "t": it is known by
// its fields and goes to "report/heartbeat".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kor_fleet {

struct ReportMessage {
    std::string type;     // "fault", "settings", "heartbeat", "unknown", ...
    std::string payload;  // the MQTT message
    // For "settings": the board's versions as a JSON object text, to go into the status.
    std::optional<std::string> board_versions;
};

ReportMessage build_report_message(std::uint64_t seq, std::int64_t time_ms, std::string_view text);

// 2026-12-08T10:15:00.123Z
std::string iso_time(std::int64_t ms_since_epoch);
std::int64_t now_ms();

}  // namespace kor_fleet
