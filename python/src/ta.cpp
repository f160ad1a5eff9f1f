// quorin_data._quorin.ta_grouped and ta_light: the indicators over numpy
// buffers. The grouped call takes group codes, an optional order key and
// float64 input columns (the pandas side computes the codes, so nothing of a
// DataFrame crosses); the light calls take one float64 array per input and
// return the result's values, name and category, from which the pandas side
// builds the Series on the input's own index.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <string_view>
#include <unordered_map>

#include "convert.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/grouped.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/volume.hpp"

namespace py = pybind11;
namespace qd = quorin_data;
namespace grouped = quorin_data::ta::grouped;
namespace overlap = quorin_data::ta::overlap;
namespace volume = quorin_data::ta::volume;
namespace tautils = quorin_data::ta::utils;

namespace qpy {

namespace {

using F64 = py::array_t<double, py::array::c_style | py::array::forcecast>;
using I64 = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// The vector's values as a numpy array that owns them (no copy).
py::array owned_array(std::vector<double>&& v) {
  auto* p = new std::vector<double>(std::move(v));
  py::capsule owner(p, [](void* q) { delete static_cast<std::vector<double>*>(q); });
  return py::array_t<double>(static_cast<py::ssize_t>(p->size()), p->data(), owner);
}

[[noreturn]] void bad_entry(const std::string& out, const std::string& what) {
  throw qd::TypeError("spec entry '" + out + "': " + what);
}

std::string type_name(py::handle o) { return py::str(py::type::handle_of(o).attr("__name__")); }

// {"ema_20": ("ema", "close", {"length": 20}), ...}
grouped::Spec to_spec(py::handle spec) {
  if (!PyDict_Check(spec.ptr())) qd::throw_argument_type("spec", "dict", type_name(spec));
  grouped::Spec out;
  for (auto [k, v] : py::reinterpret_borrow<py::dict>(spec)) {
    if (!PyUnicode_Check(k.ptr()))
      throw qd::TypeError("spec keys are the output column names and must be str, got " + type_name(k));
    grouped::Entry e;
    e.output = k.cast<std::string>();
    if (!PyTuple_Check(v.ptr()) && !PyList_Check(v.ptr()))
      bad_entry(e.output, "expected a tuple (name, inputs[, params]), got " + type_name(v));
    auto t = py::reinterpret_borrow<py::sequence>(v);
    if (t.size() < 2 || t.size() > 3)
      bad_entry(e.output, "expected a tuple (name, inputs[, params]) of 2 or 3 items, got " +
                              std::to_string(t.size()));
    if (!PyUnicode_Check(t[0].ptr())) bad_entry(e.output, "the indicator name must be str, got " + type_name(t[0]));
    e.function = t[0].cast<std::string>();
    py::object inputs = t[1];
    if (PyUnicode_Check(inputs.ptr())) {
      e.inputs.push_back(inputs.cast<std::string>());
    } else if (PyTuple_Check(inputs.ptr()) || PyList_Check(inputs.ptr())) {
      for (auto c : py::reinterpret_borrow<py::sequence>(inputs)) {
        if (!PyUnicode_Check(c.ptr())) bad_entry(e.output, "input column names must be str, got " + type_name(c));
        e.inputs.push_back(c.cast<std::string>());
      }
    } else {
      bad_entry(e.output, "inputs must be a column name or a tuple of column names, got " + type_name(inputs));
    }
    if (t.size() == 3 && !t[2].is_none()) {
      if (!PyDict_Check(t[2].ptr())) bad_entry(e.output, "params must be a dict, got " + type_name(t[2]));
      for (auto [pk, pv] : py::reinterpret_borrow<py::dict>(t[2])) {
        if (!PyUnicode_Check(pk.ptr())) bad_entry(e.output, "parameter names must be str, got " + type_name(pk));
        e.params.set(pk.cast<std::string>(), to_value(pv));
      }
    }
    out.push_back(std::move(e));
  }
  return out;
}

py::object light_result(std::optional<qd::Series> r) {
  if (!r) return py::none();
  std::string name = std::move(r->name), category = std::move(r->category);
  return py::make_tuple(owned_array(std::move(r->values).release_f64()), name, category);
}

// A light input: the array's values on a range index of its length.
struct Light {
  explicit Light(const F64& a) : arr(a), index(qd::Index::range(static_cast<std::size_t>(a.size()))),
                                  ref(a.data(), static_cast<std::size_t>(a.size()), index) {
    if (a.ndim() != 1) throw qd::ValueError("expected a one-dimensional array");
  }
  F64 arr;
  qd::Index index;
  tautils::SeriesRef ref;
  operator const tautils::SeriesRef&() const noexcept { return ref; }  // NOLINT
};

template <class F>
py::object light_call(F&& f) {
  std::optional<qd::Series> r;
  {
    py::gil_scoped_release nogil;
    r = f();
  }
  return light_result(std::move(r));
}

// Per row of an object array the code of its text (0, 1, ... in order of
// first appearance), -1 for None and float NaN; None when a value is neither
// (the caller factorizes such columns itself). Rows usually repeat the same
// text object, so the object's address is looked up first and the text only
// for an address not seen before.
py::object text_codes(py::array arr) {
  if (arr.dtype().kind() != 'O' || arr.ndim() != 1) return py::none();
  const py::ssize_t n = arr.size();
  auto* const* items = static_cast<PyObject* const*>(arr.data());
  const py::ssize_t stride = arr.strides(0) / static_cast<py::ssize_t>(sizeof(PyObject*));
  py::array_t<std::int64_t> out(n);
  std::int64_t* codes = out.mutable_data();
  std::unordered_map<const PyObject*, std::int64_t> by_address;
  std::unordered_map<std::string_view, std::int64_t> by_text;
  const PyObject* last = nullptr;
  std::int64_t last_code = -1;
  for (py::ssize_t i = 0; i < n; ++i) {
    PyObject* o = items[i * stride];
    if (o == last) {
      codes[i] = last_code;
      continue;
    }
    std::int64_t code;
    if (auto it = by_address.find(o); it != by_address.end()) {
      code = it->second;
    } else if (PyUnicode_Check(o)) {
      Py_ssize_t len = 0;
      const char* p = PyUnicode_AsUTF8AndSize(o, &len);
      if (!p) throw py::error_already_set();
      // The view points into the string object, which the array keeps alive.
      code = by_text.try_emplace(std::string_view(p, static_cast<std::size_t>(len)),
                                 static_cast<std::int64_t>(by_text.size())).first->second;
      by_address.emplace(o, code);
    } else if (o == Py_None || (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)))) {
      code = -1;
      by_address.emplace(o, code);
    } else {
      return py::none();
    }
    last = o;
    last_code = code;
    codes[i] = code;
  }
  return out;
}

}  // namespace

