// libFuzzer target over gzip decoding: the whole-buffer and the streaming
// paths must agree, and every input must give bytes or a FormatError.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/gzip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorin_data::formats;
  bool whole_ok = false, stream_ok = false;
  std::vector<std::uint8_t> whole, streamed;
  try {
    whole = gunzip(data, size, "fuzz");
    whole_ok = true;
  } catch (const quorin_data::FormatError&) {
  }
  try {
    GzipStream s(data, size, "fuzz");
    std::uint8_t buf[1000];
    const std::size_t step = size > 0 ? 1 + data[0] % sizeof buf : sizeof buf;
    for (;;) {
      const std::size_t n = s.read(buf, step);
      if (n == 0) break;
      streamed.insert(streamed.end(), buf, buf + n);
      if (streamed.size() > (std::size_t{64} << 20)) return 0;  // enough of a bomb
    }
    stream_ok = true;
  } catch (const quorin_data::FormatError&) {
  }
  if (whole_ok != stream_ok || (whole_ok && whole != streamed)) std::abort();
  if (whole_ok) {
    auto again = gzip_compress(whole.data(), whole.size(), 1);
    if (gunzip(again.data(), again.size(), "re") != whole) std::abort();
  }
  return 0;
}
