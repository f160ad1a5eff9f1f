// quorin_data._quorin.bucketry: the object store for Python. Every operation
// takes a store (the module's, or a Store made in Python) and the bucket and
// prefix of the call; the module functions are the module store's.
#include <pybind11/iostream.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <iostream>
#include <limits>

#include "args.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "from_s3/bucketry/client.hpp"
#include "quorin_data/formats/serialize.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

namespace bucketry = quorin_data::from_s3::bucketry;

namespace qpy {

namespace {

struct StoreClient {
  std::shared_ptr<qd::store::S3Client> client;
};

// A store as Python holds it. The module's takes the module-wide client at
// each call (as the module functions do); one connected from Python keeps
// its own client.
struct PyStore {
  bool module_client = true;
  bucketry::Store store;

  bucketry::Store get() const {
    if (!module_client) return store;
    return bucketry::Store::default_store().with_bucket(store.bucket(), store.prefix());
  }
};

const PyStore& module_store() {
  static const PyStore* s = new PyStore{true, bucketry::store_on(nullptr, bucketry::BUCKET, std::string(bucketry::PREFIX))};
  return *s;
}

py::object read_from(const PyStore& st, py::object f, py::object fmt, py::object bk, py::object p, py::object chunks,
                     py::object size, bool allow_python_pickle) {
  const auto fv = to_value(f), fmtv = to_value(fmt), bv = to_value(bk), pv = to_value(p), cv = to_value(chunks),
             sv = to_value(size);
  const bucketry::Store store = st.get();
  if (fmtv.is_str() && fmtv.as_str() == "pickle") {
    bucketry::PickleRead r;
    {
      py::gil_scoped_release nogil;
      r = bucketry::dynamic::read_pickle(store, fv, bv, pv, cv, sv, allow_python_pickle);
    }
    if (!r.python_pickle) return from_value(std::move(r.value));
    const auto& bytes = r.value.as_bytes().data;
    return py::module_::import("pickle").attr("loads")(bytes_of(bytes.data(), bytes.size()));
  }
  qd::Value v;
  {
    py::gil_scoped_release nogil;
    v = bucketry::dynamic::read_from_s3(store, fv, fmtv, bv, pv, cv, sv);
  }
  return from_value(std::move(v));
}

py::object read_chunks(const PyStore& st, py::object bk, py::object key, py::object size) {
  auto bv = to_value(bk), kv = to_value(key), sv = to_value(size);
  const bucketry::Store store = st.get();
  qd::Frame f;
  {
    py::gil_scoped_release nogil;
    f = bucketry::dynamic::read_by_chunks(store, bv, kv, sv);
  }
  return from_frame(std::move(f));
}

void write_to(const PyStore& st, py::object data, py::object f, py::object fmt, py::object index, py::object bk,
              py::object p) {
  const bool pickle = PyUnicode_Check(fmt.ptr()) && fmt.cast<std::string>() == "pickle";
  auto dv = to_value(data, pickle ? Mode::Exact : Mode::Loose);
  auto fv = to_value(f), fmtv = to_value(fmt), iv = to_value(index), bv = to_value(bk), pv = to_value(p);
  const bucketry::Store store = st.get();
  py::gil_scoped_release nogil;
  bucketry::dynamic::write_to_s3(store, dv, fv, fmtv, iv, bv, pv);
}

std::vector<std::string> list_objects(const PyStore& st, py::object f, py::object bk, py::object p) {
  auto fv = to_value(f), bv = to_value(bk), pv = to_value(p);
  const bucketry::Store store = st.get();
  py::gil_scoped_release nogil;
  return bucketry::dynamic::list_s3_objects(store, fv, bv, pv);
}

bool path_exists(const PyStore& st, py::object f, py::object bk, py::object p) {
  auto fv = to_value(f), bv = to_value(bk), pv = to_value(p);
  const bucketry::Store store = st.get();
  py::gil_scoped_release nogil;
  return bucketry::dynamic::s3_path_exists(store, fv, bv, pv);
}

void delete_object(const PyStore& st, py::object f, py::object bk, py::object p) {
  auto fv = to_value(f), bv = to_value(bk), pv = to_value(p);
  const bucketry::Store store = st.get();
  py::gil_scoped_release nogil;
  bucketry::dynamic::delete_s3_object(store, fv, bv, pv);
}

void delete_folder(const PyStore& st, py::object f, py::object bk, py::object p) {
  auto fv = to_value(f), bv = to_value(bk), pv = to_value(p);
  const bucketry::Store store = st.get();
  // Its report line goes to sys.stdout (a notebook shows it).
  py::scoped_ostream_redirect out(std::cout, py::module_::import("sys").attr("stdout"));
  py::gil_scoped_release nogil;
  bucketry::dynamic::delete_s3_folder(store, fv, bv, pv);
}

// A whole-number option of Store(): None keeps `fallback`.
template <typename T>
T count_option(const char* name, py::handle v, T fallback) {
  if (v.is_none()) return fallback;
  if (PyBool_Check(v.ptr()) || !PyLong_Check(v.ptr())) qd::throw_argument_type(name, "int", type_name(v));
  const long long n = v.cast<long long>();
  if (n < 1 || static_cast<unsigned long long>(n) > std::numeric_limits<T>::max())
    throw qd::ValueError(std::string(name) + " must be a whole number from 1 to " +
                         std::to_string(std::numeric_limits<T>::max()) + ", got " + std::to_string(n));
  return static_cast<T>(n);
}

PyStore connect(py::object bucket, py::object prefix, py::object endpoint_url, py::object region,
                py::object access_key_id, py::object secret_access_key, py::object session_token,
                py::object max_attempts, py::object max_concurrency, py::object multipart_threshold,
                py::object part_size, py::object download_part_size, py::object max_response_bytes) {
  auto b = text("bucket", bucket);
  auto p = opt_text("prefix", prefix);
  const bool own = !(endpoint_url.is_none() && region.is_none() && access_key_id.is_none() &&
                     secret_access_key.is_none() && session_token.is_none() && max_attempts.is_none() &&
                     max_concurrency.is_none() && multipart_threshold.is_none() && part_size.is_none() &&
                     download_part_size.is_none() && max_response_bytes.is_none());
  // No connection option: the module's client, made as the module makes it.
  if (!own) return PyStore{true, bucketry::store_on(nullptr, std::move(b), std::move(p))};
  bucketry::StoreOptions o = bucketry::StoreOptions::from_environment();
  if (auto v = opt_text("endpoint_url", endpoint_url)) o.endpoint = *v;
  if (auto v = opt_text("region", region)) o.region = *v;
  if (auto v = opt_text("access_key_id", access_key_id)) o.access_key_id = *v;
  if (auto v = opt_text("secret_access_key", secret_access_key)) o.secret_access_key = *v;
  if (auto v = opt_text("session_token", session_token)) o.session_token = *v;
  o.max_attempts = count_option<int>("max_attempts", max_attempts, o.max_attempts);
  o.max_concurrency = count_option<int>("max_concurrency", max_concurrency, o.max_concurrency);
  o.multipart_threshold = count_option<std::size_t>("multipart_threshold", multipart_threshold, o.multipart_threshold);
  o.part_size = count_option<std::size_t>("part_size", part_size, o.part_size);
  // 0 is meaningful here: one plain GET whatever the size.
  if (!download_part_size.is_none() && PyLong_Check(download_part_size.ptr()) && !PyBool_Check(download_part_size.ptr()) &&
      download_part_size.cast<long long>() == 0)
    o.download_part_size = 0;
  else
    o.download_part_size = count_option<std::size_t>("download_part_size", download_part_size, o.download_part_size);
  o.max_response_bytes = count_option<std::size_t>("max_response_bytes", max_response_bytes, o.max_response_bytes);
  return PyStore{false, bucketry::Store::connect(o, std::move(b), std::move(p))};
}

}  // namespace

bucketry::Store store_arg(py::handle store) {
  if (store.is_none()) return bucketry::Store::default_store();
  if (!py::isinstance<PyStore>(store)) qd::throw_argument_type("store", "Store", type_name(store));
  return store.cast<const PyStore&>().get();
}

void bind_bucketry(py::module_& m) {
  auto b = m.def_submodule("bucketry");
  py::class_<StoreClient>(b, "S3Client", "The module-wide object store client.")
      .def("__repr__", [](const StoreClient&) { return "<quorin_data S3 client>"; });
  b.attr("SHOW_WARNINGS") = bucketry::SHOW_WARNINGS;
  b.attr("BUCKET") = bucketry::BUCKET;
  b.attr("PREFIX") = std::string(bucketry::PREFIX);
  b.def("s3_client", []() -> py::object {
    auto c = bucketry::s3_client();
    if (!c) return py::none();
    return py::cast(StoreClient{c});
  });

  py::class_<PyStore>(b, "Store", "A store: a client with its bucket and prefix.")
      .def(py::init(&connect), py::arg("bucket"), py::arg("prefix"), py::arg("endpoint_url"), py::arg("region"),
           py::arg("access_key_id"), py::arg("secret_access_key"), py::arg("session_token"),
           py::arg("max_attempts"), py::arg("max_concurrency"), py::arg("multipart_threshold"),
           py::arg("part_size"), py::arg("download_part_size"), py::arg("max_response_bytes"))
      .def_property_readonly("bucket", [](const PyStore& s) { return s.store.bucket(); })
      .def_property_readonly("prefix", [](const PyStore& s) { return s.store.prefix(); })
      .def_property_readonly("module_client", [](const PyStore& s) { return s.module_client; })
      .def("list_s3_objects", &list_objects)
      .def("s3_path_exists", &path_exists)
      .def("read_from_s3", &read_from)
      .def("read_by_chunks", &read_chunks)
      .def("write_to_s3", &write_to)
      .def("delete_s3_object", &delete_object)
      .def("delete_s3_folder", &delete_folder);

  b.def("list_s3_objects", [](py::object f, py::object bk, py::object p) { return list_objects(module_store(), f, bk, p); });
  b.def("s3_path_exists", [](py::object f, py::object bk, py::object p) { return path_exists(module_store(), f, bk, p); });
  b.def("read_from_s3", [](py::object f, py::object fmt, py::object bk, py::object p, py::object chunks,
                           py::object size, bool allow_python_pickle) {
    return read_from(module_store(), f, fmt, bk, p, chunks, size, allow_python_pickle);
  });
  b.def("read_by_chunks", [](py::object bk, py::object key, py::object size) {
    return read_chunks(module_store(), bk, key, size);
  });
  b.def("write_to_s3", [](py::object data, py::object f, py::object fmt, py::object index, py::object bk,
                          py::object p) { write_to(module_store(), data, f, fmt, index, bk, p); });
  b.def("delete_s3_object", [](py::object f, py::object bk, py::object p) { delete_object(module_store(), f, bk, p); });
  b.def("delete_s3_folder", [](py::object f, py::object bk, py::object p) { delete_folder(module_store(), f, bk, p); });
  b.def("delete_local_folder", [](py::object f) {
    auto fv = to_value(f);
    // Its report lines go to sys.stdout (a notebook shows them).
    py::scoped_ostream_redirect out(std::cout, py::module_::import("sys").attr("stdout"));
    py::gil_scoped_release nogil;
    bucketry::dynamic::delete_local_folder(fv);
  });
}

}  // namespace qpy
