// CSV reading (whole or by chunks) and writing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "quorin_data/core/frame.hpp"

namespace quorin_data::formats {

// Reads from a byte source: fills up to `cap` bytes, returns 0 at the end.
using ByteReader = std::function<std::size_t(char* out, std::size_t cap)>;

// Parses a whole CSV text (first line is the header). Column types are
// inferred per column: int64 when every present cell is an integer that fits
// (no leading zeros, so identifiers keep their digits), float64 when every
// present cell is a number, bool for True/False, otherwise text. Empty cells
// are missing; a column with missing cells keeps its type (int64, bool and
// text mark them, float64 holds NaN). FormatError naming `source` and the line for unbalanced
// quotes, ragged rows or an embedded NUL.
Frame read_csv(std::string_view text, const std::string& source);

// Lazily parses chunks of `chunksize` rows; labels run on across chunks.
class CsvChunkReader {
 public:
  CsvChunkReader(ByteReader reader, std::string source, std::size_t chunksize);
  ~CsvChunkReader();
  // The next chunk, or nullopt after the last one.
  std::optional<Frame> next();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Header row, then one line per row; row labels as the first column (with an
// empty header cell, or the index name) when `index` is true. Floats in the
// shortest round-trip form, missing values as empty fields.
void write_csv(const Frame& frame, bool index, std::ostream& out);
std::string write_csv(const Frame& frame, bool index);

}  // namespace quorin_data::formats
