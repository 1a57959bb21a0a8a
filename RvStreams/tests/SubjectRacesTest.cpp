// Races between a subject's delivering thread and the threads that change
// its observers, forced step by step: the fences run in buffered mode, where
// a plain store stays invisible to other threads until its thread's next
// fenced step or a heavy fence, and the changing thread pauses between the
// steps of its change.

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/Recording.h"
#include "concurrency/AsymmetricFence.h"
#include "concurrency/HazardSlots.h"
#include "concurrency/TestSeams.h"
#include "concurrencyTest/FenceModes.h"

namespace rv {
namespace {

using Log = std::vector<std::string>;

class SubjectRaces : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(concurrency::setFenceModeForTesting(concurrency::FenceMode::buffered));
  }
  void TearDown() override {
    concurrency::setHazardPauseForTesting(nullptr, nullptr);
    concurrency::testing::BothWays::restoreDefaults();
  }

  // Runs `action` the first time the changing thread reaches `step`.
  void pauseAt(concurrency::HazardStep step, std::function<void()> action) {
    pauseStep_ = step;
    pauseAction_ = std::move(action);
    concurrency::setHazardPauseForTesting(
        [](concurrency::HazardStep reached, void* context) {
          auto& self = *static_cast<SubjectRaces*>(context);
          if (reached == self.pauseStep_ && self.pauseAction_) {
            std::exchange(self.pauseAction_, nullptr)();
          }
        },
        this);
  }

 private:
  concurrency::HazardStep pauseStep_{};
  std::function<void()> pauseAction_;
};

// Blocks in its delivery of 1 until released (unless it is open from the
// start); logs what it receives after.
class GateObserver final : public ObserverType<int> {
 public:
  GateObserver(std::string name, Log& log, bool open = false) : name_(std::move(name)), log_(log) {
    if (open) release.count_down();
  }

  void on(const Event<int>& event) noexcept override {
    if (const int* element = event.element(); element != nullptr && *element == 1) {
      entered.count_down();
      release.wait();
    }
    log_.push_back(name_ + ":" + describe(event));
  }

  std::latch entered{1};
  std::latch release{1};

 private:
  std::string name_;
  Log& log_;
};

// The subject's one delivering thread: it delivers 0 (which makes it the
// subject's only reader, announcing plainly from then on) and, when told, 1.
class Reader {
 public:
  explicit Reader(Ref<PublishSubject<int>> subject)
      : thread_([this, subject = std::move(subject)] {
          subject->onNext(0);
          ready.count_down();
          go.wait();
          subject->onNext(1);
          delivered.count_down();
          finish.wait();  // a thread that ends commits its stores
        }) {
    ready.wait();
  }
  ~Reader() {
    finish.count_down();
    thread_.join();
  }

  std::latch ready{1};
  std::latch go{1};
  std::latch delivered{1};
  std::latch finish{1};

 private:
  std::thread thread_;
};

// A second observer arrives from another thread while the subject's only
// reader delivers; that change marks the subject as read by several threads
// and runs the heavy fence. A delivery that starts before the subject is
// settled must still be seen by a later change that skips the fence: here,
// a change that drops the array the delivery is walking.
TEST_F(SubjectRaces, DeliveryStartingWhileAnotherThreadSettlesTheSubjectIsSeen) {
  Log log;
  auto subject = PublishSubject<int>::create();
  auto gate = std::make_shared<GateObserver>("A", log);
  subject->subscribe(gate);
  Reader reader(subject);
  pauseAt(concurrency::HazardStep::barrierBeforeSettle, [&] {
    reader.go.count_down();
    gate->entered.wait();  // the reader now delivers to [A, B]
  });
  Weak<ObserverType<int>> second;
  Ref<Disposable> secondSubscription;
  {
    auto observer = std::make_shared<GateObserver>("B", log, /*open=*/true);
    second = observer;
    secondSubscription = subject->subscribe(observer);
  }
  secondSubscription->dispose();  // [A, B] replaced by A, with no fence
  gate->release.count_down();
  reader.delivered.wait();
  EXPECT_EQ(log, (Log{"A:next(0)", "A:next(1)", "B:next(1)"}));
  EXPECT_TRUE(second.expired());
}

