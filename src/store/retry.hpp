// The retry policy of the client (the SDKs' "standard" mode): which failed
// attempts are tried again, and how long to wait before the next one.
#pragma once

#include <chrono>
#include <string>

namespace quorin_data::store::detail {

// Error codes that mark throttling or a transient fault of the service.
bool retryable_code(const std::string& code);
// 429 and the 5xx answers of an overloaded or failing front end.
bool retryable_status(long status);
// libcurl failures of the connection itself (refused, reset, timed out, cut short).
bool retryable_curl(int curl_code);

struct RetryPolicy {
  int max_attempts = 3;
  long base_ms = 100;
  long cap_ms = 20000;

  // After failed attempt number `attempt` (from 1): is there another?
  bool retry_answer(long status, const std::string& code, int attempt) const {
    return attempt < max_attempts && (retryable_status(status) || retryable_code(code));
  }
  bool retry_transport(int curl_code, int attempt) const {
    return attempt < max_attempts && retryable_curl(curl_code);
  }
  // Full jitter: u * min(cap, base * 2^(attempt-1)), u uniform in [0, 1).
  std::chrono::microseconds delay(int attempt, double u) const;
  // delay() with a random u, slept on the calling thread.
  void sleep_before_retry(int attempt) const;
};

}  // namespace quorin_data::store::detail
