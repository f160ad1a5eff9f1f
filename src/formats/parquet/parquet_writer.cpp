// Parquet writer placeholder.
#include "parquet_internal.hpp"
#include "quorin_data/formats/parquet.hpp"

namespace quorin_data::formats {
std::vector<std::uint8_t> write_parquet(const Frame&, const ParquetWriteOptions&) {
  throw FormatError("Parquet", "", "", "not supported yet");
}
}  // namespace quorin_data::formats
