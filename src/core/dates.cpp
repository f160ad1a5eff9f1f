#include "quorin_data/core/dates.hpp"

#include <cstdio>
#include <vector>

#include "quorin_data/core/errors.hpp"

namespace quorin_data {

std::int32_t days_from_civil(int y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<std::int32_t>(era * 146097 + static_cast<int>(doe) - 719468);
}

void civil_from_days(std::int32_t z0, int& y, unsigned& m, unsigned& d) noexcept {
  const long z = static_cast<long>(z0) + 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long yy = static_cast<long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

int weekday_monday0(std::int32_t days) noexcept {
  // 1970-01-01 was a Thursday (3 with Monday = 0).
  long w = (static_cast<long>(days) + 3) % 7;
  return static_cast<int>(w < 0 ? w + 7 : w);
}

bool valid_civil(int y, unsigned m, unsigned d) noexcept {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  static const unsigned mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  unsigned lim = mdays[m - 1];
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) lim = 29;
  return d <= lim;
}

static bool digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
  if (pos + n > s.size()) return false;
  int v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}

Date parse_yyyymmdd(std::string_view text) {
  int y, m, d;
  if (text.size() != 8 || !digits(text, 0, 4, y) || !digits(text, 4, 2, m) ||
      !digits(text, 6, 2, d) || !valid_civil(y, m, d)) {
    throw ValueError("time data '" + std::string(text) + "' does not match format '%Y%m%d'");
  }
  return Date{days_from_civil(y, m, d)};
}

std::string format_yyyymmdd(Date dt) {
  int y;
  unsigned m, d;
  civil_from_days(dt.days, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02u%02u", y, m, d);
  return buf;
}

std::string format_iso_date(Date dt) {
  int y;
  unsigned m, d;
  civil_from_days(dt.days, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", y, m, d);
  return buf;
}

std::optional<std::int64_t> try_parse_datetime_ns(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  int y, m, d;
  std::size_t p;
  if (digits(s, 0, 4, y) && s.size() >= 10 && (s[4] == '-' || s[4] == '/') && s[7] == s[4] &&
      digits(s, 5, 2, m) && digits(s, 8, 2, d)) {
    p = 10;
  } else if (digits(s, 0, 4, y) && digits(s, 4, 2, m) && digits(s, 6, 2, d)) {
    p = 8;
  } else {
    return std::nullopt;
  }
  if (!valid_civil(y, m, d)) return std::nullopt;
  // Nanosecond timestamps span 1677-09-21 .. 2262-04-11: every step below is
  // checked for overflow so dates outside that span fail to parse.
  std::int64_t ns;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(days_from_civil(y, m, d)), kNanosPerDay, &ns))
    return std::nullopt;
  if (p == s.size()) return ns;
  if (s[p] != 'T' && s[p] != ' ') return std::nullopt;
  ++p;
  int hh, mi, ss = 0;
  if (!digits(s, p, 2, hh) || p + 2 >= s.size() || s[p + 2] != ':' || !digits(s, p + 3, 2, mi))
    return std::nullopt;
  p += 5;
  std::int64_t frac = 0;
  if (p < s.size() && s[p] == ':') {
    if (!digits(s, p + 1, 2, ss)) return std::nullopt;
    p += 3;
    if (p < s.size() && s[p] == '.') {
      ++p;
      int n = 0;
      while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
        if (n < 9) frac = frac * 10 + (s[p] - '0'), ++n;
        ++p;
      }
      if (n == 0) return std::nullopt;
      for (; n < 9; ++n) frac *= 10;
    }
  }
  if (hh > 23 || mi > 59 || ss > 59) return std::nullopt;
  if (__builtin_add_overflow(ns, (hh * 3600LL + mi * 60LL + ss) * kNanosPerSecond + frac, &ns))
    return std::nullopt;
  if (p < s.size() && s[p] == 'Z') {
    ++p;
  } else if (p < s.size() && (s[p] == '+' || s[p] == '-')) {
    int oh, om = 0;
    const int sign = s[p] == '+' ? 1 : -1;
    if (!digits(s, p + 1, 2, oh)) return std::nullopt;
    p += 3;
    if (p < s.size() && s[p] == ':') ++p;
    if (p < s.size()) {
      if (!digits(s, p, 2, om)) return std::nullopt;
      p += 2;
    }
    if (__builtin_sub_overflow(ns, sign * (oh * 3600LL + om * 60LL) * kNanosPerSecond, &ns))
      return std::nullopt;
  }
  if (p != s.size()) return std::nullopt;
  return ns;
}

