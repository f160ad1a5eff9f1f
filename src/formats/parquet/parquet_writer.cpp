// Parquet writer: flat schema of optional columns, v1 data pages with PLAIN
// or dictionary (RLE_DICTIONARY) values, per-chunk statistics.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "parquet_internal.hpp"
#include "quorin_data/formats/parquet.hpp"

namespace quorin_data::formats {

using namespace pq;

namespace {

constexpr std::size_t kPageRows = 100000;
constexpr std::size_t kMaxDictionaryBytes = 1 << 20;

int codec_of(ParquetWriteOptions::Codec c) {
  switch (c) {
    case ParquetWriteOptions::Codec::Uncompressed: return zNone;
    case ParquetWriteOptions::Codec::Snappy: return zSnappy;
    case ParquetWriteOptions::Codec::Gzip: return zGzip;
    case ParquetWriteOptions::Codec::Zstd: return zZstd;
  }
  return zNone;
}

int phys_of(DType t) {
  switch (t) {
    case DType::Float64: return kDouble;
    case DType::Int64: return kInt64;
    case DType::Bool: return kBoolean;
    case DType::Text: return kByteArray;
    case DType::Date: return kInt32;
    case DType::Timestamp: return kInt64;
    case DType::Time: return kInt64;
  }
  return kByteArray;
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

template <class T>
std::string raw_bytes(T v) {
  std::string s(sizeof(T), '\0');
  std::memcpy(s.data(), &v, sizeof(T));
  return s;
}

// One column chunk's values in storage form: present rows only.
struct Present {
  std::vector<std::uint32_t> defs;  // 1 present, 0 missing, per row
  std::vector<std::size_t> rows;    // positions of present rows
};

Present present_rows(const Column& c, std::size_t b, std::size_t e) {
  Present p;
  p.defs.resize(e - b);
  for (std::size_t i = b; i < e; ++i) {
    const bool ok = !c.is_missing(i);
    p.defs[i - b] = ok ? 1u : 0u;
    if (ok) p.rows.push_back(i);
  }
  return p;
}

// PLAIN encoding of the value at row i.
void plain_value(const Column& c, std::size_t i, std::vector<std::uint8_t>& out, const std::string& name) {
  switch (c.type()) {
    case DType::Float64: {
      const double v = c.f64()[i];
      const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
      out.insert(out.end(), p, p + 8);
      return;
    }
    case DType::Int64: case DType::Timestamp: case DType::Time: {
      const std::int64_t v = c.integer(i);
      const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
      out.insert(out.end(), p, p + 8);
      return;
    }
    case DType::Date: {
      (void)name;
      put_u32(out, static_cast<std::uint32_t>(c.days()[i]));
      return;
    }
    case DType::Text: {
      const std::string_view s = c.text(i);
      if (s.size() > UINT32_MAX) throw ValueError("text too long for Parquet in column '" + name + "'");
      put_u32(out, static_cast<std::uint32_t>(s.size()));
      out.insert(out.end(), s.begin(), s.end());
      return;
    }
    case DType::Bool: break;  // bit-packed by the caller
  }
}

void plain_values(const Column& c, const std::vector<std::size_t>& rows, std::vector<std::uint8_t>& out,
                  const std::string& name) {
  if (c.type() == DType::Bool) {
    const std::size_t base = out.size();
    out.resize(base + (rows.size() + 7) / 8, 0);
    for (std::size_t k = 0; k < rows.size(); ++k)
      if (c.bools()[rows[k]]) out[base + k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
    return;
  }
  for (std::size_t r : rows) plain_value(c, r, out, name);
}

quorin_pq::Statistics statistics(const Column& c, const Present& p, std::size_t nulls) {
  quorin_pq::Statistics st;
  st.__set_null_count(static_cast<std::int64_t>(nulls));
  if (p.rows.empty()) return st;
  switch (c.type()) {
    case DType::Float64: {
      double lo = INFINITY, hi = -INFINITY;
      for (std::size_t r : p.rows) {
        lo = std::min(lo, c.f64()[r]);
        hi = std::max(hi, c.f64()[r]);
      }
      if (lo == 0) lo = -0.0;  // zero bounds are written signed so either zero matches
      if (hi == 0) hi = 0.0;
      st.__set_min_value(raw_bytes(lo));
      st.__set_max_value(raw_bytes(hi));
      break;
    }
    case DType::Int64: case DType::Timestamp: case DType::Time: case DType::Date: case DType::Bool: {
      std::int64_t lo = INT64_MAX, hi = INT64_MIN;
      for (std::size_t r : p.rows) {
        lo = std::min(lo, c.integer(r));
        hi = std::max(hi, c.integer(r));
      }
      if (c.type() == DType::Date) {
        st.__set_min_value(raw_bytes(static_cast<std::int32_t>(lo)));
        st.__set_max_value(raw_bytes(static_cast<std::int32_t>(hi)));
      } else if (c.type() == DType::Bool) {
        st.__set_min_value(std::string(1, static_cast<char>(lo != 0)));
        st.__set_max_value(std::string(1, static_cast<char>(hi != 0)));
      } else {
        st.__set_min_value(raw_bytes(lo));
        st.__set_max_value(raw_bytes(hi));
      }
      break;
    }
    case DType::Text: {
      std::string_view lo = c.text(p.rows[0]), hi = lo;
      for (std::size_t r : p.rows) {
        const std::string_view t = c.text(r);
        if (t < lo) lo = t;
        if (t > hi) hi = t;
      }
      st.__set_min_value(std::string(lo));
      st.__set_max_value(std::string(hi));
      break;
    }
  }
  return st;
}

// Dictionary of a chunk: distinct values in first-seen order and each present row's index.
bool build_dictionary(const Column& c, const std::vector<std::size_t>& rows, std::vector<std::size_t>& distinct_rows,
                      std::vector<std::uint32_t>& idx) {
  idx.resize(rows.size());
  std::size_t bytes = 0;
  if (c.type() == DType::Text) {
    std::unordered_map<std::string_view, std::uint32_t> m;
    m.reserve(1024);
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const std::string_view s = c.text(rows[k]);
      auto [it, fresh] = m.try_emplace(s, static_cast<std::uint32_t>(distinct_rows.size()));
      if (fresh) {
        distinct_rows.push_back(rows[k]);
        bytes += 4 + s.size();
        if (bytes > kMaxDictionaryBytes) return false;
      }
      idx[k] = it->second;
    }
    return true;
  }
  std::unordered_map<std::uint64_t, std::uint32_t> m;
  m.reserve(1024);
  const std::size_t width = c.type() == DType::Date ? 4 : 8;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    std::uint64_t key;
    if (c.type() == DType::Float64) std::memcpy(&key, &c.f64()[rows[k]], 8);
    else key = static_cast<std::uint64_t>(c.integer(rows[k]));
    auto [it, fresh] = m.try_emplace(key, static_cast<std::uint32_t>(distinct_rows.size()));
    if (fresh) {
      distinct_rows.push_back(rows[k]);
      bytes += width;
      if (bytes > kMaxDictionaryBytes) return false;
    }
    idx[k] = it->second;
  }
  return true;
}

struct Writer {
  const ParquetWriteOptions& opt;
  int codec;
  std::vector<std::uint8_t> out;

