// Workbook reader: the first worksheet of an xlsx package as a Frame.
//
// Parts are found the way the package declares them: _rels/.rels names the
// workbook, the workbook's relationships name its sheets, shared strings and
// styles; the first <sheet> of the workbook (in workbook order) is read.
// The first row holding any value is the header; later rows are placed by
// their cell references, so sparse rows and cells land where they belong.
// Error cells (#N/A, #DIV/0!, ...) and empty texts read as missing.
#include <expat.h>
#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <set>
#include <unordered_map>

#include "formats/xlsx/zip.hpp"
#include "formats/xlsx/xlsx_internal.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::formats {
namespace xlsx_detail {

namespace {

const char* local_name(const pugi::xml_node& n) {
  const char* s = n.name();
  const char* c = std::strrchr(s, ':');
  return c ? c + 1 : s;
}
bool is(const pugi::xml_node& n, const char* name) { return std::strcmp(local_name(n), name) == 0; }
pugi::xml_node child(const pugi::xml_node& n, const char* name) {
  for (auto c : n.children())
    if (c.type() == pugi::node_element && is(c, name)) return c;
  return {};
}
// Attribute by local name (r:id and the like come with varying prefixes).
pugi::xml_attribute attr(const pugi::xml_node& n, const char* name) {
  for (auto a : n.attributes()) {
    const char* s = a.name();
    const char* c = std::strrchr(s, ':');
    if (std::strcmp(c ? c + 1 : s, name) == 0) return a;
  }
  return {};
}
using text::ends_with;

int hex4(std::string_view s) {
  int v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return -1;
    v = v * 16 + d;
  }
  return v;
}

}  // namespace

std::string decode_xstring(std::string_view s) {
  if (s.find("_x") == std::string_view::npos) return std::string(s);
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  auto unit_at = [&](std::size_t p) -> int {
    if (p + 7 <= s.size() && s[p] == '_' && s[p + 1] == 'x' && s[p + 6] == '_') return hex4(s.substr(p + 2, 4));
    return -1;
  };
  while (i < s.size()) {
    const int u = unit_at(i);
    if (u < 0) {
      out += s[i++];
      continue;
    }
    i += 7;
    std::uint32_t cp = static_cast<std::uint32_t>(u);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      const int lo = unit_at(i);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(lo) - 0xDC00);
        i += 7;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    text::append_utf8(out, cp);
  }
  return out;
}

bool is_date_format_code(std::string_view code) {
  std::string kept;
  for (std::size_t i = 0; i < code.size(); ++i) {
    const char c = code[i];
    if (c == '"') {  // quoted literal
      const auto close = code.find('"', i + 1);
      if (close == std::string_view::npos) break;
      i = close;
    } else if (c == '\\' || c == '_' || c == '*') {  // escaped / padding / fill char
      ++i;
    } else if (c == '[') {
      // Colours, conditions and locales are no date codes; elapsed-time
      // codes ([h], [mm], [ss]) are durations, which we keep as numbers.
      const auto close = code.find(']', i + 1);
      if (close == std::string_view::npos) break;
      const auto inner = code.substr(i + 1, close - i - 1);
      if (!inner.empty() && inner.find_first_not_of("hHmMsS") == std::string_view::npos) return false;
      i = close;
    } else if (c == ';') {
      break;  // the first section decides
    } else {
      kept += static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    }
  }
  if (kept == "general") return false;
  return kept.find_first_of("dmyhs") != std::string::npos;
}

bool is_builtin_date_format(int id) { return (id >= 14 && id <= 22) || (id >= 45 && id <= 47); }

bool parse_cell_ref(std::string_view ref, std::uint32_t& row, std::uint32_t& col) {
  std::size_t i = 0;
  std::uint64_t c = 0;
  while (i < ref.size() && ((ref[i] >= 'A' && ref[i] <= 'Z') || (ref[i] >= 'a' && ref[i] <= 'z'))) {
    const char u = (ref[i] >= 'a') ? static_cast<char>(ref[i] - 'a' + 'A') : ref[i];
    c = c * 26 + static_cast<std::uint64_t>(u - 'A' + 1);
    if (c > kMaxColumns) return false;
    ++i;
  }
  if (i == 0 || i == ref.size()) return false;
  std::uint64_t r = 0;
  for (; i < ref.size(); ++i) {
    if (ref[i] < '0' || ref[i] > '9') return false;
    r = r * 10 + static_cast<std::uint64_t>(ref[i] - '0');
    if (r > kMaxRows) return false;
  }
  if (r == 0) return false;
  row = static_cast<std::uint32_t>(r);
  col = static_cast<std::uint32_t>(c);
  return true;
}

