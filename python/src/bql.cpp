// quorin_data._quorin.bql: the query-service handles (the local stand-in and
// a Python service forwarded to) and the module-wide provider.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "args.hpp"
#include "bindings.hpp"
#include "bql_bridge.hpp"
#include "convert.hpp"

namespace qpy {

namespace {

// Each result as (name, DataFrame), appended to `out`.
py::list append_results(py::list out, const bql::Results& res) {
  for (const auto& r : res) out.append(py::make_tuple(r.name(), from_frame(r.df())));
  return out;
}

}  // namespace

void bind_bql(py::module_& m) {
  using bql::Service;
  auto q = m.def_submodule("bql");
  py::class_<Service, std::shared_ptr<Service>>(q, "Service", "A query-service handle.");
  py::class_<bql::LocalService, Service, std::shared_ptr<bql::LocalService>>(
      q, "LocalService",
      "The local stand-in of the query service, answering from reference CSV files in a folder.")
      .def(py::init<const std::string&, bool>(), py::arg("folder"), py::arg("strict_securities") = true)
      .def("calls", &bql::LocalService::calls)
      .def("queries", &bql::LocalService::queries)
      .def("call_count", &bql::LocalService::call_count)
      .def("clear_log", &bql::LocalService::clear_log)
      .def("execute", [](bql::LocalService& s, const std::string& query) { return append_results(py::list(), s.execute(query)); },
           py::arg("query"), "Runs a query text; a list of (name, DataFrame), one per field.");
  q.def("sample_folder", &bql::sample_folder);
  // Requests of the shapes the modules send (a calendar item with a date
  // range, a column test and preferences; a field with an item operation; a
  // one-key universe), run through execute and execute_many on `bq`; for
  // tests of the forwarding to a Python service.
  q.def("_run_sample_requests", [](py::object bq) {
    auto svc = to_service(bq);
    Service& s = bql::require_service(svc);
    auto cal = s.data("calendar", {{"dates", s.func.range("2024-01-01", "2024-01-31")}, {"subtype", "all"}});
    auto cal_in = cal.matches(cal.ticker().in_({"CPI", "NFP"}));
    bql::Request one(s.univ.list({"US Country", "JP Country"}), bql::NamedItems{{"event", cal_in}},
                     qd::Kwargs{{"addcols", qd::List{"surprise", "subtype"}}});
    bql::Request two("JPY Curncy", s.data("id_bb_global").droppe());
    bql::Request bad("BAD Curncy", s.data("px_last", {{"dates", s.func.range("2024-01-01", "2024-01-02")}}));
    py::list out = append_results(py::list(), s.execute(one));
    py::list errors;
    auto many = s.execute_many({two, bad}, [&errors](const qd::List& details) {
      py::list d;
      for (const auto& v : details) d.append(from_value(v));
      errors.append(d);
    });
    py::list batch;
    for (const auto& res : many) append_results(batch, res);
    return py::make_tuple(out, batch, errors);
  });

  q.def("set_python_provider", [](py::object module) {
    auto bql_module = keep(std::move(module));
    bql::service_registry().replace([bql_module]() -> std::shared_ptr<Service> {
      py::gil_scoped_acquire gil;
      return std::make_shared<PyService>(*bql_module, bql_module->attr("Service")());
    });
  }, "Module-wide handles are opened as bql_module.Service(), forwarded to.");
  q.def("set_local_provider", [](const std::string& folder) {
    auto svc = std::make_shared<bql::LocalService>(folder);
    bql::service_registry().replace([svc]() -> std::shared_ptr<Service> { return svc; });
    return svc;
  }, "Module-wide handles are the local stand-in over `folder` (one shared service).");
  q.def("clear_provider", [] { bql::service_registry().replace(nullptr); });
  q.def("has_provider", [] { return bql::service_registry().has(); });
  q.def("as_service", [](py::object bq) -> py::object {
    auto s = to_service(bq);
    if (!s) return py::none();
    return py::cast(s);
  }, "The handle a `bq` argument becomes (forwarding to a Python bql service).");
}

}  // namespace qpy
