// wma, dema, tema, hma: weights, composition, keyword paths, inner absents.
#include "helpers.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/overlap.hpp"

using namespace ta_test;
namespace ov = quorin_data::ta::overlap;

TEST(Wma, WeightOrderAndMissingWindows) {
  EXPECT_TRUE(Near(ov::wma(S({1, 2, 3, 4}), 3), {NaN, NaN, 14.0 / 6, 20.0 / 6}));
  EXPECT_TRUE(Near(ov::wma(S({1, 2, 3, 4}), 3, false), {NaN, NaN, 10.0 / 6, 16.0 / 6}));
  EXPECT_TRUE(Near(ov::wma(S({1, 2, 3, 4}), 3, Value("")), {NaN, NaN, 10.0 / 6, 16.0 / 6}));
  // One missing value spoils its row and the next length-1 rows.
  auto r = ov::wma(S({1, 2, 3, NaN, 5, 6, 7, 8}), 3);
  EXPECT_TRUE(Near(r, {NaN, NaN, 14.0 / 6, NaN, NaN, NaN, 38.0 / 6, 44.0 / 6}));
  EXPECT_FALSE(ov::wma(S({1, 2}), 3));
  // A long window (the vector loop and its tail) against a plain dot product.
  auto x = prices(120);
  auto w = ov::wma(S(x), 50);
  for (std::size_t i = 49; i < x.size(); ++i) {
    double acc = 0;
    for (int k = 0; k < 50; ++k) acc += (k + 1) * x[i - 49 + k];
    EXPECT_NEAR(w->f64()[i], acc / 1275.0, 1e-9) << i;
  }
}

TEST(DemaTema, CompositionOfInnerEmas) {
  auto x = S(prices(40));
  auto e1 = ov::ema(x);
  auto e2 = ov::ema(*e1);
  auto e3 = ov::ema(*e2);
  std::vector<double> d(40), t(40);
  for (int i = 0; i < 40; ++i) {
    d[i] = 2 * e1->f64()[i] - e2->f64()[i];
    t[i] = (3 * e1->f64()[i] - 3 * e2->f64()[i]) + e3->f64()[i];
  }
  auto dm = ov::dema(x);
  EXPECT_EQ(dm->name, "DEMA_10");
  EXPECT_TRUE(Near(dm, d));
  EXPECT_TRUE(Near(ov::tema(x), t));
  // First present row at length-1, equal to the seed of close.
  EXPECT_TRUE(std::isnan(dm->f64()[8]));
  EXPECT_NEAR(dm->f64()[9], e1->f64()[9], 1e-12);
  EXPECT_NEAR(ov::tema(x)->f64()[9], e1->f64()[9], 1e-12);
}

TEST(DemaTema, KeywordsReachEveryInnerEma) {
  auto x = S(prices(40));
  Kwargs k{{"sma", false}};
  auto e1 = ov::ema(x, 10, {}, k);
  auto e2 = ov::ema(*e1, 10, {}, k);
  std::vector<double> d(40);
  for (int i = 0; i < 40; ++i) d[i] = 2 * e1->f64()[i] - e2->f64()[i];
  auto dm = ov::dema(x, {}, {}, k);
  EXPECT_TRUE(Near(dm, d));
  EXPECT_FALSE(std::isnan(dm->f64()[0]));

  Kwargs a{{"adjust", true}};
  auto a1 = ov::ema(x, 5, {}, a);
  auto a2 = ov::ema(*a1, 5, {}, a);
  auto a3 = ov::ema(*a2, 5, {}, a);
  std::vector<double> t(40);
  for (int i = 0; i < 40; ++i) t[i] = (3 * a1->f64()[i] - 3 * a2->f64()[i]) + a3->f64()[i];
  auto tm = ov::tema(x, 5, {}, a);
  EXPECT_TRUE(Near(tm, t));
  EXPECT_FALSE(Near(tm, ov::tema(x, 5)->f64()));

  // Fills act on every inner average too (the zeros enter the next seed).
  Kwargs f{{"fillna", 0}};
  auto f1 = ov::ema(x, 4, {}, f);
  auto f2 = ov::ema(*f1, 4, {}, f);
  std::vector<double> df(40);
  for (int i = 0; i < 40; ++i) df[i] = 2 * f1->f64()[i] - f2->f64()[i];
  EXPECT_TRUE(Near(ov::dema(x, 4, {}, f), df));
}

TEST(Hma, LineIsReproducedFromTheFirstPresentRow) {
  // On a straight line every wma lags by (n-1)/3 and the Hull combination
  // cancels the lag exactly: hma(i) = i from row length + sqrt_len - 2.
  std::vector<double> v(30);
  for (int i = 0; i < 30; ++i) v[i] = i;
  auto h = ov::hma(S(v));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->name, "HMA_9");
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(std::isnan(h->f64()[i])) << i;
  for (int i = 10; i < 30; ++i) EXPECT_NEAR(h->f64()[i], i, 1e-9) << i;
  // length 10: half 5, sqrt 3, first row 11; lags 4/3, 3 and 2/3 leave
  // 2*(i - 4/3) - (i - 3) - 2/3 = i - 1/3.
  auto h10 = ov::hma(S(v), 10);
  EXPECT_TRUE(std::isnan(h10->f64()[10]));
  for (int i = 11; i < 30; ++i) EXPECT_NEAR(h10->f64()[i], i - 1.0 / 3, 1e-9) << i;
  // Options of the outer call do not reach the inner wma.
  auto ho = ov::hma(S(v), {}, 1, {{"fillna", -1}});
  EXPECT_EQ(ho->f64()[0], -1);
  EXPECT_EQ(ho->f64()[10], -1);
  EXPECT_NEAR(ho->f64()[11], 10, 1e-9);
}

TEST(Hma, AbsentInnerAverageIsAnError) {
  // length 1: half_len 0 defaults to 10 in the inner wma, longer than 5 rows.
  try {
    ov::hma(S({1, 2, 3, 4, 5}), 1);
    FAIL();
  } catch (const quorin_data::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("WMA_10"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("5 rows"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(ov::hma(S({1, 2, 3})));  // the outer check comes first
}

TEST(DemaTema, AbsentInnerEmaIsAnErrorNamingIt) {
  // length 0.5 truncates to 0, which the inner ema takes as its default 10.
  const auto s = S({1, 2, 3, 4, 5});
  try {
    ov::dema(s, 0.5);
    FAIL();
  } catch (const quorin_data::ValueError& e) {
    EXPECT_STREQ(e.what(), "dema: EMA_10 of close is absent: close has 5 rows, fewer than the window 10");
  }
  try {
    ov::tema(s, 0.5);
    FAIL();
  } catch (const quorin_data::ValueError& e) {
    EXPECT_STREQ(e.what(), "tema: EMA_10 of close is absent: close has 5 rows, fewer than the window 10");
  }
}

TEST(AllEqualSeries, EveryAverageGivesTheValue) {
  auto s = S(std::vector<double>(40, 7.3));
  for (auto r : {ov::sma(s), ov::ema(s), ov::rma(s), ov::wma(s), ov::dema(s), ov::tema(s),
                 ov::hma(s), ov::ema(s, 10, {}, {{"adjust", true}, {"sma", false}})}) {
    ASSERT_TRUE(r);
    int present = 0;
    for (double x : r->f64())
      if (!std::isnan(x)) {
        EXPECT_NEAR(x, 7.3, 1e-12) << r->name;
        ++present;
      }
    EXPECT_GT(present, 20) << r->name;
  }
}
