// Pieces of the workbook reader and writer that tests exercise directly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorin_data::formats::xlsx_detail {

constexpr std::uint32_t kMaxRows = 1048576;
constexpr std::uint32_t kMaxColumns = 16384;  // XFD

// "C7" -> row 7, column 3 (1-based). False for malformed references and
// those beyond XFD1048576.
bool parse_cell_ref(std::string_view ref, std::uint32_t& row, std::uint32_t& col);
// 1 -> "A", 27 -> "AA".
std::string column_letters(std::uint32_t col);
// Whether a number format code shows a date or time (quoted literals,
// escapes, bracketed colours/conditions and elapsed-time codes excluded).
bool is_date_format_code(std::string_view code);
// Built-in date/time formats: 14-22, 45-47.
bool is_builtin_date_format(int id);
// Resolves the _xHHHH_ escapes of OOXML strings.
std::string decode_xstring(std::string_view s);
// Excel day serials <-> naive timestamps (ns), in the 1900 or 1904 system.
// serial_to_ns rounds to the millisecond and fails for values outside the
// timestamp range.
bool serial_to_ns(double serial, bool date1904, std::int64_t& ns);
double ns_to_serial(std::int64_t ns, bool date1904);
// A calendar date (days since 1970-01-01) as a day serial; any date a column
// can hold, including those beyond the nanosecond timestamp range.
double days_to_serial(std::int64_t days, bool date1904);

}  // namespace quorin_data::formats::xlsx_detail
