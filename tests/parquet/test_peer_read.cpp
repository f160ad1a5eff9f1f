// Files written by DuckDB with each codec, with and without dictionaries, in
// v1 and v2 pages, read back equal to what DuckDB itself reads.
#include <gtest/gtest.h>

#include "peer.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "support/column_values.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;
using namespace pq_test;

namespace {

// Nulls in most columns, every common logical type, several row groups.
const char* kMixed = R"(SELECT
  CASE WHEN i % 7 = 0 THEN NULL ELSE (i * 37 - 5000)::INTEGER END AS i32,
  (i * 1000000007 + 9007199254740993)::BIGINT AS id,
  CASE WHEN i % 11 = 0 THEN NULL ELSE 'name_' || (i % 13) END AS txt,
  'unique-' || i || repeat('x', i % 5) AS utxt,
  CASE WHEN i % 5 = 0 THEN NULL ELSE i / 7.0 END AS dbl,
  (i / 3.0)::FLOAT AS flt,
  CASE WHEN i % 9 = 0 THEN NULL ELSE DATE '1969-12-25' + (i * 3)::INTEGER END AS dt,
  TIMESTAMP '2019-06-30 23:59:58.123456' + to_microseconds(i * 1000003) AS ts_us,
  CAST(TIMESTAMP '2001-02-03 04:05:06.789' + to_milliseconds(i * 17) AS TIMESTAMP_MS) AS ts_ms,
  CAST(TIMESTAMP '2030-01-01 00:00:00' + to_microseconds(i) AS TIMESTAMP_NS) AS ts_ns,
  CASE WHEN i % 4 = 0 THEN NULL ELSE TIMESTAMPTZ '2024-03-10 12:00:00+00' + to_seconds(i) END AS tstz,
  CASE WHEN i % 6 = 0 THEN NULL ELSE i % 3 = 0 END AS flag,
  CAST((i - 2500) / 100.0 AS DECIMAL(9,2)) AS dec9,
  CAST((i * 12345.6789) AS DECIMAL(18,4)) AS dec18,
  CAST(i * 123456789012.34567 AS DECIMAL(30,5)) AS dec30,
  (i % 256)::UTINYINT AS u8, (i % 65536)::USMALLINT AS u16, (i * 400000)::UINTEGER AS u32,
  (i * 1000000000000)::UBIGINT AS u64, (i % 100 - 50)::TINYINT AS i8, (i - 3000)::SMALLINT AS i16
FROM range(6000) t(i))";

struct Variant {
  std::string codec;
  bool dictionary;
  bool v2;
};

std::string name_of(const Variant& v) {
  return v.codec + (v.dictionary ? "_dict" : "_plain") + (v.v2 ? "_v2" : "_v1");
}

}  // namespace

TEST(ParquetPeerRead, EveryCodecEncodingAndPageVersionMatchesDuckDB) {
  TempDir dir;
  std::vector<Variant> variants;
  for (const char* codec : {"uncompressed", "snappy", "gzip", "zstd", "lz4_raw", "lz4", "brotli"})
    for (bool dict : {true, false})
      for (bool v2 : {false, true}) variants.push_back({codec, dict, v2});
  std::vector<std::string> sql;
  for (const auto& v : variants) {
    std::string opts = "FORMAT parquet, ROW_GROUP_SIZE 2048, COMPRESSION " + v.codec;
    if (!v.dictionary) opts += ", DICTIONARY_SIZE_LIMIT 1";
    if (v.v2) opts += ", PARQUET_VERSION V2";
    sql.push_back("COPY (" + std::string(kMixed) + ") TO '" + dir.file(name_of(v) + ".parquet") + "' (" + opts + ")");
  }
  duck_exec(sql);
  for (const auto& v : variants) {
    const std::string path = dir.file(name_of(v) + ".parquet");
    SCOPED_TRACE(name_of(v));
    const ParquetFile f = ParquetFile::open_path(path);
    EXPECT_GE(f.num_row_groups(), 2u);
    EXPECT_EQ(f.num_rows(), 6000);
    const Frame ours = f.read();
    expect_same(ours, duck_dump(path), name_of(v));
    // Column kinds keep their meaning.
    EXPECT_EQ(ours.column("id").type(), DType::Int64);
    EXPECT_EQ(ours.column("txt").type(), DType::Text);
    EXPECT_EQ(ours.column("dt").type(), DType::Date);
    EXPECT_EQ(ours.column("ts_us").type(), DType::Timestamp);
    EXPECT_EQ(ours.column("ts_us").tz(), "");
    EXPECT_EQ(ours.column("tstz").tz(), "UTC");
    EXPECT_EQ(ours.column("flag").type(), DType::Bool);
    EXPECT_EQ(ours.column("dec30").type(), DType::Float64);
    // The buffer entry point reads the same table.
    const auto bytes = read_bytes(path);
    EXPECT_EQ(read_parquet(bytes.data(), bytes.size(), path), ours);
  }
}

