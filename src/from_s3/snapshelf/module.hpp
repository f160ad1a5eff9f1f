// The load steps of the snapshelf module, callable again by tests.
#pragma once

#include <memory>

#include "quorin_data/from_bqia/bql.hpp"

namespace quorin_data::from_s3::snapshelf::detail {

struct LoadState {
  bool show_warnings = false;
  std::shared_ptr<from_bqia::bql::Service> bq;
};

// Reads SHOW_WARNINGS, opens the query-service handle (warning "'bql' is not
// installed." when there is none and warnings are on), then checks the store
// client of bucketry (warning "'boto3' is not installed." likewise).
LoadState load_module(from_bqia::bql::ModuleHandle& handle);

}  // namespace quorin_data::from_s3::snapshelf::detail
