// The intraday-bars package (`bqia`) as the modules use it: its configuration
// (`set_config`), bar retrieval (`get_bars`), futures roll rules
// (`FuturesRollConfig`, `FuturesRollFactory`), the registry that decides
// which package a module gets, and a local stand-in that serves bars from
// Parquet files in a folder.
//
// Namespace quorin_data::from_bqia::bqia. A program running where the real
// package lives registers a provider that forwards these calls to it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/providers.hpp"

namespace quorin_data::from_bqia::bqia {

// A failure reported by the package (unknown security, a security whose
// package is not enabled, bad frequency or zone). Reaches callers unchanged.
class PackageError : public Error {
 public:
  explicit PackageError(const std::string& m) : Error(ErrorKind::Runtime, m) {}
};

// A calendar-date offset of whole days.
struct DayOffset {
  std::int64_t days = 0;
  friend bool operator==(const DayOffset&, const DayOffset&) = default;
};

// `FuturesRollConfig(future_root, yellow_key, offset)`: the generic future
// "ES" + "Index" rolls to the next contract `offset` calendar days before the
// last trade date of the contract in force.
class FuturesRollConfig {
 public:
  FuturesRollConfig(std::string future_root, std::string yellow_key, DayOffset offset)
      : future_root_(std::move(future_root)), yellow_key_(std::move(yellow_key)), offset_(offset) {}
  const std::string& future_root() const noexcept { return future_root_; }
  const std::string& yellow_key() const noexcept { return yellow_key_; }
  DayOffset offset() const noexcept { return offset_; }
  friend bool operator==(const FuturesRollConfig&, const FuturesRollConfig&) = default;

 private:
  std::string future_root_, yellow_key_;
  DayOffset offset_;
};

// `FuturesRollFactory(mapping)`: custom roll name -> roll rule, in the order
// given.
class FuturesRollFactory {
 public:
  using Mapping = std::vector<std::pair<std::string, FuturesRollConfig>>;
  explicit FuturesRollFactory(Mapping mapping) : mapping_(std::move(mapping)) {}
  const Mapping& mapping() const noexcept { return mapping_; }
  // The rule of a roll name, or nullptr (the last entry of a repeated name).
  const FuturesRollConfig* find(const std::string& name) const noexcept;
  friend bool operator==(const FuturesRollFactory&, const FuturesRollFactory&) = default;

