// The inside of S3Client, shared by the sources of its operations.
#pragma once

#include <map>
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
  // Regions that buckets redirected to, used for every later request to them.
  mutable std::mutex region_mu;
  std::map<std::string, std::string> bucket_regions;

  explicit Impl(const ClientConfig& c);

  // The region requests to the bucket are signed for (and, on AWS, sent to).
  std::string region_of(const std::string& bucket) const;
  // The addressing of a region: the AWS endpoint of that region, or the
  // custom endpoint whatever the region.
  detail::Addressing addressing_for(const std::string& region) const;

  void count(std::uint64_t RequestStats::*field, std::uint64_t n = 1) {
    std::lock_guard<std::mutex> l(stats_mu);
    st.*field += n;
  }

  std::string resource(const detail::Request& r) const {
    return "s3://" + r.bucket + (r.object ? "/" + r.key : std::string());
  }

  // Sends the request with retries; returns the successful attempt, throws
  // StoreError for an error answer and TransportError for a failed exchange.
  detail::Attempt send(detail::Request& r);
};

}  // namespace quorin_data::store
