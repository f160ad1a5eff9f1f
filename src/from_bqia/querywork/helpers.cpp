// Module load, the date-range / sign / zone helpers and event-time rounding.
#include <algorithm>

#include "from_bqia/querywork/event_times.hpp"
#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace quorin_data::from_bqia::querywork {

const bool SHOW_WARNINGS = settings().show_warnings;

// Opened at its first use (not while the library loads), once.
bql::ModuleHandle& bq_handle() {
  static bql::ModuleHandle h("[bqia] 'bql' is not installed.");
  return h;
}

std::shared_ptr<bql::Service> bq() { return bq_handle().get(); }

namespace detail {

bql::Service& need_handle(const std::shared_ptr<bql::Service>& bq) {
  if (!bq) throw_argument_type("bq", "bql_Service", "NoneType");
  return *bq;
}

void check_date_text(const std::string& text) { (void)parse_datetime_ns(text); }

}  // namespace detail

std::vector<int> _split_date_range(const std::shared_ptr<bql::Service>& bq, const std::string& start,
                                   const std::string& end) {
  bql::Service& service = detail::need_handle(bq);
  detail::check_date_text(start);
  detail::check_date_text(end);
  bql::Item item = service.data("px_last", {{"dates", service.func.range(start, end)}});
  bql::Results res = service.execute(bql::Request("JPY Curncy", item));
  Frame df = res[0].df();
  if (!df.has_column("DATE") || df.num_rows() == 0)
    throw ValueError("no trading dates of 'JPY Curncy' from '" + start + "' to '" + end + "'");
  df = df.sort_values({"DATE"});
  const Column& dates = df.column("DATE");
  auto year_of = [&](std::size_t i) {
    std::int32_t days;
    if (dates.is_missing(i)) throw ValueError("missing trading date in the range '" + start + "' to '" + end + "'");
    switch (dates.type()) {
      case DType::Date: days = static_cast<std::int32_t>(dates.integer(i)); break;
      case DType::Timestamp: days = date_of_ns(dates.integer(i)).days; break;
      case DType::Text: days = date_of_ns(parse_datetime_ns(dates.text(i))).days; break;
      default: throw ValueError(std::string("trading dates of type ") + dtype_name(dates.type()) + " are not dates");
    }
    int y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    return y;
  };
  // Missing dates sort last; the last present one ends the range.
  std::size_t last = df.num_rows() - 1;
  while (last > 0 && dates.is_missing(last)) --last;
  const int first_year = year_of(0), end_year = year_of(last);
  std::vector<int> years;
  if (end_year > first_year)
    for (int y = first_year; y <= end_year; ++y) years.push_back(y);
  else
    years.push_back(end_year);
  return years;
}

void _on_request_error(const List& args, const Kwargs& kwargs) {
  (void)args;
  if (!kwargs.empty())
    throw TypeError("_on_request_error() got an unexpected keyword argument '" + kwargs.items()[0].first + "'");
}

std::optional<std::string> _invert_sign(std::string_view sign) {
  if (sign == "-") return std::string("+");
  if (sign == "+") return std::string("-");
  return std::nullopt;
}

namespace {

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

int small_int(std::string_view s, std::string_view text, const char* what) {
  if (!all_digits(s) || s.size() > 4)
    throw ValueError("invalid " + std::string(what) + " '" + std::string(s) + "' in zone text '" + std::string(text) +
                     "' (expected GMT+HH:MM)");
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

}  // namespace

namespace detail {

ZoneText parse_zone_text(std::string_view text) {
  const auto sign_at = text.find_first_of("+-");
  if (sign_at == std::string_view::npos)
    throw ValueError("zone text '" + std::string(text) + "' has no sign (expected GMT+HH:MM)");
  // The pieces between the separators '+', '-' and ':'; the second is the hour.
  std::vector<std::string_view> pieces;
  std::size_t b = 0;
  for (std::size_t i = 0; i <= text.size(); ++i)
    if (i == text.size() || text[i] == '+' || text[i] == '-' || text[i] == ':') {
      pieces.push_back(text.substr(b, i - b));
      b = i + 1;
    }
  ZoneText z;
  z.east = text[sign_at] == '+';
  z.hours = small_int(pieces[1], text, "hour");
  z.minutes = pieces.size() > 2 ? small_int(pieces[2], text, "minute") : 0;
  if (z.minutes > 59) throw ValueError("invalid minute in zone text '" + std::string(text) + "'");
  return z;
}

Zone zone_of(const ZoneText& z) {
  if (z.minutes == 0)
    return Zone::locate("Etc/GMT" + *_invert_sign(z.east ? "+" : "-") + std::to_string(z.hours));
  const std::int64_t secs = (z.hours * 3600LL + z.minutes * 60LL) * (z.east ? 1 : -1);
  if (secs <= -86400 || secs >= 86400)
    throw ValueError("zone offset " + std::to_string(z.hours) + ":" + std::to_string(z.minutes) +
                     " is not less than a day");
  return Zone::fixed(static_cast<std::int32_t>(secs));
}

}  // namespace detail

Zone convert_tz(std::string_view custom_timezone) { return detail::zone_of(detail::parse_zone_text(custom_timezone)); }

Timestamp round_event_datetime(const Timestamp& datetime_obj, bool round_down) {
  const std::int64_t wall =
      datetime_obj.tz.empty() ? datetime_obj.ns : Zone::locate(datetime_obj.tz).wall_ns(datetime_obj.ns);
  const std::int64_t sec_part = detail::second_field_ns(wall);
  if (sec_part == 0) return datetime_obj;
  Timestamp out = datetime_obj;
  out.ns = detail::shift_checked(datetime_obj.ns, (round_down ? 0 : 60 * kNanosPerSecond) - sec_part);
  return out;
}

Column round_event_datetime(const Column& datetimes, bool round_down) {
  if (datetimes.type() != DType::Timestamp)
    throw TypeError(std::string("round_event_datetime needs timestamps, got a column of ") +
                    dtype_name(datetimes.type()));
  const std::size_t n = datetimes.size();
  const auto ns = datetimes.i64();
  std::vector<std::int64_t> wall(ns.begin(), ns.end());
  if (!datetimes.tz().empty()) Zone::locate(datetimes.tz()).to_wall(ns.data(), wall.data(), n, &datetimes);
  const std::int64_t up = round_down ? 0 : 60 * kNanosPerSecond;
  std::vector<std::int64_t> out(ns.begin(), ns.end());
  for (std::size_t i = 0; i < n; ++i) {
    if (datetimes.is_missing(i)) continue;
    const std::int64_t sec_part = detail::second_field_ns(wall[i]);
    if (sec_part != 0) out[i] = detail::shift_checked(ns[i], up - sec_part);
  }
  return Column::with_validity_of(datetimes, DType::Timestamp, Buffer::adopt(std::move(out)), datetimes.tz());
}

}  // namespace quorin_data::from_bqia::querywork
