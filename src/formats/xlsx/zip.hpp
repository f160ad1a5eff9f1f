// Read-only view of a zip archive held in memory: the central directory and
// bounded inflation of single entries.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorin_data::formats::xlsx_detail {

struct ZipEntry {
  std::string name;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressed = 0;
  std::uint64_t uncompressed = 0;
  std::uint64_t local_offset = 0;
};

struct ZipLimits {
  // No entry may declare or inflate to more than this.
  std::uint64_t max_entry = std::uint64_t{1} << 30;
  // Deflate cannot expand more than about 1032:1; a larger declared ratio
  // (for entries above `ratio_floor`) is a lie about the size.
  std::uint64_t max_ratio = 1100;
  std::uint64_t ratio_floor = std::uint64_t{1} << 20;
};

class ZipArchive {
 public:
  // Parses the central directory; FormatError("xlsx", source, ...) when the
  // bytes are not a zip archive or the directory does not fit in them.
  ZipArchive(const std::uint8_t* data, std::size_t size, std::string source, ZipLimits limits = {});

  const std::vector<ZipEntry>& entries() const noexcept { return entries_; }
  // The entry of that name (exact match first, then ASCII case-insensitive,
  // as package part names are compared case-insensitively).
  const ZipEntry* find(const std::string& name) const;
  // The inflated bytes of an entry, checked against its declared size and CRC.
  std::string read(const ZipEntry& e) const;
  // The same bytes handed to `sink` in pieces of at most 256 KiB as they are
  // inflated, so that a consumer needs no room for the whole entry. The
  // checks are those of read(); the CRC fails after the last piece.
  void read_stream(const ZipEntry& e, const std::function<void(const char*, std::size_t)>& sink) const;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::string source_;
  ZipLimits limits_;
  std::vector<ZipEntry> entries_;
};

}  // namespace quorin_data::formats::xlsx_detail
