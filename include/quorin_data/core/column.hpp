// Typed columns: a type, a length, an optional validity bitmap and value
// buffers of the type's natural width, shared (never copied) by slices,
// gathers and the frames built from them. A column is immutable once built;
// decoders fill builders and finish them into columns.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace quorin_data {

// Time is a time of day (appended last: serialized type tags stay as they were).
enum class DType { Float64, Int64, Bool, Text, Date, Timestamp, Time };

// Python-facing name of a column type ("float64", "int64", "bool", "object",
// "date", "datetime64[ns]", "time").
const char* dtype_name(DType t) noexcept;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- buffers ---------------------------------------------------------------

// What keeps a buffer's memory alive: a vector it adopted, an allocation of
// its own, or memory of another owner (a numpy array, say).
struct BufferOwner {
  virtual ~BufferOwner() = default;
};

// An immutable run of bytes shared by every column that reads it.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const void* data, std::size_t bytes, std::shared_ptr<const BufferOwner> owner)
      : owner_(std::move(owner)), data_(static_cast<const std::byte*>(data)), size_(bytes) {}

  // Takes the vector's storage without copying it.
  template <class T>
  static Buffer adopt(std::vector<T>&& v);
  // A copy of `bytes` bytes at `data`.
  static Buffer copy(const void* data, std::size_t bytes);

  const std::byte* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // True when nothing else shares the memory (a converter may then hand it
  // out as writable).
  bool unique() const noexcept { return owner_ && owner_.use_count() == 1; }
  const std::shared_ptr<const BufferOwner>& owner() const noexcept { return owner_; }

  // The adopted vector back, when this buffer alone holds it whole.
  template <class T>
  bool release_into(std::vector<T>& out);

 private:
  std::shared_ptr<const BufferOwner> owner_;
  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

template <class T>
struct VectorOwner final : BufferOwner {
  explicit VectorOwner(std::vector<T>&& x) : v(std::move(x)) {}
  mutable std::vector<T> v;
};

template <class T>
Buffer Buffer::adopt(std::vector<T>&& v) {
  if (v.empty()) return {};
  auto owner = std::make_shared<VectorOwner<T>>(std::move(v));
  const auto* p = owner->v.data();
  const std::size_t n = owner->v.size() * sizeof(T);
  return Buffer(p, n, std::move(owner));
}

template <class T>
bool Buffer::release_into(std::vector<T>& out) {
  if (!unique()) return false;
  auto* o = dynamic_cast<const VectorOwner<T>*>(owner_.get());
  if (!o || reinterpret_cast<const std::byte*>(o->v.data()) != data_ || o->v.size() * sizeof(T) != size_) return false;
  out = std::move(o->v);
  *this = Buffer();
  return true;
}

// ---- validity --------------------------------------------------------------

// Presence bits, least significant first (1: present).
inline bool bit_at(const std::byte* bits, std::size_t i) noexcept {
  return (std::to_integer<unsigned>(bits[i >> 3]) >> (i & 7)) & 1u;
}

// Builds presence bits one row at a time; no memory is taken until the
// first missing row.
class ValidityBuilder {
 public:
  void reserve(std::size_t n) { reserve_ = n; }
  void push(bool present) {
    if (!on_ && present) {  // no row missing yet: only a count
      ++n_;
      return;
    }
    push_bit(present);
  }
  void push_n(std::size_t count, bool present);
  void push_bit(bool present) {
    if (!on_) materialize();
    if ((n_ & 63) == 0) words_.push_back(0);
    if (present) words_.back() |= std::uint64_t{1} << (n_ & 63);
    ++n_;
  }
  // Marks an existing row missing.
  void set_missing(std::size_t i) {
    if (!on_) materialize();
    words_[i >> 6] &= ~(std::uint64_t{1} << (i & 63));
  }
  std::size_t size() const noexcept { return n_; }
  bool any_missing() const noexcept { return on_; }
  bool present(std::size_t i) const noexcept { return !on_ || ((words_[i >> 6] >> (i & 63)) & 1u); }
  // The bits (an empty buffer when every row is present); the builder is reset.
  Buffer finish();
  void clear() {
    words_.clear();
    n_ = 0;
    on_ = false;
  }

