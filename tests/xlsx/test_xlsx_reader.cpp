// Workbook reader on hand-made packages: cell kinds, placement, typing,
// part discovery, and bad input.
#include <gtest/gtest.h>

#include "formats/xlsx/xlsx_internal.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "xlsx/xlsx_test_support.hpp"
#include "support/column_values.hpp"

using namespace quorin_data;
using namespace xlsx_test;
namespace xd = quorin_data::formats::xlsx_detail;

namespace {

Frame read(const std::string& bytes) {
  return formats::read_xlsx(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), "mem.xlsx");
}

Frame read_sheet(const std::string& rows, const std::string& sst = {}, const std::string& styles = {}) {
  Package p;
  p.sheets.push_back({"S", "worksheets/sheet1.xml", sheet_xml(rows)});
  p.shared_strings = sst;
  p.styles = styles;
  return read(p.zip());
}

// Runs `f` and returns the FormatError it raises (fails the test otherwise).
template <class F>
FormatError format_error(F&& f) {
  try {
    f();
  } catch (const FormatError& e) {
    EXPECT_EQ(e.format(), "xlsx");
    return e;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "expected FormatError, got: " << e.what();
    throw;
  }
  ADD_FAILURE() << "expected FormatError, nothing thrown";
  return FormatError("", "", "", "");
}

std::string styles_with(const std::string& numfmts, const std::string& xfs) {
  return std::string("<?xml version=\"1.0\"?><styleSheet xmlns=\"") + kMainNs + "\"><numFmts>" + numfmts +
         "</numFmts><cellXfs>" + xfs + "</cellXfs></styleSheet>";
}

}  // namespace

TEST(XlsxRefs, CellReferencesAndLimits) {
  std::uint32_t r = 0, c = 0;
  ASSERT_TRUE(xd::parse_cell_ref("C7", r, c));
  EXPECT_EQ(r, 7u);
  EXPECT_EQ(c, 3u);
  ASSERT_TRUE(xd::parse_cell_ref("XFD1048576", r, c));
  EXPECT_EQ(c, 16384u);
  EXPECT_EQ(r, 1048576u);
  ASSERT_TRUE(xd::parse_cell_ref("AA10", r, c));
  EXPECT_EQ(c, 27u);
  for (const char* bad : {"XFE1", "A1048577", "A0", "7", "C", "", "C7x", "A-1", "ZZZZZZZZZZZZZZ1"})
    EXPECT_FALSE(xd::parse_cell_ref(bad, r, c)) << bad;
  EXPECT_EQ(xd::column_letters(1), "A");
  EXPECT_EQ(xd::column_letters(26), "Z");
  EXPECT_EQ(xd::column_letters(27), "AA");
  EXPECT_EQ(xd::column_letters(16384), "XFD");
}

TEST(XlsxDates, FormatCodes) {
  for (const char* yes : {"yyyy-mm-dd", "dd/mm/yyyy hh:mm", "[$-409]mmm d, yyyy", "h:mm AM/PM", "[Red]d-mmm",
                          "mm:ss.0", "yyyy\"年\"m\"月\""})
    EXPECT_TRUE(xd::is_date_format_code(yes)) << yes;
  for (const char* no : {"General", "0.00%", "\"Day \"0", "#,##0.00", "0.00E+00", "[h]:mm", "_(* #,##0_)",
                         "\\d0", "[Red]0.00", "@"})
    EXPECT_FALSE(xd::is_date_format_code(no)) << no;
  EXPECT_TRUE(xd::is_builtin_date_format(14));
  EXPECT_TRUE(xd::is_builtin_date_format(22));
  EXPECT_TRUE(xd::is_builtin_date_format(47));
  EXPECT_FALSE(xd::is_builtin_date_format(13));
  EXPECT_FALSE(xd::is_builtin_date_format(23));
  EXPECT_FALSE(xd::is_builtin_date_format(49));
}

