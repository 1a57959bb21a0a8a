#include "ZozIduvur/DUZEHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <mutex>

#include "ZozIduvur/DUZEErrors.h"
#include "ZozIduvur/DUZELogger.h"
#include "foundation/URLRequest.h"

namespace {

void initCurlOnce() {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)initialised;
}

std::shared_ptr<foundation::NSError> connectionError(const std::string& description) {
  return foundation::NSError::create(std::string(kDUZEErrorDomain), DUZEErrorCodeConnection,
                                     description);
}

bool isHttps(const std::string& url) {
  if (url.size() < 6) return false;
  std::string scheme = url.substr(0, 6);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme == "https:";
}

}  // namespace

struct DUZEHttpClient::Shared {
  struct Job {
    DUZEHttpRequest request;
    std::function<void(DUZEHttpResponse)> completion;
  };

  // One request under way.
  struct Transfer {
    Job job;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    DUZEHttpResponse response;
    // The body went past kDUZEMaxResponseBodySize and the rest was dropped.
    bool bodyCut = false;

    ~Transfer() {
      curl_slist_free_all(headers);
      if (easy) curl_easy_cleanup(easy);
    }
  };

  std::mutex mutex;
  std::deque<Job> jobs;
  bool stopping = false;
  // Woken by new jobs and by the stop; freed by the thread once it has seen
  // `stopping` (nobody wakes it after that).
  CURLM* multi = nullptr;

  static void fail(Job& job, const std::string& description) {
    DUZEHttpResponse response;
    response.error = connectionError(description);
    if (job.completion) job.completion(std::move(response));
  }
  static size_t collect(char* data, size_t size, size_t count, void* user);
  static std::unique_ptr<Transfer> start(Job job);
  static void finish(Transfer& transfer, CURLcode result);
};

size_t DUZEHttpClient::Shared::collect(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  std::string& body = transfer->response.body;
  const size_t room = kDUZEMaxResponseBodySize - body.size();
  if (length > room) {
    body.append(data, room);
    transfer->bodyCut = true;
    return 0;  // ends the transfer
  }
  body.append(data, length);
  return length;
}

std::unique_ptr<DUZEHttpClient::Shared::Transfer> DUZEHttpClient::Shared::start(Job job) {
  const DUZEHttpRequest& request = job.request;
  for (const auto& [name, value] : request.headers) {
    if (!foundation::isSendableHeaderField(name, value)) {
      DUZELogError(kDUZELogTag,
                   "The request to %@ is not sent: its header field %@ holds a line break, a NUL "
                   "or a character a field name cannot have.",
                   request.url, name);
      fail(job, "The request has a header field that cannot be sent.");
      return nullptr;
    }
  }
  auto transfer = std::make_unique<Transfer>();
  transfer->job = std::move(job);
  CURL* easy = transfer->easy = curl_easy_init();
  if (!easy) {
    fail(transfer->job, "Couldn't start an HTTP request.");
    return nullptr;
  }
  const DUZEHttpRequest& sent = transfer->job.request;
  for (const auto& [name, value] : sent.headers) {
    transfer->headers = curl_slist_append(transfer->headers, (name + ": " + value).c_str());
  }
  // No "Expect: 100-continue" round trip for larger bodies.
  transfer->headers = curl_slist_append(transfer->headers, "Expect:");
  const long timeout = static_cast<long>(std::max<int64_t>(1, sent.timeout.count()));
  curl_easy_setopt(easy, CURLOPT_URL, sent.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, sent.body.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(sent.body.size()));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeout, 15000L));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeout);
  // Redirects as the platform's URL loading follows them, but the batch goes
  // along on every one (a switch to GET would take an answer about no logs
  // for their delivery), and the secrets never leave https for plain http.
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(easy, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, isHttps(sent.url) ? "https" : "http,https");
  // A stop never waits for a name lookup under way.
  curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Shared::collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
  return transfer;
}

