// Tokens: requests, tickets in the cache and renewal before expiry.

#include <condition_variable>
#include <mutex>
#include <thread>

#include "AnalyticsSupport.h"
#include "ZozIduvur/DUZETicketCache.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsAuthenticationProvider.h"

namespace {

using analyticstest::ManualClock;

// Keeps the completion blocks it is given; answers them on request.
class Source : public DUZEAnalyticsAuthenticationProviderDelegate {
 public:
  void authenticationProviderAcquireTokenWithCompletionHandler(
      const std::shared_ptr<DUZEAnalyticsAuthenticationProvider>&,
      DUZEAnalyticsAuthenticationProviderCompletionBlock completion) override {
    std::unique_lock lock(mutex);
    ++requests;
    if (!answerAtOnce) {
      pending.push_back(std::move(completion));
      asked.notify_all();
      return;
    }
    auto answer = std::make_pair(token, expiry);
    lock.unlock();
    completion(answer.first, answer.second);
  }
  std::mutex mutex;
  std::condition_variable asked;  // a request joined `pending`
  int requests = 0;
  bool answerAtOnce = false;
  std::optional<std::string> token = "T";
  std::optional<dispatch::Date> expiry;
  std::vector<DUZEAnalyticsAuthenticationProviderCompletionBlock> pending;
};

class AuthenticationProvider : public analyticstest::AnalyticsTest {
 protected:
  std::optional<std::string> ticket(const std::string& key) {
    return DUZETicketCache::sharedInstance()->ticketFor(DUZEUtility::sha256(key));
  }
  ManualClock clock_;
  std::shared_ptr<Source> source_ = std::make_shared<Source>();
};

TEST_F(AuthenticationProvider, TheTicketKeyIsHashed) {
  auto provider = DUZEAnalyticsAuthenticationProvider::create(0, "abc", source_);
  EXPECT_EQ(provider->ticketKeyHash(),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_FALSE(
      DUZEAnalyticsAuthenticationProvider::create(0, std::nullopt, source_)->ticketKeyHash());
}

TEST_F(AuthenticationProvider, TicketsCarryTheTypesPrefix) {
  for (uint64_t type : {0u, 1u}) {
    const std::string key = "key" + std::to_string(type);
    auto provider = DUZEAnalyticsAuthenticationProvider::create(type, key, source_);
    provider->acquireTokenAsync();
    source_->pending.back()("TOKEN", clock_.now() + 3600);
    EXPECT_EQ(ticket(key), (type == 0 ? "p:TOKEN" : "d:TOKEN"));
    EXPECT_EQ(provider->expiryDate(), clock_.now() + 3600);
    EXPECT_FALSE(provider->completionHandler());
  }
  EXPECT_TRUE(hasLine("Got result back from ZIAcquireTokenCompletionBlock."));
}

TEST_F(AuthenticationProvider, ATokenIsRenewedTenMinutesBeforeItExpires) {
  auto provider = DUZEAnalyticsAuthenticationProvider::create(1, "k", source_);
  provider->checkTokenExpiry();  // no token yet: nothing
  EXPECT_EQ(source_->requests, 0);
  provider->acquireTokenAsync();
  // Whole seconds: expiry 601 s ahead is not yet due.
  const dispatch::Date expiry =
      dispatch::Date::fromUnixTime(std::floor(clock_.now().timeIntervalSince1970()) + 601.9);
  source_->pending.back()("T", expiry);
  provider->checkTokenExpiry();
  EXPECT_EQ(source_->requests, 1);
  clock_.advance(1);
  provider->checkTokenExpiry();
  EXPECT_EQ(source_->requests, 2);
}

TEST_F(AuthenticationProvider, OnlyOneRequestIsPendingAtATime) {
  auto provider = DUZEAnalyticsAuthenticationProvider::create(1, "k", source_);
  provider->acquireTokenAsync();
  source_->pending.back()("T", clock_.now() + 60);
  provider->checkTokenExpiry();
  provider->checkTokenExpiry();
  EXPECT_EQ(source_->requests, 2);
  // A handler that is not the pending one is ignored.
  auto stray = std::make_shared<const DUZEAnalyticsAuthenticationProviderCompletionBlock>(
      [](std::optional<std::string>, std::optional<dispatch::Date>) {});
  provider->handleTokenUpdateWithToken("X", clock_.now() + 9999, stray);
  EXPECT_EQ(ticket("k"), "d:T");
  EXPECT_TRUE(provider->completionHandler());
}

TEST_F(AuthenticationProvider, AMissingTokenOrDateKeepsTheOldTicketButEndsTheRequest) {
  auto provider = DUZEAnalyticsAuthenticationProvider::create(0, "k", source_);
  provider->acquireTokenAsync();
  source_->pending.back()("OLD", clock_.now() + 100);
  provider->acquireTokenAsync();
  source_->pending.back()("NEW", std::nullopt);
  EXPECT_TRUE(hasLine("Date must not be null"));
  provider->acquireTokenAsync();
  source_->pending.back()(std::nullopt, clock_.now() + 5000);
  EXPECT_TRUE(hasLine("Token must not be null"));
  EXPECT_EQ(ticket("k"), "p:OLD");
  EXPECT_EQ(provider->expiryDate(), clock_.now() + 100);
  EXPECT_FALSE(provider->completionHandler());
  EXPECT_EQ(source_->requests, 3);
}

TEST_F(AuthenticationProvider, WithoutADelegateNoTokenIsEverRequested) {
  auto provider = DUZEAnalyticsAuthenticationProvider::create(0, "k", {});
  provider->acquireTokenAsync();
  EXPECT_TRUE(hasLine("No completionhandler to acquire token has been set."));
  EXPECT_FALSE(provider->completionHandler());
  EXPECT_FALSE(ticket("k"));
}

TEST_F(AuthenticationProvider, ABlockOutlivingItsProviderDoesNothing) {
  auto provider = DUZEAnalyticsAuthenticationProvider::create(0, "gone", source_);
  provider->acquireTokenAsync();
  auto completion = source_->pending.back();
  provider.reset();
  completion("T", clock_.now() + 3600);
  EXPECT_FALSE(ticket("gone"));
}

TEST_F(AuthenticationProvider, AnInlineAnswerDuringRenewalIsTaken) {
  auto provider = DUZEAnalyticsAuthenticationProvider::create(1, "k", source_);
  source_->answerAtOnce = true;
  source_->expiry = clock_.now() + 10;
  provider->acquireTokenAsync();
  EXPECT_EQ(ticket("k"), "d:T");
  source_->token = "T2";
  provider->checkTokenExpiry();  // re-enters the provider's lock on this thread
  EXPECT_EQ(ticket("k"), "d:T2");
  EXPECT_FALSE(provider->completionHandler());
}

TEST_F(AuthenticationProvider, WithoutATicketKeyATokenIsTakenButNoTicketFiled) {
  auto provider = DUZEAnalyticsAuthenticationProvider::create(0, std::nullopt, source_);
  provider->acquireTokenAsync();
  source_->pending.back()("T", clock_.now() + 3600);
  EXPECT_EQ(provider->expiryDate(), clock_.now() + 3600);
  EXPECT_FALSE(provider->completionHandler());
  EXPECT_FALSE(DUZETicketCache::sharedInstance()->ticketFor(""));
}

TEST_F(AuthenticationProvider, AnUnknownTypeStoresNoTicket) {
  auto provider = DUZEAnalyticsAuthenticationProvider::create(7, "k", source_);
  provider->acquireTokenAsync();
  source_->pending.back()("T", clock_.now() + 3600);
  EXPECT_FALSE(ticket("k"));
  EXPECT_TRUE(hasLine("Unknown authentication type 7; the token is not used."));
}

TEST(AuthenticationProviderStress, AnswersFromOtherThreadsWhileLogsCheckExpiry) {
  auto source = std::make_shared<Source>();
  auto provider = DUZEAnalyticsAuthenticationProvider::create(1, "stress", source);
  provider->acquireTokenAsync();
  std::atomic<bool> done{false};
  std::thread answerer([&] {
    for (;;) {
      DUZEAnalyticsAuthenticationProviderCompletionBlock next;
      {
        std::unique_lock lock(source->mutex);
        source->asked.wait(lock, [&] { return done || !source->pending.empty(); });
        if (done) return;
        next = std::move(source->pending.back());
        source->pending.pop_back();
      }
      // Always nearly expired: every check asks again.
      next("T", dispatch::Date::now() + 1);
    }
  });
  std::vector<std::thread> checkers;
  for (int t = 0; t < 3; ++t) {
    checkers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) provider->checkTokenExpiry();
    });
  }
  for (auto& checker : checkers) checker.join();
  {
    std::lock_guard lock(source->mutex);
    done = true;
  }
  source->asked.notify_all();
  answerer.join();
  std::lock_guard lock(source->mutex);
  // Never more than one request waiting.
  EXPECT_LE(source->pending.size(), 1u);
  EXPECT_GE(source->requests, 1);
  DUZETicketCache::resetSharedInstance();
}

}  // namespace
