#include <gtest/gtest.h>

#include "foundation/Base64.h"

using foundation::base64Decode;
using foundation::base64Encode;
using foundation::Data;

TEST(Base64, EncodesTheStandardVectors) {
  EXPECT_EQ(base64Encode(std::string_view("")), "");
  EXPECT_EQ(base64Encode(std::string_view("f")), "Zg==");
  EXPECT_EQ(base64Encode(std::string_view("fo")), "Zm8=");
  EXPECT_EQ(base64Encode(std::string_view("foo")), "Zm9v");
  EXPECT_EQ(base64Encode(std::string_view("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64Encode(Data{0xFB, 0xFF}), "+/8=");
}

TEST(Base64, DecodeRoundTripsEveryLength) {
  Data bytes;
  for (int n = 0; n < 40; ++n) {
    auto decoded = base64Decode(base64Encode(bytes));
    ASSERT_TRUE(decoded.has_value()) << n;
    EXPECT_EQ(*decoded, bytes);
    bytes.push_back(static_cast<uint8_t>(n * 37 + 11));
  }
  EXPECT_EQ(base64Decode("Zm8"), foundation::dataFromString("fo"));  // padding may be left out
}

TEST(Base64, DecodeRefusesWhatNoEncoderWrites) {
  EXPECT_FALSE(base64Decode("Zm9v YmFy"));  // whitespace
  EXPECT_FALSE(base64Decode("Zm9v\n"));
  EXPECT_FALSE(base64Decode("Zm=9"));  // padding in the middle
  EXPECT_FALSE(base64Decode("Zg="));   // padded, but not to a multiple of 4
  EXPECT_FALSE(base64Decode("Z"));     // one char cannot hold a byte
  EXPECT_FALSE(base64Decode("Zh=="));  // non-zero leftover bits
  EXPECT_FALSE(base64Decode("not base64!"));
}
