#include "quorin_data/core/column.hpp"

#include <algorithm>
#include <bit>
#include <unordered_map>

#include "kernels/buffers.hpp"
#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/zones.hpp"

namespace quorin_data {

const char* dtype_name(DType t) noexcept {
  switch (t) {
    case DType::Float64: return "float64";
    case DType::Int64: return "int64";
    case DType::Bool: return "bool";
    case DType::Text: return "object";
    case DType::Date: return "date";
    case DType::Timestamp: return "datetime64[ns]";
    case DType::Time: return "time";
  }
  return "?";
}

std::size_t width_of(DType t) noexcept {
  return visit_type(t, [](auto tag) { return sizeof(typename decltype(tag)::value_type); });
}

Buffer Buffer::copy(const void* data, std::size_t bytes) {
  if (bytes == 0) return {};
  std::vector<std::byte> v;
  kernels::resize_large(v, bytes);
  std::memcpy(v.data(), data, bytes);
  return adopt(std::move(v));
}

// ---- validity --------------------------------------------------------------

void ValidityBuilder::materialize() {
  const std::size_t words = (std::max(n_, reserve_) + 63) / 64;
  words_.reserve(words);
  words_.assign((n_ + 63) / 64, ~std::uint64_t{0});
  if (n_ & 63) words_.back() = (std::uint64_t{1} << (n_ & 63)) - 1;
  on_ = true;
}

void ValidityBuilder::push_n(std::size_t count, bool present) {
  if (count == 0) return;
  if (!present && !on_) materialize();
  if (!on_) {
    n_ += count;
    return;
  }
  // Bits up to the next word boundary, whole words, then the tail.
  while (count && (n_ & 63)) {
    push(present);
    --count;
  }
  const std::uint64_t fill = present ? ~std::uint64_t{0} : 0;
  words_.insert(words_.end(), count / 64, fill);
  n_ += count / 64 * 64;
  for (count %= 64; count; --count) push(present);
}

Buffer ValidityBuilder::finish() {
  Buffer out;
  if (on_ && n_) {
    words_.resize((n_ + 63) / 64);
    out = Buffer::adopt(std::move(words_));
  }
  words_ = {};
  n_ = 0;
  on_ = false;
  return out;
}

Validity::Validity(const std::vector<std::uint8_t>& bytes) : n_(bytes.size()) {
  if (std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) == bytes.end()) return;
  std::vector<std::uint64_t> words((bytes.size() + 63) / 64, 0);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i]) words[i >> 6] |= std::uint64_t{1} << (i & 63);
  bits_ = Buffer::adopt(std::move(words));
}

// ---- factories -------------------------------------------------------------

namespace {

void check_validity(const Validity& v, std::size_t n) {
  if (!v.empty() && v.size() != n)
    throw ValueError("column validity has " + std::to_string(v.size()) + " entries for " + std::to_string(n) +
                     " values");
}

}  // namespace

Column Column::from_buffers(DType t, std::size_t n, Buffer values, Buffer bits, std::shared_ptr<const TextHeap> heap,
                            std::string tz) {
  if (values.size() < n * width_of(t))
    throw ValueError("a column of " + std::to_string(n) + " rows needs " + std::to_string(n * width_of(t)) +
                     " bytes of values, got " + std::to_string(values.size()));
  if (!bits.empty() && bits.size() * 8 < n) throw ValueError("column validity shorter than its values");
  Column c;
  c.type_ = t;
  c.size_ = n;
  c.values_ = std::move(values);
  if (t != DType::Float64) c.bits_ = std::move(bits);
  if (t == DType::Text) {
    c.heap_ = std::move(heap);
    for (const TextView& v : c.views())
      if (!v.is_inline() && (!c.heap_ || v.ref.block >= c.heap_->blocks.size() ||
                             std::size_t{v.ref.offset} + v.size > c.heap_->blocks[v.ref.block].size()))
        throw ValueError("a text view points outside its heap");
  }
  if (t == DType::Timestamp) c.tz_ = std::move(tz);
  if (t == DType::Time) {
    const auto ns = c.i64();
    for (std::size_t i = 0; i < n; ++i)
      if (!c.is_missing(i) && (ns[i] < 0 || ns[i] >= kNanosPerDay))
        throw ValueError("time of day out of range: " + std::to_string(ns[i]) + " ns since midnight");
  }
  return c;
}

