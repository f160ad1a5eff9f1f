#include "convert.hpp"

#include <Python.h>

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <random>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "quorin_data/core/buffers.hpp"
#include "quorin_data/core/errors.hpp"

namespace qpy {

using quorin_data::Bytes;
using quorin_data::Date;
using quorin_data::Dict;
using quorin_data::DType;
using quorin_data::List;
using quorin_data::Timestamp;

namespace {

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();
// datetime.date(1970, 1, 1).toordinal()
constexpr std::int64_t kEpochOrdinal = 719163;

// Python classes looked up once. Never destroyed: they must not be released
// after the interpreter has finalized.
struct Types {
  py::object DataFrame, Series, Timestamp, BytesIO, date, datetime, np_integer, np_floating,
      np_bool;
};
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
    return out;
  }();
  return *t;
}

bool isinstance(py::handle o, const py::object& cls) {
  const int r = PyObject_IsInstance(o.ptr(), cls.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// A vector moved into a numpy array that owns it.
template <class T>
py::array adopt(std::vector<T>&& v) {
  auto* holder = new std::vector<T>(std::move(v));
  py::capsule owner(holder, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>({holder->size()}, {sizeof(T)}, holder->data(), owner);
}

// A read-only numpy array over a vector of a Frame kept alive by `keep`.
template <class T>
py::array share(const std::vector<T>& v, const std::shared_ptr<const void>& keep) {
  auto* holder = new std::shared_ptr<const void>(keep);
  py::capsule owner(holder, [](void* p) { delete static_cast<std::shared_ptr<const void>*>(p); });
  py::array_t<T> a({v.size()}, {sizeof(T)}, v.data(), owner);
  a.attr("setflags")(py::arg("write") = false);
  return a;
}

bool any_missing(const Column& c) {
  for (auto b : c.valid)
    if (b == 0) return true;
  return false;
}

py::object missing_mask(const Column& c) {
  if (!any_missing(c)) return py::none();
  py::array_t<bool> m(c.valid.size());
  bool* p = m.mutable_data();
  for (std::size_t i = 0; i < c.valid.size(); ++i) p[i] = c.valid[i] == 0;
  return m;
}

py::str text_to_py(const std::string& s) {
  // surrogateescape keeps bytes that are not UTF-8 (they encode back unchanged).
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

std::string text_from_py(py::handle o) {
  Py_ssize_t n = 0;
  if (const char* p = PyUnicode_AsUTF8AndSize(o.ptr(), &n)) return std::string(p, static_cast<std::size_t>(n));
  PyErr_Clear();
  PyObject* b = PyUnicode_AsEncodedString(o.ptr(), "utf-8", "surrogateescape");
  if (!b) throw py::error_already_set();
  std::string out(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
  Py_DECREF(b);
  return out;
}

std::string label_of(py::handle name) { return py::str(py::repr(name)); }

// Equal texts of a column share one str object while the column repeats
// itself (identifiers, codes, dates as texts): each cell gets the number of
// its distinct text, found in an open-addressing table, and one str is made
// per distinct text. A column whose first rows are mostly (3/4) distinct gets one
// object per cell without lookups. The numbering needs no interpreter, so
// the text columns of a frame are numbered in parallel without the GIL.
struct TextCodes {
  static constexpr std::uint32_t kMissing = 0xffffffffu;
  bool shared = false;
  std::vector<std::uint32_t> code;          // per cell, when shared
  std::vector<const std::string*> distinct;  // in order of first appearance
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

// The n < 8 bytes at p as one little-endian word, zero above them. Two
// overlapping fixed-size loads place every byte exactly, without a call to
// memcpy for a length known only at run time.
inline std::uint64_t load_short(const char* p, std::size_t n) {
  if constexpr (std::endian::native != std::endian::little) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    return w;
  } else {
    if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      return a | (std::uint64_t{b} << (8 * (n - 4)));
    }
    if (n >= 2) {
      std::uint16_t a, b;
      std::memcpy(&a, p, 2);
      std::memcpy(&b, p + n - 2, 2);
      return a | (std::uint64_t{b} << (8 * (n - 2)));
    }
    return n ? static_cast<unsigned char>(p[0]) : 0;
  }
}

inline std::uint64_t load_word(const char* p, std::size_t n) {
  if (n < 8) return load_short(p, n);
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The first 16 bytes of a text as two words (zero past its end), so equal
// heads of equal sizes up to 16 mean equal texts.
struct Head {
  std::uint64_t w0 = 0, w1 = 0;
  explicit Head(const std::string& t) {
    const std::size_t n = t.size();
    w0 = load_word(t.data(), n);
    if (n > 8) w1 = load_word(t.data() + 8, n - 8);
  }
};

inline std::uint64_t hash_text(const std::string& t, const Head& head, std::uint64_t seed) {
  std::uint64_t h = mix(seed ^ (t.size() * 0x9e3779b97f4a7c15ull) ^ head.w0);
  h = mix(h ^ head.w1);
  for (std::size_t at = 16; at < t.size(); at += 8) h = mix(h ^ load_word(t.data() + at, t.size() - at));
  return h;
}

TextCodes number_texts(const Column& c) {
  TextCodes out;
  const std::size_t n = c.size();
  constexpr std::size_t kProbe = 65536;
  const std::uint64_t seed = text_seed();
  // A slot keeps the first 16 bytes of its text, so that most lookups
  // compare within the table instead of reaching back into the column.
  struct Slot {
    std::uint64_t hash;
    std::uint32_t index;  // into distinct; kMissing when the slot is free
    std::uint32_t size;
    Head head;
  };
  const Slot free_slot{0, TextCodes::kMissing, 0, Head(std::string())};
  std::vector<Slot> slots(1024, free_slot);
  std::size_t mask = slots.size() - 1;
  out.code.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i == kProbe && out.distinct.size() * 4 > kProbe * 3) {
      out.code = {};
      out.distinct = {};
      return out;  // mostly distinct: one object per cell
    }
    if (c.is_missing(i)) {
      out.code[i] = TextCodes::kMissing;
      continue;
    }
    const std::string& t = c.text[i];
    const Head head(t);
    const std::uint64_t h = hash_text(t, head, seed);
    std::size_t at = h & mask;
    for (;;) {
      Slot& sl = slots[at];
      if (sl.index == TextCodes::kMissing) {
        sl = Slot{h, static_cast<std::uint32_t>(out.distinct.size()),
                  static_cast<std::uint32_t>(std::min<std::size_t>(t.size(), 0xffffffffu)), head};
        out.code[i] = sl.index;
        out.distinct.push_back(&t);
        if (out.distinct.size() * 2 > slots.size()) {  // grow: keep the load at most one half
          std::vector<Slot> bigger(slots.size() * 2, free_slot);
          const std::size_t m = bigger.size() - 1;
          for (const Slot& o : slots) {
            if (o.index == TextCodes::kMissing) continue;
            std::size_t j = o.hash & m;
            while (bigger[j].index != TextCodes::kMissing) j = (j + 1) & m;
            bigger[j] = o;
          }
          slots = std::move(bigger);
          mask = m;
        }
        break;
      }
      if (sl.hash == h && sl.size == t.size() && sl.head.w0 == head.w0 && sl.head.w1 == head.w1 &&
          (t.size() <= 16 || *out.distinct[sl.index] == t)) {
        out.code[i] = sl.index;
        break;
      }
      at = (at + 1) & mask;
    }
  }
  out.shared = true;
  return out;
}

// An object array of the column's texts (None where missing).
py::array text_array(const Column& c, const TextCodes& codes) {
  const std::size_t n = c.size();
  py::array out(py::dtype("O"), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
  auto** cells = static_cast<PyObject**>(out.mutable_data());
  if (codes.shared) {
    std::vector<PyObject*> objects(codes.distinct.size(), nullptr);
    struct Release {
      std::vector<PyObject*>& o;
      ~Release() {  // the cells hold their own references
        for (PyObject* p : o) Py_XDECREF(p);
      }
    } release{objects};
    for (std::size_t k = 0; k < objects.size(); ++k) objects[k] = text_to_py(*codes.distinct[k]).release().ptr();
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t k = codes.code[i];
      PyObject* o = k == TextCodes::kMissing ? Py_None : objects[k];
      Py_INCREF(o);
      Py_XSETREF(cells[i], o);
    }
    return out;
  }
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* o = Py_None;
    if (c.is_missing(i))
      Py_INCREF(o);
    else
      o = text_to_py(c.text[i]).release().ptr();
    Py_XSETREF(cells[i], o);
  }
  return out;
}

py::array text_array(const Column& c) { return text_array(c, number_texts(c)); }

py::object make_array(const char* kind, py::object data, py::object missing, const std::string& tz) {
  return frames().attr("make_array")(kind, data, missing, tz);
}

py::object column_to_py(Column&& c) {
  const std::size_t n = c.size();
  switch (c.type) {
    case DType::Float64:
      return make_array("float64", adopt(std::move(c.f64)), py::none(), "");
    case DType::Int64: {
      auto m = missing_mask(c);
      return make_array("int64", adopt(std::move(c.i64)), m, "");
    }
    case DType::Bool: {
      py::array_t<bool> b(n);
      bool* p = b.mutable_data();
      for (std::size_t i = 0; i < n; ++i) p[i] = c.i64[i] != 0;
      return make_array("bool", b, missing_mask(c), "");
    }
    case DType::Text:
      return make_array("text", text_array(c), py::none(), "");
    case DType::Date: {
      auto m = missing_mask(c);
      return make_array("date", adopt(std::move(c.i64)), m, "");
    }
    case DType::Timestamp: {
      auto m = missing_mask(c);
      if (!m.is_none())
        for (std::size_t i = 0; i < n; ++i)
          if (c.valid[i] == 0) c.i64[i] = kNaT;
      return make_array("timestamp", adopt(std::move(c.i64)), py::none(), c.tz);
    }
    case DType::Time: {
      auto m = missing_mask(c);
      return make_array("time", adopt(std::move(c.i64)), m, "");
    }
  }
  throw quorin_data::ValueError("unknown column type");
}

py::object column_to_py_shared(const Column& c, const std::shared_ptr<const void>& keep) {
  if (c.type == DType::Float64) return make_array("float64", share(c.f64, keep), py::none(), "");
  if (c.type == DType::Int64 && !any_missing(c))
    return make_array("int64", share(c.i64, keep), py::none(), "");
  if (c.type == DType::Timestamp && !any_missing(c))
    return make_array("timestamp", share(c.i64, keep), py::none(), c.tz);
  Column copy = c;
  return column_to_py(std::move(copy));
}

std::vector<std::uint8_t> valid_from(py::handle missing, std::size_t n) {
  if (missing.is_none()) return {};
  auto m = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(missing);
  if (!m || static_cast<std::size_t>(m.size()) != n) throw quorin_data::ValueError("bad missing mask");
  std::vector<std::uint8_t> valid(n);
  const bool* p = m.data();
  for (std::size_t i = 0; i < n; ++i) valid[i] = p[i] ? 0 : 1;
  return valid;
}

Column column_from_parts(const py::tuple& parts) {
  const auto kind = parts[0].cast<std::string>();
  py::handle data = parts[1];
  const std::string tz = parts[3].cast<std::string>();
  if (kind == "float64") {
    auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(data);
    if (!a) throw py::error_already_set();
    std::vector<double> v;
    quorin_data::reserve_large(v, static_cast<std::size_t>(a.size()));
    v.assign(a.data(), a.data() + a.size());
    return Column::floats(std::move(v));
  }
  if (kind == "text") {
    py::list items = data.attr("tolist")();
    const std::size_t n = items.size();
    auto valid = valid_from(parts[2], n);
    std::vector<std::string> texts(n);
    for (std::size_t i = 0; i < n; ++i)
      if (valid.empty() || valid[i]) texts[i] = text_from_py(items[i]);
    return Column::texts(std::move(texts), std::move(valid));
  }
  auto a = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(data);
  if (!a) throw py::error_already_set();
  const std::size_t n = static_cast<std::size_t>(a.size());
  std::vector<std::int64_t> v;
  quorin_data::reserve_large(v, n);
  v.assign(a.data(), a.data() + n);
  auto valid = valid_from(parts[2], n);
  for (std::size_t i = 0; i < valid.size(); ++i)
    if (!valid[i]) v[i] = 0;
  if (kind == "int64") return Column::ints(std::move(v), std::move(valid));
  if (kind == "bool") return Column::bools(std::move(v), std::move(valid));
  if (kind == "date") return Column::dates(std::move(v), std::move(valid));
  if (kind == "timestamp") return Column::timestamps(std::move(v), tz, std::move(valid));
  if (kind == "time") return Column::times(std::move(v), std::move(valid));
  throw quorin_data::ValueError("unknown column kind " + kind);
}

std::string zone_of(py::handle tzinfo) {
  if (tzinfo.is_none()) return {};
  return frames().attr("zone_name")(tzinfo).cast<std::string>();
}

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
    py::list items = parts[1].attr("tolist")();
    std::vector<std::string> labels;
    labels.reserve(items.size());
    for (auto it : items) labels.push_back(text_from_py(it));
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
      std::vector<std::int64_t> v(n);
      for (std::size_t i = 0; i < n; ++i) v[i] = idx.int_label(i);
      return frames().attr("make_index")("int", adopt(std::move(v)), n, idx.name);
    }
    case Index::Kind::Text: {
      py::list items(n);
      for (std::size_t i = 0; i < n; ++i) items[i] = text_to_py(idx.text_label(i));
      return frames().attr("make_index")("text", frames().attr("object_array")(items), n, idx.name);
    }
  }
  throw quorin_data::ValueError("unknown index kind");
}

