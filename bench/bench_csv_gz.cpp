// Chunked read of a gzip CSV shaped like a relationship snapshot
// (1,000,000 rows, 10 columns) against a plain zlib inflate of the same
// bytes, plus the peak memory of the read measured in a fresh process.
//
// Counters: rows_per_s, ratio_vs_inflate (wall clock, target <= 2.5) and
// cpu_ratio_vs_inflate (process CPU time of all threads: the read inflates
// on a second thread, so this is what it would cost on a single core), and on BM_PeakMemory
// peak_read_bytes, budget_bytes (compressed + 2 x final table) and
// peak_over_budget (target <= 1); on BM_TextCellMemory
// bytes_over_text_plus_16 (text columns' memory against their texts' bytes
// plus 16 a cell, target <= 1).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;

namespace {

constexpr std::size_t kRows = 1000000;
constexpr std::size_t kChunk = 100000;

std::string figi(std::mt19937_64& rng) {
  static const char alnum[] = "BCDFGHJKLMNPQRSTVWXYZ0123456789";
  std::string s = "BBG00";
  for (int i = 0; i < 7; ++i) s.push_back(alnum[rng() % (sizeof alnum - 1)]);
  return s;
}

std::string date_text(std::mt19937_64& rng) {
  char b[16];
  std::snprintf(b, sizeof b, "%04d-%02d-%02d", 2010 + static_cast<int>(rng() % 15), 1 + static_cast<int>(rng() % 12),
                1 + static_cast<int>(rng() % 28));
  return b;
}

std::vector<std::uint8_t> make_snapshot() {
  std::mt19937_64 rng(42);
  std::vector<std::string> figis;
  for (int i = 0; i < 20000; ++i) figis.push_back(figi(rng));
  static const char* kinds[] = {"CUSTOMER", "SUPPLIER", "COMPETITOR"};
  std::string s =
      "ID_BB_GLOBAL,RELATED_ID_BB_GLOBAL,RELATIONSHIP_TYPE,RELTNSHP_START_DT,RELTNSHP_END_DT,"
      "REVENUE_PCT,COST_PCT,RELATIONSHIP_VALUE,RELATIONSHIP_ID,SOURCE_COUNT\n";
  s.reserve(kRows * 110);
  char buf[64];
  for (std::size_t r = 0; r < kRows; ++r) {
    s += figis[rng() % figis.size()];
    s += ',';
    s += figis[rng() % figis.size()];
    s += ',';
    s += kinds[rng() % 3];
    s += ',';
    s += date_text(rng);
    s += ',';
    if (rng() % 4) s += date_text(rng);
    s += ',';
    std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(rng() % 1000000) / 10000.0);
    s += buf;
    s += ',';
    if (rng() % 3) {
      std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(rng() % 100000) / 1000.0);
      s += buf;
    }
    s += ',';
    std::snprintf(buf, sizeof buf, "%.6g", static_cast<double>(rng() % 100000000) * 1.37);
    s += buf;
    s += ',';
    s += std::to_string(100000000 + r);
    s += ',';
    s += std::to_string(rng() % 20);
    s += '\n';
  }
  return gzip_compress(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), 6);
}

const std::vector<std::uint8_t>& snapshot() {
  static const std::vector<std::uint8_t> gz = make_snapshot();
  return gz;
}

Frame chunked_read(const std::vector<std::uint8_t>& gz) {
  GzipStream stream(gz.data(), gz.size(), "bench.csv.gz");
  CsvChunkReader reader(
      [&](char* out, std::size_t cap) { return stream.read(reinterpret_cast<std::uint8_t*>(out), cap); },
      "bench.csv.gz", kChunk);
  return reader.read_all();
}

// Bytes held by a frame: its columns' buffers and the index labels.
std::size_t frame_bytes(const Frame& f) {
  std::size_t n = 0;
  for (const auto& c : f.columns()) n += c.memory_bytes();
  for (const auto& s : f.index().text_labels()) n += sizeof(std::string) + (s.capacity() > 15 ? s.capacity() + 1 : 0);
  return n;
}

