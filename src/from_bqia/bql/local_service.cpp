// The local stand-in of the query service: reference tables from CSV files,
// the two query texts and the item requests the modules send.
#include <charconv>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/from_bqia/bql.hpp"
#include "quorin_data/core/text.hpp"
#include "from_bqia/sample_folder.hpp"

namespace quorin_data::from_bqia::bql {

namespace {

using text::lower;
using text::upper;

// A reference table with every cell as written: identifiers such as a
// numeric ticker ("7203") or "NA" stay texts; only an empty cell is missing.
// Numbers are read where they are used (number_cell).
// A table the folder does not have is absent; one that is there but cannot
// be read as a file (a link loop, a device, a folder) is an error.
std::optional<Frame> read_table(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (st.type() == fs::file_type::not_found) return std::nullopt;
  if (ec) throw ServiceError("cannot read reference table " + path.string() + ": " + ec.message());
  if (st.type() != fs::file_type::regular)
    throw ServiceError("cannot read reference table " + path.string() + ": not a regular file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ServiceError("cannot read reference table " + path.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  formats::CsvOptions options;
  options.default_type = DType::Text;
  options.default_missing = false;
  options.missing = {""};
  return formats::read_csv(ss.str(), path.string(), options);
}

// A numeric cell of a reference table: NaN when empty or one of the usual
// missing markers; any other text that is not a number is an error.
double number_cell(const Column& c, std::size_t i, const char* table) {
  if (c.is_missing(i)) return kNaN;
  if (c.type() != DType::Text) return c.as_double(i);
  const std::string_view t = c.text(i);
  if (formats::is_missing_marker(t)) return kNaN;
  const char* b = t.data();
  const char* e = b + t.size();
  if (t.size() > 1 && *b == '+' && b[1] != '-') ++b;
  double v = 0;
  auto r = std::from_chars(b, e, v);
  if (r.ec != std::errc() || r.ptr != e) throw ServiceError("invalid number '" + std::string(t) + "' in " + table);
  return v;
}

// The cell as text, or nullopt when missing.
std::optional<std::string> cell(const Column& c, std::size_t i) {
  if (c.is_missing(i)) return std::nullopt;
  return c.cell_text(i);
}

std::ptrdiff_t find_ci(const Frame& f, const std::string& name) {
  std::string u = upper(name);
  for (std::size_t i = 0; i < f.names().size(); ++i)
    if (upper(f.names()[i]) == u) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

const Column& need(const Frame& f, const char* name, const char* table) {
  auto i = find_ci(f, name);
  if (i < 0) throw ServiceError(std::string("reference table ") + table + " has no column " + name);
  return f.column_at(static_cast<std::size_t>(i));
}

std::int32_t parse_day(const std::string& text, const char* what) {
  auto ns = try_parse_datetime_ns(text);
  if (!ns) throw ServiceError(std::string("invalid ") + what + " '" + text + "'");
  return date_of_ns(*ns).days;
}

int relevancy_rank(const std::string& r) {
  std::string l = lower(r);
  if (l == "low") return 0;
  if (l == "medium") return 1;
  if (l == "high") return 2;
  return -1;
}

Index id_index(std::vector<std::string> ids) {
  Index idx = Index::texts(std::move(ids));
  idx.name = "ID";
  return idx;
}

Column text_column(std::vector<std::optional<std::string>> v) {
  std::vector<std::string> t(v.size());
  std::vector<std::uint8_t> valid(v.size(), 1);
  bool any_missing = false;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i]) t[i] = std::move(*v[i]);
    else {
      valid[i] = 0;
      any_missing = true;
    }
  }
  return Column::texts(std::move(t), any_missing ? std::move(valid) : std::vector<std::uint8_t>{});
}

struct Event {
  std::string universe, id, event_name, ticker, subtype, relevancy;
  std::optional<std::string> timezone;
  std::int64_t release_ns = 0;
  double actual = kNaN, surprise = kNaN;
};

struct PricePoint {
  std::int32_t day;
  double px;
};

}  // namespace

