// Internal seams of the statistics store: tests replace its two clocks so trackers and averages
// are checked over hours of simulated time in microseconds, and its file writer. Not part of the
// public header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zeb::stat {

// Nanoseconds of a monotonic clock (trackers) and whole seconds of the wall clock (average
// periods, which must carry over a restart). A null function restores the system clock.
using ClockFn = int64_t (*)();
void set_clocks_for_tests(ClockFn monotonic_ns, ClockFn realtime_s);

// What writes the file (0 or -errno), so a test can hold a write back like a slow disk does. A
// null function restores the atomic rewrite.
using WriteFn = int (*)(const std::string &path, std::string_view content);
void set_writer_for_tests(WriteFn write);

}  // namespace zeb::stat
