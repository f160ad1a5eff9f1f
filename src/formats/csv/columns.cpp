// Cell rules and the column builder: each undeclared column is typed by
// demotion (int64 -> float64 -> text, or bool -> text) as its cells arrive.
// Cells are kept as raw bytes in a per-column arena until the column is known
// to be numeric, so a demotion to text keeps the cells exactly as written.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <utility>

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

constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

constexpr std::uint64_t kPow10u[] = {1ull,
                                     10ull,
                                     100ull,
                                     1000ull,
                                     10000ull,
                                     100000ull,
                                     1000000ull,
                                     10000000ull,
                                     100000000ull,
                                     1000000000ull,
                                     10000000000ull,
                                     100000000000ull,
                                     1000000000000ull,
                                     10000000000000ull,
                                     100000000000000ull,
                                     1000000000000000ull,
                                     10000000000000000ull,
                                     100000000000000000ull,
                                     1000000000000000000ull,
                                     10000000000000000000ull};

// Eight ASCII digits, the first in the low byte: all of them digits?
inline bool eight_digits(std::uint64_t v) {
  return ((v & 0xF0F0F0F0F0F0F0F0u) | (((v + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) >> 4)) ==
         0x3333333333333333u;
}

// Their value: pairs, then fours, then all eight, by multiplies.
inline std::uint64_t eight_digit_value(std::uint64_t v) {
  v -= 0x3030303030303030u;
  v = v * 10 + (v >> 8);
  return (((v & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
          (((v >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >>
         32;
}

// The run of digits from p[i]: returns where it ends, with `acc` times ten
// per digit plus the digits (it wraps past 19 digits in all; callers count
// them). Eight at a time while that many are left; then, in a cell of
// eight bytes or more, the last (up to seven) at once when all are digits:
// its last eight bytes with those before them read as '0', so that the
// number of digits left takes no branch.
inline std::size_t digit_run(const char* p, std::size_t i, std::size_t n, std::uint64_t& acc) {
  if constexpr (std::endian::native == std::endian::little) {
    while (n - i >= 8) {
      std::uint64_t v;
      std::memcpy(&v, p + i, 8);
      if (!eight_digits(v)) break;
      acc = acc * 100000000u + eight_digit_value(v);
      i += 8;
    }
    if (n >= 8 && n - i < 8) {
      const std::size_t k = n - i;
      std::uint64_t v;
      std::memcpy(&v, p + n - 8, 8);
      const std::uint64_t keep = (~std::uint64_t{0} << (8 * (7 - k))) << 8;  // the top k bytes
      v = (v & keep) | (0x3030303030303030u & ~keep);
      if (eight_digits(v)) {
        acc = acc * kPow10u[k] + eight_digit_value(v);
        return n;
      }
    }
  }
  while (i < n && static_cast<unsigned>(p[i] - '0') < 10) acc = acc * 10 + static_cast<unsigned>(p[i++] - '0');
  return i;
}

// acc / 10^f correctly rounded to nearest, ties to even, for acc > 0 and
// f <= 19, where a double cannot hold the digits (more than 15 of them).
struct Reciprocal {
  unsigned __int128 r;  // floor(2^(127 + s) / 10^f), in [2^127, 2^128)
  int s;
};

constexpr std::uint64_t pow10u(int f) {
  std::uint64_t v = 1;
  while (f-- > 0) v *= 10;
  return v;
}

constexpr Reciprocal reciprocal(int f) {
  const std::uint64_t d = pow10u(f);
  const int s = std::bit_width(d - 1);
  unsigned __int128 q = 0, r = 1;  // long division of 2^(127 + s) by d
  for (int i = 0; i < 127 + s; ++i) {
    r <<= 1;
    q <<= 1;
    if (r >= d) {
      r -= d;
      q |= 1;
    }
  }
  return {q, s};
}

template <std::size_t... F>
constexpr std::array<Reciprocal, sizeof...(F)> reciprocals(std::index_sequence<F...>) {
  return {reciprocal(static_cast<int>(F))...};
}

constexpr auto kReciprocals = reciprocals(std::make_index_sequence<20>{});

inline double double_of(std::uint64_t mant, int e) {  // mant in [2^52, 2^53], value mant * 2^e
  if (mant == (std::uint64_t{1} << 53)) {
    mant >>= 1;
    ++e;
  }
  return std::bit_cast<double>((static_cast<std::uint64_t>(e + 52 + 1023) << 52) |
                               (mant & ((std::uint64_t{1} << 52) - 1)));
}

// The exact way: the normalized digits over the power of ten as one 128-bit
// quotient, its top 54 bits and the remainder settling the rounding.
double exact_quotient_slow(std::uint64_t acc, int f) {
  const std::uint64_t d = pow10u(f);
  const int lz = std::countl_zero(acc);
  const unsigned __int128 num = static_cast<unsigned __int128>(acc << lz) << 64;
  const unsigned __int128 q = num / d;  // at least 2^63
  const bool rest = static_cast<std::uint64_t>(num - q * d) != 0;
  const auto hi = static_cast<std::uint64_t>(q >> 64);
  const int bits = hi ? 128 - std::countl_zero(hi) : 64 - std::countl_zero(static_cast<std::uint64_t>(q));
  const int shift = bits - 54;  // at least 10
  const auto top = static_cast<std::uint64_t>(q >> shift);
  const bool sticky = rest || (q & ((static_cast<unsigned __int128>(1) << shift) - 1)) != 0;
  const std::uint64_t mant = top >> 1;
  const bool up = (top & 1) && (sticky || (mant & 1));
  return double_of(mant + up, shift + 1 - 64 - lz);
}

// The quick way: the digits times a 128-bit reciprocal of the power of ten.
// The product's top 128 bits are the exact ones or one below, which changes
// the rounding only when the bits under the kept 53 are a half or one below
// it; those few take the exact way.
inline double exact_quotient(std::uint64_t acc, int f) {
  const Reciprocal& rc = kReciprocals[static_cast<std::size_t>(f)];
  const int lz = std::countl_zero(acc);
  const std::uint64_t a = acc << lz;
  const unsigned __int128 lo = static_cast<unsigned __int128>(a) * static_cast<std::uint64_t>(rc.r);
  const unsigned __int128 top = static_cast<unsigned __int128>(a) * static_cast<std::uint64_t>(rc.r >> 64) + (lo >> 64);
  const int shift = (static_cast<std::uint64_t>(top >> 127) ? 127 : 126) - 52;
  const unsigned __int128 one = 1;
  const unsigned __int128 rem = top & ((one << shift) - 1), half = one << (shift - 1);
  if (rem == half || rem == half - 1) return exact_quotient_slow(acc, f);
  const auto mant = static_cast<std::uint64_t>(top >> shift) + (rem > half ? 1 : 0);
  return double_of(mant, shift + 64 - lz - 127 - rc.s);
}

}  // namespace

// Classifies a present cell in one pass over its digits. Integers: optional
// sign, digits, no leading zero (so "00123" stays an identifier), within
// int64 (larger ones stay text, never a rounded float). A decimal
// "[-]digits.digits" of at most 15 digits is read exactly: its digits as an
// integer (below 2^53) divided by a power of ten (exact up to 10^22) is the
// correctly rounded value, the one from_chars gives; up to 19 digits the
// quotient is taken in 128-bit integers; anything else is left to
// from_chars. Its plain form "[-](0|[1-9][0-9]*).[0-9]+" (what a value
// rebuilds) is noted, with all the digits past 15 (up to 19).
Kind classify(const char* p, std::size_t n, std::int64_t& iv, double& dv, PlainForm& plain) {
  plain.frac = -1;
  if (n == 0) return Kind::Text;
  const bool neg = p[0] == '-', pos = p[0] == '+';
  const std::size_t i = neg || pos ? 1 : 0;
  std::uint64_t acc = 0;
  // One digit before a point, the most common shape of a decimal: its
  // digit at once, not as a run.
  const bool unit = n > i + 2 && p[i + 1] == '.' && static_cast<unsigned>(p[i] - '0') < 10;
  if (unit) acc = static_cast<unsigned>(p[i] - '0');
  const std::size_t j = unit ? i + 1 : digit_run(p, i, n, acc);
  if (j == n && j > i) {
    if (j - i > 1 && p[i] == '0') return Kind::Text;
    if (j - i <= 18) {  // below 10^18: no overflow, the digits are the value
      iv = neg ? -static_cast<std::int64_t>(acc) : static_cast<std::int64_t>(acc);
      return Kind::Int;
    }
    const char* b = pos ? p + 1 : p;
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
  std::size_t int_digits = 0, frac = 0;  // of "[-]digits.digits", when the cell is one
  if (!pos && j > i && j + 1 < n && p[j] == '.' && digit_run(p, j + 1, n, acc) == n) {
    int_digits = j - i;
    frac = n - j - 1;
  }
  const bool leading_zero = int_digits > 1 && p[i] == '0';
  if (int_digits != 0 && int_digits + frac <= 15) {
    const double x = static_cast<double>(acc) / kPow10[frac];
    dv = neg ? -x : x;
    if (!leading_zero) plain.frac = static_cast<int>(frac);
    return Kind::Float;
  }
  if (int_digits != 0 && int_digits + frac <= 19) {
    const double x = acc == 0 ? 0.0 : exact_quotient(acc, static_cast<int>(frac));
    dv = neg ? -x : x;
    if (!leading_zero) {
      plain.frac = static_cast<int>(frac);
      plain.wide = true;
      plain.digits = acc;
    }
    return Kind::Float;
  }
  const char* b = p;
  if (pos && n > 1 && p[1] != '-' && p[1] != '+') b = p + 1;
  auto r = std::from_chars(b, p + n, dv);
  if (r.ec != std::errc() || r.ptr != p + n || std::isnan(dv)) return Kind::Text;
  if (int_digits != 0 && int_digits + frac <= 19 && !leading_zero) {
    plain.frac = static_cast<int>(frac);
    plain.wide = true;
    plain.digits = acc;
  }
  return Kind::Float;
}

namespace {

// Cell forms (ColBuilder::forms_): a cell rebuilt from its value, or kRaw.
constexpr std::uint8_t kMissing = 0;
constexpr std::uint8_t kRaw = 1;     // bytes kept as written
constexpr std::uint8_t kInt = 2;     // canonical integer: the value's own digits
constexpr std::uint8_t kBool = 3;    // + spelling (kBoolTexts)
constexpr std::uint8_t kFixed = 16;  // + f: "[-]int.frac" of at most 15 digits, f after the point
constexpr std::uint8_t kWide = 64;   // + 32 if negative + f: 16 to 19 digits, kept in wide_
constexpr const char* kBoolTexts[] = {"True", "TRUE", "true", "False", "FALSE", "false"};
constexpr std::int64_t kExactInt = std::int64_t{1} << 53;

// An integer cell its value rebuilds as written (no '+', not "-0").
inline bool canonical_int(const char* p, std::size_t n) {
  return p[0] != '+' && !(n == 2 && p[0] == '-' && p[1] == '0');
}

// A bool cell spelled "True" or "False" (what its value rebuilds).
inline bool title_bool(const char* p) { return (p[0] == 'T' || p[0] == 'F') && (p[1] == 'r' || p[1] == 'a'); }

}  // namespace

bool ColBuilder::add(const char* p, std::size_t n, bool missing) {
  ++rows_;
  if (st_ == St::Declared) return add_declared(p, n, missing);
  if (st_ == St::Text) {
    add_text(p, n, missing);
    return true;
  }
  if (missing) {
    add_missing_typed();
    return true;
  }
  std::int64_t iv = 0;
  double dv = 0;
  PlainForm plain;
  const Kind k = classify(p, n, iv, dv, plain);
  St next = St::Text;
  switch (st_) {
    case St::Empty: next = k == Kind::Int ? St::Int : k == Kind::Bool ? St::Bool : k == Kind::Float ? St::Float : St::Text; break;
    case St::Int: next = k == Kind::Int ? St::Int : k == Kind::Float ? St::Float : St::Text; break;
    case St::Float: next = k == Kind::Float || k == Kind::Int ? St::Float : St::Text; break;
    case St::Bool: next = k == Kind::Bool ? St::Bool : St::Text; break;
    case St::Text:
    case St::Declared: break;
  }
  if (next == St::Text) {
    to_text();
    text_.append(std::string_view(p, n));
    return true;
  }
  // Integer columns in canonical form and bool columns spelled "True" and
  // "False" can be rebuilt as text from their values, so they keep no forms
  // until something else shows up.
  if (!have_forms_) {
    const bool canonical = k == Kind::Int && canonical_int(p, n);
    const bool title = k == Kind::Bool && title_bool(p);
    if (!((canonical && next == St::Int) || (title && next == St::Bool))) start_forms();
  }
  if (have_forms_) push_form(p, n, k, iv, plain, next);
  valid_.push(true);
  if (st_ == St::Empty) {
    if (next == St::Float) {
      kernels::reserve_large(f64_, reserve_);
      f64_.assign(rows_ - 1, kNaN);
    } else if (next == St::Bool) {
      kernels::reserve_large(b8_, reserve_);
      b8_.assign(rows_ - 1, 0);
    } else {
      kernels::reserve_large(i64_, reserve_);
      i64_.assign(rows_ - 1, 0);
    }
    st_ = next;
  } else if (st_ == St::Int && next == St::Float) {
    ints_to_floats();
  }
  if (st_ == St::Float)
    f64_.push_back(k == Kind::Int ? static_cast<double>(iv) : dv);
  else if (st_ == St::Bool)
    b8_.push_back(iv != 0);
  else
    i64_.push_back(iv);
  return true;
}

bool ColBuilder::add_run(const CellRun& run, std::size_t& at, std::string& scratch) {
  // Room for the run's cells: a column past its reserve doubles on huge pages.
  switch (st_) {
    case St::Float: kernels::room_for(f64_, run.rows); break;
    case St::Int: kernels::room_for(i64_, run.rows); break;
    case St::Bool: kernels::room_for(b8_, run.rows); break;
    case St::Declared:
      if (declared_ == DType::Float64) kernels::room_for(f64_, run.rows);
      else if (declared_ == DType::Bool) kernels::room_for(b8_, run.rows);
      else if (declared_ != DType::Text) kernels::room_for(i64_, run.rows);
      break;
    case St::Text:
    case St::Empty: break;
  }
  if (have_forms_) kernels::room_for(forms_, run.rows);
  std::size_t r = 0;
  try {
    while (r < run.rows) {
      switch (st_) {
        case St::Text: text_stretch(run, r); break;
        case St::Float: typed_stretch<St::Float>(run, r); break;
        case St::Int: typed_stretch<St::Int>(run, r); break;
        case St::Bool: typed_stretch<St::Bool>(run, r); break;
        case St::Empty:
        case St::Declared: break;
      }
      if (r == run.rows) break;
      // The cell the stretch stopped at, the general way.
      if (run.col >= run.nf[r]) {
        add_missing();
      } else {
        const Field& f = run.fields[r * run.slots + run.col];
        const char* p = f.b;
        std::size_t n = f.n;
        if (f.raw) {
          scratch = decode_quoted(f.b, f.n);
          p = scratch.data();
          n = scratch.size();
        }
        if (!add(p, n, (*run.missing)(p, n, f.quoted))) {
          if (p != scratch.data()) scratch.assign(p, n);
          at = r;
          return false;
        }
      }
      ++r;
    }
  } catch (...) {
    at = r;
    throw;
  }
  at = r;
  return true;
}

void ColBuilder::text_stretch(const CellRun& run, std::size_t& r) {
  const MissingTexts& missing = *run.missing;
  for (; r < run.rows; ++r) {
    if (run.col >= run.nf[r]) {
      ++rows_;
      add_text("", 0, true);
      continue;
    }
    const Field& f = run.fields[r * run.slots + run.col];
    if (f.raw) return;
    ++rows_;
    add_text(f.b, f.n, missing(f.b, f.n, f.quoted));
  }
}

template <St S>
void ColBuilder::typed_stretch(const CellRun& run, std::size_t& r) {
  const MissingTexts& missing = *run.missing;
  for (; r < run.rows; ++r) {
    if (run.col >= run.nf[r]) return;
    const Field& f = run.fields[r * run.slots + run.col];
    if (f.raw) return;
    const char* p = f.b;
    const std::size_t n = f.n;
    if (missing(p, n, f.quoted)) {
      ++rows_;
      add_missing_typed();
      continue;
    }
    std::int64_t iv = 0;
    double dv = 0;
    PlainForm plain;
    Kind k;
    if (S == St::Bool && n == 4 && std::memcmp(p, "True", 4) == 0) {
      k = Kind::Bool;  // the usual spellings without the general rules
      iv = 1;
    } else if (S == St::Bool && n == 5 && std::memcmp(p, "False", 5) == 0) {
      k = Kind::Bool;
    } else {
      k = classify(p, n, iv, dv, plain);
    }
    if constexpr (S == St::Float) {
      if (k != Kind::Float && k != Kind::Int) return;
    } else if constexpr (S == St::Int) {
      if (k != Kind::Int) return;
    } else {
      if (k != Kind::Bool) return;
    }
    ++rows_;
    // As in add(): canonical integers and "True"/"False" keep no forms.
    if (!have_forms_) {
      const bool implicit = (S == St::Int && canonical_int(p, n)) || (S == St::Bool && title_bool(p));
      if (!implicit) start_forms();
    }
    if (have_forms_) push_form(p, n, k, iv, plain, S);
    valid_.push(true);
    if constexpr (S == St::Float)
      f64_.push_back(k == Kind::Int ? static_cast<double>(iv) : dv);
    else if constexpr (S == St::Bool)
      b8_.push_back(iv != 0);
    else
      i64_.push_back(iv);
  }
}

void ColBuilder::push_form(const char* p, std::size_t n, Kind k, std::int64_t iv, const PlainForm& plain,
                           St next) {
  std::uint8_t form = kRaw;
  if (k == Kind::Int) {
    const bool canonical = canonical_int(p, n);
    // A float column keeps an integer exactly only up to 2^53.
    if (canonical && (next == St::Int || (iv <= kExactInt && iv >= -kExactInt))) form = kInt;
  } else if (k == Kind::Bool) {
    for (std::uint8_t b = 0; b < 6; ++b)
      if (std::strlen(kBoolTexts[b]) == n && std::memcmp(kBoolTexts[b], p, n) == 0) form = kBool + b;
  } else if (plain.frac >= 0) {  // a float: its plain form as classify found it
    if (!plain.wide) {
      form = static_cast<std::uint8_t>(kFixed + plain.frac);
    } else {
      form = static_cast<std::uint8_t>(kWide + (p[0] == '-' ? 32 : 0) + plain.frac);
      // Room for the rest of the chunk at once: such a column is mostly wide.
      if (wide_.size() == wide_.capacity()) kernels::reserve_large(wide_, std::max(reserve_, 2 * wide_.size() + 16));
      wide_.push_back(plain.digits);
    }
  }
  if (form == kRaw) {
    arena_.append(p, n);
    raw_lens_.push_back(n);
  }
  forms_.push_back(form);
}

// The form of cell i while the column keeps none: a canonical integer, or
// a bool spelled "True" or "False".
std::uint8_t ColBuilder::implicit_form(std::size_t i) const {
  if (!valid_.present(i)) return kMissing;
  if (st_ == St::Bool) return b8_[i] ? kBool : kBool + 3;
  return kInt;
}

template <class F>
void ColBuilder::each_cell(F&& f) const {
  char buf[48];
  std::size_t raw_at = 0, raw_k = 0, wide_k = 0;
  const std::size_t n = have_forms_ ? forms_.size() : valid_.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t form = have_forms_ ? forms_[i] : implicit_form(i);
    if (form == kMissing) {
      f(false, std::string_view());
    } else if (form == kRaw) {
      const std::size_t len = raw_lens_[raw_k++];
      f(true, std::string_view(arena_.data() + raw_at, len));
      raw_at += len;
    } else if (form == kInt) {
      const std::int64_t v = st_ == St::Float ? static_cast<std::int64_t>(f64_[i]) : i64_[i];
      const auto r = std::to_chars(buf, buf + sizeof buf, v);
      f(true, std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
    } else if (form < kFixed) {
      f(true, std::string_view(kBoolTexts[form - kBool]));
    } else if (form < kWide) {
      const auto r = std::to_chars(buf, buf + sizeof buf, f64_[i], std::chars_format::fixed, form - kFixed);
      f(true, std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
    } else {
      const unsigned frac = (form - kWide) & 31;
      const std::uint64_t m = wide_[wide_k++];
      char* o = buf;
      if ((form - kWide) & 32) *o++ = '-';
      o = std::to_chars(o, buf + sizeof buf, m / kPow10u[frac]).ptr;
      *o++ = '.';
      std::uint64_t rest = m % kPow10u[frac];
      for (unsigned d = frac; d-- > 0; rest /= 10) o[d] = static_cast<char>('0' + rest % 10);
      o += frac;
      f(true, std::string_view(buf, static_cast<std::size_t>(o - buf)));
    }
  }
}

Column ColBuilder::finish(Finished* info) {
  Column c;
  if (info) *info = Finished{st_, false, {}};
  // The cells' texts are rebuilt before the buffers move into the column.
  if (info && keep_raw_ && have_forms_ && st_ != St::Text) {
    info->raw = true;
    each_cell([&](bool, std::string_view t) {
      info->cells.append(t);
      info->cells.push_back('\0');
    });
  }
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
    case St::Int: kernels::fit(i64_); c = Column::ints(std::move(i64_), take_valid()); break;
    case St::Float: kernels::fit(f64_); c = Column::floats(std::move(f64_)); break;
    case St::Bool: kernels::fit(b8_); c = Column::bools(std::move(b8_), take_valid()); break;
    case St::Text: c = text_.finish(); break;
    case St::Declared: c = finish_declared(); break;
  }
  // Scratch buffers keep their capacity for the next chunk.
  if (st_ != St::Declared) st_ = St::Empty;
  have_forms_ = false;
  rows_ = nmiss_ = 0;
  i64_.clear();
  f64_.clear();
  b8_.clear();
  valid_.clear();
  forms_.clear();
  arena_.clear();
  raw_lens_.clear();
  wide_.clear();
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
    else if (declared_ == DType::Bool) kernels::reserve_large(b8_, reserve_);
    else if (declared_ == DType::Text) text_.reserve(reserve_);
    else kernels::reserve_large(i64_, reserve_);
  }
  if (declared_ == DType::Text) {
    add_text(p, n, missing);
    return true;
  }
  if (missing) {
    ++nmiss_;
    valid_.push(false);
    if (declared_ == DType::Float64) f64_.push_back(kNaN);
    else if (declared_ == DType::Bool) b8_.push_back(0);
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
      if (eq(p, n, "True") || eq(p, n, "TRUE") || eq(p, n, "true")) b8_.push_back(1);
      else if (eq(p, n, "False") || eq(p, n, "FALSE") || eq(p, n, "false")) b8_.push_back(0);
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
    case DType::Float64: kernels::fit(f64_); return Column::floats(std::move(f64_));
    case DType::Text: return text_.finish();
    case DType::Int64: kernels::fit(i64_); return Column::ints(std::move(i64_), take_valid());
    case DType::Bool: kernels::fit(b8_); return Column::bools(std::move(b8_), take_valid());
    case DType::Date: return Column::dates(std::vector<std::int32_t>(i64_.begin(), i64_.end()), take_valid());
    default: kernels::fit(i64_); return Column::timestamps(std::move(i64_), {}, take_valid());
  }
}


void ColBuilder::add_missing_typed() {
  valid_.push(false);
  ++nmiss_;
  if (have_forms_) forms_.push_back(kMissing);
  switch (st_) {
    case St::Int: i64_.push_back(0); break;
    case St::Bool: b8_.push_back(0); break;
    case St::Float: f64_.push_back(kNaN); break;
    default: break;
  }
}

void ColBuilder::ints_to_floats() {
  // Integers past 2^53 turn inexact: their cells keep their bytes.
  bool inexact = false;
  for (std::size_t i = 0; i < i64_.size() && !inexact; ++i)
    inexact = valid_.present(i) && (i64_[i] > kExactInt || i64_[i] < -kExactInt);
  if (inexact) {
    std::string arena;
    std::vector<std::size_t> lens;
    std::size_t i = 0, k = 0, at = 0;
    char buf[24];
    for (std::uint8_t& form : forms_) {
      if (form == kRaw) {
        arena.append(arena_, at, raw_lens_[k]);
        lens.push_back(raw_lens_[k]);
        at += raw_lens_[k++];
      } else if (form == kInt && i < i64_.size() && (i64_[i] > kExactInt || i64_[i] < -kExactInt)) {
        const auto r = std::to_chars(buf, buf + sizeof buf, i64_[i]);
        arena.append(buf, r.ptr);
        lens.push_back(static_cast<std::size_t>(r.ptr - buf));
        form = kRaw;
      }
      ++i;
    }
    arena_ = std::move(arena);
    raw_lens_ = std::move(lens);
  }
  f64_.clear();
  kernels::reserve_large(f64_, std::max(reserve_, i64_.capacity()));
  for (std::size_t i = 0; i < i64_.size(); ++i)
    f64_.push_back(valid_.present(i) ? static_cast<double>(i64_[i]) : kNaN);
  std::vector<std::int64_t>().swap(i64_);
  st_ = St::Float;
}

void ColBuilder::start_forms() {
  forms_.reserve(std::max(reserve_, valid_.size() + 1));
  for (std::size_t i = 0; i < valid_.size(); ++i) forms_.push_back(implicit_form(i));
  have_forms_ = true;
}

void ColBuilder::to_text() {
  text_.reserve(std::max(reserve_, rows_));
  each_cell([&](bool present, std::string_view t) {
    if (present)
      text_.append(t);
    else
      text_.append_missing();
  });
  valid_.clear();
  have_forms_ = false;
  std::vector<std::uint8_t>().swap(forms_);
  std::string().swap(arena_);
  std::vector<std::size_t>().swap(raw_lens_);
  std::vector<std::uint64_t>().swap(wide_);
  std::vector<std::int64_t>().swap(i64_);
  std::vector<double>().swap(f64_);
  std::vector<std::uint8_t>().swap(b8_);
  st_ = St::Text;
}
}  // namespace quorin_data::formats::csv_detail