// ------------------------------------------------------------------ frames

static Frame frame_from_py(py::handle df, Mode mode) {
  if (!isinstance(df, types().DataFrame))
    throw quorin_data::TypeError("expected a pandas DataFrame, got '" +
                                 std::string(py::str(py::type::handle_of(df).attr("__name__"))) + "'");
  Frame f;
  py::list names = df.attr("columns").attr("tolist")();
  py::object iloc = df.attr("iloc");
  for (std::size_t i = 0; i < names.size(); ++i) {
    py::handle name = names[i];
    std::string col_name;
    if (PyUnicode_Check(name.ptr()))
      col_name = text_from_py(name);
    else if (mode == Mode::Loose)
      col_name = py::str(name);
    else
      throw quorin_data::TypeError("column name " + label_of(name) +
                                   " is not a text and would not read back equal");
    py::object col = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), i)];
    py::tuple parts = frames().attr("column_parts")(col, name);
    f.add_column(std::move(col_name), column_from_parts(parts));
  }
  f.set_index(to_index(df.attr("index")));
  return f;
}

Frame to_frame(py::handle df) { return frame_from_py(df, Mode::Loose); }

// Converts the columns of a frame it owns. Text columns go through three
// steps: numbering (no GIL needed), the object array (with the GIL), and
// freeing the cells. A helper thread numbers columns ahead and frees each one
// once its array is built, so those steps overlap the arrays built here.
class ColumnConverter {
 public:
  explicit ColumnConverter(Frame& f) : f_(f), codes_(f.num_columns()), ready_(f.num_columns(), false) {
    for (std::size_t i = 0; i < f.num_columns(); ++i)
      if (f.column_at(i).type == DType::Text) texts_.push_back(i);
    if (texts_.empty() || f.num_rows() < 65536) return;
    try {
      helper_ = std::thread([this] { help(); });
    } catch (const std::system_error&) {
      // No thread to be had: this one does it all.
    }
  }

