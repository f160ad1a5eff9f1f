// gzip decoding (multi-member, bounds-checked) and encoding.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorin_data::formats {

bool looks_like_gzip(const std::uint8_t* data, std::size_t size) noexcept;

// Whole-buffer inflate of every member. FormatError (naming `source` and the
// byte offset) for a bad header, a truncated stream, a bad checksum or
// trailing bytes that are not another member.
std::vector<std::uint8_t> gunzip(const std::uint8_t* data, std::size_t size, const std::string& source);
std::vector<std::uint8_t> gzip_compress(const std::uint8_t* data, std::size_t size, int level = 6);

// Streaming inflate over a buffer the caller keeps alive. With read-ahead a
// second thread inflates up to 4 MiB ahead of the reader (Auto: for inputs
// of at least kReadAheadMin bytes); the bytes and errors are the same.
class GzipStream {
 public:
  enum class ReadAhead { Auto, Off, On };
  static constexpr std::size_t kReadAheadMin = std::size_t{1} << 20;

  GzipStream(const std::uint8_t* data, std::size_t size, std::string source, ReadAhead mode = ReadAhead::Auto);
  ~GzipStream();
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;
  // Fills up to `cap` bytes; returns 0 only at the clean end of the data.
  std::size_t read(std::uint8_t* out, std::size_t cap);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorin_data::formats
