// libFuzzer target over the Parquet reader: every input must give a table or
// a FormatError, never a crash, leak or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/parquet.hpp"

namespace {

// The input as a file read by ranges, so that the ranged path (footer over
// two reads, chunk fetches) sees the same bytes.
struct MemorySource : quorin_data::formats::RangeSource {
  const std::uint8_t* data;
  std::size_t n;
  MemorySource(const std::uint8_t* d, std::size_t s) : data(d), n(s) {}
  std::uint64_t size() override { return n; }
  std::vector<std::uint8_t> read(std::uint64_t off, std::size_t len) override {
    if (off > n || len > n - off) __builtin_trap();  // the reader asked past the end
    return std::vector<std::uint8_t>(data + off, data + off + len);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorin_data;
  using namespace quorin_data::formats;
  try {
    const Frame f = read_parquet(data, size, "fuzz");
    (void)f.num_rows();
  } catch (const FormatError&) {
  }
  try {
    const auto file = ParquetFile::open(std::make_shared<std::vector<std::uint8_t>>(data, data + size), "fuzz");
    for (std::size_t g = 0; g < file.num_row_groups() && g < 4; ++g) {
      try {
        (void)file.read_row_group(g);
      } catch (const FormatError&) {
      }
    }
    const auto names = file.column_names();
    if (!names.empty()) {
      for (const Value& v : {Value(std::int64_t{3}), Value("v3"), Value(Date{19000})}) {
        try {
          (void)file.read_where_equal(names[0], v);
        } catch (const FormatError&) {
        } catch (const TypeError&) {
        }
      }
    }
  } catch (const FormatError&) {
  }
  try {
    const auto file = ParquetFile::open_ranges(std::make_shared<MemorySource>(data, size), "fuzz", 64);
    // A filtered read first: its row groups are fetched ahead of decoding.
    const auto names = file.column_names();
    if (!names.empty()) {
      try {
        (void)file.read_where_equal(names[0], Value(std::int64_t{3}));
      } catch (const FormatError&) {
      } catch (const TypeError&) {
      }
    }
    try {
      (void)file.read();
    } catch (const FormatError&) {
    }
  } catch (const FormatError&) {
  }
  return 0;
}
