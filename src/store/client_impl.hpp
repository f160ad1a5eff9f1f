// The inside of S3Client, shared by the sources of its operations.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "store/request.hpp"
#include "store/retry.hpp"
#include "store/s3_client.hpp"
#include "store/transport.hpp"

namespace quorin_data::store {

struct S3Client::Impl {
  ClientConfig cfg;
  detail::Addressing addr;
  bool custom_endpoint = false;
  std::shared_ptr<CredentialsProvider> provider;
  detail::RetryPolicy retry;
  detail::Timeouts timeouts;
  std::unique_ptr<detail::ConnectionPool> pool;
  mutable std::mutex stats_mu;
  RequestStats st;

  explicit Impl(const ClientConfig& c);

  void count(std::uint64_t RequestStats::*field) {
    std::lock_guard<std::mutex> l(stats_mu);
    ++(st.*field);
  }

  std::string resource(const detail::Request& r) const {
    return "s3://" + r.bucket + (r.object ? "/" + r.key : std::string());
  }

  // Sends the request with retries; returns the successful attempt, throws
  // StoreError for an error answer and TransportError for a failed exchange.
  detail::Attempt send(detail::Request& r);
};

}  // namespace quorin_data::store
