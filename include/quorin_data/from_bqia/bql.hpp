// The query service (Bloomberg Query Language) as the modules use it: data
// items, universes, requests, single and batch execution, results as Frames,
// the registry that decides what a module-wide handle is, and a local
// stand-in service that answers from reference CSV files.
//
// Namespace quorin_data::from_bqia::bql. A call such as the calendar request
//   bq->data("calendar", {{"dates", bq->func.range("2024-01-01", "2024-12-31")},
//                         {"subtype", "all"}})
// reads like the service's own `bq.data.calendar(dates=bq.func.range(...), ...)`.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/providers.hpp"
#include "quorin_data/core/value.hpp"

namespace quorin_data::from_bqia::bql {

// A failure reported by the service (unknown field, unknown security, a query
// it cannot parse). Reaches the caller of execute unchanged.
class ServiceError : public Error {
 public:
  explicit ServiceError(const std::string& m) : Error(ErrorKind::Runtime, m) {}
};

class Item;

// One keyword value of a data item: a plain value or another item (a date
// range, a column test).
class Param {
 public:
  Param(Value v) : v_(std::move(v)) {}
  Param(const char* s) : v_(Value(s)) {}
  Param(std::string s) : v_(Value(std::move(s))) {}
  Param(int i) : v_(Value(i)) {}
  Param(double d) : v_(Value(d)) {}
  Param(bool b) : v_(Value(b)) {}
  Param(List l) : v_(Value(std::move(l))) {}
  Param(Item item);

  bool is_item() const noexcept { return v_.index() == 1; }
  const Value& value() const { return std::get<0>(v_); }
  const Item& item() const { return *std::get<1>(v_); }
  std::string text() const;

  friend bool operator==(const Param& a, const Param& b);

 private:
  std::variant<Value, std::shared_ptr<const Item>> v_;
};

// Keyword values of a data item, in the order given.
class Params {
 public:
  Params() = default;
  Params(std::initializer_list<std::pair<std::string, Param>> items) : items_(items) {}
  // Plain keyword values (no items among them).
  Params(const Kwargs& kw);

  const Param* find(const std::string& name) const noexcept;
  void set(const std::string& name, Param p);
  bool empty() const noexcept { return items_.empty(); }
  const std::vector<std::pair<std::string, Param>>& items() const noexcept { return items_; }

  friend bool operator==(const Params& a, const Params& b) { return a.items_ == b.items_; }

 private:
  std::vector<std::pair<std::string, Param>> items_;
};

// A node of the query language, built on a handle and interpreted by the
// service:
//   Field      `bq.data(name, params)`          name = field, params = keywords
//   Range      `bq.func.range(start, end)`       values = {start, end}
//   Column     `item.column(name)`, `ticker()`    name = column, args = {item}
//   In         `column.in_(list)`                 values = list, args = {column}
//   Matches    `item.matches(test)`              args = {item, test}
//   Operation  `item.op(name)`, `droppe()`        name = operation, args = {item}
class Item {
 public:
  enum class Kind { Field, Range, Column, In, Matches, Operation };

  Kind kind() const noexcept { return kind_; }
  const std::string& name() const noexcept { return name_; }
  const Params& params() const noexcept { return params_; }
  const std::vector<std::string>& values() const noexcept { return values_; }
  const std::vector<Item>& args() const noexcept { return args_; }

  // The column `name` of this item's result, for tests on it.
  Item column(const std::string& name) const;
  Item ticker() const { return column("ticker"); }
  // Test: the column's value is one of `values`.
  Item in_(std::vector<std::string> values) const;
  Item in_(std::initializer_list<std::string> values) const { return in_(std::vector<std::string>(values)); }
  // The same from a list of texts (TypeError naming `values` otherwise).
  Item in_(const Value& values) const;
  // Keep the rows of this item that pass `test`.
  Item matches(const Item& test) const;
  // An item operation by name (the service decides what it means).
  Item op(const std::string& operation) const;
  // Drop the rows whose value is missing.
  Item droppe() const { return op("droppe"); }

  // The field item that the node is built on (itself for a Field).
  const Item& base_field() const;
  // Readable query-language rendering, e.g.
  // "data.px_last(dates=range('2024-01-01', '2024-12-31'))".
  std::string text() const;

  static Item make_field(std::string name, Params params);
  static Item make_range(std::string start, std::string end);

  friend bool operator==(const Item& a, const Item& b);

 private:
  Kind kind_ = Kind::Field;
  std::string name_;
  Params params_;
  std::vector<std::string> values_;
  std::vector<Item> args_;
};

// The universe of a request: one security key ("JPY Curncy"), a list of keys
// (`bq.univ.list`), or the caller's value passed through (a list of texts is
// read as a list of keys).
class Universe {
 public:
  enum class Kind { Key, List, Other };

