// libFuzzer target over the local intraday-bars package's folder: the input
// replaces one of its files (the first byte picks instruments.csv,
// futures.csv or a bar file); opening the folder and asking for bars (a
// security and a futures roll, in a zone, downsampled) must give bars or a
// library error, never a crash, leak or undefined behaviour.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_bqia/bqia.hpp"

namespace fs = std::filesystem;
namespace bqia = quorin_data::from_bqia::bqia;

namespace {

const fs::path& folder() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("quorin-fuzz-bqia-" + std::to_string(::getpid()));
    fs::create_directories(d / "bars");
    return d;
  }();
  return dir;
}

void write(const fs::path& p, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void write(const fs::path& p, const std::string& s) {
  write(p, reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const fs::path& dir = folder();
  write(dir / "instruments.csv", "FIGI,PACKAGE\nF1,equity\nC1,equity\nC2,equity\n");
  write(dir / "futures.csv", "FUTURE_ROOT,YELLOW_KEY,CONTRACT,FIGI,LAST_TRADE_DATE\nES,Index,ESH4 Index,C1,2024-03-15\n"
                             "ES,Index,ESM4 Index,C2,2024-06-21\n");
  std::error_code ec;
  fs::remove(dir / "bars" / "F1.parquet", ec);
  const std::uint8_t pick = data[0] % 3;
  const fs::path target = pick == 0 ? dir / "instruments.csv" : pick == 1 ? dir / "futures.csv" : dir / "bars" / "F1.parquet";
  write(target, data + 1, size - 1);
  try {
    bqia::LocalPackage pkg(dir.string());
    pkg.set_config({std::nullopt,
                    bqia::FuturesRollFactory({{"es1", bqia::FuturesRollConfig("ES", "Index", bqia::DayOffset{5})}}),
                    std::nullopt});
    (void)pkg.get_bars({{"F1"}, "figi", "1970-01-01", "2100-01-01", std::string("Asia/Kolkata"), std::string("5min")});
    (void)pkg.get_bars({{"es1"}, "custom", "2024-01-01", "2024-12-31", std::nullopt, std::nullopt});
  } catch (const quorin_data::Error&) {
  }
  return 0;
}
