// sma, ema, rma: working defaults, numerics, seeds, missing values, offsets.
#include "helpers.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/overlap.hpp"

using namespace ta_test;
namespace ov = quorin_data::ta::overlap;

namespace {
std::vector<double> one_to(int n) {
  std::vector<double> v;
  for (int i = 1; i <= n; ++i) v.push_back(i);
  return v;
}
}  // namespace

TEST(WorkingDefaults, AbsentZeroNegativeFractionalAndWrongKinds) {
  auto s = S(prices(30));
  for (Value len : {Value(), Value(0), Value(-5), Value(-0.5)}) {
    EXPECT_EQ(ov::sma(s, len)->name, "SMA_10");
    EXPECT_EQ(ov::ema(s, len)->name, "EMA_10");
    EXPECT_EQ(ov::rma(s, len)->name, "RMA_10");
    EXPECT_EQ(ov::wma(s, len)->name, "WMA_10");
    EXPECT_EQ(ov::hma(s, len)->name, "HMA_9");
  }
  auto s14 = ov::sma(s, Value(14.9));
  EXPECT_EQ(s14->name, "SMA_14");
  EXPECT_EQ(s14->category, "overlap");
  EXPECT_TRUE(Near(s14, ov::sma(s, 14)->f64()));
  try {
    ov::sma(s, Value("10"));
    FAIL();
  } catch (const quorin_data::TypeError& e) {
    EXPECT_STREQ(e.what(), "Argument 'length' has incorrect type (expected int, got str)");
  }
  try {
    ov::ema(s, Value(), Value(quorin_data::List{}));
    FAIL();
  } catch (const quorin_data::TypeError& e) {
    EXPECT_STREQ(e.what(), "Argument 'offset' has incorrect type (expected int, got list)");
  }
  // A wrong kind of offset is an error even when the input would be rejected.
  EXPECT_THROW(ov::sma(S({1, 2}), Value(), Value("x")), quorin_data::TypeError);
  // A fraction below 1 truncates to a window of 0, which cannot average.
  EXPECT_THROW(ov::sma(s, Value(0.5)), quorin_data::ValueError);
  EXPECT_THROW(ov::ema(s, Value(0.5)), quorin_data::ValueError);
  auto r0 = ov::rma(S({2, 4, 8}), Value(0.5));  // alpha 0.5 over the raw values
  EXPECT_EQ(r0->name, "RMA_0");
  EXPECT_TRUE(Near(r0, {2, 3, 5.5}));
}

TEST(Sma, RollingMeanAndMinPeriods) {
  auto s = S(one_to(12));
  EXPECT_TRUE(Near(ov::sma(s), {NaN, NaN, NaN, NaN, NaN, NaN, NaN, NaN, NaN, 5.5, 6.5, 7.5}));
  // min_periods 3: rows 0 and 1 missing, row 2 the mean of rows 0..2.
  auto mp = ov::sma(s, 10, {}, {{"min_periods", 3}});
  EXPECT_TRUE(Near(mp, {NaN, NaN, 2, 2.5, 3, 3.5, 4, 4.5, 5, 5.5, 6.5, 7.5}));
  // ... but the input still needs 10 rows.
  EXPECT_FALSE(ov::sma(S(one_to(9)), 10, {}, {{"min_periods", 3}}));
  // min_periods 0 works as if absent.
  EXPECT_TRUE(Near(ov::sma(s, 10, {}, {{"min_periods", 0}}), ov::sma(s)->f64()));
  // min_periods stays in the keywords and the fill step still sees the fills.
  auto filled = ov::sma(s, 10, {}, {{"min_periods", 3}, {"fillna", -1}});
  EXPECT_TRUE(Near(filled, {-1, -1, 2, 2.5, 3, 3.5, 4, 4.5, 5, 5.5, 6.5, 7.5}));
  // Missing values are left out of each window's mean.
  auto gaps = ov::sma(S({1, NaN, 3, 5, NaN, NaN}), 3, {}, {{"min_periods", 2}});
  EXPECT_TRUE(Near(gaps, {NaN, NaN, 2, 4, 4, NaN}));
  // A window cannot require more values than it holds; with too few rows the
  // input is rejected first and the result is absent.
  EXPECT_THROW(ov::sma(s, 10, {}, {{"min_periods", 11}}), quorin_data::ValueError);
  EXPECT_FALSE(ov::sma(s, 10, {}, {{"min_periods", 13}}));
  // Exactly `length` rows: one value.
  EXPECT_TRUE(Near(ov::sma(S({2, 4, 6}), 3), {NaN, NaN, 4}));
  EXPECT_FALSE(ov::sma(S({2, 4}), 3));
}

