// xlsx workbooks: read the first worksheet, write one sheet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"

namespace quorin_data::formats {

// First worksheet in workbook order, first row as header.
//
// The first row holding a cell is the header (blank header cells become
// "Unnamed: N", repeated names get ".1", ".2" suffixes); the rows below it
// are placed by their cell references, empty rows in between kept as
// missing. Columns are typed by their values: all-integral numbers without
// gaps -> int64, other numbers -> float64, booleans -> bool, numbers in a
// date/time number format (or ISO "d" cells) -> naive timestamps rounded to
// the millisecond (1900 or 1904 date system as the workbook says), anything
// mixed -> text. Error cells (#N/A, #DIV/0!, ...), empty texts and cells
// without a value are missing. An all-missing column is float64.
//
// FormatError("xlsx", source, place, what) for bytes that are not a zip
// archive, truncated or corrupt entries, entries that declare or inflate to
// more than 1 GiB or past their declared size, missing parts, XML that is
// not a workbook/worksheet, cell references beyond XFD1048576, bad values,
// date serials outside the timestamp range, and sheets so sparse that they
// would expand into an enormous table. The worksheet is parsed as a stream
// straight from its zip entry (expat, no tree, no DTD): memory follows the
// cells that hold values, and the row limit fails as soon as it is passed.
Frame read_xlsx(const std::uint8_t* data, std::size_t size, const std::string& source);

// One sheet, header row, the row labels as first column when `index` is true
// (its header cell holds the index name, or is empty). Numbers, integers
// (as numbers; beyond +-2^53 as text so no digit is lost), booleans, texts,
// dates ("yyyy-mm-dd") and naive timestamps ("yyyy-mm-dd hh:mm:ss"); missing
// values and empty texts are empty cells, infinities are the texts "inf" /
// "-inf". ValueError for timestamps with a zone, texts that are not UTF-8 or
// longer than 32767 bytes, and tables larger than a worksheet.
std::vector<std::uint8_t> write_xlsx(const Frame& frame, bool index);

}  // namespace quorin_data::formats
