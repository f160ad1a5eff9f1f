// The local stand-in of the intraday-bars package: instruments, futures
// contracts and one-minute bars from a folder; the configuration honoured as
// the real package would.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unordered_map>

#include <date/tz.h>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/from_bqia/bqia.hpp"

namespace quorin_data::from_bqia::bqia {

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kAllPackages{"equity", "macro", "fixed-income"};

// A table of the folder; a path that is not a regular file (a device, a
// fifo, a link loop) is refused before anything is read from it.
Frame read_csv_file(const fs::path& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec && st.type() != fs::file_type::not_found)
    throw PackageError("cannot read " + path.string() + ": " + ec.message());
  if (st.type() != fs::file_type::not_found && st.type() != fs::file_type::regular)
    throw PackageError("cannot read " + path.string() + ": not a regular file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PackageError("cannot read " + path.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  return formats::read_csv(ss.str(), path.string());
}

std::string text_cell(const Frame& f, const char* col, std::size_t i, const fs::path& source) {
  if (!f.has_column(col)) throw PackageError(source.string() + " has no column " + col);
  const Column& c = f.column(col);
  if (c.is_missing(i)) throw PackageError(source.string() + ": missing " + col + " on row " + std::to_string(i + 1));
  return c.cell_text(i);
}

std::int32_t parse_day(const std::string& text, const char* what) {
  auto ns = try_parse_datetime_ns(text);
  if (!ns) throw PackageError(std::string("invalid ") + what + " '" + text + "': expected yyyy-mm-dd");
  return date_of_ns(*ns).days;
}

struct Contract {
  std::string parsekey, figi;
  std::int32_t last_trade_day;
};

// UTC offsets (seconds) of a zone at instants in time order, looking the
// zone's rules up only when an instant leaves the current rule's span.
class OffsetCursor {
 public:
  explicit OffsetCursor(const date::time_zone* zone) : zone_(zone) {}
  std::int32_t at(std::int64_t ns) {
    if (!zone_) return 0;
    const std::int64_t s = ns >= 0 ? ns / kNanosPerSecond : -((-ns + kNanosPerSecond - 1) / kNanosPerSecond);
    if (!valid_ || s < begin_ || s >= end_) {
      date::sys_info info = zone_->get_info(date::sys_seconds{std::chrono::seconds{s}});
      begin_ = info.begin.time_since_epoch().count();
      end_ = info.end.time_since_epoch().count();
      offset_ = static_cast<std::int32_t>(info.offset.count());
      valid_ = true;
    }
    return offset_;
  }

 private:
  const date::time_zone* zone_;
  bool valid_ = false;
  std::int64_t begin_ = 0, end_ = 0;
  std::int32_t offset_ = 0;
};

// What one requested name resolves to.
struct Target {
  std::string key;
  std::string figi;                          // a plain security
  const FuturesRollConfig* roll = nullptr;   // or a futures roll
};

std::string bare_figi(const std::string& figi) {
  auto dot = figi.find('.');
  return dot == std::string::npos ? figi : figi.substr(0, dot);
}

// The mapping column's value on the last row whose `col` equals `name`.
std::optional<std::string> mapping_lookup(const Frame& m, const char* col, const std::string& name) {
  if (!m.has_column(col) || !m.has_column("figi"))
    throw PackageError(std::string("security_id_mapping needs the columns '") + col + "' and 'figi'");
  const Column& k = m.column(col);
  const Column& f = m.column("figi");
  std::optional<std::string> out;
  for (std::size_t i = 0; i < m.num_rows(); ++i)
    if (!k.is_missing(i) && k.cell_text(i) == name) {
      if (f.is_missing(i)) throw PackageError("security_id_mapping has no FIGI for '" + name + "'");
      out = f.cell_text(i);
    }
  return out;
}

}  // namespace

