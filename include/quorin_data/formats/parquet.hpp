// Parquet reader and writer (flat schemas).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"

namespace quorin_data::formats {

struct ParquetWriteOptions {
  enum class Codec { Uncompressed, Snappy, Gzip, Zstd };
  Codec codec = Codec::Snappy;
  bool dictionary = true;            // dictionary-encode columns (falls back to PLAIN when large)
  std::size_t row_group_size = 1 << 20;  // rows per row group
  bool write_index = false;          // store the row labels as a column "__index_level_0__"
};

// Counts of the work done by a read (for benchmarks and tests).
struct ParquetReadStats {
  std::size_t row_groups_total = 0;
  std::size_t row_groups_decoded = 0;
  std::size_t row_groups_skipped = 0;
};

class ParquetFile {
 public:
  // Opens a file held in memory; `source` names it in errors. The buffer is shared, not copied.
  static ParquetFile open(std::shared_ptr<const std::vector<std::uint8_t>> bytes, std::string source);
  static ParquetFile open_path(const std::string& path);

  std::size_t num_row_groups() const;
  std::int64_t num_rows() const;
  std::vector<std::string> column_names() const;
  // The Frame type a column reads as (KeyError for an unknown name). Unsigned
  // 64-bit columns say Int64 and read as Text when a value exceeds int64.
  DType column_type(const std::string& name) const;

  // Whole file, or only `columns` (in the order given).
  Frame read(const std::optional<std::vector<std::string>>& columns = std::nullopt) const;
  Frame read_row_group(std::size_t i, const std::optional<std::vector<std::string>>& columns = std::nullopt) const;
  // Rows whose `column` equals `value`; row groups whose statistics rule the
  // value out are skipped.
  Frame read_where_equal(const std::string& column, const Value& value,
                         const std::optional<std::vector<std::string>>& columns = std::nullopt,
                         ParquetReadStats* stats = nullptr) const;

  struct Impl;

 private:
  std::shared_ptr<const Impl> impl_;
};

Frame read_parquet(const std::uint8_t* data, std::size_t size, const std::string& source);
std::vector<std::uint8_t> write_parquet(const Frame& frame, const ParquetWriteOptions& options = {});

}  // namespace quorin_data::formats
