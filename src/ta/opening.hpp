// The opening steps every indicator shares, in the order their errors are
// raised: once the parameters' types are checked, each input is verified in
// argument order (a broken series raises, a short or non-numeric one is
// absent), then the offset's value is read (NaN and infinity raise even when
// an input is absent), and only then does an absent input end the call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/utils.hpp"

namespace quorin_data::ta::utils::detail {

// The verified inputs of one call and its offset.
template <std::size_t N>
struct Inputs {
  std::array<Verified, N> series;
  std::int64_t offset = 0;

  const SeriesRef& operator[](std::size_t k) const noexcept { return *series[k]; }
  // Every input on one index.
  Aligned aligned() const { return aligned_(std::make_index_sequence<N>{}); }

 private:
  template <std::size_t... K>
  Aligned aligned_(std::index_sequence<K...>) const {
    return align({&*series[K]...});
  }
};

// Nullopt when any input is absent; `min_length` applies to every input.
template <class... R>
std::optional<Inputs<sizeof...(R)>> open_inputs(const Value& offset, std::optional<std::int64_t> min_length,
                                                const R&... series) {
  // A braced list is evaluated left to right: the inputs are verified in order.
  Inputs<sizeof...(R)> in{{verify(series, min_length)...}};
  in.offset = get_offset(offset);
  for (const Verified& v : in.series)
    if (!v) return std::nullopt;
  return in;
}

// A window that truncated to 0 rows cannot be computed over.
inline void require_window(const char* fn, std::int64_t len) {
  if (len == 0)
    throw ValueError(std::string(fn) +
                     ": the window length truncates to 0 (a fraction below 1); it must be at "
                     "least 1 row");
}

}  // namespace quorin_data::ta::utils::detail
