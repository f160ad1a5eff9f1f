// The S3 client: one libcurl easy handle (connection reuse) behind a mutex,
// our SigV4 signer, standard-mode retry, managed multipart upload.
#include "store/s3_client.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "store/http_util.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::store {

namespace {

using text::lower;
using text::trim;

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

bool retryable_code(const std::string& code) {
  static const std::set<std::string> codes = {
      // throttling (botocore standard mode)
      "Throttling", "ThrottlingException", "ThrottledException", "RequestThrottledException",
      "TooManyRequestsException", "ProvisionedThroughputExceededException",
      "TransactionInProgressException", "RequestLimitExceeded", "BandwidthLimitExceeded",
      "LimitExceededException", "RequestThrottled", "SlowDown", "EC2ThrottledException",
      // transient
      "RequestTimeout", "RequestTimeoutException", "PriorRequestNotComplete", "InternalError"};
  return codes.count(code) > 0;
}

bool retryable_status(long status) {
  return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

bool retryable_curl(CURLcode rc) {
  switch (rc) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
}

// ---- request bodies and response sinks

struct Body {
  const std::uint8_t* mem = nullptr;
  int fd = -1;
  std::uint64_t offset = 0;  // file offset of the range
  std::uint64_t size = 0;
  std::uint64_t pos = 0;
  int read_errno = 0;
};

size_t read_cb(char* buf, size_t sz, size_t n, void* ud) {
  auto* b = static_cast<Body*>(ud);
  std::uint64_t want = std::min<std::uint64_t>(sz * n, b->size - b->pos);
  if (want == 0) return 0;
  if (b->mem) {
    std::memcpy(buf, b->mem + b->pos, want);
  } else {
    ssize_t got;
    do {
      got = ::pread(b->fd, buf, want, static_cast<off_t>(b->offset + b->pos));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      b->read_errno = got < 0 ? errno : EIO;  // 0: the file shrank under us
      return CURL_READFUNC_ABORT;
    }
    want = static_cast<std::uint64_t>(got);
  }
  b->pos += want;
  return want;
}

int seek_cb(void* ud, curl_off_t off, int origin) {
  auto* b = static_cast<Body*>(ud);
  if (origin != SEEK_SET || off < 0 || static_cast<std::uint64_t>(off) > b->size)
    return CURL_SEEKFUNC_CANTSEEK;
  b->pos = static_cast<std::uint64_t>(off);
  return CURL_SEEKFUNC_OK;
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

struct Sink {
  virtual ~Sink() = default;
  virtual bool write(const char* p, std::size_t n) = 0;
  virtual bool reset() = 0;
  virtual void reserve(std::uint64_t) {}
  int err = 0;
  std::uint64_t bytes = 0;  // written since the last reset
};

struct MemSink : Sink {
  std::vector<std::uint8_t>* out;
  explicit MemSink(std::vector<std::uint8_t>* o) : out(o) {}
  bool write(const char* p, std::size_t n) override {
    out->insert(out->end(), p, p + n);
    return true;
  }
  bool reset() override {
    out->clear();
    return true;
  }
  void reserve(std::uint64_t n) override {
    if (n < (std::uint64_t{1} << 34)) out->reserve(static_cast<std::size_t>(n));
  }
};

struct FileSink : Sink {
  int fd;
  explicit FileSink(int f) : fd(f) {}
  bool write(const char* p, std::size_t n) override {
    while (n > 0) {
      ssize_t w = ::write(fd, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        err = w < 0 ? errno : EIO;
        return false;
      }
      p += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }
  bool reset() override {
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
      err = errno;
      return false;
    }
    return true;
  }
};

struct Attempt {
  long status = 0;
  std::string reason;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;                            // error bodies and small answers
  Sink* sink = nullptr;
  bool sink_failed = false;
  bool reserved = false;
};

size_t header_cb(char* p, size_t sz, size_t n, void* ud) {
  auto* a = static_cast<Attempt*>(ud);
  std::string_view line(p, sz * n);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new status line (after 100 Continue or a redirect) starts over.
    a->headers.clear();
    auto sp = line.find(' ');
    if (sp != std::string_view::npos) {
      a->status = std::strtol(std::string(line.substr(sp + 1, 3)).c_str(), nullptr, 10);
      auto sp2 = line.find(' ', sp + 1);
      a->reason = sp2 == std::string_view::npos ? std::string() : trim(line.substr(sp2 + 1));
    }
    return sz * n;
  }
  auto colon = line.find(':');
  if (colon != std::string_view::npos)
    a->headers[lower(std::string(line.substr(0, colon)))] = trim(line.substr(colon + 1));
  return sz * n;
}

size_t write_cb(char* p, size_t sz, size_t n, void* ud) {
  auto* a = static_cast<Attempt*>(ud);
  std::size_t len = sz * n;
  if (a->sink && a->status >= 200 && a->status < 300) {
    if (!a->reserved) {
      a->reserved = true;
      if (auto it = a->headers.find("content-length"); it != a->headers.end())
        a->sink->reserve(std::strtoull(it->second.c_str(), nullptr, 10));
    }
    if (!a->sink->write(p, len)) {
      a->sink_failed = true;
      return 0;
    }
    a->sink->bytes += len;
    return len;
  }
  if (a->body.size() + len > (256u << 20)) return 0;
  a->body.append(p, len);
  return len;
}

struct Endpoint {
  std::string scheme = "https";
  std::string authority;
  std::string base_path;  // without a trailing '/'
};

Endpoint parse_endpoint(const std::string& url) {
  Endpoint e;
  std::string rest = url;
  auto sep = rest.find("://");
  if (sep != std::string::npos) {
    e.scheme = lower(rest.substr(0, sep));
    rest = rest.substr(sep + 3);
  }
  if (e.scheme != "http" && e.scheme != "https")
    throw ValueError("S3 endpoint \"" + detail::redact_userinfo(url) + "\": the scheme must be http or https");
  auto slash = rest.find('/');
  e.authority = rest.substr(0, slash);
  // User information has no use here (requests are signed with the
  // credentials): it is neither sent nor shown.
  if (auto at = e.authority.rfind('@'); at != std::string::npos) e.authority.erase(0, at + 1);
  if (e.authority.empty()) throw ValueError("S3 endpoint \"" + detail::redact_userinfo(url) + "\" names no host");
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
};

// A request addressed to one object.
Request object_request(const char* op, const char* method, const std::string& bucket, const std::string& key) {
  Request r;
  r.op = op;
  r.method = method;
  r.bucket = bucket;
  r.key = key;
  r.object = true;
  return r;
}

}  // namespace

struct S3Client::Impl {
  ClientConfig cfg;
  Endpoint ep;
  bool custom_endpoint = false;
  std::shared_ptr<CredentialsProvider> provider;
  std::mutex curl_mu;
  CURL* curl = nullptr;
  mutable std::mutex stats_mu;
  RequestStats st;

