// querywork: helpers, the economic calendar and the identifier/FIGI mappings,
// over the local stand-in service and a scripted one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "quorin_data/core.hpp"
#include "quorin_data/from_bqia/querywork.hpp"
#include "support/error_of.hpp"
#include "support/column_values.hpp"

using namespace quorin_data;
using namespace quorin_data::from_bqia;
using namespace quorin_data::from_bqia::querywork;

namespace {

std::string sample() { return std::string(QUORIN_SOURCE_DIR) + "/data/bql_sample"; }

std::int64_t at(int y, unsigned m, unsigned d, int hh, int mi, int ss = 0) {
  return days_from_civil(y, m, d) * kNanosPerDay + ((hh * 60LL + mi) * 60 + ss) * kNanosPerSecond;
}

std::vector<std::string> texts_of(const Column& c) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < c.size(); ++i) out.push_back(c.is_missing(i) ? "<NA>" : c.cell_text(i));
  return out;
}

// The stand-in, with calendar requests of chosen years failing or answered by
// a given frame.
class ScriptedService : public bql::LocalService {
 public:
  ScriptedService() : LocalService(sample()) {}
  std::string failing_year;
  std::optional<Frame> calendar_answer;
  using LocalService::execute;
  bql::Results execute(const bql::Request& r) override {
    const std::string text = r.text();
    if (text.find("calendar") != std::string::npos) {
      if (!failing_year.empty() && text.find(failing_year + "-01-01") != std::string::npos)
        throw bql::ServiceError("calendar service unavailable for " + failing_year);
      if (calendar_answer) return bql::Results({bql::Result("Calendar", *calendar_answer)});
    }
    return LocalService::execute(r);
  }
};

std::size_t calendar_requests(const bql::LocalService& s) {
  std::size_t n = 0;
  for (const auto& r : s.requests()) n += r.text().find("calendar") != std::string::npos;
  return n;
}

void use_provider(bool on) {
  if (on) bql::set_service_provider([] { return std::make_shared<bql::LocalService>(sample()); });
  else bql::set_service_provider(nullptr);
  bq_handle().reset();
}

}  // namespace

TEST(Helpers, SignsAndCalendarZoneTexts) {
  EXPECT_EQ(_invert_sign("-"), "+");
  EXPECT_EQ(_invert_sign("+"), "-");
  EXPECT_EQ(_invert_sign("x"), std::nullopt);
  EXPECT_EQ(convert_tz("GMT+08:00").name(), "Etc/GMT-8");
  EXPECT_EQ(convert_tz("GMT-05:00").name(), "Etc/GMT+5");
  EXPECT_EQ(convert_tz("GMT+00:00").name(), "Etc/GMT-0");
  // Offsets with minutes keep them.
  const Zone ist = convert_tz("GMT+05:30");
  EXPECT_EQ(ist.offset_ns_at(0), (5 * 3600 + 1800) * kNanosPerSecond);
  EXPECT_EQ(convert_tz("GMT-03:30").offset_ns_at(0), -(3 * 3600 + 1800) * kNanosPerSecond);
  EXPECT_EQ(error_of([] { convert_tz("GMT0800"); }), "zone text 'GMT0800' has no sign (expected GMT+HH:MM)");
  EXPECT_THROW(convert_tz("GMT+ab:00"), ValueError);
  EXPECT_EQ(error_of([] { convert_tz("GMT+15:00"); }), "No time zone found with key 'Etc/GMT-15'");
  EXPECT_EQ(error_of([] { _on_request_error({Value(1)}, Kwargs{{"detail", Value("x")}}); }),
            "_on_request_error() got an unexpected keyword argument 'detail'");
  EXPECT_NO_THROW(_on_request_error({Value(1), Value("ServiceError"), Value("boom")}));
}

