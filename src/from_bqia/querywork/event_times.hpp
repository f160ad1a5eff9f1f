// Internals of querywork shared by its source files: handle checks, calendar
// zone texts and the event-time columns.
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
#include "kernels/event_times.hpp"

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

using kernels::second_field_ns;

inline std::int64_t shift_checked(std::int64_t ns, std::int64_t by) {
  std::int64_t r;
  if (__builtin_add_overflow(ns, by, &r))
    throw ValueError("timestamp " + std::to_string(ns) + " ns is out of range after shifting it");
  return r;
}

// The three event-time columns over the kernel's values, missing where
// `valid` (empty: none) says so.
EventTimeColumns make_columns(std::vector<std::int64_t> utc, std::vector<std::int64_t> day,
                              std::vector<std::int64_t> tod, const std::vector<std::uint8_t>& valid,
                              const std::string& zone);

}  // namespace quorin_data::from_bqia::querywork::detail
