// Listing, existence and the module values, against the local s3rver.
#include <algorithm>
#include <atomic>
#include <thread>

#include "fixture.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"

using namespace bucketry_test;
using quorin_data::store::ClientConfig;
using quorin_data::store::S3Client;

namespace {

class Listing : public Store {};

// 25000 keys seeded once by a few threads, each with its own client.
class ManyObjects : public Store {
 protected:
  static constexpr std::size_t kCount = 25000;
  static std::vector<std::string>& seeded() {
    static std::vector<std::string> keys;
    return keys;
  }
  static std::string root() { return "bucketry-many-" + std::to_string(::getpid()); }
  void SetUp() override {
    Store::SetUp();
    if (IsSkipped() || HasFatalFailure() || !seeded().empty()) return;
    // Unpadded numbers: the store's (ascending key) order is not the order of creation.
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < kCount; ++i) keys.push_back(root() + "/f/" + std::to_string(i));
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    std::atomic<bool> failed{false};
    for (int t = 0; t < 6; ++t)
      workers.emplace_back([&] {
        try {
          auto c = S3Client::from_environment();
          for (std::size_t i; (i = next++) < keys.size();) c->put_object(bucket, keys[i], nullptr, 0);
        } catch (...) {
          failed = true;
        }
      });
    for (auto& w : workers) w.join();
    ASSERT_FALSE(failed) << "seeding failed";
    std::sort(keys.begin(), keys.end());
    seeded() = keys;
  }
};

TEST_F(ManyObjects, AllPagesInStoreOrderWithOneRequestPerThousand) {
  client->reset_stats();
  const auto keys = bucketry::list_s3_objects("f/", bucket, root());
  EXPECT_EQ(client->stats().list_objects, (kCount + 999) / 1000);
  ASSERT_EQ(keys.size(), kCount);
  EXPECT_EQ(keys, seeded());
  // A folder that stops at a page boundary inside the set: "f/1" matches
  // "f/1", "f/10".., "f/1xxxx": 1 + 10 + 100 + 1000 + 10000 keys.
  EXPECT_EQ(bucketry::list_s3_objects("f/1", bucket, root()).size(), 11111u);
}

TEST_F(Listing, FolderIsAPlainStringPrefixAndKeysKeepThePrefix) {
  put(prefix + "/x/a.csv", "1");
  put(prefix + "/xy/b.csv", "2");
  put(prefix + "/x", "3");
  put(prefix + "/w/c.csv", "4");
  // (s3rver walks its folders, so "x/a.csv" may come before "x"; the order
  // of the response is kept, checked on 25000 keys above.)
  auto listed = bucketry::list_s3_objects("x", bucket, prefix);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{prefix + "/x", prefix + "/x/a.csv", prefix + "/xy/b.csv"}));
  EXPECT_EQ(bucketry::list_s3_objects("x/", bucket, prefix), (std::vector<std::string>{prefix + "/x/a.csv"}));
  EXPECT_TRUE(bucketry::list_s3_objects("nothing-here", bucket, prefix).empty());
  // The default prefix is "trelux_common_s3".
  put(std::string(bucketry::PREFIX) + "/" + prefix + "/d.csv", "5");
  EXPECT_EQ(bucketry::list_s3_objects(prefix + "/", bucket),
            (std::vector<std::string>{"trelux_common_s3/" + prefix + "/d.csv"}));
}

TEST_F(Listing, EmptyPrefixMeansALeadingSlash) {
  // s3rver keeps objects as files and drops a key's leading "/", so a key
  // "/p/a.csv" is stored as "p/a.csv": the listing below asks for Prefix
  // "/p/" and must therefore not see "p/a.csv" (on S3 it lists "/p/a.csv").
  put(prefix + "/a.csv", "2");
  // Under prefix P, folder "" lists "P/"; under an empty prefix, folder P lists "/P".
  EXPECT_EQ(bucketry::list_s3_objects("a.csv", bucket, prefix), (std::vector<std::string>{prefix + "/a.csv"}));
  EXPECT_TRUE(bucketry::list_s3_objects(prefix + "/", bucket, "").empty());
  put("/" + prefix + "/b.csv", "1");
  EXPECT_TRUE(bucketry::s3_path_exists(prefix + "/b.csv", bucket, ""));
  EXPECT_FALSE(bucketry::s3_path_exists(prefix + "/c.csv", bucket, ""));
  // A path starting with "/" gives a double slash.
  put(prefix + "//c.csv", "3");
  EXPECT_TRUE(bucketry::s3_path_exists("/c.csv", bucket, prefix));
}

TEST_F(Listing, AbsentPrefixIsATypeErrorBeforeAnyRequest) {
  const auto before = requests();
  EXPECT_THROW(bucketry::list_s3_objects("x", bucket, std::nullopt), quorin_data::TypeError);
  EXPECT_THROW(bucketry::s3_path_exists("x", bucket, std::nullopt), quorin_data::TypeError);
  EXPECT_EQ(requests(), before);
}