  explicit Impl(const ClientConfig& c) : cfg(c) {
    detail::curl_global_once();
    custom_endpoint = !cfg.endpoint.empty();
    ep = parse_endpoint(custom_endpoint ? cfg.endpoint
                                        : "https://s3." + cfg.region + ".amazonaws.com");
    if (custom_endpoint) cfg.path_style = true;
    provider = cfg.provider ? cfg.provider : std::make_shared<StaticCredentialsProvider>(cfg.creds);
    curl = curl_easy_init();
    if (!curl) throw TransportError("cannot create an HTTP handle");
  }
  ~Impl() {
    if (curl) curl_easy_cleanup(curl);
  }

  void locate(const std::string& bucket, const std::string* key, std::string& host,
              std::string& path) const {
    bool virtual_host = !cfg.path_style && dns_compatible(bucket, ep.scheme == "https");
    host = virtual_host ? bucket + "." + ep.authority : ep.authority;
    path = ep.base_path;
    if (!virtual_host) path += "/" + uri_encode(bucket, false);
    if (key)
      path += "/" + encode_key(*key);
    else if (virtual_host)
      path += "/";
  }

  std::string encode_key(const std::string& key) const {
    if (!cfg.escape_empty_segments.value_or(custom_endpoint)) return uri_encode(key, true);
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

  void count(std::uint64_t RequestStats::*field) {
    std::lock_guard<std::mutex> l(stats_mu);
    ++(st.*field);
  }

  std::string resource(const Request& r) const {
    return "s3://" + r.bucket + (r.object ? "/" + r.key : std::string());
  }

  // Removes every secret from a text that may end up in a message.
  static std::string scrub(std::string m, const Credentials& c, const std::string& auth) {
    auto redact = [&m](const std::string& secret) {
      if (secret.size() < 4) return;
      for (std::size_t p; (p = m.find(secret)) != std::string::npos;)
        m.replace(p, secret.size(), "***");
    };
    redact(c.secret_access_key);
    redact(c.session_token);
    auto sig = auth.find("Signature=");
    if (sig != std::string::npos) redact(auth.substr(sig + 10));
    return m;
  }

  void backoff(int attempt) {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    double cap = static_cast<double>(cfg.retry_cap_ms);
    double exp = static_cast<double>(cfg.retry_base_ms) * static_cast<double>(1ull << std::min(attempt - 1, 30));
    double delay = std::uniform_real_distribution<double>(0.0, 1.0)(rng) * std::min(cap, exp);
    {
      std::lock_guard<std::mutex> l(stats_mu);
      ++st.retries;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(delay * 1000)));
  }

