// Cell rules and the column builder: each undeclared column is typed by
// demotion (int64 -> float64 -> text, or bool -> text) as its cells arrive.
// Cells are kept as raw bytes in a per-column arena until the column is known
// to be numeric, so a demotion to text keeps the cells exactly as written.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "csv_internal.hpp"
#include "kernels/buffers.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/zones.hpp"

namespace quorin_data::formats::csv_detail {

void fail_line(const std::string& source, std::size_t line, const std::string& what) {
  throw FormatError("CSV", source, "line " + std::to_string(line), what);
}

bool declarable(DType t) {
  switch (t) {
    case DType::Float64:
    case DType::Int64:
    case DType::Bool:
    case DType::Text:
    case DType::Date:
    case DType::Timestamp: return true;
    default: return false;
  }
}

bool parse_int_cell(const char* p, std::size_t n, std::int64_t& v) {
  const char* b = n > 1 && p[0] == '+' && p[1] != '-' ? p + 1 : p;
  auto r = std::from_chars(b, p + n, v);
  return n > 0 && r.ec == std::errc() && r.ptr == p + n;
}

bool parse_float_cell(const char* p, std::size_t n, double& v) {
  const char* b = n > 1 && p[0] == '+' && p[1] != '-' && p[1] != '+' ? p + 1 : p;
  auto r = std::from_chars(b, p + n, v);
  return n > 0 && r.ec == std::errc() && r.ptr == p + n;
}

namespace {

// A plain decimal "[-]digits.digits" of at most 15 digits, read exactly:
// its digits as an integer (below 2^53, so exact) divided by a power of ten
// (exact up to 10^22) is the correctly rounded value, the one from_chars
// gives. Anything else is left to from_chars.
bool short_decimal(const char* p, std::size_t n, double& v) {
  static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const std::size_t sign = p[0] == '-' ? 1 : 0;
  if (n < sign + 3 || n > sign + 16) return false;
  std::uint64_t m = 0;
  std::size_t i = sign, dot = 0;
  for (; i < n; ++i) {
    const unsigned d = static_cast<unsigned>(p[i] - '0');
    if (d < 10) {
      m = m * 10 + d;
    } else if (p[i] == '.' && dot == 0) {
      dot = i;
    } else {
      return false;
    }
  }
  if (dot == 0 || dot == sign || dot == n - 1) return false;  // digits on both sides
  const double x = static_cast<double>(m) / kPow10[n - 1 - dot];
  v = sign ? -x : x;
  return true;
}

}  // namespace

// Classifies a present cell. Integers: optional sign, digits, no leading
// zero (so "00123" stays an identifier), within int64 (larger ones stay
// text, never a rounded float).
Kind classify(const char* p, std::size_t n, std::int64_t& iv, double& dv) {
  if (n == 0) return Kind::Text;
  std::size_t i = 0;
  if (p[0] == '-' || p[0] == '+') i = 1;
  std::size_t j = i;
  std::uint64_t acc = 0;
  while (j < n && static_cast<unsigned>(p[j] - '0') < 10) acc = acc * 10 + static_cast<unsigned>(p[j++] - '0');
  if (j == n && j > i) {
    if (j - i > 1 && p[i] == '0') return Kind::Text;
    if (j - i <= 18) {  // below 10^18: no overflow, the digits are the value
      iv = p[0] == '-' ? -static_cast<std::int64_t>(acc) : static_cast<std::int64_t>(acc);
      return Kind::Int;
    }
    const char* b = p[0] == '+' ? p + 1 : p;
    auto r = std::from_chars(b, p + n, iv);
    if (r.ec != std::errc() || r.ptr != p + n) return Kind::Text;
    return Kind::Int;
  }
  if (p[0] == 'T' || p[0] == 't' || p[0] == 'F' || p[0] == 'f') {
    if (eq(p, n, "True") || eq(p, n, "TRUE") || eq(p, n, "true")) {
      iv = 1;
      return Kind::Bool;
    }
    if (eq(p, n, "False") || eq(p, n, "FALSE") || eq(p, n, "false")) {
      iv = 0;
      return Kind::Bool;
    }
  }
  if (short_decimal(p, n, dv)) return Kind::Float;
  const char* b = p;
  if (p[0] == '+' && n > 1 && p[1] != '-' && p[1] != '+') b = p + 1;
  auto r = std::from_chars(b, p + n, dv);
  if (r.ec != std::errc() || r.ptr != p + n || std::isnan(dv)) return Kind::Text;
  return Kind::Float;
}

namespace {

template <class V>
void fit(V& v) {
  if (v.capacity() > v.size() + v.size() / 8 + 16) v.shrink_to_fit();
}

}  // namespace

bool ColBuilder::add(const char* p, std::size_t n, bool missing) {
  ++rows_;
  if (st_ == St::Declared) return add_declared(p, n, missing);
  if (st_ == St::Text) {
    if (missing) {
      text_.append_missing();
      ++nmiss_;
    } else {
      text_.append(std::string_view(p, n));
    }
    return true;
  }
  if (missing) {
    valid_.push(false);
    ++nmiss_;
    if (have_arena_) ends_.push_back(arena_.size());
    push_missing_typed();
    return true;
  }
  std::int64_t iv = 0;
  double dv = 0;
  const Kind k = classify(p, n, iv, dv);
  // Integer columns in canonical form can be rebuilt as text from their
  // values, so they keep no cell texts until something else shows up.
  if (!have_arena_) {
    const bool canonical = k == Kind::Int && p[0] != '+' && !(n == 2 && p[0] == '-' && p[1] == '0');
    if (!(canonical && (st_ == St::Empty || st_ == St::Int))) materialize_arena();
  }
  if (have_arena_) {
    arena_.append(p, n);
    ends_.push_back(arena_.size());
  }
  valid_.push(true);
  switch (st_) {
    case St::Empty:
      if (k == Kind::Int || k == Kind::Bool) {
        st_ = k == Kind::Int ? St::Int : St::Bool;
        kernels::reserve_large(i64_, reserve_);
        i64_.assign(rows_ - 1, 0);
        i64_.push_back(iv);
      } else if (k == Kind::Float) {
        st_ = St::Float;
        kernels::reserve_large(f64_, reserve_);
        f64_.assign(rows_ - 1, kNaN);
        f64_.push_back(dv);
      } else {
        to_text();
      }
      break;
    case St::Int:
      if (k == Kind::Int) {
        i64_.push_back(iv);
      } else if (k == Kind::Float) {
        ints_to_floats();
        f64_.push_back(dv);
      } else {
        to_text();
      }
      break;
    case St::Float:
      if (k == Kind::Float || k == Kind::Int)
        f64_.push_back(k == Kind::Int ? static_cast<double>(iv) : dv);
      else
        to_text();
      break;
    case St::Bool:
      if (k == Kind::Bool)
        i64_.push_back(iv);
      else
        to_text();
      break;
    case St::Text:
    case St::Declared: break;
  }
  return true;
}

Column ColBuilder::finish(Finished* info) {
  Column c;
  if (info) *info = Finished{st_, false, {}};
  switch (st_) {
    case St::Empty:
      // No present cell: a float column of NaN (an empty chunk gives an
      // empty text column, as a table library types it "object").
      if (rows_ == 0)
        c = Column::texts(std::vector<std::string>{});
      else
        c = Column::floats(std::vector<double>(rows_, kNaN));
      break;
    // Missing cells keep the integer type (marked), never a float column
    // that would round integers beyond 2^53.
    case St::Int: fit(i64_); c = Column::ints(std::move(i64_), take_valid()); break;
    case St::Float: fit(f64_); c = Column::floats(std::move(f64_)); break;
    case St::Bool: c = Column::bools(std::vector<std::uint8_t>(i64_.begin(), i64_.end()), take_valid()); break;
    case St::Text: c = text_.finish(); break;
    case St::Declared: c = finish_declared(); break;
  }
  if (info && keep_raw_ && have_arena_ && st_ != St::Text) {
    info->raw = true;
    info->cells.resize(arena_.size() + ends_.size());
    char* out = info->cells.data();
    std::size_t b = 0;
    for (const std::size_t e : ends_) {
      std::memcpy(out, arena_.data() + b, e - b);
      out += e - b;
      *out++ = '\0';
      b = e;
    }
  }
  // Scratch buffers keep their capacity for the next chunk.
  if (st_ != St::Declared) st_ = St::Empty;
  have_arena_ = false;
  rows_ = nmiss_ = 0;
  i64_.clear();
  f64_.clear();
  valid_.clear();
  arena_.clear();
  ends_.clear();
  return c;
}

void ColBuilder::release() {
  ColBuilder fresh;
  if (st_ == St::Declared) fresh.declare(declared_);
  fresh.keep_raw_ = keep_raw_;
  *this = std::move(fresh);
}

bool ColBuilder::add_declared(const char* p, std::size_t n, bool missing) {
  if (rows_ == 1) {
    valid_.reserve(reserve_);
    if (declared_ == DType::Float64) kernels::reserve_large(f64_, reserve_);
    else if (declared_ == DType::Text) text_.reserve(reserve_);
    else kernels::reserve_large(i64_, reserve_);
  }
  if (declared_ == DType::Text) {
    if (missing) {
      ++nmiss_;
      text_.append_missing();
    } else {
      text_.append(std::string_view(p, n));
    }
    return true;
  }
  if (missing) {
    ++nmiss_;
    valid_.push(false);
    if (declared_ == DType::Float64) f64_.push_back(kNaN);
    else i64_.push_back(0);
    return true;
  }
  valid_.push(true);
  std::int64_t iv = 0;
  double dv = 0;
  switch (declared_) {
    case DType::Int64:
      if (!parse_int_cell(p, n, iv)) return false;
      i64_.push_back(iv);
      return true;
    case DType::Float64:
      if (!parse_float_cell(p, n, dv)) return false;
      f64_.push_back(dv);
      return true;
    case DType::Bool:
      if (eq(p, n, "True") || eq(p, n, "TRUE") || eq(p, n, "true")) i64_.push_back(1);
      else if (eq(p, n, "False") || eq(p, n, "FALSE") || eq(p, n, "false")) i64_.push_back(0);
      else return false;
      return true;
    case DType::Date: {
      // The text's own calendar day, whatever time or zone follows it.
      const auto d = try_parse_date_text(std::string_view(p, n));
      if (!d) return false;
      i64_.push_back(d->days);
      return true;
    }
    case DType::Timestamp: {
      const auto ns = try_parse_datetime_ns(std::string_view(p, n));
      if (!ns) return false;
      i64_.push_back(*ns);
      return true;
    }
    default: return false;
  }
}

Column ColBuilder::finish_declared() {
  switch (declared_) {
    case DType::Float64: fit(f64_); return Column::floats(std::move(f64_));
    case DType::Text: return text_.finish();
    case DType::Int64: fit(i64_); return Column::ints(std::move(i64_), take_valid());
    case DType::Bool: return Column::bools(std::vector<std::uint8_t>(i64_.begin(), i64_.end()), take_valid());
    case DType::Date: return Column::dates(std::vector<std::int32_t>(i64_.begin(), i64_.end()), take_valid());
    default: fit(i64_); return Column::timestamps(std::move(i64_), {}, take_valid());
  }
}


void ColBuilder::push_missing_typed() {
  switch (st_) {
    case St::Int:
    case St::Bool: i64_.push_back(0); break;
    case St::Float: f64_.push_back(kNaN); break;
    default: break;
  }
}

void ColBuilder::ints_to_floats() {
  f64_.clear();
  kernels::reserve_large(f64_, std::max(reserve_, i64_.size() + 1));
  for (std::size_t i = 0; i < i64_.size(); ++i)
    f64_.push_back(valid_.present(i) ? static_cast<double>(i64_[i]) : kNaN);
  std::vector<std::int64_t>().swap(i64_);
  st_ = St::Float;
}

void ColBuilder::materialize_arena() {
  char buf[24];
  for (std::size_t i = 0; i < valid_.size(); ++i) {
    if (valid_.present(i) && st_ == St::Int) {
      auto r = std::to_chars(buf, buf + sizeof buf, i64_[i]);
      arena_.append(buf, r.ptr);
    }
    ends_.push_back(arena_.size());
  }
  have_arena_ = true;
}

void ColBuilder::to_text() {
  text_.reserve(std::max(reserve_, rows_));
  std::size_t b = 0;
  for (std::size_t i = 0; i < ends_.size(); ++i) {
    if (valid_.present(i))
      text_.append(std::string_view(arena_.data() + b, ends_[i] - b));
    else
      text_.append_missing();
    b = ends_[i];
  }
  valid_.clear();
  std::string().swap(arena_);
  have_arena_ = false;
  std::vector<std::size_t>().swap(ends_);
  std::vector<std::int64_t>().swap(i64_);
  std::vector<double>().swap(f64_);
  st_ = St::Text;
}
}  // namespace quorin_data::formats::csv_detail
