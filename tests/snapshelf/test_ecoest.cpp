// ECOEST against the real s3rver: histories written by our writer and by
// DuckDB, the snapshot choice, the filters, the bytes a construction fetches
// and the failures on bad objects and arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "from_s3/bucketry/client.hpp"
#include "parquet/peer.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "quorin_data/from_s3/snapshelf/ecoest.hpp"
#include "store/fake_http.hpp"
#include "store/s3_client.hpp"
#include "support/s3_env.hpp"
#include "support/error_of.hpp"

using namespace quorin_data;
using quorin_data::from_s3::snapshelf::ECOEST;

namespace {

const char* kBucket = "quorin-macro-base-data";

std::int64_t ns_of(const char* text) { return parse_datetime_ns(text); }

// Three weekly snapshots in row groups of four rows. Snapshot 20240112:
//   0 CPI   2023-12-31 23:59     4 NFP  2024-01-31 09:00
//   1 CPI   2024-01-01 00:00     5 NFP  2024-01-31 23:30
//   2 CPI   2024-01-15 12:00     6 CPI  2024-02-01 00:00
//   3 NFP   2024-01-20 08:00     7 GDP  (missing survey time)
Frame our_history() {
  const char* surveys[8] = {"2023-12-31 23:59", "2024-01-01 00:00", "2024-01-15 12:00", "2024-01-20 08:00",
                            "2024-01-31 09:00", "2024-01-31 23:30", "2024-02-01 00:00", nullptr};
  const char* tickers[8] = {"CPI YOY Index", "CPI YOY Index", "CPI YOY Index", "NFP TCH Index",
                            "NFP TCH Index", "NFP TCH Index", "CPI YOY Index", "GDP CQOQ Index"};
  std::vector<std::string> t;
  std::vector<std::int64_t> survey, snap;
  std::vector<std::uint8_t> survey_ok;
  std::vector<double> est;
  for (int s = 0; s < 3; ++s)
    for (int i = 0; i < 8; ++i) {
      t.push_back(tickers[i]);
      survey.push_back(surveys[i] ? ns_of(surveys[i]) : 0);
      survey_ok.push_back(surveys[i] != nullptr);
      snap.push_back((days_from_civil(2023, 12, 29) + 7 * s) * kNanosPerDay);
      est.push_back(s * 100 + i + 0.5);
    }
  Frame f;
  f.add_column("column0", Column::texts(t));
  f.add_column("economistSurveyTimestamp", Column::timestamps(survey, "", survey_ok));
  f.add_column("dlSnapshotDate", Column::timestamps(snap));
  f.add_column("estimate", Column::floats(est));
  return f;
}

class EcoestStore : public ::testing::Test {
 protected:
  void SetUp() override {
    QUORIN_REQUIRE_S3();
    saved_bucket_ = ECOEST::bucket;
    saved_path_ = ECOEST::file_path;
    ECOEST::bucket = kBucket;
    client_ = from_s3::bucketry::s3_client();
    ASSERT_TRUE(client_);
    formats::ParquetWriteOptions o;
    o.row_group_size = 4;
    put(ECOEST::file_path, formats::write_parquet(our_history(), o));
  }
  void TearDown() override {
    if (!saved_path_.empty()) {
      ECOEST::bucket = saved_bucket_;
      ECOEST::file_path = saved_path_;
    }
  }
  void put(const std::string& key, const std::vector<std::uint8_t>& bytes, const char* bucket = kBucket) {
    client_->put_object(bucket, key, bytes.data(), bytes.size());
  }