template <class T>
static Column fixed(DType t, std::vector<T> v, Validity valid, std::string tz = {}) {
  const std::size_t n = v.size();
  check_validity(valid, n);
  if (!valid.empty()) {  // missing slots hold 0
    const std::byte* bits = valid.bits().data();
    for (std::size_t i = 0; i < n; ++i)
      if (!bit_at(bits, i)) v[i] = T{};
  }
  return Column::from_buffers(t, n, Buffer::adopt(std::move(v)), valid.bits(), {}, std::move(tz));
}

Column Column::floats(std::vector<double> v) {
  const std::size_t n = v.size();
  return from_buffers(DType::Float64, n, Buffer::adopt(std::move(v)));
}
Column Column::ints(std::vector<std::int64_t> v, Validity valid) {
  return fixed(DType::Int64, std::move(v), std::move(valid));
}
Column Column::bools(std::vector<std::uint8_t> v, Validity valid) {
  for (auto& b : v) b = b != 0;
  return fixed(DType::Bool, std::move(v), std::move(valid));
}
Column Column::dates(std::vector<std::int32_t> v, Validity valid) {
  return fixed(DType::Date, std::move(v), std::move(valid));
}
Column Column::timestamps(std::vector<std::int64_t> v, std::string tz, Validity valid) {
  return fixed(DType::Timestamp, std::move(v), std::move(valid), std::move(tz));
}
Column Column::times(std::vector<std::int64_t> v, Validity valid) {
  return fixed(DType::Time, std::move(v), std::move(valid));
}

template <class S>
static Column texts_of(const std::vector<S>& v, const Validity& valid) {
  check_validity(valid, v.size());
  TextBuilder b;
  b.reserve(v.size());
  const std::byte* bits = valid.empty() ? nullptr : valid.bits().data();
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (bits && !bit_at(bits, i))
      b.append_missing();
    else
      b.append(v[i]);
  }
  return b.finish();
}

Column Column::texts(const std::vector<std::string>& v, Validity valid) { return texts_of(v, valid); }

Column Column::with_validity_of(const Column& like, DType t, Buffer values, std::string tz,
                                std::shared_ptr<const TextHeap> heap) {
  Column c = from_buffers(t, like.size(), std::move(values), {}, std::move(heap), std::move(tz));
  if (t != DType::Float64) {
    c.bits_ = like.bits_;
    c.bit_offset_ = like.bit_offset_;
  }
  return c;
}

Column Column::missing(DType t, std::size_t n, std::string tz) {
  if (t == DType::Float64) return floats(std::vector<double>(n, kNaN));
  ValidityBuilder vb;
  vb.push_n(n, false);
  Buffer bits = vb.finish();
  std::vector<std::byte> zeros(n * width_of(t));
  return from_buffers(t, n, Buffer::adopt(std::move(zeros)), std::move(bits), {}, std::move(tz));
}

// ---- reading ---------------------------------------------------------------

std::int64_t Column::integer(std::size_t i) const noexcept {
  switch (type_) {
    case DType::Bool: return bools()[i];
    case DType::Date: return days()[i];
    case DType::Int64:
    case DType::Timestamp:
    case DType::Time: return i64()[i];
    default: return 0;
  }
}

bool Column::has_missing() const noexcept {
  if (type_ == DType::Float64) {
    for (double x : f64())
      if (std::isnan(x)) return true;
    return false;
  }
  if (bits_.empty()) return false;
  for (std::size_t i = 0; i < size_; ++i)
    if (!bit_at(bits_.data(), bit_offset_ + i)) return true;
  return false;
}

std::vector<std::uint8_t> Column::presence_bytes() const {
  std::vector<std::uint8_t> out;
  if (bits_.empty()) return out;
  out.resize(size_);
  for (std::size_t i = 0; i < size_; ++i) out[i] = bit_at(bits_.data(), bit_offset_ + i) ? 1 : 0;
  return out;
}

std::size_t Column::memory_bytes() const noexcept {
  std::size_t n = values_.size() + bits_.size();
  if (heap_)
    for (const auto& b : heap_->blocks) n += b.size();
  return n;
}

