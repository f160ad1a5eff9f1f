// Transfers of the store client against the local S3 server.
//
// BM_UploadSequential / BM_UploadParallel: a 256 MiB buffer uploaded as
// multipart (8 MiB parts) with one request at a time (max_concurrency 1, the
// baseline) and with 4 parts in flight; "speedup" on the parallel run is the
// baseline's time over its own (target >= 1.5). "server_loop_busy" is the CPU
// time of the S3 server's main thread over the wall time of the upload:
// s3rver handles every request, and hashes every byte, in that one Node
// thread, so near 1 it, not the client, is what the upload waits on, and more
// parts in flight cannot make it faster. "server_busy" counts all the
// server's threads, "client_busy" this process's. "complete_share" is the
// share of the time spent waiting for CompleteMultipartUpload, where s3rver
// copies and hashes the whole object again: a fixed cost that bounds the
// speedup; "parts_speedup" compares the part uploads alone.
//
// BM_DownloadOneStream / BM_DownloadParallel: a 128 MiB object read through a
// local proxy that caps every connection at 32 MiB/s (as one connection to
// real S3 is effectively capped), once as one plain GetObject stream (the
// baseline) and once as ranged 4 MiB parts over 4 connections; "speedup" is
// the baseline's time over the parallel read's (target >= 3).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/s3_client.hpp"

using namespace quorin_data;
using namespace quorin_data::store;

namespace {

constexpr std::size_t kUpload = std::size_t{256} << 20;
const char* kBucket = "quorin-test";

bool have_server() {
  const char* v = std::getenv("QUORIN_TEST_S3");
  return v && std::string(v) == "1" && std::getenv("AWS_ENDPOINT_URL_S3");
}

ClientConfig config(int concurrency) {
  ClientConfig c;
  c.endpoint = std::getenv("AWS_ENDPOINT_URL_S3");
  c.creds.access_key_id = "S3RVER";
  c.creds.secret_access_key = "S3RVER";
  c.max_concurrency = concurrency;
  return c;
}

const std::vector<std::uint8_t>& payload() {
  static const std::vector<std::uint8_t> data = [] {
    std::vector<std::uint8_t> d(kUpload);
    std::mt19937_64 rng(7);
    for (std::size_t i = 0; i + 8 <= d.size(); i += 8) {
      const std::uint64_t x = rng();
      std::memcpy(d.data() + i, &x, 8);
    }
    return d;
  }();
  return data;
}

// A TCP proxy to the S3 server that sends each connection's answers at no
// more than `rate` bytes per second (requests pass unthrottled).
class RateCappedProxy {
 public:
  RateCappedProxy(int upstream_port, double rate) : upstream_(upstream_port), rate_(rate) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 64) != 0)
      throw std::runtime_error("proxy: cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    accept_thread_ = std::thread([this] { accept_loop(); });
  }
  ~RateCappedProxy() {
    stop_ = true;
    accept_thread_.join();
    for (auto& t : conns_) t.join();
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  void accept_loop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c >= 0) conns_.emplace_back([this, c] { pump(c); });
    }
  }
  void pump(int client) {
    const int up = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(upstream_));
    if (::connect(up, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(up);
      ::close(client);
      return;
    }
    const auto start = std::chrono::steady_clock::now();
    double sent_down = 0;
    std::vector<char> buf(64 << 10);
    while (!stop_) {
      pollfd p[2] = {{client, POLLIN, 0}, {up, POLLIN, 0}};
      if (::poll(p, 2, 50) <= 0) continue;
      bool closed = false;
      for (int i = 0; i < 2 && !closed; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const int from = i == 0 ? client : up, to = i == 0 ? up : client;
        const ssize_t n = ::recv(from, buf.data(), i == 0 ? buf.size() : 16 << 10, 0);
        if (n <= 0) {
          closed = true;
          break;
        }
        if (i == 1) {
          sent_down += static_cast<double>(n);
          const auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(sent_down / rate_));
          std::this_thread::sleep_until(due);
        }
        for (ssize_t off = 0; off < n;) {
          const ssize_t w = ::send(to, buf.data() + off, static_cast<std::size_t>(n - off), MSG_NOSIGNAL);
          if (w <= 0) {
            closed = true;
            break;
          }
          off += w;
        }
      }
      if (closed) break;
    }
    ::close(up);
    ::close(client);
  }

  int upstream_;
  double rate_;
  int fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread accept_thread_;
  std::vector<std::thread> conns_;  // touched by the accept thread only, joined after it
};

int port_of(const std::string& url) { return std::atoi(url.c_str() + url.rfind(':') + 1); }

