#include <gtest/gtest.h>

#include "InterceptionSupport.h"
#include "RvCocoa/InterceptionErrors.h"
#include "RvStreams/Describe.h"

namespace rv::itest {
namespace {

using foundation::NSError;
using Kind = RvCocoaObjCRuntimeError::Kind;
using Mechanism = RvCocoaInterceptionMechanism;

Ref<objc::Object> someTarget() { return itest::makeObserver(); }

NSError runtimeError(int64_t code, NSError::UserInfo userInfo = {}) {
  return NSError(std::string(RVObjCRuntimeErrorDomain), code, std::move(userInfo));
}

TEST(InterceptionErrors, CodesMapToTheirCasesWithTheTarget) {
  Ref<objc::Object> target = someTarget();
  const std::pair<int64_t, Kind> table[] = {
      {1, Kind::unknown},
      {2, Kind::objectMessagesAlreadyBeingIntercepted},
      {3, Kind::selectorNotImplemented},
      {4, Kind::cantInterceptCoreFoundationTollFreeBridgedObjects},
      {5, Kind::threadingCollisionWithOtherInterceptionMechanism},
      {6, Kind::savingOriginalForwardingMethodFailed},
      {7, Kind::replacingMethodWithForwardingImplementation},
      {8, Kind::observingPerformanceSensitiveMessages},
      {9, Kind::observingMessagesWithUnsupportedReturnType},
  };
  for (const auto& [code, kind] : table) {
    RvCocoaObjCRuntimeError error = interceptionErrorForTarget(runtimeError(code), target.get());
    EXPECT_EQ(error.kind(), kind) << code;
    EXPECT_EQ(error.target(), target);
  }
}

TEST(InterceptionErrors, ErrorOfAnotherDomainIsUnknownWhateverItsCode) {
  Ref<objc::Object> target = someTarget();
  for (int64_t code : {0, 2, 3, 9, 77}) {
    auto error = interceptionErrorForTarget(NSError("OtherDomain", code, {}), target.get());
    EXPECT_EQ(error.kind(), Kind::unknown) << code;
  }
}

TEST(InterceptionErrors, Code2NamesKVOOnlyWhenTheFlagIsATrueNumber) {
  Ref<objc::Object> target = someTarget();
  const std::string key(RVObjCRuntimeErrorIsKVOKey);
  auto mechanism = [&](NSError::UserInfo info) {
    return interceptionErrorForTarget(runtimeError(2, std::move(info)), target.get())
        .interceptionMechanism();
  };
  EXPECT_EQ(mechanism({{key, true}}), Mechanism::kvo);
  EXPECT_EQ(mechanism({{key, int64_t{1}}}), Mechanism::kvo);
  EXPECT_EQ(mechanism({{key, false}}), Mechanism::unknown);
  EXPECT_EQ(mechanism({}), Mechanism::unknown);
  EXPECT_EQ(mechanism({{"other", true}}), Mechanism::unknown);
  EXPECT_EQ(mechanism({{key, std::string("yes")}}), Mechanism::unknown) << "not a number";

  auto kvo = interceptionErrorForTarget(runtimeError(2, {{key, true}}), target.get());
  EXPECT_EQ(kvo.debugDescription(),
            "Collision between RvCocoa interception mechanism and KVO. To resolve this conflict "
            "please use this interception mechanism first.\nTarget: " +
                objc::describe(target.get()));
  auto other = interceptionErrorForTarget(runtimeError(2), target.get());
  EXPECT_NE(other.debugDescription().find("mechanism and other interception mechanism. To"),
            std::string::npos);
}

TEST(InterceptionErrors, DescriptionsQuoteTheTargetOnlyForUnknown) {
  Ref<objc::Object> target = someTarget();
  const std::string t = objc::describe(target.get());
  auto text = [&](int64_t code) {
    return std::string(interceptionErrorForTarget(runtimeError(code), target.get()).what());
  };
  EXPECT_EQ(text(1), "Unknown error occurred.\nTarget: `" + t + "`");
  EXPECT_EQ(text(3),
            "Trying to observe messages for selector that isn't implemented.\nTarget: " + t);
  EXPECT_EQ(text(4),
            "Interception of messages sent to Core Foundation isn't supported.\nTarget: " + t);
  EXPECT_EQ(text(5), "Detected a conflict while modifying ObjC runtime.\nTarget: " + t);
  EXPECT_EQ(text(6), "Saving original method implementation failed.\nTarget: " + t);
  EXPECT_EQ(text(7),
            "Intercepting a sent message by replacing a method implementation with "
            "`_objc_msgForward` failed for some reason.\nTarget: " +
                t);
  EXPECT_EQ(text(8),
            "Attempt to intercept one of the performance sensitive methods. \nTarget: " + t);
  EXPECT_EQ(text(9), "Attempt to intercept a method with unsupported return type. \nTarget: " + t);
  for (int64_t code = 2; code <= 9; ++code) {
    EXPECT_NE(text(code).back(), '`') << code;
  }
}

TEST(InterceptionErrors, BridgedCodesArePositionsFromZero) {
  Ref<objc::Object> target = someTarget();
  auto bridged = [&](int64_t code) {
    return interceptionErrorForTarget(runtimeError(code), target.get()).toNSError();
  };
  EXPECT_EQ(bridged(3)->code(), 2) << "selectorNotImplemented";
  EXPECT_EQ(bridged(9)->code(), 8) << "observingMessagesWithUnsupportedReturnType";
  EXPECT_EQ(bridged(1)->code(), 0);
  EXPECT_EQ(bridged(3)->domain(), "RvCocoa.RvCocoaObjCRuntimeError");
}

TEST(InterceptionErrors, CarriedAsAReactiveErrorItDescribesItself) {
  Ref<objc::Object> target = someTarget();
  Error error =
      std::make_exception_ptr(RvCocoaObjCRuntimeError::selectorNotImplemented(target.get()));
  EXPECT_EQ(describe(error),
            "Trying to observe messages for selector that isn't implemented.\nTarget: " +
                objc::describe(target.get()));
}

TEST(InterceptionErrorsDeathTest, CodeOutsideTheKnownRangeStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Ref<objc::Object> target = someTarget();
  EXPECT_DEATH(interceptionErrorForTarget(runtimeError(10), target.get()),
               "Fatal error: Unhandled Objective C Runtime Error: file RvCocoa/RvCocoa");
  EXPECT_DEATH(interceptionErrorForTarget(runtimeError(0), target.get()),
               "Unhandled Objective C Runtime Error");
}

}  // namespace
}  // namespace rv::itest
