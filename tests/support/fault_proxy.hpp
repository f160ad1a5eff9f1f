// A fault-injecting HTTP proxy for tests: listens on 127.0.0.1, passes each
// request to the real test server (s3rver) unchanged, and lets the test decide
// per request whether to forward it, reset the connection, cut the answer
// short or answer by itself (endless listings, throttling). One connection at
// a time; every read is bounded in time and size, so nothing it does can
// hang or grow without end.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "store/fake_http.hpp"

namespace quorin_test {

struct ProxyAction {
  enum Kind { Forward, Reset, Truncate, Answer };
  Kind kind = Forward;
  long keep = 0;        // Truncate: bytes of the real body sent before closing
  FakeResponse answer;  // Answer: sent instead of asking the server

  static ProxyAction forward() { return {}; }
  static ProxyAction reset() { return {Reset, 0, {}}; }
  static ProxyAction truncate(long keep) { return {Truncate, keep, {}}; }
  static ProxyAction respond(FakeResponse r) { return {Answer, 0, std::move(r)}; }
};

class FaultProxy {
 public:
  // Decides what happens to the n-th request (counting from 0).
  using Plan = std::function<ProxyAction(const FakeRequest&, std::size_t n)>;

  // `upstream` is "http://127.0.0.1:PORT" (the test server).
  explicit FaultProxy(const std::string& upstream)
      : upstream_port_(port_of(upstream)), server_([this](const FakeRequest& r) { return handle(r); }) {}

  void set_plan(Plan p) {
    std::lock_guard<std::mutex> l(mu_);
    plan_ = std::move(p);
  }
  std::string url() const { return server_.url(); }
  std::size_t count() const { return server_.count(); }
  std::vector<FakeRequest> requests() const { return server_.requests(); }

 private:
  static constexpr std::size_t kMaxAnswer = std::size_t{64} << 20;

  static int port_of(const std::string& url) {
    const auto colon = url.rfind(':');
    if (url.rfind("http://127.0.0.1:", 0) != 0 || colon == std::string::npos)
      throw std::runtime_error("fault proxy: upstream must be http://127.0.0.1:PORT, got " + url);
    return std::atoi(url.c_str() + colon + 1);
  }

  FakeResponse handle(const FakeRequest& r) {
    ProxyAction a;
    {
      std::lock_guard<std::mutex> l(mu_);
      if (plan_) a = plan_(r, served_);
      ++served_;
    }
    FakeResponse out;
    switch (a.kind) {
      case ProxyAction::Reset: out.drop = true; return out;
      case ProxyAction::Answer: return a.answer;
      case ProxyAction::Forward:
      case ProxyAction::Truncate: break;
    }
    out = relay(r);
    if (a.kind == ProxyAction::Truncate) out.send_only = a.keep;
    return out;
  }

  // One request to the server and its whole answer (Connection: close).
  FakeResponse relay(const FakeRequest& r) const {
    FakeResponse out;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(upstream_port_));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      if (fd >= 0) ::close(fd);
      out.drop = true;
      return out;
    }
    std::string req = r.method + " " + r.target + " HTTP/1.1\r\n";
    for (const auto& [k, v] : r.headers)
      if (k != "connection") req += k + ": " + v + "\r\n";
    req += "connection: close\r\n\r\n" + r.body;
    for (std::size_t sent = 0; sent < req.size();) {
      const ssize_t n = ::send(fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    std::string raw;
    char buf[65536];
    while (raw.size() < kMaxAnswer) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) break;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      raw.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const auto head_end = raw.find("\r\n\r\n");
    if (head_end == std::string::npos) {
      out.drop = true;
      return out;
    }
    const std::string head = raw.substr(0, head_end);
    std::string body = raw.substr(head_end + 4);
    out.status = std::atoi(head.c_str() + head.find(' ') + 1);
    bool chunked = false;
    for (std::size_t pos = head.find("\r\n"); pos != std::string::npos && pos < head.size();) {
      pos += 2;
      auto e = head.find("\r\n", pos);
      if (e == std::string::npos) e = head.size();
      const std::string line = head.substr(pos, e - pos);
      pos = e;
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string k = line.substr(0, colon), v = line.substr(colon + 1);
      while (!v.empty() && v[0] == ' ') v.erase(0, 1);
      std::string lk = k;
      for (auto& ch : lk) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (lk == "transfer-encoding") chunked = v.find("chunked") != std::string::npos;
      if (lk == "connection" || lk == "transfer-encoding") continue;
      // A HEAD answer keeps the object's length; others get the relayed body's.
      if (lk == "content-length" && r.method != "HEAD") continue;
      out.headers.emplace_back(k, v);
    }
    if (chunked) {
      std::string plain;
      for (std::size_t pos = 0; pos < body.size();) {
        const auto e = body.find("\r\n", pos);
        if (e == std::string::npos) break;
        const std::size_t n = std::strtoul(body.c_str() + pos, nullptr, 16);
        if (n == 0 || e + 2 + n > body.size()) break;
        plain.append(body, e + 2, n);
        pos = e + 2 + n + 2;
      }
      body = std::move(plain);
    }
    out.body = std::move(body);
    return out;
  }

  int upstream_port_;
  mutable std::mutex mu_;
  Plan plan_;
  std::size_t served_ = 0;
  FakeHttpServer server_;  // last: its thread starts once the rest is ready
};

}  // namespace quorin_test
