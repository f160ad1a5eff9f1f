// Event-time columns of a 1,000,000-event calendar (localize release times to
// their source zone, convert to America/New_York, round down to the minute,
// split into date and time of day) against two baselines measured in the same
// run: a bare loop that adds a fixed offset to the same timestamps into a new
// array, and the same steps in pandas (Debian's python3-pandas: tz_localize,
// tz_convert, floor, .dt.date, .dt.time) on the same values.
// Counters: ns_per_event, x_bare (time / bare loop), pandas_over_ours
// (pandas time / ours).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <span>
#include <vector>

#include "quorin_data/core.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace qw = quorin_data::from_bqia::querywork;
using quorin_data::Column;
using quorin_data::Frame;
using quorin_data::Zone;

namespace {

constexpr std::size_t N = 1'000'000;

// Release wall-clock times in calendar order over 2015-2025, on whole minutes
// with a few at odd seconds.
struct Data {
  Column release;
  Column zones;  // calendar zone texts, mixed, for the per-row variant
  Data() {
    std::vector<std::int64_t> v(N);
    std::vector<std::string> z(N);
    const std::int64_t start = quorin_data::days_from_civil(2015, 1, 1) * quorin_data::kNanosPerDay;
    const std::int64_t span = 11LL * 365 * quorin_data::kNanosPerDay;
    std::uint64_t r = 88172645463325252ull;
    const char* texts[] = {"GMT-05:00", "GMT-04:00", "GMT+00:00", "GMT+05:30", "GMT+08:00"};
    for (std::size_t i = 0; i < N; ++i) {
      r ^= r << 13, r ^= r >> 7, r ^= r << 17;
      const std::int64_t minute = (span / static_cast<std::int64_t>(N) * static_cast<std::int64_t>(i)) /
                                  (60 * quorin_data::kNanosPerSecond) * (60 * quorin_data::kNanosPerSecond);
      v[i] = start + minute + (r % 8 == 0 ? static_cast<std::int64_t>(r % 60) * quorin_data::kNanosPerSecond : 0);
      z[i] = texts[(r >> 8) % 5];
    }
    release = Column::timestamps(std::move(v));
    zones = Column::texts(std::move(z));
  }
};

const Data& data() {
  static Data d;
  return d;
}

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
double seconds(const std::function<void()>& f) {
  const double t0 = thread_seconds();
  f();
  return thread_seconds() - t0;
}

std::vector<std::int64_t> bare_offset(std::span<const std::int64_t> in, std::int64_t off) {
  std::vector<std::int64_t> out(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = in[i] + off;
  return out;
}

// The pandas steps on the same values, timed inside Python (process CPU
// time); -1 when Python or pandas is not there.
double pandas_seconds() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("quorin_bench_qw_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  {
    std::ofstream bin(dir / "release.i64", std::ios::binary);
    auto v = data().release.i64();
    bin.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * 8));
    std::ofstream py(dir / "steps.py");
    py << "import sys, time\n"
          "import numpy as np, pandas as pd\n"
          "s = pd.Series(np.fromfile(sys.argv[1], dtype='int64').view('datetime64[ns]'))\n"
          "best = None\n"
          "for _ in range(2):\n"
          "    t0 = time.process_time()\n"
          // Floored in UTC (New York's offsets are whole minutes): flooring the
          // wall time would refuse the hour that repeats in November.
          "    dt = s.dt.tz_localize('Etc/GMT+5').dt.tz_convert('UTC').dt.floor('min')"
          ".dt.tz_convert('America/New_York')\n"
          "    d = dt.dt.date\n"
          "    t = dt.dt.time\n"
          "    el = time.process_time() - t0\n"
          "    best = el if best is None else min(best, el)\n"
          "print(best)\n";
  }
  const std::string cmd = "/usr/bin/python3 " + (dir / "steps.py").string() + " " + (dir / "release.i64").string();
  double secs = -1;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[128] = {0};
    if (std::fgets(buf, sizeof buf, p)) secs = std::atof(buf);
    if (::pclose(p) != 0) secs = -1;
  }
  fs::remove_all(dir);
  return secs;
}

void BM_event_time_columns(benchmark::State& state) {
  const auto& d = data();
  const Zone source = qw::convert_tz("GMT-05:00"), ny = Zone::locate("America/New_York");
  double t_ours = 0, t_bare = 0;
  for (auto _ : state) {
    const double t = seconds([&] { benchmark::DoNotOptimize(qw::event_time_columns(d.release, source, ny)); });
    t_bare += seconds([&] { benchmark::DoNotOptimize(bare_offset(d.release.i64(), 5 * 3600 * quorin_data::kNanosPerSecond)); });
    t_ours += t;
    state.SetIterationTime(t);
  }
  const double per = t_ours / static_cast<double>(state.iterations());
  state.counters["ns_per_event"] = per * 1e9 / N;
  state.counters["x_bare"] = t_ours / t_bare;
  const double pandas = pandas_seconds();
  if (pandas > 0) state.counters["pandas_over_ours"] = pandas / per;
  else state.SetLabel("pandas baseline unavailable (python3-pandas)");
}

// The calendar's own path: every row localized with its own zone text, and
// the event_timezone column added.
void BM_add_event_columns_per_row_zones(benchmark::State& state) {
  const auto& d = data();
  const Zone ny = Zone::locate("America/New_York");
  double t_ours = 0, t_bare = 0;
  for (auto _ : state) {
    Frame f;
    f.add_column("RELEASE_DATE_TIME", d.release);
    const double t = seconds([&] { qw::add_event_columns(f, d.release, d.zones, ny); });
    t_bare += seconds([&] { benchmark::DoNotOptimize(bare_offset(d.release.i64(), 5 * 3600 * quorin_data::kNanosPerSecond)); });
    t_ours += t;
    state.SetIterationTime(t);
  }
  state.counters["ns_per_event"] = t_ours / static_cast<double>(state.iterations()) * 1e9 / N;
  state.counters["x_bare"] = t_ours / t_bare;
}

}  // namespace

BENCHMARK(BM_event_time_columns)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_add_event_columns_per_row_zones)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);

int main(int argc, char** argv) {
  // Keep freed result columns in the heap for the next call (a warm research
  // process), for ours and the bare loop alike.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
