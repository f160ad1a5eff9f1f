// quorin_data.from_s3.bucketry: the gateway to the S3 object store.
//
// Module values: SHOW_WARNINGS and BUCKET, fixed from the process settings
// (read once), PREFIX, and the shared store client, created from the
// environment at its first use (its warning, if any, is given then); the
// client itself is internal, a program reaches the store through the
// functions below or a Store of its own (StoreOptions).
// Default arguments are bound to them, so changing the environment
// afterwards changes nothing.
//
// Keys are formed by text: prefix + "/" + path (an empty prefix gives a
// leading "/"); the exceptions are stated per function.
//
// Every function comes in a typed form (below) and, for callers that hold
// dynamic values (the Python bindings, the `quorin` tool), a Value form in
// namespace `dynamic` that checks the kinds of its arguments before any store
// call ("Argument '...' has incorrect type (expected ..., got ...)").
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"
#include "quorin_data/formats/csv.hpp"

namespace quorin_data::from_s3::bucketry {

// True exactly when SHOW_WARNINGS is "1" (quorin_data::settings()).
extern const bool SHOW_WARNINGS;
// TRELUX_SANDBOX_BUCKET, else "NOT_DEFINED" (quorin_data::settings()).
extern const std::string BUCKET;
// The shared area inside the bucket (a constant, not read from the environment).
inline constexpr const char PREFIX[] = "trelux_common_s3";

// ------------------------------------------------------------------ listing

// Full keys of every object whose key starts with prefix + "/" + folder_path
// (a plain string prefix: folder "x" also matches "xy/..."), in store order.
// ListObjectsV2 with MaxKeys 10000 and continuation; a page without
// IsTruncated, or truncated without NextContinuationToken, raises KeyError.
// An absent prefix raises TypeError. A page that repeats an earlier
// continuation token, or a listing past its limits (below), raises
// RuntimeError: a server cannot keep a listing going for ever.
std::vector<std::string> list_s3_objects(const std::string& folder_path,
                                         const std::string& bucket = BUCKET,
                                         std::optional<std::string> prefix = std::string(PREFIX));

// The bounds of one listing (delete_s3_folder lists through it too). The
// defaults are 10,000,000 keys and 100,000 pages (S3 fills pages to 1000
// keys), or the environment variables QUORIN_LIST_MAX_KEYS and
// QUORIN_LIST_MAX_PAGES read at first use.
inline constexpr std::size_t kDefaultListMaxKeys = 10'000'000;
inline constexpr std::size_t kDefaultListMaxPages = 100'000;
struct ListingLimits {
  std::size_t max_keys = kDefaultListMaxKeys;
  std::size_t max_pages = kDefaultListMaxPages;
};
ListingLimits listing_limits();
// Replaces the limits for the process; returns the previous ones. ValueError
// for a zero limit.
ListingLimits set_listing_limits(ListingLimits limits);

// One HeadObject of prefix + "/" + file_path: true on success, false on any
// service error (StoreError); transport errors propagate.
bool s3_path_exists(const std::string& file_path, const std::string& bucket = BUCKET,
                    std::optional<std::string> prefix = std::string(PREFIX));

// ------------------------------------------------------------------ reading

// Reads one object and decodes it by `data_format`, tested in this order:
//   "pickle"            key prefix/file_path; formats::deserialize -> the value
//                       (PythonPickleError for an object of Python's pickle)
//   "bytesio"           key prefix/file_path; a Bytes buffer at position 0
//   "csv", "csv.gz"     key file_path when prefix is empty, else prefix/file_path;
//                       by_chunks: read_by_chunks(bucket, key, chunksize);
//                       otherwise a CSV parse, gunzipped when the key ends in ".gz"
//                       (in any case: ".GZ" too)
//   "xlsx"              key as for csv; first worksheet, first row as header
//   "parquet"           key as for csv
//   "local_file_path"   key prefix/file_path; downloaded to "temp/" + file_path
//                       (folders created); returns none. A file_path whose ".."
//                       segments lead out of temp/, or whose folders (temp/
//                       itself included) hold a symbolic link, raises
//                       ValueError before any request.
//   anything else       ValueError 'data_format="X" is not valid. Only ("pickle",
//                       "csv", "csv.gz", "xlsx") are allowed.'
// A tabular format with an absent prefix raises TypeError before any request.
Value read_from_s3(const std::string& file_path, const std::string& data_format,
                   const std::string& bucket = BUCKET,
                   std::optional<std::string> prefix = std::string(PREFIX), bool by_chunks = false,
                   std::int64_t chunksize = 100000);

// GetObject of the full key (no prefix added), gunzip as a stream, CSV parse in
// chunks of `chunksize` rows with a progress display on stderr (unit " chunks"),
// the chunks joined into exactly the table a whole read gives (column types
// over the whole file, cells of text columns as written), row labels 0..n-1.
// ValueError for chunksize < 1.
// Bodies of at least 1 MiB are inflated ahead on a second thread (the one
// thread the library starts, see formats::GzipStream); it is joined before
// this returns and changes no result.
Frame read_by_chunks(const std::string& bucket = BUCKET, const std::string& key = "",
                     std::int64_t chunksize = 100000);
// The same with CSV reading options (declared column types, missing texts).
Frame read_by_chunks(const std::string& bucket, const std::string& key, std::int64_t chunksize,
                     const formats::CsvOptions& options);

// ------------------------------------------------------------------ writing

// Stores `data` under prefix + "/" + file_path, by the first that applies:
//   "pickle"                       formats::serialize(data)
//   "bytesio", or data a buffer    the buffer's bytes from its current position
//   "csv"                          the Frame as CSV (row labels first when index)
//   "xlsx"                         the Frame as a one-sheet workbook
//   "local_file_path"              data is a local path (text; else AssertionError
//                                  "`data` must be passed in as a string for
//                                  `local_file_path`."); that file is uploaded
//   anything else                  ValueError 'data_format="X" is not valid. Only
//                                  ("pickle", "bytesio", "csv", "xlsx") are allowed.'
// "csv"/"xlsx" with data that is not a Frame raise TypeError
// "'<type>' object has no attribute 'to_csv'" (or 'to_excel').
void write_to_s3(const Value& data, const std::string& file_path, const std::string& data_format,
                 bool index = true, const std::string& bucket = BUCKET,
                 std::optional<std::string> prefix = std::string(PREFIX));

// ------------------------------------------------------------------ deleting

// DeleteObject of file_path alone when prefix is absent or empty, else of
// prefix + "/" + file_path. A missing key is not reported.
void delete_s3_object(const std::string& file_path, const std::string& bucket = BUCKET,
                      std::optional<std::string> prefix = std::string(PREFIX));

// Deletes every object whose key starts with prefix + "/" + folder_path (plain
// string prefix) in DeleteObjects batches of at most 1000 keys, then prints
// "s3://BUCKET/PREFIX/FOLDER was deleted." (also when nothing matched). Keys
// that a batch reports as not deleted raise StoreError naming them (earlier
// batches stay deleted). The listing comes first: when it fails (see
// list_s3_objects and its limits) nothing is deleted.
void delete_s3_folder(const std::string& folder_path, const std::string& bucket = BUCKET,
                      std::optional<std::string> prefix = std::string(PREFIX));

// Runs `rm -r -- folder_path` (no shell), then prints "Output: " + its stdout,
// "Error: " + its stderr and "code: " + its exit status. A non-zero status is
// only reported; output that is not ASCII raises ValueError after rm ran.
void delete_local_folder(const std::string& folder_path);
// The same, returning rm's exit status (the negated signal number when a
// signal ended it) for callers that act on it, such as the quorin tool.
int delete_local_folder_with_status(const std::string& folder_path);

// ------------------------------------------------------------------ stores

// Everything a store of its own connects with: one options struct.
struct StoreOptions {
  std::string endpoint;  // empty: AWS in `region` (custom endpoints use path-style addressing)
  std::string region = "us-east-1";
  // Empty: the default credential chain (environment, shared files, container, instance).
  std::string access_key_id, secret_access_key, session_token;
  int max_attempts = 3;        // tries of one request (the first one included)
  int max_concurrency = 4;     // requests in flight at once (connections, parallel parts)
  std::size_t multipart_threshold = std::size_t{8} << 20;  // uploads above this go in parts
  std::size_t part_size = std::size_t{8} << 20;            // upload part size
  std::size_t download_part_size = std::size_t{8} << 20;   // ranged download parts (0: one GET)
  std::size_t max_response_bytes = std::size_t{256} << 20; // largest listing or error answer read

