#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "InterceptionSupport.h"
#include "RvCocoa/KVOObservable.h"
#include "RvStreams/Observers.h"
#include "RvStreamsTest/Recording.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"

namespace rv::itest {
namespace {

using Options = KeyValueObservingOptions;
using rv::test::RecordingObserver;

// An object with an object property `title` and a number property `count`,
// counting the platform unregistrations it receives.
class Model : public objc::NSObject {
 public:
  static Class classObject() {
    static const Class cls =
        objc::ClassBuilder<Model>("RvTestKVOModel", objc::NSObject::classObject())
            .method<Ref<objc::Object>()>("title", [](Model* self, SEL) { return self->title_; })
            .method<void(id)>(
                "setTitle:",
                [](Model* self, SEL, id title) { self->title_ = Ref<objc::Object>(title); })
            .method<int()>("count", [](Model* self, SEL) { return self->count_.load(); })
            .method<void(int)>("setCount:",
                               [](Model* self, SEL, int count) { self->count_.store(count); })
            .method<void(id, objc::NSString*, void*)>(
                "removeObserver:forKeyPath:context:",
                [](Model* self, SEL cmd, id observer, objc::NSString* keyPath, void* context) {
                  ++self->removals;
                  objc::sendSuper<void(id, objc::NSString*, void*)>(
                      {self, objc::NSObject::classObject()}, cmd, observer, keyPath, context);
                })
            .build();
    return cls;
  }
  static Ref<Model> create() { return objc::make<Model>(); }

  void setTitle(id title) { objc::send<void(id)>(this, sel("setTitle:"), title); }
  void setCount(int count) { objc::send<void(int)>(this, sel("setCount:"), count); }

  int removals = 0;

