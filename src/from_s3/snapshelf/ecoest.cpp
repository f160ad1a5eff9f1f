// ECOEST: the economist-estimates history, read from its Parquet object by
// byte ranges, and its survey-date / event-ticker filter.
#include "quorin_data/from_s3/snapshelf/ecoest.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <optional>
#include <set>
#include <unordered_set>

#include "from_s3/bucketry/client.hpp"
#include "quorin_data/config.hpp"
#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/zones.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "store/s3_client.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::from_s3::snapshelf {

std::string ECOEST::bucket = QUORIN_MACRO_BUCKET;
std::string ECOEST::file_path =
    "economistEstimates/economistEstimatesHistory/current_economistEstimatesHistory.parquet";

namespace {

constexpr const char* kSnapshotColumn = "dlSnapshotDate";
constexpr const char* kSurveyColumn = "economistSurveyTimestamp";
constexpr const char* kTickerColumn = "column0";

// One S3 object as a range source: its size and ETag from the answer to a
// suffix-range GetObject of its tail (the read that opens it), then ranged
// GetObjects pinned to that ETag, so that ranges of an object replaced
// meanwhile are never mixed. A store that sends no ETag leaves nothing to
// pin the ranges to: the object is then read whole in one GET and every
// range served from that one version.
class S3ObjectSource : public formats::RangeSource {
 public:
  S3ObjectSource(std::shared_ptr<store::S3Client> client, std::string bucket, std::string key)
      : client_(std::move(client)), bucket_(std::move(bucket)), key_(std::move(key)) {}
  Tail tail(std::size_t length) override {
    store::ObjectRange r = client_->get_object_tail(bucket_, key_, length);
    remember(r.object_size, r.etag);
    if (!whole_) return Tail{std::move(r.bytes), r.object_size};
    const std::size_t n = std::min(length, whole_->size());
    return Tail{std::vector<std::uint8_t>(whole_->end() - static_cast<std::ptrdiff_t>(n), whole_->end()), size_};
  }
  // Known from the tail read; asked for by HeadObject only when nothing was read yet.
  std::uint64_t size() override {
    if (!known_) {
      const store::ObjectInfo info = client_->head_object(bucket_, key_);
      remember(info.size, info.etag);
    }
    return size_;
  }
  // The client takes concurrent requests (over as many connections as it keeps).
  std::size_t concurrent_reads() const override { return 4; }
  std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t length) override {
    if (whole_) {
      if (offset > whole_->size() || length > whole_->size() - offset)
        throw TransportError("GetObject s3://" + bucket_ + "/" + key_ + ": bytes " + std::to_string(offset) + "+" +
                             std::to_string(length) + " are past its end (" + std::to_string(whole_->size()) +
                             " bytes)");
      const auto from = whole_->begin() + static_cast<std::ptrdiff_t>(offset);
      return std::vector<std::uint8_t>(from, from + static_cast<std::ptrdiff_t>(length));
    }
    store::ObjectRange r = client_->get_object_range(bucket_, key_, offset, length, etag_);
    if (r.object_size != size_)
      throw TransportError("GetObject s3://" + bucket_ + "/" + key_ + ": the object is now " +
                           std::to_string(r.object_size) + " bytes long, it was " + std::to_string(size_));
    return std::move(r.bytes);
  }

 private:
  void remember(std::uint64_t size, std::string etag) {
    size_ = size;
    etag_ = std::move(etag);
    known_ = true;
    if (etag_.empty() && !whole_) {
      whole_ = client_->get_object(bucket_, key_);
      size_ = whole_->size();
    }
  }

  std::shared_ptr<store::S3Client> client_;
  std::string bucket_, key_;
  bool known_ = false;
  std::uint64_t size_ = 0;
  std::string etag_;
  std::optional<std::vector<std::uint8_t>> whole_;  // the object read whole (no ETag)
};

std::string object_name(const std::string& bucket, const std::string& key) { return "s3://" + bucket + "/" + key; }

formats::ParquetFile open_history(const bucketry::Store& store, const std::string& key) {
  const std::string& bucket = store.bucket();
  // The default store's client, as the module functions take it; when there
  // is none, the error that kept it from being created at load.
  auto client = bucketry::require_client(store);
  return formats::ParquetFile::open_ranges(std::make_shared<S3ObjectSource>(client, bucket, key),
                                           object_name(bucket, key));
}

