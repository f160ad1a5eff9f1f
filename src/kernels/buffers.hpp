// Large buffers backed by transparent huge pages where the system grants them
// on request (the "madvise" mode of Linux): a fresh 80 MB buffer otherwise
// takes 20,000 page faults when it is first written, which costs more than a
// kernel's pass over it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorin_data::kernels {

// The size of a huge page (x86-64 and the usual arm64 kernels).
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Asks for huge pages over the whole 2 MB pages of [p, p + bytes), memory
// not written yet. A hint only: nothing changes where the system does not
// take it.
inline void advise_huge_pages(const void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = kHugePage;
  if (bytes < 2 * kHuge) return;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (start + bytes) & ~(kHuge - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

// The same over a vector's untouched capacity.
template <class T>
void advise_huge_pages(const std::vector<T>& v) {
  advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

// Reserves room for n elements (no element past the size is written), on
// huge pages where the system grants them. The advice comes before the
// elements held move in, or the pages they fill would be small ones.
template <class T>
void reserve_large(std::vector<T>& v, std::size_t n) {
  if (v.capacity() >= n) return;
  std::vector<T> room;
  room.reserve(n);
  advise_huge_pages(room);
  room.insert(room.end(), std::make_move_iterator(v.begin()), std::make_move_iterator(v.end()));
  v.swap(room);
}

// Resizes to n elements (new ones value-initialised), on huge pages.
template <class T>
void resize_large(std::vector<T>& v, std::size_t n) {
  reserve_large(v, n);
  v.resize(n);
}

// Room for `more` elements past the size. When it runs out the capacity
// doubles, on huge pages: a vector growing a push at a time would move into
// fresh small pages at each doubling.
template <class T>
void room_for(std::vector<T>& v, std::size_t more) {
  if (v.capacity() - v.size() < more) reserve_large(v, std::max(v.size() + more, 2 * v.capacity()));
}

// Gives the unused room of a vector that was only appended to back when it
// is small. A large one keeps it: room never written takes no memory, and
// a copy into fresh memory costs more than the room.
template <class T>
void fit(std::vector<T>& v) {
  constexpr std::size_t kLarge = std::size_t{4} << 20;
  if (v.capacity() * sizeof(T) < kLarge && v.capacity() > v.size() + v.size() / 8 + 16) v.shrink_to_fit();
}

// Room for at least `bytes` bytes, to be released with std::free; `bytes`
// becomes the room given. Large rooms start and end on 2 MB boundaries, so
// that every page of them can be a huge one (an unaligned buffer keeps up to
// 2 MB at each end on small pages).
inline void* allocate_large(std::size_t& bytes) {
  constexpr std::size_t kHuge = kHugePage;
  void* p = nullptr;
  if (bytes >= 2 * kHuge) {
    bytes = (bytes + kHuge - 1) & ~(kHuge - 1);
    p = std::aligned_alloc(kHuge, bytes);
    if (p) advise_huge_pages(p, bytes);
  } else {
    p = std::malloc(bytes ? bytes : 1);
  }
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace quorin_data::kernels