struct LocalService::Tables {
  std::optional<Frame> securities;
  std::unordered_map<std::string, std::size_t> by_figi, by_key;  // key: lower-case parsekey / des
  std::unordered_map<std::string, std::vector<PricePoint>> prices;  // lower-case ID
  bool has_prices = false, has_calendar = false;
  std::vector<Event> events;

  // Row of the security named by `key`, or nullopt.
  std::optional<std::size_t> security(const std::string& key) const {
    if (auto it = by_figi.find(key); it != by_figi.end()) return it->second;
    if (auto it = by_key.find(lower(key)); it != by_key.end()) return it->second;
    if (auto dot = key.find('.'); dot != std::string::npos)
      if (auto it = by_figi.find(key.substr(0, dot)); it != by_figi.end()) return it->second;
    return std::nullopt;
  }
};

LocalService::LocalService(const std::string& folder, bool strict_securities)
    : tables_(std::make_unique<Tables>()), strict_(strict_securities) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) throw ServiceError("reference folder not found: " + folder);
  Tables& t = *tables_;

  t.securities = read_table(fs::path(folder) / "securities.csv");
  if (t.securities) {
    const Frame& s = *t.securities;
    const Column& figi = need(s, "ID_BB_GLOBAL", "securities");
    const Column& tick = need(s, "TICKER", "securities");
    const Column& exch = need(s, "EXCH_CODE", "securities");
    const Column& sect = need(s, "MARKET_SECTOR_DES", "securities");
    auto des_i = find_ci(s, "PARSEKYABLE_DES");
    for (std::size_t i = 0; i < s.num_rows(); ++i) {
      if (auto f = cell(figi, i)) t.by_figi.emplace(*f, i);
      auto a = cell(tick, i), b = cell(exch, i), c = cell(sect, i);
      if (a && b && c) t.by_key.emplace(lower(*a + " " + *b + " " + *c), i);
      if (des_i >= 0)
        if (auto d = cell(s.column_at(static_cast<std::size_t>(des_i)), i)) t.by_key.emplace(lower(*d), i);
    }
  }

  if (auto p = read_table(fs::path(folder) / "prices.csv")) {
    t.has_prices = true;
    const Column& id = need(*p, "ID", "prices");
    const Column& date = need(*p, "DATE", "prices");
    const Column& px = need(*p, "PX_LAST", "prices");
    for (std::size_t i = 0; i < p->num_rows(); ++i) {
      auto k = cell(id, i), d = cell(date, i);
      if (!k || !d) continue;
      t.prices[lower(*k)].push_back({parse_day(*d, "price date"), number_cell(px, i, "prices.csv")});
    }
    for (auto& [k, v] : t.prices)
      std::stable_sort(v.begin(), v.end(), [](const PricePoint& a, const PricePoint& b) { return a.day < b.day; });
  }

  if (auto c = read_table(fs::path(folder) / "calendar.csv")) {
    t.has_calendar = true;
    const Frame& f = *c;
    const Column& uni = need(f, "UNIVERSE", "calendar");
    const Column& id = need(f, "ID", "calendar");
    const Column& name = need(f, "EVENT_NAME", "calendar");
    const Column& tick = need(f, "TICKER", "calendar");
    const Column& rel = need(f, "RELEASE_DATE_TIME", "calendar");
    const Column& tz = need(f, "TIMEZONE", "calendar");
    const Column& act = need(f, "ACTUAL", "calendar");
    const Column& sur = need(f, "SURPRISE", "calendar");
    const Column& sub = need(f, "SUBTYPE", "calendar");
    const Column& rlv = need(f, "RELEVANCY", "calendar");
    for (std::size_t i = 0; i < f.num_rows(); ++i) {
      Event e;
      e.universe = cell(uni, i).value_or("");
      e.id = cell(id, i).value_or("");
      e.event_name = cell(name, i).value_or("");
      e.ticker = cell(tick, i).value_or("");
      auto r = cell(rel, i);
      if (!r) continue;
      auto ns = try_parse_datetime_ns(*r);
      if (!ns) throw ServiceError("invalid release time '" + *r + "' in calendar.csv");
      e.release_ns = *ns;
      e.timezone = cell(tz, i);
      e.actual = number_cell(act, i, "calendar.csv");
      e.surprise = number_cell(sur, i, "calendar.csv");
      e.subtype = cell(sub, i).value_or("");
      e.relevancy = cell(rlv, i).value_or("");
      t.events.push_back(std::move(e));
    }
  }
}

