#include "foundationTest/HTTPServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <string_view>

namespace foundationtest {

namespace {

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

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

int closedPort() {
  int port = 0;
  int fd = listeningSocket(&port);
  ::close(fd);
  return port;
}

std::string inflate(const std::string& compressed) {
  z_stream stream{};
  if (inflateInit2(&stream, 47) != Z_OK) return {};
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  std::string out;
  char buffer[16384];
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    result = ::inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END ? out : std::string();
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

std::string HTTPServer::Request::plainBody() const {
  return header("content-encoding") == "gzip" ? inflate(body) : body;
}

HTTPServer::Reply HTTPServer::Reply::redirect(int status, std::string location) {
  Reply reply(status);
  reply.headers.emplace_back("Location", std::move(location));
  return reply;
}

HTTPServer::Reply HTTPServer::Reply::hang() {
  Reply reply;
  reply.kind = Kind::hang;
  return reply;
}

HTTPServer::Reply HTTPServer::Reply::endless(int status) {
  Reply reply(status);
  reply.kind = Kind::endless;
  return reply;
}

HTTPServer::Reply HTTPServer::Reply::trickle(int status) {
  Reply reply(status);
  reply.kind = Kind::trickle;
  return reply;
}

HTTPServer::Reply HTTPServer::Reply::reset(std::string bytes) {
  Reply reply = raw(std::move(bytes));
  reply.kind = Kind::reset;
  return reply;
}

HTTPServer::Reply HTTPServer::Reply::raw(std::string bytes) {
  Reply reply;
  reply.body = std::move(bytes);
  reply.kind = Kind::raw;
  return reply;
}

HTTPServer::Reply HTTPServer::Reply::drop() {
  Reply reply;
  reply.kind = Kind::drop;
  return reply;
}

HTTPServer::Reply reply(int status, std::string body,
                        std::vector<std::pair<std::string, std::string>> headers) {
  HTTPServer::Reply result(status);
  result.body = std::move(body);
  result.headers = std::move(headers);
  return result;
}

HTTPServer::HTTPServer() : HTTPServer(Responder()) {}

HTTPServer::HTTPServer(Responder responder) : responder_(std::move(responder)) {
  listenFd_ = listeningSocket(&port_);
  if (::pipe2(wakeFds_, O_CLOEXEC) != 0) wakeFds_[0] = wakeFds_[1] = -1;
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

HTTPServer::~HTTPServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    // Ends the reads, waits and writes of every connection still served.
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
  }
  changed_.notify_all();
  if (wakeFds_[1] >= 0) (void)!::write(wakeFds_[1], "x", 1);
  acceptThread_.join();
  for (auto& connection : connections_) connection.join();
  ::close(listenFd_);
  ::close(wakeFds_[0]);
  ::close(wakeFds_[1]);
}

void HTTPServer::queueStatuses(std::vector<int> statuses) {
  std::lock_guard lock(mutex_);
  statuses_.insert(statuses_.end(), statuses.begin(), statuses.end());
}

void HTTPServer::setDefaultStatus(int status) {
  std::lock_guard lock(mutex_);
  defaultStatus_ = status;
}

void HTTPServer::setResponder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
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
    connections_.emplace_back([this, fd] {
      handle(fd);
      std::lock_guard lock(mutex_);
      std::erase(openFds_, fd);
      ::close(fd);
    });
  }
}

void HTTPServer::handle(int fd) {
  std::string data;
  char buffer[8192];
  size_t headerEnd = std::string::npos;
  while (headerEnd == std::string::npos) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return;
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
    if (n <= 0) return;
    request.body.append(buffer, static_cast<size_t>(n));
  }
  Responder responder;
  Reply reply;
  {
    std::unique_lock lock(mutex_);
    requests_.push_back(request);
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_ || stopping_; });
    if (stopping_) return;
    if (responder_) {
      responder = responder_;
    } else if (!statuses_.empty()) {
      reply = Reply(statuses_.front());
      statuses_.pop_front();
    } else {
      reply = Reply(defaultStatus_);
    }
  }
  // Outside the lock: a responder may look at the requests so far.
  if (responder) reply = responder(request);
  answer(fd, request, reply);
}

void HTTPServer::answer(int fd, const Request& request, const Reply& reply) {
  auto send = [fd](std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  };
  switch (reply.kind) {
    case Reply::Kind::drop:
      return;
    case Reply::Kind::hang: {
      // Until the client gives up (or the server stops): whatever it still
      // sends is read and dropped.
      char buffer[4096];
      while (::read(fd, buffer, sizeof buffer) > 0) {
      }
      return;
    }
    case Reply::Kind::raw:
      send(reply.body);
      return;
    case Reply::Kind::reset: {
      send(reply.body);
      // Closing with a zero linger time resets the connection.
      const linger abort{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      return;
    }
    case Reply::Kind::normal:
    case Reply::Kind::endless:
    case Reply::Kind::trickle:
      break;
  }
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Canned\r\n";
  for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
  if (reply.kind == Reply::Kind::normal) {
    head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  }
  head += "Connection: close\r\n\r\n";
  if (!send(head)) return;
  if (reply.kind == Reply::Kind::normal) {
    // A HEAD request is answered with the length of the body it would get.
    if (request.method != "HEAD") send(reply.body);
    return;
  }
  // No length: the body ends only when the connection does.
  if (reply.kind == Reply::Kind::trickle) {
    // The server's stop shuts the connection down: the next byte fails.
    while (send("x") && ::poll(nullptr, 0, 20) == 0) {
    }
    return;
  }
  const std::string chunk(64 * 1024, 'x');
  while (send(chunk)) {
  }
}

}  // namespace foundationtest
