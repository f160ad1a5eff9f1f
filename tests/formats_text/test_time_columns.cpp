// Times of day and zoned timestamps through the writers and our serialization.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "quorin_data/core.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/formats/serialize.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;

namespace {

Frame event_frame() {
  const std::int64_t utc = (days_from_civil(2024, 1, 5) * 86400LL + 13 * 3600 + 30 * 60) * kNanosPerSecond;
  Frame f;
  f.add_column("event_datetime", Column::timestamps({utc, 0}, "America/New_York", {1, 0}));
  f.add_column("event_time", Column::times({(8 * 3600 + 30 * 60) * kNanosPerSecond + 250000000, 0}, {1, 0}));
  return f;
}

}  // namespace

TEST(TimeColumns, CsvSerializationAndParquetKeepThem) {
  const Frame f = event_frame();
  EXPECT_EQ(write_csv(f, false), "event_datetime,event_time\n2024-01-05 08:30:00-05:00,08:30:00.250000\n,\n");

  const auto bytes = serialize(Value(f));
  EXPECT_EQ(deserialize(bytes.data(), bytes.size(), "mem").as_frame(), f);
  // A time of day outside the day does not decode.
  Frame bad;
  bad.add_column("t", Column::times({123456789}));
  auto raw = serialize(Value(bad));
  const std::int64_t marker = 123456789, day = kNanosPerDay;
  const auto* m = reinterpret_cast<const std::uint8_t*>(&marker);
  auto it = std::search(raw.begin(), raw.end(), m, m + 8);
  ASSERT_NE(it, raw.end());
  std::memcpy(&*it, &day, 8);
  EXPECT_THROW(deserialize(raw.data(), raw.size(), "mem"), FormatError);

  // Parquet holds times of day as TIME(NANOS); our reader gives their text.
  const auto pq = write_parquet(f.select({"event_time"}));
  Frame back = read_parquet(pq.data(), pq.size(), "mem");
  EXPECT_EQ(back.column("event_time").cell_text(0), "08:30:00.250000");
  EXPECT_TRUE(back.column("event_time").is_missing(1));
}
