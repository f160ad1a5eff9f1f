// SPLC::get_data on a loaded 2,000,000-row snapshot with both bounds and 50
// tickers, against one pass that only reads the two date columns and the
// FIGI column of the same table. The "ratio" counter of BM_SplcGetData is its
// mean time over the baseline's, measured in the same run (target <= 3).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "quorin_data/from_bqia/bql.hpp"
#include "quorin_data/from_s3/snapshelf/splc.hpp"

using namespace quorin_data;
using quorin_data::from_s3::snapshelf::SPLC;
namespace bql = quorin_data::from_bqia::bql;

namespace {

constexpr std::size_t kRows = 2000000;
constexpr std::size_t kCompanies = 20000;
constexpr std::size_t kTickers = 50;

std::string figi_of(std::size_t i) {
  static const char* digits = "0123456789BCDFGHJKLMNPQRSTVWXYZ";
  std::string s = "BBG";
  std::uint64_t x = i * 2654435761ULL + 12345;
  for (int k = 0; k < 9; ++k) {
    s.push_back(digits[x % 31]);
    x /= 31;
  }
  return s;
}

std::string ticker_of(std::size_t i) {
  std::string s = "T";
  s += std::to_string(i);
  s += " US Equity";
  return s;
}

struct Fixture {
  std::shared_ptr<bql::LocalService> bq;
  std::optional<SPLC> splc;
  std::vector<std::string> tickers;
  std::string folder;

  Fixture() {
    folder = (std::filesystem::temp_directory_path() / ("quorin-bench-splc-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(folder);
    {
      std::ofstream out(folder + "/securities.csv");
      out << "ID_BB_GLOBAL,TICKER,EXCH_CODE,MARKET_SECTOR_DES\n";
      for (std::size_t i = 0; i < kCompanies; ++i) out << figi_of(i) << ",T" << i << ",US,Equity\n";
    }
    bq = std::make_shared<bql::LocalService>(folder);

    std::mt19937_64 rng(42);
    std::vector<std::string> id(kRows), rel(kRows), related(kRows);
    std::vector<std::int32_t> start(kRows), end(kRows);
    std::vector<std::uint8_t> start_ok(kRows, 1), end_ok(kRows, 1);
    std::vector<double> pct(kRows);
    const auto base = static_cast<std::int32_t>(days_from_civil(2005, 1, 1));
    for (std::size_t i = 0; i < kRows; ++i) {
      id[i] = figi_of(rng() % kCompanies);
      rel[i] = (rng() % 2) ? "SUPPLIER" : "CUSTOMER";
      related[i] = figi_of(rng() % kCompanies);
      start[i] = base + static_cast<std::int32_t>(rng() % 7000);
      end[i] = start[i] + static_cast<std::int32_t>(rng() % 4000);
      if (rng() % 20 == 0) start_ok[i] = 0, start[i] = 0;
      if (rng() % 5 == 0) end_ok[i] = 0, end[i] = 0;
      pct[i] = static_cast<double>(rng() % 1000) / 10.0;
    }
    Frame f;
    f.add_column("ID_BB_GLOBAL", Column::texts(std::move(id)));
    f.add_column("RELATIONSHIP", Column::texts(std::move(rel)));
    f.add_column("RELATED_FIGI", Column::texts(std::move(related)));
    f.add_column("RELTNSHP_START_DT", Column::dates(std::move(start), std::move(start_ok)));
    f.add_column("RELTNSHP_END_DT", Column::dates(std::move(end), std::move(end_ok)));
    f.add_column("REVENUE_PCT", Column::floats(std::move(pct)));
    splc.emplace(SPLC::from_frame(std::move(f), "supplier", bq));
    for (std::size_t i = 0; i < kTickers; ++i) tickers.push_back(ticker_of(i * 397 % kCompanies));
  }
  ~Fixture() { std::filesystem::remove_all(folder); }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

double g_baseline_ns = 0;

// Reads the two date columns (the window test) and the FIGI column.
void BM_ReadDatesAndFigi(benchmark::State& state) {
  const Frame& t = *fixture().splc->data;
  const Column& s = t.column("RELTNSHP_START_DT");
  const Column& e = t.column("RELTNSHP_END_DT");
  const Column& f = t.column("ID_BB_GLOBAL");
  const std::int64_t sd = days_from_civil(2015, 6, 30), ed = days_from_civil(2020, 6, 30);
  double total = 0;
  std::size_t n = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    std::size_t keep = 0, chars = 0;
    for (std::size_t i = 0; i < t.num_rows(); ++i) {
      const bool w = (!s.is_missing(i) && s.integer(i) <= sd) || (!e.is_missing(i) && e.integer(i) >= ed);
      keep += w;
      chars += f.text(i).size() + static_cast<unsigned char>(f.text(i).back());
    }
    benchmark::DoNotOptimize(keep);
    benchmark::DoNotOptimize(chars);
    total += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    ++n;
  }
  g_baseline_ns = total / static_cast<double>(n);
}

void BM_SplcGetData(benchmark::State& state) {
  Fixture& fx = fixture();
  double total = 0;
  std::size_t n = 0, rows = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    auto out = fx.splc->get_data(fx.tickers, std::string("2015-06-30"), std::string("2020-06-30"));
    benchmark::DoNotOptimize(out);
    total += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    rows = out->num_rows();
    ++n;
  }
  state.counters["rows"] = static_cast<double>(rows);
  if (g_baseline_ns > 0) state.counters["ratio"] = (total / static_cast<double>(n)) / g_baseline_ns;
}

}  // namespace

BENCHMARK(BM_ReadDatesAndFigi)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplcGetData)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
