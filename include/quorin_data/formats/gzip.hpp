// gzip decoding (multi-member, bounds-checked) and encoding.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorin_data::formats {

bool looks_like_gzip(const std::uint8_t* data, std::size_t size) noexcept;

// The most bytes one gzip input may inflate to, whole or streamed (all members
// together): 4 GiB, or the environment variable QUORIN_GZIP_MAX_BYTES (a
// positive byte count) read at first use. Output stops at the limit and the
// read fails with FormatError "inflates to more than N bytes, ..."; buffers
// never grow past it.
inline constexpr std::size_t kGzipDefaultOutputLimit = std::size_t{4} << 30;
std::size_t gzip_output_limit();
// Replaces the limit for the process (inputs opened afterwards); returns the
// previous one. ValueError for 0.
std::size_t set_gzip_output_limit(std::size_t bytes);

// Whole-buffer inflate of every member. FormatError (naming `source` and the
// byte offset) for a bad header, a truncated stream, a bad checksum,
// trailing bytes that are not another member, or output past the limit.
std::vector<std::uint8_t> gunzip(const std::uint8_t* data, std::size_t size, const std::string& source);
std::vector<std::uint8_t> gzip_compress(const std::uint8_t* data, std::size_t size, int level = 6);

// Streaming inflate over a buffer the caller keeps alive, under the output
// limit in force when it is constructed. With read-ahead a second thread
// inflates up to 4 MiB ahead of the reader (Auto: for inputs of at least
// kReadAheadMin bytes); the bytes and errors are the same. This thread is the
// one place the library starts a thread: it lives inside one GzipStream, is
// stopped and joined by its destructor (so before the read that created it
// returns), and only moves decoded bytes earlier; it changes no result.
// Fills up to `cap` bytes of compressed input; 0 only at its end.
using GzipSource = std::function<std::size_t(std::uint8_t* out, std::size_t cap)>;

class GzipStream {
 public:
  enum class ReadAhead { Auto, Off, On };
  static constexpr std::size_t kReadAheadMin = std::size_t{1} << 20;

  GzipStream(const std::uint8_t* data, std::size_t size, std::string source, ReadAhead mode = ReadAhead::Auto);
  // Over compressed bytes pulled from `pull` as they are needed (a download
  // as it arrives); the same bytes and errors as over the whole buffer. The
  // source's own failures propagate unchanged. Auto reads ahead.
  GzipStream(GzipSource pull, std::string source, ReadAhead mode = ReadAhead::Auto);
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
