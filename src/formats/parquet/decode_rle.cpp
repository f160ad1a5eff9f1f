// The RLE / bit-packed hybrid and what is stored in it: definition levels,
// dictionary indexes (looked up in the chunk's dictionary) and RLE booleans.
// Also the legacy BIT_PACKED levels.
#include <algorithm>
#include <cstring>

#include "reader_internal.hpp"

namespace quorin_data::formats::pq {

void decode_rle_hybrid(Cursor& c, int bit_width, std::size_t count, std::uint32_t* out, const char* what) {
  if (bit_width < 0 || bit_width > 32) c.place->fail(std::string("bit width out of range in ") + what);
  const std::size_t value_bytes = static_cast<std::size_t>((bit_width + 7) / 8);
  std::size_t done = 0;
  while (done < count) {
    const std::uint64_t header = c.uleb(what);
    if (header & 1) {
      const std::uint64_t groups = header >> 1;
      if (groups > (std::uint64_t{1} << 40)) c.place->fail(std::string("corrupt run in ") + what);
      const std::size_t nvals = static_cast<std::size_t>(groups * 8);
      const std::size_t take = std::min(nvals, count - done);
      const std::size_t full_bytes = static_cast<std::size_t>(groups) * static_cast<std::size_t>(bit_width);
      // The final group may be cut short by writers that do not pad; only the
      // bytes holding needed values must be present.
      const std::size_t need_bytes = (take * static_cast<std::size_t>(bit_width) + 7) / 8;
      c.need(need_bytes, what);
      if (bit_width == 0) {
        std::fill(out + done, out + done + take, 0u);
      } else if (bit_width == 1) {
        for (std::size_t i = 0; i < take; ++i) out[done + i] = (c.p[i >> 3] >> (i & 7)) & 1u;
      } else if (bit_width == 8) {
        for (std::size_t i = 0; i < take; ++i) out[done + i] = c.p[i];
      } else {
        // Values whose bytes would run past the data are read byte by byte safely.
        const std::size_t safe = need_bytes >= 8 ? (need_bytes - 8) * 8 / static_cast<std::size_t>(bit_width) : 0;
        std::size_t i = 0;
        for (; i < std::min(take, safe); ++i) {
          std::uint64_t v;
          const std::size_t bit = i * static_cast<std::size_t>(bit_width);
          std::memcpy(&v, c.p + (bit >> 3), 8);
          out[done + i] = static_cast<std::uint32_t>((v >> (bit & 7)) & ((1ULL << bit_width) - 1));
        }
        for (; i < take; ++i) {
          const std::size_t bit = i * static_cast<std::size_t>(bit_width);
          const int nb = static_cast<int>(((bit & 7) + static_cast<std::size_t>(bit_width) + 7) >> 3);
          std::uint64_t v = 0;
          for (int k = 0; k < nb && (bit >> 3) + static_cast<std::size_t>(k) < need_bytes; ++k)
            v |= static_cast<std::uint64_t>(c.p[(bit >> 3) + static_cast<std::size_t>(k)]) << (8 * k);
          out[done + i] = static_cast<std::uint32_t>((v >> (bit & 7)) & ((1ULL << bit_width) - 1));
        }
      }
      c.p += std::min(full_bytes, c.left());
      done += take;
    } else {
      const std::uint64_t run = header >> 1;
      c.need(value_bytes, what);
      std::uint32_t v = 0;
      for (std::size_t i = 0; i < value_bytes; ++i) v |= static_cast<std::uint32_t>(c.p[i]) << (8 * i);
      c.p += value_bytes;
      if (bit_width < 32 && (v >> bit_width)) c.place->fail(std::string("run value wider than its bit width in ") + what);
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(run, count - done));
      std::fill(out + done, out + done + take, v);
      done += take;
    }
  }
}

void decode_bit_packed_legacy(Cursor& c, int bit_width, std::size_t count, std::uint32_t* out) {
  if (bit_width < 0 || bit_width > 32) c.place->fail("bit width out of range in BIT_PACKED levels");
  const std::size_t bytes = (count * static_cast<std::size_t>(bit_width) + 7) / 8;
  c.need(bytes, "BIT_PACKED levels");
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t v = 0;
    for (int b = 0; b < bit_width; ++b) {
      const std::size_t bit = i * static_cast<std::size_t>(bit_width) + static_cast<std::size_t>(b);
      v = (v << 1) | ((c.p[bit >> 3] >> (7 - (bit & 7))) & 1u);
    }
    out[i] = v;
  }
  c.p += bytes;
}

template <class T>
void decode_dictionary(Cursor& cur, const std::vector<T>& dict, std::size_t n, std::vector<std::uint32_t>& idx,
                       std::vector<T>& out, const Place& place) {
  cur.need(1, "dictionary index bit width");
  const int bw = *cur.p++;
  idx.resize(n);
  decode_rle_hybrid(cur, bw, n, idx.data(), "dictionary indexes");
  out.resize(n);
  const std::size_t dn = dict.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (idx[i] >= dn)
      place.fail("dictionary index " + std::to_string(idx[i]) + " out of range (dictionary has " +
                 std::to_string(dn) + " values)");
    out[i] = dict[idx[i]];
  }
}

template void decode_dictionary(Cursor&, const std::vector<std::uint8_t>&, std::size_t, std::vector<std::uint32_t>&,
                                std::vector<std::uint8_t>&, const Place&);
template void decode_dictionary(Cursor&, const std::vector<std::int32_t>&, std::size_t, std::vector<std::uint32_t>&,
                                std::vector<std::int32_t>&, const Place&);
template void decode_dictionary(Cursor&, const std::vector<std::int64_t>&, std::size_t, std::vector<std::uint32_t>&,
                                std::vector<std::int64_t>&, const Place&);
template void decode_dictionary(Cursor&, const std::vector<Int96>&, std::size_t, std::vector<std::uint32_t>&,
                                std::vector<Int96>&, const Place&);
template void decode_dictionary(Cursor&, const std::vector<float>&, std::size_t, std::vector<std::uint32_t>&,
                                std::vector<float>&, const Place&);
template void decode_dictionary(Cursor&, const std::vector<double>&, std::size_t, std::vector<std::uint32_t>&,
                                std::vector<double>&, const Place&);
template void decode_dictionary(Cursor&, const std::vector<std::string_view>&, std::size_t,
                                std::vector<std::uint32_t>&, std::vector<std::string_view>&, const Place&);

void decode_rle_booleans(Cursor& cur, std::size_t n, std::vector<std::uint32_t>& idx, std::vector<std::uint8_t>& out) {
  const std::uint32_t len = cur.u32le("RLE BOOLEAN length");
  cur.need(len, "RLE BOOLEAN values");
  Cursor sub{cur.p, cur.p + len, cur.place};
  idx.resize(n);
  decode_rle_hybrid(sub, 1, n, idx.data(), "RLE BOOLEAN values");
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(idx[i]);
  cur.p += len;
}

}  // namespace quorin_data::formats::pq
