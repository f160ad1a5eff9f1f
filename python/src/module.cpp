// quorin_data._quorin: the library's modules for Python. The thin modules of
// the package (quorin_data.from_s3.bucketry, ...) give the functions their
// signatures and defaults and call these; each module's binding is a file of
// its own (bindings.hpp). This file holds what they share: the warning
// channel, the translation of the library's errors, and the conversions.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "arenas.hpp"
#include "args.hpp"
#include "bindings.hpp"
#include "bql_bridge.hpp"
#include "convert.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/serialize.hpp"
#include "quorin_data/from_bqia/bqia.hpp"

namespace py = pybind11;
namespace qd = quorin_data;
using qpy::error_class;
using qpy::from_value;
using qpy::to_value;

namespace {

// ------------------------------------------------------------------ warnings

// The warning channel: every warning of the library goes to the sink the
// package sets (Python's warnings module). The modules warn at their first
// use, never while the libraries load, so the handler installed with the
// extension sees them all; any emitted before the sink is set are queued.
struct Channel {
  std::mutex mu;
  std::vector<std::string> pending;
  std::unique_ptr<py::object> sink;  // a Python callable taking the text
};

Channel& channel() {
  // Never destroyed: the sink must not be released after the interpreter.
  static Channel* c = new Channel;
  return *c;
}

void emit_warning(const std::string& text) {
  auto& c = channel();
  {
    std::lock_guard<std::mutex> lock(c.mu);
    if (!c.sink) {
      c.pending.push_back(text);
      return;
    }
  }
  if (!Py_IsInitialized()) return;
  py::gil_scoped_acquire gil;
  (*c.sink)(text);
}

// ------------------------------------------------------------------ errors

void raise(py::handle cls, py::object instance) { PyErr_SetObject(cls.ptr(), instance.ptr()); }

void translate(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const qpy::bql::ServiceError& e) {
    auto cls = error_class("ServiceError");
    raise(cls, cls(e.what()));
  } catch (const qd::from_bqia::bqia::PackageError& e) {
    auto cls = error_class("PackageError");
    raise(cls, cls(e.what()));
  } catch (const qd::PythonPickleError& e) {
    auto cls = error_class("PythonPickleError");
    raise(cls, cls(e.what(), e.format(), e.source(), e.place()));
  } catch (const qd::StoreError& e) {
    auto cls = error_class("StoreError");
    raise(cls, cls(e.what(), e.code(), e.http_status(), e.request_id(), e.operation()));
  } catch (const qd::FormatError& e) {
    auto cls = error_class("FormatError");
    raise(cls, cls(e.what(), e.format(), e.source(), e.place()));
  } catch (const qd::Error& e) {
    switch (e.kind()) {
      case qd::ErrorKind::Value: PyErr_SetString(PyExc_ValueError, e.what()); return;
      case qd::ErrorKind::Type: PyErr_SetString(PyExc_TypeError, e.what()); return;
      case qd::ErrorKind::Assertion: PyErr_SetString(PyExc_AssertionError, e.what()); return;
      case qd::ErrorKind::Name: PyErr_SetString(PyExc_NameError, e.what()); return;
      case qd::ErrorKind::Key: PyErr_SetString(PyExc_KeyError, e.what()); return;
      case qd::ErrorKind::Index: PyErr_SetString(PyExc_IndexError, e.what()); return;
      case qd::ErrorKind::Transport: {
        auto cls = error_class("TransportError");
        raise(cls, cls(e.what()));
        return;
      }
      default: PyErr_SetString(PyExc_RuntimeError, e.what()); return;
    }
  }
}

}  // namespace

PYBIND11_MODULE(_quorin, m) {
  m.doc() = "The compiled core of quorin_data.";
  py::register_exception_translator(translate);
  qpy::install_arenas();
  qd::set_warning_handler(emit_warning);
  m.def("set_warning_sink", [](py::object sink) {
    auto& c = channel();
    std::vector<std::string> pending;
    {
      std::lock_guard<std::mutex> lock(c.mu);
      c.sink = sink.is_none() ? nullptr : std::make_unique<py::object>(std::move(sink));
      if (c.sink) pending.swap(c.pending);
    }
    for (const auto& text : pending) (*c.sink)(text);
  }, "Sends every warning to `sink(text)`, those queued first (None queues them again).");

  // ---------------------------------------------------------------- values
  auto values = m.def_submodule("values", "Conversions, exposed for tests and tools.");
  values.def("roundtrip", [](py::object o, bool exact) {
    qd::Value v = to_value(o, exact ? qpy::Mode::Exact : qpy::Mode::Loose);
    return from_value(std::move(v));
  }, py::arg("value"), py::arg("exact") = false,
     "The value converted to the library's value and back.");
  values.def("serialize", [](py::object o) {
    auto bytes = qd::formats::serialize(to_value(o, qpy::Mode::Exact));
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }, "Our \"pickle\" serialization of a value.");
  values.def("deserialize", [](py::bytes b) {
    std::string_view sv = b;
    return from_value(qd::formats::deserialize(reinterpret_cast<const std::uint8_t*>(sv.data()), sv.size(), "bytes"));
  });
  // A Series into C++ and back as a copy (how Series arguments other than
  // indicator inputs cross).
  values.def("series_roundtrip", [](py::object s) { return qpy::from_series(qpy::to_series(s)); });
  // Each direction of the DataFrame crossing on its own: `hold_frame` takes
  // a DataFrame into C++ and keeps it in an opaque handle; `release_frame`
  // hands a copy of the held frame back as a DataFrame.
  py::class_<qd::Frame, std::shared_ptr<qd::Frame>>(values, "HeldFrame")
      .def_property_readonly("rows", &qd::Frame::num_rows);
  values.def("hold_frame", [](py::object df) { return std::make_shared<qd::Frame>(qpy::to_frame(df)); });
  values.def("release_frame", [](const std::shared_ptr<qd::Frame>& f) { return qpy::from_frame(qd::Frame(*f)); });
  // A frame made in C++ and handed over (its float64 column's buffer address
  // is returned too, to check that the array is that buffer).
  values.def("make_frame", [](std::size_t n) {
    qd::Frame f;
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<double>(i) * 0.5;
    const auto addr = reinterpret_cast<std::uintptr_t>(x.data());
    f.add_column("x", qd::Column::floats(std::move(x)));
    f.set_index(qd::Index::range(n));
    return py::make_tuple(qpy::from_frame(std::move(f)), addr);
  });

  qpy::bind_bucketry(m);

  qpy::bind_bql(m);
  qpy::bind_snapshelf(m);
  qpy::bind_querywork(m);
  qpy::bind_barwork(m);
  qpy::bind_ta(m);  // after `values`, which it adds to
}
