// SPLC against the real s3rver (snapshot keys as the dataset lays them out)
// and the local stand-in service over the sample reference folder.
#include <gtest/gtest.h>

#include <thread>

#include <algorithm>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "quorin_data/from_s3/snapshelf/splc.hpp"
#include "store/s3_client.hpp"
#include "support/s3_env.hpp"

using namespace quorin_data;
using namespace quorin_data::from_s3::snapshelf;
namespace bql = quorin_data::from_bqia::bql;

namespace {

const char* kHeader = "ID_BB_GLOBAL,RELATIONSHIP,RELATED_FIGI,RELTNSHP_START_DT,RELTNSHP_END_DT,REVENUE_PCT,SOURCE\n";

// Rows of the latest supplier/customer snapshot (row number in comments):
std::string latest_rows() {
  return std::string(kHeader) +
         "BBG000BLNNH6,SUPPLIER,BBG000C0G1D1,2020-01-01,2025-12-31,4.5,20240112\n"   // 0 IBM <- INTC
         "BBG000BLNNH6,CUSTOMER,BBG000BVPV84,2021-06-01,2023-12-31,1.25,20240112\n"  // 1 IBM -> AMZN
         "BBG000BLNNH6,SUPPLIER,BBG00DELISTD,2024-03-01,2026-06-30,,20240112\n"      // 2 no ticker
         "BBG000B9XRY4,SUPPLIER,BBG000BD8PN9,2018-01-01,,12,20240112\n"              // 3 no end
         "BBG000B9XRY4,SUPPLIER,BBG000BFJT36,,2022-12-31,3,20240112\n"               // 4 no start
         "BBG000B9XRY4,CUSTOMER,BBG000BLNNH6,2024-06-01,2024-09-30,0.5,20240112\n"   // 5 inside
         "BBG000BBJQV0,SUPPLIER,BBG000BD8PN9,2022-01-01,2024-12-31,9,20240112\n"     // 6 NVDA <- TSM
         "BBG000BBJQV0,SUPPLIER,BBG00NOSECTR,,,1,20240112\n"                         // 7 no dates
         "BBG000BPH459,SUPPLIER,,2020-01-01,2030-01-01,2,20240112\n";                // 8 no counterparty
}

class SplcStore : public ::testing::Test {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE_S3();
    saved_bucket_ = SPLC::bucket;
    SPLC::bucket = "quorin-equity-base-data";
    client_ = store::S3Client::from_environment();
    // The same objects every time, so test programs may share the server.
    put("supplyChainHistoryV2", "20231229", std::string(kHeader) + "BBG000BLNNH6,SUPPLIER,BBG000C0G1D1,2020-01-01,2025-12-31,1,20231229\n");
    put("supplyChainHistoryV2", "20240105", std::string(kHeader) + "BBG000BLNNH6,SUPPLIER,BBG000C0G1D1,2020-01-01,2025-12-31,1,20240105\n");
    put("supplyChainHistoryV2", "20240112", latest_rows());
    put("supplyChainCompetitorsHistory", "20240105",
        std::string(kHeader) +
            "BBG000BBJQV0,COMPETITOR,BBG000BBQCY0,2015-01-01,,,20240105\n"
            "BBG000BBJQV0,PEER,BBG000C0G1D1,2016-01-01,,,20240105\n"
            "BBG000BLNNH6,COMPETITOR,BBG000BPH459,2010-01-01,,,20240105\n");
    bq_ = std::make_shared<bql::LocalService>(std::string(QUORIN_SOURCE_DIR) + "/data/bql_sample");
  }
  void TearDown() override {
    if (!saved_bucket_.empty()) SPLC::bucket = saved_bucket_;
  }
  void put(const std::string& name, const std::string& date, const std::string& csv,
           const std::string& bucket = "quorin-equity-base-data") {
    auto gz = formats::gzip_compress(reinterpret_cast<const std::uint8_t*>(csv.data()), csv.size());
    client_->put_object(bucket, SPLC::file_path_func(name, date), gz.data(), gz.size());
  }

  std::string saved_bucket_;
  std::shared_ptr<store::S3Client> client_;
  std::shared_ptr<bql::LocalService> bq_;
};

