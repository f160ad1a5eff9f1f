// The deterministic sample of the local intraday-bars package: instruments,
// the contracts of one futures root, and one-minute bars around every release
// of the query service's reference calendar.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/from_bqia/bqia.hpp"

namespace quorin_data::from_bqia::bqia {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kMinute = 60 * kNanosPerSecond;

// splitmix64: the same sequence on every platform.
struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // Roughly normal (Irwin-Hall of four uniforms, unit variance).
  double normal() { return (uniform() + uniform() + uniform() + uniform() - 2.0) * std::sqrt(3.0); }
};

std::uint64_t fnv1a(const std::string& s) {
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
  return h;
}

struct Instrument {
  std::string figi, package;
  double price, tick, sigma, volume;  // start price, tick size, per-minute return sd, mean volume
};

struct FutureContract {
  std::string parsekey, figi;
  std::int32_t last_trade_day;
};

// Third Friday of a month.
std::int32_t third_friday(int y, unsigned m) {
  std::int32_t first = days_from_civil(y, m, 1);
  int to_friday = (4 - weekday_monday0(first) + 7) % 7;
  return first + to_friday + 14;
}

std::vector<FutureContract> es_contracts() {
  static const char codes[] = {'H', 'M', 'U', 'Z'};
  std::vector<FutureContract> out;
  for (int y = 2023; y <= 2026; ++y)
    for (int q = 0; q < 4; ++q) {
      if (y == 2026 && q > 0) break;
      const std::string yy = std::to_string(y % 100);
      out.push_back({std::string("ES") + codes[q] + std::to_string(y % 10) + " Index",
                     std::string("BBG0ES") + codes[q] + yy + "FUT", third_friday(y, static_cast<unsigned>(3 * q + 3))});
    }
  return out;
}

// "GMT+05:30" -> +19800 seconds.
std::int64_t gmt_offset_s(const std::string& text) {
  int h = 0, m = 0;
  char sign = 0;
  if (text.size() != 9 || text.compare(0, 3, "GMT") != 0 || (text[3] != '+' && text[3] != '-') || text[6] != ':' ||
      std::sscanf(text.c_str() + 4, "%2d:%2d", &h, &m) != 2)
    throw PackageError("calendar TIMEZONE '" + text + "' is not of the form GMT+hh:mm");
  sign = text[3];
  const std::int64_t s = h * 3600 + m * 60;
  return sign == '-' ? -s : s;
}

// The multiple of `tick` nearest to v, as the double nearest to that decimal
// (4779.19, not 4779.1900000000005): ticks are 1 / a whole number.
double round_to(double v, double tick) {
  const double per_unit = std::round(1.0 / tick);
  return std::round(v * per_unit) / per_unit;
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw PackageError("cannot write " + path.string());
}

}  // namespace

