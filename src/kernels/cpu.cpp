#include "kernels/cpu.hpp"

namespace quorin_data::kernels {

Isa detected() {
  static const Isa isa = [] {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return Isa::avx512;
    if (__builtin_cpu_supports("avx2")) return Isa::avx2;
#endif
    return Isa::baseline;
  }();
  return isa;
}

}  // namespace quorin_data::kernels
