// Our writer: round trips through our reader and through DuckDB, row-group
// sizes, statistics that let the filter skip row groups.
#include <gtest/gtest.h>

#include "peer.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "support/column_values.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;
using namespace pq_test;

namespace {

Frame sample(std::size_t n) {
  std::vector<double> d(n);
  std::vector<std::int64_t> ids(n), ns(n);
  std::vector<std::int32_t> days(n);
  std::vector<std::uint8_t> flags(n);
  std::vector<std::string> txt(n);
  std::vector<std::uint8_t> v_ids(n, 1), v_txt(n, 1), v_days(n, 1), v_ns(n, 1), v_flags(n, 1);
  for (std::size_t i = 0; i < n; ++i) {
    d[i] = i % 10 == 3 ? kNaN : static_cast<double>(i) * 0.1 - 7.25;
    ids[i] = 9007199254740993LL + static_cast<std::int64_t>(i) * 1000003;  // beyond exact doubles
    txt[i] = i % 4 == 0 ? "" : "k" + std::to_string(i % 17) + (i % 3 ? "é\t\"q\"" : "");
    days[i] = -800 + static_cast<std::int32_t>(i) * 3;
    ns[i] = 1700000000123456789LL + static_cast<std::int64_t>(i) * 999999937LL;
    flags[i] = i % 3 == 0;
    if (i % 13 == 5) v_ids[i] = 0, ids[i] = 0;
    if (i % 11 == 7) v_txt[i] = 0, txt[i].clear();
    if (i % 9 == 2) v_days[i] = 0, days[i] = 0;
    if (i % 8 == 1) v_ns[i] = 0, ns[i] = 0;
    if (i % 7 == 6) v_flags[i] = 0, flags[i] = 0;
  }
  Frame f;
  f.add_column("dbl", Column::floats(d));
  f.add_column("id", Column::ints(ids, v_ids));
  f.add_column("txt", Column::texts(txt, v_txt));
  f.add_column("day", Column::dates(days, v_days));
  f.add_column("ts_utc", Column::timestamps(ns, "UTC", v_ns));
  f.add_column("ts_ny", Column::timestamps(ns, "America/New_York"));
  f.add_column("ts_naive", Column::timestamps(ns));
  f.add_column("flag", Column::bools(flags, v_flags));
  f.add_column("dense", Column::ints(ids));
  return f;
}

}  // namespace

TEST(ParquetWriter, RoundTripsEveryColumnTypeWithEachCodecAndEncoding) {
  Frame f = sample(2500);
  std::vector<std::int64_t> tod(f.num_rows());
  std::vector<std::uint8_t> v_tod(f.num_rows(), 1);
  for (std::size_t i = 0; i < tod.size(); ++i) {
    tod[i] = static_cast<std::int64_t>(i) * 34'559'999'987LL % 86'400'000'000'000LL;
    if (i % 6 == 4) v_tod[i] = 0, tod[i] = 0;
  }
  f.add_column("tod", Column::times(tod, v_tod));
  for (auto codec : {ParquetWriteOptions::Codec::Uncompressed, ParquetWriteOptions::Codec::Snappy,
                     ParquetWriteOptions::Codec::Gzip, ParquetWriteOptions::Codec::Zstd})
    for (bool dict : {true, false}) {
      ParquetWriteOptions o;
      o.codec = codec;
      o.dictionary = dict;
      o.row_group_size = 700;
      const auto bytes = write_parquet(f, o);
      const auto file = ParquetFile::open(std::make_shared<std::vector<std::uint8_t>>(bytes), "mem");
      EXPECT_EQ(file.num_row_groups(), 4u);
      const Frame back = file.read();
      EXPECT_EQ(back, f) << "codec " << static_cast<int>(codec) << " dictionary " << dict;
    }
}

TEST(ParquetWriter, EmptyFramesAndIndexRoundTrip) {
  Frame empty;
  empty.add_column("a", Column::ints({}));
  empty.add_column("t", Column::texts({}));
  const auto bytes = write_parquet(empty);
  const Frame back = read_parquet(bytes.data(), bytes.size(), "empty");
  EXPECT_EQ(back.names(), empty.names());
  EXPECT_EQ(back.num_rows(), 0u);
  EXPECT_EQ(back.column("t").type(), DType::Text);

  Frame labelled;
  labelled.add_column("v", Column::floats({1.5, 2.5, 3.5}));
  labelled.set_index(Index::texts({"x", "y", "z"}));
  ParquetWriteOptions o;
  o.write_index = true;
  const auto b2 = write_parquet(labelled, o);
  const Frame back2 = read_parquet(b2.data(), b2.size(), "labelled");
  EXPECT_EQ(back2, labelled);
  // Without the option the labels are not stored.
  const auto b3 = write_parquet(labelled);
  EXPECT_TRUE(read_parquet(b3.data(), b3.size(), "plain").index().is_default_range());

  Frame dup;
  dup.add_column("a", Column::ints({1}));
  dup.add_column("a", Column::ints({2}));
  EXPECT_THROW(write_parquet(dup), ValueError);
}