TEST(ParquetPeerRead, RowGroupsProjectionAndFilterAgreeWithDuckDB) {
  TempDir dir;
  const std::string path = dir.file("rg.parquet");
  duck_exec({"COPY (" + std::string(kMixed) + ") TO '" + path + "' (FORMAT parquet, ROW_GROUP_SIZE 2048)"});
  const ParquetFile f = ParquetFile::open_path(path);
  const Frame all = f.read();
  std::size_t row = 0;
  for (std::size_t g = 0; g < f.num_row_groups(); ++g) {
    const Frame part = f.read_row_group(g, std::vector<std::string>{"txt", "id"});
    ASSERT_EQ(part.names(), (std::vector<std::string>{"txt", "id"}));
    for (std::size_t r = 0; r < part.num_rows(); ++r, ++row) {
      ASSERT_EQ(part.column("id").integer(r), all.column("id").integer(row));
      ASSERT_EQ(part.column("txt").cell_text(r), all.column("txt").cell_text(row));
    }
  }
  EXPECT_EQ(row, all.num_rows());
  EXPECT_THROW(f.read_row_group(f.num_row_groups()), IndexError);
  EXPECT_THROW(f.read(std::vector<std::string>{"nope"}), KeyError);

  const std::string want =
      duck_query("SELECT count(*), sum(i32) FROM read_parquet('" + path + "') WHERE txt = 'name_4'");
  ParquetReadStats st;
  const Frame hit = f.read_where_equal("txt", Value("name_4"), std::vector<std::string>{"txt", "i32"}, &st);
  double sum = 0;
  for (std::size_t r = 0; r < hit.num_rows(); ++r) {
    EXPECT_EQ(hit.column("txt").text(r), "name_4");
    if (!hit.column("i32").is_missing(r)) sum += static_cast<double>(hit.column("i32").integer(r));
  }
  EXPECT_EQ(want, std::to_string(hit.num_rows()) + "\t" + std::to_string(static_cast<long long>(sum)) + "\n");
  EXPECT_EQ(st.row_groups_total, f.num_row_groups());
}

TEST(ParquetPeerRead, UnsignedBeyondInt64StaysExactAsText) {
  TempDir dir;
  const std::string path = dir.file("u64.parquet");
  duck_exec({"COPY (SELECT * FROM (VALUES (1::UBIGINT), (18446744073709551615::UBIGINT), (NULL)) t(u)) TO '" + path +
             "' (FORMAT parquet)"});
  const Frame f = ParquetFile::open_path(path).read();
  ASSERT_EQ(f.column("u").type(), DType::Text);
  EXPECT_EQ(f.column("u").text(1), "18446744073709551615");
  EXPECT_EQ(f.column("u").text(0), "1");
  EXPECT_TRUE(f.column("u").is_missing(2));
}

TEST(ParquetPeerRead, TimeColumnsReadAsTimesOfDay) {
  TempDir dir;
  const std::string path = dir.file("time.parquet");
  duck_exec({"COPY (SELECT TIME '13:45:07.250' AS t, TIME '00:00:01' AS u) TO '" + path + "' (FORMAT parquet)"});
  const Frame f = ParquetFile::open_path(path).read();
  ASSERT_EQ(f.column("t").type(), DType::Time);
  EXPECT_EQ(f.column("t").integer(0), ((13 * 60 + 45) * 60 + 7) * 1'000'000'000LL + 250'000'000LL);
  EXPECT_EQ(f.column("u").integer(0), 1'000'000'000LL);
  EXPECT_EQ(f.column("t").cell_text(0), "13:45:07.250000");
}

TEST(ParquetPeerRead, NestedColumnsFailNamingTheColumnButOthersRead) {
  TempDir dir;
  const std::string path = dir.file("nested.parquet");
  duck_exec({"COPY (SELECT 1 AS a, [1, 2] AS lst, {'x': 1} AS st, MAP {'k': 2} AS mp, 'z' AS b) TO '" + path +
             "' (FORMAT parquet)"});
  const ParquetFile f = ParquetFile::open_path(path);
  EXPECT_EQ(f.column_names(), (std::vector<std::string>{"a", "lst", "st", "mp", "b"}));
  const Frame ok = f.read(std::vector<std::string>{"a", "b"});
  EXPECT_EQ(texts(ok.column("b")).at(0), "z");
  for (const char* col : {"lst", "st", "mp"}) {
    try {
      f.read(std::vector<std::string>{col});
      ADD_FAILURE() << "no error for " << col;
    } catch (const FormatError& e) {
      EXPECT_NE(std::string(e.what()).find(col), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("nested"), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(f.read(), FormatError);
}
