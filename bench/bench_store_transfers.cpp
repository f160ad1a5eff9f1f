// Transfers of the store client against the local S3 server.
//
// BM_UploadSequential / BM_UploadParallel: a 256 MiB buffer uploaded as
// multipart (8 MiB parts) with one request at a time (max_concurrency 1, the
// baseline) and with 4 parts in flight; "speedup" on the parallel run is the
// baseline's time over its own (target >= 1.5).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
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

double sequential_seconds = 0;

void upload(benchmark::State& state, int concurrency) {
  if (!have_server()) {
    state.SkipWithError("needs the local S3 server: run under scripts/with-s3server.sh");
    return;
  }
  S3Client client(config(concurrency));
  const auto& data = payload();
  double total = 0;
  std::size_t n = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    client.put_object(kBucket, "bench/upload.bin", data.data(), data.size());
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ++n;
  }
  const double mean = total / static_cast<double>(n);
  state.SetBytesProcessed(static_cast<std::int64_t>(n * data.size()));
  if (concurrency == 1) sequential_seconds = mean;
  else if (sequential_seconds > 0) state.counters["speedup"] = sequential_seconds / mean;
  client.delete_object(kBucket, "bench/upload.bin");
}

void BM_UploadSequential(benchmark::State& state) { upload(state, 1); }
void BM_UploadParallel(benchmark::State& state) { upload(state, 4); }

}  // namespace

BENCHMARK(BM_UploadSequential)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_UploadParallel)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK_MAIN();
