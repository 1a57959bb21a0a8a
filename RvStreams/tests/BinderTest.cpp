#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RvStreams/Binder.h"
#include "RvStreams/ErrorReport.h"
#include "RvStreams/Reactive.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestKit.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using dispatch::MainLoop;
using DTI = DispatchTimeInterval;

// An object with a plain property, a property behind a setter, and a record
// of which thread set them.
struct Label {
  int count = 0;
  std::vector<std::string> texts;
  std::vector<bool> setOnMainThread;

  void setText(const std::string& text) {
    texts.push_back(text);
    setOnMainThread.push_back(dispatch::isMainThread());
  }
  void setTextNoexcept(std::string text) noexcept { texts.push_back(std::move(text)); }
};

class BinderTest : public ::rv::test::MainQueueTest {};

TEST_F(BinderTest, BindsOnTheMainThreadAtOnceWhenIdle) {
  auto label = std::make_shared<Label>();
  Binder<int> binder(label, [](Label& l, int v) { l.count = v; });
  binder.onNext(3);
  EXPECT_EQ(label->count, 3);
}

TEST_F(BinderTest, FedFromABackgroundThreadAppliesValuesInOrderOnTheMainThread) {
  auto label = std::make_shared<Label>();
  Binder<std::string> binder(label, [](Label& l, const std::string& t) { l.setText(t); });
  std::vector<std::string> sent;
  // Appended rather than `"t" + ...`, of which g++ 12 warns falsely at -O3
  // (-Wrestrict).
  for (int i = 0; i < 50; ++i) sent.push_back(std::string("t").append(std::to_string(i)));
  std::thread([&] {
    for (const auto& text : sent) binder.onNext(text);
  }).join();
  EXPECT_TRUE(label->texts.empty());
  EXPECT_TRUE(
      MainLoop::runUntil([&] { return label->texts.size() == sent.size(); }, DTI::seconds(10)));
  EXPECT_EQ(label->texts, sent);
  EXPECT_EQ(label->setOnMainThread, std::vector<bool>(sent.size(), true));
}

TEST_F(BinderTest, AReleasedTargetMakesBindingsNoOps) {
  auto label = std::make_shared<Label>();
  std::weak_ptr<Label> weak = label;
  int calls = 0;
  Binder<int> binder(label, [&](Label&, int) { ++calls; });
  std::thread([&] { binder.onNext(1); }).join();  // queued while the target lives
  label.reset();
  EXPECT_TRUE(weak.expired());  // the binder does not keep it alive
  drain();
  binder.onNext(2);
  EXPECT_EQ(calls, 0);
}

TEST_F(BinderTest, CompletionChangesNothingAndErrorsAreReported) {
  auto label = std::make_shared<Label>();
  Binder<int> binder(label, [](Label& l, int v) { l.count = v; });
  std::ostringstream report;
  std::ostream* previous = setErrorReportStream(&report);
  binder.onError(test::makeError("lost connection"));
  binder.onCompleted();
  setErrorReportStream(previous);
  EXPECT_EQ(label->count, 0);
  EXPECT_NE(report.str().find("BinderTest.cpp:"), std::string::npos);
  EXPECT_NE(report.str().find(": Binding error: lost connection\n"), std::string::npos);
  // The binder keeps no state: later elements still bind.
  binder.onNext(4);
  EXPECT_EQ(label->count, 4);
}

TEST_F(BinderTest, RunsTheBindingOnTheGivenScheduler) {
  auto scheduler = test::TestScheduler::create();
  auto label = std::make_shared<Label>();
  Binder<int> binder(label, scheduler, [](Label& l, int v) { l.count = v; });
  binder.onNext(9);
  EXPECT_EQ(label->count, 0);
  scheduler->start();
  EXPECT_EQ(label->count, 9);
}

TEST_F(BinderTest, AsObserverForwardsToTheBinding) {
  auto label = std::make_shared<Label>();
  Binder<int> binder(label, [](Label& l, int v) { l.count += v; });
  auto observer = binder.asObserver();
  observer.onNext(2);
  observer.onNext(5);
  EXPECT_EQ(label->count, 7);
}

TEST_F(BinderTest, SubscribedToASequenceBindsEachElement) {
  auto label = std::make_shared<Label>();
  auto binder = std::make_shared<Binder<int>>(label, [](Label& l, int v) { l.count += v; });
  auto subscription = test::elements({1, 2, 3})->subscribe(binder);
  EXPECT_EQ(label->count, 6);
  subscription->dispose();
}

TEST(Reactive, EachCallWrapsTheSameObjectAnew) {
  auto label = std::make_shared<Label>();
  auto other = std::make_shared<Label>();
  EXPECT_EQ(rv::rv(label).base(), label);
  // Assigning to a wrapper changes no other wrapper.
  rv::rv(label) = rv::rv(other);
  EXPECT_EQ(rv::rv(label).base(), label);
  auto wrapper = rv::rv(label);
  wrapper = rv::rv(other);
  EXPECT_EQ(rv::rv(label).base(), label);
}

TEST(Reactive, PropertyBindersSetTheProperty) {
  auto label = std::make_shared<Label>();
  auto counts = std::make_shared<Binder<int>>(rv::rv(label)[&Label::count]);
  auto texts = std::make_shared<Binder<std::string>>(rv::rv(label)[&Label::setText]);
  test::elements({4, 5, 6})->subscribe(counts);
  EXPECT_EQ(label->count, 6);
  texts->onNext("a");
  texts->onNext("b");
  rv::rv(label)[&Label::setTextNoexcept].onNext("c");
  EXPECT_EQ(label->texts, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(Reactive, PropertyBindersHoldTheObjectWeakly) {
  auto label = std::make_shared<Label>();
  std::weak_ptr<Label> weak = label;
  Binder<int> binder = rv::rv(label)[&Label::count];
  label.reset();
  EXPECT_TRUE(weak.expired());
  binder.onNext(1);
}

}  // namespace
}  // namespace rv
