// Store answers that s3rver never gives (a listing page without IsTruncated,
// a truncated page without a token, keys a batch delete refused), served by a
// small local HTTP server.
#include "fixture.hpp"
#include "quorin_data/core/errors.hpp"
#include "store/fake_http.hpp"

using namespace bucketry_test;
using quorin_data::store::ClientConfig;
using quorin_data::store::S3Client;
using quorin_test::FakeHttpServer;
using quorin_test::FakeRequest;
using quorin_test::FakeResponse;

namespace {

std::string page(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ListBucketResult "
         "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>b</Name><Prefix>p/</Prefix>" +
         body + "</ListBucketResult>";
}

class BadResponses : public ::testing::Test {
 protected:
  void use(FakeHttpServer& server) {
    ClientConfig cfg;
    cfg.endpoint = server.url();
    cfg.creds.access_key_id = "AKIDTEST";
    cfg.creds.secret_access_key = "secret";
    cfg.max_attempts = 1;
    saved_ = bucketry::set_s3_client(std::make_shared<S3Client>(cfg));
  }
  void TearDown() override { bucketry::set_s3_client(saved_); }
  std::shared_ptr<S3Client> saved_;
};

TEST_F(BadResponses, ListingPagesMustSayWhetherTheyAreTruncated) {
  FakeHttpServer server([](const FakeRequest&) {
    return FakeResponse{200, {{"Content-Type", "application/xml"}},
                        page("<Contents><Key>p/a</Key></Contents><KeyCount>1</KeyCount>")};
  });
  use(server);
  try {
    bucketry::list_s3_objects("", "b", "p");
    FAIL() << "no error";
  } catch (const quorin_data::KeyError& e) {
    EXPECT_STREQ(e.what(), "ListObjectsV2 response for s3://b/p/ has no 'IsTruncated'");
  }
}

TEST_F(BadResponses, ATruncatedPageNeedsAContinuationToken) {
  FakeHttpServer server([](const FakeRequest& r) {
    // First page with a token, second page truncated without one.
    const bool second = r.target.find("continuation-token") != std::string::npos;
    return FakeResponse{200, {{"Content-Type", "application/xml"}},
                        second ? page("<Contents><Key>p/b</Key></Contents><IsTruncated>true</IsTruncated>")
                               : page("<Contents><Key>p/a</Key></Contents><IsTruncated>true</IsTruncated>"
                                      "<NextContinuationToken>tok1</NextContinuationToken>")};
  });
  use(server);
  try {
    bucketry::list_s3_objects("", "b", "p");
    FAIL() << "no error";
  } catch (const quorin_data::KeyError& e) {
    EXPECT_STREQ(e.what(), "ListObjectsV2 response for s3://b/p/ is truncated but has no 'NextContinuationToken'");
  }
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_NE(server.requests()[0].target.find("max-keys=10000"), std::string::npos) << server.requests()[0].target;
}

TEST_F(BadResponses, KeysABatchDeleteRefusedAreRaisedByName) {
  FakeHttpServer server([](const FakeRequest& r) {
    if (r.method == "GET")
      return FakeResponse{200, {{"Content-Type", "application/xml"}},
                          page("<Contents><Key>p/f/a</Key></Contents><Contents><Key>p/f/b</Key></Contents>"
                               "<IsTruncated>false</IsTruncated>")};
    return FakeResponse{200, {{"Content-Type", "application/xml"}},
                        "<?xml version=\"1.0\"?><DeleteResult><Error><Key>p/f/b</Key><Code>AccessDenied</Code>"
                        "<Message>Access Denied</Message></Error></DeleteResult>"};
  });
  use(server);
  std::string out;
  try {
    ::testing::internal::CaptureStdout();
    bucketry::delete_s3_folder("f", "b", "p");
    out = ::testing::internal::GetCapturedStdout();
    FAIL() << "no error";
  } catch (const quorin_data::StoreError& e) {
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(e.code(), "AccessDenied");
    const std::string m = e.what();
    EXPECT_NE(m.find("1 of 2 keys under s3://b/p/f were not deleted: p/f/b (AccessDenied: Access Denied)"),
              std::string::npos)
        << m;
  }
  EXPECT_EQ(out, "") << "the report line claims a deletion that failed";
}

}  // namespace
