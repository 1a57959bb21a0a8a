// Only the umbrella header: every subject and every trait must be reachable
// through it.
#include <RvStreams/RvStreams.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Log = std::vector<std::string>;

template <class S>
Log eventsOf(const S& source) {
  Log log;
  rv::subscribe(source, [&log](const auto& event) { log.push_back(rv::describe(event)); });
  return log;
}

TEST(UmbrellaHeader, ReachesEverySubjectAndTrait) {
  auto publish = rv::PublishSubject<int>::create();
  auto behavior = rv::BehaviorSubject<int>::create(1);
  auto replay = rv::ReplaySubject<int>::create(1);
  auto async = rv::AsyncSubject<int>::create();
  for (rv::ObserverType<int>* subject : std::initializer_list<rv::ObserverType<int>*>{
           publish.get(), behavior.get(), replay.get(), async.get()}) {
    subject->onNext(2);
    subject->onCompleted();
  }
  EXPECT_EQ(eventsOf(publish), (Log{"completed"}));
  EXPECT_EQ(eventsOf(behavior), (Log{"completed"}));
  EXPECT_EQ(eventsOf(replay), (Log{"next(2)", "completed"}));
  EXPECT_EQ(eventsOf(async), (Log{"next(2)", "completed"}));

  EXPECT_EQ(eventsOf(rv::Single<int>::just(3).asObservable()), (Log{"next(3)", "completed"}));
  EXPECT_EQ(eventsOf(rv::Maybe<int>::empty().asObservable()), (Log{"completed"}));
  EXPECT_EQ(eventsOf(rv::Completable::empty().asObservable()), (Log{"completed"}));
  EXPECT_EQ(eventsOf(rv::Infallible<int>::just(4).asObservable()), (Log{"next(4)", "completed"}));
}

}  // namespace
