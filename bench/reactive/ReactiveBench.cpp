// Events per second through the reactive library, each figure paired in the
// same run with a hand-written loop using the same lambdas and with a loop
// making one std::function call per stage. Heap allocations are counted by a
// replaced operator new and reported per event (or per subscription).

#include <RvRelay/PublishRelay.h>
#include <RvStreams/Create.h>
#include <RvStreams/Map.h>
#include <RvStreams/PublishSubject.h>
#include <RvStreams/Scan.h>
#include <RvStreams/Subscribe.h>
#include <RvStreams/WithLatestFrom.h>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <vector>

// The replacement pairs malloc with free, which GCC cannot see through.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
long allocationCount = 0;  // the benchmarks run on one thread
}

void* operator new(std::size_t size) {
  ++allocationCount;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

enum class ControlAction { next, previous, confirm, abort };

constexpr int kWindows = 7;

// The switcher's stages.
const auto isMove = [](const ControlAction& a) { return a != ControlAction::confirm; };
const auto toStep = [](const ControlAction& a) {
  return a == ControlAction::next ? 1 : a == ControlAction::previous ? -1 : 0;
};
const auto moveIndex = [](const int& index, const int& step) {
  if (step == 0) return -1;
  if (index < 0) return step > 0 ? 0 : kWindows - 1;
  return ((index + step) % kWindows + kWindows) % kWindows;
};
const auto joinPick = [](const int& index, const int& pick) { return index + pick; };

std::vector<ControlAction> presses() {
  std::vector<ControlAction> out;
  const ControlAction pattern[] = {ControlAction::next,     ControlAction::next,
                                   ControlAction::previous, ControlAction::confirm,
                                   ControlAction::next,     ControlAction::abort};
  for (int i = 0; i < 1020; ++i) out.push_back(pattern[i % 6]);
  return out;
}

void reportAllocations(benchmark::State& state, long allocations, int64_t events) {
  state.counters["allocs_per_event"] =
      benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(events));
}

// --- (a) the switcher's pipeline ---------------------------------------------------

void BM_SwitcherPipeline_Rv(benchmark::State& state) {
  const auto input = presses();
  auto relay = rv::PublishRelay<ControlAction>::create();
  auto picks = rv::PublishRelay<int>::create();
  long sum = 0;
  auto subscription =
      rv::subscribe(relay | rv::filter(isMove) | rv::map(toStep) | rv::scan(-1, moveIndex) |
                        rv::withLatestFrom(picks, joinPick),
                    {.onNext = [&sum](const int& x) { sum += x; }});
  picks->accept(3);
  const long before = allocationCount;
  for (auto _ : state) {
    for (ControlAction a : input) relay->accept(a);
    benchmark::DoNotOptimize(sum);
  }
  reportAllocations(state, allocationCount - before,
                    state.iterations() * static_cast<int64_t>(input.size()));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
  subscription->dispose();
}

