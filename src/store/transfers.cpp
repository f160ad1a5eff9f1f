// Transfers of whole objects: downloads (to memory or a file) in parallel
// ranged parts, and managed (multipart) uploads with parallel parts.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "quorin_data/core/errors.hpp"
#include "kernels/buffers.hpp"
#include "store/client_impl.hpp"
#include "store/parallel.hpp"

namespace quorin_data::store {

using detail::Attempt;
using detail::Body;
using detail::FileSink;
using detail::Request;
using detail::object_request;
using detail::write_all;
using detail::xml_escape;

namespace {

// Takes one ranged part at its place in the whole object.
class SliceSink : public detail::Sink {
 public:
  using WriteAt = std::function<bool(std::uint64_t offset, const char* p, std::size_t n, int& err)>;
  SliceSink(const WriteAt& w, std::uint64_t offset, std::uint64_t length) : w_(w), off_(offset), len_(length) {}
  bool write(const char* p, std::size_t n) override {
    if (n > len_ - pos_) {
      overflow = true;
      err = EMSGSIZE;
      return false;
    }
    if (!w_(off_ + pos_, p, n, err)) return false;
    pos_ += n;
    return true;
  }
  bool reset() override {
    pos_ = 0;
    return true;
  }
  bool overflow = false;

 private:
  const WriteAt& w_;
  std::uint64_t off_, len_, pos_ = 0;
};

std::string range_header(std::uint64_t first, std::uint64_t last) {
  return "bytes=" + std::to_string(first) + "-" + std::to_string(last);
}

// A GetObject made of ranged parts of download_part_size bytes. The first
// part's answer gives the object's size and ETag (or, from a store that
// ignores Range, the whole object); the other parts follow up to
// max_concurrency at once, each pinned to that ETag with If-Match and retried
// on its own. Without an ETag the object is read again in one plain GET. `first` takes the first part, `sized` is told the object's
// size before the other parts, which `write_at` puts in place.
void ranged_get(S3Client::Impl& impl, const std::string& bucket, const std::string& key, detail::Sink& first,
                const std::function<void(std::uint64_t)>& sized, const SliceSink::WriteAt& write_at) {
  const std::string what = "GetObject s3://" + bucket + "/" + key;
  const std::uint64_t part = impl.cfg.download_part_size;
  Request r = object_request("GetObject", "GET", bucket, key);
  r.sink = &first;
  if (part == 0) {
    impl.send(r);
    return;
  }
  r.headers.emplace_back("range", range_header(0, part - 1));
  Attempt a;
  try {
    a = impl.send(r);
  } catch (const StoreError& e) {
    // An empty object has no byte 0 to ask for: asked again whole.
    if (e.http_status() != 416) throw;
    r.headers.clear();
    impl.send(r);
    return;
  }
  if (a.status != 206 || a.empty_range) return;  // the whole object, or an empty one
  auto fail = [&](const std::string& range, const std::string& why) {
    return TransportError(what + ": the answer to Range " + range + " " + why);
  };
  auto h = a.headers.find("content-range");
  std::optional<ContentRange> cr;
  if (h != a.headers.end()) cr = parse_content_range(h->second);
  if (!cr || !cr->total || cr->first != 0 || cr->last != std::min(part, *cr->total) - 1 ||
      first.bytes != cr->last + 1)
    throw fail(range_header(0, part - 1), "is not the object's first " + std::to_string(part) + " bytes (Content-Range " +
                                              (h == a.headers.end() ? std::string("none") : h->second) + ", " +
                                              std::to_string(first.bytes) + " bytes)");
  const std::uint64_t total = *cr->total;
  if (total <= part) return;
  std::string etag;
  if (auto it = a.headers.find("etag"); it != a.headers.end()) etag = it->second;
  if (etag.empty()) {
    // Nothing ties further parts to the version of the first one: the object
    // is fetched again in one plain GET (the sink starts over).
    r.headers.clear();
    impl.send(r);
    return;
  }
  sized(total);
  const std::uint64_t parts = (total - part + part - 1) / part;
  detail::run_indexed(static_cast<std::size_t>(parts), static_cast<std::size_t>(std::max(1, impl.cfg.max_concurrency)),
                      [&](std::size_t i) {
    const std::uint64_t off = part * (i + 1), len = std::min(part, total - off);
    const std::string range = range_header(off, off + len - 1);
    SliceSink sink(write_at, off, len);
    Request p = object_request("GetObject", "GET", bucket, key);
    p.headers.emplace_back("range", range);
    p.headers.emplace_back("if-match", etag);
    p.sink = &sink;
    Attempt pa;
    try {
      pa = impl.send(p);
    } catch (const TransportError&) {
      if (sink.overflow) throw fail(range, "holds more than the " + std::to_string(len) + " bytes asked");
      throw;
    }
    auto ph = pa.headers.find("content-range");
    std::optional<ContentRange> pcr;
    if (ph != pa.headers.end()) pcr = parse_content_range(ph->second);
    if (pa.status != 206 || !pcr || pcr->first != off || pcr->last != off + len - 1 || pcr->total != total ||
        sink.bytes != len)
      throw fail(range, "holds " + std::to_string(sink.bytes) + " bytes (status " + std::to_string(pa.status) +
                            ", Content-Range " + (ph == pa.headers.end() ? std::string("none") : ph->second) +
                            ") for the " + std::to_string(len) + " asked of " + std::to_string(total));
    std::string got;
    if (auto it = pa.headers.find("etag"); it != pa.headers.end()) got = it->second;
    if (got != etag)
      throw fail(range, "comes from another version of the object (ETag " + (got.empty() ? "none" : got) +
                            ", expected " + etag + ")");
  });
}

}  // namespace

std::vector<std::uint8_t> S3Client::get_object(const std::string& bucket, const std::string& key) {
  impl_->count(&RequestStats::get_object);
  std::vector<std::uint8_t> out;
  detail::MemSink first(&out);
  const SliceSink::WriteAt write_at = [&out](std::uint64_t off, const char* p, std::size_t n, int&) {
    std::memcpy(out.data() + off, p, n);
    return true;
  };
  ranged_get(*impl_, bucket, key, first, [&out](std::uint64_t total) {
    // The parts are written into room on huge pages: zeroing a fresh 80 MB
    // on small pages takes 20,000 page faults, longer than the download.
    kernels::resize_large(out, static_cast<std::size_t>(total));
  }, write_at);
  return out;
}

void S3Client::get_object_stream(const std::string& bucket, const std::string& key,
                                 const std::function<void()>& restart,
                                 const std::function<bool(const std::uint8_t*, std::size_t)>& data) {
  class CallbackSink : public detail::Sink {
   public:
    CallbackSink(const std::function<void()>& r, const std::function<bool(const std::uint8_t*, std::size_t)>& d)
        : restart_(r), data_(d) {}
    bool write(const char* p, std::size_t n) override {
      delivered_ = true;
      if (data_(reinterpret_cast<const std::uint8_t*>(p), n)) return true;
      err = ECANCELED;
      return false;
    }
    bool reset() override {
      if (delivered_ && restart_) restart_();
      delivered_ = false;
      return true;
    }

   private:
    const std::function<void()>& restart_;
    const std::function<bool(const std::uint8_t*, std::size_t)>& data_;
    bool delivered_ = false;
  };
  impl_->count(&RequestStats::get_object);
  CallbackSink sink(restart, data);
  Request r = object_request("GetObject", "GET", bucket, key);
  r.sink = &sink;
  impl_->send(r);
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
    FileSink first(fd);
    const SliceSink::WriteAt write_at = [fd](std::uint64_t off, const char* p, std::size_t n, int& err) {
      return write_all(fd, p, n, &off, err);
    };
    ranged_get(*impl_, bucket, key, first, [](std::uint64_t) {}, write_at);
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

namespace {

std::string create_multipart(S3Client::Impl& impl, const std::string& bucket, const std::string& key) {
  impl.count(&RequestStats::create_multipart_upload);
  Request c = object_request("CreateMultipartUpload", "POST", bucket, key);
  c.query = {{"uploads", ""}};
  Body empty;
  empty.mem = reinterpret_cast<const std::uint8_t*>("");
  c.body = &empty;
  Attempt ca = impl.send(c);
  return parse_initiate_multipart(ca.body, "CreateMultipartUpload response for s3://" + bucket + "/" + key);
}

// Sends part `number` (from 1) and gives its ETag.
std::string send_part(S3Client::Impl& impl, const std::string& bucket, const std::string& key,
                      const std::string& upload_id, std::uint64_t number, Body body) {
  impl.count(&RequestStats::upload_part);
  Request p = object_request("UploadPart", "PUT", bucket, key);
  p.query = {{"partNumber", std::to_string(number)}, {"uploadId", upload_id}};
  p.body = &body;
  Attempt pa = impl.send(p);
  auto it = pa.headers.find("etag");
  if (it == pa.headers.end() || it->second.empty())
    throw FormatError("S3 response", "UploadPart response for s3://" + bucket + "/" + key,
                      "part " + std::to_string(number), "no ETag header");
  return it->second;
}

template <class ETags>
void complete_multipart(S3Client::Impl& impl, const std::string& bucket, const std::string& key,
                        const std::string& upload_id, const ETags& etags) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
  std::size_t n = 0;
  for (const std::string& etag : etags)
    xml += "<Part><PartNumber>" + std::to_string(++n) + "</PartNumber><ETag>" + xml_escape(etag) + "</ETag></Part>";
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
  const auto t0 = std::chrono::steady_clock::now();
  impl.send(f);
  impl.count(&RequestStats::complete_multipart_ns,
             static_cast<std::uint64_t>(
                 std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count()));
}

// Called on the way out of a failed upload: the original failure is what the
// caller needs to see, so this one's own is dropped.
void abort_multipart(S3Client::Impl& impl, const std::string& bucket, const std::string& key,
                     const std::string& upload_id) noexcept {
  try {
    impl.count(&RequestStats::abort_multipart_upload);
    Request ab = object_request("AbortMultipartUpload", "DELETE", bucket, key);
    ab.query = {{"uploadId", upload_id}};
    impl.send(ab);
  } catch (...) {
  }
}

void put_whole(S3Client::Impl& impl, const std::string& bucket, const std::string& key, Body body) {
  impl.count(&RequestStats::put_object);
  if (!body.mem && body.size == 0) body.mem = reinterpret_cast<const std::uint8_t*>("");
  Request r = object_request("PutObject", "PUT", bucket, key);
  r.body = &body;
  impl.send(r);
}

}  // namespace

static void managed_upload(S3Client::Impl& impl, const std::string& bucket, const std::string& key,
                           const MultipartSource& src, std::uint64_t size) {
  const ClientConfig& cfg = impl.cfg;
  if (size <= cfg.multipart_threshold) {
    put_whole(impl, bucket, key, src.range(0, size));
    return;
  }
  std::uint64_t part = std::max<std::uint64_t>(cfg.part_size, (size + 9999) / 10000);
  const std::string upload_id = create_multipart(impl, bucket, key);
  try {
    const std::uint64_t parts = (size + part - 1) / part;
    std::vector<std::string> etags(static_cast<std::size_t>(parts));
    detail::run_indexed(etags.size(), static_cast<std::size_t>(std::max(1, cfg.max_concurrency)),
                        [&](std::size_t i) {
      const std::uint64_t off = i * part;
      etags[i] = send_part(impl, bucket, key, upload_id, i + 1, src.range(off, std::min(part, size - off)));
    });
    complete_multipart(impl, bucket, key, upload_id, etags);
  } catch (...) {
    abort_multipart(impl, bucket, key, upload_id);
    throw;
  }
}

// ------------------------------------------------------- streamed upload

struct S3Client::Upload::State {
  S3Client::Impl& impl;
  std::string bucket, key;
  std::size_t threshold, part_size, workers;
  std::vector<std::uint8_t> buf;
  std::string upload_id;  // empty until the bytes pass the threshold
  bool ended = false;     // finished, or failed in finish
  std::mutex mu;
  std::condition_variable changed;
  std::deque<std::string> etags;  // by part; references stay put as parts are added
  std::deque<std::pair<std::size_t, std::vector<std::uint8_t>>> queue;  // parts waiting for a sender
  std::size_t busy = 0;             // parts queued or being sent
  bool closing = false;
  std::vector<std::thread> senders;
  std::exception_ptr failure;  // of the lowest failed part
  std::size_t failed_part = 0;

