// SPLC: supply-chain relationship snapshots and their window/company filter.
#include "quorin_data/from_s3/snapshelf/splc.hpp"

#include <algorithm>
#include <array>
#include <bitset>
#include <cctype>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "quorin_data/config.hpp"
#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "quorin_data/from_s3/snapshelf/ticker_figi.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::from_s3::snapshelf {

namespace bql = from_bqia::bql;

std::string SPLC::bucket = QUORIN_EQUITY_BUCKET;
const std::string SPLC::folder_path = "alt_data/supply_chain/dl/datasets";
const std::vector<std::pair<std::string, std::string>> SPLC::dataset_names = {
    {"supplier", "supplyChainHistoryV2"},
    {"customer", "supplyChainHistoryV2"},
    {"competitor", "supplyChainCompetitorsHistory"},
};
std::function<std::string(const std::string&, const std::string&)> SPLC::file_path_func =
    [](const std::string& dataset_name, const std::string& file_date) {
      return "alt_data/supply_chain/dl/datasets/" + dataset_name + "/snapshots/" + file_date + "/distributions/" +
             dataset_name + ".csv.gz";
    };

namespace {

const std::string& lookup_dataset_name(const std::string& dataset) {
  for (const auto& [kind, name] : SPLC::dataset_names)
    if (kind == dataset) return name;
  throw ValueError("`dataset`=" + dataset + " is invalid. Only `suppliers` or `customers` or `competitors` are allowed.");
}

// A relationship date column as calendar dates: each cell's own calendar
// day (a time of day or zone after it is dropped); empty cells missing; an
// unparseable cell fails the conversion (ValueError naming the text).
Column to_dates(const Column& c) {
  if (c.type() == DType::Date) return c;
  const std::size_t n = c.size();
  std::vector<std::int32_t> days(n, 0);
  std::vector<std::uint8_t> valid(n, 1);
  bool any_missing = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (c.is_missing(i) || (c.type() == DType::Text && c.text(i).empty())) {
      valid[i] = 0;
      any_missing = true;
      continue;
    }
    // A text keeps its own calendar day (as the load's declared columns do).
    if (c.type() == DType::Timestamp) days[i] = date_of_ns(c.integer(i)).days;
    else if (c.type() == DType::Float64) days[i] = parse_date_text(format_double_shortest(c.f64()[i])).days;
    else days[i] = parse_date_text(c.cell_text(i)).days;
  }
  return Column::dates(std::move(days), any_missing ? std::move(valid) : std::vector<std::uint8_t>{});
}

void convert_relationship_dates(Frame& f) {
  for (const char* name : {"RELTNSHP_START_DT", "RELTNSHP_END_DT"})
    if (f.column(name).type() != DType::Date) f.set_column(name, to_dates(f.column(name)));
}

// The snapshot read declares its date columns (read as dates, empty cells
// missing, an unreadable cell fails the load) and its identifier columns
// (texts as written).
formats::CsvOptions snapshot_options() {
  formats::CsvOptions o;
  o.types = {{"RELTNSHP_START_DT", DType::Date},
             {"RELTNSHP_END_DT", DType::Date},
             {"ID_BB_GLOBAL", DType::Text},
             {"RELATED_FIGI", DType::Text},
             {"RELATIONSHIP", DType::Text}};
  return o;
}

std::int64_t bound_day(const std::string& text) { return parse_date_text(text).days; }

// Membership of texts in a small set. A bitmap over the last two bytes
// rejects almost every non-member before any hashing.
class TextSet {
 public:
  explicit TextSet(const std::vector<std::string>& values) {
    for (const std::string& v : values) {
      set_.insert(v);
      bits_.set(key(v));
    }
  }
  bool contains(std::string_view s) const { return bits_.test(key(s)) && set_.find(s) != set_.end(); }

 private:
  static std::size_t key(std::string_view s) {
    const std::size_t n = s.size();
    unsigned a = n > 0 ? static_cast<unsigned char>(s[n - 1]) : 0u;
    unsigned b = n > 1 ? static_cast<unsigned char>(s[n - 2]) : 0u;
    return ((a << 8) | b) ^ ((n & 0xFu) << 4);
  }
  std::unordered_set<std::string, TextHash, std::equal_to<>> set_;
  std::bitset<65536> bits_;
};

