// The table crossing between pandas and the library: columns, frames,
// series and row labels, with numbers read in place and texts in one pass.
#include "convert.hpp"
#include "crossing.hpp"
#include "texts.hpp"

#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>
#include <vector>

#include "quorin_data/core/errors.hpp"

namespace qpy {

using quorin_data::Buffer;
using quorin_data::BufferOwner;
using quorin_data::DType;
using quorin_data::ValidityBuilder;

namespace {

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

}  // namespace

const Types& types() {
  static Types* t = [] {
    auto* out = new Types;
    auto pd = py::module_::import("pandas");
    auto np = py::module_::import("numpy");
    auto dt = py::module_::import("datetime");
    out->DataFrame = pd.attr("DataFrame");
    out->Series = pd.attr("Series");
    out->Timestamp = pd.attr("Timestamp");
    out->BytesIO = py::module_::import("io").attr("BytesIO");
    out->date = dt.attr("date");
    out->datetime = dt.attr("datetime");
    out->np_integer = np.attr("integer");
    out->np_floating = np.attr("floating");
    out->np_bool = np.attr("bool_");
    out->NA = pd.attr("NA");
    out->NaT = pd.attr("NaT");
    return out;
  }();
  return *t;
}

bool isinstance(py::handle o, const py::object& cls) {
  const int r = PyObject_IsInstance(o.ptr(), cls.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

std::string label_of(py::handle name) { return py::str(py::repr(name)); }

namespace {

// ------------------------------------------------------------ shared memory

// Memory of a Python object (a numpy array) read in place by a column. The
// last column to let go may do so on a thread without the GIL, so the
// reference is dropped with the GIL taken; after the interpreter has
// finalized it is left alone.
struct PyOwner final : BufferOwner {
  explicit PyOwner(PyObject* o) : obj(o) { Py_INCREF(o); }
  ~PyOwner() override {
    if (!Py_IsInitialized()) return;
    const PyGILState_STATE st = PyGILState_Ensure();
    Py_DECREF(obj);
    PyGILState_Release(st);
  }
  PyObject* obj;
};

bool borrowed_from_python(const Buffer& b) { return dynamic_cast<const PyOwner*>(b.owner().get()) != nullptr; }


// The n elements of T of a numpy array (converted only when its dtype or
// layout differ), in place or copied.
template <class T>
Buffer numbers_of(py::handle data, std::size_t n, Hold hold) {
  auto a = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(data);
  if (!a) throw py::error_already_set();
  if (static_cast<std::size_t>(a.size()) != n) throw quorin_data::ValueError("column data of the wrong length");
  if (n == 0) return {};
  if (hold == Hold::Copy) return Buffer::copy(a.data(), n * sizeof(T));
  return Buffer(a.data(), n * sizeof(T), std::make_shared<PyOwner>(a.ptr()));
}

// A numpy array over a column's buffer; writable only when nothing else
// shares the memory and it is not a caller's array read in place.
// `may_write` says that the caller drops its column right after, so that a
// buffer that column alone holds is then the array's alone.
py::array array_over(const Buffer& b, const void* first, std::size_t n, const py::dtype& dt, bool may_write) {
  const bool writable = may_write && n && b.unique() && !borrowed_from_python(b);
  auto* holder = new Buffer(b);
  py::capsule owner(holder, [](void* p) { delete static_cast<Buffer*>(p); });
  static const std::int64_t dummy = 0;
  const void* at = n ? first : &dummy;
  py::array a(dt, {static_cast<py::ssize_t>(n)}, {static_cast<py::ssize_t>(dt.itemsize())}, at, owner);
  if (!writable) a.attr("setflags")(py::arg("write") = false);
  return a;
}

// ------------------------------------------------------- object columns

// What the cells of an object column hold, as far as this pass decides it.
enum Seen : unsigned { kStr = 1, kBool = 2, kInt = 4, kFloat = 8, kOther = 16 };

inline bool is_missing_object(PyObject* o, const Types& t) {
  if (o == Py_None || o == t.NA.ptr() || o == t.NaT.ptr()) return true;
  return PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o));
}

// The kind of a present cell; numpy scalars by their class, remembered per
// type so that a column of them costs one check per cell.
struct Classifier {
  const Types& t = types();
  PyTypeObject* last_type = nullptr;
  unsigned last_kind = 0;
  unsigned operator()(PyObject* o) {
    if (PyUnicode_Check(o)) return kStr;
    if (PyBool_Check(o)) return kBool;
    if (PyLong_Check(o)) return kInt;
    if (PyFloat_Check(o)) return kFloat;
    PyTypeObject* ty = Py_TYPE(o);
    if (ty == last_type) return last_kind;
    py::handle h(o);
    unsigned k = kOther;
    if (isinstance(h, t.np_bool)) k = kBool;
    else if (isinstance(h, t.np_integer)) k = kInt;
    else if (isinstance(h, t.np_floating)) k = kFloat;
    last_type = ty;
    last_kind = k;
    return k;
  }
};

// An integer cell as int64; false when it lies outside that range.
bool int64_of(PyObject* o, std::int64_t& out) {
  PyObject* idx = PyLong_Check(o) ? (Py_INCREF(o), o) : PyNumber_Index(o);
  if (!idx) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(idx, &overflow);
  Py_DECREF(idx);
  if (!overflow && v == -1 && PyErr_Occurred()) throw py::error_already_set();
  out = v;
  return !overflow;
}

// A number cell as a double, refusing an integer that float64 cannot hold
// exactly (the column would otherwise carry a rounded copy).
double exact_double(PyObject* o, unsigned kind, py::handle label) {
  if (kind == kFloat) {
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
  }
  std::int64_t v = 0;
  if (int64_of(o, v)) {
    const double d = static_cast<double>(v);
    if (d >= -9223372036854775808.0 && d < 9223372036854775808.0 && static_cast<std::int64_t>(d) == v) return d;
  } else {
    PyObject* idx = PyNumber_Index(o);
    if (!idx) throw py::error_already_set();
    const double d = PyLong_AsDouble(idx);
    bool exact = false;
    if (!(d == -1.0 && PyErr_Occurred())) {
      PyObject* back = PyLong_FromDouble(d);
      exact = back && PyObject_RichCompareBool(back, idx, Py_EQ) == 1;
      Py_XDECREF(back);
    }
    PyErr_Clear();
    Py_DECREF(idx);
    if (exact) return d;
  }
  throw py::value_error("column " + label_of(label) + " mixes floats with the integer " +
                        std::string(py::str(o)) + ", which float64 cannot hold exactly");
}

// The column of an object array read in one pass over its cells: texts,
// bools, integers, or floats with integers. Returns false for anything else
// (dates, times, timestamps, mixed kinds), which the pandas side decides.
bool object_column(py::handle arr_h, py::handle label, Column& out) {
  auto arr = py::reinterpret_borrow<py::array>(arr_h);
  if (arr.ndim() != 1 || !(arr.flags() & py::array::c_style) || arr.dtype().kind() != 'O') {
    arr = py::array::ensure(py::module_::import("numpy").attr("ascontiguousarray")(arr_h, py::arg("dtype") = "O"));
    if (!arr) throw py::error_already_set();
  }
  const std::size_t n = static_cast<std::size_t>(arr.size());
  auto* const* cells = static_cast<PyObject* const*>(arr.data());
  const Types& t = types();
  // Texts first: the common case is decided in the same pass that builds it.
  {
    TextCells texts(n);
    std::size_t i = 0;
    constexpr std::size_t kAhead = 8;  // the objects' headers are fetched ahead of their turn
    for (; i < n; ++i) {
      PyObject* o = cells[i];
      if (i + kAhead < n) __builtin_prefetch(cells[i + kAhead]);
      if (texts.add_seen(o)) continue;  // only str objects are remembered
      if (PyUnicode_Check(o))
        texts.add(o);
      else if (is_missing_object(o, t))
        texts.missing();
      else
        break;
    }
    if (i == n) {
      out = texts.finish();
      return true;
    }
  }
  Classifier kind_of;
  unsigned seen = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (!is_missing_object(cells[i], t)) seen |= kind_of(cells[i]);
  // Reads each present cell into v[i] with `read`; the validity of the cells.
  auto read_present = [&](auto& v, auto read) {
    ValidityBuilder valid;
    for (std::size_t i = 0; i < n; ++i) {
      const bool miss = is_missing_object(cells[i], t);
      valid.push(!miss);
      if (!miss) read(cells[i], v[i]);
    }
    return valid;
  };
  if (seen == kBool) {
    std::vector<std::uint8_t> v(n, 0);
    auto valid = read_present(v, [](PyObject* o, std::uint8_t& x) {
      const int b = PyObject_IsTrue(o);
      if (b < 0) throw py::error_already_set();
      x = static_cast<std::uint8_t>(b);
    });
    out = Column::bools(std::move(v), std::move(valid));
    return true;
  }
  if (seen == kInt) {
    std::vector<std::int64_t> v(n, 0);
    auto valid = read_present(v, [&](PyObject* o, std::int64_t& x) {
      if (!int64_of(o, x)) {
        PyErr_Format(PyExc_OverflowError, "column %s holds integers outside the int64 range", label_of(label).c_str());
        throw py::error_already_set();
      }
    });
    out = Column::ints(std::move(v), std::move(valid));
    return true;
  }
  if (seen == (kInt | kFloat)) {
    std::vector<double> v(n, quorin_data::kNaN);
    for (std::size_t i = 0; i < n; ++i)
      if (!is_missing_object(cells[i], t)) v[i] = exact_double(cells[i], kind_of(cells[i]), label);
    out = Column::floats(std::move(v));
    return true;
  }
  return false;
}

// ------------------------------------------------------------ column parts

Column column_from_parts(const py::tuple& parts, py::handle label, Hold hold);

// A Categorical of text categories: the categories read once, each cell the
// view of its code's category (sharing its bytes).
Column categorical_column(py::handle codes_h, py::handle categories, py::handle label) {
  Column cats;
  if (!object_column(categories, label, cats) || cats.type() != DType::Text)
    throw quorin_data::TypeError("column " + label_of(label) + " has categories that are not texts");
  auto codes = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(codes_h);
  if (!codes) throw py::error_already_set();
  const std::size_t n = static_cast<std::size_t>(codes.size());
  const std::int64_t* code = codes.data();
  const auto cat_views = cats.views();
  std::vector<TextView> views(n);
  ValidityBuilder valid;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t k = code[i];
    const bool present = k >= 0 && static_cast<std::size_t>(k) < cat_views.size();
    valid.push(present);
    if (present) views[i] = cat_views[static_cast<std::size_t>(k)];
  }
  return Column::from_buffers(DType::Text, n, Buffer::adopt(std::move(views)), valid.finish(), cats.heap());
}

// Presence bits from a bool mask (True where missing); empty when none is.
Buffer bits_from_mask(py::handle missing, std::size_t n) {
  if (missing.is_none()) return {};
  auto m = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(missing);
  if (!m || static_cast<std::size_t>(m.size()) != n) throw quorin_data::ValueError("bad missing mask");
  const bool* p = m.data();
  ValidityBuilder vb;
  for (std::size_t i = 0; i < n; ++i) vb.push(!p[i]);
  return vb.finish();
}

// Values of a column with a missing mask: missing slots must hold 0, so a
// caller's array with other values there is copied and cleared.
template <class T>
Buffer cleared_values(py::handle data, std::size_t n, const Buffer& bits, Hold hold) {
  if (bits.empty()) return numbers_of<T>(data, n, hold);
  auto a = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(data);
  if (!a || static_cast<std::size_t>(a.size()) != n) throw quorin_data::ValueError("column data of the wrong length");
  using Stored = std::conditional_t<std::is_same_v<T, bool>, std::uint8_t, T>;
  std::vector<Stored> v(a.data(), a.data() + n);
  for (std::size_t i = 0; i < n; ++i)
    if (!quorin_data::bit_at(bits.data(), i)) v[i] = 0;
  return Buffer::adopt(std::move(v));
}

Column column_from_parts(const py::tuple& parts, py::handle label, Hold hold) {
  const auto kind = parts[0].cast<std::string>();
  py::handle data = parts[1];
  if (kind == "object") {
    Column c;
    if (object_column(data, label, c)) return c;
    return column_from_parts(frames().attr("object_parts")(data, label), label, hold);
  }
  if (kind == "categorical") return categorical_column(data, parts[2], label);
  const std::size_t n = static_cast<std::size_t>(py::len(data));
  if (kind == "float64") return Column::from_buffers(DType::Float64, n, numbers_of<double>(data, n, hold));
  const Buffer bits = bits_from_mask(parts[2], n);
  const std::string tz = parts[3].cast<std::string>();
  if (kind == "int64") return Column::from_buffers(DType::Int64, n, cleared_values<std::int64_t>(data, n, bits, hold), bits);
  if (kind == "bool") return Column::from_buffers(DType::Bool, n, cleared_values<bool>(data, n, bits, hold), bits);
  if (kind == "timestamp") {
    // NaT marks a missing instant in place of a mask.
    auto a = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(data);
    if (!a) throw py::error_already_set();
    const std::int64_t* p = a.data();
    bool any_nat = false;
    for (std::size_t i = 0; i < n && !any_nat; ++i) any_nat = p[i] == kNaT;
    if (!any_nat && bits.empty())
      return Column::from_buffers(DType::Timestamp, n, numbers_of<std::int64_t>(a, n, hold), {}, {}, tz);
    std::vector<std::int64_t> v(p, p + n);
    ValidityBuilder vb;
    for (std::size_t i = 0; i < n; ++i) {
      const bool present = v[i] != kNaT && (bits.empty() || quorin_data::bit_at(bits.data(), i));
      vb.push(present);
      if (!present) v[i] = 0;
    }
    return Column::timestamps(std::move(v), tz, std::move(vb));
  }
  auto a = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(data);
  if (!a) throw py::error_already_set();
  std::vector<std::int64_t> v(a.data(), a.data() + n);
  quorin_data::Validity valid(bits, n);
  for (std::size_t i = 0; i < n; ++i)
    if (!bits.empty() && !quorin_data::bit_at(bits.data(), i)) v[i] = 0;
  if (kind == "date") {
    std::vector<std::int32_t> days(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (v[i] < std::numeric_limits<std::int32_t>::min() || v[i] > std::numeric_limits<std::int32_t>::max())
        throw quorin_data::ValueError("column " + label_of(label) + " holds a date outside the supported range");
      days[i] = static_cast<std::int32_t>(v[i]);
    }
    return Column::dates(std::move(days), std::move(valid));
  }
  if (kind == "time") return Column::times(std::move(v), std::move(valid));
  throw quorin_data::ValueError("unknown column kind " + kind);
}

// ------------------------------------------------------- columns to pandas

py::object missing_mask(const Column& c) {
  if (!c.has_missing()) return py::none();
  const std::size_t n = c.size();
  py::array_t<bool> m(static_cast<py::ssize_t>(n));
  bool* p = m.mutable_data();
  for (std::size_t i = 0; i < n; ++i) p[i] = c.is_missing(i);
  return m;
}

template <class T>
const void* first_of(const Column& c) {
  return c.value_buffer().data() + c.offset() * sizeof(T);
}

// The pandas form of a column: a numpy array, or for the types pandas
// builds itself (masked, zoned, dates, times) the parts make_frame turns
// into one.
py::object column_to_py(const Column& c, bool may_write, const std::vector<CodedRange>* coded = nullptr) {
  const std::size_t n = c.size();
  const Buffer& b = c.value_buffer();
  const auto parts = [](const char* kind, py::object data, py::object missing, const std::string& tz) {
    return py::make_tuple(kind, std::move(data), std::move(missing), tz);
  };
  switch (c.type()) {
    case DType::Float64:
      return array_over(b, first_of<double>(c), n, py::dtype::of<double>(), may_write);
    case DType::Int64: {
      py::object data = array_over(b, first_of<std::int64_t>(c), n, py::dtype::of<std::int64_t>(), may_write);
      if (!c.has_missing()) return data;
      return parts("int64", data, missing_mask(c), "");
    }
    case DType::Bool: {
      py::object data = array_over(b, first_of<std::uint8_t>(c), n, py::dtype::of<bool>(), may_write);
      if (!c.has_missing()) return data;
      return parts("bool", data, missing_mask(c), "");
    }
    case DType::Text:
      return coded ? text_array(c, *coded) : text_array(c, code_columns({&c})[0]);
    case DType::Date:
      return parts("date", array_over(b, first_of<std::int32_t>(c), n, py::dtype::of<std::int32_t>(), false),
                   missing_mask(c), "");
    case DType::Timestamp: {
      py::object data;
      if (!c.has_missing()) {
        data = array_over(b, first_of<std::int64_t>(c), n, py::dtype::of<std::int64_t>(), may_write);
      } else {
        py::array_t<std::int64_t> v(static_cast<py::ssize_t>(n));
        std::int64_t* p = v.mutable_data();
        const auto ns = c.i64();
        for (std::size_t i = 0; i < n; ++i) p[i] = c.is_missing(i) ? kNaT : ns[i];
        data = v;
      }
      if (c.tz().empty()) return data.attr("view")("M8[ns]");
      return parts("timestamp", data, py::none(), c.tz());
    }
    case DType::Time:
      return parts("time", array_over(b, first_of<std::int64_t>(c), n, py::dtype::of<std::int64_t>(), false),
                   missing_mask(c), "");
  }
  throw quorin_data::ValueError("unknown column type");
}


}  // namespace

