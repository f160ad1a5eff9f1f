// Calendar zone texts and release-time texts as the service gives them: any
// text either gives a zone / event times or raises a value or key error,
// never anything else; a zone with minutes keeps its whole offset.
#include <cstddef>
#include <cstdint>
#include <string>

#include "quorin_data/core.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace qw = quorin_data::from_bqia::querywork;
using namespace quorin_data;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string all(reinterpret_cast<const char*>(data), size);
  const auto cut = all.find('\n');
  const std::string zone = all.substr(0, cut), release = cut == std::string::npos ? "" : all.substr(cut + 1);
  try {
    (void)qw::convert_tz(zone);
  } catch (const ValueError&) {
  } catch (const KeyError&) {
  }
  static const Zone ny = Zone::locate("America/New_York");
  Frame f;
  f.add_column("RELEASE_DATE_TIME", Column::texts({release}));
  try {
    qw::add_event_columns(f, Column::texts({release}), Column::texts({zone}), ny);
    const Column& t = f.column("event_time");
    if (!t.is_missing(0) && (t.integer(0) < 0 || t.integer(0) >= kNanosPerDay)) __builtin_trap();
  } catch (const ValueError&) {
  } catch (const KeyError&) {
  }
  return 0;
}
