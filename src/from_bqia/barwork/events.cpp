// Event metadata (the bar times of each release's window) and the bars cut
// to those windows, with each event's calendar row attached.
#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>
#include <unordered_map>

#include "quorin_data/from_bqia/barwork.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace quorin_data::from_bqia::barwork {

namespace {

// A set of int64 times: open addressing, a power-of-two table at most half
// full, a multiplicative hash (bar times are multiples of a minute, which an
// identity hash would crowd into few slots).
class TimeSet {
 public:
  explicit TimeSet(std::size_t expected) {
    std::size_t cap = 16;
    while (cap < expected * 2) cap *= 2;
    slots_.assign(cap, kEmpty);
    mask_ = cap - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(cap));
  }
  void insert(std::int64_t t) {
    if (t == kEmpty) {
      has_empty_ = true;
      return;
    }
    for (std::size_t at = slot(t);; at = (at + 1) & mask_) {
      if (slots_[at] == t) return;
      if (slots_[at] == kEmpty) {
        slots_[at] = t;
        ++size_;
        return;
      }
    }
  }
  bool contains(std::int64_t t) const noexcept {
    if (t == kEmpty) return has_empty_;
    for (std::size_t at = slot(t);; at = (at + 1) & mask_) {
      if (slots_[at] == t) return true;
      if (slots_[at] == kEmpty) return false;
    }
  }
  std::size_t size() const noexcept { return size_ + (has_empty_ ? 1 : 0); }

 private:
  static constexpr std::int64_t kEmpty = std::numeric_limits<std::int64_t>::min();
  std::size_t slot(std::int64_t t) const noexcept {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(t) * 0x9e3779b97f4a7c15ull) >> shift_) & mask_;
  }
  std::vector<std::int64_t> slots_;
  std::size_t mask_ = 0, size_ = 0;
  unsigned shift_ = 60;
  bool has_empty_ = false;
};

}  // namespace

namespace {

constexpr std::int64_t kMinuteNs = 60 * kNanosPerSecond;

const Column& timestamp_column(const Frame& f, const char* name, const char* side) {
  const Column& c = f.column(name);
  if (c.type() != DType::Timestamp)
    throw TypeError(std::string("column '") + name + "' of the " + side + " must hold timestamps, not " +
                    dtype_name(c.type()));
  return c;
}

std::string zone_text(const Column& c) { return c.tz().empty() ? "naive" : "zoned (" + c.tz() + ")"; }

}  // namespace

Frame get_event_metadata(const Frame& df_calendar, int pre_event_window, int post_event_window) {
  const Column& names = df_calendar.column("EVENT_NAME");
  const Column& when = timestamp_column(df_calendar, "event_datetime", "calendar");

  // Rows of each distinct event name, names in order of first appearance (a
  // missing name equals no row, so it has no window).
  std::vector<std::size_t> first_rows = names.unique_positions();
  std::unordered_map<std::string, std::vector<std::size_t>> rows_of;
  for (std::size_t i = 0; i < names.size(); ++i)
    if (!names.is_missing(i)) rows_of[names.cell_text(i)].push_back(i);

  std::vector<std::string> ev;
  std::vector<std::int64_t> event_dt, bar_dt, diff;
  std::vector<std::uint8_t> dt_valid;
  const std::size_t width = pre_event_window <= post_event_window
                                ? static_cast<std::size_t>(std::int64_t{post_event_window} - pre_event_window + 1)
                                : 0;
  for (std::size_t first : first_rows) {
    if (names.is_missing(first)) continue;
    const std::string event = names.cell_text(first);
    const std::vector<std::size_t>& subset = rows_of.at(event);
    // Distinct release times of the event, in order of first appearance,
    // each rounded down to its minute.
    Column times = when.take(subset);
    for (std::size_t j : times.unique_positions()) {
      const bool missing = times.is_missing(j);
      const std::int64_t t =
          missing ? 0 : querywork::round_event_datetime(Timestamp{times.integer(j), times.tz()}, true).ns;
      for (std::size_t k = 0; k < width; ++k) {
        const std::int64_t m = std::int64_t{pre_event_window} + static_cast<std::int64_t>(k);
        ev.push_back(event);
        event_dt.push_back(t);
        bar_dt.push_back(missing ? 0 : t + m * kMinuteNs);
        diff.push_back(m);
        dt_valid.push_back(missing ? 0 : 1);
      }
    }
  }
  const bool all_valid = std::find(dt_valid.begin(), dt_valid.end(), 0) == dt_valid.end();
  Frame out;
  out.add_column("EVENT_NAME", Column::texts(std::move(ev)));
  out.add_column("event_datetime",
                 Column::timestamps(event_dt, when.tz(), all_valid ? std::vector<std::uint8_t>{} : dt_valid));
  out.add_column("datetime", Column::timestamps(std::move(bar_dt), when.tz(),
                                                all_valid ? std::vector<std::uint8_t>{} : std::move(dt_valid)));
  out.add_column("time_diff", Column::ints(std::move(diff)));
  return out;
}

