// Intraday event bars: the configuration of the intraday-bars package (id
// mapping, futures rolls, enabled packages), bar retrieval with descriptions,
// and the cutting of bars to windows around economic-calendar events.
//
// Namespace quorin_data::from_bqia::barwork. The module loads on first use:
// it reads SHOW_WARNINGS, loads the intraday package (warning "[bqia] 'bqia'
// is not installed." when there is none), opens its own query-service handle
// (warning "'bql' is not installed."), then binds querywork.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"
#include "quorin_data/from_bqia/bqia.hpp"
#include "quorin_data/from_bqia/bql.hpp"

namespace quorin_data::from_bqia::barwork {

// The data packages of the intraday package, as the module lists them.
extern const std::vector<std::string> PACKAGES;  // "macro", "equity", "fixed-income"

// Custom security name -> (parsekey, pcs), in the caller's order; pcs is a
// pricing-source suffix, possibly empty.
struct SecPcs {
  std::string parsekey, pcs;
};
using DictSecPcs = std::vector<std::pair<std::string, SecPcs>>;

// Custom roll name -> (future_root, yellow_key, roll_offset in calendar days).
struct FutRoll {
  std::string future_root, yellow_key;
  std::int64_t roll_offset = 0;
};
using DictFut = std::vector<std::pair<std::string, FutRoll>>;

// Runs the module's load steps now (they otherwise run on first use).
void load();
// The module's handles: the intraday package and the query service (nullptr
// when there is none).
std::shared_ptr<bqia::Package> package();
std::shared_ptr<bql::Service> bq();
// The intraday package, or NameError "name 'bqia' is not defined" without
// one: what set_intraday_config checks before it reads its arguments.
bqia::Package& require_package();

// The id mapping: columns `custom`, `parsekey`, `figi`, one row per security
// that the service resolved (an inner join in the caller's order), the FIGI
// followed by "." and the pcs when the pcs is not empty. One request through
// the module's handle (NameError "name 'bq' is not defined" without one).
Frame get_id_mapping(const DictSecPcs& dict_sec_pcs);

// The package's roll factory: one FuturesRollConfig per entry, the offset in
// calendar days. NameError "name 'bqia' is not defined" without the package.
bqia::FuturesRollFactory get_roll_config(const DictFut& dict_fut);

// Installs the configuration: `security_id_mapping` and
// `futures_roll_factory` only when given, `enabled_packages` always.
void set_intraday_config(std::optional<Frame> id_mapping = std::nullopt,
                         std::optional<bqia::FuturesRollFactory> roll_config = std::nullopt,
                         std::vector<std::string> packages = {"equity", "macro", "fixed-income"});

// The arguments of get_intraday_bars, with their defaults (a keyword form:
// `get_intraday_bars({.dict_fut = ..., .tz = "America/New_York"})`).
struct IntradayBarsArgs {
  std::optional<DictSecPcs> dict_sec_pcs = DictSecPcs{{"spx", {"spx index", ""}}};
  std::optional<DictFut> dict_fut = std::nullopt;
  std::string start = "2024-06-01";
  std::string end = "2024-07-01";
  std::string security_id_type = "custom";
  std::optional<std::string> downsample_freq = std::nullopt;
  std::optional<std::string> tz = std::nullopt;
  std::vector<std::string> packages = {"equity", "macro", "fixed-income"};
  bool add_description = true;
};

// Intraday bars of the securities and futures rolls: configures the package
// (id mapping of `dict_sec_pcs`, roll rules of `dict_fut`, `packages`), asks
// it for the bars of the custom names and roll names in that order, and with
// `add_description` adds `short_name` and `parsekey` of each bar's `security`
// (two FIGI mappings of querywork, "name" and "parsekyable_des"). A bar whose
// security neither mapping holds is a KeyError naming it.
Frame get_intraday_bars(const IntradayBarsArgs& args = {});

// One row per event release and offset: `EVENT_NAME`, `event_datetime` (the
// release time rounded down to its minute), `datetime` (the bar time, that
// plus `time_diff` minutes), `time_diff` (from `pre_event_window` to
// `post_event_window`, both included). Events in order of first appearance,
// each event's distinct release times likewise. `event_datetime` of the
// calendar must hold timestamps (TypeError otherwise).
Frame get_event_metadata(const Frame& df_calendar, int pre_event_window = -5, int post_event_window = 10);

// The bars of every event window: the event metadata left-joined with the
// bars on the bar time (times compare as instants), offsets without a bar
// dropped, columns `EVENT_NAME`, `event_datetime`, `time_diff`, `datetime`,
// then the bars' other columns, sorted by `EVENT_NAME`, `event_datetime`,
// `key`, `datetime`, rows 0..n-1, then each row joined with every calendar
// row (its labels as the first calendar column) of the same
// (`EVENT_NAME`, `event_datetime`). The bars need `datetime` and `key`. A
// naive time against a zoned one, or a column name on two sides, is a
// ValueError naming the columns.
Frame filter_bars_around_events(const Frame& df_bars, const Frame& df_calendar, int pre_event_window = -5,
                                int post_event_window = 10);

// What a researcher looks at first in the bars around events: per `key` (in
// order of first appearance) and `time_diff` (ascending), over the event
// windows, the move of `price` from the window's bar at `pre_event_window`:
// `count` (windows), `mean_move` (price difference), and in basis points of
// that bar's price `mean_move_bp`, `std_move_bp` (sample standard deviation,
// n - 1; missing for one window), `se_move_bp` (std / sqrt(count)), `t_stat`
// (mean / se; plain division), `share_up` (share of windows whose move is
// above 0), then one column per quantile (linear between the closest ranks),
// named "q" and the percentage: q25_move_bp, q50_move_bp, q05_move_bp,
// q2.5_move_bp. A base price of 0 makes the window's move in basis points
// missing, and so every basis-point figure of its key and offset. A window
// without a bar at the first offset is left out; a bar repeated by repeated
// calendar rows counts once. Quantiles outside [0, 1] or listed twice are a
// ValueError.
Frame event_move_summary(const Frame& df_event_bars, int pre_event_window = -5,
                         const std::string& price = "close",
                         const std::vector<double>& quantiles = {0.25, 0.5, 0.75});

// The same over dynamic values (and the typed mappings they convert to): a
// dict of name -> list/tuple. A value of another length than the function
// unpacks fails with "too many values to unpack (expected N)" or "need more
// than K value(s) to unpack".
namespace dynamic {
DictSecPcs to_dict_sec_pcs(const Value& dict_sec_pcs);
DictFut to_dict_fut(const Value& dict_fut);
Frame get_id_mapping(const Value& dict_sec_pcs);
bqia::FuturesRollFactory get_roll_config(const Value& dict_fut);
}  // namespace dynamic

namespace detail {
// Forgets the module's handles so that the next use loads it again (tests).
void reset();
}  // namespace detail

}  // namespace quorin_data::from_bqia::barwork
