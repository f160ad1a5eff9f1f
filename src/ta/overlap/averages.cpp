// Moving averages: sma, ema, rma (basic) and wma, dema, tema, hma (weighted
// and composite).
#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/utils.hpp"
#include "ta/kernels.hpp"
#include "ta/opening.hpp"

namespace quorin_data::ta::overlap {

namespace u = quorin_data::ta::utils;
namespace d = quorin_data::ta::utils::detail;

namespace {

constexpr const char* kCategory = "overlap";

// The SMA seed without a copy: rows before len-1 count as missing, row len-1
// holds the mean of the present values of the first len rows (missing when
// none is present), later rows keep their values. Returns that mean.
double seed_mean(const double* x, std::size_t len) {
  double sum = 0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < len; ++i)
    if (!std::isnan(x[i])) {
      sum += x[i];
      ++count;
    }
  return count ? sum / static_cast<double>(count) : kNaN;
}

// Exponentially weighted mean of a verified column, with or without the seed.
std::vector<double> ewm_column(const u::SeriesRef& s, std::size_t len, double alpha, bool adjust,
                               bool seed) {
  const double* x = s.f64();
  const std::size_t n = s.size();
  std::vector<double> out = d::result_buffer(n);
  if (n == 0) return out;
  if (seed && len > 0)
    kernels::ewm(x, n, alpha, adjust, len - 1, seed_mean(x, len), std::back_inserter(out));
  else
    kernels::ewm(x, n, alpha, adjust, 0, x[0], std::back_inserter(out));
  return out;
}

// The inner average of a composite, which must be present.
Series& need(std::optional<Series>& s, const char* fn, const std::string& what,
             std::size_t input_rows, const std::string& input_name, std::int64_t window) {
  if (s) return *s;
  throw ValueError(std::string(fn) + ": " + what + " of " + input_name + " is absent: " +
                   input_name + " has " + std::to_string(input_rows) +
                   " rows, fewer than the window " + std::to_string(window));
}

// The window an inner call will use after its own defaulting.
std::int64_t inner_window(std::int64_t given, std::int64_t def) { return given > 0 ? given : def; }

}  // namespace

std::optional<Series> sma(const u::SeriesRef& close, const Value& length, const Value& offset,
                          const Kwargs& kwargs) {
  const std::int64_t len = d::window_param("length", length, 10);
  d::int_param("offset", offset);
  std::int64_t min_periods = len;
  if (const Value* mp = kwargs.find("min_periods")) {
    auto v = d::int_param("min_periods", *mp);
    if (v && *v != 0) min_periods = *v;
  }
  const auto in = d::open_inputs(offset, std::max(len, min_periods), close);
  if (!in) return std::nullopt;
  d::require_window("sma", len);
  if (min_periods > len)
    throw ValueError("sma: min_periods " + std::to_string(min_periods) +
                     " is larger than the window " + std::to_string(len) +
                     ": a window cannot require more values than it holds");
  if (min_periods < 0)
    throw ValueError("sma: min_periods " + std::to_string(min_periods) + " must be >= 0");
  const u::SeriesRef& c = (*in)[0];
  std::vector<double> out = d::result_buffer(c.size());
  kernels::rolling_mean(c.f64(), c.size(), static_cast<std::size_t>(len),
                        static_cast<std::size_t>(min_periods), kernels::Append{&out});
  return d::finish(std::move(out), c.index(), in->offset, kwargs, "SMA_" + std::to_string(len), kCategory);
}

std::optional<Series> ema(const u::SeriesRef& close, const Value& length, const Value& offset,
                          const Kwargs& kwargs) {
  const std::int64_t len = d::window_param("length", length, 10);
  d::int_param("offset", offset);
  Kwargs rest = kwargs;
  const bool adjust = rest.pop("adjust").value_or(Value(false)).truthy();
  const bool use_seed = rest.pop("sma").value_or(Value(true)).truthy();
  const auto in = d::open_inputs(offset, len, close);
  if (!in) return std::nullopt;
  d::require_window("ema", len);
  const double alpha = 2.0 / (static_cast<double>(len) + 1.0);
  auto out = ewm_column((*in)[0], static_cast<std::size_t>(len), alpha, adjust, use_seed);
  return d::finish(std::move(out), (*in)[0].index(), in->offset, rest, "EMA_" + std::to_string(len), kCategory);
}

std::optional<Series> rma(const u::SeriesRef& close, const Value& length, const Value& offset,
                          const Kwargs& kwargs) {
  const std::int64_t len = d::window_param("length", length, 10);
  d::int_param("offset", offset);
  const double alpha = len > 0 ? 1.0 / static_cast<double>(len) : 0.5;
  const auto in = d::open_inputs(offset, len, close);
  if (!in) return std::nullopt;
  // A window of 0 seeds nothing: the average runs over the values as they are.
  auto out = ewm_column((*in)[0], static_cast<std::size_t>(len), alpha, false, true);
  return d::finish(std::move(out), (*in)[0].index(), in->offset, kwargs, "RMA_" + std::to_string(len), kCategory);
}

