// Events per second through the reactive library, each figure paired in the
// same run with a hand-written loop using the same lambdas and with a loop
// making one std::function call per stage. Heap allocations are counted by a
// replaced operator new and reported per event (or per subscription); the
// count is atomic because observeOn allocates on the queue's thread too.

#include <RvRelay/PublishRelay.h>
#include <RvStreams/BehaviorSubject.h>
#include <RvStreams/Catch.h>
#include <RvStreams/CombineLatest.h>
#include <RvStreams/Concat.h>
#include <RvStreams/Create.h>
#include <RvStreams/Just.h>
#include <RvStreams/Map.h>
#include <RvStreams/Merge.h>
#include <RvStreams/ObserveOn.h>
#include <RvStreams/Observers.h>
#include <RvStreams/PublishSubject.h>
#include <RvStreams/ReplaySubject.h>
#include <RvStreams/Scan.h>
#include <RvStreams/SerialDispatchQueueScheduler.h>
#include <RvStreams/Subscribe.h>
#include <RvStreams/WithLatestFrom.h>
#include <RvStreams/Zip.h>
#include <base/BuildFacts.h>
#include <benchmark/benchmark.h>
#include <dispatch/DispatchQueue.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

// The replacement pairs malloc with free, which GCC cannot see through.
#if KX_GCC
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
std::atomic<long> allocationCount{0};
}

void* operator new(std::size_t size) {
  allocationCount.fetch_add(1, std::memory_order_relaxed);
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

// Pushes 0 to 255 into `subject` each iteration; answers how many it pushed.
// Inlined, so that each benchmark's timed loop is compiled in its own body.
template <class Subject>
[[gnu::always_inline]] inline int64_t pushRounds(benchmark::State& state, Subject& subject,
                                                 long& sum) {
  int64_t events = 0;
  for (auto _ : state) {
    for (int i = 0; i < 256; ++i) subject->onNext(i);
    events += 256;
    benchmark::DoNotOptimize(sum);
  }
  return events;
}

// Feeds 0 to 511 to `onA` and `onB` in turn each iteration; answers how
// many events it fed. Inlined, as pushRounds is.
template <class A, class B>
[[gnu::always_inline]] inline int64_t pushPairs(benchmark::State& state, const A& onA, const B& onB,
                                                long& sum) {
  int64_t events = 0;
  for (auto _ : state) {
    for (int i = 0; i < 512; ++i) {
      onA(i);
      onB(i);
    }
    events += 1024;
    benchmark::DoNotOptimize(sum);
  }
  return events;
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
  const long before = allocationCount.load();
  for (auto _ : state) {
    for (ControlAction a : input) relay->accept(a);
    benchmark::DoNotOptimize(sum);
  }
  reportAllocations(state, allocationCount.load() - before,
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
  const long before = allocationCount.load();
  const int64_t events = pushRounds(state, subject, sum);
  reportAllocations(state, allocationCount.load() - before, events);
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
  const long before = allocationCount.load();
  int64_t events = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1024; ++i) source->onNext(i);
    events += 1024;
    benchmark::DoNotOptimize(last);
  }
  reportAllocations(state, allocationCount.load() - before, events);
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
  const long before = allocationCount.load();
  for (auto _ : state) {
    auto subscription = rv::subscribe(chain, {.onNext = [&last](const long& x) { last = x; }});
    subscription->dispose();
    source.reset();
  }
  state.counters["allocs_per_subscription"] =
      benchmark::Counter(static_cast<double>(allocationCount.load() - before) /
                         static_cast<double>(state.iterations()));
  benchmark::DoNotOptimize(last);
}

// The same four stages held as std::function objects, made and destroyed.
void BM_SubscribeDispose_StdFunction(benchmark::State& state) {
  long last = 0;
  const long before = allocationCount.load();
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
  state.counters["allocs_per_subscription"] =
      benchmark::Counter(static_cast<double>(allocationCount.load() - before) /
                         static_cast<double>(state.iterations()));
}

// --- (e) observeOn onto a serial queue ---------------------------------------------

constexpr int64_t kHandoffEvents = 1'000'000;

