// Conversion between parsekey tickers ("IBM US Equity") and FIGI codes
// through the query service. Each call sends one query text to the handle.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quorin_data/core/value.hpp"
#include "quorin_data/from_bqia/bql.hpp"

namespace quorin_data::from_s3::snapshelf {

// An insertion-ordered text-to-text dictionary. Assigning a key that is
// already present replaces its value and keeps its first position (so when
// rows repeat a key, the last row's value wins).
class TextMap {
 public:
  using Entry = std::pair<std::string, std::string>;

  void assign(const std::string& key, std::string value);
  // The value or nullptr.
  const std::string* find(const std::string& key) const noexcept;
  bool contains(const std::string& key) const noexcept { return find(key) != nullptr; }
  // The value; KeyError with the key when absent.
  const std::string& at(const std::string& key) const;
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  const std::vector<Entry>& entries() const noexcept { return entries_; }
  std::vector<std::string> keys() const;
  std::vector<std::string> values() const;
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }

  friend bool operator==(const TextMap& a, const TextMap& b) { return a.entries_ == b.entries_; }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t> pos_;
};

// ['A', 'B']: each text as python_str_repr renders it (so a quote in a
// ticker cannot end the text early), joined by ", ".
std::string render_universe(const std::vector<std::string>& keys);

// Convert parsekey tickers to FIGI codes.
//
// Sends "get(ID_BB_GLOBAL) for(['IBM US Equity', ...])" and returns the
// dictionary of parsekey:FIGI, keyed by the security keys as the service
// echoes them, in the service's row order. A ticker whose FIGI the service
// answers as missing is left out of the dictionary. `tickers` is one text
// (a list of one) or a list of texts (TypeError naming `tickers` otherwise);
// a null `bq` is a TypeError naming `bq`. Service failures propagate.
TextMap ticker_to_figi(const Value& tickers, const std::shared_ptr<from_bqia::bql::Service>& bq);
TextMap ticker_to_figi(const std::vector<std::string>& tickers, const std::shared_ptr<from_bqia::bql::Service>& bq);
TextMap ticker_to_figi(const std::string& tickers, const std::shared_ptr<from_bqia::bql::Service>& bq);
TextMap ticker_to_figi(const char* tickers, const std::shared_ptr<from_bqia::bql::Service>& bq);

// Convert FIGI codes to parsekey tickers.
//
// Sends "get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for([...])", places the
// three results side by side on their `ID` and returns the dictionary of
// FIGI:parsekey, the parsekey being TICKER + " " + EXCH_CODE + " " +
// MARKET_SECTOR_DES. A FIGI for which any of the three fields is missing is
// left out of the dictionary: a partial parsekey would name another (or no)
// security, so such a FIGI counts as having no ticker. Inputs and failures as
// for ticker_to_figi (the argument is named `figis`).
TextMap figi_to_ticker(const Value& figis, const std::shared_ptr<from_bqia::bql::Service>& bq);
TextMap figi_to_ticker(const std::vector<std::string>& figis, const std::shared_ptr<from_bqia::bql::Service>& bq);
TextMap figi_to_ticker(const std::string& figis, const std::shared_ptr<from_bqia::bql::Service>& bq);
TextMap figi_to_ticker(const char* figis, const std::shared_ptr<from_bqia::bql::Service>& bq);

}  // namespace quorin_data::from_s3::snapshelf
