// quorin_data._quorin: the library's modules for Python. The thin modules of
// the package (quorin_data.from_s3.bucketry, ...) give the functions their
// signatures and defaults and call these.
#include <pybind11/functional.h>
#include <pybind11/iostream.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>
#include <optional>
#include <string>

#include "bindings.hpp"
#include "bql_bridge.hpp"
#include "convert.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"
#include "quorin_data/formats/serialize.hpp"
#include "quorin_data/from_bqia/bqia.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "quorin_data/from_s3/snapshelf.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/utils.hpp"
#include "quorin_data/ta/volume.hpp"

namespace py = pybind11;
namespace qd = quorin_data;
namespace bucketry = quorin_data::from_s3::bucketry;
namespace snapshelf = quorin_data::from_s3::snapshelf;
namespace overlap = quorin_data::ta::overlap;
namespace volume = quorin_data::ta::volume;
namespace tautils = quorin_data::ta::utils;
using qpy::bql::Service;
using qpy::from_value;
using qpy::to_value;

namespace qpy {
void bind_ecoest(py::module_& snapshelf);
}  // namespace qpy

namespace {

// ------------------------------------------------------------------ warnings

// The warning channel: every warning of the library goes to the sink the
// package sets (Python's warnings module). The modules warn at their first
// use, never while the libraries load, so the handler installed with the
// extension sees them all; any emitted before the sink is set are queued.
struct Channel {
  std::mutex mu;
  std::vector<std::string> pending;
  std::unique_ptr<py::object> sink;  // a Python callable taking the text
};

Channel& channel() {
  // Never destroyed: the sink must not be released after the interpreter.
  static Channel* c = new Channel;
  return *c;
}

void emit_warning(const std::string& text) {
  auto& c = channel();
  {
    std::lock_guard<std::mutex> lock(c.mu);
    if (!c.sink) {
      c.pending.push_back(text);
      return;
    }
  }
  if (!Py_IsInitialized()) return;
  py::gil_scoped_acquire gil;
  (*c.sink)(text);
}

// ------------------------------------------------------------------ errors

py::object error_class(const char* name) {
  return py::module_::import("quorin_data._errors").attr(name);
}

void raise(py::handle cls, py::object instance) { PyErr_SetObject(cls.ptr(), instance.ptr()); }

void translate(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const qpy::bql::ServiceError& e) {
    auto cls = error_class("ServiceError");
    raise(cls, cls(e.what()));
  } catch (const qd::from_bqia::bqia::PackageError& e) {
    auto cls = error_class("PackageError");
    raise(cls, cls(e.what()));
  } catch (const qd::PythonPickleError& e) {
    auto cls = error_class("PythonPickleError");
    raise(cls, cls(e.what(), e.format(), e.source(), e.place()));
  } catch (const qd::StoreError& e) {
    auto cls = error_class("StoreError");
    raise(cls, cls(e.what(), e.code(), e.http_status(), e.request_id(), e.operation()));
  } catch (const qd::FormatError& e) {
    auto cls = error_class("FormatError");
    raise(cls, cls(e.what(), e.format(), e.source(), e.place()));
  } catch (const qd::Error& e) {
    switch (e.kind()) {
      case qd::ErrorKind::Value: PyErr_SetString(PyExc_ValueError, e.what()); return;
      case qd::ErrorKind::Type: PyErr_SetString(PyExc_TypeError, e.what()); return;
      case qd::ErrorKind::Assertion: PyErr_SetString(PyExc_AssertionError, e.what()); return;
      case qd::ErrorKind::Name: PyErr_SetString(PyExc_NameError, e.what()); return;
      case qd::ErrorKind::Key: PyErr_SetString(PyExc_KeyError, e.what()); return;
      case qd::ErrorKind::Index: PyErr_SetString(PyExc_IndexError, e.what()); return;
      case qd::ErrorKind::Transport: {
        auto cls = error_class("TransportError");
        raise(cls, cls(e.what()));
        return;
      }
      default: PyErr_SetString(PyExc_RuntimeError, e.what()); return;
    }
  }
}

// ------------------------------------------------------------------ helpers

std::optional<std::string> opt_text(const char* name, py::handle v) {
  if (v.is_none()) return std::nullopt;
  if (!PyUnicode_Check(v.ptr()))
    qd::throw_argument_type(name, "str", py::str(py::type::handle_of(v).attr("__name__")));
  return v.cast<std::string>();
}

