// Workbook writer on libxlsxwriter: one sheet "Sheet1", a header row, the row
// labels as first column when asked. libxlsxwriter writes to a file only, so
// the workbook goes through a private temporary file that is read back.
#include <xlsxwriter.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "formats/xlsx/xlsx_internal.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::formats {
namespace {

using xlsx_detail::kMaxColumns;
using xlsx_detail::kMaxRows;

// Doubles hold integers exactly up to 2^53; larger ones are written as text
// so that no digit of an identifier is lost.
constexpr std::int64_t kExactInt = std::int64_t{1} << 53;

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A literal "_xHHHH_" in a text would read back as the character it names;
// escaping its underscore as "_x005F_" keeps it literal.
std::string escape_literal_escapes(const std::string& s) {
  if (s.find("_x") == std::string::npos) return s;
  std::string out;
  out.reserve(s.size() + 8);
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '_' && i + 7 <= s.size() && s[i + 1] == 'x' && is_hex(s[i + 2]) && is_hex(s[i + 3]) &&
        is_hex(s[i + 4]) && is_hex(s[i + 5]) && s[i + 6] == '_')
      out += "_x005F";
    out += s[i];
  }
  return out;
}

struct TempFile {
  std::string path;
  TempFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/quorin_xlsx_XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) throw RuntimeError("xlsx: cannot create a temporary file in " + tmpl);
    ::close(fd);
    path = tmpl;
  }
  ~TempFile() { std::remove(path.c_str()); }
};

class SheetWriter {
 public:
  SheetWriter(lxw_workbook* wb, lxw_worksheet* ws) : wb_(wb), ws_(ws) {
    date_fmt_ = workbook_add_format(wb_);
    format_set_num_format(date_fmt_, "yyyy-mm-dd");
    stamp_fmt_ = workbook_add_format(wb_);
    format_set_num_format(stamp_fmt_, "yyyy-mm-dd hh:mm:ss");
    time_fmt_ = workbook_add_format(wb_);
    format_set_num_format(time_fmt_, "hh:mm:ss");
  }

  void check(lxw_error e, lxw_row_t r, lxw_col_t c) {
    if (e == LXW_NO_ERROR) return;
    throw ValueError("xlsx: cannot write cell " + xlsx_detail::column_letters(c + 1) + std::to_string(r + 1) +
                     ": " + lxw_strerror(e));
  }
  void text(lxw_row_t r, lxw_col_t c, const std::string& s) {
    if (s.empty()) return;
    // Bytes that are not UTF-8 would make the sheet XML malformed; the
    // writer takes C strings, so a NUL would cut the text short.
    if (s.find('\0') != std::string::npos || !quorin_data::text::valid_utf8(s))
      throw ValueError("xlsx: cell " + xlsx_detail::column_letters(c + 1) + std::to_string(r + 1) +
                       " holds text that is not valid UTF-8");
    const std::string kept = escape_literal_escapes(s);
    check(worksheet_write_string(ws_, r, c, kept.c_str(), nullptr), r, c);
  }
  void integer(lxw_row_t r, lxw_col_t c, std::int64_t v) {
    if (v > kExactInt || v < -kExactInt) text(r, c, std::to_string(v));
    else check(worksheet_write_number(ws_, r, c, static_cast<double>(v), nullptr), r, c);
  }
  void cell(lxw_row_t r, lxw_col_t c, const Column& col, std::size_t i) {
    if (col.is_missing(i)) return;
    switch (col.type()) {
      case DType::Float64:
        // Workbooks hold finite numbers only (an "INF" value makes the file
        // unreadable to other tools): infinities are written as text.
        if (std::isinf(col.f64()[i])) text(r, c, col.f64()[i] > 0 ? "inf" : "-inf");
        else check(worksheet_write_number(ws_, r, c, col.f64()[i], nullptr), r, c);
        break;
      case DType::Int64: integer(r, c, col.integer(i)); break;
      case DType::Bool: check(worksheet_write_boolean(ws_, r, c, col.bools()[i] != 0, nullptr), r, c); break;
      case DType::Text: text(r, c, std::string(col.text(i))); break;
      case DType::Date:
        check(worksheet_write_number(ws_, r, c, xlsx_detail::days_to_serial(col.days()[i], false),
                                     date_fmt_),
              r, c);
        break;
      case DType::Timestamp:
        check(worksheet_write_number(ws_, r, c, xlsx_detail::ns_to_serial(col.integer(i), false), stamp_fmt_), r, c);
        break;
      case DType::Time:  // a fraction of a day, as workbooks hold times
        check(worksheet_write_number(ws_, r, c, static_cast<double>(col.integer(i)) / static_cast<double>(kNanosPerDay),
                                     time_fmt_),
              r, c);
        break;
    }
  }

