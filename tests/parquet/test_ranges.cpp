// Files read by byte ranges: the same tables as from memory, the footer from
// the tail, only the needed chunks, adjacent ones in one read, no byte twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/parquet.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;

namespace {

// An in-memory file that records every read.
struct Recorder : RangeSource {
  std::vector<std::uint8_t> bytes;
  std::vector<std::pair<std::uint64_t, std::size_t>> reads;
  std::size_t short_by = 0;  // answer this many bytes fewer than asked
  std::uint64_t size() override { return bytes.size(); }
  std::vector<std::uint8_t> read(std::uint64_t off, std::size_t len) override {
    reads.emplace_back(off, len);
    if (off > bytes.size() || len > bytes.size() - off) throw ValueError("read past the end");
    return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(off),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(off + len - std::min(len, short_by)));
  }
  std::uint64_t total() const {
    std::uint64_t t = 0;
    for (const auto& r : reads) t += r.second;
    return t;
  }
  // True when no byte was read twice.
  bool disjoint() const {
    auto r = reads;
    std::sort(r.begin(), r.end());
    for (std::size_t i = 1; i < r.size(); ++i)
      if (r[i - 1].first + r[i - 1].second > r[i].first) return false;
    return true;
  }
};

// Five snapshots of 250 rows (the last one 200) in row groups of 100, so
// that row groups 2 and 7 hold two snapshots; snapshot date first.
Frame history() {
  const std::size_t n = 1200;
  std::vector<std::int32_t> snap(n);
  std::vector<std::int64_t> id(n);
  std::vector<double> value(n);
  std::vector<std::string> text(n);
  for (std::size_t i = 0; i < n; ++i) {
    snap[i] = 19727 + static_cast<std::int32_t>(i / 250) * 7;
    id[i] = static_cast<std::int64_t>(i);
    value[i] = static_cast<double>(i) * 0.5;
    text[i] = "EV" + std::to_string(i % 37);
  }
  Frame f;
  f.add_column("dlSnapshotDate", Column::dates(snap));
  f.add_column("id", Column::ints(id));
  f.add_column("value", Column::floats(value));
  f.add_column("column0", Column::texts(text));
  return f;
}

template <class R = Recorder>
std::shared_ptr<R> recorder(const Frame& f) {
  ParquetWriteOptions o;
  o.row_group_size = 100;
  auto r = std::make_shared<R>();
  r->bytes = write_parquet(f, o);
  return r;
}

