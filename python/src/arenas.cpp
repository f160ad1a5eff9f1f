#include "arenas.hpp"

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kernels/buffers.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qpy {
namespace {

PyObjectArenaAllocator previous{};
bool installed = false;
thread_local int depth = 0;

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::uintptr_t kHuge = quorin_data::kernels::kHugePage;

// The region (huge page) an arena lies in.
inline std::uintptr_t region_of(std::uintptr_t arena) { return arena & ~(kHuge - 1); }

// Regions of one huge page at its boundary, each cut into arenas. A region
// is unmapped whole once none of its arenas is in use: unmapping part of a
// huge page splits it, which costs about a millisecond here, more than
// making the strs of a megabyte. Until then its free arenas are handed out
// again first. Arenas are asked for and given back rarely (one a megabyte).
// The bookkeeping is never destroyed: the interpreter may give arenas back
// while the process exits, after the destructors of statics have run.
struct Regions {
  std::mutex mu;
  std::unordered_map<std::uintptr_t, std::size_t> live;  // region -> arenas in use
  std::vector<std::uintptr_t> free_arenas;
  std::size_t arena_size = 0;
};
Regions& regions = *new Regions;

void* huge_arena(std::size_t size) {
  std::lock_guard<std::mutex> lock(regions.mu);
  auto& live = regions.live;
  auto& free_arenas = regions.free_arenas;
  auto& arena_size = regions.arena_size;
  if (arena_size != size && !live.empty()) return nullptr;
  arena_size = size;
  if (!free_arenas.empty()) {
    const std::uintptr_t p = free_arenas.back();
    free_arenas.pop_back();
    ++live[region_of(p)];
    return reinterpret_cast<void*>(p);
  }
  // Room for the lists first, so that nothing can fail once it is mapped
  // (this is called from C, which no exception may cross).
  try {
    free_arenas.reserve(free_arenas.size() + kHuge / size);
    live.reserve(live.size() + 1);
  } catch (...) {
    return nullptr;
  }
  void* m = mmap(nullptr, 2 * kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(m);
  const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
  if (begin > start) munmap(m, begin - start);
  munmap(reinterpret_cast<void*>(begin + kHuge), start + kHuge - begin);
  (void)madvise(reinterpret_cast<void*>(begin), kHuge, MADV_HUGEPAGE);
  for (std::uintptr_t p = begin + kHuge - size; p > begin; p -= size) free_arenas.push_back(p);
  live[begin] = 1;
  return reinterpret_cast<void*>(begin);
}

// True when p was one of ours (and is given back).
bool release_huge(void* p) {
  std::lock_guard<std::mutex> lock(regions.mu);
  auto& live = regions.live;
  auto& free_arenas = regions.free_arenas;
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t region = region_of(at);
  const auto it = live.find(region);
  if (it == live.end()) return false;
  if (--it->second > 0) {
    try {
      free_arenas.push_back(at);
    } catch (...) {
      // Left out of the list, it goes with its region.
    }
    return true;
  }
  live.erase(it);
  free_arenas.erase(std::remove_if(free_arenas.begin(), free_arenas.end(),
                                   [&](std::uintptr_t a) { return region_of(a) == region; }),
                    free_arenas.end());
  munmap(reinterpret_cast<void*>(region), kHuge);
  return true;
}
#endif

void* alloc(void*, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (depth > 0 && size <= kHuge && kHuge % size == 0) {
    if (void* p = huge_arena(size)) return p;
  }
#endif
  return previous.alloc(previous.ctx, size);
}

void release(void*, void* p, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (release_huge(p)) return;
#endif
  previous.free(previous.ctx, p, size);
}

PyObjectArenaAllocator wrapper{nullptr, alloc, release};

}  // namespace

void install_arenas() {
  if (installed) return;
  PyObject_GetArenaAllocator(&previous);
  PyObject_SetArenaAllocator(&wrapper);
  installed = true;
}

HugeArenas::HugeArenas() { ++depth; }

HugeArenas::~HugeArenas() { --depth; }

}  // namespace qpy