LocalService::~LocalService() = default;

namespace {

struct Ctx {
  const LocalService::Tables& t;
  bool strict;
  const Request* request;  // nullptr for query texts
};

std::vector<std::string> universe_keys(const Universe& u) {
  if (u.kind() == Universe::Kind::Other)
    throw ServiceError("unsupported universe " + u.text() + ": expected a security key or a list of keys");
  return u.keys();
}

Frame securities_field(const Ctx& c, const std::string& field, const std::string& out_name,
                       const std::vector<std::string>& keys) {
  if (!c.t.securities) throw ServiceError("no securities reference table");
  const Frame& s = *c.t.securities;
  auto col_i = find_ci(s, field);
  if (col_i < 0) throw ServiceError("unknown field '" + field + "'");
  const Column& col = s.column_at(static_cast<std::size_t>(col_i));
  std::vector<std::optional<std::string>> values;
  values.reserve(keys.size());
  for (const std::string& k : keys) {
    auto row = c.t.security(k);
    if (!row) {
      if (c.strict) throw ServiceError("unknown security '" + k + "'");
      values.emplace_back(std::nullopt);
      continue;
    }
    values.push_back(cell(col, *row));
  }
  Frame f;
  f.add_column(out_name, text_column(std::move(values)));
  f.set_index(id_index(keys));
  return f;
}

bool is_securities_field(const Ctx& c, const std::string& field) {
  return c.t.securities && find_ci(*c.t.securities, field) >= 0;
}

std::pair<std::int32_t, std::int32_t> range_param(const Params& params, const std::string& field) {
  const Param* d = params.find("dates");
  if (!d) throw ServiceError("field '" + field + "' needs dates=range(start, end)");
  if (!d->is_item() || d->item().kind() != Item::Kind::Range)
    throw ServiceError("dates of '" + field + "' must be a range, got " + d->text());
  const auto& v = d->item().values();
  return {parse_day(v[0], "range start"), parse_day(v[1], "range end")};
}

std::string text_param(const Params& params, const char* name, const char* fallback) {
  const Param* p = params.find(name);
  if (!p) return fallback;
  if (p->is_item() || !p->value().is_str())
    throw ServiceError(std::string("keyword '") + name + "' must be a text, got " + p->text());
  return p->value().as_str();
}

void check_keywords(const Params& params, const std::string& field, std::initializer_list<const char*> allowed) {
  for (const auto& [k, v] : params.items()) {
    bool ok = false;
    for (const char* a : allowed) ok = ok || k == a;
    if (!ok) throw ServiceError("unknown keyword '" + k + "' for field '" + field + "'");
  }
}

Frame px_last(const Ctx& c, const Item& item, const std::string& out_name, const std::vector<std::string>& keys) {
  check_keywords(item.params(), item.name(), {"dates"});
  auto [a, b] = range_param(item.params(), item.name());
  if (!c.t.has_prices) throw ServiceError("no prices reference table");
  std::vector<std::string> ids;
  std::vector<std::int32_t> days;
  std::vector<double> px;
  for (const std::string& k : keys) {
    auto it = c.t.prices.find(lower(k));
    if (it == c.t.prices.end() && c.t.securities) {
      // Also by the security's parsekey when the key is a FIGI.
      if (auto row = c.t.security(k)) {
        const Frame& s = *c.t.securities;
        auto t = cell(need(s, "TICKER", "securities"), *row), e = cell(need(s, "EXCH_CODE", "securities"), *row),
             m = cell(need(s, "MARKET_SECTOR_DES", "securities"), *row);
        if (t && e && m) it = c.t.prices.find(lower(*t + " " + *e + " " + *m));
      }
    }
    if (it == c.t.prices.end()) throw ServiceError("no price series for security '" + k + "'");
    for (const PricePoint& p : it->second)
      if (p.day >= a && p.day <= b) {
        ids.push_back(k);
        days.push_back(p.day);
        px.push_back(p.px);
      }
  }
  Frame f;
  f.add_column("DATE", Column::dates(std::move(days)));
  f.add_column(out_name, Column::floats(std::move(px)));
  f.set_index(id_index(std::move(ids)));
  return f;
}

Frame calendar(const Ctx& c, const Item& item, const std::string& out_name, const std::vector<std::string>& keys) {
  check_keywords(item.params(), item.name(), {"dates", "subtype", "relevancy", "view"});
  auto [a, b] = range_param(item.params(), item.name());
  std::string subtype = text_param(item.params(), "subtype", "all");
  std::string relevancy = text_param(item.params(), "relevancy", "medium");
  std::string view = text_param(item.params(), "view", "standard");
  int min_rank = lower(relevancy) == "all" ? -1 : relevancy_rank(relevancy);
  if (min_rank < 0 && lower(relevancy) != "all") throw ServiceError("invalid relevancy '" + relevancy + "'");
  bool extended = lower(view) == "extended";
  if (!c.t.has_calendar) throw ServiceError("no calendar reference table");

  std::vector<std::string> addcols;
  if (c.request)
    if (const Value* ac = c.request->preferences().find("addcols")) {
      if (!ac->is_list()) throw ServiceError("preference addcols must be a list");
      for (const Value& v : ac->as_list()) {
        std::string n = v.is_str() ? lower(v.as_str()) : "";
        if (n != "surprise" && n != "subtype") throw ServiceError("unknown column in addcols: " + v.repr());
        addcols.push_back(n);
      }
    }

  std::vector<std::string> ids, names, tickers, rels, tzs, subs;
  std::vector<std::uint8_t> tz_valid;
  std::vector<std::int32_t> days;
  std::vector<std::int64_t> release;
  std::vector<double> actual, surprise;
  for (const std::string& k : keys) {
    std::string lk = lower(k);
    bool known = false;
    for (const Event& e : c.t.events) {
      if (lower(e.universe) != lk && lower(e.id) != lk) continue;
      known = true;
      std::int32_t day = date_of_ns(e.release_ns).days;
      if (day < a || day > b) continue;
      if (lower(subtype) != "all" && lower(e.subtype) != lower(subtype)) continue;
      if (min_rank >= 0 && std::max(relevancy_rank(e.relevancy), 0) < min_rank) continue;
      ids.push_back(k);
      days.push_back(day);
      names.push_back(e.event_name);
      tickers.push_back(e.ticker);
      rels.push_back(e.relevancy);
      release.push_back(e.release_ns);
      actual.push_back(e.actual);
      tzs.push_back(e.timezone.value_or(""));
      tz_valid.push_back(e.timezone ? 1 : 0);
      surprise.push_back(e.surprise);
      subs.push_back(e.subtype);
    }
    if (!known) throw ServiceError("unknown security '" + k + "' for field 'calendar'");
  }
  Frame f;
  f.add_column("DATE", Column::dates(std::move(days)));
  f.add_column(out_name, Column::texts(names));
  f.add_column("EVENT_NAME", Column::texts(std::move(names)));
  f.add_column("TICKER", Column::texts(std::move(tickers)));
  f.add_column("RELEVANCY", Column::texts(std::move(rels)));
  f.add_column("RELEASE_DATE_TIME", Column::timestamps(std::move(release)));
  f.add_column("ACTUAL", Column::floats(std::move(actual)));
  if (extended) {
    bool all = std::all_of(tz_valid.begin(), tz_valid.end(), [](std::uint8_t v) { return v == 1; });
    f.add_column("TIMEZONE", Column::texts(std::move(tzs), all ? std::vector<std::uint8_t>{} : std::move(tz_valid)));
  }
  for (const std::string& n : addcols) {
    if (n == "surprise") f.add_column("SURPRISE", Column::floats(surprise));
    else f.add_column("SUBTYPE", Column::texts(subs));
  }
  f.set_index(id_index(std::move(ids)));
  return f;
}

std::vector<std::size_t> rows_where(const Frame& f, const std::function<bool(std::size_t)>& keep) {
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < f.num_rows(); ++i)
    if (keep(i)) rows.push_back(i);
  return rows;
}

