// The default credential chain, region and endpoint settings, with temp files
// and fake metadata servers on 127.0.0.1 (never a real 169.254.x address).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "store/fake_http.hpp"
#include "store/s3_client.hpp"

using namespace quorin_data;
using namespace quorin_data::store;
using quorin_test::FakeHttpServer;
using quorin_test::FakeRequest;
using quorin_test::FakeResponse;
using quorin_test::ScopedEnv;
namespace fs = std::filesystem;

namespace {

std::string iso_in(long seconds) {
  std::time_t t = std::time(nullptr) + seconds;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string creds_json(const std::string& id, long expires_in = 3600) {
  return "{\"Code\": \"Success\", \"Type\": \"AWS-HMAC\", \"AccessKeyId\": \"" + id +
         "\", \"SecretAccessKey\": \"secret-" + id + "\", \"Token\": \"token-" + id +
         "\", \"Expiration\": \"" + iso_in(expires_in) + "\", \"Nested\": {\"a\": [1, 2]}}";
}

class Chain : public ::testing::Test {
 protected:
  void SetUp() override {
    env.clear_aws();
    dir = fs::temp_directory_path() /
          ("quorin-creds-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    env.set("HOME", dir.string());  // no ~/.aws of the machine
    env.set("AWS_EC2_METADATA_DISABLED", "true");
  }
  void TearDown() override { fs::remove_all(dir); }
  void write(const std::string& name, const std::string& text) {
    fs::create_directories((dir / name).parent_path());
    std::ofstream(dir / name) << text;
  }
  ScopedEnv env;
  fs::path dir;
};

}  // namespace

TEST_F(Chain, EnvironmentFirst) {
  env.set("AWS_ACCESS_KEY_ID", "AKENV");
  env.set("AWS_SECRET_ACCESS_KEY", "SKENV");
  env.set("AWS_SESSION_TOKEN", "TKENV");
  write(".aws/credentials", "[default]\naws_access_key_id = AKFILE\naws_secret_access_key = SKFILE\n");
  DefaultCredentialsChain chain;
  Credentials c = chain.credentials();
  EXPECT_EQ(c.access_key_id, "AKENV");
  EXPECT_EQ(c.secret_access_key, "SKENV");
  EXPECT_EQ(c.session_token, "TKENV");
  EXPECT_EQ(c.source, "environment");
}

TEST_F(Chain, PartialEnvironmentIsAnError) {
  env.set("AWS_ACCESS_KEY_ID", "AKENV");
  DefaultCredentialsChain chain;
  try {
    chain.credentials();
    FAIL();
  } catch (const TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("AWS_SECRET_ACCESS_KEY"), std::string::npos);
  }
}

TEST_F(Chain, SharedCredentialsFileWithProfiles) {
  write(".aws/credentials",
        "# comment\n[default]\naws_access_key_id = AKDEF\naws_secret_access_key = SKDEF\n\n"
        "[dev]\n aws_access_key_id=AKDEV \naws_secret_access_key=SKDEV\naws_session_token = TKDEV\n"
        "s3 =\n  max_concurrent_requests = 10\n");
  {
    DefaultCredentialsChain chain;
    EXPECT_EQ(chain.credentials().access_key_id, "AKDEF");
  }
  env.set("AWS_PROFILE", "dev");
  DefaultCredentialsChain chain;
  Credentials c = chain.credentials();
  EXPECT_EQ(c.access_key_id, "AKDEV");
  EXPECT_EQ(c.secret_access_key, "SKDEV");
  EXPECT_EQ(c.session_token, "TKDEV");
  EXPECT_EQ(c.source, "shared-files");
}

TEST_F(Chain, ConfigFileProfileSectionsAndCustomPaths) {
  write("elsewhere/creds", "[other]\naws_access_key_id = X\naws_secret_access_key = Y\n");
  write("elsewhere/config",
        "[default]\nregion = eu-west-1\n[profile dev]\nregion = ap-south-1\n"
        "aws_access_key_id = AKCFG\naws_secret_access_key = SKCFG\n");
  env.set("AWS_SHARED_CREDENTIALS_FILE", (dir / "elsewhere/creds").string());
  env.set("AWS_CONFIG_FILE", (dir / "elsewhere/config").string());
  EXPECT_EQ(region_from_environment(), "eu-west-1");
  env.set("AWS_PROFILE", "dev");
  EXPECT_EQ(region_from_environment(), "ap-south-1");
  DefaultCredentialsChain chain;
  EXPECT_EQ(chain.credentials().access_key_id, "AKCFG");
  env.set("AWS_DEFAULT_REGION", "us-west-2");
  EXPECT_EQ(region_from_environment(), "us-west-2");
  env.set("AWS_REGION", "ca-central-1");
  EXPECT_EQ(region_from_environment(), "ca-central-1");
  env.set("AWS_PROFILE", "nobody");
  env.unset("AWS_REGION");
  env.unset("AWS_DEFAULT_REGION");
  EXPECT_EQ(region_from_environment(), "us-east-1");
  DefaultCredentialsChain none;
  EXPECT_THROW(none.credentials(), TransportError);
}

TEST_F(Chain, EndpointVariables) {
  EXPECT_EQ(endpoint_from_environment(), "");
  env.set("AWS_ENDPOINT_URL", "http://general:1");
  EXPECT_EQ(endpoint_from_environment(), "http://general:1");
  env.set("AWS_ENDPOINT_URL_S3", "http://s3only:2");
  EXPECT_EQ(endpoint_from_environment(), "http://s3only:2");
  auto c = S3Client::from_environment();
  EXPECT_EQ(c->config().endpoint, "http://s3only:2");
  EXPECT_TRUE(c->config().path_style);
  env.set("AWS_MAX_ATTEMPTS", "7");
  EXPECT_EQ(S3Client::from_environment()->config().max_attempts, 7);
  env.unset("AWS_ENDPOINT_URL_S3");
  env.unset("AWS_ENDPOINT_URL");
  auto aws = S3Client::from_environment();
  EXPECT_EQ(aws->config().endpoint, "");
  EXPECT_FALSE(aws->config().path_style);
}

TEST_F(Chain, ContainerRelativeUri) {
  FakeHttpServer s([&](const FakeRequest& r) {
    FakeResponse ok;
    ok.body = r.target == "/v2/credentials/abc" ? creds_json("AKCONT") : "{}";
    return ok;
  });
  env.set("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", "/v2/credentials/abc");
  CredentialsChainOptions opts;
  opts.container_base = s.url();
  DefaultCredentialsChain chain(opts);
  Credentials c = chain.credentials();
  EXPECT_EQ(c.access_key_id, "AKCONT");
  EXPECT_EQ(c.secret_access_key, "secret-AKCONT");
  EXPECT_EQ(c.session_token, "token-AKCONT");
  EXPECT_TRUE(c.expiration.has_value());
  EXPECT_EQ(c.source, "container");
  chain.credentials();  // cached: one hour left
  EXPECT_EQ(s.count(), 1u);
}

TEST_F(Chain, ContainerFullUriWithAuthorizationToken) {
  FakeHttpServer s([&](const FakeRequest& r) {
    FakeResponse res;
    auto it = r.headers.find("authorization");
    if (it == r.headers.end() || (it->second != "tok-env" && it->second != "tok-file")) {
      res.status = 401;
      return res;
    }
    res.body = creds_json(it->second == "tok-env" ? "AKENVTOK" : "AKFILETOK");
    return res;
  });
  env.set("AWS_CONTAINER_CREDENTIALS_FULL_URI", s.url() + "/creds");
  env.set("AWS_CONTAINER_AUTHORIZATION_TOKEN", "tok-env");
  {
    DefaultCredentialsChain chain;
    EXPECT_EQ(chain.credentials().access_key_id, "AKENVTOK");
  }
  write("token", "tok-file\n");
  env.set("AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE", (dir / "token").string());
  {
    DefaultCredentialsChain chain;
    EXPECT_EQ(chain.credentials().access_key_id, "AKFILETOK");
  }
  env.unset("AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE");
  env.set("AWS_CONTAINER_AUTHORIZATION_TOKEN", "wrong");
  DefaultCredentialsChain chain;
  try {
    chain.credentials();
    FAIL();
  } catch (const TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("HTTP 401"), std::string::npos) << e.what();
  }
}

