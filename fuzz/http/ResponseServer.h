#pragma once

// The server of the HTTP response fuzzers: every connection it accepts is
// answered with the bytes of the current input, whatever was asked, and then
// closed for writing, so that a client always reaches the end of the answer.
// The code under test reaches it for every host through the proxy variables,
// so that a redirect to any place comes back here too and nothing leaves the
// machine.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fuzzhttp {

class ResponseServer {
 public:
  // Listens on 127.0.0.1 and points http_proxy and https_proxy at itself.
  // Lives as long as the process.
  static ResponseServer& shared() {
    static ResponseServer* const server = new ResponseServer;
    return *server;
  }

  // Answers the connections from now on with `bytes`.
  void setAnswer(std::string bytes) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(bytes);
  }

  // Closes the connections of the exchange that ended.
  void closeConnections() {
    std::lock_guard lock(mutex_);
    for (int fd : open_) ::close(fd);
    open_.clear();
  }

 private:
  ResponseServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::perror("response server");
      std::abort();
    }
    const std::string proxy = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    ::setenv("http_proxy", proxy.c_str(), 1);
    ::setenv("https_proxy", proxy.c_str(), 1);
    ::unsetenv("no_proxy");
    ::unsetenv("NO_PROXY");
    std::thread([this] { acceptLoop(); }).detach();
  }

  void acceptLoop() {
    for (;;) {
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) continue;
      std::string answer;
      {
        std::lock_guard lock(mutex_);
        answer = answer_;
        open_.push_back(fd);
      }
      send(fd, answer);
      ::shutdown(fd, SHUT_WR);
    }
  }

  // Sends what the client takes within a second per piece: a client that
  // stops reading must not hold up the next connections.
  static void send(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return;
      pollfd writable{fd, POLLOUT, 0};
      if (::poll(&writable, 1, 1000) <= 0) return;
    }
  }

  int listenFd_ = -1;
  std::mutex mutex_;
  std::string answer_;
  std::vector<int> open_;
};

// Waits for the completion of one exchange; a completion that never comes
// is a hang, reported as a crash.
class Completion {
 public:
  void signal() {
    std::lock_guard lock(mutex_);
    if (++count_ > 1) {
      std::fputs("a completion ran twice\n", stderr);
      std::abort();
    }
    changed_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(30), [&] { return count_ > 0; })) {
      std::fputs("no completion within 30 s\n", stderr);
      std::abort();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

}  // namespace fuzzhttp