long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t len = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, len, field) == 0) return std::stol(line.substr(len + 1));
  return -1;
}

// Child mode: load the compressed file, read it by chunks, print
// "<rss before load> <peak> <compressed size> <frame bytes>" (bytes).
int memory_child(const char* path) {
  {
    // Warm-up on a tiny object so that the code pages of the reader are in
    // the baseline rather than counted as memory of the read.
    const std::string tiny = "a,b,c\n1,x,2.5\n";
    const auto z = gzip_compress(reinterpret_cast<const std::uint8_t*>(tiny.data()), tiny.size());
    benchmark::DoNotOptimize(chunked_read(z));
  }
  const long before = status_kb("VmRSS:") * 1024;
  std::vector<std::uint8_t> gz;
  {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    gz.resize(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(gz.data()), static_cast<std::streamsize>(gz.size()));
  }
  Frame f = chunked_read(gz);
  const long peak = status_kb("VmHWM:") * 1024;
  std::printf("%ld %ld %zu %zu\n", before, peak, gz.size(), frame_bytes(f));
  return 0;
}

struct MemoryResult {
  double before = 0, peak = 0, compressed = 0, frame = 0;
  bool ok = false;
};
MemoryResult g_memory;

MemoryResult measure_memory_in_fresh_process(const char* self) {
  MemoryResult m;
  char path[] = "/tmp/bench_csv_gz_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return m;
  const auto& gz = snapshot();
  if (write(fd, gz.data(), gz.size()) != static_cast<ssize_t>(gz.size())) {
    close(fd);
    unlink(path);
    return m;
  }
  close(fd);
  int pipefd[2];
  if (pipe(pipefd) != 0) return m;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 1);
    close(pipefd[0]);
    execl(self, self, "--memory-child", path, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipefd[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  unlink(path);
  std::istringstream is(out);
  if (is >> m.before >> m.peak >> m.compressed >> m.frame) m.ok = true;
  return m;
}

double g_inflate_seconds = 0, g_inflate_cpu = 0;

// CPU time of this process (user + system), less sensitive to a loaded host.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::size_t plain_inflate(const std::vector<std::uint8_t>& gz, std::vector<std::uint8_t>& buf) {
  z_stream zs{};
  inflateInit2(&zs, 16 + MAX_WBITS);
  zs.next_in = const_cast<Bytef*>(gz.data());
  zs.avail_in = static_cast<uInt>(gz.size());
  std::size_t total = 0;
  for (;;) {
    zs.next_out = buf.data();
    zs.avail_out = static_cast<uInt>(buf.size());
    const int rc = inflate(&zs, Z_NO_FLUSH);
    total += buf.size() - zs.avail_out;
    if (rc == Z_STREAM_END) {
      if (zs.avail_in == 0) break;
      inflateReset(&zs);
      continue;
    }
    if (rc != Z_OK) break;
  }
  inflateEnd(&zs);
  return total;
}