Frame evaluate(const Ctx& c, const Item& item, const std::string& out_name, const std::vector<std::string>& keys) {
  switch (item.kind()) {
    case Item::Kind::Field: {
      std::string l = lower(item.name());
      if (l == "px_last") return px_last(c, item, out_name, keys);
      if (l == "calendar") return calendar(c, item, out_name, keys);
      if (is_securities_field(c, item.name())) {
        check_keywords(item.params(), item.name(), {});
        return securities_field(c, item.name(), out_name, keys);
      }
      throw ServiceError("unknown field '" + item.name() + "'");
    }
    case Item::Kind::Operation: {
      if (item.name() != "droppe") throw ServiceError("unknown item operation '" + item.name() + "'");
      Frame f = evaluate(c, item.args()[0], out_name, keys);
      // Drops the rows whose item value is missing.
      const Column& v = f.column(out_name);
      return f.take(rows_where(f, [&](std::size_t i) { return !v.is_missing(i); }));
    }
    case Item::Kind::Matches: {
      const Item& test = item.args()[1];
      if (test.kind() != Item::Kind::In || test.args()[0].kind() != Item::Kind::Column)
        throw ServiceError("matches needs a test column.in_(list), got " + test.text());
      Frame f = evaluate(c, item.args()[0], out_name, keys);
      const std::string& col_name = test.args()[0].name();
      auto ci = find_ci(f, col_name);
      if (ci < 0) throw ServiceError("unknown column '" + col_name + "' of " + item.args()[0].text());
      const Column& col = f.column_at(static_cast<std::size_t>(ci));
      std::vector<std::string> wanted = test.values();
      std::sort(wanted.begin(), wanted.end());
      return f.take(rows_where(f, [&](std::size_t i) {
        return !col.is_missing(i) && std::binary_search(wanted.begin(), wanted.end(), col.cell_text(i));
      }));
    }
    default:
      throw ServiceError("not a data item: " + item.text());
  }
}