std::vector<double> Column::release_f64() && {
  std::vector<double> out;
  if (offset_ == 0 && values_.size() == size_ * sizeof(double) && values_.release_into(out)) {
    *this = Column();
    return out;
  }
  const auto v = f64();
  out.assign(v.begin(), v.end());
  return out;
}

std::string Column::cell_text(std::size_t i) const {
  if (is_missing(i)) return {};
  switch (type_) {
    case DType::Float64: return format_double(f64()[i]);
    case DType::Int64: return std::to_string(i64()[i]);
    case DType::Bool: return bools()[i] ? "True" : "False";
    case DType::Text: return std::string(text(i));
    case DType::Date: return format_iso_date(Date{days()[i]});
    case DType::Timestamp:
      return tz_.empty() ? format_timestamp_ns(i64()[i]) : format_timestamp_zoned(i64()[i], tz_);
    case DType::Time: return format_time_of_day_ns(i64()[i]);
  }
  return {};
}

double Column::as_double(std::size_t i) const {
  if (is_missing(i)) return kNaN;
  switch (type_) {
    case DType::Float64: return f64()[i];
    case DType::Int64: return static_cast<double>(i64()[i]);
    case DType::Bool: return bools()[i];
    default: return kNaN;
  }
}

// ---- gathers ---------------------------------------------------------------

namespace {

// Rows of `c` at `rows`; a row `Column::npos` is missing when allowed.
Column gather(const Column& c, const std::vector<std::size_t>& rows, bool allow_missing) {
  const std::size_t n = c.size(), m = rows.size();
  bool any_npos = false;
  for (std::size_t r : rows) {
    if (r == Column::npos && allow_missing) {
      any_npos = true;
      continue;
    }
    if (r >= n) throw IndexError("row " + std::to_string(r) + " out of range");
  }
  return visit_type(c.type(), [&](auto tag) {
    constexpr DType T = decltype(tag)::type;
    using V = typename decltype(tag)::value_type;
    const auto src = c.values<T>();
    std::vector<V> out;
    kernels::resize_large(out, m);
    ValidityBuilder vb;
    const bool marks = T != DType::Float64 && (c.has_validity() || any_npos);
    for (std::size_t i = 0; i < m; ++i) {
      const std::size_t r = rows[i];
      if (r == Column::npos) {
        if constexpr (T == DType::Float64) out[i] = kNaN;
        if (marks) vb.push(false);
        continue;
      }
      out[i] = src[r];
      if (marks) vb.push(!c.is_missing(r));
    }
    if constexpr (T == DType::Text) {
      return Column::from_buffers(T, m, Buffer::adopt(std::move(out)), vb.finish(), c.heap());
    } else {
      return Column::from_buffers(T, m, Buffer::adopt(std::move(out)), vb.finish(), {}, c.tz());
    }
  });
}

bool numeric(DType t) { return t == DType::Float64 || t == DType::Int64 || t == DType::Bool; }

}  // namespace

Column Column::take(const std::vector<std::size_t>& rows) const { return gather(*this, rows, false); }

Column Column::take_or_missing(const std::vector<std::size_t>& rows) const { return gather(*this, rows, true); }

Column Column::with_zone(std::string tz) const {
  if (type_ != DType::Timestamp) throw TypeError(std::string("a column of type ") + dtype_name(type_) + " has no zone");
  Column out = *this;
  out.tz_ = std::move(tz);
  return out;
}

Column Column::slice(std::size_t begin, std::size_t end) const {
  if (begin > end || end > size_)
    throw IndexError("slice [" + std::to_string(begin) + ", " + std::to_string(end) + ") of a column of " +
                     std::to_string(size_) + " rows");
  Column out = *this;
  out.offset_ += begin;
  out.bit_offset_ += begin;
  out.size_ = end - begin;
  return out;
}

