// Store: a client with its bucket and prefix; the module functions over them.
#include "from_s3/bucketry/internal.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

namespace quorin_data::from_s3::bucketry {

Store Store::default_store() { return Store(s3_client(), BUCKET, std::string(PREFIX)); }

Store Store::connect(const StoreConfig& config, std::string bucket, std::optional<std::string> prefix) {
  store::ClientConfig cfg;
  cfg.endpoint = config.endpoint;
  cfg.region = config.region;
  cfg.path_style = !cfg.endpoint.empty();
  cfg.max_concurrency = config.max_concurrency;
  if (config.access_key_id.empty() && config.secret_access_key.empty()) {
    cfg.provider = std::make_shared<store::DefaultCredentialsChain>();
  } else {
    cfg.creds.access_key_id = config.access_key_id;
    cfg.creds.secret_access_key = config.secret_access_key;
    cfg.creds.session_token = config.session_token;
    cfg.creds.source = "store configuration";
  }
  return Store(std::make_shared<store::S3Client>(std::move(cfg)), std::move(bucket), std::move(prefix));
}

Store::Store(std::shared_ptr<store::S3Client> client, std::string bucket, std::optional<std::string> prefix)
    : client_(std::move(client)), bucket_(std::move(bucket)), prefix_(std::move(prefix)) {}

Store Store::with_bucket(std::string bucket, std::optional<std::string> prefix) const {
  return Store(client_, std::move(bucket), std::move(prefix));
}

std::vector<std::string> Store::list_s3_objects(const std::string& folder_path) const {
  detail::ClientScope scope(client_);
  return bucketry::list_s3_objects(folder_path, bucket_, prefix_);
}

bool Store::s3_path_exists(const std::string& file_path) const {
  detail::ClientScope scope(client_);
  return bucketry::s3_path_exists(file_path, bucket_, prefix_);
}

Value Store::read_from_s3(const std::string& file_path, const std::string& data_format, bool by_chunks,
                          std::int64_t chunksize) const {
  detail::ClientScope scope(client_);
  return bucketry::read_from_s3(file_path, data_format, bucket_, prefix_, by_chunks, chunksize);
}

Frame Store::read_by_chunks(const std::string& key, std::int64_t chunksize) const {
  detail::ClientScope scope(client_);
  return bucketry::read_by_chunks(bucket_, key, chunksize);
}

void Store::write_to_s3(const Value& data, const std::string& file_path, const std::string& data_format,
                        bool index) const {
  detail::ClientScope scope(client_);
  bucketry::write_to_s3(data, file_path, data_format, index, bucket_, prefix_);
}

void Store::delete_s3_object(const std::string& file_path) const {
  detail::ClientScope scope(client_);
  bucketry::delete_s3_object(file_path, bucket_, prefix_);
}

void Store::delete_s3_folder(const std::string& folder_path) const {
  detail::ClientScope scope(client_);
  bucketry::delete_s3_folder(folder_path, bucket_, prefix_);
}

}  // namespace quorin_data::from_s3::bucketry
