// Letting go of concatenations and catch sequences inside the deletion of
// others: in C++ destruction order up to the bound, level after level past
// it, and never deeper than a small stack holds.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Map.h"
#include "RvStreams/detail/FlatDeletion.h"
#include "RvStreamsTest/DeepChain.h"
#include "RvStreamsTest/TestKit.h"
#include "dispatch/DispatchQueue.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace rv {
namespace {

using test::kNestingKinds;
using test::Nesting;
using test::nestOnce;
using Chain = Ref<Observable<int>>;

// A source that owns `held` for as long as it lives, and never emits.
template <class... Held>
Chain holding(Held... held) {
  return create<int>([held = std::make_tuple(std::move(held)...)](AnyObserver<int>) {
    (void)held;
    return Disposables::create();
  });
}

// Guards enter their registry when made and leave it when destroyed. A guard
// that outlives its registry reports it instead of touching freed memory.
struct Registry {
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  std::set<const void*> guards;
  ~Registry() {
    EXPECT_TRUE(guards.empty()) << "a registry was freed before its guards";
    *alive = false;
  }
};

class Guard {
 public:
  explicit Guard(Registry& registry) : registry_(registry), alive_(registry.alive) {
    registry_.guards.insert(this);
  }
  ~Guard() {
    if (*alive_) {
      registry_.guards.erase(this);
    } else {
      ADD_FAILURE() << "a guard outlived its registry";
    }
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  Registry& registry_;
  std::shared_ptr<bool> alive_;
};

// Owns a registry and a chain whose source holds a guard into it and the
// owner nested inside; the chain, declared last, goes first.
struct Owner {
  Registry registry;
  Chain chain;
};

// Resets its chain under its lock. The chain's checkers count, from their
// destructors, whether the thread destroying them holds that lock; a watcher
// reads the counts under the lock from another thread.
class LockedOwner {
 public:
  void setChain(Chain chain) { chain_ = std::move(chain); }
  void reset() {
    std::lock_guard lock(mutex_);
    holder_ = std::this_thread::get_id();
    chain_.reset();
    holder_ = {};
  }
  void checkerDestroyed() {
    if (holder_ == std::this_thread::get_id()) {
      ++underLock_;
    } else {
      ++unlocked_;
    }
  }
  std::pair<int, int> counts() {
    std::lock_guard lock(mutex_);
    return {underLock_, unlocked_};
  }

 private:
  std::mutex mutex_;
  std::thread::id holder_;
  int underLock_ = 0;
  int unlocked_ = 0;
  Chain chain_;
};

// Calls `action` once the last owner lets go.
std::shared_ptr<void> onRelease(std::function<void()> action) {
  return std::shared_ptr<void>(nullptr, [action = std::move(action)](void*) { action(); });
}

// Owners `levels` deep, each holding the one below through its chain, in a
// chain of `kind` of their own with `maps` plain operators between levels;
// `innermost` watches the deepest owner.
Chain ownersNested(Nesting kind, int levels, Weak<Owner>& innermost, int maps = 0) {
  auto nest = [kind, maps](Chain inner, int level) {
    for (int map = 0; map < maps; ++map) inner = inner | rv::map([](int value) { return value; });
    return nestOnce(kind, inner, level);
  };
  std::shared_ptr<Owner> inner;
  for (int level = 1; level <= levels; ++level) {
    auto owner = std::make_shared<Owner>();
    owner->chain = nest(holding(std::make_shared<Guard>(owner->registry), inner), level);
    if (level == 1) innermost = owner;
    inner = std::move(owner);
  }
  return nest(holding(std::move(inner)), 0);
}

// Lets go of owners `levels` deep and checks that they are all gone.
void letGoOfOwners(Nesting kind, int levels, int maps = 0) {
  Weak<Owner> innermost;
  ownersNested(kind, levels, innermost, maps).reset();
  EXPECT_TRUE(innermost.expired());
}

// A context with a stack of its own, switched to and from by swapcontext as
// fiber libraries do, and announced to the sanitizers as they ask.
class Fiber {
 public:
  explicit Fiber(std::function<void()> body) : body_(std::move(body)) {
    stack_ = mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(stack_, MAP_FAILED);
    getcontext(&context_);
    context_.uc_stack = {stack_, 0, kStackBytes};
    context_.uc_link = nullptr;
    makecontext(&context_, &Fiber::start, 0);
#if defined(__SANITIZE_THREAD__)
    fiber_ = __tsan_create_fiber(0);
#endif
  }
  ~Fiber() {
    EXPECT_TRUE(finished_);
#if defined(__SANITIZE_THREAD__)
    __tsan_destroy_fiber(fiber_);
#endif
    munmap(stack_, kStackBytes);
  }
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Runs the fiber, on the calling thread, until it yields or ends.
  void resume() {
    tStarting = this;
#if defined(__SANITIZE_THREAD__)
    caller_ = __tsan_get_current_fiber();
    __tsan_switch_to_fiber(fiber_, 0);
#endif
    [[maybe_unused]] void* fakeStack = nullptr;
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_start_switch_fiber(&fakeStack, stack_, kStackBytes);
#endif
    swapcontext(&resumer_, &context_);
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_finish_switch_fiber(fakeStack, nullptr, nullptr);
#endif
  }

