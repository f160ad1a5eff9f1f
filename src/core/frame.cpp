#include "quorin_data/core/frame.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/zones.hpp"

namespace quorin_data {

std::string format_double_shortest(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::size_t format_double_to(char* out, double v) {
  if (!std::isfinite(v)) {
    const char* t = std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf";
    const std::size_t n = std::strlen(t);
    std::memcpy(out, t, n);
    return n;
  }
  // The shortest round-trip digits, laid out as the research language prints
  // a float: positional for decimal exponents -4..15 ("100000.0",
  // "0.0001"), otherwise d.ddd with a signed exponent of two or more digits
  // ("1e+16", "1.5e-05").
  //
  // A value of at most eight decimals (prices, rounded ratios) first: m, its
  // nearest multiple of 1e-8 in units, reads back as v exactly when m / 1e8
  // is v (m and 1e8 exact, the division correctly rounded). Below 1e7 a
  // double's spacing is under 1e-8, so no other multiple of 1e-8 reads back
  // as v and the shortest digits are m's without its trailing zeros.
  const double mag = std::fabs(v);
  if (mag >= 1e-4 && mag < 1e7) {
    const double m = std::nearbyint(mag * 1e8);
    if (m / 1e8 == mag) {
      const auto units = static_cast<std::uint64_t>(m);
      char* o = out;
      if (v < 0) *o++ = '-';
      o = std::to_chars(o, o + 8, units / 100000000u).ptr;
      *o++ = '.';
      auto frac = static_cast<std::uint32_t>(units % 100000000u);
      int digits = 8;
      while (digits > 1 && frac % 10 == 0) {
        frac /= 10;
        --digits;
      }
      for (int k = digits - 1; k >= 0; --k) {
        o[k] = static_cast<char>('0' + frac % 10);
        frac /= 10;
      }
      return static_cast<std::size_t>(o + digits - out);
    }
  }
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const char* p = buf;
  char* o = out;
  if (*p == '-') {
    *o++ = '-';
    ++p;
  }
  const char* e = std::find(p, static_cast<const char*>(r.ptr), 'e');
  char digits[24];
  int n = 0;
  for (const char* q = p; q < e; ++q)
    if (*q != '.') digits[n++] = *q;
  int exp = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), r.ptr, exp);
  if (exp >= -4 && exp < 16) {
    if (exp < 0) {
      *o++ = '0';
      *o++ = '.';
      for (int k = 0; k < -exp - 1; ++k) *o++ = '0';
      std::memcpy(o, digits, static_cast<std::size_t>(n));
      o += n;
    } else if (exp + 1 >= n) {
      std::memcpy(o, digits, static_cast<std::size_t>(n));
      o += n;
      for (int k = 0; k < exp + 1 - n; ++k) *o++ = '0';
      *o++ = '.';
      *o++ = '0';
    } else {
      std::memcpy(o, digits, static_cast<std::size_t>(exp + 1));
      o += exp + 1;
      *o++ = '.';
      std::memcpy(o, digits + exp + 1, static_cast<std::size_t>(n - exp - 1));
      o += n - exp - 1;
    }
    return static_cast<std::size_t>(o - out);
  }
  *o++ = digits[0];
  if (n > 1) {
    *o++ = '.';
    std::memcpy(o, digits + 1, static_cast<std::size_t>(n - 1));
    o += n - 1;
  }
  *o++ = 'e';
  *o++ = exp < 0 ? '-' : '+';
  const int a = exp < 0 ? -exp : exp;
  if (a < 10) *o++ = '0';
  o = std::to_chars(o, o + 4, a).ptr;
  return static_cast<std::size_t>(o - out);
}

std::string format_double(double v) {
  char buf[kFormatDoubleMax];
  return std::string(buf, format_double_to(buf, v));
}

// ---- Index -----------------------------------------------------------------

Index Index::range(std::size_t n, std::int64_t start) {
  Index i;
  i.kind_ = Kind::Range;
  i.n_ = n;
  i.start_ = start;
  return i;
}