  // What the module-wide client is made from: the endpoint
  // (AWS_ENDPOINT_URL_S3, else AWS_ENDPOINT_URL), the region (AWS_REGION,
  // AWS_DEFAULT_REGION, the profile's, else us-east-1), AWS_MAX_ATTEMPTS and
  // the default credential chain; the rest as above.
  static StoreOptions from_environment();
};
using StoreConfig = StoreOptions;

// A "pickle" object as read: our serialized value, or, when the caller
// accepted them, the bytes of an object that Python's pickle wrote.
struct PickleRead {
  Value value;                 // the value, or a Bytes buffer at position 0
  bool python_pickle = false;  // the bytes are Python's pickle, for the caller to unpickle
};

namespace detail {
struct Connection;
struct StoreAccess;
}  // namespace detail

// A client with a bucket and prefix, and the implementation of every store
// operation: the module functions above are the default store's (the client
// created at load, BUCKET and PREFIX) over the bucket and prefix they are
// given; a program may make others for another endpoint, credentials, bucket
// or prefix, with the same keys, results and errors. Copies share the client.
class Store {
 public:
  // The module's own (a store without a client, when none could be created:
  // its operations fail as the module functions do).
  static Store default_store();
  // A store on a client of its own. ValueError for options no client can
  // work with (no attempt, no request in flight, an empty part or answer
  // limit, a key id without its secret or the reverse).
  static Store connect(const StoreOptions& options, std::string bucket,
                       std::optional<std::string> prefix = std::string(PREFIX));
  const std::string& bucket() const { return bucket_; }
  const std::optional<std::string>& prefix() const { return prefix_; }
  // The same client over another bucket and prefix.
  Store with_bucket(std::string bucket, std::optional<std::string> prefix = std::string(PREFIX)) const;

