#pragma once
// A column's cells as plain vectors, so that a test can compare a whole
// column with one EXPECT_EQ.
#include <cstdint>
#include <string>
#include <vector>

#include "quorin_data/core/column.hpp"

inline std::vector<std::string> texts(const quorin_data::Column& c) {
  std::vector<std::string> out;
  out.reserve(c.size());
  for (std::size_t i = 0; i < c.size(); ++i) out.emplace_back(c.text(i));
  return out;
}

inline std::vector<std::int64_t> ints(const quorin_data::Column& c) {
  std::vector<std::int64_t> out;
  out.reserve(c.size());
  for (std::size_t i = 0; i < c.size(); ++i) out.push_back(c.integer(i));
  return out;
}

inline std::vector<double> floats(const quorin_data::Column& c) {
  auto s = c.f64();
  return {s.begin(), s.end()};
}

inline std::vector<std::uint8_t> valid(const quorin_data::Column& c) { return c.presence_bytes(); }