std::string zone_of(py::handle tzinfo) {
  if (tzinfo.is_none()) return {};
  return frames().attr("zone_name")(tzinfo).cast<std::string>();
}

py::module_ frames() {
  static py::module_* m = new py::module_(py::module_::import("quorin_data._frames"));
  return *m;
}

// ------------------------------------------------------------------ index

Index to_index(py::handle idx) {
  py::tuple parts = frames().attr("index_parts")(idx);
  const auto kind = parts[0].cast<std::string>();
  Index out;
  if (kind == "range") {
    out = Index::range(parts[2].cast<std::size_t>(), parts[1].cast<std::int64_t>());
  } else if (kind == "int") {
    auto a = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(parts[1]);
    if (!a) throw py::error_already_set();
    out = Index::ints(std::vector<std::int64_t>(a.data(), a.data() + a.size()));
  } else {
    auto a = py::array::ensure(parts[1]);
    if (!a) throw py::error_already_set();
    auto* const* cells = static_cast<PyObject* const*>(a.data());
    std::vector<std::string> labels;
    labels.reserve(static_cast<std::size_t>(a.size()));
    for (py::ssize_t i = 0; i < a.size(); ++i) labels.push_back(text_from_py(cells[i]));
    out = Index::texts(std::move(labels));
  }
  out.name = parts[3].cast<std::string>();
  return out;
}

