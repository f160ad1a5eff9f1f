// Reads filtered by the value of one column: row groups whose statistics rule
// the value out are skipped, those whose statistics prove every row matches
// are taken whole, the others are decoded and filtered row by row.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "reader_internal.hpp"

namespace quorin_data::formats {

using namespace pq;

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
    case DType::Time: break;  // no value form compares with a time of day
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

// The least and greatest value of a chunk of `rows` rows without missing
// values, as its statistics give them (false when they do not).
bool present_bounds(const ColumnDesc& d, const quorin_pq::ColumnChunk& cc, std::int64_t rows, Key& lo, Key& hi) {
  if (rows <= 0 || !cc.__isset.meta_data || !cc.meta_data.__isset.statistics) return false;
  const auto& s = cc.meta_data.statistics;
  if (!s.__isset.null_count || s.null_count != 0 || cc.meta_data.num_values != rows) return false;
  return stat_bounds(d, s, lo, hi) && lo.kind == hi.kind;
}

// True when the statistics of a chunk prove that every one of its `rows`
// rows holds the same value (no nulls, minimum equal to maximum), given in
// `k`. Only for values whose statistics are exact: integers, dates,
// timestamps and floating-point numbers.
bool stats_pin(const ColumnDesc& d, const quorin_pq::ColumnChunk& cc, std::int64_t rows, Key& k) {
  Key lo, hi;
  if (!present_bounds(d, cc, rows, lo, hi)) return false;
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
    switch (c.type()) {
      case DType::Float64: eq = k.kind == Key::Real && c.f64()[i] == k.d; break;
      case DType::Text:
        eq = (k.kind == Key::Str && c.text(i) == k.s) || (k.kind == Key::Int && c.text(i) == std::to_string(k.i));
        break;
      default: eq = k.kind == Key::Int && c.integer(i) == k.i; break;
    }
    if (eq) rows.push_back(i);
  }
  return rows;
}

// Appends the `rows` of `part` (decoded, before any final conversion) to
// the column being decoded.
void append_rows(ColumnSink& to, const Column& part, const std::vector<std::size_t>& rows) {
  visit_type(part.type(), [&](auto tag) {
    constexpr DType T = decltype(tag)::type;
    const auto v = part.values<T>();
    for (std::size_t r : rows) {
      if constexpr (T == DType::Text) {
        if (part.is_missing(r))
          to.text.append_missing();
        else
          to.text.append(part.text(r));
      } else {
        if constexpr (T == DType::Float64) to.f64.push_back(v[r]);
        else if constexpr (T == DType::Date) to.i32.push_back(v[r]);
        else if constexpr (T == DType::Bool) to.u8.push_back(v[r]);
        else to.i64.push_back(v[r]);
        if constexpr (T != DType::Float64) to.valid.push(!part.is_missing(r));
      }
    }
  });
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
    std::vector<std::size_t> rows;  // the matching rows of a group not taken whole
  };
  std::vector<Hit> hits;
  std::vector<std::size_t> to_test;
  for (std::size_t g : candidates) {
    const auto& rg = im.meta.row_groups[g];
    Key only;
    if (stats_pin(fd, rg.columns[static_cast<std::size_t>(fd.leaf)], rg.num_rows, only) && !ruled_out(key, only, only))
      hits.push_back({g, true, {}});
    else
      to_test.push_back(g);
  }
  im.prefetch(to_test, {&fd});
  for (std::size_t g : to_test) {
    ColumnSink sink = im.sink_for(fd);
    im.decode_chunk(fd, g, sink);
    auto rows = matching_rows(im.finish(fd, sink), key);
    if (!rows.empty()) hits.push_back({g, false, std::move(rows)});
  }
  st.row_groups_decoded = candidates.size();
  std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.group < b.group; });
  // The matching row groups' chunks arrive one row group ahead of decoding.
  // Each column is decoded straight into one column for all of them (whole
  // row groups appended as decoded, the matching rows of the others moved
  // in), so that no value is copied twice.
  std::vector<std::size_t> hit_groups;
  std::size_t total = 0;
  for (const auto& h : hits) {
    hit_groups.push_back(h.group);
    total += h.whole ? static_cast<std::size_t>(im.meta.row_groups[h.group].num_rows) : h.rows.size();
  }
  auto wanted = picked;
  if (idx) wanted.push_back(&im.find(kIndexColumn));
  std::vector<ColumnSink> out;
  for (const ColumnDesc* d : wanted) {
    out.push_back(im.sink_for(*d));
    out.back().reserve(std::min(total, im.size * 8));  // a hint only; hostile row counts must not allocate
  }
  ReadAhead ahead(im, hit_groups, wanted);
  for (std::size_t i = 0; i < hits.size(); ++i) {
    ahead.wait_for(i);
    const Hit& h = hits[i];
    for (std::size_t c = 0; c < wanted.size(); ++c) {
      if (!wanted[c]->unsupported.empty()) Place{&im.source, "column '" + wanted[c]->name + "'"}.fail(wanted[c]->unsupported);
      if (h.whole) {
        im.decode_chunk(*wanted[c], h.group, out[c]);
        continue;
      }
      ColumnSink part = im.sink_for(*wanted[c]);
      im.decode_chunk(*wanted[c], h.group, part);
      append_rows(out[c], part.finish(), h.rows);
    }
  }
  if (stats) *stats = st;
  Frame f;
  for (std::size_t c = 0; c < picked.size(); ++c) f.add_column(picked[c]->name, im.finish(*picked[c], out[c]));
  if (picked.empty()) f.set_index(Index::range(total));
  if (idx && !hits.empty()) {
    const Column c = im.finish(*wanted.back(), out.back());
    if (!c.has_missing() && (c.type() == DType::Int64 || c.type() == DType::Text)) f.set_index(Index::from_column(c));
  }
  return f;
}