 private:
  friend struct objc::detail::InstanceAccess;
  Model() = default;
  Ref<objc::Object> title_;
  std::atomic<int> count_{0};
};

Ref<objc::Object> text(const char* value) { return objc::NSString::stringWithString(value); }

template <class T>
std::vector<std::optional<T>> valuesOf(
    const std::shared_ptr<RecordingObserver<std::optional<T>>>& r) {
  return r->elements();
}

TEST(KeyValueObservingOptions, BecomeThePlatformsOptionsBitByBit) {
  EXPECT_EQ((Options{Options::newValue, Options::initial}).platformOptions(), 5u);
  EXPECT_EQ(Options::newValue.platformOptions(), 1u);
  EXPECT_EQ(Options::initial.platformOptions(), 4u);
  EXPECT_EQ(Options{}.platformOptions(), 0u);
  EXPECT_EQ(Options(0xF8 | 2).platformOptions(), 1u) << "other bits are dropped";
}

TEST(KeyValueObservingOptions, SetAlgebraOnTheRawWord) {
  const Options both{Options::initial, Options::newValue};
  EXPECT_EQ(both.rawValue, 3u);
  EXPECT_EQ(both & Options::initial, Options::initial);
  EXPECT_EQ(both ^ Options::initial, Options::newValue);
  EXPECT_EQ(both.subtracting(Options::newValue), Options::initial);
  EXPECT_TRUE(Options{}.isEmpty());

  Options options;
  EXPECT_EQ(options.insert(Options::initial), std::make_pair(true, Options::initial));
  EXPECT_EQ(options.insert(Options::initial), std::make_pair(false, Options::initial));
  EXPECT_EQ(options.remove(Options::newValue), std::nullopt);
  EXPECT_EQ(options.update(Options::newValue), std::nullopt) << "was not present";
  EXPECT_EQ(options.update(both), both) << "both were present";
  EXPECT_EQ(options.remove(both), both);
  EXPECT_TRUE(options.isEmpty());
}

TEST(KeyValueObservation, InitialValueArrivesBeforeSubscribeReturns) {
  Ref<Model> model = Model::create();
  model->setTitle(text("first").get());
  bool returned = false;
  std::vector<bool> returnedAtEvent;
  std::vector<std::optional<std::string>> values;
  auto subscription = observe<std::string>(rv::rv(model), "title")
                          ->subscribe(makeAnonymousObserver<std::optional<std::string>>(
                              [&](const Event<std::optional<std::string>>& event) {
                                if (const auto* value = event.element()) {
                                  returnedAtEvent.push_back(returned);
                                  values.push_back(*value);
                                }
                              }));
  returned = true;
  model->setTitle(text("second").get());
  EXPECT_EQ(returnedAtEvent, (std::vector<bool>{false, true}));
  EXPECT_EQ(values, (std::vector<std::optional<std::string>>{"first", "second"}));
  subscription->dispose();
}

TEST(KeyValueObservation, WithoutInitialNothingArrivesUntilAChange) {
  Ref<Model> model = Model::create();
  auto recorder = RecordingObserver<std::optional<int>>::create();
  auto subscription =
      observe<int>(rv::rv(model), "count", Options{Options::newValue})->subscribe(recorder);
  EXPECT_TRUE(recorder->events().empty());
  model->setCount(7);
  EXPECT_EQ(valuesOf(recorder), (std::vector<std::optional<int>>{7}));
  subscription->dispose();
}

TEST(KeyValueObservation, NilNullAndValuesOfAnotherTypeAreAbsent) {
  Ref<Model> model = Model::create();
  auto recorder = RecordingObserver<std::optional<Ref<objc::NSString>>>::create();
  auto subscription =
      observe<Ref<objc::NSString>>(rv::rv(model), "title", Options{Options::newValue})
          ->subscribe(recorder);
  model->setTitle(text("a").get());
  model->setTitle(nullptr);
  model->setTitle(objc::NSNull::null().get());
  model->setTitle(objc::NSNumber::numberWithInt(3).get());
  const auto values = valuesOf(recorder);
  ASSERT_EQ(values.size(), 4u);
  ASSERT_TRUE(values[0].has_value());
  EXPECT_EQ((*values[0])->string(), "a");
  EXPECT_EQ(values[1], std::nullopt);
  EXPECT_EQ(values[2], std::nullopt);
  EXPECT_EQ(values[3], std::nullopt) << "not an error";
  EXPECT_EQ(recorder->stopCount(), 0);
  subscription->dispose();
}

TEST(KeyValueObservation, DisposingTwiceUnregistersOnce) {
  Ref<Model> model = Model::create();
  auto recorder = RecordingObserver<std::optional<int>>::create();
  auto subscription = observe<int>(rv::rv(model), "count")->subscribe(recorder);
  subscription->dispose();
  subscription->dispose();
  EXPECT_EQ(model->removals, 1);
  model->setCount(1);
  EXPECT_EQ(recorder->elements().size(), 1u) << "only the initial value";
}

TEST(KeyValueObservation, RetainSelfKeepsTheObjectUntilDisposal) {
  Ref<Model> model = Model::create();
  objc::Weak<Model> weak(model);
  auto subscription = observe<int>(rv::rv(model), "count", Options{Options::newValue}, true)
                          ->subscribe(RecordingObserver<std::optional<int>>::create());
  model = nullptr;
  EXPECT_TRUE(weak.load());
  subscription->dispose();
  EXPECT_FALSE(weak.load());
}

TEST(KeyValueObservation, DisposingAfterAnUnretainedObjectIsGoneIsHarmless) {
  Ref<Model> model = Model::create();
  objc::Weak<Model> weak(model);
  auto recorder = RecordingObserver<std::optional<int>>::create();
  auto subscription =
      observe<int>(rv::rv(model), "count", Options{Options::newValue}, false)->subscribe(recorder);
  model->setCount(2);
  model = nullptr;
  EXPECT_FALSE(weak.load()) << "not kept alive";
  subscription->dispose();  // nothing is sent to the destroyed object
  EXPECT_EQ(valuesOf(recorder), (std::vector<std::optional<int>>{2}));
}

TEST(KeyValueObservation, TypedKeyPathReadsTheObjectAndCompletesWithIt) {
  Ref<Model> model = Model::create();
  KeyPath<Model, int> count{"count", [](Model& m) { return objc::send<int()>(&m, sel("count")); }};
  auto recorder = RecordingObserver<int>::create();
  auto subscription =
      observe(rv::rv(model), count,
              objc::NSKeyValueObservingOptionInitial | objc::NSKeyValueObservingOptionNew)
          ->subscribe(recorder);
  model->setCount(4);
  model = nullptr;
  EXPECT_EQ(recorder->elements(), (std::vector<int>{0, 4}));
  EXPECT_EQ(recorder->completedCount(), 1);
  subscription->dispose();
}

TEST(KeyValueObservation, TypedKeyPathOfAGoneObjectCompletesAtOnce) {
  Ref<Model> model = Model::create();
  int reads = 0;
  KeyPath<Model, int> count{"count", [&reads](Model&) { return ++reads; }};
  auto changes = observe(rv::rv(model), count, objc::NSKeyValueObservingOptionInitial);
  model = nullptr;
  auto recorder = RecordingObserver<int>::create();
  changes->subscribe(recorder);
  EXPECT_TRUE(recorder->elements().empty());
  EXPECT_EQ(recorder->completedCount(), 1);
  EXPECT_EQ(reads, 0) << "no observation was started";
}

TEST(KeyValueObservationDeathTest, KVOObserverHasOnlyItsOwnInitialiser) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(objc::make<KVOObserver>(), "Use of unimplemented initializer");
}

TEST(KeyValueObservationStress, NotificationsOfOneSubscriptionAreSerialised) {
  Ref<Model> model = Model::create();
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> received{0};
  auto subscription = observe<int>(rv::rv(model), "count", Options{Options::newValue})
                          ->subscribe(makeAnonymousObserver<std::optional<int>>(
                              [&](const Event<std::optional<int>>& event) {
                                if (!event.element()) return;
                                if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                                std::this_thread::yield();
                                inside.fetch_sub(1);
                                received.fetch_add(1);
                              }));
  constexpr int kThreads = 4;
  constexpr int kChanges = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kChanges; ++i) model->setCount(t * kChanges + i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(received.load(), kThreads * kChanges);
  subscription->dispose();
}

}  // namespace
}  // namespace rv::itest
