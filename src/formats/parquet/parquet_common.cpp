// Thrift metadata (de)serialization and page codecs shared by the Parquet
// reader and writer, and the writer's RLE / bit-packed hybrid encoder.
#include <brotli/decode.h>
#include <lz4.h>
#include <lz4frame.h>
#include <snappy.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <thrift/TConfiguration.h>
#include <thrift/Thrift.h>
#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "parquet_internal.hpp"

namespace quorin_data::formats::pq {

using apache::thrift::TConfiguration;
using apache::thrift::protocol::TCompactProtocolT;
using apache::thrift::transport::TMemoryBuffer;

const char* codec_name(int codec) {
  switch (codec) {
    case zNone: return "UNCOMPRESSED";
    case zSnappy: return "SNAPPY";
    case zGzip: return "GZIP";
    case zLzo: return "LZO";
    case zBrotli: return "BROTLI";
    case zLz4: return "LZ4";
    case zZstd: return "ZSTD";
    case zLz4Raw: return "LZ4_RAW";
    default: return "unknown codec";
  }
}

const char* encoding_name(int enc) {
  switch (enc) {
    case ePlain: return "PLAIN";
    case ePlainDictionary: return "PLAIN_DICTIONARY";
    case eRle: return "RLE";
    case eBitPacked: return "BIT_PACKED";
    case eDeltaBinaryPacked: return "DELTA_BINARY_PACKED";
    case eDeltaLengthByteArray: return "DELTA_LENGTH_BYTE_ARRAY";
    case eDeltaByteArray: return "DELTA_BYTE_ARRAY";
    case eRleDictionary: return "RLE_DICTIONARY";
    case eByteStreamSplit: return "BYTE_STREAM_SPLIT";
    default: return "unknown encoding";
  }
}

template <class T>
std::size_t thrift_decode(const std::uint8_t* p, std::size_t n, T& out, const Place& place,
                          const char* what) {
  // Thrift sizes are 32-bit; metadata larger than 256 MiB is not a file we read.
  const std::size_t limit = std::min<std::size_t>(n, std::size_t{1} << 28);
  auto config = std::make_shared<TConfiguration>(static_cast<int>(limit), static_cast<int>(limit), 64);
  try {
    auto buf = std::make_shared<TMemoryBuffer>(const_cast<std::uint8_t*>(p),
                                               static_cast<std::uint32_t>(limit),
                                               TMemoryBuffer::OBSERVE, config);
    TCompactProtocolT<TMemoryBuffer> proto(buf, static_cast<std::int32_t>(limit),
                                           static_cast<std::int32_t>(limit));
    out.read(&proto);
    return limit - buf->available_read();
  } catch (const apache::thrift::TException& e) {
    place.fail(std::string("unreadable ") + what + " (" + e.what() + ")");
  } catch (const std::bad_alloc&) {
    place.fail(std::string("unreadable ") + what + " (sizes too large)");
  }
}

template <class T>
void thrift_encode(const T& obj, std::vector<std::uint8_t>& out) {
  auto buf = std::make_shared<TMemoryBuffer>();
  TCompactProtocolT<TMemoryBuffer> proto(buf);
  obj.write(&proto);
  std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  buf->getBuffer(&data, &size);
  out.insert(out.end(), data, data + size);
}

template std::size_t thrift_decode(const std::uint8_t*, std::size_t, quorin_pq::FileMetaData&,
                                   const Place&, const char*);
template std::size_t thrift_decode(const std::uint8_t*, std::size_t, quorin_pq::PageHeader&,
                                   const Place&, const char*);
template void thrift_encode(const quorin_pq::FileMetaData&, std::vector<std::uint8_t>&);
template void thrift_encode(const quorin_pq::PageHeader&, std::vector<std::uint8_t>&);

namespace {

[[noreturn]] void too_large(int codec, const Place& place) {
  place.fail(std::string(codec_name(codec)) + " data expands past the declared page size");
}

void inflate_gzip(const std::uint8_t* src, std::size_t n, std::uint8_t* dst, std::size_t expected,
                  const Place& place) {
  z_stream s{};
  if (inflateInit2(&s, 15 + 32) != Z_OK) place.fail("cannot start GZIP decoder");
  struct Guard {
    z_stream* s;
    ~Guard() { inflateEnd(s); }
  } guard{&s};
  s.next_in = const_cast<Bytef*>(src);
  s.avail_in = static_cast<uInt>(std::min<std::size_t>(n, UINT_MAX));
  s.next_out = dst;
  s.avail_out = static_cast<uInt>(std::min<std::size_t>(expected, UINT_MAX));
  if (expected > UINT_MAX || n > UINT_MAX) place.fail("GZIP page too large");
  // With the output full, one more byte decoded means the data is larger than
  // declared; the stream must end here. Returns once the end is confirmed.
  auto expect_end = [&] {
    std::uint8_t extra;
    s.next_out = &extra;
    s.avail_out = 1;
    const int r2 = inflate(&s, Z_NO_FLUSH);
    if (s.avail_out == 0) too_large(zGzip, place);
    if (r2 != Z_STREAM_END) place.fail("truncated GZIP data");
  };
  for (;;) {
    const int r = inflate(&s, Z_NO_FLUSH);
    if (r == Z_STREAM_END) break;
    if (r == Z_BUF_ERROR && s.avail_out == 0) {
      expect_end();
      break;
    }
    if (r != Z_OK) {
      if (r == Z_BUF_ERROR) place.fail("truncated GZIP data");
      place.fail(std::string("corrupt GZIP data (") + (s.msg ? s.msg : "inflate failed") + ")");
    }
    if (s.avail_out == 0 && s.avail_in == 0) {
      expect_end();
      break;
    }
  }
  if (s.total_out != expected) place.fail("GZIP data shorter than the declared page size");
}

void lz4_frame(const std::uint8_t* src, std::size_t n, std::uint8_t* dst, std::size_t expected,
               const Place& place) {
  LZ4F_dctx* ctx = nullptr;
  if (LZ4F_isError(LZ4F_createDecompressionContext(&ctx, LZ4F_VERSION))) place.fail("cannot start LZ4 decoder");
  struct Guard {
    LZ4F_dctx* c;
    ~Guard() { LZ4F_freeDecompressionContext(c); }
  } guard{ctx};
  std::size_t in_pos = 0, out_pos = 0;
  for (;;) {
    std::size_t in_size = n - in_pos, out_size = expected - out_pos;
    std::uint8_t extra;
    std::uint8_t* out = out_size ? dst + out_pos : &extra;
    if (!out_size) out_size = 1;
    const std::size_t r = LZ4F_decompress(ctx, out, &out_size, src + in_pos, &in_size, nullptr);
    if (LZ4F_isError(r)) place.fail(std::string("corrupt LZ4 data (") + LZ4F_getErrorName(r) + ")");
    if (out == &extra && out_size) too_large(zLz4, place);
    in_pos += in_size;
    out_pos += out == &extra ? 0 : out_size;
    if (r == 0) break;
    if (in_pos >= n && in_size == 0 && out_size == 0) place.fail("truncated LZ4 data");
  }
  if (out_pos != expected) place.fail("LZ4 data shorter than the declared page size");
}

// Hadoop framing: [u32 BE raw length][u32 BE compressed length][LZ4 block]...
bool lz4_hadoop(const std::uint8_t* src, std::size_t n, std::uint8_t* dst, std::size_t expected) {
  auto be32 = [](const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
  };
  std::size_t in = 0, out = 0;
  while (in < n) {
    if (n - in < 8) return false;
    const std::size_t raw = be32(src + in), comp = be32(src + in + 4);
    in += 8;
    if (comp > n - in || raw > expected - out) return false;
    const int got = LZ4_decompress_safe(reinterpret_cast<const char*>(src + in),
                                        reinterpret_cast<char*>(dst + out), static_cast<int>(comp),
                                        static_cast<int>(raw));
    if (got < 0 || static_cast<std::size_t>(got) != raw) return false;
    in += comp;
    out += raw;
  }
  return out == expected;
}

}  // namespace

void decompress(int codec, const std::uint8_t* src, std::size_t n, std::uint8_t* dst,
                std::size_t expected, const Place& place) {
  switch (codec) {
    case zNone:
      if (n != expected) place.fail("uncompressed page size differs from its stored size");
      if (n) std::memcpy(dst, src, n);
      return;
    case zSnappy: {
      std::size_t len = 0;
      if (!snappy::GetUncompressedLength(reinterpret_cast<const char*>(src), n, &len))
        place.fail("corrupt SNAPPY data");
      if (len > expected) too_large(codec, place);
      if (len != expected) place.fail("SNAPPY data shorter than the declared page size");
      if (!snappy::RawUncompress(reinterpret_cast<const char*>(src), n, reinterpret_cast<char*>(dst)))
        place.fail("corrupt SNAPPY data");
      return;
    }
    case zGzip: inflate_gzip(src, n, dst, expected, place); return;
    case zZstd: {
      const std::size_t r = ZSTD_decompress(dst, expected, src, n);
      if (ZSTD_isError(r)) {
        if (ZSTD_getErrorCode(r) == ZSTD_error_dstSize_tooSmall) too_large(codec, place);
        place.fail(std::string("corrupt ZSTD data (") + ZSTD_getErrorName(r) + ")");
      }
      if (r != expected) place.fail("ZSTD data shorter than the declared page size");
      return;
    }
    case zLz4Raw: {
      if (n > INT_MAX || expected > INT_MAX) place.fail("LZ4_RAW page too large");
      const int r = LZ4_decompress_safe(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(dst),
                                        static_cast<int>(n), static_cast<int>(expected));
      if (r < 0) place.fail("corrupt LZ4_RAW data (or larger than the declared page size)");
      if (static_cast<std::size_t>(r) != expected) place.fail("LZ4_RAW data shorter than the declared page size");
      return;
    }
    case zLz4: {
      if (n > INT_MAX || expected > INT_MAX) place.fail("LZ4 page too large");
      // Older writers frame LZ4 blocks the Hadoop way; some use the LZ4 frame
      // format or a bare block. Try them in that order.
      if (lz4_hadoop(src, n, dst, expected)) return;
      if (n >= 4 && src[0] == 0x04 && src[1] == 0x22 && src[2] == 0x4d && src[3] == 0x18) {
        lz4_frame(src, n, dst, expected, place);
        return;
      }
      const int r = LZ4_decompress_safe(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(dst),
                                        static_cast<int>(n), static_cast<int>(expected));
      if (r < 0 || static_cast<std::size_t>(r) != expected) place.fail("corrupt LZ4 data");
      return;
    }
    case zBrotli: {
      std::size_t out = expected;
      const auto r = BrotliDecoderDecompress(n, src, &out, dst);
      if (r != BROTLI_DECODER_RESULT_SUCCESS)
        place.fail("corrupt BROTLI data (or larger than the declared page size)");
      if (out != expected) place.fail("BROTLI data shorter than the declared page size");
      return;
    }
    default:
      place.fail(std::string("compression codec ") + codec_name(codec) + " (" + std::to_string(codec) +
                 ") is not supported");
  }
}

void compress(int codec, const std::uint8_t* src, std::size_t n, std::vector<std::uint8_t>& out) {
  const std::size_t base = out.size();
  switch (codec) {
    case zNone: out.insert(out.end(), src, src + n); return;
    case zSnappy: {
      out.resize(base + snappy::MaxCompressedLength(n));
      std::size_t len = 0;
      snappy::RawCompress(reinterpret_cast<const char*>(src), n, reinterpret_cast<char*>(out.data() + base), &len);
      out.resize(base + len);
      return;
    }
    case zZstd: {
      out.resize(base + ZSTD_compressBound(n));
      const std::size_t r = ZSTD_compress(out.data() + base, out.size() - base, src, n, 3);
      if (ZSTD_isError(r)) throw RuntimeError(std::string("ZSTD compression failed: ") + ZSTD_getErrorName(r));
      out.resize(base + r);
      return;
    }
    case zGzip: {
      z_stream s{};
      if (deflateInit2(&s, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw RuntimeError("GZIP compression failed to start");
      out.resize(base + deflateBound(&s, static_cast<uLong>(n)) + 32);
      s.next_in = const_cast<Bytef*>(src);
      s.avail_in = static_cast<uInt>(n);
      s.next_out = out.data() + base;
      s.avail_out = static_cast<uInt>(out.size() - base);
      const int r = deflate(&s, Z_FINISH);
      const std::size_t len = s.total_out;
      deflateEnd(&s);
      if (r != Z_STREAM_END) throw RuntimeError("GZIP compression failed");
      out.resize(base + len);
      return;
    }
    default: throw ValueError(std::string("cannot write codec ") + codec_name(codec));
  }
}

int bit_width_of(std::uint64_t max_value) {
  int w = 0;
  while (max_value) {
    ++w;
    max_value >>= 1;
  }
  return w;
}

void encode_rle_hybrid(const std::uint32_t* v, std::size_t n, int bit_width, std::vector<std::uint8_t>& out) {
  auto put_uleb = [&](std::uint64_t x) {
    while (x >= 0x80) {
      out.push_back(static_cast<std::uint8_t>(x | 0x80));
      x >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(x));
  };
  const std::size_t vbytes = static_cast<std::size_t>((bit_width + 7) / 8);
  std::size_t i = 0;
  while (i < n) {
    std::size_t run = 1;
    while (i + run < n && v[i + run] == v[i]) ++run;
    if (run >= 8) {
      put_uleb(static_cast<std::uint64_t>(run) << 1);
      for (std::size_t b = 0; b < vbytes; ++b) out.push_back(static_cast<std::uint8_t>(v[i] >> (8 * b)));
      i += run;
      continue;
    }
    // Bit-pack groups of 8 until a run of 8 equal values starts.
    std::size_t j = i;
    while (j < n) {
      std::size_t r = 1;
      while (j + r < n && v[j + r] == v[j] && r < 8) ++r;
      if (r >= 8) break;
      j += 8;
    }
    j = std::min(j, n);
    const std::size_t groups = (j - i + 7) / 8;
    put_uleb((static_cast<std::uint64_t>(groups) << 1) | 1);
    const std::size_t start = out.size();
    out.resize(start + groups * static_cast<std::size_t>(bit_width), 0);
    for (std::size_t k = 0; k < groups * 8; ++k) {
      const std::uint32_t x = (i + k < j) ? v[i + k] : 0;
      const std::size_t bit = k * static_cast<std::size_t>(bit_width);
      for (int b = 0; b < bit_width; ++b)
        if ((x >> b) & 1u) out[start + ((bit + static_cast<std::size_t>(b)) >> 3)] |= static_cast<std::uint8_t>(1u << ((bit + static_cast<std::size_t>(b)) & 7));
    }
    i = j;
  }
}

}  // namespace quorin_data::formats::pq
