// `quorin splc`: the supply-chain relationships of a few tickers, printed as
// CSV with the row labels first.
#include <iostream>

#include "commands.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/from_bqia/bql.hpp"
#include "quorin_data/from_s3/snapshelf/splc.hpp"

namespace bql = quorin_data::from_bqia::bql;
using quorin_data::from_s3::snapshelf::SPLC;

namespace quorin_cli {
namespace {

int run_splc(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {"no-service"}, {"dataset", "as-of", "tickers", "start", "end", "bucket", "service"});
  if (!a.positional.empty()) throw UsageError("unexpected argument '" + a.positional[0] + "'");
  auto dataset = a.get("dataset");
  if (!dataset) throw UsageError("--dataset is required");
  if (a.has("no-service") && a.has("service")) throw UsageError("--service and --no-service exclude each other");
  if (auto b = a.get("bucket")) SPLC::bucket = *b;

  std::shared_ptr<bql::Service> bq;
  if (!a.has("no-service")) bq = std::make_shared<bql::LocalService>(a.get_or("service", bql::sample_folder()));

  SPLC splc(a.get("as-of"), *dataset, bq);
  auto table = splc.get_data(split_list(a.get_or("tickers", "")), a.get("start"), a.get("end"));
  quorin_data::formats::write_csv(*table, true, std::cout);
  return 0;
}

QUORIN_COMMAND("splc", "supply-chain relationships of tickers (CSV)",
               "usage: quorin splc --dataset KIND [--as-of DATE] [--tickers \"A US Equity,B US Equity\"]\n"
               "                   [--start DATE] [--end DATE] [--bucket B] [--service DIR | --no-service]\n"
               "  --dataset KIND  supplier, customer or competitor\n"
               "  --as-of DATE    snapshot date (yyyymmdd or yyyy-mm-dd; default: the latest)\n"
               "  --tickers LIST  comma-separated parsekey tickers of the companies\n"
               "  --start DATE    keep relationships begun by then (with --end: either rule)\n"
               "  --end DATE      keep relationships running until then\n"
               "  --bucket B      bucket of the snapshots (default: the build's equity bucket)\n"
               "  --service DIR   local query-service stand-in over reference CSVs in DIR\n"
               "                  (default: $QUORIN_BQL_SAMPLE, else the installed or source bql_sample)\n"
               "  --no-service    no query service: the window-filtered table, without the\n"
               "                  company filter and the ticker columns",
               run_splc);

}  // namespace
}  // namespace quorin_cli
