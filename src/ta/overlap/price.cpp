// Price averages (hlc3, vwap) and the moving-average dispatcher (ma).
#include <string>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/utils.hpp"
#include "ta/kernels.hpp"
#include "ta/opening.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::ta::overlap {

namespace u = quorin_data::ta::utils;
namespace d = quorin_data::ta::utils::detail;

std::optional<Series> hlc3(const u::SeriesRef& high, const u::SeriesRef& low, const u::SeriesRef& close,
                           const Value& offset, const Kwargs& kwargs) {
  d::int_param("offset", offset);
  const auto in = d::open_inputs(offset, {}, high, low, close);
  if (!in) return std::nullopt;
  auto a = in->aligned();
  const double *hp = a.data[0], *lp = a.data[1], *cp = a.data[2];
  auto out = d::values_of(a.n, [&](std::size_t i) { return (hp[i] + lp[i] + cp[i]) / 3.0; });
  return d::finish(std::move(out), std::move(a.index), in->offset, kwargs, "HLC3", "overlap");
}

std::optional<Series> vwap(const u::SeriesRef& high, const u::SeriesRef& low, const u::SeriesRef& close,
                           const u::SeriesRef& volume, const Value& anchor, const Value& offset,
                           const Kwargs& kwargs) {
  d::check_str_or_none("anchor", anchor);
  d::int_param("offset", offset);
  const auto in = d::open_inputs(offset, {}, high, low, close, volume);
  if (!in) return std::nullopt;
  auto a = in->aligned();
  const double *hp = a.data[0], *lp = a.data[1], *cp = a.data[2], *vp = a.data[3];
  kernels::RunningSum num, den;
  auto out = d::values_of(a.n, [&](std::size_t i) {
    const double tp = (hp[i] + lp[i] + cp[i]) / 3.0;
    return num.next(tp * vp[i]) / den.next(vp[i]);
  });
  return d::finish(std::move(out), std::move(a.index), in->offset, kwargs, "VWAP", "overlap");
}

namespace {


// Splits the keywords into the chosen function's named parameters and its
// extra keywords.
struct Forwarded {
  Value length, offset, asc = true;
  Kwargs rest;
};

Forwarded forward(const char* fn, const Kwargs& kwargs, bool takes_asc) {
  Forwarded f;
  for (const auto& [k, v] : kwargs.items()) {
    if (k == "length") f.length = v;
    else if (k == "offset") f.offset = v;
    else if (takes_asc && k == "asc") f.asc = v;
    else if (k == "close")
      throw TypeError(std::string(fn) + "() got multiple values for argument 'close'");
    else f.rest.set(k, v);
  }
  return f;
}

}  // namespace

std::optional<Series> ma(const Value& mode, const u::SeriesRef& source, const Kwargs& kwargs) {
  if (!mode.is_str()) throw_argument_type("mode", "str", mode.type_name());
  // ASCII folding: no other character lower-cases to a letter of the seven
  // table names, so this decides the lookup as the full Unicode mapping would.
  const std::string name = text::lower(mode.as_str());
  using Fn = std::optional<Series> (*)(const u::SeriesRef&, const Value&, const Value&, const Kwargs&);
  struct Entry {
    const char* name;
    Fn fn;
  };
  static constexpr Entry table[] = {{"sma", &sma},   {"ema", &ema},   {"rma", &rma},
                                    {"dema", &dema}, {"tema", &tema}, {"hma", &hma}};
  if (name == "wma") {
    Forwarded f = forward("wma", kwargs, true);
    return wma(source, f.length, f.asc, f.offset, f.rest);
  }
  const Entry* chosen = &table[0];
  for (const Entry& e : table)
    if (name == e.name) chosen = &e;
  Forwarded f = forward(chosen->name, kwargs, false);
  return chosen->fn(source, f.length, f.offset, f.rest);
}

}  // namespace quorin_data::ta::overlap