// Text of a cell of any column type, or nullptr when missing (for columns
// that the reader did not type as text).
struct TextCells {
  const Column& c;
  std::string scratch;
  std::optional<std::string_view> get(std::size_t i) {
    if (c.is_missing(i)) return std::nullopt;
    if (c.type() == DType::Text) return c.text(i);
    scratch = c.cell_text(i);
    return scratch;
  }
};

}  // namespace

SPLC::SPLC(NoLoad, const std::string& dataset_, std::shared_ptr<bql::Service> bq_, bucketry::Store store_,
           KeyFunc key_func_)
    : dataset(dataset_),
      dataset_name(lookup_dataset_name(dataset_)),
      bq(std::move(bq_)),
      store(store_.with_bucket(store_.bucket(), folder_path)),
      key_func(std::move(key_func_)) {}

SPLC::SPLC(std::optional<std::string> as_of_date, const std::string& dataset_, std::shared_ptr<bql::Service> bq_)
    : SPLC(std::move(as_of_date), dataset_, std::move(bq_), bucketry::Store::default_store().with_bucket(bucket),
           file_path_func) {}

SPLC::SPLC(std::optional<std::string> as_of_date, const std::string& dataset_, std::shared_ptr<bql::Service> bq_,
           bucketry::Store store_, KeyFunc key_func_)
    : SPLC(NoLoad{}, dataset_, std::move(bq_), std::move(store_), std::move(key_func_)) {
  _load_snapshot(std::move(as_of_date));
}

SPLC SPLC::from_frame(Frame frame, const std::string& dataset, std::shared_ptr<bql::Service> bq) {
  SPLC s(NoLoad{}, dataset, std::move(bq), bucketry::Store::default_store().with_bucket(bucket), file_path_func);
  convert_relationship_dates(frame);
  s.data = std::make_shared<const Frame>(std::move(frame));
  return s;
}

