// The first look at an event study: per security and offset, the move from
// the bar at the window's first offset across events: its mean, spread,
// significance, how often it is up, and chosen quantiles.
#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <tuple>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_bqia/barwork.hpp"

namespace quorin_data::from_bqia::barwork {

namespace {

// "q25", "q50", "q05", "q2.5", "q99.9" for 0.25, 0.5, 0.05, 0.025, 0.999.
std::string quantile_name(double q) {
  // Rounded to a millionth of a percent: 0.29 * 100 names q29, not q28.999999999999996.
  std::string pct = format_double_shortest(std::round(q * 1e8) / 1e6);
  if (pct.size() > 2 && pct.compare(pct.size() - 2, 2, ".0") == 0) pct.resize(pct.size() - 2);
  if (pct.size() == 1) pct = "0" + pct;
  return "q" + pct;
}

// The q-quantile of sorted values, interpolated linearly between the two
// closest ranks (position q * (n - 1)).
double quantile_of(const std::vector<double>& sorted, double q) {
  const double pos = q * static_cast<double>(sorted.size() - 1);
  const auto lo = static_cast<std::size_t>(std::floor(pos));
  const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
  const double t = pos - static_cast<double>(lo);
  return t == 0 ? sorted[lo] : sorted[lo] + (sorted[hi] - sorted[lo]) * t;
}

}  // namespace

Frame event_move_summary(const Frame& df_event_bars, int pre_event_window, const std::string& price,
                         const std::vector<double>& quantiles) {
  std::vector<std::string> q_names;
  for (double q : quantiles) {
    if (!(q >= 0 && q <= 1)) throw ValueError("quantiles must lie in [0, 1], got " + format_double_shortest(q));
    q_names.push_back(quantile_name(q) + "_move_bp");
    if (std::find(q_names.begin(), q_names.end() - 1, q_names.back()) != q_names.end() - 1)
      throw ValueError("quantile " + format_double_shortest(q) + " is listed twice");
  }
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
  struct Moves {
    double move = 0;
    std::int64_t up = 0;
    std::vector<double> bp;
  };
  std::map<std::string, std::map<std::int64_t, Moves>> sums;
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
    Moves& mv = sums[k][m];
    const double d = px.as_double(i) - b->second;
    mv.move += d;
    mv.up += d > 0;
    mv.bp.push_back(b->second != 0 ? 1e4 * d / b->second : kNaN);
  }

  std::vector<std::string> out_key;
  std::vector<std::int64_t> out_diff, out_count;
  std::vector<double> out_move, out_bp, out_std, out_se, out_t, out_up;
  std::vector<std::vector<double>> out_q(quantiles.size());
  for (const std::string& k : keys)
    for (auto& [m, mv] : sums[k]) {
      const std::size_t count = mv.bp.size();
      const double c = static_cast<double>(count);
      double sum = 0;
      for (double x : mv.bp) sum += x;
      const double mean = sum / c;
      // Sample standard deviation (n - 1), from the deviations of the mean.
      double ss = 0;
      for (double x : mv.bp) ss += (x - mean) * (x - mean);
      const double sd = count > 1 ? std::sqrt(ss / (c - 1)) : kNaN;
      const double se = sd / std::sqrt(c);
      out_key.push_back(k);
      out_diff.push_back(m);
      out_count.push_back(static_cast<std::int64_t>(count));
      out_move.push_back(mv.move / c);
      out_bp.push_back(mean);
      out_std.push_back(sd);
      out_se.push_back(se);
      out_t.push_back(mean / se);
      out_up.push_back(static_cast<double>(mv.up) / c);
      const bool any_nan = std::isnan(sum);
      std::sort(mv.bp.begin(), mv.bp.end());
      for (std::size_t j = 0; j < quantiles.size(); ++j)
        out_q[j].push_back(any_nan ? kNaN : quantile_of(mv.bp, quantiles[j]));
    }
  Frame out;
  out.add_column("key", Column::texts(std::move(out_key)));
  out.add_column("time_diff", Column::ints(std::move(out_diff)));
  out.add_column("count", Column::ints(std::move(out_count)));
  out.add_column("mean_move", Column::floats(std::move(out_move)));
  out.add_column("mean_move_bp", Column::floats(std::move(out_bp)));
  out.add_column("std_move_bp", Column::floats(std::move(out_std)));
  out.add_column("se_move_bp", Column::floats(std::move(out_se)));
  out.add_column("t_stat", Column::floats(std::move(out_t)));
  out.add_column("share_up", Column::floats(std::move(out_up)));
  for (std::size_t j = 0; j < quantiles.size(); ++j) out.add_column(q_names[j], Column::floats(std::move(out_q[j])));
  return out;
}

}  // namespace quorin_data::from_bqia::barwork
