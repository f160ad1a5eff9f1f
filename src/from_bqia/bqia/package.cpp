// Roll rules, the package registry, frequencies and the aggregation of bars.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/from_bqia/bqia.hpp"
#include "from_bqia/sample_folder.hpp"

namespace quorin_data::from_bqia::bqia {

const FuturesRollConfig* FuturesRollFactory::find(const std::string& name) const noexcept {
  const FuturesRollConfig* out = nullptr;
  for (const auto& [k, v] : mapping_)
    if (k == name) out = &v;
  return out;
}

// --------------------------------------------------------------- registry

ProviderRegistry<Package>& package_registry() {
  static ProviderRegistry<Package> r;
  return r;
}

void set_package_provider(PackageProvider provider) { package_registry().replace(std::move(provider)); }

bool has_package_provider() { return package_registry().has(); }

// ------------------------------------------------------------ frequencies

std::int64_t parse_frequency(const std::string& freq) {
  const auto bad = [&]() -> PackageError {
    return PackageError("invalid downsample_freq '" + freq +
                        "': expected a whole number of seconds, minutes or hours that divides a day "
                        "(\"1min\", \"5min\", \"1h\")");
  };
  std::size_t i = 0;
  while (i < freq.size() && std::isdigit(static_cast<unsigned char>(freq[i]))) ++i;
  std::int64_t n = 1;
  if (i > 0) {
    auto [p, ec] = std::from_chars(freq.data(), freq.data() + i, n);
    if (ec != std::errc() || p != freq.data() + i) throw bad();
  }
  std::string unit = freq.substr(i);
  for (char& c : unit) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::int64_t unit_s;
  if (unit == "min" || unit == "t") unit_s = 60;
  else if (unit == "h") unit_s = 3600;
  else if (unit == "s") unit_s = 1;
  else throw bad();
  if (n <= 0 || n > 86400 / unit_s || 86400 % (n * unit_s) != 0) throw bad();
  return n * unit_s * kNanosPerSecond;
}

// ------------------------------------------------------------ aggregation

BarColumns downsample(const BarColumns& bars, const std::vector<std::int32_t>& utc_offsets_s, std::int64_t freq_ns) {
  BarColumns out;
  const std::size_t n = bars.time.size();
  const auto floor_div = [](std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
  };
  std::size_t i = 0;
  while (i < n) {
    // The interval of bar i on its zone's wall clock; its label is the
    // interval start, as an instant at bar i's offset.
    const std::int64_t off = static_cast<std::int64_t>(utc_offsets_s[i]) * kNanosPerSecond;
    const std::int64_t bucket = floor_div(bars.time[i] + off, freq_ns);
    double hi = bars.high[i], lo = bars.low[i], vol = bars.volume[i];
    std::size_t j = i + 1;
    while (j < n &&
           floor_div(bars.time[j] + static_cast<std::int64_t>(utc_offsets_s[j]) * kNanosPerSecond, freq_ns) == bucket) {
      hi = std::max(hi, bars.high[j]);
      lo = std::min(lo, bars.low[j]);
      vol += bars.volume[j];
      ++j;
    }
    out.time.push_back(bucket * freq_ns - off);
    out.open.push_back(bars.open[i]);
    out.high.push_back(hi);
    out.low.push_back(lo);
    out.close.push_back(bars.close[j - 1]);
    out.volume.push_back(vol);
    i = j;
  }
  return out;
}

std::string sample_folder() {
  return detail::locate_sample_folder("QUORIN_BQIA_SAMPLE", "bqia_sample", reinterpret_cast<const void*>(&sample_folder));
}

}  // namespace quorin_data::from_bqia::bqia
