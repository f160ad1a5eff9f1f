// quorin_data._quorin.querywork: the query-service utilities.
#include <pybind11/iostream.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <iostream>

#include "args.hpp"
#include "bindings.hpp"
#include "bql_bridge.hpp"
#include "convert.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace py = pybind11;
namespace qd = quorin_data;
namespace qw = quorin_data::from_bqia::querywork;

namespace qpy {

namespace {

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
    return qw::_split_date_range(svc, text("start", start), text("end", end));
  });
  q.def("_invert_sign", [](py::object sign) { return qw::_invert_sign(text("sign", sign)); });
  q.def("convert_tz", [](py::object tz) { return zone_to_py(qw::convert_tz(text("custom_timezone", tz))); });
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
    auto s = text("start", start), e = text("end", end);
    auto t = opt_texts("tickers", tickers);
    auto sub = text("subtype", subtype), rel = text("relevancy", relevancy), v = text("view", view);
    auto tz = opt_text("event_timezone", event_timezone);
    // Its "Splitting ..." lines go to sys.stdout (a notebook shows them).
    py::scoped_ostream_redirect out(std::cout, py::module_::import("sys").attr("stdout"));
    return from_frame(qw::get_eco_calendar_data(svc, u, s, e, t, sub, rel, v, tz, verbose, nullptr));
  });
  q.def("get_id_to_figi_mapping", [](py::object universe, py::object figi, py::object id, py::object pcs) {
    return from_frame(qw::get_id_to_figi_mapping(universe_arg(universe), text("figi_col_name", figi),
                                                 text("id_col_name", id), opt_texts("tickers_to_add_pcs", pcs)));
  });
  q.def("get_figi_to_id_mapping", [](py::object universe, py::object figi, py::object id, py::object item) {
    return from_frame(qw::get_figi_to_id_mapping(universe_arg(universe), text("figi_col_name", figi),
                                                 text("id_col_name", id), text("id_data_item", item)));
  });
}

}  // namespace qpy
