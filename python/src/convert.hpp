// Conversions between Python objects and the library's values: Frame and
// pandas.DataFrame, Series and pandas.Series, Value and plain Python values.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"

namespace qpy {

namespace py = pybind11;
using quorin_data::Column;
using quorin_data::Frame;
using quorin_data::Index;
using quorin_data::Kwargs;
using quorin_data::Series;
using quorin_data::Value;

// quorin_data._frames (the pandas side of the conversions).
py::module_ frames();

// How strictly a Python value is taken as a Value: `Loose` for arguments
// (a tuple is a list, bytearray and memoryview are bytes); `Exact` for what is
// stored with "pickle", which must read back equal (only None, bool, int,
// float, str, bytes, BytesIO, list, dict, dates, timestamps, DataFrame and
// Series; anything else raises TypeError).
enum class Mode { Loose, Exact };

Value to_value(py::handle o, Mode mode = Mode::Loose);
// A bytes object holding a copy of [p, p + n), and a byte vector of one:
// large ones are written on huge pages, since a fresh 80 MB on small pages
// takes 20,000 page faults, longer than the download that filled it.
py::bytes bytes_of(const std::uint8_t* p, std::size_t n);
void assign_bytes(std::vector<std::uint8_t>& out, const void* p, std::size_t n);
// Takes the value's contents (Frames and Series move their buffers into the
// numpy arrays).
py::object from_value(Value v);
Kwargs to_kwargs(const py::dict& kw);

Frame to_frame(py::handle df);
// Owned: float64, int64 and timestamp buffers move into the arrays (no copy).
py::object from_frame(Frame&& f);
// Shared: the arrays of float64, int64 and timestamp columns without missing
// values point into the Frame, read-only, and keep it alive.
py::object from_frame_shared(std::shared_ptr<const Frame> f);

// `what` names the argument in messages.
Series to_series(py::handle s, const char* what = "series");
py::object from_series(Series&& s);

Index to_index(py::handle idx);
py::object from_index(const Index& idx);

}  // namespace qpy
