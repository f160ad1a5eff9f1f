// Demo of the Parquet codec: a table of dated snapshots written with our
// writer (ZSTD, one row group per snapshot), stored in bucket "quorin-demo",
// read back through read_from_s3, then one snapshot picked by the equality
// filter, which skips the row groups whose statistics rule the date out.
#include <iostream>
#include <memory>
#include <stdexcept>

#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "sections.hpp"

namespace {

namespace bucketry = quorin_data::from_s3::bucketry;
using namespace quorin_data;
using namespace quorin_data::formats;

void parquet_section() {
  // 8 weekly snapshots of 250 estimates each.
  std::vector<std::int32_t> snap;
  std::vector<std::int64_t> survey;
  std::vector<std::string> ticker;
  std::vector<double> estimate;
  for (int s = 0; s < 8; ++s)
    for (int r = 0; r < 250; ++r) {
      snap.push_back(static_cast<std::int32_t>(days_from_civil(2024, 1, 5) + s * 7));
      survey.push_back((std::int64_t{days_from_civil(2024, 1, 1)} + s * 7) * kNanosPerDay + r * 60 * kNanosPerSecond);
      ticker.push_back("EV" + std::to_string(r % 25) + " Index");
      estimate.push_back(r % 7 == 0 ? kNaN : 0.1 * (r % 30) - 1.0);
    }
  Frame table;
  table.add_column("dlSnapshotDate", Column::dates(snap));
  table.add_column("economistSurveyTimestamp", Column::timestamps(survey, "UTC"));
  table.add_column("column0", Column::texts(ticker));
  table.add_column("estimate", Column::floats(estimate));
  ParquetWriteOptions opt;
  opt.codec = ParquetWriteOptions::Codec::Zstd;
  opt.row_group_size = 250;
  auto bytes = write_parquet(table, opt);
  std::cout << "wrote " << table.num_rows() << " rows as Parquet: " << bytes.size()
            << " bytes, ZSTD, dictionary-encoded texts, 8 row groups\n";

  Bytes buffer;
  buffer.data = bytes;
  bucketry::write_to_s3(Value(std::move(buffer)), "demo/estimates.parquet", "bytesio", true, "quorin-demo");
  const Value back = bucketry::read_from_s3("demo/estimates.parquet", "parquet", "quorin-demo");
  const bool same = back.is_frame() && back.as_frame() == table;
  std::cout << "read back through read_from_s3(..., \"parquet\"): " << (same ? "equal" : "DIFFERENT") << "\n";
  if (!same) throw std::runtime_error("Parquet object did not read back equal");

  const auto file = ParquetFile::open(std::make_shared<std::vector<std::uint8_t>>(std::move(bytes)), "estimates");
  ParquetReadStats st;
  const Value when(Timestamp{(std::int64_t{days_from_civil(2024, 1, 5)} + 21) * kNanosPerDay, ""});
  const Frame one = file.read_where_equal("dlSnapshotDate", when, std::nullopt, &st);
  std::cout << "snapshot 2024-01-26 by the equality filter: " << one.num_rows() << " rows; row groups decoded "
            << st.row_groups_decoded << ", skipped " << st.row_groups_skipped << " of " << st.row_groups_total << "\n";
  if (one.num_rows() != 250 || st.row_groups_decoded != 1) throw std::runtime_error("filter read the wrong rows");
  std::cout << "first rows of row group 3 (columns column0, estimate):\n";
  const Frame rg = file.read_row_group(3, std::vector<std::string>{"column0", "estimate"});
  std::cout << write_csv(rg.take({0, 1, 2, 3}), true);
  bucketry::delete_s3_object("demo/estimates.parquet", "quorin-demo");
}

}  // namespace

QUORIN_DEMO_SECTION(40, "Parquet: snapshots by row group, read back and filtered", parquet_section);
