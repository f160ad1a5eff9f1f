// Internals of querywork shared by its source files: handle checks, calendar
// zone texts and the event-time kernel.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/zones.hpp"
#include "quorin_data/from_bqia/bql.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace quorin_data::from_bqia::querywork::detail {

// The handle, or the argument-type error naming `bq`.
bql::Service& need_handle(const std::shared_ptr<bql::Service>& bq);
// ValueError naming the text when it is not a date.
void check_date_text(const std::string& text);

// A calendar zone text "GMT+05:30" read as sign, hours and minutes.
struct ZoneText {
  bool east = true;
  int hours = 0, minutes = 0;
  std::int64_t offset_ns() const {
    return (hours * 3600LL + minutes * 60LL) * kNanosPerSecond * (east ? 1 : -1);
  }
};
ZoneText parse_zone_text(std::string_view text);
Zone zone_of(const ZoneText& z);

// The second field of a wall-clock time, in nanoseconds (whole seconds).
inline std::int64_t second_field_ns(std::int64_t wall) {
  constexpr std::int64_t kMinute = 60 * kNanosPerSecond;
  std::int64_t m = wall % kMinute;
  if (m < 0) m += kMinute;
  return m - m % kNanosPerSecond;
}

inline std::int64_t shift_checked(std::int64_t ns, std::int64_t by) {
  std::int64_t r;
  if (__builtin_add_overflow(ns, by, &r))
    throw ValueError("timestamp " + std::to_string(ns) + " ns is out of range after shifting it");
  return r;
}

// The event-time kernel. For each present row i (valid null: all): the
// wall-clock release time wall[i] in a zone `src_off` ns east of UTC (one
// offset per row when `src_offs` is given), converted to `standard` and
// rounded down to its minute there: utc[i] the instant, day[i] the date
// (days since 1970-01-01) and tod[i] the time of day (ns) of its wall-clock
// time in `standard`. Absent rows get 0. The vectors are replaced.
void event_times(const std::int64_t* wall, const std::int64_t* src_offs, std::int64_t src_off,
                 const std::uint8_t* valid, std::size_t n, const Zone& standard, std::vector<std::int64_t>& utc,
                 std::vector<std::int64_t>& day, std::vector<std::int64_t>& tod);

// The three event-time columns over the kernel's values, missing where
// `valid` (empty: none) says so.
EventTimeColumns make_columns(std::vector<std::int64_t> utc, std::vector<std::int64_t> day,
                              std::vector<std::int64_t> tod, const std::vector<std::uint8_t>& valid,
                              const std::string& zone);

}  // namespace quorin_data::from_bqia::querywork::detail