TEST(Sma, LongRunStaysExact) {
  // Many add/subtract steps must not drift: a window of equal values or of
  // zeros after large values gives the exact mean.
  std::vector<double> v(5000, 0.1);
  for (std::size_t i = 2000; i < 3000; ++i) v[i] = 1e9 + static_cast<double>(i);
  for (std::size_t i = 3000; i < 5000; ++i) v[i] = 0;
  auto r = ov::sma(S(v), 20);
  EXPECT_NEAR(r->f64()[1999], 0.1, 1e-15);
  EXPECT_EQ(r->f64()[4999], 0.0);
}

// The mean of each window computed directly, in long double, for comparison.
std::vector<double> window_means(const std::vector<double>& x, std::size_t len, std::size_t minp) {
  std::vector<double> want(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    long double sum = 0;
    std::size_t count = 0;
    for (std::size_t j = i + 1 > len ? i + 1 - len : 0; j <= i; ++j)
      if (!std::isnan(x[j])) sum += x[j], ++count;
    want[i] = count >= minp ? static_cast<double>(sum / count) : NaN;
  }
  return want;
}

TEST(Sma, HugeValuesLeaveNoResidue) {
  // Huge values of both signs, then small ones: once the huge values have
  // left the window, the mean is that of the small values alone.
  std::vector<double> v(4000);
  for (std::size_t i = 0; i < 1500; ++i)
    v[i] = (i % 2 ? -1e15 : 3e15) * (1 + 0.37 * std::sin(static_cast<double>(i)));
  for (std::size_t i = 1500; i < v.size(); ++i) v[i] = 0.001 * static_cast<double>(i % 97) + 0.5;
  for (std::size_t len : {7u, 20u, 333u}) {
    auto r = ov::sma(S(v), static_cast<int>(len));
    const auto want = window_means(v, len, len);
    for (std::size_t i = 1500 + len - 1; i < v.size(); ++i)
      ASSERT_NEAR(r->f64()[i], want[i], 1e-12 * std::fabs(want[i])) << "length " << len << " row " << i;
  }
}

TEST(Sma, MatchesDirectWindowMeans) {
  // Lengths below, at and above the internal block and chunk sizes, row
  // counts that are not multiples of them, missing values and min_periods.
  std::vector<double> v = prices(5003);
  for (std::size_t i = 0; i < v.size(); i += 37) v[i] = NaN;
  for (std::size_t i = 2000; i < 2100; ++i) v[i] = NaN;
  for (std::size_t len : {1u, 2u, 3u, 10u, 1000u, 1024u, 1500u}) {
    for (std::size_t minp : {len, (len + 1) / 2, std::size_t{1}}) {
      auto r = ov::sma(S(v), static_cast<int>(len), {},
                       {{"min_periods", static_cast<std::int64_t>(minp)}});
      EXPECT_TRUE(Near(r, window_means(v, len, minp))) << "length " << len << " min " << minp;
    }
  }
}

TEST(Sma, InfinityStaysInItsWindows) {
  // An infinite value gives an infinite mean while it is in the window and
  // does not poison later windows.
  std::vector<double> v = prices(100);
  v[30] = INFINITY;
  auto r = ov::sma(S(v), 5);
  for (std::size_t i = 30; i < 35; ++i) EXPECT_TRUE(std::isinf(r->f64()[i])) << i;
  auto want = window_means(v, 5, 5);
  for (std::size_t i = 35; i < 100; ++i) EXPECT_NEAR(r->f64()[i], want[i], 1e-12 * want[i]) << i;
}