  ~ColumnConverter() {
    {
      std::lock_guard lk(m_);
      next_job_ = texts_.size();
      done_ = true;
    }
    cv_.notify_all();
    if (helper_.joinable()) {
      py::gil_scoped_release nogil;
      helper_.join();
    }
  }

  py::object convert(std::size_t i) {
    Column& c = f_.column_at(i);
    if (c.type != DType::Text) return column_to_py(std::move(c));
    {
      py::gil_scoped_release nogil;
      std::unique_lock lk(m_);
      while (!ready_[i]) {
        if (next_job_ < texts_.size()) {
          number(lk, texts_[next_job_++]);
        } else {
          cv_.wait(lk);
        }
      }
      if (failure_) std::rethrow_exception(failure_);
    }
    py::object out = make_array("text", text_array(c, codes_[i]), py::none(), "");
    if (helper_.joinable()) {
      {
        std::lock_guard lk(m_);
        to_free_.push_back(i);
      }
      cv_.notify_all();
    }
    return out;
  }

 private:
  // Numbers column i, with lk held on entry and on return.
  void number(std::unique_lock<std::mutex>& lk, std::size_t i) {
    lk.unlock();
    TextCodes codes;
    std::exception_ptr failure;
    try {
      codes = number_texts(f_.column_at(i));
    } catch (...) {
      failure = std::current_exception();
    }
    lk.lock();
    codes_[i] = std::move(codes);
    if (failure && !failure_) failure_ = failure;
    ready_[i] = true;
    cv_.notify_all();
  }