// A progress line on stderr, redrawn per row group.
class Progress {
 public:
  explicit Progress(std::size_t total) : total_(total) {}
  void step(const std::string& description, std::size_t done) {
    std::cerr << "\r" << description << ": " << done << "/" << total_ << std::flush;
    drawn_ = true;
  }
  ~Progress() {
    if (drawn_) std::cerr << "\n" << std::flush;
  }

 private:
  std::size_t total_;
  bool drawn_ = false;
};

// Distinct values of one column, as dynamic values, ascending; a missing
// value last.
class Distinct {
 public:
  // Runs of one value (a snapshot column holds long ones) go into the set once.
  void add(const Column& c) {
    type_ = c.type();
    tz_ = c.tz();
    const std::size_t n = c.size();
    if (c.type() == DType::Float64) {
      for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(c.f64()[i])) missing_ = true;
        else reals_.insert(c.f64()[i]);
      }
    } else if (c.type() == DType::Text) {
      bool have_last = false;
      std::string_view last;
      for (std::size_t i = 0; i < n; ++i) {
        if (c.is_missing(i)) {
          missing_ = true;
        } else if (!have_last || last != c.text(i)) {
          last = c.text(i);
          have_last = true;
          texts_.emplace(last);
        }
      }
    } else {
      bool have_last = false;
      std::int64_t last = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (c.is_missing(i)) {
          missing_ = true;
        } else if (!have_last || c.integer(i) != last) {
          last = c.integer(i);
          have_last = true;
          ints_.insert(last);
        }
      }
    }
  }
  void add(const Value& v) {
    if (v.is_date()) {
      type_ = DType::Date;
      ints_.insert(v.as_date().days);
    } else if (v.is_timestamp()) {
      type_ = DType::Timestamp;
      tz_ = v.as_timestamp().tz;
      ints_.insert(v.as_timestamp().ns);
    } else if (v.is_int()) {
      type_ = DType::Int64;
      ints_.insert(v.as_int());
    } else if (v.is_float()) {
      type_ = DType::Float64;
      reals_.insert(v.as_float());
    }
  }
  std::vector<Value> values() const {
    std::vector<Value> out;
    for (double d : reals_) out.emplace_back(d);
    for (const auto& s : texts_) out.emplace_back(s);
    for (std::int64_t v : ints_) {
      switch (type_) {
        case DType::Date: out.emplace_back(Date{static_cast<std::int32_t>(v)}); break;
        case DType::Timestamp: out.emplace_back(Timestamp{v, tz_}); break;
        case DType::Bool: out.emplace_back(v != 0); break;
        default: out.emplace_back(static_cast<long long>(v)); break;
      }
    }
    if (missing_) out.emplace_back();
    return out;
  }

 private:
  DType type_ = DType::Float64;
  std::string tz_;
  std::set<double> reals_;
  std::set<std::string> texts_;
  std::set<std::int64_t> ints_;
  bool missing_ = false;
};

// Row group by row group. A row group whose statistics prove that all its
// rows hold one value (a history appended snapshot by snapshot) gives that
// value without its column chunk; the others are fetched, in one go, and
// decoded.
std::vector<Value> distinct_values(const formats::ParquetFile& file, const std::string& column) {
  const std::size_t n = file.num_row_groups();
  std::vector<std::optional<Value>> pinned(n);
  std::vector<std::size_t> to_read;
  for (std::size_t i = 0; i < n; ++i) {
    pinned[i] = file.single_value(i, column);
    if (!pinned[i]) to_read.push_back(i);
  }
  file.prefetch(to_read, std::vector<std::string>{column});
  Distinct d;
  Progress progress(n);
  for (std::size_t i = 0; i < n; ++i) {
    progress.step("Retrieving snapshot dates " + std::to_string(i + 1), i);
    if (pinned[i]) {
      d.add(*pinned[i]);
      continue;
    }
    const Frame part = file.read_row_group(i, std::vector<std::string>{column});
    d.add(part.column_at(0));
  }
  if (n) progress.step("Retrieving snapshot dates " + std::to_string(n), n);
  return d.values();
}

// The calendar day of a timestamp: the wall-clock date in its zone (naive
// values are wall-clock times already).
class DayOf {
 public:
  explicit DayOf(const std::string& tz) {
    if (!tz.empty() && tz != "UTC") zone_.emplace(Zone::locate(tz));
  }
  std::int64_t operator()(std::int64_t ns) const { return date_of_ns(zone_ ? zone_->wall_ns(ns) : ns).days; }

 private:
  std::optional<Zone> zone_;
};