  Attempt send(Request& r) {
    const int max_attempts = std::max(1, cfg.max_attempts);
    std::string host, path;
    locate(r.bucket, r.object ? &r.key : nullptr, host, path);
    std::string url_query;
    for (const auto& [k, v] : r.query) {
      url_query += url_query.empty() ? "?" : "&";
      url_query += uri_encode(k, false);
      if (!v.empty()) url_query += "=" + uri_encode(v, false);
    }
    const std::string url = ep.scheme + "://" + host + path + url_query;
    if (r.payload_hash.empty())
      r.payload_hash = r.body ? body_sha256(*r.body) : sha256_hex("", 0);

    for (int attempt = 1;; ++attempt) {
      Credentials creds = provider->credentials();  // TransportError when none
      SigningInput si;
      si.method = r.method;
      si.canonical_uri = path;
      si.query = r.query;
      si.payload_hash = r.payload_hash;
      si.region = cfg.region;
      si.amz_date = amz_now();
      si.headers = {{"host", host}, {"x-amz-date", si.amz_date},
                    {"x-amz-content-sha256", r.payload_hash}};
      if (!creds.session_token.empty()) si.headers.emplace_back("x-amz-security-token", creds.session_token);
      for (const auto& h : r.headers) si.headers.push_back(h);
      const std::string auth = sigv4_authorization(si, creds);

      Attempt a;
      a.sink = r.sink;
      if (r.body) r.body->pos = 0;  // rewind the body (memory or file range)
      if (r.sink && !r.sink->reset())
        throw TransportError(std::string(r.op) + " " + resource(r) +
                             ": cannot reset the download target: " + std::strerror(r.sink->err));
      if (r.sink) r.sink->bytes = 0;
      char errbuf[CURL_ERROR_SIZE] = {0};
      CURLcode rc;
      long connects = 0;
      {
        std::lock_guard<std::mutex> lock(curl_mu);
        CURL* h = curl;
        curl_easy_reset(h);  // keeps the connection cache
        curl_slist* hl = nullptr;
        for (const auto& [k, v] : si.headers) hl = curl_slist_append(hl, (k + ": " + v).c_str());
        hl = curl_slist_append(hl, ("Authorization: " + auth).c_str());
        hl = curl_slist_append(hl, "Expect:");
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, hl);
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
        curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(h, CURLOPT_USERAGENT, "quorin_data/0.1");
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, cfg.connect_timeout_ms);
        if (cfg.request_timeout_ms > 0) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, cfg.request_timeout_ms);
        if (cfg.stall_timeout_ms > 0) {
          curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
          curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, cfg.stall_timeout_ms / 1000));
        }
        curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
        curl_easy_setopt(h, CURLOPT_TCP_KEEPIDLE, 60L);
        curl_easy_setopt(h, CURLOPT_TCP_KEEPINTVL, 30L);
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, header_cb);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &a);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_cb);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &a);
        if (r.method == "HEAD") {
          curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        } else if (r.body) {
          curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
          if (r.method != "PUT") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, r.method.c_str());
          curl_easy_setopt(h, CURLOPT_READFUNCTION, read_cb);
          curl_easy_setopt(h, CURLOPT_READDATA, r.body);
          curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, seek_cb);
          curl_easy_setopt(h, CURLOPT_SEEKDATA, r.body);
          curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(r.body->size));
        } else if (r.method != "GET") {
          curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, r.method.c_str());
        }
        rc = curl_easy_perform(h);
        curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
        curl_slist_free_all(hl);
      }
      {
        std::lock_guard<std::mutex> l(stats_mu);
        ++st.http_requests;
        st.connections += static_cast<std::uint64_t>(connects);
      }
      const std::string what = std::string(r.op) + " " + resource(r);
      if (rc != CURLE_OK) {
        if (a.sink_failed)
          throw TransportError(what + ": cannot write the download: " + std::strerror(r.sink->err));
        if (r.body && r.body->read_errno)
          throw TransportError(what + ": cannot read the upload source: " +
                               std::strerror(r.body->read_errno));
        if (retryable_curl(rc) && attempt < max_attempts) {
          backoff(attempt);
          continue;
        }
        std::string detail = errbuf[0] ? errbuf : curl_easy_strerror(rc);
        throw TransportError(scrub(what + ": could not complete the request to \"" + ep.scheme +
                                       "://" + host + path + "\" (" + detail + ", curl error " +
                                       std::to_string(static_cast<int>(rc)) + ") after " +
                                       std::to_string(attempt) +
                                       (attempt == 1 ? " attempt" : " attempts"),
                                   creds, auth));
      }
      std::optional<ErrorInfo> err;
      if (a.status < 200 || a.status >= 300) {
        err = parse_error_body(a.body);
      } else if (r.error_in_200) {
        err = parse_complete_multipart(a.body, std::string(r.op) + " response for " + resource(r));
      }
      if (err) {
        if (err->code.empty()) {
          err->code = std::to_string(a.status);
          err->message = a.reason.empty() ? reason_phrase(a.status) : a.reason;
        }
        if (auto it = a.headers.find("x-amz-request-id"); it != a.headers.end() && !it->second.empty())
          err->request_id = it->second;
        bool retry = retryable_status(a.status) || retryable_code(err->code);
        if (retry && attempt < max_attempts) {
          backoff(attempt);
          continue;
        }
        throw StoreError(err->code, scrub(err->message, creds, auth), static_cast<int>(a.status),
                         err->request_id, r.op, scrub(resource(r), creds, auth));
      }
      if (r.sink) {
        std::lock_guard<std::mutex> l(stats_mu);
        st.bytes_received += r.sink->bytes;
      }
      return a;
    }
  }
};

