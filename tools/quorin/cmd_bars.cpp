// `quorin bqia-sample`: writes the deterministic sample folder of the local
// intraday-bars package from the query service's reference calendar.
#include <charconv>
#include <iostream>

#include "commands.hpp"
#include "quorin_data/from_bqia/barwork.hpp"
#include "quorin_data/from_bqia/bqia.hpp"
#include "quorin_data/from_bqia/bql.hpp"

namespace bqia = quorin_data::from_bqia::bqia;
namespace bql = quorin_data::from_bqia::bql;
namespace barwork = quorin_data::from_bqia::barwork;

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

}  // namespace

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

namespace {

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

QUORIN_COMMAND("bqia-sample", "write the sample folder of the local intraday-bars package",
               "usage: quorin bqia-sample [--calendar FILE] [--out DIR] [--before MIN] [--after MIN]\n"
               "  --calendar FILE  reference calendar of the query-service stand-in\n"
               "                   (default: the sample folder's calendar.csv)\n"
               "  --out DIR        folder to write (default: $QUORIN_BQIA_SAMPLE, else the\n"
               "                   sources' data/bqia_sample)\n"
               "  --before MIN     one-minute bars from MIN minutes before each release (default 90)\n"
               "  --after MIN      to MIN minutes after it (default 90)\n"
               "The same calendar always gives the same files.",
               run_bqia_sample);

}  // namespace
}  // namespace quorin_cli
