#include <gtest/gtest.h>

#include <set>

#include "foundation/UUID.h"

using foundation::NSUUID;

TEST(UUID, RandomUUIDsAreVersion4UpperCaseAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string text = NSUUID().UUIDString();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
    for (char c : text) EXPECT_FALSE(c >= 'a' && c <= 'z') << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(UUID, ParsesEitherCaseAndRefusesOtherShapes) {
  auto parsed = NSUUID::fromString("0f8fad5b-d9cb-469f-a165-70867728950e");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->UUIDString(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
  EXPECT_EQ(NSUUID::fromString(parsed->UUIDString()), parsed);
  EXPECT_FALSE(NSUUID::fromString("0f8fad5bd9cb469fa16570867728950e"));
  EXPECT_FALSE(NSUUID::fromString("0f8fad5b-d9cb-469f-a165-70867728950g"));
  EXPECT_FALSE(NSUUID::fromString("0f8fad5b-d9cb-469f-a165-70867728950e0"));
  EXPECT_FALSE(NSUUID::fromString(""));
}
