// The oven as the web console knows it: the last value of every notification the manager sent,
// the temperature history of the last hour, and their JSON forms for the HTTP interface. Fed by
// the bus thread, read by the HTTP threads: every member is guarded by one lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <vector>

#include "webui_faults.hpp"
#include "zeb_format.hpp"

namespace kor_webui {

using Clock = std::chrono::steady_clock;

// {"name": ..., "fields": {...}}: one notification as the event stream sends it.
std::string event_json(std::string_view name, const zebctl::Decoded &decoded);

class Picture {
  public:
    // The link is "down" when no notification came for this long (the manager sends some twice a
    // second).
    static constexpr std::chrono::seconds kLinkTimeout{3};
    static constexpr std::chrono::seconds kHistorySpan{3600};
    static constexpr std::chrono::seconds kSampleEvery{1};
    // Samples in the ring now (at most one a second of the last hour).
    std::size_t history_size() const;

    void update(std::string_view name, const zebctl::Decoded &decoded);
    // Clock::now() of the last notification, nothing before the first.
    std::optional<Clock::time_point> last_notification() const;
    // The active faults, replaced whole.
    void set_faults(std::vector<ActiveFault> faults);

    // The state object of GET /api/state.
    std::string state_json() const;
    // The samples of the last `seconds` (at most an hour) as {"samples": [{"t", "temperature",
    // "target", "heat_percent"}, ...]}, "t" in seconds before now (negative).
    std::string history_json(int seconds) const;

  private:
    struct Belt {
        std::optional<std::int64_t> cook_time, target_cook_time, rpm, status;
    };
    struct Fan {
        std::optional<std::int64_t> speed, target, rpm;
    };
    struct Sample {
        Clock::time_point at;
        std::int64_t temperature, target, heat;
    };

    mutable std::mutex lock_;
    std::optional<Clock::time_point> last_;
    std::int64_t updated_unix_ms_ = 0;
    std::optional<std::int64_t> mode_, board_mode_, temperature_, target_, heat_;
    std::optional<std::int64_t> io_version_, bldc1_version_, bldc2_version_, voltage_, soak_;
    std::int64_t tcs_[6] = {};
    bool have_tcs_ = false;
    Belt belts_[2];
    Fan fans_[4];
    std::string power_ = "unknown";
    std::deque<Sample> history_;
    long notifications_ = 0;
    std::vector<ActiveFault> faults_;
};

}  // namespace kor_webui
