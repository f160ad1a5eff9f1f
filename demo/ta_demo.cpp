// Demo section: indicators over a generated price series.
#include <cmath>
#include <cstdio>
#include <iostream>

#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/volume.hpp"
#include "sections.hpp"

namespace {

void run_ta_demo() {
  namespace ov = quorin_data::ta::overlap;
  namespace vo = quorin_data::ta::volume;
  using quorin_data::Series;
  const std::size_t n = 40;
  std::vector<double> h(n), l(n), c(n), v(n);
  double x = 100;
  for (std::size_t i = 0; i < n; ++i) {
    x += std::sin(0.6 * static_cast<double>(i)) * 1.2 + 0.15;
    c[i] = x;
    h[i] = x + 0.5 + 0.4 * std::cos(static_cast<double>(i));
    l[i] = x - 0.5 - 0.3 * std::sin(static_cast<double>(i));
    v[i] = 1000 + 150 * static_cast<double>(i % 5);
  }
  const Series high(h), low(l), close(c), volume(v);
  std::vector<Series> cols;
  for (auto r : {ov::sma(close), ov::ema(close), ov::wma(close), ov::hma(close),
                 ov::hlc3(high, low, close), ov::vwap(high, low, close, volume),
                 vo::obv(close, volume), vo::adosc(high, low, close, volume),
                 vo::cmf(high, low, close, volume),
                 ov::ma("tema", close, {{"length", 5}})})
    if (r) cols.push_back(*r);
  std::printf("%4s %9s", "row", "close");
  for (const auto& s : cols) std::printf(" %10s", s.name.c_str());
  std::printf("\n");
  for (std::size_t i = 18; i < 26; ++i) {
    std::printf("%4zu %9.3f", i, c[i]);
    for (const auto& s : cols) {
      const double val = s.f64()[i];
      if (std::isnan(val)) std::printf(" %10s", "");
      else std::printf(" %10.3f", val);
    }
    std::printf("\n");
  }
  std::printf("(%zu rows; empty cells are missing: CMF_20 needs 20 rows)\n", n);
}

}  // namespace

QUORIN_DEMO_SECTION(60, "Technical indicators over a generated price series", run_ta_demo);
