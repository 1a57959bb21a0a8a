#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/URLSession.h"
#include "foundationTest/HTTPServer.h"

namespace {

using foundation::Data;
using foundation::HTTPURLResponse;
using foundation::NSError;
using foundation::URL;
using foundation::URLRequest;
using foundation::URLResponse;
using foundation::URLSession;
using foundation::URLSessionDataTask;
using foundationtest::HTTPServer;
using State = URLSessionDataTask::State;

// What a completion handler received, and how often it ran.
struct Outcome {
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  std::optional<Data> data;
  std::shared_ptr<URLResponse> response;
  std::shared_ptr<NSError> error;
  std::thread::id thread;

  URLSession::CompletionHandler handler() {
    return
        [this](std::optional<Data> d, std::shared_ptr<URLResponse> r, std::shared_ptr<NSError> e) {
          std::lock_guard lock(mutex);
          ++calls;
          data = std::move(d);
          response = std::move(r);
          error = std::move(e);
          thread = std::this_thread::get_id();
          changed.notify_all();
        };
  }
  bool wait() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return calls > 0; });
  }
  std::string body() const { return data ? std::string(data->begin(), data->end()) : "<none>"; }
  std::shared_ptr<HTTPURLResponse> http() const {
    return std::dynamic_pointer_cast<HTTPURLResponse>(response);
  }
};

URL url(const std::string& text) { return *URL::string(text); }

std::shared_ptr<URLSessionDataTask> start(const URLRequest& request, Outcome& outcome) {
  auto task = URLSession::shared()->dataTaskWithRequest(request, outcome.handler());
  task->resume();
  return task;
}

void expectURLError(const Outcome& outcome, int64_t code) {
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain(), "NSURLErrorDomain");
  EXPECT_EQ(outcome.error->code(), code);
  EXPECT_FALSE(outcome.data);
  EXPECT_FALSE(outcome.response);
}

TEST(URLSession, GetDeliversDataStatusAndHeadersOnAWorkerThread) {
  HTTPServer server([](const HTTPServer::Request&) {
    return foundationtest::reply(201, "hello", {{"X-Answer", "42"}});
  });
  Outcome outcome;
  auto task =
      URLSession::shared()->dataTaskWithURL(url(server.url("/path?q=1")), outcome.handler());
  EXPECT_EQ(task->state(), State::suspended);
  EXPECT_EQ(task->originalRequest().url()->absoluteString(), server.url("/path?q=1"));
  task->resume();
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.error, nullptr);
  EXPECT_EQ(outcome.body(), "hello");
  ASSERT_TRUE(outcome.http());
  EXPECT_EQ(outcome.http()->statusCode(), 201);
  EXPECT_EQ(outcome.http()->value("x-answer"), "42");
  EXPECT_EQ(outcome.http()->url()->absoluteString(), server.url("/path?q=1"));
  EXPECT_NE(outcome.thread, std::this_thread::get_id());
  EXPECT_EQ(task->state(), State::completed);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].method, "GET");
  EXPECT_EQ(server.requests()[0].target, "/path?q=1");
}

TEST(URLSession, FoldedHeaderLinesContinueTheirFieldAndNeverMakeANamelessOne) {
  HTTPServer server([](const HTTPServer::Request&) {
    return foundationtest::reply(200, "", {{"X-Long", "first\r\n  second\r\n :third"}});
  });
  Outcome outcome;
  start(URLRequest(url(server.url("/"))), outcome);
  ASSERT_TRUE(outcome.wait());
  ASSERT_TRUE(outcome.http());
  EXPECT_EQ(outcome.http()->value("x-long"), "first second :third");
  for (const auto& [name, value] : outcome.http()->allHeaderFields()) EXPECT_NE(name, "");
}

