// CSV writing: a header row, then one line per row.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <ostream>

#include "csv_internal.hpp"
#include "quorin_data/core/zones.hpp"

namespace quorin_data::formats {

using csv_detail::is_na;

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101u;

// Any byte of w equal to c? (exact: no false positives).
inline bool has_byte(std::uint64_t w, unsigned char c) {
  const std::uint64_t x = w ^ (kOnes * c);
  return ((x - kOnes) & ~x & (kOnes * 0x80)) != 0;
}

// Any byte of w that makes a field need quotes: a comma, a quote, CR or LF.
// Zero bytes (past an inline text's end) are none of them.
inline bool has_special(std::uint64_t w) {
  return has_byte(w, ',') || has_byte(w, '"') || has_byte(w, '\n') || has_byte(w, '\r');
}

inline bool blank(char c) { return c == ' ' || c == '\t'; }

bool needs_quotes(const char* p, std::size_t n) {
  if (n == 0) return false;
  if (blank(p[0]) || blank(p[n - 1])) return true;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (has_special(w)) return true;
  }
  for (; i < n; ++i)
    if (p[i] == ',' || p[i] == '"' || p[i] == '\n' || p[i] == '\r') return true;
  return false;
}

// The text being written, with room made ahead: cells go in through a
// pointer, and the string's size is settled when the text is handed on.
class Out {
 public:
  explicit Out(std::string& s) : s_(s) {
    const std::size_t used = s_.size();
    s_.resize(std::max(s_.capacity(), used + 4096));
    p = s_.data() + used;
  }
  char* p;
  // At least n bytes free at p.
  void room(std::size_t n) {
    if (static_cast<std::size_t>(s_.data() + s_.size() - p) < n) grow(n);
  }
  std::size_t used() const { return static_cast<std::size_t>(p - s_.data()); }
  const char* data() const { return s_.data(); }
  void restart() { p = s_.data(); }
  void settle() { s_.resize(used()); }
  void put(std::string_view t) {
    room(t.size());
    std::memcpy(p, t.data(), t.size());
    p += t.size();
  }

 private:
  void grow(std::size_t n) {
    const std::size_t used = this->used();
    s_.resize(std::max(s_.size() * 2, used + n + 4096));
    p = s_.data() + used;
  }
  std::string& s_;
};

void put_quoted(Out& out, const char* t, std::size_t n) {
  out.room(2 * n + 2);
  char* o = out.p;
  *o++ = '"';
  for (std::size_t i = 0; i < n; ++i) {
    if (t[i] == '"') *o++ = '"';
    *o++ = t[i];
  }
  *o++ = '"';
  out.p = o;
}

void put_field(Out& out, std::string_view s, bool force_quotes) {
  if (force_quotes || needs_quotes(s.data(), s.size())) return put_quoted(out, s.data(), s.size());
  out.put(s);
}

// Texts that would read back as missing are quoted (an empty text still
// reads back missing).
void put_text(Out& out, const Column& c, const TextView& v) {
  const std::size_t n = v.size;
  if (v.is_inline()) {  // its bytes in the view's two words, zero past the end
    const std::uint64_t w0 = v.word0() >> 32, w1 = v.word1();
    const char* t = v.inline_data();
    if (n != 0 && (has_special(w0) || has_special(w1) || blank(t[0]) || blank(t[n - 1]) || is_na(t, n)))
      return put_quoted(out, t, n);
    out.room(16);
    std::memcpy(out.p, t, TextView::kInline);
    out.p += n;
    return;
  }
  const std::string_view s = c.text_of(v);
  put_field(out, s, is_na(s.data(), n));
}

// Room for a cell of any type but text.
constexpr std::size_t kCellRoom = 64;

