// Ticker/FIGI conversion over the local stand-in and over a service that
// answers crafted tables (repeated and unaligned rows).
#include <gtest/gtest.h>

#include "quorin_data/from_s3/snapshelf/ticker_figi.hpp"

using namespace quorin_data;
using namespace quorin_data::from_s3::snapshelf;
namespace bql = quorin_data::from_bqia::bql;

namespace {

std::shared_ptr<bql::LocalService> sample_service() {
  return std::make_shared<bql::LocalService>(std::string(QUORIN_SOURCE_DIR) + "/data/bql_sample");
}

// Answers every query text with the frames it was given, and records it.
class CannedService : public bql::Service {
 public:
  std::vector<bql::Result> answer;
  std::vector<std::string> seen;
  bql::Results execute(const bql::Request&) override { throw bql::ServiceError("requests not expected"); }
  bql::Results execute(const std::string& query) override {
    seen.push_back(query);
    return bql::Results(answer);
  }
};

Frame id_frame(std::vector<std::string> ids, const std::string& col, std::vector<std::string> v,
               std::vector<std::uint8_t> valid = {}) {
  Frame f;
  f.add_column(col, Column::texts(std::move(v), std::move(valid)));
  Index idx = Index::texts(std::move(ids));
  idx.name = "ID";
  f.set_index(idx);
  return f;
}

TEST(TickerToFigi, OneTextIsAListOfOne) {
  auto bq = sample_service();
  TextMap a = ticker_to_figi("IBM US Equity", bq);
  TextMap b = ticker_to_figi(std::vector<std::string>{"IBM US Equity"}, bq);
  TextMap c = ticker_to_figi(Value("IBM US Equity"), bq);
  TextMap d = ticker_to_figi(Value(List{"IBM US Equity"}), bq);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  EXPECT_EQ(a, d);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a.at("IBM US Equity"), "BBG000BLNNH6");
  auto q = bq->queries();
  ASSERT_EQ(q.size(), 4u);
  for (const auto& t : q) EXPECT_EQ(t, "get(ID_BB_GLOBAL) for(['IBM US Equity'])");
}

