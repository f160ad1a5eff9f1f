// A gzip-compressed CSV parsed while it inflates: the parser pulls decoded
// bytes as it needs them, so memory follows the table being built (one
// window of text, not the whole inflated file) and a bad line stops the
// inflate where it is found.
#include "csv_internal.hpp"
#include "quorin_data/formats/gzip.hpp"

namespace quorin_data::formats {

using namespace csv_detail;

Frame read_csv_gzip(GzipStream& gz, const std::string& source, const CsvOptions& options) {
  Engine e(source, [&gz](char* out, std::size_t cap) { return gz.read(reinterpret_cast<std::uint8_t*>(out), cap); },
           options);
  if (!e.read_header()) no_columns(source);
  std::size_t rows = 0;
  return e.chunk(static_cast<std::size_t>(-1), std::size_t{1} << 20, 0, rows);
}

Frame read_csv_gzip(const std::uint8_t* data, std::size_t size, const std::string& source,
                    const CsvOptions& options) {
  GzipStream gz(data, size, source);
  return read_csv_gzip(gz, source, options);
}

}  // namespace quorin_data::formats
