// Calendar dates and timestamps as plain integers: days since 1970-01-01 and
// nanoseconds since 1970-01-01T00:00:00 (UTC, or wall-clock for naive values).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorin_data {

struct Date {
  std::int32_t days = 0;
  friend bool operator==(const Date&, const Date&) = default;
  friend auto operator<=>(const Date&, const Date&) = default;
};

struct Timestamp {
  std::int64_t ns = 0;  // since the epoch
  std::string tz;       // IANA zone name; empty for a naive timestamp
  friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

constexpr std::int64_t kNanosPerSecond = 1000000000LL;
constexpr std::int64_t kNanosPerDay = 86400LL * kNanosPerSecond;

// Proleptic Gregorian conversions (Howard Hinnant's algorithms).
std::int32_t days_from_civil(int y, unsigned m, unsigned d) noexcept;
void civil_from_days(std::int32_t z, int& y, unsigned& m, unsigned& d) noexcept;
// Monday = 0 ... Sunday = 6.
int weekday_monday0(std::int32_t days) noexcept;
bool valid_civil(int y, unsigned m, unsigned d) noexcept;

// Strict "%Y%m%d": exactly eight digits forming a valid date. Raises
// ValueError("time data '...' does not match format '%Y%m%d'") otherwise.
Date parse_yyyymmdd(std::string_view text);
std::string format_yyyymmdd(Date d);
// yyyy-mm-dd
std::string format_iso_date(Date d);

// Flexible date-time text: yyyymmdd, yyyy-mm-dd, yyyy/mm/dd, optionally
// followed by 'T' or ' ' and HH:MM[:SS[.fraction]], optionally a trailing 'Z'
// or +HH:MM offset (converted to UTC). Returns nullopt when it does not parse.
std::optional<std::int64_t> try_parse_datetime_ns(std::string_view text);
// As above, raising ValueError naming the text when it does not parse.
std::int64_t parse_datetime_ns(std::string_view text);
// The calendar date of a common date text: yyyymmdd; y-m-d, y/m/d or y.m.d
// with one- or two-digit month and day ("2024-1-5"); m/d/yyyy as in
// "01/05/2024" (d/m/yyyy when the first part cannot be a month); a month
// name, full or abbreviated, in "Jan 5 2024", "January 5, 2024", "5 January
// 2024" or "2024 Jan 5" (a leading weekday is allowed). Any of them may be
// followed by a time of day and a zone (Z, UTC, GMT, +HH:MM): the date is
// the text's own calendar day, so 2019-01-01T01:00:00+05:00 is 2019-01-01.
// Years 1..9999. Returns nullopt when the text is none of these.
std::optional<Date> try_parse_date_text(std::string_view text);
// As above, raising ValueError "Unknown datetime string format, unable to
// parse: TEXT" when it does not parse.
Date parse_date_text(std::string_view text);
// The calendar date of a timestamp value (floor of ns / day).
Date date_of_ns(std::int64_t ns) noexcept;
// "yyyy-mm-dd HH:MM:SS[.ffffff[fff]]"
std::string format_timestamp_ns(std::int64_t ns);

}  // namespace quorin_data