  void help() {
    std::unique_lock lk(m_);
    for (;;) {
      if (next_job_ < texts_.size()) {
        number(lk, texts_[next_job_++]);
      } else if (!to_free_.empty()) {
        const std::size_t i = to_free_.front();
        to_free_.erase(to_free_.begin());
        Column dead = std::move(f_.column_at(i));
        TextCodes dead_codes = std::move(codes_[i]);
        lk.unlock();
        dead = Column();
        dead_codes = TextCodes();
        lk.lock();
      } else if (done_) {
        return;
      } else {
        cv_.wait(lk);
      }
    }
  }

  Frame& f_;
  std::vector<std::size_t> texts_;
  std::vector<TextCodes> codes_;
  std::vector<bool> ready_;  // by column, under m_
  std::mutex m_;
  std::condition_variable cv_;
  std::size_t next_job_ = 0;  // position in texts_ of the next column to number
  std::vector<std::size_t> to_free_;
  bool done_ = false;
  std::exception_ptr failure_;
  std::thread helper_;
};

py::object from_frame(Frame&& f) {
  py::list names, arrays;
  py::object index = from_index(f.index());
  ColumnConverter converter(f);
  for (std::size_t i = 0; i < f.num_columns(); ++i) {
    names.append(text_to_py(f.names()[i]));
    arrays.append(converter.convert(i));
  }
  return frames().attr("make_frame")(names, arrays, index);
}