TEST(XlsxDates, SerialsBothSystemsAndTheLeapYearGap) {
  std::int64_t ns = 0;
  ASSERT_TRUE(xd::serial_to_ns(45292, false, ns));
  EXPECT_EQ(format_timestamp_ns(ns), "2024-01-01 00:00:00");
  ASSERT_TRUE(xd::serial_to_ns(61, false, ns));
  EXPECT_EQ(format_timestamp_ns(ns), "1900-03-01 00:00:00");
  ASSERT_TRUE(xd::serial_to_ns(59, false, ns));
  EXPECT_EQ(format_timestamp_ns(ns), "1900-02-28 00:00:00");
  ASSERT_TRUE(xd::serial_to_ns(1, false, ns));
  EXPECT_EQ(format_timestamp_ns(ns), "1900-01-01 00:00:00");
  // Times round to the millisecond, the precision of workbook serials.
  ASSERT_TRUE(xd::serial_to_ns(45293.12783707704, false, ns));
  EXPECT_EQ(format_timestamp_ns(ns), "2024-01-02 03:04:05.123000");
  ASSERT_TRUE(xd::serial_to_ns(45293.12784722221, false, ns));
  EXPECT_EQ(format_timestamp_ns(ns), "2024-01-02 03:04:06");
  ASSERT_TRUE(xd::serial_to_ns(0, true, ns));
  EXPECT_EQ(format_timestamp_ns(ns), "1904-01-01 00:00:00");
  ASSERT_TRUE(xd::serial_to_ns(45292.5 + 1.0 / 86400, false, ns));
  EXPECT_EQ(format_timestamp_ns(ns), "2024-01-01 12:00:01");
  // Past the nanosecond timestamp range (year 2262) and nonsense values.
  EXPECT_FALSE(xd::serial_to_ns(2958465, false, ns));
  EXPECT_FALSE(xd::serial_to_ns(std::numeric_limits<double>::infinity(), false, ns));
  // The writer's serials read back to the same instant on both sides of the gap.
  for (const char* t : {"1899-12-31 00:00:00", "1900-02-28 06:00:00", "1900-03-01 00:00:00", "2024-02-29 23:59:59.5", "2024-01-02 03:04:05.250", "1999-12-31 23:59:59.999",
                        "1970-01-01 00:00:00", "1850-06-01 00:00:00"}) {
    const auto want = parse_datetime_ns(t);
    for (bool mac : {false, true}) {
      ASSERT_TRUE(xd::serial_to_ns(xd::ns_to_serial(want, mac), mac, ns));
      EXPECT_EQ(ns, want) << t << (mac ? " (1904)" : "");
    }
  }
}

