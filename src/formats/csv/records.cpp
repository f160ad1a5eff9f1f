// The record splitter: RFC 4180 records ("" inside quoted fields, line ends
// inside quoted fields), "\n", "\r\n" or "\r" line ends, blank lines
// skipped, a leading UTF-8 byte-order mark skipped, over a window of a buffer
// refilled from a byte source; each record's cells go to the column builders.
#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <unordered_map>
#include <unordered_set>

#include "csv_internal.hpp"
#include "quorin_data/core/errors.hpp"

namespace quorin_data::formats::csv_detail {

namespace {

// Byte classes for the unquoted-field scan.
struct StopTable {
  bool stop[256] = {};
  StopTable() {
    stop[static_cast<unsigned char>(',')] = true;
    stop[static_cast<unsigned char>('\n')] = true;
    stop[static_cast<unsigned char>('\r')] = true;
    stop[0] = true;
  }
};
const StopTable kStop;

// The first byte at or after p that ends an unquoted field (',', a line end
// or NUL), or end. Sixteen bytes at a time while that many are left.
inline const char* skip_plain(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(','), lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
  const __m128i nul = _mm_setzero_si128();
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, comma), _mm_cmpeq_epi8(v, lf)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, nul)));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (bits != 0) return p + __builtin_ctz(bits);
    p += 16;
  }
#endif
  while (p < end && !kStop.stop[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

// Bit i set when p[i] ends an unquoted field, for the 64 bytes from p.
inline std::uint64_t stop_bits64(const char* p) {
  std::uint64_t bits = 0;
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(','), lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
  const __m128i nul = _mm_setzero_si128();
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, comma), _mm_cmpeq_epi8(v, lf)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, nul)));
    bits |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hit))) << (16 * k);
  }
#else
  for (int i = 0; i < 64; ++i) bits |= std::uint64_t{kStop.stop[static_cast<unsigned char>(p[i])]} << i;
#endif
  return bits;
}

}  // namespace

std::string decode_quoted(const char* p, std::size_t n) {
  std::string s;
  s.reserve(n);
  std::size_t i = 1;  // past the opening quote
  bool inq = true;
  while (i < n) {
    const char c = p[i];
    if (inq && c == '"') {
      if (i + 1 < n && p[i + 1] == '"') {
        s.push_back('"');
        i += 2;
        continue;
      }
      inq = false;
      ++i;
      continue;
    }
    s.push_back(c);
    ++i;
  }
  return s;
}

Engine::Engine(std::string source, ByteReader reader, const CsvOptions& options)
    : source_(std::move(source)), reader_(std::move(reader)), options_(options), missing_(options) {
  check_options();
}

Engine::Engine(std::string source, std::string_view text, const CsvOptions& options)
    : source_(std::move(source)), eof_(true), options_(options), missing_(options) {
  check_options();
  base_ = text.data();
  tail_ = text.size();
}

bool Engine::read_header() {
  for (;;) {
    if (!next_record()) return false;
    if (!blank_) break;
    consume();
  }
  std::vector<std::string> raw;
  raw.reserve(fields_.size());
  for (const auto& f : fields_) raw.push_back(cell(f));
  consume();
  names_ = unique_names(raw);
  cols_.assign(names_.size(), ColBuilder());
  std::unordered_map<std::string_view, DType> declared;
  for (const auto& [name, type] : options_.types) declared.emplace(name, type);
  for (std::size_t i = 0; i < names_.size(); ++i) {
    cols_[i].keep_raw(keep_raw_);
    if (auto it = declared.find(names_[i]); it != declared.end()) cols_[i].declare(it->second);
    else if (options_.default_type) cols_[i].declare(*options_.default_type);
  }
  return true;
}

std::vector<std::string> Engine::unique_names(const std::vector<std::string>& raw) {
  std::vector<std::string> names;
  names.reserve(raw.size());
  std::unordered_set<std::string> taken;
  std::unordered_map<std::string_view, std::size_t> later;  // raw names after the current one
  std::unordered_map<std::string, std::size_t> next_suffix;
  taken.reserve(raw.size() * 2);
  for (const auto& r : raw) ++later[r];
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (--later[raw[i]] == 0) later.erase(raw[i]);
    std::string name = raw[i].empty() ? "Unnamed: " + std::to_string(i) : raw[i];
    if (taken.count(name)) {
      std::size_t& k = next_suffix[name];
      for (;;) {
        std::string cand = name + "." + std::to_string(++k);
        if (!taken.count(cand) && !later.count(cand)) {
          name = std::move(cand);
          break;
        }
      }
    }
    taken.insert(name);
    names.push_back(std::move(name));
  }
  return names;
}

