// Series utilities of the indicator modules (rules in ta/utils.hpp).
#include "quorin_data/ta/utils.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "kernels/buffers.hpp"
#include "quorin_data/core/errors.hpp"

namespace quorin_data::ta::utils {

namespace detail {

static std::int64_t truncate_number(double d) {
  if (std::isnan(d)) throw ValueError("cannot convert float NaN to integer");
  if (std::isinf(d)) throw ValueError("cannot convert float infinity to integer");
  const double t = std::trunc(d);
  if (t >= 9223372036854775808.0 || t < -9223372036854775808.0)
    throw ValueError("integer parameter out of range: " + format_double_shortest(d));
  return static_cast<std::int64_t>(t);
}

std::optional<std::int64_t> int_param(const char* name, const Value& v) {
  if (v.is_none()) return std::nullopt;
  if (v.is_int()) return v.as_int();
  if (v.is_bool()) return v.as_bool() ? 1 : 0;
  if (v.is_float()) return truncate_number(v.as_float());
  throw_argument_type(name, "int", v.type_name());
}

std::int64_t window_param(const char* name, const Value& v, std::int64_t def) {
  if (v.is_none()) return def;
  if (v.is_int()) return v.as_int() > 0 ? v.as_int() : def;
  if (v.is_bool()) return v.as_bool() ? 1 : def;
  if (v.is_float()) {
    const double d = v.as_float();
    // NaN fails "> 0" and gives the default, as the test runs before conversion.
    return d > 0 ? truncate_number(d) : def;
  }
  throw_argument_type(name, "int", v.type_name());
}

void check_str_or_none(const char* name, const Value& v) {
  if (!v.is_none() && !v.is_str()) throw_argument_type(name, "str", v.type_name());
}

Verified::Verified(Verified&& o) noexcept
    : owned_(std::move(o.owned_)), ref_(owned_ ? SeriesRef(*owned_) : o.ref_), ok_(o.ok_) {}
Verified& Verified::operator=(Verified&& o) noexcept {
  owned_ = std::move(o.owned_);
  ref_ = owned_ ? SeriesRef(*owned_) : o.ref_;
  ok_ = o.ok_;
  return *this;
}

Verified verify(const SeriesRef& s, std::optional<std::int64_t> min_length) {
  if (s.size() != s.index().size()) {
    const std::string name = s.series() ? s.series()->name : std::string();
    throw ValueError("series '" + name + "' holds " + std::to_string(s.size()) +
                     " values on an index of " + std::to_string(s.index().size()) + " labels");
  }
  if (min_length && static_cast<std::int64_t>(s.size()) < *min_length) return {};
  switch (s.type()) {
    case DType::Float64:
      return Verified(s);
    case DType::Int64:
    case DType::Bool: {
      // Only a Series holds these types.
      const Series& in = *s.series();
      const std::size_t n = in.size();
      std::vector<double> v(n);
      for (std::size_t i = 0; i < n; ++i)
        v[i] = in.values.is_missing(i) ? kNaN : static_cast<double>(in.values.integer(i));
      Series out(Column::floats(std::move(v)), in.index, in.name);
      out.category = in.category;
      return Verified(std::move(out));
    }
    default:
      return {};
  }
}

bool same_index(const Index& a, const Index& b) {
  if (&a == &b) return true;
  if (a.size() != b.size()) return false;
  if (a.size() == 0) return true;
  if (a.kind() == Index::Kind::Range && b.kind() == Index::Kind::Range)
    return a.int_label(0) == b.int_label(0);
  return a == b;
}

namespace {

bool is_int_like(const Index& i) { return i.kind() != Index::Kind::Text; }

bool increasing(const Index& i) {
  if (i.kind() == Index::Kind::Range) return true;
  for (std::size_t k = 1; k < i.size(); ++k)
    if (i.int_label(k) <= i.int_label(k - 1)) return false;
  return true;
}

[[noreturn]] void duplicate_labels() {
  throw ValueError("cannot align series whose index holds duplicate labels");
}

// Union of two indexes (see the header for the order).
Index union_index(const Index& a, const Index& b) {
  if (a.size() == 0) return b;
  if (b.size() == 0) return a;
  if (is_int_like(a) != is_int_like(b))
    throw ValueError("cannot align a series on integer labels with one on text labels");
  if (is_int_like(a)) {
    if (increasing(a) && increasing(b)) {
      std::vector<std::int64_t> out;
      out.reserve(a.size() + b.size());
      std::size_t i = 0, j = 0;
      while (i < a.size() || j < b.size()) {
        if (j == b.size() || (i < a.size() && a.int_label(i) < b.int_label(j)))
          out.push_back(a.int_label(i++));
        else if (i == a.size() || b.int_label(j) < a.int_label(i))
          out.push_back(b.int_label(j++));
        else {
          out.push_back(a.int_label(i++));
          ++j;
        }
      }
      return Index::ints(std::move(out));
    }
    std::unordered_map<std::int64_t, std::size_t> seen;
    std::vector<std::int64_t> out;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!seen.emplace(a.int_label(i), i).second) duplicate_labels();
      out.push_back(a.int_label(i));
    }
    std::unordered_map<std::int64_t, std::size_t> seen_b;
    for (std::size_t i = 0; i < b.size(); ++i) {
      if (!seen_b.emplace(b.int_label(i), i).second) duplicate_labels();
      if (!seen.count(b.int_label(i))) out.push_back(b.int_label(i));
    }
    return Index::ints(std::move(out));
  }
  std::unordered_map<std::string, std::size_t> seen;
  std::vector<std::string> out;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!seen.emplace(a.text_label(i), i).second) duplicate_labels();
    out.push_back(a.text_label(i));
  }
  std::unordered_map<std::string, std::size_t> seen_b;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (!seen_b.emplace(b.text_label(i), i).second) duplicate_labels();
    if (!seen.count(b.text_label(i))) out.push_back(b.text_label(i));
  }
  return Index::texts(std::move(out));
}