// ------------------------------------------------------------------ client

std::shared_ptr<S3Client> S3Client::from_environment() {
  ClientConfig cfg;
  cfg.region = region_from_environment();
  cfg.endpoint = endpoint_from_environment();
  cfg.path_style = !cfg.endpoint.empty();
  cfg.provider = std::make_shared<DefaultCredentialsChain>();
  if (const char* m = std::getenv("AWS_MAX_ATTEMPTS")) {
    char* end = nullptr;
    long v = std::strtol(m, &end, 10);
    if (*m && end && *end == '\0' && v >= 1 && v <= 100) cfg.max_attempts = static_cast<int>(v);
  }
  return std::make_shared<S3Client>(std::move(cfg));
}

S3Client::S3Client(ClientConfig cfg) : cfg_(std::move(cfg)), impl_(std::make_unique<Impl>(cfg_)) {
  cfg_ = impl_->cfg;
}

S3Client::~S3Client() = default;

RequestStats S3Client::stats() const {
  std::lock_guard<std::mutex> l(impl_->stats_mu);
  return impl_->st;
}

std::string S3Client::url_for(const std::string& bucket,
                              const std::optional<std::string>& key) const {
  std::string host, path;
  impl_->locate(bucket, key ? &*key : nullptr, host, path);
  return impl_->ep.scheme + "://" + host + path;
}