void write_sample(const std::string& calendar_csv, const std::string& out_folder, int minutes_before,
                  int minutes_after) {
  std::ifstream in(calendar_csv, std::ios::binary);
  if (!in) throw PackageError("cannot read " + calendar_csv);
  std::ostringstream ss;
  ss << in.rdbuf();
  Frame cal = formats::read_csv(ss.str(), calendar_csv);
  const Column& rel = cal.column("RELEASE_DATE_TIME");
  const Column& tz = cal.column("TIMEZONE");

  // Release minutes (UTC) and the grid of bar minutes around them.
  std::set<std::int64_t> releases, grid;
  for (std::size_t i = 0; i < cal.num_rows(); ++i) {
    if (rel.is_missing(i) || tz.is_missing(i)) continue;
    const std::string text = rel.cell_text(i);
    auto wall = try_parse_datetime_ns(text);
    if (!wall) throw PackageError("calendar RELEASE_DATE_TIME '" + text + "' does not parse");
    std::int64_t utc = *wall - gmt_offset_s(tz.cell_text(i)) * kNanosPerSecond;
    utc -= ((utc % kMinute) + kMinute) % kMinute;
    releases.insert(utc);
    for (int m = -minutes_before; m <= minutes_after; ++m) grid.insert(utc + m * kMinute);
  }

  std::vector<Instrument> spot{
      {"BBG000H4FSM0", "equity", 4700.0, 0.01, 0.0004, 0.0},        // SPX Index
      {"BBG000BLNNH6", "equity", 160.0, 0.01, 0.0008, 20000.0},     // IBM US Equity
      {"BBG0013HGFT4", "macro", 1.09, 0.00001, 0.00012, 150.0},     // EURUSD Curncy
      {"BBG0013HFN45", "macro", 142.0, 0.001, 0.00013, 120.0},      // JPY Curncy
  };
  const std::vector<FutureContract> contracts = es_contracts();

  fs::create_directories(fs::path(out_folder) / "bars");
  {
    std::string inst = "FIGI,PACKAGE\n";
    for (const Instrument& s : spot) inst += s.figi + "," + s.package + "\n";
    for (const FutureContract& c : contracts) inst += c.figi + ",equity\n";
    write_file(fs::path(out_folder) / "instruments.csv", inst);
    std::string fut = "FUTURE_ROOT,YELLOW_KEY,CONTRACT,FIGI,LAST_TRADE_DATE\n";
    for (const FutureContract& c : contracts)
      fut += "ES,Index," + c.parsekey + "," + c.figi + "," + format_iso_date(Date{c.last_trade_day}) + "\n";
    write_file(fs::path(out_folder) / "futures.csv", fut);
  }

  // One walk per spot instrument over the grid; the index path also drives
  // the futures (index plus a carry that shrinks to expiry).
  const std::vector<std::int64_t> minutes(grid.begin(), grid.end());
  std::vector<BarColumns> walks(spot.size());
  for (std::size_t k = 0; k < spot.size(); ++k) {
    const Instrument& s = spot[k];
    Rng rng{fnv1a(s.figi)};
    BarColumns& b = walks[k];
    double px = s.price;
    for (std::int64_t t : minutes) {
      double ret = s.sigma * rng.normal();
      const bool event = releases.count(t) > 0;
      if (event) ret += s.sigma * 12.0 * (rng.uniform() < 0.5 ? -1.0 : 1.0);
      const double open = round_to(px, s.tick);
      const double close = round_to(px * (1.0 + ret), s.tick);
      const double wick = std::fabs(s.sigma * rng.normal()) * px;
      b.time.push_back(t);
      b.open.push_back(open);
      b.close.push_back(close);
      b.high.push_back(round_to(std::max(open, close) + wick, s.tick));
      b.low.push_back(round_to(std::min(open, close) - wick, s.tick));
      b.volume.push_back(s.volume > 0 ? std::round(s.volume * (0.5 + rng.uniform()) * (event ? 6.0 : 1.0)) : 0.0);
      px = close;
    }
  }

  formats::ParquetWriteOptions opts;
  opts.codec = formats::ParquetWriteOptions::Codec::Zstd;
  const auto write_bars = [&](const std::string& figi, const BarColumns& b) {
    Frame f;
    f.add_column("datetime", Column::timestamps(b.time, "UTC"));
    f.add_column("open", Column::floats(b.open));
    f.add_column("high", Column::floats(b.high));
    f.add_column("low", Column::floats(b.low));
    f.add_column("close", Column::floats(b.close));
    f.add_column("volume", Column::floats(b.volume));
    auto bytes = formats::write_parquet(f, opts);
    write_file(fs::path(out_folder) / "bars" / (figi + ".parquet"), std::string(bytes.begin(), bytes.end()));
  };
  for (std::size_t k = 0; k < spot.size(); ++k) write_bars(spot[k].figi, walks[k]);

  const BarColumns& index = walks[0];
  for (const FutureContract& c : contracts) {
    Rng rng{fnv1a(c.figi)};
    BarColumns b;
    for (std::size_t i = 0; i < minutes.size(); ++i) {
      const std::int64_t day = date_of_ns(minutes[i]).days;
      if (day > c.last_trade_day || day < c.last_trade_day - 200) continue;
      const double carry = round_to(0.12 * static_cast<double>(c.last_trade_day - day), 0.25);
      const auto fut = [&](double v) { return round_to(v + carry, 0.25); };
      b.time.push_back(minutes[i]);
      b.open.push_back(fut(index.open[i]));
      b.close.push_back(fut(index.close[i]));
      b.high.push_back(fut(index.high[i]));
      b.low.push_back(fut(index.low[i]));
      b.volume.push_back(std::round(900.0 * (0.5 + rng.uniform())));
    }
    write_bars(c.figi, b);
  }
}

}  // namespace quorin_data::from_bqia::bqia
