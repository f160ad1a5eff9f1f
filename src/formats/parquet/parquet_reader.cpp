// Parquet reader: footer and schema, column chunks page by page, value
// decoding into typed Frame columns, row-group selection by statistics.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>

#include "parquet_internal.hpp"
#include "quorin_data/formats/parquet.hpp"

namespace quorin_data::formats {

using namespace pq;

namespace {

// How the stored values become a Frame column.
enum class Kind {
  Bool,        // BOOLEAN -> Bool
  Int32,       // INT32 (signed) -> Int64
  UInt32,      // INT32 holding unsigned values -> Int64
  Int64,       // INT64 -> Int64
  UInt64,      // INT64 holding unsigned values -> Int64, or Text when one exceeds int64
  Float,       // FLOAT -> Float64
  Double,      // DOUBLE -> Float64
  Date32,      // INT32 DATE -> Date
  Timestamp64, // INT64 TIMESTAMP -> Timestamp (ns)
  Int96,       // INT96 legacy timestamp -> naive Timestamp
  TimeText,    // TIME -> Text "HH:MM:SS[.fraction]"
  Decimal,     // DECIMAL on INT32/INT64/bytes -> Float64
  Bytes,       // BYTE_ARRAY / FIXED_LEN_BYTE_ARRAY -> Text (the bytes as they are)
  Uuid,        // UUID on FIXED_LEN_BYTE_ARRAY(16) -> Text in 8-4-4-4-12 hex form
  Float16,     // FLOAT16 on FIXED_LEN_BYTE_ARRAY(2) -> Float64
};

struct ColumnDesc {
  std::string name;
  std::string unsupported;  // non-empty: why this column cannot be read
  int leaf = -1;            // index among the row group's column chunks
  int phys = 0;
  int type_length = 0;
  int max_def = 0;
  Kind kind = Kind::Bytes;
  DType dtype = DType::Text;
  std::string tz;
  std::int64_t unit_ns = 1;  // TIMESTAMP / TIME unit in nanoseconds
  int scale = 0;
};

struct Int96 {
  std::uint8_t b[12];
};

std::string rg_place(const ColumnDesc& d, std::size_t rg) {
  return "column '" + d.name + "', row group " + std::to_string(rg);
}

std::int64_t checked_mul(std::int64_t v, std::int64_t m, const Place& place) {
  std::int64_t r;
  if (__builtin_mul_overflow(v, m, &r)) place.fail("timestamp outside the nanosecond range");
  return r;
}

std::string time_text(std::int64_t ns) {
  const bool neg = ns < 0;
  std::uint64_t u = neg ? 0 - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
  const std::uint64_t frac = u % 1000000000ULL;
  u /= 1000000000ULL;
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%s%02llu:%02llu:%02llu", neg ? "-" : "",
                        static_cast<unsigned long long>(u / 3600), static_cast<unsigned long long>(u / 60 % 60),
                        static_cast<unsigned long long>(u % 60));
  if (frac) {
    char f[16];
    std::snprintf(f, sizeof f, "%09llu", static_cast<unsigned long long>(frac));
    std::string fs(f);
    while (fs.size() > 6 && fs.back() == '0') fs.pop_back();
    if (fs.size() < 6) fs.resize(6, '0');
    n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), ".%s", fs.c_str());
  }
  return std::string(buf, static_cast<std::size_t>(n));
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
  unsigned __int128 u = (static_cast<std::uint8_t>(b[0]) & 0x80) ? ~static_cast<unsigned __int128>(0) : 0;
  for (char c : b) u = (u << 8) | static_cast<std::uint8_t>(c);
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

// Classifies a leaf column from its physical, logical and converted types.
void classify(const quorin_pq::SchemaElement& e, ColumnDesc& d) {
  auto bad = [&](const std::string& why) { d.unsupported = why; };
  d.phys = e.type;
  d.type_length = e.__isset.type_length ? e.type_length : 0;
  const auto& lt = e.logicalType;
  const bool has_lt = e.__isset.logicalType;
  const int ct = e.__isset.converted_type ? e.converted_type : -1;
  auto set = [&](Kind k, DType t) {
    d.kind = k;
    d.dtype = t;
  };
  auto unit_of = [&](const quorin_pq::TimeUnit& u) -> std::int64_t {
    if (u.__isset.MILLIS) return 1000000;
    if (u.__isset.MICROS) return 1000;
    if (u.__isset.NANOS) return 1;
    return 0;
  };
  const int p = d.phys;
  if (p < kBoolean || p > kFixed) return bad("physical type " + std::to_string(p) + " is not known");
  if (p == kFixed && (d.type_length <= 0 || d.type_length > (1 << 20)))
    return bad("FIXED_LEN_BYTE_ARRAY without a valid length");
  auto decimal = [&](int scale) {
    if (p != kInt32 && p != kInt64 && p != kFixed && p != kByteArray)
      return bad("DECIMAL on physical type " + std::to_string(p));
    if (scale < 0 || scale > 76) return bad("DECIMAL scale out of range");
    d.scale = scale;
    set(Kind::Decimal, DType::Float64);
  };
  auto integer = [&](int bits, bool is_signed) {
    if (p == kInt32 && bits <= 32) return set(is_signed ? Kind::Int32 : Kind::UInt32, DType::Int64);
    if (p == kInt64 && bits == 64) return set(is_signed ? Kind::Int64 : Kind::UInt64, DType::Int64);
    bad("INTEGER(" + std::to_string(bits) + ") on physical type " + std::to_string(p));
  };
  if (has_lt) {
    if (lt.__isset.STRING || lt.__isset.ENUM || lt.__isset.JSON || lt.__isset.BSON) {
      if (p != kByteArray && p != kFixed) return bad("text logical type on a non-byte-array column");
      return set(Kind::Bytes, DType::Text);
    }
    if (lt.__isset.UUID) {
      if (p != kFixed || d.type_length != 16) return bad("UUID not stored in 16 bytes");
      return set(Kind::Uuid, DType::Text);
    }
    if (lt.__isset.DECIMAL) return decimal(lt.DECIMAL.scale);
    if (lt.__isset.DATE) {
      if (p != kInt32) return bad("DATE not stored as INT32");
      return set(Kind::Date32, DType::Date);
    }
    if (lt.__isset.TIMESTAMP) {
      d.unit_ns = unit_of(lt.TIMESTAMP.unit);
      if (p != kInt64 || !d.unit_ns) return bad("TIMESTAMP without INT64 storage or a known unit");
      d.tz = lt.TIMESTAMP.isAdjustedToUTC ? "UTC" : "";
      return set(Kind::Timestamp64, DType::Timestamp);
    }
    if (lt.__isset.TIME) {
      d.unit_ns = unit_of(lt.TIME.unit);
      if (!d.unit_ns || (p == kInt32) != (d.unit_ns == 1000000) || (p != kInt32 && p != kInt64))
        return bad("TIME with an unknown unit or storage");
      return set(Kind::TimeText, DType::Text);
    }
    if (lt.__isset.INTEGER) return integer(lt.INTEGER.bitWidth, lt.INTEGER.isSigned);
    if (lt.__isset.FLOAT16) {
      if (p != kFixed || d.type_length != 2) return bad("FLOAT16 not stored in 2 bytes");
      return set(Kind::Float16, DType::Float64);
    }
    if (lt.__isset.MAP || lt.__isset.LIST) return bad("nested type (list or map)");
    if (lt.__isset.VARIANT) return bad("VARIANT type");
    if (lt.__isset.GEOMETRY || lt.__isset.GEOGRAPHY) return bad("geospatial type");
    // UNKNOWN (always null) and types unknown to us fall through to the physical type.
  }
  switch (ct) {
    case cUtf8: case cEnum: case cJson: case cBson:
      if (p != kByteArray && p != kFixed) return bad("text converted type on a non-byte-array column");
      return set(Kind::Bytes, DType::Text);
    case cDecimal: return decimal(e.__isset.scale ? e.scale : 0);
    case cDate:
      if (p != kInt32) return bad("DATE not stored as INT32");
      return set(Kind::Date32, DType::Date);
    case cTimestampMillis: case cTimestampMicros:
      if (p != kInt64) return bad("TIMESTAMP not stored as INT64");
      d.unit_ns = ct == cTimestampMillis ? 1000000 : 1000;
      d.tz = "UTC";  // the legacy annotation means UTC-adjusted instants
      return set(Kind::Timestamp64, DType::Timestamp);
    case cTimeMillis: case cTimeMicros:
      if ((ct == cTimeMillis && p != kInt32) || (ct == cTimeMicros && p != kInt64))
        return bad("TIME with the wrong storage");
      d.unit_ns = ct == cTimeMillis ? 1000000 : 1000;
      return set(Kind::TimeText, DType::Text);
    case cUint8: return integer(8, false);
    case cUint16: return integer(16, false);
    case cUint32: return integer(32, false);
    case cUint64: return integer(64, false);
    case cInt8: return integer(8, true);
    case cInt16: return integer(16, true);
    case cInt32: return integer(32, true);
    case cInt64: return integer(64, true);
    case cInterval: return bad("INTERVAL type");
    case cMap: case cMapKeyValue: case cList: return bad("nested type (list or map)");
    default: break;
  }
  switch (p) {
    case kBoolean: return set(Kind::Bool, DType::Bool);
    case kInt32: return set(Kind::Int32, DType::Int64);
    case kInt64: return set(Kind::Int64, DType::Int64);
    case kInt96: return set(Kind::Int96, DType::Timestamp);
    case kFloat: return set(Kind::Float, DType::Float64);
    case kDouble: return set(Kind::Double, DType::Float64);
    default: return set(Kind::Bytes, DType::Text);
  }
}

}  // namespace

