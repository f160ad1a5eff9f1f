// The column reader: a column chunk page by page (dictionary, v1 and v2 data
// pages, decompression, definition levels), values decoded by their
// encoding's decoder and converted into the typed Frame column.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "kernels/buffers.hpp"
#include "reader_internal.hpp"

namespace quorin_data::formats {

using namespace pq;

namespace {

std::int64_t checked_mul(std::int64_t v, std::int64_t m, const Place& place) {
  std::int64_t r;
  if (__builtin_mul_overflow(v, m, &r)) place.fail("timestamp outside the nanosecond range");
  return r;
}

// A TIME value in nanoseconds, which must lie within one day.
std::int64_t time_of_day(std::int64_t v, std::int64_t unit_ns, const Place& place) {
  const std::int64_t ns = checked_mul(v, unit_ns, place);
  if (ns < 0 || ns >= kNanosPerDay) place.fail("TIME value " + std::to_string(v) + " outside one day");
  return ns;
}

const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Unscaled integer / 10^scale, correctly rounded.
double decimal_value(__int128 unscaled, int scale) {
  const __int128 lim = static_cast<__int128>(1) << 53;
  if (scale >= 0 && scale <= 22 && unscaled < lim && unscaled > -lim)
    return static_cast<double>(static_cast<std::int64_t>(unscaled)) / kPow10[scale];
  // Exact decimal text, parsed once.
  const bool neg = unscaled < 0;
  unsigned __int128 u = neg ? static_cast<unsigned __int128>(-(unscaled + 1)) + 1 : static_cast<unsigned __int128>(unscaled);
  char digits[64];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(u % 10));
    u /= 10;
  } while (u);
  std::string s = neg ? "-" : "";
  for (int i = n - 1; i >= 0; --i) s += digits[i];
  s += 'e';
  s += std::to_string(-scale);
  return std::strtod(s.c_str(), nullptr);
}

double decimal_from_bytes(std::string_view b, int scale, const Place& place) {
  if (b.empty()) return 0.0;
  if (b.size() > 16) place.fail("DECIMAL wider than 16 bytes is not supported");
  // Big-endian two's complement, sign-extended to 16 bytes and read as two
  // 64-bit halves.
  unsigned char wide[16];
  std::memset(wide, (static_cast<std::uint8_t>(b[0]) & 0x80) ? 0xff : 0, 16 - b.size());
  std::memcpy(wide + 16 - b.size(), b.data(), b.size());
  std::uint64_t hi, lo;
  std::memcpy(&hi, wide, 8);
  std::memcpy(&lo, wide + 8, 8);
  const unsigned __int128 u = (static_cast<unsigned __int128>(__builtin_bswap64(hi)) << 64) | __builtin_bswap64(lo);
  return decimal_value(static_cast<__int128>(u), scale);
}

double half_to_double(std::uint16_t h) {
  const int e = (h >> 10) & 0x1f, m = h & 0x3ff;
  const double sign = (h & 0x8000) ? -1.0 : 1.0;
  if (e == 0) return sign * std::ldexp(m, -24);
  if (e == 31) return m ? kNaN : sign * std::numeric_limits<double>::infinity();
  return sign * std::ldexp(m + 1024, e - 25);
}

std::string uuid_text(std::string_view b) {
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += hex[static_cast<std::uint8_t>(b[i]) >> 4];
    s += hex[static_cast<std::uint8_t>(b[i]) & 15];
  }
  return s;
}

struct PageCtx {
  const ColumnDesc* d;
  Place place;
  ColumnSink* out;
  const std::uint32_t* defs;  // null when the column is required
  std::size_t rows;           // values in the page including nulls
  std::size_t nvals;          // non-null values
};

