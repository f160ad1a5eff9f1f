#include "store/retry.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <random>
#include <set>
#include <thread>

namespace quorin_data::store::detail {

bool retryable_code(const std::string& code) {
  static const std::set<std::string> codes = {
      // throttling (botocore standard mode)
      "Throttling", "ThrottlingException", "ThrottledException", "RequestThrottledException",
      "TooManyRequestsException", "ProvisionedThroughputExceededException",
      "TransactionInProgressException", "RequestLimitExceeded", "BandwidthLimitExceeded",
      "LimitExceededException", "RequestThrottled", "SlowDown", "EC2ThrottledException",
      // transient
      "RequestTimeout", "RequestTimeoutException", "PriorRequestNotComplete", "InternalError"};
  return codes.count(code) > 0;
}

bool retryable_status(long status) {
  return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

bool retryable_curl(int curl_code) {
  switch (static_cast<CURLcode>(curl_code)) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
}

std::chrono::microseconds RetryPolicy::delay(int attempt, double u) const {
  const double cap = static_cast<double>(cap_ms);
  const double exp = static_cast<double>(base_ms) * static_cast<double>(1ull << std::clamp(attempt - 1, 0, 30));
  const double ms = std::clamp(u, 0.0, 1.0) * std::min(cap, exp);
  return std::chrono::microseconds(static_cast<long long>(ms * 1000));
}

void RetryPolicy::sleep_before_retry(int attempt) const {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  std::this_thread::sleep_for(delay(attempt, std::uniform_real_distribution<double>(0.0, 1.0)(rng)));
}

}  // namespace quorin_data::store::detail
