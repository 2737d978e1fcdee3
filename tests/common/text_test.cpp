#include "engine/common/text.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

TEST(Utf8, PrefixNeverSplitsACharacter) {
  const std::string s = "h\xC3\xA9llo \xE2\x82\xAC";  // "héllo €"
  EXPECT_EQ(Utf8Prefix(s, 1), "h");
  EXPECT_EQ(Utf8Prefix(s, 2), "h");  // é takes two bytes
  EXPECT_EQ(Utf8Prefix(s, 3), "h\xC3\xA9");
  EXPECT_EQ(Utf8Prefix(s, 9), "h\xC3\xA9llo ");  // € takes three
  EXPECT_EQ(Utf8Prefix(s, 100), s);
  // Bytes that are not UTF-8 are cut like 8-bit text.
  EXPECT_EQ(Utf8Prefix("ab\xFF\xFE", 3), "ab\xFF");
}

TEST(Utf8, LengthsAndOffsetsCountCharacters) {
  const std::string s = "h\xC3\xA9llo";
  EXPECT_EQ(Utf8Length(s), 5u);
  EXPECT_EQ(Utf8Offset(s, 2), 3u);
  EXPECT_EQ(Utf8Length("\xFF\xFF"), 2u);
}

TEST(Utf8, Utf16RoundTrip) {
  const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  const std::u16string w = Utf8ToUtf16(s);
  EXPECT_EQ(w.size(), 5u);  // the emoji is a surrogate pair
  EXPECT_EQ(Utf16ToUtf8(w), s);
}

TEST(Ascii, CaseHelpers) {
  EXPECT_EQ(AsciiUpperCase("Select x"), "SELECT X");
  EXPECT_TRUE(SameTextAscii("IdRes", "IDRES"));
  EXPECT_FALSE(SameTextAscii("IdRes", "IdRe"));
}

}  // namespace
}  // namespace kestro
