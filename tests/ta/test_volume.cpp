// obv, ad, adosc, cmf.
#include "helpers.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/utils.hpp"
#include "quorin_data/ta/volume.hpp"

using namespace ta_test;
namespace ov = quorin_data::ta::overlap;
namespace vo = quorin_data::ta::volume;

namespace {
struct Bars {
  Series h, l, c, v;
};
Bars bars(std::size_t n) {
  auto c = prices(n);
  std::vector<double> h(n), l(n), v(n);
  for (std::size_t i = 0; i < n; ++i) {
    h[i] = c[i] + 1 + 0.3 * std::cos(static_cast<double>(i));
    l[i] = c[i] - 1 - 0.2 * std::sin(static_cast<double>(i));
    v[i] = 1000 + 100 * static_cast<double>(i % 7);
  }
  return {S(h), S(l), S(c), S(v)};
}
// Sets one cell of a series (columns are immutable: the series is rebuilt).
void put(Series& s, std::size_t i, double x) {
  std::vector<double> v(s.f64().begin(), s.f64().end());
  v.at(i) = x;
  s = Series(std::move(v), s.index, s.name);
}
Series text_series(std::size_t n) {
  return Series(quorin_data::Column::texts(std::vector<std::string>(n, "x")), Index::range(n));
}
}  // namespace

TEST(Obv, SignedRunningVolume) {
  auto r = vo::obv(S({10, 11, 9, 9, 12}), S({5, 2, 3, 4, 1}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "OBV");
  EXPECT_EQ(r->category, "volume");
  EXPECT_TRUE(Near(r, {5, 7, 4, 4, 5}));
  // A missing close spoils the changes into and out of its row; the running
  // total carries on afterwards.
  EXPECT_TRUE(Near(vo::obv(S({10, 11, NaN, 12, 13}), S({5, 2, 3, 4, 1})), {5, 7, NaN, NaN, 8}));
  EXPECT_TRUE(Near(vo::obv(S({10, 11, 12}), S({5, NaN, 1})), {5, NaN, 6}));
  EXPECT_FALSE(vo::obv(text_series(3), S({1, 2, 3})));
  // Misaligned: the direction follows close's own rows, then meets volume.
  auto m = vo::obv(S({10, 11, 9}, {0, 1, 2}), S({1, 1, 1, 1}, {0, 1, 2, 3}));
  EXPECT_TRUE(Near(m, {1, 2, 1, NaN}));
}

TEST(Ad, CloseLocationTimesVolume) {
  // clv = ((c - l) - (h - c)) / (h - l): +1 at the high, -1 at the low, 0 mid.
  auto r = vo::ad(S({10, 10, 10, 5}), S({0, 0, 0, 5}), S({10, 0, 5, 5}), S({2, 3, 4, 9}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "AD");
  // A bar with high == low has a finite clv (0 here).
  EXPECT_TRUE(Near(r, {2, -1, -1, -1}));
  auto g = vo::ad(S({10, 10, 10}), S({0, 0, 0}), S({10, NaN, 10}), S({1, 1, 1}));
  EXPECT_TRUE(Near(g, {1, NaN, 2}));
  EXPECT_FALSE(vo::ad(S({1}), S({1}), S({1}), text_series(1)));
  auto b = bars(30);
  EXPECT_TRUE(Near(vo::ad(b.h, b.l, b.c, b.v, 2), quorin_data::ta::utils::_apply_offset(
                                                       *vo::ad(b.h, b.l, b.c, b.v), 2)
                                                       .f64()));
}

TEST(Adosc, FastMinusSlowEmaOfTheAdLine) {
  auto b = bars(40);
  auto line = vo::ad(b.h, b.l, b.c, b.v);
  for (Value f : {Value(), Value(0), Value(-3)}) {
    auto r = vo::adosc(b.h, b.l, b.c, b.v, f, f);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->name, "ADOSC_3_10");
    EXPECT_EQ(r->category, "volume");
    auto e3 = ov::ema(*line, 3), e10 = ov::ema(*line, 10);
    std::vector<double> want(40);
    for (int i = 0; i < 40; ++i) want[i] = e3->f64()[i] - e10->f64()[i];
    EXPECT_TRUE(Near(r, want));
  }
  // The given order is kept.
  auto r = vo::adosc(b.h, b.l, b.c, b.v, 12, 5);
  EXPECT_EQ(r->name, "ADOSC_12_5");
  auto e12 = ov::ema(*line, 12), e5 = ov::ema(*line, 5);
  EXPECT_NEAR(r->f64()[20], e12->f64()[20] - e5->f64()[20], 1e-9);
  EXPECT_THROW(vo::adosc(b.h, b.l, b.c, b.v, "3"), quorin_data::TypeError);
  EXPECT_FALSE(vo::adosc(b.h, b.l, text_series(40), b.v));
}

TEST(Adosc, FillsReachOnlyTheOuterCall) {
  auto b = bars(30);
  put(b.c, 5, NaN);  // the AD line is missing at row 5
  auto plain = vo::adosc(b.h, b.l, b.c, b.v);
  auto filled = vo::adosc(b.h, b.l, b.c, b.v, {}, {}, {}, {{"fillna", 0}});
  // Had the fill reached the inner ad, row 5 of the AD line would be 0 and
  // every later average would differ.
  std::vector<double> want(plain->f64().begin(), plain->f64().end());
  for (double& x : want)
    if (std::isnan(x)) x = 0;
  EXPECT_TRUE(Near(filled, want));
}

TEST(Adosc, AbsentInnerEmaIsAnError) {
  auto b = bars(7);
  try {
    vo::adosc(b.h, b.l, b.c, b.v);
    FAIL();
  } catch (const quorin_data::ValueError& e) {
    EXPECT_STREQ(e.what(),
                 "adosc: EMA_10 of the AD line is absent: the AD line has 7 rows, fewer than "
                 "the window 10");
  }
  auto two = bars(2);
  try {
    vo::adosc(two.h, two.l, two.c, two.v);
    FAIL();
  } catch (const quorin_data::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("EMA_3"), std::string::npos);
  }
}

