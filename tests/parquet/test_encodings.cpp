// The rarer encodings, codecs and types on hand-built files: DELTA_*,
// BYTE_STREAM_SPLIT on fixed-length values, legacy BIT_PACKED levels, RLE
// booleans, INT96, LZ4 with Hadoop framing, FLOAT16, UUID, byte decimals.
#include <gtest/gtest.h>

#include <cmath>

#include "builder.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "support/column_values.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;
using namespace pq_build;


namespace {

Frame read(const Buf& b) { return read_parquet(b.data(), b.size(), "built.parquet"); }

std::string error_of(const Buf& b) {
  try {
    read(b);
  } catch (const FormatError& e) {
    return e.what();
  }
  return "";
}

TStruct leaf(const std::string& name, int phys, int repetition = 0) {
  TStruct s;
  s.i32(1, phys).i32(3, repetition).bin(4, name);
  return s;
}

enum { PLAIN = 0, RLE = 3, BIT_PACKED = 4, DBP = 5, DLBA = 6, DBA = 7, RLE_DICT = 8, BSS = 9 };
enum { INT32 = 1, INT64 = 2, INT96 = 3, BOOLEAN = 0, BYTE_ARRAY = 6, FLBA = 7 };

}  // namespace

TEST(ParquetEncodings, DeltaBinaryPackedAcrossBlocksAndWraparound) {
  std::vector<std::int64_t> v = {INT64_MAX, INT64_MIN, 0, -5, 7};
  for (int i = 0; i < 400; ++i) v.push_back((i * 7919) % 1000 - 500 + (i % 50 == 0 ? 1LL << 40 : 0));
  const Buf body = delta_binary(v);
  const Frame f = read(one_column_file(leaf("x", INT64), "x", INT64, 0,
                                       {page_v1(body, body.size(), static_cast<int>(v.size()), DBP)},
                                       static_cast<std::int64_t>(v.size())));
  EXPECT_EQ(ints(f.column("x")), v);

  // 32-bit values wrap at 32 bits.
  std::vector<std::int64_t> w = {INT32_MAX, INT32_MIN, 12, -1};
  const Buf b32 = delta_binary(w);
  const Frame g = read(one_column_file(leaf("y", INT32), "y", INT32, 0, {page_v1(b32, b32.size(), 4, DBP)}, 4));
  EXPECT_EQ(ints(g.column("y")), w);

  // A header claiming more values than the page has fails.
  Buf lie = delta_binary({1, 2, 3});
  const std::string e = error_of(one_column_file(leaf("z", INT64), "z", INT64, 0, {page_v1(lie, lie.size(), 2, DBP)}, 2));
  EXPECT_NE(e.find("DELTA_BINARY_PACKED"), std::string::npos) << e;
}

TEST(ParquetEncodings, DeltaLengthAndDeltaByteArray) {
  const std::vector<std::string> words = {"apple", "applesauce", "apply", "", "banana", "bandana"};
  TStruct s = leaf("w", BYTE_ARRAY);
  s.i32(6, 0);  // UTF8
  // DELTA_LENGTH_BYTE_ARRAY: lengths, then the bytes.
  std::vector<std::int64_t> lens;
  std::string all;
  for (const auto& w : words) lens.push_back(static_cast<std::int64_t>(w.size())), all += w;
  Buf dl = delta_binary(lens);
  append(dl, str_bytes(all));
  EXPECT_EQ(texts(read(one_column_file(s, "w", BYTE_ARRAY, 0, {page_v1(dl, dl.size(), 6, DLBA)}, 6)).column("w")), words);
  // DELTA_BYTE_ARRAY: prefix lengths, suffix lengths, suffixes.
  std::vector<std::int64_t> pre = {0, 5, 4, 0, 0, 3}, suf = {5, 5, 1, 0, 6, 4};
  Buf db = delta_binary(pre);
  append(db, delta_binary(suf));
  append(db, str_bytes("applesauceybananadana"));
  EXPECT_EQ(texts(read(one_column_file(s, "w", BYTE_ARRAY, 0, {page_v1(db, db.size(), 6, DBA)}, 6)).column("w")), words);
  // A prefix longer than the previous value is refused.
  Buf bad = delta_binary({0, 9});
  append(bad, delta_binary({2, 1}));
  append(bad, str_bytes("abc"));
  const std::string e = error_of(one_column_file(s, "w", BYTE_ARRAY, 0, {page_v1(bad, bad.size(), 2, DBA)}, 2));
  EXPECT_NE(e.find("prefix longer"), std::string::npos) << e;
}

