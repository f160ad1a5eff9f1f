// xlsx workbooks: read the first worksheet, write one sheet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"

namespace quorin_data::formats {

// First worksheet in workbook order, first row as header.
Frame read_xlsx(const std::uint8_t* data, std::size_t size, const std::string& source);
// One sheet, header row, the row labels as first column when `index` is true.
std::vector<std::uint8_t> write_xlsx(const Frame& frame, bool index);

}  // namespace quorin_data::formats