TEST(URLSession, MethodBodyAndHeaderFieldsReachTheServer) {
  HTTPServer server;
  URLRequest request(url(server.url("/upload")));
  request.setHTTPMethod("PUT");
  request.setHTTPBody(foundation::dataFromString("{\"a\":1}"));
  request.setValue("application/json", "Content-Type");
  request.setValue("", "X-Empty");
  Outcome outcome;
  auto task = start(request, outcome);
  ASSERT_TRUE(outcome.wait());
  ASSERT_EQ(server.requests().size(), 1u);
  const auto seen = server.requests().at(0);
  EXPECT_EQ(seen.method, "PUT");
  EXPECT_EQ(seen.body, "{\"a\":1}");
  EXPECT_EQ(seen.header("content-type"), "application/json");
  EXPECT_TRUE(seen.hasHeader("x-empty"));
  EXPECT_FALSE(seen.hasHeader("expect"));
}

TEST(URLSession, PostWithoutBodyAndHeadWithoutBody) {
  HTTPServer server([](const HTTPServer::Request&) { return foundationtest::reply(200, "body"); });
  URLRequest post(url(server.url("/p")));
  post.setHTTPMethod("POST");
  Outcome posted;
  auto a = start(post, posted);
  ASSERT_TRUE(posted.wait());
  URLRequest head(url(server.url("/h")));
  head.setHTTPMethod("HEAD");
  Outcome headed;
  auto b = start(head, headed);
  ASSERT_TRUE(headed.wait());
  EXPECT_EQ(headed.body(), "");
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[0].method, "POST");
  EXPECT_EQ(server.requests()[0].header("content-length"), "0");
  EXPECT_EQ(server.requests()[1].method, "HEAD");
}

TEST(URLSession, EmptyBodyIsSentAsAnEmptyBody) {
  HTTPServer server;
  URLRequest request(url(server.url("/empty")));
  request.setHTTPMethod("PUT");
  request.setHTTPBody(foundation::Data());
  Outcome outcome;
  auto task = start(request, outcome);
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.error, nullptr);
  const auto seen = server.requests().at(0);
  EXPECT_EQ(seen.method, "PUT");
  EXPECT_EQ(seen.header("content-length"), "0");
  EXPECT_TRUE(seen.body.empty());
}

TEST(URLSession, HeaderFieldsThatWouldForgeOthersAreNotSent) {
  HTTPServer server;
  URLRequest request(url(server.url("/")));
  request.setValue("a\r\nX-Forged: 1", "X-Value");
  request.setValue("b", "X-Bad\r\nX-Forged");
  request.setValue("fine", "X-Fine");
  Outcome outcome;
  auto task = start(request, outcome);
  ASSERT_TRUE(outcome.wait());
  const auto seen = server.requests().at(0);
  EXPECT_FALSE(seen.hasHeader("x-forged"));
  EXPECT_FALSE(seen.hasHeader("x-value"));
  EXPECT_EQ(seen.header("x-fine"), "fine");
}

TEST(URLSession, ErrorStatusesAreAnswersNotFailures) {
  HTTPServer server([](const HTTPServer::Request&) { return foundationtest::reply(500, "oops"); });
  Outcome outcome;
  auto task = start(URLRequest(url(server.url("/"))), outcome);
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.error, nullptr);
  EXPECT_EQ(outcome.http()->statusCode(), 500);
  EXPECT_EQ(outcome.body(), "oops");
}

TEST(URLSession, EmptyBodyIsPresentData) {
  HTTPServer server([](const HTTPServer::Request&) { return foundationtest::reply(204); });
  Outcome outcome;
  auto task = start(URLRequest(url(server.url("/"))), outcome);
  ASSERT_TRUE(outcome.wait());
  ASSERT_TRUE(outcome.data);
  EXPECT_TRUE(outcome.data->empty());
}

