// `quorin read parquet PATH [--columns a,b] [--row-group N] [--where COL=VALUE]`:
// a Parquet file (or one row group, or the rows where a column equals a
// value) printed as CSV with the row labels first.
#include <iostream>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "read_formats.hpp"

namespace quorin_cli {
namespace {

using namespace quorin_data;
using namespace quorin_data::formats;

std::vector<std::string> split_commas(const std::string& s) {
  std::vector<std::string> r;
  std::size_t start = 0;
  for (;;) {
    const std::size_t c = s.find(',', start);
    r.push_back(s.substr(start, c == std::string::npos ? std::string::npos : c - start));
    if (c == std::string::npos) break;
    start = c + 1;
  }
  return r;
}

// The filter value typed as the column reads.
Value typed_value(DType t, const std::string& text) {
  try {
    switch (t) {
      case DType::Int64: {
        std::size_t used = 0;
        const long long v = std::stoll(text, &used);
        if (used != text.size()) break;
        return Value(v);
      }
      case DType::Float64: {
        std::size_t used = 0;
        const double v = std::stod(text, &used);
        if (used != text.size()) break;
        return Value(v);
      }
      case DType::Bool:
        if (text == "true" || text == "True" || text == "1") return Value(true);
        if (text == "false" || text == "False" || text == "0") return Value(false);
        break;
      case DType::Date: {
        const std::int64_t ns = parse_datetime_ns(text);
        return Value(date_of_ns(ns));
      }
      case DType::Timestamp: return Value(Timestamp{parse_datetime_ns(text), ""});
      case DType::Text: return Value(text);
      case DType::Time: break;  // the reader gives times of day as text
    }
  } catch (const std::logic_error&) {
  }
  throw UsageError("--where value '" + text + "' does not fit a " + dtype_name(t) + " column");
}

int read_parquet_file(const std::string& path, const Args& args) {
  if (!args.positional.empty()) throw UsageError("unexpected argument '" + args.positional[0] + "'");
  const ParquetFile f = ParquetFile::open_path(path);
  std::optional<std::vector<std::string>> cols;
  if (auto c = args.get("columns")) cols = split_commas(*c);
  const auto rg = args.get("row-group");
  const auto where = args.get("where");
  if (rg && where) throw UsageError("--row-group and --where cannot be combined");
  Frame frame;
  if (rg) {
    std::size_t used = 0;
    unsigned long long n = 0;
    try {
      n = std::stoull(*rg, &used);
    } catch (const std::logic_error&) {
      used = 0;
    }
    if (used == 0 || used != rg->size()) throw UsageError("--row-group needs a number, got '" + *rg + "'");
    frame = f.read_row_group(static_cast<std::size_t>(n), cols);
  } else if (where) {
    const std::size_t eq = where->find('=');
    if (eq == std::string::npos || eq == 0) throw UsageError("--where needs COL=VALUE");
    const std::string col = where->substr(0, eq);
    frame = f.read_where_equal(col, typed_value(f.column_type(col), where->substr(eq + 1)), cols);
  } else {
    frame = f.read(cols);
  }
  write_csv(frame, true, std::cout);
  std::cout.flush();
  if (!std::cout) throw RuntimeError("cannot write to standard output");
  return 0;
}

const RegisterReadFormat reg_parquet(
    "parquet", ReadFormat{read_parquet_file,
                          {"columns", "row-group", "where"},
                          {},
                          "  parquet   a Parquet file; --columns a,b  --row-group N  --where COL=VALUE"});

}  // namespace
}  // namespace quorin_cli
