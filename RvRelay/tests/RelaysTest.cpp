#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "RvRelay/BehaviorRelay.h"
#include "RvRelay/Bind.h"
#include "RvRelay/PublishRelay.h"
#include "RvRelay/ReplayRelay.h"
#include "RvStreams/Create.h"
#include "RvStreams/DisposeBag.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::elements;
using test::makeError;
using test::RecordingObserver;
using Log = std::vector<std::string>;

// Captures what the error reports print.
class ReportCapture {
 public:
  ReportCapture() : previous_(setErrorReportStream(&out_)) {}
  ~ReportCapture() { setErrorReportStream(previous_); }
  std::string text() const { return out_.str(); }

 private:
  std::ostringstream out_;
  std::ostream* previous_;
};

Ref<Observable<int>> failing(std::string text) {
  return create<int>([text](AnyObserver<int> o) -> Ref<Disposable> {
    o.onNext(1);
    o.onError(makeError(text));
    return Disposables::create();
  });
}

TEST(PublishRelay, LateSubscriberSeesNoEarlierElements) {
  auto relay = PublishRelay<int>::create();
  relay->accept(1);
  auto recorder = RecordingObserver<int>::create();
  auto d = relay->subscribe(recorder);
  relay->accept(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)"}));
  EXPECT_EQ(relay->asObservable(), relay->asObservable());
  d->dispose();
}

TEST(PublishRelay, AsInfallibleNeverEnds) {
  auto relay = PublishRelay<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = relay->asInfallible().asObservable()->subscribe(recorder);
  relay->accept(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(3)"}));
  d->dispose();
}

TEST(Bind, EachElementReachesEveryRelayInOrder) {
  auto a = PublishRelay<int>::create();
  auto b = PublishRelay<int>::create();
  auto c = PublishRelay<int>::create();
  Log log;
  DisposeBag bag;
  for (auto [relay, name] : {std::pair{a, "a"}, std::pair{b, "b"}, std::pair{c, "c"}}) {
    bag.insert(subscribe(relay, {.onNext = [&log, name = std::string(name)](const int& x) {
                           log.push_back(name + std::to_string(x));
                         }}));
  }
  elements({1, 2}) | rv::bind(a, b, c);
  EXPECT_EQ(log, (Log{"a1", "b1", "c1", "a2", "b2", "c2"}));
}

TEST(Bind, CompletedSourceLeavesTheRelayUsable) {
  auto relay = BehaviorRelay<int>::create(0);
  elements({5}) | rv::bind(relay);
  EXPECT_EQ(relay->value(), 5);
  relay->accept(6);
  EXPECT_EQ(relay->value(), 6);
}

TEST(Bind, FailingSourceIsReportedAndReachesNoRelay) {
  ReportCapture capture;
  auto publish = PublishRelay<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = publish->subscribe(recorder);
  failing("broken") | rv::bind(publish);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)"}));
  auto replay = ReplayRelay<int>::create(1);
  failing("again") | rv::bind(replay);
  auto behavior = BehaviorRelay<int>::create(0);
  failing("third") | rv::bind(behavior);

  const std::string text = capture.text();
  EXPECT_NE(text.find("Bind.h:"), std::string::npos) << text;
  EXPECT_NE(text.find(": Binding error to publish relay: broken\n"), std::string::npos) << text;
  EXPECT_NE(text.find(": Binding error to behavior relay: again\n"), std::string::npos) << text;
  EXPECT_NE(text.find(": Binding error to behavior relay: third\n"), std::string::npos) << text;
  d->dispose();
}

TEST(Bind, RelaysOfOptionalElementsGetPresentValues) {
  auto relay = BehaviorRelay<std::optional<int>>::create(std::nullopt);
  elements({4}) | rv::bind(relay);
  EXPECT_EQ(relay->value(), std::optional<int>(4));
}

TEST(BehaviorRelay, CurrentValueFirstThenAccepted) {
  auto relay = BehaviorRelay<std::string>::create("a");
  relay->accept("b");
  auto recorder = RecordingObserver<std::string>::create();
  auto d = relay->subscribe(recorder);
  relay->accept("c");
  EXPECT_EQ(recorder->descriptions(), (Log{"next(b)", "next(c)"}));
  EXPECT_EQ(relay->value(), "c");
  d->dispose();
}

TEST(ReplayRelay, NewSubscriberGetsTheBufferedElements) {
  auto relay = ReplayRelay<int>::create(2);
  for (int i = 1; i <= 3; ++i) relay->accept(i);
  auto recorder = RecordingObserver<int>::create();
  relay->subscribe(recorder)->dispose();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)", "next(3)"}));

  auto all = ReplayRelay<int>::createUnbound();
  all->accept(1);
  all->accept(2);
  auto allRecorder = RecordingObserver<int>::create();
  all->asInfallible().asObservable()->subscribe(allRecorder)->dispose();
  EXPECT_EQ(allRecorder->descriptions(), (Log{"next(1)", "next(2)"}));
}

}  // namespace
}  // namespace rv
