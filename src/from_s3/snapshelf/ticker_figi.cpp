// Ticker/FIGI conversion over the query service.
#include "quorin_data/from_s3/snapshelf/ticker_figi.hpp"

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::from_s3::snapshelf {

namespace bql = from_bqia::bql;

void TextMap::assign(const std::string& key, std::string value) {
  if (auto it = pos_.find(key); it != pos_.end()) {
    entries_[it->second].second = std::move(value);
    return;
  }
  pos_.emplace(key, entries_.size());
  entries_.emplace_back(key, std::move(value));
}

const std::string* TextMap::find(const std::string& key) const noexcept {
  auto it = pos_.find(key);
  return it == pos_.end() ? nullptr : &entries_[it->second].second;
}

const std::string& TextMap::at(const std::string& key) const {
  if (const std::string* v = find(key)) return *v;
  throw KeyError("'" + key + "'");
}

std::vector<std::string> TextMap::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.first);
  return out;
}

std::vector<std::string> TextMap::values() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.second);
  return out;
}

namespace {

bql::Service& handle(const std::shared_ptr<bql::Service>& bq) {
  if (!bq) throw_argument_type("bq", "Service", "NoneType");
  return *bq;
}

// The label of row i of an ID-indexed result.
std::string id_of(const Frame& f, std::size_t i) { return f.index().label_text(i); }

}  // namespace

TextMap ticker_to_figi(const std::vector<std::string>& tickers, const std::shared_ptr<bql::Service>& bq) {
  bql::Service& service = handle(bq);
  bql::Results res = service.execute("get(ID_BB_GLOBAL) for(" + text::python_list_repr(tickers) + ")");
  const Frame& df = res[0].frame();
  const Column& figi = df.column("ID_BB_GLOBAL");
  TextMap out;
  for (std::size_t i = 0; i < df.num_rows(); ++i)
    if (!figi.is_missing(i)) out.assign(id_of(df, i), figi.cell_text(i));
  return out;
}

TextMap ticker_to_figi(const Value& tickers, const std::shared_ptr<bql::Service>& bq) {
  return ticker_to_figi(text_list(tickers, "tickers", true), bq);
}
TextMap ticker_to_figi(const std::string& tickers, const std::shared_ptr<bql::Service>& bq) {
  return ticker_to_figi(std::vector<std::string>{tickers}, bq);
}
TextMap ticker_to_figi(const char* tickers, const std::shared_ptr<bql::Service>& bq) {
  return ticker_to_figi(std::vector<std::string>{tickers}, bq);
}

TextMap figi_to_ticker(const std::vector<std::string>& figis, const std::shared_ptr<bql::Service>& bq) {
  bql::Service& service = handle(bq);
  bql::Results res =
      service.execute("get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(" + text::python_list_repr(figis) + ")");
  static const char* const fields[3] = {"TICKER", "EXCH_CODE", "MARKET_SECTOR_DES"};

  // Side by side on ID: the first result's rows in order, then labels that
  // only later results hold. A label missing from a result leaves its field
  // missing.
  std::vector<const Frame*> frames;
  for (const bql::Result& r : res) frames.push_back(&r.frame());
  if (frames.size() < 3) throw KeyError(std::string("'") + fields[frames.size()] + "'");
  const Column* cols[3];
  for (int k = 0; k < 3; ++k) cols[k] = &frames[k]->column(fields[k]);

  bool aligned = true;
  for (int k = 1; k < 3; ++k) aligned = aligned && frames[k]->index() == frames[0]->index();
  TextMap out;
  if (aligned) {
    for (std::size_t i = 0; i < frames[0]->num_rows(); ++i) {
      bool complete = true;
      for (int k = 0; k < 3; ++k) complete = complete && !cols[k]->is_missing(i);
      if (!complete) continue;
      out.assign(id_of(*frames[0], i),
                 cols[0]->cell_text(i) + " " + cols[1]->cell_text(i) + " " + cols[2]->cell_text(i));
    }
    return out;
  }
  std::vector<std::string> labels;
  std::unordered_map<std::string, std::size_t> rows[3];
  std::unordered_map<std::string, bool> seen;
  for (int k = 0; k < 3; ++k)
    for (std::size_t i = 0; i < frames[k]->num_rows(); ++i) {
      std::string id = id_of(*frames[k], i);
      rows[k][id] = i;
      if (seen.emplace(id, true).second) labels.push_back(id);
    }
  for (const std::string& id : labels) {
    std::string parts[3];
    bool complete = true;
    for (int k = 0; k < 3 && complete; ++k) {
      auto it = rows[k].find(id);
      complete = it != rows[k].end() && !cols[k]->is_missing(it->second);
      if (complete) parts[k] = cols[k]->cell_text(it->second);
    }
    if (complete) out.assign(id, parts[0] + " " + parts[1] + " " + parts[2]);
  }
  return out;
}

TextMap figi_to_ticker(const Value& figis, const std::shared_ptr<bql::Service>& bq) {
  return figi_to_ticker(text_list(figis, "figis", true), bq);
}
TextMap figi_to_ticker(const std::string& figis, const std::shared_ptr<bql::Service>& bq) {
  return figi_to_ticker(std::vector<std::string>{figis}, bq);
}
TextMap figi_to_ticker(const char* figis, const std::shared_ptr<bql::Service>& bq) {
  return figi_to_ticker(std::vector<std::string>{figis}, bq);
}

}  // namespace quorin_data::from_s3::snapshelf
