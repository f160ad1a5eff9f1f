// The binding of each Python module of the extension, one file each, and what
// they share across files.
#pragma once

#include <pybind11/pybind11.h>

#include "quorin_data/from_s3/bucketry.hpp"

namespace qpy {

namespace py = pybind11;

void bind_bucketry(py::module_& m);
void bind_bql(py::module_& m);
void bind_snapshelf(py::module_& m);
void bind_querywork(py::module_& m);
void bind_barwork(py::module_& m);
void bind_ta(py::module_& m);

// The store a `store` argument names: None for the module's, else a Store
// made in Python (TypeError naming `store` otherwise).
quorin_data::from_s3::bucketry::Store store_arg(py::handle store);

}  // namespace qpy