// A recorder that serves four reads at once (each takes a moment, so that
// they overlap) and remembers how many were in flight together.
struct ConcurrentRecorder : Recorder {
  std::mutex mu;
  std::atomic<int> in_flight{0}, most{0};
  std::size_t concurrent_reads() const override { return 4; }
  std::vector<std::uint8_t> read(std::uint64_t off, std::size_t len) override {
    const int now = ++in_flight;
    for (int m = most; m < now && !most.compare_exchange_weak(m, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::vector<std::uint8_t> r;
    {
      std::lock_guard<std::mutex> lock(mu);
      r = Recorder::read(off, len);
    }
    --in_flight;
    return r;
  }
};

}  // namespace

TEST(ParquetRanges, SameTablesFromFewerBytesEachFetchedOnce) {
  const Frame f = history();
  auto src = recorder(f);
  const auto mem = ParquetFile::open(std::make_shared<std::vector<std::uint8_t>>(src->bytes), "mem");

  // A file shorter than the first read of the tail: one read, then nothing.
  const auto whole = ParquetFile::open_ranges(src, "whole");
  EXPECT_EQ(whole.read(), mem.read());
  EXPECT_EQ(src->reads, (std::vector<std::pair<std::uint64_t, std::size_t>>{{0, src->bytes.size()}}));

  // A tail read shorter than the footer: one more read for the rest of it.
  auto ranged = recorder(f);
  const auto file = ParquetFile::open_ranges(ranged, "ranged", 12, 0);
  ASSERT_EQ(ranged->reads.size(), 2u);
  EXPECT_EQ(file.num_row_groups(), 12u);

  // One column of every row group: one read per chunk (none adjacent).
  std::vector<std::size_t> all(12);
  for (std::size_t g = 0; g < 12; ++g) all[g] = g;
  file.prefetch(all, std::vector<std::string>{"dlSnapshotDate"});
  for (std::size_t g = 0; g < 12; ++g)
    EXPECT_EQ(file.read_row_group(g, std::vector<std::string>{"dlSnapshotDate"}),
              mem.read_row_group(g, std::vector<std::string>{"dlSnapshotDate"}));
  EXPECT_EQ(ranged->reads.size(), 14u);

  // Statistics pin the one date of every row group but those two.
  for (std::size_t g = 0; g < 12; ++g) {
    const auto v = file.single_value(g, "dlSnapshotDate");
    EXPECT_EQ(v.has_value(), g != 2 && g != 7) << g;
    if (v) {
      EXPECT_EQ(v->as_date().days, 19727 + static_cast<std::int64_t>(g * 100 / 250) * 7) << g;
    }
  }
  EXPECT_FALSE(file.single_value(0, "column0"));

  // The equality filter: the three row groups of one snapshot (one shared,
  // two taken whole on their statistics); in each, the chunks not held yet
  // are adjacent and come in one read.
  const Value when(Timestamp{(19727 + 7) * kNanosPerDay, ""});
  ParquetReadStats st;
  const Frame snapshot = file.read_where_equal("dlSnapshotDate", when, std::nullopt, &st);
  std::vector<std::size_t> rows(250);
  for (std::size_t i = 0; i < 250; ++i) rows[i] = 250 + i;
  EXPECT_EQ(snapshot, mem.read().take(rows).reset_index());
  EXPECT_EQ(st.row_groups_decoded, 3u);
  EXPECT_EQ(ranged->reads.size(), 17u);
  EXPECT_LT(ranged->total(), ranged->bytes.size() / 2);

  // A whole read fetches only what is missing; no byte is ever read twice.
  EXPECT_EQ(file.read(), mem.read());
  EXPECT_TRUE(ranged->disjoint());
  EXPECT_EQ(file.bytes_fetched(), ranged->total());
  EXPECT_LE(ranged->total(), ranged->bytes.size() - 4);  // the leading magic is never needed
}

TEST(ParquetRanges, BadSourcesFailNamingTheFile) {
  auto src = recorder(history());
  // Not Parquet.
  auto junk = std::make_shared<Recorder>();
  junk->bytes.assign(5000, 'x');
  EXPECT_THROW(ParquetFile::open_ranges(junk, "junk"), FormatError);
  auto tiny = std::make_shared<Recorder>();
  tiny->bytes.assign(8, 'x');
  EXPECT_THROW(ParquetFile::open_ranges(tiny, "tiny"), FormatError);
  // A short answer is refused, not decoded.
  const auto file = ParquetFile::open_ranges(src, "short", 12);
  src->short_by = 1;
  try {
    file.read(std::vector<std::string>{"id"});
    FAIL();
  } catch (const FormatError& e) {
    EXPECT_NE(std::string(e.what()).find("short"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("returned"), std::string::npos) << e.what();
  }
}

TEST(ParquetRanges, NearbyRangesInOneReadSeparateOnesAtOnce) {
  const Frame f = history();
  const auto mem = ParquetFile::open(std::make_shared<std::vector<std::uint8_t>>(recorder(f)->bytes), "mem");
  std::vector<std::size_t> all(12);
  for (std::size_t g = 0; g < 12; ++g) all[g] = g;
  const std::vector<std::string> dates{"dlSnapshotDate"};

  // The date chunks lie a few hundred bytes apart: one read bridges them.
  auto near = recorder(f);
  const auto bridged = ParquetFile::open_ranges(near, "near", 12);
  bridged.prefetch(all, dates);
  EXPECT_EQ(near->reads.size(), 3u);
  EXPECT_EQ(bridged.read(dates), mem.read(dates));
  EXPECT_EQ(near->reads.size(), 3u);
  EXPECT_EQ(bridged.read(), mem.read());
  EXPECT_LE(near->total(), near->bytes.size());

  // Without bridging, twelve reads, several in flight at once. A short
  // answer among them fails the fetch and keeps nothing; the next fetch of
  // the same chunks reads them again.
  auto apart = recorder<ConcurrentRecorder>(f);
  const auto file = ParquetFile::open_ranges(apart, "apart", 12, 0);
  apart->short_by = 1;
  EXPECT_THROW(file.prefetch(all, dates), FormatError);
  apart->short_by = 0;
  apart->reads.clear();
  file.prefetch(all, dates);
  EXPECT_EQ(apart->reads.size(), 12u);
  EXPECT_GT(apart->most.load(), 1);

  // The rows of one snapshot: three row groups, each decoded while the next
  // one arrives. A short answer there fails the read as well.
  const Value when(Date{19727 + 7});
  apart->short_by = 1;
  EXPECT_THROW(file.read_where_equal("dlSnapshotDate", when), FormatError);
  apart->short_by = 0;
  EXPECT_EQ(file.read_where_equal("dlSnapshotDate", when), mem.read_where_equal("dlSnapshotDate", when));
  EXPECT_EQ(file.read(), mem.read());
}
