#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "RvCocoa/URLSessionReactive.h"
#include "foundationTest/HTTPServer.h"

namespace rv {
namespace {

using foundation::Data;
using foundation::dataFromString;
using foundation::HTTPURLResponse;
using foundation::NSError;
using foundation::URL;
using foundation::URLRequest;
using foundation::URLResponse;
using foundation::URLSession;
using foundationtest::HTTPServer;

URL url(const std::string& text) { return *URL::string(text); }

Reactive<URLSession> session() { return rv::rv(URLSession::shared()); }

// Records what a subscription receives, on whatever thread, and lets the test
// wait for its stop event and for its release (which comes after the data
// task's completion handler has finished).
template <class T>
class Waiter final : public ObserverType<T> {
 public:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<T> elements;
    Error error;
    bool completed = false;
    bool released = false;
  };

  explicit Waiter(std::shared_ptr<State> state) : state_(std::move(state)) {}
  ~Waiter() override {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->released = true;
    state_->changed.notify_all();
  }

  void on(const Event<T>& event) noexcept override {
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (const T* element = event.element()) state_->elements.push_back(*element);
    if (const Error* error = event.error()) state_->error = *error;
    if (event.isCompleted()) state_->completed = true;
    state_->changed.notify_all();
  }

 private:
  std::shared_ptr<State> state_;
};

template <class T>
struct Outcome {
  std::shared_ptr<typename Waiter<T>::State> state = std::make_shared<typename Waiter<T>::State>();
  Ref<Disposable> subscription;

  explicit Outcome(const Ref<Observable<T>>& source) {
    subscription = source->subscribe(std::make_shared<Waiter<T>>(state));
  }
  bool waitForStop() {
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, std::chrono::seconds(10),
                                   [&] { return state->completed || state->error; });
  }
  bool waitForRelease() {
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, std::chrono::seconds(10), [&] { return state->released; });
  }
  // The error, rethrown as E; fails the test when it is not one.
  template <class E>
  E errorAs() {
    try {
      std::rethrow_exception(state->error);
    } catch (const E& error) {
      return error;
    } catch (...) {
    }
    ADD_FAILURE() << "another error: " << describe(state->error);
    throw std::logic_error("unexpected error");
  }
};

// The log is process-wide: every test leaves it off.
struct URLSessionReactiveTest : ::testing::Test {
  void TearDown() override { URLRequestLogging::setShouldLog(nullptr); }
};

// MARK: The request log

TEST_F(URLSessionReactiveTest, APlainRequestIsAPlainCurlCommand) {
  EXPECT_EQ(URLRequestLogging::curlCommand(URLRequest(url("http://example.test/a?b=1"))),
            "curl -X GET \n\"http://example.test/a?b=1\" -i -v");
  EXPECT_EQ(URLRequestLogging::curlCommand(URLRequest()), "curl -X GET \n\"<unknown url>\" -i -v");
}

TEST_F(URLSessionReactiveTest, MethodBodyAndHeadersAreEscapedForTheShell) {
  URLRequest request(url("http://example.test/say\"hi\""));
  request.setHTTPMethod("POST");
  request.setHTTPBody(dataFromString(R"({"a": "b\n"})"));
  request.setValue("application/json", "Content-Type");
  request.setValue("x\"y", "X-\"Quoted\"");
  EXPECT_EQ(URLRequestLogging::curlCommand(request),
            "curl -X POST -d \"{\\\"a\\\": \\\"b\\n\\\"}\" "
            "\n    -H \"Content-Type: application/json\" "
            "\n    -H \"X-\\\"Quoted\\\": x\\\"y\" "
            "\n\"http://example.test/say\\\"hi\\\"\" -i -v");

  request.setHTTPBody(Data{0xff, 0xfe, '"'});
  EXPECT_EQ(URLRequestLogging::curlCommand(request).rfind("curl -X POST \n    -H", 0), 0u)
      << "a body that is not UTF-8 text is left out";
  EXPECT_EQ(URLRequestLogging::escapeDoubleQuotes(R"(a\"b)"), R"(a\\"b)")
      << "only double quotes are escaped";
}