void Engine::check_options() const {
  for (const auto& [name, type] : options_.types)
    if (!declarable(type))
      throw ValueError("CSV: column '" + name + "' cannot be declared " + dtype_name(type));
  if (options_.default_type && !declarable(*options_.default_type))
    throw ValueError(std::string("CSV: columns cannot be declared ") + dtype_name(*options_.default_type));
}

void Engine::bad_cell(std::size_t line, std::size_t col, const char* p, std::size_t n) const {
  std::string shown(p, std::min<std::size_t>(n, 80));
  if (n > 80) shown += "...";
  fail_line(source_, line,
            "column '" + names_[col] + "': cannot read \"" + shown + "\" as " + declared_name(col));
}

std::string Engine::declared_name(std::size_t col) const {
  for (const auto& [name, type] : options_.types)
    if (name == names_[col]) return dtype_name(type);
  return options_.default_type ? dtype_name(*options_.default_type) : "?";
}

std::string Engine::cell(const Field& f) const {
  if (f.raw) return decode_quoted(f.b, f.n);
  return std::string(f.b, f.n);
}

bool Engine::refill() {
  if (eof_) return false;
  if (batch_) flush_batch();  // its fields point into the window about to move
  const std::size_t pending = tail_ - head_;
  const std::size_t need = pending + std::max<std::size_t>(std::size_t{1} << 20, pending);
  if (cap_ < need) {
    std::unique_ptr<char[]> nb(new char[need]);
    if (pending) std::memcpy(nb.get(), buf_.get() + head_, pending);
    buf_ = std::move(nb);
    cap_ = need;
  } else if (head_ > 0 && pending) {
    std::memmove(buf_.get(), buf_.get() + head_, pending);
  }
  head_ = 0;
  tail_ = pending;
  base_ = buf_.get();
  stop_block_ = nullptr;
  std::size_t total = 0;
  while (tail_ < cap_) {
    const std::size_t got = reader_(buf_.get() + tail_, cap_ - tail_);
    if (got == 0) {
      eof_ = true;
      break;
    }
    tail_ += got;
    total += got;
  }
  return total != 0;
}

bool Engine::next_record() {
  for (;;) {
    if (head_ >= tail_ && eof_) return false;
    if (head_ < tail_ || eof_) {
      const int r = scan();
      if (r > 0) return true;
      if (r == 0 && eof_) return false;
    }
    if (!refill() && head_ >= tail_) return false;
  }
}

namespace {

// The first byte at or after p that ends an unquoted field, or end. The
// stop bits of 64 bytes at a time are kept (`block`, `bits`) for the fields
// that follow, until the buffer moves.
inline const char* next_stop(const char* p, const char* end, const char*& block, std::uint64_t& bits) {
  for (;;) {
    if (block != nullptr && p >= block && p < block + 64) {
      const std::uint64_t m = bits >> (p - block);
      if (m != 0) return p + std::countr_zero(m);
      p = block + 64;
    }
    if (end - p < 64) return skip_plain(p, end);
    block = p;
    bits = stop_bits64(p);
  }
}

}  // namespace

// A batch holds at most this many fields (rows times columns).
constexpr std::size_t kBatchFields = std::size_t{1} << 17;
constexpr std::size_t kBatchRows = 8192;

struct Engine::Batch {
  Batch(std::size_t columns, std::size_t max_rows)
      : ncols(columns),
        slots(std::max<std::size_t>(columns, 1)),
        cap(std::min(max_rows, std::clamp<std::size_t>(kBatchFields / slots, 1, kBatchRows))),
        fields(cap * slots),
        nf(cap),
        lines(cap),
        fails(columns) {}
  ~Batch() {
    if (!helper.joinable()) return;
    {
      std::lock_guard<std::mutex> l(mu);
      stop = true;
    }
    go.notify_one();
    helper.join();
  }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  // Where scan() splits the next record.
  Field* next_row() { return fields.data() + rows * slots; }

  // Takes the record split into row `rows` (by scan()).
  void add(std::size_t nfields, std::size_t line) {
    nf[rows] = nfields;
    lines[rows] = line;
    ++rows;
  }

  // The first cell of a column that failed: its row in the batch, and
  // either the cell (not of the declared type) or what was raised.
  struct Fail {
    std::size_t row = static_cast<std::size_t>(-1);
    std::string cell;
    std::exception_ptr error;
  };