TEST(URLSession, RedirectsAreFollowedToHTTPOnly) {
  HTTPServer server([&](const HTTPServer::Request& request) {
    if (request.target == "/old") return foundationtest::reply(302, "", {{"Location", "/new"}});
    if (request.target == "/to-file")
      return foundationtest::reply(302, "", {{"Location", "file:///etc/hostname"}});
    return foundationtest::reply(200, "moved", {{"X-Final", "yes"}});
  });
  Outcome moved;
  auto a = start(URLRequest(url(server.url("/old"))), moved);
  ASSERT_TRUE(moved.wait());
  EXPECT_EQ(moved.body(), "moved");
  EXPECT_EQ(moved.http()->url()->absoluteString(), server.url("/new"));
  // Only the last answer's fields describe the response.
  EXPECT_EQ(moved.http()->value("X-Final"), "yes");
  EXPECT_FALSE(moved.http()->value("Location"));

  Outcome refused;
  auto b = start(URLRequest(url(server.url("/to-file"))), refused);
  ASSERT_TRUE(refused.wait());
  expectURLError(refused, foundation::NSURLErrorUnsupportedURL);
}

TEST(URLSession, CancelWhileTheServerHoldsReportsCancelledOnce) {
  HTTPServer server;
  server.hold(true);
  Outcome outcome;
  auto task = start(URLRequest(url(server.url("/slow"))), outcome);
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_EQ(task->state(), State::running);
  task->cancel();
  ASSERT_TRUE(outcome.wait());
  expectURLError(outcome, foundation::NSURLErrorCancelled);
  EXPECT_EQ(outcome.error->userInfo().count("NSErrorFailingURLStringKey"), 1u);
  task->cancel();
  task->resume();
  EXPECT_EQ(task->state(), State::completed);
  std::lock_guard lock(outcome.mutex);
  EXPECT_EQ(outcome.calls, 1);
}

TEST(URLSession, CancelBeforeResumeStillReportsAndResumeDoesNothing) {
  HTTPServer server;
  Outcome outcome;
  auto task = URLSession::shared()->dataTaskWithURL(url(server.url("/")), outcome.handler());
  task->cancel();
  ASSERT_TRUE(outcome.wait());
  expectURLError(outcome, foundation::NSURLErrorCancelled);
  EXPECT_NE(outcome.thread, std::this_thread::get_id());
  task->resume();
  EXPECT_TRUE(server.requests().empty());
}

