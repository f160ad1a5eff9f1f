// The fast paths of the wma and ema kernels against the plain per-row loops
// they replace: the same bits, with and without missing values.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "ta/kernels.hpp"

namespace k = quorin_data::ta::kernels;

namespace {

std::vector<double> walk(std::size_t n, unsigned nan_every, std::uint64_t seed) {
  std::vector<double> x(n);
  double v = 100;
  for (std::size_t i = 0; i < n; ++i) {
    seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
    v += (static_cast<double>(seed % 2001) - 1000.0) * 1.37e-3;
    x[i] = (nan_every && seed % nan_every == 0) ? quorin_data::kNaN : v;
  }
  return x;
}

void ewm_reference(const double* x, std::size_t n, double alpha, bool adjust, std::size_t start,
                   double start_value, double* out) {
  std::size_t i = 0;
  for (; i < start && i < n; ++i) out[i] = quorin_data::kNaN;
  if (i >= n) return;
  double m = start_value;
  while (std::isnan(m)) {
    out[i] = quorin_data::kNaN;
    if (++i >= n) return;
    m = x[i];
  }
  double w = 1;
  out[i] = m;
  const double beta = 1 - alpha, v = adjust ? 1.0 : alpha;
  for (++i; i < n; ++i) {
    w *= beta;
    if (!std::isnan(x[i])) {
      if (x[i] != m) m = (w * m + v * x[i]) / (w + v);
      w = adjust ? w + v : 1.0;
    }
    out[i] = m;
  }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

TEST(Kernels, WeightedWindowRowsSideBySideGiveTheBitsOfOneRowAtATime) {
  using Fn = void (*)(const double*, std::size_t, std::size_t, const double*, std::size_t, double, double*);
  auto dispatched = [](const double* x, std::size_t from, std::size_t to, const double* w, std::size_t len,
                       double total, double* out) {
    std::vector<double> appended;
    k::weighted_window(x + from, to - from, w, len, total, k::Append{&appended});
    std::memcpy(out, appended.data(), appended.size() * sizeof(double));
  };
  std::vector<std::pair<const char*, Fn>> variants = {{"sse2", k::weighted_window_sse2},
                                                      {"dispatched, appended", dispatched}};
  if (__builtin_cpu_supports("avx2")) variants.emplace_back("avx2", k::weighted_window_avx2);
  if (__builtin_cpu_supports("avx512f")) variants.emplace_back("avx512", k::weighted_window_avx512);
  const double inf = std::numeric_limits<double>::infinity();
  for (unsigned nan_every : {0u, 7u, 97u}) {
    auto x = walk(1003, nan_every, 0x9e3779b97f4a7c15ull + nan_every);
    if (nan_every == 97) x[500] = inf, x[503] = -inf, x[600] = -0.0;  // inf - inf in a window: NaN
    for (std::size_t len : {1, 2, 3, 4, 5, 7, 8, 9, 10, 13, 16, 17, 50, 1003, 1004}) {
      std::vector<double> w(len);
      for (std::size_t j = 0; j < len; ++j) w[j] = static_cast<double>(len - j);
      const double total = (0.5 * static_cast<double>(len)) * (static_cast<double>(len) + 1);
      std::vector<double> want(x.size());
      for (std::size_t i = 0; i < x.size(); ++i) {
        bool missing = i + 1 < len;
        for (std::size_t j = 0; !missing && j < len; ++j) missing = std::isnan(x[i + 1 - len + j]);
        want[i] = missing ? quorin_data::kNaN : k::dot(x.data() + i + 1 - len, w.data(), len) / total;
      }
      for (const auto& [name, fn] : variants) {
        std::vector<double> got(x.size());
        fn(x.data(), 0, x.size(), w.data(), len, total, got.data());
        EXPECT_TRUE(same_bits(got, want)) << name << " len " << len << " nan_every " << nan_every;
      }
    }
  }
}

TEST(Kernels, EwmWithoutTheUnitDivisionGivesTheSameBits) {
  for (unsigned nan_every : {0u, 5u, 211u}) {
    const auto x = walk(2000, nan_every, 88172645463325252ull + nan_every);
    for (std::size_t len : {1, 2, 3, 10, 20, 200}) {
      for (double alpha : {2.0 / (static_cast<double>(len) + 1), 1.0 / static_cast<double>(len), 0.3}) {
        for (bool adjust : {false, true}) {
          for (std::size_t start : {std::size_t{0}, len - 1}) {
            std::vector<double> got(x.size()), want(x.size());
            k::ewm(x.data(), x.size(), alpha, adjust, start, x[start], got.data());
            ewm_reference(x.data(), x.size(), alpha, adjust, start, x[start], want.data());
            EXPECT_TRUE(same_bits(got, want)) << len << " " << alpha << " " << adjust << " " << nan_every;
          }
        }
      }
    }
  }
}
