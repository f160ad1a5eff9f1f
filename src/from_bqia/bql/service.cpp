// Items, universes, requests and results of the query service; batch
// execution; the provider registry of module-wide handles.
#include "quorin_data/from_bqia/bql.hpp"

namespace quorin_data::from_bqia::bql {

namespace {

// Texts in query texts are written as Python writes them, so a quote inside
// one cannot end it early.
std::string quoted(const std::string& s) { return python_str_repr(s); }

std::string list_text(const std::vector<std::string>& v) {
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    out += quoted(v[i]);
  }
  return out + "]";
}

std::string value_text(const Value& v) {
  if (v.is_str()) return quoted(v.as_str());
  if (v.is_list()) {
    std::string out = "[";
    const List& l = v.as_list();
    for (std::size_t i = 0; i < l.size(); ++i) {
      if (i) out += ", ";
      out += value_text(l[i]);
    }
    return out + "]";
  }
  return v.repr();
}

}  // namespace

// ------------------------------------------------------------------ Param

Param::Param(Item item) : v_(std::make_shared<const Item>(std::move(item))) {}

std::string Param::text() const { return is_item() ? item().text() : value_text(value()); }

bool operator==(const Param& a, const Param& b) {
  if (a.is_item() != b.is_item()) return false;
  return a.is_item() ? a.item() == b.item() : a.value() == b.value();
}

Params::Params(const Kwargs& kw) {
  for (const auto& [k, v] : kw.items()) items_.emplace_back(k, Param(v));
}

const Param* Params::find(const std::string& name) const noexcept {
  for (const auto& [k, v] : items_)
    if (k == name) return &v;
  return nullptr;
}

void Params::set(const std::string& name, Param p) {
  for (auto& [k, v] : items_)
    if (k == name) {
      v = std::move(p);
      return;
    }
  items_.emplace_back(name, std::move(p));
}

// ------------------------------------------------------------------- Item

Item Item::make_field(std::string name, Params params) {
  Item it;
  it.kind_ = Kind::Field;
  it.name_ = std::move(name);
  it.params_ = std::move(params);
  return it;
}

Item Item::make_range(std::string start, std::string end) {
  Item it;
  it.kind_ = Kind::Range;
  it.name_ = "range";
  it.values_ = {std::move(start), std::move(end)};
  return it;
}

Item Item::column(const std::string& name) const {
  Item it;
  it.kind_ = Kind::Column;
  it.name_ = name;
  it.args_ = {*this};
  return it;
}

Item Item::in_(std::vector<std::string> values) const {
  Item it;
  it.kind_ = Kind::In;
  it.name_ = "in";
  it.values_ = std::move(values);
  it.args_ = {*this};
  return it;
}

Item Item::in_(const Value& values) const { return in_(text_list(values, "values")); }

Item Item::matches(const Item& test) const {
  Item it;
  it.kind_ = Kind::Matches;
  it.name_ = "matches";
  it.args_ = {*this, test};
  return it;
}

Item Item::op(const std::string& operation) const {
  Item it;
  it.kind_ = Kind::Operation;
  it.name_ = operation;
  it.args_ = {*this};
  return it;
}

const Item& Item::base_field() const {
  const Item* it = this;
  while (it->kind_ != Kind::Field && it->kind_ != Kind::Range && !it->args_.empty())
    it = &it->args_.front();
  return *it;
}

std::string Item::text() const {
  switch (kind_) {
    case Kind::Field: {
      std::string out = "data." + name_ + "(";
      bool first = true;
      for (const auto& [k, p] : params_.items()) {
        if (!first) out += ", ";
        first = false;
        out += k + "=" + p.text();
      }
      return out + ")";
    }
    case Kind::Range:
      return "range(" + quoted(values_[0]) + ", " + quoted(values_[1]) + ")";
    case Kind::Column:
      return args_[0].text() + "[" + quoted(name_) + "]";
    case Kind::In:
      return args_[0].text() + ".in_(" + list_text(values_) + ")";
    case Kind::Matches:
      return args_[0].text() + ".matches(" + args_[1].text() + ")";
    case Kind::Operation:
      return args_[0].text() + "." + name_ + "()";
  }
  return {};
}

bool operator==(const Item& a, const Item& b) {
  return a.kind_ == b.kind_ && a.name_ == b.name_ && a.params_ == b.params_ &&
         a.values_ == b.values_ && a.args_ == b.args_;
}

// --------------------------------------------------------------- Universe

