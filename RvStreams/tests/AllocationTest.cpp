#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>

#include "RvStreams/Create.h"
#include "RvStreams/Map.h"
#include "RvStreams/Scan.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/WithLatestFrom.h"

// Counts heap allocations made by the calling thread. The replacement pairs
// malloc with free, which GCC cannot see through.
#if defined(__GNUC__) && !defined(__clang__)
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

TEST(Allocation, CounterSeesAllocations) {
  const long before = allocationCount;
  auto p = std::make_shared<int>(1);
  EXPECT_GT(allocationCount, before);
}

}  // namespace
}  // namespace rv
