// Series utilities used by the indicator modules `overlap` and `volume`.
//
// Rules of this module (the indicators rely only on "absent stops the
// computation"; the rest is ours and documented here):
//   verify_series   Float64 series are used as they are; Int64 and Bool series
//                   are converted to Float64 (a missing slot becomes NaN);
//                   Text, Date and Timestamp series are not numbers and give
//                   absent. A series with fewer rows than `min_length` gives
//                   absent. An empty series without `min_length` is accepted.
//                   A series whose values and index differ in length is a
//                   broken object and raises ValueError.
//   get_offset      absent -> 0; int (or bool) as is; float truncated toward
//                   zero; NaN/inf -> ValueError; other kinds -> the
//                   argument-type error with "offset" and "int".
//   _apply_offset   a positive offset moves every value `offset` rows later
//                   (row i goes to row i + offset), like a table library's
//                   shift(offset); a negative one moves values earlier. The
//                   vacated rows are missing; the index stays as it is.
//   _handle_fills   keywords `fill_method` ("ffill": carry the last present
//                   value forward; "bfill": carry the next present value
//                   backward) and then `fillna` (a number put in place of every
//                   missing value that is left). A None value of either means
//                   "no fill". Every other keyword is ignored.
//   non_zero_range  high - low, with every exact zero replaced by the machine
//                   epsilon of float64 (2.220446049250313e-16), so a division
//                   by the range is finite whenever its numerator is.
//   signed_series   per row the sign of x[i] - x[i-1] (+1, -1, 0), NaN where
//                   either value is missing; row 0 takes `initial`.
//   get_drift       absent, 0 or negative -> 1; otherwise the value truncated.
//
// Element-wise arithmetic between two series aligns on index labels: equal
// indexes are used as they are; otherwise the result runs over the union of
// the labels (merged in ascending order when both indexes are increasing
// integer labels, else the first index's labels followed by the new labels of
// the second), with a missing value where a label is absent from one side.
// Duplicate labels cannot be aligned (ValueError).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"

namespace quorin_data::ta::utils {

// A read-only view of an indicator input: a Series, or Float64 values and
// their row labels held by the caller (a buffer of another runtime, read
// without a copy). A view lives no longer than what it refers to; the
// indicators read through it during the call and keep nothing of it. Every
// Series converts to one implicitly.
class SeriesRef {
 public:
  SeriesRef() noexcept;  // no rows
  SeriesRef(const Series& s) noexcept  // NOLINT(google-explicit-constructor)
      : series_(&s),
        values_(s.values.type() == DType::Float64 ? s.values.f64().data() : nullptr),
        n_(s.size()),
        index_(&s.index),
        type_(s.values.type()) {}
  // n Float64 values (NaN is missing) on `index`, which should hold n labels.
  SeriesRef(const double* values, std::size_t n, const Index& index) noexcept
      : values_(values), n_(n), index_(&index) {}

  DType type() const noexcept { return type_; }
  std::size_t size() const noexcept { return n_; }
  // The values of a Float64 view (null for other types).
  const double* f64() const noexcept { return values_; }
  const Index& index() const noexcept { return *index_; }
  // The Series viewed, or null for a view of the caller's buffer.
  const Series* series() const noexcept { return series_; }

 private:
  const Series* series_ = nullptr;
  const double* values_ = nullptr;
  std::size_t n_ = 0;
  const Index* index_ = nullptr;
  DType type_ = DType::Float64;
};

std::optional<Series> verify_series(const Series& series,
                                    std::optional<std::int64_t> min_length = {});
std::int64_t get_offset(const Value& offset);
Series _apply_offset(const Series& series, std::int64_t offset);
Series _handle_fills(const Series& series, const Kwargs& kwargs);
Series non_zero_range(const Series& high, const Series& low);
Series signed_series(const Series& series, double initial = 1);
std::int64_t get_drift(const Value& drift = {});

// The epsilon that replaces a zero range.
inline constexpr double kZeroRange = 2.220446049250313e-16;

// Building blocks shared by the indicator implementations.
namespace detail {

// An integer parameter: nullopt when absent, the value truncated toward zero
// when a number; the argument-type error (name, "int") for any other kind.
std::optional<std::int64_t> int_param(const char* name, const Value& v);
// The working value of a window parameter: the given value converted to an
// integer when it is present, non-zero and greater than 0 (tested before the
// conversion), otherwise `def`.
std::int64_t window_param(const char* name, const Value& v, std::int64_t def);
// Raises the argument-type error unless `v` is absent or text.
void check_str_or_none(const char* name, const Value& v);

// A verified input: a Float64 view of the caller's values when they are
// usable as they are, or of a converted copy (Int64, Bool). Empty when the
// series is rejected.
class Verified {
 public:
  Verified() = default;
  explicit Verified(const SeriesRef& s) : ref_(s), ok_(true) {}
  explicit Verified(Series owned) : owned_(std::move(owned)), ref_(*owned_), ok_(true) {}
  Verified(Verified&& o) noexcept;
  Verified& operator=(Verified&& o) noexcept;
  Verified(const Verified&) = delete;
  Verified& operator=(const Verified&) = delete;

  explicit operator bool() const noexcept { return ok_; }
  const SeriesRef& operator*() const noexcept { return ref_; }
  const SeriesRef* operator->() const noexcept { return &ref_; }
  // The converted copy, or null when the caller's values are used.
  const Series* converted() const noexcept { return owned_ ? &*owned_ : nullptr; }

 private:
  std::optional<Series> owned_;  // before ref_, which may view it
  SeriesRef ref_;
  bool ok_ = false;
};
Verified verify(const SeriesRef& series, std::optional<std::int64_t> min_length = {});

// Several series on one index: raw value pointers into the inputs when their
// indexes are equal, into aligned copies otherwise.
struct Aligned {
  Index index;
  std::size_t n = 0;
  std::vector<const double*> data;
  std::vector<std::vector<double>> owned;
};
Aligned align(std::initializer_list<const SeriesRef*> inputs);
// True when two indexes hold the same labels in the same order (O(1) for two
// ranges).
bool same_index(const Index& a, const Index& b);
// The direction of each change of a Float64 series (see signed_series).
std::vector<double> signed_values(const SeriesRef& series, double initial);

// An empty result with room for n values, which the caller appends (each
// value then written once: no zero fill before).
std::vector<double> result_buffer(std::size_t n);
// The result f(0), ..., f(n-1), each value written once.
template <class F>
std::vector<double> values_of(std::size_t n, F&& f) {
  std::vector<double> out = result_buffer(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(f(i));
  return out;
}

void apply_offset_inplace(std::vector<double>& v, std::int64_t offset);
void handle_fills_inplace(std::vector<double>& v, const Kwargs& kwargs);

// Shared tail of every indicator: offset, fills, name, category.
Series finish(std::vector<double> values, Index index, std::int64_t offset, const Kwargs& fills,
              std::string name, const char* category);

}  // namespace detail
}  // namespace quorin_data::ta::utils
