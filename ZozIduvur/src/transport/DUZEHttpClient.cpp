#include "ZozIduvur/DUZEHttpClient.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <string_view>
#include <vector>

#include "DUZEEnvironmentProxy.h"
#include "ZozIduvur/DUZEErrors.h"
#include "ZozIduvur/DUZELogger.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"
#include "foundation/StringFormat.h"
#include "foundation/URLRequest.h"

#ifdef KX_TEST_SEAMS
#include "ZozIduvur/TestSeams.h"
#endif

namespace {

void initCurlOnce() {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)initialised;
}

std::shared_ptr<foundation::NSError> connectionError(const std::string& description) {
  return foundation::NSError::create(std::string(kDUZEErrorDomain), DUZEErrorCodeConnection,
                                     description);
}

bool isHttps(const std::string& url) { return ::strncasecmp(url.c_str(), "https:", 6) == 0; }

// The statuses whose header block is the answer. An interim 1xx answer is
// followed by another, and a redirect either leads to another answer or
// fails with the reason why it cannot.
bool isAnswerStatus(long status) {
  return DUZEHttpClient::isSuccessStatusCode(status) || (status >= 400 && status <= 999);
}

// How long the body of a success is read after its header block.
constexpr std::chrono::milliseconds kSuccessBodyGrace{1000};
std::atomic<int64_t> gSuccessBodyGraceMs{kSuccessBodyGrace.count()};

#ifdef KX_TEST_SEAMS
base::Mutex gTestSeamMutex;
std::optional<std::string> gCertificateFileForTesting KX_GUARDED_BY(gTestSeamMutex);
std::function<std::string(const std::string&)> gFailureTextForTesting KX_GUARDED_BY(gTestSeamMutex);
#endif

// The trust a client reads: the bundle libcurl was built with (none when it
// was built to use only a folder of certificates), or in builds with tests
// the file a test chose. No other build can replace it.
std::optional<std::string> certificateAuthorityFile() {
#ifdef KX_TEST_SEAMS
  {
    base::LockGuard lock(gTestSeamMutex);
    if (gCertificateFileForTesting) return gCertificateFileForTesting;
  }
#endif
  std::optional<std::string> file;
  if (CURL* easy = curl_easy_init()) {
    char* path = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &path) == CURLE_OK && path && *path) file = path;
    curl_easy_cleanup(easy);
  }
  return file;
}

// libcurl's text for the failure of a transfer, with its details when they
// add anything and can be shown whole without a piece of a user name or
// password of the proxy or of the URL; else the failure's meaning alone.
std::string failureReason(CURLcode result, const char* details, CURL* easy,
                          const std::string& url) {
  std::string reason = curl_easy_strerror(result);
  std::string text = details ? details : "";
#ifdef KX_TEST_SEAMS
  {
    base::LockGuard lock(gTestSeamMutex);
    if (gFailureTextForTesting) text = gFailureTextForTesting(text);
  }
#endif
  std::vector<std::string> urls{url};
  char* lastUrl = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &lastUrl) == CURLE_OK && lastUrl) {
    urls.emplace_back(lastUrl);
  }
  // libcurl keeps at most CURL_ERROR_SIZE - 1 bytes of its text.
  const auto detail = duze::shownDetail(text, urls, text.size() + 1 >= CURL_ERROR_SIZE);
  if (!detail || detail->empty()) return reason;
  if (detail->find(reason) != std::string::npos) return *detail;
  return reason + " (" + *detail + ")";
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
    char errorBuffer[CURL_ERROR_SIZE] = {};
    // The status of the answer whose header block came whole; 0 until then,
    // and again once the status line of a later answer (after an interim
    // one or a redirect) starts.
    long answered = 0;
    // When that header block came whole.
    std::chrono::steady_clock::time_point answeredAt;
    // The completion ran.
    bool completed = false;
    // How much of a success's body was read (and dropped).
    size_t drained = 0;
    // The body went past kDUZEMaxResponseBodySize and the rest was dropped.
    bool bodyCut = false;

    ~Transfer() {
      curl_slist_free_all(headers);
      if (easy) curl_easy_cleanup(easy);
    }
  };

  base::Mutex mutex;
  std::deque<Job> jobs KX_GUARDED_BY(mutex);
  bool stopping KX_GUARDED_BY(mutex) = false;
  // Woken by new jobs and by the stop; freed by the thread once it has seen
  // `stopping` (nobody wakes it after that).
  CURLM* multi = nullptr;
  // Read once; the multi handle keeps the trust read from it.
  std::optional<std::string> certificateFile;

  static void fail(Job& job, const std::string& description) {
    DUZEHttpResponse response;
    response.error = connectionError(description);
    if (job.completion) job.completion(std::move(response));
  }
  static void complete(Transfer& transfer) {
    transfer.completed = true;
    if (transfer.job.completion) transfer.job.completion(std::move(transfer.response));
  }
  static size_t collect(char* data, size_t size, size_t count, void* user);
  static size_t header(char* data, size_t size, size_t count, void* user);
  std::unique_ptr<Transfer> start(Job job) const;
  static void finish(Transfer& transfer, CURLcode result);
};

