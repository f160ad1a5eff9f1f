// Time zones: IANA zones from the system's zone database (Howard Hinnant's
// date/tz over tzdata) and fixed UTC offsets, with the conversions that
// timestamp columns need (wall-clock <-> UTC) and the zoned text form.
#pragma once

#include "quorin_data/core/column.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace date {
class time_zone;
}

namespace quorin_data {

class Zone {
 public:
  // An IANA zone ("America/New_York", "Etc/GMT-8", "UTC") or a fixed offset
  // written as `fixed` names it ("UTC+05:30"). KeyError "No time zone found
  // with key '<name>'" when the database has no such zone.
  static Zone locate(std::string_view name);
  // A fixed offset, in seconds east of UTC (less than a day either way),
  // named "UTC+HH:MM" ("UTC-03:30"; "UTC" for zero). ValueError otherwise.
  static Zone fixed(std::int32_t offset_seconds);

  const std::string& name() const noexcept { return name_; }
  bool is_fixed() const noexcept { return tz_ == nullptr; }

  // Offset east of UTC, in nanoseconds, in force at a UTC instant.
  std::int64_t offset_ns_at(std::int64_t utc_ns) const;
  // The wall-clock time of a UTC instant.
  std::int64_t wall_ns(std::int64_t utc_ns) const;
  // The UTC instant of a wall-clock time. A wall time that the zone skips
  // (spring forward) or repeats (fall back) is a ValueError naming it, as
  // localizing with no choice given does in table libraries.
  std::int64_t utc_ns(std::int64_t wall_ns) const;

  // The interval [lo, hi) of UTC instants around `utc_ns` over which the
  // zone's offset (`offset`, ns east of UTC) stays the same; for loops that
  // convert many instants and look the zone up only when they leave it.
  struct Span {
    std::int64_t lo, hi, offset;
  };
  Span span_at(std::int64_t utc_ns) const;

  // Batch form of utc_ns (same refusals), writing each value's offset
  // (wall - utc, ns) to `offsets`.
  void to_utc_offsets(const std::int64_t* wall, std::int64_t* offsets, std::size_t n,
                      const Column* presence = nullptr) const;

  // Batch form of wall_ns over n values (in may equal out). Slots missing
  // in `presence` (a column of n rows, or null: all present) are left as
  // they are.
  void to_wall(const std::int64_t* in, std::int64_t* out, std::size_t n, const Column* presence = nullptr) const;

  friend bool operator==(const Zone& a, const Zone& b) { return a.name_ == b.name_; }

 private:
  Zone() = default;
  const date::time_zone* tz_ = nullptr;  // null for a fixed offset
  std::int64_t fixed_ns_ = 0;
  std::string name_;
};

// "+HH:MM" / "-HH:MM" (seconds, if any, as ":SS").
std::string format_utc_offset(std::int64_t offset_seconds);

// The wall-clock time of a UTC instant in zone `tz`, followed by the offset:
// "2024-01-05 08:30:00-05:00". A zone the database does not know prints the
// UTC time with "+00:00" (the instant stays right).
std::string format_timestamp_zoned(std::int64_t utc_ns, std::string_view tz);

// Time of day from nanoseconds since midnight: "HH:MM:SS", with ".ffffff" or
// ".fffffffff" when there is a fraction.
std::string format_time_of_day_ns(std::int64_t ns);

}  // namespace quorin_data
