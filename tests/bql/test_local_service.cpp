// The query-service interface over the local stand-in and the provider
// registry of module-wide handles.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_bqia/bql.hpp"
#include "support/error_of.hpp"
#include "support/column_values.hpp"

using namespace quorin_data;
using namespace quorin_data::from_bqia::bql;
namespace fs = std::filesystem;

namespace {

std::string sample() { return std::string(QUORIN_SOURCE_DIR) + "/data/bql_sample"; }

std::shared_ptr<LocalService> service() { return std::make_shared<LocalService>(sample()); }

TEST(LocalServiceQueries, FigiQueryEchoesKeysAsGivenInRequestOrder) {
  auto bq = service();
  Results res = bq->execute("get(ID_BB_GLOBAL) for(['ibm us equity', 'EURUSD Curncy', 'BBG000BBJQV0'])");
  ASSERT_EQ(res.size(), 1u);
  Frame df = res[0].df();
  EXPECT_EQ(df.index().name, "ID");
  ASSERT_EQ(df.index().kind(), Index::Kind::Text);
  EXPECT_EQ(df.index().text_labels(),
            (std::vector<std::string>{"ibm us equity", "EURUSD Curncy", "BBG000BBJQV0"}));
  EXPECT_EQ(df.names(), std::vector<std::string>{"ID_BB_GLOBAL"});
  const Column& c = df.column("ID_BB_GLOBAL");
  EXPECT_EQ(texts(c), (std::vector<std::string>{"BBG000BLNNH6", "BBG0013HGFT4", "BBG000BBJQV0"}));
}

TEST(LocalServiceQueries, TickerQueryGivesOneResultPerFieldAndMissingCells) {
  auto bq = service();
  Results res = bq->execute("get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(['BBG000BLNNH6', 'BBG00DELISTD'])");
  ASSERT_EQ(res.size(), 3u);
  const char* fields[] = {"TICKER", "EXCH_CODE", "MARKET_SECTOR_DES"};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(res[k].name(), fields[k]);
    EXPECT_EQ(res[k].frame().names(), std::vector<std::string>{fields[k]});
    EXPECT_EQ(res[k].frame().index().text_labels(), (std::vector<std::string>{"BBG000BLNNH6", "BBG00DELISTD"}));
  }
  EXPECT_EQ(res[0].frame().column("TICKER").text(0), "IBM");
  EXPECT_TRUE(res[0].frame().column("TICKER").is_missing(1));
  EXPECT_EQ(res[1].frame().column("EXCH_CODE").text(1), "US");
  EXPECT_EQ(res[2].frame().column("MARKET_SECTOR_DES").text(0), "Equity");
}

TEST(LocalServiceQueries, EmptyUniverseAndRejectedTexts) {
  auto bq = service();
  Results res = bq->execute("get(ID_BB_GLOBAL) for([])");
  ASSERT_EQ(res.size(), 1u);
  EXPECT_EQ(res[0].frame().num_rows(), 0u);

  EXPECT_EQ(error_of([&] { bq->execute("get(ID_BB_GLOBAL) for(['NOPE US Equity'])"); }),
            "unknown security 'NOPE US Equity'");
  EXPECT_EQ(error_of([&] { bq->execute("get(PX_BOGUS) for(['IBM US Equity'])"); }), "unknown field 'PX_BOGUS'");
  // An unescaped quote inside a key breaks the list; the text is refused
  // rather than split into other keys.
  EXPECT_THROW(bq->execute("get(ID_BB_GLOBAL) for(['O'NEIL US Equity'])"), ServiceError);
  EXPECT_THROW(bq->execute("get(ID_BB_GLOBAL) for('IBM US Equity')"), ServiceError);
  EXPECT_THROW(bq->execute("get(ID_BB_GLOBAL) for(['IBM US Equity']) extra"), ServiceError);

  LocalService lenient(sample(), /*strict_securities=*/false);
  Results r2 = lenient.execute("get(ID_BB_GLOBAL) for(['NOPE US Equity', 'IBM US Equity'])");
  EXPECT_TRUE(r2[0].frame().column("ID_BB_GLOBAL").is_missing(0));
  EXPECT_EQ(r2[0].frame().column("ID_BB_GLOBAL").text(1), "BBG000BLNNH6");
}

