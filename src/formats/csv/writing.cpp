// CSV writing: a header row, then one line per row.
#include <charconv>
#include <functional>
#include <ostream>

#include "csv_internal.hpp"
#include "quorin_data/core/zones.hpp"

namespace quorin_data::formats {

using csv_detail::is_na;

namespace {

bool needs_quotes(std::string_view s) {
  if (s.empty()) return false;
  if (s.front() == ' ' || s.back() == ' ' || s.front() == '\t' || s.back() == '\t') return true;
  return s.find_first_of(",\"\r\n") != std::string::npos;
}

void put_field(std::string& out, std::string_view s, bool force_quotes) {
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
  switch (c.type()) {
    case DType::Float64: {
      char b[kFormatDoubleMax];
      out.append(b, format_double_to(b, c.f64()[i]));
      return;
    }
    case DType::Int64: {
      auto r = std::to_chars(buf, buf + sizeof buf, c.i64()[i]);
      out.append(buf, r.ptr);
      return;
    }
    case DType::Bool: out += c.bools()[i] ? "True" : "False"; return;
    case DType::Text: {
      const std::string_view s = c.text(i);
      // Texts that would read back as missing are quoted (an empty text
      // still reads back missing).
      put_field(out, s, !s.empty() && is_na(s.data(), s.size()));
      return;
    }
    case DType::Date: out += format_iso_date(Date{c.days()[i]}); return;
    case DType::Timestamp:
      // A zoned value as wall-clock time in its zone with the offset; a
      // reader takes the offset back to the same instant.
      out += c.tz().empty() ? format_timestamp_ns(c.i64()[i]) : format_timestamp_zoned(c.i64()[i], c.tz());
      return;
    case DType::Time: out += format_time_of_day_ns(c.i64()[i]); return;
  }
}

// Writes the table into `buf`, handing it to `flush` (which empties it)
// whenever it holds more than `flush_at` bytes.
template <class Flush>
void write_table(const Frame& frame, bool index, std::string& buf, std::size_t flush_at, Flush&& flush) {
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
    if (buf.size() > flush_at) flush();
  }
}

}  // namespace

void write_csv(const Frame& frame, bool index, std::ostream& out) {
  std::string buf;
  buf.reserve(1 << 16);
  auto flush = [&] {
    out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
    buf.clear();
  };
  write_table(frame, index, buf, (1 << 16) - 4096, flush);
  flush();
}

void write_csv(const Frame& frame, bool index, const std::function<void(const char*, std::size_t)>& sink) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::string buf;
  buf.reserve(kPiece + 4096);
  auto flush = [&] {
    sink(buf.data(), buf.size());
    buf.clear();
  };
  write_table(frame, index, buf, kPiece, flush);
  if (!buf.empty()) flush();
}

std::string write_csv(const Frame& frame, bool index) {
  // Straight into the result: no stream and no copy of the text.
  std::string out;
  write_table(frame, index, out, static_cast<std::size_t>(-1), [] {});
  return out;
}

}  // namespace quorin_data::formats
