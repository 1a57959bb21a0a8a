// Starts the telemetry client with usage analytics and crash reports, tracks
// an event for a user, runs a reactive pipeline, and ends the client's work
// before exiting.

#include <cstdio>
#include <string>

#include "RvStreams/Debounce.h"
#include "RvStreams/Map.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/SerialDispatchQueueScheduler.h"
#include "RvStreams/Subscribe.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvurAnalytics/DUZEAnalytics.h"
#include "ZozIduvurCrashes/DUZECrashes.h"
#include "foundation/Bundle.h"

int main() {
  // Who the application is: its identifier names its data folder, and the
  // versions go with every log and crash report.
  auto bundle = foundation::NSBundle::mainBundle();
  bundle->setObjectForInfoDictionaryKey("org.example.quickstart",
                                        foundation::kCFBundleIdentifierKey);
  bundle->setObjectForInfoDictionaryKey("1.4.0", foundation::kCFBundleShortVersionStringKey);
  bundle->setObjectForInfoDictionaryKey("140", foundation::kCFBundleVersionKey);

  DUZEZozIduvur::start(
      "00000000-0000-0000-0000-000000000000",
      {DUZEServiceClass::of<DUZEAnalytics>(), DUZEServiceClass::of<DUZECrashes>()});
  DUZEUserIdContext::sharedInstance()->setUserId("alice");
  DUZEAnalytics::trackEventWithProperties("Quick start ran", DUZEProperties{{"step", "1"}});

  // Typed text becomes a query; short ones are dropped, and a query goes out
  // once typing pauses.
  auto typed = rv::PublishSubject<std::string>::create();
  auto scheduler = rv::SerialDispatchQueueScheduler::create("org.example.quickstart.search");
  std::string searched;
  auto subscription =
      typed->asObservable() | rv::map([](const std::string& text) { return text + "*"; }) |
      rv::filter([](const std::string& query) { return query.size() > 2; }) |
      rv::debounce(rv::DispatchTimeInterval::milliseconds(300), scheduler) |
      rv::subscribe<std::string>({.onNext = [&](const std::string& query) { searched = query; }});
  for (const char* text : {"k", "ke", "kes", "kest"}) typed->onNext(text);
  typed->onCompleted();  // the query still waiting goes out now
  subscription->dispose();
  std::printf("searched for %s\n", searched.c_str());

  // What was tracked is stored before the client closes its store.
  if (auto group = DUZEZozIduvur::channelGroup()) {
    group->waitUntilIdle();
    group->shutdown();
  }
  return searched == "kest*" ? 0 : 1;
}
