// Hand-built Parquet files for the encodings and codecs that neither DuckDB
// nor our writer produce: a small Thrift compact-protocol encoder and helpers
// that lay out pages and a one-column footer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pq_build {

using Buf = std::vector<std::uint8_t>;

inline void varint(Buf& b, std::uint64_t v) {
  while (v >= 0x80) {
    b.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  b.push_back(static_cast<std::uint8_t>(v));
}
inline std::uint64_t zz(std::int64_t v) { return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63); }

// A Thrift struct in the compact protocol.
class TStruct {
 public:
  TStruct& i32(int id, std::int32_t v) { return field(id, 5), varint(b_, zz(v)), *this; }
  TStruct& i64(int id, std::int64_t v) { return field(id, 6), varint(b_, zz(v)), *this; }
  TStruct& boolean(int id, bool v) { return field(id, v ? 1 : 2), *this; }
  TStruct& bin(int id, const std::string& s) {
    field(id, 8);
    varint(b_, s.size());
    b_.insert(b_.end(), s.begin(), s.end());
    return *this;
  }
  TStruct& strct(int id, const TStruct& s) {
    field(id, 12);
    const Buf body = s.finish();
    b_.insert(b_.end(), body.begin(), body.end());
    return *this;
  }
  TStruct& list_i32(int id, const std::vector<std::int32_t>& v) {
    field(id, 9);
    list_header(v.size(), 5);
    for (auto x : v) varint(b_, zz(x));
    return *this;
  }
  TStruct& list_bin(int id, const std::vector<std::string>& v) {
    field(id, 9);
    list_header(v.size(), 8);
    for (const auto& s : v) {
      varint(b_, s.size());
      b_.insert(b_.end(), s.begin(), s.end());
    }
    return *this;
  }
  TStruct& list_struct(int id, const std::vector<TStruct>& v) {
    field(id, 9);
    list_header(v.size(), 12);
    for (const auto& s : v) {
      const Buf body = s.finish();
      b_.insert(b_.end(), body.begin(), body.end());
    }
    return *this;
  }
  Buf finish() const {
    Buf r = b_;
    r.push_back(0);
    return r;
  }

 private:
  void field(int id, int type) {
    const int delta = id - last_;
    if (delta > 0 && delta <= 15) {
      b_.push_back(static_cast<std::uint8_t>((delta << 4) | type));
    } else {
      b_.push_back(static_cast<std::uint8_t>(type));
      varint(b_, zz(id));
    }
    last_ = id;
  }
  void list_header(std::size_t n, int type) {
    if (n < 15) {
      b_.push_back(static_cast<std::uint8_t>((n << 4) | static_cast<std::size_t>(type)));
    } else {
      b_.push_back(static_cast<std::uint8_t>(0xf0 | type));
      varint(b_, n);
    }
  }
  Buf b_;
  int last_ = 0;
};