 private:
  void materialize();
  std::vector<std::uint64_t> words_;
  bool on_ = false;  // bits are kept (a row was missing)
  std::size_t n_ = 0, reserve_ = 0;
};

// The validity given to a column factory: none (all present), one byte a
// row (1 present, 0 missing) or built bits.
class Validity {
 public:
  Validity() = default;
  Validity(const std::vector<std::uint8_t>& bytes);  // NOLINT: implicit by design
  Validity(std::initializer_list<std::uint8_t> bytes) : Validity(std::vector<std::uint8_t>(bytes)) {}
  Validity(ValidityBuilder&& b) : n_(b.size()), bits_(b.finish()) {}  // NOLINT
  Validity(Buffer bits, std::size_t n) : n_(n), bits_(std::move(bits)) {}

  bool empty() const noexcept { return bits_.empty(); }
  std::size_t size() const noexcept { return n_; }
  const Buffer& bits() const noexcept { return bits_; }

 private:
  std::size_t n_ = 0;
  Buffer bits_;
};

// ---- texts -----------------------------------------------------------------

// A text cell in 16 bytes: its size, its first four bytes, then either the
// remaining bytes inline (texts of up to 12 bytes; unused bytes are zero)
// or the block and offset of the whole text in the column's heap. Equal
// inline texts have equal views, and the prefix settles most comparisons
// before any byte is read from the heap.
struct TextView {
  static constexpr std::uint32_t kInline = 12;
  std::uint32_t size = 0;
  char prefix[4] = {0, 0, 0, 0};
  union {
    char rest[8];
    struct {
      std::uint32_t block;
      std::uint32_t offset;
    } ref;
  };
  TextView() : rest{0, 0, 0, 0, 0, 0, 0, 0} {}

