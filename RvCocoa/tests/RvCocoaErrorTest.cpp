#include <gtest/gtest.h>

#include "InterceptionSupport.h"
#include "RvCocoa/RvCocoaError.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"

namespace rv::itest {
namespace {

using Kind = RvCocoaError::Kind;

TEST(RvCocoaError, DescriptionsQuoteThePayloadsExactly) {
  Ref<objc::Object> object = itest::makeObserver();
  const std::string d = objc::describe(object.get());
  EXPECT_EQ(RvCocoaError::invalidOperation(object).debugDescription(),
            "Invalid operation was attempted on `" + d + "`.");
  EXPECT_EQ(RvCocoaError::itemsNotYetBound(object).debugDescription(),
            "Data source is set, but items are not yet bound to user interface for `" + d + "`.");
  const std::string named = RvCocoaError::invalidPropertyName(object, "frame").debugDescription();
  EXPECT_EQ(named, "Object `" + d + "` doesn't have a property named `frame`.");
  EXPECT_EQ(named.substr(named.size() - 14), "named `frame`.");
  Ref<objc::Object> source = itest::makeObserver();
  EXPECT_EQ(RvCocoaError::invalidObjectOnKeyPath(object, source.get(), "size").debugDescription(),
            "Unobservable object `" + d + "` was observed as `size` of `" +
                objc::describe(source.get()) + "`.");
  EXPECT_EQ(RvCocoaError::unknown().debugDescription(), "Unknown error occurred.");
  EXPECT_EQ(RvCocoaError::errorDuringSwizzling().debugDescription(), "Error during swizzling.");

  // Any value, not only objects.
  EXPECT_EQ(RvCocoaError::invalidOperation(42).debugDescription(),
            "Invalid operation was attempted on `42`.");
  EXPECT_EQ(RvCocoaError::invalidOperation(Ref<objc::Object>()).debugDescription(),
            "Invalid operation was attempted on `nil`.");
}

TEST(RvCocoaError, CastingErrorEndsWithTheUnqualifiedTypeNameAndNoFullStop) {
  auto error = RvCocoaError::castingError<Ref<objc::NSString>>(std::string("text"));
  EXPECT_EQ(error.debugDescription(), "Error casting `text` to `NSString`");
  EXPECT_EQ(error.kind(), Kind::castingError);
  EXPECT_EQ(std::any_cast<std::string>(error.object()), "text");
  EXPECT_EQ(*error.targetType(), typeid(Ref<objc::NSString>));
  EXPECT_EQ(RvCocoaError::castingError<std::optional<objc::NSNumber*>>(1).targetTypeName(),
            "optional<NSNumber*>");
}

TEST(RvCocoaError, BridgedCodesArePositionsPayloadCasesFirst) {
  EXPECT_EQ(RvCocoaError::invalidOperation(1).toNSError()->code(), 0);
  EXPECT_EQ(RvCocoaError::castingError<int>(1).toNSError()->code(), 4);
  EXPECT_EQ(RvCocoaError::unknown().toNSError()->code(), 5);
  EXPECT_EQ(RvCocoaError::errorDuringSwizzling().toNSError()->code(), 6);
  EXPECT_EQ(RvCocoaError::unknown().toNSError()->domain(), "RvCocoa.RvCocoaError");
}

TEST(RvCocoaError, ConditionalCastsAcceptSubclassesAndBridgedValues) {
  Ref<objc::Object> text = objc::NSString::stringWithString("hello");
  Ref<objc::Object> seven = objc::NSNumber::numberWithInt(7);
  EXPECT_EQ(castOrThrow<Ref<objc::NSString>>(text), text);
  EXPECT_EQ(castOrThrow<Ref<objc::NSObject>>(text), text) << "a subclass";
  EXPECT_EQ(castOrThrow<std::string>(text), "hello");
  EXPECT_EQ(castOrThrow<int>(seven), 7);
  EXPECT_EQ(castOrThrow<double>(seven), 7.0);
  EXPECT_EQ(castOrThrow<int>(std::any(5)), 5);
  EXPECT_EQ(castOrThrow<std::string>(std::string("same")), "same");

  try {
    castOrThrow<Ref<objc::NSString>>(seven);
    ADD_FAILURE() << "no error";
  } catch (const RvCocoaError& error) {
    EXPECT_EQ(error.kind(), Kind::castingError);
    EXPECT_EQ(error.debugDescription(),
              "Error casting `" + objc::describe(seven.get()) + "` to `NSString`");
    EXPECT_EQ(std::any_cast<Ref<objc::Object>>(error.object()), seven);
  }
  EXPECT_THROW(castOrThrow<int>(Ref<objc::Object>()), RvCocoaError);
  EXPECT_THROW(castOrThrow<int>(std::any(std::string("no"))), RvCocoaError);
}

TEST(RvCocoaError, OptionalCastsLeaveAbsenceAlone) {
  EXPECT_EQ(castOptionalOrFatalError<Ref<objc::NSString>>(Ref<objc::Object>()), std::nullopt);
  EXPECT_EQ(castOptionalOrFatalError<int>(std::optional<std::string>()), std::nullopt)
      << "absent, although a string could never become an int";
  EXPECT_EQ(castOptionalOrFatalError<int>(std::optional<int>(3)), std::optional<int>(3));
  Ref<objc::Object> text = objc::NSString::stringWithString("x");
  EXPECT_EQ(*castOptionalOrFatalError<Ref<objc::NSString>>(text), text);
}

TEST(RvCocoaErrorDeathTest, FailedFatalCastStopsWithTheConversionMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      castOrFatalError<Ref<objc::NSString>>(Ref<objc::Object>(objc::NSNumber::numberWithInt(3))),
      "Fatal error: Failure converting from 3 to NSString: file RvCocoa/RvCocoa");
  EXPECT_DEATH(castOptionalOrFatalError<int>(std::optional<std::string>("a")),
               "Failure converting from a to int");
}

TEST(RvCocoaError, BindingErrorsArePrintedOnOneLine) {
  Error error = std::make_exception_ptr(RvCocoaError::unknown());
  ::testing::internal::CaptureStdout();
  printBindingError(error);
  printBindingError(error, "/src/Bind.cpp", 7);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Binding error: Unknown error occurred.\n"
            "/src/Bind.cpp:7: Binding error: Unknown error occurred.\n");
}

}  // namespace
}  // namespace rv::itest
