// Query-service utilities: date-range splitting by year, a do-nothing error
// hook for batched requests, sign inversion and calendar zone texts, event
// time rounding, the economic calendar and the identifier/FIGI mappings.
//
// Namespace quorin_data::from_bqia::querywork (library quorin_querywork).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"
#include "quorin_data/core/zones.hpp"
#include "quorin_data/from_bqia/bql.hpp"

namespace quorin_data::from_bqia::querywork {

// True exactly when SHOW_WARNINGS was "1" in the process settings.
extern const bool SHOW_WARNINGS;

// The module-wide query-service handle, opened from the bql provider registry
// at its first use ("[bqia] 'bql' is not installed." is warned when there is
// none and warnings are on). Null when no
// provider gave one; the identifier mappings then fail with NameError
// "name 'bq' is not defined".
std::shared_ptr<bql::Service> bq();
// The handle's holder: reset() lets a program that installs a provider after
// load open it on the next use.
bql::ModuleHandle& bq_handle();

// ------------------------------------------------------------------ helpers

// Asks the service for the trading dates of "JPY Curncy" between `start` and
// `end` (px_last over range(start, end)) and returns the calendar years from
// the first to the last date, ascending (one year when both fall in the same
// year). A range without price dates is a ValueError naming it; service
// errors propagate. A null `bq` is a TypeError naming `bq`.
std::vector<int> _split_date_range(const std::shared_ptr<bql::Service>& bq, const std::string& start,
                                   const std::string& end);

// The error hook of batched requests: takes any positional values, does
// nothing. Keywords are refused as by a function that takes none
// (TypeError "_on_request_error() got an unexpected keyword argument 'k'").
void _on_request_error(const List& args, const Kwargs& kwargs = {});

// "-" gives "+", "+" gives "-", anything else nothing.
std::optional<std::string> _invert_sign(std::string_view sign);

// The zone of a calendar zone text "GMT+08:00": for a whole-hour offset the
// fixed-offset IANA zone "Etc/GMT" with the inverted sign ("Etc/GMT-8",
// "Etc/GMT+5", "Etc/GMT-0"); for an offset with minutes a fixed-offset zone
// with the whole offset ("GMT+05:30" gives "UTC+05:30"). A text without a
// sign or with a bad offset is a ValueError naming it; a zone the database
// lacks is a KeyError naming it.
Zone convert_tz(std::string_view custom_timezone);

// Rounds a timestamp to its minute: unchanged when its second field (of the
// wall-clock time in its zone) is 0; otherwise the seconds are subtracted
// and, when rounding up, one minute added. The sub-second part is kept.
Timestamp round_event_datetime(const Timestamp& datetime_obj, bool round_down = true);
// The same over a timestamp column (missing values stay missing).
Column round_event_datetime(const Column& datetimes, bool round_down = true);

// ---------------------------------------------------------- calendar

// The economic calendar of `universe` from `start` to `end` ("yyyy-mm-dd"),
// one calendar request per year given by _split_date_range, all run through
// execute_many with _on_request_error (a failing year is skipped). `tickers`
// keeps the events whose ticker is listed; `subtype`, `relevancy` and `view`
// go to the calendar item unchanged. Rows with a missing ACTUAL are dropped;
// the row labels (the service's ID) are kept.
//
// With `event_timezone`, four columns follow the service's: event_datetime
// (each RELEASE_DATE_TIME as wall-clock time in its own row's TIMEZONE,
// converted to `event_timezone` and rounded down to the minute; a value that
// already carries a zone keeps its instant), event_date (date),
// event_time (time of day) and event_timezone (the zone name). A row whose
// release time or zone is missing has missing event columns. No TIMEZONE
// column: ValueError "'TIMEZONE' column not found. Please set 'view'
// parameter to 'extended'."; no RELEASE_DATE_TIME column: KeyError naming it.
//
// `verbose` prints "Splitting the date range ..." and "getting data for year
// Y" lines to `out` (standard output when null).
Frame get_eco_calendar_data(const std::shared_ptr<bql::Service>& bq, const bql::Universe& universe,
                            const std::string& start, const std::string& end,
                            const std::optional<std::vector<std::string>>& tickers = std::nullopt,
                            const std::string& subtype = "all", const std::string& relevancy = "medium",
                            const std::string& view = "extended",
                            const std::optional<std::string>& event_timezone = std::nullopt, bool verbose = false,
                            std::ostream* out = nullptr);

// The event-time columns of the calendar: from release wall-clock times
// (`release`, naive timestamps, or zoned ones that keep their instant) and
// each row's calendar zone text (`timezone`), the columns event_datetime,
// event_date, event_time and event_timezone, appended to `frame`.
void add_event_columns(Frame& frame, const Column& release, const Column& timezone, const Zone& standard);

// The same steps for release wall-clock times (naive timestamps) that are all
// in one zone `source`: event_datetime (in `standard`, rounded down to the
// minute), event_date and event_time.
struct EventTimeColumns {
  Column event_datetime, event_date, event_time;
};
EventTimeColumns event_time_columns(const Column& release, const Zone& source, const Zone& standard);

// ---------------------------------------------------------- mappings

// "function to map input id to figi". One request for ID_BB_GLOBAL of the
// universe with the module's handle; columns `id_col_name` (the service's ID)
// and `figi_col_name`, rows 0..n-1. The FIGI gets ".BGN" when the last word
// of its ID is "curncy" or "corp" (case ignored), or, when
// `tickers_to_add_pcs` is given, exactly when its ID is listed there. A
// missing FIGI stays missing.
Frame get_id_to_figi_mapping(const bql::Universe& universe, const std::string& figi_col_name = "figi",
                             const std::string& id_col_name = "parsekey",
                             const std::optional<std::vector<std::string>>& tickers_to_add_pcs = std::nullopt);

// "function to map figi to parsekey". One request for the field
// `id_data_item` of the universe with the module's handle; columns
// `figi_col_name` (the service's ID) and `id_col_name`, rows 0..n-1 (equal
// names give two columns of that name).
Frame get_figi_to_id_mapping(const bql::Universe& universe, const std::string& figi_col_name = "figi",
                             const std::string& id_col_name = "short_name",
                             const std::string& id_data_item = "name");

}  // namespace quorin_data::from_bqia::querywork