// Lets the benchmark thread wait until the queue has delivered the last event.
class Latch {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_one();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
    open_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

void BM_ObserveOnSerialQueue_Rv(benchmark::State& state) {
  auto scheduler = rv::SerialDispatchQueueScheduler::create("bench.observeOn");
  auto subject = rv::PublishSubject<int64_t>::create();
  Latch latch;
  int64_t sum = 0;
  auto subscription = rv::subscribe(subject | rv::observeOn(scheduler),
                                    {.onNext = [&sum, &latch](const int64_t& x) {
                                      sum += x;
                                      if (x == kHandoffEvents - 1) latch.open();
                                    }});
  const long before = allocationCount.load();
  for (auto _ : state) {
    for (int64_t i = 0; i < kHandoffEvents; ++i) subject->onNext(i);
    latch.wait();
  }
  reportAllocations(state, allocationCount.load() - before, state.iterations() * kHandoffEvents);
  state.SetItemsProcessed(state.iterations() * kHandoffEvents);
  benchmark::DoNotOptimize(sum);
  subscription->dispose();
}

// The same events handed to the same kind of queue by hand: a mutex-guarded
// buffer, drained by one posted block whenever it goes from empty to
// non-empty, each event handed to a std::function.
void BM_ObserveOnSerialQueue_StdFunctionHandoff(benchmark::State& state) {
  auto queue = dispatch::DispatchQueue::create("bench.handoff");
  Latch latch;
  int64_t sum = 0;
  std::function<void(const int64_t&)> handler = [&sum, &latch](const int64_t& x) {
    sum += x;
    if (x == kHandoffEvents - 1) latch.open();
  };
  std::mutex mutex;
  std::vector<int64_t> buffer;
  std::vector<int64_t> draining;
  std::function<void()> drain = [&] {
    for (;;) {
      {
        std::lock_guard lock(mutex);
        if (buffer.empty()) return;
        std::swap(buffer, draining);
      }
      for (const int64_t x : draining) handler(x);
      draining.clear();
    }
  };
  auto push = [&](int64_t x) {
    bool post = false;
    {
      std::lock_guard lock(mutex);
      post = buffer.empty();
      buffer.push_back(x);
    }
    if (post) queue->async(drain);
  };
  const long before = allocationCount.load();
  for (auto _ : state) {
    for (int64_t i = 0; i < kHandoffEvents; ++i) push(i);
    latch.wait();
  }
  reportAllocations(state, allocationCount.load() - before, state.iterations() * kHandoffEvents);
  state.SetItemsProcessed(state.iterations() * kHandoffEvents);
  benchmark::DoNotOptimize(sum);
}

// --- (e2) subscriptions made on one thread, driven and disposed from another -----

// A queue thread subscribes 64 chains to a subject; the bench thread then
// sends four elements through them and disposes them. Each chain's sink has
// a lock of its own that both threads take.
void BM_CrossThreadSubscribeDispose_Rv(benchmark::State& state) {
  constexpr int kChains = 64;
  auto queue = dispatch::DispatchQueue::create("bench.maker");
  auto subject = rv::PublishSubject<int>::create();
  auto picks = rv::BehaviorSubject<int>::create(3);
  auto chain = subject | rv::map(triple) | rv::withLatestFrom(picks, joinPick);
  Latch made;
  long sum = 0;
  std::vector<rv::Ref<rv::Disposable>> subscriptions;
  for (auto _ : state) {
    queue->async([&] {
      for (int i = 0; i < kChains; ++i) {
        subscriptions.push_back(
            rv::subscribe(chain, {.onNext = [&sum](const int& x) { sum += x; }}));
      }
      made.open();
    });
    made.wait();
    for (int i = 0; i < 4; ++i) subject->onNext(i);
    for (auto& subscription : subscriptions) subscription->dispose();
    subscriptions.clear();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kChains);
}

// --- (e3) subjects on their own threads while another subject's delivery waits ----

// Four threads each push into a subject of their own. In the second form an
// observer of an unrelated subject is held up inside its delivery while that
// subject's observers change, so a replaced snapshot waits for it meanwhile:
// the four threads must not pay for that.
class HeldDelivery {
 public:
  HeldDelivery() {
    auto observer = rv::makeAnonymousObserver<int>([this](const rv::Event<int>&) {
      if (holding_) return;
      holding_ = true;
      entered_.open();
      released_.wait();
    });
    subscriptions_.push_back(subject_->subscribe(observer));
    thread_ = std::thread([this] { subject_->onNext(1); });
    entered_.wait();
    // Replaces the snapshot the held delivery reads.
    subscriptions_.push_back(subject_->subscribe(rv::makeAnonymousObserver<int>([](auto&) {})));
  }
  ~HeldDelivery() {
    released_.open();
    thread_.join();
    for (auto& d : subscriptions_) d->dispose();
  }