// Places the page's non-null values (from `get`) into rows per the
// definition levels: fixed-width values into slots made up front.
template <class V, class Get>
void scatter(const PageCtx& c, std::vector<V>& dst, ValidityBuilder* valid, V missing, Get get) {
  const std::size_t base = dst.size();
  dst.resize(base + c.rows);
  V* out = dst.data() + base;
  if (!c.defs) {
    for (std::size_t i = 0; i < c.rows; ++i) out[i] = get(i);
    if (valid) valid->push_n(c.rows, true);
    return;
  }
  const auto max_def = static_cast<std::uint32_t>(c.d->max_def);
  std::size_t k = 0;
  for (std::size_t i = 0; i < c.rows; ++i) {
    const bool present = c.defs[i] == max_def && k < c.nvals;
    out[i] = present ? get(k++) : missing;
    if (valid) valid->push(present);
  }
}

template <class Get>
void scatter_texts(const PageCtx& c, TextBuilder& dst, Get get) {
  const auto max_def = static_cast<std::uint32_t>(c.d->max_def);
  std::size_t k = 0;
  for (std::size_t i = 0; i < c.rows; ++i) {
    if (!c.defs || (c.defs[i] == max_def && k < c.nvals))
      dst.append(get(c.defs ? k++ : i));
    else
      dst.append_missing();
  }
}

// Appends converted values to the output column.
template <class T>
void emit(PageCtx& c, const T* vals) {
  const ColumnDesc& d = *c.d;
  ColumnSink& o = *c.out;
  auto ints = [&](auto get) { scatter<std::int64_t>(c, o.i64, &o.valid, 0, get); };
  auto reals = [&](auto get) { scatter<double>(c, o.f64, nullptr, kNaN, get); };
  auto texts = [&](auto get) { scatter_texts(c, o.text, get); };
  if constexpr (std::is_same_v<T, std::int32_t>) {
    switch (d.kind) {
      case Kind::Int32: return ints([&](std::size_t k) { return std::int64_t{vals[k]}; });
      case Kind::Date32: return scatter<std::int32_t>(c, o.i32, &o.valid, 0, [&](std::size_t k) { return vals[k]; });
      case Kind::UInt32: return ints([&](std::size_t k) { return std::int64_t{static_cast<std::uint32_t>(vals[k])}; });
      case Kind::Decimal: return reals([&](std::size_t k) { return decimal_value(vals[k], d.scale); });
      case Kind::Time: return ints([&](std::size_t k) { return time_of_day(vals[k], d.unit_ns, c.place); });
      default: break;
    }
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    switch (d.kind) {
      case Kind::Int64: case Kind::UInt64: return ints([&](std::size_t k) { return vals[k]; });
      case Kind::Timestamp64:
        if (d.unit_ns == 1) return ints([&](std::size_t k) { return vals[k]; });
        return ints([&](std::size_t k) { return checked_mul(vals[k], d.unit_ns, c.place); });
      case Kind::Decimal: return reals([&](std::size_t k) { return decimal_value(vals[k], d.scale); });
      case Kind::Time: return ints([&](std::size_t k) { return time_of_day(vals[k], d.unit_ns, c.place); });
      default: break;
    }
  } else if constexpr (std::is_same_v<T, float>) {
    return reals([&](std::size_t k) { return static_cast<double>(vals[k]); });
  } else if constexpr (std::is_same_v<T, double>) {
    return reals([&](std::size_t k) { return vals[k]; });
  } else if constexpr (std::is_same_v<T, std::uint8_t>) {
    return scatter<std::uint8_t>(c, o.u8, &o.valid, 0, [&](std::size_t k) { return static_cast<std::uint8_t>(vals[k] != 0); });
  } else if constexpr (std::is_same_v<T, Int96>) {
    return ints([&](std::size_t k) {
      std::int64_t nanos;
      std::int32_t julian;
      std::memcpy(&nanos, vals[k].b, 8);
      std::memcpy(&julian, vals[k].b + 8, 4);
      std::int64_t r;
      if (__builtin_mul_overflow(std::int64_t{julian} - 2440588, kNanosPerDay, &r) || __builtin_add_overflow(r, nanos, &r))
        c.place.fail("INT96 timestamp outside the nanosecond range");
      return r;
    });
  } else if constexpr (std::is_same_v<T, std::string_view>) {
    switch (d.kind) {
      case Kind::Bytes: return texts([&](std::size_t k) { return vals[k]; });
      case Kind::Uuid: return texts([&](std::size_t k) { return uuid_text(vals[k]); });
      case Kind::Decimal: return reals([&](std::size_t k) { return decimal_from_bytes(vals[k], d.scale, c.place); });
      case Kind::Float16:
        return reals([&](std::size_t k) {
          if (vals[k].size() != 2) c.place.fail("FLOAT16 value not 2 bytes");
          return half_to_double(static_cast<std::uint16_t>(static_cast<std::uint8_t>(vals[k][0]) |
                                                           (static_cast<std::uint8_t>(vals[k][1]) << 8)));
        });
      default: break;
    }
  }
  c.place.fail("values do not match the column type");
}