  State(S3Client::Impl& i, std::string b, std::string k)
      : impl(i), bucket(std::move(b)), key(std::move(k)), threshold(i.cfg.multipart_threshold),
        part_size(std::max<std::size_t>(1, i.cfg.part_size)),
        workers(static_cast<std::size_t>(std::max(1, i.cfg.max_concurrency))) {}

  // Part k's size: part_size, doubled every 1,000 parts so that S3's limit
  // of 10,000 parts is never met.
  std::size_t part_bytes() const {
    const std::size_t doublings = std::min<std::size_t>(etags.size() / 1000, 9);
    return part_size << doublings;
  }

  void raise_failure() {
    std::lock_guard<std::mutex> l(mu);
    if (failure) std::rethrow_exception(failure);
  }

  void sender() {
    std::unique_lock<std::mutex> l(mu);
    for (;;) {
      changed.wait(l, [&] { return closing || !queue.empty(); });
      if (queue.empty()) return;
      auto [index, bytes] = std::move(queue.front());
      queue.pop_front();
      std::string& etag = etags[index];
      const bool skip = failure != nullptr;
      l.unlock();
      std::exception_ptr err;
      if (!skip) {
        try {
          Body body;
          body.mem = bytes.data();
          body.size = bytes.size();
          std::string got = send_part(impl, bucket, key, upload_id, index + 1, body);
          l.lock();
          etag = std::move(got);
          l.unlock();
        } catch (...) {
          err = std::current_exception();
        }
      }
      std::vector<std::uint8_t>().swap(bytes);
      l.lock();
      if (err && (!failure || index < failed_part)) {
        failure = err;
        failed_part = index;
      }
      --busy;
      changed.notify_all();
    }
  }

