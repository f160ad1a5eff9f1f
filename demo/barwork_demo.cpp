// Demo of the event-study road on the two local stand-ins: the US calendar of
// 2024 in New York time, one-minute bars of an index, a currency and an
// E-mini futures roll, the bars from 5 minutes before to 10 minutes after
// each release, an indicator over one window, and the mean move per offset.
#include <cstdio>
#include <iostream>

#include "quorin_data/formats/csv.hpp"
#include "quorin_data/from_bqia/barwork.hpp"
#include "quorin_data/from_bqia/querywork.hpp"
#include "quorin_data/ta/overlap.hpp"
#include "sections.hpp"

namespace {

namespace barwork = quorin_data::from_bqia::barwork;
namespace bqia = quorin_data::from_bqia::bqia;
namespace bql = quorin_data::from_bqia::bql;
namespace querywork = quorin_data::from_bqia::querywork;
using quorin_data::Frame;

void run() {
  auto bq = std::make_shared<bql::LocalService>(bql::sample_folder());
  auto pkg = std::make_shared<bqia::LocalPackage>(bqia::sample_folder());
  bql::set_service_provider([bq] { return bq; });
  bqia::set_package_provider([pkg] { return pkg; });
  querywork::bq_handle().reset();
  barwork::detail::reset();

  Frame calendar = querywork::get_eco_calendar_data(bq, bql::Universe("US"), "2024-01-01", "2024-12-31", std::nullopt,
                                                    "all", "medium", "extended", std::string("America/New_York"));
  std::cout << "US calendar 2024 in America/New_York: " << calendar.num_rows() << " releases\n";
  quorin_data::formats::write_csv(
      calendar.select({"EVENT_NAME", "RELEASE_DATE_TIME", "TIMEZONE", "ACTUAL", "event_datetime"}), true, std::cout);

  Frame bars = barwork::get_intraday_bars({.dict_sec_pcs = barwork::DictSecPcs{{"spx", {"SPX Index", ""}},
                                                                               {"eurusd", {"EURUSD Curncy", "BGN"}}},
                                           .dict_fut = barwork::DictFut{{"es1", {"ES", "Index", 5}}},
                                           .start = "2024-01-01",
                                           .end = "2024-12-31",
                                           .tz = "America/New_York"});
  std::cout << "\nbars of spx, eurusd (pcs BGN) and the es1 roll (5 days before expiry): " << bars.num_rows()
            << " one-minute bars; first rows:\n";
  std::vector<std::size_t> head{0, 1, 2};
  quorin_data::formats::write_csv(bars.take(head), true, std::cout);

  Frame windows = barwork::filter_bars_around_events(bars, calendar);
  std::cout << "\nbars from -5 to +10 minutes around each release: " << windows.num_rows()
            << " rows; the first NFP window of es1:\n";
  std::vector<std::size_t> es1;
  for (std::size_t i = 0; i < windows.num_rows(); ++i)
    if (windows.column("key").text(i) == "es1" && windows.column("EVENT_NAME").text(i) == "Change in Nonfarm Payrolls" &&
        (es1.empty() || windows.column("event_datetime").integer(i) == windows.column("event_datetime").integer(es1[0])))
      es1.push_back(i);
  Frame window = windows.take(es1).reset_index();
  auto ema = quorin_data::ta::overlap::ema(quorin_data::Series(std::vector<double>(window.column("close").f64().begin(), window.column("close").f64().end()), "close"), 3);
  if (ema) window.add_column(ema->name, ema->values);
  quorin_data::formats::write_csv(
      window.select({"event_datetime", "time_diff", "datetime", "parsekey", "close", "volume", ema ? ema->name : "close"}),
      true, std::cout);

  std::cout << "\nmean move of close from the bar 5 minutes before, per security and offset:\n";
  quorin_data::formats::write_csv(barwork::event_move_summary(windows, -5), false, std::cout);

  bql::set_service_provider(nullptr);
  bqia::set_package_provider(nullptr);
}

}  // namespace

QUORIN_DEMO_SECTION(70, "Intraday bars around economic events (calendar, bars, windows, indicator, summary)", run);
