// The economist-estimates dataset: one Parquet history object in the macro
// base-data bucket holding every dated snapshot side by side, told apart by
// the column "dlSnapshotDate".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "quorin_data/from_s3/snapshelf/base.hpp"

namespace quorin_data::from_s3::snapshelf {

// Economist estimates APIs.
//
// Construction picks one snapshot (the latest, or the one named) and loads
// its rows; get_data filters them in memory. The history is read by byte
// ranges: the footer, the snapshot-date column chunks and the chosen
// snapshot's row groups, never the whole object.
class ECOEST : public S3Data {
 public:
  static constexpr const char* doc = "Economist estimates APIs.";

  // Class attributes, shared by all instances. `bucket` starts as the build
  // option QUORIN_MACRO_BUCKET; both may be set by a caller (tools, tests).
  static std::string bucket;
  // "economistEstimates/economistEstimatesHistory/current_economistEstimatesHistory.parquet"
  static std::string file_path;

  // Calls _load_snapshot(as_of_date) and nothing else. The class attributes
  // `bucket` and `file_path` are read once, here: the object keeps them (in
  // `store` and `key`) for its whole life.
  explicit ECOEST(std::optional<std::string> as_of_date = std::nullopt);
  // The same over a store of the caller's (its bucket holds the history) and
  // the history's key.
  ECOEST(std::optional<std::string> as_of_date, bucketry::Store store, std::string key);
  // The same with a dynamic `as_of_date` (a str or none; TypeError naming
  // `as_of_date` otherwise).
  static ECOEST create(const Value& as_of_date);

  // The distinct values of `column` in the Parquet object `key` of `bucket`,
  // ascending (a missing value, if any, last). Decodes only that column, row
  // group by row group, with a progress line on stderr described
  // "Retrieving snapshot dates N" (N = 1-based row group).
  static std::vector<Value> get_distinct(const std::string& column, const std::string& bucket,
                                         const std::string& key);
  static std::vector<Value> get_distinct(const Value& column, const Value& bucket, const Value& key);
  static std::vector<Value> get_distinct(const bucketry::Store& store, const std::string& column,
                                         const std::string& key);

  // Retrieve the latest snapshot.
  void _load_snapshot() override;
  // The snapshot of `as_of_date` ("-" removed; it must be one of the stored
  // dates, else AssertionError "D is not valid. Valid snapshot dates:
  // ['..', ..].") or, when absent, the latest. Stores its rows as `data`.
  // A snapshot column that holds neither dates nor timestamps (or a missing
  // one), a history without "column0" or "economistSurveyTimestamp", or an
  // object that is not Parquet raise errors naming the object.
  void _load_snapshot(std::optional<std::string> as_of_date);
  void _load_snapshot(const Value& as_of_date);

  // The rows surveyed from `start` to `end` (calendar dates of
  // "economistSurveyTimestamp", wall-clock dates for zoned values, both
  // inclusive; bounds are common date texts, the time of day dropped), "column0" renamed "event_ticker", of
  // the event tickers in `tickers` (all when empty). Labels are renumbered
  // 0..n-1 after each filter that applies, the stored ones otherwise.
  Frame get_data(const std::vector<std::string>& tickers, const std::optional<std::string>& start = std::nullopt,
                 const std::optional<std::string>& end = std::nullopt) const;
  // The dynamic form: `tickers` a list of str, `start` and `end` str or none;
  // TypeError "Argument '...' has incorrect type (expected ..., got ...)".
  Frame get_data(const Value& tickers, const Value& start = Value(), const Value& end = Value()) const;
  // The base-class form: a text in place of the list of tickers is rejected
  // as the dynamic form rejects it.
  Frame get_data(const std::string& as_of_date) override;

  // The rows of the chosen snapshot, every stored column in stored order.
  Frame data;
  bucketry::Store store;  // the client and bucket of this object's reads
  std::string key;        // the history's key in that bucket

 private:
  std::string source_;  // "s3://bucket/key" of the loaded history, for messages
};

}  // namespace quorin_data::from_s3::snapshelf
