#include "formats/xlsx/zip.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::formats::xlsx_detail {
namespace {

constexpr std::uint32_t kEocdSig = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSig = 0x07064b50;
constexpr std::uint32_t kZip64EocdSig = 0x06064b50;
constexpr std::uint32_t kCentralSig = 0x02014b50;
constexpr std::uint32_t kLocalSig = 0x04034b50;

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t u64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(u32(p)) | (static_cast<std::uint64_t>(u32(p + 4)) << 32);
}

// Bytes handed to a stream consumer at a time.
constexpr std::size_t kPiece = std::size_t{256} << 10;

std::string at(std::uint64_t off) { return "byte " + std::to_string(off); }

using text::iequals;

}  // namespace

ZipArchive::ZipArchive(const std::uint8_t* data, std::size_t size, std::string source, ZipLimits limits)
    : data_(data), size_(size), source_(std::move(source)), limits_(limits) {
  auto fail = [&](const std::string& place, const std::string& what) -> void {
    throw FormatError("xlsx", source_, place, what);
  };
  if (size_ < 22 || data_ == nullptr) fail(at(0), "not a zip archive (too short for an end-of-directory record)");
  // The end-of-central-directory record sits within the last 22 + 65535 bytes.
  std::size_t eocd = size_;
  const std::size_t lowest = size_ > 22 + 65535 ? size_ - 22 - 65535 : 0;
  for (std::size_t p = size_ - 22 + 1; p-- > lowest;) {
    if (u32(data_ + p) == kEocdSig) {
      eocd = p;
      break;
    }
  }
  if (eocd == size_) {
    if (size_ >= 4 && u32(data_) == kLocalSig)
      fail(at(size_), "zip archive is truncated (no end-of-directory record)");
    fail(at(0), "not a zip archive (no end-of-directory record)");
  }
  std::uint64_t count = u16(data_ + eocd + 10);
  std::uint64_t cd_size = u32(data_ + eocd + 12);
  std::uint64_t cd_off = u32(data_ + eocd + 16);
  if (count == 0xFFFF || cd_size == 0xFFFFFFFF || cd_off == 0xFFFFFFFF) {
    // ZIP64: the locator precedes the end record and points at the 64-bit one.
    if (eocd < 20 || u32(data_ + eocd - 20) != kZip64LocatorSig)
      fail(at(eocd), "zip64 sizes without a zip64 locator");
    const std::uint64_t z = u64(data_ + eocd - 20 + 8);
    if (z > size_ || size_ - z < 56 || u32(data_ + z) != kZip64EocdSig)
      fail(at(eocd - 20), "zip64 end record out of range");
    count = u64(data_ + z + 32);
    cd_size = u64(data_ + z + 40);
    cd_off = u64(data_ + z + 48);
  }
  if (cd_off > size_ || cd_size > size_ - cd_off)
    fail(at(eocd), "central directory (offset " + std::to_string(cd_off) + ", " +
                       std::to_string(cd_size) + " bytes) lies outside the " + std::to_string(size_) +
                       "-byte file; the file is truncated or not a zip archive");
  if (count > cd_size / 46) fail(at(eocd), "central directory too small for its entry count");
  entries_.reserve(static_cast<std::size_t>(count));
  std::uint64_t p = cd_off;
  const std::uint64_t end = cd_off + cd_size;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (end - p < 46 || u32(data_ + p) != kCentralSig)
      fail(at(p), "bad central directory entry " + std::to_string(i));
    const std::uint8_t* h = data_ + p;
    ZipEntry e;
    e.flags = u16(h + 8);
    e.method = u16(h + 10);
    e.crc = u32(h + 16);
    e.compressed = u32(h + 20);
    e.uncompressed = u32(h + 24);
    const std::uint16_t name_len = u16(h + 28), extra_len = u16(h + 30), comment_len = u16(h + 32);
    e.local_offset = u32(h + 42);
    const std::uint64_t var = std::uint64_t{name_len} + extra_len + comment_len;
    if (end - p - 46 < var) fail(at(p), "central directory entry " + std::to_string(i) + " overruns the directory");
    e.name.assign(reinterpret_cast<const char*>(h + 46), name_len);
    // ZIP64 extra field: 64-bit values for the fields saturated above, in order.
    const std::uint8_t* x = h + 46 + name_len;
    const std::uint8_t* xend = x + extra_len;
    while (xend - x >= 4) {
      const std::uint16_t id = u16(x), len = u16(x + 2);
      if (xend - x - 4 < len) break;
      if (id == 0x0001) {
        const std::uint8_t* f = x + 4;
        const std::uint8_t* fend = f + len;
        auto take = [&](std::uint64_t& v) {
          if (v != 0xFFFFFFFF) return;
          if (fend - f < 8) fail(at(p), "short zip64 field in entry '" + e.name + "'");
          v = u64(f);
          f += 8;
        };
        take(e.uncompressed);
        take(e.compressed);
        take(e.local_offset);
      }
      x += 4 + len;
    }
    entries_.push_back(std::move(e));
    p += 46 + var;
  }
}

