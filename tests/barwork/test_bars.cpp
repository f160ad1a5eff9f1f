// get_intraday_bars over the two stand-ins: defaults, call order,
// descriptions, futures rolls and the failure for an undescribed security.
#include <gtest/gtest.h>

#include <cmath>

#include "quorin_data/core/dates.hpp"

#include "quorin_data/from_bqia/barwork.hpp"
#include "quorin_data/from_bqia/querywork.hpp"
#include "support/column_values.hpp"

namespace barwork = quorin_data::from_bqia::barwork;
namespace bqia = quorin_data::from_bqia::bqia;
namespace bql = quorin_data::from_bqia::bql;
using quorin_data::Column;
using quorin_data::Frame;

namespace {

// The sample service, except that it does not know one FIGI.
class ForgetfulService : public bql::LocalService {
 public:
  using bql::LocalService::LocalService;
  bql::Results execute(const bql::Request& r) override {
    bql::Results res = bql::LocalService::execute(r);
    std::vector<bql::Result> out;
    for (const bql::Result& x : res) {
      const Frame& f = x.frame();
      std::vector<std::size_t> keep;
      for (std::size_t i = 0; i < f.num_rows(); ++i)
        if (f.index().label_text(i) != "BBG0ESH24FUT") keep.push_back(i);
      out.emplace_back(x.name(), f.take(keep));
    }
    return bql::Results(std::move(out));
  }
  using bql::LocalService::execute;
};

struct StandIns {
  std::shared_ptr<bql::LocalService> bq;
  std::shared_ptr<bqia::LocalPackage> pkg;
  explicit StandIns(std::shared_ptr<bql::LocalService> service = nullptr) {
    bq = service ? service : std::make_shared<bql::LocalService>(bql::sample_folder());
    pkg = std::make_shared<bqia::LocalPackage>(bqia::sample_folder());
    bql::set_service_provider([s = bq] { return s; });
    bqia::set_package_provider([p = pkg] { return p; });
    barwork::detail::reset();
    quorin_data::from_bqia::querywork::bq_handle().reset();
  }
  ~StandIns() {
    bql::set_service_provider(nullptr);
    bqia::set_package_provider(nullptr);
    barwork::detail::reset();
    quorin_data::from_bqia::querywork::bq_handle().reset();
  }
};

}  // namespace

TEST(IntradayBars, DefaultsCallOrderAndDescriptions) {
  StandIns s;
  Frame bars = barwork::get_intraday_bars({.start = "2024-06-07", .end = "2024-06-07"});
  EXPECT_EQ(bars.names(), (std::vector<std::string>{"security", "key", "datetime", "open", "high", "low", "close",
                                                     "volume", "short_name", "parsekey"}));
  ASSERT_GT(bars.num_rows(), 0u);
  EXPECT_EQ(texts(bars.column("key")).front(), "spx");
  EXPECT_EQ(texts(bars.column("short_name")).front(), "S&P 500 INDEX");
  EXPECT_EQ(texts(bars.column("parsekey")).front(), "SPX Index");
  const auto calls = s.bq->calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0], "get(figi=data.id_bb_global().droppe()) for(['spx index'])");
  EXPECT_EQ(calls[1], "get(short_name=data.name()) for(['BBG000H4FSM0'])");
  EXPECT_EQ(calls[2], "get(parsekey=data.parsekyable_des()) for(['BBG000H4FSM0'])");
  const bqia::BarsQuery q = s.pkg->queries().back();
  EXPECT_EQ(q.securities, std::vector<std::string>{"spx"});
  EXPECT_EQ(q.security_id_type, "custom");
  EXPECT_FALSE(q.tz);
  EXPECT_FALSE(q.downsample_freq);
  EXPECT_EQ(s.pkg->config().enabled_packages, (std::vector<std::string>{"equity", "macro", "fixed-income"}));

  // Without descriptions: no service call after the id mapping.
  s.bq->clear_log();
  Frame plain = barwork::get_intraday_bars({.start = "2024-06-07", .end = "2024-06-07", .add_description = false});
  EXPECT_EQ(s.bq->call_count(), 1u);
  EXPECT_EQ(plain.num_columns(), 8u);

  // No securities at all: only enabled_packages installed, an empty request.
  barwork::get_intraday_bars({.dict_sec_pcs = std::nullopt, .add_description = false});
  EXPECT_TRUE(s.pkg->queries().back().securities.empty());
  EXPECT_FALSE(s.pkg->config().security_id_mapping);
  EXPECT_FALSE(s.pkg->config().futures_roll_factory);
}

