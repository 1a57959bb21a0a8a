#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace foundationtest {

// A small HTTP/1.1 server on 127.0.0.1 for the URL session tests: one thread
// per connection, one request per connection. It records each request and
// answers with what the responder returns; while held, requests are recorded
// but not answered.
class HTTPServer {
 public:
  struct Request {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;
    // The first value of the field, or "" (name in lower case).
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
  };
  struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Close the connection without answering.
    bool drop = false;
  };
  using Responder = std::function<Reply(const Request&)>;

  // Answers every request with 200 and no body.
  HTTPServer();
  explicit HTTPServer(Responder responder);
  ~HTTPServer();
  HTTPServer(const HTTPServer&) = delete;
  HTTPServer& operator=(const HTTPServer&) = delete;

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  void hold(bool held);
  std::vector<Request> requests();
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  void acceptLoop();
  void serve(int fd);

  Responder responder_;
  int listenFd_ = -1;
  int port_ = 0;
  int wakeFds_[2] = {-1, -1};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> connections_;
  std::vector<int> openFds_;
  std::vector<Request> requests_;
  bool held_ = false;
  bool stopping_ = false;
};

// A reply with a status, a body and header fields.
HTTPServer::Reply reply(int status, std::string body = {},
                        std::vector<std::pair<std::string, std::string>> headers = {});

// A loopback port nothing listens on.
int closedPort();

}  // namespace foundationtest