  // From inside the fiber: back to whoever resumed it.
  void yield() {
    switchToResumer(&fakeStack_);
    switchedIn();
  }

  bool finished() const { return finished_; }

 private:
  static constexpr std::size_t kStackBytes = 256 * 1024;

  static void start() {
    Fiber* self = tStarting;
    self->switchedIn();
    self->body_();
    self->finished_ = true;
    self->switchToResumer(nullptr);
  }

  void switchedIn() {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_finish_switch_fiber(fakeStack_, &resumerStack_, &resumerStackBytes_);
#endif
  }

  void switchToResumer([[maybe_unused]] void** fakeStack) {
#if defined(__SANITIZE_THREAD__)
    __tsan_switch_to_fiber(caller_, 0);
#endif
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_start_switch_fiber(fakeStack, resumerStack_, resumerStackBytes_);
#endif
    swapcontext(&context_, &resumer_);
  }

  static inline thread_local Fiber* tStarting = nullptr;
  std::function<void()> body_;
  void* stack_ = nullptr;
  ucontext_t context_{};
  ucontext_t resumer_{};
  bool finished_ = false;
  void* fakeStack_ = nullptr;
  const void* resumerStack_ = nullptr;
  std::size_t resumerStackBytes_ = 0;
#if defined(__SANITIZE_THREAD__)
  void* fiber_ = nullptr;
  void* caller_ = nullptr;
#endif
};

// Deletions on fibers' stacks are plain destructors, whatever runs while one
// is suspended: another fiber's, the thread's own stack's, and one on a fiber
// while the thread's own stack is in the middle of a deletion; and the fiber
// resumed on another thread finishes its deletion there. Each lets go of
// owners, whose guards must go first and all by the time it goes on.
TEST(NestedDeletion, DeletionsOnFibersAreDestructorsWhereverTheyAreSuspended) {
  std::unique_ptr<Fiber> suspended;
  suspended = std::make_unique<Fiber>([&suspended] {
    Chain chain = concat(holding(onRelease([&suspended] { suspended->yield(); })), just(1));
    chain.reset();
    letGoOfOwners(Nesting::mixed, 3);
  });
  suspended->resume();
  ASSERT_FALSE(suspended->finished());

  Fiber other([] { letGoOfOwners(Nesting::mixed, 3); });
  other.resume();
  EXPECT_TRUE(other.finished());
  letGoOfOwners(Nesting::mixed, 3);

  Fiber inner([] { letGoOfOwners(Nesting::mixed, 3); });
  Chain chain = concat(holding(onRelease([&inner] { inner.resume(); })), just(2));
  chain.reset();
  EXPECT_TRUE(inner.finished());

  std::thread([&suspended] {
    suspended->resume();
    letGoOfOwners(Nesting::mixed, 3);
  }).join();
  EXPECT_TRUE(suspended->finished());
  letGoOfOwners(Nesting::mixed, 3);
}

// Levels of nesting: 1, 2, as many as a program might write by hand, and as
// many as C++ order holds to (the outer chain is one more).
class NestedDeletionStress : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Levels, NestedDeletionStress,
                         ::testing::Values(1, 2, 64, detail::kFlatDeletionDepth - 1));

// On a thread of 512 KiB: levels of this shape take up to 2.7 KiB of stack
// each unoptimised under AddressSanitizer.
TEST_P(NestedDeletionStress, GuardsAreReleasedBeforeTheirRegistries) {
  test::onSmallStack([levels = GetParam()] {
    for (const Nesting kind : kNestingKinds) {
      SCOPED_TRACE(static_cast<int>(kind));
      letGoOfOwners(kind, levels);
    }
  });
}

TEST_P(NestedDeletionStress, DestructorsRunWhileTheOwnersLockIsHeld) {
#if defined(__SANITIZE_THREAD__)
  // Every level holds its lock while the next takes its own, and
  // ThreadSanitizer follows at most 64 locks held at once.
  if (GetParam() > 64) GTEST_SKIP() << "more locks held at once than ThreadSanitizer follows";
#endif
  for (const Nesting kind : kNestingKinds) {
    SCOPED_TRACE(static_cast<int>(kind));
    std::vector<std::unique_ptr<LockedOwner>> owners;
    LockedOwner* inner = nullptr;
    for (int level = 1; level <= GetParam(); ++level) {
      owners.push_back(std::make_unique<LockedOwner>());
      LockedOwner* owner = owners.back().get();
      auto checker = onRelease([owner] { owner->checkerDestroyed(); });
      auto resetter = inner != nullptr ? onRelease([inner] { inner->reset(); }) : nullptr;
      owner->setChain(nestOnce(kind, holding(checker, resetter), level));
      inner = owner;
    }
    Chain chain = nestOnce(kind, holding(onRelease([inner] { inner->reset(); })), 0);

    std::atomic<bool> done{false};
    std::latch watching(1);
    std::thread watcher([&] {
      watching.count_down();
      while (!done.load()) {
        for (auto& owner : owners) (void)owner->counts();
      }
    });
    watching.wait();
    chain.reset();
    done = true;
    watcher.join();
    for (auto& owner : owners) EXPECT_EQ(owner->counts(), std::make_pair(1, 0));
  }
}

// Plain operators between the levels take stack, not depth: the owners keep
// their order as far as the depth bound on a stack with room for them.
TEST(NestedDeletion, OperatorsBetweenLevelsDoNotShortenTheBound) {
  test::onStackToUse(4 * 1024 * 1024, [] { letGoOfOwners(Nesting::mixed, 96, 4); });
}

// Each level lets go of the level below, then of its own marker, so plain
// destructors record 1, 2, ..., n.
Chain markedChain(const std::shared_ptr<std::vector<int>>& order, int levels) {
  Chain chain = just(0);
  for (int level = 1; level <= levels; ++level) {
    chain = concat(chain, holding(onRelease([order, level] { order->push_back(level); })));
  }
  return chain;
}

std::vector<int> orderOfRelease(int levels) {
  auto order = std::make_shared<std::vector<int>>();
  markedChain(order, levels).reset();
  return *order;
}

std::vector<int> upTo(int last) {
  std::vector<int> levels;
  for (int level = 1; level <= last; ++level) levels.push_back(level);
  return levels;
}

TEST(NestedDeletion, ChainsNestInPlaceUpToTheBoundAndTheOnePastItFinishesWithinIt) {
  constexpr int kBound = detail::kFlatDeletionDepth;
  EXPECT_EQ(orderOfRelease(kBound), upTo(kBound));
  // The innermost level is one past the bound: it is deleted once the level
  // that let it go has finished, before the next one up goes on.
  std::vector<int> pastTheBound = upTo(kBound + 1);
  std::swap(pastTheBound[0], pastTheBound[1]);
  EXPECT_EQ(orderOfRelease(kBound + 1), pastTheBound);
  // Having queued leaves nothing behind: the next chain nests in place again.
  EXPECT_EQ(orderOfRelease(kBound), upTo(kBound));
}

// A fork while deletions wait in the queue: the child, a copy of the thread
// that forked, finishes them as the parent does.
TEST(NestedDeletion, AForkWhileDeletionsAreQueuedLetsBothProcessesFinishThem) {
  constexpr int kLevels = 4 * detail::kFlatDeletionDepth;
  pid_t child = -1;
  bool queuedAtFork = false;
  auto canary = std::make_shared<int>(0);
  Weak<int> innermost = canary;
  Chain chain = holding(std::move(canary));
  for (int level = 1; level <= kLevels; ++level) {
    // Deleted from the queue, once it has queued the level below.
    auto forks = level != kLevels / 4 ? nullptr : onRelease([&] {
      queuedAtFork = detail::tFlatDeletions.queued != nullptr;
      child = fork();
    });
    chain = concat(chain, holding(forks));
  }
  chain.reset();
  if (child == 0) _exit(innermost.expired() ? 0 : 1);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(queuedAtFork);
  EXPECT_TRUE(innermost.expired());
}

// A chain of test::kDeepChainLevels levels of `kind` around a source that
// holds `canary`, which goes when the innermost level is deleted.
Chain deepChainAround(Nesting kind, std::shared_ptr<void> canary) {
  Chain chain = holding(std::move(canary));
  for (int level = 1; level <= test::kDeepChainLevels; ++level)
    chain = nestOnce(kind, chain, level);
  return chain;
}

// Kinds mixed level after level are not drained in place when subscribed,
// but are let go as flat as one kind.
TEST(NestedDeletion, MixedChainsAreLetGoWithoutDeepeningTheStack) {
  auto canary = std::make_shared<int>(0);
  Weak<int> innermost = canary;
  Chain chain = deepChainAround(Nesting::mixed, std::move(canary));
  test::onSmallStack([&] { chain.reset(); });
  EXPECT_TRUE(innermost.expired());
}

// A level whose destructor takes much stack before it lets go of the level
// below: fewer of them nest than the depth bound allows.
TEST(NestedDeletion, LevelsThatTakeMuchStackNestOnlyAsFarAsTheStackBound) {
  struct Hungry {
    explicit Hungry(Chain chain) : inner(std::move(chain)) {}
    ~Hungry() {
      volatile char frame[16 * 1024];
      frame[0] = 0;
      frame[sizeof(frame) - 1] = frame[0];
      inner.reset();
    }
    Chain inner;
  };
  auto canary = std::make_shared<int>(0);
  Weak<int> innermost = canary;
  Chain chain = holding(std::move(canary));
  for (int level = 1; level <= test::kDeepChainLevels; ++level) {
    chain = concat(holding(std::make_shared<Hungry>(chain)), just(level));
  }
  test::onSmallStack([&] { chain.reset(); });
  EXPECT_TRUE(innermost.expired());
}

// A destructor lets go of a chain where too little stack is left, then of
// another where there is room: the second is deleted in place, and the
// first once that destructor has returned, not by the second's deletion.
TEST(NestedDeletion, AChainQueuedByADestructorWaitsForThatDestructorNotForTheNextInPlace) {
  std::vector<const char*> order;
  auto marked = [&order](const char* name) {
    return concat(holding(onRelease([&order, name] { order.push_back(name); })), just(1));
  };
  Chain x = marked("x");
  Chain y = marked("y");
  Chain outer =
      concat(holding(onRelease([&] {
               test::withLittleStackLeft(detail::kFlatDeletionMargin / 2, [&] { x.reset(); });
               y.reset();
               order.push_back("destructor returns");
             })),
             just(0));
  test::onSmallStack([&] { outer.reset(); });
  EXPECT_EQ(order, (std::vector<const char*>{"y", "destructor returns", "x"}));
}

// Threads of little stack let go of deep chains in constant stack: the
// smallest the sanitizers run well on, one of 128 KiB, and one that has used
// all but 32 KiB of its stack before it lets go.
TEST(NestedDeletion, DeepChainsAreLetGoInConstantStackWhereLittleIsLeft) {
  const std::function<void(const std::function<void()>&)> threads[] = {
      [](const std::function<void()>& letGo) { test::onStackToUse(64 * 1024, letGo); },
      [](const std::function<void()>& letGo) { test::onStackToUse(128 * 1024, letGo); },
      [](const std::function<void()>& letGo) {
        test::onSmallStack([&] { test::withLittleStackLeft(32 * 1024, letGo); });
      }};
  for (const auto& onThread : threads) {
    auto canary = std::make_shared<int>(0);
    Weak<int> innermost = canary;
    Chain chain = deepChainAround(Nesting::mixed, std::move(canary));
    onThread([&] { chain.reset(); });
    EXPECT_TRUE(innermost.expired());
  }
}

class NestedDeletionDeathTest : public test::DeathTestBase {};

// At thread exit a thread-local chain goes with the thread's other objects;
// at process exit a static one goes on the thread that ends the process.
TEST_F(NestedDeletionDeathTest, DeepChainsAreLetGoAtThreadAndProcessExit) {
  auto canary = std::make_shared<int>(0);
  Weak<int> innermost = canary;
  test::onSmallStack(
      [&] { thread_local Chain chain = deepChainAround(Nesting::mixed, std::move(canary)); });
  EXPECT_TRUE(innermost.expired());

  EXPECT_EXIT(test::onSmallStack([] {
                static Chain chain = deepChainAround(
                    Nesting::mixed,
                    onRelease([] { std::fputs("innermost level deleted\n", stderr); }));
                std::exit(3);
              }),
              ::testing::ExitedWithCode(3), "innermost level deleted");
}

// Pool threads let go of deep chains side by side, each deleted whole by the
// time its let-go returns.
TEST(DeepChainStress, ChainsAreLetGoOnPoolThreads) {
  constexpr int kChains = 8;
  std::vector<Chain> chains;
  std::vector<Weak<int>> innermost;
  for (int i = 0; i < kChains; ++i) {
    auto canary = std::make_shared<int>(i);
    innermost.push_back(canary);
    chains.push_back(deepChainAround(kNestingKinds[i % 4], std::move(canary)));
  }
  std::latch done(kChains);
  std::atomic<int> leftBehind{0};
  for (std::size_t i = 0; i < chains.size(); ++i) {
    dispatch::DispatchQueue::global()->async([&, i] {
      chains[i].reset();
      if (!innermost[i].expired()) ++leftBehind;
      done.count_down();
    });
  }
  done.wait();
  EXPECT_EQ(leftBehind.load(), 0);
}

}  // namespace
}  // namespace rv
