#include "ZozIduvur/DUZEHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <map>
#include <string_view>
#include <vector>

#include "ZozIduvur/DUZEErrors.h"
#include "ZozIduvur/DUZELogger.h"
#include "dispatch/Mutex.h"
#include "dispatch/ThreadSafety.h"
#include "foundation/StringFormat.h"
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

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool isHttps(const std::string& url) { return lowered(url.substr(0, 6)) == "https:"; }

// The statuses whose header block is the answer. An interim 1xx answer is
// followed by another, and a redirect either leads to another answer or
// fails with the reason why it cannot.
bool isAnswerStatus(long status) {
  return DUZEHttpClient::isSuccessStatusCode(status) || (status >= 400 && status <= 999);
}

// How long the body of a success is read after its header block.
constexpr std::chrono::milliseconds kSuccessBodyGrace{1000};
std::atomic<int64_t> gSuccessBodyGraceMs{kSuccessBodyGrace.count()};

dispatch::Mutex gCertificateFileMutex;
std::optional<std::string> gCertificateFileForTesting KX_GUARDED_BY(gCertificateFileMutex);

// The trust a client reads: the tests' file, else the bundle libcurl was
// built with (none when it was built to use only a folder of certificates).
std::optional<std::string> certificateAuthorityFile() {
  {
    dispatch::LockGuard lock(gCertificateFileMutex);
    if (gCertificateFileForTesting) return gCertificateFileForTesting;
  }
  std::optional<std::string> file;
  if (CURL* easy = curl_easy_init()) {
    char* path = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &path) == CURLE_OK && path && *path) file = path;
    curl_easy_cleanup(easy);
  }
  return file;
}

// Proxies from the environment -----------------------------------------------

std::optional<std::string> environmentValue(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

// A URL's parts through libcurl's own parser; empty when there is none.
std::string urlPart(CURLU* url, CURLUPart what) {
  char* part = nullptr;
  if (curl_url_get(url, what, &part, 0) != CURLUE_OK || !part) return {};
  std::string text(part);
  curl_free(part);
  return text;
}

struct UrlParts {
  std::string scheme;
  std::string host;
  std::string port;
};

std::optional<UrlParts> parseUrl(const std::string& text) {
  CURLU* url = curl_url();
  if (!url) return std::nullopt;
  std::optional<UrlParts> parts;
  if (curl_url_set(url, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    parts = UrlParts{lowered(urlPart(url, CURLUPART_SCHEME)), lowered(urlPart(url, CURLUPART_HOST)),
                     urlPart(url, CURLUPART_PORT)};
  }
  curl_url_cleanup(url);
  return parts;
}

// Every variable libcurl may take a proxy from for an http or https request
// (HTTP_PROXY too, although only its lower-case form is read for http).
constexpr const char* kProxyVariables[] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                                           "HTTPS_PROXY", "all_proxy",  "ALL_PROXY"};

// A proxy setting cut where a user name and password may be: everything
// between the scheme and the last '@' counts as credentials, also where a
// password holds an unencoded '/', '?', '#' or '@' (libcurl then ends the
// host early and takes the user name for the proxy's host, the password's
// start for its port).
struct ProxyParts {
  std::string scheme = "http";  // libcurl's guess when there is none
  std::string credentials;
  std::string place;  // host, port and whatever follows
};

ProxyParts splitProxy(const std::string& proxy) {
  ProxyParts parts;
  parts.place = proxy;
  const size_t end = proxy.find("://");
  const auto isSchemeCharacter = [](unsigned char c) {
    return std::isalnum(c) || c == '+' || c == '-' || c == '.';
  };
  if (end != std::string::npos && end > 0 && std::isalpha(static_cast<unsigned char>(proxy[0])) &&
      std::all_of(proxy.begin(), proxy.begin() + static_cast<std::ptrdiff_t>(end),
                  isSchemeCharacter)) {
    parts.scheme = lowered(proxy.substr(0, end));
    parts.place = proxy.substr(end + 3);
  }
  if (const size_t at = parts.place.rfind('@'); at != std::string::npos) {
    parts.credentials = parts.place.substr(0, at);
    parts.place.erase(0, at + 1);
  }
  return parts;
}

// How messages name a proxy: "scheme://host:port", never with anything that
// may be a user name or password.
std::string displayedProxy(const std::string& proxy) {
  const ProxyParts parts = splitProxy(proxy);
  if (auto url = parseUrl(parts.scheme + "://" + parts.place); url && !url->host.empty()) {
    std::string text = parts.scheme + "://" + url->host;
    if (!url->port.empty()) text += ":" + url->port;
    return text;
  }
  // Unreadable for libcurl too (the request fails on it, "Unsupported proxy
  // syntax"): the place as it stands, up to its path.
  return parts.scheme + "://" + parts.place.substr(0, parts.place.find_first_of("/?#"));
}

std::string percentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

// Replaces `what` where it stands as a word of its own (no letter or digit
// right before or after it).
void replaceWord(std::string& text, const std::string& what, const std::string& with) {
  const auto isWordCharacter = [&](size_t at) {
    return at < text.size() && std::isalnum(static_cast<unsigned char>(text[at]));
  };
  for (size_t at = text.find(what); at != std::string::npos;) {
    if ((at == 0 || !isWordCharacter(at - 1)) && !isWordCharacter(at + what.size())) {
      text.replace(at, what.size(), with);
      at = text.find(what, at + with.size());
    } else {
      at = text.find(what, at + 1);
    }
  }
}

// `text` with nothing left of the user names and passwords in the proxy
// variables: libcurl quotes a proxy it cannot use whole, and names the host
// and port it read out of a password with an unencoded '/'. The credentials
// go with their '@' (a quoted proxy then reads as messages show it), and
// every part of them that stands on its own becomes "***".
std::string withoutProxyCredentials(std::string text) {
  for (const char* name : kProxyVariables) {
    const auto value = environmentValue(name);
    if (!value) continue;
    const std::string credentials = splitProxy(*value).credentials;
    if (credentials.empty()) continue;
    std::vector<std::string> pieces;
    for (const std::string& form : {credentials, percentDecoded(credentials)}) {
      replaceAll(text, form + "@", "");
      replaceAll(text, form, "***");
      for (size_t start = 0; start <= form.size();) {
        const size_t end = std::min(form.find_first_of(":/?#@", start), form.size());
        if (end > start) pieces.push_back(form.substr(start, end - start));
        start = end + 1;
      }
    }
    // Longest first, so that no piece is left half replaced.
    std::sort(pieces.begin(), pieces.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const auto& piece : pieces) replaceWord(text, piece, "***");
  }
  return text;
}

// Whether libcurl sends a request for `url` through a proxy, answered by
// libcurl itself rather than by a copy of its rules (which hosts no_proxy
// names, in its own reading): a transfer that is stopped before it resolves
// a name or opens a socket fails on the proxy's name when it goes through a
// proxy (or on the proxy's syntax or scheme), and on the host's otherwise.
bool libcurlSendsThroughAProxy(const std::string& url) {
  CURL* easy = curl_easy_init();
  if (!easy) return false;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_resolver_start_callback stopResolving = [](void*, void*, void*) { return 1; };
  curl_easy_setopt(easy, CURLOPT_RESOLVER_START_FUNCTION, stopResolving);
  curl_opensocket_callback openNothing = [](void*, curlsocktype, curl_sockaddr*) {
    return CURL_SOCKET_BAD;
  };
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openNothing);
  const CURLcode result = curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_URL_MALFORMAT:  // nothing is sent at all
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FAILED_INIT:
      return false;
    default:
      return true;
  }
}

