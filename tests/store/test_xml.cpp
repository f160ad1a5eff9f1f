#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "store/s3_client.hpp"

using namespace quorin_data;
using namespace quorin_data::store;

namespace {
const char* kAws =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">
  <Name>b</Name><Prefix>p/</Prefix><KeyCount>2</KeyCount><MaxKeys>1000</MaxKeys>
  <IsTruncated>true</IsTruncated>
  <Contents><Key>p/a</Key><Size>1</Size></Contents>
  <Contents><Key>p/b &amp; c</Key><Size>2</Size></Contents>
  <NextContinuationToken>tok+/=</NextContinuationToken>
</ListBucketResult>)";
}

TEST(S3Xml, ListPageAws) {
  ListPage p = parse_list_objects_v2(kAws, "src");
  EXPECT_TRUE(p.has_contents);
  ASSERT_EQ(p.keys.size(), 2u);
  EXPECT_EQ(p.keys[0], "p/a");
  EXPECT_EQ(p.keys[1], "p/b & c");
  ASSERT_TRUE(p.is_truncated.has_value());
  EXPECT_TRUE(*p.is_truncated);
  EXPECT_EQ(p.next_continuation_token.value(), "tok+/=");
  EXPECT_EQ(p.key_count.value(), 2);
}

TEST(S3Xml, ListPageNamespaceAgnostic) {
  const char* xml =
      R"(<s:ListBucketResult xmlns:s="urn:other"><s:IsTruncated>false</s:IsTruncated>
         <s:Contents><s:Key>k</s:Key></s:Contents></s:ListBucketResult>)";
  ListPage p = parse_list_objects_v2(xml, "src");
  ASSERT_EQ(p.keys.size(), 1u);
  EXPECT_EQ(p.keys[0], "k");
  EXPECT_FALSE(*p.is_truncated);
  ListPage q = parse_list_objects_v2(
      R"(<ListBucketResult xmlns="http://other/"><IsTruncated>false</IsTruncated></ListBucketResult>)", "s");
  EXPECT_FALSE(q.has_contents);
  EXPECT_TRUE(q.keys.empty());
}

TEST(S3Xml, ListPageDoesNotDefaultMissingMembers) {
  ListPage p = parse_list_objects_v2("<ListBucketResult><Contents><Key>a</Key></Contents></ListBucketResult>", "s");
  EXPECT_FALSE(p.is_truncated.has_value());
  EXPECT_FALSE(p.next_continuation_token.has_value());
  EXPECT_FALSE(p.key_count.has_value());
}

TEST(S3Xml, ListPageUrlEncodedKeysAreDecoded) {
  ListPage p = parse_list_objects_v2(
      "<ListBucketResult><EncodingType>url</EncodingType><IsTruncated>false</IsTruncated>"
      "<Contents><Key>a+b%2Bc%2F%2Fd%C3%A9</Key></Contents>"
      "<Contents><Key>%2Flead</Key></Contents></ListBucketResult>",
      "s");
  ASSERT_EQ(p.keys.size(), 2u);
  EXPECT_EQ(p.keys[0], "a b+c//dé");
  EXPECT_EQ(p.keys[1], "/lead");
}

TEST(S3Xml, ListPageErrorsNameTheSource) {
  auto expect_format = [](const std::string& xml, const std::string& part) {
    try {
      parse_list_objects_v2(xml, "ListObjectsV2 response for s3://bkt/pre");
      ADD_FAILURE() << "no error for " << xml;
    } catch (const FormatError& e) {
      std::string m = e.what();
      EXPECT_NE(m.find("s3://bkt/pre"), std::string::npos) << m;
      EXPECT_NE(m.find(part), std::string::npos) << m;
    }
  };
  expect_format("", "malformed XML");
  expect_format("<ListBucketResult><IsTruncated>", "malformed XML");
  expect_format("<Error><Code>x</Code></Error>", "expected <ListBucketResult>");
  expect_format("<ListBucketResult><IsTruncated>yes</IsTruncated></ListBucketResult>", "true or false");
  expect_format("<ListBucketResult><Contents><Size>1</Size></Contents></ListBucketResult>", "without a <Key>");
  expect_format("<ListBucketResult><KeyCount>-3</KeyCount></ListBucketResult>", "KeyCount");
  expect_format("<ListBucketResult><EncodingType>base64</EncodingType></ListBucketResult>", "encoding type");
}

