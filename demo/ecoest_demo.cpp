// Demo of the economist-estimates dataset: a history of five weekly
// snapshots of 4000 estimates (two row groups each) written to bucket
// "quorin-demo", then the latest snapshot, a named one, and a ticker and
// survey-date filter, with the requests and bytes each construction fetched.
#include <iostream>
#include <stdexcept>

#include "from_s3/bucketry/client.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "quorin_data/from_s3/snapshelf/ecoest.hpp"
#include "sections.hpp"
#include "store/s3_client.hpp"

namespace {

using namespace quorin_data;
using quorin_data::from_s3::snapshelf::ECOEST;

Frame history() {
  const char* events[4] = {"CPI YOY Index", "NFP TCH Index", "GDP CQOQ Index", "INJCJC Index"};
  std::vector<std::string> ticker, economist;
  std::vector<std::int64_t> survey;
  std::vector<std::int32_t> snap;
  std::vector<double> estimate;
  for (int s = 0; s < 5; ++s)
    for (int r = 0; r < 4000; ++r) {
      const std::int32_t day = days_from_civil(2024, 1, 5) + 7 * s;
      ticker.push_back(events[r % 4]);
      economist.push_back("economist " + std::to_string(r % 97));
      survey.push_back((std::int64_t{day} - 6 + r % 6) * kNanosPerDay + (r % 1440) * 60 * kNanosPerSecond);
      snap.push_back(static_cast<std::int32_t>(day));
      estimate.push_back(0.1 * (r % 9) + 0.05 * s + 0.001 * (r % 13));
    }
  Frame f;
  f.add_column("column0", Column::texts(ticker));
  f.add_column("economist", Column::texts(economist));
  f.add_column("economistSurveyTimestamp", Column::timestamps(survey, "UTC"));
  f.add_column("estimate", Column::floats(estimate));
  f.add_column("dlSnapshotDate", Column::dates(snap));
  return f;
}

void report(const store::S3Client& client) {
  const auto st = client.stats();
  std::cout << "  (fetched with " << st.head_object << " HeadObject and " << st.get_object_range
            << " ranged GetObject requests, " << st.bytes_received << " bytes)\n";
}

void run() {
  auto client = from_s3::bucketry::s3_client();
  if (!client) throw std::runtime_error("no S3 client");
  formats::ParquetWriteOptions opt;
  opt.row_group_size = 2000;
  const auto bytes = formats::write_parquet(history(), opt);
  client->put_object("quorin-demo", ECOEST::file_path, bytes.data(), bytes.size());
  std::cout << "seeded s3://quorin-demo/" << ECOEST::file_path << " (" << bytes.size()
            << " bytes, 5 snapshots in 10 row groups)\n";
  ECOEST::bucket = "quorin-demo";

  std::cout << "\nsnapshot dates:";
  for (const Value& v : ECOEST::get_distinct("dlSnapshotDate", ECOEST::bucket, ECOEST::file_path))
    std::cout << " " << format_yyyymmdd(v.as_date());
  std::cout << "\n";

  client->reset_stats();
  const ECOEST latest;
  std::cout << "\nlatest snapshot: " << latest.data.num_rows() << " rows\n";
  report(*client);

  client->reset_stats();
  const ECOEST named(std::string("2024-01-12"));
  std::cout << "\nsnapshot 2024-01-12, first rows:\n";
  std::vector<std::size_t> head{0, 1, 2, 3};
  formats::write_csv(named.get_data(std::vector<std::string>{}).take(head), true, std::cout);
  report(*client);

  std::cout << "\nlatest snapshot, CPI and NFP surveyed 2024-01-31 to 2024-02-01 18:00 (time of day dropped):\n";
  const Frame picked = latest.get_data(std::vector<std::string>{"CPI YOY Index", "NFP TCH Index"},
                                      std::string("2024-01-31"), std::string("2024-02-01 18:00"));
  std::cout << picked.num_rows() << " rows, the first ones:\n";
  formats::write_csv(picked.take(head), true, std::cout);

  std::cout << "\na snapshot that does not exist:\n  ";
  try {
    ECOEST missing(std::string("2024-01-06"));
  } catch (const AssertionError& e) {
    std::cout << "AssertionError: " << e.what() << "\n";
  }
}

QUORIN_DEMO_SECTION(55, "Economist estimates (ECOEST) from a Parquet history read by ranges", run);

}  // namespace
