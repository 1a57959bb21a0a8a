#include "foundation/URLSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <string>
#include <thread>

namespace foundation {

namespace {

using Clock = std::chrono::steady_clock;

// The threads tasks run on: one per task under way, kept for a while once
// idle so later tasks reuse them. Idle workers never wait for one another: a
// job that finds no idle worker gets a new one. Made once, never destroyed
// (workers may still be finishing when the process exits).
class WorkerPool {
 public:
  static WorkerPool& shared() {
    static WorkerPool* const pool = new WorkerPool;
    return *pool;
  }

  void submit(std::function<void()> job) {
    base::LockGuard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() > idle_) {
      try {
        std::thread([this] { work(); }).detach();
      } catch (...) {
        jobs_.pop_back();
        throw;
      }
    } else {
      wake_.notify_one();
    }
  }

 private:
  static constexpr auto kIdleLifetime = std::chrono::seconds(30);

  void work() {
    base::UniqueLock lock(mutex_);
    for (;;) {
      if (jobs_.empty()) {
        ++idle_;
        const auto deadline = std::chrono::steady_clock::now() + kIdleLifetime;
        bool woken = true;
        while (woken && jobs_.empty()) {
          woken = lock.waitUntil(wake_, deadline) == std::cv_status::no_timeout || !jobs_.empty();
        }
        --idle_;
        if (!woken) return;
      }
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
    }
  }

  base::Mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_ KX_GUARDED_BY(mutex_);
  size_t idle_ KX_GUARDED_BY(mutex_) = 0;
};

void ensureCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string_view describeCode(int64_t code) {
  switch (code) {
    case NSURLErrorCancelled:
      return "The request was cancelled.";
    case NSURLErrorBadURL:
      return "The URL is not valid.";
    case NSURLErrorTimedOut:
      return "The request timed out.";
    case NSURLErrorUnsupportedURL:
      return "The URL is not supported.";
    case NSURLErrorCannotFindHost:
      return "No server with the URL's host name could be found.";
    case NSURLErrorCannotConnectToHost:
      return "Could not connect to the server.";
    case NSURLErrorNetworkConnectionLost:
      return "The network connection was lost.";
    case NSURLErrorHTTPTooManyRedirects:
      return "The server redirected too many times.";
    case NSURLErrorBadServerResponse:
      return "The server's answer could not be understood.";
    case NSURLErrorFileDoesNotExist:
      return "The file does not exist.";
    case NSURLErrorSecureConnectionFailed:
      return "A secure connection to the server could not be made.";
    default:
      return "An unknown error occurred.";
  }
}

int64_t codeForCurlResult(CURLcode result) {
  switch (result) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      return NSURLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT:
      return NSURLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return NSURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return NSURLErrorTimedOut;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
      return NSURLErrorNetworkConnectionLost;
    case CURLE_TOO_MANY_REDIRECTS:
      return NSURLErrorHTTPTooManyRedirects;
    case CURLE_WEIRD_SERVER_REPLY:
      return NSURLErrorBadServerResponse;
    case CURLE_FILE_COULDNT_READ_FILE:
      return NSURLErrorFileDoesNotExist;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
      return NSURLErrorSecureConnectionFailed;
    case CURLE_ABORTED_BY_CALLBACK:
      return NSURLErrorCancelled;
    default:
      return NSURLErrorUnknown;
  }
}

std::string trim(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  const size_t end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

// What the transfer's callbacks gather, on the worker thread.
struct Gathered {
  Data body;
  HTTPURLResponse::HeaderFields headers;
  Clock::time_point lastActivity = Clock::now();
  curl_off_t downloaded = 0;
  curl_off_t uploaded = 0;
  const std::atomic<bool>* cancelRequested = nullptr;
};

size_t onBody(char* bytes, size_t size, size_t count, void* context) {
  auto* gathered = static_cast<Gathered*>(context);
  const size_t length = size * count;
  gathered->body.insert(gathered->body.end(), bytes, bytes + length);
  gathered->lastActivity = Clock::now();
  return length;
}

size_t onHeader(char* bytes, size_t size, size_t count, void* context) {
  auto* gathered = static_cast<Gathered*>(context);
  const size_t length = size * count;
  const std::string_view line(bytes, length);
  gathered->lastActivity = Clock::now();
  if (line.starts_with("HTTP/")) {
    // A new answer (after a redirect or an interim answer): only the last
    // one's fields describe the response.
    gathered->headers.clear();
  } else if (line.starts_with(" ") || line.starts_with("\t")) {
    // An old-style folded line: more of the previous field's value, never a
    // field of its own.
    const std::string more = trim(line);
    if (!gathered->headers.empty() && !more.empty()) {
      std::string& value = gathered->headers.back().second;
      if (!value.empty()) value += ' ';
      value += more;
    }
  } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string name = trim(line.substr(0, colon));
    if (!name.empty())
      gathered->headers.emplace_back(std::move(name), trim(line.substr(colon + 1)));
  }
  return length;
}

int onProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* gathered = static_cast<Gathered*>(context);
  if (downloaded != gathered->downloaded || uploaded != gathered->uploaded) {
    gathered->downloaded = downloaded;
    gathered->uploaded = uploaded;
    gathered->lastActivity = Clock::now();
  }
  return gathered->cancelRequested->load() ? 1 : 0;
}

// The handles of one transfer, released together (in this order).
struct CurlHandles {
  CURL* easy = curl_easy_init();
  CURLM* multi = curl_multi_init();
  curl_slist* headers = nullptr;

  CurlHandles() = default;
  CurlHandles(const CurlHandles&) = delete;
  CurlHandles& operator=(const CurlHandles&) = delete;
  ~CurlHandles() {
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
  }
};

void setCallbacks(CURL* easy, const URL& url, Gathered& gathered) {
  curl_easy_setopt(easy, CURLOPT_URL, url.absoluteString().c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,file");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &gathered);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &gathered);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &onProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &gathered);
}

// The request's method and body. The body is not copied: the request must
// outlive the transfer.
void setMethodAndBody(CURL* easy, const URLRequest& request) {
  const std::string method = request.httpMethod().value_or("GET");
  const std::optional<Data>& body = request.httpBody();
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (body) {
    // Never a null pointer: libcurl would read the body from standard input.
    const char* bytes = body->empty() ? "" : reinterpret_cast<const char*>(body->data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, bytes);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "POST") {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
  } else if (method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
}

// The request's header fields that may be sent; answers the list libcurl
// reads them from, which must outlive the transfer.
curl_slist* setHeaderFields(CURL* easy, const URLRequest& request) {
  curl_slist* headers = nullptr;
  bool expectGiven = false;
  for (const auto& [name, value] : request.allHTTPHeaderFields()) {
    if (!isSendableHeaderField(name, value)) continue;
    expectGiven = expectGiven || sameHeaderFieldName(name, "Expect");
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    headers = curl_slist_append(headers, line.c_str());
  }
  // Bodies go at once, without waiting for an interim answer first.
  if (!expectGiven) headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  return headers;
}

// How long a transfer may go without any progress: the request's timeout,
// or the default one when that is not a positive finite number.
Clock::duration idleLimitOf(const URLRequest& request) {
  double timeout = request.timeoutInterval();
  if (!(timeout > 0) || !std::isfinite(timeout)) timeout = URLRequest::kDefaultTimeoutInterval;
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(std::min(timeout, 1e9)));
}

// How a transfer that ran ended.
struct TransferEnd {
  bool timedOut = false;  // no progress for the idle limit
  bool done = false;      // libcurl saw it to its end, with `result`
  CURLcode result = CURLE_OK;
};

// Runs the transfer of `easy` on `multi` until it ends, is cancelled, or
// makes no progress for `idleLimit`. Leaves `easy` added to `multi`.
TransferEnd perform(CURLM* multi, CURL* easy, Gathered& gathered, Clock::duration idleLimit) {
  TransferEnd end;
  curl_multi_add_handle(multi, easy);
  gathered.lastActivity = Clock::now();
  for (;;) {
    int running = 0;
    curl_multi_perform(multi, &running);
    if (gathered.cancelRequested->load() || running == 0) break;
    const auto idle = Clock::now() - gathered.lastActivity;
    if (idle >= idleLimit) {
      end.timedOut = true;
      break;
    }
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(idleLimit - idle).count();
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::clamp<int64_t>(remaining, 1, 1000)),
                    nullptr);
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE) {
      end.result = message->data.result;
      end.done = true;
    }
  }
  return end;
}

// The response of a finished transfer of `requested`: the URL it ended at
// (after redirects) and, over HTTP, the status and the last answer's fields.
std::shared_ptr<URLResponse> responseOf(CURL* easy, const URL& requested,
                                        HTTPURLResponse::HeaderFields headers) {
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  const char* effective = nullptr;
  curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
  std::optional<URL> finalURL = effective ? URL::string(effective) : std::nullopt;
  if (!finalURL) finalURL = requested;
  if (finalURL->scheme() == "file") return URLResponse::create(finalURL);
  return HTTPURLResponse::create(finalURL, status, std::move(headers));
}

}  // namespace

std::shared_ptr<NSError> urlError(int64_t code, const std::optional<URL>& failingURL) {
  NSError::UserInfo userInfo;
  userInfo.emplace(std::string(NSLocalizedDescriptionKey), std::string(describeCode(code)));
  if (failingURL) {
    userInfo.emplace(std::string(NSURLErrorFailingURLStringErrorKey), failingURL->absoluteString());
  }
  return NSError::create(std::string(NSURLErrorDomain), code, std::move(userInfo));
}

// MARK: URLSession