namespace {

// A bound of a column of the kinds whose statistics are exact, as a value.
std::optional<Value> value_of(const ColumnDesc& d, const Key& k) {
  switch (d.kind) {
    case Kind::Date32: return Value(Date{static_cast<std::int32_t>(k.i)});
    case Kind::Timestamp64: return Value(Timestamp{k.i, d.tz});
    case Kind::Int32: case Kind::UInt32: case Kind::Int64: return Value(static_cast<long long>(k.i));
    case Kind::Float: case Kind::Double: return Value(k.d);
    default: return std::nullopt;
  }
}

const ColumnDesc& stats_column(const ParquetFile::Impl& im, std::size_t group, const std::string& column) {
  if (group >= im.meta.row_groups.size())
    throw IndexError("row group " + std::to_string(group) + " out of range (the file has " +
                     std::to_string(im.meta.row_groups.size()) + ")");
  return im.find(column);
}

}  // namespace

std::optional<Value> ParquetFile::single_value(std::size_t group, const std::string& column) const {
  const Impl& im = *impl_;
  const ColumnDesc& d = stats_column(im, group, column);
  if (!d.unsupported.empty()) return std::nullopt;
  const auto& rg = im.meta.row_groups[group];
  Key k;
  if (!stats_pin(d, rg.columns[static_cast<std::size_t>(d.leaf)], rg.num_rows, k)) return std::nullopt;
  return value_of(d, k);
}

std::optional<std::pair<Value, Value>> ParquetFile::value_range(std::size_t group, const std::string& column) const {
  const Impl& im = *impl_;
  const ColumnDesc& d = stats_column(im, group, column);
  if (!d.unsupported.empty()) return std::nullopt;
  const auto& rg = im.meta.row_groups[group];
  Key lo, hi;
  if (!present_bounds(d, rg.columns[static_cast<std::size_t>(d.leaf)], rg.num_rows, lo, hi)) return std::nullopt;
  auto a = value_of(d, lo), b = value_of(d, hi);
  if (!a || !b) return std::nullopt;
  return std::make_pair(std::move(*a), std::move(*b));
}

}  // namespace quorin_data::formats
