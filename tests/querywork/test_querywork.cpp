// querywork: helpers, the economic calendar and the identifier/FIGI mappings,
// over the local stand-in service and a scripted one.
#include <gtest/gtest.h>

#include <cstdlib>

#include "quorin_data/core.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

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

template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
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
  EXPECT_EQ(m.column("parsekey").text[3], "JPY CURNCY");

  // The listed keys replace the word rule; a missing FIGI stays missing.
  Frame listed = get_id_to_figi_mapping(keys, "FIGI", "ticker",
                                        std::vector<std::string>{"IBM US Equity", "NOFIGI US Equity"});
  EXPECT_EQ(listed.names(), (std::vector<std::string>{"ticker", "FIGI"}));
  EXPECT_EQ(texts_of(listed.column("FIGI")), (std::vector<std::string>{"BBG0013HGFT4", "BBG000BLNNH6.BGN",
                                                                       "BBG00JX0Q5Z6", "BBG0013HFN45", "<NA>"}));

  const auto figis = bql::Universe::list({"BBG000BLNNH6", "BBG0013HGFT4"});
  Frame names = get_figi_to_id_mapping(figis);
  EXPECT_EQ(names.names(), (std::vector<std::string>{"figi", "short_name"}));
  EXPECT_EQ(names.column("short_name").text, (std::vector<std::string>{"INTL BUSINESS MACHINES CORP", "EUR-USD X-RATE"}));
  Frame pk = get_figi_to_id_mapping(figis, "figi", "parsekey", "parsekyable_des");
  EXPECT_EQ(pk.column("parsekey").text, (std::vector<std::string>{"IBM US Equity", "EURUSD Curncy"}));
  Frame same = get_figi_to_id_mapping(figis, "figi", "figi");
  EXPECT_EQ(same.names(), (std::vector<std::string>{"figi", "figi"}));
  EXPECT_THROW(get_figi_to_id_mapping(figis, "figi", "x", "no_such_field"), bql::ServiceError);
  use_provider(false);
}
