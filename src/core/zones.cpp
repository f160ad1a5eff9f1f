#include "quorin_data/core/zones.hpp"

#include <date/tz.h>

#include <chrono>
#include <cstdio>
#include <limits>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"

namespace quorin_data {

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Seconds to nanoseconds, saturating (zone intervals reach far past the
// nanosecond range).
std::int64_t sat_ns(std::int64_t s) {
  std::int64_t r;
  if (__builtin_mul_overflow(s, kNanosPerSecond, &r)) return s < 0 ? kMin : kMax;
  return r;
}

[[noreturn]] void out_of_range(std::int64_t ns, const std::string& zone) {
  throw ValueError("timestamp " + std::to_string(ns) + " ns is out of range in zone " + zone);
}

// "UTC+05:30" / "UTC-03:30" / "UTC+05:30:15": offset in seconds, or false.
bool parse_fixed_name(std::string_view s, std::int32_t& out) {
  if (s.size() < 9 || s.substr(0, 3) != "UTC" || (s[3] != '+' && s[3] != '-') || s[6] != ':') return false;
  auto two = [&](std::size_t p, int& v) {
    if (p + 2 > s.size() || s[p] < '0' || s[p] > '9' || s[p + 1] < '0' || s[p + 1] > '9') return false;
    v = (s[p] - '0') * 10 + (s[p + 1] - '0');
    return true;
  };
  int h, m, sec = 0;
  if (!two(4, h) || !two(7, m) || m > 59) return false;
  if (s.size() != 9) {
    if (s.size() != 12 || s[9] != ':' || !two(10, sec) || sec > 59) return false;
  }
  const std::int32_t v = h * 3600 + m * 60 + sec;
  if (v >= 86400) return false;
  out = s[3] == '-' ? -v : v;
  return true;
}

}  // namespace

std::string format_utc_offset(std::int64_t offset_seconds) {
  const char sign = offset_seconds < 0 ? '-' : '+';
  const std::int64_t a = offset_seconds < 0 ? -offset_seconds : offset_seconds;
  char buf[32];
  if (a % 60 == 0)
    std::snprintf(buf, sizeof buf, "%c%02lld:%02lld", sign, static_cast<long long>(a / 3600),
                  static_cast<long long>(a / 60 % 60));
  else
    std::snprintf(buf, sizeof buf, "%c%02lld:%02lld:%02lld", sign, static_cast<long long>(a / 3600),
                  static_cast<long long>(a / 60 % 60), static_cast<long long>(a % 60));
  return buf;
}

Zone Zone::fixed(std::int32_t offset_seconds) {
  if (offset_seconds <= -86400 || offset_seconds >= 86400)
    throw ValueError("fixed UTC offset of " + std::to_string(offset_seconds) +
                     " seconds is not less than a day");
  Zone z;
  z.fixed_ns_ = static_cast<std::int64_t>(offset_seconds) * kNanosPerSecond;
  z.name_ = offset_seconds == 0 ? "UTC" : "UTC" + format_utc_offset(offset_seconds);
  return z;
}

Zone Zone::locate(std::string_view name) {
  std::int32_t off;
  if (parse_fixed_name(name, off)) return fixed(off);
  Zone z;
  try {
    z.tz_ = date::locate_zone(name);
  } catch (const std::exception&) {
    throw KeyError("No time zone found with key '" + std::string(name) + "'");
  }
  z.name_ = std::string(name);
  return z;
}

std::int64_t Zone::offset_ns_at(std::int64_t utc_ns) const {
  if (!tz_) return fixed_ns_;
  const date::sys_seconds s{std::chrono::seconds{floor_div(utc_ns, kNanosPerSecond)}};
  return tz_->get_info(s).offset.count() * kNanosPerSecond;
}

std::int64_t Zone::wall_ns(std::int64_t utc_ns) const {
  std::int64_t r;
  if (__builtin_add_overflow(utc_ns, offset_ns_at(utc_ns), &r)) out_of_range(utc_ns, name_);
  return r;
}

std::int64_t Zone::utc_ns(std::int64_t wall) const {
  std::int64_t off = fixed_ns_;
  if (tz_) {
    const date::local_seconds s{std::chrono::seconds{floor_div(wall, kNanosPerSecond)}};
    const date::local_info info = tz_->get_info(s);
    if (info.result == date::local_info::nonexistent)
      throw ValueError(format_timestamp_ns(wall) + " does not exist in zone " + name_ +
                       " (the clocks skip it)");
    if (info.result == date::local_info::ambiguous)
      throw ValueError("Cannot infer dst time from " + format_timestamp_ns(wall) + " in zone " + name_ +
                       " (the clocks show it twice)");
    off = info.first.offset.count() * kNanosPerSecond;
  }
  std::int64_t r;
  if (__builtin_sub_overflow(wall, off, &r)) out_of_range(wall, name_);
  return r;
}

Zone::Span Zone::span_at(std::int64_t utc_ns) const {
  if (!tz_) return {kMin, kMax, fixed_ns_};
  const date::sys_info info =
      tz_->get_info(date::sys_seconds{std::chrono::seconds{floor_div(utc_ns, kNanosPerSecond)}});
  return {sat_ns(info.begin.time_since_epoch().count()), sat_ns(info.end.time_since_epoch().count()),
          info.offset.count() * kNanosPerSecond};
}

void Zone::to_utc_offsets(const std::int64_t* wall, std::int64_t* offsets, std::size_t n,
                          const Column* presence) const {
  // A wall time at least a day away from both ends of an interval's span
  // (in UTC) is neither skipped nor repeated: it maps into that interval
  // with its offset. Others take the exact lookup.
  // a - b >= a day, for a >= b (a difference past the int64 range is).
  auto day_apart = [](std::int64_t a, std::int64_t b) {
    std::int64_t d;
    return __builtin_sub_overflow(a, b, &d) || d >= kNanosPerDay;
  };
  Span s{0, 0, 0};
  bool have = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (presence && presence->is_missing(i)) continue;
    const std::int64_t w = wall[i];
    std::int64_t u;
    if (have && !__builtin_sub_overflow(w, s.offset, &u) && u >= s.lo && u < s.hi && day_apart(u, s.lo) &&
        day_apart(s.hi, u)) {
      offsets[i] = s.offset;
      continue;
    }
    u = utc_ns(w);
    offsets[i] = w - u;
    s = span_at(u);
    have = true;
  }
}