double time_inflate_once() {
  std::vector<std::uint8_t> buf(1 << 20);
  const auto t0 = std::chrono::steady_clock::now();
  benchmark::DoNotOptimize(plain_inflate(snapshot(), buf));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_Inflate(benchmark::State& state) {
  const auto& gz = snapshot();
  std::vector<std::uint8_t> buf(1 << 20);
  std::size_t bytes = 0;
  double secs = 0, cpu = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = cpu_seconds();
    bytes = plain_inflate(gz, buf);
    cpu += cpu_seconds() - c0;
    secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    benchmark::DoNotOptimize(bytes);
  }
  g_inflate_seconds = secs / static_cast<double>(state.iterations());
  g_inflate_cpu = cpu / static_cast<double>(state.iterations());
  state.counters["csv_bytes"] = static_cast<double>(bytes);
  state.counters["gz_bytes"] = static_cast<double>(gz.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
}
BENCHMARK(BM_Inflate)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ChunkedRead(benchmark::State& state) {
  const auto& gz = snapshot();
  std::size_t rows = 0;
  double secs = 0, cpu = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = cpu_seconds();
    Frame f = chunked_read(gz);
    cpu += cpu_seconds() - c0;
    secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rows = f.num_rows();
    benchmark::DoNotOptimize(f);
    // Freeing the result belongs to the caller, not to the read.
    state.PauseTiming();
    f = Frame();
    state.ResumeTiming();
  }
  secs /= static_cast<double>(state.iterations());
  cpu /= static_cast<double>(state.iterations());
  if (g_inflate_seconds == 0) {
    const double c0 = cpu_seconds();
    g_inflate_seconds = time_inflate_once();
    g_inflate_cpu = cpu_seconds() - c0;
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["rows_per_s"] = static_cast<double>(rows) / secs;
  state.counters["inflate_ms"] = g_inflate_seconds * 1e3;
  state.counters["ratio_vs_inflate"] = secs / g_inflate_seconds;
  state.counters["cpu_ratio_vs_inflate"] = cpu / g_inflate_cpu;
}
BENCHMARK(BM_ChunkedRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_PeakMemory(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(g_memory.ok);
  if (!g_memory.ok) {
    state.SkipWithError("memory measurement in a child process failed");
    return;
  }
  const double read_peak = g_memory.peak - g_memory.before;
  const double budget = g_memory.compressed + 2 * g_memory.frame;
  state.counters["rss_before_bytes"] = g_memory.before;
  state.counters["peak_rss_bytes"] = g_memory.peak;
  state.counters["peak_read_bytes"] = read_peak;
  state.counters["compressed_bytes"] = g_memory.compressed;
  state.counters["frame_bytes"] = g_memory.frame;
  state.counters["budget_bytes"] = budget;
  state.counters["peak_over_budget"] = read_peak / budget;
}
BENCHMARK(BM_PeakMemory)->Iterations(1);

// Memory of text cells as read: short texts (inline in their 16-byte view)
// and long ones (view plus heap bytes), each column against its texts'
// bytes plus 16 a cell (target bytes_over_text_plus_16 <= 1).
void BM_TextCellMemory(benchmark::State& state) {
  const std::size_t rows = 200000;
  std::string csv_text = "short,long,mixed\n";
  std::mt19937_64 rng(7);
  for (std::size_t i = 0; i < rows; ++i) {
    const std::size_t s = 1 + rng() % 12, l = 13 + rng() % 60, m = 1 + rng() % 40;
    csv_text += std::string(s, static_cast<char>('a' + i % 26)) + "," + std::string(l, 'x') + "," +
                std::string(m, 'q') + "\n";
  }
  Frame f;
  for (auto _ : state) {
    f = read_csv(csv_text, "cells.csv");
    benchmark::DoNotOptimize(f.num_rows());
  }
  double worst = 0;
  for (std::size_t j = 0; j < f.num_columns(); ++j) {
    const Column& c = f.column_at(j);
    std::size_t text_bytes = 0;
    for (std::size_t i = 0; i < c.size(); ++i) text_bytes += c.text(i).size();
    const double ratio = static_cast<double>(c.memory_bytes()) / static_cast<double>(text_bytes + 16 * c.size());
    state.counters[f.names()[j] + "_bytes_per_cell"] = static_cast<double>(c.memory_bytes()) / c.size();
    worst = std::max(worst, ratio);
  }
  state.counters["bytes_over_text_plus_16"] = worst;
}
BENCHMARK(BM_TextCellMemory)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--memory-child") == 0) return memory_child(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--write-snapshot") == 0) {
    // Writes the generated object, for looking at it with other tools.
    const auto& gz = snapshot();
    std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(gz.data()),
                                                   static_cast<std::streamsize>(gz.size()));
    return 0;
  }
  // The memory measurement runs first, in a fresh process, so that nothing
  // the benchmarks allocate shows in its high-water mark.
  g_memory = measure_memory_in_fresh_process("/proc/self/exe");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