  std::vector<std::string> list_s3_objects(const std::string& folder_path) const;
  bool s3_path_exists(const std::string& file_path) const;
  Value read_from_s3(const std::string& file_path, const std::string& data_format, bool by_chunks = false,
                     std::int64_t chunksize = 100000) const;
  // The "pickle" read; an object of Python's pickle raises PythonPickleError
  // unless `allow_python_pickle`.
  PickleRead read_pickle(const std::string& file_path, bool allow_python_pickle) const;
  Frame read_by_chunks(const std::string& key, std::int64_t chunksize = 100000) const;
  Frame read_by_chunks(const std::string& key, std::int64_t chunksize, const formats::CsvOptions& options) const;
  void write_to_s3(const Value& data, const std::string& file_path, const std::string& data_format,
                   bool index = true) const;
  void delete_s3_object(const std::string& file_path) const;
  void delete_s3_folder(const std::string& folder_path) const;

 private:
  friend struct detail::StoreAccess;
  Store(std::shared_ptr<const detail::Connection> connection, std::string bucket,
        std::optional<std::string> prefix);

  // The client, or why there is none; shared by copies.
  std::shared_ptr<const detail::Connection> connection_;
  std::string bucket_;
  std::optional<std::string> prefix_;
};

// ------------------------------------------------------------------ dynamic forms

// The same operations over dynamic values. Texts must be "str" values,
// `prefix` a "str" or none; `by_chunks` and `index` take any truth value;
// `chunksize` takes an int, a bool, a finite float (truncated) or a text
// holding an integer, anything else raises TypeError naming `chunksize`.
// The forms that take a Store use its client over the bucket and prefix
// given; the others are the default store's.
namespace dynamic {
std::vector<std::string> list_s3_objects(const Store& store, const Value& folder_path, const Value& bucket,
                                         const Value& prefix);
bool s3_path_exists(const Store& store, const Value& file_path, const Value& bucket, const Value& prefix);
Value read_from_s3(const Store& store, const Value& file_path, const Value& data_format, const Value& bucket,
                   const Value& prefix, const Value& by_chunks, const Value& chunksize);
// The "pickle" read with the same checks of its arguments as read_from_s3.
PickleRead read_pickle(const Store& store, const Value& file_path, const Value& bucket, const Value& prefix,
                       const Value& by_chunks, const Value& chunksize, bool allow_python_pickle);
Frame read_by_chunks(const Store& store, const Value& bucket, const Value& key, const Value& chunksize);
void write_to_s3(const Store& store, const Value& data, const Value& file_path, const Value& data_format,
                 const Value& index, const Value& bucket, const Value& prefix);
void delete_s3_object(const Store& store, const Value& file_path, const Value& bucket, const Value& prefix);
void delete_s3_folder(const Store& store, const Value& folder_path, const Value& bucket, const Value& prefix);

std::vector<std::string> list_s3_objects(const Value& folder_path, const Value& bucket,
                                         const Value& prefix);
bool s3_path_exists(const Value& file_path, const Value& bucket, const Value& prefix);
Value read_from_s3(const Value& file_path, const Value& data_format, const Value& bucket,
                   const Value& prefix, const Value& by_chunks, const Value& chunksize);
Frame read_by_chunks(const Value& bucket, const Value& key, const Value& chunksize);
void write_to_s3(const Value& data, const Value& file_path, const Value& data_format,
                 const Value& index, const Value& bucket, const Value& prefix);
void delete_s3_object(const Value& file_path, const Value& bucket, const Value& prefix);
void delete_s3_folder(const Value& folder_path, const Value& bucket, const Value& prefix);
void delete_local_folder(const Value& folder_path);
}  // namespace dynamic

}  // namespace quorin_data::from_s3::bucketry