void bind_ta(py::module_& m) {
  auto g = m.def_submodule("ta_grouped");
  g.def("text_codes", &text_codes);
  py::class_<grouped::Plan>(g, "Plan")
      .def(py::init([](py::object spec) { return grouped::Plan(to_spec(spec)); }))
      .def_property_readonly("columns", &grouped::Plan::columns)
      .def_property_readonly("outputs",
                             [](const grouped::Plan& p) {
                               std::vector<std::string> out;
                               for (const auto& e : p.spec()) out.push_back(e.output);
                               return out;
                             })
      // run(codes, order, columns, threads): order is None, an int64 or a
      // float64 array; columns one float64 array per plan column.
      .def("run", [](const grouped::Plan& p, I64 codes, py::object order, std::vector<F64> columns,
                     unsigned threads) {
        const std::size_t n = static_cast<std::size_t>(codes.size());
        std::vector<const double*> cols;
        for (const F64& c : columns) {
          if (static_cast<std::size_t>(c.size()) != n)
            throw qd::ValueError("an input column holds " + std::to_string(c.size()) + " rows, the codes " +
                                 std::to_string(n));
          cols.push_back(c.data());
        }
        grouped::OrderKey key;
        py::array keep;
        if (!order.is_none()) {
          auto a = py::reinterpret_borrow<py::array>(order);
          if (!py::isinstance<py::array>(order) || a.size() != static_cast<py::ssize_t>(n))
            throw qd::ValueError("the order key must be an array of one value per row");
          if (a.dtype().kind() == 'f') {
            keep = F64::ensure(order);
            key.f64 = static_cast<const double*>(keep.data());
          } else {
            keep = I64::ensure(order);
            key.i64 = static_cast<const std::int64_t*>(keep.data());
          }
        }
        std::vector<std::vector<double>> out;
        {
          py::gil_scoped_release nogil;
          const grouped::Groups groups = grouped::group_rows(codes.data(), n, order.is_none() ? nullptr : &key);
          out = grouped::run(p, cols, n, groups, threads);
        }
        py::list result;
        for (auto& v : out) result.append(owned_array(std::move(v)));
        return result;
      }, py::arg("codes"), py::arg("order"), py::arg("columns"), py::arg("threads") = 0);

  auto l = m.def_submodule("ta_light");
#define QPY_LIGHT_ONE(fn)                                                              \
  l.def(#fn, [](F64 close, py::object length, py::object offset, py::dict kw) {        \
    Light c(close);                                                                    \
    auto len = to_value(length), off = to_value(offset);                               \
    auto k = to_kwargs(kw);                                                            \
    return light_call([&] { return overlap::fn(c, len, off, k); });                    \
  });
  QPY_LIGHT_ONE(sma)
  QPY_LIGHT_ONE(ema)
  QPY_LIGHT_ONE(rma)
  QPY_LIGHT_ONE(dema)
  QPY_LIGHT_ONE(tema)
  QPY_LIGHT_ONE(hma)
