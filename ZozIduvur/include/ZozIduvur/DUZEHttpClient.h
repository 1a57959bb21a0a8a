#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/NSError.h"

struct DUZEHttpRequest {
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // sent with POST
};

struct DUZEHttpResponse {
  // The HTTP status; 0 when no answer came (then `error` says why).
  long statusCode = 0;
  std::string body;
  std::shared_ptr<foundation::NSError> error;
};

// Sends HTTP requests one after another on a thread of its own (libcurl).
// Completions run on that thread. Destroying the client cancels the
// requests that have not started: their completions get a connection error.
class DUZEHttpClient {
 public:
  static std::shared_ptr<DUZEHttpClient> create() { return std::make_shared<DUZEHttpClient>(); }
  DUZEHttpClient();
  ~DUZEHttpClient();
  DUZEHttpClient(const DUZEHttpClient&) = delete;
  DUZEHttpClient& operator=(const DUZEHttpClient&) = delete;

  // POSTs the request; `completion` gets the answer.
  void sendAsync(DUZEHttpRequest request, std::function<void(DUZEHttpResponse)> completion);

  // Whether the status means success (2xx), and whether a failure is worth
  // retrying later (no answer, 5xx, 408, 429).
  static bool isSuccessStatusCode(long statusCode) { return statusCode >= 200 && statusCode < 300; }
  static bool isRecoverableStatusCode(long statusCode) {
    return statusCode == 0 || statusCode >= 500 || statusCode == 408 || statusCode == 429;
  }

 private:
  struct Job {
    DUZEHttpRequest request;
    std::function<void(DUZEHttpResponse)> completion;
  };
  // Shared with the thread, which may outlive the client when the client is
  // dropped from inside a completion.
  struct Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool stopping = false;
  };
  static void run(const std::shared_ptr<Shared>& shared);
  static DUZEHttpResponse perform(const DUZEHttpRequest& request);

  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::thread thread_;
};
