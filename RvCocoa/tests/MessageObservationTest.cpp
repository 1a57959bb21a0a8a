#include <gtest/gtest.h>

#include "InterceptionSupport.h"
#include "RvCocoa/MessageObservation.h"
#include "RvStreams/Observers.h"
#include "RvStreamsTest/Recording.h"
#include "objc/NSException.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"
#include "objc/TestSeams.h"

namespace rv::itest {
namespace {

using rv::test::RecordingObserver;

template <class T>
using Recorder = std::shared_ptr<RecordingObserver<T>>;

template <class T>
Recorder<T> record(const std::shared_ptr<Observable<T>>& source,
                   std::shared_ptr<Disposable>* subscription = nullptr) {
  auto recorder = RecordingObserver<T>::create();
  auto disposable = source->subscribe(recorder);
  if (subscription) *subscription = disposable;
  return recorder;
}

// The error of the first event (null when it is not an error).
template <class T>
Error firstError(const Recorder<T>& recorder) {
  const auto events = recorder->events();
  if (events.empty() || events[0].error() == nullptr) return nullptr;
  return *events[0].error();
}

int intArgument(const ArgumentArray& arguments, size_t index) {
  return objc::dynamicCast<objc::NSNumber>(arguments.at(index))->intValue();
}

Class pingClass(std::vector<std::string>* log = nullptr) {
  Class cls = makeTargetClass();
  addMethod<void(int)>(cls, "take:", [log](Target*, int n) {
    if (log) log->push_back("take " + std::to_string(n));
  });
  addMethod<void(BOOL, int)>(cls, "flag:count:", [](Target*, BOOL, int) {});
  return cls;
}

TEST(MessageObservation, SentMessageAndMethodInvokedSurroundEachCall) {
  std::vector<std::string> log;
  Class cls = pingClass(&log);
  Ref<Target> target = makeTarget(cls);
  auto reactive = rv::rv(target);
  auto s =
      sentMessage(reactive, sel("take:"))
          ->subscribe(makeAnonymousObserver<ArgumentArray>([&log](const Event<ArgumentArray>& e) {
            if (auto* a = e.element()) log.push_back("sent " + std::to_string(intArgument(*a, 0)));
          }));
  auto i =
      methodInvoked(reactive, sel("take:"))
          ->subscribe(makeAnonymousObserver<ArgumentArray>([&log](const Event<ArgumentArray>& e) {
            if (auto* a = e.element())
              log.push_back("invoked " + std::to_string(intArgument(*a, 0)));
          }));

  objc::send<void(int)>(target, sel("take:"), 5);
  EXPECT_EQ(log, (std::vector<std::string>{"sent 5", "take 5", "invoked 5"}));
  s->dispose();
  i->dispose();
}

TEST(MessageObservation, ForwardedSelectorsAreObservedToo) {
  Ref<Target> target = makeTarget(pingClass());
  auto sent = record(sentMessage(rv::rv(target), sel("flag:count:")));
  objc::send<void(BOOL, int)>(target, sel("flag:count:"), objc::YES, 3);
  ASSERT_EQ(sent->elements().size(), 1u);
  const ArgumentArray arguments = sent->elements()[0];
  ASSERT_EQ(arguments.size(), 2u);
  EXPECT_TRUE(objc::dynamicCast<objc::NSNumber>(arguments[0])->boolValue());
  EXPECT_EQ(intArgument(arguments, 1), 3);
}

TEST(MessageObservation, SubscribersShareOneInterceptorAndSeeOnlyLaterCalls) {
  Ref<Target> target = makeTarget(pingClass());
  auto first = record(sentMessage(target.get(), sel("take:")));
  objc::send<void(int)>(target, sel("take:"), 1);
  auto second = record(sentMessage(target.get(), sel("take:")));
  objc::send<void(int)>(target, sel("take:"), 2);
  EXPECT_EQ(first->elements().size(), 2u);
  ASSERT_EQ(second->elements().size(), 1u);
  EXPECT_EQ(intArgument(second->elements()[0], 0), 2);
}

TEST(MessageObservation, ActiveInterceptorIsReusedWithoutAskingTheRuntimeAgain) {
  Ref<Target> target = makeTarget(pingClass());
  record(sentMessage(target.get(), sel("take:")));
  const void* key = RV_reference_from_selector(RV_selector(sel("take:")));
  auto proxy =
      objc::dynamicCast<MessageSentProxy>(objc::objc_getAssociatedObject(target.get(), key));
  ASSERT_TRUE(proxy);
  ASSERT_TRUE(proxy->isActive());
  // A value the runtime would never store: asking it again would overwrite it.
  const IMP sentinel = objc::imp_implementationWithBlock([](id, SEL, objc::Frame&) {});
  proxy->setTargetImplementation(sentinel);
  record(methodInvoked(target.get(), sel("take:")));
  EXPECT_EQ(proxy->targetImplementation(), sentinel);
  EXPECT_EQ(objc::objc_getAssociatedObject(target.get(), key), proxy);
}

TEST(MessageObservation, ObjectOfAnotherClassUnderTheKeyIsReplaced) {
  Ref<Target> target = makeTarget(pingClass());
  attach(target.get(), sel("take:"), makeObserver().get());
  auto sent = record(sentMessage(target.get(), sel("take:")));
  const void* key = RV_reference_from_selector(RV_selector(sel("take:")));
  EXPECT_TRUE(
      objc::dynamicCast<MessageSentProxy>(objc::objc_getAssociatedObject(target.get(), key)));
  objc::send<void(int)>(target, sel("take:"), 9);
  EXPECT_EQ(sent->elements().size(), 1u);
}

TEST(MessageObservation, RefusalsArriveAsErrorEvents) {
  Ref<Target> target = makeTarget(pingClass());
  auto missing = record(sentMessage(target.get(), sel("notImplemented:")));
  ASSERT_EQ(missing->events().size(), 1u);
  const Error error = firstError(missing);
  ASSERT_NE(error, nullptr);
  try {
    std::rethrow_exception(error);
  } catch (const RvCocoaObjCRuntimeError& e) {
    EXPECT_EQ(e.kind(), RvCocoaObjCRuntimeError::Kind::selectorNotImplemented);
    EXPECT_EQ(e.target().get(), target.get());
  } catch (...) {
    ADD_FAILURE() << "another error";
  }

  // After a refusal the interceptor stays, inactive, and a later call tries again.
  const void* key = RV_reference_from_selector(RV_selector(sel("notImplemented:")));
  auto proxy =
      objc::dynamicCast<MessageSentProxy>(objc::objc_getAssociatedObject(target.get(), key));
  ASSERT_TRUE(proxy);
  EXPECT_FALSE(proxy->isActive());
  addMethod<void(int)>(target->getClass(), "notImplemented:", [](Target*, int) {});
  auto retried = record(methodInvoked(target.get(), sel("notImplemented:")));
  EXPECT_TRUE(proxy->isActive());
  objc::send<void(int)>(target, sel("notImplemented:"), 1);
  EXPECT_EQ(retried->elements().size(), 1u);
}

TEST(MessageObservation, RefusalWithoutAReasonIsTheUnknownCocoaError) {
  Class cls = makeTargetClass();
  addMethod<void()>(cls, "dealloc", [cls](Target* self) {
    objc::sendSuper<void()>({self, objc::class_getSuperclass(cls)}, sel("dealloc"));
  });
  Ref<Target> target = makeTarget(cls);
  objc::Method method = objc::class_getInstanceMethod(cls, sel("dealloc"));
  const IMP original = objc::method_getImplementation(method);
  objc::testing::onNextSetImplementation(method, [&] {
    objc::method_setImplementation(
        method, objc::imp_implementationWithBlock([original](id self, SEL cmd, objc::Frame& frame) {
          (*original)(self, cmd, frame);
        }));
  });
  ::testing::internal::CaptureStderr();
  auto deallocatingEvents = record(deallocating(target.get()));
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(deallocatingEvents->events().size(), 1u);
  const Error error = firstError(deallocatingEvents);
  ASSERT_NE(error, nullptr);
  try {
    std::rethrow_exception(error);
  } catch (const RvCocoaError& e) {
    EXPECT_EQ(e.kind(), RvCocoaError::Kind::unknown);
  } catch (...) {
    ADD_FAILURE() << "another error";
  }
}

TEST(MessageObservation, DeallocIsSeenBeginningAndEndingWithoutAMessageSentProxy) {
  std::vector<std::string> log;
  Class cls = makeTargetClass();
  addMethod<void()>(cls, "dealloc", [cls, &log](Target* self) {
    log.push_back("dealloc");
    objc::sendSuper<void()>({self, objc::class_getSuperclass(cls)}, sel("dealloc"));
  });
  Ref<Target> target = makeTarget(cls);
  auto observer = [&log](const char* name) {
    return makeAnonymousObserver<ArgumentArray>([&log, name](const Event<ArgumentArray>& e) {
      if (auto* a = e.element()) {
        log.push_back(std::string(name) + " " + std::to_string(a->size()));
      } else if (e.isStopEvent()) {
        log.push_back(std::string(name) + " end");
      }
    });
  };
  sentMessage(target.get(), sel("dealloc"))->subscribe(observer("sent"));
  methodInvoked(target.get(), sel("dealloc"))->subscribe(observer("invoked"));
  const void* key = RV_reference_from_selector(RV_selector(sel("dealloc")));
  EXPECT_TRUE(
      objc::dynamicCast<DeallocatingProxy>(objc::objc_getAssociatedObject(target.get(), key)));

  target = nullptr;
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 2),
            (std::vector<std::string>{"sent 0", "dealloc"}));
  // The rest happens while the associated objects are released, in their order.
  std::vector<std::string> rest(log.begin() + 2, log.end());
  std::sort(rest.begin(), rest.end());
  EXPECT_EQ(rest, (std::vector<std::string>{"invoked 0", "invoked end", "sent end"}));
}