void put_cell(Out& out, const Column& c, std::size_t i) {
  if (c.type() == DType::Text) {
    if (!c.is_missing(i)) put_text(out, c, c.views()[i]);
    return;
  }
  if (c.is_missing(i)) return;
  out.room(kCellRoom);
  switch (c.type()) {
    case DType::Float64: out.p += format_double_to(out.p, c.f64()[i]); return;
    case DType::Int64: out.p = std::to_chars(out.p, out.p + 24, c.i64()[i]).ptr; return;
    case DType::Bool:
      std::memcpy(out.p, c.bools()[i] ? "True " : "False", 5);
      out.p += c.bools()[i] ? 4 : 5;
      return;
    case DType::Date: out.put(format_iso_date(Date{c.days()[i]})); return;
    case DType::Timestamp:
      // A zoned value as wall-clock time in its zone with the offset; a
      // reader takes the offset back to the same instant.
      out.put(c.tz().empty() ? format_timestamp_ns(c.i64()[i]) : format_timestamp_zoned(c.i64()[i], c.tz()));
      return;
    case DType::Time: out.put(format_time_of_day_ns(c.i64()[i])); return;
    case DType::Text: return;
  }
}

// Writes the table into `buf`, handing it to `flush` (which starts it over)
// whenever it holds more than `flush_at` bytes.
template <class Flush>
void write_table(const Frame& frame, bool index, Out& buf, std::size_t flush_at, Flush&& flush) {
  const auto& names = frame.names();
  const auto& cols = frame.columns();
  bool first = true;
  // A first name starting with a byte-order mark is quoted, or a reader
  // would take the mark for the file's own and drop it.
  auto starts_with_bom = [](const std::string& s) { return s.rfind("\xEF\xBB\xBF", 0) == 0; };
  const std::size_t start = buf.used();
  if (index) {
    put_field(buf, frame.index().name, starts_with_bom(frame.index().name));
    first = false;
  }
  for (const auto& n : names) {
    if (!first) buf.put(",");
    put_field(buf, n, first && starts_with_bom(n));
    first = false;
  }
  if (buf.used() == start) buf.put("\"\"");
  buf.put("\n");
  const Index& idx = frame.index();
  const std::size_t rows = frame.num_rows();
  for (std::size_t r = 0; r < rows; ++r) {
    bool f = true;
    if (index) {
      if (idx.kind() == Index::Kind::Text) {
        put_field(buf, idx.text_label(r), false);
      } else {
        buf.room(24);
        buf.p = std::to_chars(buf.p, buf.p + 24, idx.int_label(r)).ptr;
      }
      f = false;
    }
    const char* row_start = buf.p;
    for (const auto& c : cols) {
      if (!f) {
        buf.room(1);
        *buf.p++ = ',';
      }
      f = false;
      put_cell(buf, c, r);
    }
    // A row that is a single empty field would be a blank line, which
    // readers skip.
    if (buf.p == row_start) buf.put("\"\"");
    buf.put("\n");
    if (buf.used() > flush_at) flush();
  }
}

}  // namespace

void write_csv(const Frame& frame, bool index, std::ostream& out) {
  std::string text;
  text.reserve(1 << 16);
  Out buf(text);
  auto flush = [&] {
    out.write(buf.data(), static_cast<std::streamsize>(buf.used()));
    buf.restart();
  };
  write_table(frame, index, buf, (1 << 16) - 4096, flush);
  flush();
}

void write_csv(const Frame& frame, bool index, const std::function<void(const char*, std::size_t)>& sink) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::string text;
  text.reserve(kPiece + 4096);
  Out buf(text);
  auto flush = [&] {
    sink(buf.data(), buf.used());
    buf.restart();
  };
  write_table(frame, index, buf, kPiece, flush);
  if (buf.used() != 0) flush();
}

std::string write_csv(const Frame& frame, bool index) {
  // Straight into the result: no stream and no copy of the text.
  std::string out;
  Out buf(out);
  write_table(frame, index, buf, static_cast<std::size_t>(-1), [] {});
  buf.settle();
  return out;
}

}  // namespace quorin_data::formats
