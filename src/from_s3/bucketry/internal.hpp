// Pieces shared by the bucketry sources and its tests.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"
#include "quorin_data/formats/csv.hpp"
#include "store/s3_client.hpp"

namespace quorin_data::from_s3::bucketry::detail {

// The module-wide client; when there is none, the error that kept it from
// being created at load, else NameError "name 's3_client' is not defined".
std::shared_ptr<store::S3Client> require_client();

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

// The chunked CSV read over gzip bytes already in memory (the body of
// read_by_chunks after the GetObject).
Frame read_gzip_csv_by_chunks(const std::vector<std::uint8_t>& body, const std::string& source,
                              std::size_t chunksize, const formats::CsvOptions& options = {});

}  // namespace quorin_data::from_s3::bucketry::detail