void S3Client::reset_stats() {
  std::lock_guard<std::mutex> l(impl_->stats_mu);
  impl_->st = RequestStats{};
}

ListPage S3Client::list_objects_v2(const std::string& bucket, const std::string& prefix,
                                   int max_keys, const std::optional<std::string>& token) {
  impl_->count(&RequestStats::list_objects);
  Request r;
  r.op = "ListObjectsV2";
  r.bucket = bucket;
  r.query = {{"list-type", "2"}, {"encoding-type", "url"}, {"max-keys", std::to_string(max_keys)}};
  if (!prefix.empty()) r.query.emplace_back("prefix", prefix);
  if (token) r.query.emplace_back("continuation-token", *token);
  Attempt a = impl_->send(r);
  return parse_list_objects_v2(a.body, "ListObjectsV2 response for s3://" + bucket + "/" + prefix);
}

ObjectInfo S3Client::head_object(const std::string& bucket, const std::string& key) {
  impl_->count(&RequestStats::head_object);
  Request r = object_request("HeadObject", "HEAD", bucket, key);
  Attempt a = impl_->send(r);
  ObjectInfo info;
  if (auto it = a.headers.find("content-length"); it != a.headers.end())
    info.size = std::strtoull(it->second.c_str(), nullptr, 10);
  if (auto it = a.headers.find("etag"); it != a.headers.end()) info.etag = it->second;
  if (auto it = a.headers.find("content-type"); it != a.headers.end()) info.content_type = it->second;
  if (auto it = a.headers.find("last-modified"); it != a.headers.end()) info.last_modified = it->second;
  return info;
}

std::vector<std::uint8_t> S3Client::get_object(const std::string& bucket, const std::string& key) {
  impl_->count(&RequestStats::get_object);
  std::vector<std::uint8_t> out;
  MemSink sink(&out);
  Request r = object_request("GetObject", "GET", bucket, key);
  r.sink = &sink;
  impl_->send(r);
  return out;
}

ObjectRange S3Client::get_object_range(const std::string& bucket, const std::string& key, std::uint64_t offset,
                                       std::uint64_t length, const std::string& if_match) {
  const std::string what = "GetObject s3://" + bucket + "/" + key;
  if (length == 0 || offset > UINT64_MAX - length)
    throw ValueError(what + ": invalid byte range (offset " + std::to_string(offset) + ", length " +
                     std::to_string(length) + ")");
  const std::uint64_t last = offset + length - 1;
  const std::string range = "bytes=" + std::to_string(offset) + "-" + std::to_string(last);
  impl_->count(&RequestStats::get_object);
  impl_->count(&RequestStats::get_object_range);
  ObjectRange out;
  MemSink sink(&out.bytes);
  Request r = object_request("GetObject", "GET", bucket, key);
  r.headers.emplace_back("range", range);
  if (!if_match.empty()) r.headers.emplace_back("if-match", if_match);
  r.sink = &sink;
  Attempt a = impl_->send(r);
  if (auto it = a.headers.find("etag"); it != a.headers.end()) out.etag = it->second;
  auto fail = [&](const std::string& why) { return TransportError(what + ": the answer to Range " + range + " " + why); };
  if (!if_match.empty() && out.etag != if_match)
    throw fail("comes from another version of the object (ETag " + (out.etag.empty() ? "none" : out.etag) +
         ", expected " + if_match + ")");
  if (a.status == 206) {
    auto h = a.headers.find("content-range");
    std::optional<ContentRange> cr;
    if (h != a.headers.end()) cr = parse_content_range(h->second);
    if (!cr || !cr->total) throw fail("has no valid Content-Range");
    out.object_size = *cr->total;
    if (cr->first != offset || cr->last != last || out.bytes.size() != length)
      throw fail("holds " + std::to_string(out.bytes.size()) + " bytes (Content-Range " + h->second + ") for the " +
           std::to_string(length) + " asked");
    return out;
  }
  // A whole-object answer: the store ignored Range.
  out.object_size = out.bytes.size();
  if (out.bytes.size() < offset || out.bytes.size() - offset < length)
    throw fail("is the whole object of " + std::to_string(out.bytes.size()) + " bytes, shorter than the range");
  out.bytes.erase(out.bytes.begin() + static_cast<std::ptrdiff_t>(offset + length), out.bytes.end());
  out.bytes.erase(out.bytes.begin(), out.bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  return out;
}

std::optional<ContentRange> parse_content_range(std::string_view h) {
  auto number = [](std::string_view& s, std::uint64_t& v) {
    std::size_t i = 0;
    v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
      const std::uint64_t d = static_cast<std::uint64_t>(s[i] - '0');
      if (v > (UINT64_MAX - d) / 10) return false;
      v = v * 10 + d;
    }
    s.remove_prefix(i);
    return i > 0;
  };
  while (!h.empty() && (h.front() == ' ' || h.front() == '\t')) h.remove_prefix(1);
  while (!h.empty() && (h.back() == ' ' || h.back() == '\t')) h.remove_suffix(1);
  if (h.size() < 6 || h.substr(0, 6) != "bytes ") return std::nullopt;
  h.remove_prefix(6);
  ContentRange cr;
  if (!number(h, cr.first) || h.empty() || h.front() != '-') return std::nullopt;
  h.remove_prefix(1);
  if (!number(h, cr.last) || h.empty() || h.front() != '/') return std::nullopt;
  h.remove_prefix(1);
  if (h == "*") {
    cr.total.reset();
  } else {
    std::uint64_t t;
    if (!number(h, t) || !h.empty()) return std::nullopt;
    cr.total = t;
  }
  if (cr.last < cr.first || (cr.total && cr.last >= *cr.total)) return std::nullopt;
  return cr;
}