  std::string saved_bucket_, saved_path_;
  std::shared_ptr<store::S3Client> client_;
};

std::vector<std::string> texts(const Frame& f, const char* col) {
  std::vector<std::string> out;
  const Column& c = f.column(col);
  for (std::size_t i = 0; i < f.num_rows(); ++i) out.push_back(c.is_missing(i) ? "<missing>" : c.cell_text(i));
  return out;
}

TEST_F(EcoestStore, SnapshotChoice) {
  // One progress line over the row groups, whether their dates come from the
  // statistics (as here) or are read.
  testing::internal::CaptureStderr();
  ECOEST latest;
  const std::string progress = testing::internal::GetCapturedStderr();
  EXPECT_NE(progress.find("\rRetrieving snapshot dates 1: 0/"), std::string::npos) << progress;
  EXPECT_EQ(std::count(progress.begin(), progress.end(), '\n'), 1) << progress;
  EXPECT_EQ(latest.data.names(),
            (std::vector<std::string>{"column0", "economistSurveyTimestamp", "dlSnapshotDate", "estimate"}));
  EXPECT_EQ(texts(latest.data, "estimate"),
            (std::vector<std::string>{"200.5", "201.5", "202.5", "203.5", "204.5", "205.5", "206.5", "207.5"}));
  EXPECT_TRUE(latest.data.index().is_default_range());

  const auto dates = ECOEST::get_distinct("dlSnapshotDate", kBucket, ECOEST::file_path);
  ASSERT_EQ(dates.size(), 3u);
  EXPECT_EQ(dates[0].as_timestamp().ns, days_from_civil(2023, 12, 29) * kNanosPerDay);

  const ECOEST dashed(std::string("2024-01-05"));
  const ECOEST plain(std::string("20240105"));
  EXPECT_EQ(dashed.data, plain.data);
  EXPECT_EQ(texts(plain.data, "estimate")[0], "100.5");

  EXPECT_EQ(error_of([] { ECOEST bad(std::string("20240106")); }),
            "20240106 is not valid. Valid snapshot dates: ['20231229', '20240105', '20240112'].");
  EXPECT_THROW(ECOEST(std::string("2024-01-06")), AssertionError);
  // One row group for all three snapshots: its statistics name only the
  // first and the last, the one between is found by reading the dates.
  formats::ParquetWriteOptions one_group;
  one_group.row_group_size = 24;
  put(ECOEST::file_path, formats::write_parquet(our_history(), one_group));
  testing::internal::CaptureStderr();
  EXPECT_EQ(ECOEST(std::string("20240105")).data, plain.data);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\rRetrieving snapshot dates 1: 0/1\rRetrieving snapshot dates 1: 1/1\n");
  EXPECT_EQ(ECOEST().data, latest.data);
  EXPECT_EQ(error_of([] { ECOEST bad(std::string("20240106")); }),
            "20240106 is not valid. Valid snapshot dates: ['20231229', '20240105', '20240112'].");

  // Read through the default store's client, whichever a program put there.
  auto own = std::make_shared<store::S3Client>(client_->config());
  auto previous = from_s3::bucketry::set_s3_client(own);
  const bool read = [&] {
    try {
      return ECOEST().data == latest.data && own->stats().get_object > 0;
    } catch (...) {
      return false;
    }
  }();
  from_s3::bucketry::set_s3_client(nullptr);
  const std::string none = error_of([] { ECOEST e; });
  from_s3::bucketry::set_s3_client(previous);
  EXPECT_TRUE(read);
  EXPECT_EQ(none, "name 's3_client' is not defined");
}

TEST_F(EcoestStore, DateAndTickerFilters) {
  const ECOEST e;
  // No filter: every row, the ticker column renamed, the stored labels.
  const Frame all = e.get_data(std::vector<std::string>{});
  EXPECT_EQ(all.names()[0], "event_ticker");
  EXPECT_EQ(all.num_rows(), 8u);
  EXPECT_EQ(e.data.names()[0], "column0");  // data keeps its names

  // January, both ends inclusive, one ticker, relabelled from 0.
  const Frame jan = e.get_data(std::vector<std::string>{"NFP TCH Index"}, std::string("20240101"), std::string("20240131"));
  EXPECT_EQ(texts(jan, "estimate"), (std::vector<std::string>{"203.5", "204.5", "205.5"}));
  EXPECT_TRUE(jan.index().is_default_range());

  // A time of day in a bound is cut to its date: the whole day counts.
  const Frame from = e.get_data(std::vector<std::string>{}, std::string("2024-01-31 18:00"), std::nullopt);
  EXPECT_EQ(texts(from, "estimate"), (std::vector<std::string>{"204.5", "205.5", "206.5"}));
  const Frame until = e.get_data(std::vector<std::string>{}, std::nullopt, std::string("2024-01-01 06:00"));
  EXPECT_EQ(texts(until, "estimate"), (std::vector<std::string>{"200.5", "201.5"}));

  // The ticker filter alone keeps order and relabels.
  const Frame gdp = e.get_data(std::vector<std::string>{"GDP CQOQ Index", "NONE Index"});
  EXPECT_EQ(texts(gdp, "estimate"), std::vector<std::string>{"207.5"});
  EXPECT_EQ(gdp.index().int_label(0), 0);

  EXPECT_THROW(e.get_data(std::vector<std::string>{}, std::string("not a date")), ValueError);


  // Argument kinds, checked before any work.
  EXPECT_EQ(error_of([&] { e.get_data(Value("CPI YOY Index")); }),
            "Argument 'tickers' has incorrect type (expected list, got str)");
  EXPECT_EQ(error_of([&] { e.get_data(Value(List{}), Value(20240101)); }),
            "Argument 'start' has incorrect type (expected str, got int)");
  EXPECT_EQ(error_of([&] { e.get_data(Value(List{}), Value(), Value(1.5)); }),
            "Argument 'end' has incorrect type (expected str, got float)");
  EXPECT_EQ(error_of([] { ECOEST::create(Value(20240105)); }),
            "Argument 'as_of_date' has incorrect type (expected str, got int)");
  EXPECT_EQ(error_of([] { ECOEST::get_distinct(Value("dlSnapshotDate"), Value(kBucket), Value()); }),
            "Argument 'key' has incorrect type (expected str, got NoneType)");
  ECOEST copy = e;
  EXPECT_THROW(copy.get_data(std::string("20240112")), TypeError);
  EXPECT_EQ(ECOEST::create(Value()).data, e.data);

  // Zoned survey times count by their wall-clock date in their zone.
  Frame zoned = our_history();
  zoned.set_column("economistSurveyTimestamp", zoned.column("economistSurveyTimestamp").with_zone("America/New_York"));
  put(ECOEST::file_path, formats::write_parquet(zoned));
  EXPECT_EQ(texts(ECOEST().get_data(std::vector<std::string>{}, std::string("20240101"), std::string("20240131")),
                  "estimate"),
            (std::vector<std::string>{"202.5", "203.5", "204.5", "205.5", "206.5"}));
}

// A history written by DuckDB, with the snapshot date as DATE and as
// TIMESTAMP: the snapshot equals DuckDB's own answer, and a construction
// fetches little more than the footer, the snapshot-date chunks and the
// snapshot's row groups (as DuckDB's metadata gives their sizes).
TEST_F(EcoestStore, DuckdbHistoryReadsAsDuckdbAnswersFromFewBytes) {
  pq_test::TempDir dir;
  for (const char* type : {"DATE", "TIMESTAMP"}) {
    SCOPED_TRACE(type);
    const std::string file = dir.file(std::string(type) + ".parquet");
    pq_test::duck_exec({std::string("COPY (SELECT 'EV' || (i % 40) || ' Index' AS column0, ") +
                        "CAST(DATE '2024-01-05' + ((i // 10000) * 7)::INTEGER AS " + type + ") AS dlSnapshotDate, " +
                        "TIMESTAMP '2023-12-01 00:00:00' + to_seconds(i * 7919 % 6000000) AS economistSurveyTimestamp, " +
                        "(i % 997) * 0.125 AS estimate, 'economist ' || (i % 131) AS economist, i AS id " +
                        "FROM range(80000) t(i)) TO '" + file + "' (FORMAT parquet, ROW_GROUP_SIZE 4096)"});
    const auto bytes = pq_test::read_bytes(file);
    put(ECOEST::file_path, bytes);

    auto& client = *client_;
    client.reset_stats();
    const ECOEST e(std::string("2024-01-19"));
    const auto st = client.stats();
    const auto want =
        pq_test::duck_dump(file, std::string("dlSnapshotDate = CAST(DATE '2024-01-19' AS ") + type + ")");
    ASSERT_EQ(want.rows.size(), 10000u);
    pq_test::expect_same(e.data, want, type);

    // Bytes: footer (with its length and magic) + snapshot-date chunks + the
    // row groups whose statistics admit the date, plus at most the first
    // read of the tail.
    std::uint32_t footer = 0;
    std::memcpy(&footer, bytes.data() + bytes.size() - 8, 4);
    const std::string meta = "parquet_metadata(" + pq_test::shell_quote(file) + ")";
    const std::string admits = " WHERE path_in_schema = 'dlSnapshotDate' AND CAST(stats_min AS TIMESTAMP) <= "
                               "TIMESTAMP '2024-01-19' AND CAST(stats_max AS TIMESTAMP) >= TIMESTAMP '2024-01-19'";
    const std::uint64_t ideal =
        std::stoull(pq_test::duck_query("SELECT sum(total_compressed_size) FROM " + meta +
                                        " WHERE path_in_schema = 'dlSnapshotDate' OR row_group_id IN "
                                        "(SELECT row_group_id FROM " + meta + admits + ")")) +
        footer + 8;
    const std::uint64_t chosen = std::stoull(pq_test::duck_query("SELECT count(*) FROM " + meta + admits));
    EXPECT_EQ(st.head_object, 0u);
    EXPECT_LE(st.bytes_received, ideal + (64 << 10));
    EXPECT_LT(st.bytes_received * 3, bytes.size());
    // The tail (two requests from s3rver, which reads a suffix range from the
    // start), at most one more for the footer, the snapshot-date chunks of
    // the candidate row groups not taken whole on their statistics (the date
    // is chosen from the statistics, no other chunk is read), one per
    // row group of the snapshot.
    EXPECT_LE(st.get_object_range, 5 + chosen);
    EXPECT_GE(chosen, 3u);
    EXPECT_EQ(st.get_object, st.get_object_range);

    // The latest snapshot and the distinct dates, as DuckDB has them.
    const ECOEST latest;
    EXPECT_EQ(latest.data.num_rows(), 10000u);
    EXPECT_EQ(texts(latest.data, "id")[0], "70000");
    const auto distinct = ECOEST::get_distinct("dlSnapshotDate", kBucket, ECOEST::file_path);
    ASSERT_EQ(distinct.size(), 8u);
    EXPECT_EQ(std::string(type) == "DATE" ? distinct[7].as_date().days
                                          : date_of_ns(distinct[7].as_timestamp().ns).days,
              days_from_civil(2024, 2, 23));
  }
}

TEST_F(EcoestStore, BadObjectsFailNamingTheObject) {
  auto expect_error = [&](const std::string& key, const std::vector<std::uint8_t>& bytes, const std::string& part) {
    put(key, bytes);
    ECOEST::file_path = key;
    const std::string msg = error_of([] { ECOEST e; });
    EXPECT_NE(msg.find("s3://quorin-macro-base-data/" + key), std::string::npos) << msg;
    EXPECT_NE(msg.find(part), std::string::npos) << msg;
  };
  Frame f = our_history();
  {
    Frame g = f;
    std::vector<std::int64_t> days(g.num_rows(), 20240105);
    g.set_column("dlSnapshotDate", Column::ints(days));
    expect_error("bad/int_dates.parquet", formats::write_parquet(g), "not dates or timestamps");
  }
  for (const char* missing : {"column0", "economistSurveyTimestamp", "dlSnapshotDate"}) {
    Frame g = f;
    g.drop_column(missing);
    expect_error(std::string("bad/no_") + missing + ".parquet", formats::write_parquet(g), missing);
  }
  const std::string csv = "column0,dlSnapshotDate\nCPI,2024-01-05\n";
  expect_error("bad/not_parquet.parquet", std::vector<std::uint8_t>(csv.begin(), csv.end()), "wrong magic");
  expect_error("bad/empty.parquet", formats::write_parquet(Frame(f).take({})), "no snapshot date");
  expect_error("bad/zero_bytes.parquet", {}, "file too short to be Parquet (0 bytes)");
  ECOEST::file_path = "bad/no such object.parquet";
  EXPECT_THROW(ECOEST(), StoreError);

  // A range answer shorter than asked (the store cuts a range at the end of
  // the object) is refused, naming the object and the range.
  const auto small = formats::write_parquet(f);
  put("bad/small.parquet", small);
  const std::string msg = error_of([&] { client_->get_object_range(kBucket, "bad/small.parquet", small.size() - 10, 20); });
  EXPECT_NE(msg.find("s3://quorin-macro-base-data/bad/small.parquet"), std::string::npos) << msg;
  EXPECT_NE(msg.find("holds 10 bytes"), std::string::npos) << msg;
  const auto r = client_->get_object_range(kBucket, "bad/small.parquet", 4, 8);
  EXPECT_EQ(r.bytes, std::vector<std::uint8_t>(small.begin() + 4, small.begin() + 12));
  EXPECT_EQ(r.object_size, small.size());
}

}  // namespace

