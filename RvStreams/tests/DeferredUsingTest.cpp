#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "RvStreams/Deferred.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/Using.h"
#include "RvStreams/WithUnretained.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::CountingDisposable;
using test::elements;
using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

TEST(Deferred, FactoryRunsOncePerSubscriptionAndNeverAtCreation) {
  std::vector<Ref<TestSource<int>>> made;
  auto source = deferred([&] {
    made.push_back(TestSource<int>::create());
    return made.back();
  });
  EXPECT_TRUE(made.empty());
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  auto da = source->subscribe(a);
  auto db = source->subscribe(b);
  ASSERT_EQ(made.size(), 2u);
  made[0]->onNext(1);
  made[1]->onNext(2);
  made[1]->onCompleted();
  EXPECT_EQ(a->descriptions(), (Log{"next(1)"}));
  EXPECT_EQ(b->descriptions(), (Log{"next(2)", "completed"}));
  da->dispose();
  EXPECT_EQ(made[0]->observerCount(), 0);
}

TEST(Deferred, FailingFactoryDeliversOnlyItsError) {
  auto recorder = RecordingObserver<int>::create();
  auto d =
      deferred([]() -> Ref<Observable<int>> { throw TestError("factory"); })->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(factory)"}));
  d->dispose();
  EXPECT_EQ(recorder->descriptions(), (Log{"error(factory)"}));
}

// A source over `events` that logs its disposal into `log`.
Ref<Observable<int>> loggingSource(const Ref<TestSource<int>>& events, Log& log) {
  return create<int>([&log, events](AnyObserver<int> o) -> Ref<Disposable> {
    auto inner = events->subscribe(std::make_shared<AnyObserver<int>>(o));
    return Disposables::create([&log, inner] {
      inner->dispose();
      log.push_back("source disposed");
    });
  });
}

TEST(Using, DisposingEndsTheSourceBeforeTheResource) {
  Log log;
  auto resource = CountingDisposable::create("resource disposed", &log);
  auto events = TestSource<int>::create();
  auto d = subscribe(
      usingResource([&] { return resource; },
                    [&](const Ref<CountingDisposable>&) { return loggingSource(events, log); }),
      {.onNext = [&](const int& x) { log.push_back("next " + std::to_string(x)); }});
  events->onNext(1);
  d->dispose();
  d->dispose();
  EXPECT_EQ(log, (Log{"next 1", "source disposed", "resource disposed"}));
  EXPECT_EQ(resource->count(), 1);
  EXPECT_EQ(events->observerCount(), 0);
}

TEST(Using, CompletionIsDeliveredBeforeTheResourceIsDisposed) {
  int disposedAtCompletion = -1;
  auto resource = CountingDisposable::create();
  subscribe(usingResource([&] { return resource; },
                          [](const Ref<CountingDisposable>&) { return elements({1}); }),
            {.onCompleted = [&] { disposedAtCompletion = resource->count(); }});
  EXPECT_EQ(disposedAtCompletion, 0);
  EXPECT_EQ(resource->count(), 1);
}

TEST(Using, FailingObservableFactoryDisposesTheResourceAfterTheErrorDuringSubscribe) {
  int disposedAtError = -1;
  auto resource = CountingDisposable::create();
  subscribe(usingResource([&] { return resource; },
                          [](const Ref<CountingDisposable>&) -> Ref<Observable<int>> {
                            throw TestError("observable");
                          }),
            {.onError = [&](const Error& e) {
              EXPECT_EQ(describe(e), "observable");
              disposedAtError = resource->count();
            }});
  EXPECT_EQ(disposedAtError, 0);
  EXPECT_EQ(resource->count(), 1);
}

TEST(Using, FailingResourceFactoryDeliversItsErrorUnchanged) {
  auto recorder = RecordingObserver<int>::create();
  int observableCalls = 0;
  usingResource([]() -> Ref<CountingDisposable> { throw TestError("resource"); },
                [&](const Ref<CountingDisposable>&) {
                  ++observableCalls;
                  return elements({1});
                })
      ->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(resource)"}));
  EXPECT_EQ(observableCalls, 0);
}

struct Owner {
  int id = 7;
};

TEST(WithUnretained, CompletesAtTheFirstElementAfterTheObjectIsGone) {
  auto owner = std::make_shared<Owner>();
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | withUnretained(owner, [](const Ref<Owner>& o, const int& x) {
              return o->id * 10 + x;
            }))->subscribe(recorder);
  source->onNext(1);
  source->onNext(2);
  owner.reset();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(71)", "next(72)"}));  // nothing until an element
  source->onNext(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(71)", "next(72)", "completed"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(WithUnretained, SourceStopsPassUnchanged) {
  auto owner = std::make_shared<Owner>();
  auto failing = RecordingObserver<int>::create();
  (error<int>(makeError("source")) | withUnretained(owner, [](const Ref<Owner>&, const int& x) {
     return x;
   }))->subscribe(failing);
  EXPECT_EQ(failing->descriptions(), (Log{"error(source)"}));

  // With the object already gone, a completion or error without an element
  // still passes as it is.
  auto gone = std::make_shared<Owner>();
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto op = withUnretained(gone, [](const Ref<Owner>&, const int& x) { return x; });
  gone.reset();
  (source | std::move(op))->subscribe(recorder);
  source->onError(makeError("late"));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(late)"}));
}

TEST(WithUnretained, PairFormHoldsNoStrongReferenceBetweenElements) {
  auto owner = std::make_shared<Owner>();
  Weak<Owner> weak = owner;
  auto source = TestSource<int>::create();
  std::vector<int> seen;
  auto d = subscribe(source | withUnretained(owner),
                     {.onNext = [&](const std::tuple<Ref<Owner>, int>& pair) {
                       EXPECT_EQ(std::get<0>(pair).get(), weak.lock().get());
                       seen.push_back(std::get<1>(pair));
                     }});
  source->onNext(1);
  owner.reset();
  EXPECT_TRUE(weak.expired());
  source->onNext(2);
  EXPECT_EQ(seen, (std::vector<int>{1}));
  d->dispose();
}

}  // namespace
}  // namespace rv