Universe::Universe(const Value& v) {
  if (v.is_str()) {
    kind_ = Kind::Key;
    keys_ = {v.as_str()};
    return;
  }
  if (v.is_list()) {
    bool all_text = true;
    for (const Value& e : v.as_list()) all_text = all_text && e.is_str();
    if (all_text) {
      kind_ = Kind::List;
      for (const Value& e : v.as_list()) keys_.push_back(e.as_str());
      return;
    }
  }
  kind_ = Kind::Other;
  value_ = v;
}

Universe Universe::list(std::vector<std::string> keys) {
  Universe u;
  u.kind_ = Kind::List;
  u.keys_ = std::move(keys);
  return u;
}

std::string Universe::text() const {
  switch (kind_) {
    case Kind::Key:
      return quoted(keys_[0]);
    case Kind::List:
      return list_text(keys_);
    case Kind::Other:
      return value_.repr();
  }
  return {};
}

bool operator==(const Universe& a, const Universe& b) {
  return a.kind_ == b.kind_ && a.keys_ == b.keys_ && a.value_ == b.value_;
}

Universe Service::Univ::list(const Value& keys) const {
  return Universe::list(text_list(keys, "list"));
}

// ---------------------------------------------------------------- Request

Request::Request(Universe universe, Item item, Kwargs preferences)
    : universe_(std::move(universe)), preferences_(std::move(preferences)) {
  std::string name = item.base_field().name();
  items_.emplace_back(std::move(name), std::move(item));
}

Request::Request(Universe universe, NamedItems items, Kwargs preferences)
    : universe_(std::move(universe)), items_(std::move(items)), preferences_(std::move(preferences)) {}

std::string Request::text() const {
  std::string out = "get(";
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (i) out += ", ";
    out += items_[i].first + "=" + items_[i].second.text();
  }
  out += ") for(" + universe_.text() + ")";
  if (!preferences_.empty()) {
    out += " with(";
    bool first = true;
    for (const auto& [k, v] : preferences_.items()) {
      if (!first) out += ", ";
      first = false;
      out += k + "=" + value_text(v);
    }
    out += ")";
  }
  return out;
}

bool operator==(const Request& a, const Request& b) {
  return a.universe_ == b.universe_ && a.items_ == b.items_ && a.preferences_ == b.preferences_;
}

// ---------------------------------------------------------------- Results

const Result& Results::operator[](std::size_t i) const {
  if (i >= results_.size()) throw IndexError("list index out of range");
  return results_[i];
}

const Result& Results::get(const std::string& name) const {
  for (const Result& r : results_)
    if (r.name() == name) return r;
  throw KeyError("'" + name + "'");
}

// ---------------------------------------------------------------- Service

namespace {
const char* kind_name(const std::exception& e) {
  if (dynamic_cast<const ServiceError*>(&e)) return "ServiceError";
  if (const auto* err = dynamic_cast<const Error*>(&e)) {
    switch (err->kind()) {
      case ErrorKind::Value: return "ValueError";
      case ErrorKind::Type: return "TypeError";
      case ErrorKind::Assertion: return "AssertionError";
      case ErrorKind::Name: return "NameError";
      case ErrorKind::Key: return "KeyError";
      case ErrorKind::Index: return "IndexError";
      default: return "Error";
    }
  }
  return "Exception";
}
}  // namespace

std::vector<Results> Service::execute_many(const std::vector<Request>& requests,
                                           const ErrorCallback& on_request_error) {
  std::vector<Results> out;
  out.reserve(requests.size());
  for (std::size_t i = 0; i < requests.size(); ++i) {
    try {
      out.push_back(execute(requests[i]));
    } catch (const std::exception& e) {
      if (!on_request_error) throw;
      on_request_error(List{Value(static_cast<std::int64_t>(i)), Value(kind_name(e)), Value(e.what())});
    }
  }
  return out;
}

// --------------------------------------------------------------- registry

ProviderRegistry<Service>& service_registry() {
  static ProviderRegistry<Service> r;
  return r;
}

void set_service_provider(ServiceProvider provider) { service_registry().replace(std::move(provider)); }

bool has_service_provider() { return service_registry().has(); }

std::shared_ptr<Service> open_service(const std::string& not_installed_warning) {
  return service_registry().open_or_warn(not_installed_warning);
}

Service& require_service(const std::shared_ptr<Service>& bq) {
  if (!bq) throw NameError("name 'bq' is not defined");
  return *bq;
}

}  // namespace quorin_data::from_bqia::bql
