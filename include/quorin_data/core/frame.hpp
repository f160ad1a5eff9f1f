// Frame, Series and their building blocks: typed columns and row indexes.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "quorin_data/core/column.hpp"
#include "quorin_data/core/dates.hpp"

namespace quorin_data {

// The most rows a decoder accepts for a table without columns: nothing in the
// input stores such rows, only a declared count, which is held to this.
constexpr std::size_t kMaxRowsWithoutColumns = std::size_t{1} << 20;

// Row labels: positions 0..n-1 (Range), integer labels (Int) or text labels (Text).
class Index {
 public:
  enum class Kind { Range, Int, Text };

  Index() = default;
  static Index range(std::size_t n, std::int64_t start = 0);
  static Index ints(std::vector<std::int64_t> labels);
  static Index texts(std::vector<std::string> labels);
  // The labels of an Int64 or Text column (its missing cells as 0 / "").
  static Index from_column(const Column& c);

  Kind kind() const noexcept { return kind_; }
  std::size_t size() const noexcept;
  bool is_default_range() const noexcept { return kind_ == Kind::Range && start_ == 0; }
  std::int64_t int_label(std::size_t i) const noexcept {
    return kind_ == Kind::Range ? start_ + static_cast<std::int64_t>(i) : ints_[i];
  }
  const std::string& text_label(std::size_t i) const { return texts_[i]; }
  std::string label_text(std::size_t i) const;
  const std::vector<std::string>& text_labels() const noexcept { return texts_; }
  Index take(const std::vector<std::size_t>& rows) const;
  static Index concat(const std::vector<const Index*>& parts);

  std::string name;  // e.g. "ID" for service results

  friend bool operator==(const Index& a, const Index& b);

 private:
  Kind kind_ = Kind::Range;
  std::size_t n_ = 0;
  std::int64_t start_ = 0;
  std::vector<std::int64_t> ints_;
  std::vector<std::string> texts_;
};

// Ordered named columns of equal length and a row index.
// One key of a multi-column sort: the cells of `column` at the positions
// `rows` (null: row i is position i), ascending or not.
struct SortKey {
  const Column* column;
  const std::vector<std::size_t>* rows = nullptr;
  bool ascending = true;
};

// The stable order of n rows by `keys`, the first deciding first, as
// Frame::sort_values orders them: texts by bytes, missing values last in
// either direction.
std::vector<std::size_t> stable_sort_order(std::size_t n, const std::vector<SortKey>& keys);

class Frame {
 public:
  Frame() = default;

  std::size_t num_rows() const noexcept { return index_.size(); }
  std::size_t num_columns() const noexcept { return columns_.size(); }
  const std::vector<std::string>& names() const noexcept { return names_; }
  const std::vector<Column>& columns() const noexcept { return columns_; }

  bool has_column(std::string_view name) const noexcept;
  // First column of that name; KeyError with the name when absent.
  const Column& column(std::string_view name) const;
  const Column& column_at(std::size_t i) const { return columns_.at(i); }
  std::ptrdiff_t find(std::string_view name) const noexcept;

  // Appends a column (duplicate names allowed). The first column fixes the
  // row count when the frame has none; later ones must match it.
  void add_column(std::string name, Column c);
  // Replaces the first column of that name, or appends it.
  void set_column(std::string name, Column c);
  // Replaces the column at position i (same length).
  void replace_column(std::size_t i, Column c);
  void rename_column(std::string_view from, std::string to);
  void drop_column(std::string_view name);

  const Index& index() const noexcept { return index_; }
  void set_index(Index idx);

  // Rows at positions, keeping their labels.
  Frame take(const std::vector<std::size_t>& rows) const;
  // Same table with labels 0..n-1.
  Frame reset_index() const;
  // Row-wise concatenation: columns by name in first-seen order (a column
  // missing from a part is missing there, in the column's own type), labels
  // kept.
  static Frame concat_rows(const std::vector<const Frame*>& parts);
  // Same result, taking the parts: when every part has the same distinct
  // column names with the same types and zones (chunks of one file), the
  // values are moved into the result and each part's storage is freed as
  // soon as it has been appended, so texts are never copied and the peak
  // stays near one table. The parts are left empty. (A template so that a
  // braced list of pointers still picks the overload above.)
  template <class Parts>
    requires std::same_as<Parts, std::vector<Frame>>
  static Frame concat_rows(Parts&& parts) {
    return concat_rows_taking(parts);
  }
  // Selected columns, in the given order (KeyError for an unknown name).
  Frame select(const std::vector<std::string>& names) const;

  // The rows with no missing value in any of `subset` (every column when
  // empty), keeping their labels.
  Frame dropna(const std::vector<std::string>& subset = {}) const;
  // The row labels as a new first column (named after the index, else
  // "index"), and labels 0..n-1.
  Frame reset_index_to_column() const;
  // The column `name` as the row index (named `name`) and removed from the
  // columns. Integer and text columns without missing values only
  // (ValueError otherwise).
  Frame set_index_column(const std::string& name) const;
  // Rows sorted by the columns `by`, the first deciding first; `ascending`
  // is empty (all ascending) or one flag per column. The sort is stable,
  // missing values go last in either direction, labels are kept.
  Frame sort_values(const std::vector<std::string>& by, const std::vector<bool>& ascending = {}) const;
  // Left join on the key columns `on` (one or more, present on both sides):
  // every row of this frame in order, once for each matching row of `right`
  // (in right's order), or once with missing right values when none
  // matches. Columns: this frame's, then right's other columns; a name on
  // both sides besides the keys is a ValueError ("columns overlap but no
  // suffix specified: [...]"). Keys match by value (integers and floats
  // alike, zoned timestamps by instant; missing matches missing); key types
  // that cannot compare are a ValueError. Labels 0..n-1.
  Frame merge_left(const Frame& right, const std::vector<std::string>& on) const;

  // The columns, leaving the frame empty (for converters that consume it).
  std::vector<Column> release_columns() &&;

  friend bool operator==(const Frame& a, const Frame& b);

 private:
  static Frame concat_rows_taking(std::vector<Frame>& parts);

  std::vector<std::string> names_;
  std::vector<Column> columns_;
  Index index_;
};

// One labelled column with a name and an indicator category.
class Series {
 public:
  Series() = default;
  Series(Column values, Index index, std::string name = {});
  explicit Series(std::vector<double> values, std::string name = {});
  Series(std::vector<double> values, Index index, std::string name = {});

  std::size_t size() const noexcept { return values.size(); }
  // The float64 values (only for Float64 series).
  std::span<const double> f64() const noexcept { return values.f64(); }

  Column values;
  Index index;
  std::string name;
  std::string category;

  friend bool operator==(const Series& a, const Series& b);
};

// Shortest text that reads back to the same double, in the research
// language's float form: positional from 1e-4 up to (not including) 1e16,
// with ".0" on integral values so that a float column does not read back as
// integers ("100000.0", "0.0001"); scientific outside ("1e+16", "1e-05").
// NaN -> "nan", infinities -> "inf" / "-inf".
std::string format_double(double v);
// The same text written to `out` (room for kFormatDoubleMax bytes); its length.
inline constexpr std::size_t kFormatDoubleMax = 32;
std::size_t format_double_to(char* out, double v);
// Shortest round-trip text without the ".0" rule (for printing).
std::string format_double_shortest(double v);

}  // namespace quorin_data