TEST(XlsxStrings, EscapesAndRichText) {
  EXPECT_EQ(xd::decode_xstring("a_x000D_b"), "a\rb");
  EXPECT_EQ(xd::decode_xstring("_x005F_x000D_"), "_x000D_");
  EXPECT_EQ(xd::decode_xstring("_xD83D__xDE00_"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(xd::decode_xstring("_x12_ and _xZZZZ_"), "_x12_ and _xZZZZ_");
  EXPECT_EQ(xd::decode_xstring("_xD800_"), "\xEF\xBF\xBD");

  const auto f = read_sheet(
      "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"inlineStr\"><is><t>inline head</t></is></c></row>"
      "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>1</v></c><c r=\"B2\" t=\"inlineStr\"><is><r><t>in</t></r><r><rPr><b/></rPr>"
      "<t xml:space=\"preserve\"> line</t></r></is></c></row>"
      "<row r=\"3\"><c r=\"A3\" t=\"s\"><v>2</v></c><c r=\"B3\" t=\"str\"><f>A3</f><v>formula text</v></c></row>",
      "<si><t>head</t></si><si><r><t>ri</t></r><r><rPr><i/></rPr><t>ch</t></r><rPh><t>PHON</t></rPh></si>"
      "<si><t xml:space=\"preserve\"> </t></si>");
  ASSERT_EQ(f.names(), (std::vector<std::string>{"head", "inline head"}));
  EXPECT_EQ(texts(f.column("head")), (std::vector<std::string>{"rich", " "}));
  EXPECT_EQ(texts(f.column("inline head")), (std::vector<std::string>{"in line", "formula text"}));
}

TEST(XlsxCells, SparseReferencesArePlacedAndHeadersFilled) {
  // Header in row 2 (row 1 empty), a gap row, cells given out of the dense order.
  const auto f = read_sheet(
      "<row r=\"2\"><c r=\"B2\" t=\"inlineStr\"><is><t>b</t></is></c><c r=\"D2\" t=\"inlineStr\"><is><t>b</t></is></c>"
      "</row>"
      "<row r=\"3\"><c r=\"A3\"><v>1</v></c><c r=\"D3\"><v>4.5</v></c></row>"
      "<row r=\"5\" spans=\"1:4\"><c r=\"C5\" t=\"b\"><v>1</v></c><c r=\"D5\" s=\"0\"/></row>"
      "<row r=\"7\"><c r=\"A7\"><v>3</v></c><c r=\"B7\" t=\"e\"><v>#DIV/0!</v></c></row>");
  ASSERT_EQ(f.names(), (std::vector<std::string>{"Unnamed: 0", "b", "Unnamed: 2", "b.1"}));
  ASSERT_EQ(f.num_rows(), 5u);  // rows 3..7, the empty ones kept in place
  const auto& a = f.column_at(0);
  ASSERT_EQ(a.type(), DType::Float64);  // integral but with gaps
  EXPECT_EQ(a.f64()[0], 1);
  EXPECT_TRUE(std::isnan(a.f64()[1]) && std::isnan(a.f64()[2]) && std::isnan(a.f64()[3]));
  EXPECT_EQ(a.f64()[4], 3);
  // Only an error cell: missing, and a column of nothing is float64.
  EXPECT_EQ(f.column_at(1).type(), DType::Float64);
  EXPECT_TRUE(f.column_at(1).is_missing(4));
  const auto& c = f.column_at(2);
  ASSERT_EQ(c.type(), DType::Bool);
  EXPECT_TRUE(c.is_missing(0));
  EXPECT_FALSE(c.is_missing(2));
  EXPECT_EQ(c.integer(2), 1);
  EXPECT_EQ(f.column_at(3).cell_text(0), "4.5");
  EXPECT_TRUE(f.column_at(3).is_missing(2));  // styled cell without a value
}

TEST(XlsxCells, CellsWithoutReferencesFollowTheirNeighbours) {
  const auto f = read_sheet(
      "<row><c t=\"inlineStr\"><is><t>x</t></is></c><c t=\"inlineStr\"><is><t>y</t></is></c></row>"
      "<row><c><v>1</v></c><c><v>2</v></c></row><row r=\"4\"><c r=\"B4\"><v>3</v></c><c><v>9</v></c></row>");
  ASSERT_EQ(f.names(), (std::vector<std::string>{"x", "y", "Unnamed: 2"}));
  ASSERT_EQ(f.num_rows(), 3u);
  EXPECT_EQ(f.column_at(1).cell_text(2), "3.0");
  EXPECT_EQ(f.column_at(2).cell_text(2), "9.0");
}

TEST(XlsxCells, ColumnTypesFollowTheValues) {
  const std::string styles = styles_with("<numFmt numFmtId=\"164\" formatCode=\"yyyy-mm-dd hh:mm\"/>",
                                         "<xf numFmtId=\"0\"/><xf numFmtId=\"14\"/><xf numFmtId=\"164\"/>"
                                         "<xf numFmtId=\"10\"/>");
  auto hdr = [](const char* col, const char* name) {
    return std::string("<c r=\"") + col + "1\" t=\"inlineStr\"><is><t>" + name + "</t></is></c>";
  };
  const auto f = read_sheet("<row r=\"1\">" + hdr("A", "int") + hdr("B", "float") + hdr("C", "day") +
                                hdr("D", "stamp") + hdr("E", "mixed") + hdr("F", "pct") + hdr("G", "iso") +
                                hdr("H", "big") + "</row>"
                                "<row r=\"2\"><c r=\"A2\"><v>1</v></c><c r=\"B2\"><v>1</v></c>"
                                "<c r=\"C2\" s=\"1\"><v>45292</v></c><c r=\"D2\" s=\"2\"><v>45292.75</v></c>"
                                "<c r=\"E2\"><v>2</v></c><c r=\"F2\" s=\"3\"><v>0.25</v></c>"
                                "<c r=\"G2\" t=\"d\"><v>2024-03-04T05:06:07</v></c>"
                                "<c r=\"H2\"><v>123456789012345</v></c></row>"
                                "<row r=\"3\"><c r=\"A3\"><v>-7</v></c><c r=\"B3\"><v>2.5E-3</v></c>"
                                "<c r=\"C3\" s=\"1\"/><c r=\"D3\" s=\"2\"><v>1</v></c>"
                                "<c r=\"E3\" t=\"b\"><v>0</v></c><c r=\"F3\" s=\"3\"><v>1</v></c>"
                                "<c r=\"G3\" t=\"d\"><v>1999-01-01</v></c><c r=\"H3\"><v>-1</v></c></row>",
                            "", styles);
  EXPECT_EQ(f.column("int").type(), DType::Int64);
  EXPECT_EQ(ints(f.column("int")), (std::vector<std::int64_t>{1, -7}));
  EXPECT_EQ(f.column("float").type(), DType::Float64);
  EXPECT_EQ(f.column("float").f64()[1], 0.0025);
  ASSERT_EQ(f.column("day").type(), DType::Timestamp);
  EXPECT_EQ(f.column("day").cell_text(0), "2024-01-01 00:00:00");
  EXPECT_TRUE(f.column("day").is_missing(1));
  EXPECT_EQ(f.column("stamp").cell_text(0), "2024-01-01 18:00:00");
  EXPECT_EQ(f.column("stamp").cell_text(1), "1900-01-01 00:00:00");
  ASSERT_EQ(f.column("mixed").type(), DType::Text);
  EXPECT_EQ(texts(f.column("mixed")), (std::vector<std::string>{"2", "False"}));
  // Built-in format 10 (0.00%) is no date.
  EXPECT_EQ(f.column("pct").type(), DType::Float64);
  EXPECT_EQ(floats(f.column("pct")), (std::vector<double>{0.25, 1}));
  ASSERT_EQ(f.column("iso").type(), DType::Timestamp);
  EXPECT_EQ(f.column("iso").cell_text(0), "2024-03-04 05:06:07");
  EXPECT_EQ(f.column("iso").cell_text(1), "1999-01-01 00:00:00");
  EXPECT_EQ(ints(f.column("big")), (std::vector<std::int64_t>{123456789012345, -1}));
}

TEST(XlsxParts, FirstSheetInWorkbookOrderAndDate1904) {
  Package p;
  p.date1904 = true;
  p.sheets.push_back({"Data", "worksheets/sheet7.xml",
                      sheet_xml("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>when</t></is></c></row>"
                                "<row r=\"2\"><c r=\"A2\" s=\"1\"><v>0</v></c></row>")});
  p.sheets.push_back({"Sheet1", "worksheets/sheet1.xml",
                      sheet_xml("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>wrong</t></is></c></row>")});
  p.styles = styles_with("", "<xf numFmtId=\"0\"/><xf numFmtId=\"14\"/>");
  const auto f = read(p.zip());
  ASSERT_EQ(f.names(), std::vector<std::string>{"when"});
  EXPECT_EQ(f.column_at(0).cell_text(0), "1904-01-01 00:00:00");

  // A chart sheet first: the first worksheet is read.
  Package q = p;
  auto parts = q.parts();
  for (auto& part : parts) {
    if (part.name == "xl/_rels/workbook.xml.rels") {
      const auto at = part.data.find("/worksheet\" Target=\"worksheets/sheet7.xml");
      ASSERT_NE(at, std::string::npos);
      part.data.replace(at, 10, "/chartsheet");
    }
  }
  EXPECT_EQ(read(make_zip(parts)).names(), std::vector<std::string>{"wrong"});
}

TEST(XlsxParts, EmptyAndHeaderOnlySheets) {
  EXPECT_EQ(read_sheet("").num_columns(), 0u);
  const auto f = read_sheet("<row r=\"3\"><c r=\"B3\" t=\"inlineStr\"><is><t>only</t></is></c></row>");
  EXPECT_EQ(f.names(), (std::vector<std::string>{"Unnamed: 0", "only"}));
  EXPECT_EQ(f.num_rows(), 0u);
}

TEST(XlsxBadInput, NotAZipTruncatedAndCorrupt) {
  auto what = [](const FormatError& e) { return std::string(e.what()); };
  EXPECT_NE(what(format_error([] { read("this is, in fact, a CSV file\n1,2,3\n"); })).find("not a zip"),
            std::string::npos);
  format_error([] { formats::read_xlsx(nullptr, 0, "empty"); });
  Package p;
  p.sheets.push_back({"S", "worksheets/sheet1.xml", sheet_xml("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>")});
  const std::string good = p.zip();
  ASSERT_NO_THROW(read(good));
  // Every truncation fails cleanly, naming the source.
  for (std::size_t n = 0; n < good.size(); n += 7) {
    const auto e = format_error([&] { read(good.substr(0, n)); });
    EXPECT_EQ(e.source(), "mem.xlsx");
  }
  // A flipped byte inside compressed data is caught (deflate error or CRC).
  std::string bad = good;
  const auto at = bad.find("xl/worksheets/sheet1.xml") + 24 + 3;
  bad[at] = static_cast<char>(bad[at] ^ 0x55);
  EXPECT_NE(format_error([&] { read(bad); }).place().find("sheet1.xml"), std::string::npos);
}

TEST(XlsxBadInput, ZipBombsStopAtTheCap) {
  // 64 MiB of zeros deflate to about 64 KiB; declared small, declared huge.
  const std::string zeros(64u << 20, '\0');
  auto parts = Package{{{"S", "worksheets/sheet1.xml", sheet_xml("")}}, "", "", false}.parts();
  parts.push_back({"xl/bomb.xml", zeros});
  // Point the sheet relationship at the bomb.
  for (auto& part : parts)
    if (part.name == "xl/_rels/workbook.xml.rels") {
      const auto at = part.data.find("worksheets/sheet1.xml");
      part.data.replace(at, 21, "bomb.xml");
    }
  const auto lying = make_zip(parts, {{"xl/bomb.xml", 1000}});
  auto e = format_error([&] { read(lying); });
  EXPECT_NE(std::string(e.what()).find("past its declared size"), std::string::npos) << e.what();
  EXPECT_NE(e.place().find("bomb.xml"), std::string::npos);
  const auto boastful = make_zip(parts, {{"xl/bomb.xml", 0xFFFFFFF0}});
  e = format_error([&] { read(boastful); });
  EXPECT_NE(std::string(e.what()).find("limit"), std::string::npos) << e.what();
  // Within the entry limit, but more than deflate can expand from its bytes.
  const auto ratio = make_zip(parts, {{"xl/bomb.xml", 900u << 20}});
  e = format_error([&] { read(ratio); });
  EXPECT_NE(std::string(e.what()).find("zip bomb"), std::string::npos) << e.what();
}

TEST(XlsxBadInput, PartsThatAreMissingOrWrong) {
  auto place_of = [](const std::vector<ZipPart>& parts) {
    return format_error([&] { read(make_zip(parts)); }).place();
  };
  Package p;
  p.sheets.push_back({"S", "worksheets/sheet1.xml", sheet_xml("")});
  auto parts = p.parts();
  // Sheet part missing.
  auto missing = parts;
  std::erase_if(missing, [](const ZipPart& z) { return z.name == "xl/worksheets/sheet1.xml"; });
  EXPECT_NE(place_of(missing).find("xl/worksheets/sheet1.xml"), std::string::npos);
  // Workbook missing.
  auto no_wb = parts;
  std::erase_if(no_wb, [](const ZipPart& z) { return z.name == "xl/workbook.xml"; });
  EXPECT_NE(place_of(no_wb).find("xl/workbook.xml"), std::string::npos);
  // The sheet part is not a worksheet, or not XML.
  for (const char* body : {"<?xml version=\"1.0\"?><chartsheet/>", "<worksheet><sheetData><row>", "\x89PNG....",
                           "<worksheet/>"}) {
    auto wrong = parts;
    for (auto& z : wrong)
      if (z.name == "xl/worksheets/sheet1.xml") z.data = body;
    EXPECT_NE(place_of(wrong).find("sheet1.xml"), std::string::npos) << body;
  }
  // No worksheet at all.
  Package none;
  EXPECT_NE(format_error([&] { read(none.zip()); }).what(), std::string());
}

TEST(XlsxBadInput, CellsOutOfRangeOrMalformed) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<row r=\"1\"><c r=\"XFE1\"><v>1</v></c></row>", "XFE1"},
      {"<row r=\"1048577\"><c r=\"A1048577\"><v>1</v></c></row>", "1048577"},
      {"<row r=\"0\"/>", "row '0'"},
      {"<row r=\"2\"><c r=\"A3\"><v>1</v></c></row>", "A3"},
      {"<row r=\"2\"/><row r=\"1\"/>", "row 1"},
      {"<row r=\"1\"><c r=\"B1\"><v>1</v></c><c r=\"A1\"><v>1</v></c></row>", "A1"},
      {"<row r=\"1\"><c r=\"A1\"><v>1x</v></c></row>", "A1"},
      {"<row r=\"1\"><c r=\"A1\" t=\"s\"><v>3</v></c></row>", "A1"},
      {"<row r=\"1\"><c r=\"A1\" t=\"s\"><v>-1</v></c></row>", "A1"},
      {"<row r=\"1\"><c r=\"A1\" t=\"b\"><v>2</v></c></row>", "A1"},
      {"<row r=\"1\"><c r=\"A1\" t=\"q\"><v>2</v></c></row>", "A1"},
      {"<row r=\"1\"><c r=\"A1\" t=\"d\"><v>yesterday</v></c></row>", "A1"},
  };
  for (const auto& [rows, where] : cases) {
    const auto e = format_error([&] { read_sheet(rows, "<si><t>a</t></si>"); });
    EXPECT_NE(e.place().find(where), std::string::npos) << rows << " -> " << e.place() << ": " << e.what();
  }
  // A date serial past the timestamp range is an error, not a wrong date.
  const auto styles = styles_with("", "<xf numFmtId=\"0\"/><xf numFmtId=\"14\"/>");
  format_error([&] { read_sheet("<row r=\"1\"><c r=\"A1\" s=\"1\"><v>2958465</v></c></row>", "", styles); });
  // Two cells at opposite corners would make a 17-billion-cell table.
  format_error([] { read_sheet("<row r=\"1\"><c r=\"XFD1\"><v>1</v></c></row><row r=\"1048576\"><c r=\"A1048576\"><v>1</v></c></row>"); });
  // Sparse but sane: one column down to the last row is fine.
  EXPECT_EQ(read_sheet("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row><row r=\"1048576\"><c r=\"A1048576\"><v>1</v></c></row>")
                .num_rows(),
            1048575u);
}