TEST(IntradayBars, FuturesRollAndCurrencyInZoneDescribedPerContract) {
  StandIns s;
  Frame bars = barwork::get_intraday_bars({.dict_sec_pcs = barwork::DictSecPcs{{"eur", {"EURUSD Curncy", "BGN"}}},
                                           .dict_fut = barwork::DictFut{{"es1", {"ES", "Index", 5}}},
                                           .start = "2023-12-08",
                                           .end = "2023-12-13",
                                           .downsample_freq = "5min",
                                           .tz = "America/New_York"});
  EXPECT_EQ(s.pkg->queries().back().securities, (std::vector<std::string>{"eur", "es1"}));
  std::vector<std::string> pks;
  for (std::size_t i = 0; i < bars.num_rows(); ++i)
    if (pks.empty() || pks.back() != bars.column("parsekey").text(i)) pks.emplace_back(bars.column("parsekey").text(i));
  EXPECT_EQ(pks, (std::vector<std::string>{"EURUSD Curncy", "ESZ3 Index", "ESH4 Index"}));
  EXPECT_EQ(bars.column("datetime").tz(), "America/New_York");
  EXPECT_EQ(bars.column("datetime").integer(0) % (300 * quorin_data::kNanosPerSecond), 0);
}

TEST(IntradayBars, SecurityMissingFromTheMappingIsAKeyErrorNamingIt) {
  StandIns s(std::make_shared<ForgetfulService>(bql::sample_folder()));
  try {
    barwork::get_intraday_bars({.dict_sec_pcs = std::nullopt,
                                .dict_fut = barwork::DictFut{{"es1", {"ES", "Index", 5}}},
                                .start = "2023-12-08",
                                .end = "2023-12-13"});
    FAIL() << "no error";
  } catch (const quorin_data::KeyError& e) {
    EXPECT_STREQ(e.what(), "'BBG0ESH24FUT'");
  }
}

TEST(IntradayBars, EventStudyRoadAcrossDaylightSaving) {
  StandIns s;
  Frame calendar = quorin_data::from_bqia::querywork::get_eco_calendar_data(
      s.bq, bql::Universe("US"), "2024-01-01", "2024-12-31", std::nullopt, "all", "medium", "extended",
      std::string("America/New_York"));
  Frame bars = barwork::get_intraday_bars(
      {.start = "2024-01-01", .end = "2024-12-31", .tz = "America/New_York", .add_description = false});
  Frame w = barwork::filter_bars_around_events(bars, calendar);
  ASSERT_EQ(w.num_rows(), calendar.num_rows() * 16);
  // NFP at 08:30:45 EST and at 08:30 EDT: windows around 13:30 and 12:30 UTC,
  // every offset with its bar and the release's calendar row.
  const Column& ev = w.column("EVENT_NAME");
  const Column& at = w.column("event_datetime");
  std::vector<std::int64_t> nfp;
  for (std::size_t i = 0; i < w.num_rows(); ++i)
    if (ev.text(i) == "Change in Nonfarm Payrolls" && w.column("time_diff").as_double(i) == 0) {
      nfp.push_back(at.integer(i));
      EXPECT_EQ(w.column("datetime").integer(i), at.integer(i));
      EXPECT_FALSE(std::isnan(w.column("ACTUAL").f64()[i]));
    }
  EXPECT_EQ(nfp, (std::vector<std::int64_t>{quorin_data::parse_datetime_ns("2024-01-05 13:30:00"),
                                            quorin_data::parse_datetime_ns("2024-06-07 12:30:00")}));
}
