#include "HTTPServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace foundationtest {

namespace {

int listeningSocket(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(fd, 64);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

int closedPort() {
  int port = 0;
  int fd = listeningSocket(&port);
  ::close(fd);
  return port;
}

std::string HTTPServer::Request::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return value;
  }
  return {};
}

bool HTTPServer::Request::hasHeader(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& field) { return field.first == name; });
}

HTTPServer::Reply reply(int status, std::string body,
                        std::vector<std::pair<std::string, std::string>> headers) {
  HTTPServer::Reply result;
  result.status = status;
  result.body = std::move(body);
  result.headers = std::move(headers);
  return result;
}

HTTPServer::HTTPServer() : HTTPServer([](const Request&) { return reply(200); }) {}

HTTPServer::HTTPServer(Responder responder) : responder_(std::move(responder)) {
  listenFd_ = listeningSocket(&port_);
  if (::pipe2(wakeFds_, O_CLOEXEC) != 0) wakeFds_[0] = wakeFds_[1] = -1;
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

HTTPServer::~HTTPServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
  }
  changed_.notify_all();
  (void)!::write(wakeFds_[1], "x", 1);
  acceptThread_.join();
  for (auto& thread : connections_) thread.join();
  ::close(listenFd_);
  ::close(wakeFds_[0]);
  ::close(wakeFds_[1]);
}

void HTTPServer::hold(bool held) {
  {
    std::lock_guard lock(mutex_);
    held_ = held;
  }
  changed_.notify_all();
}

std::vector<HTTPServer::Request> HTTPServer::requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool HTTPServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void HTTPServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    openFds_.push_back(fd);
    connections_.emplace_back([this, fd] { serve(fd); });
  }
}

void HTTPServer::serve(int fd) {
  std::string data;
  char buffer[8192];
  size_t headerEnd = std::string::npos;
  auto finish = [&] {
    std::lock_guard lock(mutex_);
    std::erase(openFds_, fd);
    ::close(fd);
  };
  while (headerEnd == std::string::npos) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return finish();
    data.append(buffer, static_cast<size_t>(n));
    headerEnd = data.find("\r\n\r\n");
  }
  Request request;
  const std::string head = data.substr(0, headerEnd);
  const size_t lineEnd = head.find("\r\n");
  const std::string requestLine = head.substr(0, lineEnd);
  request.method = requestLine.substr(0, requestLine.find(' '));
  const size_t targetStart = requestLine.find(' ') + 1;
  request.target = requestLine.substr(targetStart, requestLine.rfind(' ') - targetStart);
  size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string::npos) end = head.size();
    const std::string line = head.substr(pos, end - pos);
    pos = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    request.headers.emplace_back(lowered(line.substr(0, colon)), value);
  }
  size_t length = 0;
  if (request.hasHeader("content-length")) length = std::stoul(request.header("content-length"));
  request.body = data.substr(headerEnd + 4);
  while (request.body.size() < length) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return finish();
    request.body.append(buffer, static_cast<size_t>(n));
  }
  Reply reply;
  {
    std::unique_lock lock(mutex_);
    requests_.push_back(request);
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_ || stopping_; });
    if (stopping_) {
      lock.unlock();
      return finish();
    }
  }
  reply = responder_(request);
  if (!reply.drop) {
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) +
                       " Test\r\nContent-Length: " + std::to_string(reply.body.size()) +
                       "\r\nConnection: close\r\n";
    for (const auto& [name, value] : reply.headers) text += name + ": " + value + "\r\n";
    text += "\r\n";
    if (request.method != "HEAD") text += reply.body;
    (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }
  finish();
}

}  // namespace foundationtest