// The values of `s` on the labels of `target` (NaN where a label is absent).
std::vector<double> reindex(const SeriesRef& s, const Index& target) {
  std::vector<double> out(target.size(), kNaN);
  const double* src = s.f64();
  const Index& index = s.index();
  if (index.kind() == Index::Kind::Text) {
    std::unordered_map<std::string, std::size_t> pos;
    for (std::size_t i = 0; i < s.size(); ++i)
      if (!pos.emplace(index.text_label(i), i).second) duplicate_labels();
    for (std::size_t i = 0; i < target.size(); ++i)
      if (auto it = pos.find(target.text_label(i)); it != pos.end()) out[i] = src[it->second];
  } else {
    std::unordered_map<std::int64_t, std::size_t> pos;
    for (std::size_t i = 0; i < s.size(); ++i)
      if (!pos.emplace(index.int_label(i), i).second) duplicate_labels();
    for (std::size_t i = 0; i < target.size(); ++i)
      if (auto it = pos.find(target.int_label(i)); it != pos.end()) out[i] = src[it->second];
  }
  return out;
}

}  // namespace

Aligned align(std::initializer_list<const SeriesRef*> inputs) {
  Aligned a;
  const SeriesRef* first = *inputs.begin();
  bool equal = true;
  for (const SeriesRef* s : inputs)
    if (!same_index(s->index(), first->index())) equal = false;
  if (equal) {
    a.index = first->index();
    a.n = first->size();
    for (const SeriesRef* s : inputs) a.data.push_back(s->f64());
    return a;
  }
  Index u = first->index();
  for (const SeriesRef* s : inputs) u = union_index(u, s->index());
  a.n = u.size();
  a.owned.reserve(inputs.size());
  for (const SeriesRef* s : inputs) {
    a.owned.push_back(reindex(*s, u));
    a.data.push_back(a.owned.back().data());
  }
  a.index = std::move(u);
  return a;
}

std::vector<double> signed_values(const SeriesRef& series, double initial) {
  const double* x = series.f64();
  const std::size_t n = series.size();
  return values_of(n, [&](std::size_t i) {
    if (i == 0) return initial;
    const double d = x[i] - x[i - 1];
    return d > 0 ? 1.0 : d < 0 ? -1.0 : d == 0 ? 0.0 : kNaN;
  });
}

std::vector<double> result_buffer(std::size_t n) {
  std::vector<double> v;
  quorin_data::kernels::reserve_large(v, n);
  return v;
}

