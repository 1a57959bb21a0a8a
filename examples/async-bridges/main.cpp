// The bridges between observables and tasks, as a program of its own uses
// them: an observable's values summed in a task, a stream fed from another
// thread that ends with an error, a loop that stops early, and a stream
// observed; and a chain of a million concatenations let go at once. Each
// prints what it got; the program fails when one is wrong.
// Built optimised with both compilers against the installed package
// (scripts/example):
//
//   g++ -std=c++20 -O2 main.cpp $(pkg-config --cflags --libs kestrix)

#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "RvStreams/Concat.h"
#include "RvStreams/Create.h"
#include "RvStreams/Just.h"
#include "RvStreams/ObservableAsync.h"
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

  // A chain of a million concatenations, each over the one before: letting
  // go of it runs a million destructors one inside another, on stacks of the
  // library's own past a few levels.
  auto innermost = std::make_shared<int>(0);
  const std::weak_ptr<int> watched = innermost;
  rv::Ref<rv::Observable<int>> chain =
      rv::create<int>([held = std::move(innermost)](rv::AnyObserver<int>) {
        (void)held;
        return rv::Disposables::create();
      });
  for (int level = 1; level <= 1'000'000; ++level) chain = rv::concat(chain, rv::just(level));
  chain.reset();
  ok = check("a million levels let go", watched.expired(), true) && ok;
  return ok ? 0 : 1;
}
