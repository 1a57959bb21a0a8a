#include <gtest/gtest.h>

#include "RvStreams/SerialDisposable.h"
#include "RvStreamsTest/ManualScheduler.h"
#include "RvStreamsTest/TestKit.h"

namespace rv {
namespace {

using test::CountingDisposable;

TEST(SerialDisposable, ReplacingDisposesThePreviousAndDisposeTheCurrent) {
  auto serial = SerialDisposable::create();
  EXPECT_EQ(serial->disposable(), Disposables::create());
  auto a = CountingDisposable::create();
  auto b = CountingDisposable::create();
  auto c = CountingDisposable::create();
  serial->setDisposable(a);
  serial->setDisposable(b);
  EXPECT_EQ(a->count(), 1);
  EXPECT_EQ(b->count(), 0);
  serial->dispose();
  EXPECT_EQ(b->count(), 1);
  EXPECT_TRUE(serial->isDisposed());
  serial->setDisposable(c);
  EXPECT_EQ(c->count(), 1);
  EXPECT_EQ(serial->disposable(), Disposables::create());
  serial->dispose();
  EXPECT_EQ(b->count(), 1);
}

TEST(RefCountDisposable, WithoutHandlesTheFirstDisposeDisposes) {
  auto inner = CountingDisposable::create();
  auto refCount = RefCountDisposable::create(inner);
  refCount->dispose();
  refCount->dispose();
  EXPECT_EQ(inner->count(), 1);
  EXPECT_TRUE(refCount->isDisposed());
}

TEST(RefCountDisposable, LastOfPrimaryAndHandlesDisposesOnce) {
  auto inner = CountingDisposable::create();
  auto refCount = RefCountDisposable::create(inner);
  auto h1 = refCount->retain();
  auto h2 = refCount->retain();
  refCount->dispose();
  EXPECT_EQ(inner->count(), 0);
  h1->dispose();
  h1->dispose();  // a handle releases once
  EXPECT_EQ(inner->count(), 0);
  h2->dispose();
  EXPECT_EQ(inner->count(), 1);
  EXPECT_EQ(refCount->retain(), Disposables::create());
}

TEST(RefCountDisposable, HandlesReleasedBeforeThePrimaryDisposeKeepItAlive) {
  auto inner = CountingDisposable::create();
  auto refCount = RefCountDisposable::create(inner);
  refCount->retain()->dispose();
  EXPECT_EQ(inner->count(), 0);
  EXPECT_FALSE(refCount->isDisposed());
  refCount->dispose();
  EXPECT_EQ(inner->count(), 1);
}

TEST(ScheduledDisposable, DisposesOnTheSchedulerOnceForEveryDispose) {
  auto scheduler = test::ManualScheduler::create();
  auto inner = CountingDisposable::create();
  auto scheduled = ScheduledDisposable::create(scheduler, inner);
  scheduled->dispose();
  scheduled->dispose();
  EXPECT_EQ(scheduler->pendingCount(), 2u);
  EXPECT_FALSE(scheduled->isDisposed());
  EXPECT_EQ(inner->count(), 0);
  scheduler->runAll();
  EXPECT_EQ(inner->count(), 1);
  EXPECT_TRUE(scheduled->isDisposed());
}

}  // namespace
}  // namespace rv
