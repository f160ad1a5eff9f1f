// gzip: streaming multi-member inflate (ISA-L for the deflate data), a fast
// whole-buffer path on libdeflate, and compression.
#include "quorin_data/formats/gzip.hpp"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"

namespace quorin_data::formats {

namespace {

constexpr std::size_t kMaxAvail = std::size_t{1} << 30;  // per zlib call (uInt)

[[noreturn]] void fail(const std::string& source, std::size_t offset, const std::string& what) {
  throw FormatError("gzip", source, "byte " + std::to_string(offset), what);
}

std::size_t limit_from_environment() {
  const auto n = env_limit("QUORIN_GZIP_MAX_BYTES");
  if (!n) return kGzipDefaultOutputLimit;
  return static_cast<std::size_t>(std::min<std::uint64_t>(*n, std::numeric_limits<std::size_t>::max()));
}

std::atomic<std::size_t>& output_limit() {
  static std::atomic<std::size_t> limit{limit_from_environment()};
  return limit;
}

std::string over_limit(std::size_t limit) {
  return "inflates to more than " + std::to_string(limit) +
         " bytes, the gzip output limit (QUORIN_GZIP_MAX_BYTES or set_gzip_output_limit)";
}

}  // namespace

std::size_t gzip_output_limit() { return output_limit().load(); }

std::size_t set_gzip_output_limit(std::size_t bytes) {
  if (bytes == 0) throw ValueError("the gzip output limit must be at least 1 byte");
  return output_limit().exchange(bytes);
}

bool looks_like_gzip(const std::uint8_t* data, std::size_t size) noexcept {
  return size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
}

namespace {

// The streaming decoder itself, run inline or on the read-ahead thread. Its
// input is a whole buffer, or a window over bytes pulled from a source as
// they are needed (positions in messages count from the input's start). The
// gzip header and trailer are read here, with zlib's checks and wording; the
// deflate data between them goes through ISA-L's inflate (several times
// faster than zlib's), which also keeps the CRC-32 of the member's output.
struct Inflater {
  enum class Stage { Between, Header, Body, Trailer };
  const std::uint8_t* data;
  std::size_t size;
  std::string source;
  inflate_state st{};
  Stage stage = Stage::Between;
  bool done = false;
  std::size_t pos = 0;    // input bytes consumed (of the window)
  std::size_t base = 0;   // input bytes before the window
  std::size_t limit;      // most output bytes allowed
  std::size_t total = 0;  // output bytes produced
  GzipSource pull;        // empty for a whole buffer
  std::vector<std::uint8_t> window;
  bool pulled_all = false;
  // The header or trailer being read: its fixed part, what is left of a
  // variable field, and the CRC-32 of the header bytes so far (for FHCRC).
  std::uint8_t fixed[10] = {};
  std::size_t have = 0;
  int field = 0;  // 0 fixed part, 1 extra length, 2 extra data, 3 name, 4 comment, 5 header crc, 6 done
  std::size_t extra_left = 0;
  std::uint32_t head_crc = 0;
  std::uint32_t member_out = 0;  // output of the member, modulo 2^32 as its trailer counts it

