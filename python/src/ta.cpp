// quorin_data._quorin.ta_grouped, ta_light, overlap, volume and ta_utils:
// the indicators for Python. The grouped call takes group codes, an optional
// order key and float64 input columns (the pandas side computes the codes, so
// nothing of a DataFrame crosses); the light calls take one float64 array per
// input and return the result's values, name and category, from which the
// pandas side builds the Series on the input's own index; the overlap and
// volume calls take pandas Series and return one.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "args.hpp"
#include "convert.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/grouped.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/utils.hpp"
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
  using Py = F64;
  explicit Light(const F64& a) : arr(a), index(qd::Index::range(static_cast<std::size_t>(a.size()))),
                                  ref(a.data(), static_cast<std::size_t>(a.size()), index) {
    if (a.ndim() != 1) throw qd::ValueError("expected a one-dimensional array");
  }
  F64 arr;
  qd::Index index;
  tautils::SeriesRef ref;
  operator const tautils::SeriesRef&() const noexcept { return ref; }  // NOLINT
};

py::object opt_series(std::optional<qd::Series> s) {
  if (!s) return py::none();
  return from_series(std::move(*s));
}

// A series for the utilities that take a Series: a pandas Series that
// crosses, or (anything else) a series that verify_series rejects, so the
// function returns None after its arguments have been checked.
qd::Series ta_series(py::handle o) {
  static py::object* Series = new py::object(py::module_::import("pandas").attr("Series"));
  if (PyObject_IsInstance(o.ptr(), Series->ptr()) == 1) {
    try {
      return to_series(o);
    } catch (const qd::TypeError&) {
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_TypeError)) throw;
    }
  }
  return qd::Series(qd::Column::missing(qd::DType::Text, 0), qd::Index::range(0));
}

// A Series input. A pandas Series of native float64 values in one aligned,
// C-contiguous buffer is read in place: the view holds a reference to the
// numpy array for the call, and the indicators only read it (their results
// are new buffers). Any other Series crosses as a converted copy; anything
// else is a series that the indicators reject (see ta_series).
class TaInput {
 public:
  using Py = py::object;
  explicit TaInput(py::handle o) {
    try {
      if (borrow(o)) return;
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_TypeError)) throw;  // an index that cannot cross
    }
    owned_ = ta_series(o);
    ref_ = tautils::SeriesRef(*owned_);
  }
  TaInput(const TaInput&) = delete;
  TaInput& operator=(const TaInput&) = delete;

  operator const tautils::SeriesRef&() const noexcept { return ref_; }  // NOLINT

 private:
  bool borrow(py::handle o) {
    static py::object* Series = new py::object(py::module_::import("pandas").attr("Series"));
    if (PyObject_IsInstance(o.ptr(), Series->ptr()) != 1) return false;
    py::object dtype = o.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype) || py::reinterpret_borrow<py::dtype>(dtype).kind() != 'f')
      return false;
    py::object values = o.attr("to_numpy")();
    if (!py::array_t<double, py::array::c_style>::check_(values)) return false;  // native float64
    auto a = py::reinterpret_borrow<py::array>(values);
    if (a.ndim() != 1 || !(a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_)) return false;
    index_ = to_index(o.attr("index"));
    keep_ = std::move(values);
    ref_ = tautils::SeriesRef(static_cast<const double*>(a.data()), static_cast<std::size_t>(a.size()), index_);
    return true;
  }

  py::object keep_;
  std::optional<qd::Series> owned_;
  qd::Index index_;
  tautils::SeriesRef ref_;
};

// How an indicator's parameter is taken from Python: a series as `In`
// (TaInput or Light), any other parameter as a Python object converted to
// the library's value, the keywords as a dict.
template <class T>
struct Converted {
  T v;
  operator const T&() const noexcept { return v; }  // NOLINT
};
template <class In, class P>
struct Param;
template <class In>
struct Param<In, tautils::SeriesRef> {
  using Py = typename In::Py;
  using Held = In;
};
template <class In>
struct Param<In, qd::Value> {
  using Py = py::object;
  struct Held : Converted<qd::Value> {
    explicit Held(py::handle o) : Converted<qd::Value>{to_value(o)} {}
  };
};
template <class In>
struct Param<In, qd::Kwargs> {
  using Py = py::dict;
  struct Held : Converted<qd::Kwargs> {
    explicit Held(const py::dict& d) : Converted<qd::Kwargs>{to_kwargs(d)} {}
  };
};

