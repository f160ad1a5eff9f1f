// The table crossing between pandas and the library: columns, frames,
// series and row labels, with numbers read in place and texts in one pass.
#include "convert.hpp"
#include "crossing.hpp"

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <random>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "kernels/buffers.hpp"
#include "quorin_data/core/errors.hpp"

namespace qpy {

using quorin_data::Buffer;
using quorin_data::BufferOwner;
using quorin_data::DType;
using quorin_data::TextBuilder;
using quorin_data::TextView;
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

// ------------------------------------------------------------------- texts

// A str's UTF-8 bytes without a copy where CPython has them (ASCII strings
// always, others once encoded); false for strings holding lone surrogates.
inline bool utf8_of(PyObject* o, const char*& p, std::size_t& n) {
  if (PyUnicode_IS_COMPACT_ASCII(o)) {
    p = static_cast<const char*>(PyUnicode_DATA(o));
    n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    return true;
  }
  Py_ssize_t len = 0;
  p = PyUnicode_AsUTF8AndSize(o, &len);
  if (!p) {
    PyErr_Clear();
    return false;
  }
  n = static_cast<std::size_t>(len);
  return true;
}

}  // namespace

std::string text_from_py(py::handle o) {
  const char* p = nullptr;
  std::size_t n = 0;
  if (utf8_of(o.ptr(), p, n)) return std::string(p, n);
  // surrogateescape keeps bytes that are not UTF-8 as they came in.
  PyObject* b = PyUnicode_AsEncodedString(o.ptr(), "utf-8", "surrogateescape");
  if (!b) throw py::error_already_set();
  std::string out(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
  Py_DECREF(b);
  return out;
}

namespace {

// Appends a str cell. A str seen before as the same object (a column
// repeating one str, as frames made by this library do) reuses the view of
// the first, so its bytes are read and stored once.
class TextCells {
 public:
  explicit TextCells(std::size_t n) { out_.reserve(n); }
  // A str seen before: its view appended again (true), else false. The last
  // cell is checked first (columns sorted by a key repeat one object in runs).
  bool add_seen(PyObject* o) {
    if (o == last_.obj) {
      out_.append_view(last_.view);
      return true;
    }
    const Slot& sl = slot(o);
    if (sl.obj != o) return false;
    out_.append_view(sl.view);
    last_ = sl;
    return true;
  }
  void add(PyObject* o) {
    Slot& sl = slot(o);
    const char* p = nullptr;
    std::size_t n = 0;
    if (!utf8_of(o, p, n)) {
      const std::string s = text_from_py(o);
      out_.append(s);
      return;
    }
    out_.append(std::string_view(p, n));
    sl.obj = o;
    sl.view = out_.view(out_.size() - 1);
    last_ = sl;
  }
  void missing() { out_.append_missing(); }
  Column finish() { return out_.finish(); }

 private:
  static constexpr unsigned kBits = 13;
  static constexpr std::size_t kCache = std::size_t{1} << kBits;
  struct Slot {
    PyObject* obj = nullptr;
    TextView view;
  };
  Slot& slot(PyObject* o) {
    return cache_[((reinterpret_cast<std::uintptr_t>(o) >> 4) * 0x9e3779b97f4a7c15ull) >> (64 - kBits)];
  }
  TextBuilder out_;
  std::vector<Slot> cache_ = std::vector<Slot>(kCache);
  Slot last_;
};

// A per-process seed keeps crafted cell texts from lining up in one chain.
std::uint64_t text_seed() {
  static const std::uint64_t seed = [] {
    std::random_device rd;
    return (static_cast<std::uint64_t>(rd()) << 32) ^ rd() ^ 0x9e3779b97f4a7c15ull;
  }();
  return seed;
}

inline std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 32;
  h *= 0xd6e8feb86659fd93ull;
  h ^= h >> 32;
  return h;
}

inline std::uint64_t hash_view(const Column& c, const TextView& v, std::uint64_t seed) {
  std::uint64_t h = mix(seed ^ v.word0());
  if (v.is_inline()) return mix(h ^ v.word1());
  const std::string_view t = c.text_of(v);
  std::size_t at = 4;
  for (; at + 8 <= t.size(); at += 8) {
    std::uint64_t w;
    std::memcpy(&w, t.data() + at, 8);
    h = mix(h ^ w);
  }
  // The last 1-7 bytes, from one load of the text's last word (a long text
  // has more than 8 bytes); a byte-wise copy would stall the load after it.
  if (const std::size_t r = t.size() - at; r > 0) {
    std::uint64_t w;
    std::memcpy(&w, t.data() + t.size() - 8, 8);
    h = mix(h ^ (w >> ((8 - r) * 8)));
  }
  return h;
}

// Equal bytes, compared a word at a time (texts here are short; a call to
// memcmp costs more than the compare).
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return false;
  }
  for (; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

bool all_ascii(const char* p, std::size_t n) {
  std::uint64_t acc = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  for (; i < n; ++i) acc |= static_cast<unsigned char>(p[i]);
  return (acc & 0x8080808080808080ull) == 0;
}

PyObject* new_str(std::string_view s) {
  if (all_ascii(s.data(), s.size())) {
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (!o) throw py::error_already_set();
    std::memcpy(PyUnicode_DATA(o), s.data(), s.size());
    return o;
  }
  // surrogateescape gives bytes that are not UTF-8 back unchanged on the way out.
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
  if (!o) throw py::error_already_set();
  return o;
}

}  // namespace

