// PLAIN: values stored one after another in their physical form (booleans
// as bits, byte arrays with a 4-byte length, fixed-length arrays as they are).
#include <cstring>
#include <type_traits>

#include "reader_internal.hpp"

namespace quorin_data::formats::pq {

template <class T>
void decode_plain(Cursor& cur, const ColumnDesc& d, std::size_t n, std::vector<T>& out) {
  if constexpr (std::is_same_v<T, std::uint8_t>) {
    const std::size_t bytes = (n + 7) / 8;
    cur.need(bytes, "PLAIN BOOLEAN values");
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = (cur.p[i >> 3] >> (i & 7)) & 1;
    cur.p += bytes;
  } else if constexpr (std::is_same_v<T, std::string_view>) {
    if (n && cur.left() / (d.phys == kFixed ? static_cast<std::size_t>(d.type_length) : 4) < n)
      cur.place->fail("truncated PLAIN byte-array values");
    out.resize(n);
    if (d.phys == kFixed) {
      const std::size_t w = static_cast<std::size_t>(d.type_length);
      for (std::size_t i = 0; i < n; ++i) out[i] = std::string_view(reinterpret_cast<const char*>(cur.p + i * w), w);
      cur.p += n * w;
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t len = cur.u32le("PLAIN BYTE_ARRAY length");
        cur.need(len, "PLAIN BYTE_ARRAY value");
        out[i] = std::string_view(reinterpret_cast<const char*>(cur.p), len);
        cur.p += len;
      }
    }
  } else {
    if (n && cur.left() / sizeof(T) < n) cur.place->fail("truncated PLAIN values");
    out.resize(n);
    std::memcpy(out.data(), cur.p, n * sizeof(T));
    cur.p += n * sizeof(T);
  }
}

template void decode_plain(Cursor&, const ColumnDesc&, std::size_t, std::vector<std::uint8_t>&);
template void decode_plain(Cursor&, const ColumnDesc&, std::size_t, std::vector<std::int32_t>&);
template void decode_plain(Cursor&, const ColumnDesc&, std::size_t, std::vector<std::int64_t>&);
template void decode_plain(Cursor&, const ColumnDesc&, std::size_t, std::vector<Int96>&);
template void decode_plain(Cursor&, const ColumnDesc&, std::size_t, std::vector<float>&);
template void decode_plain(Cursor&, const ColumnDesc&, std::size_t, std::vector<double>&);
template void decode_plain(Cursor&, const ColumnDesc&, std::size_t, std::vector<std::string_view>&);

}  // namespace quorin_data::formats::pq