namespace {

// A run of 1..max digits at p (advanced past it).
bool number(std::string_view s, std::size_t& p, std::size_t max, int& out) {
  std::size_t n = 0;
  int v = 0;
  while (p + n < s.size() && n < max && s[p + n] >= '0' && s[p + n] <= '9') v = v * 10 + (s[p + n++] - '0');
  if (n == 0 || (p + n < s.size() && s[p + n] >= '0' && s[p + n] <= '9')) return false;
  p += n;
  out = v;
  return true;
}

int month_of(std::string_view word) {
  static const char* const names[] = {"january", "february", "march",     "april",   "may",      "june",
                                      "july",    "august",   "september", "october", "november", "december"};
  std::string w;
  for (char c : word) w += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (w.size() < 3) return 0;
  if (w == "sept") return 9;
  for (int m = 0; m < 12; ++m) {
    const std::string_view full = names[m];
    if (w == full || w == full.substr(0, 3)) return m + 1;
  }
  return 0;
}

bool is_weekday(std::string_view word) {
  static const char* const days[] = {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};
  std::string w;
  for (char c : word) w += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const char* d : days) {
    const std::string_view full = d;
    if (w == full || w == full.substr(0, 3)) return true;
  }
  return false;
}

// What may follow a date: nothing, or a time of day with an optional zone
// (Z, UTC, GMT or a +HH[:MM] offset). Only its form is checked: the date
// keeps its own calendar day whatever the offset.
bool time_rest(std::string_view s, std::size_t p) {
  if (p == s.size()) return true;
  if (s[p] != 'T' && s[p] != ' ') return false;
  while (p < s.size() && s[p] == ' ') ++p;
  if (p < s.size() && s[p] == 'T') ++p;
  int hh, mi, ss = 0;
  if (!number(s, p, 2, hh) || p >= s.size() || s[p] != ':') return false;
  ++p;
  if (!number(s, p, 2, mi)) return false;
  if (p < s.size() && s[p] == ':') {
    ++p;
    if (!number(s, p, 2, ss)) return false;
    if (p < s.size() && (s[p] == '.' || s[p] == ',')) {
      const std::size_t f = ++p;
      while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p;
      if (p == f) return false;
    }
  }
  if (hh > 23 || mi > 59 || ss > 60) return false;
  while (p < s.size() && s[p] == ' ') ++p;
  std::string_view zone = s.substr(p);
  if (zone.empty() || zone == "Z" || zone == "UTC" || zone == "GMT") return true;
  if (zone[0] != '+' && zone[0] != '-') return false;
  std::size_t q = 1;
  int oh, om = 0;
  if (!number(zone, q, 2, oh) || oh > 23) return false;
  if (q < zone.size() && zone[q] == ':') ++q;
  if (q < zone.size() && (!number(zone, q, 2, om) || om > 59)) return false;
  return q == zone.size();
}

std::optional<Date> civil(int y, int m, int d) {
  if (!valid_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d))) return std::nullopt;
  return Date{days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d))};
}

// Words of a date written with a month name: "Jan 5 2024", "5 January
// 2024", "Friday, January 5, 2024", "2024 Jan 5".
std::optional<Date> named_month_date(std::string_view s) {
  std::vector<std::string_view> words;
  std::size_t p = 0;
  while (p < s.size()) {
    while (p < s.size() && (s[p] == ' ' || s[p] == ',')) ++p;
    const std::size_t b = p;
    while (p < s.size() && s[p] != ' ' && s[p] != ',') ++p;
    if (p > b) words.push_back(s.substr(b, p - b));
  }
  if (!words.empty() && is_weekday(words.front())) words.erase(words.begin());
  if (words.size() != 3) return std::nullopt;
  auto strip_dot = [](std::string_view w) { return !w.empty() && w.back() == '.' ? w.substr(0, w.size() - 1) : w; };
  auto num = [](std::string_view w, std::size_t max, int& out) {
    std::size_t q = 0;
    return number(w, q, max, out) && q == w.size();
  };
  int y, d;
  if (int m = month_of(strip_dot(words[0])); m && num(words[1], 2, d) && num(words[2], 4, y) && words[2].size() == 4)
    return civil(y, m, d);
  if (int m = month_of(strip_dot(words[1])); m && num(words[0], 2, d) && num(words[2], 4, y) && words[2].size() == 4)
    return civil(y, m, d);
  if (int m = month_of(strip_dot(words[1])); m && num(words[0], 4, y) && words[0].size() == 4 && num(words[2], 2, d))
    return civil(y, m, d);
  return std::nullopt;
}

}  // namespace