// A Python string literal at q[i] (single or double quotes, backslash
// escapes as python_str_repr writes them); i moves past it.
std::optional<std::string> python_str_literal(const std::string& q, std::size_t& i) {
  if (i >= q.size() || (q[i] != '\'' && q[i] != '"')) return std::nullopt;
  const char quote = q[i];
  std::string out;
  auto hex = [&](std::size_t at, int n, std::uint32_t& v) {
    v = 0;
    if (at + static_cast<std::size_t>(n) > q.size()) return false;
    for (int k = 0; k < n; ++k) {
      const char c = q[at + static_cast<std::size_t>(k)];
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return true;
  };
  for (std::size_t p = i + 1; p < q.size();) {
    const char c = q[p];
    if (c == quote) {
      i = p + 1;
      return out;
    }
    if (c != '\\') {
      out += c;
      ++p;
      continue;
    }
    if (p + 1 >= q.size()) return std::nullopt;
    const char e = q[p + 1];
    p += 2;
    std::uint32_t cp = 0;
    int n = 0;
    switch (e) {
      case '\\': case '\'': case '"': out += e; continue;
      case 'n': out += '\n'; continue;
      case 'r': out += '\r'; continue;
      case 't': out += '\t'; continue;
      case 'x': n = 2; break;
      case 'u': n = 4; break;
      case 'U': n = 8; break;
      default: return std::nullopt;
    }
    if (!hex(p, n, cp) || cp > 0x10FFFF) return std::nullopt;
    p += static_cast<std::size_t>(n);
    if (cp >= 0xDC80 && cp <= 0xDCFF) {
      out += static_cast<char>(cp - 0xDC00);  // a byte that was not UTF-8
    } else {
      text::append_utf8(out, cp);
    }
  }
  return std::nullopt;
}

// Parses "get(F1, F2) for(['K1', "K'2"])".
bool parse_query(const std::string& q, std::vector<std::string>& fields, std::vector<std::string>& keys) {
  std::size_t i = 0;
  auto ws = [&] {
    while (i < q.size() && std::isspace(static_cast<unsigned char>(q[i]))) ++i;
  };
  auto lit = [&](const char* s) {
    ws();
    std::size_t n = std::char_traits<char>::length(s);
    if (q.compare(i, n, s) != 0) return false;
    i += n;
    return true;
  };
  if (!lit("get") || !lit("(")) return false;
  for (;;) {
    ws();
    std::size_t b = i;
    while (i < q.size() && (std::isalnum(static_cast<unsigned char>(q[i])) || q[i] == '_')) ++i;
    if (i == b) return false;
    fields.push_back(q.substr(b, i - b));
    if (lit(")")) break;
    if (!lit(",")) return false;
  }
  if (!lit("for") || !lit("(") || !lit("[")) return false;
  ws();
  if (!lit("]")) {
    for (;;) {
      ws();
      auto key = python_str_literal(q, i);
      if (!key) return false;
      keys.push_back(std::move(*key));
      if (lit("]")) break;
      if (!lit(",")) return false;
    }
  }
  if (!lit(")")) return false;
  ws();
  return i == q.size();
}

}  // namespace

