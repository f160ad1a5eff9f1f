// ECOEST construction from a history in the local S3 server against DuckDB
// reading the same snapshot from the same file locally with one thread.
//
// The setup has DuckDB write a history of 20 weekly snapshots x 250,000 rows
// (12 columns, row groups of 100,000 rows, so several per snapshot and some
// shared by two), uploads it to s3rver, and computes from DuckDB's own
// metadata the bytes a construction needs: the footer, every snapshot-date
// column chunk, and every chunk of the row groups whose statistics admit the
// snapshot (construction fetches less when the row groups' statistics settle
// the snapshot date). Each iteration constructs ECOEST (ranged GetObjects,
// the first of the tail, and decoding) and then times DuckDB's `SELECT * ... WHERE dlSnapshotDate = D`
// materialized into a temporary table (timed inside node around the query).
// Counters: both times and their ratio, the bytes fetched and their ratio to
// the bytes needed, the requests.
//
// QUORIN_BENCH_ECOEST_ROWS sets the rows per snapshot (default 250000).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "from_s3/bucketry/client.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "quorin_data/from_s3/snapshelf/ecoest.hpp"
#include "store/s3_client.hpp"

using namespace quorin_data;
using quorin_data::from_s3::snapshelf::ECOEST;

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

std::string quote(const std::string& s) {
  std::string r = "'";
  for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

std::string peer() { return std::string("cd '") + QUORIN_SOURCE_DIR + "' && node tests/peers/duckdb_peer.mjs"; }

constexpr int kSnapshots = 20;

std::string snapshot_date(int k) {  // 2024-01-05 + 7k as yyyy-mm-dd
  int y;
  unsigned m, d;
  civil_from_days(days_from_civil(2024, 1, 5) + 7 * k, y, m, d);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", y, m, d);
  return buf;
}

struct History {
  std::filesystem::path dir;
  std::string file;
  std::uint64_t size = 0;
  long rows_per_snapshot = 250000;

  History() {
    if (const char* r = std::getenv("QUORIN_BENCH_ECOEST_ROWS")) rows_per_snapshot = std::max(1000L, std::atol(r));
    char tmpl[] = "/tmp/quorin_bench_ecoest_XXXXXX";
    dir = mkdtemp(tmpl);
    file = (dir / "history.parquet").string();
    const long n = rows_per_snapshot * kSnapshots;
    const std::string rps = std::to_string(rows_per_snapshot);
    run(peer() + " exec " +
        quote("COPY (SELECT 'EV' || (i % 300) || ' Index' AS column0, "
              "CAST(DATE '2024-01-05' + ((i // " + rps + ") * 7)::INTEGER AS DATE) AS dlSnapshotDate, "
              "TIMESTAMP '2023-12-01 00:00:00' + to_seconds(i * 7919 % 9000000) AS economistSurveyTimestamp, "
              "'economist ' || (i * 31 % 977) AS economist, 'firm ' || (i % 211) AS firm, "
              "(i % 1013) * 0.01 AS estimate, (i % 877) * 0.02 - 3 AS prior, sin(i::DOUBLE) AS revision, "
              "CASE WHEN i % 17 = 0 THEN NULL ELSE (i % 389) * 0.5 END AS actual, "
              "(i % 45)::INTEGER AS survey_count, i AS id, i % 3 = 0 AS is_final "
              "FROM range(" + std::to_string(n) + ") t(i)) TO '" + file +
              "' (FORMAT parquet, ROW_GROUP_SIZE 100000)"));
    size = std::filesystem::file_size(file);
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes(size);
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    auto client = from_s3::bucketry::s3_client();
    if (!client) throw std::runtime_error("no S3 client (run under scripts/with-s3server.sh)");
    client->put_object("quorin-macro-base-data", ECOEST::file_path, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                       bytes.size());
    std::memcpy(&footer, bytes.data() + size - 8, 4);
    ECOEST::bucket = "quorin-macro-base-data";
  }
  ~History() { std::filesystem::remove_all(dir); }

  // Footer + snapshot-date chunks + the chunks of the row groups whose
  // statistics admit `date`, as DuckDB's metadata gives them.
  std::uint64_t needed_bytes(const std::string& date) const {
    const std::string meta = "parquet_metadata(" + quote(file) + ")";
    const std::string sql = "SELECT sum(total_compressed_size) FROM " + meta +
                            " WHERE path_in_schema = 'dlSnapshotDate' OR row_group_id IN (SELECT row_group_id FROM " +
                            meta + " WHERE path_in_schema = 'dlSnapshotDate' AND CAST(stats_min AS DATE) <= DATE '" +
                            date + "' AND CAST(stats_max AS DATE) >= DATE '" + date + "')";
    return std::stoull(run(peer() + " query " + quote(sql))) + footer + 8;
  }
  double duckdb_ms(const std::string& date) const {
    return std::strtod(run(peer() + " time " + quote(file) + " " + quote("dlSnapshotDate = DATE '" + date + "'")).c_str(),
                       nullptr);
  }

  std::uint32_t footer = 0;
};

History& history() {
  static History h;
  return h;
}

// Arg 0: a named snapshot in the middle of the history; 1: the latest.
void BM_Construction(benchmark::State& state) {
  History& h = history();
  const bool latest = state.range(0) == 1;
  const std::string date = snapshot_date(latest ? kSnapshots - 1 : kSnapshots / 2);
  const std::uint64_t needed = h.needed_bytes(date);
  auto client = from_s3::bucketry::s3_client();
  double ours_total = 0, duck_total = 0;
  store::RequestStats st;
  std::size_t rows = 0;
  for (auto _ : state) {
    client->reset_stats();
    const auto t0 = std::chrono::steady_clock::now();
    const ECOEST e = latest ? ECOEST() : ECOEST(date);
    const auto t1 = std::chrono::steady_clock::now();
    st = client->stats();
    rows = e.data.num_rows();
    benchmark::DoNotOptimize(rows);
    const double ours = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(ours);
    ours_total += ours * 1000;
    state.PauseTiming();
    duck_total += h.duckdb_ms(date);
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = ours_total / n;
  state.counters["duckdb_1thread_ms"] = duck_total / n;
  state.counters["ratio_ours_to_duckdb"] = ours_total / duck_total;
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["object_bytes"] = static_cast<double>(h.size);
  state.counters["needed_bytes"] = static_cast<double>(needed);
  state.counters["fetched_bytes"] = static_cast<double>(st.bytes_received);
  state.counters["ratio_fetched_to_needed"] = static_cast<double>(st.bytes_received) / static_cast<double>(needed);
  state.counters["range_requests"] = static_cast<double>(st.get_object_range);
  state.counters["head_requests"] = static_cast<double>(st.head_object);
  state.counters["http_requests"] = static_cast<double>(st.http_requests);
}
BENCHMARK(BM_Construction)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