TEST_F(URLSessionReactiveTest, OutcomeLinesNameSuccessFailureAndCancellation) {
  auto http = [](int64_t status) {
    return HTTPURLResponse::create(url("http://example.test/"), status, {});
  };
  const auto error = foundation::urlError(foundation::NSURLErrorCannotConnectToHost, std::nullopt);
  EXPECT_EQ(URLRequestLogging::outcomeLine(http(200), nullptr, 0.0015),
            "Success (1ms): Status 200");
  EXPECT_EQ(URLRequestLogging::outcomeLine(http(299), nullptr, 0), "Success (0ms): Status 299");
  EXPECT_EQ(URLRequestLogging::outcomeLine(http(199), nullptr, 0), "Failure (0ms): Status 199");
  EXPECT_EQ(URLRequestLogging::outcomeLine(http(300), error, 0), "Failure (0ms): Status 300")
      << "an HTTP answer wins over the error";
  EXPECT_EQ(URLRequestLogging::outcomeLine(http(404), nullptr, 0.1234),
            "Failure (123ms): Status 404");
  EXPECT_EQ(
      URLRequestLogging::outcomeLine(
          nullptr, foundation::urlError(foundation::NSURLErrorCancelled, std::nullopt), 0.002),
      "Canceled (2ms)");
  EXPECT_EQ(URLRequestLogging::outcomeLine(URLResponse::create(url("file:///x")), error, 0.5),
            "Failure (500ms): NSError > " + error->description());
  EXPECT_EQ(
      URLRequestLogging::outcomeLine(nullptr,
                                     NSError::create("Other", foundation::NSURLErrorCancelled), 0),
      "Failure (0ms): NSError > Error Domain=Other Code=-999 \"The operation couldn\u2019t be "
      "completed. (Other error -999.)\"")
      << "only the URL-loading domain's -999 is a cancellation";
  EXPECT_EQ(URLRequestLogging::outcomeLine(nullptr, nullptr, 1),
            "<Unhandled response from server>");
}

TEST_F(URLSessionReactiveTest, ErrorTextsAndCodes) {
  auto notFound = HTTPURLResponse::create(url("http://example.test/"), 404, {});
  const auto failed = RvCocoaURLError::httpRequestFailed(notFound, dataFromString("gone"));
  EXPECT_STREQ(failed.what(), "HTTP request failed with `404`.");
  EXPECT_EQ(failed.httpResponse(), notFound);
  EXPECT_EQ(failed.data(), dataFromString("gone"));
  EXPECT_EQ(RvCocoaURLError::unknown().debugDescription(), "Unknown error has occurred.");
  auto file = URLResponse::create(url("file:///x"));
  EXPECT_EQ(RvCocoaURLError::nonHTTPResponse(file).debugDescription(),
            "Response is not NSHTTPURLResponse `" + file->description() + "`.");
  EXPECT_EQ(
      RvCocoaURLError::deserializationError(std::make_exception_ptr(RvCocoaURLError::unknown()))
          .debugDescription(),
      "Error during deserialization of the response: Unknown error has occurred.");

  EXPECT_EQ(RvCocoaURLError::nonHTTPResponse(file).toNSError()->code(), 0);
  EXPECT_EQ(failed.toNSError()->code(), 1);
  EXPECT_EQ(RvCocoaURLError::deserializationError(nullptr).toNSError()->code(), 2);
  EXPECT_EQ(RvCocoaURLError::unknown().toNSError()->code(), 3);
  EXPECT_EQ(RvCocoaURLError::unknown().toNSError()->domain(), "RvCocoa.RvCocoaURLError");
}

// MARK: Requests

TEST_F(URLSessionReactiveTest, ResponseDeliversAnyStatusWhileDataWantsSuccess) {
  HTTPServer server([](const HTTPServer::Request& request) {
    if (request.target == "/ok") return foundationtest::reply(299, "fine");
    if (request.target == "/moved") return foundationtest::reply(300, "choose");
    return foundationtest::reply(500, "broken");
  });

  Outcome<URLResponseAndData> answer(response(session(), URLRequest(url(server.url("/x")))));
  ASSERT_TRUE(answer.waitForStop());
  ASSERT_EQ(answer.state->elements.size(), 1u);
  EXPECT_TRUE(answer.state->completed);
  EXPECT_EQ(answer.state->elements[0].response->statusCode(), 500);
  EXPECT_EQ(answer.state->elements[0].data, dataFromString("broken"));

  Outcome<Data> failing(data(session(), URLRequest(url(server.url("/x")))));
  ASSERT_TRUE(failing.waitForStop());
  EXPECT_TRUE(failing.state->elements.empty());
  const auto error = failing.errorAs<RvCocoaURLError>();
  EXPECT_EQ(error.kind(), RvCocoaURLError::Kind::httpRequestFailed);
  EXPECT_EQ(error.httpResponse()->statusCode(), 500);
  EXPECT_EQ(error.data(), dataFromString("broken"));

  Outcome<Data> ok(data(session(), URLRequest(url(server.url("/ok")))));
  Outcome<Data> moved(data(session(), URLRequest(url(server.url("/moved")))));
  ASSERT_TRUE(ok.waitForStop());
  ASSERT_TRUE(moved.waitForStop());
  EXPECT_EQ(ok.state->elements, std::vector<Data>{dataFromString("fine")});
  EXPECT_EQ(moved.errorAs<RvCocoaURLError>().httpResponse()->statusCode(), 300);
}

