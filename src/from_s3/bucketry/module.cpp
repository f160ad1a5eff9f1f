// Module values of bucketry: SHOW_WARNINGS and BUCKET from the process
// settings, and the store client, created from the environment at its first
// use (not while the library loads), with its load-time warning then.
#include <exception>
#include <mutex>

#include "from_s3/bucketry/client.hpp"
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

const bool SHOW_WARNINGS = settings().show_warnings;
const std::string BUCKET = settings().bucket;

namespace {
struct ClientSlot {
  std::once_flag created;
  std::mutex mu;
  std::shared_ptr<store::S3Client> client;
  std::exception_ptr failure;  // why the client could not be created
};
// The slot once the module-wide client has been made.
ClientSlot& slot() {
  static ClientSlot s;
  std::call_once(s.created, [] {
    std::exception_ptr failure;
    auto c = detail::create_client_at_load(
        SHOW_WARNINGS, [] { return store::S3Client::from_environment(); }, &failure);
    std::lock_guard<std::mutex> lock(s.mu);
    s.client = std::move(c);
    s.failure = failure;
  });
  return s;
}
}  // namespace

std::shared_ptr<store::S3Client> s3_client() {
  ClientSlot& s = slot();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.client;
}

std::shared_ptr<store::S3Client> set_s3_client(std::shared_ptr<store::S3Client> client) {
  // The client it replaces is the one the module would have used: made
  // first, so that it is handed back to be put back later.
  ClientSlot& s = slot();
  std::lock_guard<std::mutex> lock(s.mu);
  std::swap(s.client, client);
  s.failure = nullptr;
  return client;
}

std::string s3_client_load_error() {
  ClientSlot& s = slot();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.failure) return {};
  try {
    std::rethrow_exception(s.failure);
  } catch (const std::exception& e) {
    return e.what();
  }
}

namespace detail {

std::exception_ptr client_load_failure() {
  ClientSlot& s = slot();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.failure;
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
