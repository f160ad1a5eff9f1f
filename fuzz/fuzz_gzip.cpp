// libFuzzer target over gzip decoding: the whole-buffer path, the inline
// streaming path, the read-ahead streaming path and the path over input
// pulled in pieces must agree, and every
// input must give bytes or a FormatError.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <cstdlib>
#include <vector>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorin_data::formats;
  // Bombs stop at the output limit on every path, with the same error.
  static const bool limited = (set_gzip_output_limit(std::size_t{16} << 20), true);
  (void)limited;
  bool whole_ok = false, stream_ok = false;
  std::vector<std::uint8_t> whole, streamed;
  try {
    whole = gunzip(data, size, "fuzz");
    whole_ok = true;
  } catch (const quorin_data::FormatError&) {
  }
  // Streams with the given read-ahead mode; false on a FormatError.
  auto stream = [&](GzipStream::ReadAhead mode, std::vector<std::uint8_t>& out) {
    try {
      GzipStream s(data, size, "fuzz", mode);
      std::uint8_t buf[1000];
      const std::size_t step = size > 0 ? 1 + data[0] % sizeof buf : sizeof buf;
      for (;;) {
        const std::size_t n = s.read(buf, step);
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
      }
      return true;
    } catch (const quorin_data::FormatError&) {
      return false;
    }
  };
  stream_ok = stream(GzipStream::ReadAhead::Off, streamed);
  std::vector<std::uint8_t> ahead;
  if (stream(GzipStream::ReadAhead::On, ahead) != stream_ok || (stream_ok && ahead != streamed)) std::abort();
  if (whole_ok != stream_ok || (whole_ok && whole != streamed)) std::abort();
  // Input pulled in small pieces (as a download arrives) decodes the same.
  std::vector<std::uint8_t> pulled;
  bool pulled_ok = false;
  try {
    std::size_t at = 0;
    const std::size_t piece = size > 1 ? 1 + data[1] % 61 : 1;
    GzipStream s(
        [&](std::uint8_t* out, std::size_t cap) {
          std::size_t n = cap < piece ? cap : piece;
          if (n > size - at) n = size - at;
          for (std::size_t i = 0; i < n; ++i) out[i] = data[at + i];
          at += n;
          return n;
        },
        "fuzz", GzipStream::ReadAhead::Off);
    std::uint8_t buf[1000];
    for (std::size_t n; (n = s.read(buf, sizeof buf)) > 0;) pulled.insert(pulled.end(), buf, buf + n);
    pulled_ok = true;
  } catch (const quorin_data::FormatError&) {
  }
  if (pulled_ok != stream_ok || (pulled_ok && pulled != streamed)) std::abort();
  // The CSV parsed while it inflates is the table of the inflated text.
  if (whole_ok) {
    std::optional<quorin_data::Frame> a, b;
    try {
      a = read_csv(std::string_view(reinterpret_cast<const char*>(whole.data()), whole.size()), "fuzz");
    } catch (const quorin_data::Error&) {
    }
    try {
      b = read_csv_gzip(data, size, "fuzz");
    } catch (const quorin_data::Error&) {
    }
    if (a.has_value() != b.has_value() || (a && !(*a == *b))) std::abort();
  }
  if (whole_ok) {
    auto again = gzip_compress(whole.data(), whole.size(), 1);
    if (gunzip(again.data(), again.size(), "re") != whole) std::abort();
  }
  return 0;
}
