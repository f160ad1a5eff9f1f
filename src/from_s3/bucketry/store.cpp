// Store: a client with its bucket and prefix. The operations themselves are
// Store's (listing.cpp, reading.cpp, writing.cpp); the module functions are
// the default store's, over the bucket and prefix they are given.
#include "from_s3/bucketry/client.hpp"
#include "from_s3/bucketry/internal.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

namespace quorin_data::from_s3::bucketry {

namespace {

Store default_over(const std::string& bucket, std::optional<std::string> prefix) {
  return Store::default_store().with_bucket(bucket, std::move(prefix));
}

}  // namespace

namespace detail {

Store StoreAccess::make(std::shared_ptr<store::S3Client> client, std::exception_ptr missing, std::string bucket,
                        std::optional<std::string> prefix) {
  return Store(std::make_shared<const Connection>(Connection{std::move(client), std::move(missing)}),
               std::move(bucket), std::move(prefix));
}

}  // namespace detail

Store Store::default_store() {
  return detail::StoreAccess::make(s3_client(), detail::client_load_failure(), BUCKET, std::string(PREFIX));
}

StoreOptions StoreOptions::from_environment() {
  const store::ClientConfig env = store::S3Client::config_from_environment();
  StoreOptions o;
  o.endpoint = env.endpoint;
  o.region = env.region;
  o.max_attempts = env.max_attempts;
  return o;
}

Store Store::connect(const StoreOptions& options, std::string bucket, std::optional<std::string> prefix) {
  const auto positive = [](const char* name, long long v) {
    if (v < 1) throw ValueError(std::string(name) + " must be at least 1, got " + std::to_string(v));
  };
  positive("max_attempts", options.max_attempts);
  positive("max_concurrency", options.max_concurrency);
  positive("part_size", static_cast<long long>(options.part_size));
  positive("max_response_bytes", static_cast<long long>(options.max_response_bytes));
  if (options.access_key_id.empty() != options.secret_access_key.empty())
    throw ValueError("access_key_id and secret_access_key are given together (or neither, for the default chain)");
  store::ClientConfig cfg;
  cfg.endpoint = options.endpoint;
  cfg.region = options.region;
  cfg.path_style = !cfg.endpoint.empty();
  cfg.max_attempts = options.max_attempts;
  cfg.max_concurrency = options.max_concurrency;
  cfg.multipart_threshold = options.multipart_threshold;
  cfg.part_size = options.part_size;
  cfg.download_part_size = options.download_part_size;
  cfg.max_response_bytes = options.max_response_bytes;
  if (options.access_key_id.empty() && options.secret_access_key.empty()) {
    cfg.provider = std::make_shared<store::DefaultCredentialsChain>();
  } else {
    cfg.creds.access_key_id = options.access_key_id;
    cfg.creds.secret_access_key = options.secret_access_key;
    cfg.creds.session_token = options.session_token;
    cfg.creds.source = "store configuration";
  }
  return store_on(std::make_shared<store::S3Client>(std::move(cfg)), std::move(bucket), std::move(prefix));
}

Store::Store(std::shared_ptr<const detail::Connection> connection, std::string bucket,
             std::optional<std::string> prefix)
    : connection_(std::move(connection)), bucket_(std::move(bucket)), prefix_(std::move(prefix)) {}

Store Store::with_bucket(std::string bucket, std::optional<std::string> prefix) const {
  return Store(connection_, std::move(bucket), std::move(prefix));
}

std::shared_ptr<store::S3Client> require_client(const Store& s) {
  const detail::Connection& c = detail::StoreAccess::connection(s);
  if (c.client) return c.client;
  if (c.missing) std::rethrow_exception(c.missing);
  throw NameError("name 's3_client' is not defined");
}

Frame Store::read_by_chunks(const std::string& key, std::int64_t chunksize) const {
  return read_by_chunks(key, chunksize, formats::CsvOptions{});
}

// ------------------------------------------------------------------ module functions

std::vector<std::string> list_s3_objects(const std::string& folder_path, const std::string& bucket,
                                         std::optional<std::string> prefix) {
  return default_over(bucket, std::move(prefix)).list_s3_objects(folder_path);
}

bool s3_path_exists(const std::string& file_path, const std::string& bucket, std::optional<std::string> prefix) {
  return default_over(bucket, std::move(prefix)).s3_path_exists(file_path);
}

Value read_from_s3(const std::string& file_path, const std::string& data_format, const std::string& bucket,
                   std::optional<std::string> prefix, bool by_chunks, std::int64_t chunksize) {
  return default_over(bucket, std::move(prefix)).read_from_s3(file_path, data_format, by_chunks, chunksize);
}

Frame read_by_chunks(const std::string& bucket, const std::string& key, std::int64_t chunksize) {
  return default_over(bucket, std::string()).read_by_chunks(key, chunksize);
}

Frame read_by_chunks(const std::string& bucket, const std::string& key, std::int64_t chunksize,
                     const formats::CsvOptions& options) {
  return default_over(bucket, std::string()).read_by_chunks(key, chunksize, options);
}

void write_to_s3(const Value& data, const std::string& file_path, const std::string& data_format, bool index,
                 const std::string& bucket, std::optional<std::string> prefix) {
  default_over(bucket, std::move(prefix)).write_to_s3(data, file_path, data_format, index);
}

void delete_s3_object(const std::string& file_path, const std::string& bucket, std::optional<std::string> prefix) {
  default_over(bucket, std::move(prefix)).delete_s3_object(file_path);
}

void delete_s3_folder(const std::string& folder_path, const std::string& bucket,
                      std::optional<std::string> prefix) {
  default_over(bucket, std::move(prefix)).delete_s3_folder(folder_path);
}

}  // namespace quorin_data::from_s3::bucketry
