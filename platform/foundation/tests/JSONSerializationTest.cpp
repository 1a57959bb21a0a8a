#include <gtest/gtest.h>

#include "foundation/JSONSerialization.h"

namespace {

using foundation::Data;
using foundation::dataFromString;
using foundation::JSONReadingOptions;
using foundation::JSONSerialization;
using foundation::NSError;

std::optional<nlohmann::json> read(std::string_view text, JSONReadingOptions options,
                                   std::shared_ptr<NSError>* error = nullptr) {
  return JSONSerialization::JSONObjectWithData(dataFromString(text), options, error);
}

TEST(JSONSerialization, ReadsArraysAndObjects) {
  auto value = read(R"({"a": [1, 2.5, "x", null, true]})", JSONReadingOptions{});
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["a"][0], 1);
  EXPECT_EQ((*value)["a"][1], 2.5);
  EXPECT_EQ((*value)["a"][2], "x");
  EXPECT_TRUE((*value)["a"][3].is_null());
  EXPECT_EQ(read("[]", foundation::JSONReadingMutableContainers), nlohmann::json::array());
}

TEST(JSONSerialization, FragmentsNeedTheirOption) {
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(read("42", JSONReadingOptions{}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(error->code(), 3840);
  EXPECT_EQ(read("42", foundation::JSONReadingFragmentsAllowed), nlohmann::json(42));
  EXPECT_EQ(read("\"text\"", foundation::JSONReadingFragmentsAllowed), nlohmann::json("text"));
}

TEST(JSONSerialization, MalformedEmptyAndNonUTF8InputFail) {
  for (const Data& data : {dataFromString("{\"a\": }"), dataFromString(""),
                           dataFromString("[1] [2]"), Data{'[', '"', 0xff, '"', ']'}}) {
    std::shared_ptr<NSError> error;
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData(
        data, foundation::JSONReadingFragmentsAllowed, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), foundation::NSPropertyListReadCorruptError);
    EXPECT_EQ(error->localizedDescription(),
              "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
  }
  // Without an error slot the failure is only the missing value.
  EXPECT_FALSE(read("nope", JSONReadingOptions{}, nullptr));
}

}  // namespace
