// The supply-chain relationship dataset (suppliers, customers, competitors)
// published as dated gzip CSV snapshots in the equity base-data bucket.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"
#include "quorin_data/from_bqia/bql.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "quorin_data/from_s3/snapshelf/base.hpp"

namespace quorin_data::from_s3::snapshelf {

// Supply Chain/Competitor APIs.
//
// One object per relationship kind ("supplier", "customer", "competitor");
// construction loads one snapshot for the object's whole life, get_data
// filters it in memory.
class SPLC : public S3Data {
 public:
  static constexpr const char* doc = "Supply Chain/Competitor APIs.";

  // Class attributes, shared by all instances. `bucket` starts as the build
  // option QUORIN_EQUITY_BUCKET and may be set by a caller; `file_path_func`
  // may be replaced likewise.
  static std::string bucket;
  static const std::string folder_path;  // "alt_data/supply_chain/dl/datasets"
  // kind -> dataset name, in this order: supplier, customer, competitor.
  static const std::vector<std::pair<std::string, std::string>> dataset_names;
  // (dataset_name, file_date) -> "alt_data/supply_chain/dl/datasets/{name}/
  // snapshots/{date}/distributions/{name}.csv.gz"
  static std::function<std::string(const std::string&, const std::string&)> file_path_func;

  // Validates `dataset` (ValueError "`dataset`=X is invalid. Only `suppliers`
  // or `customers` or `competitors` are allowed."), then loads the snapshot
  // of `as_of_date` (yyyymmdd or with dashes) or the latest one.
  // The class attributes `bucket` and `file_path_func` are read once, here:
  // the object keeps them (in `store` and `key_func`) for its whole life.
  explicit SPLC(std::optional<std::string> as_of_date = std::nullopt, const std::string& dataset = "supplier",
                std::shared_ptr<from_bqia::bql::Service> bq = nullptr);
  // The same over a store of the caller's (its bucket is the dataset's; its
  // prefix is ignored: keys are the dataset's own) and a key builder.
  using KeyFunc = std::function<std::string(const std::string&, const std::string&)>;
  SPLC(std::optional<std::string> as_of_date, const std::string& dataset, std::shared_ptr<from_bqia::bql::Service> bq,
       bucketry::Store store, KeyFunc key_func);

  // An object over a table already in memory, as if it had been loaded from
  // the store (the two relationship date columns are converted the same
  // way). For tests and benchmarks; nothing is listed or read.
  static SPLC from_frame(Frame data, const std::string& dataset = "supplier",
                         std::shared_ptr<from_bqia::bql::Service> bq = nullptr);

  // The snapshot dates in the store for this dataset name: the seventh
  // "/"-separated segment of each listed key, in listing order, duplicates
  // kept (IndexError for a key with fewer segments).
  std::vector<std::string> get_distinct() const;

  // Retrieve the latest snapshot.
  void _load_snapshot() override;
  // The snapshot of `as_of_date` ("-" removed; it must be one of the listed
  // dates: AssertionError "D is not valid. Valid snapshot dates: ['..', ..].")
  // or, when absent, the latest one. Stores it as `data`.
  void _load_snapshot(std::optional<std::string> as_of_date);

  // The relationships in force in the window, of the companies `tickers`.
  //
  // Window: only `start`: RELTNSHP_START_DT <= start; only `end`:
  // RELTNSHP_END_DT >= end; both: either of the two (a missing date never
  // satisfies). Without a handle the window-filtered table is returned (with
  // neither bound: the stored `data` itself, the same object). With a handle:
  // the rows of the tickers' FIGIs (and, for supplier/customer, of that
  // RELATIONSHIP), labels renumbered 0..n-1, plus TICKER and RELATED_TICKER
  // (missing where unmapped). Two service calls per call, whatever the row
  // count. `tickers` must be a list of texts (or none when no handle is
  // used): TypeError naming `tickers` otherwise. The result is read-only.
  std::shared_ptr<const Frame> get_data(const Value& tickers, const std::optional<std::string>& start,
                                        const std::optional<std::string>& end) const;
  std::shared_ptr<const Frame> get_data(const std::vector<std::string>& tickers,
                                        const std::optional<std::string>& start,
                                        const std::optional<std::string>& end) const;
  // The base-class form: get_data needs tickers, start and end, so this
  // raises TypeError as a call with one argument would.
  Frame get_data(const std::string& as_of_date) override;

  std::string dataset;
  std::string dataset_name;
  std::shared_ptr<from_bqia::bql::Service> bq;
  std::shared_ptr<const Frame> data;
  bucketry::Store store;  // the client and bucket of this object's reads
  KeyFunc key_func;       // (dataset_name, file_date) -> key

 private:
  struct NoLoad {};
  SPLC(NoLoad, const std::string& dataset, std::shared_ptr<from_bqia::bql::Service> bq, bucketry::Store store,
       KeyFunc key_func);
};

}  // namespace quorin_data::from_s3::snapshelf
