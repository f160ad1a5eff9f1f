// The order of the opening steps every indicator shares: inputs verified in
// argument order, then the offset's value, then absent inputs, then the
// window.
#include <gmock/gmock.h>

#include "helpers.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/volume.hpp"

using namespace ta_test;
namespace ov = quorin_data::ta::overlap;
namespace vo = quorin_data::ta::volume;
using quorin_data::Column;
using ::testing::HasSubstr;

namespace {

template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const quorin_data::ValueError& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(IndicatorOpening, ChecksInOrderAndKeepsConvertedInputs) {
  const Series ok = S(std::vector<double>(25, 1.0));
  const Series shorter = S({1, 2});
  // A caller's buffer of 3 values on 2 labels: a Series cannot be built so.
  const std::vector<double> three{1, 2, 3};
  const Index two = Index::range(2);
  const quorin_data::ta::utils::SeriesRef broken(three.data(), three.size(), two);
  const Value nan_offset(NaN);

  // A broken series raises even behind an absent one.
  EXPECT_THAT(error_of([&] { vo::cmf(shorter, broken, ok, ok); }),
              HasSubstr("series '' holds 3 values on an index of 2 labels"));
  // A bad offset raises even when an input is absent.
  EXPECT_THAT(error_of([&] { ov::sma(shorter, Value(), nan_offset); }), HasSubstr("cannot convert float NaN"));
  EXPECT_FALSE(ov::sma(shorter));
  EXPECT_FALSE(vo::cmf(ok, ok, shorter, ok));
  // A window truncated to 0 raises only when every input is usable.
  EXPECT_THAT(error_of([&] { ov::sma(ok, Value(0.5)); }), HasSubstr("sma: the window length truncates to 0"));
  EXPECT_THAT(error_of([&] { vo::cmf(ok, ok, ok, ok, Value(0.5)); }),
              HasSubstr("cmf: the window length truncates to 0"));
  const Series text(Column::texts({"a", "b"}), Index::range(2));
  EXPECT_FALSE(ov::wma(text, Value(0.5)));

  // Integer inputs are converted copies; they stay readable through the call.
  const Series ints(Column::ints({3, 6, 9}), Index::range(3));
  EXPECT_TRUE(Near(ov::hlc3(ints, ints, S({0, 3, 6})), {2, 5, 8}));
  EXPECT_TRUE(Near(vo::ad(ints, S({1, 2, 3}), ints, ints), {3, 9, 18}));
}
