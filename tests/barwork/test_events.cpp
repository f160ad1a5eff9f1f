// Event windows: the metadata of each release and the bars cut around it.
#include <gtest/gtest.h>

#include <cmath>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/from_bqia/barwork.hpp"
#include "support/error_of.hpp"
#include "support/column_values.hpp"

namespace barwork = quorin_data::from_bqia::barwork;
using quorin_data::Column;
using quorin_data::Frame;
using quorin_data::Index;
using quorin_data::kNanosPerSecond;

namespace {

constexpr const char* kNY = "America/New_York";
constexpr std::int64_t kMin = 60 * kNanosPerSecond;
std::int64_t utc(const char* text) { return quorin_data::parse_datetime_ns(text); }

// Two NFP releases (one with seconds, the second listed twice by the
// calendar) and a CPI release at the same minute as the first NFP.
Frame calendar() {
  Frame c;
  c.add_column("EVENT_NAME", Column::texts({"NFP", "CPI", "NFP", "NFP"}));
  c.add_column("event_datetime", Column::timestamps({utc("2024-01-05 13:30:45"), utc("2024-01-05 13:30:00"),
                                                     utc("2024-06-07 12:30:00"), utc("2024-06-07 12:30:00")},
                                                    kNY));
  c.add_column("ACTUAL", Column::floats({216, 0.3, 272, 272.5}));
  Index idx = Index::texts({"NFP TCH Index", "CPI CHNG Index", "NFP TCH Index", "NFP TCH Index"});
  idx.name = "ID";
  c.set_index(std::move(idx));
  return c;
}

// Bars in UTC of two keys ("b" listed first), every minute around 13:30 UTC
// on 2024-01-05 except 13:27; one bar of "a" on 2024-06-07 at 12:31.
Frame bars(const std::string& tz = "UTC") {
  std::vector<std::string> sec, key;
  std::vector<std::int64_t> t;
  std::vector<double> close;
  for (const char* k : {"b", "a"})
    for (int m = -10; m <= 15; ++m) {
      if (m == -3) continue;
      sec.push_back(std::string("FIGI_") + k);
      key.push_back(k);
      t.push_back(utc("2024-01-05 13:30:00") + m * kMin);
      close.push_back(100 + m);
    }
  sec.push_back("FIGI_a");
  key.push_back("a");
  t.push_back(utc("2024-06-07 12:31:00"));
  close.push_back(7);
  Frame b;
  b.add_column("security", Column::texts(sec));
  b.add_column("key", Column::texts(key));
  b.add_column("datetime", Column::timestamps(t, tz));
  b.add_column("close", Column::floats(close));
  return b;
}

}  // namespace

TEST(EventMetadata, WindowsPerReleaseRoundedAndInclusive) {
  Frame m = barwork::get_event_metadata(calendar());
  EXPECT_EQ(m.names(), (std::vector<std::string>{"EVENT_NAME", "event_datetime", "datetime", "time_diff"}));
  // NFP (two releases: 08:30:45 rounded down to 08:30:00, and June) then CPI.
  ASSERT_EQ(m.num_rows(), 3u * 16u);
  const Column& ev = m.column("EVENT_NAME");
  const Column& at = m.column("event_datetime");
  const Column& dt = m.column("datetime");
  const Column& diff = m.column("time_diff");
  EXPECT_EQ(at.tz(), kNY);
  EXPECT_EQ(ev.text(0), "NFP");
  EXPECT_EQ(at.integer(0), utc("2024-01-05 13:30:00"));
  EXPECT_EQ(at.integer(16), utc("2024-06-07 12:30:00"));
  EXPECT_EQ(ev.text(32), "CPI");
  for (std::size_t i = 0; i < m.num_rows(); ++i) {
    EXPECT_EQ(diff.as_double(i), -5.0 + static_cast<double>(i % 16));
    EXPECT_EQ(dt.integer(i), at.integer(i) + static_cast<std::int64_t>(diff.as_double(i)) * kMin);
  }
  Frame one = barwork::get_event_metadata(calendar(), 0, 0);
  EXPECT_EQ(one.num_rows(), 3u);
  Frame none = barwork::get_event_metadata(calendar(), 1, 0);
  EXPECT_EQ(none.num_rows(), 0u);
  EXPECT_EQ(none.names(), m.names());
  EXPECT_EQ(barwork::filter_bars_around_events(bars(), calendar(), 1, 0).num_rows(), 0u);
}