std::string text(const char* name, py::handle v) {
  if (!PyUnicode_Check(v.ptr()))
    qd::throw_argument_type(name, "str", py::str(py::type::handle_of(v).attr("__name__")));
  return v.cast<std::string>();
}

// A list argument: the library's value, except that a tuple (which the
// loose conversion would read as a list) is refused as the wrong kind.
qd::Value list_arg(const char* name, py::handle v) {
  if (PyTuple_Check(v.ptr())) qd::throw_argument_type(name, "list", "tuple");
  return to_value(v);
}

py::object opt_series(std::optional<qd::Series> s) {
  if (!s) return py::none();
  return qpy::from_series(std::move(*s));
}

// A series for the utilities that take a Series: a pandas Series that
// crosses, or (anything else) a series that verify_series rejects, so the
// function returns None after its arguments have been checked.
qd::Series ta_series(py::handle o) {
  static py::object* Series = new py::object(py::module_::import("pandas").attr("Series"));
  if (PyObject_IsInstance(o.ptr(), Series->ptr()) == 1) {
    try {
      return qpy::to_series(o);
    } catch (const qd::TypeError&) {
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_TypeError)) throw;
    }
  }
  return qd::Series(qd::Column::missing(qd::DType::Text, 0), qd::Index::range(0));
}

// An indicator input. A pandas Series of native float64 values in one
// aligned, C-contiguous buffer is read in place: the view holds a reference
// to the numpy array for the call, and the indicators only read it (their
// results are new buffers). Any other Series crosses as a converted copy;
// anything else is a series that the indicators reject (see ta_series).
class TaInput {
 public:
  explicit TaInput(py::handle o) {
    try {
      if (borrow(o)) return;
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_TypeError)) throw;  // an index that cannot cross
    }
    owned_ = ta_series(o);
    ref_ = tautils::SeriesRef(*owned_);
  }
  TaInput(const TaInput&) = delete;
  TaInput& operator=(const TaInput&) = delete;

  operator const tautils::SeriesRef&() const noexcept { return ref_; }  // NOLINT

 private:
  bool borrow(py::handle o) {
    static py::object* Series = new py::object(py::module_::import("pandas").attr("Series"));
    if (PyObject_IsInstance(o.ptr(), Series->ptr()) != 1) return false;
    py::object dtype = o.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype) || py::reinterpret_borrow<py::dtype>(dtype).kind() != 'f')
      return false;
    py::object values = o.attr("to_numpy")();
    if (!py::array_t<double, py::array::c_style>::check_(values)) return false;  // native float64
    auto a = py::reinterpret_borrow<py::array>(values);
    if (a.ndim() != 1 || !(a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_)) return false;
    index_ = qpy::to_index(o.attr("index"));
    keep_ = std::move(values);
    ref_ = tautils::SeriesRef(static_cast<const double*>(a.data()), static_cast<std::size_t>(a.size()),
                              index_);
    return true;
  }

  py::object keep_;
  std::optional<qd::Series> owned_;
  qd::Index index_;
  tautils::SeriesRef ref_;
};

py::dict text_map(const snapshelf::TextMap& m) {
  py::dict out;
  for (const auto& [k, v] : m) out[py::str(k)] = v;
  return out;
}

// A Python object held by a C++ function that may outlive the interpreter
// (a registered provider, a class attribute): released with the GIL while
// the interpreter runs, left alone after it has finalized.
std::shared_ptr<py::object> keep(py::object o) {
  return std::shared_ptr<py::object>(new py::object(std::move(o)), [](py::object* p) {
    if (!Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    delete p;
  });
}

// SPLC's key builder as the library defines it, before a caller replaces it.
const std::function<std::string(const std::string&, const std::string&)>& default_file_path() {
  static const auto f = snapshelf::SPLC::file_path_func;
  return f;
}

}  // namespace