 private:
  lxw_workbook* wb_;
  lxw_worksheet* ws_;
  lxw_format* date_fmt_;
  lxw_format* stamp_fmt_;
  lxw_format* time_fmt_;
};

}  // namespace

std::vector<std::uint8_t> write_xlsx(const Frame& frame, bool index) {
  const std::size_t offset = index ? 1 : 0;
  if (frame.num_rows() + 1 > kMaxRows)
    throw ValueError("xlsx: " + std::to_string(frame.num_rows()) + " rows do not fit in a worksheet (at most " +
                     std::to_string(kMaxRows - 1) + " below the header)");
  if (frame.num_columns() + offset > kMaxColumns)
    throw ValueError("xlsx: " + std::to_string(frame.num_columns() + offset) +
                     " columns do not fit in a worksheet (at most 16384)");
  for (std::size_t j = 0; j < frame.num_columns(); ++j) {
    const Column& col = frame.column_at(j);
    // Workbooks have no time zones; writing wall-clock or UTC times would
    // silently shift them for a reader.
    if (col.type() == DType::Timestamp && !col.tz().empty())
      throw ValueError("xlsx: workbooks do not support timestamps with a time zone (column '" + frame.names()[j] +
                       "' is in " + col.tz() + "); convert the column to naive timestamps first");
  }

  TempFile tmp;
  lxw_workbook_options opts{};
  opts.constant_memory = LXW_TRUE;  // rows go straight to disk in order
  lxw_workbook* wb = workbook_new_opt(tmp.path.c_str(), &opts);
  if (!wb) throw RuntimeError("xlsx: cannot create a workbook at " + tmp.path);
  try {
    lxw_worksheet* ws = workbook_add_worksheet(wb, "Sheet1");
    if (!ws) throw RuntimeError("xlsx: cannot add a worksheet");
    SheetWriter out(wb, ws);
    if (index) out.text(0, 0, frame.index().name);
    for (std::size_t j = 0; j < frame.num_columns(); ++j)
      out.text(0, static_cast<lxw_col_t>(j + offset), frame.names()[j]);
    const Index& idx = frame.index();
    for (std::size_t i = 0; i < frame.num_rows(); ++i) {
      const auto r = static_cast<lxw_row_t>(i + 1);
      if (index) {
        if (idx.kind() == Index::Kind::Text) out.text(r, 0, idx.text_label(i));
        else out.integer(r, 0, idx.int_label(i));
      }
      for (std::size_t j = 0; j < frame.num_columns(); ++j)
        out.cell(r, static_cast<lxw_col_t>(j + offset), frame.column_at(j), i);
    }
  } catch (...) {
    workbook_close(wb);
    throw;
  }
  const lxw_error e = workbook_close(wb);
  if (e != LXW_NO_ERROR) throw RuntimeError(std::string("xlsx: cannot write the workbook: ") + lxw_strerror(e));
  std::ifstream in(tmp.path, std::ios::binary);
  if (!in) throw RuntimeError("xlsx: cannot read back " + tmp.path);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace quorin_data::formats
