// Letting go of concatenations and catch sequences inside the deletion of
// others: in C++ destruction order at every depth, and never deeper than a
// few levels on any stack the program gave us.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <latch>
#include <limits>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Map.h"
#include "RvStreams/TestSeams.h"
#include "RvStreams/detail/FlatDeletion.h"
#include "RvStreamsTest/DeepChain.h"
#include "RvStreamsTest/TestKit.h"
#include "base/Sanitizers.h"
#include "baseTest/SystemCallFilter.h"
#include "concurrencyTest/InChild.h"
#include "dispatch/DispatchQueue.h"
#include "dispatchTest/Faults.h"
#include "dispatchTest/Processes.h"

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

// A context with a stack of its own (or `carved`, the caller's), switched to
// and from by swapcontext as fiber libraries do, and announced to the
// sanitizers as they ask.
class Fiber {
 public:
  explicit Fiber(std::function<void()> body, std::span<char> carved = {})
      : body_(std::move(body)), stack_(carved.data()), stackBytes_(carved.size()) {
    if (stack_ == nullptr) {
      stackBytes_ = kStackBytes;
      stack_ =
          mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      EXPECT_NE(stack_, MAP_FAILED);
      mapped_ = true;
    }
    getcontext(&context_);
    context_.uc_stack = {stack_, 0, stackBytes_};
    context_.uc_link = nullptr;
    makecontext(&context_, &Fiber::start, 0);
#if KX_TSAN
    fiber_ = __tsan_create_fiber(0);
#endif
  }
  ~Fiber() {
    EXPECT_TRUE(finished_);
#if KX_TSAN
    __tsan_destroy_fiber(fiber_);
#endif
    if (mapped_) munmap(stack_, kStackBytes);
  }
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Runs the fiber, on the calling thread, until it yields or ends.
  void resume() {
    tStarting = this;
#if KX_TSAN
    caller_ = __tsan_get_current_fiber();
    __tsan_switch_to_fiber(fiber_, 0);
#endif
    [[maybe_unused]] void* fakeStack = nullptr;
#if KX_ASAN
    __sanitizer_start_switch_fiber(&fakeStack, stack_, stackBytes_);
#endif
    swapcontext(&resumer_, &context_);
#if KX_ASAN
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
#if KX_ASAN
    __sanitizer_finish_switch_fiber(fakeStack_, &resumerStack_, &resumerStackBytes_);
#endif
  }

  void switchToResumer([[maybe_unused]] void** fakeStack) {
#if KX_TSAN
    __tsan_switch_to_fiber(caller_, 0);
#endif
#if KX_ASAN
    __sanitizer_start_switch_fiber(fakeStack, resumerStack_, resumerStackBytes_);
#endif
    swapcontext(&context_, &resumer_);
  }

