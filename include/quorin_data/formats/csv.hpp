// CSV reading (whole or by chunks) and writing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorin_data/core/frame.hpp"

namespace quorin_data::formats {

// Reads from a byte source: fills up to `cap` bytes, returns 0 at the end.
using ByteReader = std::function<std::size_t(char* out, std::size_t cap)>;

// Reading options.
struct CsvOptions {
  // Declared column types by column name (the name after de-duplication):
  // Text, Int64, Float64, Bool, Date or Timestamp. A declared column is read
  // as that type whatever its cells look like; a present cell that does not
  // read as it is a FormatError naming the line, the column and the cell.
  // Int64 takes optional sign and digits (leading zeros allowed), Float64
  // any decimal or scientific number, "inf" or "nan", Date the common date
  // texts (the text's own calendar day, whatever time or zone follows),
  // Timestamp the date-time texts (an offset is converted to UTC, the values
  // are naive). Names absent from the header are ignored.
  std::vector<std::pair<std::string, DType>> types;
  // Type of every column that `types` does not name; nullopt infers it.
  std::optional<DType> default_type;
  // Unquoted cell texts read as missing, besides the usual markers ("",
  // "NA", "NaN", "nan", "N/A", "NULL", "null", "None", "#N/A", "<NA>", ...)
  // when `default_missing` is true. Without the usual markers an empty cell
  // is missing only when "" is listed; a quoted non-empty cell is never
  // missing.
  std::vector<std::string> missing;
  bool default_missing = true;
};

// True for the usual missing markers ("", "NA", "NaN", "nan", "null", ...).
bool is_missing_marker(std::string_view text) noexcept;

// Parses a whole CSV text (first line is the header). Undeclared column types
// are inferred per column: int64 when every present cell is an integer that
// fits (no leading zeros, so identifiers keep their digits), float64 when
// every present cell is a number, bool for True/False, otherwise text (cells
// exactly as written). A column with missing cells keeps its type (int64,
// bool and text mark them; float64 holds NaN); a column with no present cell
// is float64. FormatError naming `source` and the line for unbalanced
// quotes, ragged rows, an embedded NUL or a cell that does not fit its
// declared type.
Frame read_csv(std::string_view text, const std::string& source, const CsvOptions& options = {});

class GzipStream;
// The table read_csv gives for the inflated text of a gzip input, parsed
// while it inflates: memory follows the table, not the inflated size, and a
// bad line (or a gzip error) stops the work where it is met.
Frame read_csv_gzip(const std::uint8_t* data, std::size_t size, const std::string& source,
                    const CsvOptions& options = {});
Frame read_csv_gzip(GzipStream& gz, const std::string& source, const CsvOptions& options = {});

// Lazily parses chunks of `chunksize` rows; labels run on across chunks.
class CsvChunkReader {
 public:
  CsvChunkReader(ByteReader reader, std::string source, std::size_t chunksize, const CsvOptions& options = {});
  ~CsvChunkReader();
  // The next chunk, or nullopt after the last one. Each chunk infers its
  // column types on its own cells, as a table library's chunk iterator does.
  std::optional<Frame> next();
  // Reads every chunk (before any next()) and joins them into exactly the
  // table read_csv gives for the whole text, wherever the chunk boundaries
  // fall: column types are inferred over all chunks, and a column that ends
  // up text keeps every cell as written. `on_chunk` sees each chunk as next()
  // would return it. The peak stays near one table plus the texts of the
  // non-text cells that are not in their canonical form.
  Frame read_all(const std::function<void(std::size_t, const Frame&)>& on_chunk = {});
  // The same table as read_all, in one pass that builds no chunk frames (so
  // nothing to join, and no chunk's cell texts kept for it): `on_chunk`
  // learns the number of each chunk once its last row is read.
  Frame read_all_in_one(const std::function<void(std::size_t)>& on_chunk = {});

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Header row, then one line per row; row labels as the first column (with an
// empty header cell, or the index name) when `index` is true. Floats in the
// shortest round-trip form, missing values as empty fields.
void write_csv(const Frame& frame, bool index, std::ostream& out);
std::string write_csv(const Frame& frame, bool index);
// The same text handed to `sink` in pieces of about 1 MiB as it is made.
void write_csv(const Frame& frame, bool index, const std::function<void(const char*, std::size_t)>& sink);

}  // namespace quorin_data::formats