constexpr std::size_t kDownload = std::size_t{128} << 20;
constexpr double kConnectionRate = 32.0 * (1 << 20);

double sequential_seconds = 0, sequential_parts_seconds = 0;
double one_stream_seconds = 0;

void download(benchmark::State& state, bool parallel) {
  if (!have_server()) {
    state.SkipWithError("needs the local S3 server: run under scripts/with-s3server.sh");
    return;
  }
  const auto& data = payload();
  {
    S3Client direct(config(4));
    direct.put_object(kBucket, "bench/download.bin", data.data(), kDownload);
  }
  RateCappedProxy proxy(port_of(std::getenv("AWS_ENDPOINT_URL_S3")), kConnectionRate);
  ClientConfig cfg = config(parallel ? 4 : 1);
  cfg.endpoint = proxy.url();
  cfg.download_part_size = parallel ? std::size_t{4} << 20 : 0;
  S3Client client(cfg);
  double total = 0;
  std::size_t n = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    auto got = client.get_object(kBucket, "bench/download.bin");
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ++n;
    if (got.size() != kDownload || std::memcmp(got.data(), data.data(), kDownload) != 0)
      state.SkipWithError("the download differs from the object");
  }
  const double mean = total / static_cast<double>(n);
  state.SetBytesProcessed(static_cast<std::int64_t>(n * kDownload));
  state.counters["connections"] = static_cast<double>(client.stats().connections);
  if (!parallel) one_stream_seconds = mean;
  else if (one_stream_seconds > 0) state.counters["speedup"] = one_stream_seconds / mean;
}

void BM_DownloadOneStream(benchmark::State& state) { download(state, false); }
void BM_DownloadParallel(benchmark::State& state) { download(state, true); }

// CPU seconds (user + system) of the S3 server process (or of its main
// thread), or a negative value when the server's pid is not known.
double server_cpu_seconds(bool main_thread = false) {
  const char* pid = std::getenv("QUORIN_S3_SERVER_PID");
  if (!pid || !*pid) return -1;
  const std::string dir = std::string("/proc/") + pid;
  std::ifstream f(main_thread ? dir + "/task/" + pid + "/stat" : dir + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  // Fields after the command name: state is field 3, utime 14, stime 15.
  std::vector<std::string> fields;
  std::size_t pos = close + 2;
  while (pos < stat.size() && fields.size() < 13) {
    const auto sp = stat.find(' ', pos);
    fields.push_back(stat.substr(pos, sp - pos));
    if (sp == std::string::npos) break;
    pos = sp + 1;
  }
  if (fields.size() < 13) return -1;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

double own_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

void upload(benchmark::State& state, int concurrency) {
  if (!have_server()) {
    state.SkipWithError("needs the local S3 server: run under scripts/with-s3server.sh");
    return;
  }
  S3Client client(config(concurrency));
  const auto& data = payload();
  double total = 0, server = 0, loop = 0, own = 0;
  std::size_t n = 0;
  client.reset_stats();
  for (auto _ : state) {
    const double s0 = server_cpu_seconds(), l0 = server_cpu_seconds(true), c0 = own_cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    client.put_object(kBucket, "bench/upload.bin", data.data(), data.size());
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    server += server_cpu_seconds() - s0;
    loop += server_cpu_seconds(true) - l0;
    own += own_cpu_seconds() - c0;
    ++n;
  }
  const double mean = total / static_cast<double>(n);
  const double complete = static_cast<double>(client.stats().complete_multipart_ns) * 1e-9;
  const double parts = (total - complete) / static_cast<double>(n);
  state.counters["complete_share"] = complete / total;
  if (concurrency == 1) sequential_parts_seconds = parts;
  else if (sequential_parts_seconds > 0 && parts > 0)
    state.counters["parts_speedup"] = sequential_parts_seconds / parts;
  state.SetBytesProcessed(static_cast<std::int64_t>(n * data.size()));
  if (server_cpu_seconds() >= 0) {
    state.counters["server_busy"] = server / total;
    state.counters["server_loop_busy"] = loop / total;
  }
  state.counters["client_busy"] = own / total;
  if (concurrency == 1) sequential_seconds = mean;
  else if (sequential_seconds > 0) state.counters["speedup"] = sequential_seconds / mean;
  client.delete_object(kBucket, "bench/upload.bin");
}

void BM_UploadSequential(benchmark::State& state) { upload(state, 1); }
void BM_UploadParallel(benchmark::State& state) { upload(state, 4); }

}  // namespace

BENCHMARK(BM_UploadSequential)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_UploadParallel)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_DownloadOneStream)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_DownloadParallel)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK_MAIN();
