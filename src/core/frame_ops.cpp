// Relational operations on Frames: distinct values, dropping rows with missing
// values, index <-> column, multi-column sorting and the left join.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <cstring>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/frame.hpp"

namespace quorin_data {

namespace {

// A cell reduced to a comparable code: missing, an integer value (integers,
// integral floats, dates, times, timestamps, booleans), the bits of a
// non-integral float, or the id of a text.
struct Cell {
  std::uint8_t tag = 0;  // 0 missing, 1 integer, 2 float bits, 3 text id
  std::uint64_t bits = 0;
  friend bool operator==(const Cell&, const Cell&) = default;
};

// Text ids shared by every column encoded with the same dictionary, so equal
// texts on both sides of a join get equal ids.
using TextIds = std::unordered_map<std::string_view, std::uint64_t>;

Cell encode(const Column& c, std::size_t i, TextIds& ids) {
  if (c.is_missing(i)) return {};
  switch (c.type()) {
    case DType::Float64: {
      const double v = c.f64()[i];
      // Integral values in the int64 range compare equal to the same integer.
      if (v >= -9223372036854775808.0 && v < 9223372036854775808.0 && v == static_cast<double>(static_cast<std::int64_t>(v)))
        return {1, static_cast<std::uint64_t>(static_cast<std::int64_t>(v))};
      std::uint64_t b;
      std::memcpy(&b, &v, 8);
      return {2, b};
    }
    case DType::Text: {
      auto [it, fresh] = ids.emplace(c.text(i), ids.size());
      (void)fresh;
      return {3, it->second};
    }
    default: return {1, static_cast<std::uint64_t>(c.integer(i))};
  }
}

std::size_t hash_cells(const Cell* cells, std::size_t k) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull;
  for (std::size_t j = 0; j < k; ++j) {
    h ^= cells[j].bits + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2) + cells[j].tag;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  return static_cast<std::size_t>(h);
}

// Which key types compare with each other.
int key_class(const Column& c) {
  switch (c.type()) {
    case DType::Float64:
    case DType::Int64: return 0;
    case DType::Bool: return 1;
    case DType::Text: return 2;
    case DType::Date: return 3;
    case DType::Time: return 4;
    case DType::Timestamp: return c.tz().empty() ? 5 : 6;
  }
  return -1;
}

std::string key_type_name(const Column& c) {
  if (c.type() == DType::Timestamp && !c.tz().empty()) return "datetime64[ns, " + c.tz() + "]";
  return dtype_name(c.type());
}

constexpr std::size_t npos = Column::npos;

// Cells of `c` at `rows` as 64-bit keys that order as sort_values orders
// present cells (texts by byte order through their rank among the distinct
// texts, floats by value), and which cells are missing.
struct OrderKeys {
  std::vector<std::int64_t> key;
  std::vector<std::uint8_t> missing;
};

OrderKeys order_keys(const Column& c, const std::vector<std::size_t>* rows, std::size_t n) {
  OrderKeys out;
  out.key.resize(n);
  out.missing.resize(n);
  if (c.type() == DType::Text) {
    // Distinct texts by hash; runs of one text (bars of one security, rows
    // of one event) cost one comparison.
    std::unordered_map<std::string_view, std::int64_t> id_of;
    std::vector<std::string_view> distinct;
    std::string_view last;
    std::int64_t last_id = -1;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t r = rows ? (*rows)[i] : i;
      if (c.is_missing(r)) {
        out.missing[i] = 1;
        continue;
      }
      const std::string_view t = c.text(r);
      if (last_id < 0 || t != last) {
        auto [it, added] = id_of.emplace(t, static_cast<std::int64_t>(distinct.size()));
        if (added) distinct.push_back(t);
        last = t, last_id = it->second;
      }
      out.key[i] = last_id;
    }
    std::vector<std::int64_t> order(distinct.size()), rank(distinct.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = static_cast<std::int64_t>(k);
    std::sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
      return distinct[static_cast<std::size_t>(a)] < distinct[static_cast<std::size_t>(b)];
    });
    for (std::size_t k = 0; k < order.size(); ++k)
      rank[static_cast<std::size_t>(order[k])] = static_cast<std::int64_t>(k);
    for (std::size_t i = 0; i < n; ++i)
      if (!out.missing[i]) out.key[i] = rank[static_cast<std::size_t>(out.key[i])];
  } else if (c.type() == DType::Float64) {
    const auto f = c.f64();
    for (std::size_t i = 0; i < n; ++i) {
      const double v = f[rows ? (*rows)[i] : i];
      if (std::isnan(v)) {
        out.missing[i] = 1;
        continue;
      }
      std::int64_t b;
      const double z = v == 0 ? 0.0 : v;  // -0 orders equal to 0
      std::memcpy(&b, &z, sizeof b);
      out.key[i] = b >= 0 ? b : b ^ std::numeric_limits<std::int64_t>::max();
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t r = rows ? (*rows)[i] : i;
      out.missing[i] = c.is_missing(r);
      out.key[i] = out.missing[i] ? 0 : c.integer(r);
    }
  }
  return out;
}


}  // namespace

