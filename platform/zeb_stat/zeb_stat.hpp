// Internal seam of the statistics store: tests replace its two clocks so trackers and averages
// are checked over hours of simulated time in microseconds. Not part of the public header.
#pragma once

#include <cstdint>

namespace zeb::stat {

// Nanoseconds of a monotonic clock (trackers) and whole seconds of the wall clock (average
// periods, which must carry over a restart). A null function restores the system clock.
using ClockFn = int64_t (*)();
void set_clocks_for_tests(ClockFn monotonic_ns, ClockFn realtime_s);

}  // namespace zeb::stat