Index Index::ints(std::vector<std::int64_t> labels) {
  Index i;
  i.kind_ = Kind::Int;
  i.n_ = labels.size();
  i.ints_ = std::move(labels);
  return i;
}

Index Index::texts(std::vector<std::string> labels) {
  Index i;
  i.kind_ = Kind::Text;
  i.n_ = labels.size();
  i.texts_ = std::move(labels);
  return i;
}

Index Index::from_column(const Column& c) {
  if (c.type() == DType::Int64) return ints(std::vector<std::int64_t>(c.i64().begin(), c.i64().end()));
  if (c.type() != DType::Text) throw ValueError(std::string("a column of type ") + dtype_name(c.type()) + " cannot be a row index");
  std::vector<std::string> labels;
  labels.reserve(c.size());
  for (std::size_t i = 0; i < c.size(); ++i) labels.emplace_back(c.text(i));
  return texts(std::move(labels));
}

std::size_t Index::size() const noexcept { return n_; }

std::string Index::label_text(std::size_t i) const {
  return kind_ == Kind::Text ? texts_[i] : std::to_string(int_label(i));
}

Index Index::take(const std::vector<std::size_t>& rows) const {
  for (std::size_t r : rows)
    if (r >= n_) throw IndexError("row " + std::to_string(r) + " out of range");
  Index out;
  out.name = name;
  if (kind_ == Kind::Text) {
    std::vector<std::string> t;
    t.reserve(rows.size());
    for (std::size_t r : rows) t.push_back(texts_[r]);
    out = texts(std::move(t));
  } else {
    // Keep a range when the rows are a contiguous run.
    bool run = true;
    for (std::size_t i = 1; i < rows.size() && run; ++i) run = rows[i] == rows[i - 1] + 1;
    if (kind_ == Kind::Range && run) {
      out = range(rows.size(), rows.empty() ? 0 : start_ + static_cast<std::int64_t>(rows[0]));
    } else {
      std::vector<std::int64_t> v(rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i) v[i] = int_label(rows[i]);
      out = ints(std::move(v));
    }
  }
  out.name = name;
  return out;
}

Index Index::concat(const std::vector<const Index*>& parts) {
  if (parts.empty()) return Index();
  bool any_text = false;
  for (auto* p : parts) any_text = any_text || p->kind_ == Kind::Text;
  Index out;
  // Consecutive ranges (chunks of one file) join into one range.
  bool ranges = !any_text;
  std::int64_t next = parts[0]->kind_ == Kind::Range ? parts[0]->start_ : 0;
  std::size_t total = 0;
  for (auto* p : parts) {
    ranges = ranges && (p->n_ == 0 || (p->kind_ == Kind::Range && p->start_ == next));
    if (p->kind_ == Kind::Range && p->n_ != 0) next = p->start_ + static_cast<std::int64_t>(p->n_);
    total += p->n_;
  }
  if (ranges) {
    out = range(total, parts[0]->kind_ == Kind::Range ? parts[0]->start_ : 0);
  } else if (any_text) {
    std::vector<std::string> t;
    for (auto* p : parts)
      for (std::size_t i = 0; i < p->n_; ++i) t.push_back(p->label_text(i));
    out = texts(std::move(t));
  } else {
    std::vector<std::int64_t> v;
    v.reserve(total);
    for (auto* p : parts)
      for (std::size_t i = 0; i < p->n_; ++i) v.push_back(p->int_label(i));
    bool is_range = true;
    for (std::size_t i = 0; i < v.size() && is_range; ++i) is_range = v[i] == static_cast<std::int64_t>(i);
    out = is_range ? range(v.size()) : ints(std::move(v));
  }
  out.name = parts[0]->name;
  return out;
}