py::str text_to_py(std::string_view s) { return py::reinterpret_steal<py::str>(new_str(s)); }

namespace {

// ---- text columns to object arrays
//
// Equal texts share one str. A column is first coded in ranges of rows, each
// on its own and without the interpreter (so a frame's ranges can be coded
// on two threads): each present cell gets the id of its text in the range's
// open-addressing table (equal short texts have equal views; long ones
// compare size and prefix before their bytes). Then, with the interpreter,
// each distinct text of a range becomes a str (or takes the one an earlier
// range made) and the cells are filled from their ids. A range whose first
// 64Ki cells are mostly distinct stays uncoded: a str a cell, no lookups.

constexpr std::uint32_t kNoText = 0xFFFFFFFFu;

struct CodedRange {
  std::size_t begin = 0, end = 0;
  bool distinct = false;              // uncoded
  std::vector<std::uint32_t> ids;     // per row of the range; kNoText where missing
  std::vector<std::size_t> firsts;    // per id: the row of its first cell
  std::vector<std::uint64_t> hashes;  // per id: its text's hash
  std::vector<Py_ssize_t> uses;       // per id: its cells
};

inline bool same_text(const Column& c, const TextView& a, const TextView& b) {
  if (a.word0() != b.word0()) return false;
  if (a.word1() == b.word1()) return true;
  return !b.is_inline() && same_bytes(c.text_of(a).data(), c.text_of(b).data(), b.size);
}

CodedRange code_range(const Column& c, std::size_t begin, std::size_t end) {
  CodedRange r;
  r.begin = begin;
  r.end = end;
  const auto views = c.views();
  const std::uint64_t seed = text_seed();
  struct Slot {
    std::uint64_t hash;
    TextView view;
    std::uint32_t id;  // kNoText when free
  };
  std::vector<Slot> slots(1024, Slot{0, TextView{}, kNoText});
  std::size_t mask = slots.size() - 1;
  r.ids.resize(end - begin);
  constexpr std::size_t kProbe = 65536;
  // Hashes are taken a block of cells ahead and their slots fetched, so the
  // lookups of a block do not wait on the table one after another.
  constexpr std::size_t kBlock = 16;
  std::uint64_t hashes[kBlock];
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t k = i - begin;
    if (k % kBlock == 0) {
      if (k == kProbe && r.firsts.size() * 4 > kProbe * 3) {
        r.distinct = true;
        r.ids = {};
        return r;
      }
      for (std::size_t j = i; j < std::min(end, i + kBlock); ++j) {
        if (c.is_missing(j)) continue;
        hashes[j - i] = hash_view(c, views[j], seed);
        __builtin_prefetch(&slots[hashes[j - i] & mask]);
      }
    }
    if (c.is_missing(i)) {
      r.ids[k] = kNoText;
      continue;
    }
    const TextView& v = views[i];
    const std::uint64_t h = hashes[k % kBlock];
    for (std::size_t at = h & mask;; at = (at + 1) & mask) {
      Slot& sl = slots[at];
      if (sl.id == kNoText) {
        const auto id = static_cast<std::uint32_t>(r.firsts.size());
        sl = Slot{h, v, id};
        r.ids[k] = id;
        r.firsts.push_back(i);
        r.hashes.push_back(h);
        r.uses.push_back(1);
        if (r.firsts.size() * 2 > slots.size()) {  // keep the load at most one half
          std::vector<Slot> bigger(slots.size() * 2, Slot{0, TextView{}, kNoText});
          const std::size_t m = bigger.size() - 1;
          for (const Slot& o : slots) {
            if (o.id == kNoText) continue;
            std::size_t j = o.hash & m;
            while (bigger[j].id != kNoText) j = (j + 1) & m;
            bigger[j] = o;
          }
          slots = std::move(bigger);
          mask = m;
        }
        break;
      }
      if (sl.hash == h && same_text(c, sl.view, v)) {
        r.ids[k] = sl.id;
        ++r.uses[sl.id];
        break;
      }
    }
  }
  return r;
}