  const std::size_t ncols, slots, cap;  // slots: a row's room for fields
  std::size_t rows = 0, done = 0;  // in the batch / given to the columns before it
  std::vector<Field> fields;       // row-major
  std::vector<std::size_t> nf;     // fields of each row
  std::vector<std::size_t> lines;  // line of each row
  std::vector<Fail> fails;         // a column's first failure
  std::atomic<std::size_t> next_col{0};

  // The helper: takes columns of each batch beside the parsing thread.
  std::thread helper;
  bool tried = false;
  std::mutex mu;
  std::condition_variable go, idle;
  std::uint64_t round = 0;
  bool busy = false, stop = false;
};

int Engine::scan() {
  const char* p = base_ + head_;
  const char* const end = base_ + tail_;
  if (!bom_checked_) {
    if (end - p >= 3) {
      if (std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
        head_ += 3;
        p += 3;
      }
    } else if (!eof_) {
      return -1;
    }
    bom_checked_ = true;
  }
  if (p == end) return eof_ ? 0 : -1;
  fields_.clear();
  // The record's state stays in locals while it is split: the stores of its
  // fields could alias members, which would then be reloaded every field.
  Field* const row = batch_ ? batch_->next_row() : nullptr;
  const std::size_t cols = batch_ ? batch_->slots : 0;
  std::size_t nf = 0;
  const char* block = stop_block_;
  std::uint64_t bits = stop_bits_;
  const auto put = [&](const Field& f) {
    if (row == nullptr) fields_.push_back(f);
    else if (nf < cols) row[nf] = f;
    ++nf;
  };
  const auto more = [&] {  // the record goes on past the window
    stop_block_ = block;
    stop_bits_ = bits;
    return -1;
  };
  record_line_ = line_;
  std::size_t nl = 0;
  for (;;) {
    if (p < end && *p == '"') {
      const char* start = p;
      const char* q = p + 1;
      bool raw = false, closed = false;
      while (q < end) {
        const char c = *q;
        if (c == '"') {
          if (q + 1 < end && q[1] == '"') {
            raw = true;
            q += 2;
            continue;
          }
          if (q + 1 == end && !eof_) return more();
          closed = true;
          break;
        }
        if (c == '\n') ++nl;
        else if (c == '\r' && !(q + 1 < end && q[1] == '\n')) ++nl;
        else if (c == '\0') fail_line(source_, line_ + nl, "embedded NUL byte");
        ++q;
      }
      if (!closed) {
        if (!eof_) return more();
        fail_line(source_, record_line_, "unbalanced quote: quoted field not closed before the end of the data");
      }
      const char* close = q;
      p = q + 1;
      // Bytes after the closing quote are kept as they are.
      while (p < end && !kStop.stop[static_cast<unsigned char>(*p)]) ++p;
      if (p < end && *p == '\0') fail_line(source_, line_ + nl, "embedded NUL byte");
      if (p != close + 1) raw = true;
      if (raw)
        put({start, static_cast<std::size_t>(p - start), true, true});
      else
        put({start + 1, static_cast<std::size_t>(close - start - 1), true, false});
    } else {
      const char* start = p;
      p = next_stop(p, end, block, bits);
      if (p < end && *p == '\0') fail_line(source_, line_ + nl, "embedded NUL byte");
      put({start, static_cast<std::size_t>(p - start), false, false});
    }
    if (p == end) {
      if (!eof_) return more();
      break;  // last record without a line end
    }
    if (*p == ',') {
      ++p;
      continue;
    }
    if (*p == '\n') {
      ++p;
      ++nl;
      break;
    }
    // '\r', alone or before '\n'
    if (p + 1 == end && !eof_) return more();
    ++p;
    if (p < end && *p == '\n') ++p;
    ++nl;
    break;
  }
  stop_block_ = block;
  stop_bits_ = bits;
  nfields_ = nf;
  const Field& first = row ? row[0] : fields_.front();
  blank_ = nf == 1 && !first.quoted && first.n == 0;
  next_ = static_cast<std::size_t>(p - base_);
  next_line_ = line_ + nl;
  return 1;
}