Frame filter_bars_around_events(const Frame& df_bars, const Frame& df_calendar, int pre_event_window,
                                int post_event_window) {
  // Bar times and event times compare as instants: both zoned (any zones)
  // or both naive.
  const Column& bar_time = timestamp_column(df_bars, "datetime", "bars");
  const Column& event_time = timestamp_column(df_calendar, "event_datetime", "calendar");
  df_bars.column("key");
  if (bar_time.tz().empty() != event_time.tz().empty())
    throw ValueError("cannot match bar times with event times: the bars' 'datetime' is " + zone_text(bar_time) +
                     ", the calendar's 'event_datetime' is " + zone_text(event_time));

  // The bars' columns meet the metadata's and then the calendar's: a name on
  // two sides (other than the keys) cannot be joined.
  const Frame calendar = df_calendar.reset_index_to_column();
  std::vector<std::string> shared;
  for (const std::string& n : df_bars.names()) {
    if (n == "datetime") continue;
    const bool meta_name = n == "EVENT_NAME" || n == "event_datetime" || n == "time_diff";
    if ((meta_name || calendar.has_column(n)) && std::find(shared.begin(), shared.end(), n) == shared.end())
      shared.push_back(n);
  }
  if (calendar.has_column("time_diff")) shared.push_back("time_diff");
  if (calendar.has_column("datetime")) shared.push_back("datetime");
  if (!shared.empty()) {
    std::string list;
    for (const std::string& n : shared) list += (list.empty() ? "'" : ", '") + n + "'";
    throw ValueError("columns overlap but no suffix specified: [" + list +
                     "] (the bars' columns meet the event windows' and the calendar's)");
  }

  Frame df_event_metadata = get_event_metadata(df_calendar, pre_event_window, post_event_window);
  // The metadata's columns in the order the result keeps them (time_diff
  // before the bar time), its bar times in the bars' zone (the same instants).
  Frame meta = df_event_metadata.select({"EVENT_NAME", "event_datetime", "time_diff", "datetime"});
  meta.set_column("datetime", meta.column("datetime").with_zone(bar_time.tz()));
  const Column& meta_time = meta.column("datetime");
  const std::size_t n_meta = meta.num_rows();

  // The steps are a left join of the metadata with the bars on the bar time,
  // rows without `key` dropped, a stable sort by (EVENT_NAME,
  // event_datetime, key, datetime), and a left join with the calendar on
  // (EVENT_NAME, event_datetime). They run on row numbers, and each result
  // column is gathered once from its source at the end.

  // Bars at a window's time, grouped by time (bars' order within a time).
  // The windows' times go in a flat open-addressing set: one pass over every
  // bar tests each bar's time against it.
  const auto meta_ns = meta_time.i64();
  const auto bar_ns = bar_time.i64();
  TimeSet wanted(n_meta);
  for (std::size_t i = 0; i < n_meta; ++i)
    if (!meta_time.is_missing(i)) wanted.insert(meta_ns[i]);
  std::vector<std::size_t> candidates;
  const bool bar_gaps = bar_time.has_validity();
  for (std::size_t i = 0; i < bar_ns.size(); ++i)
    if (wanted.contains(bar_ns[i]) && !(bar_gaps && bar_time.is_missing(i))) candidates.push_back(i);
  std::stable_sort(candidates.begin(), candidates.end(),
                   [&](std::size_t a, std::size_t b) { return bar_ns[a] < bar_ns[b]; });
  std::unordered_map<std::int64_t, std::pair<std::size_t, std::size_t>> bars_at;
  bars_at.reserve(wanted.size());
  for (std::size_t k = 0; k < candidates.size();) {
    std::size_t e = k + 1;
    while (e < candidates.size() && bar_ns[candidates[e]] == bar_ns[candidates[k]]) ++e;
    bars_at.emplace(bar_ns[candidates[k]], std::make_pair(k, e));
    k = e;
  }

  // The join's rows that have a key: (metadata row, bar row).
  const Column& key = df_bars.column("key");
  std::vector<std::size_t> pm, pb;
  for (std::size_t i = 0; i < n_meta; ++i) {
    if (meta_time.is_missing(i)) continue;
    auto it = bars_at.find(meta_ns[i]);
    if (it == bars_at.end()) continue;
    for (std::size_t k = it->second.first; k < it->second.second; ++k)
      if (!key.is_missing(candidates[k])) pm.push_back(i), pb.push_back(candidates[k]);
  }

  const std::vector<std::size_t> order = stable_sort_order(
      pm.size(), {{&meta.column("EVENT_NAME"), &pm}, {&meta.column("event_datetime"), &pm}, {&key, &pb}, {&bar_time, &pb}});

  // Calendar rows of each metadata row's event, through the join itself on
  // the two key columns (its matching rules and key checks), in calendar
  // order; a row with none keeps one unmatched slot.
  Frame meta_keys = meta.select({"EVENT_NAME", "event_datetime"});
  Frame cal_keys = calendar.select({"EVENT_NAME", "event_datetime"});
  auto row_numbers = [](std::size_t n) {
    std::vector<std::int64_t> v(n);
    std::iota(v.begin(), v.end(), std::int64_t{0});
    return Column::ints(std::move(v));
  };
  const std::string meta_id = "\x01" "meta_row", cal_id = "\x01" "calendar_row";
  meta_keys.add_column(meta_id, row_numbers(n_meta));
  cal_keys.add_column(cal_id, row_numbers(calendar.num_rows()));
  const Frame joined = meta_keys.merge_left(cal_keys, {"EVENT_NAME", "event_datetime"});
  const Column& jm = joined.column(meta_id);
  const Column& jc = joined.column(cal_id);
  std::vector<std::size_t> cal_begin(n_meta + 1, 0);
  for (std::size_t r = 0; r < jm.size(); ++r) ++cal_begin[static_cast<std::size_t>(jm.integer(r)) + 1];
  for (std::size_t i = 0; i < n_meta; ++i) cal_begin[i + 1] += cal_begin[i];
  std::vector<std::size_t> cal_rows(jc.size());  // in joined order, which is by metadata row
  for (std::size_t r = 0; r < jc.size(); ++r)
    cal_rows[r] = jc.is_missing(r) ? Column::npos : static_cast<std::size_t>(jc.integer(r));

  std::vector<std::size_t> out_m, out_b, out_c;
  out_m.reserve(order.size()), out_b.reserve(order.size()), out_c.reserve(order.size());
  for (std::size_t o : order) {
    const std::size_t i = pm[o];
    for (std::size_t r = cal_begin[i]; r < cal_begin[i + 1]; ++r)
      out_m.push_back(i), out_b.push_back(pb[o]), out_c.push_back(cal_rows[r]);
  }

  // The metadata's columns, the bars' other columns, the calendar's other
  // columns, each in its own order.
  Frame out;
  for (const std::string& n : meta.names()) out.add_column(n, meta.column(n).take(out_m));
  for (const std::string& n : df_bars.names())
    if (n != "datetime") out.add_column(n, df_bars.column(n).take(out_b));
  for (const std::string& n : calendar.names())
    if (n != "EVENT_NAME" && n != "event_datetime") out.add_column(n, calendar.column(n).take_or_missing(out_c));
  return out;
}

}  // namespace quorin_data::from_bqia::barwork
