// The S3 client under the object-store module (bucketry): libcurl with our own
// AWS Signature V4 signer, the SDK default credential/region/endpoint chain,
// SDK-style bounded retry ("standard" mode), a small pool of connections,
// managed multipart upload with parallel parts and the parsers of the XML
// response bodies.
//
// Internal header: included as "store/s3_client.hpp".
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorin_data/core/errors.hpp"

namespace quorin_data::store {

// ---------------------------------------------------------------- credentials

struct Credentials {
  std::string access_key_id;
  std::string secret_access_key;
  std::string session_token;  // empty when not temporary
  // Set for temporary credentials (container, instance metadata, profile
  // files with an expiry are not supported): refreshed before this instant.
  std::optional<std::chrono::system_clock::time_point> expiration;
  std::string source;  // "environment", "shared-files", "container", "imds"

  bool empty() const { return access_key_id.empty() || secret_access_key.empty(); }
};

class CredentialsProvider {
 public:
  virtual ~CredentialsProvider() = default;
  // Valid credentials, or a TransportError that says why there are none.
  virtual Credentials credentials() = 0;
};

class StaticCredentialsProvider : public CredentialsProvider {
 public:
  explicit StaticCredentialsProvider(Credentials c) : creds_(std::move(c)) {}
  Credentials credentials() override;

 private:
  Credentials creds_;
};

struct CredentialsChainOptions {
  // Base of AWS_CONTAINER_CREDENTIALS_RELATIVE_URI (tests point it at 127.0.0.1).
  std::string container_base = "http://169.254.170.2";
  // Instance metadata address; AWS_EC2_METADATA_SERVICE_ENDPOINT overrides it.
  std::string imds_endpoint = "http://169.254.169.254";
  long metadata_timeout_ms = 1000;
  int metadata_attempts = 1;
  // Temporary credentials are fetched again this long before they expire.
  std::chrono::seconds refresh_before{std::chrono::minutes(5)};
};

// The SDK default chain, in SDK order: environment variables; shared
// credentials/config files (AWS_PROFILE); container credentials; instance
// metadata v2. Resolved lazily at the first request (never at construction),
// cached, and refreshed from the same source before temporary credentials
// expire. Thread-safe.
class DefaultCredentialsChain : public CredentialsProvider {
 public:
  explicit DefaultCredentialsChain(CredentialsChainOptions opts = {});
  Credentials credentials() override;