// An observer leaves while a delivery to it ends on another thread, which
// then stays idle: the two threads must not both miss each other, or the
// observer stays held until that thread delivers again.
TEST_F(SubjectRaces, ObserverLeavingAsItsDeliveryEndsIsReleasedAtOnce) {
  Log log;
  auto subject = PublishSubject<int>::create();
  Weak<GateObserver> leaving;
  Ref<Disposable> subscription;
  {
    auto gate = std::make_shared<GateObserver>("A", log);
    leaving = gate;
    subscription = subject->subscribe(gate);
  }
  Reader reader(subject);
  reader.go.count_down();
  leaving.lock()->entered.wait();
  pauseAt(concurrency::HazardStep::scannedBeforePending, [&] {
    // The change saw the reader's announcement; the reader now leaves it.
    leaving.lock()->release.count_down();
    reader.delivered.wait();
  });
  subscription->dispose();
  EXPECT_TRUE(leaving.expired());
  EXPECT_EQ(log, (Log{"A:next(0)", "A:next(1)"}));
}

// Blocks in its delivery of each element until that element's gate opens;
// says on which thread it was destroyed.
struct Gate {
  std::latch entered{1};
  std::latch release{1};
};

class GatedView final : public ObserverType<int> {
 public:
  GatedView(std::array<Gate, 3>& gates, std::thread::id& destroyedOn)
      : gates_(gates), destroyedOn_(destroyedOn) {}
  ~GatedView() override { destroyedOn_ = std::this_thread::get_id(); }

  void on(const Event<int>& event) noexcept override {
    if (const int* element = event.element(); element != nullptr) {
      gates_[*element].entered.count_down();
      gates_[*element].release.wait();
    }
  }

 private:
  std::array<Gate, 3>& gates_;
  std::thread::id& destroyedOn_;
};

// A subject observing two others leaves the first while it delivers on one
// thread; the second delivers to it on another thread while that delivery
// ends. The key of the first's retired snapshot (the one observer) is then
// announced again by the second's delivery: the retired copy must still go
// when the delivery that saw it ends. The subject leaves the second too and
// is dropped with its view while the second delivers: both go when that
// delivery ends, on its thread.
TEST_F(SubjectRaces, SubjectObservingTwoOthersGoesWhenTheLastDeliveryToItEnds) {
  auto first = PublishSubject<int>::create();
  auto second = PublishSubject<int>::create();
  std::array<Gate, 3> gates;
  std::thread::id viewDestroyedOn;
  Weak<PublishSubject<int>> weakMiddle;
  Weak<GatedView> weakView;
  Ref<Disposable> fromFirst;
  Ref<Disposable> fromSecond;
  {
    auto middle = PublishSubject<int>::create();
    auto view = std::make_shared<GatedView>(gates, viewDestroyedOn);
    middle->subscribe(view);
    fromFirst = first->subscribe(middle);
    fromSecond = second->subscribe(middle);
    weakMiddle = middle;
    weakView = view;
  }
  std::thread firstDelivery([&] { first->onNext(1); });
  gates[1].entered.wait();
  fromFirst->dispose();  // the retired one-observer snapshot waits for firstDelivery
  bool goneAtItsEnd = false;
  std::thread secondDelivery([&] {
    second->onNext(2);
    goneAtItsEnd =
        weakMiddle.expired() && weakView.expired() && viewDestroyedOn == std::this_thread::get_id();
  });
  gates[2].entered.wait();
  gates[1].release.count_down();
  firstDelivery.join();
  EXPECT_EQ(concurrency::pendingEntriesForTesting(), 0u);
  fromSecond->dispose();  // now only secondDelivery's snapshot holds them
  EXPECT_FALSE(weakMiddle.expired());
  gates[2].release.count_down();
  secondDelivery.join();
  EXPECT_TRUE(goneAtItsEnd);
  EXPECT_EQ(concurrency::pendingEntriesForTesting(), 0u);
}

}  // namespace
}  // namespace rv