std::optional<Date> try_parse_date_text(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  if (s.empty()) return std::nullopt;
  int a, b, c;
  std::size_t p = 0;
  // yyyymmdd, optionally with a time.
  if (s.size() >= 8 && digits(s, 0, 4, a) && digits(s, 4, 2, b) && digits(s, 6, 2, c) &&
      (s.size() == 8 || s[8] == 'T' || s[8] == ' ')) {
    if (time_rest(s, 8)) return civil(a, b, c);
    return std::nullopt;
  }
  if (number(s, p, 4, a) && p < s.size() && (s[p] == '-' || s[p] == '/' || s[p] == '.')) {
    const std::size_t first_len = p;
    const char sep = s[p++];
    if (first_len == 4) {
      // Year first: y-m-d, y/m/d, y.m.d with one- or two-digit parts.
      if (!number(s, p, 2, b) || p >= s.size() || s[p] != sep) return std::nullopt;
      ++p;
      if (!number(s, p, 2, c) || !time_rest(s, p)) return std::nullopt;
      return civil(a, b, c);
    }
    if (first_len <= 2) {
      // Month first (m/d/y), or day first when the first part cannot be a month.
      if (!number(s, p, 2, b) || p >= s.size() || s[p] != sep) return std::nullopt;
      ++p;
      const std::size_t y0 = p;
      if (!number(s, p, 4, c) || p - y0 != 4 || !time_rest(s, p)) return std::nullopt;
      if (a > 12 && b <= 12) return civil(c, b, a);
      return civil(c, a, b);
    }
    return std::nullopt;
  }
  // A month name: the date is the words before any time of day.
  std::size_t cut = s.size();
  for (std::size_t i = 0; i + 2 < s.size(); ++i)
    if (s[i] == ' ' && s[i + 1] >= '0' && s[i + 1] <= '9' && s.find(':', i) != std::string_view::npos &&
        time_rest(s, i)) {
      cut = i;
      break;
    }
  return named_month_date(s.substr(0, cut));
}

Date parse_date_text(std::string_view text) {
  auto d = try_parse_date_text(text);
  if (!d) throw ValueError("Unknown datetime string format, unable to parse: " + std::string(text));
  return *d;
}

std::int64_t parse_datetime_ns(std::string_view text) {
  auto v = try_parse_datetime_ns(text);
  if (!v) throw ValueError("Unknown datetime string format, unable to parse: " + std::string(text));
  return *v;
}

Date date_of_ns(std::int64_t ns) noexcept {
  std::int64_t q = ns / kNanosPerDay;
  if (ns % kNanosPerDay < 0) --q;
  return Date{static_cast<std::int32_t>(q)};
}

std::string format_timestamp_ns(std::int64_t ns) {
  const Date d = date_of_ns(ns);
  // The time of day from the remainder: the day's start itself may lie
  // outside the int64 range (the first day before INT64_MIN's).
  std::int64_t rem = ns % kNanosPerDay;
  if (rem < 0) rem += kNanosPerDay;
  const std::int64_t secs = rem / kNanosPerSecond;
  const std::int64_t frac = rem % kNanosPerSecond;
  char buf[64];
  std::snprintf(buf, sizeof buf, " %02d:%02d:%02d", static_cast<int>(secs / 3600),
                static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  std::string out = format_iso_date(d) + buf;
  if (frac != 0) {
    char f[16];
    if (frac % 1000 == 0)
      std::snprintf(f, sizeof f, ".%06lld", static_cast<long long>(frac / 1000));
    else
      std::snprintf(f, sizeof f, ".%09lld", static_cast<long long>(frac));
    out += f;
  }
  return out;
}

}  // namespace quorin_data