#undef QPY_LIGHT_ONE
  l.def("wma", [](F64 close, py::object length, py::object asc, py::object offset, py::dict kw) {
    Light c(close);
    auto len = to_value(length), a = to_value(asc), off = to_value(offset);
    auto k = to_kwargs(kw);
    return light_call([&] { return overlap::wma(c, len, a, off, k); });
  });
  l.def("ma", [](py::object mode, F64 source, py::dict kw) {
    auto md = to_value(mode);
    Light s(source);
    auto k = to_kwargs(kw);
    return light_call([&] { return overlap::ma(md, s, k); });
  });
  l.def("hlc3", [](F64 h, F64 lo, F64 c, py::object offset, py::dict kw) {
    Light hs(h), ls(lo), cs(c);
    auto off = to_value(offset);
    auto k = to_kwargs(kw);
    return light_call([&] { return overlap::hlc3(hs, ls, cs, off, k); });
  });
  l.def("vwap", [](F64 h, F64 lo, F64 c, F64 v, py::object anchor, py::object offset, py::dict kw) {
    Light hs(h), ls(lo), cs(c), vs(v);
    auto an = to_value(anchor), off = to_value(offset);
    auto k = to_kwargs(kw);
    return light_call([&] { return overlap::vwap(hs, ls, cs, vs, an, off, k); });
  });
  l.def("obv", [](F64 c, F64 v, py::object offset, py::dict kw) {
    Light cs(c), vs(v);
    auto off = to_value(offset);
    auto k = to_kwargs(kw);
    return light_call([&] { return volume::obv(cs, vs, off, k); });
  });
  l.def("ad", [](F64 h, F64 lo, F64 c, F64 v, py::object offset, py::dict kw) {
    Light hs(h), ls(lo), cs(c), vs(v);
    auto off = to_value(offset);
    auto k = to_kwargs(kw);
    return light_call([&] { return volume::ad(hs, ls, cs, vs, off, k); });
  });
  l.def("adosc", [](F64 h, F64 lo, F64 c, F64 v, py::object fast, py::object slow, py::object offset,
                    py::dict kw) {
    Light hs(h), ls(lo), cs(c), vs(v);
    auto f = to_value(fast), s = to_value(slow), off = to_value(offset);
    auto k = to_kwargs(kw);
    return light_call([&] { return volume::adosc(hs, ls, cs, vs, f, s, off, k); });
  });
  l.def("cmf", [](F64 h, F64 lo, F64 c, F64 v, py::object length, py::object offset, py::dict kw) {
    Light hs(h), ls(lo), cs(c), vs(v);
    auto len = to_value(length), off = to_value(offset);
    auto k = to_kwargs(kw);
    return light_call([&] { return volume::cmf(hs, ls, cs, vs, len, off, k); });
  });
}

}  // namespace qpy
