#pragma once
// Small ASCII text helpers shared across the library. Case folding is ASCII
// only: every name compared this way (headers, extensions, table and field
// names) is ASCII, and locale-dependent folding would make results depend
// on the process locale.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorin_data/core/value.hpp"

namespace quorin_data::text {

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
inline char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string lower(std::string s) {
  for (char& c : s) c = lower(c);
  return s;
}

inline std::string upper(std::string s) {
  for (char& c : s) c = upper(c);
  return s;
}

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Without leading and trailing ASCII white space.
inline std::string trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

inline bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

inline bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Suffix match ignoring ASCII case ("x.CSV.GZ" ends with ".gz").
inline bool iends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && iequals(s.substr(s.size() - suffix.size()), suffix);
}

// Appends the UTF-8 bytes of code point cp. Surrogates get their three-byte
// form: callers that must produce valid UTF-8 replace them first. Returns
// false, appending nothing, for cp beyond U+10FFFF.
bool append_utf8(std::string& out, std::uint32_t cp);

// The code point of the UTF-8 sequence at s[i], advancing i past it; nothing
// (i unchanged) when s[i] does not start a valid sequence: a stray
// continuation byte, a truncated or overlong sequence, a surrogate or a code
// point beyond U+10FFFF.
std::optional<std::uint32_t> utf8_at(std::string_view s, std::size_t& i);

// Whether every byte sequence of s is valid UTF-8.
bool valid_utf8(std::string_view s);

// A list of texts as Python prints one: ['a', "b'c"].
inline std::string python_list_repr(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += python_str_repr(items[i]);
  }
  return out + "]";
}

}  // namespace quorin_data::text
