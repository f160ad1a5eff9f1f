// Module values of bucketry, set once at library load in this order:
// SHOW_WARNINGS, the store client, BUCKET.
#include <mutex>

#include "from_s3/bucketry/internal.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

namespace quorin_data::from_s3::bucketry {

namespace detail {

std::shared_ptr<store::S3Client> create_client_at_load(
    bool show_warnings, const std::function<std::shared_ptr<store::S3Client>()>& factory) {
  std::shared_ptr<store::S3Client> client;
  try {
    client = factory();
  } catch (const std::exception&) {
    client.reset();
  }
  if (!client && show_warnings) warn("'boto3' is not installed.");
  return client;
}

}  // namespace detail

const bool SHOW_WARNINGS = read_show_warnings();

namespace {
struct ClientSlot {
  std::mutex mu;
  std::shared_ptr<store::S3Client> client;
};
ClientSlot& slot() {
  static ClientSlot s;
  return s;
}
// Created during static initialisation, after SHOW_WARNINGS and before BUCKET.
const bool client_loaded = [] {
  auto c = detail::create_client_at_load(SHOW_WARNINGS, [] { return store::S3Client::from_environment(); });
  std::lock_guard<std::mutex> lock(slot().mu);
  slot().client = std::move(c);
  return true;
}();
}  // namespace

const std::string BUCKET = env_or("TRELUX_SANDBOX_BUCKET", "NOT_DEFINED");

std::shared_ptr<store::S3Client> s3_client() {
  std::lock_guard<std::mutex> lock(slot().mu);
  return slot().client;
}

std::shared_ptr<store::S3Client> set_s3_client(std::shared_ptr<store::S3Client> client) {
  std::lock_guard<std::mutex> lock(slot().mu);
  std::swap(slot().client, client);
  return client;
}

namespace detail {

std::shared_ptr<store::S3Client> require_client() {
  (void)client_loaded;
  auto c = s3_client();
  if (!c) throw NameError("name 's3_client' is not defined");
  return c;
}

std::string join_key(const std::optional<std::string>& prefix, const std::string& path) {
  if (!prefix) throw TypeError("unsupported operand type(s) for +: 'NoneType' and 'str'");
  return *prefix + "/" + path;
}

std::string object_name(const std::string& bucket, const std::string& key) {
  return "s3://" + bucket + "/" + key;
}

}  // namespace detail
}  // namespace quorin_data::from_s3::bucketry