TEST(ParquetEncodings, ByteStreamSplitOnFloat16AndLegacyBitPackedLevels) {
  // FLOAT16 1.0, -2.0, 0.5 as FIXED_LEN_BYTE_ARRAY(2), split into two byte streams.
  TStruct s = leaf("h", FLBA);
  s.i32(2, 2);
  TStruct lt;
  lt.strct(15, TStruct());
  s.strct(10, lt);
  const Buf bss = {0x00, 0x00, 0x00, 0x3c, 0xc0, 0x38};
  const Frame f = read(one_column_file(s, "h", FLBA, 0, {page_v1(bss, bss.size(), 3, BSS)}, 3));
  EXPECT_EQ(floats(f.column("h")), (std::vector<double>{1.0, -2.0, 0.5}));

  // Optional INT32 with BIT_PACKED definition levels (most significant bit first).
  Buf body = {0xb3};  // 1 0 1 1 0 0 1 1
  for (std::int32_t v : {10, 20, 30, 40, 50}) u32le(body, static_cast<std::uint32_t>(v));
  const Frame g = read(one_column_file(leaf("o", INT32, 1), "o", INT32, 0, {page_v1(body, body.size(), 8, PLAIN, BIT_PACKED)}, 8));
  EXPECT_EQ(g.column("o"), Column::ints({10, 0, 20, 30, 0, 0, 40, 50}, {1, 0, 1, 1, 0, 0, 1, 1}));
}

TEST(ParquetEncodings, RleBooleansInV2PagesWithNulls) {
  // Levels: bit-packed group of 8: 1 1 0 1 1 1 0 1 -> 0b10111011.
  const Buf levels = {0x03, 0xbb};
  Buf values;
  const Buf rle = {0x03, 0x2d};  // six values, bit-packed: 1 0 1 1 0 1
  u32le(values, static_cast<std::uint32_t>(rle.size()));
  append(values, rle);
  const Frame f = read(one_column_file(leaf("b", BOOLEAN, 1), "b", BOOLEAN, 0, {page_v2(levels, values, 8, 2, RLE)}, 8));
  EXPECT_EQ(f.column("b"), Column::bools({1, 0, 0, 1, 1, 0, 0, 1}, {1, 1, 0, 1, 1, 1, 0, 1}));
  // A null count that disagrees with the levels is refused.
  const std::string e = error_of(one_column_file(leaf("b", BOOLEAN, 1), "b", BOOLEAN, 0, {page_v2(levels, values, 8, 1, RLE)}, 8));
  EXPECT_NE(e.find("null count"), std::string::npos) << e;
}