void Zone::to_wall(const std::int64_t* in, std::int64_t* out, std::size_t n, const Column* presence) const {
  // Look the offset up again only when a value leaves the current interval
  // (calendars and bars are mostly in time order).
  Span s{0, 0, 0};  // empty: the first value looks up
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t v = in[i];
    if (presence && presence->is_missing(i)) {
      out[i] = v;
      continue;
    }
    if (v < s.lo || v >= s.hi) s = span_at(v);
    if (__builtin_add_overflow(v, s.offset, &out[i])) out_of_range(v, name_);
  }
}

std::string format_time_of_day_ns(std::int64_t ns) {
  const std::int64_t secs = ns / kNanosPerSecond, frac = ns % kNanosPerSecond;
  char buf[48];
  int len = std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(secs / 3600),
                          static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
  if (frac != 0) {
    if (frac % 1000 == 0)
      std::snprintf(buf + len, sizeof buf - static_cast<std::size_t>(len), ".%06lld",
                    static_cast<long long>(frac / 1000));
    else
      std::snprintf(buf + len, sizeof buf - static_cast<std::size_t>(len), ".%09lld",
                    static_cast<long long>(frac));
  }
  return buf;
}

std::string format_timestamp_zoned(std::int64_t utc_ns, std::string_view tz) {
  std::int64_t off = 0;
  try {
    off = Zone::locate(tz).offset_ns_at(utc_ns);
  } catch (const KeyError&) {
    off = 0;
  }
  std::int64_t wall;
  if (__builtin_add_overflow(utc_ns, off, &wall)) {
    wall = utc_ns;
    off = 0;
  }
  return format_timestamp_ns(wall) + format_utc_offset(off / kNanosPerSecond);
}

}  // namespace quorin_data