Column Column::concat(const std::vector<const Column*>& parts) {
  if (parts.empty()) return Column();
  const DType t = parts[0]->type();
  bool all_same = true, all_numeric = true;
  for (auto* p : parts) {
    all_same = all_same && p->type() == t;
    all_numeric = all_numeric && numeric(p->type());
  }
  const DType target = all_same ? t : all_numeric ? DType::Float64 : DType::Text;
  const std::string& tz = parts[0]->tz();
  if (target == DType::Timestamp)
    for (auto* p : parts)
      if (p->tz() != tz) throw ValueError("cannot concatenate timestamps of zones '" + tz + "' and '" + p->tz() + "'");
  std::size_t total = 0;
  for (auto* p : parts) total += p->size();

  if (!all_same && target == DType::Text) {
    TextBuilder b;
    b.reserve(total);
    for (auto* p : parts)
      for (std::size_t i = 0; i < p->size(); ++i) {
        if (p->is_missing(i))
          b.append_missing();
        else if (p->type() == DType::Text)
          b.append(p->text(i));
        else
          b.append(p->cell_text(i));
      }
    return b.finish();
  }
  if (!all_same) {  // numbers promoted to float64
    std::vector<double> out;
    kernels::reserve_large(out, total);
    for (auto* p : parts)
      for (std::size_t i = 0; i < p->size(); ++i) out.push_back(p->as_double(i));
    return floats(std::move(out));
  }
  return visit_type(target, [&](auto tag) {
    constexpr DType T = decltype(tag)::type;
    using V = typename decltype(tag)::value_type;
    std::vector<V> out;
    kernels::reserve_large(out, total);
    ValidityBuilder vb;
    vb.reserve(total);
    bool marks = false;
    for (auto* p : parts) marks = marks || p->has_validity();
    // Texts keep their views; the blocks of every part's heap (each heap
    // once) make the result's heap, and long views move to its numbering.
    std::shared_ptr<TextHeap> heap;
    std::unordered_map<const TextHeap*, std::uint32_t> base;
    if constexpr (T == DType::Text) heap = std::make_shared<TextHeap>();
    for (auto* p : parts) {
      const auto src = p->values<T>();
      if constexpr (T == DType::Text) {
        std::uint32_t b = 0;
        if (p->heap()) {
          auto [it, fresh] = base.emplace(p->heap().get(), static_cast<std::uint32_t>(heap->blocks.size()));
          if (fresh) heap->blocks.insert(heap->blocks.end(), p->heap()->blocks.begin(), p->heap()->blocks.end());
          b = it->second;
        }
        for (TextView v : src) {
          if (!v.is_inline()) v.ref.block += b;
          out.push_back(v);
        }
      } else {
        out.insert(out.end(), src.begin(), src.end());
      }
      if (marks)
        for (std::size_t i = 0; i < p->size(); ++i) vb.push(!p->is_missing(i));
    }
    if constexpr (T == DType::Text) {
      return from_buffers(T, total, Buffer::adopt(std::move(out)), vb.finish(), std::move(heap));
    } else {
      return from_buffers(T, total, Buffer::adopt(std::move(out)), vb.finish(), {}, tz);
    }
  });
}

bool operator==(const Column& a, const Column& b) {
  if (a.type() != b.type() || a.size() != b.size() || a.tz() != b.tz()) return false;
  const std::size_t n = a.size();
  return visit_type(a.type(), [&](auto tag) {
    constexpr DType T = decltype(tag)::type;
    const auto x = a.values<T>(), y = b.values<T>();
    for (std::size_t i = 0; i < n; ++i) {
      const bool ma = a.is_missing(i), mb = b.is_missing(i);
      if (ma != mb) return false;
      if (ma) continue;
      if constexpr (T == DType::Text) {
        if (!text_equal(a, x[i], b, y[i])) return false;
      } else {
        if (x[i] != y[i]) return false;
      }
    }
    return true;
  });
}

// ---- builders --------------------------------------------------------------

template <DType T>
void ValuesBuilder<T>::reserve(std::size_t n) {
  kernels::reserve_large(values_, n);
  valid_.reserve(n);
}

template <DType T>
void ValuesBuilder<T>::grow() {
  kernels::room_for(values_, 1);
}

template <DType T>
Column ValuesBuilder<T>::finish() {
  const std::size_t n = values_.size();
  if (valid_.size() != n && T != DType::Float64)
    throw ValueError("a column builder holds " + std::to_string(n) + " values and " + std::to_string(valid_.size()) +
                     " presence marks");
  Buffer bits = valid_.finish();
  kernels::fit(values_);
  Column c = Column::from_buffers(T, n, Buffer::adopt(std::move(values_)), std::move(bits), {}, tz_);
  values_ = {};
  return c;
}

