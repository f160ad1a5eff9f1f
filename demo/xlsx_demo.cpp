// Demo of the workbook format: a small release calendar written as a
// one-sheet workbook to bucket "quorin-demo" (row labels as first column),
// read back through read_from_s3(..., "xlsx") and compared column by column.
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "quorin_data/formats/csv.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "sections.hpp"

namespace {

namespace bucketry = quorin_data::from_s3::bucketry;
using namespace quorin_data;

void xlsx_section() {
  Frame table;
  table.add_column("ticker", Column::texts({"NFP TCH Index", "CPI YOY Index", "GDP CQOQ Index", "IP CHNG Index"}));
  table.add_column("release", Column::timestamps({parse_datetime_ns("2024-03-08 13:30:00"),
                                                  parse_datetime_ns("2024-03-12 12:30:00"),
                                                  parse_datetime_ns("2024-03-28 12:30:00"), 0},
                                                 {}, {1, 1, 1, 0}));
  table.add_column("survey", Column::floats({200, 3.1, kNaN, 0.1}));
  table.add_column("revisions", Column::ints({2, 0, 1, 3}));
  table.add_column("high_impact", Column::bools({1, 1, 1, 0}));
  table.add_column("period", Column::dates({days_from_civil(2024, 2, 29), days_from_civil(2024, 2, 29),
                                            days_from_civil(2023, 12, 31), days_from_civil(2024, 2, 29)}));
  table.set_index(Index::texts({"nfp", "cpi", "gdp", "ip"}));

  bucketry::write_to_s3(Value(table), "demo/calendar.xlsx", "xlsx", true, "quorin-demo");
  std::cout << "wrote " << table.num_rows() << " rows x " << table.num_columns()
            << " columns to s3://quorin-demo/" << bucketry::PREFIX
            << "/demo/calendar.xlsx (row labels as first column)\n";
  const Value back = bucketry::read_from_s3("demo/calendar.xlsx", "xlsx", "quorin-demo");
  if (!back.is_frame()) throw std::runtime_error("xlsx read did not give a table");
  const Frame& got = back.as_frame();
  std::cout << "read back through read_from_s3(..., \"xlsx\"):\n";
  formats::write_csv(got, false, std::cout);

  // The labels come back as the first column, dates as timestamps at midnight.
  bool same = got.num_rows() == table.num_rows() && got.names().size() == 7 && got.names()[0] == "Unnamed: 0" &&
              got.column_at(0) == Column::texts(table.index().text_labels());
  for (const char* name : {"ticker", "release", "survey", "revisions", "high_impact"})
    same = same && got.column(name) == table.column(name);
  const Column& period = got.column("period");
  for (std::size_t i = 0; same && i < table.num_rows(); ++i)
    same = period.type() == DType::Timestamp && period.integer(i) == table.column("period").integer(i) * kNanosPerDay;
  std::cout << "columns and types " << (same ? "as written" : "DIFFERENT") << " (int64, float64 with a gap, bool, "
            << "text, timestamps with a missing one)\n";
  if (!same) throw std::runtime_error("workbook did not read back as written");
}

}  // namespace

QUORIN_DEMO_SECTION(45, "Workbooks: a calendar written as xlsx and read back", xlsx_section);
