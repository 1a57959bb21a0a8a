#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "RvStreams/CompositeDisposable.h"
#include "RvStreams/CurrentThreadScheduler.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/SerialDisposable.h"
#include "RvStreamsTest/TestKit.h"

namespace rv {
namespace {

using test::CountingDisposable;

constexpr int kThreads = 8;
constexpr int kRounds = 60;

// Runs `race` from kThreads threads released together, kRounds times.
template <class Make, class Race, class Check>
void raceRounds(Make make, Race race, Check check) {
  test::raceRounds(kThreads, kRounds, std::move(make), std::move(race), std::move(check));
}

TEST(DisposablesStress, EveryDisposableDisposesExactlyOnce) {
  struct Subject {
    Ref<Disposable> disposable;
    std::vector<Ref<CountingDisposable>> inner;
  };
  auto dispose = [](Subject& s, int) { s.disposable->dispose(); };
  auto onceEach = [](Subject& s) {
    for (auto& inner : s.inner) EXPECT_EQ(inner->count(), 1);
  };

  raceRounds(
      [] {
        auto counter = CountingDisposable::create();
        Subject s{Disposables::create([counter] { counter->dispose(); }), {counter}};
        return s;
      },
      dispose, onceEach);
  raceRounds(
      [] {
        auto a = CountingDisposable::create();
        auto b = CountingDisposable::create();
        return Subject{Disposables::create(a, b), {a, b}};
      },
      dispose, onceEach);
  raceRounds(
      [] {
        auto a = CountingDisposable::create();
        auto single = SingleAssignmentDisposable::create();
        single->setDisposable(a);
        return Subject{single, {a}};
      },
      dispose, onceEach);
  raceRounds(
      [] {
        auto a = CountingDisposable::create();
        auto b = CountingDisposable::create();
        auto c = CountingDisposable::create();
        return Subject{Disposables::create(a, b, c), {a, b, c}};
      },
      dispose, onceEach);
  // On the trampoline each thread runs its own scheduled disposal at once, so
  // the eight disposals race on the inner flag.
  raceRounds(
      [] {
        auto a = CountingDisposable::create();
        return Subject{ScheduledDisposable::create(CurrentThreadScheduler::instance(), a), {a}};
      },
      dispose, onceEach);
}

TEST(DisposablesStress, SingleAssignmentSetRacingDisposeDisposesOnce) {
  struct Subject {
    Ref<SingleAssignmentDisposable> single = SingleAssignmentDisposable::create();
    Ref<CountingDisposable> inner = CountingDisposable::create();
  };
  raceRounds([] { return Subject{}; },
             [](Subject& s, int t) {
               if (t == 0) {
                 s.single->setDisposable(s.inner);
               } else {
                 s.single->dispose();
               }
             },
             [](Subject& s) { EXPECT_EQ(s.inner->count(), 1); });
}

TEST(DisposablesStress, CompositeInsertRemoveAndDisposeRacing) {
  struct Subject {
    Ref<CompositeDisposable> composite = CompositeDisposable::create();
    std::vector<Ref<CountingDisposable>> members;
  };
  raceRounds(
      [] {
        Subject s;
        for (int i = 0; i < kThreads; ++i) s.members.push_back(CountingDisposable::create());
        return s;
      },
      [](Subject& s, int t) {
        auto key = s.composite->insert(s.members[static_cast<size_t>(t)]);
        if (key && t % 2 == 0) s.composite->remove(*key);
        if (t == kThreads - 1) s.composite->dispose();
      },
      [](Subject& s) {
        s.composite->dispose();
        for (auto& m : s.members) EXPECT_EQ(m->count(), 1);
      });
}

}  // namespace
}  // namespace rv
