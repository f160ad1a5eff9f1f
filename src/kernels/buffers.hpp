// Large buffers backed by transparent huge pages where the system grants them
// on request (the "madvise" mode of Linux): a fresh 80 MB buffer otherwise
// takes 20,000 page faults when it is first written, which costs more than a
// kernel's pass over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorin_data::kernels {

// Asks for huge pages over the whole 2 MB pages inside a vector's untouched
// capacity. A hint only: nothing changes where the system does not take it.
template <class T>
void advise_huge_pages(const std::vector<T>& v) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const std::size_t bytes = v.capacity() * sizeof(T);
  if (bytes < 2 * kHuge) return;
  const auto start = reinterpret_cast<std::uintptr_t>(v.data());
  const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (start + bytes) & ~(kHuge - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)v;
#endif
}

// Reserves room for n elements (no element is written), on huge pages where
// the system grants them.
template <class T>
void reserve_large(std::vector<T>& v, std::size_t n) {
  const bool fresh = v.capacity() < n;
  v.reserve(n);
  if (fresh) advise_huge_pages(v);
}

}  // namespace quorin_data::kernels