TEST(MessageObservation, DeallocatedReplaysToLateSubscribers) {
  Ref<Target> target = makeTarget(makeTargetClass());
  std::shared_ptr<Observable<Unit>> gone = deallocated(rv::rv(target));
  EXPECT_EQ(deallocated(target.get()), gone) << "one per object";
  auto early = record(gone);
  EXPECT_TRUE(early->events().empty());
  target = nullptr;
  EXPECT_EQ(early->elements().size(), 1u);
  EXPECT_EQ(early->completedCount(), 1);
  auto late = record(gone);
  EXPECT_EQ(late->elements().size(), 1u);
  EXPECT_EQ(late->completedCount(), 1);
}

TEST(MessageObservation, DeallocatedDuringDeallocStillDelivers) {
  Class cls = makeTargetClass();
  auto recorder = RecordingObserver<Unit>::create();
  addMethod<void()>(cls, "dealloc", [cls, recorder](Target* self) {
    // The object is being destroyed; its associated objects are not released yet.
    deallocated(self)->subscribe(recorder);
    objc::sendSuper<void()>({self, objc::class_getSuperclass(cls)}, sel("dealloc"));
  });
  Ref<Target> target = makeTarget(cls);
  target = nullptr;
  EXPECT_EQ(recorder->elements().size(), 1u);
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST(MessageObservation, LazyInstanceValueIsMadeOnceAndKeptWithTheObject) {
  static const char key = 0;
  Ref<Target> target = makeTarget(makeTargetClass());
  int made = 0;
  auto factory = [&made] {
    ++made;
    return std::make_shared<int>(42);
  };
  auto first = lazyInstanceObservable<std::shared_ptr<int>>(rv::rv(target), &key, factory);
  auto second = lazyInstanceObservable<std::shared_ptr<int>>(target.get(), &key, factory);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(first, second);

  static const char objectKey = 0;
  auto object = lazyInstanceObservable<Ref<Observer>>(target.get(), &objectKey, makeObserver);
  EXPECT_EQ(objc::objc_getAssociatedObject(target.get(), &objectKey), object)
      << "objects are attached themselves";
  EXPECT_EQ(lazyInstanceObservable<Ref<Observer>>(target.get(), &objectKey, makeObserver), object);
}

TEST(MessageObservationDeathTest, LazyInstanceValueOfAnotherTypeStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  static const char key = 0;
  Ref<Target> target = makeTarget(makeTargetClass());
  lazyInstanceObservable<std::shared_ptr<int>>(target.get(), &key,
                                               [] { return std::make_shared<int>(1); });
  EXPECT_DEATH(
      lazyInstanceObservable<std::string>(target.get(), &key, [] { return std::string(); }),
      "Failure converting from");
}

}  // namespace
}  // namespace rv::itest
