// The event-time kernel of the economic calendar.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/cpu.hpp"
#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/zones.hpp"

namespace quorin_data::kernels {

// The second field of a wall-clock time, in nanoseconds (whole seconds).
inline std::int64_t second_field_ns(std::int64_t wall) {
  constexpr std::int64_t kMinute = 60 * kNanosPerSecond;
  std::int64_t m = wall % kMinute;
  if (m < 0) m += kMinute;
  return m - m % kNanosPerSecond;
}

// For each present row i (valid null: all): the wall-clock release time
// wall[i] in a zone `src_off` ns east of UTC (one offset per row when
// `src_offs` is given), converted to `standard` and rounded down to its
// minute there: utc[i] the instant, day[i] the date (days since 1970-01-01)
// and tod[i] the time of day (ns) of its wall-clock time in `standard`.
// Absent rows get 0. The vectors are replaced. `isa` caps the instruction
// set (the results are the same on every one); ValueError for a time that
// leaves the nanosecond range.
void event_times(const std::int64_t* wall, const std::int64_t* src_offs, std::int64_t src_off,
                 const std::uint8_t* valid, std::size_t n, const Zone& standard, std::vector<std::int64_t>& utc,
                 std::vector<std::int64_t>& day, std::vector<std::int64_t>& tod, Isa isa = Isa::avx512);

}  // namespace quorin_data::kernels
