// The economic calendar and its event-time columns.
#include <algorithm>
#include <iostream>
#include <limits>
#include <unordered_map>

#include "from_bqia/querywork/event_times.hpp"
#include "kernels/event_times.hpp"
#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace quorin_data::from_bqia::querywork {

namespace detail {

EventTimeColumns make_columns(std::vector<std::int64_t> utc, std::vector<std::int64_t> day,
                              std::vector<std::int64_t> tod, const std::vector<std::uint8_t>& valid,
                              const std::string& zone) {
  // The kernel's values are in range by construction (times of day in
  // [0, 24h)): the columns take them as they are.
  EventTimeColumns out;
  out.event_datetime = Column::timestamps(std::move(utc), zone, valid);
  out.event_date = Column::with_validity_of(out.event_datetime, DType::Date,
                                            Buffer::adopt(std::vector<std::int32_t>(day.begin(), day.end())));
  out.event_time = Column::with_validity_of(out.event_datetime, DType::Time, Buffer::adopt(std::move(tod)));
  return out;
}

}  // namespace detail

namespace {

// Release times as plain values: wall-clock times (naive), or instants with
// `aware` set for values that already carry a zone.
struct Releases {
  std::vector<std::int64_t> ns;
  std::vector<std::uint8_t> valid;  // one byte per row
  std::vector<std::uint8_t> aware;  // one byte per row
};

bool text_has_offset(std::string_view s) {
  // The zone designator follows the time: a trailing 'Z' or a sign after
  // the date part ("2024-01-05 08:30:00-05:00").
  if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) return true;
  const auto p = s.find_last_of("+-");
  return p != std::string::npos && p >= 10;
}

Releases read_releases(const Column& c) {
  const std::size_t n = c.size();
  Releases r;
  r.ns.assign(n, 0);
  r.valid.assign(n, 1);
  r.aware.assign(n, c.type() == DType::Timestamp && !c.tz().empty() ? 1 : 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (c.is_missing(i)) {
      r.valid[i] = 0;
      continue;
    }
    switch (c.type()) {
      case DType::Timestamp: r.ns[i] = c.integer(i); break;
      case DType::Date: r.ns[i] = c.integer(i) * kNanosPerDay; break;
      case DType::Text:
        r.ns[i] = parse_datetime_ns(c.text(i));
        r.aware[i] = text_has_offset(c.text(i)) ? 1 : 0;
        break;
      default:
        throw TypeError(std::string("RELEASE_DATE_TIME values of type ") + dtype_name(c.type()) +
                        " are not date-times");
    }
  }
  return r;
}

}  // namespace

void add_event_columns(Frame& frame, const Column& release_col, const Column& timezone_col, const Zone& standard) {
  const std::size_t n = frame.num_rows();
  if (release_col.size() != n || timezone_col.size() != n)
    throw ValueError("release times and zones must have one value per row");
  Releases rel = read_releases(release_col);

  // Each row's source offset from its own zone text; a missing zone leaves
  // the row without event times.
  if (timezone_col.type() != DType::Text && !(timezone_col.type() == DType::Float64 && timezone_col.has_missing()))
    throw TypeError(std::string("TIMEZONE values of type ") + dtype_name(timezone_col.type()) + " are not zone texts");
  std::vector<std::int64_t> offs(n, 0);
  std::unordered_map<std::string, std::int64_t> seen;
  for (std::size_t i = 0; i < n; ++i) {
    if (!rel.valid[i]) continue;
    if (timezone_col.is_missing(i)) {
      rel.valid[i] = 0;
      continue;
    }
    if (rel.aware[i]) continue;  // an instant already: offset 0, its zone is not needed
    const std::string t(timezone_col.text(i));
    auto it = seen.find(t);
    if (it == seen.end()) {
      const detail::ZoneText z = detail::parse_zone_text(t);
      (void)detail::zone_of(z);  // the zone must exist
      it = seen.emplace(t, z.offset_ns()).first;
    }
    offs[i] = it->second;
  }

  std::vector<std::int64_t> utc, day, tod;
  bool all_valid = true;
  for (auto v : rel.valid) all_valid = all_valid && v;
  kernels::event_times(rel.ns.data(), offs.data(), 0, all_valid ? nullptr : rel.valid.data(), n, standard, utc, day,
                      tod);
  EventTimeColumns cols = detail::make_columns(std::move(utc), std::move(day), std::move(tod),
                                               all_valid ? std::vector<std::uint8_t>{} : rel.valid, standard.name());
  Column zz = Column::texts(std::vector<std::string>(n, standard.name()));
  frame.add_column("event_datetime", std::move(cols.event_datetime));
  frame.add_column("event_date", std::move(cols.event_date));
  frame.add_column("event_time", std::move(cols.event_time));
  frame.add_column("event_timezone", std::move(zz));
}