struct LocalPackage::Tables {
  std::unordered_map<std::string, std::string> package_of;  // FIGI -> package
  std::map<std::pair<std::string, std::string>, std::vector<Contract>> futures;  // (root, yellow) -> by last trade
  std::mutex cache_mu;
  std::unordered_map<std::string, std::shared_ptr<const BarColumns>> bars;  // FIGI -> all its bars
};

LocalPackage::LocalPackage(std::string folder) : tables_(std::make_unique<Tables>()), folder_(std::move(folder)) {
  std::error_code ec;
  if (!fs::is_directory(folder_, ec)) throw PackageError("bars folder not found: " + folder_);
  const fs::path inst = fs::path(folder_) / "instruments.csv";
  Frame f = read_csv_file(inst);
  for (std::size_t i = 0; i < f.num_rows(); ++i) {
    std::string pkg = text_cell(f, "PACKAGE", i, inst);
    if (std::find(kAllPackages.begin(), kAllPackages.end(), pkg) == kAllPackages.end())
      throw PackageError(inst.string() + ": unknown package '" + pkg + "'");
    tables_->package_of[text_cell(f, "FIGI", i, inst)] = pkg;
  }
  const fs::path fut = fs::path(folder_) / "futures.csv";
  if (fs::is_regular_file(fut, ec)) {
    Frame c = read_csv_file(fut);
    for (std::size_t i = 0; i < c.num_rows(); ++i) {
      Contract k{text_cell(c, "CONTRACT", i, fut), text_cell(c, "FIGI", i, fut),
                 parse_day(text_cell(c, "LAST_TRADE_DATE", i, fut), "LAST_TRADE_DATE")};
      if (!tables_->package_of.count(k.figi))
        throw PackageError(fut.string() + ": contract " + k.parsekey + " is not in instruments.csv");
      tables_->futures[{text_cell(c, "FUTURE_ROOT", i, fut), text_cell(c, "YELLOW_KEY", i, fut)}].push_back(k);
    }
    for (auto& [root, list] : tables_->futures)
      std::stable_sort(list.begin(), list.end(),
                       [](const Contract& a, const Contract& b) { return a.last_trade_day < b.last_trade_day; });
  }
}

LocalPackage::~LocalPackage() = default;

void LocalPackage::set_config(const Config& config) {
  if (config.enabled_packages)
    for (const std::string& p : *config.enabled_packages)
      if (std::find(kAllPackages.begin(), kAllPackages.end(), p) == kAllPackages.end())
        throw PackageError("unknown package '" + p + "' in enabled_packages (known: equity, macro, fixed-income)");
  std::lock_guard<std::mutex> lock(mu_);
  config_ = config;
  ++set_config_count_;
}

Config LocalPackage::config() const {
  std::lock_guard<std::mutex> lock(mu_);
  return config_;
}

std::vector<BarsQuery> LocalPackage::queries() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queries_;
}

std::size_t LocalPackage::set_config_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return set_config_count_;
}

namespace {

std::shared_ptr<const BarColumns> load_bars(LocalPackage::Tables& t, const std::string& folder, const std::string& figi) {
  {
    std::lock_guard<std::mutex> lock(t.cache_mu);
    if (auto it = t.bars.find(figi); it != t.bars.end()) return it->second;
  }
  const fs::path path = fs::path(folder) / "bars" / (figi + ".parquet");
  auto out = std::make_shared<BarColumns>();
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) {
    Frame f = formats::ParquetFile::open_path(path.string()).read();
    const Column& dt = f.column("datetime");
    if (dt.type() != DType::Timestamp) throw PackageError(path.string() + ": column datetime is not a timestamp");
    const Column *o = &f.column("open"), *h = &f.column("high"), *l = &f.column("low"), *c = &f.column("close"),
                 *v = &f.column("volume");
    const std::size_t n = f.num_rows();
    for (std::size_t i = 0; i < n; ++i) {
      if (dt.is_missing(i)) throw PackageError(path.string() + ": missing datetime on row " + std::to_string(i));
      // Bars between 1900 and 2200, strictly in time order (wall-clock
      // arithmetic on them then stays far from the integer limits).
      constexpr std::int64_t kLow = -2208988800LL * kNanosPerSecond, kHigh = 7258118400LL * kNanosPerSecond;
      if (dt.integer(i) < kLow || dt.integer(i) >= kHigh)
        throw PackageError(path.string() + ": bar time outside 1900-2199 on row " + std::to_string(i));
      if (i && dt.integer(i) <= dt.integer(i - 1)) throw PackageError(path.string() + ": bars not in time order at row " + std::to_string(i));
      out->time.push_back(dt.integer(i));
      out->open.push_back(o->as_double(i));
      out->high.push_back(h->as_double(i));
      out->low.push_back(l->as_double(i));
      out->close.push_back(c->as_double(i));
      out->volume.push_back(v->as_double(i));
    }
  }
  std::lock_guard<std::mutex> lock(t.cache_mu);
  return t.bars.emplace(figi, std::move(out)).first->second;
}

