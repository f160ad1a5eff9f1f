// Writer round trips through our reader, and what the writer refuses.
#include <gtest/gtest.h>

#include <limits>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "xlsx/xlsx_test_support.hpp"
#include "support/column_values.hpp"

using namespace quorin_data;

namespace {

Frame round_trip(const Frame& f, bool index) {
  const auto bytes = formats::write_xlsx(f, index);
  return formats::read_xlsx(bytes.data(), bytes.size(), "roundtrip.xlsx");
}

}  // namespace

TEST(XlsxWriter, RoundTripKeepsTypesAndValues) {
  Frame f;
  f.add_column("id", Column::ints({10, 20, 30}));
  f.add_column("px", Column::floats({0.1, kNaN, 3}));
  f.add_column("ok", Column::bools({1, 0, 1}));
  f.add_column("name", Column::texts({"a<b>&\"c\"", "tab\there", "line\nbreak"}));
  f.add_column("when", Column::timestamps({0, parse_datetime_ns("2030-05-06 07:08:09.5"), kNanosPerDay}));
  f.add_column("day", Column::dates({1, 2, 3}, {1, 0, 1}));
  const Frame g = round_trip(f, false);
  ASSERT_EQ(g.names(), f.names());
  EXPECT_EQ(g.column("id"), f.column("id"));
  EXPECT_EQ(g.column("px").f64()[0], 0.1);
  EXPECT_TRUE(std::isnan(g.column("px").f64()[1]));
  EXPECT_EQ(g.column("ok"), f.column("ok"));
  EXPECT_EQ(g.column("name"), f.column("name"));
  EXPECT_EQ(g.column("when"), f.column("when"));
  // Dates come back as timestamps at midnight.
  const auto& day = g.column("day");
  ASSERT_EQ(day.type(), DType::Timestamp);
  EXPECT_EQ(day.integer(0), kNanosPerDay);
  EXPECT_TRUE(day.is_missing(1));
  EXPECT_EQ(day.integer(2), 3 * kNanosPerDay);
}

TEST(XlsxWriter, IndexColumnAndEmptyFrames) {
  Frame f;
  f.add_column("v", Column::floats({1, 2}));
  f.set_index(Index::texts({"x", "y"}));
  Frame g = round_trip(f, true);
  ASSERT_EQ(g.names(), (std::vector<std::string>{"Unnamed: 0", "v"}));
  EXPECT_EQ(texts(g.column_at(0)), (std::vector<std::string>{"x", "y"}));
  Frame named = f;
  Index idx = Index::ints({7, 9});
  idx.name = "ID";
  named.set_index(idx);
  g = round_trip(named, true);
  ASSERT_EQ(g.names(), (std::vector<std::string>{"ID", "v"}));
  EXPECT_EQ(ints(g.column("ID")), (std::vector<std::int64_t>{7, 9}));
  EXPECT_EQ(round_trip(f, false).names(), std::vector<std::string>{"v"});
  // Header only, and nothing at all.
  Frame header_only;
  header_only.add_column("a", Column::floats({}));
  EXPECT_EQ(round_trip(header_only, false).names(), std::vector<std::string>{"a"});
  EXPECT_EQ(round_trip(Frame(), false).num_columns(), 0u);
}

TEST(XlsxWriter, NoSilentLoss) {
  // Integers beyond 2^53 keep every digit (as text), zones are refused.
  Frame f;
  f.add_column("big", Column::ints({9007199254740993LL, -9223372036854775807LL - 1}));
  const Frame g = round_trip(f, false);
  ASSERT_EQ(g.column("big").type(), DType::Text);
  EXPECT_EQ(texts(g.column("big")), (std::vector<std::string>{"9007199254740993", "-9223372036854775808"}));
  // Infinities become text that every reader opens.
  Frame inf;
  inf.add_column("x", Column::floats({std::numeric_limits<double>::infinity(), -1.5,
                                      -std::numeric_limits<double>::infinity()}));
  const Frame back = round_trip(inf, false);
  ASSERT_EQ(back.column("x").type(), DType::Text);
  EXPECT_EQ(texts(back.column("x")), (std::vector<std::string>{"inf", "-1.5", "-inf"}));
  // Texts that look like the format's own escapes stay literal; bytes that
  // are not UTF-8 are refused rather than written as a broken sheet.
  Frame esc;
  esc.add_column("_x0041_", Column::texts({"_x0041_", "a_x000D_b_x005F_", "ctl\x01"}));
  const Frame esc_back = round_trip(esc, false);
  EXPECT_EQ(esc_back.names(), esc.names());
  EXPECT_EQ(esc_back.column_at(0), esc.column_at(0));
  Frame latin1;
  latin1.add_column("s", Column::texts({"caf\xE9"}));
  EXPECT_THROW(formats::write_xlsx(latin1, false), ValueError);
  Frame z;
  z.add_column("t", Column::timestamps({0}, "Europe/London"));
  EXPECT_THROW(formats::write_xlsx(z, false), ValueError);
  Frame longtext;
  longtext.add_column("s", Column::texts({std::string(40000, 'x')}));
  EXPECT_THROW(formats::write_xlsx(longtext, false), ValueError);
}
