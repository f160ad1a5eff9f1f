// Argument helpers shared by the binding files: kinds checked on entry with
// the library's type-error text, and Python objects held from C++.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "convert.hpp"
#include "quorin_data/core/errors.hpp"

namespace qpy {

namespace py = pybind11;
namespace qd = quorin_data;

// The name of a Python value's type, as the type-error text gives it.
inline std::string type_name(py::handle o) { return py::str(py::type::handle_of(o).attr("__name__")); }

// A str argument; TypeError naming `name` otherwise.
inline std::string text(const char* name, py::handle v) {
  if (!PyUnicode_Check(v.ptr())) qd::throw_argument_type(name, "str", type_name(v));
  return v.cast<std::string>();
}

// A str or None argument.
inline std::optional<std::string> opt_text(const char* name, py::handle v) {
  if (v.is_none()) return std::nullopt;
  return text(name, v);
}

// A list argument as the library's value, except that a tuple (which the
// loose conversion would read as a list) is refused as the wrong kind.
inline qd::Value list_arg(const char* name, py::handle v) {
  if (PyTuple_Check(v.ptr())) qd::throw_argument_type(name, "list", "tuple");
  return to_value(v);
}

// A list of str argument (a tuple is refused as the wrong kind).
inline std::vector<std::string> texts(const char* name, py::handle v) {
  if (PyTuple_Check(v.ptr())) qd::throw_argument_type(name, "list", "tuple");
  return qd::text_list(to_value(v), name);
}

// A list of str or None.
inline std::optional<std::vector<std::string>> opt_texts(const char* name, py::handle v) {
  if (v.is_none()) return std::nullopt;
  return texts(name, v);
}

// A Python object held by a C++ function that may outlive the interpreter
// (a registered provider, a key builder): released with the GIL while the
// interpreter runs, left alone after it has finalized.
inline std::shared_ptr<py::object> keep(py::object o) {
  return std::shared_ptr<py::object>(new py::object(std::move(o)), [](py::object* p) {
    if (!Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    delete p;
  });
}

// The module's error class `name` of quorin_data._errors.
inline py::object error_class(const char* name) { return py::module_::import("quorin_data._errors").attr(name); }

}  // namespace qpy