// The "%Y%m%d" text of a date, or of a timestamp's calendar day.
std::string day_text(const Value& v) {
  if (v.is_date()) return format_yyyymmdd(v.as_date());
  const std::int64_t day = DayOf(v.as_timestamp().tz)(v.as_timestamp().ns);
  return format_yyyymmdd(Date{static_cast<std::int32_t>(day)});
}

// The snapshot date from the row groups' statistics alone, when they settle
// it, so that no snapshot-date chunk needs fetching: the least and greatest
// snapshot date of each row group are stored dates, so the greatest of them
// all is the latest, and a named date among them is a stored one. Nothing
// when a row group's statistics do not give them or allow a missing value,
// or the named date is not among them (the dates are then read). Zoned
// timestamps are always read: their calendar day need not grow with the
// instant across a change of offset.
std::optional<std::string> date_from_statistics(const formats::ParquetFile& file,
                                                const std::optional<std::string>& wanted) {
  const std::size_t n = file.num_row_groups();
  if (n == 0) return std::nullopt;
  std::string latest;
  bool named = false;
  for (std::size_t g = 0; g < n; ++g) {
    const auto range = file.value_range(g, kSnapshotColumn);
    if (!range) return std::nullopt;
    for (const Value* v : {&range->first, &range->second}) {
      if (!v->is_date() && !(v->is_timestamp() && (v->as_timestamp().tz.empty() || v->as_timestamp().tz == "UTC")))
        return std::nullopt;
      const std::string day = day_text(*v);
      latest = std::max(latest, day);
      named = named || (wanted && day == *wanted);
    }
  }
  if (wanted && !named) return std::nullopt;
  // The dates of every row group were taken from its statistics: the same
  // progress is shown as when they are read.
  Progress progress(n);
  for (std::size_t g = 0; g < n; ++g) progress.step("Retrieving snapshot dates " + std::to_string(g + 1), g);
  progress.step("Retrieving snapshot dates " + std::to_string(n), n);
  return wanted ? wanted : std::optional<std::string>(latest);
}

const std::string& text_arg(const char* name, const Value& v) {
  if (!v.is_str()) throw_argument_type(name, "str", v.type_name());
  return v.as_str();
}

std::optional<std::string> optional_text_arg(const char* name, const Value& v) {
  if (v.is_none()) return std::nullopt;
  return text_arg(name, v);
}

// A bound's own calendar day, whatever time of day (and zone) it names.
std::int64_t bound_day(const std::string& text) { return parse_date_text(text).days; }

}  // namespace

ECOEST::ECOEST(std::optional<std::string> as_of_date)
    : ECOEST(std::move(as_of_date), bucketry::Store::default_store().with_bucket(bucket), file_path) {}

ECOEST::ECOEST(std::optional<std::string> as_of_date, bucketry::Store store_, std::string key_)
    : store(std::move(store_)), key(std::move(key_)) {
  _load_snapshot(std::move(as_of_date));
}

ECOEST ECOEST::create(const Value& as_of_date) {
  auto date = optional_text_arg("as_of_date", as_of_date);
  return ECOEST(std::move(date));
}

std::vector<Value> ECOEST::get_distinct(const std::string& column, const std::string& bucket, const std::string& key) {
  return get_distinct(bucketry::Store::default_store().with_bucket(bucket), column, key);
}

std::vector<Value> ECOEST::get_distinct(const bucketry::Store& store, const std::string& column,
                                        const std::string& key) {
  const formats::ParquetFile file = open_history(store, key);
  return distinct_values(file, column);
}

std::vector<Value> ECOEST::get_distinct(const Value& column, const Value& bucket, const Value& key) {
  const auto& c = text_arg("column", column);
  const auto& b = text_arg("bucket", bucket);
  const auto& k = text_arg("key", key);
  return get_distinct(c, b, k);
}

void ECOEST::_load_snapshot() { _load_snapshot(std::nullopt); }

void ECOEST::_load_snapshot(const Value& as_of_date) { _load_snapshot(optional_text_arg("as_of_date", as_of_date)); }

