// Our self-describing binary serialization of Value (the "pickle" format).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorin_data/core/value.hpp"

namespace quorin_data::formats {

// ValueError for a date column value outside 32 bits (dates are 32-bit day counts).
std::vector<std::uint8_t> serialize(const Value& v);
// FormatError naming `source` and the offset for truncated input, lengths
// that run past the end, unknown tags, trailing bytes, date values outside
// 32 bits, and frames without columns that declare more than
// kMaxRowsWithoutColumns rows.
Value deserialize(const std::uint8_t* data, std::size_t size, const std::string& source);

// True for bytes written by Python's pickle module: protocols 2 to 5 by
// their PROTO opening; protocols 0 and 1, which have none, when the bytes
// are one well-formed run of their opcodes ending in STOP at the last byte
// (our own format starts with "QDPK", which is no such run).
bool is_python_pickle(const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace quorin_data::formats