// Decodes one column chunk with values of C++ type T.
template <class T>
struct ChunkReader {
  const ColumnDesc& d;
  const std::string& source;
  ColumnSink& out;
  std::size_t rg;
  int codec;
  std::vector<T> dict;
  std::vector<std::uint8_t> dict_buf;
  bool have_dict = false;
  std::vector<std::uint8_t> page_buf;
  std::vector<std::uint32_t> defs;
  std::vector<std::uint32_t> idx;
  std::vector<T> vals;
  std::vector<std::int64_t> ints;
  std::string arena;

  // Decompresses a page body (or hands back the stored bytes when not compressed).
  std::pair<const std::uint8_t*, std::size_t> body(const std::uint8_t* p, std::size_t n, std::size_t raw,
                                                   bool compressed, std::vector<std::uint8_t>& buf,
                                                   const Place& place) {
    if (!compressed || codec == zNone) {
      if (n != raw) place.fail("page sizes disagree for an uncompressed page");
      return {p, n};
    }
    if (raw > (std::size_t{1} << 30)) place.fail("page declares more than 1 GiB uncompressed");
    // GZIP expands at most ~1032:1 and LZ4 ~255:1; a header claiming more lies.
    if ((codec == zGzip && raw / 1100 > n + 64) || ((codec == zLz4 || codec == zLz4Raw) && raw / 260 > n + 64))
      place.fail(std::string(codec_name(codec)) + " page declares an impossible uncompressed size");
    buf.resize(raw);
    decompress(codec, p, n, buf.data(), raw, place);
    return {buf.data(), raw};
  }

  void decode_values(Cursor& cur, int enc, std::size_t n, const Place& place) {
    switch (enc) {
      case ePlain: decode_plain(cur, d, n, vals); return;
      case ePlainDictionary: case eRleDictionary:
        if (!have_dict) place.fail("dictionary-encoded page without a dictionary page");
        decode_dictionary(cur, dict, n, idx, vals, place);
        return;
      case eRle:
        if constexpr (std::is_same_v<T, std::uint8_t>) {
          decode_rle_booleans(cur, n, idx, vals);
          return;
        }
        break;
      case eDeltaBinaryPacked:
        if constexpr (std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>) {
          decode_delta_integers(cur, n, ints, vals, place);
          return;
        }
        break;
      case eDeltaLengthByteArray:
        if constexpr (std::is_same_v<T, std::string_view>) {
          if (d.phys != kByteArray) break;
          decode_delta_length_byte_array(cur, n, ints, vals, place);
          return;
        }
        break;
      case eDeltaByteArray:
        if constexpr (std::is_same_v<T, std::string_view>) {
          decode_delta_byte_array(cur, d, n, ints, arena, vals, place);
          return;
        }
        break;
      case eByteStreamSplit:
        if constexpr (std::is_same_v<T, std::string_view>) {
          if (d.phys != kFixed) break;
          decode_byte_stream_split(cur, static_cast<std::size_t>(d.type_length), n, arena, vals, place);
          return;
        } else if constexpr (!std::is_same_v<T, std::uint8_t>) {
          decode_byte_stream_split(cur, sizeof(T), n, arena, vals, place);
          return;
        }
        break;
      default: break;
    }
    place.fail(std::string("encoding ") + encoding_name(enc) + " (" + std::to_string(enc) +
               ") is not supported for this column's type");
  }

