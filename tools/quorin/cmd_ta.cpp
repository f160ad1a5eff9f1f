// `quorin ta NAME ...`: computes one technical indicator over a CSV of bars
// and prints the result as CSV (row label, then the result column).
#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "commands.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/ta/grouped.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/volume.hpp"

namespace ov = quorin_data::ta::overlap;
namespace vo = quorin_data::ta::volume;
using quorin_data::Frame;
using quorin_data::Kwargs;
using quorin_data::Series;
using quorin_data::Value;

namespace quorin_cli {
namespace {

const char* kUsage =
    "usage: quorin ta NAME [--length N] [--offset N] [--fast N] [--slow N] [--OPTION VALUE]...\n"
    "                 [--input FILE.csv] [--column NAME] [--mode MODE] [--by COLUMNS [--order COLUMN]]\n"
    "  NAME: sma ema rma wma dema tema hma hlc3 vwap ma obv ad adosc cmf\n"
    "  Reads a CSV (standard input by default) with columns high, low, close, volume;\n"
    "  single-average indicators use close or --column NAME; ma takes --mode.\n"
    "  Other --OPTION VALUE pairs are extra keywords (fillna, fill_method, min_periods,\n"
    "  adjust, sma, asc, anchor, ...): integers, other numbers, true/false, else text.\n"
    "  Prints the row label and the result; missing values are empty fields.\n"
    "  --by COLUMNS (comma-separated) computes the indicator per group of rows with\n"
    "  equal values there (one security, one event window), never across groups;\n"
    "  --order COLUMN orders the rows inside each group (else file order). Prints the\n"
    "  row label, the --by and --order columns and the result, rows in file order;\n"
    "  a group too short for the window has empty fields.\n"
    "  Exit status: 0 result printed, 1 error, 2 usage, 3 no result (input too short\n"
    "  or not numeric).";

// An option value as a keyword value: int, float, bool or text.
Value parse_value(const std::string& s) {
  std::int64_t i = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), i);
  if (ec == std::errc() && p == s.data() + s.size() && !s.empty()) return Value(i);
  double d = 0;
  auto [q, ec2] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (ec2 == std::errc() && q == s.data() + s.size() && !s.empty()) return Value(d);
  if (s == "true" || s == "True") return Value(true);
  if (s == "false" || s == "False") return Value(false);
  return Value(s);
}

Series column_series(const Frame& f, const std::string& name) {
  const auto& col = f.column(name);  // KeyError naming the column when absent
  return Series(col, f.index(), name);
}

// The input columns of an indicator, in argument order.
std::vector<std::string> input_columns(const std::string& name, const std::string& column) {
  if (name == "obv") return {"close", "volume"};
  if (name == "hlc3") return {"high", "low", "close"};
  if (name == "vwap" || name == "ad" || name == "adosc" || name == "cmf") return {"high", "low", "close", "volume"};
  return {column};
}

int run_grouped(const std::string& name, const Args& a, const Frame& frame, Kwargs kw) {
  namespace gr = quorin_data::ta::grouped;
  if (auto mode = a.get("mode")) kw.set("mode", Value(*mode));
  gr::Entry e{"result", name, input_columns(name, a.get_or("column", "close")), std::move(kw)};
  const std::vector<std::string> by = split_list(*a.get("by"));
  if (by.empty()) throw UsageError("--by needs at least one column");
  const std::optional<std::string> order = a.get("order");
  const std::string out_name = gr::Plan({e}).bound()[0].result_name;
  e.output = out_name;
  while (frame.has_column(e.output)) e.output += "_";
  Frame r = gr::compute(frame, {e}, by, order);
  std::vector<std::string> shown = by;
  if (order && std::find(by.begin(), by.end(), *order) == by.end()) shown.push_back(*order);
  shown.push_back(e.output);
  Frame printed = r.select(shown);
  if (e.output != out_name) printed.rename_column(e.output, out_name);
  quorin_data::formats::write_csv(printed, true, std::cout);
  return 0;
}

int run_ta(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {}, {"input", "column", "mode", "by", "order"}, true);
  if (a.positional.size() != 1) throw UsageError("expected one indicator NAME");
  const std::string name = a.positional[0];
  static const std::vector<std::string> known = {"sma",  "ema",  "rma", "wma", "dema",
                                                 "tema", "hma",  "hlc3", "vwap", "ma",
                                                 "obv",  "ad",   "adosc", "cmf"};
  if (std::find(known.begin(), known.end(), name) == known.end())
    throw UsageError("unknown indicator '" + name + "'");

  std::string text;
  if (auto path = a.get("input")) {
    std::ifstream in(*path, std::ios::binary);
    if (!in) throw quorin_data::ValueError("cannot open input file '" + *path + "'");
    text.assign(std::istreambuf_iterator<char>(in), {});
  } else {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  }
  const Frame frame = quorin_data::formats::read_csv(text, a.get_or("input", "<stdin>"));

  // Named parameters are taken out; everything else is an extra keyword.
  Kwargs kw;
  for (const auto& [k, v] : a.options)
    if (k != "input" && k != "column" && k != "mode" && k != "by" && k != "order") kw.set(k, parse_value(v));
  if (a.get("order") && !a.get("by")) throw UsageError("--order needs --by");
  if (a.get("by")) return run_grouped(name, a, frame, kw);
  auto take = [&kw](const char* k, Value def = Value()) { return kw.pop(k).value_or(def); };
  auto col = [&](const char* c) { return column_series(frame, c); };

  std::optional<Series> r;
  if (name == "ma") {
    Value mode = a.get("mode") ? Value(*a.get("mode")) : Value();
    r = ov::ma(mode, col(a.get_or("column", "close").c_str()), kw);
  } else if (name == "hlc3" || name == "vwap" || name == "obv" || name == "ad" ||
             name == "adosc" || name == "cmf") {
    if (name == "obv") {
      Value off = take("offset");
      r = vo::obv(col("close"), col("volume"), off, kw);
    } else {
      Series h = col("high"), l = col("low"), c = col("close");
      if (name == "hlc3") {
        Value off = take("offset");
        r = ov::hlc3(h, l, c, off, kw);
      } else if (name == "vwap") {
        Value anchor = take("anchor"), off = take("offset");
        r = ov::vwap(h, l, c, col("volume"), anchor, off, kw);
      } else if (name == "ad") {
        Value off = take("offset");
        r = vo::ad(h, l, c, col("volume"), off, kw);
      } else if (name == "adosc") {
        Value fast = take("fast"), slow = take("slow"), off = take("offset");
        r = vo::adosc(h, l, c, col("volume"), fast, slow, off, kw);
      } else {
        Value len = take("length"), off = take("offset");
        r = vo::cmf(h, l, c, col("volume"), len, off, kw);
      }
    }
  } else {
    // The single averages dispatch like `ma` with the name as the mode.
    r = ov::ma(Value(name), col(a.get_or("column", "close").c_str()), kw);
  }

  if (!r) {
    std::cerr << "quorin ta: " << name
              << ": no result (an input is shorter than the window or not numeric)\n";
    return 3;
  }
  std::string out = r->index.name + "," + r->name + "\n";
  for (std::size_t i = 0; i < r->size(); ++i) {
    out += r->index.label_text(i);
    out += ',';
    const double v = r->f64()[i];
    if (!std::isnan(v)) out += quorin_data::format_double_shortest(v);
    out += '\n';
  }
  std::cout << out;
  return 0;
}

}  // namespace

QUORIN_COMMAND("ta", "compute a technical indicator over a CSV of bars", kUsage, run_ta);

}  // namespace quorin_cli
