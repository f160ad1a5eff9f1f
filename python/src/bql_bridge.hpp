// The query service seen from Python: a C++ Service that forwards every call
// to a Python `bql` service object, and the conversion of a `bq` argument.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "quorin_data/from_bqia/bql.hpp"

namespace qpy {

namespace py = pybind11;
namespace bql = quorin_data::from_bqia::bql;

// Forwards execute / execute_many to a Python service object of the `bql`
// package's shape (`bq.data.<field>(...)`, `bq.func.range`, `bq.univ.list`,
// `item[column].in_(...)`, `item.matches(...)`, `item.<operation>()`,
// `bql.Request(universe, items, preferences=...)`, `bq.execute`,
// `bq.execute_many(requests, on_request_error=...)`, `result.df()`).
// Python exceptions raised by the service reach the caller unchanged.
class PyService : public bql::Service {
 public:
  // `bql_module` provides `Request`; `service` is a `bql.Service()` object.
  PyService(py::object bql_module, py::object service);
  ~PyService() override;

  bql::Results execute(const bql::Request& request) override;
  bql::Results execute(const std::string& query) override;
  std::vector<bql::Results> execute_many(const std::vector<bql::Request>& requests,
                                         const ErrorCallback& on_request_error = {}) override;

  py::object service() const { return *service_; }

 private:
  py::object request_to_py(const bql::Request& r) const;
  py::object item_to_py(const bql::Item& item) const;
  bql::Results results_from_py(py::handle res, const bql::Request* request) const;

  // Heap-held so that they are released with the GIL held (or leaked after
  // the interpreter is gone).
  std::unique_ptr<py::object> bql_, service_;
};

// A `bq` argument: None gives nullptr, a quorin_data service (the local
// stand-in) gives itself, any other object a PyService over it (the `bql`
// package must be importable for its Request type).
std::shared_ptr<bql::Service> to_service(py::handle bq);

}  // namespace qpy
