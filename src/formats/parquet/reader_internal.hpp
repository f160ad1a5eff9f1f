// What the pieces of the Parquet reader share: the description of a leaf
// column, the value decoders (one source file per encoding family), the
// cache of byte ranges of a file read by ranges, and the opened file.
//
//   schema.cpp                    leaf columns from the schema and their types
//   decode_plain.cpp              PLAIN
//   decode_rle.cpp                RLE / bit-packed hybrid: levels, dictionary indexes, booleans
//   decode_delta.cpp              DELTA_BINARY_PACKED, DELTA_LENGTH_BYTE_ARRAY, DELTA_BYTE_ARRAY
//   decode_byte_stream_split.cpp  BYTE_STREAM_SPLIT
//   column_reader.cpp             a column chunk page by page into a Frame column
//   range_cache.cpp               the byte ranges fetched from a range source
//   file_reader.cpp               footer, opening, whole-file and row-group reads
//   row_filter.cpp                reads filtered by value, row groups skipped by statistics
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "parquet_internal.hpp"
#include "quorin_data/formats/parquet.hpp"

namespace quorin_data::formats {

namespace pq {

// How the stored values become a Frame column.
enum class Kind {
  Bool,        // BOOLEAN -> Bool
  Int32,       // INT32 (signed) -> Int64
  UInt32,      // INT32 holding unsigned values -> Int64
  Int64,       // INT64 -> Int64
  UInt64,      // INT64 holding unsigned values -> Int64, or Text when one exceeds int64
  Float,       // FLOAT -> Float64
  Double,      // DOUBLE -> Float64
  Date32,      // INT32 DATE -> Date
  Timestamp64, // INT64 TIMESTAMP -> Timestamp (ns)
  Int96,       // INT96 legacy timestamp -> naive Timestamp
  Time,        // TIME -> Time (ns since midnight)
  Decimal,     // DECIMAL on INT32/INT64/bytes -> Float64
  Bytes,       // BYTE_ARRAY / FIXED_LEN_BYTE_ARRAY -> Text (the bytes as they are)
  Uuid,        // UUID on FIXED_LEN_BYTE_ARRAY(16) -> Text in 8-4-4-4-12 hex form
  Float16,     // FLOAT16 on FIXED_LEN_BYTE_ARRAY(2) -> Float64
};

struct ColumnDesc {
  std::string name;
  std::string unsupported;  // non-empty: why this column cannot be read
  int leaf = -1;            // index among the row group's column chunks
  int phys = 0;
  int type_length = 0;
  int max_def = 0;
  Kind kind = Kind::Bytes;
  DType dtype = DType::Text;
  std::string tz;
  std::int64_t unit_ns = 1;  // TIMESTAMP / TIME unit in nanoseconds
  int scale = 0;
};

// A column being decoded, row group after row group: the values in the
// storage of its type, and its presence marks.
struct ColumnSink {
  explicit ColumnSink(DType t, std::string zone = {}) : type(t), tz(std::move(zone)) {}
  DType type;
  std::string tz;
  std::vector<double> f64;
  std::vector<std::int64_t> i64;  // Int64, Timestamp, Time
  std::vector<std::int32_t> i32;  // Date
  std::vector<std::uint8_t> u8;   // Bool
  TextBuilder text;
  ValidityBuilder valid;  // every type but Float64 and Text
  void reserve(std::size_t n);
  Column finish();
};

struct Int96 {
  std::uint8_t b[12];
};

inline std::string rg_place(const ColumnDesc& d, std::size_t rg) {
  return "column '" + d.name + "', row group " + std::to_string(rg);
}

// The top-level fields of a schema (element 0 is the root) as columns, in
// order; nested fields become unreadable columns that say why. Returns the
// number of leaf columns (column chunks per row group).
int describe_columns(const std::vector<quorin_pq::SchemaElement>& schema, std::vector<ColumnDesc>& columns,
                     Place& place);

// ---- Value decoders. Each decodes `n` non-null values of a page into
// `out`; views into the page (or into `arena`) stay valid while those live.

// PLAIN values of the column's physical type.
template <class T>
void decode_plain(Cursor& cur, const ColumnDesc& d, std::size_t n, std::vector<T>& out);

// RLE / bit-packed hybrid: `count` values of `bit_width` bits into out[0..count).
void decode_rle_hybrid(Cursor& c, int bit_width, std::size_t count, std::uint32_t* out, const char* what);
// Legacy BIT_PACKED levels (most significant bit first).
void decode_bit_packed_legacy(Cursor& c, int bit_width, std::size_t count, std::uint32_t* out);
// PLAIN_DICTIONARY / RLE_DICTIONARY: bit width, hybrid-coded indexes, looked up in `dict`.
template <class T>
void decode_dictionary(Cursor& cur, const std::vector<T>& dict, std::size_t n, std::vector<std::uint32_t>& idx,
                       std::vector<T>& out, const Place& place);
// RLE booleans: a 4-byte length, then hybrid-coded bits.
void decode_rle_booleans(Cursor& cur, std::size_t n, std::vector<std::uint32_t>& idx, std::vector<std::uint8_t>& out);

// DELTA_BINARY_PACKED: decodes at most `count` values (the page's non-null count).
void decode_delta_binary(Cursor& c, std::size_t count, std::vector<std::int64_t>& out, bool is32);
// DELTA_BINARY_PACKED into INT32 or INT64 values; exactly `n` of them.
template <class T>
void decode_delta_integers(Cursor& cur, std::size_t n, std::vector<std::int64_t>& ints, std::vector<T>& out,
                           const Place& place);
// DELTA_LENGTH_BYTE_ARRAY: the lengths, then the bytes one after another.
void decode_delta_length_byte_array(Cursor& cur, std::size_t n, std::vector<std::int64_t>& ints,
                                    std::vector<std::string_view>& out, const Place& place);
// DELTA_BYTE_ARRAY: prefix lengths, suffixes; the values are built in `arena`.
void decode_delta_byte_array(Cursor& cur, const ColumnDesc& d, std::size_t n, std::vector<std::int64_t>& ints,
                             std::string& arena, std::vector<std::string_view>& out, const Place& place);

// BYTE_STREAM_SPLIT of `width`-byte values (byte arrays are built in `arena`).
template <class T>
void decode_byte_stream_split(Cursor& cur, std::size_t width, std::size_t n, std::string& arena, std::vector<T>& out,
                              const Place& place);

// ---- Files read by ranges.

// The byte ranges of a file read by ranges. Held ranges never overlap;
// adjacent ones are joined so that any span inside a held run is one
// contiguous buffer. Buffers are shared so that a decode keeps its bytes alive
// while another read joins them into a larger one.
struct RangeCache {
  using Buffer = std::shared_ptr<const std::vector<std::uint8_t>>;
  std::shared_ptr<RangeSource> src;
  std::mutex mu;        // guards `held` and `fetched`; never held during a read of the source
  std::mutex fetch_mu;  // one fetch at a time, so that what one fetches the next finds held
  std::map<std::uint64_t, Buffer> held;  // offset -> bytes
  std::uint64_t fetched = 0;
  std::size_t max_gap = 0;  // missing parts at most this far apart are read as one