void S3Client::download_file(const std::string& bucket, const std::string& key,
                             const std::string& path) {
  namespace fs = std::filesystem;
  fs::path target(path);
  fs::path dir = target.parent_path();
  std::string tmpl = (dir.empty() ? fs::path(".") : dir).string() + "/." +
                     target.filename().string() + ".part-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0)
    throw TransportError("GetObject s3://" + bucket + "/" + key + ": cannot create a temporary file beside \"" +
                         path + "\": " + std::strerror(errno));
  const std::string tmp(name.data());
  try {
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    impl_->count(&RequestStats::get_object);
    FileSink sink(fd);
    Request r = object_request("GetObject", "GET", bucket, key);
    r.sink = &sink;
    impl_->send(r);
    if (::close(fd) != 0) {
      fd = -1;
      throw TransportError("GetObject s3://" + bucket + "/" + key + ": cannot write \"" + tmp +
                           "\": " + std::strerror(errno));
    }
    fd = -1;
    if (::rename(tmp.c_str(), path.c_str()) != 0)
      throw TransportError("GetObject s3://" + bucket + "/" + key + ": cannot rename the download to \"" +
                           path + "\": " + std::strerror(errno));
  } catch (...) {
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
}

namespace {

struct MultipartSource {
  const std::uint8_t* mem = nullptr;
  int fd = -1;
  Body range(std::uint64_t off, std::uint64_t len) const {
    Body b;
    b.size = len;
    if (mem) {
      b.mem = mem + off;
    } else {
      b.fd = fd;
      b.offset = off;
    }
    return b;
  }
};

}  // namespace

static void managed_upload(S3Client::Impl& impl, const std::string& bucket, const std::string& key,
                           const MultipartSource& src, std::uint64_t size) {
  const ClientConfig& cfg = impl.cfg;
  if (size <= cfg.multipart_threshold) {
    impl.count(&RequestStats::put_object);
    Body body = src.range(0, size);
    if (!body.mem && size == 0) body.mem = reinterpret_cast<const std::uint8_t*>("");
    Request r = object_request("PutObject", "PUT", bucket, key);
    r.body = &body;
    impl.send(r);
    return;
  }
  std::uint64_t part = std::max<std::uint64_t>(cfg.part_size, (size + 9999) / 10000);
  impl.count(&RequestStats::create_multipart_upload);
  Request c = object_request("CreateMultipartUpload", "POST", bucket, key);
  c.query = {{"uploads", ""}};
  Body empty;
  empty.mem = reinterpret_cast<const std::uint8_t*>("");
  c.body = &empty;
  Attempt ca = impl.send(c);
  const std::string upload_id =
      parse_initiate_multipart(ca.body, "CreateMultipartUpload response for s3://" + bucket + "/" + key);
  try {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
    std::uint64_t n = 0;
    for (std::uint64_t off = 0; off < size; off += part) {
      ++n;
      impl.count(&RequestStats::upload_part);
      Body body = src.range(off, std::min(part, size - off));
      Request p = object_request("UploadPart", "PUT", bucket, key);
      p.query = {{"partNumber", std::to_string(n)}, {"uploadId", upload_id}};
      p.body = &body;
      Attempt pa = impl.send(p);
      auto it = pa.headers.find("etag");
      if (it == pa.headers.end() || it->second.empty())
        throw FormatError("S3 response", "UploadPart response for s3://" + bucket + "/" + key,
                          "part " + std::to_string(n), "no ETag header");
      xml += "<Part><PartNumber>" + std::to_string(n) + "</PartNumber><ETag>" +
             xml_escape(it->second) + "</ETag></Part>";
    }
    xml += "</CompleteMultipartUpload>";
    impl.count(&RequestStats::complete_multipart_upload);
    Body body;
    body.mem = reinterpret_cast<const std::uint8_t*>(xml.data());
    body.size = xml.size();
    Request f = object_request("CompleteMultipartUpload", "POST", bucket, key);
    f.query = {{"uploadId", upload_id}};
    f.headers = {{"content-type", "application/xml"}};
    f.body = &body;
    f.error_in_200 = true;
    impl.send(f);
  } catch (...) {
    try {
      impl.count(&RequestStats::abort_multipart_upload);
      Request ab = object_request("AbortMultipartUpload", "DELETE", bucket, key);
      ab.query = {{"uploadId", upload_id}};
      impl.send(ab);
    } catch (...) {
      // The original failure is what the caller needs to see.
    }
    throw;
  }
}

void S3Client::put_object(const std::string& bucket, const std::string& key,
                          const std::uint8_t* data, std::size_t size) {
  MultipartSource src;
  src.mem = data ? data : reinterpret_cast<const std::uint8_t*>("");
  managed_upload(*impl_, bucket, key, src, size);
}

void S3Client::upload_file(const std::string& bucket, const std::string& key,
                           const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw TransportError("PutObject s3://" + bucket + "/" + key + ": cannot open \"" + path +
                         "\": " + std::strerror(errno));
  struct FdGuard {
    int fd;
    ~FdGuard() { ::close(fd); }
  } guard{fd};
  struct stat sb;
  if (::fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode))
    throw TransportError("PutObject s3://" + bucket + "/" + key + ": \"" + path +
                         "\" is not a regular file");
  MultipartSource src;
  src.fd = fd;
  managed_upload(*impl_, bucket, key, src, static_cast<std::uint64_t>(sb.st_size));
}

