#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <vector>

#include "RvStreams/Catch.h"
#include "RvStreams/CombineLatest.h"
#include "RvStreams/Create.h"
#include "RvStreams/DistinctUntilChanged.h"
#include "RvStreams/Do.h"
#include "RvStreams/Enumerated.h"
#include "RvStreams/FlatMapLatest.h"
#include "RvStreams/GroupBy.h"
#include "RvStreams/Map.h"
#include "RvStreams/Materialize.h"
#include "RvStreams/Multicast.h"
#include "RvStreams/Reduce.h"
#include "RvStreams/Scan.h"
#include "RvStreams/Share.h"
#include "RvStreams/Skip.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/Take.h"
#include "RvStreams/WithLatestFrom.h"
#include "RvStreams/Zip.h"
#include "base/BuildFacts.h"

// Counts heap allocations made by the calling thread. The replacement pairs
// malloc with free, which GCC cannot see through.
#if KX_GCC
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
thread_local long allocationCount = 0;
}

void* operator new(std::size_t size) {
  ++allocationCount;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace rv {
namespace {

// A source that hands its observer out, so the test can push without any
// bookkeeping of its own.
template <class T>
Ref<Observable<T>> handOut(std::optional<AnyObserver<T>>& slot) {
  return create<T>([&slot](AnyObserver<T> o) -> Ref<Disposable> {
    slot = o;
    return Disposables::create();
  });
}

TEST(Allocation, PerEventPathOfMapFilterScanWithLatestFromAllocatesNothing) {
  std::optional<AnyObserver<int>> first;
  std::optional<AnyObserver<int>> second;
  long sum = 0;
  auto subscription = subscribe(
      handOut(first) | map([](const int& x) { return x * 2; }) |
          filter([](const int& x) { return x % 3 != 0; }) |
          scan(0L, [](const long& acc, const int& x) { return acc + x; }) |
          withLatestFrom(handOut(second), [](const long& acc, const int& s) { return acc + s; }),
      {.onNext = [&](const long& x) { sum += x; }});
  second->onNext(1);
  first->onNext(1);  // warm up

  const long before = allocationCount;
  for (int i = 0; i < 1000; ++i) first->onNext(i);
  second->onNext(2);
  const long after = allocationCount;

  EXPECT_EQ(after - before, 0);
  EXPECT_GT(sum, 0);
  subscription->dispose();
}

TEST(Allocation, PerEventPathOfTheSingleInputOperatorsAllocatesNothing) {
  std::optional<AnyObserver<int>> source;
  long sum = 0;
  auto subscription = subscribe(
      handOut(source) | skip(1) | skipWhile([](const int& x) { return x < 0; }) | take(1000000) |
          takeWhile([](const int& x) { return x >= 0; }) | distinctUntilChanged() |
          doOn<int>({.onNext = [&](const int& x) { sum += x; }}) | retry() | catchAndReturn(0) |
          materialize() | dematerialize() | enumerated() |
          reduce(0L, [](const long& acc, const IndexedElement<int>& e) { return acc + e.index; }),
      {.onNext = [&](const long& x) { sum += x; }});
  source->onNext(0);
  source->onNext(1);  // warm up

  const long before = allocationCount;
  for (int i = 2; i < 1000; ++i) source->onNext(i);
  const long after = allocationCount;

  EXPECT_EQ(after - before, 0);
  EXPECT_GT(sum, 0);
  subscription->dispose();
}

TEST(Allocation, PerEventPathOfTheSharingAndTwoInputOperatorsAllocatesNothing) {
  std::optional<AnyObserver<int>> source;
  std::optional<AnyObserver<int>> trigger;
  std::optional<AnyObserver<Ref<Observable<int>>>> outer;
  long sum = 0;
  auto add = [&](const int& x) { sum += x; };
  auto shared = handOut(source) | skipUntil(handOut(trigger)) | takeUntil(never<int>()) | share(1);
  auto published = shared | publish() | refCount();
  auto grouped = shared | groupBy([](const int& x) { return x % 2; });
  auto switched = handOut(outer) | switchLatest();
  std::vector<Ref<Disposable>> subscriptions{
      subscribe(shared, {.onNext = add}), subscribe(shared, {.onNext = add}),
      subscribe(published, {.onNext = add}), subscribe(switched, {.onNext = add}),
      subscribe(grouped, {.onNext = [&](const GroupedObservable<int, int>& g) {
                  subscriptions.push_back(subscribe(g, {.onNext = add}));
                }})};
  trigger->onNext(0);
  outer->onNext(shared);
  source->onNext(1);
  source->onNext(2);  // warm up: both groups exist

  const long before = allocationCount;
  for (int i = 3; i < 1000; ++i) source->onNext(i);
  const long after = allocationCount;

  EXPECT_EQ(after - before, 0);
  EXPECT_GT(sum, 0);
  for (auto& d : subscriptions) d->dispose();
}

TEST(Allocation, PerEventPathOfCombineLatestAndZipAllocatesNothing) {
  std::optional<AnyObserver<int>> a, b, c, d;
  std::optional<AnyObserver<int>> e, f, g, h;
  long sum = 0;
  auto add = [](const int& x, const int& y) { return x + y; };
  auto addAll = [](const std::vector<int>& row) { return row[0] + row[1]; };
  auto onNext = [&](const int& x) { sum += x; };
  auto s1 = subscribe(combineLatest(handOut(a), handOut(b), add), {.onNext = onNext});
  auto s2 = subscribe(zip(handOut(c), handOut(d), add), {.onNext = onNext});
  auto s3 =
      subscribe(combineLatest(std::vector{handOut(e), handOut(f)}, addAll), {.onNext = onNext});
  auto s4 = subscribe(zip(std::vector{handOut(g), handOut(h)}, addAll), {.onNext = onNext});
  for (auto* o : {&a, &b, &c, &d, &e, &f, &g, &h}) (*o)->onNext(1);  // warm up

  const long before = allocationCount;
  for (int i = 0; i < 1000; ++i) {
    for (auto* o : {&a, &b, &c, &d, &e, &f, &g, &h}) (*o)->onNext(i);
  }
  const long after = allocationCount;

  EXPECT_EQ(after - before, 0);
  EXPECT_GT(sum, 0);
  for (auto& s : {s1, s2, s3, s4}) s->dispose();
}

TEST(Allocation, CounterSeesAllocations) {
  const long before = allocationCount;
  auto p = std::make_shared<int>(1);
  EXPECT_GT(allocationCount, before);
}

}  // namespace
}  // namespace rv
