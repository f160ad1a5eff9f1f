// Event metadata (the bar times of each release's window) and the bars cut
// to those windows, with each event's calendar row attached.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "quorin_data/from_bqia/barwork.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace quorin_data::from_bqia::barwork {

namespace {

constexpr std::int64_t kMinuteNs = 60 * kNanosPerSecond;

const Column& timestamp_column(const Frame& f, const char* name, const char* side) {
  const Column& c = f.column(name);
  if (c.type != DType::Timestamp)
    throw TypeError(std::string("column '") + name + "' of the " + side + " must hold timestamps, not " +
                    dtype_name(c.type));
  return c;
}

std::string zone_text(const Column& c) { return c.tz.empty() ? "naive" : "zoned (" + c.tz + ")"; }

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
          missing ? 0 : querywork::round_event_datetime(Timestamp{times.i64[j], times.tz}, true).ns;
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
  out.add_column("event_datetime", Column::timestamps(event_dt, when.tz, all_valid ? std::vector<std::uint8_t>{} : dt_valid));
  out.add_column("datetime", Column::timestamps(std::move(bar_dt), when.tz,
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
  if (bar_time.tz.empty() != event_time.tz.empty())
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

  // Only bars at a window's time can take part in the join; the others are
  // left out before it (the join's result is the same).
  std::unordered_set<std::int64_t> wanted;
  const Column& meta_time = df_event_metadata.column("datetime");
  wanted.reserve(meta_time.size());
  for (std::size_t i = 0; i < meta_time.size(); ++i)
    if (!meta_time.is_missing(i)) wanted.insert(meta_time.i64[i]);
  std::vector<std::size_t> candidates;
  for (std::size_t i = 0; i < bar_time.size(); ++i)
    if (!bar_time.is_missing(i) && wanted.count(bar_time.i64[i])) candidates.push_back(i);
  // The metadata's columns in the order the result keeps them (time_diff
  // before the bar time), its bar times in the bars' zone (the same instants).
  Frame meta = df_event_metadata.select({"EVENT_NAME", "event_datetime", "time_diff", "datetime"});
  meta.column("datetime").tz = bar_time.tz;

  // Left join on the bar time; offsets without a bar have no key and go.
  // The columns come out as the result keeps them: the metadata's, then the
  // bars' other columns. Each step replaces the table before (one copy alive
  // besides the inputs).
  Frame temp = meta.merge_left(df_bars.take(candidates), {"datetime"});
  const Column& key = temp.column("key");
  bool any_missing_key = false;
  for (std::size_t i = 0; i < key.size() && !any_missing_key; ++i) any_missing_key = key.is_missing(i);
  if (any_missing_key) temp = temp.dropna({"key"});
  temp = temp.sort_values({"EVENT_NAME", "event_datetime", "key", "datetime"});
  temp.set_index(Index::range(temp.num_rows()));

  // Each bar row with every calendar row of its (EVENT_NAME, event_datetime).
  return temp.merge_left(calendar, {"EVENT_NAME", "event_datetime"});
}

}  // namespace quorin_data::from_bqia::barwork