TEST(ParquetEncodings, Int96TimestampsUuidAndByteDecimals) {
  Buf b;
  auto int96 = [&](std::int64_t nanos, std::uint32_t julian) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(nanos) >> (8 * i)));
    u32le(b, julian);
  };
  int96(3600LL * 1000000000 + 5, 2440589);
  int96(0, 2440587);
  const Frame f = read(one_column_file(leaf("t", INT96), "t", INT96, 0, {page_v1(b, b.size(), 2, PLAIN)}, 2));
  EXPECT_EQ(f.column("t"), Column::timestamps({kNanosPerDay + 3600LL * 1000000000 + 5, -kNanosPerDay}));

  TStruct u = leaf("u", FLBA);
  u.i32(2, 16);
  TStruct ult;
  ult.strct(14, TStruct());
  u.strct(10, ult);
  Buf ub;
  for (int i = 0; i < 16; ++i) ub.push_back(static_cast<std::uint8_t>(i * 17));
  EXPECT_EQ(texts(read(one_column_file(u, "u", FLBA, 0, {page_v1(ub, ub.size(), 1, PLAIN)}, 1)).column("u")).at(0),
            "00112233-4455-6677-8899-aabbccddeeff");

  // DECIMAL(5, 2) in two bytes, big-endian two's complement: -123 -> -1.23, 32767 -> 327.67.
  TStruct d = leaf("d", FLBA);
  d.i32(2, 2).i32(6, 5).i32(7, 2).i32(8, 5);
  const Buf db = {0xff, 0x85, 0x7f, 0xff};
  EXPECT_EQ(floats(read(one_column_file(d, "d", FLBA, 0, {page_v1(db, db.size(), 2, PLAIN)}, 2)).column("d")),
            (std::vector<double>{-1.23, 327.67}));
}

TEST(ParquetEncodings, Lz4WithHadoopFramingAndItsLies) {
  // Four INT32 values; an LZ4 block of literals only (token 0x?0 then the bytes).
  Buf raw;
  for (std::int32_t v : {1, -2, 300, 4}) u32le(raw, static_cast<std::uint32_t>(v));
  Buf block = {static_cast<std::uint8_t>(15 << 4), static_cast<std::uint8_t>(raw.size() - 15)};
  append(block, raw);
  auto be = [](Buf& b, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  Buf framed;
  be(framed, static_cast<std::uint32_t>(raw.size()));
  be(framed, static_cast<std::uint32_t>(block.size()));
  append(framed, block);
  const Frame f = read(one_column_file(leaf("x", INT32), "x", INT32, 5, {page_v1(framed, raw.size(), 4, PLAIN)}, 4));
  EXPECT_EQ(ints(f.column("x")), (std::vector<std::int64_t>{1, -2, 300, 4}));
  // The same block bare (LZ4_RAW, codec 7).
  EXPECT_EQ(ints(read(one_column_file(leaf("x", INT32), "x", INT32, 7, {page_v1(block, raw.size(), 4, PLAIN)}, 4)).column("x")),
            (std::vector<std::int64_t>{1, -2, 300, 4}));
  // A declared page size smaller than the data: refused, not overrun.
  const std::string e = error_of(one_column_file(leaf("x", INT32), "x", INT32, 5, {page_v1(framed, raw.size() - 4, 3, PLAIN)}, 3));
  EXPECT_NE(e.find("LZ4"), std::string::npos) << e;
  EXPECT_NE(e.find("column 'x', row group 0, page at offset 4"), std::string::npos) << e;
}

TEST(ParquetEncodings, DictionaryPagesOnHandBuiltFiles) {
  Buf dict;
  for (const std::string s : {"lo", "hi"}) {
    u32le(dict, static_cast<std::uint32_t>(s.size()));
    append(dict, str_bytes(s));
  }
  // Optional column: levels run of 5 ones, then width 1 and a bit-packed group 1 0 0 1 1.
  Buf body;
  u32le(body, 2);
  append(body, {0x0a, 0x01});
  append(body, {0x01, 0x03, 0x19});
  TStruct s = leaf("d", BYTE_ARRAY, 1);
  s.i32(6, 0);
  const Frame f = read(one_column_file(s, "d", BYTE_ARRAY, 0, {dictionary_page(dict, 2), page_v1(body, body.size(), 5, RLE_DICT)}, 5, true));
  EXPECT_EQ(texts(f.column("d")), (std::vector<std::string>{"hi", "lo", "lo", "hi", "hi"}));
  // The data page alone: no dictionary to look up.
  const std::string e = error_of(one_column_file(s, "d", BYTE_ARRAY, 0, {page_v1(body, body.size(), 5, RLE_DICT)}, 5));
  EXPECT_NE(e.find("without a dictionary"), std::string::npos) << e;
}
