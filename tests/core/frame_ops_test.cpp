// Frame operations (distinct values, dropna, index <-> column, sorting, left
// join), the time-of-day column and time zones.
#include <gtest/gtest.h>

#include <limits>

#include "quorin_data/core.hpp"
#include "support/column_values.hpp"

using namespace quorin_data;

namespace {

std::int64_t at(int y, unsigned m, unsigned d, int hh, int mi, int ss = 0) {
  return days_from_civil(y, m, d) * kNanosPerDay + ((hh * 60LL + mi) * 60 + ss) * kNanosPerSecond;
}

std::vector<std::string> texts_of(const Column& c) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < c.size(); ++i) out.push_back(c.is_missing(i) ? "<NA>" : c.cell_text(i));
  return out;
}

}  // namespace

TEST(Zones, LookupFixedOffsetsAndErrorsNameTheZone) {
  EXPECT_EQ(Zone::locate("Etc/GMT-8").offset_ns_at(0), 8 * 3600 * kNanosPerSecond);
  EXPECT_EQ(Zone::locate("Etc/GMT+5").offset_ns_at(0), -5 * 3600 * kNanosPerSecond);
  const Zone ist = Zone::fixed(5 * 3600 + 1800);
  EXPECT_EQ(ist.name(), "UTC+05:30");
  EXPECT_EQ(Zone::locate("UTC-03:30").offset_ns_at(0), -(3 * 3600 + 1800) * kNanosPerSecond);
  EXPECT_EQ(Zone::locate(ist.name()), ist);
  try {
    Zone::locate("Mars/Olympus");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "No time zone found with key 'Mars/Olympus'");
  }
  EXPECT_THROW(Zone::fixed(86400), ValueError);
}

TEST(Zones, WallTimesAcrossDaylightSavingInNewYork) {
  const Zone ny = Zone::locate("America/New_York");
  // 2024-03-10 02:30 does not exist, 2024-11-03 01:30 happens twice.
  EXPECT_THROW(ny.utc_ns(at(2024, 3, 10, 2, 30)), ValueError);
  EXPECT_THROW(ny.utc_ns(at(2024, 11, 3, 1, 30)), ValueError);
  EXPECT_EQ(ny.utc_ns(at(2024, 3, 10, 3, 0)), at(2024, 3, 10, 7, 0));
  // Batch conversion over both boundaries, out of order, with a missing slot.
  std::vector<std::int64_t> utc = {at(2024, 3, 10, 6, 59), at(2024, 3, 10, 7, 0), at(2024, 11, 3, 5, 59),
                                   at(2024, 1, 1, 0, 0), at(2024, 11, 3, 6, 0)};
  std::vector<std::uint8_t> valid = {1, 1, 1, 0, 1};
  std::vector<std::int64_t> wall(utc.size());
  const quorin_data::Column presence = quorin_data::Column::timestamps(utc, "", valid);
  ny.to_wall(utc.data(), wall.data(), utc.size(), &presence);
  EXPECT_EQ(wall[0], at(2024, 3, 10, 1, 59));
  EXPECT_EQ(wall[1], at(2024, 3, 10, 3, 0));
  EXPECT_EQ(wall[2], at(2024, 11, 3, 1, 59));
  EXPECT_EQ(wall[3], at(2024, 1, 1, 0, 0));
  EXPECT_EQ(wall[4], at(2024, 11, 3, 1, 0));
  for (std::size_t i = 0; i < utc.size(); ++i)
    if (valid[i]) {
      EXPECT_EQ(wall[i], ny.wall_ns(utc[i]));
    }
}