Results LocalService::execute(const Request& request) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(request.text());
    requests_.push_back(request);
  }
  for (const auto& [k, v] : request.preferences().items())
    if (k != "addcols") throw ServiceError("unknown preference '" + k + "'");
  Ctx c{*tables_, strict_, &request};
  std::vector<std::string> keys = universe_keys(request.universe());
  std::vector<Result> out;
  for (const auto& [name, item] : request.items()) out.emplace_back(name, evaluate(c, item, name, keys));
  return Results(std::move(out));
}

Results LocalService::execute(const std::string& query) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(query);
    queries_.push_back(query);
  }
  std::vector<std::string> fields, keys;
  if (!parse_query(query, fields, keys)) throw ServiceError("cannot parse query: " + query);
  Ctx c{*tables_, strict_, nullptr};
  std::vector<Result> out;
  for (const std::string& f : fields) {
    if (!is_securities_field(c, f)) throw ServiceError("unknown field '" + f + "'");
    out.emplace_back(f, securities_field(c, f, f, keys));
  }
  return Results(std::move(out));
}

std::vector<std::string> LocalService::calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

std::vector<std::string> LocalService::queries() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queries_;
}

std::vector<Request> LocalService::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::size_t LocalService::call_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_.size();
}

void LocalService::clear_log() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.clear();
  queries_.clear();
  requests_.clear();
}

std::string sample_folder() {
  return detail::locate_sample_folder("QUORIN_BQL_SAMPLE", "bql_sample", reinterpret_cast<const void*>(&sample_folder));
}

}  // namespace quorin_data::from_bqia::bql
