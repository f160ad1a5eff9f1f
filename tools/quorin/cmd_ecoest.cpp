// `quorin ecoest`: one snapshot of the economist-estimates history, filtered
// by event ticker and survey date, printed as CSV with the row labels first.
#include <iostream>

#include "commands.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/from_s3/snapshelf/ecoest.hpp"

using quorin_data::from_s3::snapshelf::ECOEST;

namespace quorin_cli {
namespace {

int run_ecoest(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {}, {"as-of", "tickers", "start", "end", "bucket"});
  if (!a.positional.empty()) throw UsageError("unexpected argument '" + a.positional[0] + "'");
  if (auto b = a.get("bucket")) ECOEST::bucket = *b;
  ECOEST ecoest(a.get("as-of"));
  const auto table = ecoest.get_data(split_list(a.get_or("tickers", "")), a.get("start"), a.get("end"));
  quorin_data::formats::write_csv(table, true, std::cout);
  return 0;
}

QUORIN_COMMAND("ecoest", "economist estimates of one snapshot (CSV)",
               "usage: quorin ecoest [--as-of DATE] [--tickers \"A Index,B Index\"] [--start DATE] [--end DATE]\n"
               "                     [--bucket B]\n"
               "  --as-of DATE    snapshot date (yyyymmdd or yyyy-mm-dd; default: the latest)\n"
               "  --tickers LIST  comma-separated event tickers (default: every event)\n"
               "  --start DATE    keep estimates surveyed on or after that day\n"
               "  --end DATE      keep estimates surveyed on or before that day\n"
               "  --bucket B      bucket of the history (default: the build's macro bucket)",
               run_ecoest);

}  // namespace
}  // namespace quorin_cli