TEST(FilterBars, JoinDropSortRenumberAndAttachCalendar) {
  Frame out = barwork::filter_bars_around_events(bars(), calendar());
  EXPECT_EQ(out.names(), (std::vector<std::string>{"EVENT_NAME", "event_datetime", "time_diff", "datetime", "security",
                                                   "key", "close", "ID", "ACTUAL"}));
  EXPECT_TRUE(out.index().is_default_range());
  // CPI: 15 bars per key (13:27 is missing); NFP January likewise; NFP June:
  // one bar, repeated for the two calendar rows of that release.
  ASSERT_EQ(out.num_rows(), 15u * 2 + 15u * 2 + 2u);
  const Column& ev = out.column("EVENT_NAME");
  const Column& key = out.column("key");
  const Column& dt = out.column("datetime");
  EXPECT_EQ(texts(ev).front(), "CPI");
  EXPECT_EQ(texts(key).front(), "a");
  EXPECT_EQ(key.text(15), "b");
  EXPECT_EQ(out.column("time_diff").as_double(0), -5.0);
  EXPECT_EQ(out.column("time_diff").as_double(2), -2.0);  // -3 has no bar
  for (std::size_t i = 1; i < 30; ++i) {
    if (key.text(i) == key.text(i - 1)) {
      EXPECT_GT(dt.integer(i), dt.integer(i - 1));
    }
  }
  EXPECT_EQ(texts(out.column("ID")).front(), "CPI CHNG Index");
  // The window of the 08:30:45 release is keyed 08:30:00, which that calendar
  // row (not rounded, unlike the calendar's own event times) does not match.
  EXPECT_TRUE(std::isnan(out.column("ACTUAL").f64()[30]));
  EXPECT_EQ(out.column("ACTUAL").f64()[0], 0.3);
  // The June release's bar, once per calendar row, keeps the calendar order.
  EXPECT_EQ(out.column("ACTUAL").f64()[out.num_rows() - 2], 272);
  EXPECT_EQ(out.column("ACTUAL").f64()[out.num_rows() - 1], 272.5);
  EXPECT_EQ(floats(out.column("close")).back(), 7);
  EXPECT_EQ(out.column("time_diff").as_double(out.num_rows() - 1), 1.0);

  // Bars in another zone meet the events at the same instants.
  EXPECT_EQ(barwork::filter_bars_around_events(bars("Asia/Kolkata"), calendar()).num_rows(), out.num_rows());
}

TEST(FilterBars, ClearErrorsForNaiveAgainstZonedAndSharedColumns) {
  EXPECT_NE(error_of([] { barwork::filter_bars_around_events(bars(""), calendar()); }).find("'datetime'"),
            std::string::npos);
  Frame b = bars();
  b.add_column("ACTUAL", Column::floats(std::vector<double>(b.num_rows(), 1.0)));
  const std::string e = error_of([&] { barwork::filter_bars_around_events(b, calendar()); });
  EXPECT_NE(e.find("'ACTUAL'"), std::string::npos) << e;
  Frame nodt = bars();
  nodt.drop_column("datetime");
  EXPECT_THROW(barwork::filter_bars_around_events(nodt, calendar()), quorin_data::KeyError);
}

TEST(FilterBars, SameAsTheJoinDropSortJoinStepsOnIrregularData) {
  // Bars of three keys (some key cells missing, some times repeated, a gap
  // every seventh minute) and a calendar with repeated rows, a release
  // listed twice with different values and one without a time.
  std::uint64_t r = 88172645463325252ull;
  auto next = [&r] { return r ^= r << 13, r ^= r >> 7, r ^= r << 17; };
  std::vector<std::string> key;
  std::vector<std::uint8_t> key_valid;
  std::vector<std::int64_t> t;
  std::vector<double> close;
  const std::int64_t t0 = utc("2024-03-08 13:00:00");
  for (int m = 0; m < 400; ++m)
    for (const char* k : {"c", "a", "b"}) {
      if ((m + k[0]) % 7 == 0) continue;
      key.push_back(k);
      key_valid.push_back(next() % 11 != 0);
      t.push_back(t0 + m * kMin);
      close.push_back(static_cast<double>(next() % 1000));
      if (next() % 13 == 0) key.push_back(k), key_valid.push_back(1), t.push_back(t.back()), close.push_back(-1);
    }
  Frame b;
  b.add_column("key", Column::texts(key, key_valid));
  b.add_column("datetime", Column::timestamps(t, "UTC"));
  b.add_column("close", Column::floats(close));

  std::vector<std::string> ev;
  std::vector<std::int64_t> when;
  std::vector<std::uint8_t> when_valid;
  for (int i = 0; i < 40; ++i) {
    ev.push_back(i % 3 == 0 ? "NFP" : i % 3 == 1 ? "CPI" : "ISM");
    when.push_back(t0 + static_cast<std::int64_t>(next() % 380) * kMin + (i % 4 == 0 ? 17 * kNanosPerSecond : 0));
    when_valid.push_back(i != 5);
    if (i % 9 == 0) ev.push_back(ev.back()), when.push_back(when.back()), when_valid.push_back(1);
  }
  Frame cal;
  cal.add_column("EVENT_NAME", Column::texts(ev));
  cal.add_column("event_datetime", Column::timestamps(when, kNY, when_valid));
  std::vector<double> actual(ev.size());
  for (std::size_t i = 0; i < actual.size(); ++i) actual[i] = static_cast<double>(i);
  cal.add_column("ACTUAL", Column::floats(actual));

  for (auto [pre, post] : {std::pair{-5, 5}, std::pair{0, 0}, std::pair{-30, 2}}) {
    Frame meta =
        barwork::get_event_metadata(cal, pre, post).select({"EVENT_NAME", "event_datetime", "time_diff", "datetime"});
    meta.set_column("datetime", meta.column("datetime").with_zone("UTC"));
    Frame want = meta.merge_left(b, {"datetime"})
                     .dropna({"key"})
                     .sort_values({"EVENT_NAME", "event_datetime", "key", "datetime"});
    want.set_index(Index::range(want.num_rows()));
    want = want.merge_left(cal.reset_index_to_column(), {"EVENT_NAME", "event_datetime"});
    const Frame got = barwork::filter_bars_around_events(b, cal, pre, post);
    ASSERT_GT(got.num_rows(), 0u);
    EXPECT_TRUE(got == want) << pre << ".." << post << ": " << got.num_rows() << " rows against " << want.num_rows();
  }
}