TEST(Zones, ZonedAndTimeOfDayCellTexts) {
  Column ny = Column::timestamps({at(2024, 1, 5, 13, 30), at(2024, 6, 7, 12, 30) + 500000000}, "America/New_York");
  EXPECT_EQ(texts_of(ny), (std::vector<std::string>{"2024-01-05 08:30:00-05:00", "2024-06-07 08:30:00.500000-04:00"}));
  EXPECT_EQ(Column::timestamps({at(2024, 1, 12, 12, 0)}, "UTC+05:30").cell_text(0), "2024-01-12 17:30:00+05:30");
  // An unknown zone keeps the instant right.
  EXPECT_EQ(Column::timestamps({at(2024, 1, 5, 13, 30)}, "Nowhere/X").cell_text(0), "2024-01-05 13:30:00+00:00");
  EXPECT_EQ(Column::timestamps({at(2024, 1, 5, 13, 30)}).cell_text(0), "2024-01-05 13:30:00");

  Column t = Column::times({(8 * 3600 + 30 * 60) * kNanosPerSecond, 0, 45 * kNanosPerSecond + 123}, {1, 0, 1});
  EXPECT_EQ(texts_of(t), (std::vector<std::string>{"08:30:00", "<NA>", "00:00:45.000000123"}));
  EXPECT_STREQ(dtype_name(t.type()), "time");
  EXPECT_THROW(Column::times({kNanosPerDay}), ValueError);
  EXPECT_THROW(Column::times({-1}), ValueError);
  EXPECT_NO_THROW(Column::times({-1}, {0}));
}

TEST(FrameOps, UniqueDropnaAndIndexColumns) {
  Column c = Column::texts({"b", "a", "", "b", "", "c"}, {1, 1, 0, 1, 0, 1});
  EXPECT_EQ(c.unique_positions(), (std::vector<std::size_t>{0, 1, 2, 5}));
  Column f = Column::floats({1.0, kNaN, -0.0, 0.0, kNaN, 2.5});
  EXPECT_EQ(f.unique_positions(), (std::vector<std::size_t>{0, 1, 2, 5}));

  Frame df;
  df.add_column("x", Column::floats({1.0, kNaN, 3.0, 4.0}));
  df.add_column("s", Column::texts({"p", "q", "", "r"}, {1, 1, 0, 1}));
  Index ids = Index::texts({"A", "B", "A", "C"});
  ids.name = "ID";
  df.set_index(ids);
  Frame kept = df.dropna({"x"});
  EXPECT_EQ(kept.index().text_labels(), (std::vector<std::string>{"A", "A", "C"}));
  EXPECT_EQ(df.dropna().index().text_labels(), (std::vector<std::string>{"A", "C"}));
  EXPECT_THROW(df.dropna({"nope"}), KeyError);

  Frame flat = kept.reset_index_to_column();
  EXPECT_EQ(flat.names(), (std::vector<std::string>{"ID", "x", "s"}));
  EXPECT_EQ(texts(flat.column("ID")), (std::vector<std::string>{"A", "A", "C"}));
  EXPECT_TRUE(flat.index().is_default_range());
  Frame back = flat.set_index_column("ID");
  EXPECT_EQ(back, kept);
  EXPECT_EQ(Frame().reset_index_to_column().names(), std::vector<std::string>{"index"});
  EXPECT_THROW(flat.set_index_column("s"), ValueError);  // missing values
  EXPECT_THROW(flat.set_index_column("x"), ValueError);  // floats
}

