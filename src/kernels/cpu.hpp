// Instruction sets of the vector kernels. Every kernel has a baseline path
// that gives the same bits as its wider ones; a caller that asks for a lower
// set than the CPU has gets that set's path (the tests compare them).
#pragma once

#include <algorithm>

namespace quorin_data::kernels {

enum class Isa : int {
  baseline = 0,  // what every x86-64 (or other) CPU runs
  avx2 = 1,
  avx512 = 2,  // AVX-512 F and DQ
};

// The widest set this CPU has, found once.
Isa detected();

// The set a kernel runs when asked for `wanted`: never more than the CPU has.
inline Isa usable(Isa wanted) { return std::min(wanted, detected()); }

}  // namespace quorin_data::kernels