  // Hands a full part to the senders, waiting while `workers` parts are
  // already on their way.
  void send(std::vector<std::uint8_t> bytes) {
    std::unique_lock<std::mutex> l(mu);
    changed.wait(l, [&] { return busy < workers || failure; });
    if (failure) std::rethrow_exception(failure);
    etags.emplace_back();
    queue.emplace_back(etags.size() - 1, std::move(bytes));
    ++busy;
    if (senders.size() < workers && senders.size() < busy) senders.emplace_back([this] { sender(); });
    changed.notify_all();
  }

  void push(const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      const std::size_t want = part_bytes();
      if (buf.capacity() < want) buf.reserve(want);
      const std::size_t take = std::min(n, want - buf.size());
      buf.insert(buf.end(), p, p + take);
      p += take;
      n -= take;
      if (buf.size() == want) {
        send(std::move(buf));
        buf = {};
      }
    }
  }

  // Stops the senders (after the parts queued, or at once when `drop`).
  void stop(bool drop) {
    {
      std::lock_guard<std::mutex> l(mu);
      if (drop) {
        busy -= queue.size();
        queue.clear();
      }
      closing = true;
      changed.notify_all();
    }
    for (auto& t : senders) t.join();
    senders.clear();
  }
};

S3Client::Upload::Upload(S3Client& client, std::string bucket, std::string key)
    : s_(std::make_unique<State>(*client.impl_, std::move(bucket), std::move(key))) {}

