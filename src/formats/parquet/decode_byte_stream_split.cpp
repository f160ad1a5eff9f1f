// BYTE_STREAM_SPLIT: byte k of every value stored together, stream after stream.
#include <type_traits>

#include "reader_internal.hpp"

namespace quorin_data::formats::pq {

template <class T>
void decode_byte_stream_split(Cursor& cur, std::size_t w, std::size_t n, std::string& arena, std::vector<T>& out,
                              const Place& place) {
  if (n && cur.left() / w < n) place.fail("truncated BYTE_STREAM_SPLIT data");
  if (cur.left() != n * w) place.fail("BYTE_STREAM_SPLIT data size differs from the value count");
  out.resize(n);
  if constexpr (std::is_same_v<T, std::string_view>) {
    arena.assign(n * w, '\0');
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t b = 0; b < w; ++b) arena[i * w + b] = static_cast<char>(cur.p[b * n + i]);
    for (std::size_t i = 0; i < n; ++i) out[i] = std::string_view(arena.data() + i * w, w);
  } else {
    (void)arena;
    auto* dst = reinterpret_cast<std::uint8_t*>(out.data());
    for (std::size_t b = 0; b < w; ++b)
      for (std::size_t i = 0; i < n; ++i) dst[i * w + b] = cur.p[b * n + i];
  }
  cur.p += n * w;
}

template void decode_byte_stream_split(Cursor&, std::size_t, std::size_t, std::string&, std::vector<std::int32_t>&,
                                       const Place&);
template void decode_byte_stream_split(Cursor&, std::size_t, std::size_t, std::string&, std::vector<std::int64_t>&,
                                       const Place&);
template void decode_byte_stream_split(Cursor&, std::size_t, std::size_t, std::string&, std::vector<Int96>&,
                                       const Place&);
template void decode_byte_stream_split(Cursor&, std::size_t, std::size_t, std::string&, std::vector<float>&,
                                       const Place&);
template void decode_byte_stream_split(Cursor&, std::size_t, std::size_t, std::string&, std::vector<double>&,
                                       const Place&);
template void decode_byte_stream_split(Cursor&, std::size_t, std::size_t, std::string&,
                                       std::vector<std::string_view>&, const Place&);

}  // namespace quorin_data::formats::pq