  void levels_v1(Cursor& cur, int enc, std::size_t n) {
    defs.resize(n);
    if (enc == eRle) {
      const std::uint32_t len = cur.u32le("definition levels length");
      cur.need(len, "definition levels");
      Cursor sub{cur.p, cur.p + len, cur.place};
      decode_rle_hybrid(sub, 1, n, defs.data(), "definition levels");
      cur.p += len;
    } else if (enc == eBitPacked) {
      decode_bit_packed_legacy(cur, 1, n, defs.data());
    } else {
      cur.place->fail(std::string("definition level encoding ") + encoding_name(enc) + " is not supported");
    }
  }

  std::size_t count_present(std::size_t n) const {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (defs[i] > static_cast<std::uint32_t>(d.max_def)) return SIZE_MAX;
      k += defs[i] == static_cast<std::uint32_t>(d.max_def);
    }
    return k;
  }

  // Runs of levels and indexes pack many values in a few bytes, but not
  // without limit: a page claiming more than 512 values per byte (and more
  // than 2^21 values) is taken as a lie rather than allocated.
  static void check_count(std::size_t n, std::size_t usize, const Place& place) {
    if (n > (std::size_t{1} << 21) && n / 512 > usize)
      place.fail("page claims " + std::to_string(n) + " values in " + std::to_string(usize) + " bytes");
  }

  // `chunk` holds the file bytes [begin, end); positions in messages are file offsets.
  void run(const std::uint8_t* chunk, std::size_t begin, std::size_t end, std::int64_t expect) {
    std::size_t pos = begin;
    std::int64_t done = 0;
    Place place{&source, ""};
    while (done < expect) {
      place.where = rg_place(d, rg) + ", page at offset " + std::to_string(pos);
      if (pos >= end) place.fail("column chunk ends after " + std::to_string(done) + " of " +
                                 std::to_string(expect) + " values");
      quorin_pq::PageHeader ph;
      const std::size_t hlen = thrift_decode(chunk + (pos - begin), end - pos, ph, place, "page header");
      if (ph.compressed_page_size < 0 || ph.uncompressed_page_size < 0) place.fail("negative page size");
      const std::size_t csize = static_cast<std::size_t>(ph.compressed_page_size);
      const std::size_t usize = static_cast<std::size_t>(ph.uncompressed_page_size);
      if (csize > end - pos - hlen) place.fail("page size " + std::to_string(csize) + " runs past the column chunk");
      const std::uint8_t* p = chunk + (pos - begin) + hlen;
      pos += hlen + csize;
      if (ph.type == pDictionary) {
        if (!ph.__isset.dictionary_page_header) place.fail("dictionary page without its header");
        if (have_dict) place.fail("second dictionary page in a column chunk");
        const auto& dh = ph.dictionary_page_header;
        if (dh.encoding != ePlain && dh.encoding != ePlainDictionary)
          place.fail(std::string("dictionary encoding ") + encoding_name(dh.encoding) + " is not supported");
        if (dh.num_values < 0) place.fail("negative dictionary size");
        auto [b, bn] = body(p, csize, usize, true, dict_buf, place);
        Cursor cur{b, b + bn, &place};
        const std::size_t nd = static_cast<std::size_t>(dh.num_values);
        if constexpr (!std::is_same_v<T, std::string_view>) {
          if (nd > bn) place.fail("dictionary size past the page");
        } else {
          if (d.phys == kByteArray && nd > bn / 4) place.fail("dictionary size past the page");
        }
        if (b != dict_buf.data()) dict_buf.assign(b, b + bn);  // keep the bytes the views point into
        Cursor own{dict_buf.data(), dict_buf.data() + bn, &place};
        decode_plain(own, d, nd, dict);
        have_dict = true;
        (void)cur;
        continue;
      }
      if (ph.type == pData) {
        if (!ph.__isset.data_page_header) place.fail("data page without its header");
        const auto& h = ph.data_page_header;
        if (h.num_values < 0 || h.num_values > expect - done) place.fail("page holds more values than the column chunk");
        const std::size_t n = static_cast<std::size_t>(h.num_values);
        check_count(n, usize, place);
        auto [b, bn] = body(p, csize, usize, true, page_buf, place);
        Cursor cur{b, b + bn, &place};
        std::size_t present = n;
        if (d.max_def > 0) {
          levels_v1(cur, h.definition_level_encoding, n);
          present = count_present(n);
          if (present == SIZE_MAX) place.fail("definition level above the maximum");
        }
        decode_values(cur, h.encoding, present, place);
        PageCtx ctx{&d, place, &out, d.max_def > 0 ? defs.data() : nullptr, n, present};
        emit(ctx, vals.data());
        done += h.num_values;
        continue;
      }
      if (ph.type == pDataV2) {
        if (!ph.__isset.data_page_header_v2) place.fail("data page v2 without its header");
        const auto& h = ph.data_page_header_v2;
        if (h.num_values < 0 || h.num_values > expect - done) place.fail("page holds more values than the column chunk");
        if (h.definition_levels_byte_length < 0 || h.repetition_levels_byte_length < 0) place.fail("negative level size");
        const std::size_t n = static_cast<std::size_t>(h.num_values);
        check_count(n, usize, place);
        const std::size_t dl = static_cast<std::size_t>(h.definition_levels_byte_length);
        const std::size_t rl = static_cast<std::size_t>(h.repetition_levels_byte_length);
        if (rl + dl > csize || rl + dl > usize) place.fail("level sizes run past the page");
        std::size_t present = n;
        if (d.max_def > 0) {
          Cursor lc{p + rl, p + rl + dl, &place};
          defs.resize(n);
          decode_rle_hybrid(lc, 1, n, defs.data(), "definition levels");
          present = count_present(n);
          if (present == SIZE_MAX) place.fail("definition level above the maximum");
        }
        if (h.num_nulls >= 0 && static_cast<std::size_t>(h.num_nulls) != n - present)
          place.fail("null count of the page header differs from its levels");
        auto [b, bn] = body(p + rl + dl, csize - rl - dl, usize - rl - dl, h.is_compressed, page_buf, place);
        Cursor cur{b, b + bn, &place};
        decode_values(cur, h.encoding, present, place);
        PageCtx ctx{&d, place, &out, d.max_def > 0 ? defs.data() : nullptr, n, present};
        emit(ctx, vals.data());
        done += h.num_values;
        continue;
      }
      // Index pages and page kinds we do not know carry no values of ours.
    }
  }
};

}  // namespace

