// Bounded fan-out of the parts of one transfer.
#pragma once

#include <cstddef>
#include <functional>

namespace quorin_data::store::detail {

// Calls fn(i) for every i in [0, n) on at most `workers` threads, the
// caller's among them (workers <= 1: in order on the caller's thread). After
// a failure no further index is started; once the running calls end, the
// failure of the lowest failed index is rethrown, as an in-order loop would
// have raised it.
void run_indexed(std::size_t n, std::size_t workers, const std::function<void(std::size_t)>& fn);

}  // namespace quorin_data::store::detail