std::vector<std::string> SPLC::get_distinct() const {
  std::vector<std::string> keys = store.list_s3_objects(dataset_name);
  std::vector<std::string> dates;
  dates.reserve(keys.size());
  for (const std::string& key : keys) {
    std::size_t start = 0;
    int segment = 0;
    for (; segment < 6; ++segment) {
      auto slash = key.find('/', start);
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
    if (segment < 6) throw IndexError("list index out of range");
    auto end = key.find('/', start);
    dates.push_back(key.substr(start, end == std::string::npos ? std::string::npos : end - start));
  }
  return dates;
}

void SPLC::_load_snapshot() { _load_snapshot(std::nullopt); }

void SPLC::_load_snapshot(std::optional<std::string> as_of_date) {
  const std::vector<std::string> dates = get_distinct();
  if (dates.empty())
    throw ValueError("max() arg is an empty sequence (no snapshot of " + dataset_name + " in bucket " + store.bucket() + ")");
  std::string date = *std::max_element(dates.begin(), dates.end());
  if (as_of_date) {
    std::string wanted;
    for (char ch : *as_of_date)
      if (ch != '-') wanted.push_back(ch);
    if (std::find(dates.begin(), dates.end(), wanted) == dates.end())
      throw AssertionError(wanted + " is not valid. Valid snapshot dates: " + text::python_list_repr(dates) + ".");
    date = wanted;
  }
  const std::string key = key_func(dataset_name, date);
  // As read_from_s3(key, "csv.gz", bucket, "", by_chunks, 100000) reads it
  // (an empty prefix: the key as is), with the declared columns.
  Frame f = store.read_by_chunks(key, 100000, snapshot_options());
  convert_relationship_dates(f);  // checks that both date columns are there
  data = std::make_shared<const Frame>(std::move(f));
}

Frame SPLC::get_data(const std::string&) {
  throw TypeError("get_data() missing 2 required positional arguments: 'start' and 'end'");
}

std::shared_ptr<const Frame> SPLC::get_data(const std::vector<std::string>& tickers,
                                            const std::optional<std::string>& start,
                                            const std::optional<std::string>& end) const {
  List l;
  l.reserve(tickers.size());
  for (const std::string& t : tickers) l.emplace_back(t);
  return get_data(Value(std::move(l)), start, end);
}

std::shared_ptr<const Frame> SPLC::get_data(const Value& tickers, const std::optional<std::string>& start,
                                            const std::optional<std::string>& end) const {
  // Checked on entry; none passes when no handle will use it.
  std::vector<std::string> ticker_list;
  if (!(tickers.is_none() && !bq)) ticker_list = text_list(tickers, "tickers");

  const Frame& table = *data;
  const bool has_start = start.has_value(), has_end = end.has_value();
  const std::int64_t start_day = has_start ? bound_day(*start) : 0;
  const std::int64_t end_day = has_end ? bound_day(*end) : 0;

  if (!bq && !has_start && !has_end) return data;

  // The company filter needs the FIGIs first: the first service call.
  std::optional<TextMap> ticker_to_figi_map;
  std::optional<TextSet> figi_set;
  if (bq) {
    ticker_to_figi_map = ticker_to_figi(ticker_list, bq);
    figi_set.emplace(ticker_to_figi_map->values());
  }

  // One pass over the rows: window, then company and kind.
  const std::size_t n = table.num_rows();
  const Column& sd = table.column("RELTNSHP_START_DT");
  const Column& ed = table.column("RELTNSHP_END_DT");
  const auto sv = sd.days();
  const auto ev = ed.days();

  const Column* figi_col = bq ? &table.column("ID_BB_GLOBAL") : nullptr;
  const Column* rel_col = nullptr;
  std::string relationship;
  if (bq && dataset != "competitor") {
    rel_col = &table.column("RELATIONSHIP");
    for (char ch : dataset) relationship.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
  }
  std::optional<TextCells> figi_cells, rel_cells;
  if (figi_col) figi_cells.emplace(TextCells{*figi_col, {}});
  if (rel_col) rel_cells.emplace(TextCells{*rel_col, {}});

  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < n; ++i) {
    if (has_start || has_end) {
      const bool s_pass = has_start && !sd.is_missing(i) && sv[i] <= start_day;
      const bool e_pass = has_end && !ed.is_missing(i) && ev[i] >= end_day;
      if (!(s_pass || e_pass)) continue;
    }
    if (figi_cells) {
      const auto f = figi_cells->get(i);
      if (!f || !figi_set->contains(*f)) continue;
      if (rel_cells) {
        const auto r = rel_cells->get(i);
        if (!r || *r != relationship) continue;
      }
    }
    rows.push_back(i);
  }

  Frame out = table.take(rows);
  out.set_index(Index::range(rows.size()));
  if (!bq) return std::make_shared<const Frame>(std::move(out));

  // Counterparties back to tickers: the second service call.
  std::vector<std::string> related;
  const Column& rf = out.column("RELATED_FIGI");
  related.reserve(out.num_rows());
  {
    TextCells cells{rf, {}};
    for (std::size_t i = 0; i < out.num_rows(); ++i)
      if (const auto s = cells.get(i)) related.emplace_back(*s);
  }
  TextMap figi_to_ticker_map = figi_to_ticker(related, bq);

  std::unordered_map<std::string, std::string, TextHash, std::equal_to<>> figi_to_own_ticker;
  for (const auto& [ticker, figi] : *ticker_to_figi_map) figi_to_own_ticker[figi] = ticker;  // later wins

  const std::size_t m = out.num_rows();
  std::vector<std::string> own(m), rel(m);
  std::vector<std::uint8_t> own_ok(m, 0), rel_ok(m, 0);
  {
    TextCells fc{out.column("ID_BB_GLOBAL"), {}};
    TextCells rc{rf, {}};
    for (std::size_t i = 0; i < m; ++i) {
      if (const auto f = fc.get(i))
        if (auto it = figi_to_own_ticker.find(*f); it != figi_to_own_ticker.end()) {
          own[i] = it->second;
          own_ok[i] = 1;
        }
      if (const auto r = rc.get(i))
        if (const std::string* t = figi_to_ticker_map.find(std::string(*r))) {
          rel[i] = *t;
          rel_ok[i] = 1;
        }
    }
  }
  out.set_column("TICKER", Column::texts(std::move(own), std::move(own_ok)));
  out.set_column("RELATED_TICKER", Column::texts(std::move(rel), std::move(rel_ok)));
  return std::make_shared<const Frame>(std::move(out));
}

}  // namespace quorin_data::from_s3::snapshelf
