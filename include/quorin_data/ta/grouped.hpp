// Indicators by group in one call: the indicators of `overlap` and `volume`
// computed per security (or per event window), never across the rows of two
// groups.
//
// A spec lists the indicators to compute, each under its output column name:
// the function's name (sma ema rma wma dema tema hma hlc3 vwap ma obv ad adosc
// cmf), its input columns in the function's argument order, and its
// parameters by name (`length`, `offset`, `asc`, `fast`, `slow`, `anchor`,
// `mode`, and any extra keyword the function takes, such as `adjust` or
// `fillna`). Each group's values are, bit for bit, those of the single
// function called on that group's rows (in the order given, else in row
// order) as a series of its own: the same kernels run over the group's rows
// gathered into one contiguous buffer. Where the single function gives absent
// (a group shorter than the window) the group's rows are missing. `adosc` and
// `hma` raise for an input shorter than an inner average's window; here such
// a group is missing too, so that one short group does not fail the others.
//
// A bad spec (unknown function, wrong number of inputs, a parameter of the
// wrong kind, a window the function rejects) is a ValueError or TypeError
// naming the entry, raised before any group is computed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"

namespace quorin_data::ta::grouped {

// One indicator of a spec.
struct Entry {
  std::string output;               // result column name
  std::string function;             // e.g. "ema", "cmf"
  std::vector<std::string> inputs;  // input column names, in argument order
  Kwargs params;                    // parameters by name
};
using Spec = std::vector<Entry>;

// A checked spec, ready to run over groups.
class Plan {
 public:
  explicit Plan(Spec spec);

  // An entry bound to its function: the positions in columns() of its
  // inputs, its named parameters, its extra keywords, and the fewest rows a
  // group needs for the function to give a result.
  struct Bound {
    int function = 0;
    std::vector<std::size_t> inputs;
    Value length, offset, asc = true, fast, slow, anchor, mode;
    Kwargs rest;
    std::size_t min_rows = 0;
    std::string result_name;  // the single function's result name (EMA_20)
  };

  const Spec& spec() const noexcept { return spec_; }
  // The distinct input columns of every entry, in order of first use.
  const std::vector<std::string>& columns() const noexcept { return columns_; }
  const std::vector<Bound>& bound() const noexcept { return bound_; }

  // The entry's function over one group's gathered inputs (n rows each):
  // the single function's result, or absent.
  std::optional<Series> call(std::size_t entry, const std::vector<const double*>& inputs, std::size_t n) const;

 private:
  Spec spec_;
  std::vector<std::string> columns_;
  std::vector<Bound> bound_;
};

// The rows of every group, each group's rows in order: group g holds
// rows[starts[g]] .. rows[starts[g + 1] - 1].
struct Groups {
  std::vector<std::size_t> starts{0};
  std::vector<std::size_t> rows;
  std::size_t num_groups() const noexcept { return starts.size() - 1; }
};

// An order column for the rows inside a group: int64 values (timestamps as
// nanoseconds, dates as days) or float64 values; exactly one is set. A
// missing order value (NaN) is a ValueError: the row would have no place.
struct OrderKey {
  const std::int64_t* i64 = nullptr;
  const double* f64 = nullptr;
};

// Groups from per-row group codes (0 .. G-1; a negative code puts the row in
// no group, its results are missing), numbered by code; rows of a group in
// row order, or stably by `order` when given.
Groups group_rows(const std::int64_t* codes, std::size_t n, const OrderKey* order = nullptr);

// The results of every entry of the plan, n rows each in row order, over
// `columns` (one float64 buffer of n rows per plan.columns(), NaN missing).
// Groups run on `threads` threads (0: one per 32768 rows, up to the cores);
// each group's values do not depend on how the groups are spread.
std::vector<std::vector<double>> run(const Plan& plan, const std::vector<const double*>& columns,
                                     std::size_t n, const Groups& groups, unsigned threads = 0);

// The whole call over a Frame: groups by the values of the `by` columns
// (rows with a missing value in any of them belong to no group), ordered
// inside each group by `order` when given. Returns the input's columns and
// index followed by one float64 column per entry. Input columns must be
// numeric (float64, int64 or bool); the order column numeric, a date or a
// timestamp. An output name that is already a column is a ValueError.
Frame compute(const Frame& df, const Spec& spec, const std::vector<std::string>& by,
              const std::optional<std::string>& order = {}, unsigned threads = 0);

}  // namespace quorin_data::ta::grouped