  Inflater(const std::uint8_t* d, std::size_t n, std::string src)
      : data(d), size(n), source(std::move(src)), limit(gzip_output_limit()) {
    init();
  }
  Inflater(GzipSource p, std::string src)
      : data(nullptr), size(0), source(std::move(src)), limit(gzip_output_limit()), pull(std::move(p)) {
    window.resize(std::size_t{256} << 10);
    data = window.data();
    refill();
    init();
  }
  void init() {
    if (size == 0) fail(source, 0, "empty input, not a gzip stream");
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Moves the unread bytes to the front of the window and pulls more after
  // them; false when the source has nothing more (or there is no source).
  bool refill() {
    if (!pull || pulled_all) return false;
    const std::size_t left = size - pos;
    if (pos > 0) std::memmove(window.data(), window.data() + pos, left);
    base += pos;
    pos = 0;
    size = left;
    while (size < window.size()) {
      const std::size_t got = pull(window.data() + size, window.size() - size);
      if (got == 0) {
        pulled_all = true;
        break;
      }
      size += got;
      if (size - left >= window.size() / 4) break;  // enough to go on with
    }
    return size > left;
  }

  [[noreturn]] void truncated() { fail(source, base + pos, "truncated gzip stream (input ends inside a member)"); }

  void start_member() {
    while (size - pos < 2 && refill()) {
    }
    const std::size_t left = size - pos;
    if (left < 2 || data[pos] != 0x1f || data[pos + 1] != 0x8b) {
      if (base + pos == 0) fail(source, 0, "bad gzip header (not gzip magic bytes 1f 8b)");
      std::size_t trailing = left;  // the whole rest, as over a buffer
      if (pull && !pulled_all) {
        std::vector<std::uint8_t> rest(std::size_t{64} << 10);
        for (std::size_t got; (got = pull(rest.data(), rest.size())) > 0;) trailing += got;
        pulled_all = true;
      }
      fail(source, base + pos, "trailing garbage after the last gzip member (" + std::to_string(trailing) + " bytes)");
    }
    stage = Stage::Header;
    have = 0;
    field = 0;
    head_crc = 0;
  }

  // Reads header bytes from the window; true once the header is complete.
  bool read_header() {
    while (field != 6 && pos < size) {
      const std::uint8_t c = data[pos++];
      // Every header byte before its own CRC counts towards that CRC.
      if (field != 5 && (field == 0 || (fixed[3] & 0x02))) head_crc = static_cast<std::uint32_t>(crc32(head_crc, &c, 1));
      switch (field) {
        case 0:
          fixed[have++] = c;
          if (have == 3 && fixed[2] != 8) header_fail("unknown compression method");
          if (have == 4 && (fixed[3] & 0xe0)) header_fail("unknown header flags set");
          if (have == 10) {
            have = 0;
            extra_left = 0;
            field = (fixed[3] & 0x04) ? 1 : next_field(1);
          }
          break;
        case 1:
          extra_left |= static_cast<std::size_t>(c) << (8 * have);
          if (++have == 2) {
            have = 0;
            field = extra_left ? 2 : next_field(2);
          }
          break;
        case 2:
          if (--extra_left == 0) field = next_field(2);
          break;
        case 3:
        case 4:
          if (c == 0) field = next_field(field);
          break;
        case 5:
          extra_left |= static_cast<std::size_t>(c) << (8 * have);
          if (++have == 2) {
            if (extra_left != (head_crc & 0xffff)) header_fail("header crc mismatch");
            field = 6;
          }
          break;
      }
    }
    return field == 6;
  }

  // The field after `f` that the flags announce (6: the header is complete).
  int next_field(int f) const {
    const std::uint8_t fl = fixed[3];
    if (f < 3 && (fl & 0x08)) return 3;
    if (f < 4 && (fl & 0x10)) return 4;
    if (f < 5 && (fl & 0x02)) return 5;
    return 6;
  }

  [[noreturn]] void header_fail(const char* what) {
    fail(source, base + pos, std::string("corrupt gzip member: ") + what);
  }

  void start_body() {
    isal_inflate_init(&st);
    st.crc_flag = ISAL_GZIP_NO_HDR;
    stage = Stage::Body;
    member_out = 0;
  }

  void trailer_byte(std::uint8_t c) {
    fixed[have++] = c;
    if (have == 4 && le32(fixed) != st.crc) fail(source, base + pos, "CRC-32 mismatch (member data corrupt)");
  }

  // The inflater reads input ahead into a bit buffer: the whole bytes left
  // there after the last block are the first bytes of the trailer.
  void start_trailer() {
    stage = Stage::Trailer;
    have = 0;
    const int bits = std::max(st.read_in_length, 0);
    std::uint64_t rest = bits % 8 < 64 ? st.read_in >> (bits % 8) : 0;
    for (int k = 0; k < bits / 8 && have < 8; ++k, rest >>= 8) trailer_byte(static_cast<std::uint8_t>(rest & 0xff));
  }

  // Reads trailer bytes from the window; true once both checks passed.
  bool read_trailer() {
    while (have < 8 && pos < size) trailer_byte(data[pos++]);
    if (have < 8) return false;
    if (le32(fixed + 4) != member_out)
      fail(source, base + pos, "length mismatch (member size does not match its trailer)");
    return true;
  }

  static std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  }