bool operator==(const Index& a, const Index& b) {
  if (a.n_ != b.n_) return false;
  const bool at = a.kind_ == Index::Kind::Text, bt = b.kind_ == Index::Kind::Text;
  if (at != bt) return a.n_ == 0;
  if (at) return a.texts_ == b.texts_;
  for (std::size_t i = 0; i < a.n_; ++i)
    if (a.int_label(i) != b.int_label(i)) return false;
  return true;
}

// ---- Frame -----------------------------------------------------------------

std::ptrdiff_t Frame::find(std::string_view name) const noexcept {
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (names_[i] == name) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

bool Frame::has_column(std::string_view name) const noexcept { return find(name) >= 0; }

const Column& Frame::column(std::string_view name) const {
  auto i = find(name);
  if (i < 0) throw KeyError("'" + std::string(name) + "'");
  return columns_[static_cast<std::size_t>(i)];
}

void Frame::add_column(std::string name, Column c) {
  if (columns_.empty() && index_.size() == 0 && c.size() != 0) index_ = Index::range(c.size());
  if (c.size() != index_.size())
    throw ValueError("Length of values (" + std::to_string(c.size()) +
                     ") does not match length of index (" + std::to_string(index_.size()) + ")");
  names_.push_back(std::move(name));
  columns_.push_back(std::move(c));
}

void Frame::set_column(std::string name, Column c) {
  auto i = find(name);
  if (i < 0) return add_column(std::move(name), std::move(c));
  replace_column(static_cast<std::size_t>(i), std::move(c));
}

void Frame::replace_column(std::size_t i, Column c) {
  if (i >= columns_.size()) throw IndexError("column " + std::to_string(i) + " out of range");
  if (c.size() != index_.size())
    throw ValueError("Length of values (" + std::to_string(c.size()) +
                     ") does not match length of index (" + std::to_string(index_.size()) + ")");
  columns_[i] = std::move(c);
}

void Frame::rename_column(std::string_view from, std::string to) {
  for (auto& n : names_)
    if (n == from) n = to;
}

void Frame::drop_column(std::string_view name) {
  auto i = find(name);
  if (i < 0) throw KeyError("'" + std::string(name) + "'");
  names_.erase(names_.begin() + i);
  columns_.erase(columns_.begin() + i);
}

void Frame::set_index(Index idx) {
  if (!columns_.empty() && idx.size() != index_.size())
    throw ValueError("Length mismatch: the frame has " + std::to_string(index_.size()) +
                     " rows, the new index " + std::to_string(idx.size()) + " labels");
  index_ = std::move(idx);
}

Frame Frame::take(const std::vector<std::size_t>& rows) const {
  Frame out;
  out.index_ = index_.take(rows);
  out.names_ = names_;
  out.columns_.reserve(columns_.size());
  for (const auto& c : columns_) out.columns_.push_back(c.take(rows));
  return out;
}

Frame Frame::reset_index() const {
  Frame out = *this;
  out.index_ = Index::range(num_rows());
  return out;
}

Frame Frame::concat_rows(const std::vector<const Frame*>& parts) {
  Frame out;
  if (parts.empty()) return out;
  // First position of each name in each part (hashed: wide frames stay linear).
  std::vector<std::string> names;
  std::unordered_set<std::string_view> seen;
  std::vector<std::unordered_map<std::string_view, std::size_t>> where(parts.size());
  for (std::size_t k = 0; k < parts.size(); ++k)
    for (std::size_t i = 0; i < parts[k]->names_.size(); ++i) {
      const std::string& n = parts[k]->names_[i];
      where[k].emplace(n, i);
      if (seen.insert(n).second) names.push_back(n);
    }
  std::vector<const Index*> idx;
  for (auto* p : parts) idx.push_back(&p->index_);
  out.index_ = Index::concat(idx);
  for (const auto& n : names) {
    std::vector<Column> fillers;
    fillers.reserve(parts.size());
    std::vector<const Column*> cols;
    const Column* first = nullptr;
    for (std::size_t k = 0; k < parts.size() && !first; ++k)
      if (auto it = where[k].find(n); it != where[k].end()) first = &parts[k]->columns_[it->second];
    for (std::size_t k = 0; k < parts.size(); ++k) {
      if (auto it = where[k].find(n); it != where[k].end()) {
        cols.push_back(&parts[k]->columns_[it->second]);
      } else {
        // Missing cells of the column's own type (integers stay integers).
        fillers.push_back(Column::missing(first->type(), parts[k]->num_rows(), first->tz()));
        cols.push_back(&fillers.back());
      }
    }
    out.names_.push_back(n);
    out.columns_.push_back(Column::concat(cols));
  }
  return out;
}

Frame Frame::concat_rows_taking(std::vector<Frame>& parts) {
  if (parts.empty()) return Frame();
  if (parts.size() == 1) {
    Frame out = std::move(parts[0]);
    parts[0] = Frame();
    return out;
  }
  const Frame& first = parts[0];
  bool same = true;
  {
    std::unordered_set<std::string_view> distinct;
    distinct.reserve(first.names_.size());
    for (std::size_t i = 0; same && i < first.names_.size(); ++i) same = distinct.insert(first.names_[i]).second;
  }
  for (std::size_t k = 1; same && k < parts.size(); ++k) {
    const Frame& p = parts[k];
    same = p.names_ == first.names_;
    for (std::size_t i = 0; same && i < p.columns_.size(); ++i)
      same = p.columns_[i].type() == first.columns_[i].type() && p.columns_[i].tz() == first.columns_[i].tz();
  }
  if (!same) {
    std::vector<const Frame*> ptrs;
    ptrs.reserve(parts.size());
    for (const auto& p : parts) ptrs.push_back(&p);
    Frame out = concat_rows(ptrs);
    for (auto& p : parts) p = Frame();
    return out;
  }
  Frame out;
  {
    std::vector<const Index*> idx;
    idx.reserve(parts.size());
    for (const auto& p : parts) idx.push_back(&p.index_);
    out.index_ = Index::concat(idx);
  }
  const std::size_t ncols = first.columns_.size();
  out.names_ = first.names_;
  out.columns_.reserve(ncols);
  std::vector<const Column*> cols(parts.size());
  for (std::size_t i = 0; i < ncols; ++i) {
    for (std::size_t k = 0; k < parts.size(); ++k) cols[k] = &parts[k].columns_[i];
    out.columns_.push_back(Column::concat(cols));
    // Each part's storage goes as soon as it has been appended (texts keep
    // their heap blocks, which the result now shares).
    for (auto& p : parts) p.columns_[i] = Column();
  }
  for (auto& p : parts) p = Frame();
  return out;
}

Frame Frame::select(const std::vector<std::string>& names) const {
  Frame out;
  out.index_ = index_;
  for (const auto& n : names) {
    out.names_.push_back(n);
    out.columns_.push_back(column(n));
  }
  return out;
}

std::vector<Column> Frame::release_columns() && {
  std::vector<Column> out = std::move(columns_);
  *this = Frame();
  return out;
}

bool operator==(const Frame& a, const Frame& b) {
  return a.names_ == b.names_ && a.index_ == b.index_ && a.columns_ == b.columns_;
}

// ---- Series ----------------------------------------------------------------

Series::Series(Column v, Index idx, std::string n)
    : values(std::move(v)), index(std::move(idx)), name(std::move(n)) {
  if (index.size() != values.size())
    throw ValueError("Length of values (" + std::to_string(values.size()) +
                     ") does not match length of index (" + std::to_string(index.size()) + ")");
}

Series::Series(std::vector<double> v, std::string n)
    : values(Column::floats(std::move(v))), name(std::move(n)) {
  index = Index::range(values.size());
}

Series::Series(std::vector<double> v, Index idx, std::string n)
    : Series(Column::floats(std::move(v)), std::move(idx), std::move(n)) {}

bool operator==(const Series& a, const Series& b) {
  return a.values == b.values && a.index == b.index && a.name == b.name && a.category == b.category;
}

}  // namespace quorin_data
