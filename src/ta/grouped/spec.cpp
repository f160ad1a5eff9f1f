// The spec of a grouped call: each entry bound to its function, checked
// before any group is computed.
#include <algorithm>
#include <cmath>
#include <string>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/text.hpp"
#include "quorin_data/ta/grouped.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/utils.hpp"
#include "quorin_data/ta/volume.hpp"

namespace quorin_data::ta::grouped {

namespace u = quorin_data::ta::utils;
namespace d = quorin_data::ta::utils::detail;

namespace {

enum Fn { Sma, Ema, Rma, Wma, Dema, Tema, Hma, Hlc3, Vwap, Ma, Obv, Ad, Adosc, Cmf };

struct FnInfo {
  const char* name;
  Fn fn;
  std::size_t inputs;
  const char* params;  // named parameters, space-separated
  const char* arguments;  // input names, for messages
};

constexpr FnInfo kFunctions[] = {
    {"sma", Sma, 1, "length offset", "close"},
    {"ema", Ema, 1, "length offset", "close"},
    {"rma", Rma, 1, "length offset", "close"},
    {"wma", Wma, 1, "length asc offset", "close"},
    {"dema", Dema, 1, "length offset", "close"},
    {"tema", Tema, 1, "length offset", "close"},
    {"hma", Hma, 1, "length offset", "close"},
    {"hlc3", Hlc3, 3, "offset", "high, low, close"},
    {"vwap", Vwap, 4, "anchor offset", "high, low, close, volume"},
    {"ma", Ma, 1, "mode", "source"},
    {"obv", Obv, 2, "offset", "close, volume"},
    {"ad", Ad, 4, "offset", "high, low, close, volume"},
    {"adosc", Adosc, 4, "fast slow offset", "high, low, close, volume"},
    {"cmf", Cmf, 4, "length offset", "high, low, close, volume"},
};

const FnInfo* find_function(const std::string& name) {
  for (const FnInfo& f : kFunctions)
    if (name == f.name) return &f;
  return nullptr;
}

bool takes(const FnInfo& f, const std::string& param) {
  const std::string list = std::string(" ") + f.params + " ";
  return list.find(" " + param + " ") != std::string::npos;
}

// The window an inner average uses after its own defaulting.
std::size_t inner(std::int64_t w, std::int64_t def) { return static_cast<std::size_t>(w > 0 ? w : def); }

// The fewest rows for which the function gives a result (fewer: absent, or
// the error of an inner average that is too short). Checks the kinds of the
// window parameters on the way, as the function itself would.
std::size_t min_rows(Fn fn, const Value& length, const Value& fast, const Value& slow, const Kwargs& rest) {
  switch (fn) {
    case Sma: {
      const std::int64_t len = d::window_param("length", length, 10);
      std::int64_t mp = len;
      if (const Value* v = rest.find("min_periods")) {
        auto p = d::int_param("min_periods", *v);
        if (p && *p != 0) mp = *p;
      }
      return static_cast<std::size_t>(std::max<std::int64_t>({len, mp, 0}));
    }
    case Ema:
    case Rma:
    case Wma:
    case Dema:
    case Tema:
      return static_cast<std::size_t>(d::window_param("length", length, 10));
    case Hma: {
      const std::int64_t len = d::window_param("length", length, 9);
      const auto half = static_cast<std::int64_t>(static_cast<double>(len) / 2.0);
      const auto root = static_cast<std::int64_t>(std::sqrt(static_cast<double>(len)));
      return std::max({static_cast<std::size_t>(len), inner(half, 10), inner(root, 10)});
    }
    case Cmf:
      return static_cast<std::size_t>(d::window_param("length", length, 20));
    case Adosc:
      return std::max(inner(d::window_param("fast", fast, 3), 10), inner(d::window_param("slow", slow, 10), 10));
    default:
      return 0;
  }
}

// The function `ma` picks for a mode, with the parameters it forwards.
std::size_t ma_min_rows(const Value& mode, const Kwargs& rest) {
  if (!mode.is_str()) throw_argument_type("mode", "str", mode.type_name());
  const FnInfo* chosen = find_function(text::lower(mode.as_str()));
  if (!chosen || chosen->fn > Hma) chosen = &kFunctions[0];
  Kwargs extras;
  Value length;
  for (const auto& [k, v] : rest.items())
    if (k == "length") length = v;
    else extras.set(k, v);
  return min_rows(chosen->fn, length, {}, {}, extras);
}

template <class E>
[[noreturn]] void rethrow_for(const Entry& e, const E& err) {
  throw E("spec entry '" + e.output + "' (" + e.function + "): " + err.what());
}

}  // namespace

Plan::Plan(Spec spec) : spec_(std::move(spec)) {
  for (std::size_t i = 0; i < spec_.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (spec_[i].output == spec_[j].output)
        throw ValueError("spec names the output column '" + spec_[i].output + "' twice");
  for (const Entry& e : spec_) {
    if (e.output.empty()) throw ValueError("spec entry with an empty output column name");
    const FnInfo* f = find_function(e.function);
    if (!f) {
      std::string names;
      for (const FnInfo& k : kFunctions) names += std::string(names.empty() ? "" : " ") + k.name;
      throw ValueError("spec entry '" + e.output + "': unknown indicator '" + e.function + "' (known: " + names +
                       ")");
    }
    if (e.inputs.size() != f->inputs)
      throw ValueError("spec entry '" + e.output + "' (" + e.function + "): takes " +
                       std::to_string(f->inputs) + " input column" + (f->inputs > 1 ? "s" : "") + " (" +
                       f->arguments + "), got " + std::to_string(e.inputs.size()));
    Bound b;
    b.function = f->fn;
    for (const std::string& c : e.inputs) {
      auto at = std::find(columns_.begin(), columns_.end(), c);
      b.inputs.push_back(static_cast<std::size_t>(at - columns_.begin()));
      if (at == columns_.end()) columns_.push_back(c);
    }
    for (const auto& [k, v] : e.params.items()) {
      if (!takes(*f, k)) b.rest.set(k, v);
      else if (k == "length") b.length = v;
      else if (k == "offset") b.offset = v;
      else if (k == "asc") b.asc = v;
      else if (k == "fast") b.fast = v;
      else if (k == "slow") b.slow = v;
      else if (k == "anchor") b.anchor = v;
      else if (k == "mode") b.mode = v;
    }
    bound_.push_back(std::move(b));
  }
  // Each entry once over a series of 1.0 long enough for its windows: the
  // kinds and values the function rejects fail here, before any work.
  for (std::size_t i = 0; i < spec_.size(); ++i) {
    Bound& b = bound_[i];
    try {
      b.min_rows = b.function == Ma ? ma_min_rows(b.mode, b.rest)
                                    : min_rows(static_cast<Fn>(b.function), b.length, b.fast, b.slow, b.rest);
      const std::vector<double> ones(std::max<std::size_t>(b.min_rows, 1), 1.0);
      const std::vector<const double*> in(b.inputs.size(), ones.data());
      auto r = call(i, in, ones.size());
      if (r) b.result_name = r->name;
    } catch (const TypeError& err) {
      rethrow_for(spec_[i], err);
    } catch (const ValueError& err) {
      rethrow_for(spec_[i], err);
    }
  }
}

std::optional<Series> Plan::call(std::size_t entry, const std::vector<const double*>& in, std::size_t n) const {
  const Bound& b = bound_[entry];
  const Index index = Index::range(n);
  std::vector<u::SeriesRef> s;
  s.reserve(in.size());
  for (const double* p : in) s.emplace_back(p, n, index);
  namespace ov = overlap;
  namespace vo = volume;
  switch (static_cast<Fn>(b.function)) {
    case Sma: return ov::sma(s[0], b.length, b.offset, b.rest);
    case Ema: return ov::ema(s[0], b.length, b.offset, b.rest);
    case Rma: return ov::rma(s[0], b.length, b.offset, b.rest);
    case Wma: return ov::wma(s[0], b.length, b.asc, b.offset, b.rest);
    case Dema: return ov::dema(s[0], b.length, b.offset, b.rest);
    case Tema: return ov::tema(s[0], b.length, b.offset, b.rest);
    case Hma: return ov::hma(s[0], b.length, b.offset, b.rest);
    case Hlc3: return ov::hlc3(s[0], s[1], s[2], b.offset, b.rest);
    case Vwap: return ov::vwap(s[0], s[1], s[2], s[3], b.anchor, b.offset, b.rest);
    case Ma: return ov::ma(b.mode, s[0], b.rest);
    case Obv: return vo::obv(s[0], s[1], b.offset, b.rest);
    case Ad: return vo::ad(s[0], s[1], s[2], s[3], b.offset, b.rest);
    case Adosc: return vo::adosc(s[0], s[1], s[2], s[3], b.fast, b.slow, b.offset, b.rest);
    case Cmf: return vo::cmf(s[0], s[1], s[2], s[3], b.length, b.offset, b.rest);
  }
  return std::nullopt;
}

}  // namespace quorin_data::ta::grouped