// The byte ranges of a file read by ranges. Held ranges never overlap;
// adjacent ones are joined so that any span inside a held run is one
// contiguous buffer. Buffers are shared so that a decode keeps its bytes alive
// while another read joins them into a larger one.
struct RangeCache {
  using Buffer = std::shared_ptr<const std::vector<std::uint8_t>>;
  std::shared_ptr<RangeSource> src;
  std::mutex mu;
  std::map<std::uint64_t, Buffer> held;  // offset -> bytes
  std::uint64_t fetched = 0;

  // The buffer holding [off, off + len) whole and the position of `off` in it.
  std::pair<Buffer, std::size_t> find_locked(std::uint64_t off, std::size_t len) const {
    auto it = held.upper_bound(off);
    if (it == held.begin()) return {nullptr, 0};
    --it;
    if (it->first + it->second->size() < off + len) return {nullptr, 0};
    return {it->second, static_cast<std::size_t>(off - it->first)};
  }

  // Adds [off, off + bytes.size()), joining it with held neighbours it touches.
  void insert_locked(std::uint64_t off, std::vector<std::uint8_t> bytes) {
    std::uint64_t lo = off, hi = off + bytes.size();
    auto first = held.upper_bound(off);
    if (first != held.begin() && std::prev(first)->first + std::prev(first)->second->size() >= off) --first;
    auto last = first;
    while (last != held.end() && last->first <= hi) ++last;
    if (first == last) {
      held.emplace(off, std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes)));
      return;
    }
    lo = std::min(lo, first->first);
    for (auto it = first; it != last; ++it) hi = std::max<std::uint64_t>(hi, it->first + it->second->size());
    auto joined = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(hi - lo));
    for (auto it = first; it != last; ++it)
      std::memcpy(joined->data() + (it->first - lo), it->second->data(), it->second->size());
    if (!bytes.empty()) std::memcpy(joined->data() + (off - lo), bytes.data(), bytes.size());
    held.erase(first, last);
    held.emplace(lo, std::move(joined));
  }

  // Reads [off, off + len) from the source, checking the answer's length.
  std::vector<std::uint8_t> read_exact(std::uint64_t off, std::size_t len, const Place& place) {
    std::vector<std::uint8_t> b = src->read(off, len);
    if (b.size() != len)
      place.fail("range read of " + std::to_string(len) + " bytes at offset " + std::to_string(off) + " returned " +
                 std::to_string(b.size()) + " bytes");
    fetched += len;
    return b;
  }

  // Fetches the parts of the spans [begin, end) not held yet: overlapping and
  // adjacent parts as one read each, in file order.
  void fetch(std::vector<std::pair<std::uint64_t, std::uint64_t>> spans, const Place& place) {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> missing;
    for (const auto& [b, e] : spans) {
      std::uint64_t pos = b;
      auto it = held.upper_bound(pos);
      if (it != held.begin()) --it;
      for (; it != held.end() && pos < e; ++it) {
        const std::uint64_t hb = it->first, he = hb + it->second->size();
        if (he <= pos) continue;
        if (hb >= e) break;
        if (hb > pos) missing.emplace_back(pos, hb);
        pos = std::max(pos, he);
      }
      if (pos < e) missing.emplace_back(pos, e);
    }
    std::sort(missing.begin(), missing.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    for (const auto& m : missing) {
      if (!runs.empty() && m.first <= runs.back().second) runs.back().second = std::max(runs.back().second, m.second);
      else runs.push_back(m);
    }
    for (const auto& [b, e] : runs) insert_locked(b, read_exact(b, static_cast<std::size_t>(e - b), place));
  }

  std::pair<Buffer, std::size_t> get(std::uint64_t off, std::size_t len, const Place& place) {
    {
      std::lock_guard<std::mutex> lock(mu);
      auto hit = find_locked(off, len);
      if (hit.first) return hit;
    }
    fetch({{off, off + len}}, place);
    std::lock_guard<std::mutex> lock(mu);
    auto hit = find_locked(off, len);
    if (!hit.first) place.fail("bytes at offset " + std::to_string(off) + " were not fetched");
    return hit;
  }
};

struct ParquetFile::Impl {
  std::shared_ptr<const std::vector<std::uint8_t>> keep;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t body_end = 0;  // first byte of the footer
  std::string source;
  quorin_pq::FileMetaData meta;
  std::vector<ColumnDesc> columns;
  std::map<std::string, std::string> zones;  // column -> zone name kept by our writer
  // Set when the file is read by ranges (then `data` is null and `size` is
  // the file's size): the byte ranges fetched so far.
  std::shared_ptr<RangeCache> ranges;

