#include "quorin_data/core/value.hpp"

#include <cstdio>
#include <optional>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data {

Value Value::shared_bytes(std::shared_ptr<Bytes> b) {
  Value v;
  v.v_ = std::move(b);
  return v;
}

double Value::as_number() const {
  if (is_float()) return std::get<double>(v_);
  if (is_int()) return static_cast<double>(std::get<std::int64_t>(v_));
  if (is_bool()) return std::get<bool>(v_) ? 1.0 : 0.0;
  throw TypeError("expected a number, got " + type_name());
}

bool Value::truthy() const {
  return std::visit(
      [](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) return false;
        else if constexpr (std::is_same_v<T, bool>) return x;
        else if constexpr (std::is_same_v<T, std::int64_t>) return x != 0;
        else if constexpr (std::is_same_v<T, double>) return x != 0.0;
        else if constexpr (std::is_same_v<T, std::string>) return !x.empty();
        else if constexpr (std::is_same_v<T, std::shared_ptr<Bytes>>) return x->is_buffer || !x->data.empty();
        else if constexpr (std::is_same_v<T, std::shared_ptr<List>>) return !x->empty();
        else if constexpr (std::is_same_v<T, std::shared_ptr<Dict>>) return !x->empty();
        else if constexpr (std::is_same_v<T, std::shared_ptr<Frame>>)
          throw ValueError("The truth value of a DataFrame is ambiguous.");
        else if constexpr (std::is_same_v<T, std::shared_ptr<Series>>)
          throw ValueError("The truth value of a Series is ambiguous.");
        else return true;
      },
      v_);
}

std::string Value::type_name() const {
  switch (v_.index()) {
    case 0: return "NoneType";
    case 1: return "bool";
    case 2: return "int";
    case 3: return "float";
    case 4: return "str";
    case 5: return std::get<std::shared_ptr<Bytes>>(v_)->is_buffer ? "BytesIO" : "bytes";
    case 6: return "list";
    case 7: return "dict";
    case 8: return "date";
    case 9: return "Timestamp";
    case 10: return "DataFrame";
    case 11: return "Series";
  }
  return "object";
}

namespace {

// Code points that Python's str.isprintable() calls non-printable beyond the
// ASCII controls: C1 controls, separators other than the space, format characters.
bool unprintable(std::uint32_t cp) {
  return (cp >= 0x80 && cp <= 0xA0) || cp == 0xAD || (cp >= 0x2000 && cp <= 0x200F) ||
         (cp >= 0x2028 && cp <= 0x202F) || (cp >= 0x205F && cp <= 0x2064) || (cp >= 0x2066 && cp <= 0x206F) ||
         cp == 0x3000 || cp == 0xFEFF || (cp >= 0xFFF9 && cp <= 0xFFFB) || (cp >= 0xD800 && cp <= 0xDFFF) ||
         cp == 0x061C || cp == 0x180E || cp == 0x1680;
}

}  // namespace

std::string python_str_repr(std::string_view s) {
  const bool single = s.find('\'') == std::string_view::npos || s.find('"') != std::string_view::npos;
  const char q = single ? '\'' : '"';
  std::string out(1, q);
  char buf[16];
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      if (c == '\\' || c == static_cast<unsigned char>(q)) {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c < 0x20 || c == 0x7F) {
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
      } else {
        out += static_cast<char>(c);
      }
      continue;
    }
    const std::size_t start = i;
    const auto cp = text::utf8_at(s, i);
    if (!cp) {
      // A byte that is not UTF-8, as Python shows it after decoding with
      // surrogateescape.
      std::snprintf(buf, sizeof buf, "\\udc%02x", c);
      out += buf;
      ++i;
    } else if (unprintable(*cp)) {
      std::snprintf(buf, sizeof buf, *cp <= 0xFF ? "\\x%02x" : *cp <= 0xFFFF ? "\\u%04x" : "\\U%08x", *cp);
      out += buf;
    } else {
      out.append(s.substr(start, i - start));
    }
  }
  return out + q;
}