TEST(ParquetWriter, DuckDBReadsOurFilesEqual) {
  TempDir dir;
  Frame f = sample(3000);
  // DuckDB holds zoned timestamps in microseconds; keep ours at that precision.
  for (const char* name : {"ts_utc", "ts_ny"}) {
    const Column& c = f.column(name);
    std::vector<std::int64_t> us = ints(c);
    for (auto& ns : us) ns -= ns % 1000;
    f.set_column(name, Column::timestamps(std::move(us), std::string(c.tz()), Validity(c.presence_bytes())));
  }
  for (bool dict : {true, false})
    for (auto codec : {ParquetWriteOptions::Codec::Uncompressed, ParquetWriteOptions::Codec::Snappy,
                       ParquetWriteOptions::Codec::Gzip, ParquetWriteOptions::Codec::Zstd}) {
      ParquetWriteOptions o;
      o.codec = codec;
      o.dictionary = dict;
      o.row_group_size = 1000;
      const std::string path = dir.file("ours_" + std::to_string(static_cast<int>(codec)) + (dict ? "d" : "p") + ".parquet");
      write_bytes(path, write_parquet(f, o));
      const Dump d = duck_dump(path);
      EXPECT_EQ(d.types, (std::vector<std::string>{"DOUBLE", "BIGINT", "VARCHAR", "DATE", "TIMESTAMP WITH TIME ZONE",
                                                   "TIMESTAMP WITH TIME ZONE", "TIMESTAMP_NS", "BOOLEAN", "BIGINT"}));
      expect_same(f, d, path);
    }
  // DuckDB sees our statistics.
  const std::string path = dir.file("ours_0d.parquet");
  EXPECT_EQ(duck_query("SELECT stats_min_value, stats_max_value, stats_null_count FROM parquet_metadata('" + path +
                       "') WHERE path_in_schema = 'day' AND row_group_id = 0"),
            "1967-10-24\t1976-01-07\t111\n");
}

TEST(ParquetWriter, StatisticsLetTheFilterSkipRowGroups) {
  // 20 snapshots, one per row group.
  std::vector<std::int32_t> days;
  std::vector<std::int64_t> vals;
  std::vector<std::string> names;
  for (int s = 0; s < 20; ++s)
    for (int r = 0; r < 50; ++r) {
      days.push_back(static_cast<std::int32_t>(19000 + s * 7));
      vals.push_back(s * 1000 + r);
      names.push_back("n" + std::to_string(r % 5));
    }
  Frame f;
  f.add_column("dlSnapshotDate", Column::dates(days));
  f.add_column("v", Column::ints(vals));
  f.add_column("name", Column::texts(names));
  // Missing in some rows: every 7th text, every 11th number.
  std::vector<std::uint8_t> every7(days.size()), every11(days.size());
  for (std::size_t i = 0; i < days.size(); ++i) {
    every7[i] = i % 7 != 0;
    every11[i] = i % 11 != 0;
  }
  f.add_column("note", Column::texts(names, every7));
  f.add_column("w", Column::ints(vals, every11));
  ParquetWriteOptions o;
  o.row_group_size = 50;
  const auto bytes = write_parquet(f, o);
  const auto file = ParquetFile::open(std::make_shared<std::vector<std::uint8_t>>(bytes), "snapshots");
  ASSERT_EQ(file.num_row_groups(), 20u);

  ParquetReadStats st;
  const Frame one = file.read_where_equal("dlSnapshotDate", Value(Date{19000 + 5 * 7}), std::nullopt, &st);
  EXPECT_EQ(st.row_groups_decoded, 1u);
  EXPECT_EQ(st.row_groups_skipped, 19u);
  ASSERT_EQ(one.num_rows(), 50u);
  EXPECT_EQ(ints(one.column("v")).front(), 5000);
  EXPECT_EQ(ints(one.column("v")).back(), 5049);

  // Midnight timestamps select the same snapshot; other instants match nothing.
  const Frame by_ts = file.read_where_equal("dlSnapshotDate", Value(Timestamp{std::int64_t{19035} * kNanosPerDay, ""}),
                                            std::vector<std::string>{"v"}, &st);
  EXPECT_EQ(by_ts.column("v"), one.column("v"));
  const Frame none = file.read_where_equal("dlSnapshotDate", Value(Timestamp{std::int64_t{19035} * kNanosPerDay + 1, ""}),
                                           std::nullopt, &st);
  EXPECT_EQ(none.num_rows(), 0u);
  EXPECT_EQ(none.column("dlSnapshotDate").type(), DType::Date);
  EXPECT_EQ(st.row_groups_decoded, 0u);

  // Filters on other columns keep only matching rows across row groups.
  const Frame names3 = file.read_where_equal("name", Value("n3"), std::vector<std::string>{"v"}, &st);
  EXPECT_EQ(names3.num_rows(), 200u);
  for (std::int64_t v : ints(names3.column("v"))) EXPECT_EQ(v % 50 % 5, 3);
  std::vector<std::size_t> n3;
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == "n3") n3.push_back(i);
  EXPECT_EQ(file.read_where_equal("name", Value("n3")), file.read().take(n3).reset_index());
  const Frame v7 = file.read_where_equal("v", Value(7007), std::nullopt, &st);
  EXPECT_EQ(st.row_groups_decoded, 1u);
  ASSERT_EQ(v7.num_rows(), 1u);
  EXPECT_EQ(v7.column("name").text(0), "n2");
  EXPECT_THROW(file.read_where_equal("v", Value("7007")), TypeError);
  EXPECT_THROW(file.read_where_equal("missing", Value(1)), KeyError);
}
