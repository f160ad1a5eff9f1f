// Volume indicators: obv, ad, adosc, cmf.
#include <string>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/utils.hpp"
#include "quorin_data/ta/volume.hpp"
#include "ta/kernels.hpp"
#include "ta/opening.hpp"

namespace quorin_data::ta::volume {

namespace u = quorin_data::ta::utils;
namespace d = quorin_data::ta::utils::detail;

namespace {
constexpr const char* kCategory = "volume";
}

std::optional<Series> obv(const u::SeriesRef& close, const u::SeriesRef& volume, const Value& offset,
                          const Kwargs& kwargs) {
  d::int_param("offset", offset);
  const auto in = d::open_inputs(offset, {}, close, volume);
  if (!in) return std::nullopt;
  const u::SeriesRef &c = (*in)[0], &v = (*in)[1];
  kernels::RunningSum total;
  if (d::same_index(c.index(), v.index())) {
    // One pass: the direction of each row's change times its volume.
    const std::size_t n = c.size();
    const double* cp = c.f64();
    const double* vp = v.f64();
    auto out = d::values_of(n, [&](std::size_t i) {
      return total.next((i == 0 ? 1.0 : kernels::sign_of(cp[i] - cp[i - 1])) * vp[i]);
    });
    return d::finish(std::move(out), c.index(), in->offset, kwargs, "OBV", kCategory);
  }
  // The direction is taken along close's own rows, then aligned with volume.
  const Series sign(d::signed_values(c, 1), c.index());
  const u::SeriesRef sign_ref(sign);
  auto a = d::align({&sign_ref, &v});
  auto out = d::values_of(a.n, [&](std::size_t i) { return total.next(a.data[0][i] * a.data[1][i]); });
  return d::finish(std::move(out), std::move(a.index), in->offset, kwargs, "OBV", kCategory);
}

std::optional<Series> ad(const u::SeriesRef& high, const u::SeriesRef& low, const u::SeriesRef& close,
                         const u::SeriesRef& volume, const Value& offset, const Kwargs& kwargs) {
  d::int_param("offset", offset);
  const auto in = d::open_inputs(offset, {}, high, low, close, volume);
  if (!in) return std::nullopt;
  auto a = in->aligned();
  const double *hp = a.data[0], *lp = a.data[1], *cp = a.data[2], *vp = a.data[3];
  kernels::RunningSum total;
  auto out = d::values_of(
      a.n, [&](std::size_t i) { return total.next(kernels::clv(hp[i], lp[i], cp[i], u::kZeroRange) * vp[i]); });
  return d::finish(std::move(out), std::move(a.index), in->offset, kwargs, "AD", kCategory);
}

std::optional<Series> adosc(const u::SeriesRef& high, const u::SeriesRef& low, const u::SeriesRef& close,
                            const u::SeriesRef& volume, const Value& fast, const Value& slow,
                            const Value& offset, const Kwargs& kwargs) {
  const std::int64_t f = d::window_param("fast", fast, 3);
  const std::int64_t s = d::window_param("slow", slow, 10);
  d::int_param("offset", offset);
  auto ad_line = ad(high, low, close, volume);
  const std::int64_t off = u::get_offset(offset);
  if (!ad_line) return std::nullopt;
  auto fast_ema = overlap::ema(*ad_line, Value(f));
  auto slow_ema = overlap::ema(*ad_line, Value(s));
  for (auto [e, w] : {std::pair{&fast_ema, f}, std::pair{&slow_ema, s}})
    if (!*e) {
      const std::int64_t window = w > 0 ? w : 10;  // ema's own default for a window of 0
      throw ValueError("adosc: EMA_" + std::to_string(window) + " of the AD line is absent: the AD line has " +
                       std::to_string(ad_line->size()) + " rows, fewer than the window " +
                       std::to_string(window));
    }
  const u::SeriesRef fe(*fast_ema), se(*slow_ema);
  auto a = d::align({&fe, &se});
  auto out = d::values_of(a.n, [&](std::size_t i) { return a.data[0][i] - a.data[1][i]; });
  return d::finish(std::move(out), std::move(a.index), off, kwargs,
                   "ADOSC_" + std::to_string(f) + "_" + std::to_string(s), kCategory);
}

std::optional<Series> cmf(const u::SeriesRef& high, const u::SeriesRef& low, const u::SeriesRef& close,
                          const u::SeriesRef& volume, const Value& length, const Value& offset,
                          const Kwargs& kwargs) {
  const std::int64_t len = d::window_param("length", length, 20);
  d::int_param("offset", offset);
  const auto in = d::open_inputs(offset, len, high, low, close, volume);
  if (!in) return std::nullopt;
  d::require_window("cmf", len);
  auto a = in->aligned();
  const double *hp = a.data[0], *lp = a.data[1], *cp = a.data[2], *vp = a.data[3];
  const std::size_t L = static_cast<std::size_t>(len);
  std::vector<double> out = d::result_buffer(a.n);
  kernels::money_flow(hp, lp, cp, vp, a.n, L, u::kZeroRange, kernels::Append{&out});
  return d::finish(std::move(out), std::move(a.index), in->offset, kwargs, "CMF_" + std::to_string(len),
                   kCategory);
}

}  // namespace quorin_data::ta::volume
