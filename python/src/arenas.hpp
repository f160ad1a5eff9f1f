// The interpreter's small objects (strs among them) live in 1 MB arenas that
// it maps fresh and unmaps when they empty, on small pages. Making the strs
// of a column of millions of distinct texts then pays a page fault every
// 4 KB, more than the strs themselves cost. While a HugeArenas is alive, the
// arenas this thread asks for come instead from 2 MB-aligned regions
// advised for huge pages (and go back with them, a region at a time). Every
// other arena comes from the allocator that was in place, and each arena is
// given back to the allocator it came from.
#pragma once

namespace qpy {

// Puts the wrapping allocator in place; once, with the interpreter held.
void install_arenas();

class HugeArenas {
 public:
  HugeArenas();
  ~HugeArenas();
  HugeArenas(const HugeArenas&) = delete;
  HugeArenas& operator=(const HugeArenas&) = delete;
};

}  // namespace qpy
