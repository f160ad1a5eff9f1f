// quorin_data._quorin.snapshelf: the module's load steps and helpers, and the
// SPLC and ECOEST datasets.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "bindings.hpp"
#include "bql_bridge.hpp"
#include "convert.hpp"
#include "quorin_data/from_s3/snapshelf.hpp"
#include "quorin_data/from_s3/snapshelf/ecoest.hpp"

namespace qpy {

namespace {

namespace bucketry = quorin_data::from_s3::bucketry;
namespace snapshelf = quorin_data::from_s3::snapshelf;

py::dict text_map(const snapshelf::TextMap& m) {
  py::dict out;
  for (const auto& [k, v] : m) out[py::str(k)] = v;
  return out;
}

// SPLC's key builder as the library defines it, before a caller replaces it.
const std::function<std::string(const std::string&, const std::string&)>& default_file_path() {
  static const auto f = snapshelf::SPLC::file_path_func;
  return f;
}

// The store a dataset reads: the one given, else the module's store on the
// class bucket passed in.
bucketry::Store dataset_store(py::handle store, py::handle bucket) {
  return store.is_none() ? bucketry::Store::default_store().with_bucket(text("bucket", bucket)) : store_arg(store);
}

void bind_splc(py::module_& s) {
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
             auto svc = to_service(bq);
             // The store and key builder are this object's own: nothing
             // shared is assigned, so constructions on several threads
             // (each releasing the GIL for its load) do not meet.
             auto store = dataset_store(store_obj, bucket);
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
        return py::make_tuple(false, from_frame_shared(std::move(f)));
      })
      .def("data", [](const snapshelf::SPLC& self) { return from_frame_shared(self.data); })
      .def_readonly("dataset", &snapshelf::SPLC::dataset)
      .def_readonly("dataset_name", &snapshelf::SPLC::dataset_name);
}

void bind_ecoest(py::module_& s) {
  s.def("ecoest_bucket", [] { return snapshelf::ECOEST::bucket; });
  s.def("ecoest_file_path", [] { return snapshelf::ECOEST::file_path; });
  py::class_<snapshelf::ECOEST, std::shared_ptr<snapshelf::ECOEST>>(s, "ECOEST")
      .def(py::init([](py::object as_of_date, py::object bucket, py::object file_path, py::object store_obj) {
        // The store and key are this object's own, as for SPLC.
        auto store = dataset_store(store_obj, bucket);
        std::string key = text("file_path", file_path);
        auto wanted = opt_text("as_of_date", as_of_date);
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

}  // namespace

void bind_snapshelf(py::module_& m) {
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
    auto svc = to_service(bq);
    return text_map(snapshelf::ticker_to_figi(list_arg("tickers", tickers), svc));
  });
  s.def("figi_to_ticker", [](py::object figis, py::object bq) {
    auto svc = to_service(bq);
    return text_map(snapshelf::figi_to_ticker(list_arg("figis", figis), svc));
  });
  bind_splc(s);
  bind_ecoest(s);
}

}  // namespace qpy