  void init();
  // Magic, footer and schema from the last `tail_len` bytes of the file
  // (`size` bytes long); the tail must hold the whole footer.
  void init_from_tail(const std::uint8_t* tail, std::size_t tail_len);
  // Pointer to the file bytes [offset, offset + length): into the buffer, or
  // into the fetched ranges (fetching the range when it is not held yet;
  // `keep` then holds those bytes alive).
  const std::uint8_t* bytes_at(std::uint64_t offset, std::size_t length, const Place& place,
                               RangeCache::Buffer& keep) const;
  // Fetches the chunks of `cols` in `groups` that a ranged file does not hold.
  void prefetch(const std::vector<std::size_t>& groups, const std::vector<const ColumnDesc*>& cols) const;
  // [begin, end) of a column chunk in the file, checked against the body.
  std::pair<std::size_t, std::size_t> chunk_span(const ColumnDesc& d, std::size_t rg, const Place& place) const;
  const ColumnDesc& find(const std::string& name) const;
  void decode_chunk(const ColumnDesc& d, std::size_t rg, Column& out) const;
  void finish(const ColumnDesc& d, Column& out) const;
  Column empty_column(const ColumnDesc& d) const;
};

namespace {

// Counts the leaves under schema element `i` and returns the index after its subtree.
std::size_t skip_subtree(const std::vector<quorin_pq::SchemaElement>& s, std::size_t i, int& leaves,
                         const Place& place, int depth = 0) {
  if (i >= s.size()) place.fail("schema ends inside a group");
  if (depth > 64) place.fail("schema nested too deeply");
  const auto& e = s[i];
  if (!e.__isset.num_children || e.num_children <= 0 || e.__isset.type) {
    ++leaves;
    return i + 1;
  }
  std::size_t j = i + 1;
  for (int k = 0; k < e.num_children; ++k) j = skip_subtree(s, j, leaves, place, depth + 1);
  return j;
}

}  // namespace

void ParquetFile::Impl::init() {
  Place place{&source, "file"};
  if (size < 12) place.fail("file too short to be Parquet (" + std::to_string(size) + " bytes)");
  if (std::memcmp(data, "PAR1", 4) != 0) place.fail("wrong magic at the start (not a Parquet file)");
  init_from_tail(data, size);
}

void ParquetFile::Impl::init_from_tail(const std::uint8_t* tail, std::size_t tail_len) {
  Place place{&source, "file"};
  if (size < 12 || tail_len < 8 || tail_len > size)
    place.fail("file too short to be Parquet (" + std::to_string(size) + " bytes)");
  if (std::memcmp(tail + tail_len - 4, "PARE", 4) == 0) place.fail("encrypted footer (encryption is not supported)");
  if (std::memcmp(tail + tail_len - 4, "PAR1", 4) != 0) place.fail("wrong magic at the end (truncated or not Parquet)");
  std::uint32_t flen;
  std::memcpy(&flen, tail + tail_len - 8, 4);
  if (flen > size - 12) {
    place.where = "footer";
    place.fail("footer length " + std::to_string(flen) + " runs past the start of the file");
  }
  if (flen > tail_len - 8) place.fail("footer not held in the bytes read");
  body_end = size - 8 - flen;
  place.where = "footer at offset " + std::to_string(body_end);
  const std::size_t used = thrift_decode(tail + (tail_len - 8 - flen), flen, meta, place, "file metadata");
  (void)used;
  if (meta.__isset.encryption_algorithm) place.fail("encrypted file (encryption is not supported)");
  const auto& s = meta.schema;
  if (s.empty()) place.fail("empty schema");
  if (meta.num_rows < 0) place.fail("negative row count");
  const int nchildren = s[0].__isset.num_children ? s[0].num_children : 0;
  std::size_t i = 1;
  int leaf = 0;
  place.where = "schema";
  for (int c = 0; c < nchildren; ++c) {
    if (i >= s.size()) place.fail("schema lists fewer columns than its root declares");
    const auto& e = s[i];
    ColumnDesc d;
    d.name = e.name;
    d.leaf = leaf;
    const bool group = !e.__isset.type && e.__isset.num_children && e.num_children > 0;
    if (group) {
      const bool is_list = (e.__isset.converted_type && e.converted_type == cList) ||
                           (e.__isset.logicalType && e.logicalType.__isset.LIST);
      const bool is_map = (e.__isset.converted_type && (e.converted_type == cMap || e.converted_type == cMapKeyValue)) ||
                          (e.__isset.logicalType && e.logicalType.__isset.MAP);
      d.unsupported = std::string("nested column (") + (is_list ? "list" : is_map ? "map" : "struct") +
                      ") is not supported";
      int leaves = 0;
      i = skip_subtree(s, i, leaves, place);
      leaf += leaves;
    } else {
      if (!e.__isset.type) d.unsupported = "column without a physical type";
      else classify(e, d);
      if (!d.unsupported.empty()) d.unsupported += " is not supported";
      const int rep = e.__isset.repetition_type ? e.repetition_type : 0;
      if (rep == 2) d.unsupported = "repeated column (list) is not supported";
      d.max_def = rep == 1 ? 1 : 0;
      ++i;
      ++leaf;
    }
    columns.push_back(std::move(d));
  }
  if (i != s.size()) place.fail("schema has elements outside its root");
  place.where = "footer";
  for (std::size_t r = 0; r < meta.row_groups.size(); ++r) {
    const auto& rg = meta.row_groups[r];
    if (rg.columns.size() != static_cast<std::size_t>(leaf))
      place.fail("row group " + std::to_string(r) + " has " + std::to_string(rg.columns.size()) +
                 " column chunks for " + std::to_string(leaf) + " columns");
    if (rg.num_rows < 0) place.fail("row group " + std::to_string(r) + " has a negative row count");
  }
  // Without columns nothing in the file stores its rows: the declared count
  // is all there is, so it is held to what a table could sensibly be given.
  if (leaf == 0) {
    std::int64_t rows = 0;  // the larger of the file's count and its groups' sum (saturating)
    for (const auto& rg : meta.row_groups)
      if (__builtin_add_overflow(rows, rg.num_rows, &rows)) rows = std::numeric_limits<std::int64_t>::max();
    rows = std::max(rows, meta.num_rows);
    if (rows > static_cast<std::int64_t>(kMaxRowsWithoutColumns))
      place.fail("a table without columns declares " + std::to_string(rows) + " rows, more than " +
                 std::to_string(kMaxRowsWithoutColumns));
  }
  for (const auto& kv : meta.key_value_metadata) {
    static const std::string prefix = "quorin_data:tz:";
    if (kv.key.compare(0, prefix.size(), prefix) == 0 && kv.__isset.value) zones[kv.key.substr(prefix.size())] = kv.value;
  }
  for (auto& d : columns)
    if (d.dtype == DType::Timestamp && d.tz == "UTC") {
      auto it = zones.find(d.name);
      if (it != zones.end() && !it->second.empty()) d.tz = it->second;
    }
}

