// Shared pieces of the Parquet reader and writer: Thrift (de)serialization of
// the metadata, page codecs and the value encodings.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "parquet_types.h"
#include "quorin_data/core/errors.hpp"

namespace quorin_data::formats::pq {

// Physical types.
enum Phys : int { kBoolean = 0, kInt32 = 1, kInt64 = 2, kInt96 = 3, kFloat = 4, kDouble = 5,
                  kByteArray = 6, kFixed = 7 };
// Converted (legacy) types.
enum Conv : int { cUtf8 = 0, cMap = 1, cMapKeyValue = 2, cList = 3, cEnum = 4, cDecimal = 5,
                  cDate = 6, cTimeMillis = 7, cTimeMicros = 8, cTimestampMillis = 9,
                  cTimestampMicros = 10, cUint8 = 11, cUint16 = 12, cUint32 = 13, cUint64 = 14,
                  cInt8 = 15, cInt16 = 16, cInt32 = 17, cInt64 = 18, cJson = 19, cBson = 20,
                  cInterval = 21 };
enum Enc : int { ePlain = 0, ePlainDictionary = 2, eRle = 3, eBitPacked = 4, eDeltaBinaryPacked = 5,
                 eDeltaLengthByteArray = 6, eDeltaByteArray = 7, eRleDictionary = 8,
                 eByteStreamSplit = 9 };
enum Codec : int { zNone = 0, zSnappy = 1, zGzip = 2, zLzo = 3, zBrotli = 4, zLz4 = 5, zZstd = 6,
                   zLz4Raw = 7 };
enum PageKind : int { pData = 0, pIndex = 1, pDictionary = 2, pDataV2 = 3 };

const char* codec_name(int codec);
const char* encoding_name(int enc);

// Where a decoding step is, for error messages ("column x, row group 2, page at offset 1234").
struct Place {
  const std::string* source = nullptr;
  std::string where;
  [[noreturn]] void fail(const std::string& what) const {
    throw FormatError("Parquet", source ? *source : std::string(), where, what);
  }
};

// Decodes one Thrift compact-protocol struct from [p, p+n); returns the bytes used.
// Sizes of strings and containers are bounded by the input size.
template <class T>
std::size_t thrift_decode(const std::uint8_t* p, std::size_t n, T& out, const Place& place,
                          const char* what);
// Serializes a Thrift struct with the compact protocol, appending to `out`.
template <class T>
void thrift_encode(const T& obj, std::vector<std::uint8_t>& out);

// Decompresses `n` bytes into exactly `expected` bytes (the declared size bounds the output).
void decompress(int codec, const std::uint8_t* src, std::size_t n, std::uint8_t* dst,
                std::size_t expected, const Place& place);
void compress(int codec, const std::uint8_t* src, std::size_t n, std::vector<std::uint8_t>& out);

// Bounds-checked little-endian reader over a byte range.
struct Cursor {
  const std::uint8_t* p;
  const std::uint8_t* end;
  const Place* place;
  std::size_t left() const { return static_cast<std::size_t>(end - p); }
  void need(std::size_t k, const char* what) const {
    if (left() < k) place->fail(std::string("truncated ") + what);
  }
  std::uint32_t u32le(const char* what) {
    need(4, what);
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    p += 4;
    return v;
  }
  std::uint64_t uleb(const char* what) {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      need(1, what);
      const std::uint8_t b = *p++;
      v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return v;
    }
    place->fail(std::string("overlong varint in ") + what);
  }
  std::int64_t zigzag(const char* what) {
    const std::uint64_t u = uleb(what);
    return static_cast<std::int64_t>(u >> 1) ^ -static_cast<std::int64_t>(u & 1);
  }
};

// Encoders used by the writer.
void encode_rle_hybrid(const std::uint32_t* v, std::size_t n, int bit_width,
                       std::vector<std::uint8_t>& out);
int bit_width_of(std::uint64_t max_value);

}  // namespace quorin_data::formats::pq
