// quorin_data._quorin.barwork: the intraday event bars, the intraday-bars
// package seen from Python (a C++ Package that forwards to a Python package of
// the `bloomberg.bquant.intraday` shape) and its local stand-in.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <climits>
#include <memory>

#include "args.hpp"
#include "convert.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_bqia/barwork.hpp"

namespace py = pybind11;
namespace qd = quorin_data;
namespace barwork = quorin_data::from_bqia::barwork;
namespace bqia = quorin_data::from_bqia::bqia;

namespace qpy {

namespace {

// Forwards set_config and get_bars to a Python package (`set_config(dict)`,
// `get_bars(securities=..., security_id_type=..., start=..., end=..., tz=...,
// downsample_freq=...)`), building its roll rules with the package's own
// `FuturesRollConfig(future_root, yellow_key, pandas.DateOffset(days=n))` and
// `FuturesRollFactory(dict)`. Python exceptions of the package reach the
// caller unchanged.
class PyPackage : public bqia::Package {
 public:
  explicit PyPackage(py::object module) : mod_(std::make_unique<py::object>(std::move(module))) {}
  ~PyPackage() override {
    if (!Py_IsInitialized()) {
      (void)mod_.release();
      return;
    }
    py::gil_scoped_acquire gil;
    mod_.reset();
  }

  void set_config(const bqia::Config& c) override {
    py::gil_scoped_acquire gil;
    py::dict d;
    if (c.security_id_mapping) d["security_id_mapping"] = from_frame(qd::Frame(*c.security_id_mapping));
    if (c.futures_roll_factory) d["futures_roll_factory"] = factory(*c.futures_roll_factory);
    if (c.enabled_packages) d["enabled_packages"] = py::cast(*c.enabled_packages);
    set_config_py(d);
  }

  qd::Frame get_bars(const bqia::BarsQuery& q) override {
    py::gil_scoped_acquire gil;
    const auto opt = [](const std::optional<std::string>& s) -> py::object {
      return s ? py::object(py::str(*s)) : py::object(py::none());
    };
    py::object bars = mod_->attr("get_bars")(
        py::arg("securities") = py::cast(q.securities), py::arg("security_id_type") = q.security_id_type,
        py::arg("start") = q.start, py::arg("end") = q.end, py::arg("tz") = opt(q.tz),
        py::arg("downsample_freq") = opt(q.downsample_freq));
    return to_frame(bars);
  }

  // The package's own roll factory of `f` (GIL held).
  py::object factory(const bqia::FuturesRollFactory& f) const {
    py::object offset = py::module_::import("pandas").attr("DateOffset");
    py::dict configs;
    for (const auto& [name, c] : f.mapping())
      configs[py::str(name)] = mod_->attr("FuturesRollConfig")(c.future_root(), c.yellow_key(),
                                                               offset(py::arg("days") = c.offset().days));
    return mod_->attr("FuturesRollFactory")(configs);
  }

  // The package's set_config with a mapping as given (GIL held).
  void set_config_py(const py::dict& d) { mod_->attr("set_config")(d); }