  bool is_inline() const noexcept { return size <= kInline; }
  const char* inline_data() const noexcept { return prefix; }
  // The view of an inline text (n <= kInline). Its two words are put
  // together in registers from fixed-size loads (overlapping where n is
  // between their sizes) and stored once: a view assembled by byte-range
  // stores and then copied whole would stall on the reload.
  static TextView make_inline(const char* p, std::uint32_t n) noexcept {
    if constexpr (std::endian::native != std::endian::little) return make_inline_bytes(p, n);
    std::uint64_t lo = 0, hi = 0;  // the bytes past n stay zero
    if (n >= 8) {
      lo = load32(p);
      std::uint64_t tail;
      std::memcpy(&tail, p + n - 8, 8);
      hi = tail >> (8 * (12 - n));  // bytes 4..n-1
    } else if (n >= 4) {
      lo = load32(p);
      hi = static_cast<std::uint64_t>(load32(p + n - 4)) >> (8 * (8 - n));
    } else if (n > 0) {
      const auto b = [p](std::uint32_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
      lo = b(0) | b(n / 2) << (8 * (n / 2)) | b(n - 1) << (8 * (n - 1));
    }
    return from_words(n | lo << 32, hi);
  }
  static TextView from_words(std::uint64_t w0, std::uint64_t w1) noexcept {
    TextView v;
    std::memcpy(static_cast<void*>(&v), &w0, 8);
    std::memcpy(reinterpret_cast<char*>(&v) + 8, &w1, 8);
    return v;
  }
  std::uint64_t word0() const noexcept {
    std::uint64_t w;
    std::memcpy(&w, this, 8);
    return w;
  }
  std::uint64_t word1() const noexcept {
    std::uint64_t w;
    std::memcpy(&w, reinterpret_cast<const char*>(this) + 8, 8);
    return w;
  }

 private:
  static TextView make_inline_bytes(const char* p, std::uint32_t n) noexcept {
    TextView v;
    v.size = n;
    char* d = reinterpret_cast<char*>(&v) + offsetof(TextView, prefix);
    std::memcpy(d, p, n);
    return v;
  }
  static std::uint32_t load32(const char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
  }
};
static_assert(sizeof(TextView) == 16);

// The byte blocks that the long texts of one or more columns point into.
struct TextHeap final : BufferOwner {
  std::vector<Buffer> blocks;
  const char* at(const TextView& v) const noexcept {
    return reinterpret_cast<const char*>(blocks[v.ref.block].data()) + v.ref.offset;
  }
};

// A hash that looks texts up by view in sets and maps keyed by std::string
// (with std::equal_to<>).
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// ---- the column ------------------------------------------------------------

// Storage by type (the element type of values<T>()):
//   Float64   -> double (NaN is missing; no validity)
//   Int64     -> std::int64_t
//   Bool      -> std::uint8_t (0 / 1)
//   Text      -> TextView
//   Date      -> std::int32_t (days since 1970-01-01)
//   Timestamp -> std::int64_t (ns since the epoch; tz() names the zone, empty
//                = naive; zoned values are held in UTC)
//   Time      -> std::int64_t (ns since midnight, 0 <= v < 86400e9)
// Every type but Float64 may carry presence bits; a missing slot holds 0
// (an empty text).
template <DType T> struct Storage;
template <> struct Storage<DType::Float64> { using type = double; };
template <> struct Storage<DType::Int64> { using type = std::int64_t; };
template <> struct Storage<DType::Bool> { using type = std::uint8_t; };
template <> struct Storage<DType::Text> { using type = TextView; };
template <> struct Storage<DType::Date> { using type = std::int32_t; };
template <> struct Storage<DType::Timestamp> { using type = std::int64_t; };
template <> struct Storage<DType::Time> { using type = std::int64_t; };
template <DType T>
using storage_t = typename Storage<T>::type;

template <DType T>
struct TypeTag {
  static constexpr DType type = T;
  using value_type = storage_t<T>;
};

// Calls f(TypeTag<t>{}): one generic body in place of a switch over types.
template <class F>
decltype(auto) visit_type(DType t, F&& f) {
  switch (t) {
    case DType::Float64: return f(TypeTag<DType::Float64>{});
    case DType::Int64: return f(TypeTag<DType::Int64>{});
    case DType::Bool: return f(TypeTag<DType::Bool>{});
    case DType::Text: return f(TypeTag<DType::Text>{});
    case DType::Date: return f(TypeTag<DType::Date>{});
    case DType::Timestamp: return f(TypeTag<DType::Timestamp>{});
    case DType::Time: break;
  }
  return f(TypeTag<DType::Time>{});
}

std::size_t width_of(DType t) noexcept;

class Column {
 public:
  Column() = default;

  // Factories taking the values' storage without copying it.
  static Column floats(std::vector<double> v);
  static Column ints(std::vector<std::int64_t> v, Validity valid = {});
  static Column bools(std::vector<std::uint8_t> v, Validity valid = {});
  static Column texts(const std::vector<std::string>& v, Validity valid = {});
  static Column dates(std::vector<std::int32_t> days, Validity valid = {});
  static Column timestamps(std::vector<std::int64_t> ns, std::string tz = {}, Validity valid = {});
  // Times of day; ValueError for a present value outside [0, 24h).
  static Column times(std::vector<std::int64_t> ns, Validity valid = {});
  // n missing cells of a type.
  static Column missing(DType t, std::size_t n, std::string tz = {});
  // From parts: values (n elements of the type's width), bits (may be
  // empty), and for texts the heap their long views point into. Checks the
  // sizes, and the range of times of day.
  static Column from_buffers(DType t, std::size_t n, Buffer values, Buffer bits = {},
                             std::shared_ptr<const TextHeap> heap = {}, std::string tz = {});

  DType type() const noexcept { return type_; }
  std::size_t size() const noexcept { return size_; }
  const std::string& tz() const noexcept { return tz_; }