PYBIND11_MODULE(_quorin, m) {
  m.doc() = "The compiled core of quorin_data.";
  py::register_exception_translator(translate);
  qd::set_warning_handler(emit_warning);
  m.def("set_warning_sink", [](py::object sink) {
    auto& c = channel();
    std::vector<std::string> pending;
    {
      std::lock_guard<std::mutex> lock(c.mu);
      c.sink = sink.is_none() ? nullptr : std::make_unique<py::object>(std::move(sink));
      if (c.sink) pending.swap(c.pending);
    }
    for (const auto& text : pending) (*c.sink)(text);
  }, "Sends every warning to `sink(text)`, those queued first (None queues them again).");

  // ---------------------------------------------------------------- values
  auto values = m.def_submodule("values", "Conversions, exposed for tests and tools.");
  values.def("roundtrip", [](py::object o, bool exact) {
    qd::Value v = to_value(o, exact ? qpy::Mode::Exact : qpy::Mode::Loose);
    return from_value(std::move(v));
  }, py::arg("value"), py::arg("exact") = false,
     "The value converted to the library's value and back.");
  values.def("serialize", [](py::object o) {
    auto bytes = qd::formats::serialize(to_value(o, qpy::Mode::Exact));
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }, "Our \"pickle\" serialization of a value.");
  values.def("deserialize", [](py::bytes b) {
    std::string_view sv = b;
    return from_value(qd::formats::deserialize(reinterpret_cast<const std::uint8_t*>(sv.data()), sv.size(), "bytes"));
  });
  // A Series into C++ and back as a copy (how Series arguments other than
  // indicator inputs cross).
  values.def("series_roundtrip", [](py::object s) { return qpy::from_series(qpy::to_series(s)); });
  // An indicator call whose computation is a copy of its input: the input as
  // the indicators take it, verified, the result's way back as a Series, and
  // the seconds the copy took (what the caller subtracts to time the rest).
  values.def("indicator_roundtrip", [](py::object s) {
    TaInput in(s);
    auto v = tautils::detail::verify(in);
    if (!v) throw qd::TypeError("not a numeric pandas Series");
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<double> copy = tautils::detail::result_buffer(v->size());
    copy.insert(copy.end(), v->f64(), v->f64() + v->size());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    auto r = tautils::detail::finish(std::move(copy), v->index(), 0, {}, "ROUNDTRIP", "overlap");
    return py::make_tuple(opt_series(std::move(r)), took.count());
  });
  // Each direction of the DataFrame crossing on its own: `hold_frame` takes
  // a DataFrame into C++ and keeps it in an opaque handle; `release_frame`
  // hands a copy of the held frame back as a DataFrame.
  py::class_<qd::Frame, std::shared_ptr<qd::Frame>>(values, "HeldFrame")
      .def_property_readonly("rows", &qd::Frame::num_rows);
  values.def("hold_frame", [](py::object df) { return std::make_shared<qd::Frame>(qpy::to_frame(df)); });
  values.def("release_frame", [](const std::shared_ptr<qd::Frame>& f) { return qpy::from_frame(qd::Frame(*f)); });
  // A frame made in C++ and handed over (its float64 column's buffer address
  // is returned too, to check that the array is that buffer).
  values.def("make_frame", [](std::size_t n) {
    qd::Frame f;
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<double>(i) * 0.5;
    const auto addr = reinterpret_cast<std::uintptr_t>(x.data());
    f.add_column("x", qd::Column::floats(std::move(x)));
    f.set_index(qd::Index::range(n));
    return py::make_tuple(qpy::from_frame(std::move(f)), addr);
  });

  qpy::bind_bucketry(m);

  // ---------------------------------------------------------------- query service
  auto q = m.def_submodule("bql");
  py::class_<Service, std::shared_ptr<Service>>(q, "Service", "A query-service handle.");
  py::class_<qpy::bql::LocalService, Service, std::shared_ptr<qpy::bql::LocalService>>(
      q, "LocalService",
      "The local stand-in of the query service, answering from reference CSV files in a folder.")
      .def(py::init<const std::string&, bool>(), py::arg("folder"), py::arg("strict_securities") = true)
      .def("calls", &qpy::bql::LocalService::calls)
      .def("queries", &qpy::bql::LocalService::queries)
      .def("call_count", &qpy::bql::LocalService::call_count)
      .def("clear_log", &qpy::bql::LocalService::clear_log)
      .def("execute", [](qpy::bql::LocalService& s, const std::string& query) {
        auto res = s.execute(query);
        py::list out;
        for (const auto& r : res) out.append(py::make_tuple(r.name(), qpy::from_frame(r.df())));
        return out;
      }, py::arg("query"), "Runs a query text; a list of (name, DataFrame), one per field.");
  q.def("sample_folder", &qpy::bql::sample_folder);
  // Requests of the shapes the modules send (a calendar item with a date
  // range, a column test and preferences; a field with an item operation; a
  // one-key universe), run through execute and execute_many on `bq`; for
  // tests of the forwarding to a Python service.
  q.def("_run_sample_requests", [](py::object bq) {
    auto svc = qpy::to_service(bq);
    Service& s = qpy::bql::require_service(svc);
    auto cal = s.data("calendar", {{"dates", s.func.range("2024-01-01", "2024-01-31")}, {"subtype", "all"}});
    auto cal_in = cal.matches(cal.ticker().in_({"CPI", "NFP"}));
    qpy::bql::Request one(s.univ.list({"US Country", "JP Country"}), qpy::bql::NamedItems{{"event", cal_in}},
                          qd::Kwargs{{"addcols", qd::List{"surprise", "subtype"}}});
    qpy::bql::Request two("JPY Curncy", s.data("id_bb_global").droppe());
    qpy::bql::Request bad("BAD Curncy", s.data("px_last", {{"dates", s.func.range("2024-01-01", "2024-01-02")}}));
    py::list out;
    for (const auto& r : s.execute(one)) out.append(py::make_tuple(r.name(), qpy::from_frame(r.df())));
    py::list errors;
    auto many = s.execute_many({two, bad}, [&errors](const qd::List& details) {
      py::list d;
      for (const auto& v : details) d.append(from_value(v));
      errors.append(d);
    });
    py::list batch;
    for (const auto& res : many)
      for (const auto& r : res) batch.append(py::make_tuple(r.name(), qpy::from_frame(r.df())));
    return py::make_tuple(out, batch, errors);
  });

  q.def("set_python_provider", [](py::object module) {
    auto bql_module = keep(std::move(module));
    qpy::bql::service_registry().replace([bql_module]() -> std::shared_ptr<Service> {
      py::gil_scoped_acquire gil;
      return std::make_shared<qpy::PyService>(*bql_module, bql_module->attr("Service")());
    });
  }, "Module-wide handles are opened as bql_module.Service(), forwarded to.");
  q.def("set_local_provider", [](const std::string& folder) {
    auto svc = std::make_shared<qpy::bql::LocalService>(folder);
    qpy::bql::service_registry().replace([svc]() -> std::shared_ptr<Service> { return svc; });
    return svc;
  }, "Module-wide handles are the local stand-in over `folder` (one shared service).");
  q.def("clear_provider", [] { qpy::bql::service_registry().replace(nullptr); });
  q.def("has_provider", [] { return qpy::bql::service_registry().has(); });
  q.def("as_service", [](py::object bq) -> py::object {
    auto s = qpy::to_service(bq);
    if (!s) return py::none();
    return py::cast(s);
  }, "The handle a `bq` argument becomes (forwarding to a Python bql service).");

  // ---------------------------------------------------------------- snapshelf
  auto s = m.def_submodule("snapshelf");
  s.attr("SHOW_WARNINGS") = snapshelf::SHOW_WARNINGS;
  s.def("load", [] { snapshelf::load(); }, "The module's load steps (once).");
  s.def("reset_handle", [] { snapshelf::bq_handle().reset(); });
  s.def("has_handle", [] { return snapshelf::bq() != nullptr; });
  s.def("get_next_friday", [](py::object d) { return snapshelf::get_next_friday(text("date_string", d)); });
  s.def("find_closest_earlier_date", [](py::object t, py::object l) {
    const auto target = text("target_date_str", t);
    const auto list = qd::text_list(list_arg("date_list", l), "date_list");
    return snapshelf::find_closest_earlier_date(target, list);
  });
  s.def("ticker_to_figi", [](py::object tickers, py::object bq) {
    auto svc = qpy::to_service(bq);
    return text_map(snapshelf::ticker_to_figi(list_arg("tickers", tickers), svc));
  });
  s.def("figi_to_ticker", [](py::object figis, py::object bq) {
    auto svc = qpy::to_service(bq);
    return text_map(snapshelf::figi_to_ticker(list_arg("figis", figis), svc));
  });
  s.def("splc_bucket", [] { return snapshelf::SPLC::bucket; });
  s.def("splc_folder_path", [] { return snapshelf::SPLC::folder_path; });
  s.def("splc_dataset_names", [] {
    py::dict d;
    for (const auto& [k, v] : snapshelf::SPLC::dataset_names) d[py::str(k)] = v;
    return d;
  });
  default_file_path();
  s.def("splc_default_file_path", [](const std::string& name, const std::string& date) {
    return default_file_path()(name, date);
  });
  py::class_<snapshelf::SPLC, std::shared_ptr<snapshelf::SPLC>>(s, "SPLC")
      .def(py::init([](py::object as_of_date, py::object dataset, py::object bq, py::object bucket,
                       py::object file_path_func, py::object store_obj) {
             const auto date = opt_text("as_of_date", as_of_date);
             const auto kind = text("dataset", dataset);
             auto svc = qpy::to_service(bq);
             // The store and key builder are this object's own: nothing
             // shared is assigned, so constructions on several threads
             // (each releasing the GIL for its load) do not meet. A store
             // given brings its client and bucket; else the class bucket.
             auto store = store_obj.is_none() ? bucketry::Store::default_store().with_bucket(text("bucket", bucket))
                                              : qpy::store_arg(store_obj);
             snapshelf::SPLC::KeyFunc key_func = default_file_path();
             if (!file_path_func.is_none()) {
               auto fn = keep(std::move(file_path_func));
               key_func = [fn](const std::string& n, const std::string& d) {
                 py::gil_scoped_acquire gil;
                 return text("file_path_func result", (*fn)(n, d));
               };
             }
             py::gil_scoped_release nogil;
             return std::make_shared<snapshelf::SPLC>(date, kind, svc, std::move(store), std::move(key_func));
           }))
      .def("get_distinct", [](const snapshelf::SPLC& self) {
        py::gil_scoped_release nogil;
        return self.get_distinct();
      })
      .def("_load_snapshot", [](snapshelf::SPLC& self, py::object as_of_date) {
        const auto date = opt_text("as_of_date", as_of_date);
        py::gil_scoped_release nogil;
        self._load_snapshot(date);
      })
      .def("get_data", [](const snapshelf::SPLC& self, py::object tickers, py::object start, py::object end) {
        auto t = list_arg("tickers", tickers);
        auto st = opt_text("start", start), en = opt_text("end", end);
        auto f = self.get_data(t, st, en);
        if (f == self.data) return py::make_tuple(true, py::none());
        return py::make_tuple(false, qpy::from_frame_shared(std::move(f)));
      })
      .def("data", [](const snapshelf::SPLC& self) { return qpy::from_frame_shared(self.data); })
      .def_readonly("dataset", &snapshelf::SPLC::dataset)
      .def_readonly("dataset_name", &snapshelf::SPLC::dataset_name);

  qpy::bind_ecoest(s);
  qpy::bind_querywork(m);
  qpy::bind_barwork(m);
  qpy::bind_ta(m);

  // ---------------------------------------------------------------- ta
  auto u = m.def_submodule("ta_utils");
  u.def("verify_series", [](py::object series, py::object min_length) {
    auto v = to_value(min_length);
    std::optional<std::int64_t> n = tautils::detail::int_param("min_length", v);
    return opt_series(tautils::verify_series(ta_series(series), n));
  });
  u.def("get_offset", [](py::object o) { return tautils::get_offset(to_value(o)); });
  u.def("get_drift", [](py::object o) { return tautils::get_drift(to_value(o)); });
  u.def("_apply_offset", [](py::object series, py::object offset) {
    auto in = qpy::to_series(series);
    auto off = tautils::get_offset(to_value(offset));
    return qpy::from_series(tautils::_apply_offset(in, off));
  });
  u.def("_handle_fills", [](py::object series, py::dict kw) {
    auto in = qpy::to_series(series);
    return qpy::from_series(tautils::_handle_fills(in, qpy::to_kwargs(kw)));
  });
  u.def("non_zero_range", [](py::object high, py::object low) {
    return qpy::from_series(tautils::non_zero_range(qpy::to_series(high, "high"), qpy::to_series(low, "low")));
  });
  u.def("signed_series", [](py::object series, py::object initial) {
    auto v = to_value(initial);
    if (!v.is_number()) qd::throw_argument_type("initial", "float", v.type_name());
    return qpy::from_series(tautils::signed_series(qpy::to_series(series), v.as_number()));
  });

  auto o = m.def_submodule("overlap");
#define QPY_ONE(fn)                                                                          \
  o.def(#fn, [](py::object close, py::object length, py::object offset, py::dict kw) {       \
    TaInput c(close);                                                                        \
    auto l = to_value(length), off = to_value(offset);                                       \
    auto k = qpy::to_kwargs(kw);                                                             \
    std::optional<qd::Series> r;                                                             \
    {                                                                                        \
      py::gil_scoped_release nogil;                                                          \
      r = overlap::fn(c, l, off, k);                                                         \
    }                                                                                        \
    return opt_series(std::move(r));                                                         \
  });
  QPY_ONE(sma)
  QPY_ONE(ema)
  QPY_ONE(rma)
  QPY_ONE(dema)
  QPY_ONE(tema)
  QPY_ONE(hma)