TEST(Helpers, RoundEventDatetimeKeepsSubSecondsAndCrossesMidnight) {
  auto r = [](std::int64_t ns, bool down, std::string tz = {}) {
    return round_event_datetime(Timestamp{ns, tz}, down).ns;
  };
  EXPECT_EQ(r(at(2024, 1, 5, 10, 15), true), at(2024, 1, 5, 10, 15));
  EXPECT_EQ(r(at(2024, 1, 5, 10, 15), false), at(2024, 1, 5, 10, 15));
  EXPECT_EQ(r(at(2024, 1, 5, 10, 15, 30), true), at(2024, 1, 5, 10, 15));
  EXPECT_EQ(r(at(2024, 1, 5, 10, 15, 30), false), at(2024, 1, 5, 10, 16));
  EXPECT_EQ(r(at(2024, 12, 31, 23, 59, 30), false), at(2025, 1, 1, 0, 0));
  EXPECT_EQ(r(at(2024, 1, 5, 10, 15, 30) + 123456000, true), at(2024, 1, 5, 10, 15) + 123456000);
  EXPECT_EQ(r(at(2024, 1, 5, 10, 15, 0) + 123456000, true), at(2024, 1, 5, 10, 15) + 123456000);
  EXPECT_EQ(r(at(1969, 12, 31, 23, 59, 59), true), at(1969, 12, 31, 23, 59));
  // The seconds of the wall-clock time in the value's zone (New York's 1880
  // offset was -4:56:02).
  EXPECT_EQ(r(at(1880, 1, 1, 12, 0, 0), true, "America/New_York"), at(1880, 1, 1, 11, 59, 2));
  Column col = Column::timestamps({at(2024, 1, 5, 8, 30, 45), 0}, "America/New_York", {1, 0});
  Column down = round_event_datetime(col);
  EXPECT_EQ(texts_of(down), (std::vector<std::string>{"2024-01-05 03:30:00-05:00", "<NA>"}));
}

TEST(Helpers, SplitDateRangeByTradingYears) {
  auto bq = std::make_shared<bql::LocalService>(sample());
  EXPECT_EQ(_split_date_range(bq, "2024-02-01", "2024-03-01"), std::vector<int>{2024});
  EXPECT_EQ(_split_date_range(bq, "2023-06-01", "2025-02-01"), (std::vector<int>{2023, 2024, 2025}));
  // 2023-12-30 and 31 are a weekend: the last trading date is in 2023.
  EXPECT_EQ(_split_date_range(bq, "2023-12-01", "2023-12-31"), std::vector<int>{2023});
  EXPECT_EQ(bq->requests()[0].text(),
            "get(px_last=data.px_last(dates=range('2024-02-01', '2024-03-01'))) for('JPY Curncy')");
  EXPECT_THROW(_split_date_range(bq, "2030-01-01", "2030-02-01"), ValueError);
  EXPECT_EQ(error_of([&] { _split_date_range(bq, "2024-13-45", "2024-12-31"); }),
            "Unknown datetime string format, unable to parse: 2024-13-45");
  EXPECT_THROW(_split_date_range(nullptr, "2024-01-01", "2024-12-31"), TypeError);
}

TEST(Calendar, RequestsPerYearVerboseLinesAndDroppedRows) {
  auto bq = std::make_shared<ScriptedService>();
  std::ostringstream out;
  Frame one = get_eco_calendar_data(bq, "US", "2024-02-01", "2024-03-01", std::nullopt, "all", "medium", "extended",
                                    std::nullopt, true, &out);
  EXPECT_EQ(out.str(), "Splitting the date range ...\ngetting data for year 2024\n");
  EXPECT_EQ(calendar_requests(*bq), 1u);
  // The whole year is requested, with the added columns.
  EXPECT_NE(bq->requests()[1].text().find("range('2024-01-01', '2024-12-31')"), std::string::npos);
  EXPECT_NE(bq->requests()[1].text().find("addcols"), std::string::npos);
  EXPECT_FALSE(one.has_column("event_datetime"));

  bq->clear_log();
  Frame three = get_eco_calendar_data(bq, "US", "2023-06-01", "2025-12-31");
  EXPECT_EQ(calendar_requests(*bq), 3u);
  // 2023: 3, 2024: 5 (medium and up), 2025: 3 of which one has no ACTUAL yet.
  EXPECT_EQ(three.num_rows(), 10u);
  EXPECT_EQ(three.index().name, "ID");
  EXPECT_EQ(three.index().text_label(0), "US");  // labels repeat, as the service gives them
  EXPECT_FALSE(three.column("ACTUAL").has_missing());

  // A failing year is skipped; tickers go through matches(ticker().in_()).
  bq->failing_year = "2024";
  Frame skipped = get_eco_calendar_data(bq, "US", "2023-06-01", "2025-12-31",
                                        std::vector<std::string>{"NFP TCH Index"});
  EXPECT_EQ(texts_of(skipped.column("RELEASE_DATE_TIME")),
            (std::vector<std::string>{"2023-12-08 08:30:00", "2025-01-10 08:30:00"}));
  bq->failing_year = "2025";
  EXPECT_EQ(error_of([&] { get_eco_calendar_data(bq, "US", "2025-02-01", "2025-03-01"); }),
            "No objects to concatenate");
}

