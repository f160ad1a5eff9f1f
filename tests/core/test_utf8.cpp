#include <gtest/gtest.h>

#include <string>

#include "quorin_data/core/text.hpp"

using namespace quorin_data;

namespace {

std::string encoded(std::uint32_t cp) {
  std::string s;
  EXPECT_TRUE(text::append_utf8(s, cp)) << std::hex << cp;
  return s;
}

}  // namespace

TEST(Utf8, EncodesAndDecodesAtEveryLengthBoundary) {
  using namespace std::string_view_literals;
  struct Case {
    std::uint32_t cp;
    std::string_view bytes;
  };
  const Case cases[] = {{0x00, "\0"sv},         {0x7F, "\x7F"sv},         {0x80, "\xC2\x80"sv},
                        {0x7FF, "\xDF\xBF"sv},   {0x800, "\xE0\xA0\x80"sv},  {0xFFFF, "\xEF\xBF\xBF"sv},
                        {0x10000, "\xF0\x90\x80\x80"sv}, {0x10FFFF, "\xF4\x8F\xBF\xBF"sv}};
  for (const auto& c : cases) {
    const std::string got = encoded(c.cp);
    EXPECT_EQ(got, c.bytes) << std::hex << c.cp;
    std::size_t i = 0;
    const auto back = text::utf8_at(got, i);
    ASSERT_TRUE(back.has_value()) << std::hex << c.cp;
    EXPECT_EQ(*back, c.cp);
    EXPECT_EQ(i, got.size());
    EXPECT_TRUE(text::valid_utf8("a" + got + "b"));
  }
  // Surrogates keep their three-byte form, which no decoder accepts back;
  // beyond U+10FFFF nothing is written.
  EXPECT_EQ(encoded(0xD800), "\xED\xA0\x80");
  EXPECT_EQ(encoded(0xDFFF), "\xED\xBF\xBF");
  std::string s = "x";
  EXPECT_FALSE(text::append_utf8(s, 0x110000));
  EXPECT_FALSE(text::append_utf8(s, 0xFFFFFFFF));
  EXPECT_EQ(s, "x");
}

TEST(Utf8, RefusesMalformedSequencesWithoutMoving) {
  const char* bad[] = {
      "\x80",              // stray continuation byte
      "\xC0\x80",          // overlong NUL
      "\xC1\xBF",          // overlong 0x7F
      "\xE0\x9F\xBF",      // overlong 0x7FF
      "\xF0\x8F\xBF\xBF",  // overlong 0xFFFF
      "\xED\xA0\x80",      // surrogate D800
      "\xED\xBF\xBF",      // surrogate DFFF
      "\xF4\x90\x80\x80",  // 0x110000
      "\xF5\x80\x80\x80",  // lead byte past the range
      "\xE2\x82",          // cut short
      "\xE2\x28\xA1",      // second byte not a continuation
  };
  for (const char* b : bad) {
    const std::string s(b);
    std::size_t i = 0;
    EXPECT_FALSE(text::utf8_at(s, i).has_value()) << s.size();
    EXPECT_EQ(i, 0u);
    EXPECT_FALSE(text::valid_utf8("ok" + s));
  }
  EXPECT_TRUE(text::valid_utf8(""));
  EXPECT_TRUE(text::valid_utf8("\xE2\x82\xAC 12"));
}
