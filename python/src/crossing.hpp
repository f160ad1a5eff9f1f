// What the table crossing (convert.cpp) shares with the plain values
// (values.cpp): Python classes looked up once, text cells, and frames and
// series read from pandas.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "convert.hpp"

namespace qpy {

// Python classes and singletons looked up once. Never destroyed: they must
// not be released after the interpreter has finalized.
struct Types {
  py::object DataFrame, Series, Timestamp, BytesIO, date, datetime, np_integer, np_floating, np_bool, NA, NaT;
};
const Types& types();
bool isinstance(py::handle o, const py::object& cls);
// A name as repr() shows it, for messages.
std::string label_of(py::handle name);

// datetime.date(1970, 1, 1).toordinal()
constexpr std::int64_t kEpochOrdinal = 719163;

// A str as UTF-8 (bytes that are not UTF-8 kept by surrogateescape), and back.
std::string text_from_py(py::handle o);
py::str text_to_py(std::string_view s);
// The IANA name of a tzinfo ("" for None).
std::string zone_of(py::handle tzinfo);

// How a frame taken from Python holds its numbers: in place (for the length
// of a call) or copied (for values the library keeps, such as configuration
// and what is stored with "pickle").
enum class Hold { Borrow, Copy };
Frame frame_from_py(py::handle df, Mode mode, Hold hold);
Series series_from_py(py::handle s, const char* what, Mode mode, Hold hold);

}  // namespace qpy