template class ValuesBuilder<DType::Float64>;
template class ValuesBuilder<DType::Int64>;
template class ValuesBuilder<DType::Bool>;
template class ValuesBuilder<DType::Date>;
template class ValuesBuilder<DType::Timestamp>;
template class ValuesBuilder<DType::Time>;

namespace {
constexpr std::size_t kFirstBlock = 64 * 1024;
constexpr std::size_t kMaxBlock = 16 * 1024 * 1024;
}  // namespace

// The room of a text block; its filled bytes become one of the heap's
// blocks without a copy.
struct TextBlock final : BufferOwner {
  explicit TextBlock(std::size_t room) : cap(room) { data = static_cast<char*>(kernels::allocate_large(cap)); }
  TextBlock(const TextBlock&) = delete;
  TextBlock& operator=(const TextBlock&) = delete;
  ~TextBlock() override { std::free(data); }
  char* data = nullptr;
  std::size_t cap;
};

TextBuilder::TextBuilder() : heap_(std::make_shared<TextHeap>()) {}

TextBuilder::TextBuilder(const TextBuilder& o)
    : views_(o.views_),
      valid_(o.valid_),
      heap_(o.heap_ ? std::make_shared<TextHeap>(*o.heap_) : std::make_shared<TextHeap>()),
      block_cap_(o.block_cap_) {
  if (o.block_) {
    block_ = std::make_shared<TextBlock>(o.block_->cap);
    block_used_ = o.block_used_;
    std::memcpy(block_->data, o.block_->data, block_used_);
  }
}

TextBuilder& TextBuilder::operator=(const TextBuilder& o) {
  if (this != &o) *this = TextBuilder(o);
  return *this;
}

void TextBuilder::reserve(std::size_t n) {
  kernels::reserve_large(views_, n);
  valid_.reserve(n);
}

void TextBuilder::grow() { kernels::room_for(views_, 1); }

void TextBuilder::new_block(std::size_t at_least) {
  if (!heap_) heap_ = std::make_shared<TextHeap>();  // a moved-from builder in use again
  if (block_ && block_used_) {
    const char* p = block_->data;
    heap_->blocks.emplace_back(p, block_used_, std::move(block_));
  }
  block_cap_ = std::max(at_least, block_cap_ == 0 ? kFirstBlock : std::min(block_cap_ * 2, kMaxBlock));
  block_ = std::make_shared<TextBlock>(block_cap_);
  block_used_ = 0;
}

void TextBuilder::append_long(std::string_view s) {
  if (s.size() > 0xffffffffu) throw ValueError("a text cell of " + std::to_string(s.size()) + " bytes is too long");
  const auto n = static_cast<std::uint32_t>(s.size());
  if (!block_ || block_->cap - block_used_ < n) new_block(n);
  TextView v;
  v.size = n;
  std::memcpy(v.prefix, s.data(), 4);
  v.ref.block = static_cast<std::uint32_t>(heap_->blocks.size());
  v.ref.offset = static_cast<std::uint32_t>(block_used_);
  std::memcpy(block_->data + block_used_, s.data(), n);
  block_used_ += n;
  push(v, true);
}

Column TextBuilder::finish() {
  if (block_ && block_used_) {
    if (!heap_) heap_ = std::make_shared<TextHeap>();
    // A small block given back its unused room (a large one's untouched
    // pages take no memory).
    if (block_->cap < kMaxBlock && block_->cap > block_used_ + block_used_ / 8 + 4096)
      if (void* q = std::realloc(block_->data, block_used_)) {
        block_->data = static_cast<char*>(q);
        block_->cap = block_used_;
      }
    const char* p = block_->data;
    heap_->blocks.emplace_back(p, block_used_, std::move(block_));
  }
  const std::size_t n = views_.size();
  kernels::fit(views_);
  std::shared_ptr<const TextHeap> heap = !heap_ || heap_->blocks.empty() ? nullptr : std::move(heap_);
  // Not through from_buffers: every long view was made here, into this heap.
  Column c;
  c.type_ = DType::Text;
  c.size_ = n;
  c.values_ = Buffer::adopt(std::move(views_));
  c.bits_ = valid_.finish();
  c.heap_ = std::move(heap);
  *this = TextBuilder();
  return c;
}

}  // namespace quorin_data
