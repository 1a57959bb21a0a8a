// The notification-centre and URL-session members may be used from any
// thread; these rounds race subscription, delivery and disposal.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "RvCocoa/NotificationCenterReactive.h"
#include "RvCocoa/URLSessionReactive.h"
#include "RvStreams/Observers.h"
#include "baseTest/Handoff.h"
#include "foundationTest/HTTPServer.h"

namespace rv {
namespace {

TEST(CocoaBindingsStress, PostsRaceSubscriptionsAndDisposals) {
  auto center = std::make_shared<foundation::NotificationCenter>();
  auto sender = std::make_shared<int>(0);
  auto sequence = notification(rv::rv(center), "Tick", sender);
  std::atomic<bool> stop{false};
  std::atomic<int> delivered{0};
  // The posters keep pace with the subscribers' rounds, which a loaded
  // machine holds up (each yields): at most kPostsPerRound posts each per
  // round done and the one under way, a few times what an idle one fits in.
  constexpr int kPostsPerRound = 100;
  std::atomic<int> rounds{0};

  std::vector<std::thread> posters;
  for (int i = 0; i < 2; ++i) {
    posters.emplace_back([&] {
      for (int posted = 0; !stop.load();) {
        const int done = rounds.load();
        if (posted >= kPostsPerRound * (done + 1)) {
          base::testing::awaitChange(rounds, done);
          continue;
        }
        center->postNotificationName("Tick", sender);
        ++posted;
      }
    });
  }
  std::vector<std::thread> subscribers;
  for (int i = 0; i < 2; ++i) {
    subscribers.emplace_back([&] {
      for (int round = 0; round < 300; ++round) {
        auto subscription = sequence->subscribe(
            makeAnonymousObserver<Notification>([&](const Event<Notification>& event) {
              if (event.isNext()) ++delivered;
            }));
        std::this_thread::yield();
        subscription->dispose();
        base::testing::countUp(rounds);
      }
    });
  }
  for (auto& thread : subscribers) thread.join();
  stop = true;
  base::testing::countUp(rounds);
  for (auto& thread : posters) thread.join();

  // Every registration was removed: a last post reaches nobody.
  const int before = delivered.load();
  center->postNotificationName("Tick", sender);
  EXPECT_EQ(delivered.load(), before);
}

TEST(CocoaBindingsStress, RequestsRaceDisposalAndTheLogSwitch) {
  foundationtest::HTTPServer server;
  const foundation::URLRequest request(*foundation::URL::string(server.url("/")));
  auto sequence = response(rv::rv(foundation::URLSession::shared()), request);
  std::atomic<bool> stop{false};
  std::thread switcher([&] {
    bool on = false;
    while (!stop.load()) {
      on = !on;
      // Logging on prints; answer false inside so the output stays quiet.
      URLRequestLogging::setShouldLog(
          on ? URLRequestLogging::Predicate([](const foundation::URLRequest&) { return false; })
             : nullptr);
      std::this_thread::yield();
    }
  });

  // Shared with the handlers: a disposed request may still finish late.
  struct Finished {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
  };
  auto finished = std::make_shared<Finished>();
  std::vector<Ref<Disposable>> subscriptions;
  constexpr int kRequests = 24;
  for (int i = 0; i < kRequests; ++i) {
    subscriptions.push_back(sequence->subscribe(makeAnonymousObserver<URLResponseAndData>(
        [finished](const Event<URLResponseAndData>& event) {
          if (!event.isStopEvent()) return;
          std::lock_guard<std::mutex> guard(finished->mutex);
          ++finished->count;
          finished->changed.notify_all();
        })));
  }
  // Every other request is disposed while it may be completing.
  int disposed = 0;
  for (int i = 0; i < kRequests; i += 2) {
    subscriptions[i]->dispose();
    ++disposed;
  }
  {
    std::unique_lock<std::mutex> lock(finished->mutex);
    EXPECT_TRUE(finished->changed.wait_for(
        lock, std::chrono::seconds(20), [&] { return finished->count >= kRequests - disposed; }));
  }
  stop = true;
  switcher.join();
  URLRequestLogging::setShouldLog(nullptr);
  for (auto& subscription : subscriptions) subscription->dispose();
}

}  // namespace
}  // namespace rv