// A column's ranges: two halves from 512Ki rows (one per thread when it is
// a frame's only text column), else one; none of more than 2^31 rows.
std::vector<std::pair<std::size_t, std::size_t>> ranges_of(std::size_t n) {
  constexpr std::size_t kHalves = std::size_t{1} << 19, kMax = std::size_t{1} << 31;
  std::size_t parts = n >= kHalves ? 2 : 1;
  while (n / parts > kMax) ++parts;
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (std::size_t k = 0; k < parts; ++k) out.emplace_back(n * k / parts, n * (k + 1) / parts);
  return out;
}

// The coded ranges of each column, the work shared with one more thread
// (the interpreter released) when there is enough of it.
std::vector<std::vector<CodedRange>> code_columns(const std::vector<const Column*>& cols) {
  struct Task {
    std::size_t col, range, begin, end;
  };
  std::vector<Task> tasks;
  std::vector<std::vector<CodedRange>> out(cols.size());
  std::size_t cells = 0;
  for (std::size_t c = 0; c < cols.size(); ++c) {
    const auto ranges = ranges_of(cols[c]->size());
    out[c].resize(ranges.size());
    for (std::size_t r = 0; r < ranges.size(); ++r) tasks.push_back({c, r, ranges[r].first, ranges[r].second});
    cells += cols[c]->size();
  }
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t t; (t = next.fetch_add(1)) < tasks.size();) {
      const Task& k = tasks[t];
      out[k.col][k.range] = code_range(*cols[k.col], k.begin, k.end);
    }
  };
  if (tasks.size() < 2 || cells < (std::size_t{1} << 18)) {
    work();
    return out;
  }
  std::exception_ptr failed;
  {
    py::gil_scoped_release nogil;
    std::thread helper([&] {
      try {
        work();
      } catch (...) {
        failed = std::current_exception();
      }
    });
    try {
      work();
    } catch (...) {
      next = tasks.size();
      helper.join();
      throw;
    }
    helper.join();
  }
  if (failed) std::rethrow_exception(failed);
  return out;
}