TEST_F(URLSessionReactiveTest, EachSubscriptionStartsItsOwnTask) {
  HTTPServer server;
  auto sequence = response(session(), URLRequest(url(server.url("/"))));
  EXPECT_TRUE(server.requests().empty()) << "cold: nothing before a subscription";
  Outcome<URLResponseAndData> first(sequence);
  Outcome<URLResponseAndData> second(sequence);
  ASSERT_TRUE(first.waitForStop());
  ASSERT_TRUE(second.waitForStop());
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(URLSessionReactiveTest, JSONIsDecodedWithTheGivenOptions) {
  HTTPServer server([](const HTTPServer::Request& request) {
    if (request.target == "/list") return foundationtest::reply(200, R"([1, {"a": "b"}])");
    if (request.target == "/number") return foundationtest::reply(200, "7");
    return foundationtest::reply(200, "{not json");
  });

  Outcome<nlohmann::json> list(json(session(), url(server.url("/list"))));
  ASSERT_TRUE(list.waitForStop());
  ASSERT_EQ(list.state->elements.size(), 1u);
  EXPECT_EQ(list.state->elements[0], nlohmann::json::parse(R"([1, {"a": "b"}])"));
  EXPECT_EQ(server.requests().at(0).method, "GET");

  Outcome<nlohmann::json> fragment(json(session(), URLRequest(url(server.url("/number"))),
                                        foundation::JSONReadingFragmentsAllowed));
  Outcome<nlohmann::json> refused(json(session(), url(server.url("/number"))));
  Outcome<nlohmann::json> broken(json(session(), url(server.url("/broken"))));
  ASSERT_TRUE(fragment.waitForStop());
  ASSERT_TRUE(refused.waitForStop());
  ASSERT_TRUE(broken.waitForStop());
  EXPECT_EQ(fragment.state->elements, std::vector<nlohmann::json>{7});
  for (auto* failed : {&refused, &broken}) {
    const auto error = failed->errorAs<RvCocoaURLError>();
    EXPECT_EQ(error.kind(), RvCocoaURLError::Kind::deserializationError);
    try {
      std::rethrow_exception(error.error());
    } catch (const NSErrorException& reader) {
      EXPECT_EQ(reader.error()->code(), foundation::NSPropertyListReadCorruptError);
    }
  }
}

TEST_F(URLSessionReactiveTest, TransportFailuresAndNonHTTPAnswersFail) {
  Outcome<URLResponseAndData> refused(response(
      session(),
      URLRequest(url("http://127.0.0.1:" + std::to_string(foundationtest::closedPort()) + "/"))));
  ASSERT_TRUE(refused.waitForStop());
  const auto transport = refused.errorAs<NSErrorException>();
  EXPECT_EQ(transport.error()->domain(), foundation::NSURLErrorDomain);
  EXPECT_EQ(transport.error()->code(), foundation::NSURLErrorCannotConnectToHost);

  char path[] = "/tmp/rvcocoa-url-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(path) << "local";
  Outcome<URLResponseAndData> file(response(session(), URLRequest(*URL::fileURLWithPath(path))));
  ASSERT_TRUE(file.waitForStop());
  std::remove(path);
  EXPECT_EQ(file.errorAs<RvCocoaURLError>().kind(), RvCocoaURLError::Kind::nonHTTPResponse);
  EXPECT_EQ(file.errorAs<RvCocoaURLError>().response()->url(), URL::fileURLWithPath(path));
}

TEST_F(URLSessionReactiveTest, DisposingCancelsTheTaskAndLogsTheCancellation) {
  HTTPServer server;
  server.hold(true);
  std::atomic<int> asked{0};
  URLRequestLogging::setShouldLog([&](const URLRequest&) {
    ++asked;
    return true;
  });
  testing::internal::CaptureStdout();
  {
    Outcome<URLResponseAndData> cancelled(
        response(session(), URLRequest(url(server.url("/slow")))));
    ASSERT_TRUE(server.waitForRequests(1));
    cancelled.subscription->dispose();
    cancelled.subscription = nullptr;
    ASSERT_TRUE(cancelled.waitForRelease()) << "the completion handler ran and let go";
    EXPECT_TRUE(cancelled.state->elements.empty());
    EXPECT_FALSE(cancelled.state->error) << "events after dispose are dropped";
  }
  const std::string output = testing::internal::GetCapturedStdout();
  server.hold(false);
  EXPECT_EQ(asked.load(), 2) << "asked at subscription and at completion";
  EXPECT_EQ(output.rfind("curl -X GET \n\"" + server.url("/slow") + "\" -i -v\nCanceled (", 0), 0u)
      << output;
  EXPECT_EQ(output.substr(output.size() - 4), "ms)\n") << output;
}

TEST_F(URLSessionReactiveTest, LoggingTurnedOnMidwayMeasuresFromNowAndOffPrintsNothing) {
  HTTPServer server;
  std::atomic<int> asked{0};
  URLRequestLogging::setShouldLog([&](const URLRequest&) { return asked++ > 0; });
  testing::internal::CaptureStdout();
  {
    Outcome<URLResponseAndData> logged(response(session(), URLRequest(url(server.url("/")))));
    ASSERT_TRUE(logged.waitForRelease());
  }
  URLRequestLogging::setShouldLog(nullptr);
  {
    Outcome<URLResponseAndData> silent(response(session(), URLRequest(url(server.url("/")))));
    ASSERT_TRUE(silent.waitForRelease());
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "curl -X GET \n\"" + server.url("/") + "\" -i -v\nSuccess (0ms): Status 200\n")
      << "no start time was taken, so the elapsed time is about 0";
}

}  // namespace
}  // namespace rv