TEST(FrameOps, SortByManyColumnsIsStableWithMissingLast) {
  Frame df;
  df.add_column("k", Column::texts({"b", "a", "b", "", "a", "b"}, {1, 1, 1, 0, 1, 1}));
  df.add_column("v", Column::floats({2.0, 1.0, kNaN, 0.0, 1.0, 3.0}));
  df.add_column("tag", Column::ints({0, 1, 2, 3, 4, 5}));
  Frame s = df.sort_values({"k", "v"});
  EXPECT_EQ(ints(s.column("tag")), (std::vector<std::int64_t>{1, 4, 0, 5, 2, 3}));
  EXPECT_EQ(s.index().int_label(0), 1);  // labels travel with their rows
  Frame d = df.sort_values({"k", "v"}, {true, false});
  EXPECT_EQ(ints(d.column("tag")), (std::vector<std::int64_t>{1, 4, 5, 0, 2, 3}));
  EXPECT_THROW(df.sort_values({"k"}, {true, false}), ValueError);

  // Floats by value (signed zeros equal, so stable), texts by bytes.
  const double inf = std::numeric_limits<double>::infinity();
  Frame f;
  f.add_column("x", Column::floats({-1.5, 3, 0.0, -0.0, -inf, inf, 1e-300, -1e300}));
  f.add_column("t", Column::texts({"a", "B", "\xc3\xa9", "ab", "", "a", "b", "A"}));
  f.add_column("tag", Column::ints({0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(ints(f.sort_values({"x"}).column("tag")), (std::vector<std::int64_t>{4, 7, 0, 2, 3, 6, 1, 5}));
  EXPECT_EQ(ints(f.sort_values({"t"}).column("tag")), (std::vector<std::int64_t>{4, 7, 1, 0, 5, 3, 6, 2}));
  EXPECT_EQ(ints(f.sort_values({"t"}, {false}).column("tag")), (std::vector<std::int64_t>{2, 6, 3, 0, 5, 1, 7, 4}));
}

TEST(FrameOps, LeftJoinOnOneAndTwoKeys) {
  Frame meta;
  meta.add_column("EVENT_NAME", Column::texts({"CPI", "CPI", "NFP", "GDP"}));
  meta.add_column("datetime", Column::timestamps({10, 20, 10, 30}, "America/New_York"));
  meta.add_column("time_diff", Column::ints({-1, 0, -1, 0}));
  Frame bars;
  bars.add_column("datetime", Column::timestamps({10, 10, 20}, "UTC"));  // same instants, other zone
  bars.add_column("key", Column::texts({"spx", "ty", "spx"}));
  bars.add_column("close", Column::ints({100, 200, 101}));
  Frame j = meta.merge_left(bars, {"datetime"});
  EXPECT_EQ(j.names(), (std::vector<std::string>{"EVENT_NAME", "datetime", "time_diff", "key", "close"}));
  EXPECT_EQ(texts_of(j.column("key")), (std::vector<std::string>{"spx", "ty", "spx", "spx", "ty", "<NA>"}));
  EXPECT_EQ(j.column("close").type(), DType::Int64);  // exact, missing where unmatched
  EXPECT_EQ(texts_of(j.column("close")), (std::vector<std::string>{"100", "200", "101", "100", "200", "<NA>"}));
  EXPECT_EQ(j.column("datetime").tz(), "America/New_York");
  EXPECT_TRUE(j.index().is_default_range());

  // Two keys, repeated pairs on the right repeat the left rows; ints match floats.
  Frame cal;
  cal.add_column("EVENT_NAME", Column::texts({"CPI", "CPI", "NFP"}));
  cal.add_column("datetime", Column::timestamps({10, 10, 10}, "America/New_York"));
  cal.add_column("ACTUAL", Column::floats({0.3, 0.4, 216}));
  Frame two = meta.merge_left(cal, {"EVENT_NAME", "datetime"});
  EXPECT_EQ(texts_of(two.column("ACTUAL")), (std::vector<std::string>{"0.3", "0.4", "<NA>", "216.0", "<NA>"}));
  Frame a, b;
  a.add_column("k", Column::ints({1, 2}));
  b.add_column("k", Column::floats({2.0, 1.5}));
  b.add_column("w", Column::texts({"two", "x"}));
  EXPECT_EQ(texts_of(a.merge_left(b, {"k"}).column("w")), (std::vector<std::string>{"<NA>", "two"}));

  // Overlapping names and incomparable keys are refused.
  try {
    meta.merge_left(meta, {"datetime"});
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "columns overlap but no suffix specified: ['EVENT_NAME', 'time_diff']");
  }
  Frame naive;
  naive.add_column("datetime", Column::timestamps({10}));
  EXPECT_THROW(meta.merge_left(naive, {"datetime"}), ValueError);
  EXPECT_THROW(meta.merge_left(bars, {"key"}), KeyError);
}
