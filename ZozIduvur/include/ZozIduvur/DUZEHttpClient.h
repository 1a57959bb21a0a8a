#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/NSError.h"

struct DUZEHttpRequest {
  std::string url;
  // Names are tokens and values hold no line break and no NUL: a request with
  // a field that could forge further fields is not sent (an error is logged).
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // sent with POST
  // How long the whole exchange may take, redirects and answer included.
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
};

struct DUZEHttpResponse {
  // The HTTP status; 0 when no answer came (then `error` says why).
  long statusCode = 0;
  // The start of the body of an answer other than a success, at most
  // kDUZEMaxResponseBodySize bytes: where a server says why it refused. A
  // success keeps no body.
  std::string body;
  std::shared_ptr<foundation::NSError> error;
};

// Most of an answer's body that is kept. Ingestion answers are a few bytes;
// the rest of a larger one is not read (the connection is dropped) and its
// status still decides.
inline constexpr size_t kDUZEMaxResponseBodySize = 64 * 1024;

// Sends HTTP POST requests from one thread of its own, all of them at once
// (libcurl's multi interface): a slow or silent server holds up only its own
// request, and each request ends within its own timeout. Redirects to http
// and https are followed, at most 16, never from https to http; the method
// and body go along, so a success always means the server got the body.
//
// An answer is its complete header block: a success (2xx) completes the
// request once its body ends, and at the latest a second after that block
// (the rest of a body nothing needs is not read, and its connection is
// closed, so that answers without end hold no more connections than there
// are requests in flight); another answer completes with its body, and a
// body that breaks off (closed, reset, cut at the size limit, out of time)
// leaves its status deciding all the same. A 1xx or 3xx header block is no such answer: what
// follows decides (a redirect that cannot be followed fails with the reason,
// one that names no place is answered by its status). Without an answer the
// request is a transport failure, whose error says why, naming the proxy
// taken from the environment when one is in use.
//
// Trust for https is read once per client (the system CA bundle is cached
// for an hour), not once per connection.
//
// Completions run on the client's thread, exactly once per request.
// Destroying the client ends every request at once, also one under way:
// those not answered get a connection error, a success whose body was still
// read completes with its status.
class DUZEHttpClient {
 public:
  static std::shared_ptr<DUZEHttpClient> create() { return std::make_shared<DUZEHttpClient>(); }
  DUZEHttpClient();
  ~DUZEHttpClient();
  DUZEHttpClient(const DUZEHttpClient&) = delete;
  DUZEHttpClient& operator=(const DUZEHttpClient&) = delete;

  // POSTs the request; `completion` gets the answer. Any thread.
  void sendAsync(DUZEHttpRequest request, std::function<void(DUZEHttpResponse)> completion);

  // Whether the status means success (2xx), and whether a failure is worth
  // retrying later (no answer, a redirect that could not be followed, 5xx,
  // 407, 408, 429). A 407 is a proxy's answer, never the ingestion's: over
  // plain http it comes as the request's own status.
  static bool isSuccessStatusCode(long statusCode) { return statusCode >= 200 && statusCode < 300; }
  static bool isRecoverableStatusCode(long statusCode) {
    return statusCode == 0 || (statusCode >= 300 && statusCode < 400) || statusCode >= 500 ||
           statusCode == 407 || statusCode == 408 || statusCode == 429;
  }

  // The proxy libcurl takes from the environment for a request to `url`, as
  // "scheme://host:port", or std::nullopt when the request goes direct. http
  // uses `http_proxy` (lower case only), another scheme `<scheme>_proxy` or
  // its upper-case form, else `all_proxy` or `ALL_PROXY` (empty variables
  // count as unset). Whether `no_proxy` (or `NO_PROXY`) sends the host
  // direct is asked of libcurl itself, with a transfer stopped before it
  // resolves a name or opens a socket. Nothing of a user name or password
  // shows: the host is the one after the setting's last '@', even where an
  // unencoded '/' in the password makes libcurl read the host elsewhere.
  // Error texts from sending hold no piece of a proxy's or the URL's
  // credentials either: libcurl's own text is shown whole, a credential
  // starred where it stands as a URL's user part, or left out for the
  // failure's meaning alone when that cannot be made sure of.
  static std::optional<std::string> proxyForUrl(const std::string& url);

 private:
  // Shared with the thread, which outlives the client when the client is
  // dropped from inside a completion.
  struct Shared;
  static void run(const std::shared_ptr<Shared>& shared);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};