std::vector<std::string> texts(const Frame& f, const char* col) {
  std::vector<std::string> out;
  const Column& c = f.column(col);
  for (std::size_t i = 0; i < f.num_rows(); ++i) out.push_back(c.is_missing(i) ? "<missing>" : c.cell_text(i));
  return out;
}

TEST_F(SplcStore, SnapshotChoiceLatestDashedAndInvalid) {
  SPLC latest;
  EXPECT_EQ(latest.dataset, "supplier");
  EXPECT_EQ(latest.dataset_name, "supplyChainHistoryV2");
  EXPECT_EQ(latest.get_distinct(), (std::vector<std::string>{"20231229", "20240105", "20240112"}));
  EXPECT_EQ(latest.data->num_rows(), 9u);
  EXPECT_EQ(texts(*latest.data, "SOURCE")[0], "20240112");

  SPLC dashed(std::string("2024-01-05"), "customer");
  EXPECT_EQ(texts(*dashed.data, "SOURCE"), std::vector<std::string>{"20240105"});
  SPLC plain(std::string("20231229"));
  EXPECT_EQ(texts(*plain.data, "SOURCE"), std::vector<std::string>{"20231229"});

  try {
    SPLC bad(std::string("2024-01-06"));
    FAIL();
  } catch (const AssertionError& e) {
    EXPECT_STREQ(e.what(), "20240106 is not valid. Valid snapshot dates: ['20231229', '20240105', '20240112'].");
  }

  // The file's columns stay, the two relationship dates become dates.
  EXPECT_EQ(latest.data->names(), (std::vector<std::string>{"ID_BB_GLOBAL", "RELATIONSHIP", "RELATED_FIGI",
                                                             "RELTNSHP_START_DT", "RELTNSHP_END_DT", "REVENUE_PCT",
                                                             "SOURCE"}));
  const Column& sd = latest.data->column("RELTNSHP_START_DT");
  EXPECT_EQ(sd.type(), DType::Date);
  EXPECT_EQ(sd.integer(0), days_from_civil(2020, 1, 1));
  EXPECT_TRUE(sd.is_missing(4));
  EXPECT_TRUE(latest.data->column("RELTNSHP_END_DT").is_missing(3));
}

// Each object keeps the store and key builder it was built with: neither a
// later change of the class attributes nor a construction on another thread
// over another bucket reaches it.
TEST_F(SplcStore, EachObjectKeepsTheStoreItWasBuiltWith) {
  put("supplyChainCompetitorsHistory", "20990101", std::string(kHeader) + "BBG000BBJQV0,COMPETITOR,BBG000BBQCY0,,,,x\n",
      "quorin-test");
  SPLC mine(std::nullopt, "competitor");
  SPLC::bucket = "quorin-test";
  EXPECT_EQ(mine.get_distinct(), std::vector<std::string>{"20240105"});
  SPLC::bucket = "quorin-equity-base-data";
  const auto base = from_s3::bucketry::Store::default_store();
  std::vector<std::string> seen[2];
  auto build = [&](int side) {
    for (int i = 0; i < 5; ++i) {
      SPLC s(std::nullopt, "competitor", nullptr, base.with_bucket(side ? "quorin-test" : "quorin-equity-base-data"),
             SPLC::file_path_func);
      seen[side].push_back(s.get_distinct().back());
    }
  };
  std::thread a(build, 0), b(build, 1);
  a.join();
  b.join();
  EXPECT_EQ(seen[0], std::vector<std::string>(5, "20240105"));
  EXPECT_EQ(seen[1], std::vector<std::string>(5, "20990101"));
}

TEST_F(SplcStore, EmptyListingAndShortKeysFail) {
  SPLC::bucket = "quorin-macro-base-data";
  EXPECT_THROW(SPLC(), ValueError);
  SPLC::bucket = "quorin-demo";
  const std::string csv = kHeader;
  auto gz = formats::gzip_compress(reinterpret_cast<const std::uint8_t*>(csv.data()), csv.size());
  client_->put_object("quorin-demo", "alt_data/supply_chain/dl/datasets/supplyChainCompetitorsHistory/x.csv.gz",
                      gz.data(), gz.size());
  EXPECT_THROW(SPLC(std::nullopt, "competitor"), IndexError);
}