std::vector<std::size_t> Column::unique_positions() const {
  std::vector<std::size_t> out;
  const std::size_t n = size();
  TextIds ids;
  ids.reserve(type() == DType::Text ? n : 0);
  struct CellHash {
    std::size_t operator()(const Cell& c) const noexcept { return hash_cells(&c, 1); }
  };
  std::unordered_set<Cell, CellHash> seen;
  for (std::size_t i = 0; i < n; ++i)
    if (seen.insert(encode(*this, i, ids)).second) out.push_back(i);
  return out;
}

Frame Frame::dropna(const std::vector<std::string>& subset) const {
  std::vector<const Column*> cols;
  if (subset.empty())
    for (const auto& c : columns_) cols.push_back(&c);
  else
    for (const auto& n : subset) cols.push_back(&column(n));
  std::vector<std::size_t> rows;
  rows.reserve(num_rows());
  for (std::size_t i = 0; i < num_rows(); ++i) {
    bool keep = true;
    for (const Column* c : cols) keep = keep && !c->is_missing(i);
    if (keep) rows.push_back(i);
  }
  return take(rows);
}

Frame Frame::reset_index_to_column() const {
  Column labels;
  if (index_.kind() == Index::Kind::Text) {
    labels = Column::texts(index_.text_labels());
  } else {
    std::vector<std::int64_t> v(num_rows());
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = index_.int_label(i);
    labels = Column::ints(std::move(v));
  }
  Frame out;
  out.index_ = Index::range(num_rows());
  out.names_.reserve(names_.size() + 1);
  out.names_.push_back(index_.name.empty() ? "index" : index_.name);
  out.names_.insert(out.names_.end(), names_.begin(), names_.end());
  out.columns_.reserve(columns_.size() + 1);
  out.columns_.push_back(std::move(labels));
  out.columns_.insert(out.columns_.end(), columns_.begin(), columns_.end());
  return out;
}

Frame Frame::set_index_column(const std::string& name) const {
  const auto pos = find(name);
  if (pos < 0) throw KeyError("'" + name + "'");
  const Column& c = columns_[static_cast<std::size_t>(pos)];
  if ((c.type() != DType::Int64 && c.type() != DType::Text) || c.has_missing())
    throw ValueError("column '" + name + "' (" + dtype_name(c.type()) +
                     (c.has_missing() ? ", with missing values" : "") +
                     ") cannot be a row index: integer or text labels without missing values only");
  Frame out = *this;
  Index idx = Index::from_column(c);
  idx.name = name;
  out.index_ = std::move(idx);
  out.names_.erase(out.names_.begin() + pos);
  out.columns_.erase(out.columns_.begin() + pos);
  return out;
}

Frame Frame::sort_values(const std::vector<std::string>& by, const std::vector<bool>& ascending) const {
  if (!ascending.empty() && ascending.size() != by.size())
    throw ValueError("Length of ascending (" + std::to_string(ascending.size()) +
                     ") != length of by (" + std::to_string(by.size()) + ")");
  std::vector<SortKey> keys;
  for (std::size_t k = 0; k < by.size(); ++k)
    keys.push_back({&column(by[k]), nullptr, ascending.empty() || ascending[k]});
  return take(stable_sort_order(num_rows(), keys));
}