 private:
  Mapping mapping_;
};

// The mapping passed to `set_config`: only the keys that are set were given.
//   security_id_mapping   Frame with columns `custom`, `parsekey`, `figi`
//                         (the FIGI may carry a pricing-source suffix, "F.BGN")
//   futures_roll_factory  the roll rules
//   enabled_packages      data packages served ("equity", "macro", "fixed-income")
struct Config {
  std::optional<Frame> security_id_mapping;
  std::optional<FuturesRollFactory> futures_roll_factory;
  std::optional<std::vector<std::string>> enabled_packages;
};

// The keywords of `get_bars`.
struct BarsQuery {
  std::vector<std::string> securities;
  std::string security_id_type = "custom";
  std::string start, end;                      // "yyyy-mm-dd"
  std::optional<std::string> tz;               // IANA zone of the bar times
  std::optional<std::string> downsample_freq;  // "1min", "5min", "1h", ...
};

// The package handle. Its configuration is global to the package: each
// set_config replaces what it holds.
class Package {
 public:
  virtual ~Package() = default;
  virtual void set_config(const Config& config) = 0;
  // The bars Frame: `security` (the FIGI of the bar's instrument) first;
  // the rest of its shape is the package's.
  virtual Frame get_bars(const BarsQuery& query) = 0;
};

// ------------------------------------------------------------------ registry

// The registry of the package's provider: a function that loads the package
// for a module, or throws when it cannot be loaded.
ProviderRegistry<Package>& package_registry();
using PackageProvider = ProviderRegistry<Package>::Provider;

// Installs the provider (nullptr removes it). Packages that modules already
// loaded stay as they are.
void set_package_provider(PackageProvider provider);
bool has_package_provider();

// A module-wide package handle loaded on first use (the module's load) and
// kept for the process. No provider, a provider that throws or returns
// nothing: no package, and when warnings are on (SHOW_WARNINGS is "1") the
// warning "[bqia] 'bqia' is not installed." once; require() then raises
// NameError "name 'bqia' is not defined".
class ModulePackage : public ModuleSlot<Package> {
 public:
  ModulePackage() : ModuleSlot(package_registry(), "[bqia] 'bqia' is not installed.", "bqia") {}
};

// ---------------------------------------------------------------- stand-in

// A package that serves one-minute bars from a folder:
//
//   instruments.csv  FIGI, PACKAGE (equity / macro / fixed-income): every
//                    instrument with bars, futures contracts included
//   futures.csv      FUTURE_ROOT, YELLOW_KEY, CONTRACT (parsekey, "ESH4
//                    Index"), FIGI, LAST_TRADE_DATE (yyyy-mm-dd)
//   bars/FIGI.parquet  datetime (UTC timestamp, bar start), open, high, low,
//                    close, volume; one file per instrument, in time order
//
// get_bars resolves each requested name, per `security_id_type`:
//   "custom"    a `custom` name of security_id_mapping (its `figi`, a
//               pricing-source suffix after the full stop ignored), else a
//               roll name of futures_roll_factory;
//   "parsekey"  a `parsekey` of security_id_mapping;
//   "figi"      the FIGI itself.
// A roll name gives, for each UTC calendar day, the contract in force: the
// first contract of the root (by last trade date) whose roll day, its last
// trade date minus the offset, is later than that day.
// Bars with start <= date(datetime) <= end (dates taken in the bars' zone)
// are returned, security by security in request order, in time order:
//   security (bare FIGI), key (the requested name), datetime (in `tz`, else
//   UTC), open, high, low, close, volume.
// `downsample_freq` ("Nmin", "Nh"; N from 1, dividing a day) aggregates the
// bars of each interval, aligned on the wall clock of the bars' zone and
// labelled by its start: first open, max high, min low, last close, summed
// volume. Only the packages of `enabled_packages` (all three before any
// configuration) are served.
// PackageError for an unknown name, instrument, package, zone or frequency,
// a security of a package that is not enabled, a bad date text or a
// configuration without what a name needs. Bar files are decoded with the
// Parquet reader (FormatError for bad bytes).
class LocalPackage : public Package {
 public:
  explicit LocalPackage(std::string folder);
  ~LocalPackage() override;

  void set_config(const Config& config) override;
  Frame get_bars(const BarsQuery& query) override;

  // What the package holds now, and every call in order (for tests).
  Config config() const;
  std::vector<BarsQuery> queries() const;
  std::size_t set_config_count() const;

  struct Tables;

 private:
  std::unique_ptr<Tables> tables_;
  std::string folder_;
  mutable std::mutex mu_;
  Config config_;
  std::vector<BarsQuery> queries_;
  std::size_t set_config_count_ = 0;
};

// Bars of one instrument, each frequency-interval aggregated as above. The
// inputs are bar starts (ns since the epoch, UTC) in time order, with their
// wall-clock offsets from UTC in seconds; `freq_ns` divides a day.
struct BarColumns {
  std::vector<std::int64_t> time;
  std::vector<double> open, high, low, close, volume;
};
BarColumns downsample(const BarColumns& bars, const std::vector<std::int32_t>& utc_offsets_s,
                      std::int64_t freq_ns);
// "1min" -> 60e9, "5min", "1h", "2H", "30T", "15s"...; PackageError naming
// the text for anything else (or an interval that does not divide a day).
std::int64_t parse_frequency(const std::string& freq);

// The sample folder shipped with quorin_data (data/bqia_sample): the
// environment variable QUORIN_BQIA_SAMPLE when set, else the installed copy
// beside this library (<prefix>/share/quorin_data/bqia_sample), else the
// folder in the sources this library was built from.
std::string sample_folder();

// Writes a deterministic sample folder: one-minute bars from `minutes_before`
// before to `minutes_after` after every release of `calendar_csv` (the query
// service's reference calendar: RELEASE_DATE_TIME wall-clock in TIMEZONE
// "GMT+hh:mm"), for the fixed set of sample instruments (an index, an equity,
// two currencies and the contracts of one futures root). Prices are a seeded
// random walk with a jump at each release; the same inputs give the same
// files.
void write_sample(const std::string& calendar_csv, const std::string& out_folder, int minutes_before = 90,
                  int minutes_after = 90);

}  // namespace quorin_data::from_bqia::bqia
