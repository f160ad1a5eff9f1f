// The store client behind bucketry, for the library's own sources, its
// tests, benches and bindings: the module-wide client and the client of a
// Store. The public header names no client type (its header is not
// installed); what reaches the client goes through here.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "quorin_data/from_s3/bucketry.hpp"
#include "store/s3_client.hpp"

namespace quorin_data::from_s3::bucketry {

// The module-wide store client, created at the first call that needs it from
// the default credential, region and endpoint chain; null when it could not
// be created. Then every operation that needs it raises the error that
// prevented it (a misconfigured store, e.g. an endpoint that is not
// http(s)), or NameError "name 's3_client' is not defined" when there was none.
std::shared_ptr<store::S3Client> s3_client();
// Replaces the module-wide client (tests, tools); returns the previous one.
std::shared_ptr<store::S3Client> set_s3_client(std::shared_ptr<store::S3Client> client);
// The message of the error that kept the client from being created;
// empty when it was created (or replaced since).
std::string s3_client_load_error();

namespace detail {

// What a Store holds of its client: the client, or why there is none.
// Copies of a Store (and with_bucket) share it.
struct Connection {
  std::shared_ptr<store::S3Client> client;
  std::exception_ptr missing;  // why the module-wide client could not be created
};

// The way into a Store's private connection.
struct StoreAccess {
  static Store make(std::shared_ptr<store::S3Client> client, std::exception_ptr missing, std::string bucket,
                    std::optional<std::string> prefix);
  static const Connection& connection(const Store& s) { return *s.connection_; }
};

}  // namespace detail

// A store on `client` (null: a store whose operations raise NameError "name
// 's3_client' is not defined").
inline Store store_on(std::shared_ptr<store::S3Client> client, std::string bucket,
                      std::optional<std::string> prefix = std::string(PREFIX)) {
  return detail::StoreAccess::make(std::move(client), nullptr, std::move(bucket), std::move(prefix));
}

// The client of a store (null when it has none).
inline const std::shared_ptr<store::S3Client>& client_of(const Store& s) {
  return detail::StoreAccess::connection(s).client;
}

// The client, or the error an operation raises without one: why the
// module-wide client could not be created, else NameError "name
// 's3_client' is not defined". For readers of objects in ranges (ECOEST).
std::shared_ptr<store::S3Client> require_client(const Store& s);

}  // namespace quorin_data::from_s3::bucketry