const ColumnDesc& ParquetFile::Impl::find(const std::string& name) const {
  for (const auto& d : columns)
    if (d.name == name) return d;
  throw KeyError("column '" + name + "' is not in the Parquet file " + source);
}

Column ParquetFile::Impl::empty_column(const ColumnDesc& d) const {
  Column c(d.dtype);
  c.tz = d.tz;
  return c;
}

namespace {

// Decoded values of one page, before nulls are placed.
template <class T>
struct Values {
  std::vector<T> v;
};

// Places `n` non-null values (from `get`) into rows per the definition levels.
template <class Dst, class Get>
void scatter(std::vector<Dst>& dst, std::vector<std::uint8_t>& valid, const std::uint32_t* defs, int max_def,
             std::size_t rows, std::size_t nvals, Dst missing, bool track_valid, Get get) {
  const std::size_t base = dst.size();
  dst.resize(base + rows);
  Dst* out = dst.data() + base;
  if (!defs) {
    for (std::size_t i = 0; i < rows; ++i) out[i] = get(i);
    if (track_valid && !valid.empty()) valid.resize(base + rows, 1);
    return;
  }
  if (track_valid) valid.resize(base + rows, 1);
  std::size_t k = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    if (static_cast<int>(defs[i]) == max_def && k < nvals) {
      out[i] = get(k++);
    } else {
      out[i] = missing;
      if (track_valid) valid[base + i] = 0;
    }
  }
}

struct PageCtx {
  const ColumnDesc* d;
  Place place;
  Column* out;
  const std::uint32_t* defs;  // null when the column is required
  std::size_t rows;           // values in the page including nulls
  std::size_t nvals;          // non-null values
};