  Universe(const char* key) : kind_(Kind::Key), keys_{key} {}
  Universe(std::string key) : kind_(Kind::Key), keys_{std::move(key)} {}
  Universe(const Value& v);
  static Universe list(std::vector<std::string> keys);

  Kind kind() const noexcept { return kind_; }
  // The keys (one for Key; empty for Other).
  const std::vector<std::string>& keys() const noexcept { return keys_; }
  // For Other: the value as given.
  const Value& value() const noexcept { return value_; }
  // "'JPY Curncy'" for a key, "['A', 'B']" for a list.
  std::string text() const;

  friend bool operator==(const Universe& a, const Universe& b);

 private:
  Universe() = default;
  Kind kind_ = Kind::Key;
  std::vector<std::string> keys_;
  Value value_;
};

using NamedItems = std::vector<std::pair<std::string, Item>>;

// `bql.Request(universe, items, preferences)`. With one unnamed item the
// result is named by the item's field name.
class Request {
 public:
  Request(Universe universe, Item item, Kwargs preferences = {});
  Request(Universe universe, NamedItems items, Kwargs preferences = {});

  const Universe& universe() const noexcept { return universe_; }
  // Output name -> item, in request order.
  const NamedItems& items() const noexcept { return items_; }
  const Kwargs& preferences() const noexcept { return preferences_; }
  // "get(name=item, ...) for(universe) with(preferences)" (for logs and tests).
  std::string text() const;

  friend bool operator==(const Request& a, const Request& b);

 private:
  Universe universe_;
  NamedItems items_;
  Kwargs preferences_;
};

// The result of one item.
class Result {
 public:
  Result(std::string name, Frame frame) : name_(std::move(name)), frame_(std::move(frame)) {}
  const std::string& name() const noexcept { return name_; }
  // A new Frame indexed by the security key `ID` (one row per security, or
  // per security and date for time series).
  Frame df() const { return frame_; }
  const Frame& frame() const noexcept { return frame_; }

 private:
  std::string name_;
  Frame frame_;
};

// One result per requested item, in request order.
class Results {
 public:
  Results() = default;
  explicit Results(std::vector<Result> r) : results_(std::move(r)) {}
  std::size_t size() const noexcept { return results_.size(); }
  bool empty() const noexcept { return results_.empty(); }
  // IndexError when out of range.
  const Result& operator[](std::size_t i) const;
  // The result of the item named `name` in the request; KeyError otherwise.
  const Result& get(const std::string& name) const;
  auto begin() const noexcept { return results_.begin(); }
  auto end() const noexcept { return results_.end(); }

 private:
  std::vector<Result> results_;
};

// The service handle (`bql_Service`). The item builders are plain functions of
// the handle; execution is what a concrete service provides.
class Service {
 public:
  virtual ~Service() = default;

  // `bq.data.<field>(**params)`.
  Item data(const std::string& field, Params params = {}) const {
    return Item::make_field(field, std::move(params));
  }

  struct Func {
    // `bq.func.range(start, end)`: a date range from two date texts.
    Item range(const std::string& start, const std::string& end) const {
      return Item::make_range(start, end);
    }
  } func;

  struct Univ {
    // `bq.univ.list(keys)`.
    Universe list(std::vector<std::string> keys) const { return Universe::list(std::move(keys)); }
    Universe list(std::initializer_list<std::string> keys) const {
      return Universe::list(std::vector<std::string>(keys));
    }
    // From a list of texts (TypeError naming `list` otherwise).
    Universe list(const Value& keys) const;
  } univ;

  // Runs one request; failures are raised.
  virtual Results execute(const Request& request) = 0;
  // Runs a query text such as "get(ID_BB_GLOBAL) for(['IBM US Equity'])".
  virtual Results execute(const std::string& query) = 0;

