// list_s3_objects and s3_path_exists.
#include "from_s3/bucketry/internal.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

namespace quorin_data::from_s3::bucketry {

std::vector<std::string> list_s3_objects(const std::string& folder_path, const std::string& bucket,
                                         std::optional<std::string> prefix) {
  const std::string list_prefix = detail::join_key(prefix, folder_path);
  auto client = detail::require_client();
  std::vector<std::string> keys;
  std::optional<std::string> token;
  for (;;) {
    store::ListPage page = client->list_objects_v2(bucket, list_prefix, 10000, token);
    if (page.has_contents) keys.insert(keys.end(), page.keys.begin(), page.keys.end());
    const std::string where = "ListObjectsV2 response for " + detail::object_name(bucket, list_prefix);
    if (!page.is_truncated) throw KeyError(where + " has no 'IsTruncated'");
    if (!*page.is_truncated) return keys;
    if (!page.next_continuation_token)
      throw KeyError(where + " is truncated but has no 'NextContinuationToken'");
    token = std::move(page.next_continuation_token);
  }
}

bool s3_path_exists(const std::string& file_path, const std::string& bucket,
                    std::optional<std::string> prefix) {
  const std::string key = detail::join_key(prefix, file_path);
  auto client = detail::require_client();
  try {
    client->head_object(bucket, key);
    return true;
  } catch (const StoreError&) {
    // Any answer of the service (not found, forbidden, bad request) means "no".
    return false;
  }
}

}  // namespace quorin_data::from_s3::bucketry