  // The buffer holding [off, off + len) whole and the position of `off` in it.
  std::pair<Buffer, std::size_t> find_locked(std::uint64_t off, std::size_t len) const;
  // Adds [off, off + bytes.size()), joining it with held neighbours it touches.
  void insert_locked(std::uint64_t off, std::vector<std::uint8_t> bytes);
  // Reads [off, off + len) from the source, checking the answer's length
  // (while the file is opened, before any other use).
  std::vector<std::uint8_t> read_exact(std::uint64_t off, std::size_t len, const Place& place);
  // Fetches the parts of the spans [begin, end) not held yet: parts that
  // overlap or lie at most `max_gap` apart as one read each, several at once
  // when the source allows it. Reads from held ranges go on meanwhile.
  void fetch(std::vector<std::pair<std::uint64_t, std::uint64_t>> spans, const Place& place);
  // The bytes [off, off + len), fetched when not held yet.
  std::pair<Buffer, std::size_t> get(std::uint64_t off, std::size_t len, const Place& place);
};

}  // namespace pq

struct ParquetFile::Impl {
  using ColumnDesc = pq::ColumnDesc;
  std::shared_ptr<const std::vector<std::uint8_t>> keep;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t body_end = 0;  // first byte of the footer
  std::string source;
  quorin_pq::FileMetaData meta;
  std::vector<ColumnDesc> columns;
  std::map<std::string, std::string> zones;  // column -> zone name kept by our writer
  // Set when the file is read by ranges (then `data` is null and `size` is
  // the file's size): the byte ranges fetched so far.
  std::shared_ptr<pq::RangeCache> ranges;

  void init();
  // Magic, footer and schema from the last `tail_len` bytes of the file
  // (`size` bytes long); the tail must hold the whole footer.
  void init_from_tail(const std::uint8_t* tail, std::size_t tail_len);
  // Pointer to the file bytes [offset, offset + length): into the buffer, or
  // into the fetched ranges (fetching the range when it is not held yet;
  // `keep` then holds those bytes alive).
  const std::uint8_t* bytes_at(std::uint64_t offset, std::size_t length, const pq::Place& place,
                               pq::RangeCache::Buffer& keep) const;
  // Fetches the chunks of `cols` in `groups` that a ranged file does not hold.
  void prefetch(const std::vector<std::size_t>& groups, const std::vector<const ColumnDesc*>& cols) const;
  // [begin, end) of a column chunk in the file, checked against the body.
  std::pair<std::size_t, std::size_t> chunk_span(const ColumnDesc& d, std::size_t rg, const pq::Place& place) const;
  const ColumnDesc& find(const std::string& name) const;
  // Appends the values of column `d` in row group `rg` to `out`.
  void decode_chunk(const ColumnDesc& d, std::size_t rg, pq::ColumnSink& out) const;
  Column finish(const ColumnDesc& d, pq::ColumnSink& out) const;
  pq::ColumnSink sink_for(const ColumnDesc& d) const;
};

namespace pq {

// For a file read by ranges: fetches the chunks of `cols` in `groups` on a
// thread of its own, one row group after the other in the order given, so
// that a read decoding them in that order overlaps the network with the
// decoding. The spans are checked before anything is fetched (a bad chunk
// fails here as in a read). Nothing for a file in memory. The thread stops
// at the first failure (the read that needs those bytes fetches them itself
// and reports it) and is joined when the object is destroyed.
class ReadAhead {
 public:
  ReadAhead(const ParquetFile::Impl& im, const std::vector<std::size_t>& groups,
            const std::vector<const ColumnDesc*>& cols);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  // Waits until the chunks of the i-th of `groups` are fetched (or the thread gave up).
  void wait_for(std::size_t i);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::size_t done_ = 0;  // groups fetched so far
  bool stop_ = false;
  std::thread thread_;
};

// The column our writer stores the row labels in.
constexpr const char* kIndexColumn = "__index_level_0__";

// The columns a read returns (`cols`, or every column but a usable stored
// index, which sets `index_from_file`).
std::vector<const ColumnDesc*> pick(const ParquetFile::Impl& im, const std::optional<std::vector<std::string>>& cols,
                                    bool& index_from_file);

}  // namespace pq

}  // namespace quorin_data::formats