 private:
  std::unique_ptr<py::object> mod_;  // released with the GIL held
};

int window_arg(const char* name, py::handle v) {
  qd::Value x = to_value(v);
  if (!x.is_int()) qd::throw_argument_type(name, "int", x.type_name());
  if (x.as_int() < INT_MIN / 2 || x.as_int() > INT_MAX / 2)
    throw qd::ValueError(std::string(name) + " is out of range");
  return static_cast<int>(x.as_int());
}

qd::Frame frame_arg(const char* name, py::handle v) {
  static py::object* DataFrame = new py::object(py::module_::import("pandas").attr("DataFrame"));
  if (PyObject_IsInstance(v.ptr(), DataFrame->ptr()) != 1) qd::throw_argument_type(name, "DataFrame", type_name(v));
  return to_frame(v);
}

PyPackage* python_package() { return dynamic_cast<PyPackage*>(barwork::package().get()); }

}  // namespace

void bind_barwork(py::module_& m) {
  auto w = m.def_submodule("barwork");
  w.attr("SHOW_WARNINGS") = qd::settings().show_warnings;
  w.attr("PACKAGES") = barwork::PACKAGES;

  py::class_<bqia::FuturesRollFactory>(w, "FuturesRollFactory",
                                       "Futures roll rules of the local stand-in: roll name -> "
                                       "(future_root, yellow_key, roll_offset in calendar days).")
      .def_property_readonly("mapping", [](const bqia::FuturesRollFactory& f) {
        py::dict d;
        for (const auto& [k, c] : f.mapping())
          d[py::str(k)] = py::make_tuple(c.future_root(), c.yellow_key(), c.offset().days);
        return d;
      })
      .def("__eq__", [](const bqia::FuturesRollFactory& a, const bqia::FuturesRollFactory& b) { return a == b; })
      .def("__repr__", [](const bqia::FuturesRollFactory& f) {
        return "FuturesRollFactory(" + std::string(py::str(py::cast(f).attr("mapping"))) + ")";
      });

  py::class_<bqia::Package, std::shared_ptr<bqia::Package>>(w, "Package", "An intraday-bars package handle.");
  py::class_<bqia::LocalPackage, bqia::Package, std::shared_ptr<bqia::LocalPackage>>(
      w, "LocalPackage", "The local stand-in of the intraday-bars package, serving bars from a sample folder.")
      .def(py::init<std::string>(), py::arg("folder"))
      .def("set_config", [](bqia::LocalPackage& p, py::dict d) {
        bqia::Config c;
        if (d.contains("security_id_mapping"))
          c.security_id_mapping = frame_arg("security_id_mapping", d["security_id_mapping"]);
        if (d.contains("futures_roll_factory"))
          c.futures_roll_factory = d["futures_roll_factory"].cast<bqia::FuturesRollFactory>();
        if (d.contains("enabled_packages")) c.enabled_packages = texts("enabled_packages", d["enabled_packages"]);
        p.set_config(c);
      })
      .def("get_bars", [](bqia::LocalPackage& p, py::object securities, py::object security_id_type,
                          py::object start, py::object end, py::object tz, py::object downsample_freq) {
        bqia::BarsQuery q{texts("securities", securities), text("security_id_type", security_id_type),
                          text("start", start), text("end", end), opt_text("tz", tz),
                          opt_text("downsample_freq", downsample_freq)};
        qd::Frame f;
        {
          py::gil_scoped_release nogil;
          f = p.get_bars(q);
        }
        return from_frame(std::move(f));
      }, py::arg("securities"), py::arg("security_id_type") = "custom", py::arg("start"), py::arg("end"),
         py::arg("tz") = py::none(), py::arg("downsample_freq") = py::none())
      .def("config", [](const bqia::LocalPackage& p) {
        // What the stand-in holds: only the keys that were given.
        auto c = p.config();
        py::dict d;
        if (c.security_id_mapping) d["security_id_mapping"] = from_frame(std::move(*c.security_id_mapping));
        if (c.futures_roll_factory) d["futures_roll_factory"] = py::cast(*c.futures_roll_factory);
        if (c.enabled_packages) d["enabled_packages"] = py::cast(*c.enabled_packages);
        return d;
      })
      .def("set_config_count", &bqia::LocalPackage::set_config_count);

  w.def("sample_folder", &bqia::sample_folder);
  w.def("set_python_provider", [](py::object module) {
    auto held = keep(std::move(module));
    bqia::package_registry().replace([held]() -> std::shared_ptr<bqia::Package> {
      py::gil_scoped_acquire gil;
      return std::make_shared<PyPackage>(*held);
    });
  }, "Module-wide packages forward to the Python package `module`.");
  w.def("set_local_provider", [](const std::string& folder) {
    auto pkg = std::make_shared<bqia::LocalPackage>(folder);
    bqia::package_registry().replace([pkg]() -> std::shared_ptr<bqia::Package> { return pkg; });
    return pkg;
  }, "Module-wide packages are the local stand-in over `folder` (one shared package).");
  w.def("clear_provider", [] { bqia::package_registry().replace(nullptr); });
  w.def("has_provider", [] { return bqia::package_registry().has(); });
  w.def("load", &barwork::load);
  w.def("reset", &barwork::detail::reset, "Reopens the module's package and query-service handles on next use.");
  w.def("package", []() -> py::object {
    auto p = barwork::package();
    if (!p) return py::none();
    return py::cast(p);
  });
  w.def("has_query_handle", [] { return barwork::bq() != nullptr; });

  w.def("get_id_mapping", [](py::object dict_sec_pcs) {
    return from_frame(barwork::dynamic::get_id_mapping(to_value(dict_sec_pcs)));
  });
  w.def("get_roll_config", [](py::object dict_fut) -> py::object {
    auto f = barwork::dynamic::get_roll_config(to_value(dict_fut));
    if (auto* p = python_package()) return p->factory(f);
    return py::cast(std::move(f));
  });
  w.def("set_intraday_config", [](py::object id_mapping, py::object roll_config, py::object packages) {
    // A package of Python's gets the Python objects; the library's, the converted ones.
    if (auto* p = dynamic_cast<PyPackage*>(&barwork::require_package())) {
      // The package gets the caller's objects themselves (its own roll
      // factory included); a stand-in factory is rebuilt as the package's.
      py::dict d;
      if (!id_mapping.is_none()) d["security_id_mapping"] = id_mapping;
      if (!roll_config.is_none())
        d["futures_roll_factory"] = py::isinstance<bqia::FuturesRollFactory>(roll_config)
                                        ? p->factory(roll_config.cast<const bqia::FuturesRollFactory&>())
                                        : roll_config;
      // A copy, so that a package that changes the list it is given cannot
      // change the default of later calls.
      if (PyList_Check(packages.ptr())) {
        PyObject* copy = PySequence_List(packages.ptr());
        if (!copy) throw py::error_already_set();
        d["enabled_packages"] = py::reinterpret_steal<py::list>(copy);
      } else {
        d["enabled_packages"] = packages;
      }
      p->set_config_py(d);
      return;
    }
    std::optional<qd::Frame> ids;
    if (!id_mapping.is_none()) ids = frame_arg("id_mapping", id_mapping);
    std::optional<bqia::FuturesRollFactory> rolls;
    if (!roll_config.is_none()) {
      if (!py::isinstance<bqia::FuturesRollFactory>(roll_config))
        qd::throw_argument_type("roll_config", "FuturesRollFactory", type_name(roll_config));
      rolls = roll_config.cast<bqia::FuturesRollFactory>();
    }
    barwork::set_intraday_config(std::move(ids), std::move(rolls), texts("packages", packages));
  });
  w.def("get_intraday_bars", [](py::object dict_sec_pcs, py::object dict_fut, py::object start, py::object end,
                                py::object security_id_type, py::object downsample_freq, py::object tz,
                                py::object packages, bool add_description) {
    barwork::IntradayBarsArgs a;
    a.dict_sec_pcs = dict_sec_pcs.is_none() ? std::nullopt
                                            : std::optional(barwork::dynamic::to_dict_sec_pcs(to_value(dict_sec_pcs)));
    if (!dict_fut.is_none()) a.dict_fut = barwork::dynamic::to_dict_fut(to_value(dict_fut));
    a.start = text("start", start);
    a.end = text("end", end);
    a.security_id_type = text("security_id_type", security_id_type);
    a.downsample_freq = opt_text("downsample_freq", downsample_freq);
    a.tz = opt_text("tz", tz);
    a.packages = texts("packages", packages);
    a.add_description = add_description;
    qd::Frame f;
    {
      py::gil_scoped_release nogil;
      f = barwork::get_intraday_bars(a);
    }
    return from_frame(std::move(f));
  });
  w.def("get_event_metadata", [](py::object cal, py::object pre, py::object post) {
    auto c = frame_arg("df_calendar", cal);
    const int a = window_arg("pre_event_window", pre), b = window_arg("post_event_window", post);
    qd::Frame f;
    {
      py::gil_scoped_release nogil;
      f = barwork::get_event_metadata(c, a, b);
    }
    return from_frame(std::move(f));
  });
  w.def("filter_bars_around_events", [](py::object bars, py::object cal, py::object pre, py::object post) {
    auto b = frame_arg("df_bars", bars);
    auto c = frame_arg("df_calendar", cal);
    const int lo = window_arg("pre_event_window", pre), hi = window_arg("post_event_window", post);
    qd::Frame f;
    {
      py::gil_scoped_release nogil;
      f = barwork::filter_bars_around_events(b, c, lo, hi);
    }
    return from_frame(std::move(f));
  });
  w.def("event_move_summary", [](py::object bars, py::object pre, py::object price, std::vector<double> qs) {
    auto b = frame_arg("df_event_bars", bars);
    const int lo = window_arg("pre_event_window", pre);
    const auto px = text("price", price);
    qd::Frame f;
    {
      py::gil_scoped_release nogil;
      f = barwork::event_move_summary(b, lo, px, qs);
    }
    return from_frame(std::move(f));
  });
}

}  // namespace qpy