py::object from_frame_shared(std::shared_ptr<const Frame> f) {
  if (!f) return py::none();
  py::list names, arrays;
  py::object index = from_index(f->index());
  std::shared_ptr<const void> keep = f;
  for (std::size_t i = 0; i < f->num_columns(); ++i) {
    names.append(text_to_py(f->names()[i]));
    arrays.append(column_to_py_shared(f->column_at(i), keep));
  }
  return frames().attr("make_frame")(names, arrays, index);
}

// ------------------------------------------------------------------ series

static Series series_from_py(py::handle s, const char* what, Mode mode) {
  if (!isinstance(s, types().Series))
    quorin_data::throw_argument_type(what, "Series",
                                     py::str(py::type::handle_of(s).attr("__name__")));
  py::object name = s.attr("name");
  py::tuple parts = frames().attr("column_parts")(s, name);
  Series out(column_from_parts(parts), to_index(s.attr("index")));
  if (name.is_none()) {
  } else if (PyUnicode_Check(name.ptr())) {
    out.name = text_from_py(name);
  } else if (mode == Mode::Loose) {
    out.name = py::str(name);
  } else {
    throw quorin_data::TypeError("Series name " + label_of(name) +
                                 " is not a text and would not read back equal");
  }
  out.category = frames().attr("series_category")(s).cast<std::string>();
  return out;
}

Series to_series(py::handle s, const char* what) { return series_from_py(s, what, Mode::Loose); }

py::object from_series(Series&& s) {
  py::object index = from_index(s.index);
  py::object arr = column_to_py(std::move(s.values));
  return frames().attr("make_series")(arr, index, text_to_py(s.name), s.category);
}

// ------------------------------------------------------------------ values

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
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o.ptr()));
    b.data.assign(p, p + PyBytes_GET_SIZE(o.ptr()));
    b.is_buffer = false;
    return Value(std::move(b));
  }
  if (isinstance(o, t.BytesIO)) {
    py::bytes all = o.attr("getvalue")();
    std::string_view sv = all;
    Bytes b;
    b.data.assign(sv.begin(), sv.end());
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
  if (isinstance(o, t.DataFrame)) return Value(frame_from_py(o, mode));
  if (isinstance(o, t.Series)) return Value(series_from_py(o, "data", mode));
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
    py::bytes raw(reinterpret_cast<const char*>(b.data.data()), b.data.size());
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
