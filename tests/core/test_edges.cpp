// Values at the edges of their representations: every value a column can
// hold prints and writes without overflow.
#include <gtest/gtest.h>

#include <limits>

#include "quorin_data/core.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/formats/xlsx.hpp"

using namespace quorin_data;

TEST(Extremes, EveryTimestampAndDatePrints) {
  constexpr auto lo = std::numeric_limits<std::int64_t>::min();
  constexpr auto hi = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(format_timestamp_ns(lo), "1677-09-21 00:12:43.145224192");
  EXPECT_EQ(format_timestamp_ns(hi), "2262-04-11 23:47:16.854775807");
  EXPECT_EQ(format_timestamp_ns(-1), "1969-12-31 23:59:59.999999999");
  EXPECT_EQ(Column::timestamps({lo}).cell_text(0), "1677-09-21 00:12:43.145224192");

  // A date beyond the nanosecond range (a valid Parquet DATE) writes to a
  // workbook as its day serial.
  Frame f;
  f.add_column("d", Column::dates({days_from_civil(9999, 12, 31), days_from_civil(1000, 1, 1)}));
  EXPECT_EQ(f.column("d").cell_text(0), "9999-12-31");
  EXPECT_NO_THROW(formats::write_xlsx(f, false));

  // Such a date as a filter of a timestamp column matches nothing.
  Frame t;
  t.add_column("ts", Column::timestamps({0, kNanosPerDay}));
  auto bytes = std::make_shared<const std::vector<std::uint8_t>>(formats::write_parquet(t));
  const auto file = formats::ParquetFile::open(bytes, "t.parquet");
  EXPECT_EQ(file.read_where_equal("ts", Value(Date{days_from_civil(9999, 12, 31)})).num_rows(), 0u);
  EXPECT_EQ(file.read_where_equal("ts", Value(Date{1})).num_rows(), 1u);
}
