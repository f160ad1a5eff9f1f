// CSV reading (whole text or lazily by chunks from a byte source) and writing.
//
// Reading: RFC 4180 records ("" inside quoted fields, line ends inside
// quoted fields), "\n", "\r\n" or "\r" line ends, blank lines skipped, a
// leading UTF-8 byte-order mark skipped. An undeclared column is typed by
// demotion: int64 -> float64 -> text, or bool -> text (per chunk when a
// caller takes chunks one by one). Cells are kept as raw bytes in a
// per-column arena until the column is known to be numeric, so a demotion
// to text keeps the cells exactly as written; a read by chunks that joins
// them keeps those arenas until the join, for the same reason. An unquoted
// cell that is one of the missing markers ("", "NaN", "nan", "NA", "null",
// ...) is missing; a quoted cell is never missing (but an empty one), so a
// text "NA" written quoted reads back as itself.
#include "quorin_data/formats/csv.hpp"

#include "quorin_data/core/zones.hpp"

#include <algorithm>
#include <charconv>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <cstring>
#include <memory>
#include <sstream>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <unordered_map>
#include <unordered_set>

#include "quorin_data/core/errors.hpp"

namespace quorin_data::formats {

namespace {

[[noreturn]] void fail_line(const std::string& source, std::size_t line, const std::string& what) {
  throw FormatError("CSV", source, "line " + std::to_string(line), what);
}

template <std::size_t N>
bool eq(const char* p, std::size_t n, const char (&lit)[N]) {
  return n == N - 1 && std::memcmp(p, lit, N - 1) == 0;
}

// The missing-value markers of a table library's CSV reader.
bool is_na(const char* p, std::size_t n) {
  if (n == 0) return true;
  if (n > 8) return false;
  switch (p[0]) {
    case 'N':
      return eq(p, n, "NA") || eq(p, n, "NaN") || eq(p, n, "N/A") || eq(p, n, "NULL") || eq(p, n, "None");
    case 'n': return eq(p, n, "nan") || eq(p, n, "n/a") || eq(p, n, "null");
    case '#': return eq(p, n, "#NA") || eq(p, n, "#N/A") || eq(p, n, "#N/A N/A");
    case '<': return eq(p, n, "<NA>");
    case '-': return eq(p, n, "-NaN") || eq(p, n, "-nan") || eq(p, n, "-1.#IND") || eq(p, n, "-1.#QNAN");
    case '1': return eq(p, n, "1.#IND") || eq(p, n, "1.#QNAN");
    default: return false;
  }
}

// Which cells are missing: the usual markers and/or the caller's texts.
class MissingTexts {
 public:
  explicit MissingTexts(const CsvOptions& o) : defaults_(o.default_missing), extra_(o.missing) {
    empty_ = defaults_;
    for (const auto& t : extra_) empty_ = empty_ || t.empty();
  }
  bool operator()(const char* p, std::size_t n, bool quoted) const {
    if (n == 0) return empty_;
    if (quoted) return false;
    if (defaults_ && is_na(p, n)) return true;
    for (const auto& t : extra_)
      if (t.size() == n && std::memcmp(t.data(), p, n) == 0) return true;
    return false;
  }

 private:
  bool defaults_, empty_ = true;
  std::vector<std::string> extra_;
};

enum class Kind { Int, Float, Bool, Text };

// Inference state of a column (Declared: its type was given).
enum class St { Empty, Int, Float, Bool, Text, Declared };

// What a finished chunk column needs for a later join: its state and, when
// its cells cannot be rebuilt from the values, their texts as written, each
// followed by a NUL (cells never hold one; a missing cell is empty): one byte
// a cell beyond the texts.
struct Finished {
  St st = St::Empty;
  bool raw = false;
  std::string cells;
};

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
  const char* b = p;
  if (p[0] == '+' && n > 1 && p[1] != '-' && p[1] != '+') b = p + 1;
  auto r = std::from_chars(b, p + n, dv);
  if (r.ec != std::errc() || r.ptr != p + n || std::isnan(dv)) return Kind::Text;
  return Kind::Float;
}

// Builds one column of a chunk with incremental type inference.
class ColBuilder {
 public:
  void set_reserve(std::size_t n) { reserve_ = n; }
  void declare(DType t) {
    declared_ = t;
    st_ = St::Declared;
  }
  // Keeps the cell texts of a non-text result for a later join.
  void keep_raw(bool on) { keep_raw_ = on; }

