// Shared fixture of the bucketry tests: the module client against the local
// s3rver, a key area per test, and helpers to seed and capture.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "from_s3/bucketry/client.hpp"
#include "from_s3/bucketry/internal.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "store/s3_client.hpp"
#include "support/s3_env.hpp"

namespace bucketry_test {

namespace bucketry = quorin_data::from_s3::bucketry;
using quorin_data::Bytes;
using quorin_data::Column;
using quorin_data::Frame;
using quorin_data::Value;

inline std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

inline Value buffer_of(std::vector<std::uint8_t> data, std::size_t pos = 0) {
  Bytes b;
  b.data = std::move(data);
  b.pos = pos;
  return Value(std::move(b));
}

// Tests run in a folder of their own process under <build>/testwork (ctest's
// working folder), where temp/ is created: tests that ctest runs side by side
// do not see each other's local files. Removed when the process ends.
inline void enter_testwork() {
  static const bool done = [] {
    static const std::filesystem::path dir =
        std::filesystem::path(QUORIN_BINARY_DIR "/testwork") / ("bucketry-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::current_path(dir.parent_path(), ec);
      std::filesystem::remove_all(dir, ec);
    });
    return true;
  }();
  (void)done;
}

class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE_S3();
    enter_testwork();
    client = bucketry::s3_client();
    ASSERT_TRUE(client) << "the module client was not created at load";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Each test works under its own prefix so tests do not see each other.
    prefix = std::string("bucketry-") + info->test_suite_name() + "-" + info->name() + "-" +
             std::to_string(::getpid());
  }
  void TearDown() override {
    if (client) bucketry::set_s3_client(client);
  }

  void put(const std::string& key, const std::string& body) {
    client->put_object(bucket, key, reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
  }
  void put(const std::string& key, const std::vector<std::uint8_t>& body) {
    client->put_object(bucket, key, body.data(), body.size());
  }
  std::string get(const std::string& key) {
    auto b = client->get_object(bucket, key);
    return std::string(b.begin(), b.end());
  }
  std::uint64_t requests() { return client->stats().http_requests; }

  std::shared_ptr<quorin_data::store::S3Client> client;
  std::string bucket = quorin_test::s3_test_bucket();
  std::string prefix;
};

// A table with a text, a float and an integer column.
inline Frame sample_frame(std::size_t rows) {
  std::vector<std::string> t;
  std::vector<double> f;
  std::vector<std::int64_t> i;
  for (std::size_t r = 0; r < rows; ++r) {
    t.push_back("name " + std::to_string(r % 7) + (r % 3 == 0 ? ", quoted \"x\"" : ""));
    f.push_back(0.1 * static_cast<double>(r) - 3.5);
    i.push_back(static_cast<std::int64_t>(r) * 1000003 - 7);
  }
  Frame fr;
  fr.add_column("NAME", Column::texts(std::move(t)));
  fr.add_column("PX", Column::floats(std::move(f)));
  fr.add_column("ID", Column::ints(std::move(i)));
  return fr;
}

template <class F>
std::string capture_stdout(F&& f) {
  ::testing::internal::CaptureStdout();
  try {
    f();
  } catch (...) {
    ::testing::internal::GetCapturedStdout();
    throw;
  }
  return ::testing::internal::GetCapturedStdout();
}

}  // namespace bucketry_test