void BM_SwitcherPipeline_HandLoop(benchmark::State& state) {
  const auto input = presses();
  long sum = 0;
  int index = -1;
  std::optional<int> latest = 3;
  for (auto _ : state) {
    for (ControlAction a : input) {
      if (!isMove(a)) continue;
      index = moveIndex(index, toStep(a));
      if (latest) sum += joinPick(index, *latest);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

void BM_SwitcherPipeline_StdFunction(benchmark::State& state) {
  const auto input = presses();
  long sum = 0;
  int index = -1;
  std::optional<int> latest = 3;
  std::function<bool(const ControlAction&)> f1 = isMove;
  std::function<int(const ControlAction&)> f2 = toStep;
  std::function<int(const int&, const int&)> f3 = moveIndex;
  std::function<int(const int&, const int&)> f4 = joinPick;
  std::function<void(const int&)> f5 = [&sum](const int& x) { sum += x; };
  benchmark::DoNotOptimize(f1);
  for (auto _ : state) {
    for (ControlAction a : input) {
      if (!f1(a)) continue;
      index = f3(index, f2(a));
      if (latest) f5(f4(index, *latest));
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}

// --- (b) publish subject fan-out --------------------------------------------------

void BM_PublishFanOut_Rv(benchmark::State& state) {
  const int observers = static_cast<int>(state.range(0));
  auto subject = rv::PublishSubject<int>::create();
  long sum = 0;
  std::vector<rv::Ref<rv::Disposable>> subscriptions;
  for (int i = 0; i < observers; ++i) {
    subscriptions.push_back(
        rv::subscribe(subject, [&sum](const rv::Event<int>& e) { sum += *e.element(); }));
  }
  const long before = allocationCount;
  int64_t events = 0;
  for (auto _ : state) {
    for (int i = 0; i < 256; ++i) subject->onNext(i);
    events += 256;
    benchmark::DoNotOptimize(sum);
  }
  reportAllocations(state, allocationCount - before, events);
  state.SetItemsProcessed(events * observers);
  for (auto& d : subscriptions) d->dispose();
}

void BM_PublishFanOut_HandLoop(benchmark::State& state) {
  const int observers = static_cast<int>(state.range(0));
  long sum = 0;
  auto handler = [&sum](const int& x) { sum += x; };
  std::vector<decltype(handler)> handlers(static_cast<size_t>(observers), handler);
  for (auto _ : state) {
    for (int i = 0; i < 256; ++i) {
      for (auto& h : handlers) h(i);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 256 * observers);
}

void BM_PublishFanOut_StdFunction(benchmark::State& state) {
  const int observers = static_cast<int>(state.range(0));
  long sum = 0;
  std::vector<std::function<void(const int&)>> handlers(static_cast<size_t>(observers),
                                                        [&sum](const int& x) { sum += x; });
  for (auto _ : state) {
    for (int i = 0; i < 256; ++i) {
      for (auto& h : handlers) h(i);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 256 * observers);
}

// --- (c) a producer-driven map | filter | scan chain --------------------------------

const auto triple = [](const int& x) { return x * 3; };
const auto odd = [](const int& x) { return (x & 1) != 0; };
const auto add = [](const long& acc, const int& x) { return acc + x; };

rv::Ref<rv::Observable<long>> producerChain(std::optional<rv::AnyObserver<int>>& source) {
  return rv::create<int>([&source](rv::AnyObserver<int> o) -> rv::Ref<rv::Disposable> {
           source = o;
           return rv::Disposables::create();
         }) |
         rv::map(triple) | rv::filter(odd) | rv::scan(0L, add);
}

void BM_ProducerChain_Rv(benchmark::State& state) {
  std::optional<rv::AnyObserver<int>> source;
  long last = 0;
  auto subscription =
      rv::subscribe(producerChain(source), {.onNext = [&last](const long& x) { last = x; }});
  const long before = allocationCount;
  int64_t events = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1024; ++i) source->onNext(i);
    events += 1024;
    benchmark::DoNotOptimize(last);
  }
  reportAllocations(state, allocationCount - before, events);
  state.SetItemsProcessed(events);
  subscription->dispose();
}

void BM_ProducerChain_HandLoop(benchmark::State& state) {
  long acc = 0;
  long last = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1024; ++i) {
      const int x = triple(i);
      if (!odd(x)) continue;
      acc = add(acc, x);
      last = acc;
    }
    benchmark::DoNotOptimize(last);
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}

void BM_ProducerChain_StdFunction(benchmark::State& state) {
  long acc = 0;
  long last = 0;
  std::function<int(const int&)> f1 = triple;
  std::function<bool(const int&)> f2 = odd;
  std::function<long(const long&, const int&)> f3 = add;
  std::function<void(const long&)> f4 = [&last](const long& x) { last = x; };
  for (auto _ : state) {
    for (int i = 0; i < 1024; ++i) {
      const int x = f1(i);
      if (!f2(x)) continue;
      acc = f3(acc, x);
      f4(acc);
    }
    benchmark::DoNotOptimize(last);
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}

// --- (d) subscribe and dispose of that chain ------------------------------------

void BM_SubscribeDispose_Rv(benchmark::State& state) {
  std::optional<rv::AnyObserver<int>> source;
  auto chain = producerChain(source);
  long last = 0;
  const long before = allocationCount;
  for (auto _ : state) {
    auto subscription = rv::subscribe(chain, {.onNext = [&last](const long& x) { last = x; }});
    subscription->dispose();
    source.reset();
  }
  state.counters["allocs_per_subscription"] = benchmark::Counter(
      static_cast<double>(allocationCount - before) / static_cast<double>(state.iterations()));
  benchmark::DoNotOptimize(last);
}

// The same four stages held as std::function objects, made and destroyed.
void BM_SubscribeDispose_StdFunction(benchmark::State& state) {
  long last = 0;
  const long before = allocationCount;
  for (auto _ : state) {
    std::function<int(const int&)> f1 = triple;
    std::function<bool(const int&)> f2 = odd;
    std::function<long(const long&, const int&)> f3 = add;
    std::function<void(const long&)> f4 = [&last](const long& x) { last = x; };
    benchmark::DoNotOptimize(f1);
    benchmark::DoNotOptimize(f2);
    benchmark::DoNotOptimize(f3);
    benchmark::DoNotOptimize(f4);
  }
  state.counters["allocs_per_subscription"] = benchmark::Counter(
      static_cast<double>(allocationCount - before) / static_cast<double>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_SwitcherPipeline_Rv);
BENCHMARK(BM_SwitcherPipeline_HandLoop);
BENCHMARK(BM_SwitcherPipeline_StdFunction);
BENCHMARK(BM_PublishFanOut_Rv)->Arg(1)->Arg(2)->Arg(8)->Arg(32)->Arg(100);
BENCHMARK(BM_PublishFanOut_HandLoop)->Arg(1)->Arg(2)->Arg(8)->Arg(32)->Arg(100);
BENCHMARK(BM_PublishFanOut_StdFunction)->Arg(1)->Arg(2)->Arg(8)->Arg(32)->Arg(100);
BENCHMARK(BM_ProducerChain_Rv);
BENCHMARK(BM_ProducerChain_HandLoop);
BENCHMARK(BM_ProducerChain_StdFunction);
BENCHMARK(BM_SubscribeDispose_Rv);
BENCHMARK(BM_SubscribeDispose_StdFunction);

BENCHMARK_MAIN();