  // Appends one page (header + compressed body); returns the bytes written.
  std::size_t page(quorin_pq::PageHeader& ph, const std::vector<std::uint8_t>& body, std::int64_t& uncompressed) {
    std::vector<std::uint8_t> comp;
    compress(codec, body.data(), body.size(), comp);
    if (body.size() > INT32_MAX || comp.size() > INT32_MAX) throw ValueError("Parquet page too large; use smaller row groups");
    ph.__set_uncompressed_page_size(static_cast<std::int32_t>(body.size()));
    ph.__set_compressed_page_size(static_cast<std::int32_t>(comp.size()));
    const std::size_t before = out.size();
    thrift_encode(ph, out);
    const std::size_t hlen = out.size() - before;
    out.insert(out.end(), comp.begin(), comp.end());
    uncompressed += static_cast<std::int64_t>(hlen + body.size());
    return out.size() - before;
  }

  quorin_pq::ColumnChunk chunk(const Column& c, const std::string& name, std::size_t b, std::size_t e) {
    const Present p = present_rows(c, b, e);
    const std::size_t nulls = (e - b) - p.rows.size();
    quorin_pq::ColumnMetaData md;
    md.__set_type(phys_of(c.type()));
    md.__set_path_in_schema({name});
    md.__set_codec(codec);
    md.__set_num_values(static_cast<std::int64_t>(e - b));
    const std::int64_t start = static_cast<std::int64_t>(out.size());
    std::int64_t uncompressed = 0;

    std::vector<std::size_t> distinct;
    std::vector<std::uint32_t> idx;
    const bool dict = opt.dictionary && c.type() != DType::Bool && !p.rows.empty() &&
                      build_dictionary(c, p.rows, distinct, idx);
    int bw = 0;
    if (dict) {
      std::vector<std::uint8_t> body;
      plain_values(c, distinct, body, name);
      quorin_pq::PageHeader ph;
      ph.__set_type(pDictionary);
      quorin_pq::DictionaryPageHeader dh;
      dh.__set_num_values(static_cast<std::int32_t>(distinct.size()));
      dh.__set_encoding(ePlain);
      ph.__set_dictionary_page_header(dh);
      md.__set_dictionary_page_offset(static_cast<std::int64_t>(out.size()));
      page(ph, body, uncompressed);
      bw = bit_width_of(distinct.size() - 1);
      md.__set_encodings({ePlain, eRle, eRleDictionary});
    } else {
      md.__set_encodings({ePlain, eRle});
    }
    md.__set_data_page_offset(static_cast<std::int64_t>(out.size()));
    // Data pages of at most kPageRows rows.
    std::size_t k0 = 0;  // first present value of the page
    for (std::size_t r0 = b; r0 < e || r0 == b; r0 += kPageRows) {
      const std::size_t r1 = std::min(e, r0 + kPageRows);
      std::vector<std::uint8_t> body;
      std::vector<std::uint8_t> levels;
      encode_rle_hybrid(p.defs.data() + (r0 - b), r1 - r0, 1, levels);
      put_u32(body, static_cast<std::uint32_t>(levels.size()));
      body.insert(body.end(), levels.begin(), levels.end());
      std::size_t k1 = k0;
      while (k1 < p.rows.size() && p.rows[k1] < r1) ++k1;
      if (dict) {
        body.push_back(static_cast<std::uint8_t>(bw));
        encode_rle_hybrid(idx.data() + k0, k1 - k0, bw, body);
      } else {
        std::vector<std::size_t> rows(p.rows.begin() + static_cast<std::ptrdiff_t>(k0),
                                      p.rows.begin() + static_cast<std::ptrdiff_t>(k1));
        plain_values(c, rows, body, name);
      }
      quorin_pq::PageHeader ph;
      ph.__set_type(pData);
      quorin_pq::DataPageHeader dh;
      dh.__set_num_values(static_cast<std::int32_t>(r1 - r0));
      dh.__set_encoding(dict ? eRleDictionary : ePlain);
      dh.__set_definition_level_encoding(eRle);
      dh.__set_repetition_level_encoding(eRle);
      ph.__set_data_page_header(dh);
      page(ph, body, uncompressed);
      k0 = k1;
      if (r1 >= e) break;
    }
    md.__set_total_uncompressed_size(uncompressed);
    md.__set_total_compressed_size(static_cast<std::int64_t>(out.size()) - start);
    md.__set_statistics(statistics(c, p, nulls));
    quorin_pq::ColumnChunk cc;
    cc.__set_file_offset(start);
    cc.__set_meta_data(md);
    return cc;
  }
};

quorin_pq::SchemaElement schema_of(const Column& c, const std::string& name) {
  quorin_pq::SchemaElement e;
  e.__set_name(name);
  e.__set_type(phys_of(c.type()));
  e.__set_repetition_type(1);
  quorin_pq::LogicalType lt;
  switch (c.type()) {
    case DType::Text:
      e.__set_converted_type(cUtf8);
      lt.__set_STRING(quorin_pq::StringType());
      e.__set_logicalType(lt);
      break;
    case DType::Date:
      e.__set_converted_type(cDate);
      lt.__set_DATE(quorin_pq::DateType());
      e.__set_logicalType(lt);
      break;
    case DType::Timestamp: {
      quorin_pq::TimestampType ts;
      ts.__set_isAdjustedToUTC(!c.tz().empty());
      quorin_pq::TimeUnit u;
      u.__set_NANOS(quorin_pq::NanoSeconds());
      ts.__set_unit(u);
      lt.__set_TIMESTAMP(ts);
      e.__set_logicalType(lt);
      break;
    }
    case DType::Time: {
      // Time of day in nanoseconds, local (not adjusted to UTC).
      quorin_pq::TimeType tt;
      tt.__set_isAdjustedToUTC(false);
      quorin_pq::TimeUnit u;
      u.__set_NANOS(quorin_pq::NanoSeconds());
      tt.__set_unit(u);
      lt.__set_TIME(tt);
      e.__set_logicalType(lt);
      break;
    }
    default: break;
  }
  return e;
}

}  // namespace

std::vector<std::uint8_t> write_parquet(const Frame& frame, const ParquetWriteOptions& options) {
  std::vector<std::string> names = frame.names();
  std::vector<const Column*> cols;
  for (const auto& c : frame.columns()) cols.push_back(&c);
  Column index_col;
  if (options.write_index) {
    const Index& ix = frame.index();
    if (ix.kind() == Index::Kind::Text) {
      index_col = Column::texts(ix.text_labels());
    } else {
      std::vector<std::int64_t> v(ix.size());
      for (std::size_t i = 0; i < v.size(); ++i) v[i] = ix.int_label(i);
      index_col = Column::ints(std::move(v));
    }
    names.push_back("__index_level_0__");
    cols.push_back(&index_col);
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    for (std::size_t j = i + 1; j < names.size(); ++j)
      if (names[i] == names[j]) throw ValueError("duplicate column name '" + names[i] + "' cannot be written to Parquet");
  if (options.row_group_size == 0) throw ValueError("row_group_size must be positive");

  Writer w{options, codec_of(options.codec), {}};
  w.out = {'P', 'A', 'R', '1'};
  const std::size_t n = frame.num_rows();
  quorin_pq::FileMetaData meta;
  meta.__set_version(1);
  std::vector<quorin_pq::SchemaElement> schema;
  quorin_pq::SchemaElement root;
  root.__set_name("schema");
  root.__set_num_children(static_cast<std::int32_t>(cols.size()));
  schema.push_back(root);
  std::vector<quorin_pq::KeyValue> kvs;
  for (std::size_t i = 0; i < cols.size(); ++i) {
    schema.push_back(schema_of(*cols[i], names[i]));
    if (cols[i]->type() == DType::Timestamp && !cols[i]->tz().empty() && cols[i]->tz() != "UTC") {
      quorin_pq::KeyValue kv;
      kv.__set_key("quorin_data:tz:" + names[i]);
      kv.__set_value(cols[i]->tz());
      kvs.push_back(kv);
    }
  }
  meta.__set_schema(schema);
  meta.__set_num_rows(static_cast<std::int64_t>(n));
  std::vector<quorin_pq::RowGroup> groups;
  for (std::size_t b = 0; b < n; b += options.row_group_size) {
    const std::size_t e = std::min(n, b + options.row_group_size);
    quorin_pq::RowGroup rg;
    const std::int64_t start = static_cast<std::int64_t>(w.out.size());
    std::int64_t total = 0;
    std::vector<quorin_pq::ColumnChunk> chunks;
    for (std::size_t i = 0; i < cols.size(); ++i) {
      chunks.push_back(w.chunk(*cols[i], names[i], b, e));
      total += chunks.back().meta_data.total_uncompressed_size;
    }
    rg.__set_columns(chunks);
    rg.__set_num_rows(static_cast<std::int64_t>(e - b));
    rg.__set_total_byte_size(total);
    rg.__set_file_offset(start);
    rg.__set_total_compressed_size(static_cast<std::int64_t>(w.out.size()) - start);
    if (groups.size() <= INT16_MAX) rg.__set_ordinal(static_cast<std::int16_t>(groups.size()));
    groups.push_back(rg);
  }
  meta.__set_row_groups(groups);
  if (!kvs.empty()) meta.__set_key_value_metadata(kvs);
  meta.__set_created_by("quorin_data");
  std::vector<quorin_pq::ColumnOrder> orders(cols.size());
  for (auto& o : orders) o.__set_TYPE_ORDER(quorin_pq::TypeDefinedOrder());
  meta.__set_column_orders(orders);
  const std::size_t fstart = w.out.size();
  thrift_encode(meta, w.out);
  put_u32(w.out, static_cast<std::uint32_t>(w.out.size() - fstart));
  w.out.insert(w.out.end(), {'P', 'A', 'R', '1'});
  return std::move(w.out);
}

}  // namespace quorin_data::formats