TEST(Ema, SeededRecursionOnTwentyRows) {
  auto x = prices(20);
  auto r = ov::ema(S(x));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "EMA_10");
  std::vector<double> want(20, NaN);
  double m = 0;
  for (int i = 0; i < 10; ++i) m += x[i];
  want[9] = m / 10;
  for (int i = 10; i < 20; ++i) want[i] = 9.0 / 11 * want[i - 1] + 2.0 / 11 * x[i];
  EXPECT_TRUE(Near(r, want));
}

TEST(Ema, UnseededAndAdjusted) {
  auto x = prices(15);
  const double a = 2.0 / 11;
  auto plain = ov::ema(S(x), {}, {}, {{"sma", false}});
  std::vector<double> want(15);
  want[0] = x[0];
  for (int i = 1; i < 15; ++i) want[i] = (1 - a) * want[i - 1] + a * x[i];
  EXPECT_TRUE(Near(plain, want));

  auto adj = ov::ema(S(x), {}, {}, {{"adjust", true}, {"sma", false}});
  for (int i = 0; i < 15; ++i) {
    double num = 0, den = 0;
    for (int j = 0; j <= i; ++j) {
      num += std::pow(1 - a, i - j) * x[j];
      den += std::pow(1 - a, i - j);
    }
    want[i] = num / den;
  }
  EXPECT_TRUE(Near(adj, want));
  // The consumed keywords do not reach the fill step; others do.
  auto withfill = ov::ema(S({NaN, 2, 4}), 2, {}, {{"sma", false}, {"fillna", 7}});
  EXPECT_TRUE(Near(withfill, {7, 2, 2 + (4 - 2) * (2.0 / 3)}));
}

TEST(Ema, MissingValuesInTheSeedAndLater) {
  // A missing value in the seed window is left out of the seed.
  auto r = ov::ema(S({1, NaN, 3, 10}), 3);
  EXPECT_TRUE(Near(r, {NaN, NaN, 2, 6}));  // alpha 0.5
  // All seed rows missing: the average starts at the first present row after.
  EXPECT_TRUE(Near(ov::ema(S({NaN, NaN, NaN, 4, 6}), 3), {NaN, NaN, NaN, 4, 5}));
  // A missing value later repeats the mean and the weight keeps decaying.
  auto g = ov::ema(S({2, 2, 2, NaN, 10}), 3);
  const double w = 0.25;  // (1 - 0.5)^2 after the missing row
  EXPECT_TRUE(Near(g, {NaN, NaN, 2, 2, (w * 2 + 0.5 * 10) / (w + 0.5)}));
  EXPECT_FALSE(ov::ema(S({1, 2}), 3));
}

TEST(Rma, AlphaOneOverLengthAdjustIgnored) {
  auto x = prices(25);
  auto r = ov::rma(S(x));
  std::vector<double> want(25, NaN);
  double m = 0;
  for (int i = 0; i < 10; ++i) m += x[i];
  want[9] = m / 10;
  for (int i = 10; i < 25; ++i) want[i] = 0.9 * want[i - 1] + 0.1 * x[i];
  EXPECT_TRUE(Near(r, want));
  EXPECT_EQ(r->name, "RMA_10");
  EXPECT_TRUE(Near(ov::rma(S(x), {}, {}, {{"adjust", true}, {"sma", false}}), want));
}

TEST(Offsets, ShiftTheResultAfterComputing) {
  auto s = S(one_to(12));
  auto base = ov::sma(s, 3);
  auto shifted = ov::sma(s, 3, 2);
  std::vector<double> want(12, NaN);
  for (int i = 2; i < 12; ++i) want[i] = base->f64()[i - 2];
  EXPECT_TRUE(Near(shifted, want));
  // The shift comes before the fill.
  auto filled = ov::sma(s, 3, -1, {{"fill_method", "ffill"}});
  EXPECT_TRUE(Near(filled, {NaN, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 11}));
  EXPECT_TRUE(Near(ov::ema(s, 3, 1.9), ov::ema(s, 3, 1)->f64()));
}
