// Store values: the module's default, and stores of their own client, bucket
// and prefix that leave the module's client untouched.
#include <thread>

#include "fixture.hpp"
#include "quorin_data/core/errors.hpp"

using namespace bucketry_test;

namespace {
using StoreValue = Store;
}

TEST_F(StoreValue, OwnClientBucketAndPrefixBesideTheDefault) {
  const auto def = bucketry::Store::default_store();
  EXPECT_EQ(bucketry::client_of(def), client);
  EXPECT_EQ(def.bucket(), bucketry::BUCKET);
  EXPECT_EQ(def.prefix(), std::string(bucketry::PREFIX));

  bucketry::StoreConfig cfg;
  cfg.endpoint = quorin_test::s3_endpoint();
  cfg.access_key_id = "S3RVER";
  cfg.secret_access_key = "S3RVER";
  const auto mine = bucketry::Store::connect(cfg, bucket, prefix);
  ASSERT_NE(bucketry::client_of(mine), client);
  const Frame table = sample_frame(5);
  mine.write_to_s3(Value(table), "t/table.csv", "csv", false);
  EXPECT_EQ(get(prefix + "/t/table.csv"), quorin_data::formats::write_csv(table, false));
  EXPECT_TRUE(mine.s3_path_exists("t/table.csv"));
  EXPECT_EQ(mine.list_s3_objects("t/"), std::vector<std::string>{prefix + "/t/table.csv"});
  EXPECT_EQ(mine.read_from_s3("t/table.csv", "csv").as_frame().num_rows(), 5u);
  EXPECT_GE(bucketry::client_of(mine)->stats().http_requests, 4u);
  // with_bucket shares the client; another prefix sees other keys.
  const auto other = mine.with_bucket(bucket, prefix + "/t");
  EXPECT_EQ(bucketry::client_of(other), bucketry::client_of(mine));
  EXPECT_TRUE(other.s3_path_exists("table.csv"));

  // Wrong credentials fail in that store only, from the store's own client;
  // the module functions keep the default client on this thread and others.
  cfg.access_key_id = "NOT-S3RVER";
  const auto denied = bucketry::Store::connect(cfg, bucket, prefix);
  EXPECT_THROW(denied.list_s3_objects("t/"), quorin_data::StoreError);
  EXPECT_FALSE(denied.s3_path_exists("t/table.csv"));
  EXPECT_EQ(bucketry::list_s3_objects("t/", bucket, prefix).size(), 1u);
  bool seen_elsewhere = false;
  std::thread([&] { seen_elsewhere = bucketry::s3_path_exists("t/table.csv", bucket, prefix); }).join();
  EXPECT_TRUE(seen_elsewhere);

  ::testing::internal::CaptureStdout();
  mine.delete_s3_folder("t/");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "s3://" + bucket + "/" + prefix + "/t/ was deleted.\n");
  EXPECT_FALSE(mine.s3_path_exists("t/table.csv"));

  // Without a module client the default store fails as the module functions do.
  bucketry::set_s3_client(nullptr);
  EXPECT_THROW(bucketry::Store::default_store().list_s3_objects("t/"), quorin_data::NameError);
  EXPECT_TRUE(mine.list_s3_objects("t/").empty());
}
