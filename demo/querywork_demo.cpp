// Demo of querywork: a multi-year economic calendar with event times in New
// York, and the identifier <-> FIGI mappings, through the local stand-in.
#include <iostream>

#include "quorin_data/formats/csv.hpp"
#include "quorin_data/from_bqia/bql.hpp"
#include "quorin_data/from_bqia/querywork.hpp"
#include "sections.hpp"

namespace {

namespace bql = quorin_data::from_bqia::bql;
namespace qw = quorin_data::from_bqia::querywork;

void run() {
  auto bq = std::make_shared<bql::LocalService>(bql::sample_folder());
  std::cout << "US calendar 2023-06-01 to 2025-12-31, high relevancy, event times in America/New_York:\n";
  auto cal = qw::get_eco_calendar_data(bq, "US", "2023-06-01", "2025-12-31", std::nullopt, "all", "high", "extended",
                                       std::string("America/New_York"), true);
  std::cout << "(" << bq->requests().size() << " requests: the trading dates, then one calendar per year; "
            << "rows without ACTUAL dropped)\n";
  quorin_data::formats::write_csv(cal.select({"EVENT_NAME", "RELEASE_DATE_TIME", "TIMEZONE", "ACTUAL", "event_datetime",
                                              "event_date", "event_time", "event_timezone"}),
                                  true, std::cout);

  std::cout << "\nThe same events of several countries in one zone (each row localized with its own TIMEZONE):\n";
  std::vector<quorin_data::Frame> parts;
  for (const char* u : {"GB", "IN", "CN"})
    parts.push_back(qw::get_eco_calendar_data(bq, u, "2024-01-01", "2024-12-31", std::nullopt, "all", "medium",
                                              "extended", std::string("America/New_York")));
  quorin_data::formats::write_csv(quorin_data::Frame::concat_rows(std::move(parts))
                                      .select({"EVENT_NAME", "RELEASE_DATE_TIME", "TIMEZONE", "event_datetime"}),
                                  true, std::cout);

  // The mappings use the module's own handle: the stand-in as the provider.
  bql::set_service_provider([] { return std::make_shared<bql::LocalService>(bql::sample_folder()); });
  qw::bq_handle().reset();
  const auto keys = bql::Universe::list({"EURUSD Curncy", "IBM US Equity", "IBM 3.3 05/15/26 Corp", "NOFIGI US Equity"});
  std::cout << "\nget_id_to_figi_mapping (\".BGN\" for Curncy and Corp keys; a missing FIGI stays missing):\n";
  quorin_data::formats::write_csv(qw::get_id_to_figi_mapping(keys), true, std::cout);
  const auto figis = bql::Universe::list({"BBG000BLNNH6", "BBG0013HGFT4", "BBG000H4FSM0"});
  std::cout << "\nget_figi_to_id_mapping, names and parsekeys:\n";
  quorin_data::formats::write_csv(qw::get_figi_to_id_mapping(figis), true, std::cout);
  quorin_data::formats::write_csv(qw::get_figi_to_id_mapping(figis, "figi", "parsekey", "parsekyable_des"), true,
                                  std::cout);
  bql::set_service_provider(nullptr);
  qw::bq_handle().reset();
}

}  // namespace

QUORIN_DEMO_SECTION(55, "Economic calendar and FIGI mappings with the local query service", run);