TEST(Calendar, EventColumnsUseEachRowsOwnZone) {
  auto bq = std::make_shared<bql::LocalService>(sample());
  Frame us = get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", std::nullopt, "all", "medium", "extended",
                                   std::string("America/New_York"));
  const auto& names = us.names();
  ASSERT_GE(names.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(names.end() - 4, names.end()),
            (std::vector<std::string>{"event_datetime", "event_date", "event_time", "event_timezone"}));
  // GMT-05:00 and GMT-04:00 rows: each release is 08:30 or 14:00 New York time;
  // 08:30:45 rounds down to 08:30:00.
  EXPECT_EQ(texts_of(us.column("event_datetime")),
            (std::vector<std::string>{"2024-01-05 08:30:00-05:00", "2024-01-11 08:30:00-05:00",
                                      "2024-01-11 08:30:00-05:00", "2024-06-07 08:30:00-04:00",
                                      "2024-09-18 14:00:00-04:00"}));
  EXPECT_EQ(us.column("event_date").type(), DType::Date);
  EXPECT_EQ(us.column("event_time").type(), DType::Time);
  EXPECT_EQ(us.column("event_time").cell_text(0), "08:30:00");
  EXPECT_EQ(us.column("event_date").cell_text(3), "2024-06-07");
  EXPECT_EQ(us.column("event_timezone").text(4), "America/New_York");

  // GMT+05:30 keeps its half hour; GMT+00:00 and GMT+01:00 land on UTC 07:00 and 06:00.
  Frame in = get_eco_calendar_data(bq, "IN", "2024-01-01", "2024-12-31", std::nullopt, "all", "medium", "extended",
                                   std::string("UTC"));
  EXPECT_EQ(in.column("event_datetime").cell_text(0), "2024-01-12 12:00:00+00:00");
  Frame gb = get_eco_calendar_data(bq, "GB", "2024-01-01", "2024-12-31", std::nullopt, "all", "medium", "extended",
                                   std::string("Asia/Kolkata"));
  EXPECT_EQ(texts_of(gb.column("event_datetime")),
            (std::vector<std::string>{"2024-01-17 12:30:00+05:30", "2024-10-16 11:30:00+05:30",
                                      "2024-11-20 12:30:00+05:30"}));

  EXPECT_EQ(error_of([&] {
              get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", std::nullopt, "all", "medium", "standard",
                                    std::string("America/New_York"));
            }),
            "'TIMEZONE' column not found. Please set 'view' parameter to 'extended'.");
  EXPECT_NO_THROW(get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", std::nullopt, "all", "medium",
                                        "standard"));
  EXPECT_EQ(error_of([&] {
              get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", std::nullopt, "all", "medium", "extended",
                                    std::string("America/Nowhere"));
            }),
            "No time zone found with key 'America/Nowhere'");
}

