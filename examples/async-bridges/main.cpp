// The bridges between observables and tasks, as a program of its own uses
// them: an observable's values summed in a task, a stream fed from another
// thread that ends with an error, a loop that stops early, and a stream
// observed; then the shapes docs/USING.md asks of a program: callables and
// choices made into named locals before a co_await, a long loop of awaits of
// tasks that finish at once, awaits nested a million deep, and a coroutine of
// the program's own type destroyed while it waits for a stream. Each prints
// what it got; the program fails when one is wrong. Built optimised with both
// compilers, and with g++ under the address and undefined-behaviour
// sanitizers, against the installed package (scripts/example):
//
//   g++ -std=c++20 -O2 main.cpp $(pkg-config --cflags --libs kestrix)

#include <coroutine>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "RvStreams/Create.h"
#include "RvStreams/Maybe.h"
#include "RvStreams/ObservableAsync.h"
#include "RvStreams/PrimitiveSequenceAsync.h"
#include "RvStreams/Subscribe.h"
#include "async/Async.h"

namespace {

async::Task<int> sum(async::AsyncThrowingStream<int> stream) {
  int total = 0;
  auto it = stream.makeAsyncIterator();
  try {
    while (auto element = co_await it.next()) total += *element;
  } catch (const std::runtime_error&) {
    total = -total;  // the error came after the elements
  }
  co_return total;
}

async::Task<int> firstTwo(async::AsyncStream<int> stream) {
  int total = 0, taken = 0;
  auto it = stream.makeAsyncIterator();
  while (auto element = co_await it.next()) {
    total += *element;
    if (++taken == 2) break;
  }
  co_return total;
}

async::Task<int> answer(int i) { co_return i; }

// Each callable and each choice is a named local before its co_await (g++ 12
// miscompiles them inside the operand); `shared` counts its holders.
async::Task<int> namedLocals(std::shared_ptr<int> shared) {
  int total = 0;
  for (int i = 0; i < 100; ++i) {
    auto body = [shared, i](async::CheckedContinuation<int> continuation) {
      continuation.resume(i);
    };
    total += co_await async::withCheckedThrowingContinuation<int>("body", std::move(body));
    auto onCancel = [shared] {};
    total += co_await async::withTaskCancellationHandler(answer(i), std::move(onCancel));
    rv::Maybe<int> chosen = i % 2 == 0 ? rv::Maybe<int>::just(i) : rv::Maybe<int>::empty();
    std::optional<int> found = co_await rv::value(chosen);
    total += found.value_or(0);
  }
  co_return total + static_cast<int>(shared.use_count());
}

async::Task<int> awaitsInALoop(int count) {
  int total = 0;
  for (int i = 0; i < count; ++i) total += co_await answer(1);
  co_return total;
}

async::Task<int> nestedAwaits(int depth) {
  if (depth == 0) co_return 0;
  co_return 1 + co_await nestedAwaits(depth - 1);
}

// Past the first levels nested awaits take no stack where symmetric transfer
// is a jump (clang; g++ optimising without the sanitizers), and a frame a
// level where it is a call: there a thread's stack holds fewer.
#if defined(__clang__) || (defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__))
constexpr int kNestedAwaits = 1000000;
#else
constexpr int kNestedAwaits = 10000;
#endif

// A coroutine type of the program's own: it runs when called, and whoever
// holds it may destroy it while it is suspended.
class Eager {
 public:
  struct promise_type {
    Eager get_return_object() noexcept {
      return Eager(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
  explicit Eager(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}
  Eager(Eager&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Eager& operator=(Eager&&) = delete;
  ~Eager() {
    if (handle_) handle_.destroy();
  }

 private:
  std::coroutine_handle<promise_type> handle_;
};

Eager takeOne(async::AsyncThrowingStream<int> stream, int& taken) {
  auto it = stream.makeAsyncIterator();
  if (auto element = co_await it.next()) taken = *element;
}

bool check(const char* what, int got, int expected) {
  std::printf("%-28s %d\n", what, got);
  if (got != expected) std::printf("  expected %d\n", expected);
  return got == expected;
}

}  // namespace

int main() {
  auto source = rv::create<int>([](rv::AnyObserver<int> observer) -> rv::Ref<rv::Disposable> {
    for (int i = 1; i <= 10; ++i) observer.onNext(i);
    observer.onCompleted();
    return rv::Disposables::create();
  });
  bool ok = check("values summed", async::syncWait(sum(rv::values(source))), 55);

  std::optional<async::AsyncThrowingStream<int>::Continuation> feed;
  auto summed =
      async::spawn(sum(async::AsyncThrowingStream<int>([&](auto c) { feed.emplace(c); })));
  std::thread([&] {
    for (int i = 1; i <= 5; ++i) feed->yield(i);
    feed->finish(std::make_exception_ptr(std::runtime_error("broken")));
  }).join();
  ok = check("fed by a thread, then error", async::syncWait(summed), -15) && ok;

  std::promise<async::Termination> ended;
  ok = check("the first two of five", async::syncWait(firstTwo(async::AsyncStream<int>([&](auto c) {
               c.setOnTermination([&](async::Termination t) { ended.set_value(t); });
               for (int i = 1; i <= 5; ++i) c.yield(i);
             }))),
             3) &&
       ok;
  ok = check("left early, then cancelled",
             ended.get_future().get() == async::Termination::cancelled, true) &&
       ok;

  std::promise<int> observed;
  int elements = 0;
  auto subscription = rv::subscribe(rv::asObservable(async::AsyncStream<int>([](auto c) {
                                      for (int i = 1; i <= 5; ++i) c.yield(i);
                                      c.finish();
                                    })),
                                    [&](const rv::Event<int>& event) {
                                      if (event.isNext()) ++elements;
                                      if (event.isCompleted()) observed.set_value(elements);
                                    });
  ok = check("a stream observed", observed.get_future().get(), 5) && ok;

  // 100 * (0..99 twice, and the even ones) and the one holder left at the end.
  ok = check("named locals", async::syncWait(namedLocals(std::make_shared<int>(0))),
             2 * 4950 + 2450 + 1) &&
       ok;
  ok = check("a loop of 100,000 awaits", async::syncWait(awaitsInALoop(100000)), 100000) && ok;
  ok = check("nested awaits", async::syncWait(nestedAwaits(kNestedAwaits)), kNestedAwaits) && ok;

  int taken = 0;
  async::AsyncThrowingStream<int> kept([&](auto c) { feed.emplace(c); });
  { Eager waiting = takeOne(kept, taken); }  // destroyed while it waits
  for (int i = 1; i <= 3; ++i) feed->yield(i);
  feed->finish();
  ok = check("after a destroyed consumer", async::syncWait(sum(kept)) + 10 * taken, 6) && ok;
  return ok ? 0 : 1;
}