std::optional<Series> wma(const u::SeriesRef& close, const Value& length, const Value& asc,
                          const Value& offset, const Kwargs& kwargs) {
  const std::int64_t len = d::window_param("length", length, 10);
  d::int_param("offset", offset);
  const bool ascending = asc.truthy();
  const auto in = d::open_inputs(offset, len, close);
  if (!in) return std::nullopt;
  d::require_window("wma", len);
  const u::SeriesRef& c = (*in)[0];
  const std::size_t L = static_cast<std::size_t>(len);
  std::vector<double> weights(L);
  for (std::size_t k = 0; k < L; ++k)
    weights[k] = static_cast<double>(ascending ? k + 1 : L - k);
  const double total_weight = (0.5 * static_cast<double>(len)) * (static_cast<double>(len) + 1);
  std::vector<double> out = d::result_buffer(c.size());
  kernels::weighted_window(c.f64(), c.size(), weights.data(), L, total_weight, kernels::Append{&out});
  return d::finish(std::move(out), c.index(), in->offset, kwargs, "WMA_" + std::to_string(len), kCategory);
}

namespace {

// The chain of `depth` EMAs of close, each the EMA of the one before and
// each given the caller's keywords (so `adjust` and `sma` reach every one).
// An absent one is the error of `fn` that names it.
std::vector<Series> ema_chain(const char* fn, const u::SeriesRef& close, std::int64_t len, const Kwargs& kwargs,
                              std::size_t depth) {
  const std::int64_t w = inner_window(len, 10);
  const std::string e = "EMA_" + std::to_string(w);
  std::vector<Series> chain;
  chain.reserve(depth);  // `input` below refers into it
  std::string input_name = "close";
  for (std::size_t k = 0; k < depth; ++k) {
    const u::SeriesRef input = k == 0 ? close : u::SeriesRef(chain.back());
    auto next = ema(input, Value(len), Value(), kwargs);
    chain.push_back(std::move(need(next, fn, e, input.size(), input_name, w)));
    input_name = e + " of " + input_name;
  }
  return chain;
}

}  // namespace

std::optional<Series> dema(const u::SeriesRef& close, const Value& length, const Value& offset,
                           const Kwargs& kwargs) {
  const std::int64_t len = d::window_param("length", length, 10);
  d::int_param("offset", offset);
  const auto in = d::open_inputs(offset, len, close);
  if (!in) return std::nullopt;
  const auto e = ema_chain("dema", (*in)[0], len, kwargs, 2);
  const u::SeriesRef e0(e[0]), e1(e[1]);
  auto a = d::align({&e0, &e1});
  const double *x1 = a.data[0], *x2 = a.data[1];
  auto out = d::values_of(a.n, [&](std::size_t i) { return 2 * x1[i] - x2[i]; });
  return d::finish(std::move(out), std::move(a.index), in->offset, kwargs, "DEMA_" + std::to_string(len),
                   kCategory);
}

std::optional<Series> tema(const u::SeriesRef& close, const Value& length, const Value& offset,
                           const Kwargs& kwargs) {
  const std::int64_t len = d::window_param("length", length, 10);
  d::int_param("offset", offset);
  const auto in = d::open_inputs(offset, len, close);
  if (!in) return std::nullopt;
  const auto e = ema_chain("tema", (*in)[0], len, kwargs, 3);
  const u::SeriesRef e0(e[0]), e1(e[1]), e2(e[2]);
  auto a = d::align({&e0, &e1, &e2});
  const double *x1 = a.data[0], *x2 = a.data[1], *x3 = a.data[2];
  auto out = d::values_of(a.n, [&](std::size_t i) { return (3 * x1[i] - 3 * x2[i]) + x3[i]; });
  return d::finish(std::move(out), std::move(a.index), in->offset, kwargs, "TEMA_" + std::to_string(len),
                   kCategory);
}

std::optional<Series> hma(const u::SeriesRef& close, const Value& length, const Value& offset,
                          const Kwargs& kwargs) {
  const std::int64_t len = d::window_param("length", length, 9);
  d::int_param("offset", offset);
  const auto in = d::open_inputs(offset, len, close);
  if (!in) return std::nullopt;
  const u::SeriesRef& c = (*in)[0];
  const auto half_len = static_cast<std::int64_t>(static_cast<double>(len) / 2.0);
  const auto sqrt_len = static_cast<std::int64_t>(std::sqrt(static_cast<double>(len)));
  const std::int64_t wf = inner_window(half_len, 10), ws = inner_window(len, 10),
                     wq = inner_window(sqrt_len, 10);
  auto wmaf = wma(c, Value(half_len));
  const Series& f = need(wmaf, "hma", "WMA_" + std::to_string(wf), c.size(), "close", wf);
  auto wmas = wma(c, Value(len));
  const Series& s = need(wmas, "hma", "WMA_" + std::to_string(ws), c.size(), "close", ws);
  const u::SeriesRef fr(f), sr(s);
  auto a = d::align({&fr, &sr});
  auto diff = d::values_of(a.n, [&](std::size_t i) { return 2 * a.data[0][i] - a.data[1][i]; });
  const Series diff_series(Column::floats(std::move(diff)), std::move(a.index));
  auto result = wma(diff_series, Value(sqrt_len));
  Series& r = need(result, "hma", "WMA_" + std::to_string(wq), diff_series.size(),
                         "the difference 2*WMA_" + std::to_string(wf) + " - WMA_" +
                             std::to_string(ws),
                         wq);
  return d::finish(std::move(r.values).release_f64(), std::move(r.index), in->offset, kwargs,
                   "HMA_" + std::to_string(len), kCategory);
}

}  // namespace quorin_data::ta::overlap