TEST(URLSession, ResumeTwiceLoadsOnce) {
  HTTPServer server;
  Outcome outcome;
  auto task = URLSession::shared()->dataTaskWithURL(url(server.url("/")), outcome.handler());
  task->resume();
  task->resume();
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(URLSession, TransportFailuresBecomeURLErrors) {
  Outcome missingURL;
  auto a = start(URLRequest(), missingURL);
  ASSERT_TRUE(missingURL.wait());
  expectURLError(missingURL, foundation::NSURLErrorUnsupportedURL);

  Outcome otherScheme;
  auto b = start(URLRequest(url("ftp://127.0.0.1/x")), otherScheme);
  ASSERT_TRUE(otherScheme.wait());
  expectURLError(otherScheme, foundation::NSURLErrorUnsupportedURL);
  EXPECT_EQ(std::get<std::string>(otherScheme.error->userInfo().at("NSErrorFailingURLStringKey")),
            "ftp://127.0.0.1/x");

  Outcome refused;
  auto c = start(
      URLRequest(url("http://127.0.0.1:" + std::to_string(foundationtest::closedPort()) + "/")),
      refused);
  ASSERT_TRUE(refused.wait());
  expectURLError(refused, foundation::NSURLErrorCannotConnectToHost);

  HTTPServer dropping([](const HTTPServer::Request&) { return HTTPServer::Reply::drop(); });
  Outcome dropped;
  auto d = start(URLRequest(url(dropping.url("/"))), dropped);
  ASSERT_TRUE(dropped.wait());
  expectURLError(dropped, foundation::NSURLErrorNetworkConnectionLost);
}

TEST(URLSession, IdleRequestTimesOut) {
  HTTPServer server;
  server.hold(true);
  URLRequest request(url(server.url("/")));
  request.setTimeoutInterval(0.2);
  Outcome outcome;
  auto task = start(request, outcome);
  ASSERT_TRUE(outcome.wait());
  expectURLError(outcome, foundation::NSURLErrorTimedOut);
}

TEST(URLSession, FileURLsGiveAResponseThatIsNotHTTP) {
  char path[] = "/tmp/kestrix-url-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "file body", 9), 9);
  ::close(fd);
  Outcome outcome;
  auto task = start(URLRequest(*URL::fileURLWithPath(path)), outcome);
  ASSERT_TRUE(outcome.wait());
  ::unlink(path);
  EXPECT_EQ(outcome.error, nullptr);
  EXPECT_EQ(outcome.body(), "file body");
  ASSERT_TRUE(outcome.response);
  EXPECT_FALSE(outcome.http());

  Outcome missing;
  auto other = start(URLRequest(*URL::fileURLWithPath(path)), missing);
  ASSERT_TRUE(missing.wait());
  expectURLError(missing, foundation::NSURLErrorFileDoesNotExist);
}

TEST(URLSession, HandlerIsReleasedAfterItRan) {
  // A handler that holds its own task would otherwise keep both alive.
  struct Sentinel {
    std::mutex mutex;
    std::condition_variable released;
    bool gone = false;
  };
  auto sentinel = std::make_shared<Sentinel>();
  struct Capture {
    std::shared_ptr<Sentinel> sentinel;
    std::shared_ptr<URLSessionDataTask> task;
    ~Capture() {
      std::lock_guard lock(sentinel->mutex);
      sentinel->gone = true;
      sentinel->released.notify_all();
    }
  };
  HTTPServer server;
  Outcome outcome;
  auto capture = std::make_shared<Capture>();
  capture->sentinel = sentinel;
  auto task = URLSession::shared()->dataTaskWithURL(
      url(server.url("/")),
      [capture, handler = outcome.handler()](std::optional<Data> d, std::shared_ptr<URLResponse> r,
                                             std::shared_ptr<NSError> e) { handler(d, r, e); });
  capture->task = task;
  capture.reset();
  task->resume();
  task.reset();
  std::unique_lock lock(sentinel->mutex);
  EXPECT_TRUE(
      sentinel->released.wait_for(lock, std::chrono::seconds(10), [&] { return sentinel->gone; }));
  EXPECT_EQ(outcome.calls, 1);
}

TEST(URLSessionStress, ManyTasksWithCancelsFromOtherThreadsEachCompleteOnce) {
  HTTPServer server([](const HTTPServer::Request& request) {
    return foundationtest::reply(200, request.target);
  });
  constexpr int kThreads = 4, kPerThread = 6;
  std::vector<std::unique_ptr<Outcome>> outcomes;
  for (int i = 0; i < kThreads * kPerThread; ++i) outcomes.push_back(std::make_unique<Outcome>());
  std::vector<std::shared_ptr<URLSessionDataTask>> tasks(outcomes.size());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const int n = t * kPerThread + i;
        tasks[n] = URLSession::shared()->dataTaskWithURL(url(server.url("/" + std::to_string(n))),
                                                         outcomes[n]->handler());
        tasks[n]->resume();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // Cancel every third task from several threads at once, racing the answers.
  std::vector<std::thread> cancellers;
  for (int c = 0; c < 3; ++c) {
    cancellers.emplace_back([&] {
      for (size_t n = 0; n < tasks.size(); n += 3) tasks[n]->cancel();
    });
  }
  for (auto& thread : cancellers) thread.join();
  for (size_t n = 0; n < outcomes.size(); ++n) {
    ASSERT_TRUE(outcomes[n]->wait()) << n;
    std::lock_guard lock(outcomes[n]->mutex);
    EXPECT_EQ(outcomes[n]->calls, 1);
    if (outcomes[n]->error) {
      EXPECT_EQ(n % 3, 0u);
      EXPECT_EQ(outcomes[n]->error->code(), foundation::NSURLErrorCancelled);
    } else {
      EXPECT_EQ(outcomes[n]->body(), "/" + std::to_string(n));
    }
    EXPECT_EQ(tasks[n]->state(), State::completed);
  }
}

}  // namespace
