// quorin_data.from_s3.snapshelf: the dataset base class and the yyyymmdd date
// helpers shared by the snapshot datasets.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/from_bqia/bql.hpp"

namespace quorin_data::from_s3::snapshelf {

// True exactly when SHOW_WARNINGS was "1" in the process settings (the same
// rule as bucketry).
extern const bool SHOW_WARNINGS;

// The module's load steps, run once at the first use of load() or bq():
// the default query-service handle is opened from the bql provider registry
// ("'bql' is not installed." is warned when there is none and warnings are
// on), then the store SDK check ("'boto3' is not installed." when bucketry has
// no client and warnings are on).
void load();
// That handle; null when no provider gave one. No dataset reads it: they use
// the one passed to them.
std::shared_ptr<from_bqia::bql::Service> bq();
// The handle's holder: reset() lets a program that installs a provider after
// load open it on the next bq().
from_bqia::bql::ModuleHandle& bq_handle();

// A base class for S3 data models. Abstract: a dataset implements both
// operations; datasets add their own wider overloads (an optional as-of date
// for the snapshot, their own filter arguments for get_data).
class S3Data {
 public:
  // The class documentation, as the bindings expose it.
  static constexpr const char* doc = "\n    A base class for S3 data models.\n    ";

  virtual ~S3Data() = default;

  // Loads the dataset's snapshot into the instance.
  virtual void _load_snapshot() = 0;
  // Returns data of the dataset.
  virtual Frame get_data(const std::string& as_of_date) = 0;

 protected:
  S3Data() = default;
  S3Data(const S3Data&) = default;
  S3Data& operator=(const S3Data&) = default;
};

// The next Friday strictly after `date_string` (strict "%Y%m%d"), as yyyymmdd.
// A text that does not match raises the date parser's ValueError
// ("time data '...' does not match format '%Y%m%d'").
std::string get_next_friday(const std::string& date_string);

// The last element of the ascending `date_list` that is <= `target_date_str`
// (texts compared as texts), or nothing when there is none.
std::optional<std::string> find_closest_earlier_date(const std::string& target_date_str,
                                                     const std::vector<std::string>& date_list);

}  // namespace quorin_data::from_s3::snapshelf
