// A tiny HTTP/1.1 server on 127.0.0.1 for tests (one thread, one connection
// at a time, "Connection: close" after every answer).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorin_test {

struct FakeRequest {
  std::string method, target, body;
  std::map<std::string, std::string> headers;  // lower-case names
};

struct FakeResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool drop = false;  // close the connection without answering
  long send_only = -1;  // >= 0: announce the whole body, send this many bytes, close
};

class FakeHttpServer {
 public:
  using Handler = std::function<FakeResponse(const FakeRequest&)>;

  explicit FakeHttpServer(Handler h) : handler_(std::move(h)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0)
      throw std::runtime_error("fake server: cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { loop(); });
  }
  ~FakeHttpServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<FakeRequest> requests() const {
    std::lock_guard<std::mutex> l(mu_);
    return requests_;
  }
  std::size_t count() const {
    std::lock_guard<std::mutex> l(mu_);
    return requests_.size();
  }
  void clear_requests() {
    std::lock_guard<std::mutex> l(mu_);
    requests_.clear();
  }

 private:
  void loop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      serve(c);
      ::close(c);
    }
  }
  static bool read_some(int c, std::string& buf) {
    pollfd p{c, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    char tmp[65536];
    ssize_t n = ::recv(c, tmp, sizeof tmp, 0);
    if (n <= 0) return false;
    buf.append(tmp, static_cast<std::size_t>(n));
    return true;
  }
  void serve(int c) {
    std::string buf;
    std::size_t end;
    while ((end = buf.find("\r\n\r\n")) == std::string::npos)
      if (!read_some(c, buf)) return;
    FakeRequest req;
    std::string head = buf.substr(0, end);
    std::size_t line_end = head.find("\r\n");
    std::string first = head.substr(0, line_end);
    auto sp1 = first.find(' '), sp2 = first.rfind(' ');
    req.method = first.substr(0, sp1);
    req.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    std::size_t pos = line_end == std::string::npos ? head.size() : line_end + 2;
    while (pos < head.size()) {
      std::size_t e = head.find("\r\n", pos);
      if (e == std::string::npos) e = head.size();
      std::string l = head.substr(pos, e - pos);
      auto colon = l.find(':');
      if (colon != std::string::npos) {
        std::string k = l.substr(0, colon);
        for (auto& ch : k) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        std::string v = l.substr(colon + 1);
        while (!v.empty() && v[0] == ' ') v.erase(0, 1);
        req.headers[k] = v;
      }
      pos = e + 2;
    }
    std::size_t clen = 0;
    if (auto it = req.headers.find("content-length"); it != req.headers.end())
      clen = std::strtoul(it->second.c_str(), nullptr, 10);
    req.body = buf.substr(end + 4);
    while (req.body.size() < clen) {
      std::string more;
      if (!read_some(c, more)) return;
      req.body += more;
    }
    {
      std::lock_guard<std::mutex> l(mu_);
      requests_.push_back(req);
    }
    FakeResponse r = handler_(req);
    if (r.drop) return;
    std::string out = "HTTP/1.1 " + std::to_string(r.status) + " Status\r\n";
    bool has_length = false;  // a HEAD answer may give the object's length
    for (auto& [k, v] : r.headers) {
      out += k + ": " + v + "\r\n";
      has_length |= k.size() == 14 && ::strncasecmp(k.c_str(), "content-length", 14) == 0;
    }
    if (!has_length) out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    if (req.method != "HEAD")
      out += r.send_only >= 0 ? r.body.substr(0, static_cast<std::size_t>(r.send_only)) : r.body;
    std::size_t sent = 0;
    while (sent < out.size()) {
      ssize_t n = ::send(c, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  }

  Handler handler_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mu_;
  std::vector<FakeRequest> requests_;
};

// Sets/unsets environment variables for one test and restores them after.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second.first)
        ::setenv(it->first.c_str(), it->second.second.c_str(), 1);
      else
        ::unsetenv(it->first.c_str());
    }
  }
  void set(const std::string& k, const std::string& v) {
    save(k);
    ::setenv(k.c_str(), v.c_str(), 1);
  }
  void unset(const std::string& k) {
    save(k);
    ::unsetenv(k.c_str());
  }
  // Removes every AWS_* variable that influences the client.
  void clear_aws() {
    for (const char* k :
         {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_PROFILE",
          "AWS_SHARED_CREDENTIALS_FILE", "AWS_CONFIG_FILE", "AWS_REGION", "AWS_DEFAULT_REGION",
          "AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL", "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI",
          "AWS_CONTAINER_CREDENTIALS_FULL_URI", "AWS_CONTAINER_AUTHORIZATION_TOKEN",
          "AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE", "AWS_EC2_METADATA_DISABLED",
          "AWS_EC2_METADATA_SERVICE_ENDPOINT", "AWS_MAX_ATTEMPTS"})
      unset(k);
  }

 private:
  void save(const std::string& k) {
    for (auto& s : saved_)
      if (s.first == k) return;
    const char* v = std::getenv(k.c_str());
    saved_.emplace_back(k, std::make_pair(v != nullptr, v ? std::string(v) : std::string()));
  }
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
};

}  // namespace quorin_test
