#include <gtest/gtest.h>

#include "foundation/UTF16.h"

using foundation::isValidUTF8;
using foundation::utf16Length;
using foundation::utf16Prefix;

TEST(UTF16, LengthCountsCodeUnits) {
  EXPECT_EQ(utf16Length(""), 0u);
  EXPECT_EQ(utf16Length("abc"), 3u);
  EXPECT_EQ(utf16Length("\xC3\xA9"), 1u);          // é
  EXPECT_EQ(utf16Length("\xE2\x82\xAC"), 1u);      // €
  EXPECT_EQ(utf16Length("\xF0\x9F\x98\x80"), 2u);  // an emoji: one surrogate pair
  EXPECT_EQ(utf16Length("a\xFF"
                        "b"),
            3u);  // a stray byte counts one unit
}

TEST(UTF16, PrefixNeverSplitsASurrogatePair) {
  const std::string emoji = "\xF0\x9F\x98\x80";
  EXPECT_EQ(utf16Prefix("abcdef", 3), "abc");
  EXPECT_EQ(utf16Prefix("ab", 5), "ab");
  EXPECT_EQ(utf16Prefix("ab" + emoji, 4), "ab" + emoji);
  // Three units would cut the pair in half: the whole character is left out.
  EXPECT_EQ(utf16Prefix("ab" + emoji + "c", 3), "ab");
  EXPECT_TRUE(isValidUTF8(utf16Prefix("ab" + emoji + "c", 3)));
  EXPECT_EQ(utf16Prefix("\xC3\xA9\xC3\xA9", 1), "\xC3\xA9");
}

TEST(UTF16, ValidUTF8RefusesMalformedSequences) {
  EXPECT_TRUE(isValidUTF8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(isValidUTF8("\xC0\x80"));          // overlong NUL
  EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));      // a lone surrogate
  EXPECT_FALSE(isValidUTF8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUTF8("\xE2\x82"));          // truncated
}
