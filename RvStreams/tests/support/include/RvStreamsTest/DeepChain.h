#pragma once

// Checks that a chain of operators nested far deeper than a stack could hold
// a frame per level is let go without a frame per level.

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

#include "RvStreams/Catch.h"
#include "RvStreams/Concat.h"
#include "RvStreams/Just.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/Recording.h"
#include "base/BuildFacts.h"
#include "baseTest/Stacks.h"

namespace rv::test {

// Deep enough that a destructor inside a destructor per level overflows the
// small stack below even in an optimised build (under AddressSanitizer, a
// whole 8 MiB stack). Under ThreadSanitizer, to which every 32 levels let go
// take a thread's state of their own (some 800 KiB), fewer: still more than
// the small stack holds a frame per level of.
#if KX_TSAN
inline constexpr int kDeepChainLevels = 2000;
#else
inline constexpr int kDeepChainLevels = 20000;
#endif

// The operators that drain nested ones of their own kind in place, and a mix
// of all of them, level after level.
enum class Nesting { concat, catchSources, retry, retryCount, mixed };
inline constexpr Nesting kNestingKinds[] = {Nesting::concat, Nesting::catchSources, Nesting::retry,
                                            Nesting::retryCount};

// `inner` nested in one more level of `kind`; `level` tells the levels apart.
inline Ref<Observable<int>> nestOnce(Nesting kind, const Ref<Observable<int>>& inner, int level) {
  switch (kind) {
    case Nesting::concat:
      return concat(inner, just(level));
    case Nesting::catchSources:
      return catchError(std::vector<Ref<Observable<int>>>{inner, just(level)});
    case Nesting::retry:
      return inner | retry();
    case Nesting::retryCount:
      return inner | retry(2);
    case Nesting::mixed:
      break;
  }
  return nestOnce(kNestingKinds[level % 4], inner, level);
}

inline constexpr std::size_t kSmallStackBytes = 512 * 1024;

using base::testing::onStackOf;

// How much of its stack a new thread takes before its start routine runs:
// its thread-local storage, a few KiB, but hundreds under ThreadSanitizer,
// which leaves a thread given 512 KiB about 128. Measured once.
inline std::size_t stackTakenByNewThreads() {
  static const std::size_t taken = [] {
    std::size_t bytes = 0;
    onStackOf(kSmallStackBytes, [&bytes] {
      pthread_attr_t self;
      if (pthread_getattr_np(pthread_self(), &self) != 0) return;
      void* lowest = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&self, &lowest, &size) == 0) {
        const auto usable = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) -
                            reinterpret_cast<std::uintptr_t>(lowest);
        bytes = size - std::min<std::size_t>(usable, size);
      }
      pthread_attr_destroy(&self);
    });
    return bytes;
  }();
  return taken;
}

// Runs `body` on a thread of its own with `bytes` of stack to use, and waits
// for it.
inline void onStackToUse(std::size_t bytes, std::function<void()> body) {
  onStackOf(bytes + stackTakenByNewThreads(), std::move(body));
}

// Runs `body` on a thread of its own with 512 KiB of stack to use, a few
// hundred frames, and waits for it.
inline void onSmallStack(std::function<void()> body) {
  onStackToUse(kSmallStackBytes, std::move(body));
}

// The lowest address of the calling thread's stack.
inline std::uintptr_t lowestOfThisStack() {
  pthread_attr_t self;
  void* lowest = nullptr;
  std::size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &self) == 0) {
    EXPECT_EQ(pthread_attr_getstack(&self, &lowest, &size), 0);
    pthread_attr_destroy(&self);
  }
  EXPECT_NE(lowest, nullptr);
  return reinterpret_cast<std::uintptr_t>(lowest);
}

// Calls `body` from frames deep enough in the calling thread's stack that
// less than `left` bytes of it are left below them.
[[gnu::noinline]] inline void withLittleStackLeft(std::size_t left,
                                                  const std::function<void()>& body,
                                                  std::uintptr_t lowest = lowestOfThisStack()) {
  volatile char frame[512];
  frame[0] = 0;
  if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) - lowest < left) {
    body();
  } else {
    withLittleStackLeft(left, body, lowest);
  }
  frame[sizeof(frame) - 1] = frame[0];
}

// `nest(inner, level)` wraps `inner` in one more level of the operator. The
// chain is built here and let go on a thread with a small stack: by the last
// of two owners without having been subscribed; and by its owner while a
// subscription holds it, then by the subscription, disposed or run to its end
// (the head completes, which ends every chain of these operators).
template <class Nest>
void expectDeepChainLetGoFlat(Nest nest) {
  // Watches the innermost level, which the outer ones hold.
  Weak<Observable<int>> innermost;
  auto build = [&](const Ref<Observable<int>>& head) {
    Ref<Observable<int>> chain = nest(head, 1);
    innermost = chain;
    for (int level = 2; level <= kDeepChainLevels; ++level) chain = nest(chain, level);
    return chain;
  };

  Ref<Observable<int>> chain = build(just(0));
  Ref<Observable<int>> other = chain;
  onSmallStack([&] { chain.reset(); });
  EXPECT_FALSE(innermost.expired());
  onSmallStack([&] { other.reset(); });
  EXPECT_TRUE(innermost.expired());

  for (const bool dispose : {true, false}) {
    auto head = PublishSubject<int>::create();
    chain = build(head);
    auto recorder = RecordingObserver<int>::create();
    onSmallStack([&] {
      Ref<Disposable> subscription = chain->subscribe(recorder);
      chain.reset();
      if (dispose) {
        subscription->dispose();
      } else {
        head->onCompleted();
      }
    });
    EXPECT_TRUE(innermost.expired()) << (dispose ? "disposed" : "completed");
    EXPECT_EQ(recorder->completedCount(), dispose ? 0 : 1);
  }
}

inline void expectDeepChainLetGoFlat(Nesting kind) {
  expectDeepChainLetGoFlat([kind](const Ref<Observable<int>>& inner, int level) {
    return nestOnce(kind, inner, level);
  });
}

}  // namespace rv::test
