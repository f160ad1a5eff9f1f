// The delta encodings: DELTA_BINARY_PACKED integers, and the byte arrays
// built on it (DELTA_LENGTH_BYTE_ARRAY, DELTA_BYTE_ARRAY).
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "reader_internal.hpp"

namespace quorin_data::formats::pq {

void decode_delta_binary(Cursor& c, std::size_t max_count, std::vector<std::int64_t>& out, bool is32) {
  const char* what = "DELTA_BINARY_PACKED data";
  const std::uint64_t block = c.uleb(what);
  const std::uint64_t minis = c.uleb(what);
  const std::uint64_t total = c.uleb(what);
  std::int64_t value = c.zigzag(what);
  if (block == 0 || block % 128 != 0 || minis == 0 || block % minis != 0 || (block / minis) % 32 != 0 ||
      block > (1u << 20))
    c.place->fail("corrupt DELTA_BINARY_PACKED header");
  if (total > max_count) c.place->fail("DELTA_BINARY_PACKED holds more values than the page");
  const std::size_t per_mini = static_cast<std::size_t>(block / minis);
  out.clear();
  out.reserve(static_cast<std::size_t>(total));
  if (total == 0) return;
  out.push_back(is32 ? static_cast<std::int32_t>(value) : value);
  std::vector<std::uint8_t> widths(static_cast<std::size_t>(minis));
  while (out.size() < total) {
    const std::int64_t min_delta = c.zigzag(what);
    c.need(widths.size(), what);
    std::memcpy(widths.data(), c.p, widths.size());
    c.p += widths.size();
    for (std::size_t m = 0; m < widths.size() && out.size() < total; ++m) {
      const int w = widths[m];
      if (w > 64) c.place->fail("DELTA_BINARY_PACKED bit width over 64");
      const std::size_t bytes = per_mini * static_cast<std::size_t>(w) / 8;
      c.need(bytes, what);
      for (std::size_t i = 0; i < per_mini && out.size() < total; ++i) {
        std::uint64_t d = 0;
        const std::size_t bit = i * static_cast<std::size_t>(w);
        for (int b = 0; b < w;) {
          const std::size_t pos = bit + static_cast<std::size_t>(b);
          const int off = static_cast<int>(pos & 7);
          const int take = std::min(8 - off, w - b);
          const std::uint64_t bits = (c.p[pos >> 3] >> off) & ((1u << take) - 1);
          d |= bits << b;
          b += take;
        }
        const std::uint64_t next = static_cast<std::uint64_t>(value) + static_cast<std::uint64_t>(min_delta) + d;
        value = is32 ? static_cast<std::int64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(next)))
                     : static_cast<std::int64_t>(next);
        out.push_back(value);
      }
      c.p += bytes;
    }
  }
}

template <class T>
void decode_delta_integers(Cursor& cur, std::size_t n, std::vector<std::int64_t>& ints, std::vector<T>& out,
                           const Place& place) {
  decode_delta_binary(cur, n, ints, std::is_same_v<T, std::int32_t>);
  if (ints.size() != n) place.fail("DELTA_BINARY_PACKED value count differs from the page");
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<T>(ints[i]);
}

template void decode_delta_integers(Cursor&, std::size_t, std::vector<std::int64_t>&, std::vector<std::int32_t>&,
                                    const Place&);
template void decode_delta_integers(Cursor&, std::size_t, std::vector<std::int64_t>&, std::vector<std::int64_t>&,
                                    const Place&);

void decode_delta_length_byte_array(Cursor& cur, std::size_t n, std::vector<std::int64_t>& ints,
                                    std::vector<std::string_view>& out, const Place& place) {
  decode_delta_binary(cur, n, ints, true);
  if (ints.size() != n) place.fail("DELTA_LENGTH_BYTE_ARRAY length count differs from the page");
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (ints[i] < 0) place.fail("negative DELTA_LENGTH_BYTE_ARRAY length");
    const std::size_t len = static_cast<std::size_t>(ints[i]);
    cur.need(len, "DELTA_LENGTH_BYTE_ARRAY data");
    out[i] = std::string_view(reinterpret_cast<const char*>(cur.p), len);
    cur.p += len;
  }
}

void decode_delta_byte_array(Cursor& cur, const ColumnDesc& d, std::size_t n, std::vector<std::int64_t>& ints,
                             std::string& arena, std::vector<std::string_view>& out, const Place& place) {
  std::vector<std::int64_t> prefix;
  decode_delta_binary(cur, n, prefix, true);
  decode_delta_binary(cur, n, ints, true);
  if (prefix.size() != n || ints.size() != n) place.fail("DELTA_BYTE_ARRAY counts differ from the page");
  // Size the arena first so that views into it stay valid.
  std::size_t total = 0, prev = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (prefix[i] < 0 || ints[i] < 0 || static_cast<std::size_t>(prefix[i]) > prev)
      place.fail("DELTA_BYTE_ARRAY prefix longer than the previous value");
    prev = static_cast<std::size_t>(prefix[i]) + static_cast<std::size_t>(ints[i]);
    total += prev;
    if (total > (std::size_t{1} << 31)) place.fail("DELTA_BYTE_ARRAY values too large");
  }
  arena.clear();
  arena.reserve(total);
  out.resize(n);
  std::size_t prev_pos = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t pl = static_cast<std::size_t>(prefix[i]), sl = static_cast<std::size_t>(ints[i]);
    cur.need(sl, "DELTA_BYTE_ARRAY suffix");
    const std::size_t pos = arena.size();
    arena.append(arena, prev_pos, pl);
    arena.append(reinterpret_cast<const char*>(cur.p), sl);
    cur.p += sl;
    if (d.phys == kFixed && pl + sl != static_cast<std::size_t>(d.type_length))
      place.fail("DELTA_BYTE_ARRAY value of the wrong fixed length");
    out[i] = std::string_view(arena.data() + pos, pl + sl);
    prev_pos = pos;
  }
}

}  // namespace quorin_data::formats::pq