S3Client::Upload::~Upload() {
  if (!s_ || s_->ended) return;
  s_->stop(true);
  if (!s_->upload_id.empty()) abort_multipart(s_->impl, s_->bucket, s_->key, s_->upload_id);
}

void S3Client::Upload::write(const std::uint8_t* p, std::size_t n) {
  State& s = *s_;
  if (s.ended) throw ValueError("an upload of s3://" + s.bucket + "/" + s.key + " is written after its end");
  if (s.upload_id.empty()) {
    // Held until the body passes the threshold: a small one is one PutObject.
    const std::size_t take = std::min(n, s.threshold + 1 - s.buf.size());
    s.buf.insert(s.buf.end(), p, p + take);
    p += take;
    n -= take;
    if (s.buf.size() <= s.threshold) return;
    s.upload_id = create_multipart(s.impl, s.bucket, s.key);
    std::vector<std::uint8_t> held = std::move(s.buf);
    s.buf = {};
    s.push(held.data(), held.size());
  }
  s.raise_failure();
  s.push(p, n);
}

void S3Client::Upload::finish() {
  State& s = *s_;
  if (s.ended) throw ValueError("an upload of s3://" + s.bucket + "/" + s.key + " is finished twice");
  if (s.upload_id.empty()) {
    s.ended = true;
    Body body;
    body.mem = s.buf.data();
    body.size = s.buf.size();
    put_whole(s.impl, s.bucket, s.key, body);
    std::vector<std::uint8_t>().swap(s.buf);
    return;
  }
  try {
    if (!s.buf.empty() || s.etags.empty()) s.send(std::move(s.buf));
    s.buf = {};
    s.stop(false);
    s.raise_failure();
    complete_multipart(s.impl, s.bucket, s.key, s.upload_id, s.etags);
    s.ended = true;
  } catch (...) {
    s.ended = true;
    s.stop(true);
    abort_multipart(s.impl, s.bucket, s.key, s.upload_id);
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

}  // namespace quorin_data::store
