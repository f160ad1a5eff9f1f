// Workbooks checked against openpyxl in both directions: what openpyxl
// writes we read as openpyxl reads it; what we write openpyxl reads as our
// frame. Files are generated at test time in a scratch folder.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "xlsx/xlsx_test_support.hpp"

using namespace quorin_data;
using namespace xlsx_test;
namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("quorin_xlsx_peer_" + std::to_string(::getpid()) + "_" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

Frame read_path(const fs::path& p) {
  const std::string bytes = read_file(p.string());
  return formats::read_xlsx(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), p.string());
}

bool empty_row(const Json& row) {
  for (const auto& c : row.arr())
    if (!c.is_null()) return false;
  return true;
}

// Text a header cell of openpyxl's grid gives as a column name.
std::string header_name(const Json& c, std::size_t j) {
  if (c.is_null()) return "Unnamed: " + std::to_string(j);
  const std::string t = c["t"].str();
  if (t == "s") return c["v"].str();
  if (t == "b") return c["v"].boolean() ? "True" : "False";
  if (t == "n") {
    const double v = c["v"].num();
    return v == std::trunc(v) ? std::to_string(static_cast<long long>(v)) : format_double_shortest(v);
  }
  return "?";
}

// One cell of our frame against openpyxl's value of it.
void expect_cell(const Column& col, std::size_t i, const Json& c, const std::string& where) {
  if (c.is_null()) {
    EXPECT_TRUE(col.is_missing(i)) << where << ": openpyxl has no value, we have " << col.cell_text(i);
    return;
  }
  ASSERT_FALSE(col.is_missing(i)) << where << ": we read nothing";
  const std::string t = c["t"].str();
  if (col.type() == DType::Text) {
    // A mixed column: compare the rendering of openpyxl's value.
    std::string want;
    if (t == "s") want = c["v"].str();
    else if (t == "b") want = c["v"].boolean() ? "True" : "False";
    else if (t == "n") want = header_name(c, 0);
    else if (t == "d") want = format_timestamp_ns(static_cast<std::int64_t>(c["us"].num()) * 1000);
    EXPECT_EQ(col.text(i), want) << where;
  } else if (t == "n") {
    ASSERT_TRUE(col.type() == DType::Float64 || col.type() == DType::Int64) << where << " " << dtype_name(col.type());
    EXPECT_EQ(col.as_double(i), c["v"].num()) << where;
  } else if (t == "b") {
    ASSERT_EQ(col.type(), DType::Bool) << where;
    EXPECT_EQ(col.integer(i) != 0, c["v"].boolean()) << where;
  } else if (t == "d") {
    ASSERT_EQ(col.type(), DType::Timestamp) << where;
    EXPECT_TRUE(col.tz().empty());
    EXPECT_EQ(col.integer(i), static_cast<std::int64_t>(c["us"].num()) * 1000)
        << where << ": " << format_timestamp_ns(col.integer(i));
  } else {
    ADD_FAILURE() << where << ": openpyxl cell kind " << t;
  }
}

// Our reading of a workbook against openpyxl's grid of its first sheet.
void expect_same_as_openpyxl(const Frame& f, const Json& dump, const std::string& what) {
  std::vector<Json> rows = dump["rows"].arr();
  while (!rows.empty() && empty_row(rows.front())) rows.erase(rows.begin());
  while (!rows.empty() && empty_row(rows.back())) rows.pop_back();
  ASSERT_FALSE(rows.empty()) << what;
  const auto& header = rows.front().arr();
  ASSERT_EQ(f.num_columns(), header.size()) << what;
  ASSERT_EQ(f.num_rows(), rows.size() - 1) << what;
  for (std::size_t j = 0; j < header.size(); ++j) {
    EXPECT_EQ(f.names()[j], header_name(header[j], j)) << what;
    for (std::size_t i = 0; i + 1 < rows.size(); ++i)
      expect_cell(f.column_at(j), i, rows[i + 1].arr().at(j),
                  what + " column " + f.names()[j] + " row " + std::to_string(i));
  }
}

}  // namespace

TEST(XlsxPeer, WorkbooksOpenpyxlWritesReadAsOpenpyxlReadsThem) {
  const auto dir = scratch("in");
  const Json made = run_peer("make " + dir.string());
  for (const char* name : {"basic", "sparse", "order", "mac1904", "formats"}) {
    SCOPED_TRACE(name);
    const Frame f = read_path(dir / (std::string(name) + ".xlsx"));
    expect_same_as_openpyxl(f, made[name], name);
  }
  // Column types as the table rules give them, on the mixed-content file.
  const Frame basic = read_path(dir / "basic.xlsx");
  EXPECT_EQ(basic.column("name").type(), DType::Text);
  EXPECT_EQ(basic.column("qty").type(), DType::Int64);
  EXPECT_EQ(basic.column("qty").integer(2), 123456789012);
  EXPECT_EQ(basic.column("price").type(), DType::Float64);
  EXPECT_EQ(basic.column("flag").type(), DType::Bool);
  EXPECT_EQ(basic.column("when").type(), DType::Timestamp);
  EXPECT_EQ(basic.column("day").type(), DType::Timestamp);
  EXPECT_EQ(basic.column("partial").type(), DType::Float64);  // integral, one missing
  const Frame order = read_path(dir / "order.xlsx");
  EXPECT_EQ(order.names(), (std::vector<std::string>{"k", "v"}));
  const Frame formats = read_path(dir / "formats.xlsx");
  EXPECT_EQ(formats.column("mixed").type(), DType::Text);
  EXPECT_EQ(formats.column("percent").type(), DType::Float64);
  fs::remove_all(dir);
}