// A store that sends no ETag: nothing would tie the ranges read after the
// tail to the tail's version, so the history is read whole in one GET (the
// object is replaced after the first answer here; what loads is the second
// version, from no ranged read).
TEST(EcoestNoETag, ReadWholeInOneGet) {
  formats::ParquetWriteOptions o;
  o.row_group_size = 8192;
  o.codec = formats::ParquetWriteOptions::Codec::Uncompressed;
  o.dictionary = false;  // two versions of one size
  // The history 2,000 times over: more than the tail read brings.
  const Frame one = our_history();
  std::vector<std::string> t;
  std::vector<std::int64_t> survey, snap;
  std::vector<std::uint8_t> survey_ok;
  std::vector<double> base;
  for (int k = 0; k < 2000; ++k)
    for (std::size_t i = 0; i < one.num_rows(); ++i) {
      t.push_back(one.column("column0").cell_text(i));
      survey_ok.push_back(!one.column("economistSurveyTimestamp").is_missing(i));
      survey.push_back(survey_ok.back() ? one.column("economistSurveyTimestamp").integer(i) : 0);
      snap.push_back(one.column("dlSnapshotDate").integer(i));
      base.push_back(one.column("estimate").f64()[i]);
    }
  Frame h;
  h.add_column("column0", Column::texts(t));
  h.add_column("economistSurveyTimestamp", Column::timestamps(survey, "", survey_ok));
  h.add_column("dlSnapshotDate", Column::timestamps(snap));
  h.add_column("estimate", Column::floats(base));
  const auto v1 = formats::write_parquet(h, o);
  std::vector<double> est(h.num_rows());
  for (std::size_t i = 0; i < est.size(); ++i) est[i] = h.column("estimate").f64()[i] + 1000;
  h.set_column("estimate", Column::floats(est));
  const auto v2 = formats::write_parquet(h, o);
  ASSERT_EQ(v1.size(), v2.size());
  std::mutex mu;
  std::vector<std::string> ranges;
  quorin_test::FakeHttpServer s([&](const quorin_test::FakeRequest& r) {
    std::lock_guard<std::mutex> lock(mu);
    const auto& object = ranges.empty() ? v1 : v2;
    auto range = r.headers.find("range");
    ranges.push_back(range == r.headers.end() ? "" : range->second);
    quorin_test::FakeResponse out;
    if (range == r.headers.end()) {
      out.body.assign(object.begin(), object.end());
      return out;
    }
    unsigned long a = 0, b = 0, n = object.size();
    if (std::sscanf(range->second.c_str(), "bytes=-%lu", &b) == 1) {
      a = n - std::min(b, n);
      b = n - 1;
    } else {
      std::sscanf(range->second.c_str(), "bytes=%lu-%lu", &a, &b);
      b = std::min(b, n - 1);
    }
    out.status = 206;
    out.body.assign(object.begin() + static_cast<long>(a), object.begin() + static_cast<long>(b) + 1);
    out.headers.emplace_back("Content-Range",
                             "bytes " + std::to_string(a) + "-" + std::to_string(b) + "/" + std::to_string(n));
    return out;
  });
  store::ClientConfig cfg;
  cfg.endpoint = s.url();
  cfg.creds.access_key_id = "AKIDFAKE";
  cfg.creds.secret_access_key = "secret";
  cfg.retry_base_ms = 1;
  auto store = from_s3::bucketry::store_on(std::make_shared<store::S3Client>(cfg), "bkt");
  testing::internal::CaptureStderr();
  ECOEST e(std::nullopt, store, "history.parquet");
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[0].rfind("bytes=-", 0), 0u) << ranges[0];
  ASSERT_GT(e.data.num_rows(), 0u);
  for (std::size_t i = 0; i < e.data.num_rows(); ++i) EXPECT_GT(e.data.column("estimate").f64()[i], 1000) << i;
}