#undef QPY_ONE
  o.def("wma", [](py::object close, py::object length, py::object asc, py::object offset, py::dict kw) {
    TaInput c(close);
    auto l = to_value(length), a = to_value(asc), off = to_value(offset);
    auto k = qpy::to_kwargs(kw);
    std::optional<qd::Series> r;
    {
      py::gil_scoped_release nogil;
      r = overlap::wma(c, l, a, off, k);
    }
    return opt_series(std::move(r));
  });
  o.def("hlc3", [](py::object h, py::object l, py::object c, py::object offset, py::dict kw) {
    TaInput hs(h), ls(l), cs(c);
    auto off = to_value(offset);
    auto k = qpy::to_kwargs(kw);
    std::optional<qd::Series> r;
    {
      py::gil_scoped_release nogil;
      r = overlap::hlc3(hs, ls, cs, off, k);
    }
    return opt_series(std::move(r));
  });
  o.def("vwap", [](py::object h, py::object l, py::object c, py::object v, py::object anchor,
                   py::object offset, py::dict kw) {
    TaInput hs(h), ls(l), cs(c), vs(v);
    auto an = to_value(anchor), off = to_value(offset);
    auto k = qpy::to_kwargs(kw);
    std::optional<qd::Series> r;
    {
      py::gil_scoped_release nogil;
      r = overlap::vwap(hs, ls, cs, vs, an, off, k);
    }
    return opt_series(std::move(r));
  });
  o.def("ma", [](py::object mode, py::object source, py::dict kw) {
    auto md = to_value(mode);
    TaInput src(source);
    auto k = qpy::to_kwargs(kw);
    std::optional<qd::Series> r;
    {
      py::gil_scoped_release nogil;
      r = overlap::ma(md, src, k);
    }
    return opt_series(std::move(r));
  });

  auto vmod = m.def_submodule("volume");
  vmod.def("obv", [](py::object c, py::object v, py::object offset, py::dict kw) {
    TaInput cs(c), vs(v);
    auto off = to_value(offset);
    auto k = qpy::to_kwargs(kw);
    std::optional<qd::Series> r;
    {
      py::gil_scoped_release nogil;
      r = volume::obv(cs, vs, off, k);
    }
    return opt_series(std::move(r));
  });
  vmod.def("ad", [](py::object h, py::object l, py::object c, py::object v, py::object offset, py::dict kw) {
    TaInput hs(h), ls(l), cs(c), vs(v);
    auto off = to_value(offset);
    auto k = qpy::to_kwargs(kw);
    std::optional<qd::Series> r;
    {
      py::gil_scoped_release nogil;
      r = volume::ad(hs, ls, cs, vs, off, k);
    }
    return opt_series(std::move(r));
  });
  vmod.def("adosc", [](py::object h, py::object l, py::object c, py::object v, py::object fast, py::object slow,
                       py::object offset, py::dict kw) {
    TaInput hs(h), ls(l), cs(c), vs(v);
    auto f = to_value(fast), sl = to_value(slow), off = to_value(offset);
    auto k = qpy::to_kwargs(kw);
    std::optional<qd::Series> r;
    {
      py::gil_scoped_release nogil;
      r = volume::adosc(hs, ls, cs, vs, f, sl, off, k);
    }
    return opt_series(std::move(r));
  });
  vmod.def("cmf", [](py::object h, py::object l, py::object c, py::object v, py::object length,
                     py::object offset, py::dict kw) {
    TaInput hs(h), ls(l), cs(c), vs(v);
    auto len = to_value(length), off = to_value(offset);
    auto k = qpy::to_kwargs(kw);
    std::optional<qd::Series> r;
    {
      py::gil_scoped_release nogil;
      r = volume::cmf(hs, ls, cs, vs, len, off, k);
    }
    return opt_series(std::move(r));
  });
}
