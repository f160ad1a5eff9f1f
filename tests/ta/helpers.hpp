// Shared helpers of the indicator tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"

namespace ta_test {

using quorin_data::Index;
using quorin_data::Kwargs;
using quorin_data::Series;
using quorin_data::Value;

inline const double NaN = quorin_data::kNaN;

inline Series S(std::vector<double> v) { return Series(std::move(v)); }
inline Series S(std::vector<double> v, std::vector<std::int64_t> labels) {
  return Series(std::move(v), Index::ints(std::move(labels)));
}

// Element-wise comparison: both missing, or both present and within tol
// (relative to the magnitude); infinities must match exactly.
inline ::testing::AssertionResult Near(std::span<const double> got, std::span<const double> want,
                                       double tol = 1e-12) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure()
           << "size " << got.size() << " != " << want.size();
  for (std::size_t i = 0; i < got.size(); ++i) {
    const double g = got[i], w = want[i];
    if (std::isnan(g) && std::isnan(w)) continue;
    if (std::isinf(w) && g == w) continue;
    if (std::isnan(g) || std::isnan(w) || std::isinf(g) || std::isinf(w) ||
        std::fabs(g - w) > tol * std::max(1.0, std::fabs(w)))
      return ::testing::AssertionFailure() << "row " << i << ": got " << g << ", want " << w;
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult Near(std::span<const double> got, std::initializer_list<double> want,
                                       double tol = 1e-12) {
  return Near(got, std::span<const double>(want.begin(), want.size()), tol);
}

inline ::testing::AssertionResult Near(const std::optional<Series>& got, std::span<const double> want,
                                       double tol = 1e-12) {
  if (!got) return ::testing::AssertionFailure() << "result is absent";
  return Near(got->f64(), want, tol);
}

inline ::testing::AssertionResult Near(const std::optional<Series>& got, std::initializer_list<double> want,
                                       double tol = 1e-12) {
  return Near(got, std::span<const double>(want.begin(), want.size()), tol);
}

// A deterministic wiggly price path of n rows.
inline std::vector<double> prices(std::size_t n, double start = 100) {
  std::vector<double> v(n);
  double x = start;
  for (std::size_t i = 0; i < n; ++i) {
    x += std::sin(0.7 * static_cast<double>(i)) * 1.5 + 0.1;
    v[i] = x;
  }
  return v;
}

}  // namespace ta_test