 private:
  Credentials resolve();
  CredentialsChainOptions opts_;
  std::mutex mu_;
  std::optional<Credentials> cached_;
};

// The individual links of the chain (each returns nothing when its source is
// not configured; a configured source that fails throws TransportError).
std::optional<Credentials> credentials_from_environment();
std::optional<Credentials> credentials_from_shared_files(const std::string& profile);
std::optional<Credentials> credentials_from_container(const CredentialsChainOptions& opts);
std::optional<Credentials> credentials_from_imds(const CredentialsChainOptions& opts);

// AWS_PROFILE, else "default".
std::string active_profile();
// The "region" of a profile in AWS_CONFIG_FILE (~/.aws/config) or
// AWS_SHARED_CREDENTIALS_FILE, empty when none.
std::string profile_region(const std::string& profile);
// AWS_REGION, else AWS_DEFAULT_REGION, else the profile's region, else us-east-1.
std::string region_from_environment();
// AWS_ENDPOINT_URL_S3, else AWS_ENDPOINT_URL, else empty (the AWS endpoint).
std::string endpoint_from_environment();

// ---------------------------------------------------------------- client

struct ClientConfig {
  // A bucket that answers from another region (301 PermanentRedirect, or 400
  // with x-amz-bucket-region) is asked again there once, and its region kept
  // for the client's later requests to it.
  std::string region = "us-east-1";
  // Empty: https://s3.REGION.amazonaws.com with virtual-host addressing.
  // Custom endpoints ("http://127.0.0.1:9000") use path-style addressing.
  std::string endpoint;
  bool path_style = false;  // forced on for custom endpoints
  // Write a '/' of an object key that would open an empty path segment (a
  // leading '/', the second of "//") as %2F. Unset: on for custom endpoints
  // (s3rver's router rejects empty segments), off for AWS (which takes the
  // path as sent; the key is never normalised either way).
  std::optional<bool> escape_empty_segments;
  Credentials creds;        // used when `provider` is null
  std::shared_ptr<CredentialsProvider> provider;
  int max_attempts = 3;             // AWS_MAX_ATTEMPTS
  long connect_timeout_ms = 10000;  // TCP/TLS connect
  long request_timeout_ms = 0;      // whole request; 0 = no limit (large transfers)
  long stall_timeout_ms = 60000;    // fail a transfer that moves < 1 byte/s this long
  long retry_base_ms = 100;         // backoff: random(0,1) * min(cap, base * 2^(attempt-1))
  long retry_cap_ms = 20000;
  std::size_t multipart_threshold = 8u << 20;  // multipart above this size
  std::size_t part_size = 8u << 20;
  // Requests in flight at once: the size of the connection pool (threads
  // sharing the client each take a connection), and the parts of one
  // multipart upload or ranged download sent together. 1 sends one request
  // at a time.
  int max_concurrency = 4;
  // Downloads (get_object, download_file) ask for ranged parts of this size:
  // the first part's answer gives the object's size and ETag, the other parts
  // follow up to max_concurrency at once, each pinned to that ETag (If-Match)
  // and retried on its own. An object up to this size takes one request. 0:
  // one plain GetObject whatever the size.
  std::size_t download_part_size = 8u << 20;
  // The largest answer held in memory as text (listings, error bodies,
  // multipart and delete results); a larger one fails with a clear error.
  std::size_t max_response_bytes = std::size_t{256} << 20;
};

struct ListPage {
  std::vector<std::string> keys;
  bool has_contents = false;  // the response had at least one Contents element
  std::optional<bool> is_truncated;  // absent when the element is absent
  std::optional<std::string> next_continuation_token;
  std::optional<long> key_count;
};

struct ObjectInfo {
  std::uint64_t size = 0;
  std::string etag;
  std::string content_type;
  std::string last_modified;  // the Last-Modified header as sent
};

struct DeleteFailure {
  std::string key, code, message;
};

struct RequestStats {
  // Operations started (one per call; retries are counted separately).
  std::uint64_t list_objects = 0, head_object = 0, get_object = 0, put_object = 0,
                create_multipart_upload = 0, upload_part = 0, complete_multipart_upload = 0,
                abort_multipart_upload = 0, delete_objects = 0, delete_object = 0;
  std::uint64_t get_object_range = 0;  // ranged GetObject calls (also counted in get_object)
  std::uint64_t bytes_received = 0;    // body bytes of successful downloads (whole and ranged)
  std::uint64_t retries = 0;        // attempts beyond the first
  std::uint64_t http_requests = 0;  // every attempt that was sent
  std::uint64_t connections = 0;    // new connections opened (reuse keeps it low)
  std::uint64_t redirects = 0;      // requests sent again in a bucket's own region
  // Wall time spent waiting for CompleteMultipartUpload answers: the server
  // assembles the object then, a step no number of parts in flight shortens.
  std::uint64_t complete_multipart_ns = 0;
};

// Part of an object, as a ranged GetObject answered it.
struct ObjectRange {
  std::vector<std::uint8_t> bytes;  // exactly the bytes asked for
  std::uint64_t object_size = 0;    // the whole object's size
  std::string etag;                 // empty when the answer had none
};

// A parsed error body.
struct ErrorInfo {
  std::string code, message, request_id;
};

class S3Client {
 public:
  // The default chain: region, endpoint, credentials, AWS_MAX_ATTEMPTS.
  static std::shared_ptr<S3Client> from_environment();
  // The configuration from_environment() makes a client from.
  static ClientConfig config_from_environment();
  explicit S3Client(ClientConfig cfg);
  ~S3Client();
  S3Client(const S3Client&) = delete;
  S3Client& operator=(const S3Client&) = delete;

