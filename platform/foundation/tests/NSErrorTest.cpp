#include <gtest/gtest.h>

#include "foundation/NSError.h"

using foundation::NSError;

TEST(NSError, LocalizedDescriptionComesFromUserInfoOrTheGenericText) {
  auto plain = NSError::create("SomeDomain", 7);
  EXPECT_EQ(plain->localizedDescription(),
            "The operation couldn\u2019t be completed. (SomeDomain error 7.)");
  EXPECT_EQ(plain->underlyingError(), nullptr);

  auto underlying = NSError::create(std::string(foundation::NSPOSIXErrorDomain), 2);
  auto error = NSError::create("Outer", 1, "Could not open the file", underlying);
  EXPECT_EQ(error->domain(), "Outer");
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Could not open the file");
  EXPECT_EQ(error->underlyingError(), underlying);
  EXPECT_EQ(error->description(), "Error Domain=Outer Code=1 \"Could not open the file\"");
}

TEST(NSError, SetErrorWritesOnlyWhenAsked) {
  std::shared_ptr<NSError> out;
  foundation::setError(&out, NSError::create("D", 3));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->code(), 3);
  foundation::setError(nullptr, NSError::create("D", 4));  // must not crash
}
