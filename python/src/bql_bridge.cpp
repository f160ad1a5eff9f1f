#include "bql_bridge.hpp"

#include "convert.hpp"
#include "quorin_data/core/errors.hpp"

namespace qpy {

PyService::PyService(py::object bql_module, py::object service)
    : bql_(std::make_unique<py::object>(std::move(bql_module))),
      service_(std::make_unique<py::object>(std::move(service))) {}

PyService::~PyService() {
  if (!Py_IsInitialized()) {
    (void)bql_.release();
    (void)service_.release();
    return;
  }
  py::gil_scoped_acquire gil;
  bql_.reset();
  service_.reset();
}

py::object PyService::item_to_py(const bql::Item& item) const {
  const py::object& bq = *service_;
  switch (item.kind()) {
    case bql::Item::Kind::Field: {
      py::dict kw;
      for (const auto& [name, p] : item.params().items())
        kw[py::str(name)] = p.is_item() ? item_to_py(p.item()) : from_value(p.value());
      return bq.attr("data").attr(py::str(item.name()))(**kw);
    }
    case bql::Item::Kind::Range:
      return bq.attr("func").attr("range")(item.values().at(0), item.values().at(1));
    case bql::Item::Kind::Column:
      return item_to_py(item.args().at(0))[py::str(item.name())];
    case bql::Item::Kind::In: {
      py::list values;
      for (const auto& v : item.values()) values.append(v);
      return item_to_py(item.args().at(0)).attr("in_")(values);
    }
    case bql::Item::Kind::Matches:
      return item_to_py(item.args().at(0)).attr("matches")(item_to_py(item.args().at(1)));
    case bql::Item::Kind::Operation:
      return item_to_py(item.args().at(0)).attr(py::str(item.name()))();
  }
  throw quorin_data::ValueError("unknown query item");
}

py::object PyService::request_to_py(const bql::Request& r) const {
  py::object universe;
  const auto& u = r.universe();
  switch (u.kind()) {
    case bql::Universe::Kind::Key:
      universe = py::str(u.keys().at(0));
      break;
    case bql::Universe::Kind::List: {
      py::list keys;
      for (const auto& k : u.keys()) keys.append(k);
      universe = service_->attr("univ").attr("list")(keys);
      break;
    }
    case bql::Universe::Kind::Other:
      universe = from_value(u.value());
      break;
  }
  py::dict items;
  for (const auto& [name, item] : r.items()) items[py::str(name)] = item_to_py(item);
  py::object Request = bql_->attr("Request");
  if (r.preferences().empty()) return Request(universe, items);
  py::dict prefs;
  for (const auto& [name, v] : r.preferences().items()) prefs[py::str(name)] = from_value(v);
  return Request(universe, items, py::arg("preferences") = prefs);
}

bql::Results PyService::results_from_py(py::handle res, const bql::Request* request) const {
  std::vector<bql::Result> out;
  std::size_t i = 0;
  for (auto r : py::reinterpret_borrow<py::iterable>(res)) {
    std::string name;
    if (request && i < request->items().size())
      name = request->items()[i].first;
    else if (py::hasattr(r, "name"))
      name = py::str(r.attr("name"));
    out.emplace_back(std::move(name), to_frame(r.attr("df")()));
    ++i;
  }
  return bql::Results(std::move(out));
}

bql::Results PyService::execute(const bql::Request& request) {
  py::gil_scoped_acquire gil;
  py::object res = service_->attr("execute")(request_to_py(request));
  return results_from_py(res, &request);
}

bql::Results PyService::execute(const std::string& query) {
  py::gil_scoped_acquire gil;
  py::object res = service_->attr("execute")(query);
  return results_from_py(res, nullptr);
}

std::vector<bql::Results> PyService::execute_many(const std::vector<bql::Request>& requests,
                                                  const ErrorCallback& on_request_error) {
  py::gil_scoped_acquire gil;
  py::list reqs;
  for (const auto& r : requests) reqs.append(request_to_py(r));
  py::object many;
  if (on_request_error) {
    auto cb = py::cpp_function([on_request_error](py::args args) {
      quorin_data::List details;
      for (auto a : args) {
        try {
          details.push_back(to_value(a));
        } catch (const std::exception&) {
          details.push_back(quorin_data::Value(std::string(py::str(py::repr(a)))));
        }
      }
      on_request_error(details);
    });
    many = service_->attr("execute_many")(reqs, py::arg("on_request_error") = cb);
  } else {
    many = service_->attr("execute_many")(reqs);
  }
  // One result list per request that succeeded, in order; results are named
  // by the items of the request at the same position when the counts agree.
  std::vector<py::object> lists;
  for (auto res : py::reinterpret_borrow<py::iterable>(many)) lists.push_back(py::reinterpret_borrow<py::object>(res));
  std::vector<bql::Results> out;
  for (std::size_t i = 0; i < lists.size(); ++i)
    out.push_back(results_from_py(lists[i], lists.size() == requests.size() ? &requests[i] : nullptr));
  return out;
}

std::shared_ptr<bql::Service> to_service(py::handle bq) {
  if (bq.is_none()) return nullptr;
  try {
    return py::cast<std::shared_ptr<bql::Service>>(bq);
  } catch (const py::cast_error&) {
  }
  py::object module;
  try {
    module = py::module_::import("bql");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    throw quorin_data::TypeError(
        "`bq` must be a bql.Service or a quorin_data local service; the 'bql' package is not "
        "importable, so a " + std::string(py::str(py::type::handle_of(bq).attr("__name__"))) +
        " cannot be used as one");
  }
  return std::make_shared<PyService>(module, py::reinterpret_borrow<py::object>(bq));
}

}  // namespace qpy