  static inline thread_local Fiber* tStarting = nullptr;
  std::function<void()> body_;
  void* stack_ = nullptr;
  std::size_t stackBytes_ = 0;
  bool mapped_ = false;
  ucontext_t context_{};
  ucontext_t resumer_{};
  bool finished_ = false;
  void* fakeStack_ = nullptr;
  const void* resumerStack_ = nullptr;
  std::size_t resumerStackBytes_ = 0;
#if KX_TSAN
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

// Levels of nesting and the stack of the thread that lets them go: 1, 2, as
// many as a program might write by hand, and as deep as a chain nested in a
// loop gets; depth 1 also on the small threads some C libraries make.
struct Depth {
  int levels;
  std::size_t stackBytes = test::kSmallStackBytes;
};

void PrintTo(const Depth& depth, std::ostream* out) {
  *out << depth.levels << " levels on " << depth.stackBytes / 1024 << " KiB";
}

class NestedDeletionStress : public ::testing::TestWithParam<Depth> {};

// Each row is named for its levels and stack, as Levels1000On512KiB.
INSTANTIATE_TEST_SUITE_P(Levels, NestedDeletionStress,
                         ::testing::Values(Depth{1, 16 * 1024}, Depth{1, 64 * 1024}, Depth{1},
                                           Depth{2}, Depth{64}, Depth{128}, Depth{1000}),
                         [](const ::testing::TestParamInfo<Depth>& row) {
                           return "Levels" + std::to_string(row.param.levels) + "On" +
                                  std::to_string(row.param.stackBytes / 1024) + "KiB";
                         });

TEST_P(NestedDeletionStress, GuardsAreReleasedBeforeTheirRegistries) {
  test::onStackToUse(GetParam().stackBytes, [levels = GetParam().levels] {
    for (const Nesting kind : kNestingKinds) {
      SCOPED_TRACE(static_cast<int>(kind));
      letGoOfOwners(kind, levels);
    }
  });
}

// Owners `levels` deep, each resetting its chain, which holds the owner below,
// under its lock.
void resetOwnersUnderTheirLocks(int levels) {
  for (const Nesting kind : kNestingKinds) {
    SCOPED_TRACE(static_cast<int>(kind));
    std::vector<std::unique_ptr<LockedOwner>> owners;
    LockedOwner* inner = nullptr;
    for (int level = 1; level <= levels; ++level) {
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

TEST_P(NestedDeletionStress, DestructorsRunWhileTheOwnersLockIsHeld) {
  test::onStackToUse(GetParam().stackBytes,
                     [levels = GetParam().levels] { resetOwnersUnderTheirLocks(levels); });
}

// Plain operators between the levels take stack, not depth: the owners keep
// their order with them too.
TEST(NestedDeletion, OperatorsBetweenLevelsKeepTheOrder) {
  test::onSmallStack([] { letGoOfOwners(Nesting::mixed, 96, 4); });
}

// Each level lets go of the level below, then of its own marker, so plain
// destructors record 1, 2, ..., n; `atRelease(level)` runs with the marker.
std::vector<int> orderOfRelease(int levels, const std::function<void(int)>& atRelease = {}) {
  auto order = std::make_shared<std::vector<int>>();
  Chain chain = just(0);
  for (int level = 1; level <= levels; ++level) {
    chain = concat(chain, holding(onRelease([order, level, &atRelease] {
                     order->push_back(level);
                     if (atRelease) atRelease(level);
                   })));
  }
  chain.reset();
  return *order;
}

std::vector<int> upTo(int last) {
  std::vector<int> levels;
  for (int level = 1; level <= last; ++level) levels.push_back(level);
  return levels;
}

// At the stack's levels, one past them, and far past, on the thread's stack,
// a thread of 16 KiB and where little of the stack is left.
TEST(NestedDeletion, ChainsAreDeletedInOrderAtEveryDepthOnEveryStack) {
  for (const int levels : {detail::kFlatDeletionDepth, detail::kFlatDeletionDepth + 1, 1000}) {
    EXPECT_EQ(orderOfRelease(levels), upTo(levels));
    test::onStackToUse(16 * 1024, [&] { EXPECT_EQ(orderOfRelease(levels), upTo(levels)); });
    test::onSmallStack([&] {
      test::withLittleStackLeft(detail::kFlatDeletionRoom / 2,
                                [&] { EXPECT_EQ(orderOfRelease(levels), upTo(levels)); });
    });
  }
}

// The main thread's stack is learnt from /proc: without it, all the same.
TEST(NestedDeletion, ChainsAreDeletedInOrderOnTheMainThreadWithoutProc) {
  CONCURRENCY_EXPECT_IN_CHILD([] {
    if (!base::testing::unshareNamespaces(CLONE_NEWNS) ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("none", "/proc", "tmpfs", 0, nullptr) != 0) {
      std::perror("cannot hide /proc here");
      return concurrency::testing::kSkippedInChild;
    }
    detail::resetFlatDeletionsForTesting();  // learnt again, now without /proc
    pthread_attr_t attributes;
    const bool learnt = pthread_getattr_np(pthread_self(), &attributes) == 0;
    if (learnt) pthread_attr_destroy(&attributes);
    const bool inOrder = orderOfRelease(2) == upTo(2) && orderOfRelease(1000) == upTo(1000);
    return inOrder && !learnt ? 0 : 1;
  });
}

// A fork from a destructor on a segment: the child, a copy of the thread that
// forked, finishes the chain there in order, as the parent does.
TEST(NestedDeletion, AForkOnASegmentLetsBothProcessesFinishTheChain) {
#if KX_TSAN
  // It takes the segments' fibers for threads the fork left behind, whose
  // switches order nothing in the child.
  GTEST_SKIP() << "ThreadSanitizer cannot follow a fork on a fiber";
#endif
  constexpr int kLevels = 1000;
  pid_t child = -1;
  bool onSegmentAtFork = false;
  const bool inOrder = orderOfRelease(kLevels, [&](int level) {
                         if (level != kLevels / 2) return;
                         onSegmentAtFork = detail::onDeletionSegmentForTesting();
                         child = fork();
                       }) == upTo(kLevels);
  if (child == 0) _exit(inOrder ? 0 : 1);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(onSegmentAtFork);
  EXPECT_TRUE(inOrder);
}

// A chain of `levels` levels of `kind` around a source that holds `canary`,
// which goes when the innermost level is deleted.
Chain deepChainAround(Nesting kind, std::shared_ptr<void> canary,
                      int levels = test::kDeepChainLevels) {
  Chain chain = holding(std::move(canary));
  for (int level = 1; level <= levels; ++level) chain = nestOnce(kind, chain, level);
  return chain;
}

// A million levels let go on fibers: one whose 16 KiB are carved from the
// thread's own stack, and one of 256 KiB (under ThreadSanitizer, which
// follows 65,536 frames of a fiber, as deep as the others).
TEST(NestedDeletion, MillionLevelsAreLetGoOnSmallFibers) {
#if KX_TSAN
  constexpr int kLevels = test::kDeepChainLevels;
#else
  constexpr int kLevels = 1'000'000;
#endif
  alignas(16) char carved[16 * 1024];
  for (const std::span<char> stack : {std::span<char>(carved), std::span<char>()}) {
    auto canary = std::make_shared<int>(0);
    Weak<int> innermost = canary;
    Chain chain = deepChainAround(Nesting::mixed, std::move(canary), kLevels);
    Fiber fiber([&chain] { chain.reset(); }, stack);
    fiber.resume();
    EXPECT_TRUE(innermost.expired());
  }
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

// Mappings of 64 KiB or more, as a segment's guard and stack are: the
// sanitizers' runtimes map single pages as they go.
std::size_t mappings() {
  std::ifstream maps("/proc/self/maps");
  std::size_t count = 0;
  for (std::uintptr_t low = 0, high = 0;
       maps >> std::hex >> low && maps.get() == '-' && maps >> high;) {
    count += high - low >= 64 * 1024 ? 1 : 0;
    maps.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return count;
}

// Levels whose destructors take much stack before they let go of the level
// below: a segment holds fewer of them, none overflows, and the thread keeps
// one segment afterwards (the others are unmapped).
TEST(NestedDeletion, LevelsThatTakeMuchStackAreLetGoOnMoreSegments) {
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
  for (int level = 1; level <= 2000; ++level) {
    chain = concat(holding(std::make_shared<Hungry>(chain)), just(level));
  }
  test::onSmallStack([&] {
    const std::size_t before = mappings();
    chain.reset();
    // A segment and its guard (ThreadSanitizer maps memory of its own for
    // the segments' fibers).
    if (!KX_TSAN) {
      EXPECT_LE(mappings(), before + 2);
    }
  });
  EXPECT_TRUE(innermost.expired());
}

// A destructor lets go of a chain where too little stack is left, then of
// another where there is room: both are deleted before it goes on.
TEST(NestedDeletion, ADestructorSeesItsChainsDeletedWhereverItsStackEnds) {
  std::vector<const char*> order;
  auto marked = [&order](const char* name) {
    return concat(holding(onRelease([&order, name] { order.push_back(name); })), just(1));
  };
  Chain x = marked("x");
  Chain y = marked("y");
  Chain outer =
      concat(holding(onRelease([&] {
               test::withLittleStackLeft(detail::kFlatDeletionRoom / 2, [&] { x.reset(); });
               y.reset();
               order.push_back("destructor returns");
             })),
             just(0));
  test::onSmallStack([&] { outer.reset(); });
  EXPECT_EQ(order, (std::vector<const char*>{"x", "y", "destructor returns"}));
}

// Threads of little stack let go of deep chains: of 16, 64 and 128 KiB, and
// one that has used all but 32 KiB of its stack before it lets go.
TEST(NestedDeletion, DeepChainsAreLetGoWhereLittleStackIsLeft) {
  const std::function<void(const std::function<void()>&)> threads[] = {
      [](const std::function<void()>& letGo) { test::onStackToUse(16 * 1024, letGo); },
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

// Takes `kBytes` of stack, from its top to its bottom, a byte every `kStep`
// (a step of 64 KiB still lands on a segment's guard).
template <std::size_t kBytes, std::size_t kStep = 1024>
[[gnu::noinline]] void takeStack() {
  volatile char frame[kBytes];
  for (std::size_t at = kBytes; at > 0; at -= std::min(at, kStep)) frame[at - 1] = 0;
  frame[0] = frame[kBytes - 1];
}

// Sets RLIMIT_STACK to `bytes`: false where the hard limit is lower.
bool setTheStackLimit(rlim_t bytes) {
  rlimit limit{};
  getrlimit(RLIMIT_STACK, &limit);
  limit.rlim_cur = bytes;
  return limit.rlim_max >= bytes && setrlimit(RLIMIT_STACK, &limit) == 0;
}

// The free room below the main thread's stack, where it may grow.
std::uintptr_t roomBelowTheStack() {
  std::ifstream maps("/proc/self/maps");
  std::uintptr_t below = 0, stack = 0;
  for (std::string line; std::getline(maps, line);) {
    const std::uintptr_t low = std::stoull(line, nullptr, 16);
    if (line.find("[stack]") != std::string::npos) stack = low;
    if (stack == 0) below = std::stoull(line.substr(line.find('-') + 1), nullptr, 16);
  }
  return stack - below;
}

// The main thread's stack grows as far as RLIMIT_STACK allows, also where
// the program raised it after a deep chain was let go: as far as the free
// room below it reaches in a program without the library.
TEST(NestedDeletion, TheMainThreadsStackGrowsToALimitRaisedAfterAChain) {
  CONCURRENCY_EXPECT_IN_CHILD([] {
    if (roomBelowTheStack() < (320 << 20) || !setTheStackLimit(rlim_t{1} << 30)) {
      std::fputs("less than 320 MiB below the stack, or a hard limit under 1 GiB\n", stderr);
      return concurrency::testing::kSkippedInChild;
    }
    setTheStackLimit(8 << 20);
    deepChainAround(Nesting::mixed, nullptr).reset();
    setTheStackLimit(rlim_t{1} << 30);
    takeStack<std::size_t{300} << 20, 64 * 1024>();
    return 0;
  });
}

// A raised limit gives the next chain's levels their room: a 45 MiB
// destructor, on a segment, where the limit was 8 MiB at the first chain.
TEST(NestedDeletion, ARaisedStackLimitGivesTheNextChainItsRoom) {
  CONCURRENCY_EXPECT_IN_CHILD([] {
    if (!setTheStackLimit(8 << 20)) return concurrency::testing::kSkippedInChild;
    deepChainAround(Nesting::mixed, nullptr).reset();
    if (!setTheStackLimit(64 << 20)) return concurrency::testing::kSkippedInChild;
    bool onSegment = false;
    deepChainAround(Nesting::concat, onRelease([&] {
                      onSegment = detail::onDeletionSegmentForTesting();
                      takeStack<std::size_t{45} << 20, 64 * 1024>();
                    }),
                    9)
        .reset();
    return onSegment ? 0 : 1;
  });
}

// Once a deep chain has finished with it, a thread keeps at most 1 MiB of
// its segment resident: on the main thread and on a small one.
TEST(NestedDeletion, AThreadKeepsLittleOfItsSegmentResident) {
  const std::function<void(const std::function<void()>&)> threads[] = {
      [](const std::function<void()>& body) { body(); }, &test::onSmallStack};
  for (const auto& onThread : threads) {
    onThread([] {
      deepChainAround(Nesting::concat, nullptr).reset();
      const auto [low, bytes] = detail::keptSegmentForTesting();
      ASSERT_NE(low, nullptr);
      const long page = sysconf(_SC_PAGESIZE);
      std::vector<unsigned char> pages((bytes + page - 1) / page);
      ASSERT_EQ(mincore(const_cast<void*>(low), bytes, pages.data()), 0);
      const auto resident = std::count_if(pages.begin(), pages.end(), [](auto p) { return p & 1; });
      EXPECT_LE(resident * page, 1 << 20);
    });
  }
}

struct ListNode {
  std::unique_ptr<ListNode> next;
};

// What a level holds whose destructor takes much stack: a frame, a list
// whose destruction recurses, plain operators that each let go of the next.
Chain heldFrame(void (*take)()) { return holding(onRelease(take)); }
Chain heldList() {
  auto head = std::make_shared<ListNode>();
  for (int node = 0; node < 20'000; ++node) head->next.reset(new ListNode{std::move(head->next)});
  return holding(head);
}
Chain heldMaps() {
  Chain maps = holding();
  for (int map = 0; map < 20'000; ++map) maps = maps | rv::map([](int value) { return value; });
  return maps;
}

// Every level's destructors have the room the outermost has on the thread's
// stack, as if the chain had been let go in plain C++ with only that level:
// what fits there fits 5 levels down and from 905 to 955 (where levels used
// to land with 32 to 48 KiB left), on the main thread and, for frames, on a
// thread of 512 KiB.
TEST(NestedDeletion, EveryLevelHasTheRoomOfTheOutermost) {
  struct Row {
    const char* what;
    int levels, from;
    std::function<Chain()> held;
    bool onSmallThread = false;
  };
  std::vector<Row> rows = {
      {"300 KiB", 5, 5, [] { return heldFrame(&takeStack<300 * 1024>); }, true},
      {"48 KiB", 955, 905, [] { return heldFrame(&takeStack<48 * 1024>); }, true}};
  // ThreadSanitizer follows 65,536 frames a thread, fewer than they recurse.
  if (!KX_TSAN) rows.insert(rows.end(), {{"a list", 5, 5, &heldList}, {"maps", 5, 5, &heldMaps}});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto letGo = [&] {
      auto canary = std::make_shared<int>(0);
      Weak<int> innermost = canary;
      Chain chain = holding(std::move(canary));
      for (int depth = row.levels; depth >= 1; --depth) {
        chain = concat(chain, depth >= row.from ? row.held() : just(depth));
      }
      chain.reset();
      EXPECT_TRUE(innermost.expired());
    };
    letGo();
    if (row.onSmallThread) test::onSmallStack(letGo);
  }
}

// Where no segment can be mapped (an address-space limit, the mapping count
// used up, a sandbox that refuses mmap), 100,000 levels are let go on the
// main thread and on a small thread without overflowing its stack, and
// without asking again at every level.
TEST(NestedDeletion, DeepChainsAreLetGoWhereNoSegmentCanBeMapped) {
  if (KX_ASAN || KX_TSAN) GTEST_SKIP() << "the sanitizer's runtime maps memory as it goes too";
  auto limitAddressSpace = [](rlim_t more) {
    return [more] {
      long pages = 0;
      std::FILE* statm = std::fopen("/proc/self/statm", "r");
      EXPECT_EQ(std::fscanf(statm, "%ld", &pages), 1);
      std::fclose(statm);
      const rlimit limit{static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + more, RLIM_INFINITY};
      EXPECT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
    };
  };
  auto useUpMappings = [] {
    for (int prot = PROT_READ;
         mmap(nullptr, 4096, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED;
         prot ^= PROT_READ) {
    }
  };
  auto refuseMmap = [] {
    EXPECT_TRUE(base::testing::filterCalls({{SYS_mmap, base::testing::callFails(EPERM)}}, true));
  };
  const std::function<void()> refusals[] = {limitAddressSpace(0), limitAddressSpace(12 << 20),
                                            useUpMappings, refuseMmap};
  for (const auto& refuse : refusals) {
    for (const bool onSmallThread : {false, true}) {
      CONCURRENCY_EXPECT_IN_CHILD([&] {
        detail::resetFlatDeletionsForTesting();
        const detail::FlatDeletionCounts before = detail::flatDeletionCountsForTesting();
        auto canary = std::make_shared<int>(0);
        Weak<int> innermost = canary;
        Chain chain = deepChainAround(Nesting::mixed, std::move(canary), 100'000);
        auto letGo = [&] {
          refuse();
          chain.reset();
        };
        onSmallThread ? test::onSmallStack(letGo) : letGo();
        const detail::FlatDeletionCounts after = detail::flatDeletionCountsForTesting();
        return innermost.expired() && after.segmentsAsked - before.segmentsAsked <= 16 &&
                       after.levelsWithoutSegment > before.levelsWithoutSegment
                   ? 0
                   : 1;
      });
    }
  }
}

// A sandbox that lets segments be mapped but refuses the deletions' other
// calls (the stack limit read as a chain leaves the stack, the pages made
// ready and given back): chain after chain still goes on a segment.
TEST(NestedDeletion, DeepChainsAreLetGoWhereASandboxRefusesTheirOtherCalls) {
  if (KX_ASAN || KX_TSAN) GTEST_SKIP() << "the sanitizer's runtime makes these calls too";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    detail::resetFlatDeletionsForTesting();
    const std::uint32_t refused = base::testing::callFails(EPERM);
    if (!base::testing::filterCalls(
            {{SYS_madvise, refused}, {SYS_prlimit64, refused}, {SYS_getrlimit, refused}}, true))
      return concurrency::testing::kSkippedInChild;
    int missed = 0;
    for (int chain = 0; chain < 2; ++chain) {
      bool onSegment = false;
      deepChainAround(Nesting::mixed,
                      onRelease([&] { onSegment = detail::onDeletionSegmentForTesting(); }))
          .reset();
      missed += onSegment ? 0 : 1;
    }
    return missed;
  });
}

// Fibers suspended on a segment and resumed on another thread, round after
// round, leave as many segments as were in use at once.
TEST(NestedDeletion, SegmentsStayFewWhateverFibersDo) {
  auto migrate = [] {
    Fiber fiber([&fiber] {
      Chain chain =
          concat(concat(holding(onRelease([&fiber] { fiber.yield(); })), just(1)), just(2));
      chain.reset();
    });
    fiber.resume();
    std::thread([&fiber] { fiber.resume(); }).join();
    EXPECT_TRUE(fiber.finished());
  };
  for (int round = 0; round < 10; ++round) migrate();
  const std::size_t settled = mappings();
  for (int round = 0; round < 1000; ++round) migrate();
  EXPECT_LE(mappings(), settled + 4);
}

// A fiber that lets go of a chain whose innermost level, on a segment,
// yields.
std::unique_ptr<Fiber> yieldingOnASegment() {
  auto self = std::make_shared<Fiber*>();
  auto fiber = std::make_unique<Fiber>([self] {
    concat(concat(holding(onRelease([self] { (*self)->yield(); })), just(1)), just(2)).reset();
  });
  *self = fiber.get();
  return fiber;
}

// A segment kept for any thread serves a request it is big enough for
// wherever it lies among them: the main thread's, of a raised room, under
// one a small thread's fiber left.
TEST(NestedDeletion, KeptSegmentsServeEveryRequestTheyAreBigEnoughFor) {
  CONCURRENCY_EXPECT_IN_CHILD([] {
    if (!setTheStackLimit(64 << 20)) return concurrency::testing::kSkippedInChild;
    detail::resetFlatDeletionsForTesting();
    auto big = yieldingOnASegment();
    big->resume();
    auto small = yieldingOnASegment();
    test::onSmallStack([&] { small->resume(); });
    std::thread([&] {
      big->resume();
      small->resume();
    }).join();
    const long asked = detail::flatDeletionCountsForTesting().segmentsAsked;
    auto next = yieldingOnASegment();
    next->resume();
    std::thread([&] { next->resume(); }).join();
    return next->finished() && detail::flatDeletionCountsForTesting().segmentsAsked == asked ? 0
                                                                                             : 1;
  });
}

// Lets go of a chain whose sixth level, on a segment, faults.
[[gnu::noinline]] void faultSixLevelsDown() {
  Chain chain = holding(onRelease([] { dispatch::testing::storeToLowAddress(16); }));
  for (int level = 1; level <= 5; ++level) chain = concat(chain, just(level));
  chain.reset();
}

// A debugger's walk from a fault on a segment goes on to the frames that let
// go of the chain, down to the thread's start: on the main thread, and on a
// thread whose stack has free room just above it, where the kernel would
// place a mapping of its own choosing.
TEST(NestedDeletion, ADebuggerWalksFromASegmentToTheThreadsStart) {
  constexpr const char* kRole = "KX_NESTED_DELETION_FAULT";
  if (dispatch::testing::roleIs(kRole, "main")) faultSixLevelsDown();
  if (dispatch::testing::roleIs(kRole, "thread")) {
    constexpr std::size_t kStack = 1 << 20, kAbove = 256 << 20;
    auto* stack = static_cast<char*>(
        mmap(nullptr, kStack + kAbove, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    munmap(stack + kStack, kAbove);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack, kStack);
    pthread_t thread;
    auto run = [](void*) -> void* {
      faultSixLevelsDown();
      return nullptr;
    };
    pthread_create(&thread, &attributes, run, nullptr);
    pthread_join(thread, nullptr);
  }
  ASSERT_EQ(std::getenv(kRole), nullptr) << "no fault";
  if (std::system("command -v gdb >/dev/null") != 0) GTEST_SKIP() << "gdb is not installed";
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  for (const auto& [role, start] : {std::pair{"main", " main ("}, {"thread", "start_thread"}}) {
    const std::string command = std::string(kRole) + "=" + role +
                                " gdb -nx -batch -ex run -ex bt --args " + self +
                                " --gtest_filter=NestedDeletion.ADebuggerWalks* 2>&1";
    std::string walk;
    std::FILE* gdb = popen(command.c_str(), "r");
    for (int c; (c = std::fgetc(gdb)) != EOF;) walk += static_cast<char>(c);
    pclose(gdb);
    EXPECT_NE(walk.find("faultSixLevelsDown"), std::string::npos) << walk;
    EXPECT_NE(walk.find(start), std::string::npos) << walk;
    EXPECT_EQ(walk.find("corrupt stack"), std::string::npos) << walk;
  }
}

class NestedDeletionDeathTest : public test::DeathTestBase {};

// At thread exit a thread-local chain goes with the thread's other objects,
// and one a thread-specific key holds once the thread has unmapped the
// segment it kept; at process exit a static one goes on the thread that ends
// the process.
TEST_F(NestedDeletionDeathTest, DeepChainsAreLetGoAtThreadAndProcessExit) {
  auto canary = std::make_shared<int>(0);
  auto keyed = std::make_shared<int>(0);
  const Weak<int> innermost[] = {canary, keyed};
  pthread_key_t key;
  test::onSmallStack([&] {
    thread_local Chain chain = deepChainAround(Nesting::mixed, std::move(canary));
    deepChainAround(Nesting::mixed, nullptr).reset();  // keeps a segment, with the first key
    ASSERT_EQ(pthread_key_create(&key, [](void* held) { delete static_cast<Chain*>(held); }), 0);
    pthread_setspecific(key, new Chain(deepChainAround(Nesting::mixed, std::move(keyed))));
  });
  pthread_key_delete(key);
  for (const auto& level : innermost) EXPECT_TRUE(level.expired());

  EXPECT_EXIT(test::onSmallStack([] {
                static Chain chain = deepChainAround(
                    Nesting::mixed,
                    onRelease([] { std::fputs("innermost level deleted\n", stderr); }));
                std::exit(3);
              }),
              ::testing::ExitedWithCode(3), "innermost level deleted");
}

// A program that took every thread-specific key: no segment is kept for the
// next chain, and every chain is let go all the same.
TEST(NestedDeletion, DeepChainsAreLetGoWhenTheProgramTookEveryThreadKey) {
  CONCURRENCY_EXPECT_IN_CHILD([] {
    for (pthread_key_t key; pthread_key_create(&key, nullptr) == 0;) {
    }
    int left = 0;
    for (int chain = 0; chain < 2; ++chain) {
      auto canary = std::make_shared<int>(0);
      Weak<int> innermost = canary;
      deepChainAround(Nesting::mixed, std::move(canary)).reset();
      left += innermost.expired() ? 0 : 1;
    }
    return left;
  });
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