using Output = py::object (*)(std::optional<qd::Series>);

// Binds `fn` as `name` on `m`: the arguments converted in their order (so the
// first bad one is the one reported), the computation without the GIL, the
// result handed back through `out`.
template <class In, class... P>
void def_indicator(py::module_& m, const char* name, std::optional<qd::Series> (*fn)(const P&...), Output out) {
  m.def(name, [fn, out](typename Param<In, P>::Py... args) {
    std::tuple<std::optional<typename Param<In, P>::Held>...> held;
    auto given = std::forward_as_tuple(args...);
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (std::get<I>(held).emplace(std::get<I>(given)), ...);
    }(std::index_sequence_for<P...>{});
    std::optional<qd::Series> r;
    {
      py::gil_scoped_release nogil;
      r = std::apply([fn](const auto&... h) { return fn(*h...); }, held);
    }
    return out(std::move(r));
  });
}

// Every indicator, the overlap ones on `o` and the volume ones on `v`.
template <class In>
void def_indicators(py::module_& o, py::module_& v, Output out) {
  def_indicator<In>(o, "sma", &overlap::sma, out);
  def_indicator<In>(o, "ema", &overlap::ema, out);
  def_indicator<In>(o, "rma", &overlap::rma, out);
  def_indicator<In>(o, "dema", &overlap::dema, out);
  def_indicator<In>(o, "tema", &overlap::tema, out);
  def_indicator<In>(o, "hma", &overlap::hma, out);
  def_indicator<In>(o, "wma", &overlap::wma, out);
  def_indicator<In>(o, "ma", &overlap::ma, out);
  def_indicator<In>(o, "hlc3", &overlap::hlc3, out);
  def_indicator<In>(o, "vwap", &overlap::vwap, out);
  def_indicator<In>(v, "obv", &volume::obv, out);
  def_indicator<In>(v, "ad", &volume::ad, out);
  def_indicator<In>(v, "adosc", &volume::adosc, out);
  def_indicator<In>(v, "cmf", &volume::cmf, out);
}

void bind_utils(py::module_& m) {
  auto u = m.def_submodule("ta_utils");
  u.def("verify_series", [](py::object series, py::object min_length) {
    auto v = to_value(min_length);
    std::optional<std::int64_t> n = tautils::detail::int_param("min_length", v);
    return opt_series(tautils::verify_series(ta_series(series), n));
  });
  u.def("get_offset", [](py::object o) { return tautils::get_offset(to_value(o)); });
  u.def("get_drift", [](py::object o) { return tautils::get_drift(to_value(o)); });
  u.def("_apply_offset", [](py::object series, py::object offset) {
    auto in = to_series(series);
    auto off = tautils::get_offset(to_value(offset));
    return from_series(tautils::_apply_offset(in, off));
  });
  u.def("_handle_fills", [](py::object series, py::dict kw) {
    auto in = to_series(series);
    return from_series(tautils::_handle_fills(in, to_kwargs(kw)));
  });
  u.def("non_zero_range", [](py::object high, py::object low) {
    return from_series(tautils::non_zero_range(to_series(high, "high"), to_series(low, "low")));
  });
  u.def("signed_series", [](py::object series, py::object initial) {
    auto v = to_value(initial);
    if (!v.is_number()) qd::throw_argument_type("initial", "float", v.type_name());
    return from_series(tautils::signed_series(to_series(series), v.as_number()));
  });

  // An indicator call whose computation is a copy of its input: the input as
  // the indicators take it, verified, the result's way back as a Series, and
  // the seconds the copy took (what the caller subtracts to time the rest).
  auto values = m.attr("values").cast<py::module_>();
  values.def("indicator_roundtrip", [](py::object s) {
    TaInput in(s);
    auto v = tautils::detail::verify(in);
    if (!v) throw qd::TypeError("not a numeric pandas Series");
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<double> copy = tautils::detail::result_buffer(v->size());
    copy.insert(copy.end(), v->f64(), v->f64() + v->size());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    auto r = tautils::detail::finish(std::move(copy), v->index(), 0, {}, "ROUNDTRIP", "overlap");
    return py::make_tuple(opt_series(std::move(r)), took.count());
  });
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
  def_indicators<Light>(l, l, light_result);
  auto o = m.def_submodule("overlap");
  auto v = m.def_submodule("volume");
  def_indicators<TaInput>(o, v, opt_series);
  bind_utils(m);
}

}  // namespace qpy