TEST_F(Chain, ContainerFullUriMustBeLoopbackOverHttp) {
  env.set("AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://example.com/creds");
  DefaultCredentialsChain chain;
  EXPECT_THROW(chain.credentials(), TransportError);
}

TEST_F(Chain, TemporaryCredentialsAreRefreshedBeforeExpiry) {
  std::atomic<int> n{0};
  FakeHttpServer s([&](const FakeRequest&) {
    FakeResponse ok;
    ok.body = creds_json("AK" + std::to_string(++n), 120);  // 2 minutes left < 5 minutes
    return ok;
  });
  env.set("AWS_CONTAINER_CREDENTIALS_FULL_URI", s.url() + "/c");
  DefaultCredentialsChain chain;
  EXPECT_EQ(chain.credentials().access_key_id, "AK1");
  EXPECT_EQ(chain.credentials().access_key_id, "AK2");
  EXPECT_EQ(s.count(), 2u);
}

namespace {
FakeResponse imds(const FakeRequest& r, std::atomic<int>& token_puts) {
  FakeResponse res;
  if (r.method == "PUT" && r.target == "/latest/api/token") {
    if (r.headers.count("x-aws-ec2-metadata-token-ttl-seconds") == 0) res.status = 400;
    ++token_puts;
    res.body = "IMDSTOKEN";
    return res;
  }
  if (r.headers.count("x-aws-ec2-metadata-token") == 0 ||
      r.headers.at("x-aws-ec2-metadata-token") != "IMDSTOKEN") {
    res.status = 401;
    return res;
  }
  if (r.target == "/latest/meta-data/iam/security-credentials/") {
    res.body = "my-role\n";
  } else if (r.target == "/latest/meta-data/iam/security-credentials/my-role") {
    res.body = creds_json("AKIMDS");
  } else {
    res.status = 404;
  }
  return res;
}
}  // namespace