TEST(Cmf, RollingMoneyFlowOverRollingVolume) {
  // Length 2 by hand: clv 1, -1, 0, 1 with volumes 1, 3, 2, 2.
  auto r = vo::cmf(S({2, 2, 2, 2}), S({0, 0, 0, 0}), S({2, 0, 1, 2}), S({1, 3, 2, 2}), 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "CMF_2");
  EXPECT_TRUE(Near(r, {NaN, -2.0 / 4, -3.0 / 5, 2.0 / 4}));
  auto b = bars(40);
  EXPECT_EQ(vo::cmf(b.h, b.l, b.c, b.v)->name, "CMF_20");
  EXPECT_EQ(vo::cmf(b.h, b.l, b.c, b.v, -1)->name, "CMF_20");
  EXPECT_EQ(vo::cmf(b.h, b.l, b.c, b.v, 0)->name, "CMF_20");
  auto c14 = vo::cmf(b.h, b.l, b.c, b.v, 14.9);
  EXPECT_EQ(c14->name, "CMF_14");
  EXPECT_TRUE(Near(c14, vo::cmf(b.h, b.l, b.c, b.v, 14)->f64()));
  EXPECT_FALSE(vo::cmf(b.h, b.l, b.c, bars(19).v));  // any input too short
}

TEST(Cmf, MissingAndZeroVolumeWindows) {
  auto b = bars(40);
  put(b.c, 25, NaN);
  auto r = vo::cmf(b.h, b.l, b.c, b.v, 5);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isnan(r->f64()[i]));
  EXPECT_FALSE(std::isnan(r->f64()[24]));
  for (int i = 25; i < 30; ++i) EXPECT_TRUE(std::isnan(r->f64()[i])) << i;
  EXPECT_FALSE(std::isnan(r->f64()[30]));
  // A stretch of zero volume: money flow and volume sums both zero -> missing;
  // no exception and no finite value.
  auto z = bars(40);
  for (int i = 10; i < 30; ++i) put(z.v, i, 0);
  auto zr = vo::cmf(z.h, z.l, z.c, z.v, 5);
  for (int i = 14; i < 30; ++i) EXPECT_FALSE(std::isfinite(zr->f64()[i])) << i;
  EXPECT_TRUE(std::isfinite(zr->f64()[34]));
  // Volumes that cancel with a non-zero money flow: infinite.
  auto inf = vo::cmf(S({2, 2}), S({0, 0}), S({2, 1}), S({1, -1}), 2);
  EXPECT_TRUE(std::isinf(inf->f64()[1]));
}

// Chaikin money flow computed directly, in long double: missing unless all
// window values are present.
std::vector<double> direct_cmf(const Bars& b, std::size_t len) {
  const auto &h = b.h.f64(), &l = b.l.f64(), &c = b.c.f64(), &v = b.v.f64();
  std::vector<double> want(h.size(), NaN);
  for (std::size_t i = len - 1; i < h.size(); ++i) {
    long double mf = 0, vol = 0;
    bool missing = false;
    for (std::size_t j = i + 1 - len; j <= i; ++j) {
      double hl = h[j] - l[j];
      if (hl == 0) hl = quorin_data::ta::utils::kZeroRange;
      const double t = ((c[j] - l[j]) - (h[j] - c[j])) / hl * v[j];
      if (std::isnan(t) || std::isnan(v[j])) missing = true;
      mf += t, vol += v[j];
    }
    if (!missing) want[i] = static_cast<double>(mf / vol);
  }
  return want;
}

TEST(Cmf, MatchesDirectComputation) {
  auto b = bars(3001);
  for (std::size_t i = 0; i < 3001; i += 101) put(b.c, i, NaN);
  for (std::size_t i = 50; i < 3001; i += 203) put(b.v, i, NaN);
  for (std::size_t len : {1u, 2u, 20u, 1024u, 1300u}) {
    auto r = vo::cmf(b.h, b.l, b.c, b.v, static_cast<int>(len));
    EXPECT_TRUE(Near(r, direct_cmf(b, len), 1e-11)) << "length " << len;
  }
}

TEST(Cmf, HugeVolumesLeaveNoResidue) {
  // Huge volumes (and money flows) followed by ordinary ones: once the huge
  // rows have left the window, the ratio is that of the ordinary rows alone.
  auto b = bars(3000);
  for (std::size_t i = 0; i < 1000; ++i) put(b.v, i, 1e17 * (1 + 0.5 * std::sin(double(i))));
  put(b.v, 1200, INFINITY);  // an infinite volume stays in its own windows
  const std::size_t len = 20;
  auto r = vo::cmf(b.h, b.l, b.c, b.v, static_cast<int>(len));
  const auto want = direct_cmf(b, len);
  for (std::size_t i = 1000 + len - 1; i < 3000; ++i) {
    if (i >= 1200 && i < 1200 + len) {
      EXPECT_FALSE(std::isfinite(r->f64()[i])) << i;
      continue;
    }
    ASSERT_NEAR(r->f64()[i], want[i], 1e-12 * std::max(1.0, std::fabs(want[i]))) << i;
  }
}
