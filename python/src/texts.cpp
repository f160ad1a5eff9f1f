// Text cells between str objects and text columns (see texts.hpp).
#include "texts.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <random>
#include <system_error>
#include <thread>

#include "arenas.hpp"
#include "kernels/buffers.hpp"

namespace qpy {

using quorin_data::DType;

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
  // Inline texts: both words through one multiply each, folded once.
  if (v.is_inline()) {
    const std::uint64_t h = ((seed ^ v.word0()) * 0x9e3779b97f4a7c15ull) ^ v.word1();
    return mix(h);
  }
  std::uint64_t h = mix(seed ^ v.word0());
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
  const bool marked = c.has_validity();  // some cell may be missing
  struct Slot {
    std::uint64_t hash;
    TextView view;
    std::uint32_t id;  // kNoText when free
  };
  std::vector<Slot> slots(1024, Slot{0, TextView{}, kNoText});
  std::size_t mask = slots.size() - 1;
  std::size_t id_bytes = (end - begin) * sizeof(std::uint32_t);
  r.ids.reset(static_cast<std::uint32_t*>(quorin_data::kernels::allocate_large(id_bytes)));
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
        r.ids.reset();
        return r;
      }
      for (std::size_t j = i; j < std::min(end, i + kBlock); ++j) {
        if (marked && c.is_missing(j)) continue;
        hashes[j - i] = hash_view(c, views[j], seed);
        __builtin_prefetch(&slots[hashes[j - i] & mask]);
      }
    }
    if (marked && c.is_missing(i)) {
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

}  // namespace

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

py::str text_to_py(std::string_view s) { return py::reinterpret_steal<py::str>(new_str(s)); }

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
    std::thread helper;
    try {
      helper = std::thread([&] {
        try {
          work();
        } catch (...) {
          failed = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had: the ranges are coded here alone.
    }
    try {
      work();
    } catch (...) {
      next = tasks.size();
      if (helper.joinable()) helper.join();
      throw;
    }
    if (helper.joinable()) helper.join();
  }
  if (failed) std::rethrow_exception(failed);
  return out;
}


py::array text_array(const Column& c, const std::vector<CodedRange>& ranges) {
  const std::size_t n = c.size();
  const HugeArenas huge;  // the strs made here land on huge pages
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
      std::uint32_t e = table[at];
      if (e == kNoText) {
        e = static_cast<std::uint32_t>(entries.size());
        entries.push_back(Entry{h, v, new_str(c.text_of(v)), 0});
        table[at] = e;
        if (entries.size() * 2 > table.size()) {  // keep the load at most one half
          std::vector<std::uint32_t> bigger(table.size() * 2, kNoText);
          const std::size_t m = bigger.size() - 1;
          for (std::uint32_t k = 0; k < entries.size(); ++k) {
            std::size_t j = entries[k].hash & m;
            while (bigger[j] != kNoText) j = (j + 1) & m;
            bigger[j] = k;
          }
          table = std::move(bigger);
          mask = m;
        }
      }
      which[id] = e;
      objs[id] = entries[e].obj;
    }
    Py_ssize_t nones = 0;
    // Into a fresh array the cells are only stored (their references are
    // counted below, once per str), so a long range is filled on two
    // threads with the interpreter released.
    const auto fill = [&](std::size_t b, std::size_t e) {
      Py_ssize_t none = 0;
      for (std::size_t i = b; i < e; ++i) {
        const std::uint32_t id = r.ids[i - r.begin];
        none += id == kNoText;
        cells[i] = id == kNoText ? Py_None : objs[id];
      }
      return none;
    };
    if (zeroed && r.end - r.begin < (std::size_t{1} << 18)) {
      nones = fill(r.begin, r.end);
    } else if (zeroed) {
      std::thread helper;
      Py_ssize_t upper = 0;
      const std::size_t mid = r.begin + (r.end - r.begin) / 2;
      py::gil_scoped_release nogil;
      try {
        helper = std::thread([&] { upper = fill(mid, r.end); });
      } catch (const std::system_error&) {
        // No thread to be had: the range is filled here alone.
      }
      nones = fill(r.begin, helper.joinable() ? mid : r.end);
      if (helper.joinable()) {
        helper.join();
        nones += upper;
      }
    } else {
      for (std::size_t i = r.begin; i < r.end; ++i) {
        const std::uint32_t id = r.ids[i - r.begin];
        if (id == kNoText) {
          ++nones;
          put(i, Py_None);
        } else {
          put(i, objs[id]);
        }
      }
    }
    Py_SET_REFCNT(Py_None, Py_REFCNT(Py_None) + nones);
    for (std::size_t id = 0; id < r.firsts.size(); ++id) entries[which[id]].cells += r.uses[id];
  }
  return out;
}

}  // namespace qpy