py::object from_index(const Index& idx) {
  const std::size_t n = idx.size();
  switch (idx.kind()) {
    case Index::Kind::Range:
      return frames().attr("make_index")("range", idx.int_label(0), n, idx.name);
    case Index::Kind::Int: {
      py::array_t<std::int64_t> v(static_cast<py::ssize_t>(n));
      std::int64_t* p = v.mutable_data();
      for (std::size_t i = 0; i < n; ++i) p[i] = idx.int_label(i);
      return frames().attr("make_index")("int", v, n, idx.name);
    }
    case Index::Kind::Text: {
      py::array out(py::dtype("O"), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
      auto** cells = static_cast<PyObject**>(out.mutable_data());
      for (std::size_t i = 0; i < n; ++i) {
        PyObject* old = cells[i];
        cells[i] = new_str(idx.text_label(i));
        Py_XDECREF(old);
      }
      return frames().attr("make_index")("text", out, n, idx.name);
    }
  }
  throw quorin_data::ValueError("unknown index kind");
}

// ------------------------------------------------------------------ frames

namespace {

std::string column_name(py::handle name, Mode mode) {
  if (PyUnicode_Check(name.ptr())) return text_from_py(name);
  if (mode == Mode::Loose) return py::str(name);
  throw quorin_data::TypeError("column name " + label_of(name) + " is not a text and would not read back equal");
}


// The DataFrame of a frame's columns; `owned` when the columns are dropped
// right after (their buffers may then become writable arrays).
py::object make_frame(const std::vector<std::string>& names, std::vector<Column>& columns, const Index& index,
                      bool owned) {
  py::list py_names, arrays;
  py::object py_index = from_index(index);
  std::vector<const Column*> texts;
  for (const Column& c : columns)
    if (c.type() == DType::Text) texts.push_back(&c);
  const auto coded = code_columns(texts);
  for (std::size_t i = 0, t = 0; i < columns.size(); ++i) {
    py_names.append(text_to_py(names[i]));
    const bool text = columns[i].type() == DType::Text;
    arrays.append(column_to_py(columns[i], owned, text ? &coded[t++] : nullptr));
    if (owned) columns[i] = Column();
  }
  return frames().attr("make_frame")(py_names, arrays, py_index);
}


}  // namespace

Frame frame_from_py(py::handle df, Mode mode, Hold hold) {
  if (!isinstance(df, types().DataFrame))
    throw quorin_data::TypeError("expected a pandas DataFrame, got '" +
                                 std::string(py::str(py::type::handle_of(df).attr("__name__"))) + "'");
  Frame f;
  // One call gives every column's parts; the cells are read here.
  py::tuple all = frames().attr("frame_parts")(df);
  py::list names = all[0], parts = all[1];
  for (std::size_t i = 0; i < names.size(); ++i) {
    py::handle name = names[i];
    std::string col_name = column_name(name, mode);
    f.add_column(std::move(col_name), column_from_parts(parts[i].cast<py::tuple>(), name, hold));
  }
  f.set_index(to_index(all[2]));
  return f;
}

Series series_from_py(py::handle s, const char* what, Mode mode, Hold hold) {
  if (!isinstance(s, types().Series))
    quorin_data::throw_argument_type(what, "Series", py::str(py::type::handle_of(s).attr("__name__")));
  py::object name = s.attr("name");
  py::tuple parts = frames().attr("column_parts")(s, name);
  Series out(column_from_parts(parts, name, hold), to_index(s.attr("index")));
  if (name.is_none()) {
  } else if (PyUnicode_Check(name.ptr())) {
    out.name = text_from_py(name);
  } else if (mode == Mode::Loose) {
    out.name = py::str(name);
  } else {
    throw quorin_data::TypeError("Series name " + label_of(name) + " is not a text and would not read back equal");
  }
  out.category = frames().attr("series_category")(s).cast<std::string>();
  return out;
}

Frame to_frame(py::handle df) { return frame_from_py(df, Mode::Loose, Hold::Borrow); }

py::object from_frame(Frame&& f) {
  const Index index = f.index();
  const std::vector<std::string> names = f.names();
  std::vector<Column> columns = std::move(f).release_columns();
  f = Frame();
  return make_frame(names, columns, index, true);
}

py::object from_frame_shared(std::shared_ptr<const Frame> f) {
  if (!f) return py::none();
  std::vector<Column> columns = f->columns();
  return make_frame(f->names(), columns, f->index(), false);
}

// ------------------------------------------------------------------ series

Series to_series(py::handle s, const char* what) { return series_from_py(s, what, Mode::Loose, Hold::Borrow); }

py::object from_series(Series&& s) {
  py::object index = from_index(s.index);
  Column values = std::move(s.values);
  py::object arr = column_to_py(values, true);
  values = Column();
  return frames().attr("make_series")(arr, index, text_to_py(s.name), s.category);
}

}  // namespace qpy