inline void append(Buf& a, const Buf& b) { a.insert(a.end(), b.begin(), b.end()); }
inline void u32le(Buf& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline Buf str_bytes(const std::string& s) { return Buf(s.begin(), s.end()); }

// Data page v1: `body` is the stored (possibly compressed) page, `raw` its uncompressed size.
inline Buf page_v1(const Buf& body, std::size_t raw, int num_values, int encoding, int def_encoding = 3) {
  TStruct dh;
  dh.i32(1, num_values).i32(2, encoding).i32(3, def_encoding).i32(4, 3);
  TStruct ph;
  ph.i32(1, 0).i32(2, static_cast<std::int32_t>(raw)).i32(3, static_cast<std::int32_t>(body.size())).strct(5, dh);
  Buf r = ph.finish();
  append(r, body);
  return r;
}

inline Buf page_v2(const Buf& levels, const Buf& values, int num_values, int num_nulls, int encoding) {
  TStruct dh;
  dh.i32(1, num_values).i32(2, num_nulls).i32(3, num_values).i32(4, encoding)
      .i32(5, static_cast<std::int32_t>(levels.size())).i32(6, 0).boolean(7, false);
  TStruct ph;
  const auto size = static_cast<std::int32_t>(levels.size() + values.size());
  ph.i32(1, 3).i32(2, size).i32(3, size).strct(8, dh);
  Buf r = ph.finish();
  append(r, levels);
  append(r, values);
  return r;
}

inline Buf dictionary_page(const Buf& body, int num_values) {
  TStruct dh;
  dh.i32(1, num_values).i32(2, 0);
  TStruct ph;
  ph.i32(1, 2).i32(2, static_cast<std::int32_t>(body.size())).i32(3, static_cast<std::int32_t>(body.size())).strct(7, dh);
  Buf r = ph.finish();
  append(r, body);
  return r;
}

// A file of one column `leaf` (a SchemaElement with its name) holding `pages`.
inline Buf one_column_file(const TStruct& leaf, const std::string& name, int phys, int codec,
                             const std::vector<Buf>& pages, std::int64_t rows, bool first_is_dictionary = false) {
  Buf out = str_bytes("PAR1");
  const std::int64_t start = 4;
  for (const auto& p : pages) append(out, p);
  const std::int64_t total = static_cast<std::int64_t>(out.size()) - start;
  TStruct md;
  md.i32(1, phys).list_i32(2, {0}).list_bin(3, {name}).i32(4, codec).i64(5, rows).i64(6, total).i64(7, total);
  md.i64(9, first_is_dictionary ? start + static_cast<std::int64_t>(pages[0].size()) : start);
  if (first_is_dictionary) md.i64(11, start);
  TStruct cc;
  cc.i64(2, start).strct(3, md);
  TStruct rg;
  rg.list_struct(1, {cc}).i64(2, total).i64(3, rows);
  TStruct root;
  root.bin(4, "schema").i32(5, 1);
  TStruct fm;
  fm.i32(1, 1).list_struct(2, {root, leaf}).i64(3, rows).list_struct(4, {rg});
  const Buf footer = fm.finish();
  append(out, footer);
  u32le(out, static_cast<std::uint32_t>(footer.size()));
  append(out, str_bytes("PAR1"));
  return out;
}

// DELTA_BINARY_PACKED with blocks of 128 values in 4 miniblocks.
inline Buf delta_binary(const std::vector<std::int64_t>& v) {
  Buf b;
  varint(b, 128);
  varint(b, 4);
  varint(b, v.size());
  varint(b, zz(v.empty() ? 0 : v[0]));
  std::size_t i = 1;
  while (i < v.size()) {
    const std::size_t n = std::min<std::size_t>(128, v.size() - i);
    std::vector<std::uint64_t> d(n);
    std::int64_t mn = INT64_MAX;
    for (std::size_t k = 0; k < n; ++k) {
      d[k] = static_cast<std::uint64_t>(v[i + k]) - static_cast<std::uint64_t>(v[i + k - 1]);
      mn = std::min(mn, static_cast<std::int64_t>(d[k]));
    }
    varint(b, zz(mn));
    int w = 0;
    for (auto& x : d) {
      x -= static_cast<std::uint64_t>(mn);
      while (w < 64 && (x >> w)) ++w;
    }
    const std::size_t minis = (n + 31) / 32;
    for (std::size_t m = 0; m < 4; ++m) b.push_back(static_cast<std::uint8_t>(m < minis ? w : 0));
    for (std::size_t m = 0; m < minis; ++m) {
      Buf mb(static_cast<std::size_t>(4 * w), 0);
      for (std::size_t k = 0; k < 32; ++k) {
        const std::uint64_t x = m * 32 + k < n ? d[m * 32 + k] : 0;
        for (int bit = 0; bit < w; ++bit)
          if ((x >> bit) & 1) mb[(k * static_cast<std::size_t>(w) + static_cast<std::size_t>(bit)) / 8] |=
              static_cast<std::uint8_t>(1u << ((k * static_cast<std::size_t>(w) + static_cast<std::size_t>(bit)) % 8));
      }
      append(b, mb);
    }
    i += n;
  }
  return b;
}

}  // namespace pq_build