std::vector<std::size_t> stable_sort_order(std::size_t n, const std::vector<SortKey>& keys) {
  // Each key's cells as 64-bit integers first, so that the sort compares
  // integers (no text comparisons, no type dispatch per comparison).
  std::vector<OrderKeys> k;
  k.reserve(keys.size());
  for (const SortKey& key : keys) {
    if (key.rows && key.rows->size() != n) throw ValueError("a sort key has " + std::to_string(key.rows->size()) +
                                                            " positions for " + std::to_string(n) + " rows");
    k.push_back(order_keys(*key.column, key.rows, n));
  }
  std::vector<std::size_t> rows(n);
  std::iota(rows.begin(), rows.end(), std::size_t{0});
  std::stable_sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) {
    for (std::size_t j = 0; j < k.size(); ++j) {
      const OrderKeys& o = k[j];
      const bool ma = o.missing[a], mb = o.missing[b];
      if (ma || mb) {
        if (ma && mb) continue;
        return mb;  // missing last in either direction
      }
      if (o.key[a] != o.key[b]) return keys[j].ascending ? o.key[a] < o.key[b] : o.key[a] > o.key[b];
    }
    return false;
  });
  return rows;
}

Frame Frame::merge_left(const Frame& right, const std::vector<std::string>& on) const {
  if (on.empty()) throw ValueError("merge_left needs at least one key column");
  const std::size_t k = on.size();
  std::vector<const Column*> lk, rk;
  for (const auto& n : on) {
    lk.push_back(&column(n));
    rk.push_back(&right.column(n));
    if (key_class(*lk.back()) != key_class(*rk.back()))
      throw ValueError("You are trying to merge on " + key_type_name(*lk.back()) + " and " +
                       key_type_name(*rk.back()) + " columns for key '" + n + "'");
  }
  std::vector<std::string> overlap;
  for (const auto& n : right.names_)
    if (std::find(on.begin(), on.end(), n) == on.end() && has_column(n) &&
        std::find(overlap.begin(), overlap.end(), n) == overlap.end())
      overlap.push_back(n);
  if (!overlap.empty()) {
    std::string list;
    for (const auto& n : overlap) list += (list.empty() ? "'" : ", '") + n + "'";
    throw ValueError("columns overlap but no suffix specified: [" + list + "]");
  }

  TextIds ids;
  const std::size_t nr = right.num_rows(), nl = num_rows();
  std::vector<Cell> rcells(nr * k), lcells(k);
  for (std::size_t i = 0; i < nr; ++i)
    for (std::size_t j = 0; j < k; ++j) rcells[i * k + j] = encode(*rk[j], i, ids);
  // Right rows by key hash, each bucket in right's row order.
  std::unordered_map<std::size_t, std::vector<std::size_t>> buckets;
  buckets.reserve(nr);
  for (std::size_t i = 0; i < nr; ++i) buckets[hash_cells(&rcells[i * k], k)].push_back(i);

  std::vector<std::size_t> lrows, rrows;
  lrows.reserve(nl);
  rrows.reserve(nl);
  for (std::size_t i = 0; i < nl; ++i) {
    for (std::size_t j = 0; j < k; ++j) lcells[j] = encode(*lk[j], i, ids);
    bool matched = false;
    if (auto it = buckets.find(hash_cells(lcells.data(), k)); it != buckets.end())
      for (std::size_t r : it->second)
        if (std::equal(lcells.begin(), lcells.end(), rcells.begin() + static_cast<std::ptrdiff_t>(r * k))) {
          lrows.push_back(i);
          rrows.push_back(r);
          matched = true;
        }
    if (!matched) {
      lrows.push_back(i);
      rrows.push_back(npos);
    }
  }

  Frame out;
  out.index_ = Index::range(lrows.size());
  for (std::size_t j = 0; j < columns_.size(); ++j) {
    out.names_.push_back(names_[j]);
    out.columns_.push_back(columns_[j].take(lrows));
  }
  for (std::size_t j = 0; j < right.columns_.size(); ++j) {
    if (std::find(on.begin(), on.end(), right.names_[j]) != on.end()) continue;
    out.names_.push_back(right.names_[j]);
    out.columns_.push_back(right.columns_[j].take_or_missing(rrows));
  }
  return out;
}

}  // namespace quorin_data