// Appends converted values to the output column.
template <class T>
void emit(PageCtx& c, const T* vals) {
  const ColumnDesc& d = *c.d;
  Column& o = *c.out;
  auto ints = [&](auto get) { scatter<std::int64_t>(o.i64, o.valid, c.defs, d.max_def, c.rows, c.nvals, 0, true, get); };
  auto reals = [&](auto get) { scatter<double>(o.f64, o.valid, c.defs, d.max_def, c.rows, c.nvals, kNaN, false, get); };
  auto texts = [&](auto get) { scatter<std::string>(o.text, o.valid, c.defs, d.max_def, c.rows, c.nvals, std::string(), true, get); };
  if constexpr (std::is_same_v<T, std::int32_t>) {
    switch (d.kind) {
      case Kind::Int32: case Kind::Date32: return ints([&](std::size_t k) { return std::int64_t{vals[k]}; });
      case Kind::UInt32: return ints([&](std::size_t k) { return std::int64_t{static_cast<std::uint32_t>(vals[k])}; });
      case Kind::Decimal: return reals([&](std::size_t k) { return decimal_value(vals[k], d.scale); });
      case Kind::TimeText: return texts([&](std::size_t k) { return time_text(std::int64_t{vals[k]} * d.unit_ns); });
      default: break;
    }
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    switch (d.kind) {
      case Kind::Int64: case Kind::UInt64: return ints([&](std::size_t k) { return vals[k]; });
      case Kind::Timestamp64:
        if (d.unit_ns == 1) return ints([&](std::size_t k) { return vals[k]; });
        return ints([&](std::size_t k) { return checked_mul(vals[k], d.unit_ns, c.place); });
      case Kind::Decimal: return reals([&](std::size_t k) { return decimal_value(vals[k], d.scale); });
      case Kind::TimeText: return texts([&](std::size_t k) { return time_text(checked_mul(vals[k], d.unit_ns, c.place)); });
      default: break;
    }
  } else if constexpr (std::is_same_v<T, float>) {
    return reals([&](std::size_t k) { return static_cast<double>(vals[k]); });
  } else if constexpr (std::is_same_v<T, double>) {
    return reals([&](std::size_t k) { return vals[k]; });
  } else if constexpr (std::is_same_v<T, std::uint8_t>) {
    return ints([&](std::size_t k) { return std::int64_t{vals[k]}; });
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
      case Kind::Bytes: return texts([&](std::size_t k) { return std::string(vals[k]); });
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

// PLAIN values of the physical type; returns false when `T` does not fit the type.
template <class T>
void decode_plain(Cursor& cur, const ColumnDesc& d, std::size_t n, std::vector<T>& out) {
  if constexpr (std::is_same_v<T, std::uint8_t>) {
    const std::size_t bytes = (n + 7) / 8;
    cur.need(bytes, "PLAIN BOOLEAN values");
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = (cur.p[i >> 3] >> (i & 7)) & 1;
    cur.p += bytes;
  } else if constexpr (std::is_same_v<T, std::string_view>) {
    if (n && cur.left() / (d.phys == kFixed ? static_cast<std::size_t>(d.type_length) : 4) < n)
      cur.place->fail("truncated PLAIN byte-array values");
    out.resize(n);
    if (d.phys == kFixed) {
      const std::size_t w = static_cast<std::size_t>(d.type_length);
      for (std::size_t i = 0; i < n; ++i) out[i] = std::string_view(reinterpret_cast<const char*>(cur.p + i * w), w);
      cur.p += n * w;
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t len = cur.u32le("PLAIN BYTE_ARRAY length");
        cur.need(len, "PLAIN BYTE_ARRAY value");
        out[i] = std::string_view(reinterpret_cast<const char*>(cur.p), len);
        cur.p += len;
      }
    }
  } else {
    if (n && cur.left() / sizeof(T) < n) cur.place->fail("truncated PLAIN values");
    out.resize(n);
    std::memcpy(out.data(), cur.p, n * sizeof(T));
    cur.p += n * sizeof(T);
  }
}

template <class T>
constexpr bool phys_matches(int phys) {
  if constexpr (std::is_same_v<T, std::uint8_t>) return phys == kBoolean;
  if constexpr (std::is_same_v<T, std::int32_t>) return phys == kInt32;
  if constexpr (std::is_same_v<T, std::int64_t>) return phys == kInt64;
  if constexpr (std::is_same_v<T, Int96>) return phys == kInt96;
  if constexpr (std::is_same_v<T, float>) return phys == kFloat;
  if constexpr (std::is_same_v<T, double>) return phys == kDouble;
  if constexpr (std::is_same_v<T, std::string_view>) return phys == kByteArray || phys == kFixed;
  return false;
}

// Decodes one column chunk with values of C++ type T.
template <class T>
struct ChunkReader {
  const ColumnDesc& d;
  const std::string& source;
  Column& out;
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
      case ePlainDictionary: case eRleDictionary: {
        if (!have_dict) place.fail("dictionary-encoded page without a dictionary page");
        cur.need(1, "dictionary index bit width");
        const int bw = *cur.p++;
        idx.resize(n);
        decode_rle_hybrid(cur, bw, n, idx.data(), "dictionary indexes");
        vals.resize(n);
        const std::size_t dn = dict.size();
        for (std::size_t i = 0; i < n; ++i) {
          if (idx[i] >= dn)
            place.fail("dictionary index " + std::to_string(idx[i]) + " out of range (dictionary has " +
                       std::to_string(dn) + " values)");
          vals[i] = dict[idx[i]];
        }
        return;
      }
      case eRle:
        if constexpr (std::is_same_v<T, std::uint8_t>) {
          const std::uint32_t len = cur.u32le("RLE BOOLEAN length");
          cur.need(len, "RLE BOOLEAN values");
          Cursor sub{cur.p, cur.p + len, cur.place};
          idx.resize(n);
          decode_rle_hybrid(sub, 1, n, idx.data(), "RLE BOOLEAN values");
          vals.resize(n);
          for (std::size_t i = 0; i < n; ++i) vals[i] = static_cast<std::uint8_t>(idx[i]);
          cur.p += len;
          return;
        }
        break;
      case eDeltaBinaryPacked:
        if constexpr (std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>) {
          decode_delta_binary(cur, n, ints, std::is_same_v<T, std::int32_t>);
          if (ints.size() != n) place.fail("DELTA_BINARY_PACKED value count differs from the page");
          vals.resize(n);
          for (std::size_t i = 0; i < n; ++i) vals[i] = static_cast<T>(ints[i]);
          return;
        }
        break;
      case eDeltaLengthByteArray:
        if constexpr (std::is_same_v<T, std::string_view>) {
          if (d.phys != kByteArray) break;
          decode_delta_binary(cur, n, ints, true);
          if (ints.size() != n) place.fail("DELTA_LENGTH_BYTE_ARRAY length count differs from the page");
          vals.resize(n);
          for (std::size_t i = 0; i < n; ++i) {
            if (ints[i] < 0) place.fail("negative DELTA_LENGTH_BYTE_ARRAY length");
            const std::size_t len = static_cast<std::size_t>(ints[i]);
            cur.need(len, "DELTA_LENGTH_BYTE_ARRAY data");
            vals[i] = std::string_view(reinterpret_cast<const char*>(cur.p), len);
            cur.p += len;
          }
          return;
        }
        break;
      case eDeltaByteArray:
        if constexpr (std::is_same_v<T, std::string_view>) {
          std::vector<std::int64_t> prefix;
          decode_delta_binary(cur, n, prefix, true);
          decode_delta_binary(cur, n, ints, true);
          if (prefix.size() != n || ints.size() != n) place.fail("DELTA_BYTE_ARRAY counts differ from the page");
          // Size the arena first so that views into it stay valid.
          std::size_t total = 0, prev = 0;
          for (std::size_t i = 0; i < n; ++i) {
            if (prefix[i] < 0 || ints[i] < 0 || static_cast<std::size_t>(prefix[i]) > prev)
              place.fail("DELTA_BYTE_ARRAY prefix longer than the previous value");
            prev = static_cast<std::size_t>(prefix[i]) + static_cast<std::size_t>(ints[i]);
            total += prev;
            if (total > (std::size_t{1} << 31)) place.fail("DELTA_BYTE_ARRAY values too large");
          }
          arena.clear();
          arena.reserve(total);
          vals.resize(n);
          std::size_t prev_pos = 0, prev_len = 0;
          for (std::size_t i = 0; i < n; ++i) {
            const std::size_t pl = static_cast<std::size_t>(prefix[i]), sl = static_cast<std::size_t>(ints[i]);
            cur.need(sl, "DELTA_BYTE_ARRAY suffix");
            const std::size_t pos = arena.size();
            arena.append(arena, prev_pos, pl);
            arena.append(reinterpret_cast<const char*>(cur.p), sl);
            cur.p += sl;
            if (d.phys == kFixed && pl + sl != static_cast<std::size_t>(d.type_length))
              place.fail("DELTA_BYTE_ARRAY value of the wrong fixed length");
            vals[i] = std::string_view(arena.data() + pos, pl + sl);
            prev_pos = pos;
            prev_len = pl + sl;
          }
          (void)prev_len;
          return;
        }
        break;
      case eByteStreamSplit: {
        std::size_t w = 0;
        if constexpr (std::is_same_v<T, std::string_view>) {
          if (d.phys != kFixed) break;
          w = static_cast<std::size_t>(d.type_length);
        } else if constexpr (!std::is_same_v<T, std::uint8_t>) {
          w = sizeof(T);
        } else {
          break;
        }
        if (n && cur.left() / w < n) place.fail("truncated BYTE_STREAM_SPLIT data");
        if (cur.left() != n * w) place.fail("BYTE_STREAM_SPLIT data size differs from the value count");
        vals.resize(n);
        if constexpr (std::is_same_v<T, std::string_view>) {
          arena.assign(n * w, '\0');
          for (std::size_t i = 0; i < n; ++i)
            for (std::size_t b = 0; b < w; ++b) arena[i * w + b] = static_cast<char>(cur.p[b * n + i]);
          for (std::size_t i = 0; i < n; ++i) vals[i] = std::string_view(arena.data() + i * w, w);
        } else {
          auto* dst = reinterpret_cast<std::uint8_t*>(vals.data());
          for (std::size_t b = 0; b < w; ++b)
            for (std::size_t i = 0; i < n; ++i) dst[i * w + b] = cur.p[b * n + i];
        }
        cur.p += n * w;
        return;
      }
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

void ParquetFile::Impl::decode_chunk(const ColumnDesc& d, std::size_t rg, Column& out) const {
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

const std::uint8_t* ParquetFile::Impl::bytes_at(std::uint64_t offset, std::size_t length, const Place& place,
                                                RangeCache::Buffer& keep) const {
  if (!ranges) return data + offset;
  auto [buf, pos] = ranges->get(offset, length, place);
  keep = std::move(buf);
  return keep->data() + pos;
}

void ParquetFile::Impl::prefetch(const std::vector<std::size_t>& groups,
                                 const std::vector<const ColumnDesc*>& cols) const {
  if (!ranges) return;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  for (std::size_t g : groups)
    for (const ColumnDesc* d : cols) {
      if (!d->unsupported.empty()) continue;  // its read reports why
      spans.push_back(chunk_span(*d, g, Place{&source, rg_place(*d, g)}));
    }
  ranges->fetch(std::move(spans), Place{&source, "column chunks"});
}

// Final touches of a decoded column: drop an all-present validity, turn
// unsigned 64-bit values beyond int64 into exact decimal texts.
void ParquetFile::Impl::finish(const ColumnDesc& d, Column& out) const {
  if (d.kind == Kind::UInt64) {
    const bool big = std::any_of(out.i64.begin(), out.i64.end(), [](std::int64_t v) { return v < 0; });
    if (big) {
      Column t(DType::Text);
      t.text.reserve(out.i64.size());
      for (std::size_t i = 0; i < out.i64.size(); ++i)
        t.text.push_back(out.is_missing(i) ? std::string() : std::to_string(static_cast<std::uint64_t>(out.i64[i])));
      t.valid = std::move(out.valid);
      out = std::move(t);
    }
  }
  if (!out.valid.empty() && std::all_of(out.valid.begin(), out.valid.end(), [](std::uint8_t v) { return v != 0; }))
    out.valid.clear();
}

ParquetFile ParquetFile::open(std::shared_ptr<const std::vector<std::uint8_t>> bytes, std::string source) {
  auto impl = std::make_shared<Impl>();
  if (!bytes) throw ValueError("no bytes given for Parquet file " + source);
  impl->keep = std::move(bytes);
  impl->data = impl->keep->data();
  impl->size = impl->keep->size();
  impl->source = std::move(source);
  impl->init();
  ParquetFile f;
  f.impl_ = std::move(impl);
  return f;
}

ParquetFile ParquetFile::open_path(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FormatError("Parquet", path, "file", "cannot open the file");
  auto bytes = std::make_shared<std::vector<std::uint8_t>>();
  in.seekg(0, std::ios::end);
  const auto n = in.tellg();
  in.seekg(0, std::ios::beg);
  if (n < 0) throw FormatError("Parquet", path, "file", "cannot read the file");
  bytes->resize(static_cast<std::size_t>(n));
  if (n > 0 && !in.read(reinterpret_cast<char*>(bytes->data()), n)) throw FormatError("Parquet", path, "file", "cannot read the file");
  return open(std::move(bytes), path);
}

ParquetFile ParquetFile::open_ranges(std::shared_ptr<RangeSource> src, std::string name, std::size_t tail_bytes) {
  if (!src) throw ValueError("no range source given for Parquet file " + name);
  auto impl = std::make_shared<Impl>();
  impl->source = std::move(name);
  impl->ranges = std::make_shared<RangeCache>();
  impl->ranges->src = std::move(src);
  const std::uint64_t size = impl->ranges->src->size();
  Place place{&impl->source, "file"};
  if (size < 12) place.fail("file too short to be Parquet (" + std::to_string(size) + " bytes)");
  if (size > std::numeric_limits<std::size_t>::max() / 2) place.fail("file too large");
  impl->size = static_cast<std::size_t>(size);
  RangeCache& cache = *impl->ranges;
  std::size_t tail_len = static_cast<std::size_t>(std::min<std::uint64_t>(size, std::max<std::size_t>(tail_bytes, 12)));
  std::vector<std::uint8_t> tail = cache.read_exact(size - tail_len, tail_len, place);
  // A footer longer than the first read: fetch the part before it.
  if (std::memcmp(tail.data() + tail_len - 4, "PAR1", 4) == 0) {
    std::uint32_t flen;
    std::memcpy(&flen, tail.data() + tail_len - 8, 4);
    if (flen <= size - 12 && std::size_t{flen} + 8 > tail_len) {
      const std::size_t more = std::size_t{flen} + 8 - tail_len;
      std::vector<std::uint8_t> head = cache.read_exact(size - tail_len - more, more, place);
      head.insert(head.end(), tail.begin(), tail.end());
      tail = std::move(head);
      tail_len = tail.size();
    }
  }
  if (tail_len == size && std::memcmp(tail.data(), "PAR1", 4) != 0)
    place.fail("wrong magic at the start (not a Parquet file)");
  impl->init_from_tail(tail.data(), tail_len);
  // The tail's bytes before the footer may belong to chunks a read needs.
  {
    std::lock_guard<std::mutex> lock(cache.mu);
    cache.insert_locked(size - tail_len, std::move(tail));
  }
  ParquetFile f;
  f.impl_ = std::move(impl);
  return f;
}

void ParquetFile::prefetch(const std::vector<std::size_t>& groups,
                           const std::optional<std::vector<std::string>>& columns) const {
  const Impl& im = *impl_;
  std::vector<const ColumnDesc*> cols;
  if (columns) {
    for (const auto& n : *columns) cols.push_back(&im.find(n));
  } else {
    for (const auto& d : im.columns) cols.push_back(&d);
  }
  for (std::size_t g : groups)
    if (g >= num_row_groups())
      throw IndexError("row group " + std::to_string(g) + " out of range (the file has " +
                       std::to_string(num_row_groups()) + ")");
  im.prefetch(groups, cols);
}

std::uint64_t ParquetFile::bytes_fetched() const {
  if (!impl_->ranges) return 0;
  std::lock_guard<std::mutex> lock(impl_->ranges->mu);
  return impl_->ranges->fetched;
}

std::size_t ParquetFile::num_row_groups() const { return impl_->meta.row_groups.size(); }
std::int64_t ParquetFile::num_rows() const { return impl_->meta.num_rows; }
std::vector<std::string> ParquetFile::column_names() const {
  std::vector<std::string> r;
  for (const auto& d : impl_->columns) r.push_back(d.name);
  return r;
}

DType ParquetFile::column_type(const std::string& name) const { return impl_->find(name).dtype; }

namespace {

constexpr const char* kIndexColumn = "__index_level_0__";

std::vector<const ColumnDesc*> pick(const ParquetFile::Impl& im, const std::optional<std::vector<std::string>>& cols,
                                    bool& index_from_file) {
  std::vector<const ColumnDesc*> r;
  index_from_file = false;
  if (cols) {
    for (const auto& n : *cols) r.push_back(&im.find(n));
  } else {
    for (const auto& d : im.columns) {
      if (d.name == kIndexColumn && d.unsupported.empty() &&
          (d.dtype == DType::Int64 || d.dtype == DType::Text)) {
        index_from_file = true;
        continue;
      }
      r.push_back(&d);
    }
  }
  return r;
}

// Uses the stored index column as row labels when it has no missing labels.
void apply_index(const ParquetFile::Impl& im, Frame& f, bool index_from_file, const std::vector<std::size_t>& groups) {
  if (!index_from_file) return;
  const ColumnDesc& d = im.find(kIndexColumn);
  Column c = im.empty_column(d);
  for (std::size_t g : groups) im.decode_chunk(d, g, c);
  im.finish(d, c);
  if (c.has_missing()) {
    f.add_column(kIndexColumn, std::move(c));
    return;
  }
  if (c.type == DType::Int64) f.set_index(Index::ints(std::move(c.i64)));
  else if (c.type == DType::Text) f.set_index(Index::texts(std::move(c.text)));
}

Frame read_groups(const ParquetFile::Impl& im, const std::vector<std::size_t>& groups,
                  const std::optional<std::vector<std::string>>& cols) {
  bool idx = false;
  const auto picked = pick(im, cols, idx);
  std::size_t rows = 0;
  for (std::size_t g : groups) rows += static_cast<std::size_t>(im.meta.row_groups[g].num_rows);
  {
    auto wanted = picked;
    if (idx) wanted.push_back(&im.find(kIndexColumn));
    im.prefetch(groups, wanted);
  }
  Frame f;
  for (const ColumnDesc* d : picked) {
    Column c = im.empty_column(*d);
    if (!d->unsupported.empty()) Place{&im.source, "column '" + d->name + "'"}.fail(d->unsupported);
    c.reserve(std::min(rows, im.size * 8));  // a hint only; hostile row counts must not allocate
    for (std::size_t g : groups) im.decode_chunk(*d, g, c);
    im.finish(*d, c);
    f.add_column(d->name, std::move(c));
  }
  if (picked.empty()) f.set_index(Index::range(rows));
  apply_index(im, f, idx, groups);
  return f;
}

}  // namespace

Frame ParquetFile::read(const std::optional<std::vector<std::string>>& columns) const {
  std::vector<std::size_t> groups(num_row_groups());
  for (std::size_t i = 0; i < groups.size(); ++i) groups[i] = i;
  return read_groups(*impl_, groups, columns);
}

Frame ParquetFile::read_row_group(std::size_t i, const std::optional<std::vector<std::string>>& columns) const {
  if (i >= num_row_groups())
    throw IndexError("row group " + std::to_string(i) + " out of range (the file has " +
                     std::to_string(num_row_groups()) + ")");
  return read_groups(*impl_, {i}, columns);
}

namespace {

// The filter value in the terms of a column's stored values.
struct Key {
  enum { Int, Real, Str, Never } kind = Never;
  std::int64_t i = 0;
  double d = 0;
  std::string s;
};

Key key_for(const ColumnDesc& d, const Value& v) {
  Key k;
  auto bad = [&]() -> Key {
    throw TypeError("cannot compare column '" + d.name + "' of type " + dtype_name(d.dtype) + " with a value of type " +
                    v.type_name());
  };
  switch (d.dtype) {
    case DType::Int64: case DType::Bool:
      if (v.is_bool() || v.is_int()) {
        k.kind = Key::Int;
        k.i = v.is_bool() ? (v.as_bool() ? 1 : 0) : v.as_int();
      } else if (v.is_float()) {
        const double x = v.as_float();
        if (x == std::floor(x) && x >= -9.2e18 && x <= 9.2e18) {
          k.kind = Key::Int;
          k.i = static_cast<std::int64_t>(x);
        }
      } else {
        return bad();
      }
      return k;
    case DType::Float64:
      if (!v.is_number()) return bad();
      k.kind = Key::Real;
      k.d = v.is_bool() ? (v.as_bool() ? 1.0 : 0.0) : v.is_int() ? static_cast<double>(v.as_int()) : v.as_float();
      return k;
    case DType::Text:
      if (v.is_str()) {
        k.kind = Key::Str;
        k.s = v.as_str();
      } else if (v.is_int() && d.kind == Kind::UInt64) {
        k.kind = Key::Int;
        k.i = v.as_int();
      } else {
        return bad();
      }
      return k;
    case DType::Date:
      if (v.is_date()) {
        k.kind = Key::Int;
        k.i = v.as_date().days;
      } else if (v.is_timestamp()) {
        const std::int64_t ns = v.as_timestamp().ns;
        if (ns % kNanosPerDay == 0) {
          k.kind = Key::Int;
          k.i = ns / kNanosPerDay;
        }
      } else {
        return bad();
      }
      return k;
    case DType::Timestamp:
      if (v.is_timestamp()) {
        k.kind = Key::Int;
        k.i = v.as_timestamp().ns;
      } else if (v.is_date()) {
        // A date outside the timestamp range matches no timestamp.
        if (!__builtin_mul_overflow(std::int64_t{v.as_date().days}, kNanosPerDay, &k.i)) k.kind = Key::Int;
      } else {
        return bad();
      }
      return k;
    case DType::Time: break;  // the reader gives times of day as text
  }
  return bad();
}

// Statistics bounds in the same terms as Key; false when they cannot be used.
bool stat_bounds(const ColumnDesc& d, const quorin_pq::Statistics& st, Key& lo, Key& hi) {
  const std::string *mn = nullptr, *mx = nullptr;
  const bool signed_order = d.kind == Kind::Int32 || d.kind == Kind::Int64 || d.kind == Kind::Float ||
                            d.kind == Kind::Double || d.kind == Kind::Date32 || d.kind == Kind::Timestamp64;
  if (st.__isset.min_value && st.__isset.max_value) {
    mn = &st.min_value;
    mx = &st.max_value;
  } else if (st.__isset.min && st.__isset.max && signed_order) {
    mn = &st.min;
    mx = &st.max;
  } else {
    return false;
  }
  auto num = [&](const std::string& s, Key& k) -> bool {
    switch (d.kind) {
      case Kind::Int32: case Kind::Date32: case Kind::UInt32: {
        if (s.size() != 4) return false;
        std::int32_t v;
        std::memcpy(&v, s.data(), 4);
        k.kind = Key::Int;
        k.i = d.kind == Kind::UInt32 ? std::int64_t{static_cast<std::uint32_t>(v)} : std::int64_t{v};
        return true;
      }
      case Kind::Int64: case Kind::Timestamp64: {
        if (s.size() != 8) return false;
        std::int64_t v;
        std::memcpy(&v, s.data(), 8);
        k.kind = Key::Int;
        if (d.kind == Kind::Timestamp64 && __builtin_mul_overflow(v, d.unit_ns, &k.i)) return false;
        if (d.kind == Kind::Int64) k.i = v;
        return true;
      }
      case Kind::Float: {
        if (s.size() != 4) return false;
        float v;
        std::memcpy(&v, s.data(), 4);
        if (std::isnan(v)) return false;
        k.kind = Key::Real;
        k.d = v;
        return true;
      }
      case Kind::Double: {
        if (s.size() != 8) return false;
        double v;
        std::memcpy(&v, s.data(), 8);
        if (std::isnan(v)) return false;
        k.kind = Key::Real;
        k.d = v;
        return true;
      }
      case Kind::Bytes:
        if (d.phys != kByteArray || mn != &st.min_value) return false;
        k.kind = Key::Str;
        k.s = s;
        return true;
      default: return false;
    }
  };
  return num(*mn, lo) && num(*mx, hi);
}

// True when the statistics prove no row of the chunk equals `k`.
bool ruled_out(const Key& k, const Key& lo, const Key& hi) {
  if (k.kind == Key::Never) return true;
  if (lo.kind != hi.kind) return false;
  if (k.kind == Key::Int && lo.kind == Key::Int) return k.i < lo.i || k.i > hi.i;
  if (k.kind == Key::Real && lo.kind == Key::Real) return k.d < lo.d || k.d > hi.d;
  if (k.kind == Key::Str && lo.kind == Key::Str) return k.s < lo.s || k.s > hi.s;
  return false;
}

// True when the statistics of a chunk prove that every one of its `rows`
// rows holds the same value (no nulls, minimum equal to maximum), given in
// `k`. Only for values whose statistics are exact: integers, dates,
// timestamps and floating-point numbers.
bool stats_pin(const ColumnDesc& d, const quorin_pq::ColumnChunk& cc, std::int64_t rows, Key& k) {
  if (rows <= 0 || !cc.__isset.meta_data || !cc.meta_data.__isset.statistics) return false;
  const auto& s = cc.meta_data.statistics;
  if (!s.__isset.null_count || s.null_count != 0 || cc.meta_data.num_values != rows) return false;
  Key lo, hi;
  if (!stat_bounds(d, s, lo, hi) || lo.kind != hi.kind) return false;
  if (lo.kind == Key::Int && lo.i == hi.i) {
    k = lo;
    return true;
  }
  // -0.0 and 0.0 compare equal but are not the same value.
  if (lo.kind == Key::Real && lo.d == hi.d && std::signbit(lo.d) == std::signbit(hi.d)) {
    k = lo;
    return true;
  }
  return false;
}

std::vector<std::size_t> matching_rows(const Column& c, const Key& k) {
  std::vector<std::size_t> rows;
  const std::size_t n = c.size();
  if (k.kind == Key::Never) return rows;
  for (std::size_t i = 0; i < n; ++i) {
    if (c.is_missing(i)) continue;
    bool eq = false;
    switch (c.type) {
      case DType::Float64: eq = k.kind == Key::Real && c.f64[i] == k.d; break;
      case DType::Text:
        eq = (k.kind == Key::Str && c.text[i] == k.s) || (k.kind == Key::Int && c.text[i] == std::to_string(k.i));
        break;
      default: eq = k.kind == Key::Int && c.i64[i] == k.i; break;
    }
    if (eq) rows.push_back(i);
  }
  return rows;
}

}  // namespace

Frame ParquetFile::read_where_equal(const std::string& column, const Value& value,
                                    const std::optional<std::vector<std::string>>& columns,
                                    ParquetReadStats* stats) const {
  const Impl& im = *impl_;
  const ColumnDesc& fd = im.find(column);
  if (!fd.unsupported.empty()) Place{&im.source, "column '" + fd.name + "'"}.fail(fd.unsupported);
  const Key key = key_for(fd, value);
  bool idx = false;
  const auto picked = pick(im, columns, idx);
  ParquetReadStats st;
  st.row_groups_total = num_row_groups();
  // First the filter column of the row groups the statistics leave in, then
  // the other columns of the row groups that hold matching rows (a file read
  // by ranges fetches each set in one go).
  std::vector<std::size_t> candidates;
  for (std::size_t g = 0; g < num_row_groups(); ++g) {
    const auto& rg = im.meta.row_groups[g];
    const auto& cc = rg.columns[static_cast<std::size_t>(fd.leaf)];
    Key lo, hi;
    if (rg.num_rows == 0 || key.kind == Key::Never) {
      ++st.row_groups_skipped;
      continue;
    }
    if (cc.__isset.meta_data && cc.meta_data.__isset.statistics) {
      const auto& s = cc.meta_data.statistics;
      const bool all_null = s.__isset.null_count && s.null_count == rg.num_rows;
      if (all_null || (stat_bounds(fd, s, lo, hi) && ruled_out(key, lo, hi))) {
        ++st.row_groups_skipped;
        continue;
      }
    }
    candidates.push_back(g);
  }
  // Row groups whose statistics prove that every row matches are taken
  // whole; the others need their filter column first.
  struct Hit {
    std::size_t group;
    bool whole;
    Column filter_column;
    std::vector<std::size_t> rows;
  };
  std::vector<Hit> hits;
  std::vector<std::size_t> to_test;
  for (std::size_t g : candidates) {
    const auto& rg = im.meta.row_groups[g];
    Key only;
    if (stats_pin(fd, rg.columns[static_cast<std::size_t>(fd.leaf)], rg.num_rows, only) && !ruled_out(key, only, only))
      hits.push_back({g, true, Column(), {}});
    else
      to_test.push_back(g);
  }
  im.prefetch(to_test, {&fd});
  for (std::size_t g : to_test) {
    Column fc = im.empty_column(fd);
    im.decode_chunk(fd, g, fc);
    im.finish(fd, fc);
    auto rows = matching_rows(fc, key);
    if (!rows.empty()) hits.push_back({g, false, std::move(fc), std::move(rows)});
  }
  st.row_groups_decoded = candidates.size();
  std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.group < b.group; });
  {
    std::vector<std::size_t> groups;
    for (const auto& h : hits) groups.push_back(h.group);
    auto wanted = picked;
    if (idx) wanted.push_back(&im.find(kIndexColumn));
    im.prefetch(groups, wanted);
  }
  std::vector<std::vector<Column>> parts(picked.size());
  std::vector<Column> index_parts;
  for (const auto& h : hits) {
    const std::size_t g = h.group;
    const auto& rows = h.rows;
    for (std::size_t c = 0; c < picked.size(); ++c) {
      if (picked[c] == &fd && !h.whole) {
        parts[c].push_back(h.filter_column.take(rows));
        continue;
      }
      Column col = im.empty_column(*picked[c]);
      im.decode_chunk(*picked[c], g, col);
      im.finish(*picked[c], col);
      parts[c].push_back(h.whole ? std::move(col) : col.take(rows));
    }
    if (idx) {
      const ColumnDesc& d = im.find(kIndexColumn);
      Column col = im.empty_column(d);
      im.decode_chunk(d, g, col);
      im.finish(d, col);
      index_parts.push_back(h.whole ? std::move(col) : col.take(rows));
    }
  }
  if (stats) *stats = st;
  Frame f;
  std::size_t total = 0;
  for (std::size_t c = 0; c < picked.size(); ++c) {
    Column col;
    if (parts[c].empty()) {
      col = im.empty_column(*picked[c]);
    } else {
      std::vector<const Column*> ptrs;
      for (const auto& p : parts[c]) ptrs.push_back(&p);
      col = parts[c].size() == 1 ? std::move(parts[c][0]) : Column::concat(ptrs);
    }
    total = col.size();
    f.add_column(picked[c]->name, std::move(col));
  }
  if (picked.empty()) {
    for (const auto& p : index_parts) total += p.size();
    f.set_index(Index::range(total));
  }
  if (idx && !index_parts.empty()) {
    std::vector<const Column*> ptrs;
    for (const auto& p : index_parts) ptrs.push_back(&p);
    Column c = Column::concat(ptrs);
    if (!c.has_missing() && c.type == DType::Int64) f.set_index(Index::ints(std::move(c.i64)));
    else if (!c.has_missing() && c.type == DType::Text) f.set_index(Index::texts(std::move(c.text)));
  }
  return f;
}

std::optional<Value> ParquetFile::single_value(std::size_t group, const std::string& column) const {
  const Impl& im = *impl_;
  if (group >= num_row_groups())
    throw IndexError("row group " + std::to_string(group) + " out of range (the file has " +
                     std::to_string(num_row_groups()) + ")");
  const ColumnDesc& d = im.find(column);
  if (!d.unsupported.empty()) return std::nullopt;
  const auto& rg = im.meta.row_groups[group];
  Key k;
  if (!stats_pin(d, rg.columns[static_cast<std::size_t>(d.leaf)], rg.num_rows, k)) return std::nullopt;
  switch (d.kind) {
    case Kind::Date32: return Value(Date{static_cast<std::int32_t>(k.i)});
    case Kind::Timestamp64: return Value(Timestamp{k.i, d.tz});
    case Kind::Int32: case Kind::UInt32: case Kind::Int64: return Value(static_cast<long long>(k.i));
    case Kind::Float: case Kind::Double: return Value(k.d);
    default: return std::nullopt;
  }
}

Frame read_parquet(const std::uint8_t* data, std::size_t size, const std::string& source) {
  auto impl = std::make_shared<ParquetFile::Impl>();
  impl->data = data;
  impl->size = size;
  impl->source = source;
  if (!data && size) throw ValueError("no bytes given for Parquet file " + source);
  impl->init();
  std::vector<std::size_t> groups(impl->meta.row_groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i) groups[i] = i;
  return read_groups(*impl, groups, std::nullopt);
}

}  // namespace quorin_data::formats
