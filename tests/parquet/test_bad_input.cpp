// Damaged and hostile files end in FormatError naming the place, never a
// crash or an out-of-bounds read (the tests run under ASan/UBSan).
#include <gtest/gtest.h>

#include <cstring>

#include "quorin_data/core/errors.hpp"
#include "builder.hpp"
#include "quorin_data/formats/parquet.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;

namespace {

std::vector<std::uint8_t> small_file(ParquetWriteOptions::Codec codec, bool dict) {
  Frame f;
  std::vector<std::string> t;
  std::vector<std::int64_t> v;
  for (int i = 0; i < 300; ++i) {
    t.push_back("v" + std::to_string(i % 7));
    v.push_back(i * 3);
  }
  f.add_column("t", Column::texts(t));
  f.add_column("v", Column::ints(v));
  ParquetWriteOptions o;
  o.codec = codec;
  o.dictionary = dict;
  o.row_group_size = 100;
  return write_parquet(f, o);
}

std::string error_of(const std::vector<std::uint8_t>& b) {
  try {
    read_parquet(b.data(), b.size(), "bad.parquet");
  } catch (const FormatError& e) {
    EXPECT_EQ(e.format(), "Parquet");
    EXPECT_EQ(e.source(), "bad.parquet");
    return e.what();
  }
  return "";
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

std::size_t find(const std::vector<std::uint8_t>& b, const std::string& needle, std::size_t from = 0) {
  auto it = std::search(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(), needle.begin(), needle.end());
  return it == b.end() ? std::string::npos : static_cast<std::size_t>(it - b.begin());
}

}  // namespace

TEST(ParquetBadInput, FileLevelDamage) {
  const auto good = small_file(ParquetWriteOptions::Codec::Snappy, true);
  EXPECT_TRUE(contains(error_of({}), "too short"));
  auto b = good;
  b[0] = 'X';
  EXPECT_TRUE(contains(error_of(b), "magic"));
  b = good;
  b.back() = 'X';
  EXPECT_TRUE(contains(error_of(b), "magic"));
  b = good;
  std::memcpy(b.data() + b.size() - 4, "PARE", 4);
  EXPECT_TRUE(contains(error_of(b), "encrypt"));
  b = good;
  const std::uint32_t huge = static_cast<std::uint32_t>(b.size());
  std::memcpy(b.data() + b.size() - 8, &huge, 4);
  EXPECT_TRUE(contains(error_of(b), "footer length"));
  // Every truncation fails cleanly; those that keep the footer fail in the pages.
  for (std::size_t cut = 0; cut < good.size(); cut += 7) {
    std::vector<std::uint8_t> t(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(error_of(t).empty()) << cut;
  }
  // A footer cut short inside the metadata.
  b = good;
  std::uint32_t flen;
  std::memcpy(&flen, b.data() + b.size() - 8, 4);
  b.erase(b.end() - 8 - static_cast<std::ptrdiff_t>(flen), b.end() - 8 - static_cast<std::ptrdiff_t>(flen) / 2);
  const std::uint32_t half = flen - flen / 2;
  std::memcpy(b.data() + b.size() - 8, &half, 4);
  EXPECT_TRUE(contains(error_of(b), "metadata")) << error_of(b);
}

// Rewrites the zigzag varint at `pos` (an i32 of a compact-protocol header)
// to `value`, keeping its length so that nothing after it moves.
void set_varint(std::vector<std::uint8_t>& b, std::size_t pos, std::int32_t value) {
  std::size_t len = 0;
  while (b[pos + len] & 0x80) ++len;
  ++len;
  std::uint32_t z = (static_cast<std::uint32_t>(value) << 1) ^ static_cast<std::uint32_t>(value >> 31);
  for (std::size_t i = 0; i < len; ++i) {
    b[pos + i] = static_cast<std::uint8_t>((z & 0x7f) | (i + 1 < len ? 0x80 : 0));
    z >>= 7;
  }
  ASSERT_EQ(z, 0u) << "value does not fit the varint's length";
}

std::int32_t get_varint(const std::vector<std::uint8_t>& b, std::size_t pos) {
  std::uint32_t z = 0;
  for (int shift = 0;; shift += 7) {
    z |= static_cast<std::uint32_t>(b[pos] & 0x7f) << shift;
    if (!(b[pos++] & 0x80)) break;
  }
  return static_cast<std::int32_t>((z >> 1) ^ (0 - (z & 1)));
}

std::size_t varint_len(const std::vector<std::uint8_t>& b, std::size_t pos) {
  std::size_t n = 1;
  while (b[pos++] & 0x80) ++n;
  return n;
}

TEST(ParquetBadInput, PageHeadersThatLieAboutSizes) {
  for (auto codec : {ParquetWriteOptions::Codec::Uncompressed, ParquetWriteOptions::Codec::Snappy,
                     ParquetWriteOptions::Codec::Gzip, ParquetWriteOptions::Codec::Zstd}) {
    SCOPED_TRACE(static_cast<int>(codec));
    const auto good = small_file(codec, false);
    // First page header at offset 4: field 1 (type), field 2 (uncompressed
    // size), field 3 (compressed size), each an i32 (0x15 = delta 1, i32).
    ASSERT_EQ(good[4], 0x15);
    ASSERT_EQ(good[6], 0x15);
    const std::size_t usize_pos = 7;
    const std::size_t csize_pos = usize_pos + varint_len(good, usize_pos) + 1;
    ASSERT_EQ(good[csize_pos - 1], 0x15);
    const std::int32_t usize = get_varint(good, usize_pos);

    auto b = good;
    set_varint(b, usize_pos, usize + 5);
    const std::string more = error_of(b);
    EXPECT_TRUE(contains(more, "column 't', row group 0, page at offset 4")) << more;

    b = good;
    set_varint(b, usize_pos, usize - 5);
    const std::string less = error_of(b);
    EXPECT_TRUE(contains(less, "column 't', row group 0, page at offset 4")) << less;
    if (codec != ParquetWriteOptions::Codec::Uncompressed) {
      EXPECT_TRUE(contains(less, "expands past")) << less;
    }

    b = good;
    set_varint(b, csize_pos, (1 << (7 * static_cast<int>(varint_len(good, csize_pos)) - 1)) - 1);
    const std::string past = error_of(b);
    EXPECT_TRUE(contains(past, "runs past the column chunk")) << past;
  }
}

TEST(ParquetBadInput, DictionaryIndexOutOfRange) {
  // Three distinct values: a dictionary of three entries, indexes of bit width 2.
  Frame f;
  std::vector<std::string> v;
  for (int i = 0; i < 16; ++i) v.push_back(std::string(1, static_cast<char>('a' + i % 3)));
  f.add_column("c", Column::texts(v));
  ParquetWriteOptions o;
  o.codec = ParquetWriteOptions::Codec::Uncompressed;
  auto b = write_parquet(f, o);
  ASSERT_EQ(read_parquet(b.data(), b.size(), "ok").column("c"), Column::texts(v));
  // Levels of the data page: length 2, one run of 16 ones; then the index bit
  // width, a bit-packed header of two groups and the packed indexes.
  const std::size_t lv = find(b, std::string("\x02\x00\x00\x00\x20\x01", 6));
  ASSERT_NE(lv, std::string::npos);
  ASSERT_EQ(b[lv + 6], 2);
  ASSERT_EQ(b[lv + 7], 0x05);
  b[lv + 8] = 0xff;  // index 3 of a 3-entry dictionary
  const std::string e = error_of(b);
  EXPECT_TRUE(contains(e, "dictionary index 3 out of range")) << e;
  EXPECT_TRUE(contains(e, "column 'c', row group 0, page at offset")) << e;
}

TEST(ParquetBadInput, UnsupportedFeaturesNameTheColumn) {
  Frame f;
  f.add_column("c", Column::ints({1, 2, 3}));
  ParquetWriteOptions o;
  o.codec = ParquetWriteOptions::Codec::Uncompressed;
  auto b = write_parquet(f, o);
  // Codec LZO (3) is not read: find the column metadata's codec field.
  const std::size_t name = find(b, "\x19\x18\x01" "c", 4);
  ASSERT_NE(name, std::string::npos);
  // After path_in_schema comes field 4 (codec, i32): 0x15 then zigzag(0).
  ASSERT_EQ(b[name + 4], 0x15);
  b[name + 5] = 6;  // zigzag(3) = LZO
  const std::string e = error_of(b);
  EXPECT_TRUE(contains(e, "column 'c', row group 0")) << e;
  EXPECT_TRUE(contains(e, "LZO")) << e;
}

TEST(ParquetBadInput, RowCountWithoutColumnsIsHeldToTheLimit) {
  using namespace pq_build;
  auto file = [](std::int64_t rows) {
    TStruct root;
    root.bin(4, "schema").i32(5, 0);
    TStruct group;
    group.list_struct(1, {}).i64(2, 0).i64(3, rows);
    TStruct meta;
    meta.i32(1, 1).list_struct(2, {root}).i64(3, rows).list_struct(4, {group});
    Buf out = str_bytes("PAR1");
    const Buf footer = meta.finish();
    append(out, footer);
    u32le(out, static_cast<std::uint32_t>(footer.size()));
    append(out, str_bytes("PAR1"));
    return out;
  };
  const auto ok = file(5);
  const Frame f = read_parquet(ok.data(), ok.size(), "ok.parquet");
  EXPECT_EQ(f.num_columns(), 0u);
  EXPECT_EQ(f.num_rows(), 5u);
  EXPECT_TRUE(contains(error_of(file(std::int64_t{1} << 40)), "without columns declares 1099511627776 rows"));
}