struct ProxySetting {
  std::string url;       // without user name and password
  std::string variable;  // where it came from
};

std::optional<ProxySetting> proxySettingForUrl(const std::string& url) {
  auto parts = parseUrl(url);
  if (!parts || parts->scheme.empty()) return std::nullopt;
  // Upper-case HTTP_PROXY is never read: a CGI program gets the client's
  // "Proxy:" header field under that name.
  std::vector<std::string> names{parts->scheme + "_proxy"};
  if (parts->scheme != "http") {
    std::string upper = names.front();
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    names.push_back(std::move(upper));
  }
  names.insert(names.end(), {"all_proxy", "ALL_PROXY"});
  for (const auto& name : names) {
    if (auto value = environmentValue(name)) {
      if (!libcurlSendsThroughAProxy(url)) return std::nullopt;
      return ProxySetting{displayedProxy(*value), name};
    }
  }
  return std::nullopt;
}

// libcurl's text for the failure, with its details when they add anything.
std::string failureReason(CURLcode result, const char* details) {
  std::string reason = curl_easy_strerror(result);
  const std::string detail = withoutProxyCredentials(details ? details : "");
  if (detail.empty()) return reason;
  if (detail.find(reason) != std::string::npos) return detail;
  return reason + " (" + detail + ")";
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

  dispatch::Mutex mutex;
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
  const std::string& url = transfer.job.request.url;
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
                 status, failureReason(result, transfer.errorBuffer));
  }
  if (status >= 100 && status <= 999) {
    response.statusCode = status;
  } else if (result == CURLE_OK) {
    // Bytes came back, but no status line: nothing to judge the batch by.
    response.statusCode = 0;
    response.error = connectionError("The server's answer has no HTTP status.");
    DUZELogDebug(kDUZELogTag, "HTTP request to %@ failed: the answer has no HTTP status.", url);
  } else {
    std::string reason = failureReason(result, transfer.errorBuffer);
    char* lastUrl = nullptr;
    curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &lastUrl);
    if (auto proxy = proxySettingForUrl(lastUrl ? lastUrl : url)) {
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
  auto setting = proxySettingForUrl(url);
  if (!setting) return std::nullopt;
  return setting->url;
}

void DUZEHttpClient::setSuccessBodyGraceForTesting(std::optional<std::chrono::milliseconds> grace) {
  gSuccessBodyGraceMs = (grace ? *grace : kSuccessBodyGrace).count();
}

void DUZEHttpClient::setCertificateAuthorityFileForTesting(std::optional<std::string> path) {
  dispatch::LockGuard lock(gCertificateFileMutex);
  gCertificateFileForTesting = std::move(path);
}

DUZEHttpClient::DUZEHttpClient() : shared_(std::make_shared<Shared>()) {
  initCurlOnce();
  shared_->certificateFile = certificateAuthorityFile();
  shared_->multi = curl_multi_init();
  // Without a multi handle every request fails at once (see sendAsync).
  if (shared_->multi) thread_ = std::thread([shared = shared_] { run(shared); });
}

DUZEHttpClient::~DUZEHttpClient() {
  {
    dispatch::LockGuard lock(shared_->mutex);
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
    dispatch::LockGuard lock(shared_->mutex);
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
      dispatch::LockGuard lock(shared->mutex);
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
