// filter_bars_around_events on 2,000,000 one-minute bars (20 securities) and
// 2,000 events with the default window, against the same steps written with
// pandas (bench/pandas_event_bars.py, Debian's python3-pandas) on the same
// data, measured in the same run. Counters: "x_pandas" (pandas time over
// ours; target >= 10), "mem_x_result" (peak bytes allocated during the call
// beyond the inputs, over the result's bytes; target <= 2), "rows".
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/from_bqia/barwork.hpp"

using namespace quorin_data;
namespace barwork = quorin_data::from_bqia::barwork;

// ------------------------------------------------- allocation accounting

// The replaced operators below pair malloc with free; GCC, seeing a `new`
// inlined next to the free, would call that a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<std::int64_t> g_live{0}, g_peak{0};
void note_alloc(void* p) {
  if (!p) return;
  const auto now = g_live.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p))) +
                   static_cast<std::int64_t>(malloc_usable_size(p));
  auto peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}
void note_free(void* p) {
  if (p) g_live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)));
}
}  // namespace

void* operator new(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  note_alloc(p);
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, std::align_val_t a) {
  void* p = std::aligned_alloc(static_cast<std::size_t>(a), (n + static_cast<std::size_t>(a) - 1) /
                                                                static_cast<std::size_t>(a) *
                                                                static_cast<std::size_t>(a));
  if (!p) throw std::bad_alloc();
  note_alloc(p);
  return p;
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void* p) noexcept {
  note_free(p);
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
void operator delete(void* p, std::align_val_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::align_val_t) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { operator delete(p); }

namespace {

constexpr std::size_t kSecurities = 20;
constexpr std::size_t kBarsEach = 100000;
constexpr std::size_t kEvents = 2000;
constexpr const char* kZone = "America/New_York";
constexpr std::int64_t kMinute = 60 * kNanosPerSecond;

std::size_t column_bytes(const Column& c) {
  return c.memory_bytes();
}

std::size_t frame_bytes(const Frame& f) {
  std::size_t b = 0;
  for (const Column& c : f.columns()) b += column_bytes(c);
  for (const auto& s : f.index().text_labels()) b += sizeof(std::string) + (s.capacity() > 15 ? s.capacity() + 1 : 0);
  return b;
}

struct Fixture {
  Frame bars, calendar;
  std::string folder;
  double pandas_seconds = -1;
  std::size_t pandas_rows = 0;

  Fixture() {
    std::mt19937_64 rng(7);
    const std::int64_t t0 = static_cast<std::int64_t>(days_from_civil(2024, 1, 1)) * kNanosPerDay;
    std::vector<std::string> sec, key;
    std::vector<std::int64_t> dt;
    std::vector<double> o, h, l, c, v;
    for (std::size_t s = 0; s < kSecurities; ++s) {
      double px = 100.0 + 10.0 * static_cast<double>(s);
      const std::string figi = "BBG00BENCH" + std::string(1, static_cast<char>('A' + s / 10)) + std::to_string(s % 10);
      for (std::size_t i = 0; i < kBarsEach; ++i) {
        sec.push_back(figi);
        key.push_back("sec" + std::to_string(s));
        dt.push_back(t0 + static_cast<std::int64_t>(i) * kMinute);
        const double next = px + (static_cast<double>(rng() % 2001) - 1000.0) * 1e-3;
        o.push_back(px);
        c.push_back(next);
        h.push_back(std::max(px, next) + 0.01);
        l.push_back(std::min(px, next) - 0.01);
        v.push_back(static_cast<double>(100 + rng() % 900));
        px = next;
      }
    }
    bars.add_column("security", Column::texts(std::move(sec)));
    bars.add_column("key", Column::texts(std::move(key)));
    bars.add_column("datetime", Column::timestamps(std::move(dt), kZone));
    bars.add_column("open", Column::floats(std::move(o)));
    bars.add_column("high", Column::floats(std::move(h)));
    bars.add_column("low", Column::floats(std::move(l)));
    bars.add_column("close", Column::floats(std::move(c)));
    bars.add_column("volume", Column::floats(std::move(v)));

    // Ten event kinds, 2,000 releases at random minutes (some with seconds).
    std::vector<std::string> ids, names;
    std::vector<std::int64_t> when;
    std::vector<double> actual, surprise;
    for (std::size_t e = 0; e < kEvents; ++e) {
      const std::size_t k = rng() % 10;
      ids.push_back("EVT" + std::to_string(k) + " Index");
      names.push_back("Event kind " + std::to_string(k));
      const std::int64_t minute = 10 + static_cast<std::int64_t>(rng() % (kBarsEach - 20));
      when.push_back(t0 + minute * kMinute + (e % 4 == 0 ? 45 * kNanosPerSecond : 0));
      actual.push_back(static_cast<double>(rng() % 1000) / 10.0);
      surprise.push_back(static_cast<double>(rng() % 200) / 100.0 - 1.0);
    }
    calendar.add_column("EVENT_NAME", Column::texts(std::move(names)));
    calendar.add_column("ACTUAL", Column::floats(std::move(actual)));
    calendar.add_column("SURPRISE", Column::floats(std::move(surprise)));
    calendar.add_column("event_datetime", Column::timestamps(std::move(when), kZone));
    Index idx = Index::texts(std::move(ids));
    idx.name = "ID";
    calendar.set_index(std::move(idx));
    run_pandas();
  }

  // The same data as CSV with times as integer nanoseconds, then the pandas
  // script (its own best of two).
  void run_pandas() {
    folder = (std::filesystem::temp_directory_path() / ("quorin-bench-barwork-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(folder);
    const auto as_ns = [](const Frame& f) {
      Frame out = f;
      const std::string name = f.has_column("datetime") ? "datetime" : "event_datetime";
      const Column& c = out.column(name);
      out.set_column(name, Column::ints(std::vector<std::int64_t>(c.i64().begin(), c.i64().end())));
      return out;
    };
    {
      std::ofstream b(folder + "/bars.csv");
      formats::write_csv(as_ns(bars), false, b);
      std::ofstream c(folder + "/calendar.csv");
      formats::write_csv(as_ns(calendar), true, c);
    }
    const std::string cmd = std::string("/usr/bin/python3 ") + QUORIN_SOURCE_DIR + "/bench/pandas_event_bars.py " +
                            folder + "/bars.csv " + folder + "/calendar.csv " + kZone + " 2";
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
      char line[256] = {0};
      if (std::fgets(line, sizeof line, p)) std::sscanf(line, "seconds=%lf rows=%zu", &pandas_seconds, &pandas_rows);
      ::pclose(p);
    }
    std::filesystem::remove_all(folder);
    if (pandas_seconds < 0) std::fprintf(stderr, "pandas baseline did not run: %s\n", cmd.c_str());
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_FilterBarsAroundEvents(benchmark::State& state) {
  Fixture& fx = fixture();
  double best = 0;
  std::size_t rows = 0;
  double mem_ratio = 0;
  for (auto _ : state) {
    const std::int64_t before = g_live.load();
    g_peak.store(before);
    auto t0 = std::chrono::steady_clock::now();
    Frame out = barwork::filter_bars_around_events(fx.bars, fx.calendar);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best = best == 0 ? s : std::min(best, s);
    rows = out.num_rows();
    mem_ratio = static_cast<double>(g_peak.load() - before) / static_cast<double>(frame_bytes(out));
    benchmark::DoNotOptimize(out);
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["seconds"] = best;
  state.counters["pandas_seconds"] = fx.pandas_seconds;
  if (fx.pandas_seconds > 0) state.counters["x_pandas"] = fx.pandas_seconds / best;
  state.counters["mem_x_result"] = mem_ratio;
  if (fx.pandas_rows && fx.pandas_rows != rows)
    state.SkipWithError(("row counts differ: pandas " + std::to_string(fx.pandas_rows) + ", ours " +
                         std::to_string(rows)).c_str());
}

}  // namespace

BENCHMARK(BM_FilterBarsAroundEvents)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
