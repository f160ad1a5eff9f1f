// `quorin bqia-sample`: writes the deterministic sample folder of the local
// intraday-bars package from the query service's reference calendar.
#include <charconv>
#include <iostream>

#include "commands.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/from_bqia/barwork.hpp"
#include "quorin_data/from_bqia/querywork.hpp"
#include "quorin_data/from_bqia/bqia.hpp"
#include "quorin_data/from_bqia/bql.hpp"

namespace bqia = quorin_data::from_bqia::bqia;
namespace bql = quorin_data::from_bqia::bql;
namespace barwork = quorin_data::from_bqia::barwork;
namespace querywork = quorin_data::from_bqia::querywork;
using quorin_data::Frame;

namespace quorin_cli {
namespace {

int to_minutes(const std::string& name, const std::string& text) {
  try {
    std::size_t used = 0;
    int v = std::stoi(text, &used);
    if (used == text.size() && v >= 0 && v <= 24 * 60) return v;
  } catch (const std::exception&) {
  }
  throw UsageError("--" + name + " needs a whole number of minutes from 0 to 1440, got '" + text + "'");
}

// "name=parsekey[:pcs]" adds a security, "name=root:yellow_key:offset" a
// futures roll (a parsekey holds no colon).
void parse_security_args(const std::vector<std::string>& args, barwork::DictSecPcs& secs, barwork::DictFut& futs) {
  for (const std::string& s : args) {
    const auto eq = s.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == s.size())
      throw UsageError("security '" + s + "' is not NAME=PARSEKEY[:PCS] or NAME=ROOT:YELLOW_KEY:OFFSET");
    const std::string name = s.substr(0, eq);
    std::vector<std::string> parts;
    std::size_t b = eq + 1;
    for (;;) {
      auto c = s.find(':', b);
      parts.push_back(s.substr(b, c == std::string::npos ? std::string::npos : c - b));
      if (c == std::string::npos) break;
      b = c + 1;
    }
    if (parts.size() <= 2) {
      secs.emplace_back(name, barwork::SecPcs{parts[0], parts.size() == 2 ? parts[1] : ""});
    } else if (parts.size() == 3) {
      std::int64_t offset = 0;
      auto [p, ec] = std::from_chars(parts[2].data(), parts[2].data() + parts[2].size(), offset);
      if (ec != std::errc() || p != parts[2].data() + parts[2].size())
        throw UsageError("roll offset of '" + s + "' is not a whole number of days");
      futs.emplace_back(name, barwork::FutRoll{parts[0], parts[1], offset});
    } else {
      throw UsageError("security '" + s + "' has too many ':' parts");
    }
  }
}

// Providers of the two stand-ins for a command: the query service over DIR
// and the intraday package over BARS.
std::shared_ptr<bql::Service> install_stand_ins(const Args& a) {
  const std::string service = a.get_or("service", bql::sample_folder());
  const std::string bars = a.get_or("bars", bqia::sample_folder());
  auto bq = std::make_shared<bql::LocalService>(service);
  auto pkg = std::make_shared<bqia::LocalPackage>(bars);
  bql::set_service_provider([bq] { return bq; });
  bqia::set_package_provider([pkg] { return pkg; });
  // querywork opened its handle when it loaded, before the provider existed.
  querywork::bq_handle().reset();
  return bq;
}

int whole_minutes(const Args& a, const char* name, int fallback) {
  auto v = a.get(name);
  if (!v) return fallback;
  int out = 0;
  auto [p, ec] = std::from_chars(v->data(), v->data() + v->size(), out);
  if (ec != std::errc() || p != v->data() + v->size()) throw UsageError(std::string("--") + name + " needs whole minutes, got '" + *v + "'");
  return out;
}

barwork::IntradayBarsArgs bars_args(const Args& a) {
  barwork::IntradayBarsArgs args;
  barwork::DictSecPcs secs;
  barwork::DictFut futs;
  parse_security_args(a.positional, secs, futs);
  if (!a.positional.empty()) {
    args.dict_sec_pcs = secs.empty() ? std::nullopt : std::optional(secs);
    args.dict_fut = futs.empty() ? std::nullopt : std::optional(futs);
  }
  if (auto v = a.get("start")) args.start = *v;
  if (auto v = a.get("end")) args.end = *v;
  if (auto v = a.get("tz")) args.tz = *v;
  if (auto v = a.get("freq")) args.downsample_freq = *v;
  if (auto v = a.get("packages")) args.packages = split_list(*v);
  args.add_description = !a.has("no-description");
  return args;
}

int run_bars(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {"no-description"}, {"start", "end", "tz", "freq", "packages", "service", "bars"});
  barwork::IntradayBarsArgs args = bars_args(a);
  install_stand_ins(a);
  quorin_data::formats::write_csv(barwork::get_intraday_bars(args), true, std::cout);
  return 0;
}

