#include "quorin_data/core/text.hpp"

namespace quorin_data::text {

bool append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp <= 0x10FFFF) {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    return false;
  }
  return true;
}

std::optional<std::uint32_t> utf8_at(std::string_view s, std::size_t& i) {
  if (i >= s.size()) return std::nullopt;
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) {
    ++i;
    return b;
  }
  // Lead bytes C0, C1 and F5..FF can only start overlong or out-of-range
  // sequences.
  int n;
  if (b >= 0xC2 && b <= 0xDF) n = 1;
  else if (b >= 0xE0 && b <= 0xEF) n = 2;
  else if (b >= 0xF0 && b <= 0xF4) n = 3;
  else return std::nullopt;
  if (s.size() - i <= static_cast<std::size_t>(n)) return std::nullopt;
  std::uint32_t cp = b & (0x3F >> n);
  for (int k = 1; k <= n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((c & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (c & 0x3F);
  }
  static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
  if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  i += static_cast<std::size_t>(n) + 1;
  return cp;
}

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    // ASCII runs need no decoding.
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    if (!utf8_at(s, i)) return false;
  }
  return true;
}

}  // namespace quorin_data::text
