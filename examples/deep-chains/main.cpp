// Deep chains in a program built with a sanitizer against the package built
// without one, as scripts/example builds it (g++ under AddressSanitizer, and
// unoptimised under ThreadSanitizer):
//
//   g++ -std=c++20 -Og -fsanitize=address main.cpp $(pkg-config --cflags --libs kestrix)
//
// The library finds the sanitizer at run time and announces the stacks it
// lets chains go on. A destructor deep in a chain throws and catches an
// exception there, and the next chains' destructors use the same stack;
// chains thousands of levels deep (each level some frames the sanitizer
// follows) are let go on the main thread and on four others at once. The
// sanitizer reports nothing; the program fails when a level is left.

#include <atomic>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "RvStreams/Concat.h"
#include "RvStreams/Create.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Just.h"

namespace {

using Chain = rv::Ref<rv::Observable<int>>;

// `levels` concatenations over a source that holds `held`.
Chain chainAround(std::shared_ptr<void> held, int levels) {
  Chain chain = rv::create<int>([held = std::move(held)](rv::AnyObserver<int>) {
    (void)held;
    return rv::Disposables::create();
  });
  for (int level = 1; level <= levels; ++level) chain = rv::concat(chain, rv::just(level));
  return chain;
}

[[gnu::noinline]] int throwFrom(int frames) {
  volatile char frame[256] = {};
  if (frames == 0) throw std::runtime_error("thrown on a deletion stack");
  return throwFrom(frames - 1) + frame[0];
}

[[gnu::noinline]] int useStack(int frames) {
  volatile char frame[512];
  for (auto& byte : frame) byte = 1;
  return frames == 0 ? frame[0] : useStack(frames - 1) + frame[1];
}

struct Throws {
  ~Throws() {
    try {
      throwFrom(40);
    } catch (const std::runtime_error&) {
    }
  }
};

struct UsesStack {
  ~UsesStack() { useStack(60); }
};

// Lets go of chains that throw and that use their stack, then of a deep one;
// false when a level is left.
bool letGo(int deepLevels) {
  for (int round = 0; round < 3; ++round) {
    chainAround(std::make_shared<Throws>(), 10).reset();
    chainAround(std::make_shared<UsesStack>(), 10).reset();
  }
  auto innermost = std::make_shared<int>(0);
  const std::weak_ptr<int> watched = innermost;
  chainAround(std::move(innermost), deepLevels).reset();
  return watched.expired();
}

}  // namespace

int main() {
  bool ok = letGo(5'000);
  std::atomic<int> left{0};
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&left] { left += letGo(2'000) ? 0 : 1; });
  }
  for (auto& thread : threads) thread.join();
  ok = ok && left == 0;
  std::puts(ok ? "deep chains let go" : "a level was left");
  return ok ? 0 : 1;
}
