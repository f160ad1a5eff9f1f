// Request building: where a request goes (endpoint, addressing style, key
// encoding), its body, and its signed headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/s3_client.hpp"

namespace quorin_data::store::detail {

struct Endpoint {
  std::string scheme = "https";
  std::string authority;
  std::string base_path;  // without a trailing '/'
};

// Parses "scheme://[user@]host[:port][/base]"; drops user information and
// default ports. ValueError for another scheme or no host.
Endpoint parse_endpoint(const std::string& url);

// Can the bucket be the first label of a virtual host name?
bool dns_compatible(const std::string& bucket, bool https);

// Where requests for a bucket or an object go.
struct Addressing {
  Endpoint ep;
  bool path_style = false;
  bool escape_empty_segments = false;

  void locate(const std::string& bucket, const std::string* key, std::string& host, std::string& path) const;
  std::string encode_key(const std::string& key) const;
};

// The body of a request: a memory range or a file range (read with pread, so
// that several parts of one file can be sent at once).
struct Body {
  const std::uint8_t* mem = nullptr;
  int fd = -1;
  std::uint64_t offset = 0;  // file offset of the range
  std::uint64_t size = 0;
  std::uint64_t pos = 0;
  int read_errno = 0;
};

// Hex SHA-256 of the body (TransportError when the file cannot be read).
std::string body_sha256(const Body& b);

class Sink;

struct Request {
  const char* op = "";
  std::string method = "GET";
  std::string bucket, key;
  bool object = false;  // key addresses an object (else a bucket operation)
  std::vector<std::pair<std::string, std::string>> query;
  std::vector<std::pair<std::string, std::string>> headers;  // extra, signed
  Body* body = nullptr;
  std::string payload_hash;
  Sink* sink = nullptr;
  bool error_in_200 = false;  // CompleteMultipartUpload
  bool tail_only = false;     // a suffix range: see Attempt::tail_only
};

// A request addressed to one object.
Request object_request(const char* op, const char* method, const std::string& bucket, const std::string& key);

// "?a=b&c" from raw query pairs (a value-less pair gives the bare name).
std::string url_query(const std::vector<std::pair<std::string, std::string>>& query);

// The header lines of a signed request ("name: value", Authorization last).
// `auth_out` receives the Authorization value (to keep its signature out of messages).
std::vector<std::string> signed_header_lines(const Request& r, const std::string& host, const std::string& path,
                                             const std::string& region, const Credentials& creds,
                                             const std::string& amz_date, std::string* auth_out);

std::string amz_now();
std::string xml_escape(std::string_view s);
std::string base64_md5(const std::string& data);
const char* reason_phrase(long status);

}  // namespace quorin_data::store::detail
