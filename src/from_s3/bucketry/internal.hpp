// Pieces shared by the bucketry sources and its tests.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "store/s3_client.hpp"

namespace quorin_data::from_s3::bucketry::detail {

// Why the module-wide client could not be created at load (null when it
// was, or when it was replaced since).
std::exception_ptr client_load_failure();

// What the module does at load about the client: calls `factory`. A null
// result leaves no client and emits "'boto3' is not installed." when
// `show_warnings`; a failure (a misconfigured store) leaves no client, is
// stored in `failure` and emitted as "the S3 client could not be created:
// <cause>" when `show_warnings`. Returns the client (possibly null).
std::shared_ptr<store::S3Client> create_client_at_load(
    bool show_warnings, const std::function<std::shared_ptr<store::S3Client>()>& factory,
    std::exception_ptr* failure = nullptr);

// prefix + "/" + path; an absent prefix raises TypeError as text concatenation
// with nothing would.
std::string join_key(const std::optional<std::string>& prefix, const std::string& path);

// "s3://bucket/key", the name of an object in messages.
std::string object_name(const std::string& bucket, const std::string& key);

// The local target of a "local_file_path" read: "temp/" + file_path, after
// checking that its ".." segments stay inside temp/ (ValueError otherwise).
std::string local_target(const std::string& file_path);
// Creates the folders of that target one by one. A folder on the way that is
// a symbolic link (temp/ itself included) would send the file elsewhere:
// ValueError, before anything is created there or requested.
void make_local_folders(const std::string& file_path);

// Called with each chunk of a chunked read, in order (tests watch the chunk
// sizes through it). Returns the previous observer.
using ChunkObserver = std::function<void(std::size_t chunk_number, const Frame& chunk)>;
ChunkObserver set_chunk_observer(ChunkObserver observer);

// The chunked CSV read over gzip bytes in memory, or pulled as they arrive.
Frame read_gzip_csv_by_chunks(const std::vector<std::uint8_t>& body, const std::string& source,
                              std::size_t chunksize, const formats::CsvOptions& options = {});
Frame read_gzip_csv_by_chunks(formats::GzipSource pull, const std::string& source, std::size_t chunksize,
                              const formats::CsvOptions& options = {});

// Downloads an object on a thread of its own and parses it as it arrives:
// `parse` pulls the bytes (and receives the object's name for its errors).
Frame parse_streamed(const std::shared_ptr<store::S3Client>& client, const std::string& bucket,
                     const std::string& key,
                     const std::function<Frame(formats::GzipSource, const std::string&)>& parse);

// The body of a download on its way from the download thread to the parser:
// pieces in order, at most kMaxBuffered bytes waiting (the download waits
// for the parser beyond that).
class BodyPipe {
 public:
  static constexpr std::size_t kMaxBuffered = std::size_t{8} << 20;
  // Raised to a parser whose download has started over.
  struct Restarted {};

  // Download side. push() is false once the parser has stopped.
  bool push(const std::uint8_t* p, std::size_t n);
  void restart();  // drops what is waiting; the parser of the old attempt gets Restarted
  void finish(std::exception_ptr error);
  // Parser side.
  void cancel();
  std::uint64_t generation() const;
  // Up to `cap` bytes of the attempt `generation`; 0 at the end; the
  // download's failure is raised here once the bytes before it are read.
  std::size_t pull(std::uint64_t generation, std::uint8_t* out, std::size_t cap);

 private:
  void push_wait(std::unique_lock<std::mutex>& l, std::size_t n);
  mutable std::mutex mu_;
  std::condition_variable filled_, space_;
  std::deque<std::vector<std::uint8_t>> pieces_;
  std::size_t front_used_ = 0, buffered_ = 0;
  std::uint64_t generation_ = 0;
  bool ended_ = false, cancelled_ = false;
  std::exception_ptr error_;
};

}  // namespace quorin_data::from_s3::bucketry::detail