TEST_F(SplcStore, BoundsInCommonDateFormsKeepTheirOwnDay) {
  SPLC s;
  auto pct = [&](const std::string& start) {
    return texts(*s.get_data(std::vector<std::string>{}, start, std::nullopt), "REVENUE_PCT");
  };
  const auto june = pct("2024-06-01");  // row 5 starts that day
  EXPECT_NE(std::find(june.begin(), june.end(), "0.5"), june.end());
  for (const char* t : {"2024-6-1", "06/01/2024", "Jun 1 2024", "1 June 2024", "Saturday, June 1, 2024",
                        "2024-06-01T01:00:00+05:00", "2024-06-01 23:30:00-04:00", "20240601"})
    EXPECT_EQ(pct(t), june) << t;
  EXPECT_NE(pct("2024-05-31"), june);
}

// The load declares its date columns: other integer columns with a gap keep
// every digit, and an unreadable date fails the load naming line and column.
TEST_F(SplcStore, DeclaredColumnsAtLoad) {
  SPLC::bucket = "quorin-test";
  put("supplyChainHistoryV2", "20240301",
      std::string(kHeader) +
          "BBG000BLNNH6,SUPPLIER,BBG000C0G1D1,20240105,,4.5,12345678901234567\n"
          "BBG000BLNNH6,SUPPLIER,BBG000C0G1D1,2024-01-05,2025-12-31,,\n"
          "BBG000BLNNH6,SUPPLIER,BBG000C0G1D1,,,1,9007199254740993\n",
      "quorin-test");
  put("supplyChainHistoryV2", "20240302",
      std::string(kHeader) + "BBG000BLNNH6,SUPPLIER,BBG000C0G1D1,2024-01-05,soon,1,2\n", "quorin-test");
  SPLC s(std::string("20240301"));
  const Frame& f = *s.data;
  EXPECT_EQ(f.column("SOURCE").type(), DType::Int64);
  EXPECT_EQ(f.column("SOURCE").integer(0), 12345678901234567);
  EXPECT_EQ(f.column("SOURCE").integer(2), 9007199254740993);
  EXPECT_TRUE(f.column("SOURCE").is_missing(1));
  EXPECT_EQ(f.column("RELTNSHP_START_DT").type(), DType::Date);
  EXPECT_EQ(f.column("RELTNSHP_START_DT").integer(0), f.column("RELTNSHP_START_DT").integer(1));
  EXPECT_TRUE(f.column("RELTNSHP_END_DT").is_missing(0));
  ::testing::internal::CaptureStderr();
  try {
    SPLC latest;
    ADD_FAILURE() << "no error";
  } catch (const FormatError& e) {
    EXPECT_NE(std::string(e.what()).find("column 'RELTNSHP_END_DT': cannot read \"soon\" as date"),
              std::string::npos)
        << e.what();
  }
  ::testing::internal::GetCapturedStderr();
}

TEST_F(SplcStore, WindowRulesWithoutAHandle) {
  SPLC s;
  // Neither bound: the stored table itself, whatever tickers holds.
  auto all = s.get_data(Value(List{"nothing at all"}), std::nullopt, std::nullopt);
  EXPECT_EQ(all.get(), s.data.get());
  EXPECT_EQ(s.get_data(Value(), std::nullopt, std::nullopt).get(), s.data.get());

  // Only start: relationships begun by then (missing starts never pass).
  auto only_start = s.get_data(std::vector<std::string>{}, std::string("2024-01-31"), std::nullopt);
  EXPECT_EQ(texts(*only_start, "REVENUE_PCT"), (std::vector<std::string>{"4.5", "1.25", "12.0", "9.0", "2.0"}));
  EXPECT_TRUE(only_start->index().is_default_range());
  // Only end: relationships still running then.
  auto only_end = s.get_data(std::vector<std::string>{}, std::nullopt, std::string("20250131"));
  EXPECT_EQ(texts(*only_end, "REVENUE_PCT"), (std::vector<std::string>{"4.5", "<missing>", "2.0"}));
  // Both: either condition (row 2 began after start but runs past end).
  auto both = s.get_data(std::vector<std::string>{}, std::string("2024-01-31"), std::string("2025-01-31"));
  EXPECT_EQ(texts(*both, "REVENUE_PCT"), (std::vector<std::string>{"4.5", "1.25", "<missing>", "12.0", "9.0", "2.0"}));
  EXPECT_EQ(both->index().size(), 6u);
  EXPECT_EQ(both->index().int_label(5), 5);
  EXPECT_FALSE(both->has_column("TICKER"));
  EXPECT_EQ(s.data->num_rows(), 9u);  // never changed

  EXPECT_THROW(s.get_data(std::vector<std::string>{}, std::string("not a date"), std::nullopt), ValueError);
  try {
    s.get_data(Value("IBM US Equity"), std::nullopt, std::nullopt);
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "Argument 'tickers' has incorrect type (expected list, got str)");
  }
  EXPECT_THROW(s.get_data(std::string("20240112")), TypeError);
}

