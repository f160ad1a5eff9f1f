// The first look at an event study: per security and offset, the mean move
// from the bar at the window's first offset, across events.
#include <map>
#include <set>
#include <tuple>

#include "quorin_data/from_bqia/barwork.hpp"

namespace quorin_data::from_bqia::barwork {

Frame event_move_summary(const Frame& df_event_bars, int pre_event_window, const std::string& price) {
  const Column& name = df_event_bars.column("EVENT_NAME");
  const Column& when = df_event_bars.column("event_datetime");
  const Column& key = df_event_bars.column("key");
  const Column& diff = df_event_bars.column("time_diff");
  const Column& px = df_event_bars.column(price);
  if (when.type() != DType::Timestamp) throw TypeError("column 'event_datetime' must hold timestamps");
  const std::size_t n = df_event_bars.num_rows();

  using Window = std::tuple<std::string, std::int64_t, std::string>;  // event, release, key
  const auto window_of = [&](std::size_t i) {
    return Window{name.cell_text(i), when.is_missing(i) ? INT64_MIN : when.integer(i), key.cell_text(i)};
  };
  const auto offset_of = [&](std::size_t i) { return static_cast<std::int64_t>(diff.as_double(i)); };

  // The price at the first offset of each window (a window without that bar
  // has no base and is left out).
  std::map<Window, double> base;
  for (std::size_t i = 0; i < n; ++i)
    if (!key.is_missing(i) && !diff.is_missing(i) && offset_of(i) == pre_event_window && !px.is_missing(i))
      base.emplace(window_of(i), px.as_double(i));

  // Sums per key (in order of first appearance) and offset; a bar repeated
  // by repeated calendar rows counts once.
  std::vector<std::string> keys;
  std::map<std::string, std::map<std::int64_t, std::tuple<double, double, std::int64_t>>> sums;
  std::set<std::tuple<Window, std::int64_t>> seen;
  for (std::size_t i = 0; i < n; ++i) {
    if (key.is_missing(i) || diff.is_missing(i) || px.is_missing(i)) continue;
    Window w = window_of(i);
    auto b = base.find(w);
    if (b == base.end()) continue;
    const std::int64_t m = offset_of(i);
    if (!seen.emplace(w, m).second) continue;
    const std::string& k = std::get<2>(w);
    if (!sums.count(k)) keys.push_back(k);
    auto& [move, move_bp, count] = sums[k][m];
    const double d = px.as_double(i) - b->second;
    move += d;
    move_bp += b->second != 0 ? 1e4 * d / b->second : kNaN;
    ++count;
  }

  std::vector<std::string> out_key;
  std::vector<std::int64_t> out_diff, out_count;
  std::vector<double> out_move, out_bp;
  for (const std::string& k : keys)
    for (const auto& [m, s] : sums[k]) {
      const auto& [move, move_bp, count] = s;
      out_key.push_back(k);
      out_diff.push_back(m);
      out_count.push_back(count);
      out_move.push_back(move / static_cast<double>(count));
      out_bp.push_back(move_bp / static_cast<double>(count));
    }
  Frame out;
  out.add_column("key", Column::texts(std::move(out_key)));
  out.add_column("time_diff", Column::ints(std::move(out_diff)));
  out.add_column("count", Column::ints(std::move(out_count)));
  out.add_column("mean_move", Column::floats(std::move(out_move)));
  out.add_column("mean_move_bp", Column::floats(std::move(out_bp)));
  return out;
}

}  // namespace quorin_data::from_bqia::barwork
