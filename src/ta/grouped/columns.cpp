// The grouped call over a Frame: group codes from the key columns, the order
// key and the float64 inputs. The only place of the grouped module that reads
// column storage.
#include <string_view>
#include <unordered_map>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/grouped.hpp"

namespace quorin_data::ta::grouped {

namespace {

struct PairHash {
  std::size_t operator()(const std::pair<std::int64_t, std::int64_t>& p) const noexcept {
    return std::hash<std::int64_t>()(p.first * 0x9E3779B97F4A7C15ull ^ p.second);
  }
};

// Per row the code of the column's value (0, 1, ... in order of first
// appearance), -1 where it is missing.
std::vector<std::int64_t> value_codes(const Column& c) {
  const std::size_t n = c.size();
  std::vector<std::int64_t> codes(n, -1);
  auto number = [&](auto&& map, auto value_of) {
    for (std::size_t i = 0; i < n; ++i) {
      if (c.is_missing(i)) continue;
      auto [it, fresh] = map.try_emplace(value_of(i), static_cast<std::int64_t>(map.size()));
      codes[i] = it->second;
    }
  };
  switch (c.type()) {
    case DType::Text:
      number(std::unordered_map<std::string_view, std::int64_t>(), [&](std::size_t i) {
        return c.text(i);
      });
      break;
    case DType::Float64:
      // -0.0 and 0.0 are one value.
      number(std::unordered_map<double, std::int64_t>(), [&](std::size_t i) { return c.f64()[i] + 0.0; });
      break;
    default:
      number(std::unordered_map<std::int64_t, std::int64_t>(), [&](std::size_t i) { return c.integer(i); });
  }
  return codes;
}

const Column& named(const Frame& df, const std::string& name, const char* role) {
  if (!df.has_column(name)) throw KeyError("grouped: no column '" + name + "' (" + role + ")");
  return df.column(name);
}

}  // namespace

Frame compute(const Frame& df, const Spec& spec, const std::vector<std::string>& by,
              const std::optional<std::string>& order, unsigned threads) {
  const Plan plan(spec);
  const std::size_t n = df.num_rows();
  for (const Entry& e : spec)
    if (df.has_column(e.output))
      throw ValueError("grouped: the output column '" + e.output + "' is already a column of the input");
  if (by.empty()) throw ValueError("grouped: `by` names no column");

  std::vector<const Column*> keys;
  for (const std::string& b : by) keys.push_back(&named(df, b, "by"));
  const Column* order_col = order ? &named(df, *order, "order") : nullptr;
  std::vector<std::vector<double>> converted;
  converted.reserve(plan.columns().size());
  std::vector<const double*> inputs;
  for (const std::string& name : plan.columns()) {
    const Column& c = named(df, name, "input");
    if (c.type() == DType::Float64) {
      inputs.push_back(c.f64().data());
    } else if (c.type() == DType::Int64 || c.type() == DType::Bool) {
      std::vector<double> v(n);
      for (std::size_t i = 0; i < n; ++i) v[i] = c.is_missing(i) ? kNaN : static_cast<double>(c.integer(i));
      converted.push_back(std::move(v));
      inputs.push_back(converted.back().data());
    } else {
      throw TypeError("grouped: input column '" + name + "' is not numeric (" + dtype_name(c.type()) + ")");
    }
  }
  OrderKey key;
  std::vector<std::int64_t> order_values;
  if (order_col) {
    if (order_col->type() == DType::Float64) {
      key.f64 = order_col->f64().data();
    } else if (order_col->type() == DType::Text) {
      throw TypeError("grouped: the order column '" + *order + "' holds texts");
    } else {
      for (std::size_t i = 0; i < n; ++i)
        if (order_col->is_missing(i))
          throw ValueError("the order column holds a missing value at row " + std::to_string(i));
      order_values.resize(n);
      for (std::size_t i = 0; i < n; ++i) order_values[i] = order_col->integer(i);
      key.i64 = order_values.data();
    }
  }

  // The codes of the key tuples: each further key column splits the groups.
  std::vector<std::int64_t> codes = value_codes(*keys[0]);
  for (std::size_t k = 1; k < keys.size(); ++k) {
    const std::vector<std::int64_t> next = value_codes(*keys[k]);
    std::unordered_map<std::pair<std::int64_t, std::int64_t>, std::int64_t, PairHash> pairs;
    for (std::size_t i = 0; i < n; ++i) {
      if (codes[i] < 0 || next[i] < 0) {
        codes[i] = -1;
        continue;
      }
      auto [it, fresh] = pairs.try_emplace({codes[i], next[i]}, static_cast<std::int64_t>(pairs.size()));
      codes[i] = it->second;
    }
  }

  const Groups groups = group_rows(codes.data(), n, order_col ? &key : nullptr);
  auto values = run(plan, inputs, n, groups, threads);
  Frame out = df;
  for (std::size_t e = 0; e < spec.size(); ++e) out.add_column(spec[e].output, Column::floats(std::move(values[e])));
  return out;
}

}  // namespace quorin_data::ta::grouped