void apply_offset_inplace(std::vector<double>& v, std::int64_t offset) {
  if (offset == 0 || v.empty()) return;
  const std::size_t n = v.size();
  const std::uint64_t mag = offset > 0 ? static_cast<std::uint64_t>(offset)
                                       : static_cast<std::uint64_t>(-(offset + 1)) + 1;
  if (mag >= n) {
    std::fill(v.begin(), v.end(), kNaN);
    return;
  }
  const std::size_t k = static_cast<std::size_t>(mag);
  if (offset > 0) {
    std::memmove(v.data() + k, v.data(), (n - k) * sizeof(double));
    std::fill(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), kNaN);
  } else {
    std::memmove(v.data(), v.data() + k, (n - k) * sizeof(double));
    std::fill(v.end() - static_cast<std::ptrdiff_t>(k), v.end(), kNaN);
  }
}

void handle_fills_inplace(std::vector<double>& v, const Kwargs& kwargs) {
  if (kwargs.empty()) return;
  if (const Value* m = kwargs.find("fill_method"); m && !m->is_none()) {
    if (!m->is_str()) throw_argument_type("fill_method", "str", m->type_name());
    const std::string& method = m->as_str();
    if (method == "ffill") {
      double last = kNaN;
      for (double& x : v) {
        if (std::isnan(x)) x = last;
        else last = x;
      }
    } else if (method == "bfill") {
      double next = kNaN;
      for (std::size_t i = v.size(); i-- > 0;) {
        if (std::isnan(v[i])) v[i] = next;
        else next = v[i];
      }
    } else {
      throw ValueError("fill_method must be 'ffill' or 'bfill', got '" + truncate_to(method, 200) +
                       "'");
    }
  }
  if (const Value* f = kwargs.find("fillna"); f && !f->is_none()) {
    if (!f->is_number()) throw_argument_type("fillna", "float", f->type_name());
    const double c = f->as_number();
    for (double& x : v)
      if (std::isnan(x)) x = c;
  }
}

Series finish(std::vector<double> values, Index index, std::int64_t offset, const Kwargs& fills,
              std::string name, const char* category) {
  apply_offset_inplace(values, offset);
  handle_fills_inplace(values, fills);
  Series s(Column::floats(std::move(values)), std::move(index));
  s.name = std::move(name);
  s.category = category;
  return s;
}

}  // namespace detail

SeriesRef::SeriesRef() noexcept {
  static const Index empty = Index::range(0);
  index_ = &empty;
}

std::optional<Series> verify_series(const Series& series, std::optional<std::int64_t> min_length) {
  auto v = detail::verify(series, min_length);
  if (!v) return std::nullopt;
  return v.converted() ? *v.converted() : series;
}

std::int64_t get_offset(const Value& offset) {
  return detail::int_param("offset", offset).value_or(0);
}

Series _apply_offset(const Series& series, std::int64_t offset) {
  Series out = series;
  if (out.values.type() != DType::Float64) {
    auto v = detail::verify(series);
    if (!v) throw ValueError("cannot shift a series of type " + std::string(dtype_name(series.values.type())));
    out = *v.converted();
  }
  std::vector<double> x = std::move(out.values).release_f64();
  detail::apply_offset_inplace(x, offset);
  out.values = Column::floats(std::move(x));
  return out;
}

Series _handle_fills(const Series& series, const Kwargs& kwargs) {
  Series out = series;
  if (out.values.type() != DType::Float64) {
    auto v = detail::verify(series);
    if (!v) return out;  // nothing numeric to fill
    out = *v.converted();
  }
  std::vector<double> x = std::move(out.values).release_f64();
  detail::handle_fills_inplace(x, kwargs);
  out.values = Column::floats(std::move(x));
  return out;
}

Series non_zero_range(const Series& high, const Series& low) {
  const SeriesRef h_ref(high), l_ref(low);
  auto a = detail::align({&h_ref, &l_ref});
  const double* h = a.data[0];
  const double* l = a.data[1];
  std::vector<double> out = detail::values_of(a.n, [&](std::size_t i) {
    const double d = h[i] - l[i];
    return d == 0.0 ? kZeroRange : d;
  });
  return Series(Column::floats(std::move(out)), std::move(a.index));
}

Series signed_series(const Series& input, double initial) {
  auto verified = detail::verify(input);
  if (!verified)
    throw ValueError("cannot take the direction of a series of type " +
                     std::string(dtype_name(input.values.type())));
  return Series(Column::floats(detail::signed_values(*verified, initial)), input.index, input.name);
}

std::int64_t get_drift(const Value& drift) { return detail::window_param("drift", drift, 1); }

}  // namespace quorin_data::ta::utils