int run_events(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {"no-description", "summary", "verbose"},
                      {"universe", "start", "end", "tickers", "subtype", "relevancy", "view", "tz", "freq",
                       "packages", "pre", "post", "service", "bars"});
  for (const char* required : {"universe", "start", "end", "tz"})
    if (!a.get(required)) throw UsageError(std::string("--") + required + " is required");
  const int pre = whole_minutes(a, "pre", -5), post = whole_minutes(a, "post", 10);
  barwork::IntradayBarsArgs args = bars_args(a);
  auto bq = install_stand_ins(a);

  std::optional<std::vector<std::string>> tickers;
  if (auto t = a.get("tickers")) tickers = split_list(*t);
  std::ostream* progress = &std::cerr;
  Frame calendar = querywork::get_eco_calendar_data(
      bq, bql::Universe(*a.get("universe")), *a.get("start"), *a.get("end"), tickers,
      a.get_or("subtype", "all"), a.get_or("relevancy", "medium"), a.get_or("view", "extended"), a.get("tz"),
      a.has("verbose"), progress);
  Frame bars = barwork::get_intraday_bars(args);
  Frame windows = barwork::filter_bars_around_events(bars, calendar, pre, post);
  if (a.has("summary"))
    quorin_data::formats::write_csv(barwork::event_move_summary(windows, pre), true, std::cout);
  else
    quorin_data::formats::write_csv(windows, true, std::cout);
  return 0;
}

int run_bqia_sample(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {}, {"calendar", "out", "before", "after"});
  if (!a.positional.empty()) throw UsageError("unexpected argument '" + a.positional[0] + "'");
  const std::string calendar = a.get_or("calendar", bql::sample_folder() + "/calendar.csv");
  const std::string out = a.get_or("out", bqia::sample_folder());
  bqia::write_sample(calendar, out, to_minutes("before", a.get_or("before", "90")),
                     to_minutes("after", a.get_or("after", "90")));
  std::cout << "wrote " << out << " from " << calendar << "\n";
  return 0;
}

const char* kSecurities =
    "  SECURITY        NAME=PARSEKEY[:PCS] (\"spx=SPX Index\", \"eur=EURUSD Curncy:BGN\") or a\n"
    "                  futures roll NAME=ROOT:YELLOW_KEY:OFFSET (\"es1=ES:Index:5\", OFFSET in\n"
    "                  calendar days before the last trade date); none: spx=spx index\n";
const char* kBarOptions =
    "  --tz ZONE        bar times in this IANA zone (bars: default UTC)\n"
    "  --freq F         bar frequency: 1min, 5min, 1h, ...\n"
    "  --packages LIST  enabled data packages (default equity,macro,fixed-income)\n"
    "  --no-description without the short_name and parsekey columns\n"
    "  --service DIR    query-service stand-in over DIR (default: $QUORIN_BQL_SAMPLE,\n"
    "                   else the installed or source bql_sample)\n"
    "  --bars DIR       intraday-package stand-in over DIR (default: $QUORIN_BQIA_SAMPLE,\n"
    "                   else the installed or source bqia_sample)\n";

QUORIN_COMMAND("bars", "intraday bars of securities and futures rolls (CSV)",
               std::string("usage: quorin bars [SECURITY...] [--start DATE] [--end DATE] [--tz ZONE]\n"
                           "                   [--freq F] [--packages LIST] [--no-description]\n"
                           "                   [--service DIR] [--bars DIR]\n") +
                   kSecurities +
                   "  --start DATE     first day, yyyy-mm-dd (default 2024-06-01)\n"
                   "  --end DATE       last day, yyyy-mm-dd (default 2024-07-01)\n" + kBarOptions,
               run_bars);

QUORIN_COMMAND("events", "bars in windows around economic-calendar events (CSV)",
               std::string("usage: quorin events --universe U --start DATE --end DATE --tz ZONE [SECURITY...]\n"
                           "                     [--tickers LIST] [--subtype S] [--relevancy R] [--view V]\n"
                           "                     [--pre MIN] [--post MIN] [--summary] [--verbose]\n"
                           "                     [--freq F] [--packages LIST] [--no-description]\n"
                           "                     [--service DIR] [--bars DIR]\n"
                           "  The calendar of U from --start to --end, event times in --tz; the bars of\n"
                           "  the securities over the same days in --tz; the bars from --pre (default -5)\n"
                           "  to --post (default 10) minutes around each release, calendar columns\n"
                           "  attached.\n") +
                   kSecurities +
                   "  --tickers LIST   keep these indicator tickers (comma-separated)\n"
                   "  --subtype S, --relevancy R, --view V  calendar item options (all, medium,\n"
                   "                   extended)\n"
                   "  --summary        per security and offset, the move of close from the bar at\n"
                   "                   --pre: count, mean_move (price), and in basis points\n"
                   "                   mean_move_bp, std_move_bp, se_move_bp, t_stat, share_up\n"
                   "                   and the quartiles q25_move_bp, q50_move_bp, q75_move_bp\n"
                   "  --verbose        the calendar's progress lines, on standard error\n" +
                   kBarOptions,
               run_events);

QUORIN_COMMAND("bqia-sample", "write the sample folder of the local intraday-bars package",
               "usage: quorin bqia-sample [--calendar FILE] [--out DIR] [--before MIN] [--after MIN]\n"
               "  --calendar FILE  reference calendar of the query-service stand-in\n"
               "                   (default: the sample folder's calendar.csv)\n"
               "  --out DIR        folder to write (default: $QUORIN_BQIA_SAMPLE, else the\n"
               "                   installed or source bqia_sample)\n"
               "  --before MIN     one-minute bars from MIN minutes before each release (default 90)\n"
               "  --after MIN      to MIN minutes after it (default 90)\n"
               "The same calendar always gives the same files.",
               run_bqia_sample);

}  // namespace
}  // namespace quorin_cli
