#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "RvCocoa/SharedSequence.h"
#include "RvStreams/Create.h"
#include "RvStreams/ErrorReport.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "async/Async.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestSource;

// Runs on the main thread with an empty main queue before and after. The
// suite's tests are in three files: sharing and the scheduler, creation, and
// the asynchronous stream.
using SharedSequenceTest = ::rv::test::MainQueueTest;

// --- the asynchronous stream ---

using Seen = std::vector<std::string>;

async::Task<Seen> iterate(async::AsyncStream<int> stream) {
  Seen seen;
  auto it = stream.makeAsyncIterator();
  while (std::optional<int> element = co_await it.next()) seen.push_back(std::to_string(*element));
  seen.push_back("end");
  co_return seen;
}

TEST_F(SharedSequenceTest, ValuesFinishWhenTheSequenceCompletes) {
  auto source = PublishSubject<int>::create();
  Driver<int> driver(source);
  async::ManualExecutor executor;
  auto handle = async::spawn(iterate(driver.values()), executor);
  source->onNext(1);  // buffered: the stream subscribed when it was made
  executor.runUntilIdle();
  source->onNext(2);
  source->onCompleted();
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (Seen{"1", "2", "end"}));
}

TEST_F(SharedSequenceTest, CancellingTheIteratingTaskDisposesTheSubscription) {
  auto source = TestSource<int>::create();
  Signal<int> signal(source);
  async::ManualExecutor executor;
  auto handle = async::spawn(iterate(signal.values()), executor);
  executor.runUntilIdle();
  source->onNext(1);
  executor.runUntilIdle();
  EXPECT_EQ(source->observerCount(), 1);
  handle.cancel();
  EXPECT_EQ(source->observerCount(), 0);
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (Seen{"1", "end"}));
}

TEST_F(SharedSequenceTest, ValuesReceiveTheReplayedElementOfAConnectedDriver) {
  auto source = PublishSubject<int>::create();
  Driver<int> driver(source);
  auto keep = driver.asObservable()->subscribe(RecordingObserver<int>::create());
  source->onNext(5);
  async::ManualExecutor executor;
  auto handle = async::spawn(iterate(driver.values()), executor);
  keep->dispose();
  source->onCompleted();
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (Seen{"5", "end"}));
}

TEST_F(SharedSequenceTest, ValuesOfASourceThatBreaksThePromiseEndInsteadOfHanging) {
  std::vector<std::string> reported;
  auto previous = Hooks::defaultErrorHandler();
  Hooks::setDefaultErrorHandler(
      [&](const Hooks::CallStack&, const Error& error) { reported.push_back(describe(error)); });
  auto broken = Signal<int>::raw(rv::create<int>([](AnyObserver<int> o) -> Ref<Disposable> {
    o.onNext(1);
    o.onError(test::makeError("broken"));
    return Disposables::create();
  }));
  async::ManualExecutor executor;
  EXPECT_EQ(async::syncWait(iterate(broken.values()), executor), (Seen{"1", "end"}));
  Hooks::setDefaultErrorHandler(previous);
  EXPECT_EQ(reported.size(), 1u) << "the error itself goes to the default error handler";
}

}  // namespace
}  // namespace rv