TEST(Calendar, DaylightSavingOfTheTargetZoneAndZonedOrTextReleases) {
  // Release wall times in GMT+00:00 around New York's March and November changes.
  Frame f;
  f.add_column("x", Column::ints({0, 1, 2, 3, 4}));
  Column rel = Column::timestamps(
      {at(2024, 3, 10, 6, 59, 59), at(2024, 3, 10, 7, 0, 30), at(2024, 11, 3, 5, 30), at(2024, 11, 3, 6, 30), 0},
      "", {1, 1, 1, 1, 0});
  Column tz = Column::texts({"GMT+00:00", "GMT+00:00", "GMT+00:00", "GMT+00:00", "GMT+00:00"});
  add_event_columns(f, rel, tz, Zone::locate("America/New_York"));
  EXPECT_EQ(texts_of(f.column("event_datetime")),
            (std::vector<std::string>{"2024-03-10 01:59:00-05:00", "2024-03-10 03:00:00-04:00",
                                      "2024-11-03 01:30:00-04:00", "2024-11-03 01:30:00-05:00", "<NA>"}));
  EXPECT_EQ(texts_of(f.column("event_time")),
            (std::vector<std::string>{"01:59:00", "03:00:00", "01:30:00", "01:30:00", "<NA>"}));

  // A service answering zoned release times, or texts with and without an
  // offset: zoned values keep their instant.
  auto bq = std::make_shared<ScriptedService>();
  Frame answer;
  answer.add_column("ACTUAL", Column::floats({1, 2, 3}));
  answer.add_column("RELEASE_DATE_TIME",
                    Column::texts({"2024-01-05T13:30:45Z", "2024-01-05 08:30:00-05:00", "2024-01-05 08:30:10"}));
  answer.add_column("TIMEZONE", Column::texts({"GMT+09:00", "GMT+09:00", "GMT-05:00"}));
  bq->calendar_answer = answer;
  Frame got = get_eco_calendar_data(bq, "US", "2024-01-01", "2024-02-01", std::nullopt, "all", "medium", "extended",
                                    std::string("America/New_York"));
  EXPECT_EQ(texts_of(got.column("event_datetime")),
            std::vector<std::string>(3, "2024-01-05 08:30:00-05:00"));
  answer.set_column("RELEASE_DATE_TIME", Column::texts({"soon", "2024-01-05 08:30:00", "2024-01-05 08:30:00"}));
  bq->calendar_answer = answer;
  EXPECT_EQ(error_of([&] {
              get_eco_calendar_data(bq, "US", "2024-01-01", "2024-02-01", std::nullopt, "all", "medium", "extended",
                                    std::string("UTC"));
            }),
            "Unknown datetime string format, unable to parse: soon");
  answer.drop_column("RELEASE_DATE_TIME");
  bq->calendar_answer = answer;
  EXPECT_EQ(error_of([&] {
              get_eco_calendar_data(bq, "US", "2024-01-01", "2024-02-01", std::nullopt, "all", "medium", "extended",
                                    std::string("UTC"));
            }),
            "'RELEASE_DATE_TIME'");
}

TEST(Calendar, LargeEventTimeColumnsMatchOneByOneConversion) {
  // Many values, 1900 to 2100, with sub-seconds and missing slots: first
  // unsorted (rows one by one), then in calendar order (runs of rows in one
  // zone span take the eight-at-a-time path where the processor has it).
  const std::size_t n = 70000;
  std::vector<std::int64_t> wall(n);
  std::vector<std::uint8_t> valid(n, 1);
  std::uint64_t r = 88172645463325252ull;
  const std::int64_t lo = at(1900, 1, 1, 0, 0), span = at(2100, 1, 1, 0, 0) - lo;
  for (std::size_t i = 0; i < n; ++i) {
    r ^= r << 13, r ^= r >> 7, r ^= r << 17;
    wall[i] = lo + static_cast<std::int64_t>(r % static_cast<std::uint64_t>(span));
    if (r % 97 == 0) valid[i] = 0;
  }
  const Zone ny = Zone::locate("America/New_York");
  for (int sorted = 0; sorted < 2; ++sorted)
  for (const char* src : {"GMT-05:00", "GMT+05:30"}) {
    if (sorted) std::sort(wall.begin(), wall.end());
    const Column release = Column::timestamps(wall, "", valid);
    const Zone source = convert_tz(src);
    const EventTimeColumns got = event_time_columns(release, source, ny);
    std::size_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!valid[i]) {
        bad += !got.event_datetime.is_missing(i) || !got.event_time.is_missing(i);
        continue;
      }
      const std::int64_t u = source.utc_ns(wall[i]), w = ny.wall_ns(u);
      const std::int64_t sec = ((w % (60 * kNanosPerSecond) + 60 * kNanosPerSecond) % (60 * kNanosPerSecond)) /
                               kNanosPerSecond * kNanosPerSecond;
      bad += got.event_datetime.integer(i) != u - sec;
      bad += got.event_date.integer(i) != date_of_ns(w - sec).days;
      bad += got.event_time.integer(i) != w - sec - std::int64_t{date_of_ns(w - sec).days} * kNanosPerDay;
    }
    EXPECT_EQ(bad, 0u) << src << (sorted ? " sorted" : " unsorted");
  }
}