// The object array of a text column (None where missing) from its ranges.
py::array text_array(const Column& c, const std::vector<CodedRange>& ranges) {
  const std::size_t n = c.size();
  py::array out(py::dtype("O"), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
  auto** cells = static_cast<PyObject**>(out.mutable_data());
  const auto views = c.views();
  // A fresh object array comes zeroed from the system (null cells): its
  // pages are asked for huge, and each cell is written without reading the
  // old one (a read would map the zero page first, then fault again on the
  // write). A filled one (None) is replaced cell by cell.
  const bool zeroed = n == 0 || cells[0] == nullptr;
  if (zeroed) quorin_data::kernels::advise_huge_pages(cells, n * sizeof(PyObject*));
  auto put = [&](std::size_t i, PyObject* o) {  // o: a reference the cell takes
    PyObject* old = zeroed ? nullptr : cells[i];
    cells[i] = o;
    Py_XDECREF(old);
  };
  // The strs of the column, each with the cells holding it. A str's
  // references for those cells are added once, by the guard (so also when a
  // later str fails): the one it was made with counts for one cell, and a
  // str no cell took is let go.
  struct Entry {
    std::uint64_t hash;
    TextView view;
    PyObject* obj;
    Py_ssize_t cells;
  };
  std::vector<Entry> entries;
  struct Settle {
    std::vector<Entry>& entries;
    ~Settle() {
      for (const Entry& e : entries) {
        if (e.cells == 0) Py_DECREF(e.obj);
        else Py_SET_REFCNT(e.obj, Py_REFCNT(e.obj) + e.cells - 1);
      }
    }
  } settle{entries};
  std::vector<std::uint32_t> table(1024, kNoText);  // indices into entries
  std::size_t mask = table.size() - 1;
  std::vector<std::uint32_t> which;
  std::vector<PyObject*> objs;
  for (const CodedRange& r : ranges) {
    if (r.distinct) {
      for (std::size_t i = r.begin; i < r.end; ++i) {
        if (c.is_missing(i)) {
          Py_INCREF(Py_None);
          put(i, Py_None);
        } else {
          put(i, new_str(c.text_of(views[i])));
        }
      }
      continue;
    }
    which.resize(r.firsts.size());
    objs.resize(r.firsts.size());
    for (std::size_t id = 0; id < r.firsts.size(); ++id) {
      const std::uint64_t h = r.hashes[id];
      const TextView& v = views[r.firsts[id]];
      std::size_t at = h & mask;
      while (table[at] != kNoText) {
        const Entry& e = entries[table[at]];
        if (e.hash == h && same_text(c, e.view, v)) break;
        at = (at + 1) & mask;
      }
      if (table[at] == kNoText) {
        PyObject* o = new_str(c.text_of(v));
        table[at] = static_cast<std::uint32_t>(entries.size());
        entries.push_back(Entry{h, v, o, 0});
        if (entries.size() * 2 > table.size()) {
          std::vector<std::uint32_t> bigger(table.size() * 2, kNoText);
          const std::size_t m = bigger.size() - 1;
          for (std::uint32_t e = 0; e < entries.size(); ++e) {
            std::size_t j = entries[e].hash & m;
            while (bigger[j] != kNoText) j = (j + 1) & m;
            bigger[j] = e;
          }
          table = std::move(bigger);
          mask = m;
          which[id] = static_cast<std::uint32_t>(entries.size() - 1);
          objs[id] = o;
          continue;
        }
      }
      which[id] = table[at];
      objs[id] = entries[table[at]].obj;
    }
    Py_ssize_t nones = 0;
    for (std::size_t i = r.begin; i < r.end; ++i) {
      const std::uint32_t id = r.ids[i - r.begin];
      if (id == kNoText) {
        ++nones;
        put(i, Py_None);
      } else {
        put(i, objs[id]);
      }
    }
    Py_SET_REFCNT(Py_None, Py_REFCNT(Py_None) + nones);
    for (std::size_t id = 0; id < r.firsts.size(); ++id) entries[which[id]].cells += r.uses[id];
  }
  return out;
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