  // Adds a cell; false when it does not read as the declared type.
  bool add(const char* p, std::size_t n, bool missing) {
    ++rows_;
    if (st_ == St::Declared) return add_declared(p, n, missing);
    if (st_ == St::Text) {
      if (missing) {
        text_.emplace_back();
        ++nmiss_;
      } else {
        text_.emplace_back(p, n);
      }
      valid_.push_back(missing ? 0 : 1);
      return true;
    }
    if (missing) {
      valid_.push_back(0);
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
    valid_.push_back(1);
    switch (st_) {
      case St::Empty:
        if (k == Kind::Int || k == Kind::Bool) {
          st_ = k == Kind::Int ? St::Int : St::Bool;
          i64_.reserve(reserve_);
          i64_.assign(rows_ - 1, 0);
          i64_.push_back(iv);
        } else if (k == Kind::Float) {
          st_ = St::Float;
          f64_.reserve(reserve_);
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

  void add_missing() { add("", 0, true); }

  // The chunk's column; `info` (when given) receives what a join needs.
  Column finish(Finished* info = nullptr) {
    Column c;
    if (info) *info = Finished{st_, false, {}};
    switch (st_) {
      case St::Empty:
        // No present cell: a float column of NaN (an empty chunk gives an
        // empty text column, as a table library types it "object").
        if (rows_ == 0)
          c = Column(DType::Text);
        else
          c = Column::floats(std::vector<double>(rows_, kNaN));
        break;
      // Missing cells keep the integer type (marked), never a float column
      // that would round integers beyond 2^53.
      case St::Int: c = Column::ints(std::move(i64_), take_valid()); break;
      case St::Float: c = Column::floats(std::move(f64_)); break;
      case St::Bool: c = Column::bools(std::move(i64_), take_valid()); break;
      case St::Text: c = Column::texts(std::move(text_), take_valid()); break;
      case St::Declared: c = finish_declared(); break;
    }
    fit(c.f64);
    fit(c.i64);
    fit(c.text);
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
    text_.clear();
    valid_.clear();
    arena_.clear();
    ends_.clear();
    return c;
  }

  // Frees every scratch buffer (after the last chunk).
  void release() {
    ColBuilder fresh;
    if (st_ == St::Declared) fresh.declare(declared_);
    fresh.keep_raw_ = keep_raw_;
    *this = std::move(fresh);
  }

 private:
  std::vector<std::uint8_t> take_valid() { return nmiss_ ? std::move(valid_) : std::vector<std::uint8_t>{}; }

  bool add_declared(const char* p, std::size_t n, bool missing) {
    if (rows_ == 1) {
      valid_.reserve(reserve_);
      if (declared_ == DType::Float64) f64_.reserve(reserve_);
      else if (declared_ == DType::Text) text_.reserve(reserve_);
      else i64_.reserve(reserve_);
    }
    if (missing) {
      ++nmiss_;
      valid_.push_back(0);
      if (declared_ == DType::Float64) f64_.push_back(kNaN);
      else if (declared_ == DType::Text) text_.emplace_back();
      else i64_.push_back(0);
      return true;
    }
    valid_.push_back(1);
    std::int64_t iv = 0;
    double dv = 0;
    switch (declared_) {
      case DType::Text: text_.emplace_back(p, n); return true;
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

  Column finish_declared() {
    switch (declared_) {
      case DType::Float64: return Column::floats(std::move(f64_));
      case DType::Text: return Column::texts(std::move(text_), take_valid());
      case DType::Int64: return Column::ints(std::move(i64_), take_valid());
      case DType::Bool: return Column::bools(std::move(i64_), take_valid());
      case DType::Date: return Column::dates(std::move(i64_), take_valid());
      default: return Column::timestamps(std::move(i64_), {}, take_valid());
    }
  }

  template <class V>
  static void fit(V& v) {
    if (v.capacity() > v.size() + v.size() / 8 + 16) v.shrink_to_fit();
  }

  void push_missing_typed() {
    switch (st_) {
      case St::Int:
      case St::Bool: i64_.push_back(0); break;
      case St::Float: f64_.push_back(kNaN); break;
      default: break;
    }
  }

  void ints_to_floats() {
    f64_.clear();
    f64_.reserve(std::max(reserve_, i64_.size() + 1));
    for (std::size_t i = 0; i < i64_.size(); ++i)
      f64_.push_back(valid_[i] ? static_cast<double>(i64_[i]) : kNaN);
    std::vector<std::int64_t>().swap(i64_);
    st_ = St::Float;
  }

  // Writes the texts of the cells so far (missing ones or canonical ints).
  void materialize_arena() {
    char buf[24];
    for (std::size_t i = 0; i < valid_.size(); ++i) {
      if (valid_[i] && st_ == St::Int) {
        auto r = std::to_chars(buf, buf + sizeof buf, i64_[i]);
        arena_.append(buf, r.ptr);
      }
      ends_.push_back(arena_.size());
    }
    have_arena_ = true;
  }

  // Switches to text, restoring every cell so far from the arena.
  void to_text() {
    text_.reserve(std::max(reserve_, rows_));
    std::size_t b = 0;
    for (std::size_t i = 0; i < ends_.size(); ++i) {
      if (valid_[i])
        text_.emplace_back(arena_.data() + b, ends_[i] - b);
      else
        text_.emplace_back();
      b = ends_[i];
    }
    std::string().swap(arena_);
    have_arena_ = false;
    std::vector<std::size_t>().swap(ends_);
    std::vector<std::int64_t>().swap(i64_);
    std::vector<double>().swap(f64_);
    st_ = St::Text;
  }

  St st_ = St::Empty;
  DType declared_ = DType::Text;
  bool have_arena_ = false, keep_raw_ = false;
  std::size_t rows_ = 0, nmiss_ = 0, reserve_ = 0;
  std::vector<std::int64_t> i64_;
  std::vector<double> f64_;
  std::vector<std::string> text_;
  std::vector<std::uint8_t> valid_;
  std::string arena_;
  std::vector<std::size_t> ends_;
};

// Byte classes for the unquoted-field scan.
struct StopTable {
  bool stop[256] = {};
  StopTable() {
    stop[static_cast<unsigned char>(',')] = true;
    stop[static_cast<unsigned char>('\n')] = true;
    stop[static_cast<unsigned char>('\r')] = true;
    stop[0] = true;
  }
};
const StopTable kStop;

// The first byte at or after p that ends an unquoted field (',', a line end
// or NUL), or end. Sixteen bytes at a time while that many are left.
inline const char* skip_plain(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(','), lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
  const __m128i nul = _mm_setzero_si128();
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, comma), _mm_cmpeq_epi8(v, lf)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, nul)));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (bits != 0) return p + __builtin_ctz(bits);
    p += 16;
  }
#endif
  while (p < end && !kStop.stop[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

struct Field {
  const char* b;  // content (or, when `raw`, the whole field with its quotes)
  std::size_t n;
  bool quoted;
  bool raw;  // needs decoding: doubled quotes or bytes after the closing quote
};

std::string decode_quoted(const char* p, std::size_t n) {
  std::string s;
  s.reserve(n);
  std::size_t i = 1;  // past the opening quote
  bool inq = true;
  while (i < n) {
    const char c = p[i];
    if (inq && c == '"') {
      if (i + 1 < n && p[i + 1] == '"') {
        s.push_back('"');
        i += 2;
        continue;
      }
      inq = false;
      ++i;
      continue;
    }
    s.push_back(c);
    ++i;
  }
  return s;
}

// The record splitter and column builders shared by read_csv and the chunk
// reader. The data is a window [head, tail) of a buffer; `eof` says no more
// bytes will come.
class Engine {
 public:
  Engine(std::string source, ByteReader reader, const CsvOptions& options)
      : source_(std::move(source)), reader_(std::move(reader)), options_(options), missing_(options) {
    check_options();
  }
  Engine(std::string source, std::string_view text, const CsvOptions& options)
      : source_(std::move(source)), eof_(true), options_(options), missing_(options) {
    check_options();
    base_ = text.data();
    tail_ = text.size();
  }

  // Chunks keep the texts of their non-text columns for a later join.
  void keep_raw() { keep_raw_ = true; }

  // Reads the header; false when the input has no record at all.
  bool read_header() {
    for (;;) {
      if (!next_record()) return false;
      if (!blank_) break;
      consume();
    }
    std::vector<std::string> raw;
    raw.reserve(fields_.size());
    for (const auto& f : fields_) raw.push_back(cell(f));
    consume();
    names_ = unique_names(raw);
    cols_.assign(names_.size(), ColBuilder());
    std::unordered_map<std::string_view, DType> declared;
    for (const auto& [name, type] : options_.types) declared.emplace(name, type);
    for (std::size_t i = 0; i < names_.size(); ++i) {
      cols_[i].keep_raw(keep_raw_);
      if (auto it = declared.find(names_[i]); it != declared.end()) cols_[i].declare(it->second);
      else if (options_.default_type) cols_[i].declare(*options_.default_type);
    }
    return true;
  }

  // Header names made unique as a table library does: an empty name is
  // "Unnamed: <position>"; a repeated one gets the first free ".1", ".2",
  // ... that is neither taken already nor a later name of the header. Linear:
  // each base name resumes at the suffix where its last search ended (every
  // suffix below it stays taken).
  static std::vector<std::string> unique_names(const std::vector<std::string>& raw) {
    std::vector<std::string> names;
    names.reserve(raw.size());
    std::unordered_set<std::string> taken;
    std::unordered_map<std::string_view, std::size_t> later;  // raw names after the current one
    std::unordered_map<std::string, std::size_t> next_suffix;
    taken.reserve(raw.size() * 2);
    for (const auto& r : raw) ++later[r];
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (--later[raw[i]] == 0) later.erase(raw[i]);
      std::string name = raw[i].empty() ? "Unnamed: " + std::to_string(i) : raw[i];
      if (taken.count(name)) {
        std::size_t& k = next_suffix[name];
        for (;;) {
          std::string cand = name + "." + std::to_string(++k);
          if (!taken.count(cand) && !later.count(cand)) {
            name = std::move(cand);
            break;
          }
        }
      }
      taken.insert(name);
      names.push_back(std::move(name));
    }
    return names;
  }

  const std::vector<std::string>& names() const { return names_; }

  // Parses up to `max_rows` rows into a frame labelled from `first_label`.
  // With `infos`, each column's join information goes there.
  Frame chunk(std::size_t max_rows, std::size_t reserve, std::size_t first_label, std::size_t& rows,
              std::vector<Finished>* infos = nullptr) {
    rows = 0;
    const std::size_t ncols = cols_.size();
    for (auto& c : cols_) c.set_reserve(reserve);
    std::string scratch;
    while (rows < max_rows && next_record()) {
      if (blank_) {
        consume();
        continue;
      }
      const std::size_t nf = fields_.size();
      if (nf > ncols)
        fail_line(source_, record_line_,
                  "Expected " + std::to_string(ncols) + " fields, saw " + std::to_string(nf));
      for (std::size_t i = 0; i < nf; ++i) {
        const Field& f = fields_[i];
        const char* p = f.b;
        std::size_t n = f.n;
        if (f.raw) {
          scratch = decode_quoted(f.b, f.n);
          p = scratch.data();
          n = scratch.size();
        }
        if (!cols_[i].add(p, n, missing_(p, n, f.quoted))) bad_cell(i, p, n);
      }
      for (std::size_t i = nf; i < ncols; ++i) cols_[i].add_missing();
      consume();
      ++rows;
    }
    Frame f;
    if (infos) infos->assign(ncols, Finished{});
    for (std::size_t i = 0; i < ncols; ++i) f.add_column(names_[i], cols_[i].finish(infos ? &(*infos)[i] : nullptr));
    if (head_ >= tail_ && eof_) {
      // The input is used up: give the scratch memory back before the
      // caller joins the chunks.
      for (auto& c : cols_) c.release();
      buf_.reset();
      cap_ = 0;
      base_ = nullptr;
      head_ = tail_ = 0;
#if defined(__GLIBC__)
      // Freed blocks inside the heap stay resident otherwise.
      malloc_trim(0);
#endif
    }
    f.set_index(Index::range(rows, static_cast<std::int64_t>(first_label)));
    return f;
  }

 private:
  void check_options() const {
    for (const auto& [name, type] : options_.types)
      if (!declarable(type))
        throw ValueError("CSV: column '" + name + "' cannot be declared " + dtype_name(type));
    if (options_.default_type && !declarable(*options_.default_type))
      throw ValueError(std::string("CSV: columns cannot be declared ") + dtype_name(*options_.default_type));
  }

  [[noreturn]] void bad_cell(std::size_t col, const char* p, std::size_t n) const {
    std::string shown(p, std::min<std::size_t>(n, 80));
    if (n > 80) shown += "...";
    fail_line(source_, record_line_,
              "column '" + names_[col] + "': cannot read \"" + shown + "\" as " + declared_name(col));
  }
  std::string declared_name(std::size_t col) const {
    for (const auto& [name, type] : options_.types)
      if (name == names_[col]) return dtype_name(type);
    return options_.default_type ? dtype_name(*options_.default_type) : "?";
  }

  std::string cell(const Field& f) const {
    if (f.raw) return decode_quoted(f.b, f.n);
    return std::string(f.b, f.n);
  }

  // Pulls more bytes, keeping the unparsed window; false at the end. The
  // free space is filled (several reads if the source hands out little at
  // a time) and grows with a pending record, so that a long record is not
  // rescanned a quadratic number of times.
  bool refill() {
    if (eof_) return false;
    const std::size_t pending = tail_ - head_;
    const std::size_t need = pending + std::max<std::size_t>(std::size_t{1} << 20, pending);
    if (cap_ < need) {
      std::unique_ptr<char[]> nb(new char[need]);
      if (pending) std::memcpy(nb.get(), buf_.get() + head_, pending);
      buf_ = std::move(nb);
      cap_ = need;
    } else if (head_ > 0 && pending) {
      std::memmove(buf_.get(), buf_.get() + head_, pending);
    }
    head_ = 0;
    tail_ = pending;
    base_ = buf_.get();
    std::size_t total = 0;
    while (tail_ < cap_) {
      const std::size_t got = reader_(buf_.get() + tail_, cap_ - tail_);
      if (got == 0) {
        eof_ = true;
        break;
      }
      tail_ += got;
      total += got;
    }
    return total != 0;
  }

  void consume() {
    head_ = next_;
    line_ = next_line_;
  }

  // Splits the record at head_ into fields_; false when no record is left.
  // The record is only consumed by consume().
  bool next_record() {
    for (;;) {
      if (head_ >= tail_ && eof_) return false;
      if (head_ < tail_ || eof_) {
        const int r = scan();
        if (r > 0) return true;
        if (r == 0 && eof_) return false;
      }
      if (!refill() && head_ >= tail_) return false;
    }
  }

  // 1: a record; -1: incomplete (more bytes needed); 0: nothing left.
  int scan() {
    const char* p = base_ + head_;
    const char* const end = base_ + tail_;
    if (!bom_checked_) {
      if (end - p >= 3) {
        if (std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
          head_ += 3;
          p += 3;
        }
      } else if (!eof_) {
        return -1;
      }
      bom_checked_ = true;
    }
    if (p == end) return eof_ ? 0 : -1;
    fields_.clear();
    record_line_ = line_;
    std::size_t nl = 0;
    for (;;) {
      if (p < end && *p == '"') {
        const char* start = p;
        const char* q = p + 1;
        bool raw = false, closed = false;
        while (q < end) {
          const char c = *q;
          if (c == '"') {
            if (q + 1 < end && q[1] == '"') {
              raw = true;
              q += 2;
              continue;
            }
            if (q + 1 == end && !eof_) return -1;
            closed = true;
            break;
          }
          if (c == '\n') ++nl;
          else if (c == '\r' && !(q + 1 < end && q[1] == '\n')) ++nl;
          else if (c == '\0') fail_line(source_, line_ + nl, "embedded NUL byte");
          ++q;
        }
        if (!closed) {
          if (!eof_) return -1;
          fail_line(source_, record_line_, "unbalanced quote: quoted field not closed before the end of the data");
        }
        const char* close = q;
        p = q + 1;
        // Bytes after the closing quote are kept as they are.
        while (p < end && !kStop.stop[static_cast<unsigned char>(*p)]) ++p;
        if (p < end && *p == '\0') fail_line(source_, line_ + nl, "embedded NUL byte");
        if (p != close + 1) raw = true;
        if (raw)
          fields_.push_back({start, static_cast<std::size_t>(p - start), true, true});
        else
          fields_.push_back({start + 1, static_cast<std::size_t>(close - start - 1), true, false});
      } else {
        const char* start = p;
        p = skip_plain(p, end);
        if (p < end && *p == '\0') fail_line(source_, line_ + nl, "embedded NUL byte");
        fields_.push_back({start, static_cast<std::size_t>(p - start), false, false});
      }
      if (p == end) {
        if (!eof_) return -1;
        break;  // last record without a line end
      }
      if (*p == ',') {
        ++p;
        continue;
      }
      if (*p == '\n') {
        ++p;
        ++nl;
        break;
      }
      // '\r', alone or before '\n'
      if (p + 1 == end && !eof_) return -1;
      ++p;
      if (p < end && *p == '\n') ++p;
      ++nl;
      break;
    }
    blank_ = fields_.size() == 1 && !fields_[0].quoted && fields_[0].n == 0;
    next_ = static_cast<std::size_t>(p - base_);
    next_line_ = line_ + nl;
    return 1;
  }

  std::string source_;
  ByteReader reader_;
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0;
  const char* base_ = nullptr;
  std::size_t head_ = 0, tail_ = 0, next_ = 0;
  std::size_t line_ = 1, next_line_ = 1, record_line_ = 1;
  bool eof_ = false, blank_ = false, bom_checked_ = false;
  std::vector<Field> fields_;
  std::vector<std::string> names_;
  std::vector<ColBuilder> cols_;
  CsvOptions options_;
  MissingTexts missing_;
  bool keep_raw_ = false;
};

[[noreturn]] void no_columns(const std::string& source) {
  throw FormatError("CSV", source, "", "No columns to parse from file");
}

}  // namespace

bool is_missing_marker(std::string_view text) noexcept { return is_na(text.data(), text.size()); }

Frame read_csv(std::string_view text, const std::string& source, const CsvOptions& options) {
  Engine e(source, text, options);
  if (!e.read_header()) no_columns(source);
  std::size_t rows = 0;
  return e.chunk(static_cast<std::size_t>(-1), 0, 0, rows);
}

namespace {

// The state one builder reaches over the cells of two parts.
St join_state(St a, St b) {
  if (a == St::Empty) return b;
  if (b == St::Empty || a == b) return a;
  if (a == St::Declared || b == St::Declared) return St::Declared;  // never mixed: same columns
  if ((a == St::Int && b == St::Float) || (a == St::Float && b == St::Int)) return St::Float;
  return St::Text;  // text with anything, or a bool with a number
}

// A chunk's column converted to the state of the whole column, as one
// builder would have typed its cells.
Column convert_chunk_column(const Column& c, const Finished& info, St target) {
  const std::size_t n = c.size();
  switch (target) {
    case St::Int:  // from a chunk without a present cell
      return Column::ints(std::vector<std::int64_t>(n, 0), std::vector<std::uint8_t>(n, 0));
    case St::Bool: return Column::bools(std::vector<std::int64_t>(n, 0), std::vector<std::uint8_t>(n, 0));
    case St::Float: {
      std::vector<double> v(n);
      for (std::size_t i = 0; i < n; ++i) v[i] = c.as_double(i);
      return Column::floats(std::move(v));
    }
    default: {
      // Text: the cells as written (integers in canonical form keep no
      // texts: theirs are the values' own).
      std::vector<std::string> t(n);
      std::vector<std::uint8_t> valid(n, 1);
      bool any_missing = false;
      const char* q = info.cells.data();
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t len = info.raw ? std::strlen(q) : 0;
        if (c.is_missing(i)) {
          valid[i] = 0;
          any_missing = true;
        } else if (info.raw) {
          t[i].assign(q, len);
        } else {
          t[i] = c.cell_text(i);
        }
        if (info.raw) q += len + 1;
      }
      return Column::texts(std::move(t), any_missing ? std::move(valid) : std::vector<std::uint8_t>{});
    }
  }
}

Frame join_chunks(std::vector<Frame>& chunks, std::vector<std::vector<Finished>>& infos) {
  const std::size_t ncols = chunks.empty() ? 0 : chunks[0].num_columns();
  for (std::size_t j = 0; j < ncols && chunks.size() > 1; ++j) {
    St target = St::Empty;
    for (const auto& inf : infos) target = join_state(target, inf[j].st);
    for (std::size_t k = 0; k < chunks.size(); ++k) {
      Finished& inf = infos[k][j];
      if (inf.st != target && target != St::Empty && target != St::Declared)
        chunks[k].column_at(j) = convert_chunk_column(chunks[k].column_at(j), inf, target);
      inf = Finished{};  // the texts are no longer needed
    }
  }
  infos.clear();
  return Frame::concat_rows(std::move(chunks));
}

}  // namespace

struct CsvChunkReader::Impl {
  Engine engine;
  std::size_t chunksize;
  std::size_t next_label = 0;
  bool started = false, finished = false;
  Impl(ByteReader r, std::string src, std::size_t cs, const CsvOptions& o)
      : engine(std::move(src), std::move(r), o), chunksize(cs) {}
  std::string source_name;
};

CsvChunkReader::CsvChunkReader(ByteReader reader, std::string source, std::size_t chunksize,
                               const CsvOptions& options) {
  if (chunksize == 0) throw ValueError("chunksize must be a positive integer");
  std::string src = source;
  impl_ = std::make_unique<Impl>(std::move(reader), std::move(source), chunksize, options);
  impl_->source_name = std::move(src);
}

CsvChunkReader::~CsvChunkReader() = default;

std::optional<Frame> CsvChunkReader::next() {
  Impl& m = *impl_;
  if (m.finished) return std::nullopt;
  if (!m.started) {
    m.started = true;
    if (!m.engine.read_header()) {
      m.finished = true;
      no_columns(m.source_name);
    }
  }
  std::size_t rows = 0;
  const bool first = m.next_label == 0;
  Frame f = m.engine.chunk(m.chunksize, std::min<std::size_t>(m.chunksize, 1 << 20), m.next_label, rows);
  if (rows == 0) {
    m.finished = true;
    // A file with a header only gives one empty frame with its columns.
    if (first) return f;
    return std::nullopt;
  }
  m.next_label += rows;
  return f;
}

Frame CsvChunkReader::read_all(const std::function<void(std::size_t, const Frame&)>& on_chunk) {
  Impl& m = *impl_;
  if (m.started) throw ValueError("read_all() reads from the start, but next() was called first");
  m.started = true;
  m.engine.keep_raw();
  if (!m.engine.read_header()) {
    m.finished = true;
    no_columns(m.source_name);
  }
  std::vector<Frame> chunks;
  std::vector<std::vector<Finished>> infos;
  for (;;) {
    std::size_t rows = 0;
    std::vector<Finished> info;
    Frame f = m.engine.chunk(m.chunksize, std::min<std::size_t>(m.chunksize, 1 << 20), m.next_label, rows, &info);
    // A file with a header only gives one empty chunk with its columns.
    if (rows == 0 && !chunks.empty()) break;
    if (on_chunk) on_chunk(chunks.size(), f);
    m.next_label += rows;
    chunks.push_back(std::move(f));
    infos.push_back(std::move(info));
    if (rows == 0) break;
  }
  m.finished = true;
  return join_chunks(chunks, infos);
}

// ---- writing ---------------------------------------------------------------

namespace {

bool needs_quotes(const std::string& s) {
  if (s.empty()) return false;
  if (s.front() == ' ' || s.back() == ' ' || s.front() == '\t' || s.back() == '\t') return true;
  return s.find_first_of(",\"\r\n") != std::string::npos;
}

void put_field(std::string& out, const std::string& s, bool force_quotes) {
  if (!force_quotes && !needs_quotes(s)) {
    out += s;
    return;
  }
  out.push_back('"');
  for (char c : s) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

void put_cell(std::string& out, const Column& c, std::size_t i) {
  if (c.is_missing(i)) return;
  char buf[32];
  switch (c.type) {
    case DType::Float64: out += format_double(c.f64[i]); return;
    case DType::Int64: {
      auto r = std::to_chars(buf, buf + sizeof buf, c.i64[i]);
      out.append(buf, r.ptr);
      return;
    }
    case DType::Bool: out += c.i64[i] ? "True" : "False"; return;
    case DType::Text: {
      const std::string& s = c.text[i];
      // Texts that would read back as missing are quoted (an empty text
      // still reads back missing).
      put_field(out, s, !s.empty() && is_na(s.data(), s.size()));
      return;
    }
    case DType::Date: out += format_iso_date(Date{static_cast<std::int32_t>(c.i64[i])}); return;
    case DType::Timestamp:
      // A zoned value as wall-clock time in its zone with the offset; a
      // reader takes the offset back to the same instant.
      out += c.tz.empty() ? format_timestamp_ns(c.i64[i]) : format_timestamp_zoned(c.i64[i], c.tz);
      return;
    case DType::Time: out += format_time_of_day_ns(c.i64[i]); return;
  }
}

}  // namespace

void write_csv(const Frame& frame, bool index, std::ostream& out) {
  std::string buf;
  buf.reserve(1 << 16);
  const auto& names = frame.names();
  const auto& cols = frame.columns();
  bool first = true;
  // A first name starting with a byte-order mark is quoted, or a reader
  // would take the mark for the file's own and drop it.
  auto starts_with_bom = [](const std::string& s) { return s.rfind("\xEF\xBB\xBF", 0) == 0; };
  if (index) {
    put_field(buf, frame.index().name, starts_with_bom(frame.index().name));
    first = false;
  }
  for (const auto& n : names) {
    if (!first) buf.push_back(',');
    put_field(buf, n, first && starts_with_bom(n));
    first = false;
  }
  if (buf.empty()) buf += "\"\"";
  buf.push_back('\n');
  const Index& idx = frame.index();
  const std::size_t rows = frame.num_rows();
  for (std::size_t r = 0; r < rows; ++r) {
    bool f = true;
    if (index) {
      if (idx.kind() == Index::Kind::Text) {
        put_field(buf, idx.text_label(r), false);
      } else {
        char b[24];
        auto res = std::to_chars(b, b + sizeof b, idx.int_label(r));
        buf.append(b, res.ptr);
      }
      f = false;
    }
    const std::size_t row_start = buf.size();
    for (const auto& c : cols) {
      if (!f) buf.push_back(',');
      f = false;
      put_cell(buf, c, r);
    }
    // A row that is a single empty field would be a blank line, which
    // readers skip.
    if (buf.size() == row_start) buf += "\"\"";
    buf.push_back('\n');
    if (buf.size() > (1 << 16) - 4096) {
      out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
      buf.clear();
    }
  }
  out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
}

std::string write_csv(const Frame& frame, bool index) {
  std::ostringstream os;
  write_csv(frame, index, os);
  return std::move(os).str();
}

}  // namespace quorin_data::formats
