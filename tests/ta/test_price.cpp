// hlc3, vwap and the ma dispatcher.
#include "helpers.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/overlap.hpp"

using namespace ta_test;
namespace ov = quorin_data::ta::overlap;

TEST(Hlc3, TypicalPrice) {
  auto r = ov::hlc3(S({3, 6, 9}), S({1, 3, NaN}), S({2, 3, 4}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "HLC3");
  EXPECT_EQ(r->category, "overlap");
  EXPECT_EQ(r->f64()[0], 2.0);
  EXPECT_EQ(r->f64()[1], 4.0);
  EXPECT_TRUE(std::isnan(r->f64()[2]));
  // The additions run left to right before the division.
  const double h = 0.1, l = 0.2, c = 0.3;
  EXPECT_EQ(ov::hlc3(S({h}), S({l}), S({c}))->f64()[0], (h + l + c) / 3.0);
  EXPECT_FALSE(ov::hlc3(S({1}), S({1}), Series(quorin_data::Column::texts({"x"}), Index::range(1))));
  EXPECT_THROW(ov::hlc3(S({1}), S({1}), S({1}), Value("1")), quorin_data::TypeError);
}

TEST(Vwap, RunningSumsAndUnguardedDivision) {
  // tp 10 with volume 1, then tp 20 with volume 3.
  auto h = S({10, 20}), l = S({10, 20}), c = S({10, 20}), v = S({1, 3});
  auto r = ov::vwap(h, l, c, v);
  EXPECT_EQ(r->name, "VWAP");
  EXPECT_TRUE(Near(r, {10, 17.5}));
  EXPECT_TRUE(Near(ov::vwap(h, l, c, v, "D"), {10, 17.5}));
  try {
    ov::vwap(h, l, c, v, 5);
    FAIL();
  } catch (const quorin_data::TypeError& e) {
    EXPECT_STREQ(e.what(), "Argument 'anchor' has incorrect type (expected str, got int)");
  }
  // Zero volume at the start: 0/0 is missing until the total is non-zero.
  auto z = ov::vwap(S({1, 2, 3}), S({1, 2, 3}), S({1, 2, 3}), S({0, 0, 2}));
  EXPECT_TRUE(Near(z, {NaN, NaN, 3}));
  // A volume total back at zero with a non-zero numerator is infinite.
  auto inf = ov::vwap(S({1, 2}), S({1, 2}), S({1, 2}), S({1, -1}));
  EXPECT_TRUE(Near(inf, {1, -std::numeric_limits<double>::infinity()}));
  // A missing price skips the numerator term only; a missing volume both.
  auto g = ov::vwap(S({10, NaN, 30, 40}), S({10, 20, 30, 40}), S({10, 20, 30, 40}),
                    S({1, 1, NaN, 1}));
  EXPECT_TRUE(Near(g, {10, NaN, NaN, 50.0 / 3}));
}

TEST(Ma, DispatchByNameAndForwarding) {
  auto s = S(prices(40));
  auto e = ov::ma("EMA", s, {{"length", 20}});
  EXPECT_EQ(e->name, "EMA_20");
  EXPECT_EQ(*e, *ov::ema(s, 20));
  EXPECT_EQ(ov::ma("xyz", s)->name, "SMA_10");
  EXPECT_EQ(*ov::ma("vwap", s), *ov::sma(s));
  EXPECT_EQ(*ov::ma("wma", s, {{"asc", false}, {"length", 4}}), *ov::wma(s, 4, false));
  EXPECT_EQ(*ov::ma("Hma", s), *ov::hma(s));
  EXPECT_EQ(*ov::ma("rma", s, {{"offset", 2}, {"length", 5}}), *ov::rma(s, 5, 2));
  // Keywords that are not parameters land in the chosen function's extras.
  EXPECT_EQ(*ov::ma("dema", s, {{"sma", false}, {"fillna", 0}}),
            *ov::dema(s, {}, {}, {{"sma", false}, {"fillna", 0}}));
  EXPECT_EQ(*ov::ma("sma", s, {{"min_periods", 2}, {"asc", false}}),
            *ov::sma(s, {}, {}, {{"min_periods", 2}}));
  EXPECT_FALSE(ov::ma("sma", S({1, 2})));
  EXPECT_THROW(ov::ma("sma", s, {{"length", "x"}}), quorin_data::TypeError);
  try {
    ov::ma(Value(), s);
    FAIL();
  } catch (const quorin_data::TypeError& e) {
    EXPECT_STREQ(e.what(), "Argument 'mode' has incorrect type (expected str, got NoneType)");
  }
}