void ECOEST::_load_snapshot(std::optional<std::string> as_of_date) {
  const std::string name = object_name(store.bucket(), key);
  // One opened history serves the date choice and the snapshot read, so the
  // footer and any snapshot-date chunk are fetched once.
  const formats::ParquetFile file = open_history(store, key);
  const auto columns = file.column_names();
  for (const char* required : {kSnapshotColumn, kTickerColumn, kSurveyColumn})
    if (std::find(columns.begin(), columns.end(), required) == columns.end())
      throw KeyError(name + ": the economist-estimates history has no column \"" + std::string(required) + "\"");
  const DType snapshot_type = file.column_type(kSnapshotColumn);
  if (snapshot_type != DType::Date && snapshot_type != DType::Timestamp)
    throw ValueError(name + ": column \"" + std::string(kSnapshotColumn) + "\" holds " + dtype_name(snapshot_type) +
                     " values, not dates or timestamps");

  std::optional<std::string> wanted;
  if (as_of_date) {
    wanted.emplace();
    for (char ch : *as_of_date)
      if (ch != '-') wanted->push_back(ch);
  }
  std::optional<std::string> chosen = date_from_statistics(file, wanted);
  if (!chosen) {
    const std::vector<Value> dates = distinct_values(file, kSnapshotColumn);
    std::vector<std::string> file_dates;
    file_dates.reserve(dates.size());
    for (const Value& v : dates) {
      if (v.is_date() || v.is_timestamp()) {
        file_dates.push_back(day_text(v));
      } else {
        throw ValueError(name + ": column \"" + std::string(kSnapshotColumn) +
                         "\" has a missing value, which has no \"%Y%m%d\" date");
      }
    }
    if (file_dates.empty())
      throw ValueError("max() arg is an empty sequence (no snapshot date in " + name + ")");
    chosen = *std::max_element(file_dates.begin(), file_dates.end());
    if (wanted) {
      if (std::find(file_dates.begin(), file_dates.end(), *wanted) == file_dates.end())
        throw AssertionError(*wanted + " is not valid. Valid snapshot dates: " + text::python_list_repr(file_dates) +
                             ".");
      chosen = wanted;
    }
  }
  const std::string& date = *chosen;
  // Midnight at the start of that day.
  const Date day = parse_yyyymmdd(date);
  const Value midnight(Timestamp{std::int64_t{day.days} * kNanosPerDay, ""});
  data = file.read_where_equal(kSnapshotColumn, midnight);
  source_ = name;
}

Frame ECOEST::get_data(const std::string&) {
  throw_argument_type("tickers", "list", "str");
}

Frame ECOEST::get_data(const Value& tickers, const Value& start, const Value& end) const {
  auto list = text_list(tickers, "tickers");
  auto s = optional_text_arg("start", start);
  auto e = optional_text_arg("end", end);
  return get_data(list, s, e);
}

Frame ECOEST::get_data(const std::vector<std::string>& tickers, const std::optional<std::string>& start,
                       const std::optional<std::string>& end) const {
  const std::size_t n = data.num_rows();
  const bool by_date = start.has_value() || end.has_value();
  const std::int64_t start_day = start ? bound_day(*start) : 0;
  const std::int64_t end_day = end ? bound_day(*end) : 0;

  // Survey-date filter: the calendar date of each row within the bounds.
  std::vector<std::size_t> rows;
  if (by_date) {
    const Column& c = data.column(kSurveyColumn);
    if (c.type() != DType::Date && c.type() != DType::Timestamp)
      throw ValueError(source_ + ": column \"" + std::string(kSurveyColumn) + "\" holds " + dtype_name(c.type()) +
                       " values, not dates or timestamps");
    const DayOf day_of(c.type() == DType::Timestamp ? c.tz() : std::string());
    for (std::size_t i = 0; i < n; ++i) {
      if (c.is_missing(i)) continue;
      const std::int64_t d = c.type() == DType::Date ? c.integer(i) : day_of(c.integer(i));
      if ((start && d < start_day) || (end && d > end_day)) continue;
      rows.push_back(i);
    }
  }

  // Event-ticker filter on the rows left.
  const bool by_ticker = !tickers.empty();
  if (by_ticker) {
    const std::unordered_set<std::string, TextHash, std::equal_to<>> wanted(tickers.begin(), tickers.end());
    const Column& c = data.column(kTickerColumn);
    std::vector<std::size_t> kept;
    auto test = [&](std::size_t i) {
      if (c.type() == DType::Text && !c.is_missing(i) && wanted.count(c.text(i))) kept.push_back(i);
    };
    if (by_date) {
      for (std::size_t i : rows) test(i);
    } else {
      for (std::size_t i = 0; i < n; ++i) test(i);
    }
    rows = std::move(kept);
  }

  Frame out;
  if (by_date || by_ticker) {
    out = data.take(rows);
    out.set_index(Index::range(rows.size()));
  } else {
    out = data;
  }
  out.rename_column(kTickerColumn, "event_ticker");
  return out;
}

}  // namespace quorin_data::from_s3::snapshelf