  std::string describe_isal(int rc) {
    switch (rc) {
      case ISAL_INVALID_BLOCK: return "corrupt gzip member: invalid block";
      case ISAL_INVALID_SYMBOL: return "corrupt gzip member: invalid code";
      case ISAL_INVALID_LOOKBACK: return "corrupt gzip member: invalid distance too far back";
      default: return "corrupt gzip member: deflate error " + std::to_string(rc);
    }
  }

  std::size_t read(std::uint8_t* out, std::size_t cap) {
    if (done || cap == 0) return 0;
    // One byte past the limit is enough to tell that the output exceeds it.
    if (limit - total < cap) cap = limit - total + 1;
    std::size_t produced = 0;
    while (produced == 0) {
      switch (stage) {
        case Stage::Between:
          if (pos == size && !refill()) {
            done = true;
            return 0;
          }
          start_member();
          continue;
        case Stage::Header:
          if (read_header()) {
            start_body();
            continue;
          }
          if (!refill()) truncated();
          continue;
        case Stage::Trailer:
          if (read_trailer()) {
            stage = Stage::Between;
            continue;
          }
          if (!refill()) truncated();
          continue;
        case Stage::Body: break;
      }
      if (pos == size) refill();
      st.next_in = const_cast<std::uint8_t*>(data + pos);
      st.avail_in = static_cast<std::uint32_t>(std::min(size - pos, kMaxAvail));
      st.next_out = out + produced;
      st.avail_out = static_cast<std::uint32_t>(std::min(cap - produced, kMaxAvail));
      const std::uint32_t in_before = st.avail_in, out_before = st.avail_out;
      const int rc = isal_inflate(&st);
      const std::size_t used = in_before - st.avail_in, made = out_before - st.avail_out;
      pos += used;
      produced += made;
      member_out += static_cast<std::uint32_t>(made);
      if (produced > limit - total) fail(source, base + pos, over_limit(limit));
      if (rc < 0) fail(source, base + pos, describe_isal(rc));
      if (st.block_state == ISAL_BLOCK_FINISH) {
        start_trailer();
        continue;
      }
      if (made == 0 && pos == size && !refill()) truncated();
      if (made == 0 && used == 0 && pos < size) fail(source, base + pos, describe_isal(ISAL_INVALID_BLOCK));
    }
    total += produced;
    return produced;
  }
};

// Inflate ahead on a second thread: the decoder fills fixed blocks while the
// caller parses the previous ones, so a read costs about the larger of the two
// rather than their sum. Blocks come back in order; an error of the decoder is
// raised by the read that reaches it, after every byte decoded before it.
class Pipeline {
 public:
  static constexpr std::size_t kBlock = std::size_t{1} << 20;
  static constexpr std::size_t kBlocks = 4;

  // Takes `inf` once the thread runs; if no thread can be started, `inf` is
  // left with the caller and the error propagates.
  explicit Pipeline(std::unique_ptr<Inflater>& inf) {
    for (auto& b : blocks_) b.bytes.reset(new std::uint8_t[kBlock]);
    inf_ = std::move(inf);
    try {
      worker_ = std::thread([this] { produce(); });
    } catch (...) {
      inf = std::move(inf_);
      throw;
    }
  }
  ~Pipeline() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    space_.notify_all();
    worker_.join();
  }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  std::size_t read(std::uint8_t* out, std::size_t cap) {
    std::size_t got = 0;
    while (got < cap) {
      if (have_ == 0) {
        // Hand the used block back and wait for the next full one.
        std::unique_lock<std::mutex> lock(mu_);
        if (holding_) {
          holding_ = false;
          ++head_;
          space_.notify_one();
        }
        // What is already in hand goes out before waiting for more.
        if (got > 0 && head_ == tail_) return got;
        filled_.wait(lock, [&] { return head_ != tail_ || finished_; });
        if (head_ == tail_) {
          if (error_) std::rethrow_exception(error_);
          return got;
        }
        Block& b = blocks_[head_ % kBlocks];
        holding_ = true;
        cur_ = b.bytes.get();
        have_ = b.size;
        continue;
      }
      const std::size_t n = std::min(cap - got, have_);
      std::memcpy(out + got, cur_, n);
      cur_ += n;
      have_ -= n;
      got += n;
    }
    return got;
  }