std::string column_letters(std::uint32_t col) {
  std::string s;
  while (col > 0) {
    s.insert(s.begin(), static_cast<char>('A' + (col - 1) % 26));
    col = (col - 1) / 26;
  }
  return s;
}

bool serial_to_ns(double serial, bool date1904, std::int64_t& ns) {
  // Day 0 is 1899-12-31 below serial 60 and 1899-12-30 from it on: Excel
  // counts a 1900-02-29 that never was. The 1904 system starts 1904-01-01.
  if (!std::isfinite(serial) || serial < -100000.0 || serial > 200000.0) return false;
  std::int64_t epoch_days;
  if (date1904) epoch_days = days_from_civil(1904, 1, 1);
  else if (serial < 60) epoch_days = days_from_civil(1899, 12, 31);
  else epoch_days = days_from_civil(1899, 12, 30);
  // Whole days and the exact fraction apart, the fraction rounded to the
  // millisecond, the precision of workbook times: a serial near 45000 holds
  // only about 0.6 us, and writers' arithmetic loses a few units more.
  const double whole = std::floor(serial);
  const auto ms = static_cast<std::int64_t>(std::llround((serial - whole) * 86400e3));
  const __int128 total =
      (static_cast<__int128>(epoch_days + static_cast<std::int64_t>(whole)) * 86400000LL + ms) * 1000000;
  if (total > std::numeric_limits<std::int64_t>::max() || total < std::numeric_limits<std::int64_t>::min())
    return false;
  ns = static_cast<std::int64_t>(total);
  return true;
}

static double serial_of(std::int64_t day, std::int64_t rem, bool date1904) {
  const double base = date1904 ? days_from_civil(1904, 1, 1) : days_from_civil(1899, 12, 30);
  double serial = (static_cast<double>(day) - base) + static_cast<double>(rem) / static_cast<double>(kNanosPerDay);
  if (!date1904 && serial < 61) serial -= 1;
  return serial;
}

double ns_to_serial(std::int64_t ns, bool date1904) {
  // Whole days and the remainder separately keep the fraction exact.
  std::int64_t day = ns / kNanosPerDay, rem = ns % kNanosPerDay;
  if (rem < 0) {
    rem += kNanosPerDay;
    --day;
  }
  return serial_of(day, rem, date1904);
}

double days_to_serial(std::int64_t days, bool date1904) { return serial_of(days, 0, date1904); }

namespace {

enum class Kind : std::uint8_t { Number, Bool, Text, Date, Error };

struct RawCell {
  std::uint32_t row;  // 1-based
  std::uint32_t col;  // 1-based
  Kind kind;
  double num;         // Number, Bool (0/1)
  std::int64_t ns;    // Date
  std::uint32_t str;  // Text: index into the string pool
};

class SheetParser;

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size, std::string source)
      : source_(std::move(source)), zip_(data, size, source_) {}

  Frame run();

 private:
  friend class SheetParser;
  [[noreturn]] void fail(const std::string& place, const std::string& what) const {
    throw FormatError("xlsx", source_, place, what);
  }
  std::string part(const std::string& name, bool required);
  void parse(pugi::xml_document& doc, std::string& text, const std::string& name);
  struct Rel {
    std::string type, target;
  };
  std::unordered_map<std::string, Rel> rels_of(const std::string& part_name);
  static std::string resolve(const std::string& from_part, const std::string& target);
  std::string text_of(const pugi::xml_node& si) const;
  void load_shared_strings(const std::string& name);
  void load_styles(const std::string& name);
  void load_sheet(const std::string& name);
  Frame build();

  std::string source_;
  xlsx_detail::ZipArchive zip_;
  bool date1904_ = false;
  std::vector<std::string> pool_;  // shared strings first, then inline texts
  std::size_t shared_count_ = 0;
  std::vector<std::uint8_t> xf_date_;
  std::vector<RawCell> cells_;
  std::string sheet_name_;
};

