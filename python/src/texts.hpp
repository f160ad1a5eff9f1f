// Text cells between str objects and text columns, both ways: str cells
// read into a column, and a column's texts made into strs, one per distinct
// text.
#pragma once

#include <Python.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "crossing.hpp"

namespace qpy {

using quorin_data::TextBuilder;
using quorin_data::TextView;

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

// A new str of UTF-8 bytes (bytes that are not UTF-8 by surrogateescape).
PyObject* new_str(std::string_view s);

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
  struct Free {
    void operator()(std::uint32_t* p) const noexcept { std::free(p); }
  };
  // Per row of the range (each written once); kNoText where missing. On
  // huge pages when large: a fresh 10 MB would fault 4 KiB at a time.
  std::unique_ptr<std::uint32_t[], Free> ids;
  std::vector<std::size_t> firsts;    // per id: the row of its first cell
  std::vector<std::uint64_t> hashes;  // per id: its text's hash
  std::vector<Py_ssize_t> uses;       // per id: its cells
};

// The coded ranges of each column, the work shared with one more thread
// (the interpreter released) when there is enough of it.
std::vector<std::vector<CodedRange>> code_columns(const std::vector<const Column*>& cols);
// The object array of a text column (None where missing) from its ranges.
py::array text_array(const Column& c, const std::vector<CodedRange>& ranges);

}  // namespace qpy
