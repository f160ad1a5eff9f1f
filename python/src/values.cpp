// Plain values between Python and the library: None, bool, int, float, str,
// bytes and BytesIO, lists, dicts, dates, timestamps, and the tables inside
// them.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <variant>

#include "convert.hpp"
#include "crossing.hpp"
#include "kernels/buffers.hpp"
#include "quorin_data/core/errors.hpp"

namespace qpy {

using quorin_data::Bytes;
using quorin_data::Date;
using quorin_data::Dict;
using quorin_data::List;
using quorin_data::Timestamp;

namespace {

[[noreturn]] void unconvertible(py::handle o, Mode mode) {
  const std::string type = py::str(py::type::handle_of(o).attr("__name__"));
  if (mode == Mode::Exact)
    throw quorin_data::TypeError("a value of type '" + type +
                                 "' cannot be stored with \"pickle\" (None, bool, int, float, str, "
                                 "bytes, BytesIO, list, dict, date, datetime, DataFrame and Series "
                                 "can)");
  throw quorin_data::TypeError("a value of type '" + type + "' cannot be passed to quorin_data");
}

}  // namespace

py::bytes bytes_of(const std::uint8_t* p, std::size_t n) {
  PyObject* o = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
  if (!o) throw py::error_already_set();
  char* d = PyBytes_AS_STRING(o);
  quorin_data::kernels::advise_huge_pages(d, n);
  if (n) std::memcpy(d, p, n);
  return py::reinterpret_steal<py::bytes>(o);
}

void assign_bytes(std::vector<std::uint8_t>& out, const void* p, std::size_t n) {
  out.clear();
  quorin_data::kernels::reserve_large(out, n);
  const auto* b = static_cast<const std::uint8_t*>(p);
  out.assign(b, b + n);
}

Value to_value(py::handle o, Mode mode) {
  const Types& t = types();
  if (o.is_none()) return Value();
  if (PyBool_Check(o.ptr())) return Value(o.ptr() == Py_True);
  if (PyLong_Check(o.ptr())) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (overflow) throw py::value_error("integer " + std::string(py::str(o)) + " is outside the int64 range");
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return Value(static_cast<std::int64_t>(v));
  }
  if (PyFloat_Check(o.ptr())) return Value(PyFloat_AsDouble(o.ptr()));
  if (PyUnicode_Check(o.ptr())) return Value(text_from_py(o));
  if (PyBytes_Check(o.ptr())) {
    Bytes b;
    assign_bytes(b.data, PyBytes_AS_STRING(o.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(o.ptr())));
    b.is_buffer = false;
    return Value(std::move(b));
  }
  if (isinstance(o, t.BytesIO)) {
    py::bytes all = o.attr("getvalue")();
    std::string_view sv = all;
    Bytes b;
    assign_bytes(b.data, sv.data(), sv.size());
    b.pos = o.attr("tell")().cast<std::size_t>();
    b.is_buffer = true;
    return Value(std::move(b));
  }
  if (PyList_Check(o.ptr()) || (mode == Mode::Loose && PyTuple_Check(o.ptr()))) {
    List l;
    for (auto item : py::reinterpret_borrow<py::sequence>(o)) l.push_back(to_value(item, mode));
    return Value(std::move(l));
  }
  if (PyDict_Check(o.ptr())) {
    Dict d;
    for (auto kv : py::reinterpret_borrow<py::dict>(o))
      d.emplace_back(to_value(kv.first, mode), to_value(kv.second, mode));
    return Value(std::move(d));
  }
  if (isinstance(o, t.datetime)) {
    Timestamp ts;
    ts.tz = zone_of(o.attr("tzinfo"));
    ts.ns = t.Timestamp(o).attr("value").cast<std::int64_t>();
    return Value(std::move(ts));
  }
  if (isinstance(o, t.date)) {
    const auto ord = o.attr("toordinal")().cast<std::int64_t>();
    return Value(Date{static_cast<std::int32_t>(ord - kEpochOrdinal)});
  }
  if (isinstance(o, t.DataFrame)) return Value(frame_from_py(o, mode, Hold::Copy));
  if (isinstance(o, t.Series)) return Value(series_from_py(o, "data", mode, Hold::Copy));
  if (isinstance(o, t.np_bool)) return Value(o.cast<bool>());
  if (isinstance(o, t.np_integer)) return to_value(o.attr("item")(), mode);
  if (isinstance(o, t.np_floating)) return Value(o.cast<double>());
  if (mode == Mode::Loose && (PyByteArray_Check(o.ptr()) || PyMemoryView_Check(o.ptr())))
    return to_value(py::bytes(py::reinterpret_borrow<py::object>(o)), mode);
  unconvertible(o, mode);
}

Kwargs to_kwargs(const py::dict& kw) {
  Kwargs out;
  for (auto kv : kw) out.set(kv.first.cast<std::string>(), to_value(kv.second));
  return out;
}

py::object from_value(Value v) {
  const auto& s = v.storage();
  const Types& t = types();
  if (v.is_none()) return py::none();
  if (v.is_bool()) return py::bool_(v.as_bool());
  if (v.is_int()) return py::int_(v.as_int());
  if (v.is_float()) return py::float_(v.as_float());
  if (v.is_str()) return text_to_py(v.as_str());
  if (v.is_bytes()) {
    const Bytes& b = v.as_bytes();
    py::bytes raw = bytes_of(b.data.data(), b.data.size());
    if (!b.is_buffer) return raw;
    py::object buf = t.BytesIO(raw);
    buf.attr("seek")(b.pos);
    return buf;
  }
  // Containers held only by this value give their items away, so that the
  // tables inside them arrive as owned (writable) arrays.
  if (v.is_list()) {
    const bool unique = std::get<std::shared_ptr<List>>(s).use_count() == 1;
    auto& items = const_cast<List&>(v.as_list());
    py::list out;
    for (auto& item : items) out.append(unique ? from_value(std::move(item)) : from_value(item));
    return out;
  }
  if (v.is_dict()) {
    const bool unique = std::get<std::shared_ptr<Dict>>(s).use_count() == 1;
    auto& items = const_cast<Dict&>(v.as_dict());
    py::dict out;
    for (auto& [k, val] : items) out[from_value(k)] = unique ? from_value(std::move(val)) : from_value(val);
    return out;
  }
  if (v.is_date())
    return t.date.attr("fromordinal")(static_cast<std::int64_t>(v.as_date().days) + kEpochOrdinal);
  if (v.is_timestamp()) {
    const auto& ts = v.as_timestamp();
    if (ts.tz.empty()) return t.Timestamp(ts.ns);
    return t.Timestamp(ts.ns, py::arg("tz") = ts.tz);
  }
  if (v.is_frame()) {
    const auto& ref = std::get<std::shared_ptr<Frame>>(s);
    if (ref.use_count() == 1) return from_frame(std::move(*ref));
    return from_frame_shared(ref);
  }
  if (v.is_series()) {
    const auto& ref = std::get<std::shared_ptr<Series>>(s);
    Series copy = ref.use_count() == 1 ? std::move(*ref) : *ref;
    return from_series(std::move(copy));
  }
  throw quorin_data::TypeError("value of type " + v.type_name() + " has no Python form");
}

}  // namespace qpy
