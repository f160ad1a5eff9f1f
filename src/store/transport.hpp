// The transport of the client: libcurl easy handles kept in a pool (each
// keeps its connection open between requests), one HTTP exchange on a
// handle, and the targets that take a response body.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "store/request.hpp"

typedef void CURL;

namespace quorin_data::store::detail {

// Where a successful response body goes.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool write(const char* p, std::size_t n) = 0;
  // Empties the target before an attempt (a retry starts over).
  virtual bool reset() = 0;
  // The announced length of the body, before its first byte.
  virtual void reserve(std::uint64_t) {}
  int err = 0;
  std::uint64_t bytes = 0;  // written since the last reset
};

class MemSink : public Sink {
 public:
  explicit MemSink(std::vector<std::uint8_t>* o) : out(o) {}
  bool write(const char* p, std::size_t n) override;
  bool reset() override;
  void reserve(std::uint64_t n) override;

 private:
  std::vector<std::uint8_t>* out;
};

// Writes all n bytes to fd, at offset *at when given (pwrite) or at the
// file position (write), retrying short writes and EINTR. On failure err
// holds the errno (EIO for a write of nothing).
bool write_all(int fd, const char* p, std::size_t n, const std::uint64_t* at, int& err);

class FileSink : public Sink {
 public:
  explicit FileSink(int f) : fd(f) {}
  bool write(const char* p, std::size_t n) override;
  bool reset() override;

 private:
  int fd;
};

// What one attempt received.
struct Attempt {
  long status = 0;
  std::string reason;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;                            // error bodies and small answers
  std::size_t body_cap = std::size_t{256} << 20;  // the most `body` may hold
  bool over_cap = false;                          // the answer went past it
  // A 206 answer whose Content-Range names an empty object ("bytes 0-0/0",
  // as some S3 servers answer a range of an empty object, announcing a byte
  // they never send): the exchange stops at its headers.
  bool empty_range = false;
  // Set for a request of the object's last bytes ("Range: bytes=-N"): a 206
  // whose Content-Range does not end at the object's last byte (a store
  // that reads the suffix as another range) stops at its headers, with
  // `not_tail` set, instead of downloading bytes nobody asked for.
  bool tail_only = false;
  bool not_tail = false;
  Sink* sink = nullptr;
  bool sink_failed = false;
  bool reserved = false;
};

// A bounded set of easy handles. acquire() hands out an idle handle (the one
// used last, whose connection is warm) or creates one while fewer than
// `limit` exist; otherwise it waits for a release.
class ConnectionPool {
 public:
  explicit ConnectionPool(std::size_t limit);
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  CURL* acquire();
  void release(CURL* h);
  std::size_t limit() const { return limit_; }
  std::size_t created() const;

  class Lease {
   public:
    explicit Lease(ConnectionPool& p) : pool_(p), h_(p.acquire()) {}
    ~Lease() { pool_.release(h_); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    CURL* get() const { return h_; }

   private:
    ConnectionPool& pool_;
    CURL* h_;
  };

 private:
  const std::size_t limit_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<CURL*> idle_;
  std::vector<CURL*> all_;
};

struct Timeouts {
  long connect_ms = 10000;
  long request_ms = 0;  // 0: no limit
  long stall_ms = 60000;
};

struct Exchange {
  int curl_code = 0;   // CURLE_OK when the exchange completed
  std::string error;   // libcurl's text for a failed exchange
  long connects = 0;   // new connections this exchange opened
};

// Sends one request on a pooled handle and fills `a` with the answer.
Exchange perform(ConnectionPool& pool, const std::string& method, const std::string& url,
                 const std::vector<std::string>& header_lines, Body* body, Attempt& a, const Timeouts& t);

}  // namespace quorin_data::store::detail
