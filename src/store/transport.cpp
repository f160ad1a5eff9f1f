#include "store/transport.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "kernels/buffers.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/text.hpp"
#include "store/http_util.hpp"

namespace quorin_data::store::detail {

namespace {

using text::lower;
using text::trim;

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
  if (a->status == 206 && trim(line).empty()) {
    auto it = a->headers.find("content-range");
    if (it != a->headers.end() && it->second.size() > 2 && it->second.compare(it->second.size() - 2, 2, "/0") == 0) {
      a->empty_range = true;
      return 0;
    }
    if (a->tail_only) {
      std::optional<ContentRange> cr;
      if (it != a->headers.end()) cr = parse_content_range(it->second);
      if (!cr || !cr->total || cr->last + 1 != *cr->total) {
        a->not_tail = true;
        return 0;
      }
    }
  }
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
  if (len > a->body_cap - std::min(a->body_cap, a->body.size())) {
    a->over_cap = true;
    return 0;
  }
  a->body.append(p, len);
  return len;
}

}  // namespace

bool MemSink::write(const char* p, std::size_t n) {
  out->insert(out->end(), p, p + n);
  return true;
}
bool MemSink::reset() {
  out->clear();
  return true;
}
void MemSink::reserve(std::uint64_t n) {
  if (n < (std::uint64_t{1} << 34)) kernels::reserve_large(*out, static_cast<std::size_t>(n));
}

bool write_all(int fd, const char* p, std::size_t n, const std::uint64_t* at, int& err) {
  std::uint64_t off = at ? *at : 0;
  while (n > 0) {
    const ssize_t w = at ? ::pwrite(fd, p, n, static_cast<off_t>(off)) : ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      err = w < 0 ? errno : EIO;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
    off += static_cast<std::uint64_t>(w);
  }
  return true;
}

bool FileSink::write(const char* p, std::size_t n) { return write_all(fd, p, n, nullptr, err); }
bool FileSink::reset() {
  if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
    err = errno;
    return false;
  }
  return true;
}

ConnectionPool::ConnectionPool(std::size_t limit) : limit_(std::max<std::size_t>(1, limit)) {
  curl_global_once();
  // One handle up front: a platform without HTTP support fails at construction.
  CURL* h = curl_easy_init();
  if (!h) throw TransportError("cannot create an HTTP handle");
  all_.push_back(h);
  idle_.push_back(h);
}

ConnectionPool::~ConnectionPool() {
  for (CURL* h : all_) curl_easy_cleanup(h);
}

CURL* ConnectionPool::acquire() {
  std::unique_lock<std::mutex> l(mu_);
  for (;;) {
    if (!idle_.empty()) {
      CURL* h = idle_.back();
      idle_.pop_back();
      return h;
    }
    if (all_.size() < limit_) {
      CURL* h = curl_easy_init();
      if (!h) throw TransportError("cannot create an HTTP handle");
      all_.push_back(h);
      return h;
    }
    cv_.wait(l);
  }
}

void ConnectionPool::release(CURL* h) {
  {
    std::lock_guard<std::mutex> l(mu_);
    idle_.push_back(h);
  }
  cv_.notify_one();
}

std::size_t ConnectionPool::created() const {
  std::lock_guard<std::mutex> l(mu_);
  return all_.size();
}

Exchange perform(ConnectionPool& pool, const std::string& method, const std::string& url,
                 const std::vector<std::string>& header_lines, Body* body, Attempt& a, const Timeouts& t) {
  Exchange ex;
  char errbuf[CURL_ERROR_SIZE] = {0};
  ConnectionPool::Lease lease(pool);
  CURL* h = lease.get();
  curl_easy_reset(h);  // keeps the connection cache
  curl_slist* hl = nullptr;
  for (const auto& line : header_lines) hl = curl_slist_append(hl, line.c_str());
  hl = curl_slist_append(hl, "Expect:");
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, hl);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "quorin_data/0.1");
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, t.connect_ms);
  if (t.request_ms > 0) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, t.request_ms);
  if (t.stall_ms > 0) {
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, t.stall_ms / 1000));
  }
  curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(h, CURLOPT_TCP_KEEPIDLE, 60L);
  curl_easy_setopt(h, CURLOPT_TCP_KEEPINTVL, 30L);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, header_cb);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &a);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_cb);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &a);
  // Bodies arrive in pieces of up to 256 KiB (16 KiB by default): a large
  // download makes a sixteenth of the calls and hand-overs.
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024);
  if (method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (body) {
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    if (method != "PUT") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(h, CURLOPT_READFUNCTION, read_cb);
    curl_easy_setopt(h, CURLOPT_READDATA, body);
    curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, seek_cb);
    curl_easy_setopt(h, CURLOPT_SEEKDATA, body);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body->size));
  } else if (method != "GET") {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  const CURLcode rc = curl_easy_perform(h);
  curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &ex.connects);
  curl_slist_free_all(hl);
  ex.curl_code = static_cast<int>(rc);
  if (rc != CURLE_OK) ex.error = errbuf[0] ? errbuf : curl_easy_strerror(rc);
  return ex;
}

}  // namespace quorin_data::store::detail