TEST(TickerToFigi, TextsAreWrittenAsPythonWritesThemAndTheStandInReadsThem) {
  auto bq = sample_service();
  const std::vector<std::string> keys = {"IBM US Equity", "A\"B'C", "x\\y", "t\tz", "O'NEIL US Equity"};
  // The stand-in reads every key back whole: the first unknown one is named.
  for (std::size_t drop = 0; drop < 2; ++drop) {
    const std::vector<std::string> ask(keys.begin() + static_cast<std::ptrdiff_t>(drop * 4), keys.end());
    try {
      ticker_to_figi(ask, bq);
      ADD_FAILURE() << "no error";
    } catch (const bql::ServiceError& e) {
      EXPECT_NE(std::string(e.what()).find(drop ? "'O'NEIL US Equity'" : "'A\"B'C'"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(bq->queries().front(),
            "get(ID_BB_GLOBAL) for(['IBM US Equity', 'A\"B\\'C', 'x\\\\y', 't\\tz', \"O'NEIL US Equity\"])");
  EXPECT_EQ(python_str_repr("caf\xc3\xa9 \xc2\xa0\x7f\xff"), "'caf\xc3\xa9 \\xa0\\x7f\\udcff'");
}

TEST(TickerToFigi, OrderEmptyListMissingFigiAndFailures) {
  auto bq = sample_service();
  TextMap m = ticker_to_figi(std::vector<std::string>{"MSFT US Equity", "NOFIGI US Equity", "AAPL US Equity"}, bq);
  EXPECT_EQ(bq->queries().back(), "get(ID_BB_GLOBAL) for(['MSFT US Equity', 'NOFIGI US Equity', 'AAPL US Equity'])");
  // The ticker whose FIGI is missing is left out; order is the answer's.
  EXPECT_EQ(m.keys(), (std::vector<std::string>{"MSFT US Equity", "AAPL US Equity"}));
  EXPECT_EQ(m.values(), (std::vector<std::string>{"BBG000BPH459", "BBG000B9XRY4"}));

  TextMap e = ticker_to_figi(std::vector<std::string>{}, bq);
  EXPECT_TRUE(e.empty());
  EXPECT_EQ(bq->queries().back(), "get(ID_BB_GLOBAL) for([])");

  EXPECT_THROW(ticker_to_figi("NOPE US Equity", bq), bql::ServiceError);
  EXPECT_THROW(ticker_to_figi("IBM US Equity", nullptr), TypeError);
  try {
    ticker_to_figi(Value(3), bq);
    FAIL();
  } catch (const TypeError& err) {
    EXPECT_STREQ(err.what(), "Argument 'tickers' has incorrect type (expected list, got int)");
  }
  EXPECT_THROW(figi_to_ticker(Value(List{"BBG000BLNNH6", 7}), bq), TypeError);
}

TEST(TickerToFigi, RepeatedKeysAppearOnceWithTheLastRowsValue) {
  auto bq = std::make_shared<CannedService>();
  bq->answer = {bql::Result("ID_BB_GLOBAL", id_frame({"A", "B", "A"}, "ID_BB_GLOBAL", {"F1", "F2", "F3"}))};
  TextMap m = ticker_to_figi(std::vector<std::string>{"A", "B", "A"}, bq);
  EXPECT_EQ(bq->seen.back(), "get(ID_BB_GLOBAL) for(['A', 'B', 'A'])");
  EXPECT_EQ(m.entries(), (std::vector<TextMap::Entry>{{"A", "F3"}, {"B", "F2"}}));
}

TEST(FigiToTicker, AssemblesParsekeysAndLeavesOutIncompleteOnes) {
  auto bq = sample_service();
  TextMap m = figi_to_ticker(std::vector<std::string>{"BBG000BLNNH6", "BBG00DELISTD", "BBG00NOSECTR", "BBG000BBJQV0"}, bq);
  EXPECT_EQ(bq->queries().back(),
            "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(['BBG000BLNNH6', 'BBG00DELISTD', 'BBG00NOSECTR', "
            "'BBG000BBJQV0'])");
  // No ticker (delisted) and no market sector: no parsekey for them.
  EXPECT_EQ(m.entries(), (std::vector<TextMap::Entry>{{"BBG000BLNNH6", "IBM US Equity"}, {"BBG000BBJQV0", "NVDA US Equity"}}));
  EXPECT_EQ(figi_to_ticker("BBG000BLNNH6", bq), figi_to_ticker(Value(List{"BBG000BLNNH6"}), bq));
  EXPECT_TRUE(figi_to_ticker(std::vector<std::string>{}, bq).empty());
  EXPECT_EQ(bq->queries().back(), "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for([])");
}

TEST(FigiToTicker, JoinsResultsOnTheirIdWhenRowsDiffer) {
  auto bq = std::make_shared<CannedService>();
  bq->answer = {bql::Result("TICKER", id_frame({"F1", "F2"}, "TICKER", {"AAA", "BBB"})),
                bql::Result("EXCH_CODE", id_frame({"F2", "F1", "F3"}, "EXCH_CODE", {"LN", "US", "JP"})),
                bql::Result("MARKET_SECTOR_DES", id_frame({"F1", "F2", "F3"}, "MARKET_SECTOR_DES",
                                                          {"Equity", "Equity", "Equity"}))};
  TextMap m = figi_to_ticker(std::vector<std::string>{"F1", "F2", "F3"}, bq);
  // F3 has no TICKER in the answer and stays out.
  EXPECT_EQ(m.entries(), (std::vector<TextMap::Entry>{{"F1", "AAA US Equity"}, {"F2", "BBB LN Equity"}}));
  bq->answer.pop_back();
  EXPECT_THROW(figi_to_ticker("F1", bq), KeyError);
}

}  // namespace
