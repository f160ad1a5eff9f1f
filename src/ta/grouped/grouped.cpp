// Groups of rows and the grouped run: each group's rows gathered into
// contiguous buffers, the entry's single function over them, its values
// scattered back to the group's rows.
#include <span>
#include <algorithm>
#include <cmath>
#include <exception>
#include <thread>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/grouped.hpp"

namespace quorin_data::ta::grouped {

namespace {

template <class T>
void order_group(std::size_t* first, std::size_t* last, const T* key) {
  bool sorted = true;
  for (std::size_t* p = first; p + 1 < last && sorted; ++p) sorted = !(key[p[1]] < key[p[0]]);
  if (!sorted) std::stable_sort(first, last, [key](std::size_t a, std::size_t b) { return key[a] < key[b]; });
}

// Rows below which a second thread costs more than it saves.
constexpr std::size_t kRowsPerThread = 1 << 15;

}  // namespace

Groups group_rows(const std::int64_t* codes, std::size_t n, const OrderKey* order) {
  Groups g;
  std::int64_t top = -1;
  for (std::size_t i = 0; i < n; ++i) top = std::max(top, codes[i]);
  if (top >= static_cast<std::int64_t>(n))
    throw ValueError("group code " + std::to_string(top) + " is not below the number of rows (" +
                     std::to_string(n) + "): codes must number the groups 0, 1, ...");
  const std::size_t num = static_cast<std::size_t>(top + 1);
  // A counting sort by code keeps each group's rows in row order.
  std::vector<std::size_t> count(num + 1, 0);
  for (std::size_t i = 0; i < n; ++i)
    if (codes[i] >= 0) ++count[static_cast<std::size_t>(codes[i]) + 1];
  for (std::size_t k = 1; k <= num; ++k) count[k] += count[k - 1];
  g.starts = count;
  g.rows.resize(count[num]);
  for (std::size_t i = 0; i < n; ++i)
    if (codes[i] >= 0) g.rows[count[static_cast<std::size_t>(codes[i])]++] = i;
  if (order) {
    if (order->f64)
      for (std::size_t r : g.rows)
        if (std::isnan(order->f64[r]))
          throw ValueError("the order column holds a missing value at row " + std::to_string(r));
    for (std::size_t k = 0; k < num; ++k) {
      std::size_t* first = g.rows.data() + g.starts[k];
      std::size_t* last = g.rows.data() + g.starts[k + 1];
      if (order->i64) order_group(first, last, order->i64);
      else if (order->f64) order_group(first, last, order->f64);
    }
  }
  return g;
}

std::vector<std::vector<double>> run(const Plan& plan, const std::vector<const double*>& columns, std::size_t n,
                                     const Groups& groups, unsigned threads) {
  if (columns.size() != plan.columns().size())
    throw ValueError("grouped run: " + std::to_string(columns.size()) + " input buffers for " +
                     std::to_string(plan.columns().size()) + " input columns");
  const std::size_t entries = plan.spec().size();
  std::vector<std::vector<double>> out(entries, std::vector<double>(n, kNaN));
  const std::size_t num = groups.num_groups();

  // Groups [g0, g1): gather, compute, scatter.
  auto work = [&](std::size_t g0, std::size_t g1) {
    std::vector<std::vector<double>> gathered(columns.size());
    std::vector<const double*> in;
    for (std::size_t g = g0; g < g1; ++g) {
      const std::size_t* rows = groups.rows.data() + groups.starts[g];
      const std::size_t m = groups.starts[g + 1] - groups.starts[g];
      if (m == 0) continue;
      for (std::size_t c = 0; c < columns.size(); ++c) {
        gathered[c].resize(m);
        const double* src = columns[c];
        double* dst = gathered[c].data();
        for (std::size_t k = 0; k < m; ++k) dst[k] = src[rows[k]];
      }
      for (std::size_t e = 0; e < entries; ++e) {
        const Plan::Bound& b = plan.bound()[e];
        if (m < b.min_rows) continue;  // the single function gives absent
        in.clear();
        for (std::size_t c : b.inputs) in.push_back(gathered[c].data());
        auto r = plan.call(e, in, m);
        if (!r) continue;
        const std::span<const double> v = r->f64();
        if (v.size() != m)
          throw RuntimeError("grouped: " + plan.spec()[e].function + " gave " + std::to_string(v.size()) +
                             " values for a group of " + std::to_string(m) + " rows");
        double* o = out[e].data();
        for (std::size_t k = 0; k < m; ++k) o[rows[k]] = v[k];
      }
    }
  };

  // Automatic: one thread per kRowsPerThread rows, up to the machine's cores.
  std::size_t t = threads ? threads
                          : std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()),
                                                  std::max<std::size_t>(1, groups.rows.size() / kRowsPerThread));
  t = std::min(t, num);
  if (t <= 1) {
    work(0, num);
    return out;
  }
  // Contiguous runs of groups of about equal row counts; a group's values do
  // not depend on which thread computes it.
  std::vector<std::size_t> cut{0};
  const std::size_t total = groups.rows.size();
  for (std::size_t g = 0, k = 1; g < num && k < t; ++g)
    if (groups.starts[g + 1] >= total * k / t) {
      cut.push_back(g + 1);
      ++k;
    }
  cut.push_back(num);
  std::vector<std::exception_ptr> errors(cut.size() - 1);
  std::vector<std::thread> pool;
  for (std::size_t k = 1; k + 1 < cut.size(); ++k)
    pool.emplace_back([&, k] {
      try {
        work(cut[k], cut[k + 1]);
      } catch (...) {
        errors[k] = std::current_exception();
      }
    });
  try {
    work(cut[0], cut[1]);
  } catch (...) {
    errors[0] = std::current_exception();
  }
  for (auto& th : pool) th.join();
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
  return out;
}

}  // namespace quorin_data::ta::grouped
