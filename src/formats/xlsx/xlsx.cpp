// xlsx workbooks: reader over the zip container and the sheet XML, writer on
// libxlsxwriter.
#include "quorin_data/formats/xlsx.hpp"

#include "quorin_data/core/errors.hpp"

namespace quorin_data::formats {

Frame read_xlsx(const std::uint8_t*, std::size_t, const std::string& source) {
  throw FormatError("xlsx", source, "", "the workbook reader is not available yet");
}

std::vector<std::uint8_t> write_xlsx(const Frame&, bool) {
  throw FormatError("xlsx", "", "", "the workbook writer is not available yet");
}

}  // namespace quorin_data::formats
