// Value: the dynamic value of the library (arguments that accept several
// kinds, results of "pickle" reads, extra keywords). Kwargs: ordered extra
// keyword arguments.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/frame.hpp"

namespace quorin_data {

// An in-memory byte buffer with a read position (an "io.BytesIO"), or plain
// immutable bytes when `is_buffer` is false.
struct Bytes {
  std::vector<std::uint8_t> data;
  std::size_t pos = 0;
  bool is_buffer = true;
  friend bool operator==(const Bytes& a, const Bytes& b) {
    return a.data == b.data && a.pos == b.pos && a.is_buffer == b.is_buffer;
  }
};

class Value;
using List = std::vector<Value>;
using Dict = std::vector<std::pair<Value, Value>>;  // insertion-ordered

class Value {
 public:
  using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string,
                               std::shared_ptr<Bytes>, std::shared_ptr<List>,
                               std::shared_ptr<Dict>, Date, Timestamp, std::shared_ptr<Frame>,
                               std::shared_ptr<Series>>;

  Value() = default;  // none
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}
  Value(long i) : v_(static_cast<std::int64_t>(i)) {}
  Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(Bytes b) : v_(std::make_shared<Bytes>(std::move(b))) {}
  Value(List l) : v_(std::make_shared<List>(std::move(l))) {}
  Value(Dict d) : v_(std::make_shared<Dict>(std::move(d))) {}
  Value(Date d) : v_(d) {}
  Value(Timestamp t) : v_(std::move(t)) {}
  Value(Frame f) : v_(std::make_shared<Frame>(std::move(f))) {}
  Value(Series s) : v_(std::make_shared<Series>(std::move(s))) {}

  // Shares (does not copy) the buffer: writes through one handle are seen by
  // the other, as with a buffer object passed around by reference.
  static Value shared_bytes(std::shared_ptr<Bytes> b);

  bool is_none() const noexcept { return std::holds_alternative<std::monostate>(v_); }
  bool is_bool() const noexcept { return std::holds_alternative<bool>(v_); }
  bool is_int() const noexcept { return std::holds_alternative<std::int64_t>(v_); }
  bool is_float() const noexcept { return std::holds_alternative<double>(v_); }
  bool is_number() const noexcept { return is_int() || is_float() || is_bool(); }
  bool is_str() const noexcept { return std::holds_alternative<std::string>(v_); }
  bool is_bytes() const noexcept { return std::holds_alternative<std::shared_ptr<Bytes>>(v_); }
  bool is_buffer() const noexcept { return is_bytes() && as_bytes().is_buffer; }
  bool is_list() const noexcept { return std::holds_alternative<std::shared_ptr<List>>(v_); }
  bool is_dict() const noexcept { return std::holds_alternative<std::shared_ptr<Dict>>(v_); }
  bool is_date() const noexcept { return std::holds_alternative<Date>(v_); }
  bool is_timestamp() const noexcept { return std::holds_alternative<Timestamp>(v_); }
  bool is_frame() const noexcept { return std::holds_alternative<std::shared_ptr<Frame>>(v_); }
  bool is_series() const noexcept { return std::holds_alternative<std::shared_ptr<Series>>(v_); }

  bool as_bool() const { return get<bool>("bool"); }
  std::int64_t as_int() const { return get<std::int64_t>("int"); }
  double as_float() const { return get<double>("float"); }
  // int, float or bool as a double.
  double as_number() const;
  const std::string& as_str() const { return get<std::string>("str"); }
  const Bytes& as_bytes() const { return *get<std::shared_ptr<Bytes>>("bytes"); }
  Bytes& as_bytes() { return *get_mut<std::shared_ptr<Bytes>>("bytes"); }
  std::shared_ptr<Bytes> bytes_ptr() const { return get<std::shared_ptr<Bytes>>("bytes"); }
  const List& as_list() const { return *get<std::shared_ptr<List>>("list"); }
  const Dict& as_dict() const { return *get<std::shared_ptr<Dict>>("dict"); }
  Date as_date() const { return get<Date>("date"); }
  const Timestamp& as_timestamp() const { return get<Timestamp>("Timestamp"); }
  const Frame& as_frame() const { return *get<std::shared_ptr<Frame>>("DataFrame"); }
  std::shared_ptr<Frame> frame_ptr() const { return get<std::shared_ptr<Frame>>("DataFrame"); }
  const Series& as_series() const { return *get<std::shared_ptr<Series>>("Series"); }

  // The truth value of the value (none, false, 0, 0.0, "", empty containers
  // and empty tables are false).
  bool truthy() const;

  // Python-style type name, used in the argument-type message: "NoneType",
  // "bool", "int", "float", "str", "BytesIO", "bytes", "list", "dict", "date",
  // "Timestamp", "DataFrame", "Series".
  std::string type_name() const;

  // A short readable rendering (for messages and printing); texts as
  // python_str_repr renders them.
  std::string repr() const;

  const Storage& storage() const noexcept { return v_; }

  // Deep equality (contents, not identity).
  friend bool operator==(const Value& a, const Value& b);

 private:
  template <class T>
  const T& get(const char* what) const;
  template <class T>
  T& get_mut(const char* what);
  Storage v_;
};

template <class T>
const T& Value::get(const char* what) const {
  if (auto* p = std::get_if<T>(&v_)) return *p;
  throw TypeError(std::string("expected ") + what + ", got " + type_name());
}

template <class T>
T& Value::get_mut(const char* what) {
  if (auto* p = std::get_if<T>(&v_)) return *p;
  throw TypeError(std::string("expected ") + what + ", got " + type_name());
}

// The texts of a list of texts (or of one text, taken as a list of one, when
// `single_ok`); the argument-type error naming `arg` for anything else.
std::vector<std::string> text_list(const Value& v, const char* arg, bool single_ok = false);

// A text as Python writes a str inside a list repr: in single quotes, or in
// double quotes when it holds a single quote and no double quote; backslash,
// the quote in use, \n \r \t and unprintable characters escaped (\xhh,
// \uhhhh, \Uhhhhhhhh), bytes that are not UTF-8 as \udcXX. Query texts
// render their universes this way.
std::string python_str_repr(std::string_view text);

// Extra keyword arguments, in the order given.
class Kwargs {
 public:
  Kwargs() = default;
  Kwargs(std::initializer_list<std::pair<std::string, Value>> items);

  bool contains(const std::string& name) const noexcept;
  // Pointer to the value or nullptr.
  const Value* find(const std::string& name) const noexcept;
  // Sets (replacing an existing entry in place, else appending).
  void set(const std::string& name, Value v);
  // Removes and returns the entry, if present.
  std::optional<Value> pop(const std::string& name);
  bool empty() const noexcept { return items_.empty(); }
  std::size_t size() const noexcept { return items_.size(); }
  const std::vector<std::pair<std::string, Value>>& items() const noexcept { return items_; }

  friend bool operator==(const Kwargs& a, const Kwargs& b) { return a.items_ == b.items_; }

 private:
  std::vector<std::pair<std::string, Value>> items_;
};

}  // namespace quorin_data
