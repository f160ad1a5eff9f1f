// A 1,000,000-row relationship snapshot (gzip CSV) loaded by chunks from the
// local S3 server, each load in a fresh process: BM_LoadWholeBody downloads
// the whole compressed body, then inflates and parses it (the earlier way,
// the baseline); BM_LoadStreamed is read_by_chunks, which inflates and parses
// as the body arrives. Counters: seconds and peak_bytes (growth of the
// process's peak resident size during the load), and on the streamed run
// time_ratio and peak_ratio against the baseline of the same run.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "from_s3/bucketry/client.hpp"
#include "from_s3/bucketry/internal.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "store/s3_client.hpp"

using namespace quorin_data;
namespace bucketry = quorin_data::from_s3::bucketry;

namespace {

constexpr std::size_t kRows = 1000000;
const char* kBucket = "quorin-test";
const char* kKey = "bench/snapshot.csv.gz";

bool have_server() {
  const char* v = std::getenv("QUORIN_TEST_S3");
  return v && std::string(v) == "1" && std::getenv("AWS_ENDPOINT_URL_S3");
}

std::vector<std::uint8_t> make_snapshot() {
  std::mt19937_64 rng(42);
  static const char alnum[] = "BCDFGHJKLMNPQRSTVWXYZ0123456789";
  std::vector<std::string> figis;
  for (int i = 0; i < 20000; ++i) {
    std::string s = "BBG00";
    for (int k = 0; k < 7; ++k) s.push_back(alnum[rng() % (sizeof alnum - 1)]);
    figis.push_back(s);
  }
  static const char* kinds[] = {"CUSTOMER", "SUPPLIER", "COMPETITOR"};
  std::string s =
      "ID_BB_GLOBAL,RELATED_ID_BB_GLOBAL,RELATIONSHIP_TYPE,RELTNSHP_START_DT,RELTNSHP_END_DT,"
      "REVENUE_PCT,COST_PCT,RELATIONSHIP_VALUE,RELATIONSHIP_ID,SOURCE_COUNT\n";
  s.reserve(kRows * 110);
  char buf[160];
  for (std::size_t r = 0; r < kRows; ++r) {
    std::snprintf(buf, sizeof buf, "%s,%s,%s,%04d-%02d-%02d,%s,%.4f,%.3f,%.6g,%zu,%d\n",
                  figis[rng() % figis.size()].c_str(), figis[rng() % figis.size()].c_str(), kinds[rng() % 3],
                  2010 + static_cast<int>(rng() % 15), 1 + static_cast<int>(rng() % 12),
                  1 + static_cast<int>(rng() % 28), rng() % 4 ? "2024-06-30" : "",
                  static_cast<double>(rng() % 1000000) / 10000.0, static_cast<double>(rng() % 100000) / 1000.0,
                  static_cast<double>(rng() % 100000000) * 1.37, 100000000 + r, static_cast<int>(rng() % 20));
    s += buf;
  }
  return formats::gzip_compress(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), 6);
}

// VmRSS or VmHWM of this process, in bytes.
double status_bytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::strtod(line.c_str() + std::strlen(field), nullptr) * 1024.0;
  return 0;
}

// The child: one load, then "seconds peak_growth rows" on stdout.
int load_child(const std::string& mode) {
  const double before = status_bytes("VmRSS:");
  const auto t0 = std::chrono::steady_clock::now();
  Frame f;
  if (mode == "whole") {
    const auto body = bucketry::s3_client()->get_object(kBucket, kKey);
    f = bucketry::detail::read_gzip_csv_by_chunks(body, "s3://bench", 100000);
  } else {
    f = bucketry::read_by_chunks(kBucket, kKey, 100000);
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%.6f %.0f %zu\n", secs, status_bytes("VmHWM:") - before, f.num_rows());
  return 0;
}

struct Load {
  double seconds = 0, peak = 0;
  std::size_t rows = 0;
  bool ok = false;
};

Load run_child(const char* self, const char* mode) {
  Load l;
  int pipefd[2];
  if (pipe(pipefd) != 0) return l;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 1);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 2);  // the progress line
    close(pipefd[0]);
    execl(self, self, "--load-child", mode, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipefd[1]);
  std::string out;
  char buf[256];
  for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::istringstream is(out);
  if (is >> l.seconds >> l.peak >> l.rows && l.rows == kRows) l.ok = true;
  return l;
}

const char* g_self = nullptr;
bool g_uploaded = false;
Load g_whole;

bool upload_once() {
  if (g_uploaded) return true;
  const auto gz = make_snapshot();
  bucketry::s3_client()->put_object(kBucket, kKey, gz.data(), gz.size());
  g_uploaded = true;
  return true;
}

void load(benchmark::State& state, const char* mode) {
  if (!have_server() || !bucketry::s3_client()) {
    state.SkipWithError("needs the local S3 server: run under scripts/with-s3server.sh");
    return;
  }
  upload_once();
  Load l;
  for (auto _ : state) {
    l = run_child(g_self, mode);
    if (!l.ok) state.SkipWithError("the load in the child process failed");
    state.SetIterationTime(l.seconds);
  }
  state.counters["seconds"] = l.seconds;
  state.counters["peak_bytes"] = l.peak;
  if (std::string(mode) == "whole") {
    g_whole = l;
  } else if (g_whole.ok && l.ok) {
    state.counters["time_ratio"] = l.seconds / g_whole.seconds;
    state.counters["peak_ratio"] = l.peak / g_whole.peak;
  }
}

void BM_LoadWholeBody(benchmark::State& state) { load(state, "whole"); }
void BM_LoadStreamed(benchmark::State& state) { load(state, "streamed"); }

}  // namespace

BENCHMARK(BM_LoadWholeBody)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();
BENCHMARK(BM_LoadStreamed)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--load-child") return load_child(argv[2]);
  g_self = argv[0];
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
