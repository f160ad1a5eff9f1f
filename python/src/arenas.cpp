#include "arenas.hpp"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qpy {
namespace {

PyObjectArenaAllocator previous{};
bool installed = false;
thread_local int depth = 0;

// The arenas handed out from huge regions (so that they alone are unmapped
// here), and the unused rest of the last region, held by the thread that
// mapped it. Arenas are asked for and given back rarely (one a megabyte).
std::mutex mu;
std::unordered_set<void*> ours;
thread_local std::vector<void*> spare;
thread_local std::size_t spare_size = 0;

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::size_t kHuge = std::size_t{2} << 20;

void* huge_arena(std::size_t size) {
  if (!spare.empty() && spare_size == size) {
    void* p = spare.back();
    spare.pop_back();
    return p;
  }
  // 2 MB at a 2 MB boundary, cut from a mapping of twice that.
  void* m = mmap(nullptr, 2 * kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(m);
  const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
  if (begin > start) munmap(m, begin - start);
  if (start + 2 * kHuge > begin + kHuge) munmap(reinterpret_cast<void*>(begin + kHuge), start + kHuge - begin);
  (void)madvise(reinterpret_cast<void*>(begin), kHuge, MADV_HUGEPAGE);
  for (std::uintptr_t p = begin + kHuge - size; p > begin; p -= size) spare.push_back(reinterpret_cast<void*>(p));
  spare_size = size;
  return reinterpret_cast<void*>(begin);
}

void release_spare() {
  for (void* p : spare) munmap(p, spare_size);
  spare.clear();
}
#endif

void* alloc(void*, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (depth > 0 && size <= kHuge && kHuge % size == 0) {
    void* p = huge_arena(size);
    if (p) {
      try {
        std::lock_guard<std::mutex> lock(mu);
        ours.insert(p);
        return p;
      } catch (...) {
        munmap(p, size);
      }
    }
  }
#endif
  return previous.alloc(previous.ctx, size);
}

void release(void*, void* p, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  {
    std::lock_guard<std::mutex> lock(mu);
    if (ours.erase(p)) {
      munmap(p, size);
      return;
    }
  }
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

HugeArenas::~HugeArenas() {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (--depth == 0) release_spare();
#else
  --depth;
#endif
}

}  // namespace qpy