std::shared_ptr<URLSession> URLSession::shared() {
  // Never destroyed, as its workers: tasks may still be made or finish while
  // the process exits.
  static const auto* const session =
      new std::shared_ptr<URLSession>(std::make_shared<URLSession>());
  return *session;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(
    URLRequest request, CompletionHandler completionHandler) {
  return std::make_shared<URLSessionDataTask>(URLSessionDataTask::PrivateTag{},
                                              nextIdentifier_.fetch_add(1), std::move(request),
                                              std::move(completionHandler));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(
    URL url, CompletionHandler completionHandler) {
  return dataTaskWithRequest(URLRequest(std::move(url)), std::move(completionHandler));
}

// MARK: URLSessionDataTask

URLSessionDataTask::URLSessionDataTask(PrivateTag, uint64_t identifier, URLRequest request,
                                       CompletionHandler handler)
    : identifier_(identifier), request_(std::move(request)), handler_(std::move(handler)) {}

URLSessionDataTask::~URLSessionDataTask() = default;

URLSessionDataTask::State URLSessionDataTask::state() const {
  base::LockGuard lock(mutex_);
  return state_;
}

void URLSessionDataTask::resume() {
  {
    base::LockGuard lock(mutex_);
    if (started_ || state_ != State::suspended) return;
    started_ = true;
    state_ = State::running;
  }
  startWorker();
}

void URLSessionDataTask::cancel() {
  bool start = false;
  {
    base::LockGuard lock(mutex_);
    if (state_ == State::completed || state_ == State::canceling) return;
    cancelRequested_.store(true);
    state_ = State::canceling;
    if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
    // A task that never ran still reports its cancellation from a worker.
    if (!started_) start = started_ = true;
  }
  if (start) startWorker();
}

void URLSessionDataTask::startWorker() {
  try {
    WorkerPool::shared().submit([self = shared_from_this()] { self->run(); });
  } catch (const std::system_error&) {
    complete(std::nullopt, nullptr, urlError(NSURLErrorUnknown, request_.url()));
  }
}

void URLSessionDataTask::complete(std::optional<Data> data, std::shared_ptr<URLResponse> response,
                                  std::shared_ptr<NSError> error) {
  CompletionHandler handler;
  {
    base::LockGuard lock(mutex_);
    if (state_ == State::completed) return;
    // A cancel that came in before the outcome is handed over wins.
    if (cancelRequested_.load()) {
      data.reset();
      response.reset();
      error = urlError(NSURLErrorCancelled, request_.url());
    }
    state_ = State::completed;
    handler = std::move(handler_);
    handler_ = nullptr;
  }
  if (handler) handler(std::move(data), std::move(response), std::move(error));
}

struct URLSessionDataTask::Outcome {
  std::optional<Data> data{};
  std::shared_ptr<URLResponse> response{};
  std::shared_ptr<NSError> error{};
};

void URLSessionDataTask::run() {
  const std::optional<URL>& url = request_.url();
  if (cancelRequested_.load()) return complete(std::nullopt, nullptr, nullptr);
  const std::string scheme = url ? url->scheme() : std::string();
  if (scheme != "http" && scheme != "https" && scheme != "file") {
    return complete(std::nullopt, nullptr, urlError(NSURLErrorUnsupportedURL, url));
  }
  Outcome outcome = load(*url);
  complete(std::move(outcome.data), std::move(outcome.response), std::move(outcome.error));
}

URLSessionDataTask::Outcome URLSessionDataTask::load(const URL& url) {
  ensureCurl();
  CurlHandles handles;
  if (handles.easy == nullptr || handles.multi == nullptr) {
    return {.error = urlError(NSURLErrorUnknown, url)};
  }
  Gathered gathered;
  gathered.cancelRequested = &cancelRequested_;
  setCallbacks(handles.easy, url, gathered);
  setMethodAndBody(handles.easy, request_);
  handles.headers = setHeaderFields(handles.easy, request_);

  // A cancel from now on wakes the transfer up; one that came first stops it
  // before it starts.
  bool registered = false;
  {
    base::LockGuard lock(mutex_);
    if (!cancelRequested_.load()) {
      multi_ = handles.multi;
      registered = true;
    }
  }
  TransferEnd end;
  if (registered) {
    end = perform(handles.multi, handles.easy, gathered, idleLimitOf(request_));
    {
      base::LockGuard lock(mutex_);
      multi_ = nullptr;
    }
    curl_multi_remove_handle(handles.multi, handles.easy);
  }

  // A cancelled outcome is filled in by `complete`.
  if (!registered || cancelRequested_.load()) return {};
  if (end.timedOut) return {.error = urlError(NSURLErrorTimedOut, url)};
  if (!end.done) return {.error = urlError(NSURLErrorUnknown, url)};
  if (end.result != CURLE_OK) return {.error = urlError(codeForCurlResult(end.result), url)};
  auto response = responseOf(handles.easy, url, std::move(gathered.headers));
  return {std::move(gathered.body), std::move(response), nullptr};
}

}  // namespace foundation