std::pair<std::size_t, std::size_t> ParquetFile::Impl::chunk_span(const ColumnDesc& d, std::size_t rg,
                                                                  const Place& place) const {
  if (!d.unsupported.empty()) place.fail(d.unsupported);
  const auto& group = meta.row_groups[rg];
  const auto& cc = group.columns[static_cast<std::size_t>(d.leaf)];
  if (cc.__isset.crypto_metadata || cc.__isset.encrypted_column_metadata)
    place.fail("encrypted column (encryption is not supported)");
  if (cc.__isset.file_path && !cc.file_path.empty()) place.fail("column data in another file is not supported");
  if (!cc.__isset.meta_data) place.fail("column chunk without metadata");
  const auto& md = cc.meta_data;
  if (md.type != d.phys) place.fail("column chunk type differs from the schema");
  std::int64_t start = md.data_page_offset;
  if (md.__isset.dictionary_page_offset && md.dictionary_page_offset > 0 && md.dictionary_page_offset < start)
    start = md.dictionary_page_offset;
  if (start < 4 || md.total_compressed_size < 0 || static_cast<std::uint64_t>(start) > body_end ||
      static_cast<std::uint64_t>(md.total_compressed_size) > body_end - static_cast<std::uint64_t>(start))
    place.fail("column chunk at offset " + std::to_string(start) + " of " + std::to_string(md.total_compressed_size) +
               " bytes lies outside the file");
  if (md.num_values != group.num_rows)
    place.fail("column chunk holds " + std::to_string(md.num_values) + " values for " +
               std::to_string(group.num_rows) + " rows");
  const std::size_t b = static_cast<std::size_t>(start);
  return {b, b + static_cast<std::size_t>(md.total_compressed_size)};
}

