// The intraday-bars package interface: its registry and the local stand-in
// over the shipped sample folder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_bqia/bqia.hpp"
#include "support/column_values.hpp"

namespace bqia = quorin_data::from_bqia::bqia;
using quorin_data::Column;
using quorin_data::Frame;
using quorin_data::kNanosPerSecond;

namespace {

constexpr const char* kSpx = "BBG000H4FSM0";
constexpr const char* kEur = "BBG0013HGFT4";

std::int64_t utc(const char* text) { return quorin_data::parse_datetime_ns(text); }

Frame mapping(std::vector<std::string> custom, std::vector<std::string> figi) {
  Frame m;
  m.add_column("custom", Column::texts(custom));
  m.add_column("parsekey", Column::texts(custom));
  m.add_column("figi", Column::texts(std::move(figi)));
  return m;
}

std::vector<std::string> distinct(const Column& c) {
  std::vector<std::string> out;
  for (const auto& s : texts(c))
    if (out.empty() || out.back() != s) out.push_back(s);
  return out;
}

}  // namespace

TEST(BqiaRegistry, NoProviderMeansNoPackageAndTheDocumentedTexts) {
  std::vector<std::string> warnings;
  auto old = quorin_data::set_warning_handler([&](const std::string& w) { warnings.push_back(w); });
  quorin_data::reset_warning_registry();
  setenv("SHOW_WARNINGS", "1", 1);
  bqia::set_package_provider(nullptr);
  bqia::ModulePackage none;
  EXPECT_EQ(none.get(), nullptr);
  try {
    none.require();
    FAIL();
  } catch (const quorin_data::NameError& e) {
    EXPECT_STREQ(e.what(), "name 'bqia' is not defined");
  }
  EXPECT_EQ(warnings, std::vector<std::string>{"[bqia] 'bqia' is not installed."});

  // A provider that fails to load counts as none; a working one is kept.
  bqia::set_package_provider([]() -> std::shared_ptr<bqia::Package> { throw std::runtime_error("no"); });
  bqia::ModulePackage failing;
  EXPECT_EQ(failing.get(), nullptr);
  auto pkg = std::make_shared<bqia::LocalPackage>(bqia::sample_folder());
  bqia::set_package_provider([pkg] { return pkg; });
  bqia::ModulePackage ok;
  EXPECT_EQ(ok.get(), pkg);
  EXPECT_EQ(&ok.require(), pkg.get());
  bqia::set_package_provider(nullptr);
  setenv("SHOW_WARNINGS", "0", 1);
  quorin_data::set_warning_handler(old);
}

TEST(BqiaLocal, CustomNamesThroughTheMappingWithPricingSource) {
  bqia::LocalPackage pkg(bqia::sample_folder());
  pkg.set_config({mapping({"spx", "eur"}, {kSpx, std::string(kEur) + ".BGN"}), std::nullopt, std::nullopt});
  Frame bars = pkg.get_bars({{"eur", "spx"}, "custom", "2024-01-05", "2024-01-05", std::nullopt, std::nullopt});
  EXPECT_EQ(bars.names(), (std::vector<std::string>{"security", "key", "datetime", "open", "high", "low", "close",
                                                     "volume"}));
  EXPECT_EQ(distinct(bars.column("security")), (std::vector<std::string>{kEur, kSpx}));
  EXPECT_EQ(distinct(bars.column("key")), (std::vector<std::string>{"eur", "spx"}));
  const Column& dt = bars.column("datetime");
  EXPECT_EQ(dt.tz(), "UTC");
  ASSERT_GT(bars.num_rows(), 0u);
  // NFP released 08:30:45 GMT-05:00: the bar of 13:30 UTC is there, and every
  // bar is on the requested date, in time order within a security.
  bool has_release = false;
  for (std::size_t i = 0; i < bars.num_rows(); ++i) {
    EXPECT_EQ(quorin_data::format_iso_date(quorin_data::date_of_ns(dt.integer(i))), "2024-01-05");
    has_release = has_release || (dt.integer(i) == utc("2024-01-05 13:30:00") && bars.column("key").text(i) == "spx");
    if (i && bars.column("key").text(i) == bars.column("key").text(i - 1)) {
      EXPECT_GT(dt.integer(i), dt.integer(i - 1));
    }
    EXPECT_LE(bars.column("low").f64()[i], bars.column("open").f64()[i]);
    EXPECT_GE(bars.column("high").f64()[i], bars.column("close").f64()[i]);
  }
  EXPECT_TRUE(has_release);

  // No securities: an empty bars Frame of the same shape.
  Frame none = pkg.get_bars({{}, "custom", "2024-01-05", "2024-01-05", std::nullopt, std::nullopt});
  EXPECT_EQ(none.num_rows(), 0u);
  EXPECT_EQ(none.names(), bars.names());
}