TEST(Mappings, NoHandleIsAnUndefinedNameAndWarnsAtLoad) {
  use_provider(false);
  std::vector<std::string> warned;
  auto old = set_warning_handler([&](const std::string& t) { warned.push_back(t); });
  reset_warning_registry();
  setenv("SHOW_WARNINGS", "1", 1);
  EXPECT_EQ(bq(), nullptr);
  unsetenv("SHOW_WARNINGS");
  set_warning_handler(old);
  EXPECT_EQ(warned, std::vector<std::string>{"[bqia] 'bql' is not installed."});
  EXPECT_EQ(error_of([] { get_id_to_figi_mapping(bql::Universe::list({"IBM US Equity"})); }),
            "name 'bq' is not defined");
  EXPECT_THROW(get_figi_to_id_mapping(bql::Universe::list({"BBG000BLNNH6"})), NameError);
}

TEST(Mappings, FigiSuffixRulesColumnsAndMissingFigis) {
  use_provider(true);
  const auto keys =
      bql::Universe::list({"EURUSD Curncy", "IBM US Equity", "IBM 3.3 05/15/26 Corp", "JPY CURNCY", "NOFIGI US Equity"});
  Frame m = get_id_to_figi_mapping(keys);
  EXPECT_EQ(m.names(), (std::vector<std::string>{"parsekey", "figi"}));
  EXPECT_TRUE(m.index().is_default_range());
  EXPECT_EQ(texts_of(m.column("figi")), (std::vector<std::string>{"BBG0013HGFT4.BGN", "BBG000BLNNH6",
                                                                  "BBG00JX0Q5Z6.BGN", "BBG0013HFN45.BGN", "<NA>"}));
  EXPECT_EQ(m.column("parsekey").text(3), "JPY CURNCY");

  // The listed keys replace the word rule; a missing FIGI stays missing.
  Frame listed = get_id_to_figi_mapping(keys, "FIGI", "ticker",
                                        std::vector<std::string>{"IBM US Equity", "NOFIGI US Equity"});
  EXPECT_EQ(listed.names(), (std::vector<std::string>{"ticker", "FIGI"}));
  EXPECT_EQ(texts_of(listed.column("FIGI")), (std::vector<std::string>{"BBG0013HGFT4", "BBG000BLNNH6.BGN",
                                                                       "BBG00JX0Q5Z6", "BBG0013HFN45", "<NA>"}));

  const auto figis = bql::Universe::list({"BBG000BLNNH6", "BBG0013HGFT4"});
  Frame names = get_figi_to_id_mapping(figis);
  EXPECT_EQ(names.names(), (std::vector<std::string>{"figi", "short_name"}));
  EXPECT_EQ(texts(names.column("short_name")), (std::vector<std::string>{"INTL BUSINESS MACHINES CORP", "EUR-USD X-RATE"}));
  Frame pk = get_figi_to_id_mapping(figis, "figi", "parsekey", "parsekyable_des");
  EXPECT_EQ(texts(pk.column("parsekey")), (std::vector<std::string>{"IBM US Equity", "EURUSD Curncy"}));
  Frame same = get_figi_to_id_mapping(figis, "figi", "figi");
  EXPECT_EQ(same.names(), (std::vector<std::string>{"figi", "figi"}));
  EXPECT_THROW(get_figi_to_id_mapping(figis, "figi", "x", "no_such_field"), bql::ServiceError);
  use_provider(false);
}