  // Typed read-only values (the column must be of that type).
  template <DType T>
  std::span<const storage_t<T>> values() const noexcept {
    return {reinterpret_cast<const storage_t<T>*>(values_.data()) + offset_, size_};
  }
  std::span<const double> f64() const noexcept { return values<DType::Float64>(); }
  // Int64, Timestamp and Time.
  std::span<const std::int64_t> i64() const noexcept { return values<DType::Int64>(); }
  std::span<const std::uint8_t> bools() const noexcept { return values<DType::Bool>(); }
  std::span<const std::int32_t> days() const noexcept { return values<DType::Date>(); }
  std::span<const TextView> views() const noexcept { return values<DType::Text>(); }
  // The text of a view of this column.
  std::string_view text_of(const TextView& v) const noexcept {
    return v.is_inline() ? std::string_view(v.inline_data(), v.size) : std::string_view(heap_->at(v), v.size);
  }
  std::string_view text(std::size_t i) const noexcept { return text_of(views()[i]); }
  const std::shared_ptr<const TextHeap>& heap() const noexcept { return heap_; }
  // Any integer-like cell (Int64, Bool, Date, Timestamp, Time) as int64.
  std::int64_t integer(std::size_t i) const noexcept;

  bool is_missing(std::size_t i) const noexcept {
    if (type_ == DType::Float64) return std::isnan(f64()[i]);
    return !bits_.empty() && !bit_at(bits_.data(), bit_offset_ + i);
  }
  bool has_validity() const noexcept { return !bits_.empty(); }
  // One byte a row (1 present, 0 missing); empty when no row is marked.
  std::vector<std::uint8_t> presence_bytes() const;
  bool has_missing() const noexcept;
  // The buffers as they are shared (values from element offset(), bits from
  // bit_offset()).
  const Buffer& value_buffer() const noexcept { return values_; }
  const Buffer& bit_buffer() const noexcept { return bits_; }
  std::size_t offset() const noexcept { return offset_; }
  std::size_t bit_offset() const noexcept { return bit_offset_; }
  // A column of type t over `values` (size() elements) with the presence
  // of `like` (its bits shared).
  static Column with_validity_of(const Column& like, DType t, Buffer values, std::string tz = {},
                                 std::shared_ptr<const TextHeap> heap = {});
  // Bytes held for the cells (the values, bits and the heap blocks).
  std::size_t memory_bytes() const noexcept;

  // Rows at the given positions, in that order (texts copy their views and
  // share the heap).
  Column take(const std::vector<std::size_t>& rows) const;
  // As take, with a missing value where a position is `npos` (a left join's
  // unmatched rows).
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  Column take_or_missing(const std::vector<std::size_t>& rows) const;
  // The same instants labelled with another zone (Timestamp only; buffers shared).
  Column with_zone(std::string tz) const;
  // Rows [begin, end), sharing this column's buffers.
  Column slice(std::size_t begin, std::size_t end) const;
  // Row-wise concatenation with type promotion: Int64/Bool with Float64
  // gives Float64 (as a table library would), anything mixed with Text gives
  // Text (values rendered as cell texts); differing zones fail.
  static Column concat(const std::vector<const Column*>& parts);

  // The float values back as a vector, without a copy when this column
  // alone holds them (Float64 only).
  std::vector<double> release_f64() &&;

  // The cell as text: "" for missing, shortest round-trip numbers, yyyy-mm-dd
  // dates, "yyyy-mm-dd HH:MM:SS[.f]" timestamps (zoned ones as wall-clock time
  // in their zone with the offset, "2024-01-05 08:30:00-05:00"), "HH:MM:SS[.f]"
  // times of day, "True"/"False" booleans.
  std::string cell_text(std::size_t i) const;
  // Numeric value of a cell (NaN when missing or not numeric).
  double as_double(std::size_t i) const;