TEST(BqiaLocal, FuturesRollSwitchesContractInsideTheRange) {
  bqia::LocalPackage pkg(bqia::sample_folder());
  // ESZ3 last trades 2023-12-15: five days before, on 2023-12-10, ESH4 takes over.
  bqia::FuturesRollFactory five({{"es1", bqia::FuturesRollConfig("ES", "Index", bqia::DayOffset{5})}});
  pkg.set_config({std::nullopt, five, std::nullopt});
  Frame bars = pkg.get_bars({{"es1"}, "custom", "2023-12-08", "2023-12-13", std::nullopt, std::nullopt});
  const Column& sec = bars.column("security");
  const Column& dt = bars.column("datetime");
  ASSERT_GT(bars.num_rows(), 0u);
  for (std::size_t i = 0; i < bars.num_rows(); ++i) {
    const bool before_roll = dt.integer(i) < utc("2023-12-10");
    EXPECT_EQ(sec.text(i), before_roll ? "BBG0ESZ23FUT" : "BBG0ESH24FUT") << i;
    EXPECT_EQ(bars.column("key").text(i), "es1");
  }
  EXPECT_EQ(distinct(sec), (std::vector<std::string>{"BBG0ESZ23FUT", "BBG0ESH24FUT"}));
  // With no offset the December contract runs to its last trade date.
  pkg.set_config({std::nullopt, bqia::FuturesRollFactory({{"es1", bqia::FuturesRollConfig("ES", "Index", {0})}}),
                  std::nullopt});
  Frame late = pkg.get_bars({{"es1"}, "custom", "2023-12-08", "2023-12-13", std::nullopt, std::nullopt});
  EXPECT_EQ(distinct(late.column("security")), std::vector<std::string>{"BBG0ESZ23FUT"});
}

