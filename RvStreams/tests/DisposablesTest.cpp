#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "RvStreams/CompositeDisposable.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/DisposeBag.h"
#include "RvStreamsTest/TestKit.h"

namespace rv {
namespace {

using test::CountingDisposable;
using Log = std::vector<std::string>;

TEST(Disposables, NopIsSharedAndInert) {
  EXPECT_EQ(Disposables::create(), Disposables::create());
  Disposables::create()->dispose();
  Disposables::create()->dispose();
}

TEST(AnonymousDisposable, RunsItsActionOnceEvenWhenReentered) {
  int runs = 0;
  Ref<Cancelable> d;
  d = Disposables::create([&] {
    ++runs;
    d->dispose();
  });
  EXPECT_FALSE(d->isDisposed());
  d->dispose();
  d->dispose();
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(d->isDisposed());
}

TEST(BooleanDisposable, StartsDisposedWhenAsked) {
  BooleanDisposable fresh;
  EXPECT_FALSE(fresh.isDisposed());
  fresh.dispose();
  EXPECT_TRUE(fresh.isDisposed());
  EXPECT_TRUE(BooleanDisposable(true).isDisposed());
}

TEST(BinaryDisposable, DisposesFirstThenSecondOnce) {
  Log log;
  auto a = CountingDisposable::create("a", &log);
  auto b = CountingDisposable::create("b", &log);
  auto pair = Disposables::create(a, b);
  pair->dispose();
  pair->dispose();
  EXPECT_EQ(log, (Log{"a", "b"}));
  EXPECT_TRUE(pair->isDisposed());
}

TEST(SingleAssignmentDisposable, SetThenDisposeDisposesTheInner) {
  auto single = SingleAssignmentDisposable::create();
  auto inner = CountingDisposable::create();
  single->setDisposable(inner);
  EXPECT_EQ(inner->count(), 0);
  single->dispose();
  single->dispose();
  EXPECT_EQ(inner->count(), 1);
  EXPECT_TRUE(single->isDisposed());
}

TEST(SingleAssignmentDisposable, SetAfterDisposeDisposesAtOnceAndKeepsNothing) {
  auto single = SingleAssignmentDisposable::create();
  single->dispose();
  auto inner = CountingDisposable::create();
  single->setDisposable(inner);
  EXPECT_EQ(inner->count(), 1);
  EXPECT_EQ(inner.use_count(), 1);  // the field was cleared
}

using SingleAssignmentDisposableDeathTest = test::DeathTestBase;

TEST_F(SingleAssignmentDisposableDeathTest, SecondAssignmentStops) {
  EXPECT_DEATH(
      {
        auto single = SingleAssignmentDisposable::create();
        single->setDisposable(Disposables::create());
        single->setDisposable(Disposables::create());
      },
      "oldState.disposable != nil");
  EXPECT_DEATH(
      {
        auto single = SingleAssignmentDisposable::create();
        single->dispose();
        single->setDisposable(Disposables::create());
        single->setDisposable(Disposables::create());
      },
      "oldState.disposable != nil");
}

TEST_F(SingleAssignmentDisposableDeathTest, SetStateWithoutDisposableStops) {
  EXPECT_DEATH(
      {
        auto single = SingleAssignmentDisposable::create();
        single->setDisposable(nullptr);
        single->dispose();
      },
      "Disposable not set");
}

class Owner final : public SynchronizedUnsubscribeType<int> {
 public:
  void synchronizedUnsubscribe(int key) noexcept override { keys.push_back(key); }
  std::vector<int> keys;
};

TEST(SubscriptionDisposable, AsksTheOwnerEveryTimeUntilItIsGone) {
  auto owner = std::make_shared<Owner>();
  SubscriptionDisposable<int> d(Weak<SynchronizedUnsubscribeType<int>>(owner), 7);
  d.dispose();
  d.dispose();
  EXPECT_EQ(owner->keys, (std::vector<int>{7, 7}));
  owner.reset();
  d.dispose();  // owner released: nothing happens
}

TEST(CompositeDisposable, DisposesInInsertionOrderOnce) {
  Log log;
  auto composite = CompositeDisposable::create();
  composite->insert(CountingDisposable::create("A", &log));
  composite->insert(CountingDisposable::create("B", &log));
  composite->insert(CountingDisposable::create("C", &log));
  EXPECT_EQ(composite->count(), 3u);
  composite->dispose();
  composite->dispose();
  EXPECT_EQ(log, (Log{"A", "B", "C"}));
  EXPECT_EQ(composite->count(), 0u);
  EXPECT_TRUE(composite->isDisposed());
}

TEST(CompositeDisposable, ReplacementAfterRemovalTakesTheInlineSlot) {
  Log log;
  auto composite = CompositeDisposable::create();
  auto a = *composite->insert(CountingDisposable::create("A", &log));
  composite->insert(CountingDisposable::create("B", &log));
  composite->insert(CountingDisposable::create("C", &log));
  composite->remove(a);
  composite->insert(CountingDisposable::create("D", &log));
  composite->dispose();
  EXPECT_EQ(log, (Log{"A", "D", "B", "C"}));
}

TEST(CompositeDisposable, RemovingTwiceDisposesOnce) {
  auto composite = CompositeDisposable::create();
  auto member = CountingDisposable::create();
  auto key = *composite->insert(member);
  composite->remove(key);
  composite->remove(key);
  EXPECT_EQ(member->count(), 1);
  EXPECT_EQ(composite->count(), 0u);
}

TEST(CompositeDisposable, InsertAfterDisposeDisposesTheArgument) {
  auto composite = CompositeDisposable::create();
  composite->dispose();
  auto late = CountingDisposable::create();
  EXPECT_EQ(composite->insert(late), std::nullopt);
  EXPECT_EQ(late->count(), 1);
}

TEST(CompositeDisposable, MemberMayReenterDuringDisposeAndSeesItDisposed) {
  auto composite = CompositeDisposable::create();
  auto late = CountingDisposable::create();
  bool sawDisposed = false;
  composite->insert(Disposables::create([&] {
    sawDisposed = composite->isDisposed();
    composite->insert(late);
  }));
  composite->dispose();
  EXPECT_TRUE(sawDisposed);
  EXPECT_EQ(late->count(), 1);
}

TEST(DisposablesFactory, ThreeAndRestOrders) {
  Log log;
  auto d = [&](const char* name) { return CountingDisposable::create(name, &log); };
  Disposables::create(d("1"), d("2"), d("3"))->dispose();
  EXPECT_EQ(log, (Log{"1", "2", "3"}));
  log.clear();
  Disposables::create(d("d1"), d("d2"), d("d3"), d("r1"), d("r2"))->dispose();
  EXPECT_EQ(log, (Log{"r1", "r2", "d1", "d2", "d3"}));
  log.clear();
  CompositeDisposable(d("a"), d("b"), d("c"), d("e"), {d("f"), d("g")}).dispose();
  EXPECT_EQ(log, (Log{"a", "b", "c", "e", "f", "g"}));
}

TEST(DisposablesFactory, ArrayOfTwoIsBinaryOtherCountsComposite) {
  auto one = Disposables::create(std::vector<Ref<Disposable>>{Disposables::create()});
  auto two = Disposables::create(
      std::vector<Ref<Disposable>>{Disposables::create(), Disposables::create()});
  auto three = Disposables::create(std::vector<Ref<Disposable>>{
      Disposables::create(), Disposables::create(), Disposables::create()});
  auto none = Disposables::create(std::vector<Ref<Disposable>>{});
  EXPECT_NE(dynamic_cast<BinaryDisposable*>(two.get()), nullptr);
  EXPECT_NE(dynamic_cast<CompositeDisposable*>(one.get()), nullptr);
  EXPECT_NE(dynamic_cast<CompositeDisposable*>(three.get()), nullptr);
  auto* empty = dynamic_cast<CompositeDisposable*>(none.get());
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->count(), 0u);
}

TEST(DisposeBag, DestructionDisposesInInsertionOrder) {
  Log log;
  bool disposedDuringRelease = false;
  {
    DisposeBag bag;
    disposed(CountingDisposable::create("S1", &log), bag);
    bag.insert(CountingDisposable::create("S2", &log));
    bag.insert(Disposables::create([&] { disposedDuringRelease = bag.isDisposed(); }));
    bag.insert(CountingDisposable::create("S3", &log), CountingDisposable::create("S4", &log));
    EXPECT_FALSE(bag.isDisposed());
    EXPECT_TRUE(log.empty());
  }
  EXPECT_EQ(log, (Log{"S1", "S2", "S3", "S4"}));
  EXPECT_TRUE(disposedDuringRelease);
}

TEST(DisposeBag, BuilderInsertKeepsTheListedOrder) {
  Log log;
  {
    DisposeBag bag;
    bag.insert(CountingDisposable::create("S1", &log));
    bag.insert([&]() -> std::vector<Ref<Disposable>> {
      return {CountingDisposable::create("S2", &log), CountingDisposable::create("S3", &log)};
    });
    EXPECT_TRUE(log.empty());
  }
  EXPECT_EQ(log, (Log{"S1", "S2", "S3"}));
}

TEST(DisposeBag, InsertDuringReleaseDisposesAtOnce) {
  auto late = CountingDisposable::create();
  auto lateMany = CountingDisposable::create();
  auto lateBuilt = CountingDisposable::create();
  {
    DisposeBag bag([&]() -> std::vector<Ref<Disposable>> {
      return {Disposables::create([&] {
        bag.insert(late);
        bag.insert(std::vector<Ref<Disposable>>{lateMany});
        bag.insert([&]() -> std::vector<Ref<Disposable>> { return {lateBuilt}; });
      })};
    });
  }
  EXPECT_EQ(late->count(), 1);
  EXPECT_EQ(lateMany->count(), 1);
  EXPECT_EQ(lateBuilt->count(), 1);
}

}  // namespace
}  // namespace rv