namespace {

Frame sample_frame() {
  Frame f;
  f.add_column("f", Column::floats({1.5, kNaN, -2.25e-7, 1e300}));
  f.add_column("i", Column::ints({1, -2, 9007199254740993LL, 0}, {1, 1, 1, 0}));
  f.add_column("b", Column::bools({1, 0, 0, 1}, {1, 1, 0, 1}));
  f.add_column("s", Column::texts({"plain", "", "b\xC3\xA9ta \xE6\x9D\xB1", " two  spaces "}, {1, 0, 1, 1}));
  f.add_column("d", Column::dates({days_from_civil(2024, 2, 29), 0, days_from_civil(1900, 1, 1), 0}, {1, 1, 1, 0}));
  f.add_column("t", Column::timestamps({parse_datetime_ns("2024-01-02 03:04:05.250"), 0,
                                        parse_datetime_ns("1999-12-31 23:59:59"), parse_datetime_ns("2262-01-01")},
                                       {}, {1, 0, 1, 1}));
  return f;
}

}  // namespace

TEST(XlsxPeer, WorkbooksWeWriteOpenpyxlReadsAsOurFrame) {
  const auto dir = scratch("out");
  Frame f = sample_frame();
  for (bool index : {false, true}) {
    for (bool text_labels : {false, true}) {
      if (text_labels && !index) continue;
      SCOPED_TRACE(std::string("index=") + (index ? "1" : "0") + (text_labels ? " text labels" : ""));
      Frame g = f;
      if (text_labels) g.set_index(Index::texts({"r0", "r1", "r2", "r3"}));
      const auto bytes = formats::write_xlsx(g, index);
      const auto path = dir / "ours.xlsx";
      write_file(path.string(), std::string(bytes.begin(), bytes.end()));
      const Json dump = run_peer("dump " + path.string());
      const auto& rows = dump["rows"].arr();
      ASSERT_EQ(rows.size(), g.num_rows() + 1);
      const std::size_t off = index ? 1 : 0;
      const auto& header = rows[0].arr();
      ASSERT_EQ(header.size(), g.num_columns() + off);
      if (index) {
        EXPECT_TRUE(header[0].is_null());
      }
      for (std::size_t j = 0; j < g.num_columns(); ++j) {
        EXPECT_EQ(header[j + off]["v"].str(), g.names()[j]);
        const Column& col = g.column_at(j);
        for (std::size_t i = 0; i < g.num_rows(); ++i) {
          const Json& c = rows[i + 1].arr()[j + off];
          const std::string where = g.names()[j] + " row " + std::to_string(i);
          if (col.is_missing(i) || (col.type() == DType::Text && col.text(i).empty())) {
            EXPECT_TRUE(c.is_null()) << where;
            continue;
          }
          ASSERT_FALSE(c.is_null()) << where;
          switch (col.type()) {
            case DType::Float64: EXPECT_EQ(c["v"].num(), col.f64()[i]) << where; break;
            case DType::Int64:
              if (col.integer(i) == 9007199254740993LL) EXPECT_EQ(c["v"].str(), "9007199254740993") << where;
              else EXPECT_EQ(c["v"].num(), static_cast<double>(col.integer(i))) << where;
              break;
            case DType::Bool: EXPECT_EQ(c["v"].boolean(), col.integer(i) != 0) << where; break;
            case DType::Text: EXPECT_EQ(c["v"].str(), col.text(i)) << where; break;
            case DType::Date:
              EXPECT_EQ(static_cast<std::int64_t>(c["us"].num()), col.integer(i) * 86400000000LL) << where;
              break;
            case DType::Timestamp:
              EXPECT_EQ(static_cast<std::int64_t>(c["us"].num()) * 1000, col.integer(i)) << where;
              break;
            case DType::Time: ADD_FAILURE() << "no time-of-day column in this table: " << where; break;
          }
        }
      }
      for (std::size_t i = 0; index && i < g.num_rows(); ++i) {
        const Json& c = rows[i + 1].arr()[0];
        if (text_labels) EXPECT_EQ(c["v"].str(), g.index().text_label(i));
        else EXPECT_EQ(c["v"].num(), static_cast<double>(i));
      }
      // And our own reader agrees with openpyxl on the same file.
      expect_same_as_openpyxl(read_path(path), dump, "ours");
    }
  }
  // Infinities are written as text, which openpyxl opens.
  Frame inf;
  inf.add_column("x", Column::floats({std::numeric_limits<double>::infinity(), 2}));
  const auto bytes = formats::write_xlsx(inf, false);
  write_file((dir / "inf.xlsx").string(), std::string(bytes.begin(), bytes.end()));
  const Json dump = run_peer("dump " + (dir / "inf.xlsx").string());
  EXPECT_EQ(dump["rows"].arr().at(1).arr().at(0)["v"].str(), "inf");
  EXPECT_EQ(dump["rows"].arr().at(2).arr().at(0)["v"].num(), 2);
  fs::remove_all(dir);
}
