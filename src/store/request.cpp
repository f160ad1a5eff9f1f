#include "store/request.hpp"

#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "quorin_data/core/text.hpp"
#include "store/http_util.hpp"

namespace quorin_data::store::detail {

using text::lower;

Endpoint parse_endpoint(const std::string& url) {
  Endpoint e;
  std::string rest = url;
  auto sep = rest.find("://");
  if (sep != std::string::npos) {
    e.scheme = lower(rest.substr(0, sep));
    rest = rest.substr(sep + 3);
  }
  if (e.scheme != "http" && e.scheme != "https")
    throw ValueError("S3 endpoint \"" + redact_userinfo(url) + "\": the scheme must be http or https");
  auto slash = rest.find('/');
  e.authority = rest.substr(0, slash);
  // User information has no use here (requests are signed with the
  // credentials): it is neither sent nor shown.
  if (auto at = e.authority.rfind('@'); at != std::string::npos) e.authority.erase(0, at + 1);
  if (e.authority.empty()) throw ValueError("S3 endpoint \"" + redact_userinfo(url) + "\" names no host");
  if (slash != std::string::npos) {
    e.base_path = rest.substr(slash);
    while (!e.base_path.empty() && e.base_path.back() == '/') e.base_path.pop_back();
  }
  // Drop default ports so that the signed Host matches what servers expect.
  if (e.scheme == "https" && e.authority.size() > 4 &&
      e.authority.compare(e.authority.size() - 4, 4, ":443") == 0)
    e.authority.resize(e.authority.size() - 4);
  if (e.scheme == "http" && e.authority.size() > 3 &&
      e.authority.compare(e.authority.size() - 3, 3, ":80") == 0)
    e.authority.resize(e.authority.size() - 3);
  return e;
}

bool dns_compatible(const std::string& bucket, bool https) {
  if (bucket.size() < 3 || bucket.size() > 63) return false;
  for (char c : bucket) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || (c == '.' && !https);
    if (!ok) return false;
  }
  return bucket.front() != '-' && bucket.back() != '-' && bucket.front() != '.';
}

void Addressing::locate(const std::string& bucket, const std::string* key, std::string& host,
                        std::string& path) const {
  bool virtual_host = !path_style && dns_compatible(bucket, ep.scheme == "https");
  host = virtual_host ? bucket + "." + ep.authority : ep.authority;
  path = ep.base_path;
  // (Appended piecewise: GCC 12 warns falsely on "/" + string here.)
  if (!virtual_host) {
    path += '/';
    path += uri_encode(bucket, false);
  }
  if (key) {
    path += '/';
    path += encode_key(*key);
  } else if (virtual_host)
    path += "/";
}

std::string Addressing::encode_key(const std::string& key) const {
  if (!escape_empty_segments) return uri_encode(key, true);
  std::string out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= key.size(); ++i) {
    if (i < key.size() && key[i] != '/') continue;
    out += uri_encode(std::string_view(key).substr(start, i - start), false);
    if (i < key.size()) out += (i == 0 || key[i - 1] == '/') ? "%2F" : "/";
    start = i + 1;
  }
  return out;
}

std::string body_sha256(const Body& b) {
  if (b.mem || b.size == 0) return sha256_hex(b.mem ? b.mem : reinterpret_cast<const std::uint8_t*>(""), b.size);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  std::vector<char> buf(1 << 20);
  std::uint64_t done = 0;
  while (done < b.size) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), b.size - done));
    ssize_t got = ::pread(b.fd, buf.data(), want, static_cast<off_t>(b.offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      int e = got < 0 ? errno : EIO;
      EVP_MD_CTX_free(ctx);
      throw TransportError(std::string("cannot read the upload source: ") + std::strerror(e));
    }
    EVP_DigestUpdate(ctx, buf.data(), static_cast<std::size_t>(got));
    done += static_cast<std::uint64_t>(got);
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, md, &len);
  EVP_MD_CTX_free(ctx);
  return hex_encode(std::string(reinterpret_cast<char*>(md), len));
}

Request object_request(const char* op, const char* method, const std::string& bucket, const std::string& key) {
  Request r;
  r.op = op;
  r.method = method;
  r.bucket = bucket;
  r.key = key;
  r.object = true;
  return r;
}

std::string url_query(const std::vector<std::pair<std::string, std::string>>& query) {
  std::string out;
  for (const auto& [k, v] : query) {
    out += out.empty() ? "?" : "&";
    out += uri_encode(k, false);
    if (!v.empty()) {
      out += '=';
      out += uri_encode(v, false);
    }
  }
  return out;
}

std::vector<std::string> signed_header_lines(const Request& r, const std::string& host, const std::string& path,
                                             const std::string& region, const Credentials& creds,
                                             const std::string& amz_date, std::string* auth_out) {
  SigningInput si;
  si.method = r.method;
  si.canonical_uri = path;
  si.query = r.query;
  si.payload_hash = r.payload_hash;
  si.region = region;
  si.amz_date = amz_date;
  si.headers = {{"host", host}, {"x-amz-date", amz_date}, {"x-amz-content-sha256", r.payload_hash}};
  if (!creds.session_token.empty()) si.headers.emplace_back("x-amz-security-token", creds.session_token);
  for (const auto& h : r.headers) si.headers.push_back(h);
  const std::string auth = sigv4_authorization(si, creds);
  std::vector<std::string> lines;
  lines.reserve(si.headers.size() + 1);
  for (const auto& [k, v] : si.headers) lines.push_back(k + ": " + v);
  lines.push_back("Authorization: " + auth);
  if (auth_out) *auth_out = auth;
  return lines;
}

std::string amz_now() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
  return buf;
}

std::string xml_escape(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 16);
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\r': out += "&#13;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string base64_md5(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_md5(), nullptr);
  unsigned char out[64];
  int n = EVP_EncodeBlock(out, md, static_cast<int>(len));
  return std::string(reinterpret_cast<char*>(out), n);
}

const char* reason_phrase(long status) {
  switch (status) {
    case 301: return "Moved Permanently";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 412: return "Precondition Failed";
    case 416: return "Requested Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "";
  }
}

}  // namespace quorin_data::store::detail