EventTimeColumns event_time_columns(const Column& release, const Zone& source, const Zone& standard) {
  if (release.type() != DType::Timestamp || !release.tz().empty())
    throw TypeError("event_time_columns needs naive timestamps (wall-clock release times)");
  const std::size_t n = release.size();
  const std::vector<std::uint8_t> presence = release.presence_bytes();
  const std::uint8_t* valid = presence.empty() ? nullptr : presence.data();
  const std::int64_t* ns = release.i64().data();
  std::vector<std::int64_t> offs;
  std::int64_t off = 0;
  // One offset when the source zone keeps it over the whole range of values
  // (with a day to spare either side); else each value localized on its own.
  std::size_t first = 0;
  while (valid && first < n && !valid[first]) ++first;
  const Zone::Span span = source.span_at(first < n ? release.integer(first) : 0);
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min(), kMax = std::numeric_limits<std::int64_t>::max();
  bool constant = span.lo == kMin && span.hi == kMax;  // a fixed offset
  if (!constant) {
    std::int64_t lo = kMax, hi = kMin, lo_m, hi_p;
    for (std::size_t i = 0; i < n; ++i)
      if (!valid || valid[i]) lo = std::min(lo, release.integer(i)), hi = std::max(hi, release.integer(i));
    constant = lo > hi || (!__builtin_sub_overflow(lo, kNanosPerDay, &lo_m) &&
                           !__builtin_add_overflow(hi, kNanosPerDay, &hi_p) && span.lo <= lo_m && hi_p < span.hi);
  }
  if (constant) {
    off = span.offset;
  } else {
    offs.resize(n);
    source.to_utc_offsets(ns, offs.data(), n, &release);
  }
  std::vector<std::int64_t> utc, day, tod;
  kernels::event_times(ns, offs.empty() ? nullptr : offs.data(), off, valid, n, standard, utc, day, tod);
  return detail::make_columns(std::move(utc), std::move(day), std::move(tod), presence, standard.name());
}

Frame get_eco_calendar_data(const std::shared_ptr<bql::Service>& bq, const bql::Universe& universe,
                            const std::string& start, const std::string& end,
                            const std::optional<std::vector<std::string>>& tickers, const std::string& subtype,
                            const std::string& relevancy, const std::string& view,
                            const std::optional<std::string>& event_timezone, bool verbose, std::ostream* out) {
  bql::Service& service = detail::need_handle(bq);
  std::ostream& os = out ? *out : std::cout;
  if (verbose) os << "Splitting the date range ..." << std::endl;
  const std::vector<int> list_years = _split_date_range(bq, start, end);

  std::vector<bql::Request> requests;
  for (int year : list_years) {
    if (verbose) os << "getting data for year " << year << std::endl;
    const std::string start_date = std::to_string(year) + "-01-01", end_date = std::to_string(year) + "-12-31";
    bql::Item item = service.data("calendar", {{"dates", service.func.range(start_date, end_date)},
                                               {"subtype", subtype},
                                               {"relevancy", relevancy},
                                               {"view", view}});
    if (tickers) item = item.matches(item.ticker().in_(*tickers));
    requests.emplace_back(universe, bql::NamedItems{{"Calendar", item}},
                          Kwargs{{"addcols", Value(List{Value("surprise"), Value("subtype")})}});
  }
  std::vector<bql::Results> responses =
      service.execute_many(requests, [](const List& details) { _on_request_error(details); });
  if (responses.empty()) throw ValueError("No objects to concatenate");

  std::vector<Frame> parts;
  parts.reserve(responses.size());
  for (const auto& r : responses) parts.push_back(r[0].df());
  Frame df = Frame::concat_rows(std::move(parts)).dropna({"ACTUAL"});
  if (!event_timezone) return df;

  if (!df.has_column("TIMEZONE"))
    throw ValueError("'TIMEZONE' column not found. Please set 'view' parameter to 'extended'.");
  const Zone standard_timezone = Zone::locate(*event_timezone);
  // The columns are read in full before the new ones are appended.
  add_event_columns(df, df.column("RELEASE_DATE_TIME"), df.column("TIMEZONE"), standard_timezone);
  return df;
}

}  // namespace quorin_data::from_bqia::querywork
