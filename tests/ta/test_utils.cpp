// Series utilities: verification, offsets, fills, ranges, directions, and
// the alignment of element-wise arithmetic.
#include "helpers.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/utils.hpp"

using namespace ta_test;
namespace ut = quorin_data::ta::utils;
namespace ov = quorin_data::ta::overlap;
using quorin_data::Column;
using quorin_data::DType;

TEST(VerifySeries, ConvertsIntegersAndRejectsNonNumbersAndShortSeries) {
  Series ints(Column::ints({1, 2, 3}, {1, 0, 1}), Index::range(3), "x");
  auto v = ut::verify_series(ints);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->values.type(), DType::Float64);
  EXPECT_TRUE(Near(v->f64(), {1, NaN, 3}));
  EXPECT_EQ(v->name, "x");

  Series text(Column::texts({"a", "b"}), Index::range(2));
  EXPECT_FALSE(ut::verify_series(text));
  EXPECT_FALSE(ut::verify_series(S({1, 2, 3}), 4));
  EXPECT_TRUE(ut::verify_series(S({1, 2, 3}), 3));
  EXPECT_TRUE(ut::verify_series(S({})));

  // An integer input computes like its float equivalent.
  Series ints10(Column::ints({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), Index::range(10));
  EXPECT_TRUE(Near(ov::sma(ints10), ov::sma(S({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}))->f64()));
  EXPECT_FALSE(ov::sma(Series(Column::texts(std::vector<std::string>(12, "a")), Index::range(12))));
}

TEST(GetOffset, TruncatesAndRejectsOtherKinds) {
  EXPECT_EQ(ut::get_offset(Value()), 0);
  EXPECT_EQ(ut::get_offset(Value(3)), 3);
  EXPECT_EQ(ut::get_offset(Value(2.9)), 2);
  EXPECT_EQ(ut::get_offset(Value(-2.9)), -2);
  try {
    ut::get_offset(Value("1"));
    FAIL();
  } catch (const quorin_data::TypeError& e) {
    EXPECT_STREQ(e.what(), "Argument 'offset' has incorrect type (expected int, got str)");
  }
  EXPECT_THROW(ut::get_offset(Value(NaN)), quorin_data::ValueError);
  EXPECT_EQ(ut::get_drift(Value()), 1);
  EXPECT_EQ(ut::get_drift(Value(-3)), 1);
  EXPECT_EQ(ut::get_drift(Value(2.5)), 2);
}

TEST(ApplyOffset, PositiveMovesValuesLater) {
  auto s = S({1, 2, 3, 4}, {10, 11, 12, 13});
  auto fwd = ut::_apply_offset(s, 1);
  EXPECT_TRUE(Near(fwd.f64(), {NaN, 1, 2, 3}));
  EXPECT_EQ(fwd.index, s.index);
  EXPECT_TRUE(Near(ut::_apply_offset(s, -2).f64(), {3, 4, NaN, NaN}));
  EXPECT_TRUE(Near(ut::_apply_offset(s, 0).f64(), {1, 2, 3, 4}));
  EXPECT_TRUE(Near(ut::_apply_offset(s, 9).f64(), {NaN, NaN, NaN, NaN}));
  EXPECT_TRUE(Near(ut::_apply_offset(s, -9).f64(), {NaN, NaN, NaN, NaN}));
  EXPECT_TRUE(Near(s.f64(), {1, 2, 3, 4}));  // input unchanged
}

TEST(HandleFills, MethodThenConstantUnknownIgnored) {
  auto s = S({NaN, 1, NaN, 3, NaN});
  EXPECT_TRUE(Near(ut::_handle_fills(s, {}).f64(), {NaN, 1, NaN, 3, NaN}));
  EXPECT_TRUE(Near(ut::_handle_fills(s, {{"fill_method", "ffill"}}).f64(), {NaN, 1, 1, 3, 3}));
  EXPECT_TRUE(Near(ut::_handle_fills(s, {{"fill_method", "bfill"}}).f64(), {1, 1, 3, 3, NaN}));
  EXPECT_TRUE(Near(ut::_handle_fills(s, {{"fillna", 0}}).f64(), {0, 1, 0, 3, 0}));
  EXPECT_TRUE(Near(ut::_handle_fills(s, {{"fill_method", "ffill"}, {"fillna", -1.5}}).f64(),
                   {-1.5, 1, 1, 3, 3}));
  EXPECT_TRUE(Near(ut::_handle_fills(s, {{"whatever", 1}, {"fillna", Value()}}).f64(),
                   {NaN, 1, NaN, 3, NaN}));
  EXPECT_THROW(ut::_handle_fills(s, {{"fill_method", "sideways"}}), quorin_data::ValueError);
  EXPECT_THROW(ut::_handle_fills(s, {{"fillna", "zero"}}), quorin_data::TypeError);
}

TEST(NonZeroRangeAndSignedSeries, Basics) {
  auto r = ut::non_zero_range(S({3, 2, NaN}), S({1, 2, 1}));
  EXPECT_EQ(r.f64()[0], 2);
  EXPECT_EQ(r.f64()[1], ut::kZeroRange);
  EXPECT_GT(r.f64()[1], 0);
  EXPECT_TRUE(std::isnan(r.f64()[2]));
  auto sg = ut::signed_series(S({5, 6, 6, 4, NaN, 7}), 1);
  EXPECT_TRUE(Near(sg.f64(), {1, 1, 0, -1, NaN, NaN}));
  EXPECT_EQ(ut::signed_series(S({NaN, 1}), -1).f64()[0], -1);
}

TEST(Alignment, UnionOfLabelsMissingWhereAbsent) {
  // hlc3 over three differently indexed inputs runs over the union of labels.
  auto h = S({3, 6, 9}, {0, 1, 2});
  auto l = S({0, 3, 6}, {1, 2, 3});
  auto c = S({3, 3, 3, 3}, {0, 1, 2, 3});
  auto r = ov::hlc3(h, l, c);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->index, Index::ints({0, 1, 2, 3}));
  EXPECT_TRUE(Near(r, {NaN, 3, 5, NaN}));

  // Text labels: first index's order, then the new labels.
  Series a({1, 2}, Index::texts({"b", "a"}));
  Series b({10, 20}, Index::texts({"a", "c"}));
  auto ab = ov::hlc3(a, a, b);
  ASSERT_TRUE(ab);
  EXPECT_EQ(ab->index, Index::texts({"b", "a", "c"}));
  EXPECT_TRUE(Near(ab, {NaN, 14.0 / 3, NaN}));

  // Equal labels in a different order still pair by label.
  auto x = S({1, 2, 3}, {2, 0, 1});
  auto y = S({30, 10, 20}, {1, 2, 0});
  auto xy = ov::hlc3(x, y, y);
  ASSERT_TRUE(xy);
  EXPECT_EQ(xy->index, Index::ints({2, 0, 1}));
  EXPECT_TRUE(Near(xy, {7, 14, 21}));

  EXPECT_THROW(ov::hlc3(S({1, 2}, {0, 0}), S({1, 2}, {0, 1}), S({1, 2}, {0, 1})),
               quorin_data::ValueError);
  EXPECT_THROW(ov::hlc3(a, S({1, 2}), S({1, 2})), quorin_data::ValueError);
}
