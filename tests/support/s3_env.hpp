// Helpers for tests that need the local S3 server started by
// scripts/with-s3server.sh (which sets QUORIN_TEST_S3=1 and AWS_ENDPOINT_URL_S3).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace quorin_test {

inline bool s3_enabled() {
  const char* v = std::getenv("QUORIN_TEST_S3");
  return v && std::string(v) == "1";
}

// The endpoint of the test server ("http://127.0.0.1:PORT").
inline std::string s3_endpoint() {
  const char* v = std::getenv("AWS_ENDPOINT_URL_S3");
  return v ? std::string(v) : std::string();
}

// The bucket the test server creates for the test suite.
inline const char* s3_test_bucket() { return "quorin-test"; }

}  // namespace quorin_test

// Skips the current test unless the local S3 server is running. Use at the
// top of a TEST body (or a fixture's SetUp).
#define QUORIN_REQUIRE_S3()                                                             \
  do {                                                                                  \
    if (!quorin_test::s3_enabled() || quorin_test::s3_endpoint().empty())               \
      GTEST_SKIP() << "needs the local S3 server: run under scripts/with-s3server.sh"; \
  } while (0)