TEST(S3Xml, DeleteResult) {
  auto f = parse_delete_result(
      R"(<DeleteResult xmlns="x"><Deleted><Key>ok</Key></Deleted>
         <Error><Key>bad</Key><Code>AccessDenied</Code><Message>Access Denied</Message></Error></DeleteResult>)",
      "s");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].key, "bad");
  EXPECT_EQ(f[0].code, "AccessDenied");
  EXPECT_EQ(f[0].message, "Access Denied");
  EXPECT_TRUE(parse_delete_result("<DeleteResult/>", "s").empty());
  EXPECT_THROW(parse_delete_result("<DeleteResult><Error><Code>c</Code></Error></DeleteResult>", "s"), FormatError);
  EXPECT_THROW(parse_delete_result("<Nope/>", "s"), FormatError);
}

TEST(S3Xml, ErrorBody) {
  ErrorInfo e = parse_error_body(
      "<?xml version=\"1.0\"?><Error><Code>NoSuchKey</Code><Message>The specified key does not exist.</Message>"
      "<Key>k</Key><RequestId>RID1</RequestId></Error>");
  EXPECT_EQ(e.code, "NoSuchKey");
  EXPECT_EQ(e.message, "The specified key does not exist.");
  EXPECT_EQ(e.request_id, "RID1");
  ErrorInfo empty = parse_error_body("");
  EXPECT_TRUE(empty.code.empty());
  ErrorInfo junk = parse_error_body("<html>gateway</html");
  EXPECT_TRUE(junk.code.empty());
  ErrorInfo nested = parse_error_body(
      "<ErrorResponse><Error><Code>Throttling</Code><Message>Rate exceeded</Message></Error>"
      "<RequestId>R2</RequestId></ErrorResponse>");
  EXPECT_EQ(nested.code, "Throttling");
  EXPECT_EQ(nested.request_id, "R2");
}

TEST(S3Xml, MultipartBodies) {
  EXPECT_EQ(parse_initiate_multipart(
                "<InitiateMultipartUploadResult><Bucket>b</Bucket><UploadId>U1</UploadId></InitiateMultipartUploadResult>", "s"),
            "U1");
  EXPECT_THROW(parse_initiate_multipart("<InitiateMultipartUploadResult/>", "s"), FormatError);
  EXPECT_FALSE(parse_complete_multipart("<CompleteMultipartUploadResult><ETag>x</ETag></CompleteMultipartUploadResult>", "s"));
  auto err = parse_complete_multipart("<Error><Code>InternalError</Code></Error>", "s");
  ASSERT_TRUE(err);
  EXPECT_EQ(err->code, "InternalError");
}

// Inputs found by fuzz/fuzz_s3_xml.cpp (and hand-made nasty ones) must give a
// clean FormatError or a value, never a crash.
TEST(S3Xml, FuzzRegressionInputs) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(QUORIN_SOURCE_DIR) / "tests" / "store" / "fuzz_regressions";
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  int n = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string data = ss.str();
    for (int which = 0; which < 5; ++which) {
      try {
        switch (which) {
          case 0: parse_list_objects_v2(data, entry.path().string()); break;
          case 1: parse_delete_result(data, entry.path().string()); break;
          case 2: parse_error_body(data); break;
          case 3: parse_initiate_multipart(data, entry.path().string()); break;
          case 4: parse_complete_multipart(data, entry.path().string()); break;
        }
      } catch (const FormatError&) {
      }
    }
    ++n;
  }
  EXPECT_GT(n, 0);
}
