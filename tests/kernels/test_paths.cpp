// Each vector kernel against its baseline path on the same inputs: the same
// bits at every length around the vector width and the chunk size.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels/cpu.hpp"
#include "kernels/event_times.hpp"
#include "ta/kernels.hpp"

namespace qk = quorin_data::kernels;
using qk::Isa;
using quorin_data::kNanosPerSecond;

namespace {

// The vector paths take 8 rows at a time (the event times after 8 rows one
// by one) in chunks of 512 or more rows.
constexpr std::size_t kLengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 23, 24, 25, 511, 512, 513, 1030};

std::uint64_t next(std::uint64_t& s) {
  s ^= s << 13, s ^= s >> 7, s ^= s << 17;
  return s;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

TEST(KernelPaths, EventTimesAgreeOnEveryPath) {
  if (qk::detected() < Isa::avx512) GTEST_SKIP() << "this CPU has no AVX-512";
  const quorin_data::Zone standard = quorin_data::Zone::locate("America/New_York");
  // Release times 37 minutes apart from 2024-03-01, so that the longer runs
  // cross the change to summer time; two rows far out in the nanosecond range
  // take the checked path between vector blocks.
  constexpr std::int64_t kStart = 1709251200LL * kNanosPerSecond;  // 2024-03-01
  for (std::size_t n : kLengths) {
    std::uint64_t seed = 0x9E3779B97F4A7C15ULL + n;
    std::vector<std::int64_t> wall(n), offs(n);
    std::vector<std::uint8_t> valid(n, 1);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t r = next(seed);
      wall[i] = kStart + static_cast<std::int64_t>(i) * 37 * 60 * kNanosPerSecond +
                static_cast<std::int64_t>(r % 60'000'000'000ULL);
      offs[i] = (static_cast<std::int64_t>(r % 5) - 2) * 3600 * kNanosPerSecond;
      if (i == 300 || i == 1001)
        wall[i] = std::numeric_limits<std::int64_t>::max() / 2 + static_cast<std::int64_t>(r % 1000);
      if (i % 29 == 3) valid[i] = 0;
    }
    for (const bool per_row : {false, true})
      for (const bool masked : {false, true}) {
        std::vector<std::int64_t> u[2], d[2], t[2];
        const Isa paths[2] = {Isa::baseline, Isa::avx512};
        for (int p = 0; p < 2; ++p)
          qk::event_times(wall.data(), per_row ? offs.data() : nullptr, -5 * 3600 * kNanosPerSecond,
                          masked ? valid.data() : nullptr, n, standard, u[p], d[p], t[p], paths[p]);
        SCOPED_TRACE(testing::Message() << "n=" << n << " per_row=" << per_row << " masked=" << masked);
        ASSERT_EQ(u[0].size(), n);
        EXPECT_EQ(u[0], u[1]);
        EXPECT_EQ(d[0], d[1]);
        EXPECT_EQ(t[0], t[1]);
      }
  }
}

TEST(KernelPaths, IndicatorKernelsAgreeOnEveryPath) {
  namespace tk = quorin_data::ta::kernels;
  for (std::size_t n : kLengths) {
    std::uint64_t seed = 0xD1B54A32D192ED03ULL + n;
    std::vector<double> h(n), l(n), c(n), v(n);
    double price = 100;
    for (std::size_t i = 0; i < n; ++i) {
      price += static_cast<double>(next(seed) % 2001) * 1e-3 - 1.0;
      l[i] = price - 0.5, h[i] = price + (i % 13 == 0 ? -0.5 : 0.5), c[i] = price;
      v[i] = next(seed) % 31 == 0 ? quorin_data::kNaN : static_cast<double>(next(seed) % 5000);
    }
    for (std::size_t len : {std::size_t{1}, std::size_t{5}, std::size_t{16}}) {
      std::vector<double> weights(len);
      for (std::size_t k = 0; k < len; ++k) weights[k] = static_cast<double>(k + 1);
      const double total = 0.5 * static_cast<double>(len) * static_cast<double>(len + 1);
      std::vector<double> wma[3], cmf[3];
      for (const Isa isa : {Isa::baseline, Isa::avx2, Isa::avx512}) {
        const int p = static_cast<int>(isa);
        wma[p].reserve(n), cmf[p].reserve(n);
        tk::weighted_window(v.data(), n, weights.data(), len, total, tk::Append{&wma[p]}, isa);
        tk::money_flow(h.data(), l.data(), c.data(), v.data(), n, len, 2.220446049250313e-16, tk::Append{&cmf[p]},
                       isa);
      }
      SCOPED_TRACE(testing::Message() << "n=" << n << " len=" << len);
      EXPECT_EQ(wma[0].size(), n);
      EXPECT_EQ(cmf[0].size(), n);
      for (int p = 1; p < 3; ++p) {
        EXPECT_TRUE(same_bits(wma[0], wma[p])) << "weighted window, path " << p;
        EXPECT_TRUE(same_bits(cmf[0], cmf[p])) << "money flow, path " << p;
      }
    }
  }
}