 private:
  struct Block {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
  };

  void produce() {
    try {
      for (;;) {
        std::size_t slot;
        {
          std::unique_lock<std::mutex> lock(mu_);
          space_.wait(lock, [&] { return stop_ || tail_ - head_ < kBlocks; });
          if (stop_) return;
          slot = tail_ % kBlocks;
        }
        // The slot is ours until tail_ moves past it.
        Block& b = blocks_[slot];
        std::size_t n = 0;
        while (n < kBlock) {
          const std::size_t got = inf_->read(b.bytes.get() + n, kBlock - n);
          if (got == 0) break;
          n += got;
        }
        b.size = n;
        std::lock_guard<std::mutex> lock(mu_);
        if (n > 0) ++tail_;
        if (n < kBlock) {
          finished_ = true;
          filled_.notify_one();
          return;
        }
        filled_.notify_one();
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(mu_);
      error_ = std::current_exception();
      finished_ = true;
      filled_.notify_one();
    }
  }

  std::unique_ptr<Inflater> inf_;
  Block blocks_[kBlocks];
  std::mutex mu_;
  std::condition_variable filled_, space_;
  std::size_t head_ = 0, tail_ = 0;  // blocks handed out / filled, both counting up
  bool finished_ = false, stop_ = false;
  std::exception_ptr error_;
  // The consumer's current block.
  bool holding_ = false;
  const std::uint8_t* cur_ = nullptr;
  std::size_t have_ = 0;
  std::thread worker_;
};

}  // namespace

struct GzipStream::Impl {
  std::unique_ptr<Inflater> inline_;
  std::unique_ptr<Pipeline> ahead_;
};

GzipStream::GzipStream(const std::uint8_t* data, std::size_t size, std::string source, ReadAhead mode)
    : impl_(std::make_unique<Impl>()) {
  auto inf = std::make_unique<Inflater>(data, size, std::move(source));
  const bool ahead = mode == ReadAhead::On || (mode == ReadAhead::Auto && size >= kReadAheadMin);
  if (ahead) {
    try {
      impl_->ahead_ = std::make_unique<Pipeline>(inf);
      return;
    } catch (const std::system_error&) {
      // No thread to be had: decode inline.
    }
  }
  impl_->inline_ = std::move(inf);
}
GzipStream::GzipStream(GzipSource pull, std::string source, ReadAhead mode) : impl_(std::make_unique<Impl>()) {
  auto inf = std::make_unique<Inflater>(std::move(pull), std::move(source));
  if (mode != ReadAhead::Off) {
    try {
      impl_->ahead_ = std::make_unique<Pipeline>(inf);
      return;
    } catch (const std::system_error&) {
      // No thread to be had: decode inline.
    }
  }
  impl_->inline_ = std::move(inf);
}

GzipStream::~GzipStream() = default;

std::size_t GzipStream::read(std::uint8_t* out, std::size_t cap) {
  if (impl_->inline_) return impl_->inline_->read(out, cap);
  return impl_->ahead_->read(out, cap);
}

namespace {

// Exact errors and offsets come from the zlib path; it is also the fallback
// whenever the fast path cannot finish.
std::vector<std::uint8_t> gunzip_zlib(const std::uint8_t* data, std::size_t size, const std::string& source) {
  GzipStream s(data, size, source);
  // The stream fails past the limit, so the buffer never grows beyond it (+1).
  const std::size_t limit = gzip_output_limit();
  const std::size_t most = limit == SIZE_MAX ? limit : limit + 1;
  auto grown = [&](std::size_t n) { return n > most / 2 ? most : std::max(n * 2, std::size_t{1}); };
  std::vector<std::uint8_t> out;
  out.resize(std::min(std::max<std::size_t>(size > most / 4 ? most : size * 4, 1 << 16), most));
  std::size_t n = 0;
  for (;;) {
    if (n == out.size()) out.resize(grown(out.size()));
    const std::size_t got = s.read(out.data() + n, out.size() - n);
    if (got == 0) break;
    n += got;
  }
  out.resize(n);
  out.shrink_to_fit();
  return out;
}

struct Decompressor {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  ~Decompressor() {
    if (d) libdeflate_free_decompressor(d);
  }
};

}  // namespace

std::vector<std::uint8_t> gunzip(const std::uint8_t* data, std::size_t size, const std::string& source) {
  // Fast path: libdeflate member by member. The last trailer's size field is
  // a hint for the output (ignored when it claims more than deflate can
  // expand to); any failure falls back to zlib for a precise diagnosis.
  if (!looks_like_gzip(data, size) || size < 18) return gunzip_zlib(data, size, source);
  Decompressor dec;
  if (!dec.d) return gunzip_zlib(data, size, source);
  const std::size_t limit = gzip_output_limit();
  std::vector<std::uint8_t> out;
  std::size_t n = 0, pos = 0;
  constexpr std::size_t kMaxRatio = 1032;
  while (pos < size) {
    const std::size_t left = size - pos;
    if (left < 18 || !looks_like_gzip(data + pos, left)) return gunzip_zlib(data, size, source);
    // libdeflate skips a header CRC (FHCRC) unchecked; zlib checks it.
    if (data[pos + 3] & 0x02) return gunzip_zlib(data, size, source);
    const std::uint8_t* t = data + size - 4;
    std::size_t hint = static_cast<std::size_t>(t[0]) | (static_cast<std::size_t>(t[1]) << 8) |
                       (static_cast<std::size_t>(t[2]) << 16) | (static_cast<std::size_t>(t[3]) << 24);
    // Never more room than the output limit leaves.
    const std::size_t max_out = std::min(left > (SIZE_MAX - 64) / kMaxRatio ? SIZE_MAX : left * kMaxRatio + 64,
                                         limit - n);
    if (hint > max_out) hint = 0;
    std::size_t want = std::max(hint, left * 3);
    for (;;) {
      want = std::min(want, max_out);
      if (out.size() < n + want) out.resize(n + want);
      std::size_t in_used = 0, out_got = 0;
      const auto rc = libdeflate_gzip_decompress_ex(dec.d, data + pos, left, out.data() + n, out.size() - n,
                                                    &in_used, &out_got);
      if (rc == LIBDEFLATE_SUCCESS) {
        pos += in_used;
        n += out_got;
        break;
      }
      if (rc != LIBDEFLATE_INSUFFICIENT_SPACE || want >= max_out) {
        // The streaming path gives the exact error (and the limit's place).
        std::vector<std::uint8_t>().swap(out);
        return gunzip_zlib(data, size, source);
      }
      want = want > max_out / 2 ? max_out : want * 2;
    }
  }
  out.resize(n);
  out.shrink_to_fit();
  return out;
}

std::vector<std::uint8_t> gzip_compress(const std::uint8_t* data, std::size_t size, int level) {
  if (level < 0) level = 6;
  level = std::min(level, 12);
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (!c) throw RuntimeError("libdeflate: cannot allocate a compressor");
  std::vector<std::uint8_t> out(libdeflate_gzip_compress_bound(c, size));
  const std::size_t n = libdeflate_gzip_compress(c, data, size, out.data(), out.size());
  libdeflate_free_compressor(c);
  if (n == 0) throw RuntimeError("libdeflate: gzip compression failed");
  out.resize(n);
  return out;
}

}  // namespace quorin_data::formats