  ListPage list_objects_v2(const std::string& bucket, const std::string& prefix, int max_keys,
                           const std::optional<std::string>& continuation_token);
  ObjectInfo head_object(const std::string& bucket, const std::string& key);
  // The whole object, in download_part_size parts (see ClientConfig).
  std::vector<std::uint8_t> get_object(const std::string& bucket, const std::string& key);
  // GetObject of the bytes [offset, offset + length) ("Range: bytes=a-b";
  // length >= 1). With `if_match` (an ETag) the store is asked to answer only
  // from that version (If-Match) and the answer's ETag must equal it, so that
  // ranges of a replaced object are never mixed. An answer that is not
  // exactly the range asked for (fewer bytes, another Content-Range) raises
  // TransportError naming the object and the range; a store that ignores
  // Range and sends the whole object is answered from its body.
  ObjectRange get_object_range(const std::string& bucket, const std::string& key, std::uint64_t offset,
                               std::uint64_t length, const std::string& if_match = {});
  // GetObject of the object's last `length` bytes ("Range: bytes=-length";
  // length >= 1), with the object's size and ETag from the same answer, so
  // that one request opens an object read from its end. An object shorter
  // than `length` comes whole; an empty one gives no bytes and size 0. A
  // store that ignores Range is answered from the whole body; one that
  // answers another range than the suffix (s3rver reads "-N" as "0-N") is
  // stopped at its headers and asked again for the tail by offsets, pinned
  // to the ETag it named. An answer that is not exactly the tail raises
  // TransportError naming the object and the range.
  ObjectRange get_object_tail(const std::string& bucket, const std::string& key, std::uint64_t length);
  // GetObject in one stream, the body handed to `data` piece by piece as it
  // arrives (false from `data` stops the transfer: TransportError). A retry
  // starts over from the first byte: `restart` is called before it when an
  // earlier attempt has delivered bytes.
  void get_object_stream(const std::string& bucket, const std::string& key, const std::function<void()>& restart,
                         const std::function<bool(const std::uint8_t*, std::size_t)>& data);
  // Streams to a temporary file beside `path`, renames it on success, removes it on failure.
  void download_file(const std::string& bucket, const std::string& key, const std::string& path);
  // Managed upload: one PutObject up to multipart_threshold, multipart (part_size
  // parts, up to max_concurrency of them at once) above it; a failed multipart
  // upload is aborted (the first failing part's error is raised).
  void put_object(const std::string& bucket, const std::string& key, const std::uint8_t* data,
                  std::size_t size);
  void upload_file(const std::string& bucket, const std::string& key, const std::string& path);
  // A managed upload of a body written in pieces, its size not known up
  // front. The bytes are held until they pass multipart_threshold (a smaller
  // body is one PutObject at finish()); past it, parts of part_size go out
  // while later bytes are written, up to max_concurrency at once (part sizes
  // double every 1,000 parts, within S3's 10,000). The failure of a part is
  // raised by a later write() or by finish(); an upload that is not finished
  // (or fails) is aborted.
  class Upload {
   public:
    Upload(S3Client& client, std::string bucket, std::string key);
    ~Upload();
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;
    void write(const std::uint8_t* p, std::size_t n);
    void finish();

   private:
    struct State;
    std::unique_ptr<State> s_;
  };
  void delete_object(const std::string& bucket, const std::string& key);
  // One DeleteObjects request (Quiet mode) for at most 1000 keys (more is a
  // ValueError; none sends nothing). Returns the keys the store did not delete.
  std::vector<DeleteFailure> delete_objects(const std::string& bucket,
                                            const std::vector<std::string>& keys);

  RequestStats stats() const;
  void reset_stats();
  // The URL a request for this object (or the bucket, when key is absent)
  // goes to: virtual-host or path style, the key encoded as sent, in the
  // bucket's region once a redirect has named it.
  std::string url_for(const std::string& bucket, const std::optional<std::string>& key) const;
  const ClientConfig& config() const { return cfg_; }

  struct Impl;

 private:
  ClientConfig cfg_;
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------- parsers
// Namespace-agnostic; throw FormatError naming `source` and what was wrong.

ListPage parse_list_objects_v2(std::string_view xml, const std::string& source);
std::vector<DeleteFailure> parse_delete_result(std::string_view xml, const std::string& source);
std::string parse_initiate_multipart(std::string_view xml, const std::string& source);
// CompleteMultipartUpload may answer 200 with an Error body: returned as an
// ErrorInfo (code set) instead of throwing.
std::optional<ErrorInfo> parse_complete_multipart(std::string_view xml, const std::string& source);
// Never throws: an empty or unparsable body gives empty fields.
ErrorInfo parse_error_body(std::string_view xml);
// A Content-Range header "bytes FIRST-LAST/TOTAL" (TOTAL may be "*", given
// as nothing); nothing when it is not of that form or LAST < FIRST.
struct ContentRange {
  std::uint64_t first = 0, last = 0;
  std::optional<std::uint64_t> total;
};
std::optional<ContentRange> parse_content_range(std::string_view header);

// ---------------------------------------------------------------- signing (exposed for tests)

std::string sha256_hex(const void* data, std::size_t size);
std::string hmac_sha256(const std::string& key, const std::string& data);  // raw bytes
std::string hex_encode(const std::string& raw);
// RFC 3986 percent-encoding of everything but A-Z a-z 0-9 - _ . ~ (and '/'
// when keep_slash).
std::string uri_encode(std::string_view s, bool keep_slash);
// Percent-decoding; '+' is a space when plus_is_space (S3 encoding-type=url).
std::string uri_decode(std::string_view s, bool plus_is_space);

struct SigningInput {
  std::string method;
  std::string canonical_uri;    // already encoded
  std::vector<std::pair<std::string, std::string>> query;    // raw (unencoded) name/value
  std::vector<std::pair<std::string, std::string>> headers;  // name/value; all are signed
  std::string payload_hash;
  std::string region;
  std::string service = "s3";
  std::string amz_date;  // yyyymmddThhmmssZ
};
// The Authorization header value.
std::string sigv4_authorization(const SigningInput& in, const Credentials& creds,
                                std::string* canonical_request_out = nullptr);
std::string canonical_query_string(const std::vector<std::pair<std::string, std::string>>& q);

}  // namespace quorin_data::store