  // Positions of the first occurrence of each distinct value, in order of
  // appearance; all missing cells count as one value.
  std::vector<std::size_t> unique_positions() const;
  // The distinct values in order of first appearance (missing once, if any).
  Column unique() const { return take(unique_positions()); }

  friend bool operator==(const Column& a, const Column& b);

 private:
  friend class TextBuilder;  // its views point into its own heap by construction
  DType type_ = DType::Float64;
  std::size_t size_ = 0;
  std::size_t offset_ = 0;      // first element of values_
  std::size_t bit_offset_ = 0;  // first bit of bits_
  Buffer values_;
  Buffer bits_;
  std::shared_ptr<const TextHeap> heap_;
  std::string tz_;
};

// Equal texts: sizes and prefixes first, the bytes only when both agree.
inline bool text_equal(const Column& a, const TextView& x, const Column& b, const TextView& y) noexcept {
  if (x.word0() != y.word0()) return false;
  if (x.is_inline()) return x.word1() == y.word1();
  return std::memcmp(a.text_of(x).data(), b.text_of(y).data(), x.size) == 0;
}

// Builds a column of fixed-width values row by row, or by position after
// resize(). Missing rows hold 0 (NaN for Float64).
template <DType T>
class ValuesBuilder {
 public:
  using value_type = storage_t<T>;
  static_assert(T != DType::Text, "texts are built by TextBuilder");

  explicit ValuesBuilder(std::string tz = {}) : tz_(std::move(tz)) {}
  void reserve(std::size_t n);
  void push(value_type v) {
    if (values_.size() == values_.capacity()) grow();
    values_.push_back(v);
    if constexpr (T != DType::Float64) valid_.push(true);
  }
  void push_missing() {
    if (values_.size() == values_.capacity()) grow();
    if constexpr (T == DType::Float64) {
      values_.push_back(kNaN);
    } else {
      values_.push_back(0);
      valid_.push(false);
    }
  }
  std::size_t size() const noexcept { return values_.size(); }
  std::vector<value_type>& data() noexcept { return values_; }
  ValidityBuilder& validity() noexcept { return valid_; }
  Column finish();

 private:
  void grow();  // doubles the room, on huge pages
  std::vector<value_type> values_;
  ValidityBuilder valid_;
  std::string tz_;
};

struct TextBlock;

// Builds a text column: short texts inline in their views, longer ones
// appended to blocks of the column's heap.
class TextBuilder {
 public:
  TextBuilder();
  // A copy builds on a heap of its own (the filled blocks are shared).
  TextBuilder(const TextBuilder& o);
  TextBuilder& operator=(const TextBuilder& o);
  TextBuilder(TextBuilder&&) noexcept = default;
  TextBuilder& operator=(TextBuilder&&) noexcept = default;
  void reserve(std::size_t n);
  void append(std::string_view s) {
    if (s.size() <= TextView::kInline) {
      push(TextView::make_inline(s.data(), static_cast<std::uint32_t>(s.size())), true);
    } else {
      append_long(s);
    }
  }
  void append_missing() { push(TextView{}, false); }
  // Appends a view made by an earlier append of this builder (equal texts
  // then share their bytes).
  void append_view(const TextView& v) { push(v, true); }
  const TextView& view(std::size_t i) const noexcept { return views_[i]; }
  std::size_t size() const noexcept { return views_.size(); }
  Column finish();

 private:
  void push(const TextView& v, bool present) {
    if (views_.size() == views_.capacity()) grow();
    views_.push_back(v);
    valid_.push(present);
  }
  void grow();  // doubles the room of the views, on huge pages
  void new_block(std::size_t at_least);
  void append_long(std::string_view s);
  std::vector<TextView> views_;
  ValidityBuilder valid_;
  std::shared_ptr<TextHeap> heap_;
  std::shared_ptr<TextBlock> block_;  // the block being filled
  std::size_t block_used_ = 0;
  std::size_t block_cap_ = 0;  // the size of the next block grows from this one's
};

}  // namespace quorin_data
