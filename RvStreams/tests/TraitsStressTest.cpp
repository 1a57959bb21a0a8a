#include <gtest/gtest.h>

#include <memory>

#include "RvStreams/PrimitiveSequence.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestKit.h"

namespace rv {
namespace {

using test::raceRounds;
using test::RecordingObserver;
using test::TestSource;

// A completion of the completable racing with disposal of the result: the
// second sequence may get subscribed, but never stays subscribed.
TEST(AndThenStress, CompletionRacingWithDisposalLeavesNoSecondSubscription) {
  struct Round {
    Ref<TestSource<Never>> completable = TestSource<Never>::create();
    Ref<TestSource<int>> second = TestSource<int>::create();
    Ref<Disposable> subscription;
  };
  raceRounds(
      2, 300,
      [] {
        auto round = std::make_shared<Round>();
        round->subscription = Completable(round->completable)
                                  .andThen(Single<int>(round->second))
                                  .asObservable()
                                  ->subscribe(RecordingObserver<int>::create());
        return round;
      },
      [](const Ref<Round>& round, int thread) {
        if (thread == 0) {
          round->completable->onCompleted();
        } else {
          round->subscription->dispose();
        }
      },
      [](const Ref<Round>& round) {
        EXPECT_EQ(round->second->observerCount(), 0);
        EXPECT_EQ(round->completable->observerCount(), 0);
      });
}

}  // namespace
}  // namespace rv