 private:
  rv::Ref<rv::PublishSubject<int>> subject_ = rv::PublishSubject<int>::create();
  std::vector<rv::Ref<rv::Disposable>> subscriptions_;
  bool holding_ = false;
  Latch entered_;
  Latch released_;
  std::thread thread_;
};

void independentSubjects(benchmark::State& state, bool holdAnother) {
  static std::optional<HeldDelivery> held;
  if (state.thread_index() == 0 && holdAnother) held.emplace();
  auto subject = rv::PublishSubject<int>::create();
  long sum = 0;
  auto subscription =
      rv::subscribe(subject, [&sum](const rv::Event<int>& e) { sum += *e.element(); });
  const int64_t events = pushRounds(state, subject, sum);
  state.SetItemsProcessed(events);
  subscription->dispose();
  if (state.thread_index() == 0) held.reset();
}

void BM_IndependentSubjects_Rv(benchmark::State& state) { independentSubjects(state, false); }

void BM_IndependentSubjectsWhileADeliveryWaits_Rv(benchmark::State& state) {
  independentSubjects(state, true);
}

// --- (f) combineLatest and zip of two subjects ------------------------------------

const auto sumOf = [](const int& a, const int& b) { return a + b; };

void BM_CombineLatest2_Rv(benchmark::State& state) {
  auto a = rv::PublishSubject<int>::create();
  auto b = rv::PublishSubject<int>::create();
  long sum = 0;
  auto subscription =
      rv::subscribe(rv::combineLatest(a, b, sumOf), {.onNext = [&sum](const int& x) { sum += x; }});
  a->onNext(0);
  const long before = allocationCount.load();
  const int64_t events = pushPairs(
      state, [&](int i) { a->onNext(i); }, [&](int i) { b->onNext(i); }, sum);
  reportAllocations(state, allocationCount.load() - before, events);
  state.SetItemsProcessed(events);
  subscription->dispose();
}

void BM_CombineLatest2_StdFunction(benchmark::State& state) {
  long sum = 0;
  std::optional<int> latestA = 0;
  std::optional<int> latestB;
  std::function<int(const int&, const int&)> selector = sumOf;
  std::function<void(const int&)> sink = [&sum](const int& x) { sum += x; };
  std::function<void(const int&)> onA = [&](const int& x) {
    latestA = x;
    if (latestB) sink(selector(*latestA, *latestB));
  };
  std::function<void(const int&)> onB = [&](const int& x) {
    latestB = x;
    if (latestA) sink(selector(*latestA, *latestB));
  };
  state.SetItemsProcessed(pushPairs(state, onA, onB, sum));
}

// The same, serialising the two sources' events with a mutex as a combining
// operator must when its sources deliver on different threads.
void BM_CombineLatest2_StdFunctionMutex(benchmark::State& state) {
  long sum = 0;
  std::mutex mutex;
  std::optional<int> latestA = 0;
  std::optional<int> latestB;
  std::function<int(const int&, const int&)> selector = sumOf;
  std::function<void(const int&)> sink = [&sum](const int& x) { sum += x; };
  std::function<void(const int&)> onA = [&](const int& x) {
    std::lock_guard lock(mutex);
    latestA = x;
    if (latestB) sink(selector(*latestA, *latestB));
  };
  std::function<void(const int&)> onB = [&](const int& x) {
    std::lock_guard lock(mutex);
    latestB = x;
    if (latestA) sink(selector(*latestA, *latestB));
  };
  state.SetItemsProcessed(pushPairs(state, onA, onB, sum));
}

void BM_Zip2_Rv(benchmark::State& state) {
  auto a = rv::PublishSubject<int>::create();
  auto b = rv::PublishSubject<int>::create();
  long sum = 0;
  auto subscription =
      rv::subscribe(rv::zip(a, b, sumOf), {.onNext = [&sum](const int& x) { sum += x; }});
  const long before = allocationCount.load();
  const int64_t events = pushPairs(
      state, [&](int i) { a->onNext(i); }, [&](int i) { b->onNext(i); }, sum);
  reportAllocations(state, allocationCount.load() - before, events);
  state.SetItemsProcessed(events);
  subscription->dispose();
}

void BM_Zip2_StdFunction(benchmark::State& state) {
  long sum = 0;
  std::deque<int> queueA;
  std::deque<int> queueB;
  std::function<int(const int&, const int&)> selector = sumOf;
  std::function<void(const int&)> sink = [&sum](const int& x) { sum += x; };
  auto emitRow = [&] {
    if (queueA.empty() || queueB.empty()) return;
    const int x = queueA.front();
    const int y = queueB.front();
    queueA.pop_front();
    queueB.pop_front();
    sink(selector(x, y));
  };
  std::function<void(const int&)> onA = [&](const int& x) {
    queueA.push_back(x);
    emitRow();
  };
  std::function<void(const int&)> onB = [&](const int& x) {
    queueB.push_back(x);
    emitRow();
  };
  state.SetItemsProcessed(pushPairs(state, onA, onB, sum));
}

// The same, serialised with a mutex.
void BM_Zip2_StdFunctionMutex(benchmark::State& state) {
  long sum = 0;
  std::mutex mutex;
  std::deque<int> queueA;
  std::deque<int> queueB;
  std::function<int(const int&, const int&)> selector = sumOf;
  std::function<void(const int&)> sink = [&sum](const int& x) { sum += x; };
  auto emitRow = [&] {
    if (queueA.empty() || queueB.empty()) return;
    const int x = queueA.front();
    const int y = queueB.front();
    queueA.pop_front();
    queueB.pop_front();
    sink(selector(x, y));
  };
  std::function<void(const int&)> onA = [&](const int& x) {
    std::lock_guard lock(mutex);
    queueA.push_back(x);
    emitRow();
  };
  std::function<void(const int&)> onB = [&](const int& x) {
    std::lock_guard lock(mutex);
    queueB.push_back(x);
    emitRow();
  };
  state.SetItemsProcessed(pushPairs(state, onA, onB, sum));
}

// --- (g) flatMap, concatMap and concat: one subscription per inner sequence -------

void BM_FlatMap_Rv(benchmark::State& state) {
  auto subject = rv::PublishSubject<int>::create();
  long sum = 0;
  auto subscription = rv::subscribe(subject | rv::flatMap([](const int& x) { return rv::just(x); }),
                                    {.onNext = [&sum](const int& x) { sum += x; }});
  const int64_t events = pushRounds(state, subject, sum);
  state.SetItemsProcessed(events);
  subscription->dispose();
}

void BM_ConcatMap_Rv(benchmark::State& state) {
  auto subject = rv::PublishSubject<int>::create();
  long sum = 0;
  auto subscription =
      rv::subscribe(subject | rv::concatMap([](const int& x) { return rv::just(x); }),
                    {.onNext = [&sum](const int& x) { sum += x; }});
  const int64_t events = pushRounds(state, subject, sum);
  state.SetItemsProcessed(events);
  subscription->dispose();
}

// Per outer element: a std::function for the inner sequence, made and called.
void BM_InnerPerElement_StdFunction(benchmark::State& state) {
  long sum = 0;
  std::function<void(const int&)> sink = [&sum](const int& x) { sum += x; };
  for (auto _ : state) {
    for (int i = 0; i < 256; ++i) {
      std::function<void()> inner = [&sink, i] { sink(i); };
      benchmark::DoNotOptimize(inner);
      inner();
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 256);
}

void BM_Concat_Rv(benchmark::State& state) {
  std::vector<rv::Ref<rv::Observable<int>>> sources;
  for (int i = 0; i < 64; ++i) sources.push_back(rv::just(i));
  auto concatenated = rv::concat(sources);
  long sum = 0;
  for (auto _ : state) {
    rv::subscribe(concatenated, {.onNext = [&sum](const int& x) { sum += x; }});
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 64);
}

// --- (g2) concat, catchError and retry: made and let go, and subscribed ----------
// Each is made over two sources made once, and let go at once; or made once and
// subscribed to (its sources complete at once, so each subscription ends
// there). Beside them: a std::function holding the same two sources, made and
// destroyed, and called for each element a subscription delivers.

struct TwoSources {
  rv::Ref<rv::Observable<int>> first = rv::just(1);
  rv::Ref<rv::Observable<int>> second = rv::just(2);
};

const auto concatOf = [](const TwoSources& s) { return rv::concat(s.first, s.second); };
const auto catchErrorOf = [](const TwoSources& s) {
  return s.first | rv::catchError([second = s.second](const rv::Error&) { return second; });
};
const auto catchSourcesOf = [](const TwoSources& s) {
  return rv::catchError(std::vector<rv::Ref<rv::Observable<int>>>{s.first, s.second});
};
const auto retryOf = [](const TwoSources& s) { return s.first | rv::retry(); };
const auto retryCountOf = [](const TwoSources& s) { return s.first | rv::retry(3); };

void reportAllocationsPerIteration(benchmark::State& state, long allocations) {
  state.counters["allocs_per_iteration"] = benchmark::Counter(
      static_cast<double>(allocations) / static_cast<double>(state.iterations()));
}

template <class Make>
void createDrop(benchmark::State& state, Make make) {
  const TwoSources sources;
  const long before = allocationCount.load();
  for (auto _ : state) {
    auto made = make(sources);
    benchmark::DoNotOptimize(made);
  }
  reportAllocationsPerIteration(state, allocationCount.load() - before);
}

template <class Make>
void subscribeTo(benchmark::State& state, Make make) {
  const TwoSources sources;
  auto made = make(sources);
  long sum = 0;
  const long before = allocationCount.load();
  for (auto _ : state) {
    rv::subscribe(made, {.onNext = [&sum](const int& x) { sum += x; }});
    benchmark::DoNotOptimize(sum);
  }
  reportAllocationsPerIteration(state, allocationCount.load() - before);
}

void BM_ConcatCreateDrop_Rv(benchmark::State& state) { createDrop(state, concatOf); }
void BM_CatchErrorCreateDrop_Rv(benchmark::State& state) { createDrop(state, catchErrorOf); }
void BM_CatchSourcesCreateDrop_Rv(benchmark::State& state) { createDrop(state, catchSourcesOf); }
void BM_RetryCreateDrop_Rv(benchmark::State& state) { createDrop(state, retryOf); }
void BM_RetryCountCreateDrop_Rv(benchmark::State& state) { createDrop(state, retryCountOf); }

void BM_CreateDrop_StdFunction(benchmark::State& state) {
  createDrop(state, [](const TwoSources& s) {
    return std::function<int()>([first = s.first, second = s.second] {
      return static_cast<int>(first.use_count() + second.use_count());
    });
  });
}

void BM_ConcatSubscribe_Rv(benchmark::State& state) { subscribeTo(state, concatOf); }
void BM_CatchErrorSubscribe_Rv(benchmark::State& state) { subscribeTo(state, catchErrorOf); }
void BM_CatchSourcesSubscribe_Rv(benchmark::State& state) { subscribeTo(state, catchSourcesOf); }
void BM_RetrySubscribe_Rv(benchmark::State& state) { subscribeTo(state, retryOf); }
void BM_RetryCountSubscribe_Rv(benchmark::State& state) { subscribeTo(state, retryCountOf); }

// The elements of a concat of the two, through a std::function made per
// subscription.
void BM_Subscribe_StdFunction(benchmark::State& state) {
  long sum = 0;
  for (auto _ : state) {
    std::function<void(const int&)> sink = [&sum](const int& x) { sum += x; };
    benchmark::DoNotOptimize(sink);
    sink(1);
    sink(2);
    benchmark::DoNotOptimize(sum);
  }
}

// --- (g3) letting go of chains nested `depth` deep: the cost per level ----------
// Each level is a concat of the level below and a source shared by all. Chains
// enough for 100,000 levels are made with the timer stopped and let go with it
// running; `per_level` is the time a level took. Up to kFlatDeletionDepth (4)
// levels a chain runs on the thread's stack; deeper ones on a segment, whose
// pages past its top 1 MiB are given back after each chain and made ready
// again by the next.

void BM_DeepChainDrop_Rv(benchmark::State& state) {
  const auto depth = static_cast<int>(state.range(0));
  const auto leaf = rv::just(0);
  std::vector<rv::Ref<rv::Observable<int>>> chains(std::max(1, 100'000 / depth));
  int64_t levels = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& chain : chains) {
      chain = leaf;
      for (int level = 0; level < depth; ++level) chain = rv::concat(chain, leaf);
    }
    state.ResumeTiming();
    for (auto& chain : chains) chain.reset();
    levels += static_cast<int64_t>(chains.size()) * depth;
  }
  state.counters["per_level"] = benchmark::Counter(
      static_cast<double>(levels), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// --- (h) replay ------------------------------------------------------------------

void BM_ReplayEvents_Rv(benchmark::State& state) {
  auto subject = rv::ReplaySubject<int>::create(16);
  long sum = 0;
  auto subscription = rv::subscribe(subject, {.onNext = [&sum](const int& x) { sum += x; }});
  const long before = allocationCount.load();
  const int64_t events = pushRounds(state, subject, sum);
  reportAllocations(state, allocationCount.load() - before, events);
  state.SetItemsProcessed(events);
  subscription->dispose();
}

// A late subscriber receives the 16 buffered elements, then leaves.
void BM_ReplaySubscribeDispose_Rv(benchmark::State& state) {
  auto subject = rv::ReplaySubject<int>::create(16);
  for (int i = 0; i < 16; ++i) subject->onNext(i);
  long sum = 0;
  for (auto _ : state) {
    auto subscription = rv::subscribe(subject, {.onNext = [&sum](const int& x) { sum += x; }});
    subscription->dispose();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 16);
}

// The same 16 elements kept in a buffer and replayed through a std::function.
void BM_ReplaySubscribeDispose_StdFunction(benchmark::State& state) {
  std::deque<int> buffer;
  for (int i = 0; i < 16; ++i) buffer.push_back(i);
  long sum = 0;
  for (auto _ : state) {
    std::function<void(const int&)> sink = [&sum](const int& x) { sum += x; };
    benchmark::DoNotOptimize(sink);
    for (const int x : buffer) sink(x);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 16);
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
BENCHMARK(BM_ObserveOnSerialQueue_Rv)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ObserveOnSerialQueue_StdFunctionHandoff)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CrossThreadSubscribeDispose_Rv)->UseRealTime();
BENCHMARK(BM_IndependentSubjects_Rv)->Threads(4)->UseRealTime();
BENCHMARK(BM_IndependentSubjectsWhileADeliveryWaits_Rv)->Threads(4)->UseRealTime();
BENCHMARK(BM_CombineLatest2_Rv);
BENCHMARK(BM_CombineLatest2_StdFunction);
BENCHMARK(BM_CombineLatest2_StdFunctionMutex);
BENCHMARK(BM_Zip2_Rv);
BENCHMARK(BM_Zip2_StdFunction);
BENCHMARK(BM_Zip2_StdFunctionMutex);
BENCHMARK(BM_FlatMap_Rv);
BENCHMARK(BM_ConcatMap_Rv);
BENCHMARK(BM_InnerPerElement_StdFunction);
BENCHMARK(BM_Concat_Rv);
BENCHMARK(BM_ConcatCreateDrop_Rv);
BENCHMARK(BM_CatchErrorCreateDrop_Rv);
BENCHMARK(BM_CatchSourcesCreateDrop_Rv);
BENCHMARK(BM_RetryCreateDrop_Rv);
BENCHMARK(BM_RetryCountCreateDrop_Rv);
BENCHMARK(BM_CreateDrop_StdFunction);
BENCHMARK(BM_ConcatSubscribe_Rv);
BENCHMARK(BM_CatchErrorSubscribe_Rv);
BENCHMARK(BM_CatchSourcesSubscribe_Rv);
BENCHMARK(BM_RetrySubscribe_Rv);
BENCHMARK(BM_RetryCountSubscribe_Rv);
BENCHMARK(BM_Subscribe_StdFunction);
BENCHMARK(BM_DeepChainDrop_Rv)->Arg(1)->Arg(4)->Arg(100)->Arg(1000)->Arg(100000);
BENCHMARK(BM_ReplayEvents_Rv);
BENCHMARK(BM_ReplaySubscribeDispose_Rv);
BENCHMARK(BM_ReplaySubscribeDispose_StdFunction);

BENCHMARK_MAIN();