std::string Reader::part(const std::string& name, bool required) {
  const auto* e = zip_.find(name);
  if (!e) {
    if (required) fail("part '" + name + "'", "missing from the package");
    return {};
  }
  return zip_.read(*e);
}

void Reader::parse(pugi::xml_document& doc, std::string& text, const std::string& name) {
  const auto r = doc.load_buffer_inplace(text.data(), text.size(),
                                         pugi::parse_default | pugi::parse_ws_pcdata_single);
  if (!r) fail("part '" + name + "' at byte " + std::to_string(r.offset), std::string("bad XML: ") + r.description());
}

std::string Reader::resolve(const std::string& from_part, const std::string& target) {
  std::string path;
  if (!target.empty() && target[0] == '/') {
    path = target.substr(1);
  } else {
    const auto slash = from_part.rfind('/');
    path = (slash == std::string::npos ? std::string() : from_part.substr(0, slash + 1)) + target;
  }
  // Normalise "." and ".." segments.
  std::vector<std::string> segs;
  std::size_t i = 0;
  while (i <= path.size()) {
    const auto j = std::min(path.find('/', i), path.size());
    const std::string seg = path.substr(i, j - i);
    if (seg == "..") {
      if (!segs.empty()) segs.pop_back();
    } else if (!seg.empty() && seg != ".") {
      segs.push_back(seg);
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& s : segs) out += (out.empty() ? "" : "/") + s;
  return out;
}

std::unordered_map<std::string, Reader::Rel> Reader::rels_of(const std::string& part_name) {
  const auto slash = part_name.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : part_name.substr(0, slash + 1);
  const std::string file = slash == std::string::npos ? part_name : part_name.substr(slash + 1);
  const std::string rels_name = dir + "_rels/" + file + ".rels";
  std::unordered_map<std::string, Rel> out;
  std::string text = part(rels_name, false);
  if (text.empty()) return out;
  pugi::xml_document doc;
  parse(doc, text, rels_name);
  for (auto r : doc.document_element().children()) {
    if (r.type() != pugi::node_element || !is(r, "Relationship")) continue;
    if (std::strcmp(r.attribute("TargetMode").value(), "External") == 0) continue;
    out[r.attribute("Id").value()] = Rel{r.attribute("Type").value(), resolve(part_name, r.attribute("Target").value())};
  }
  return out;
}

std::string Reader::text_of(const pugi::xml_node& si) const {
  // Plain <t>, or rich text runs <r><t/></r> concatenated; phonetic hints
  // (<rPh>) are not part of the value.
  std::string out;
  for (auto c : si.children()) {
    if (c.type() != pugi::node_element) continue;
    if (is(c, "t")) {
      out += c.text().get();
    } else if (is(c, "r")) {
      if (auto t = child(c, "t")) out += t.text().get();
    }
  }
  return decode_xstring(out);
}

void Reader::load_shared_strings(const std::string& name) {
  std::string text = part(name, true);
  pugi::xml_document doc;
  parse(doc, text, name);
  const auto root = doc.document_element();
  if (!is(root, "sst")) fail("part '" + name + "'", std::string("expected <sst>, found <") + root.name() + ">");
  for (auto si : root.children())
    if (si.type() == pugi::node_element && is(si, "si")) pool_.push_back(text_of(si));
  shared_count_ = pool_.size();
}

void Reader::load_styles(const std::string& name) {
  std::string text = part(name, true);
  pugi::xml_document doc;
  parse(doc, text, name);
  const auto root = doc.document_element();
  std::unordered_map<int, bool> custom;
  for (auto f : child(root, "numFmts").children())
    if (f.type() == pugi::node_element && is(f, "numFmt"))
      custom[f.attribute("numFmtId").as_int(-1)] = is_date_format_code(f.attribute("formatCode").value());
  for (auto xf : child(root, "cellXfs").children()) {
    if (xf.type() != pugi::node_element || !is(xf, "xf")) continue;
    const int id = xf.attribute("numFmtId").as_int(0);
    const auto it = custom.find(id);
    xf_date_.push_back(it != custom.end() ? it->second : is_builtin_date_format(id));
  }
}

// The worksheet is read as a stream of XML events straight from the inflating
// zip entry: no tree is built and no copy of the sheet text is kept, so memory
// follows the cells that hold values (empty rows and cells cost nothing), and
// the row and cell checks fail as soon as the offending element is seen.
class SheetParser {
 public:
  SheetParser(Reader& r, const std::string& name, std::vector<RawCell>& cells, std::vector<std::string>& pool,
              std::size_t shared_count, const std::vector<std::uint8_t>& xf_date, bool date1904)
      : r_(r), name_(name), cells_(cells), pool_(pool), shared_count_(shared_count), xf_date_(xf_date),
        date1904_(date1904), p_(XML_ParserCreate(nullptr)) {
    if (!p_) throw std::bad_alloc();
    XML_SetUserData(p_, this);
    XML_SetElementHandler(p_, &SheetParser::on_start, &SheetParser::on_end);
    XML_SetCharacterDataHandler(p_, &SheetParser::on_text);
    XML_SetStartDoctypeDeclHandler(p_, &SheetParser::on_doctype);
  }
  ~SheetParser() { XML_ParserFree(p_); }
  SheetParser(const SheetParser&) = delete;
  SheetParser& operator=(const SheetParser&) = delete;

  void feed(const char* data, std::size_t n, bool last) {
    while (n > 0 || last) {
      const int piece = static_cast<int>(std::min<std::size_t>(n, 1 << 30));
      const auto st = XML_Parse(p_, data, piece, last && static_cast<std::size_t>(piece) == n);
      if (error_) std::rethrow_exception(error_);
      if (st != XML_STATUS_OK)
        r_.fail("part '" + name_ + "' at byte " + std::to_string(XML_GetCurrentByteIndex(p_)),
                std::string("bad XML: ") + XML_ErrorString(XML_GetErrorCode(p_)));
      data += piece;
      n -= static_cast<std::size_t>(piece);
      if (n == 0) break;
    }
  }
  void finish() {
    feed(nullptr, 0, true);
    if (!seen_data_) r_.fail("part '" + name_ + "'", "worksheet has no <sheetData>");
  }

 private:
  enum class At { Outside, Root, Data, Row, Cell, Value, Is, IsText, Run, RunText };

  static const char* local(const XML_Char* n) {
    const char* c = std::strrchr(n, ':');
    return c ? c + 1 : n;
  }
  static const char* attribute(const XML_Char** atts, const char* name) {
    for (; atts && *atts; atts += 2)
      if (std::strcmp(atts[0], name) == 0) return atts[1];
    return nullptr;
  }
  // Exceptions must not cross the C parser: the first one stops it and is
  // raised once XML_Parse has returned.
  template <class F>
  static void guard(void* ud, F f) {
    auto* self = static_cast<SheetParser*>(ud);
    if (self->error_) return;
    try {
      f(*self);
    } catch (...) {
      self->error_ = std::current_exception();
      XML_StopParser(self->p_, XML_FALSE);
    }
  }
  static void XMLCALL on_start(void* ud, const XML_Char* n, const XML_Char** atts) {
    guard(ud, [&](SheetParser& s) { s.start(n, atts); });
  }
  static void XMLCALL on_end(void* ud, const XML_Char*) {
    guard(ud, [&](SheetParser& s) { s.end(); });
  }
  static void XMLCALL on_text(void* ud, const XML_Char* t, int len) {
    guard(ud, [&](SheetParser& s) { s.text(t, static_cast<std::size_t>(len)); });
  }
  static void XMLCALL on_doctype(void* ud, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    guard(ud, [&](SheetParser& s) { s.r_.fail("part '" + s.name_ + "'", "a DTD is not allowed in a worksheet"); });
  }

  // An element is read when its parent is and its name fits; any other is
  // skipped with everything inside it.
  void start(const XML_Char* qname, const XML_Char** atts) {
    if (skip_ > 0) {
      ++skip_;
      return;
    }
    const char* n = local(qname);
    At next = At::Outside;
    switch (at_) {
      case At::Outside:
        if (std::strcmp(n, "worksheet") != 0)
          r_.fail("part '" + name_ + "'", std::string("not a worksheet: root element <") + qname + ">");
        next = At::Root;
        break;
      case At::Root:
        if (std::strcmp(n, "sheetData") == 0 && !seen_data_) {
          seen_data_ = true;
          next = At::Data;
        }
        break;
      case At::Data:
        if (std::strcmp(n, "row") == 0) {
          start_row(attribute(atts, "r"));
          next = At::Row;
        }
        break;
      case At::Row:
        if (std::strcmp(n, "c") == 0) {
          start_cell(atts);
          next = At::Cell;
        }
        break;
      case At::Cell:
        if (std::strcmp(n, "v") == 0 && !has_v_) {
          has_v_ = true;
          next = At::Value;
        } else if (std::strcmp(n, "is") == 0 && !has_is_) {
          has_is_ = true;
          next = At::Is;
        }
        break;
      case At::Is:
        if (std::strcmp(n, "t") == 0) next = At::IsText;
        else if (std::strcmp(n, "r") == 0) {
          run_t_ = false;
          next = At::Run;
        }
        break;
      case At::Run:
        if (std::strcmp(n, "t") == 0 && !run_t_) {
          run_t_ = true;
          next = At::RunText;
        }
        break;
      default: break;
    }
    if (next == At::Outside) {
      skip_ = 1;  // an element we do not read, with everything inside it
      return;
    }
    stack_[static_cast<int>(next)] = at_;
    at_ = next;
  }
  void end() {
    if (skip_ > 0) {
      --skip_;
      return;
    }
    if (at_ == At::Cell) end_cell();
    at_ = stack_[static_cast<int>(at_)];
  }
  void text(const char* t, std::size_t n) {
    if (skip_ > 0) return;
    if (at_ == At::Value) v_.append(t, n);
    else if (at_ == At::IsText || at_ == At::RunText) is_.append(t, n);
  }

  void start_row(const char* r) {
    if (r) {
      char* endp = nullptr;
      errno = 0;
      const long long v = std::strtoll(r, &endp, 10);
      const bool ok = *r != '\0' && *endp == '\0' && errno == 0;
      if (!ok || v < 1 || v > static_cast<long long>(kMaxRows))
        r_.fail("part '" + name_ + "' row '" + r + "'", "row number outside 1..1048576");
      if (static_cast<std::uint32_t>(v) <= row_no_)
        r_.fail("part '" + name_ + "' row " + std::to_string(v), "rows out of order");
      row_no_ = static_cast<std::uint32_t>(v);
    } else {
      if (row_no_ == kMaxRows) r_.fail("part '" + name_ + "'", "more than 1048576 rows");
      ++row_no_;
    }
    col_no_ = 0;
  }

  void start_cell(const XML_Char** atts) {
    if (const char* r = attribute(atts, "r")) {
      ref_ = r;
      std::uint32_t rr = 0, cc = 0;
      if (!parse_cell_ref(ref_, rr, cc))
        r_.fail("part '" + name_ + "' cell '" + ref_ + "'", "bad cell reference (columns A..XFD, rows 1..1048576)");
      if (rr != row_no_)
        r_.fail("part '" + name_ + "' cell " + ref_, "cell lies outside its row " + std::to_string(row_no_));
      if (cc <= col_no_) r_.fail("part '" + name_ + "' cell " + ref_, "cells out of order in the row");
      col_no_ = cc;
    } else {
      if (col_no_ == kMaxColumns)
        r_.fail("part '" + name_ + "' row " + std::to_string(row_no_), "more than 16384 columns");
      ++col_no_;
      ref_ = column_letters(col_no_) + std::to_string(row_no_);
    }
    const char* t = attribute(atts, "t");
    type_ = t ? t : "";
    const char* st = attribute(atts, "s");
    style_ = 0;
    if (st) {
      // As a lenient unsigned read: leading digits, anything else gives 0.
      char* endp = nullptr;
      const unsigned long v = std::strtoul(st, &endp, 10);
      style_ = (endp != st && *st != '-' && v <= 0xFFFFFFFFul) ? v : 0;
    }
    has_v_ = has_is_ = false;
    v_.clear();
    is_.clear();
  }

  void end_cell() {
    const std::string_view t = type_;
    RawCell cell{row_no_, col_no_, Kind::Number, 0.0, 0, 0};
    auto place = [&] { return "part '" + name_ + "' cell " + ref_; };
    if (t == "inlineStr") {
      if (!has_is_) return;
      std::string s = decode_xstring(is_);
      if (s.empty()) return;
      cell.kind = Kind::Text;
      cell.str = static_cast<std::uint32_t>(pool_.size());
      pool_.push_back(std::move(s));
      cells_.push_back(cell);
      return;
    }
    if (!has_v_) return;  // styled or formula-only cell without a value
    const std::string_view vt = v_;
    if (t.empty() || t == "n") {
      if (vt.empty()) return;
      double d = 0;
      const auto res = std::from_chars(vt.data(), vt.data() + vt.size(), d);
      if (res.ec != std::errc() || res.ptr != vt.data() + vt.size())
        r_.fail(place(), "bad number '" + std::string(vt.substr(0, 40)) + "'");
      if (std::isnan(d)) return;
      if (style_ < xf_date_.size() && xf_date_[style_]) {
        cell.kind = Kind::Date;
        if (!serial_to_ns(d, date1904_, cell.ns))
          r_.fail(place(), "date serial " + std::string(vt.substr(0, 40)) + " is outside the timestamp range");
      } else {
        cell.num = d;
      }
    } else if (t == "s") {
      unsigned long idx = 0;
      const auto res = std::from_chars(vt.data(), vt.data() + vt.size(), idx);
      if (res.ec != std::errc() || res.ptr != vt.data() + vt.size() || idx >= shared_count_)
        r_.fail(place(), "shared string index '" + std::string(vt.substr(0, 40)) + "' out of range (" +
                             std::to_string(shared_count_) + " strings)");
      if (pool_[idx].empty()) return;
      cell.kind = Kind::Text;
      cell.str = static_cast<std::uint32_t>(idx);
    } else if (t == "str") {
      std::string s = decode_xstring(vt);
      if (s.empty()) return;
      cell.kind = Kind::Text;
      cell.str = static_cast<std::uint32_t>(pool_.size());
      pool_.push_back(std::move(s));
    } else if (t == "b") {
      if (vt == "1" || vt == "true") cell.num = 1;
      else if (vt == "0" || vt == "false") cell.num = 0;
      else r_.fail(place(), "bad boolean '" + std::string(vt.substr(0, 40)) + "'");
      cell.kind = Kind::Bool;
    } else if (t == "e") {
      cell.kind = Kind::Error;
    } else if (t == "d") {
      if (vt.empty()) return;
      // Years the nanosecond timestamps cannot hold are refused up front
      // (the date parser would overflow on them).
      int year = 0;
      const auto yr = std::from_chars(vt.data(), vt.data() + std::min<std::size_t>(vt.size(), 4), year);
      if (yr.ec == std::errc() && yr.ptr == vt.data() + 4 && (year < 1678 || year > 2261))
        r_.fail(place(), "date '" + std::string(vt.substr(0, 40)) + "' is outside the timestamp range");
      const auto ns = try_parse_datetime_ns(vt);
      if (!ns) r_.fail(place(), "bad ISO 8601 date '" + std::string(vt.substr(0, 40)) + "'");
      cell.kind = Kind::Date;
      cell.ns = *ns;
    } else {
      r_.fail(place(), "unknown cell type '" + std::string(t.substr(0, 20)) + "'");
    }
    cells_.push_back(cell);
  }

  Reader& r_;
  const std::string& name_;
  std::vector<RawCell>& cells_;
  std::vector<std::string>& pool_;
  std::size_t shared_count_;
  const std::vector<std::uint8_t>& xf_date_;
  bool date1904_;
  XML_Parser p_;
  std::exception_ptr error_;

  At at_ = At::Outside;
  At stack_[10] = {};  // the parent of each state (each state occurs once on the path)
  std::size_t skip_ = 0;  // depth inside an element that is not read
  bool seen_data_ = false;
  std::uint32_t row_no_ = 0, col_no_ = 0;
  // The cell being read.
  std::string ref_, type_, v_, is_;
  unsigned long style_ = 0;
  bool has_v_ = false, has_is_ = false, run_t_ = false;
};

void Reader::load_sheet(const std::string& name) {
  const auto* e = zip_.find(name);
  if (!e) fail("part '" + name + "'", "missing from the package");
  SheetParser parser(*this, name, cells_, pool_, shared_count_, xf_date_, date1904_);
  zip_.read_stream(*e, [&](const char* p, std::size_t n) { parser.feed(p, n, false); });
  parser.finish();
}

std::string header_text(const RawCell& c, const std::vector<std::string>& pool) {
  switch (c.kind) {
    case Kind::Text: return pool[c.str];
    case Kind::Bool: return c.num != 0 ? "True" : "False";
    case Kind::Date: return format_timestamp_ns(c.ns);
    case Kind::Error: return {};
    case Kind::Number:
      if (std::trunc(c.num) == c.num && std::fabs(c.num) < 9007199254740992.0)
        return std::to_string(static_cast<std::int64_t>(c.num));
      return format_double_shortest(c.num);
  }
  return {};
}

Frame Reader::build() {
  Frame frame;
  if (cells_.empty()) return frame;
  // The header is the first row with a cell; columns run to the last column
  // used anywhere, rows to the last row holding a cell.
  const std::uint32_t header_row = cells_.front().row;
  std::uint32_t ncols = 0, last_row = header_row;
  for (const auto& c : cells_) {
    ncols = std::max(ncols, c.col);
    last_row = std::max(last_row, c.row);
  }
  const std::size_t nrows = last_row - header_row;
  // Very sparse sheets would expand into huge dense tables.
  const std::uint64_t dense = std::uint64_t{nrows} * ncols;
  if (dense > std::max<std::uint64_t>(std::uint64_t{1} << 22, std::uint64_t{64} * cells_.size()))
    fail("sheet '" + sheet_name_ + "'", std::to_string(cells_.size()) + " cells spread over " +
                                           std::to_string(nrows) + " rows and " + std::to_string(ncols) +
                                           " columns: too sparse to read as a table");

  std::vector<std::string> names(ncols);
  std::vector<bool> named(ncols, false);
  struct Seen {
    std::size_t number = 0, integral = 0, boolean = 0, text = 0, date = 0;
  };
  std::vector<Seen> seen(ncols);
  for (const auto& c : cells_) {
    const auto j = c.col - 1;
    if (c.row == header_row) {
      if (c.kind != Kind::Error) {
        names[j] = header_text(c, pool_);
        named[j] = true;
      }
      continue;
    }
    auto& s = seen[j];
    switch (c.kind) {
      case Kind::Number:
        ++s.number;
        if (std::trunc(c.num) == c.num && c.num >= -9223372036854775808.0 && c.num < 9223372036854775808.0)
          ++s.integral;
        break;
      case Kind::Bool: ++s.boolean; break;
      case Kind::Text: ++s.text; break;
      case Kind::Date: ++s.date; break;
      case Kind::Error: break;
    }
  }
  // Header names as a table library gives them: blanks become "Unnamed: N",
  // repeats get ".1", ".2", ... suffixes.
  std::set<std::string> used;
  for (std::uint32_t j = 0; j < ncols; ++j) {
    std::string n = named[j] ? names[j] : "Unnamed: " + std::to_string(j);
    if (used.count(n)) {
      for (int k = 1;; ++k) {
        std::string m = n + "." + std::to_string(k);
        if (!used.count(m)) {
          n = std::move(m);
          break;
        }
      }
    }
    used.insert(n);
    names[j] = std::move(n);
  }

  // The cell of each row of each column (the last one where a sheet
  // repeats a reference), then each column built in row order.
  std::vector<std::vector<std::uint32_t>> at(ncols);
  constexpr std::uint32_t kNone = 0xffffffffu;
  if (cells_.size() >= kNone) fail("sheet '" + sheet_name_ + "'", "too many cells");
  for (std::uint32_t j = 0; j < ncols; ++j) at[j].assign(nrows, kNone);
  for (std::size_t k = 0; k < cells_.size(); ++k) {
    const auto& c = cells_[k];
    if (c.row == header_row || c.kind == Kind::Error) continue;
    at[c.col - 1][c.row - header_row - 1] = static_cast<std::uint32_t>(k);
  }
  for (std::uint32_t j = 0; j < ncols; ++j) {
    const auto& s = seen[j];
    const std::size_t present = s.number + s.boolean + s.text + s.date;
    const int kinds = (s.number > 0) + (s.boolean > 0) + (s.text > 0) + (s.date > 0);
    const auto& rows = at[j];
    Column col;
    if (kinds > 1 || s.text > 0) {
      TextBuilder b;
      b.reserve(nrows);
      for (std::uint32_t k : rows) {
        if (k == kNone) {
          b.append_missing();
          continue;
        }
        const auto& c = cells_[k];
        if (c.kind == Kind::Text)
          b.append(pool_[c.str]);
        else
          b.append(header_text(c, pool_));
      }
      col = b.finish();
    } else if (s.boolean > 0) {
      ValuesBuilder<DType::Bool> b;
      b.reserve(nrows);
      for (std::uint32_t k : rows) k == kNone ? b.push_missing() : b.push(cells_[k].num != 0);
      col = b.finish();
    } else if (s.date > 0) {
      ValuesBuilder<DType::Timestamp> b;
      b.reserve(nrows);
      for (std::uint32_t k : rows) k == kNone ? b.push_missing() : b.push(cells_[k].ns);
      col = b.finish();
    } else if (s.number > 0 && s.integral == s.number && present == nrows &&
               std::find(rows.begin(), rows.end(), kNone) == rows.end()) {
      std::vector<std::int64_t> v(nrows);
      for (std::size_t i = 0; i < nrows; ++i) v[i] = static_cast<std::int64_t>(cells_[rows[i]].num);
      col = Column::ints(std::move(v));
    } else {
      std::vector<double> v(nrows, kNaN);
      for (std::size_t i = 0; i < nrows; ++i)
        if (rows[i] != kNone) v[i] = cells_[rows[i]].num;
      col = Column::floats(std::move(v));
    }
    std::vector<std::uint32_t>().swap(at[j]);
    frame.add_column(std::move(names[j]), std::move(col));
  }
  if (ncols == 0) frame.set_index(Index::range(0));
  return frame;
}

Frame Reader::run() {
  // The package relationships name the main document; fall back to the usual place.
  std::string workbook = "xl/workbook.xml";
  for (const auto& [id, rel] : rels_of(""))
    if (ends_with(rel.type, "/officeDocument")) workbook = rel.target;
  std::string wb_text = part(workbook, true);
  pugi::xml_document wb;
  parse(wb, wb_text, workbook);
  const auto root = wb.document_element();
  if (!is(root, "workbook"))
    fail("part '" + workbook + "'", std::string("not a workbook: root element <") + root.name() + ">");
  if (auto pr = child(root, "workbookPr")) date1904_ = pr.attribute("date1904").as_bool(false);
  const auto rels = rels_of(workbook);
  for (const auto& [id, rel] : rels) {
    if (ends_with(rel.type, "/sharedStrings")) load_shared_strings(rel.target);
    else if (ends_with(rel.type, "/styles")) load_styles(rel.target);
  }
  // The first worksheet in workbook order (chart and dialog sheets are skipped).
  std::string sheet_part;
  for (auto s : child(root, "sheets").children()) {
    if (s.type() != pugi::node_element || !is(s, "sheet")) continue;
    const std::string id = attr(s, "id").value();
    const auto it = rels.find(id);
    if (it == rels.end())
      fail("part '" + workbook + "' sheet '" + s.attribute("name").value() + "'",
           "relationship '" + id + "' not found");
    if (!ends_with(it->second.type, "/worksheet")) continue;
    sheet_part = it->second.target;
    sheet_name_ = s.attribute("name").value();
    break;
  }
  if (sheet_part.empty()) fail("part '" + workbook + "'", "the workbook has no worksheet");
  load_sheet(sheet_part);
  return build();
}

}  // namespace
}  // namespace xlsx_detail

Frame read_xlsx(const std::uint8_t* data, std::size_t size, const std::string& source) {
  return xlsx_detail::Reader(data, size, source).run();
}

}  // namespace quorin_data::formats