TEST_F(SplcStore, CompanyKindAndTickerColumnsWithTwoServiceCalls) {
  SPLC s(std::nullopt, "supplier", bq_);
  bq_->clear_log();
  auto out = s.get_data(std::vector<std::string>{"IBM US Equity", "AAPL US Equity", "NOFIGI US Equity"},
                        std::nullopt, std::nullopt);
  // Supplier rows of IBM and AAPL only; the ticker without a FIGI adds none.
  EXPECT_EQ(texts(*out, "RELATED_FIGI"),
            (std::vector<std::string>{"BBG000C0G1D1", "BBG00DELISTD", "BBG000BD8PN9", "BBG000BFJT36"}));
  EXPECT_EQ(texts(*out, "TICKER"),
            (std::vector<std::string>{"IBM US Equity", "IBM US Equity", "AAPL US Equity", "AAPL US Equity"}));
  EXPECT_EQ(texts(*out, "RELATED_TICKER"),
            (std::vector<std::string>{"INTC US Equity", "<missing>", "TSM US Equity", "FLEX US Equity"}));
  EXPECT_TRUE(out->index().is_default_range());
  EXPECT_EQ(out->names().back(), "RELATED_TICKER");
  EXPECT_EQ(out->names()[out->num_columns() - 2], "TICKER");
  EXPECT_EQ(out->num_columns(), 9u);
  EXPECT_EQ(bq_->calls(),
            (std::vector<std::string>{
                "get(ID_BB_GLOBAL) for(['IBM US Equity', 'AAPL US Equity', 'NOFIGI US Equity'])",
                "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(['BBG000C0G1D1', 'BBG00DELISTD', 'BBG000BD8PN9', "
                "'BBG000BFJT36'])"}));

  // With a window: OR rule first, then the company filter; a counterparty
  // without a full parsekey gets a missing RELATED_TICKER.
  bq_->clear_log();
  auto nv = s.get_data(std::vector<std::string>{"NVDA US Equity", "MSFT US Equity"}, std::string("2024-01-31"),
                       std::string("2025-01-31"));
  EXPECT_EQ(texts(*nv, "RELATED_FIGI"), (std::vector<std::string>{"BBG000BD8PN9", "<missing>"}));
  EXPECT_EQ(texts(*nv, "RELATED_TICKER"), (std::vector<std::string>{"TSM US Equity", "<missing>"}));
  EXPECT_EQ(bq_->call_count(), 2u);
  EXPECT_EQ(bq_->calls()[1], "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(['BBG000BD8PN9'])");

  auto nv_all = s.get_data(std::vector<std::string>{"NVDA US Equity"}, std::nullopt, std::nullopt);
  EXPECT_EQ(texts(*nv_all, "RELATED_TICKER"), (std::vector<std::string>{"TSM US Equity", "<missing>"}));

  SPLC c(std::nullopt, "customer", bq_);
  auto cust = c.get_data(std::vector<std::string>{"IBM US Equity", "AAPL US Equity"}, std::nullopt, std::nullopt);
  EXPECT_EQ(texts(*cust, "RELATED_TICKER"), (std::vector<std::string>{"AMZN US Equity", "IBM US Equity"}));
  EXPECT_EQ(texts(*cust, "RELATIONSHIP"), (std::vector<std::string>{"CUSTOMER", "CUSTOMER"}));

  // Competitors: every relationship of the company, whatever its label.
  SPLC comp(std::nullopt, "competitor", bq_);
  EXPECT_EQ(comp.dataset_name, "supplyChainCompetitorsHistory");
  auto cm = comp.get_data(std::vector<std::string>{"NVDA US Equity"}, std::nullopt, std::nullopt);
  EXPECT_EQ(texts(*cm, "RELATED_TICKER"), (std::vector<std::string>{"AMD US Equity", "INTC US Equity"}));

  // Nothing left: the second call still goes out, with an empty universe.
  bq_->clear_log();
  auto none = s.get_data(std::vector<std::string>{}, std::nullopt, std::nullopt);
  EXPECT_EQ(none->num_rows(), 0u);
  EXPECT_TRUE(none->has_column("RELATED_TICKER"));
  EXPECT_EQ(bq_->calls(), (std::vector<std::string>{"get(ID_BB_GLOBAL) for([])",
                                                    "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for([])"}));
  // Service failures propagate.
  EXPECT_THROW(s.get_data(std::vector<std::string>{"NOPE US Equity"}, std::nullopt, std::nullopt), bql::ServiceError);
}

