// barwork's load and the configuration of the intraday package.
#include <gtest/gtest.h>

#include <cstdlib>

#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_bqia/barwork.hpp"
#include "support/error_of.hpp"
#include "support/column_values.hpp"

namespace barwork = quorin_data::from_bqia::barwork;
namespace bqia = quorin_data::from_bqia::bqia;
namespace bql = quorin_data::from_bqia::bql;
using quorin_data::Dict;
using quorin_data::Frame;
using quorin_data::List;
using quorin_data::Value;

namespace {

struct Providers {
  std::shared_ptr<bql::LocalService> bq;
  std::shared_ptr<bqia::LocalPackage> pkg;
  Providers() {
    bq = std::make_shared<bql::LocalService>(bql::sample_folder(), false);
    pkg = std::make_shared<bqia::LocalPackage>(bqia::sample_folder());
    bql::set_service_provider([s = bq] { return s; });
    bqia::set_package_provider([p = pkg] { return p; });
    barwork::detail::reset();
  }
  ~Providers() {
    bql::set_service_provider(nullptr);
    bqia::set_package_provider(nullptr);
    barwork::detail::reset();
  }
};

}  // namespace

TEST(BarworkLoad, WarningsInLoadOrderAndUndefinedNames) {
  std::vector<std::string> warnings;
  auto old = quorin_data::set_warning_handler([&](const std::string& w) { warnings.push_back(w); });
  quorin_data::reset_warning_registry();
  setenv("SHOW_WARNINGS", "1", 1);
  bql::set_service_provider(nullptr);
  bqia::set_package_provider(nullptr);
  barwork::detail::reset();
  barwork::load();
  EXPECT_EQ(warnings, (std::vector<std::string>{"[bqia] 'bqia' is not installed.", "'bql' is not installed."}));
  EXPECT_EQ(error_of([] { barwork::get_id_mapping({{"spx", {"SPX Index", ""}}}); }), "name 'bq' is not defined");
  EXPECT_EQ(error_of([] { barwork::set_intraday_config(); }), "name 'bqia' is not defined");
  EXPECT_EQ(error_of([] { barwork::get_roll_config({}); }), "name 'bqia' is not defined");
  EXPECT_EQ(barwork::PACKAGES, (std::vector<std::string>{"macro", "equity", "fixed-income"}));

  // With warnings off the module stays silent.
  warnings.clear();
  quorin_data::reset_warning_registry();
  setenv("SHOW_WARNINGS", "0", 1);
  barwork::detail::reset();
  barwork::load();
  EXPECT_TRUE(warnings.empty());
  quorin_data::set_warning_handler(old);
}

TEST(BarworkConfig, IdMappingInnerJoinAndPcsSuffix) {
  Providers p;
  Frame m = barwork::get_id_mapping({{"spx", {"spx index", ""}},
                                     {"eur", {"EURUSD Curncy", "BGN"}},
                                     {"nofigi", {"NOFIGI US Equity", ""}},
                                     {"unknown", {"ZZZ Nowhere", "BGN"}}});
  EXPECT_EQ(m.names(), (std::vector<std::string>{"custom", "parsekey", "figi"}));
  EXPECT_EQ(texts(m.column("custom")), (std::vector<std::string>{"spx", "eur"}));
  EXPECT_EQ(texts(m.column("parsekey")), (std::vector<std::string>{"spx index", "EURUSD Curncy"}));
  EXPECT_EQ(texts(m.column("figi")), (std::vector<std::string>{"BBG000H4FSM0", "BBG0013HGFT4.BGN"}));
  EXPECT_EQ(p.bq->calls(), std::vector<std::string>{
                               "get(figi=data.id_bb_global().droppe()) for(['spx index', 'EURUSD Curncy', "
                               "'NOFIGI US Equity', 'ZZZ Nowhere'])"});

  // The dynamic form reads the first two elements of each value.
  Dict d{{Value("spx"), Value(List{Value("SPX Index"), Value(""), Value("extra")})}};
  EXPECT_EQ(texts(barwork::dynamic::get_id_mapping(Value(d)).column("figi")), std::vector<std::string>{"BBG000H4FSM0"});
  EXPECT_EQ(error_of([] { barwork::dynamic::get_id_mapping(Value(List{})); }),
            "Argument 'dict_sec_pcs' has incorrect type (expected dict, got list)");
}

TEST(BarworkConfig, RollConfigAndTheUnpackMessages) {
  Providers p;
  bqia::FuturesRollFactory f = barwork::get_roll_config({{"es1", {"ES", "Index", 5}}, {"nq1", {"NQ", "Index", 0}}});
  ASSERT_EQ(f.mapping().size(), 2u);
  EXPECT_EQ(f.mapping()[0].first, "es1");
  EXPECT_EQ(f.mapping()[0].second, bqia::FuturesRollConfig("ES", "Index", bqia::DayOffset{5}));
  EXPECT_EQ(f.find("nq1")->future_root(), "NQ");

  const auto roll = [](List value) {
    return error_of([&] { barwork::dynamic::get_roll_config(Value(Dict{{Value("es1"), Value(value)}})); });
  };
  EXPECT_EQ(roll({Value("ES"), Value("Index"), Value(5)}), "no error");
  EXPECT_EQ(roll({Value("ES"), Value("Index"), Value(5), Value(1)}), "too many values to unpack (expected 3)");
  EXPECT_EQ(roll({Value("ES"), Value("Index")}), "need more than 2 values to unpack");
  EXPECT_EQ(roll({Value("ES")}), "need more than 1 value to unpack");
  EXPECT_EQ(roll({}), "need more than 0 values to unpack");
  EXPECT_EQ(roll({Value("ES"), Value("Index"), Value(1.5)}),
            "Argument 'roll_offset' has incorrect type (expected int, got float)");
}

TEST(BarworkConfig, SetIntradayConfigInstallsOnlyWhatIsGiven) {
  Providers p;
  barwork::set_intraday_config();
  bqia::Config c = p.pkg->config();
  EXPECT_FALSE(c.security_id_mapping);
  EXPECT_FALSE(c.futures_roll_factory);
  EXPECT_EQ(c.enabled_packages, (std::vector<std::string>{"equity", "macro", "fixed-income"}));

  Frame m = barwork::get_id_mapping({{"spx", {"SPX Index", ""}}});
  auto f = barwork::get_roll_config({{"es1", {"ES", "Index", 5}}});
  barwork::set_intraday_config(m, f, barwork::PACKAGES);
  c = p.pkg->config();
  EXPECT_EQ(*c.security_id_mapping, m);
  EXPECT_EQ(*c.futures_roll_factory, f);
  EXPECT_EQ(c.enabled_packages, barwork::PACKAGES);
  EXPECT_EQ(p.pkg->set_config_count(), 2u);
}