TEST(LocalServiceQueries, RecordsEveryCallInOrder) {
  auto bq = service();
  bq->execute("get(ID_BB_GLOBAL) for(['IBM US Equity'])");
  EXPECT_THROW(bq->execute("get(NOPE) for(['IBM US Equity'])"), ServiceError);
  Request req(bq->univ.list({"IBM US Equity"}), NamedItems{{"figi", bq->data("ID_BB_GLOBAL")}});
  bq->execute(req);
  EXPECT_EQ(bq->call_count(), 3u);
  EXPECT_EQ(bq->queries(), (std::vector<std::string>{"get(ID_BB_GLOBAL) for(['IBM US Equity'])",
                                                       "get(NOPE) for(['IBM US Equity'])"}));
  ASSERT_EQ(bq->requests().size(), 1u);
  EXPECT_EQ(bq->requests()[0], req);
  EXPECT_EQ(bq->calls()[2], "get(figi=data.ID_BB_GLOBAL()) for(['IBM US Equity'])");
  bq->clear_log();
  EXPECT_EQ(bq->call_count(), 0u);
}

TEST(LocalServiceItems, NamedFieldsDroppeAndLookupByName) {
  auto bq = service();
  Universe u = bq->univ.list(Value(List{"IBM US Equity", "NOFIGI US Equity", "EURUSD BGN Curncy", "BBG0013HGFT4.BGN"}));
  // "EURUSD BGN Curncy" is not a known key.
  EXPECT_THROW(bq->execute(Request(u, NamedItems{{"figi", bq->data("id_bb_global").droppe()}})), ServiceError);

  Universe u2 = bq->univ.list({"IBM US Equity", "NOFIGI US Equity", "BBG0013HGFT4.BGN"});
  Results res = bq->execute(Request(u2, NamedItems{{"figi", bq->data("id_bb_global").droppe()},
                                                   {"short_name", bq->data("name")}}));
  ASSERT_EQ(res.size(), 2u);
  const Frame& figi = res.get("figi").frame();
  EXPECT_EQ(figi.index().text_labels(), (std::vector<std::string>{"IBM US Equity", "BBG0013HGFT4.BGN"}));
  EXPECT_EQ(texts(figi.column("figi")), (std::vector<std::string>{"BBG000BLNNH6", "BBG0013HGFT4"}));
  const Frame& names = res.get("short_name").frame();
  EXPECT_EQ(names.num_rows(), 3u);
  EXPECT_EQ(names.column("short_name").text(1), "NO FIGI HOLDINGS");
  EXPECT_THROW(res.get("nope"), KeyError);
  EXPECT_THROW(res[2], IndexError);

  // One unnamed item is named by its field.
  Results one = bq->execute(Request("BBG000BLNNH6", bq->data("parsekyable_des")));
  EXPECT_EQ(one[0].name(), "parsekyable_des");
  EXPECT_EQ(one[0].frame().column("parsekyable_des").text(0), "IBM US Equity");

  EXPECT_EQ(error_of([&] { bq->execute(Request("IBM US Equity", bq->data("name", {{"fill", "prev"}}))); }),
            "unknown keyword 'fill' for field 'name'");
  EXPECT_THROW(bq->execute(Request("IBM US Equity", bq->data("name").op("dropna"))), ServiceError);
  EXPECT_THROW(bq->execute(Request("IBM US Equity", bq->data("name"), Kwargs{{"currency", "USD"}})), ServiceError);
}

TEST(LocalServiceItems, PriceSeriesGivesTradingDatesInsideTheRange) {
  auto bq = service();
  Item px = bq->data("px_last", {{"dates", bq->func.range("2023-06-01", "2025-02-01")}});
  Results res = bq->execute(Request("JPY Curncy", px));
  Frame df = res[0].df();
  ASSERT_GT(df.num_rows(), 400u);
  EXPECT_EQ(df.names(), (std::vector<std::string>{"DATE", "px_last"}));
  const Column& d = df.column("DATE");
  ASSERT_EQ(d.type(), DType::Date);
  EXPECT_EQ(format_iso_date(Date{static_cast<std::int32_t>(ints(d).front())}), "2023-06-01");
  EXPECT_LE(ints(d).back(), days_from_civil(2025, 2, 1));
  EXPECT_GE(ints(d).back(), days_from_civil(2025, 1, 29));
  for (std::size_t i = 0; i < df.num_rows(); ++i) EXPECT_EQ(df.index().text_label(i), "JPY Curncy");
  // A weekend-only range has no trading dates.
  Results empty = bq->execute(Request("JPY Curncy", bq->data("px_last", {{"dates", bq->func.range("2024-01-06", "2024-01-07")}})));
  EXPECT_EQ(empty[0].frame().num_rows(), 0u);
  // dates must be a range; a security without prices is refused.
  EXPECT_THROW(bq->execute(Request("JPY Curncy", bq->data("px_last", {{"dates", "2024-01-01"}}))), ServiceError);
  EXPECT_THROW(bq->execute(Request("AAPL US Equity", px)), ServiceError);
  EXPECT_THROW(bq->execute(Request("JPY Curncy", bq->data("px_last"))), ServiceError);
}

