// The Value forms: argument kinds checked before any store call, then the
// typed operations.
#include <charconv>
#include <cmath>
#include <limits>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

namespace quorin_data::from_s3::bucketry::dynamic {

namespace {

const std::string& text_arg(const char* name, const Value& v) {
  if (!v.is_str()) throw_argument_type(name, "str", v.type_name());
  return v.as_str();
}

std::optional<std::string> optional_text_arg(const char* name, const Value& v) {
  if (v.is_none()) return std::nullopt;
  if (!v.is_str()) throw_argument_type(name, "str", v.type_name());
  return v.as_str();
}

// An integer from an int, a bool, a finite float (truncated toward zero) or a
// text holding an integer (surrounding blanks allowed).
std::int64_t integer_arg(const char* name, const Value& v) {
  if (v.is_int()) return v.as_int();
  if (v.is_bool()) return v.as_bool() ? 1 : 0;
  if (v.is_float()) {
    const double d = v.as_float();
    if (std::isfinite(d) && d > -9.2e18 && d < 9.2e18) return static_cast<std::int64_t>(std::trunc(d));
  } else if (v.is_str()) {
    const std::string& s = v.as_str();
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    if (b < e && s[b] == '+') ++b;
    std::int64_t out = 0;
    auto [p, ec] = std::from_chars(s.data() + b, s.data() + e, out);
    if (b < e && ec == std::errc() && p == s.data() + e) return out;
  }
  throw_argument_type(name, "int", v.type_name());
}

}  // namespace

std::vector<std::string> list_s3_objects(const Store& store, const Value& folder_path, const Value& bucket,
                                         const Value& prefix) {
  const auto& f = text_arg("folder_path", folder_path);
  const auto& b = text_arg("bucket", bucket);
  return store.with_bucket(b, optional_text_arg("prefix", prefix)).list_s3_objects(f);
}

bool s3_path_exists(const Store& store, const Value& file_path, const Value& bucket, const Value& prefix) {
  const auto& f = text_arg("file_path", file_path);
  const auto& b = text_arg("bucket", bucket);
  return store.with_bucket(b, optional_text_arg("prefix", prefix)).s3_path_exists(f);
}

Value read_from_s3(const Store& store, const Value& file_path, const Value& data_format, const Value& bucket,
                   const Value& prefix, const Value& by_chunks, const Value& chunksize) {
  const auto& f = text_arg("file_path", file_path);
  const auto& fmt = text_arg("data_format", data_format);
  const auto& b = text_arg("bucket", bucket);
  auto p = optional_text_arg("prefix", prefix);
  const bool chunks = by_chunks.truthy();
  const std::int64_t n = integer_arg("chunksize", chunksize);
  return store.with_bucket(b, std::move(p)).read_from_s3(f, fmt, chunks, n);
}

PickleRead read_pickle(const Store& store, const Value& file_path, const Value& bucket, const Value& prefix,
                       const Value& by_chunks, const Value& chunksize, bool allow_python_pickle) {
  const auto& f = text_arg("file_path", file_path);
  const auto& b = text_arg("bucket", bucket);
  auto p = optional_text_arg("prefix", prefix);
  (void)by_chunks.truthy();
  (void)integer_arg("chunksize", chunksize);
  return store.with_bucket(b, std::move(p)).read_pickle(f, allow_python_pickle);
}

Frame read_by_chunks(const Store& store, const Value& bucket, const Value& key, const Value& chunksize) {
  const auto& b = text_arg("bucket", bucket);
  const auto& k = text_arg("key", key);
  const std::int64_t n = integer_arg("chunksize", chunksize);
  return store.with_bucket(b, std::string()).read_by_chunks(k, n);
}

void write_to_s3(const Store& store, const Value& data, const Value& file_path, const Value& data_format,
                 const Value& index, const Value& bucket, const Value& prefix) {
  const auto& f = text_arg("file_path", file_path);
  const auto& fmt = text_arg("data_format", data_format);
  const bool idx = index.truthy();
  const auto& b = text_arg("bucket", bucket);
  store.with_bucket(b, optional_text_arg("prefix", prefix)).write_to_s3(data, f, fmt, idx);
}

void delete_s3_object(const Store& store, const Value& file_path, const Value& bucket, const Value& prefix) {
  const auto& f = text_arg("file_path", file_path);
  const auto& b = text_arg("bucket", bucket);
  store.with_bucket(b, optional_text_arg("prefix", prefix)).delete_s3_object(f);
}

void delete_s3_folder(const Store& store, const Value& folder_path, const Value& bucket, const Value& prefix) {
  const auto& f = text_arg("folder_path", folder_path);
  const auto& b = text_arg("bucket", bucket);
  store.with_bucket(b, optional_text_arg("prefix", prefix)).delete_s3_folder(f);
}

std::vector<std::string> list_s3_objects(const Value& folder_path, const Value& bucket, const Value& prefix) {
  return list_s3_objects(Store::default_store(), folder_path, bucket, prefix);
}

bool s3_path_exists(const Value& file_path, const Value& bucket, const Value& prefix) {
  return s3_path_exists(Store::default_store(), file_path, bucket, prefix);
}

Value read_from_s3(const Value& file_path, const Value& data_format, const Value& bucket, const Value& prefix,
                   const Value& by_chunks, const Value& chunksize) {
  return read_from_s3(Store::default_store(), file_path, data_format, bucket, prefix, by_chunks, chunksize);
}

Frame read_by_chunks(const Value& bucket, const Value& key, const Value& chunksize) {
  return read_by_chunks(Store::default_store(), bucket, key, chunksize);
}

void write_to_s3(const Value& data, const Value& file_path, const Value& data_format, const Value& index,
                 const Value& bucket, const Value& prefix) {
  write_to_s3(Store::default_store(), data, file_path, data_format, index, bucket, prefix);
}

void delete_s3_object(const Value& file_path, const Value& bucket, const Value& prefix) {
  delete_s3_object(Store::default_store(), file_path, bucket, prefix);
}

void delete_s3_folder(const Value& folder_path, const Value& bucket, const Value& prefix) {
  delete_s3_folder(Store::default_store(), folder_path, bucket, prefix);
}

void delete_local_folder(const Value& folder_path) {
  bucketry::delete_local_folder(text_arg("folder_path", folder_path));
}

}  // namespace quorin_data::from_s3::bucketry::dynamic
