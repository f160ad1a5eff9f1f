// write_to_s3, delete_s3_object and delete_s3_folder.
#include <algorithm>
#include <iostream>

#include "from_s3/bucketry/client.hpp"
#include "from_s3/bucketry/internal.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/serialize.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

namespace quorin_data::from_s3::bucketry {

namespace {

// The table writers exist only on tables; anything else fails where the
// writer is looked up.
const Frame& table_for(const Value& data, const char* writer) {
  if (!data.is_frame())
    throw TypeError("'" + data.type_name() + "' object has no attribute '" + writer + "'");
  return data.as_frame();
}

void put(store::S3Client& client, const std::string& bucket, const std::string& key,
         const std::vector<std::uint8_t>& bytes) {
  client.put_object(bucket, key, bytes.data(), bytes.size());
}

}  // namespace

void Store::write_to_s3(const Value& data, const std::string& file_path, const std::string& data_format,
                        bool index) const {
  const std::string& bucket = bucket_;
  const std::optional<std::string>& prefix = prefix_;
  const std::string key = detail::join_key(prefix, file_path);
  if (data_format == "pickle") {
    const auto bytes = formats::serialize(data);
    put(*require_client(*this), bucket, key, bytes);
    return;
  }
  if (data_format == "bytesio" || data.is_buffer()) {
    if (!data.is_bytes())
      throw TypeError("'" + data.type_name() + "' object has no attribute 'read'");
    const Bytes& b = data.as_bytes();
    // A buffer is uploaded from its current position; plain bytes whole.
    const std::size_t from = b.is_buffer ? std::min(b.pos, b.data.size()) : 0;
    require_client(*this)->put_object(bucket, key, b.data.data() + from, b.data.size() - from);
    return;
  }
  if (data_format == "csv") {
    // The text goes out as it is made: parts of a multipart upload are
    // sent while later rows are encoded, and the whole text is never held.
    const Frame& table = table_for(data, "to_csv");
    store::S3Client::Upload upload(*require_client(*this), bucket, key);
    formats::write_csv(table, index, [&upload](const char* p, std::size_t n) {
      upload.write(reinterpret_cast<const std::uint8_t*>(p), n);
    });
    upload.finish();
    return;
  }
  if (data_format == "xlsx") {
    const auto bytes = formats::write_xlsx(table_for(data, "to_excel"), index);
    put(*require_client(*this), bucket, key, bytes);
    return;
  }
  if (data_format == "local_file_path") {
    if (!data.is_str()) throw AssertionError("`data` must be passed in as a string for `local_file_path`.");
    require_client(*this)->upload_file(bucket, key, data.as_str());
    return;
  }
  throw ValueError("data_format=\"" + data_format +
                   "\" is not valid. Only (\"pickle\", \"bytesio\", \"csv\", \"xlsx\") are allowed.");
}

void Store::delete_s3_object(const std::string& file_path) const {
  const std::string& bucket = bucket_;
  const std::optional<std::string>& prefix = prefix_;
  const std::string key = (!prefix || prefix->empty()) ? file_path : *prefix + "/" + file_path;
  require_client(*this)->delete_object(bucket, key);
}

void Store::delete_s3_folder(const std::string& folder_path) const {
  const std::string& bucket = bucket_;
  const std::optional<std::string>& prefix = prefix_;
  const std::string folder_key = detail::join_key(prefix, folder_path);
  // Listed whole before the first delete so that continuation is not
  // disturbed by the deletions.
  const std::vector<std::string> keys = list_s3_objects(folder_path);
  auto client = require_client(*this);
  constexpr std::size_t kBatch = 1000;
  for (std::size_t begin = 0; begin < keys.size(); begin += kBatch) {
    const std::size_t end = std::min(keys.size(), begin + kBatch);
    std::vector<std::string> batch(keys.begin() + static_cast<std::ptrdiff_t>(begin),
                                   keys.begin() + static_cast<std::ptrdiff_t>(end));
    const auto failures = client->delete_objects(bucket, batch);
    if (!failures.empty()) {
      std::string names;
      const std::size_t shown = std::min<std::size_t>(failures.size(), 20);
      for (std::size_t i = 0; i < shown; ++i) {
        if (i) names += ", ";
        names += failures[i].key + " (" + failures[i].code +
                 (failures[i].message.empty() ? "" : ": " + failures[i].message) + ")";
      }
      if (shown < failures.size()) names += ", ... " + std::to_string(failures.size() - shown) + " more";
      throw StoreError(failures[0].code,
                       std::to_string(failures.size()) + " of " + std::to_string(batch.size()) +
                           " keys under " + detail::object_name(bucket, folder_key) +
                           " were not deleted: " + names,
                       200, "", "DeleteObjects", bucket);
    }
  }
  std::cout << "s3://" << bucket << "/" << folder_key << " was deleted." << std::endl;
}

}  // namespace quorin_data::from_s3::bucketry