TEST(LocalServiceItems, CalendarFiltersViewsAndAddedColumns) {
  auto bq = service();
  auto cal = [&](const char* relevancy, const char* view, const char* subtype = "all") {
    return bq->data("calendar", {{"dates", bq->func.range("2024-01-01", "2024-12-31")},
                                 {"subtype", subtype},
                                 {"relevancy", relevancy},
                                 {"view", view}});
  };
  Kwargs prefs{{"addcols", List{"surprise", "subtype"}}};
  Results res = bq->execute(Request("US", NamedItems{{"Calendar", cal("medium", "extended")}}, prefs));
  Frame df = res.get("Calendar").df();
  EXPECT_EQ(df.names(), (std::vector<std::string>{"DATE", "Calendar", "EVENT_NAME", "TICKER", "RELEVANCY",
                                                  "RELEASE_DATE_TIME", "ACTUAL", "TIMEZONE", "SURPRISE",
                                                  "SUBTYPE"}));
  // 2024 US events at medium or above: the low-relevancy PMI is left out.
  EXPECT_EQ(df.num_rows(), 5u);
  EXPECT_EQ(df.column("EVENT_NAME").text(0), "Change in Nonfarm Payrolls");
  EXPECT_EQ(format_timestamp_ns(df.column("RELEASE_DATE_TIME").integer(0)), "2024-01-05 08:30:45");
  EXPECT_EQ(df.column("TIMEZONE").text(0), "GMT-05:00");
  EXPECT_DOUBLE_EQ(df.column("ACTUAL").f64()[0], 216);

  Frame standard = bq->execute(Request("US", cal("low", "standard")))[0].df();
  EXPECT_FALSE(standard.has_column("TIMEZONE"));
  EXPECT_FALSE(standard.has_column("SURPRISE"));
  EXPECT_EQ(standard.num_rows(), 6u);
  EXPECT_EQ(bq->execute(Request("US", cal("high", "extended", "central_bank")))[0].frame().num_rows(), 1u);

  // matches on the ticker column keeps the listed events only.
  Item c = cal("medium", "extended");
  Item only = c.matches(c.ticker().in_(Value(List{"CPI CHNG Index", "INJCJC Index"})));
  Frame m = bq->execute(Request("US", NamedItems{{"Calendar", only}}, prefs))[0].df();
  EXPECT_EQ(texts(m.column("TICKER")), (std::vector<std::string>{"CPI CHNG Index", "INJCJC Index"}));

  EXPECT_THROW(bq->execute(Request("Atlantis", cal("medium", "extended"))), ServiceError);
  EXPECT_THROW(bq->execute(Request("US", cal("urgent", "extended"))), ServiceError);
  EXPECT_THROW(bq->execute(Request("US", cal("medium", "extended"), Kwargs{{"addcols", List{"consensus"}}})),
               ServiceError);
  EXPECT_THROW(bq->execute(Request("US", c.matches(c.column("country").in_({"US"})))), ServiceError);
}

TEST(LocalServiceBatch, FailedRequestGoesToCallbackAndYieldsNoEntry) {
  auto bq = service();
  std::vector<Request> reqs{
      Request("IBM US Equity", bq->data("name")),
      Request("IBM US Equity", bq->data("no_such_field")),
      Request("AAPL US Equity", bq->data("name")),
  };
  std::vector<List> seen;
  auto out = bq->execute_many(reqs, [&](const List& details) { seen.push_back(details); });
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0][0].frame().column("name").text(0), "INTL BUSINESS MACHINES CORP");
  EXPECT_EQ(out[1][0].frame().column("name").text(0), "APPLE INC");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (List{Value(1), Value("ServiceError"), Value("unknown field 'no_such_field'")}));
  EXPECT_EQ(bq->call_count(), 3u);
  EXPECT_THROW(bq->execute_many(reqs), ServiceError);
}

