// Hostile and failing servers, through the fault-injecting proxy in front of
// the local s3rver (endless listings, resets, throttling, cut-short answers),
// and local folders that would send a download elsewhere.
#include <fstream>

#include "fixture.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "support/fault_proxy.hpp"

using namespace bucketry_test;
using quorin_data::store::ClientConfig;
using quorin_data::store::S3Client;
using quorin_test::FakeRequest;
using quorin_test::FakeResponse;
using quorin_test::FaultProxy;
using quorin_test::ProxyAction;

namespace {

bool is_listing(const FakeRequest& r) { return r.target.find("list-type=2") != std::string::npos; }

// A listing page that always says there is more.
FakeResponse endless_page(const std::string& token, std::size_t keys, std::size_t n) {
  std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ListBucketResult><Name>b</Name>";
  for (std::size_t k = 0; k < keys; ++k)
    body += "<Contents><Key>p/" + std::to_string(n) + "-" + std::to_string(k) + "</Key></Contents>";
  body += "<IsTruncated>true</IsTruncated><NextContinuationToken>" + token +
          "</NextContinuationToken></ListBucketResult>";
  return FakeResponse{200, {{"Content-Type", "application/xml"}}, body};
}

class Faults : public Store {
 protected:
  void SetUp() override {
    Store::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    proxy = std::make_unique<FaultProxy>(quorin_test::s3_endpoint());
    ClientConfig cfg;
    cfg.endpoint = proxy->url();
    cfg.creds.access_key_id = "S3RVER";
    cfg.creds.secret_access_key = "S3RVER";
    cfg.max_attempts = 3;
    cfg.retry_base_ms = 1;
    proxied = std::make_shared<S3Client>(cfg);
    bucketry::set_s3_client(proxied);
    saved_limits = bucketry::listing_limits();
  }
  void TearDown() override {
    bucketry::set_listing_limits(saved_limits);
    Store::TearDown();
  }
  template <class F>
  std::string runtime_error(F f) {
    try {
      f();
    } catch (const quorin_data::RuntimeError& e) {
      return e.what();
    }
    ADD_FAILURE() << "no RuntimeError";
    return {};
  }

