// `quorin calendar` and `quorin figi`: the economic calendar and the
// identifier/FIGI mappings of querywork, printed as CSV with the row labels
// first.
#include <iostream>

#include "commands.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/from_bqia/bql.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace bql = quorin_data::from_bqia::bql;
namespace qw = quorin_data::from_bqia::querywork;

namespace quorin_cli {
namespace {

std::string required(const Args& a, const std::string& name) {
  auto v = a.get(name);
  if (!v) throw UsageError("--" + name + " is required");
  return *v;
}

int run_calendar(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {"verbose"},
                      {"universe", "start", "end", "tickers", "subtype", "relevancy", "view", "tz", "service"});
  if (!a.positional.empty()) throw UsageError("unexpected argument '" + a.positional[0] + "'");
  const std::string universe = required(a, "universe"), start = required(a, "start"), end = required(a, "end");
  std::optional<std::vector<std::string>> tickers;
  if (auto t = a.get("tickers")) tickers = split_list(*t);
  auto bq = std::make_shared<bql::LocalService>(a.get_or("service", bql::sample_folder()));
  // Progress lines go to stderr so that standard output stays CSV.
  auto table = qw::get_eco_calendar_data(bq, universe, start, end, tickers, a.get_or("subtype", "all"),
                                         a.get_or("relevancy", "medium"), a.get_or("view", "extended"), a.get("tz"),
                                         a.has("verbose"), &std::cerr);
  quorin_data::formats::write_csv(table, true, std::cout);
  return 0;
}

int run_figi(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {}, {"pcs", "id-item", "service"});
  if (a.positional.empty()) throw UsageError("say 'to' or 'from', then the keys");
  const std::string way = a.positional[0];
  if (way != "to" && way != "from") throw UsageError("unknown direction '" + way + "' (to or from)");
  std::vector<std::string> keys(a.positional.begin() + 1, a.positional.end());
  if (keys.empty()) throw UsageError("no keys given");
  if (way == "to" && a.has("id-item")) throw UsageError("--id-item goes with 'from'");
  if (way == "from" && a.has("pcs")) throw UsageError("--pcs goes with 'to'");
  // The mappings use the module's own handle: the stand-in becomes the provider.
  const std::string folder = a.get_or("service", bql::sample_folder());
  bql::set_service_provider([folder] { return std::make_shared<bql::LocalService>(folder); });
  qw::bq_handle().reset();
  const auto universe = bql::Universe::list(keys);
  quorin_data::Frame table;
  if (way == "to") {
    std::optional<std::vector<std::string>> pcs;
    if (auto p = a.get("pcs")) pcs = split_list(*p);
    table = qw::get_id_to_figi_mapping(universe, "figi", "parsekey", pcs);
  } else {
    table = qw::get_figi_to_id_mapping(universe, "figi", "short_name", a.get_or("id-item", "name"));
  }
  quorin_data::formats::write_csv(table, true, std::cout);
  return 0;
}

QUORIN_COMMAND("calendar", "economic calendar of a universe over a date range (CSV)",
               "usage: quorin calendar --universe U --start DATE --end DATE [--tickers LIST] [--subtype S]\n"
               "                       [--relevancy R] [--view V] [--tz ZONE] [--verbose] [--service DIR]\n"
               "  --universe U     calendar universe (a country code such as US, or an event ticker)\n"
               "  --start, --end   yyyy-mm-dd; whole calendar years are fetched, one request each\n"
               "  --tickers LIST   comma-separated event tickers to keep\n"
               "  --subtype S      default all;  --relevancy R  default medium;  --view V  default extended\n"
               "  --tz ZONE        add event_datetime, event_date, event_time, event_timezone in the\n"
               "                   IANA zone ZONE (e.g. America/New_York)\n"
               "  --verbose        progress lines on stderr\n"
               "  --service DIR    local query-service stand-in over reference CSVs in DIR\n"
               "                   (default: $QUORIN_BQL_SAMPLE, else the installed or source bql_sample)",
               run_calendar);

QUORIN_COMMAND("figi", "map security keys to FIGI codes, or FIGI codes to a field (CSV)",
               "usage: quorin figi to KEYS... [--pcs LIST] [--service DIR]\n"
               "       quorin figi from FIGIS... [--id-item FIELD] [--service DIR]\n"
               "  to               columns parsekey, figi; FIGIs of keys whose last word is Curncy\n"
               "                   or Corp get \".BGN\"\n"
               "  --pcs LIST       comma-separated keys that get \".BGN\" instead of that rule\n"
               "  from             columns figi, short_name\n"
               "  --id-item FIELD  the field to look up (default name; e.g. parsekyable_des)\n"
               "  --service DIR    local query-service stand-in over reference CSVs in DIR",
               run_figi);

}  // namespace
}  // namespace quorin_cli
