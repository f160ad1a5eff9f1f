// list_s3_objects and s3_path_exists.
#include <algorithm>
#include <limits>
#include <mutex>
#include <unordered_set>

#include "from_s3/bucketry/client.hpp"
#include "from_s3/bucketry/internal.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

namespace quorin_data::from_s3::bucketry {

namespace {

std::size_t count_from_environment(const char* name, std::size_t fallback) {
  const auto n = env_limit(name);
  return n ? static_cast<std::size_t>(std::min<std::uint64_t>(*n, std::numeric_limits<std::size_t>::max())) : fallback;
}

std::mutex limits_mu;
ListingLimits& current_limits() {
  static ListingLimits limits{count_from_environment("QUORIN_LIST_MAX_KEYS", kDefaultListMaxKeys),
                              count_from_environment("QUORIN_LIST_MAX_PAGES", kDefaultListMaxPages)};
  return limits;
}

}  // namespace

ListingLimits listing_limits() {
  std::lock_guard<std::mutex> lock(limits_mu);
  return current_limits();
}

ListingLimits set_listing_limits(ListingLimits limits) {
  if (limits.max_keys == 0 || limits.max_pages == 0)
    throw ValueError("listing limits must be at least 1 key and 1 page");
  std::lock_guard<std::mutex> lock(limits_mu);
  std::swap(current_limits(), limits);
  return limits;
}

std::vector<std::string> Store::list_s3_objects(const std::string& folder_path) const {
  const std::string& bucket = bucket_;
  const std::optional<std::string>& prefix = prefix_;
  const std::string list_prefix = detail::join_key(prefix, folder_path);
  auto client = require_client(*this);
  const ListingLimits limits = listing_limits();
  const std::string where = "ListObjectsV2 response for " + detail::object_name(bucket, list_prefix);
  std::vector<std::string> keys;
  std::optional<std::string> token;
  // Every token handed out so far: a server that hands one out again would
  // send the listing round in a circle.
  std::unordered_set<std::string> tokens;
  for (std::size_t pages = 1;; ++pages) {
    store::ListPage page = client->list_objects_v2(bucket, list_prefix, 10000, token);
    if (page.has_contents) {
      if (page.keys.size() > limits.max_keys - keys.size())
        throw RuntimeError("listing " + detail::object_name(bucket, list_prefix) + " stopped: more than " +
                           std::to_string(limits.max_keys) + " keys (QUORIN_LIST_MAX_KEYS)");
      keys.insert(keys.end(), page.keys.begin(), page.keys.end());
    }
    if (!page.is_truncated) throw KeyError(where + " has no 'IsTruncated'");
    if (!*page.is_truncated) return keys;
    if (!page.next_continuation_token)
      throw KeyError(where + " is truncated but has no 'NextContinuationToken'");
    if (!tokens.insert(*page.next_continuation_token).second)
      throw RuntimeError(where + " (page " + std::to_string(pages) +
                         ") repeats an earlier continuation token: the listing would never end");
    if (pages == limits.max_pages)
      throw RuntimeError("listing " + detail::object_name(bucket, list_prefix) + " stopped: more than " +
                         std::to_string(limits.max_pages) + " pages (QUORIN_LIST_MAX_PAGES)");
    token = std::move(page.next_continuation_token);
  }
}

bool Store::s3_path_exists(const std::string& file_path) const {
  const std::string& bucket = bucket_;
  const std::optional<std::string>& prefix = prefix_;
  const std::string key = detail::join_key(prefix, file_path);
  auto client = require_client(*this);
  try {
    client->head_object(bucket, key);
    return true;
  } catch (const StoreError&) {
    // Any answer of the service (not found, forbidden, bad request) means "no".
    return false;
  }
}

}  // namespace quorin_data::from_s3::bucketry
