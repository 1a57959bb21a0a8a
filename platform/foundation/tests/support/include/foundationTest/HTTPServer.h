#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace foundationtest {

// A small HTTP/1.1 server on 127.0.0.1 for the tests that talk HTTP: each
// connection is served on a thread of its own, one request per connection.
// It records each request and answers with what a responder chooses, or else
// with canned statuses (one per request, in order, then the default),
// including the answers of misbehaving servers: redirects, no answer at all,
// a body without end or that trickles, raw bytes, a dropped or reset
// connection. While held, requests are recorded but not answered.
class HTTPServer {
 public:
  struct Request {
    std::string method;
    std::string target;                                        // path and query
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;                                          // as received (maybe gzip)
    // The first value of the field, or "" (name in lower case).
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
    // The body, inflated when it came gzip-compressed.
    std::string plainBody() const;
  };

  struct Reply {
    enum class Kind {
      normal,
      // Never answers; the connection stays open until the client (or the
      // server's end) closes it.
      hang,
      // The status, then a body that never ends, sent as fast as the client
      // reads it until it goes away.
      endless,
      // The status, then a body without end, one byte every 20 ms, until the
      // client goes away.
      trickle,
      // `body` as it stands, whatever it is, in place of the whole answer.
      raw,
      // `body` as it stands, then the connection is reset (not closed).
      reset,
      // Closes the connection without answering.
      drop,
    };
    // Implicit, so that a responder may answer with a bare status.
    Reply(int status = 200) : status(status) {}
    static Reply redirect(int status, std::string location);
    static Reply hang();
    static Reply endless(int status = 200);
    static Reply trickle(int status = 200);
    static Reply raw(std::string bytes);
    static Reply reset(std::string bytes);
    static Reply drop();

    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    Kind kind = Kind::normal;
  };
  using Responder = std::function<Reply(const Request&)>;

  // Answers with the queued statuses, then the default (200), with no body.
  HTTPServer();
  explicit HTTPServer(Responder responder);
  ~HTTPServer();
  HTTPServer(const HTTPServer&) = delete;
  HTTPServer& operator=(const HTTPServer&) = delete;

  int port() const { return port_; }
  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string url(const std::string& path) const { return baseUrl() + path; }
  void queueStatuses(std::vector<int> statuses);
  void setDefaultStatus(int status);
  // Chooses the reply to each request (instead of the queued and default
  // statuses) when set.
  void setResponder(Responder responder);
  void hold(bool held);

  std::vector<Request> requests();
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  void acceptLoop();
  void handle(int fd);
  void answer(int fd, const Request& request, const Reply& reply);

  int listenFd_ = -1;
  int port_ = 0;
  int wakeFds_[2] = {-1, -1};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> connections_;
  std::vector<int> openFds_;
  std::vector<Request> requests_;
  std::deque<int> statuses_;
  int defaultStatus_ = 200;
  Responder responder_;
  bool held_ = false;
  bool stopping_ = false;
};

// A reply with a status, a body and header fields.
HTTPServer::Reply reply(int status, std::string body = {},
                        std::vector<std::pair<std::string, std::string>> headers = {});

// A socket listening on a free loopback port; `port` receives the port.
int listeningSocket(int* port);

// A loopback port nothing listens on.
int closedPort();

// Inflates gzip (or zlib) data; empty on failure.
std::string inflate(const std::string& compressed);

}  // namespace foundationtest