TEST_F(Listing, ExistsIsFalseOnAnyServiceErrorAndTransportErrorsPropagate) {
  put(prefix + "/there.csv", "x");
  EXPECT_TRUE(bucketry::s3_path_exists("there.csv", bucket, prefix));
  EXPECT_FALSE(bucketry::s3_path_exists("missing.csv", bucket, prefix));
  EXPECT_FALSE(bucketry::s3_path_exists("there.csv", "no-such-bucket-quorin", prefix));

  // Credentials the store refuses (403) on a key that exists.
  ClientConfig bad;
  bad.endpoint = quorin_test::s3_endpoint();
  bad.creds.access_key_id = "AKIDNOTALLOWED";
  bad.creds.secret_access_key = "not-the-secret";
  bucketry::set_s3_client(std::make_shared<S3Client>(bad));
  EXPECT_FALSE(bucketry::s3_path_exists("there.csv", bucket, prefix));

  // Nothing listens on the port: not a service answer, so it propagates.
  ClientConfig down;
  down.endpoint = "http://127.0.0.1:9";
  down.creds.access_key_id = "S3RVER";
  down.creds.secret_access_key = "S3RVER";
  down.max_attempts = 1;
  down.connect_timeout_ms = 2000;
  bucketry::set_s3_client(std::make_shared<S3Client>(down));
  EXPECT_THROW(bucketry::s3_path_exists("there.csv", bucket, prefix), quorin_data::TransportError);
}

TEST_F(Listing, ListingErrorsOfTheStorePropagate) {
  try {
    bucketry::list_s3_objects("x", "no-such-bucket-quorin", prefix);
    FAIL() << "no error";
  } catch (const quorin_data::StoreError& e) {
    EXPECT_EQ(e.code(), "NoSuchBucket");
  }
}

TEST_F(Listing, NoClientMeansNameErrorAtCallTime) {
  bucketry::set_s3_client(nullptr);
  for (int op = 0; op < 3; ++op) {
    try {
      if (op == 0) bucketry::list_s3_objects("x", bucket, prefix);
      if (op == 1) bucketry::s3_path_exists("x", bucket, prefix);
      if (op == 2) bucketry::read_from_s3("x.csv", "csv", bucket, prefix);
      FAIL() << "no error";
    } catch (const quorin_data::NameError& e) {
      EXPECT_STREQ(e.what(), "name 's3_client' is not defined");
    }
  }
}

TEST(ModuleLoad, ClientFailureAtLoadWarnsOnlyWithWarningsOn) {
  std::vector<std::string> seen;
  auto old = quorin_data::set_warning_handler([&](const std::string& t) { seen.push_back(t); });
  auto failing = []() -> std::shared_ptr<S3Client> { throw quorin_data::TransportError("no SDK"); };
  quorin_data::reset_warning_registry();
  EXPECT_EQ(bucketry::detail::create_client_at_load(false, failing), nullptr);
  EXPECT_TRUE(seen.empty());
  std::exception_ptr cause;
  EXPECT_EQ(bucketry::detail::create_client_at_load(true, failing, &cause), nullptr);
  EXPECT_TRUE(cause);
  EXPECT_EQ(bucketry::detail::create_client_at_load(true, [] { return std::shared_ptr<S3Client>(); }), nullptr);
  EXPECT_EQ(bucketry::detail::create_client_at_load(true, [] { return std::shared_ptr<S3Client>(); }), nullptr);
  // A failure names its cause; a missing client is "not installed", once per process.
  EXPECT_EQ(seen, (std::vector<std::string>{"the S3 client could not be created: no SDK",
                                            "'boto3' is not installed."}));
  seen.clear();
  quorin_data::reset_warning_registry();
  ClientConfig cfg;
  cfg.endpoint = "http://127.0.0.1:9";
  EXPECT_NE(bucketry::detail::create_client_at_load(true, [&] { return std::make_shared<S3Client>(cfg); }), nullptr);
  EXPECT_TRUE(seen.empty());
  quorin_data::set_warning_handler(old);
}

TEST(ModuleLoad, ValuesBoundAtLoad) {
  const char* b = std::getenv("TRELUX_SANDBOX_BUCKET");
  EXPECT_EQ(bucketry::BUCKET, b ? std::string(b) : std::string("NOT_DEFINED"));
  EXPECT_STREQ(bucketry::PREFIX, "trelux_common_s3");
  const char* w = std::getenv("SHOW_WARNINGS");
  EXPECT_EQ(bucketry::SHOW_WARNINGS, w != nullptr && std::string(w) == "1");
  // Changing the environment afterwards changes nothing.
  ::setenv("TRELUX_SANDBOX_BUCKET", "changed-later", 1);
  EXPECT_EQ(bucketry::BUCKET, b ? std::string(b) : std::string("NOT_DEFINED"));
  if (b) ::setenv("TRELUX_SANDBOX_BUCKET", b, 1); else ::unsetenv("TRELUX_SANDBOX_BUCKET");
}

}  // namespace
