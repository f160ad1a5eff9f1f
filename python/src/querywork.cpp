// quorin_data._quorin.querywork (the query-service utilities) and ECOEST of
// snapshelf: bindings of modules that landed after the first ones.
#include <pybind11/iostream.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <iostream>

#include "bindings.hpp"
#include "bql_bridge.hpp"
#include "convert.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_bqia/querywork.hpp"
#include "quorin_data/from_s3/snapshelf/ecoest.hpp"

namespace py = pybind11;
namespace qd = quorin_data;
namespace qw = quorin_data::from_bqia::querywork;
namespace snapshelf = quorin_data::from_s3::snapshelf;

namespace qpy {

namespace {

std::string text_arg(const char* name, py::handle v) {
  if (!PyUnicode_Check(v.ptr()))
    qd::throw_argument_type(name, "str", py::str(py::type::handle_of(v).attr("__name__")));
  return v.cast<std::string>();
}

std::optional<std::string> opt_text_arg(const char* name, py::handle v) {
  if (v.is_none()) return std::nullopt;
  return text_arg(name, v);
}

std::optional<std::vector<std::string>> opt_texts(const char* name, py::handle v) {
  if (v.is_none()) return std::nullopt;
  if (PyTuple_Check(v.ptr())) qd::throw_argument_type(name, "list", "tuple");
  return qd::text_list(to_value(v), name);
}

qd::from_bqia::bql::Universe universe_arg(py::handle v) { return qd::from_bqia::bql::Universe(to_value(v)); }

// A zone as Python knows it: zoneinfo.ZoneInfo for a named zone, a
// datetime.timezone for a fixed offset.
py::object zone_to_py(const qd::Zone& z) {
  if (!z.is_fixed()) return py::module_::import("zoneinfo").attr("ZoneInfo")(z.name());
  auto dt = py::module_::import("datetime");
  const auto offset_s = z.offset_ns_at(0) / qd::kNanosPerSecond;
  return dt.attr("timezone")(dt.attr("timedelta")(py::arg("seconds") = offset_s), z.name());
}

}  // namespace

void bind_querywork(py::module_& m) {
  auto q = m.def_submodule("querywork");
  q.attr("SHOW_WARNINGS") = qw::SHOW_WARNINGS;
  q.def("load", [] { qw::bq(); }, "The module's load step: its query-service handle (once).");
  q.def("reset_handle", [] { qw::bq_handle().reset(); });
  q.def("has_handle", [] { return qw::bq() != nullptr; });
  q.def("_split_date_range", [](py::object bq, py::object start, py::object end) {
    auto svc = to_service(bq);
    return qw::_split_date_range(svc, text_arg("start", start), text_arg("end", end));
  });
  q.def("_invert_sign", [](py::object sign) { return qw::_invert_sign(text_arg("sign", sign)); });
  q.def("convert_tz", [](py::object tz) { return zone_to_py(qw::convert_tz(text_arg("custom_timezone", tz))); });
  q.def("round_event_datetime", [](py::object when, bool round_down) {
    qd::Value v = to_value(when);
    if (!v.is_timestamp()) qd::throw_argument_type("datetime_obj", "Timestamp", v.type_name());
    return from_value(qd::Value(qw::round_event_datetime(v.as_timestamp(), round_down)));
  });
  q.def("get_eco_calendar_data", [](py::object bq, py::object universe, py::object start, py::object end,
                                     py::object tickers, py::object subtype, py::object relevancy,
                                     py::object view, py::object event_timezone, bool verbose) {
    auto svc = to_service(bq);
    auto u = universe_arg(universe);
    auto s = text_arg("start", start), e = text_arg("end", end);
    auto t = opt_texts("tickers", tickers);
    auto sub = text_arg("subtype", subtype), rel = text_arg("relevancy", relevancy), v = text_arg("view", view);
    auto tz = opt_text_arg("event_timezone", event_timezone);
    // Its "Splitting ..." lines go to sys.stdout (a notebook shows them).
    py::scoped_ostream_redirect out(std::cout, py::module_::import("sys").attr("stdout"));
    return from_frame(qw::get_eco_calendar_data(svc, u, s, e, t, sub, rel, v, tz, verbose, nullptr));
  });
  q.def("get_id_to_figi_mapping", [](py::object universe, py::object figi, py::object id, py::object pcs) {
    return from_frame(qw::get_id_to_figi_mapping(universe_arg(universe), text_arg("figi_col_name", figi),
                                                 text_arg("id_col_name", id), opt_texts("tickers_to_add_pcs", pcs)));
  });
  q.def("get_figi_to_id_mapping", [](py::object universe, py::object figi, py::object id, py::object item) {
    return from_frame(qw::get_figi_to_id_mapping(universe_arg(universe), text_arg("figi_col_name", figi),
                                                 text_arg("id_col_name", id), text_arg("id_data_item", item)));
  });
}

void bind_ecoest(py::module_& s) {
  s.def("ecoest_bucket", [] { return snapshelf::ECOEST::bucket; });
  s.def("ecoest_file_path", [] { return snapshelf::ECOEST::file_path; });
  py::class_<snapshelf::ECOEST, std::shared_ptr<snapshelf::ECOEST>>(s, "ECOEST")
      .def(py::init([](py::object as_of_date, py::object bucket, py::object file_path, py::object store_obj) {
        // The store and key are this object's own (nothing shared is
        // assigned before the load releases the GIL). A store given brings
        // its client and bucket; else the class bucket.
        auto store = store_obj.is_none()
                         ? qd::from_s3::bucketry::Store::default_store().with_bucket(text_arg("bucket", bucket))
                         : store_arg(store_obj);
        std::string key = text_arg("file_path", file_path);
        auto wanted = opt_text_arg("as_of_date", as_of_date);
        py::gil_scoped_release nogil;
        return std::make_shared<snapshelf::ECOEST>(std::move(wanted), std::move(store), std::move(key));
      }))
      .def_static("get_distinct", [](py::object column, py::object bucket, py::object key) {
        auto c = to_value(column), b = to_value(bucket), k = to_value(key);
        std::vector<qd::Value> values;
        {
          py::gil_scoped_release nogil;
          values = snapshelf::ECOEST::get_distinct(c, b, k);
        }
        py::list out;
        for (auto& v : values) out.append(from_value(std::move(v)));
        return out;
      })
      .def("_load_snapshot", [](snapshelf::ECOEST& self, py::object as_of_date) {
        auto date = to_value(as_of_date);
        py::gil_scoped_release nogil;
        self._load_snapshot(date);
      })
      .def("get_data", [](const snapshelf::ECOEST& self, py::object tickers, py::object start, py::object end) {
        if (PyTuple_Check(tickers.ptr())) qd::throw_argument_type("tickers", "list", "tuple");
        return from_frame(self.get_data(to_value(tickers), to_value(start), to_value(end)));
      })
      .def("data", [](const snapshelf::ECOEST& self) { return from_frame(qd::Frame(self.data)); });
}

}  // namespace qpy
