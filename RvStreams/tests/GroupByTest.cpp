#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "RvStreams/GroupBy.h"
#include "RvStreams/Subscribe.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;
using Group = GroupedObservable<char, std::string>;

// Subscribes to every group as it arrives and records each group's events
// under its key.
struct GroupRecorder {
  std::vector<char> keys;
  std::map<char, Ref<RecordingObserver<std::string>>> groups;
  std::vector<Ref<Disposable>> subscriptions;
  Ref<RecordingObserver<Group>> outer = RecordingObserver<Group>::create();

  SubscribeHandlers<Group> handlers() {
    return {.onNext =
                [this](const Group& group) {
                  keys.push_back(group.key());
                  groups[group.key()] = RecordingObserver<std::string>::create();
                  subscriptions.push_back(group.subscribe(groups[group.key()]));
                },
            .onError = [this](const Error& e) { outer->onError(e); },
            .onCompleted = [this] { outer->onCompleted(); }};
  }
  void disposeGroups() {
    for (auto& d : subscriptions) d->dispose();
  }
};

auto byFirstLetter() {
  return groupBy([](const std::string& s) { return s.at(0); });
}

TEST(GroupBy, OneGroupPerKeyEachSubscribedOnArrivalGetsAllItsElements) {
  auto source = TestSource<std::string>::create();
  GroupRecorder recorder;
  auto d = subscribe(source | byFirstLetter(), recorder.handlers());
  source->onNext("a1");
  source->onNext("b1");
  source->onNext("a2");
  EXPECT_EQ(recorder.keys, (std::vector<char>{'a', 'b'}));
  EXPECT_EQ(recorder.groups['a']->descriptions(), (Log{"next(a1)", "next(a2)"}));
  EXPECT_EQ(recorder.groups['b']->descriptions(), (Log{"next(b1)"}));
  source->onCompleted();
  EXPECT_EQ(recorder.groups['a']->completedCount(), 1);
  EXPECT_EQ(recorder.groups['b']->completedCount(), 1);
  EXPECT_EQ(recorder.outer->descriptions(), (Log{"completed"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(GroupBy, FailingKeySelectorFailsEveryGroupAndTheOutput) {
  auto source = TestSource<std::string>::create();
  GroupRecorder recorder;
  subscribe(source | groupBy([](const std::string& s) {
              if (s.empty()) throw TestError("no key");
              return s.at(0);
            }),
            recorder.handlers());
  source->onNext("a");
  source->onNext("");
  EXPECT_EQ(recorder.groups['a']->descriptions(), (Log{"next(a)", "error(no key)"}));
  EXPECT_EQ(recorder.outer->descriptions(), (Log{"error(no key)"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(GroupBy, SourceErrorReachesEveryGroup) {
  auto source = TestSource<std::string>::create();
  GroupRecorder recorder;
  subscribe(source | byFirstLetter(), recorder.handlers());
  source->onNext("a");
  source->onError(makeError("boom"));
  EXPECT_EQ(recorder.groups['a']->descriptions(), (Log{"next(a)", "error(boom)"}));
  EXPECT_EQ(recorder.outer->descriptions(), (Log{"error(boom)"}));
}

TEST(GroupBy, GroupOutlivesTheOuterSubscriptionUntilItIsDisposedToo) {
  auto source = TestSource<std::string>::create();
  GroupRecorder recorder;
  auto outer = subscribe(source | byFirstLetter(), recorder.handlers());
  source->onNext("a1");
  outer->dispose();
  EXPECT_EQ(source->observerCount(), 1);
  source->onNext("a2");
  source->onNext("b1");  // a new group nobody hears of
  EXPECT_EQ(recorder.keys, (std::vector<char>{'a'}));
  EXPECT_EQ(recorder.groups['a']->descriptions(), (Log{"next(a1)", "next(a2)"}));
  recorder.disposeGroups();
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(GroupBy, GroupSubscribedAfterCompletionGetsCompletedAtOnce) {
  auto source = TestSource<std::string>::create();
  std::vector<Group> groups;
  subscribe(source | byFirstLetter(), {.onNext = [&](const Group& g) { groups.push_back(g); }});
  source->onNext("a");
  source->onCompleted();
  ASSERT_EQ(groups.size(), 1u);
  auto late = RecordingObserver<std::string>::create();
  groups[0].subscribe(late);
  EXPECT_EQ(late->descriptions(), (Log{"completed"}));
}

TEST(AddRef, RetainsWhileSubscribedAndForwardsTheStop) {
  auto resource = test::CountingDisposable::create();
  auto refCount = RefCountDisposable::create(resource);
  auto source = TestSource<int>::create();
  auto tied = detail::addRef(Ref<Observable<int>>(source), refCount);
  auto recorder = RecordingObserver<int>::create();
  auto d = tied->subscribe(recorder);
  refCount->dispose();
  EXPECT_EQ(resource->count(), 0);  // still retained
  d->dispose();
  EXPECT_EQ(resource->count(), 1);

  auto second = RefCountDisposable::create(test::CountingDisposable::create());
  auto completing = RecordingObserver<int>::create();
  detail::addRef(Ref<Observable<int>>(source), second)->subscribe(completing);
  source->onNext(1);
  source->onCompleted();
  EXPECT_EQ(completing->descriptions(), (Log{"next(1)", "completed"}));
  EXPECT_EQ(source->observerCount(), 0);
}

}  // namespace
}  // namespace rv
