// The fast paths of the wma and ema kernels against the plain per-row loops
// they replace: the same bits, with and without missing values.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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
  for (unsigned nan_every : {0u, 7u, 97u}) {
    const auto x = walk(1003, nan_every, 0x9e3779b97f4a7c15ull + nan_every);
    for (std::size_t len : {1, 2, 3, 4, 5, 7, 8, 9, 10, 13, 50, 1003, 1004}) {
      std::vector<double> w(len);
      for (std::size_t j = 0; j < len; ++j) w[j] = static_cast<double>(len - j);
      const double total = (0.5 * static_cast<double>(len)) * (static_cast<double>(len) + 1);
      std::vector<double> got(x.size()), got4(x.size()), want(x.size());
      k::weighted_window(x.data(), x.size(), w.data(), len, total, got.data());  // AVX2 where the CPU has it
      k::weighted_window_rows<4>(x.data(), x.size(), w.data(), len, total, got4.data());
      for (std::size_t i = 0; i < x.size(); ++i) {
        bool missing = i + 1 < len;
        for (std::size_t j = 0; !missing && j < len; ++j) missing = std::isnan(x[i + 1 - len + j]);
        want[i] = missing ? quorin_data::kNaN : k::dot(x.data() + i + 1 - len, w.data(), len) / total;
      }
      EXPECT_TRUE(same_bits(got, want)) << "len " << len << " nan_every " << nan_every;
      EXPECT_TRUE(same_bits(got4, want)) << "4 rows, len " << len << " nan_every " << nan_every;
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