TEST_F(Chain, InstanceMetadataV2) {
  std::atomic<int> puts{0};
  FakeHttpServer s([&](const FakeRequest& r) { return imds(r, puts); });
  env.unset("AWS_EC2_METADATA_DISABLED");
  env.set("AWS_EC2_METADATA_SERVICE_ENDPOINT", s.url() + "/");
  DefaultCredentialsChain chain;
  Credentials c = chain.credentials();
  EXPECT_EQ(c.access_key_id, "AKIMDS");
  EXPECT_EQ(c.session_token, "token-AKIMDS");
  EXPECT_EQ(c.source, "imds");
  EXPECT_EQ(puts.load(), 1);
  EXPECT_EQ(s.count(), 3u);
}

TEST_F(Chain, InstanceMetadataDisabled) {
  std::atomic<int> puts{0};
  FakeHttpServer s([&](const FakeRequest& r) { return imds(r, puts); });
  env.set("AWS_EC2_METADATA_DISABLED", "true");
  env.set("AWS_EC2_METADATA_SERVICE_ENDPOINT", s.url());
  DefaultCredentialsChain chain;
  EXPECT_THROW(chain.credentials(), TransportError);
  EXPECT_EQ(s.count(), 0u);
}

TEST_F(Chain, InstanceMetadataUnreachableMeansNoCredentials) {
  env.unset("AWS_EC2_METADATA_DISABLED");
  // A loopback port nobody listens on: the link is skipped, the chain ends.
  env.set("AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:9");
  DefaultCredentialsChain chain;
  try {
    chain.credentials();
    FAIL();
  } catch (const TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("Unable to locate credentials"), std::string::npos);
  }
}

TEST_F(Chain, ClientUsesChainCredentialsLazily) {
  std::atomic<int> puts{0};
  FakeHttpServer meta([&](const FakeRequest& r) { return imds(r, puts); });
  FakeHttpServer s3([&](const FakeRequest&) { return FakeResponse{}; });
  env.set("AWS_ENDPOINT_URL_S3", s3.url());
  auto client = S3Client::from_environment();  // no credentials anywhere: fine here
  EXPECT_THROW(client->head_object("bkt", "k"), TransportError);
  EXPECT_EQ(s3.count(), 0u);
  env.unset("AWS_EC2_METADATA_DISABLED");
  env.set("AWS_EC2_METADATA_SERVICE_ENDPOINT", meta.url());
  client->head_object("bkt", "k");
  auto reqs = s3.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_NE(reqs[0].headers.at("authorization").find("Credential=AKIMDS/"), std::string::npos);
  EXPECT_EQ(reqs[0].headers.at("x-amz-security-token"), "token-AKIMDS");
  client->head_object("bkt", "k");
  EXPECT_EQ(meta.count(), 3u);  // cached afterwards
}