TEST(LocalServiceFolder, TablesAreOptionalButRequestsNeedThem) {
  fs::path dir = fs::temp_directory_path() / ("quorin-bql-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  // Reference cells are texts as written: a numeric code with a gap in its
  // column stays "7203" (not "7203.0"), "NA" is a ticker.
  std::ofstream(dir / "securities.csv") << "ID_BB_GLOBAL,TICKER,EXCH_CODE,MARKET_SECTOR_DES,CODE\n"
                                           "BBG1,ABC,US,Equity,\nBBG2,NA,CN,Equity,7203\nBBG3,X,JT,Equity,1301\n";
  LocalService bq(dir.string());
  EXPECT_EQ(bq.execute("get(TICKER) for(['abc us equity'])")[0].frame().column("TICKER").text(0), "ABC");
  const Frame t = bq.execute("get(CODE) for(['BBG1', 'BBG2', 'na cn equity'])")[0].frame();
  EXPECT_EQ(texts(t.column("CODE")), (std::vector<std::string>{"", "7203", "7203"}));
  EXPECT_TRUE(t.column("CODE").is_missing(0));
  EXPECT_THROW(bq.execute("get(NAME) for(['BBG1'])"), ServiceError);
  EXPECT_EQ(error_of([&] {
              bq.execute(Request("ABC US Equity", bq.data("px_last", {{"dates", bq.func.range("2024-01-01", "2024-02-01")}})));
            }),
            "no prices reference table");
  fs::remove_all(dir);
  EXPECT_THROW(LocalService(dir.string()), ServiceError);
}

TEST(LocalServiceFolder, ATableThatIsNoFileIsAnErrorNamingIt) {
  fs::path dir = fs::temp_directory_path() / ("quorin-bql-loop-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::create_symlink("calendar.csv", dir / "calendar.csv");  // a link to itself
  std::string m = error_of([&] { LocalService bq(dir.string()); });
  EXPECT_NE(m.find("calendar.csv"), std::string::npos) << m;
  fs::remove(dir / "calendar.csv");
  fs::create_directory(dir / "prices.csv");
  m = error_of([&] { LocalService bq(dir.string()); });
  EXPECT_NE(m.find("prices.csv: not a regular file"), std::string::npos) << m;
  fs::remove_all(dir);
}

// ------------------------------------------------------------- registry

struct WarningCapture {
  std::vector<std::string> seen;
  WarningCapture() {
    reset_warning_registry();
    set_warning_handler([this](const std::string& t) { seen.push_back(t); });
  }
  ~WarningCapture() {
    set_warning_handler(nullptr);
    reset_warning_registry();
    set_service_provider(nullptr);
    unsetenv("SHOW_WARNINGS");
  }
};

TEST(ServiceRegistry, NoProviderMeansNoHandleAndTheWarningOnlyWhenOn) {
  WarningCapture w;
  set_service_provider(nullptr);
  setenv("SHOW_WARNINGS", "0", 1);
  EXPECT_EQ(open_service("'bql' is not installed."), nullptr);
  EXPECT_TRUE(w.seen.empty());
  setenv("SHOW_WARNINGS", "1", 1);
  ModuleHandle h("[bqia] 'bql' is not installed.");
  EXPECT_EQ(h.get(), nullptr);
  EXPECT_EQ(w.seen, std::vector<std::string>{"[bqia] 'bql' is not installed."});
  EXPECT_EQ(error_of([&] { h.require(); }), "name 'bq' is not defined");
  try {
    require_service(nullptr);
    FAIL();
  } catch (const NameError& e) {
    EXPECT_STREQ(e.what(), "name 'bq' is not defined");
  }
}

TEST(ServiceRegistry, ProviderOpensOncePerModuleAndFailuresLeaveNoHandle) {
  WarningCapture w;
  setenv("SHOW_WARNINGS", "1", 1);
  int opened = 0;
  set_service_provider([&] {
    ++opened;
    return std::make_shared<LocalService>(sample());
  });
  EXPECT_TRUE(has_service_provider());
  ModuleHandle h("'bql' is not installed.");
  auto a = h.get();
  auto b = h.get();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(h.require().execute("get(TICKER) for(['BBG000BLNNH6'])")[0].frame().column("TICKER").text(0), "IBM");
  EXPECT_TRUE(w.seen.empty());

  set_service_provider([]() -> std::shared_ptr<Service> { throw ServiceError("no terminal"); });
  EXPECT_EQ(a, h.get());  // an opened handle stays
  h.reset();
  EXPECT_EQ(h.get(), nullptr);
  EXPECT_EQ(w.seen, std::vector<std::string>{"'bql' is not installed."});
}

}  // namespace
