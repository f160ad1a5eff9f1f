// Parquet read speed against DuckDB in the same run, and the work the
// equality filter saves on a file of snapshots.
//
// The setup writes two files with DuckDB (through tests/peers/duckdb_peer.mjs)
// into a temporary folder:
//   * 1,000,000 rows, 6 columns (a date, a timestamp, a dictionary-encoded
//     text, three doubles), ZSTD, 10 row groups;
//   * 20 snapshots of 10,240 rows, one per row group, told apart by the date
//     column "dlSnapshotDate".
// BM_FullRead times our full read (file to Frame); each iteration also asks
// DuckDB, with one thread, to materialize the same file into a temporary
// table, timed by the node script around that query alone. The counters give
// both times and their ratio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "quorin_data/formats/parquet.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;

namespace {

std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run " + cmd);
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  if (pclose(p) != 0) throw std::runtime_error("command failed: " + cmd);
  return out;
}

std::string peer() { return std::string("cd '") + QUORIN_SOURCE_DIR + "' && node tests/peers/duckdb_peer.mjs"; }

struct Files {
  std::filesystem::path dir;
  std::string big, snapshots;
  Files() {
    char tmpl[] = "/tmp/quorin_bench_parquet_XXXXXX";
    dir = mkdtemp(tmpl);
    big = (dir / "big.parquet").string();
    snapshots = (dir / "snapshots.parquet").string();
    run(peer() + " exec \"COPY (SELECT DATE '2000-01-01' + (i // 1000)::INTEGER AS d, "
                 "TIMESTAMP '2020-01-01 00:00:00' + to_microseconds(i * 1013) AS ts, "
                 "'SYM' || (i * 7919 % 500) AS sym, (i * 0.37) % 101 AS a, i / 3.0 AS b, "
                 "sin(i::DOUBLE) AS c FROM range(1000000) t(i)) TO '" + big +
        "' (FORMAT parquet, COMPRESSION zstd, ROW_GROUP_SIZE 100000)\" "
        "\"COPY (SELECT DATE '2024-01-05' + ((i // 10240) * 7)::INTEGER AS dlSnapshotDate, "
        "'EV' || (i % 300) AS column0, i * 0.25 AS value FROM range(204800) t(i)) TO '" + snapshots +
        "' (FORMAT parquet, COMPRESSION zstd, ROW_GROUP_SIZE 10240)\"");
  }
  ~Files() { std::filesystem::remove_all(dir); }
};

Files& files() {
  static Files f;
  return f;
}

double duckdb_ms(const std::string& path) {
  const std::string out = run(peer() + " time '" + path + "'");
  return std::strtod(out.c_str(), nullptr);
}

void BM_FullRead(benchmark::State& state) {
  const std::string& path = files().big;
  double ours_total = 0, duck_total = 0;
  std::size_t rows = 0, groups = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const ParquetFile f = ParquetFile::open_path(path);
    const Frame frame = f.read();
    const auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(frame.num_rows());
    rows = frame.num_rows();
    groups = f.num_row_groups();
    const double ours = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(ours);
    ours_total += ours * 1000;
    state.PauseTiming();
    duck_total += duckdb_ms(path);
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = ours_total / n;
  state.counters["duckdb_1thread_ms"] = duck_total / n;
  state.counters["ratio_ours_to_duckdb"] = ours_total / duck_total;
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["row_groups"] = static_cast<double>(groups);
}
BENCHMARK(BM_FullRead)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SnapshotByFilter(benchmark::State& state) {
  const ParquetFile f = ParquetFile::open_path(files().snapshots);
  ParquetReadStats st;
  std::size_t rows = 0;
  // Snapshot 12 of 20, asked for by its midnight timestamp.
  const Value when(Timestamp{(std::int64_t{19727} + 12 * 7) * kNanosPerDay, ""});
  for (auto _ : state) {
    const Frame frame = f.read_where_equal("dlSnapshotDate", when, std::nullopt, &st);
    rows = frame.num_rows();
    benchmark::DoNotOptimize(rows);
  }
  state.counters["row_groups_total"] = static_cast<double>(st.row_groups_total);
  state.counters["row_groups_decoded"] = static_cast<double>(st.row_groups_decoded);
  state.counters["row_groups_skipped"] = static_cast<double>(st.row_groups_skipped);
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_SnapshotByFilter)->Unit(benchmark::kMillisecond);

void BM_SnapshotFullRead(benchmark::State& state) {
  const ParquetFile f = ParquetFile::open_path(files().snapshots);
  for (auto _ : state) benchmark::DoNotOptimize(f.read().num_rows());
}
BENCHMARK(BM_SnapshotFullRead)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
