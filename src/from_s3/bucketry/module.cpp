// Module values of bucketry, set once at library load in this order:
// SHOW_WARNINGS, the store client, BUCKET.
#include <exception>
#include <mutex>

#include "from_s3/bucketry/internal.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

namespace quorin_data::from_s3::bucketry {

namespace detail {

std::shared_ptr<store::S3Client> create_client_at_load(
    bool show_warnings, const std::function<std::shared_ptr<store::S3Client>()>& factory,
    std::exception_ptr* failure) {
  std::shared_ptr<store::S3Client> client;
  try {
    client = factory();
  } catch (const std::exception& e) {
    // A misconfigured store, not a missing component: its cause is kept for
    // the first call that needs the client.
    if (failure) *failure = std::current_exception();
    if (show_warnings) warn(std::string("the S3 client could not be created: ") + e.what());
    return nullptr;
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
  std::exception_ptr failure;  // why the client could not be created at load
};
ClientSlot& slot() {
  static ClientSlot s;
  return s;
}
// Created during static initialisation, after SHOW_WARNINGS and before BUCKET.
const bool client_loaded = [] {
  std::exception_ptr failure;
  auto c = detail::create_client_at_load(
      SHOW_WARNINGS, [] { return store::S3Client::from_environment(); }, &failure);
  std::lock_guard<std::mutex> lock(slot().mu);
  slot().client = std::move(c);
  slot().failure = failure;
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
  slot().failure = nullptr;
  return client;
}

std::string s3_client_load_error() {
  (void)client_loaded;
  std::lock_guard<std::mutex> lock(slot().mu);
  if (!slot().failure) return {};
  try {
    std::rethrow_exception(slot().failure);
  } catch (const std::exception& e) {
    return e.what();
  }
}

namespace detail {

std::exception_ptr client_load_failure() {
  (void)client_loaded;
  std::lock_guard<std::mutex> lock(slot().mu);
  return slot().failure;
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