// Output columns being built.
struct Out {
  std::vector<std::string> security, key;
  BarColumns bars;

  void append(const std::string& figi, const std::string& k, const BarColumns& b, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      security.push_back(figi);
      key.push_back(k);
      bars.time.push_back(b.time[i]);
      bars.open.push_back(b.open[i]);
      bars.high.push_back(b.high[i]);
      bars.low.push_back(b.low[i]);
      bars.close.push_back(b.close[i]);
      bars.volume.push_back(b.volume[i]);
    }
  }
};

}  // namespace

Frame LocalPackage::get_bars(const BarsQuery& q) {
  Config cfg;
  {
    std::lock_guard<std::mutex> lock(mu_);
    queries_.push_back(q);
    cfg = config_;
  }
  const std::int32_t first_day = parse_day(q.start, "start");
  const std::int32_t last_day = parse_day(q.end, "end");
  const std::string zone_name = q.tz ? *q.tz : "UTC";
  const date::time_zone* zone = nullptr;
  try {
    zone = date::locate_zone(zone_name);
  } catch (const std::exception&) {
    throw PackageError("unknown time zone '" + zone_name + "'");
  }
  const std::optional<std::int64_t> freq_ns =
      q.downsample_freq ? std::optional<std::int64_t>(parse_frequency(*q.downsample_freq)) : std::nullopt;
  const std::vector<std::string> enabled = cfg.enabled_packages ? *cfg.enabled_packages : kAllPackages;

  // Resolve every name before reading any bars.
  std::vector<Target> targets;
  for (const std::string& name : q.securities) {
    Target t{name, {}, nullptr};
    if (q.security_id_type == "custom") {
      std::optional<std::string> figi;
      if (cfg.security_id_mapping) figi = mapping_lookup(*cfg.security_id_mapping, "custom", name);
      if (figi) t.figi = bare_figi(*figi);
      else if (cfg.futures_roll_factory && (t.roll = cfg.futures_roll_factory->find(name))) {
      } else {
        throw PackageError("unknown security '" + name +
                           "': not a custom name of security_id_mapping nor of futures_roll_factory");
      }
    } else if (q.security_id_type == "parsekey") {
      std::optional<std::string> figi;
      if (cfg.security_id_mapping) figi = mapping_lookup(*cfg.security_id_mapping, "parsekey", name);
      if (!figi) throw PackageError("unknown security '" + name + "': not a parsekey of security_id_mapping");
      t.figi = bare_figi(*figi);
    } else if (q.security_id_type == "figi") {
      t.figi = bare_figi(name);
    } else {
      throw PackageError("unsupported security_id_type '" + q.security_id_type + "' (custom, parsekey, figi)");
    }
    const auto check_package = [&](const std::string& figi) {
      auto it = tables_->package_of.find(figi);
      if (it == tables_->package_of.end()) throw PackageError("no intraday bars for FIGI '" + figi + "' ('" + name + "')");
      if (std::find(enabled.begin(), enabled.end(), it->second) == enabled.end())
        throw PackageError("security '" + name + "' belongs to package '" + it->second + "', which is not enabled");
    };
    if (t.roll) {
      auto it = tables_->futures.find({t.roll->future_root(), t.roll->yellow_key()});
      if (it == tables_->futures.end())
        throw PackageError("unknown future root '" + t.roll->future_root() + " " + t.roll->yellow_key() + "' of '" +
                           name + "'");
      if (t.roll->offset().days < -36500 || t.roll->offset().days > 36500)
        throw PackageError("roll offset of '" + name + "' is out of range: " + std::to_string(t.roll->offset().days) +
                           " days");
      for (const Contract& c : it->second) check_package(c.figi);
    } else {
      check_package(t.figi);
    }
    targets.push_back(std::move(t));
  }

  Out out;
  OffsetCursor cursor(zone);
  std::vector<std::int32_t> offsets;
  // Appends the bars of `figi` whose zone date is in [first_day, last_day]
  // and whose UTC date is in [from_utc_day, to_utc_day).
  const auto add = [&](const std::string& figi, const std::string& key, std::int64_t from_utc_day,
                       std::int64_t to_utc_day) {
    auto bars = load_bars(*tables_, folder_, figi);
    const auto& tm = bars->time;
    // Zone offsets stay within a day of UTC: narrow by UTC date, then test.
    const std::int64_t lo = std::max<std::int64_t>(from_utc_day, first_day - 1);
    const std::int64_t hi = std::min<std::int64_t>(to_utc_day, std::int64_t{last_day} + 2);
    if (lo >= hi) return;
    auto b = std::lower_bound(tm.begin(), tm.end(), lo * kNanosPerDay) - tm.begin();
    auto e = std::lower_bound(tm.begin(), tm.end(), hi * kNanosPerDay) - tm.begin();
    BarColumns sel;
    std::vector<std::int32_t> sel_off;
    for (auto i = b; i < e; ++i) {
      const std::int32_t off = cursor.at(tm[i]);
      const std::int64_t local_day = date_of_ns(tm[i] + std::int64_t{off} * kNanosPerSecond).days;
      if (local_day < first_day || local_day > last_day) continue;
      sel.time.push_back(tm[i]);
      sel.open.push_back(bars->open[i]);
      sel.high.push_back(bars->high[i]);
      sel.low.push_back(bars->low[i]);
      sel.close.push_back(bars->close[i]);
      sel.volume.push_back(bars->volume[i]);
      sel_off.push_back(off);
    }
    if (freq_ns) sel = downsample(sel, sel_off, *freq_ns);
    out.append(figi, key, sel, 0, sel.time.size());
  };
  constexpr std::int64_t kNoLimit = std::int64_t{1} << 40;
  for (const Target& t : targets) {
    if (!t.roll) {
      add(t.figi, t.key, -kNoLimit, kNoLimit);
      continue;
    }
    // Contract c is in force on the UTC days from the previous contract's
    // roll day up to the day before its own.
    std::int64_t from = -kNoLimit;
    for (const Contract& c : tables_->futures.at({t.roll->future_root(), t.roll->yellow_key()})) {
      const std::int64_t roll_day = std::int64_t{c.last_trade_day} - t.roll->offset().days;
      if (roll_day > from) add(c.figi, t.key, from, roll_day);
      from = std::max(from, roll_day);
    }
  }

  Frame f;
  f.add_column("security", Column::texts(std::move(out.security)));
  f.add_column("key", Column::texts(std::move(out.key)));
  f.add_column("datetime", Column::timestamps(std::move(out.bars.time), zone_name));
  f.add_column("open", Column::floats(std::move(out.bars.open)));
  f.add_column("high", Column::floats(std::move(out.bars.high)));
  f.add_column("low", Column::floats(std::move(out.bars.low)));
  f.add_column("close", Column::floats(std::move(out.bars.close)));
  f.add_column("volume", Column::floats(std::move(out.bars.volume)));
  return f;
}

}  // namespace quorin_data::from_bqia::bqia