std::string Value::repr() const {
  switch (v_.index()) {
    case 0: return "None";
    case 1: return std::get<bool>(v_) ? "True" : "False";
    case 2: return std::to_string(std::get<std::int64_t>(v_));
    case 3: return format_double(std::get<double>(v_));
    case 4: return python_str_repr(std::get<std::string>(v_));
    case 5: {
      std::string s = "<";
      s += type_name();
      s += " of ";
      s += std::to_string(as_bytes().data.size());
      s += " bytes>";
      return s;
    }
    case 6: {
      std::string s = "[";
      const auto& l = as_list();
      for (std::size_t i = 0; i < l.size(); ++i) s += (i ? ", " : "") + l[i].repr();
      return s + "]";
    }
    case 7: {
      std::string s = "{";
      const auto& d = as_dict();
      for (std::size_t i = 0; i < d.size(); ++i)
        s += (i ? ", " : "") + d[i].first.repr() + ": " + d[i].second.repr();
      return s + "}";
    }
    case 8: return format_iso_date(as_date());
    case 9: return format_timestamp_ns(as_timestamp().ns) + (as_timestamp().tz.empty() ? "" : " " + as_timestamp().tz);
    case 10:
      return "<DataFrame " + std::to_string(as_frame().num_rows()) + " rows x " +
             std::to_string(as_frame().num_columns()) + " columns>";
    case 11: return "<Series " + as_series().name + " of " + std::to_string(as_series().size()) + ">";
  }
  return "?";
}

bool operator==(const Value& a, const Value& b) {
  if (a.v_.index() != b.v_.index()) return false;
  return std::visit(
      [&](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        const T& y = std::get<T>(b.v_);
        if constexpr (std::is_same_v<T, std::monostate>) return true;
        else if constexpr (std::is_same_v<T, double>) return x == y || (x != x && y != y);
        else if constexpr (std::is_same_v<T, std::shared_ptr<Bytes>> ||
                           std::is_same_v<T, std::shared_ptr<List>> ||
                           std::is_same_v<T, std::shared_ptr<Dict>> ||
                           std::is_same_v<T, std::shared_ptr<Frame>> ||
                           std::is_same_v<T, std::shared_ptr<Series>>)
          return x == y || *x == *y;
        else return x == y;
      },
      a.v_);
}

std::vector<std::string> text_list(const Value& v, const char* arg, bool single_ok) {
  if (single_ok && v.is_str()) return {v.as_str()};
  if (!v.is_list()) throw_argument_type(arg, "list", v.type_name());
  std::vector<std::string> out;
  out.reserve(v.as_list().size());
  for (const Value& e : v.as_list()) {
    if (!e.is_str()) throw_argument_type(arg, "list of str", "list of " + e.type_name());
    out.push_back(e.as_str());
  }
  return out;
}

Kwargs::Kwargs(std::initializer_list<std::pair<std::string, Value>> items) {
  for (const auto& [k, v] : items) set(k, v);
}

bool Kwargs::contains(const std::string& name) const noexcept { return find(name) != nullptr; }

const Value* Kwargs::find(const std::string& name) const noexcept {
  for (const auto& [k, v] : items_)
    if (k == name) return &v;
  return nullptr;
}

void Kwargs::set(const std::string& name, Value v) {
  for (auto& [k, old] : items_)
    if (k == name) {
      old = std::move(v);
      return;
    }
  items_.emplace_back(name, std::move(v));
}

std::optional<Value> Kwargs::pop(const std::string& name) {
  for (auto it = items_.begin(); it != items_.end(); ++it)
    if (it->first == name) {
      Value v = std::move(it->second);
      items_.erase(it);
      return v;
    }
  return std::nullopt;
}

}  // namespace quorin_data