TEST(BqiaLocal, ZoneAndDownsampling) {
  bqia::LocalPackage pkg(bqia::sample_folder());
  pkg.set_config({mapping({"spx"}, {kSpx}), std::nullopt, std::nullopt});
  // NFP at 08:30 New York time in winter (GMT-05:00) and summer (GMT-04:00):
  // the same wall-clock bar, an hour apart in UTC.
  for (auto [day, release] : {std::pair{"2024-01-05", "2024-01-05 13:30:00"}, {"2024-06-07", "2024-06-07 12:30:00"}}) {
    Frame bars = pkg.get_bars({{"spx"}, "custom", day, day, "America/New_York", std::nullopt});
    EXPECT_EQ(bars.column("datetime").tz(), "America/New_York");
    const auto& t = ints(bars.column("datetime"));
    EXPECT_NE(std::find(t.begin(), t.end(), utc(release)), t.end()) << day;
  }

  // One-hour bars in a half-hour zone are aligned on the local hour; each
  // aggregates its minutes (first open, max high, min low, last close, sum).
  Frame minutes = pkg.get_bars({{"spx"}, "custom", "2024-01-12", "2024-01-12", "Asia/Kolkata", std::nullopt});
  Frame hours = pkg.get_bars({{"spx"}, "custom", "2024-01-12", "2024-01-12", "Asia/Kolkata", std::string("1h")});
  ASSERT_GT(hours.num_rows(), 1u);
  const std::int64_t hour = 3600 * kNanosPerSecond, off = (5 * 3600 + 1800) * kNanosPerSecond;
  double volume = 0;
  for (std::size_t i = 0; i < hours.num_rows(); ++i) EXPECT_EQ((hours.column("datetime").integer(i) + off) % hour, 0);
  for (double v : floats(minutes.column("volume"))) volume += v;
  double hv = 0;
  for (double v : floats(hours.column("volume"))) hv += v;
  EXPECT_EQ(hv, volume);
  EXPECT_EQ(floats(hours.column("open")).front(), floats(minutes.column("open")).front());
  EXPECT_EQ(floats(hours.column("close")).back(), floats(minutes.column("close")).back());

  bqia::BarColumns b{{0, 60, 120, 180}, {1, 2, 3, 4}, {5, 9, 6, 7}, {0.5, 1, 0.2, 3}, {2, 3, 4, 5}, {10, 20, 30, 40}};
  for (auto& t : b.time) t *= kNanosPerSecond;
  bqia::BarColumns d = bqia::downsample(b, {0, 0, 0, 0}, bqia::parse_frequency("2min"));
  EXPECT_EQ(d.time, (std::vector<std::int64_t>{0, 120 * kNanosPerSecond}));
  EXPECT_EQ(d.open, (std::vector<double>{1, 3}));
  EXPECT_EQ(d.high, (std::vector<double>{9, 7}));
  EXPECT_EQ(d.low, (std::vector<double>{0.5, 0.2}));
  EXPECT_EQ(d.close, (std::vector<double>{3, 5}));
  EXPECT_EQ(d.volume, (std::vector<double>{30, 70}));
  EXPECT_EQ(bqia::parse_frequency("5min"), 300 * kNanosPerSecond);
  for (const char* bad : {"0min", "7min", "1d", "min5", "", "25h"}) EXPECT_THROW(bqia::parse_frequency(bad), bqia::PackageError) << bad;
}

TEST(BqiaLocal, ConfigurationIsHonouredAndBadInputNamed) {
  bqia::LocalPackage pkg(bqia::sample_folder());
  pkg.set_config({mapping({"spx", "eur"}, {kSpx, kEur}), std::nullopt, std::vector<std::string>{"equity"}});
  EXPECT_NO_THROW(pkg.get_bars({{"spx"}, "custom", "2024-01-05", "2024-01-05", std::nullopt, std::nullopt}));
  const auto message = [&](bqia::BarsQuery q) -> std::string {
    try {
      pkg.get_bars(q);
    } catch (const bqia::PackageError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_NE(message({{"eur"}, "custom", "2024-01-05", "2024-01-05", {}, {}}).find("package 'macro'"), std::string::npos);
  EXPECT_NE(message({{"xyz"}, "custom", "2024-01-05", "2024-01-05", {}, {}}).find("'xyz'"), std::string::npos);
  EXPECT_NE(message({{"spx"}, "custom", "2024-13-05", "2024-01-05", {}, {}}).find("2024-13-05"), std::string::npos);
  EXPECT_NE(message({{"spx"}, "custom", "2024-01-05", "2024-01-05", "Mars/Base", {}}).find("Mars/Base"),
            std::string::npos);
  EXPECT_NE(message({{"spx"}, "isin", "2024-01-05", "2024-01-05", {}, {}}).find("isin"), std::string::npos);
  EXPECT_EQ(message({{kSpx}, "figi", "2024-01-05", "2024-01-05", {}, {}}), "no error");
  EXPECT_THROW(pkg.set_config({std::nullopt, std::nullopt, std::vector<std::string>{"crypto"}}), bqia::PackageError);
  EXPECT_EQ(pkg.set_config_count(), 1u);
}

// A table of the folder that is a device (here /dev/null; /dev/zero would
// never end) is refused before it is read.
TEST(BqiaLocal, AnInstrumentsTableThatIsNoRegularFileIsRefused) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("quorin-bqia-dev-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::create_symlink("/dev/null", dir / "instruments.csv");
  std::string m = "no error";
  try {
    bqia::LocalPackage pkg(dir.string());
  } catch (const bqia::PackageError& e) {
    m = e.what();
  }
  EXPECT_NE(m.find("instruments.csv: not a regular file"), std::string::npos) << m;
  fs::remove_all(dir);
}