  std::unique_ptr<FaultProxy> proxy;
  std::shared_ptr<S3Client> proxied;
  bucketry::ListingLimits saved_limits;
};

TEST_F(Faults, EndlessListingsStopWithAnError) {
  // The same token again: found on the second page.
  proxy->set_plan([](const FakeRequest& r, std::size_t n) {
    return is_listing(r) ? ProxyAction::respond(endless_page("again", 1, n)) : ProxyAction::forward();
  });
  EXPECT_NE(runtime_error([&] { bucketry::list_s3_objects("x", bucket, prefix); })
                .find("(page 2) repeats an earlier continuation token"),
            std::string::npos);
  EXPECT_EQ(proxy->count(), 2u);

  // Fresh tokens for ever: the page and key limits end it.
  proxy->set_plan([](const FakeRequest& r, std::size_t n) {
    return is_listing(r) ? ProxyAction::respond(endless_page("t" + std::to_string(n), 10, n))
                         : ProxyAction::forward();
  });
  bucketry::set_listing_limits({1000000, 20});
  const std::size_t before = proxy->count();
  EXPECT_NE(runtime_error([&] { bucketry::list_s3_objects("x", bucket, prefix); }).find("more than 20 pages"),
            std::string::npos);
  EXPECT_EQ(proxy->count() - before, 20u);
  bucketry::set_listing_limits({55, 1000});
  EXPECT_NE(runtime_error([&] { bucketry::list_s3_objects("x", bucket, prefix); }).find("more than 55 keys"),
            std::string::npos);
  // delete_s3_folder lists first: it fails the same way and deletes nothing.
  const std::size_t listed = proxy->count();
  EXPECT_NE(runtime_error([&] { capture_stdout([&] { bucketry::delete_s3_folder("x", bucket, prefix); }); })
                .find("more than 55 keys"),
            std::string::npos);
  for (const auto& r : proxy->requests()) EXPECT_EQ(r.method, "GET") << r.target;
  EXPECT_EQ(proxy->count() - listed, 6u);
  EXPECT_THROW(bucketry::set_listing_limits({0, 1}), quorin_data::ValueError);
}

TEST_F(Faults, RetriesOverResetsThrottlingAndCutAnswers) {
  const std::string key = prefix + "/obj";
  const std::string body(5000, 'q');
  put(key, body);
  // Two resets, then the real answer.
  proxy->set_plan([](const FakeRequest&, std::size_t n) { return n < 2 ? ProxyAction::reset() : ProxyAction::forward(); });
  auto got = proxied->get_object(bucket, key);
  EXPECT_EQ(std::string(got.begin(), got.end()), body);
  EXPECT_EQ(proxy->count(), 3u);
  // Throttled twice (503 SlowDown), then served.
  proxy->set_plan([](const FakeRequest&, std::size_t n) {
    return n < 5 ? ProxyAction::respond(FakeResponse{503, {}, "<Error><Code>SlowDown</Code></Error>"})
                 : ProxyAction::forward();
  });
  EXPECT_EQ(proxied->head_object(bucket, key).size, body.size());
  EXPECT_EQ(proxy->count(), 6u);
  // An answer cut short on every attempt fails after the last one, not with
  // a short body.
  proxy->set_plan([](const FakeRequest&, std::size_t) { return ProxyAction::truncate(100); });
  EXPECT_THROW(proxied->get_object(bucket, key), quorin_data::TransportError);
  EXPECT_EQ(proxy->count(), 9u);
}

TEST_F(Faults, DownloadsStayInsideTheRealTempFolder) {
  namespace fs = std::filesystem;
  put(prefix + "/d/x.bin", "payload");
  fs::create_directories("outside");
  fs::create_directories("temp");
  fs::create_directory_symlink("../outside", "temp/d");
  auto refused = [&](const std::string& file, const std::string& link) {
    try {
      bucketry::read_from_s3(file, "local_file_path", bucket, prefix);
      ADD_FAILURE() << "no error for " << file;
    } catch (const quorin_data::ValueError& e) {
      EXPECT_NE(std::string(e.what()).find(link + " is a symbolic link"), std::string::npos) << e.what();
    }
  };
  refused("d/x.bin", "temp/d");
  refused("d/e/x.bin", "temp/d");
  refused("a/../d/x.bin", "temp/d");
  EXPECT_FALSE(fs::exists("outside/x.bin"));
  EXPECT_FALSE(fs::exists("outside/e"));
  // temp/ itself a link.
  fs::remove("temp/d");
  fs::rename("temp", "real-temp");
  fs::create_directory_symlink("outside", "temp");
  refused("d/x.bin", "temp");
  EXPECT_EQ(proxy->count(), 0u);  // refused before any request
  fs::remove("temp");
  fs::rename("real-temp", "temp");
  // A link where the file goes is replaced by the file, not followed.
  fs::create_directories("temp/d");
  { std::ofstream("outside/target") << "keep"; }
  fs::create_symlink("../../outside/target", "temp/d/x.bin");
  bucketry::read_from_s3("d/x.bin", "local_file_path", bucket, prefix);
  EXPECT_FALSE(fs::is_symlink("temp/d/x.bin"));
  std::ifstream in("outside/target");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
  fs::remove_all("temp/d");
  fs::remove_all("outside");
}

}  // namespace

TEST_F(Faults, ChunkedReadsParseAsTheBodyArrivesAndStartOverOnARetry) {
  std::string csv = "id,name,value\n";
  for (int i = 0; i < 60000; ++i)
    csv += std::to_string(i) + ",n" + std::to_string(i * 7919 % 100003) + "," + std::to_string(i * 0.25) + "\n";
  const auto gz = quorin_data::formats::gzip_compress(reinterpret_cast<const std::uint8_t*>(csv.data()), csv.size());
  ASSERT_GT(gz.size(), 200000u);
  const std::string key = prefix + "/stream.csv.gz";
  put(key, gz);
  const Frame expected = quorin_data::formats::read_csv(csv, "whole");
  // Cut short after 150000 bytes (parsing has begun), then served whole: the
  // parse starts over and the table is the same.
  proxy->set_plan([](const FakeRequest&, std::size_t n) {
    return n == 0 ? ProxyAction::truncate(150000) : ProxyAction::forward();
  });
  ::testing::internal::CaptureStderr();
  Frame got = bucketry::read_by_chunks(bucket, key, 7000);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(proxy->count(), 2u);
  ASSERT_EQ(got.num_rows(), 60000u);
  EXPECT_EQ(got, expected);
  // Cut short on every attempt: the transfer's error, not a gzip one.
  proxy->set_plan([](const FakeRequest&, std::size_t) { return ProxyAction::truncate(150000); });
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(bucketry::read_by_chunks(bucket, key, 7000), quorin_data::TransportError);
  // A corrupt body fails in gzip decoding as before, and stops the download.
  auto bad = gz;
  bad[bad.size() / 2] ^= 0x55;
  put(key, bad);
  proxy->set_plan([](const FakeRequest&, std::size_t) { return ProxyAction::forward(); });
  EXPECT_THROW(bucketry::read_by_chunks(bucket, key, 7000), quorin_data::FormatError);
  // A missing object: the store's error.
  EXPECT_THROW(bucketry::read_by_chunks(bucket, prefix + "/missing.csv.gz", 7000), quorin_data::StoreError);
  ::testing::internal::GetCapturedStderr();
}