void ParquetFile::Impl::decode_chunk(const ColumnDesc& d, std::size_t rg, ColumnSink& out) const {
  Place place{&source, rg_place(d, rg)};
  const auto span = chunk_span(d, rg, place);
  const std::size_t b = span.first, e = span.second;
  const auto& md = meta.row_groups[rg].columns[static_cast<std::size_t>(d.leaf)].meta_data;
  RangeCache::Buffer keep;
  const std::uint8_t* chunk = bytes_at(b, e - b, place, keep);
  auto go = [&](auto tag) {
    using T = decltype(tag);
    ChunkReader<T> r{d, source, out, rg, md.codec, {}, {}, false, {}, {}, {}, {}, {}, {}};
    r.run(chunk, b, e, md.num_values);
  };
  switch (d.phys) {
    case kBoolean: go(std::uint8_t{}); break;
    case kInt32: go(std::int32_t{}); break;
    case kInt64: go(std::int64_t{}); break;
    case kInt96: go(Int96{}); break;
    case kFloat: go(float{}); break;
    case kDouble: go(double{}); break;
    default: go(std::string_view{}); break;
  }
}

void ColumnSink::reserve(std::size_t n) {
  switch (type) {
    case DType::Float64: kernels::reserve_large(f64, n); break;
    case DType::Text: text.reserve(n); break;
    case DType::Date: kernels::reserve_large(i32, n); break;
    case DType::Bool: kernels::reserve_large(u8, n); break;
    default: kernels::reserve_large(i64, n); break;
  }
  valid.reserve(n);
}

Column ColumnSink::finish() {
  switch (type) {
    case DType::Float64: return Column::floats(std::move(f64));
    case DType::Text: return text.finish();
    case DType::Date: return Column::dates(std::move(i32), std::move(valid));
    case DType::Bool: return Column::bools(std::move(u8), std::move(valid));
    case DType::Int64: return Column::ints(std::move(i64), std::move(valid));
    case DType::Timestamp: return Column::timestamps(std::move(i64), tz, std::move(valid));
    case DType::Time: return Column::times(std::move(i64), std::move(valid));
  }
  return Column();
}

// The decoded column; unsigned 64-bit values beyond int64 make it a column of
// exact decimal texts.
Column ParquetFile::Impl::finish(const ColumnDesc& d, ColumnSink& out) const {
  if (d.kind == Kind::UInt64 && std::any_of(out.i64.begin(), out.i64.end(), [](std::int64_t v) { return v < 0; })) {
    TextBuilder t;
    t.reserve(out.i64.size());
    for (std::size_t i = 0; i < out.i64.size(); ++i) {
      if (out.valid.present(i))
        t.append(std::to_string(static_cast<std::uint64_t>(out.i64[i])));
      else
        t.append_missing();
    }
    return t.finish();
  }
  return out.finish();
}

}  // namespace quorin_data::formats
