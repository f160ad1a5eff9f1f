// Parquet reader and writer (flat schemas).
//
// Column types as read:
//   BOOLEAN                          -> Bool
//   INT32/INT64, INT(8..64) signed, UINT(8..32) -> Int64 (exact)
//   UINT64                           -> Int64, or Text holding the exact decimal
//                                       when a value of the chunk exceeds int64
//   FLOAT, DOUBLE, FLOAT16, DECIMAL  -> Float64 (decimals correctly rounded)
//   DATE                             -> Date
//   TIMESTAMP millis/micros/nanos    -> Timestamp in ns; tz "UTC" when adjusted
//                                       to UTC (or the zone our writer recorded),
//                                       naive otherwise; INT96 -> naive Timestamp
//   TIME                             -> Text "HH:MM:SS[.ffffff[fff]]"
//   STRING/ENUM/JSON/BSON, plain BYTE_ARRAY/FIXED_LEN_BYTE_ARRAY -> Text (bytes)
//   UUID                             -> Text "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
// Missing values: NaN in Float64 columns, `valid` bytes otherwise. A column
// "__index_level_0__" becomes the row labels when the whole file is read.
// Nested columns (lists, maps, structs), repeated fields, INTERVAL, encrypted
// files and codecs other than UNCOMPRESSED/SNAPPY/GZIP/ZSTD/LZ4/LZ4_RAW/BROTLI
// raise FormatError naming the column and the feature when read. A file
// without columns that declares more than kMaxRowsWithoutColumns rows is
// refused when opened.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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

// The bytes of a file fetched by ranges on demand (an object in a store).
class RangeSource {
 public:
  virtual ~RangeSource() = default;
  // The file's size in bytes.
  virtual std::uint64_t size() = 0;
  // Exactly the bytes [offset, offset + length); a source that cannot give
  // them all throws.
  virtual std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t length) = 0;
  // The last `length` bytes (the whole file when it is shorter) and the
  // file's size. By default size() and then read(); a source that can ask
  // for a suffix answers both with one read.
  struct Tail {
    std::vector<std::uint8_t> bytes;
    std::uint64_t size = 0;
  };
  virtual Tail tail(std::size_t length);
  // How many reads the source serves at once: separate ranges wanted together
  // are then read from up to that many threads. 1 (one at a time) unless a
  // source says otherwise; `read` must then be safe to call concurrently.
  virtual std::size_t concurrent_reads() const { return 1; }
};

// Ranges of a file read by ranges that lie at most this many bytes apart are
// read as one: a few bytes more instead of one more request.
constexpr std::size_t kDefaultRangeGap = 8 << 10;

class ParquetFile {
 public:
  // Opens a file held in memory; `source` names it in errors. The buffer is shared, not copied.
  static ParquetFile open(std::shared_ptr<const std::vector<std::uint8_t>> bytes, std::string source);
  static ParquetFile open_path(const std::string& path);
  // Opens a file read by ranges: the size and the footer from one tail read
  // of `tail_bytes` (a second read only when the footer is longer), then only
  // the column chunks a read needs. Ranges wanted together that lie at most
  // `max_gap` bytes apart are fetched as one read (the bytes between them
  // included, even when held already); otherwise no byte is fetched twice.
  // Same results as a file in memory.
  static ParquetFile open_ranges(std::shared_ptr<RangeSource> source, std::string name,
                                 std::size_t tail_bytes = 64 << 10, std::size_t max_gap = kDefaultRangeGap);
  // For a file read by ranges: fetches the chunks of `columns` (every
  // readable column when absent) in row groups `groups` that are not held
  // yet. Reads do this themselves; a caller that knows what comes next can
  // have it fetched in fewer requests. Nothing for a file in memory.
  void prefetch(const std::vector<std::size_t>& groups,
                const std::optional<std::vector<std::string>>& columns = std::nullopt) const;
  // The value every row of row group `group` holds in `column`, when the
  // chunk's statistics prove it (no nulls, minimum equal to maximum; integer,
  // date, timestamp and floating-point columns); nothing otherwise. Reads no
  // column data.
  std::optional<Value> single_value(std::size_t group, const std::string& column) const;
  // The least and the greatest value of `column` in row group `group`, when
  // the chunk's statistics give them and say that no row misses a value (the
  // column kinds of single_value); nothing otherwise. Reads no column data.
  std::optional<std::pair<Value, Value>> value_range(std::size_t group, const std::string& column) const;
  // Bytes fetched from the range source so far (0 for a file in memory).
  std::uint64_t bytes_fetched() const;

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