// ---------------------------------------------------------- no store needed

TEST(Splc, PluralKindRejectedBeforeAnyStoreAccess) {
  for (const char* kind : {"customers", "suppliers", "Supplier", ""}) {
    try {
      SPLC s(std::nullopt, kind);
      FAIL() << kind;
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("`dataset`=") + kind +
                                           " is invalid. Only `suppliers` or `customers` or `competitors` are allowed.");
    }
  }
  EXPECT_THROW(SPLC::from_frame(Frame(), "competitors"), ValueError);
}

Frame small(std::vector<std::string> start, std::vector<std::string> end) {
  const std::size_t n = start.size();
  Frame f;
  f.add_column("ID_BB_GLOBAL", Column::texts(std::vector<std::string>(n, "BBG000BLNNH6")));
  f.add_column("RELATIONSHIP", Column::texts(std::vector<std::string>(n, "SUPPLIER")));
  f.add_column("RELATED_FIGI", Column::texts(std::vector<std::string>(n, "BBG000C0G1D1")));
  std::vector<std::uint8_t> sv(n, 1), ev(n, 1);
  for (std::size_t i = 0; i < n; ++i) {
    sv[i] = !start[i].empty();
    ev[i] = !end[i].empty();
  }
  f.add_column("RELTNSHP_START_DT", Column::texts(std::move(start), std::move(sv)));
  f.add_column("RELTNSHP_END_DT", Column::texts(std::move(end), std::move(ev)));
  return f;
}

TEST(Splc, DateCellsAndTheirFormsAtLoad) {
  SPLC s = SPLC::from_frame(small({"2024-01-05 13:45:00", "20240105", "", "2024/01/05"}, {"", "2030-01-01", "", ""}));
  const Column& sd = s.data->column("RELTNSHP_START_DT");
  ASSERT_EQ(sd.type(), DType::Date);
  EXPECT_EQ(sd.integer(0), days_from_civil(2024, 1, 5));
  EXPECT_EQ(sd.integer(1), sd.integer(0));
  EXPECT_EQ(sd.integer(3), sd.integer(0));
  EXPECT_TRUE(sd.is_missing(2));
  // The boundary day itself is inside on both sides.
  EXPECT_EQ(s.get_data(Value(), std::string("2024-01-05"), std::nullopt)->num_rows(), 3u);
  EXPECT_EQ(s.get_data(Value(), std::string("2024-01-04"), std::nullopt)->num_rows(), 0u);
  EXPECT_EQ(s.get_data(Value(), std::nullopt, std::string("2030-01-01"))->num_rows(), 1u);
  // A row with both dates missing never passes a window.
  EXPECT_EQ(s.get_data(Value(), std::string("2099-01-01"), std::string("1900-01-01"))->num_rows(), 3u);

  EXPECT_THROW(SPLC::from_frame(small({"2024-13-45"}, {""})), ValueError);
  EXPECT_THROW(SPLC::from_frame(small({"soon"}, {""})), ValueError);
}

}  // namespace