size_t DUZEHttpClient::Shared::collect(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  if (isSuccessStatusCode(transfer->answered)) {
    // Read only so that the connection can serve again, and no further
    // than the limit (or the grace, see run).
    transfer->drained += length;
    return transfer->drained > kDUZEMaxResponseBodySize ? 0 : length;
  }
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

size_t DUZEHttpClient::Shared::header(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  const std::string_view line(data, length);
  if (line.starts_with("HTTP/")) {
    transfer->answered = 0;
  } else if (line == "\r\n" || line == "\n") {
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    if (isAnswerStatus(status)) {
      transfer->answered = status;
      transfer->answeredAt = std::chrono::steady_clock::now();
    }
  }
  return length;
}

std::unique_ptr<DUZEHttpClient::Shared::Transfer> DUZEHttpClient::Shared::start(Job job) const {
  const DUZEHttpRequest& request = job.request;
  for (const auto& [name, value] : request.headers) {
    if (!foundation::isSendableHeaderField(name, value)) {
      DUZELogError(kDUZELogTag,
                   "The request to %@ is not sent: its header field %@ holds a line break, a NUL "
                   "or a character a field name cannot have.",
                   duze::withoutUserInfo(request.url), name);
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
  // A proxy's answer to opening a tunnel is no answer to the request: it
  // never reaches the header callback.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  if (certificateFile) {
    // The bundle alone, kept by the multi handle: with a folder of
    // certificates besides, libcurl would read all of it again for every
    // connection, also while every handshake fails.
    curl_easy_setopt(easy, CURLOPT_CAINFO, certificateFile->c_str());
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 3600L);
  }
  // A stop never waits for a name lookup under way.
  curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Shared::header);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Shared::collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
  return transfer;
}

void DUZEHttpClient::Shared::finish(Transfer& transfer, CURLcode result) {
  if (transfer.completed) return;
  DUZEHttpResponse& response = transfer.response;
  const std::string& requested = transfer.job.request.url;
  const std::string url = duze::withoutUserInfo(requested);
  long status = 0;
  if (result == CURLE_OK || transfer.bodyCut) {
    if (transfer.bodyCut) {
      DUZELogWarning(kDUZELogTag,
                     "The answer from %@ is longer than %d bytes; the rest of it is not read.", url,
                     static_cast<int>(kDUZEMaxResponseBodySize));
    }
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
  } else if (transfer.answered != 0) {
    // The answer came whole; only its body broke off.
    status = transfer.answered;
    DUZELogDebug(kDUZELogTag, "The body of the answer from %@ (status %ld) broke off: %@", url,
                 status, failureReason(result, transfer.errorBuffer, transfer.easy, requested));
  }
  if (status >= 100 && status <= 999) {
    response.statusCode = status;
  } else if (result == CURLE_OK) {
    // Bytes came back, but no status line: nothing to judge the batch by.
    response.statusCode = 0;
    response.error = connectionError("The server's answer has no HTTP status.");
    DUZELogDebug(kDUZELogTag, "HTTP request to %@ failed: the answer has no HTTP status.", url);
  } else {
    std::string reason = failureReason(result, transfer.errorBuffer, transfer.easy, requested);
    char* lastUrl = nullptr;
    curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &lastUrl);
    if (auto proxy = duze::proxySettingForUrl(lastUrl ? lastUrl : requested)) {
      reason += foundation::stringWithFormat(", through the proxy %@ set in %@", proxy->url,
                                             proxy->variable);
    }
    response.statusCode = 0;
    response.error = connectionError(reason);
    DUZELogDebug(kDUZELogTag, "HTTP request to %@ failed: %@", url, reason);
  }
  complete(transfer);
}