void S3Client::delete_object(const std::string& bucket, const std::string& key) {
  impl_->count(&RequestStats::delete_object);
  Request r = object_request("DeleteObject", "DELETE", bucket, key);
  impl_->send(r);
}

std::vector<DeleteFailure> S3Client::delete_objects(const std::string& bucket,
                                                    const std::vector<std::string>& keys) {
  if (keys.size() > 1000)
    throw ValueError("DeleteObjects takes at most 1000 keys per request, got " +
                     std::to_string(keys.size()));
  if (keys.empty()) return {};
  impl_->count(&RequestStats::delete_objects);
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<Delete xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Quiet>true</Quiet>";
  for (const auto& k : keys) xml += "<Object><Key>" + xml_escape(k) + "</Key></Object>";
  xml += "</Delete>";
  Body body;
  body.mem = reinterpret_cast<const std::uint8_t*>(xml.data());
  body.size = xml.size();
  Request r;
  r.op = "DeleteObjects";
  r.method = "POST";
  r.bucket = bucket;
  r.query = {{"delete", ""}};
  r.headers = {{"content-md5", base64_md5(xml)}, {"content-type", "application/xml"}};
  r.body = &body;
  Attempt a = impl_->send(r);
  return parse_delete_result(a.body, "DeleteObjects response for s3://" + bucket);
}

}  // namespace quorin_data::store
