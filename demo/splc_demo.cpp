// Demo of the supply-chain dataset: supplier/customer and competitor
// snapshots for several dates seeded in bucket "quorin-demo", then queries
// for a few tickers through the local query-service stand-in.
#include <iostream>

#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "quorin_data/from_bqia/bql.hpp"
#include "quorin_data/from_s3/snapshelf/splc.hpp"
#include "sections.hpp"
#include "store/s3_client.hpp"

namespace {

namespace bql = quorin_data::from_bqia::bql;
using quorin_data::from_s3::snapshelf::SPLC;

const char* kHeader = "ID_BB_GLOBAL,RELATIONSHIP,RELATED_FIGI,RELTNSHP_START_DT,RELTNSHP_END_DT,REVENUE_PCT\n";

void put(quorin_data::store::S3Client& client, const std::string& name, const std::string& date, const std::string& csv) {
  auto gz = quorin_data::formats::gzip_compress(reinterpret_cast<const std::uint8_t*>(csv.data()), csv.size());
  const std::string key = SPLC::file_path_func(name, date);
  client.put_object("quorin-demo", key, gz.data(), gz.size());
  std::cout << "  seeded s3://quorin-demo/" << key << "\n";
}

void run() {
  auto client = quorin_data::store::S3Client::from_environment();
  // Three weekly snapshots of supplier/customer links; the latest adds rows.
  std::string base = std::string(kHeader) +
                     "BBG000BLNNH6,SUPPLIER,BBG000C0G1D1,2019-03-01,2026-12-31,4.5\n"   // IBM <- INTC
                     "BBG000BLNNH6,CUSTOMER,BBG000BVPV84,2021-06-01,2023-12-31,1.2\n"   // IBM -> AMZN
                     "BBG000B9XRY4,SUPPLIER,BBG000BD8PN9,2015-01-01,,18.0\n"            // AAPL <- TSM
                     "BBG000B9XRY4,SUPPLIER,BBG000BFJT36,2016-01-01,2022-12-31,2.1\n"   // AAPL <- FLEX
                     "BBG000BBJQV0,SUPPLIER,BBG000BD8PN9,2018-01-01,2027-06-30,11.0\n"  // NVDA <- TSM
                     "BBG000BBJQV0,CUSTOMER,BBG000BPH459,2020-01-01,,19.0\n";           // NVDA -> MSFT
  put(*client, "supplyChainHistoryV2", "20231229", base);
  put(*client, "supplyChainHistoryV2", "20240105", base + "BBG000BBJQV0,SUPPLIER,BBG000BHCGJ5,2024-01-02,2028-01-01,3.3\n");
  put(*client, "supplyChainHistoryV2", "20240112",
      base + "BBG000BBJQV0,SUPPLIER,BBG000BHCGJ5,2024-01-02,2028-01-01,3.3\n"   // NVDA <- MU
             "BBG000B9XRY4,SUPPLIER,BBG00DELISTD,2010-01-01,2030-01-01,0.4\n");  // no ticker
  std::string comp = std::string(kHeader) +
                     "BBG000BBJQV0,COMPETITOR,BBG000BBQCY0,2010-01-01,,\n"  // NVDA ~ AMD
                     "BBG000BBJQV0,COMPETITOR,BBG000C0G1D1,2012-01-01,,\n"  // NVDA ~ INTC
                     "BBG000BLNNH6,COMPETITOR,BBG000BPH459,2005-01-01,,\n";  // IBM ~ MSFT
  put(*client, "supplyChainCompetitorsHistory", "20240105", comp);
  put(*client, "supplyChainCompetitorsHistory", "20240112", comp);

  SPLC::bucket = "quorin-demo";
  auto bq = std::make_shared<bql::LocalService>(bql::sample_folder());
  const std::vector<std::string> tickers{"IBM US Equity", "AAPL US Equity", "NVDA US Equity"};

  SPLC suppliers(std::nullopt, "supplier", bq);
  std::cout << "\nsnapshot dates: ";
  for (const auto& d : suppliers.get_distinct()) std::cout << d << " ";
  std::cout << "(latest loaded: " << suppliers.data->num_rows() << " rows)\n";

  bq->clear_log();
  std::cout << "\nsuppliers of " << tickers.size() << " tickers in force on 2024-06-28 or still on 2025-06-30:\n";
  quorin_data::formats::write_csv(*suppliers.get_data(tickers, "2024-06-28", "2025-06-30"), true, std::cout);
  std::cout << "query texts sent:\n";
  for (const auto& q : bq->calls()) std::cout << "  " << q << "\n";

  std::cout << "\ncustomers in snapshot 2024-01-05:\n";
  SPLC customers(std::string("2024-01-05"), "customer", bq);
  quorin_data::formats::write_csv(*customers.get_data(tickers, std::nullopt, std::nullopt), true, std::cout);

  std::cout << "\ncompetitors of NVDA:\n";
  SPLC competitors(std::nullopt, "competitor", bq);
  quorin_data::formats::write_csv(
      *competitors.get_data(std::vector<std::string>{"NVDA US Equity"}, std::nullopt, std::nullopt), true, std::cout);

  std::cout << "\nwithout a query service (window only, no ticker columns), ending on/after 2027-01-01:\n";
  SPLC plain(std::nullopt, "supplier");
  quorin_data::formats::write_csv(*plain.get_data(tickers, std::nullopt, "2027-01-01"), true, std::cout);
}

QUORIN_DEMO_SECTION(50, "Supply-chain relationships (SPLC) with the local query service", run);

}  // namespace