std::optional<std::string> DUZEHttpClient::proxyForUrl(const std::string& url) {
  auto setting = duze::proxySettingForUrl(url);
  if (!setting) return std::nullopt;
  return setting->url;
}

#ifdef KX_TEST_SEAMS
void DUZEHttpClientSeams::setSuccessBodyGraceForTesting(
    std::optional<std::chrono::milliseconds> grace) {
  gSuccessBodyGraceMs = (grace ? *grace : kSuccessBodyGrace).count();
}

void DUZEHttpClientSeams::setCertificateAuthorityFileForTesting(std::optional<std::string> path) {
  base::LockGuard lock(gTestSeamMutex);
  gCertificateFileForTesting = std::move(path);
}

void DUZEHttpClientSeams::setFailureTextForTesting(
    std::function<std::string(const std::string&)> rewrite) {
  base::LockGuard lock(gTestSeamMutex);
  gFailureTextForTesting = std::move(rewrite);
}
#endif

DUZEHttpClient::DUZEHttpClient() : shared_(std::make_shared<Shared>()) {
  initCurlOnce();
  shared_->certificateFile = certificateAuthorityFile();
  shared_->multi = curl_multi_init();
  // Without a multi handle every request fails at once (see sendAsync).
  if (shared_->multi) thread_ = std::thread([shared = shared_] { run(shared); });
}

DUZEHttpClient::~DUZEHttpClient() {
  {
    base::LockGuard lock(shared_->mutex);
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
    base::LockGuard lock(shared_->mutex);
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
      base::LockGuard lock(shared->mutex);
      stopping = shared->stopping;
      incoming.swap(shared->jobs);
    }
    if (stopping) {
      for (auto& [easy, transfer] : running) {
        curl_multi_remove_handle(multi, easy);
        if (transfer->completed) continue;
        if (isSuccessStatusCode(transfer->answered)) {
          // Answered: only the rest of its body is given up.
          transfer->response.statusCode = transfer->answered;
          Shared::complete(*transfer);
        } else {
          Shared::fail(transfer->job, "The request was cancelled.");
        }
      }
      running.clear();
      for (auto& job : incoming) Shared::fail(job, "The request was cancelled.");
      break;
    }
    for (auto& job : incoming) {
      if (auto transfer = shared->start(std::move(job))) {
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
    // A success is done once its body ends, or a short grace after its header
    // block: the rest of a body that does not end is not read, and its
    // connection goes with it. So a server whose successes never end holds
    // no more connections than there are requests in flight, instead of one
    // per request for as long as its timeout.
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::milliseconds grace(gSuccessBodyGraceMs.load(std::memory_order_relaxed));
    std::chrono::milliseconds wait(1000);
    for (auto it = running.begin(); it != running.end();) {
      Shared::Transfer& transfer = *it->second;
      if (!isSuccessStatusCode(transfer.answered)) {
        ++it;
        continue;
      }
      const auto deadline = transfer.answeredAt + grace;
      if (deadline > now) {
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        ++it;
        continue;
      }
      curl_multi_remove_handle(multi, it->first);
      transfer.response.statusCode = transfer.answered;
      Shared::complete(transfer);
      it = running.erase(it);
    }
    // Each transfer keeps its own deadline; libcurl wakes the poll for it.
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait.count()), nullptr);
  }
  curl_multi_cleanup(multi);
}