const ZipEntry* ZipArchive::find(const std::string& name) const {
  for (const auto& e : entries_)
    if (e.name == name) return &e;
  for (const auto& e : entries_)
    if (iequals(e.name, name)) return &e;
  return nullptr;
}

void ZipArchive::read_stream(const ZipEntry& e, const std::function<void(const char*, std::size_t)>& sink) const {
  const std::string where = "zip entry '" + e.name + "'";
  auto fail = [&](const std::string& what) -> void { throw FormatError("xlsx", source_, where, what); };
  if (e.flags & 0x1) fail("is encrypted");
  if (e.local_offset > size_ || size_ - e.local_offset < 30 || u32(data_ + e.local_offset) != kLocalSig)
    fail("local header at byte " + std::to_string(e.local_offset) + " is missing or out of range");
  const std::uint8_t* h = data_ + e.local_offset;
  const std::uint64_t start = e.local_offset + 30 + std::uint64_t{u16(h + 26)} + u16(h + 28);
  if (start > size_ || e.compressed > size_ - start)
    fail("data (" + std::to_string(e.compressed) + " bytes at byte " + std::to_string(start) +
         ") runs past the end of the file; the file is truncated");
  if (e.uncompressed > limits_.max_entry)
    fail("declares " + std::to_string(e.uncompressed) + " bytes, more than the limit of " +
         std::to_string(limits_.max_entry));
  const std::uint8_t* src = data_ + start;
  // The CRC is checked once the whole entry has gone through; a consumer
  // that stops early (by throwing) never sees it.
  uLong crc = crc32_z(0L, nullptr, 0);
  auto emit = [&](const std::uint8_t* p, std::size_t n) {
    crc = crc32_z(crc, p, n);
    sink(reinterpret_cast<const char*>(p), n);
  };
  if (e.method == 0) {
    if (e.compressed != e.uncompressed) fail("stored entry with differing sizes");
    for (std::uint64_t done = 0; done < e.compressed;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(e.compressed - done, kPiece));
      emit(src + done, n);
      done += n;
    }
  } else if (e.method == 8) {
    if (e.uncompressed > limits_.ratio_floor && e.uncompressed / std::max<std::uint64_t>(e.compressed, 1) > limits_.max_ratio)
      fail("declares " + std::to_string(e.uncompressed) + " bytes from " + std::to_string(e.compressed) +
           " compressed bytes, more than deflate can expand (a zip bomb)");
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::min<std::uint64_t>(e.uncompressed, kPiece)) + 1);
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) fail("zlib inflateInit2 failed");
    struct End {
      z_stream* z;
      ~End() { inflateEnd(z); }
    } end{&zs};
    std::uint64_t in_left = e.compressed, out_done = 0;
    int rc = Z_OK;
    // zlib counts in 32-bit units: feed and drain in bounded pieces. Output
    // goes out piece by piece; room for one byte past the declared size tells
    // an entry that lies about it.
    while (rc != Z_STREAM_END) {
      if (zs.avail_in == 0 && in_left > 0) {
        const auto piece = static_cast<uInt>(std::min<std::uint64_t>(in_left, 1u << 30));
        zs.next_in = const_cast<Bytef*>(src + (e.compressed - in_left));
        zs.avail_in = piece;
        in_left -= piece;
      }
      const std::uint64_t room = std::min<std::uint64_t>(e.uncompressed - out_done, buf.size() - 1) + 1;
      zs.next_out = buf.data();
      zs.avail_out = static_cast<uInt>(room);
      const uInt before_in = zs.avail_in;
      rc = inflate(&zs, Z_NO_FLUSH);
      const std::size_t produced = static_cast<std::size_t>(room - zs.avail_out);
      if (produced > e.uncompressed - out_done) fail("inflates past its declared size (stopped at the declared size)");
      out_done += produced;
      if (produced > 0) emit(buf.data(), produced);
      if (rc == Z_STREAM_END) break;
      if (rc == Z_BUF_ERROR && zs.avail_in == 0 && in_left == 0) fail("deflate data ends early (truncated)");
      if ((rc != Z_OK && rc != Z_BUF_ERROR) || (produced == 0 && zs.avail_in == before_in)) fail("corrupt deflate data");
    }
    if (out_done != e.uncompressed)
      fail("inflates to " + std::to_string(out_done) + " bytes, not the declared " + std::to_string(e.uncompressed));
  } else {
    fail("uses unsupported compression method " + std::to_string(e.method));
  }
  if (crc != e.crc) fail("CRC mismatch (corrupt or truncated data)");
}

std::string ZipArchive::read(const ZipEntry& e) const {
  std::string out;
  read_stream(e, [&](const char* p, std::size_t n) {
    if (out.empty()) out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(e.uncompressed, limits_.max_entry)));
    out.append(p, n);
  });
  return out;
}

}  // namespace quorin_data::formats::xlsx_detail