void DUZEHttpClient::Shared::finish(Transfer& transfer, CURLcode result) {
  DUZEHttpResponse& response = transfer.response;
  const std::string& url = transfer.job.request.url;
  if (result == CURLE_WRITE_ERROR && transfer.bodyCut) {
    DUZELogWarning(kDUZELogTag,
                   "The answer from %@ is longer than %d bytes; the rest of it is not read.", url,
                   static_cast<int>(kDUZEMaxResponseBodySize));
    result = CURLE_OK;
  }
  long status = 0;
  if (result == CURLE_OK) curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
  if (result == CURLE_OK && status >= 100 && status <= 999) {
    response.statusCode = status;
  } else if (result == CURLE_OK) {
    // Bytes came back, but no status line: nothing to judge the batch by.
    response.statusCode = 0;
    response.error = connectionError("The server's answer has no HTTP status.");
    DUZELogDebug(kDUZELogTag, "HTTP request to %@ failed: the answer has no HTTP status.", url);
  } else {
    response.statusCode = 0;
    response.error = connectionError(curl_easy_strerror(result));
    DUZELogDebug(kDUZELogTag, "HTTP request to %@ failed: %@", url, curl_easy_strerror(result));
  }
  if (transfer.job.completion) transfer.job.completion(std::move(response));
}

DUZEHttpClient::DUZEHttpClient() : shared_(std::make_shared<Shared>()) {
  initCurlOnce();
  shared_->multi = curl_multi_init();
  // Without a multi handle every request fails at once (see sendAsync).
  if (shared_->multi) thread_ = std::thread([shared = shared_] { run(shared); });
}

DUZEHttpClient::~DUZEHttpClient() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
    if (shared_->multi) curl_multi_wakeup(shared_->multi);
  }
  if (thread_.joinable()) {
    // Dropped from inside a completion: the thread ends on its own.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

void DUZEHttpClient::sendAsync(DUZEHttpRequest request,
                               std::function<void(DUZEHttpResponse)> completion) {
  Shared::Job job{std::move(request), std::move(completion)};
  {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->stopping && shared_->multi) {
      shared_->jobs.push_back(std::move(job));
      curl_multi_wakeup(shared_->multi);
      return;
    }
  }
  Shared::fail(job, "The request was cancelled.");
}

void DUZEHttpClient::run(const std::shared_ptr<Shared>& shared) {
  CURLM* multi = shared->multi;
  std::map<CURL*, std::unique_ptr<Shared::Transfer>> running;
  for (;;) {
    std::deque<Shared::Job> incoming;
    bool stopping = false;
    {
      std::lock_guard lock(shared->mutex);
      stopping = shared->stopping;
      incoming.swap(shared->jobs);
    }
    if (stopping) {
      for (auto& [easy, transfer] : running) {
        curl_multi_remove_handle(multi, easy);
        Shared::fail(transfer->job, "The request was cancelled.");
      }
      running.clear();
      for (auto& job : incoming) Shared::fail(job, "The request was cancelled.");
      break;
    }
    for (auto& job : incoming) {
      if (auto transfer = Shared::start(std::move(job))) {
        CURL* easy = transfer->easy;
        if (curl_multi_add_handle(multi, easy) == CURLM_OK) {
          running.emplace(easy, std::move(transfer));
        } else {
          Shared::fail(transfer->job, "Couldn't start an HTTP request.");
        }
      }
    }
    int active = 0;
    curl_multi_perform(multi, &active);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      auto it = running.find(message->easy_handle);
      if (it == running.end()) continue;
      const CURLcode result = message->data.result;
      auto transfer = std::move(it->second);
      running.erase(it);
      curl_multi_remove_handle(multi, transfer->easy);
      Shared::finish(*transfer, result);
    }
    // Each transfer keeps its own deadline; libcurl wakes the poll for it.
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  curl_multi_cleanup(multi);
}