  // Receives a failed request's details as positional values: its position
  // in the list (int), the error kind ("ServiceError", ...) and the message.
  using ErrorCallback = std::function<void(const List& details)>;
  // Runs the requests in order. A request that fails is reported to the
  // callback (or, with no callback, raised) and yields no entry, so the
  // returned list holds the results of the successful requests in order.
  virtual std::vector<Results> execute_many(const std::vector<Request>& requests,
                                            const ErrorCallback& on_request_error = {});
};

// ------------------------------------------------------------------ registry

// The registry of the service's provider: a function that opens a handle
// for a module, or throws when the service cannot be opened.
ProviderRegistry<Service>& service_registry();
using ServiceProvider = ProviderRegistry<Service>::Provider;

// Installs the provider (nullptr removes it). Handles that modules already
// opened stay as they are.
void set_service_provider(ServiceProvider provider);
bool has_service_provider();

// What a module does at load: asks the provider for a handle. No provider, a
// provider that throws or returns nothing, all give no handle; then, when
// warnings are on (SHOW_WARNINGS is "1"), `not_installed_warning` is emitted
// once (e.g. "'bql' is not installed.").
std::shared_ptr<Service> open_service(const std::string& not_installed_warning);

// The handle, or NameError "name 'bq' is not defined" when there is none.
Service& require_service(const std::shared_ptr<Service>& bq);

// A module-wide handle opened on first use (the module's load) and kept for
// the process; require() raises NameError "name 'bq' is not defined" when
// there is none.
class ModuleHandle : public ModuleSlot<Service> {
 public:
  explicit ModuleHandle(std::string not_installed_warning)
      : ModuleSlot(service_registry(), std::move(not_installed_warning), "bq") {}
};

// ---------------------------------------------------------------- stand-in

// A service that answers from reference tables in a folder of CSV files (read
// with the shared CSV reader; any file may be absent, a request that needs an
// absent table fails):
//
//   securities.csv  ID_BB_GLOBAL, TICKER, EXCH_CODE, MARKET_SECTOR_DES, NAME,
//                   PARSEKYABLE_DES (one row per security; empty = missing)
//   prices.csv      ID, DATE, PX_LAST (trading dates of price series)
//   calendar.csv    UNIVERSE, ID, EVENT_NAME, TICKER, RELEASE_DATE_TIME
//                   (wall-clock time in TIMEZONE), TIMEZONE ("GMT+08:00"),
//                   ACTUAL, SURPRISE, SUBTYPE, RELEVANCY (low/medium/high)
//
// A security key is found by its parsekey "TICKER EXCH_CODE MARKET_SECTOR_DES"
// (letter case ignored), by its PARSEKYABLE_DES, or by its FIGI (also with a
// pricing-source suffix, "FIGI.BGN"). Results echo the keys as requested.
//
// Query texts: "get(F1, F2, ...) for(['K1', 'K2'])" with securities fields
// (ID_BB_GLOBAL, TICKER, EXCH_CODE, MARKET_SECTOR_DES, NAME, PARSEKYABLE_DES;
// case ignored): one result per field, column named as written.
//
// Requests (items):
//   - a securities field with no keywords, optionally `droppe()` (rows with a
//     missing value dropped);
//   - `px_last(dates=range(a, b))`: DATE and the value per trading date in
//     [a, b] for each key of the universe, in date order;
//   - `calendar(dates=range(a, b), subtype, relevancy, view)`: the events of
//     the universe (matched against UNIVERSE or the event's ID) released in
//     [a, b]; subtype "all" or a SUBTYPE; relevancy keeps events at least as
//     relevant; view "extended" adds TIMEZONE. Columns: DATE, the item's name
//     (the event name), EVENT_NAME, TICKER, RELEVANCY, RELEASE_DATE_TIME
//     (naive timestamp), ACTUAL, [TIMEZONE], then the preference `addcols`
//     ("surprise", "subtype") as SURPRISE, SUBTYPE;
//   - `item.matches(item.column(c).in_(list))` on any of these.
// Rejected with ServiceError: an unknown field, keyword, preference, item
// operation or column; a security key not in the table (unless
// `strict_securities` is false, which answers missing values for it); a
// price or calendar request for a key with no series; a query text of
// another form.
//
// Every query text and request received is recorded (thread-safe).
class LocalService : public Service {
 public:
  explicit LocalService(const std::string& folder, bool strict_securities = true);
  ~LocalService() override;

  Results execute(const Request& request) override;
  Results execute(const std::string& query) override;

  // Every call in order: query texts as received, requests as Request::text().
  std::vector<std::string> calls() const;
  std::vector<std::string> queries() const;
  std::vector<Request> requests() const;
  std::size_t call_count() const;
  void clear_log();

  struct Tables;

 private:
  std::unique_ptr<Tables> tables_;
  bool strict_;
  mutable std::mutex mu_;
  std::vector<std::string> calls_;
  std::vector<std::string> queries_;
  std::vector<Request> requests_;
};

// The sample reference folder shipped with quorin_data (data/bql_sample): the
// environment variable QUORIN_BQL_SAMPLE when set, else the installed copy
// beside this library (<prefix>/share/quorin_data/bql_sample), else the
// folder in the sources this library was built from.
std::string sample_folder();

}  // namespace quorin_data::from_bqia::bql