void Engine::add_batch_columns(Batch& b) {
  std::string scratch;
  for (;;) {
    const std::size_t j = b.next_col.fetch_add(1, std::memory_order_relaxed);
    if (j >= b.ncols) return;
    Batch::Fail& fail = b.fails[j];
    std::size_t at = 0;
    try {
      if (!cols_[j].add_run({b.fields.data(), b.slots, j, b.rows, b.nf.data(), &missing_}, at, scratch)) {
        fail.row = at;
        fail.cell = scratch;
      }
    } catch (...) {
      fail.row = at;
      fail.error = std::current_exception();
    }
  }
}

void Engine::flush_batch() {
  Batch& b = *batch_;
  if (b.rows == 0) return;
  b.next_col.store(0, std::memory_order_relaxed);
  // A helper is worth its start only once batches run full.
  if (!b.tried && b.rows == b.cap && b.ncols > 1 && b.cap >= 64) {
    b.tried = true;
    try {
      b.helper = std::thread([this, &b] {
        std::uint64_t seen = 0;
        for (;;) {
          {
            std::unique_lock<std::mutex> l(b.mu);
            b.go.wait(l, [&] { return b.stop || b.round != seen; });
            if (b.stop) return;
            seen = b.round;
          }
          add_batch_columns(b);
          {
            std::lock_guard<std::mutex> l(b.mu);
            b.busy = false;
          }
          b.idle.notify_one();
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had: the columns are built here alone.
    }
  }
  if (b.helper.joinable()) {
    {
      std::lock_guard<std::mutex> l(b.mu);
      ++b.round;
      b.busy = true;
    }
    b.go.notify_one();
  }
  add_batch_columns(b);
  if (b.helper.joinable()) {
    std::unique_lock<std::mutex> l(b.mu);
    b.idle.wait(l, [&] { return !b.busy; });
  }
  // The failure one pass over the records would meet first: the lowest row,
  // then the lowest column.
  std::size_t col = b.ncols;
  for (std::size_t j = 0; j < b.ncols; ++j)
    if (b.fails[j].row != static_cast<std::size_t>(-1) && (col == b.ncols || b.fails[j].row < b.fails[col].row))
      col = j;
  if (col != b.ncols) {
    b.rows = 0;  // not to be given again by a flush on the way out
    Batch::Fail& f = b.fails[col];
    if (f.error) std::rethrow_exception(f.error);
    bad_cell(b.lines[f.row], col, f.cell.data(), f.cell.size());
  }
  b.done += b.rows;
  b.rows = 0;
}

Frame Engine::chunk(std::size_t max_rows, std::size_t reserve, std::size_t first_label, std::size_t& rows,
                   std::vector<Finished>* infos, const RowTick& tick) {
  rows = 0;
  const std::size_t ncols = cols_.size();
  for (auto& c : cols_) c.set_reserve(reserve);
  Batch b(ncols, std::max<std::size_t>(max_rows, 1));
  batch_ = &b;
  struct Unset {
    Engine& e;
    ~Unset() { e.batch_ = nullptr; }
  } unset{*this};
  std::size_t ticked = 0;
  const auto flush = [&] {
    flush_batch();
    if (tick.every)
      for (; ticked + tick.every <= b.done; ticked += tick.every) tick.call(ticked + tick.every);
  };
  const auto next = [&] {
    try {
      return next_record();
    } catch (...) {
      flush();  // the rows before this record come first
      throw;
    }
  };
  while (b.done + b.rows < max_rows && next()) {
    if (blank_) {
      consume();
      continue;
    }
    const std::size_t nf = nfields_;
    if (nf > ncols) {
      flush();
      fail_line(source_, record_line_, "Expected " + std::to_string(ncols) + " fields, saw " + std::to_string(nf));
    }
    b.add(nf, record_line_);
    consume();
    if (b.rows == b.cap) flush();
  }
  flush();
  rows = b.done;
  Frame f;
  if (infos) infos->assign(ncols, Finished{});
  for (std::size_t i = 0; i < ncols; ++i) f.add_column(names_[i], cols_[i].finish(infos ? &(*infos)[i] : nullptr));
  if (head_ >= tail_ && eof_) {
    // The input is used up: give the scratch memory back before the
    // caller joins the chunks.
    for (auto& c : cols_) c.release();
    buf_.reset();
    cap_ = 0;
    base_ = nullptr;
    stop_block_ = nullptr;
    head_ = tail_ = 0;
    // The freed scratch stays with the allocator for what comes next: a
    // trim of the heap here would hand back every free page of the process,
    // and the next read would fault them all in again.
  }
  f.set_index(Index::range(rows, static_cast<std::int64_t>(first_label)));
  return f;
}

}  // namespace quorin_data::formats::csv_detail
