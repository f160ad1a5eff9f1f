// The large-buffer helpers moved to the kernel layer (src/kernels/buffers.hpp);
// this header remains for the sources that still include it by this name. It
// is internal: not installed.
#pragma once

#include "kernels/buffers.hpp"

namespace quorin_data {
using kernels::advise_huge_pages;
using kernels::reserve_large;
}  // namespace quorin_data
