// The S3 client: request sending with retries over the connection pool, and
// the single-request operations.
#include "store/s3_client.hpp"

#include <algorithm>
#include <cstring>

#include "store/client_impl.hpp"
#include "store/http_util.hpp"

namespace quorin_data::store {

using detail::Attempt;
using detail::Body;
using detail::MemSink;
using detail::Request;
using detail::object_request;

namespace {

// Removes every secret from a text that may end up in a message.
std::string scrub(std::string m, const Credentials& c, const std::string& auth) {
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

// A ranged GetObject whose body lands in `sink`, counted as one.
Request ranged_get(S3Client::Impl& impl, const std::string& bucket, const std::string& key,
                   const std::string& range, MemSink& sink) {
  impl.count(&RequestStats::get_object);
  impl.count(&RequestStats::get_object_range);
  Request r = object_request("GetObject", "GET", bucket, key);
  r.headers.emplace_back("range", range);
  r.sink = &sink;
  return r;
}

}  // namespace

S3Client::Impl::Impl(const ClientConfig& c) : cfg(c) {
  detail::curl_global_once();
  custom_endpoint = !cfg.endpoint.empty();
  addr.ep = detail::parse_endpoint(custom_endpoint ? cfg.endpoint : "https://s3." + cfg.region + ".amazonaws.com");
  if (custom_endpoint) cfg.path_style = true;
  addr.path_style = cfg.path_style;
  addr.escape_empty_segments = cfg.escape_empty_segments.value_or(custom_endpoint);
  provider = cfg.provider ? cfg.provider : std::make_shared<StaticCredentialsProvider>(cfg.creds);
  retry.max_attempts = std::max(1, cfg.max_attempts);
  retry.base_ms = cfg.retry_base_ms;
  retry.cap_ms = cfg.retry_cap_ms;
  timeouts.connect_ms = cfg.connect_timeout_ms;
  timeouts.request_ms = cfg.request_timeout_ms;
  timeouts.stall_ms = cfg.stall_timeout_ms;
  pool = std::make_unique<detail::ConnectionPool>(static_cast<std::size_t>(std::max(1, cfg.max_concurrency)));
}

std::string S3Client::Impl::region_of(const std::string& bucket) const {
  std::lock_guard<std::mutex> l(region_mu);
  auto it = bucket_regions.find(bucket);
  return it == bucket_regions.end() ? cfg.region : it->second;
}

detail::Addressing S3Client::Impl::addressing_for(const std::string& region) const {
  if (custom_endpoint || region == cfg.region) return addr;
  detail::Addressing a = addr;
  a.ep = detail::parse_endpoint("https://s3." + region + ".amazonaws.com");
  return a;
}

Attempt S3Client::Impl::send(Request& r) {
  std::string region = region_of(r.bucket);
  std::string host, path, url;
  detail::Addressing where;
  auto route = [&] {
    where = addressing_for(region);
    where.locate(r.bucket, r.object ? &r.key : nullptr, host, path);
    url = where.ep.scheme + "://" + host + path + detail::url_query(r.query);
  };
  route();
  if (r.payload_hash.empty()) r.payload_hash = r.body ? detail::body_sha256(*r.body) : sha256_hex("", 0);
  bool redirected = false;

  for (int attempt = 1;; ++attempt) {
    Credentials creds = provider->credentials();  // TransportError when none
    std::string auth;
    const auto lines = detail::signed_header_lines(r, host, path, region, creds, detail::amz_now(), &auth);

    Attempt a;
    a.sink = r.sink;
    a.tail_only = r.tail_only;
    a.body_cap = cfg.max_response_bytes;
    if (r.body) r.body->pos = 0;  // rewind the body (memory or file range)
    if (r.sink && !r.sink->reset())
      throw TransportError(std::string(r.op) + " " + resource(r) +
                           ": cannot reset the download target: " + std::strerror(r.sink->err));
    if (r.sink) r.sink->bytes = 0;
    const detail::Exchange ex = detail::perform(*pool, r.method, url, lines, r.body, a, timeouts);
    {
      std::lock_guard<std::mutex> l(stats_mu);
      ++st.http_requests;
      st.connections += static_cast<std::uint64_t>(ex.connects);
    }
    const std::string what = std::string(r.op) + " " + resource(r);
    if (ex.curl_code != 0 && (a.empty_range || a.not_tail)) return a;
    if (ex.curl_code != 0) {
      if (a.sink_failed)
        throw TransportError(what + ": cannot write the download: " + std::strerror(r.sink->err));
      if (a.over_cap)
        throw TransportError(what + ": the response is larger than the client's limit of " +
                             std::to_string(cfg.max_response_bytes) +
                             " bytes for an answer held in memory (ClientConfig::max_response_bytes)");
      if (r.body && r.body->read_errno)
        throw TransportError(what + ": cannot read the upload source: " + std::strerror(r.body->read_errno));
      if (retry.retry_transport(ex.curl_code, attempt)) {
        count(&RequestStats::retries);
        retry.sleep_before_retry(attempt);
        continue;
      }
      throw TransportError(scrub(what + ": could not complete the request to \"" + where.ep.scheme + "://" + host +
                                     path + "\" (" + ex.error + ", curl error " + std::to_string(ex.curl_code) +
                                     ") after " + std::to_string(attempt) + (attempt == 1 ? " attempt" : " attempts"),
                                 creds, auth));
    }
    std::optional<ErrorInfo> err;
    if (a.status < 200 || a.status >= 300) {
      err = parse_error_body(a.body);
    } else if (r.error_in_200) {
      err = parse_complete_multipart(a.body, std::string(r.op) + " response for " + resource(r));
    }
    if (err) {
      // A bucket in another region: 301 PermanentRedirect, or 400 (a request
      // signed for the wrong region), with the bucket's region in a header.
      // Tried once more there, and the region kept for the bucket.
      if (!redirected && (a.status == 301 || a.status == 400)) {
        auto it = a.headers.find("x-amz-bucket-region");
        if (it != a.headers.end() && !it->second.empty() && it->second != region &&
            it->second.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos) {
          region = it->second;
          {
            std::lock_guard<std::mutex> l(region_mu);
            bucket_regions[r.bucket] = region;
          }
          count(&RequestStats::redirects);
          route();
          redirected = true;
          --attempt;  // not a retry: the request has not been tried there yet
          continue;
        }
      }
      if (err->code.empty()) {
        err->code = std::to_string(a.status);
        err->message = a.reason.empty() ? detail::reason_phrase(a.status) : a.reason;
      }
      if (auto it = a.headers.find("x-amz-request-id"); it != a.headers.end() && !it->second.empty())
        err->request_id = it->second;
      if (retry.retry_answer(a.status, err->code, attempt)) {
        count(&RequestStats::retries);
        retry.sleep_before_retry(attempt);
        continue;
      }
      throw StoreError(err->code, scrub(err->message, creds, auth), static_cast<int>(a.status), err->request_id,
                       r.op, scrub(resource(r), creds, auth));
    }
    if (r.sink) {
      std::lock_guard<std::mutex> l(stats_mu);
      st.bytes_received += r.sink->bytes;
    }
    return a;
  }
}

std::shared_ptr<S3Client> S3Client::from_environment() {
  return std::make_shared<S3Client>(config_from_environment());
}

ClientConfig S3Client::config_from_environment() {
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
  return cfg;
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
  const detail::Addressing where = impl_->addressing_for(impl_->region_of(bucket));
  where.locate(bucket, key ? &*key : nullptr, host, path);
  return where.ep.scheme + "://" + host + path;
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

ObjectRange S3Client::get_object_range(const std::string& bucket, const std::string& key, std::uint64_t offset,
                                       std::uint64_t length, const std::string& if_match) {
  const std::string what = "GetObject s3://" + bucket + "/" + key;
  if (length == 0 || offset > UINT64_MAX - length)
    throw ValueError(what + ": invalid byte range (offset " + std::to_string(offset) + ", length " +
                     std::to_string(length) + ")");
  const std::uint64_t last = offset + length - 1;
  const std::string range = "bytes=" + std::to_string(offset) + "-" + std::to_string(last);
  ObjectRange out;
  MemSink sink(&out.bytes);
  Request r = ranged_get(*impl_, bucket, key, range, sink);
  if (!if_match.empty()) r.headers.emplace_back("if-match", if_match);
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

ObjectRange S3Client::get_object_tail(const std::string& bucket, const std::string& key, std::uint64_t length) {
  const std::string what = "GetObject s3://" + bucket + "/" + key;
  if (length == 0) throw ValueError(what + ": invalid suffix length 0");
  const std::string range = "bytes=-" + std::to_string(length);
  ObjectRange out;
  MemSink sink(&out.bytes);
  Request r = ranged_get(*impl_, bucket, key, range, sink);
  r.tail_only = true;
  Attempt a;
  try {
    a = impl_->send(r);
  } catch (const StoreError& e) {
    // Only an empty object has no last byte to give.
    if (e.http_status() != 416) throw;
    return out;
  }
  if (a.empty_range) {
    out.bytes.clear();
    return out;
  }
  if (auto it = a.headers.find("etag"); it != a.headers.end()) out.etag = it->second;
  if (a.status != 206) {  // the whole object: the store ignored Range
    out.object_size = out.bytes.size();
    if (out.bytes.size() > length)
      out.bytes.erase(out.bytes.begin(), out.bytes.end() - static_cast<std::ptrdiff_t>(length));
    return out;
  }
  auto h = a.headers.find("content-range");
  std::optional<ContentRange> cr;
  if (h != a.headers.end()) cr = parse_content_range(h->second);
  auto fail = [&](const std::string& why) { return TransportError(what + ": the answer to Range " + range + " " + why); };
  if (!cr || !cr->total) throw fail("has no valid Content-Range");
  const std::uint64_t total = *cr->total, want = std::min(length, total);
  if (a.not_tail) {
    ObjectRange tail = get_object_range(bucket, key, total - want, want, out.etag);
    if (tail.object_size != total)
      throw fail("names an object of " + std::to_string(total) + " bytes, which is now " +
                 std::to_string(tail.object_size) + " bytes long");
    return tail;
  }
  // The tail, or more of the object up to its end (a store that reads "-N"
  // as "0-N" on an object of N + 1 bytes): the last `want` of them.
  out.object_size = total;
  if (cr->first > total - want || out.bytes.size() != cr->last - cr->first + 1)
    throw fail("holds " + std::to_string(out.bytes.size()) + " bytes (Content-Range " + h->second +
               ") for the last " + std::to_string(want) + " of " + std::to_string(total));
  out.bytes.erase(out.bytes.begin(), out.bytes.end() - static_cast<std::ptrdiff_t>(want));
  return out;
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
  for (const auto& k : keys) xml += "<Object><Key>" + detail::xml_escape(k) + "</Key></Object>";
  xml += "</Delete>";
  Body body;
  body.mem = reinterpret_cast<const std::uint8_t*>(xml.data());
  body.size = xml.size();
  Request r;
  r.op = "DeleteObjects";
  r.method = "POST";
  r.bucket = bucket;
  r.query = {{"delete", ""}};
  r.headers = {{"content-md5", detail::base64_md5(xml)}, {"content-type", "application/xml"}};
  r.body = &body;
  Attempt a = impl_->send(r);
  return parse_delete_result(a.body, "DeleteObjects response for s3://" + bucket);
}

}  // namespace quorin_data::store
