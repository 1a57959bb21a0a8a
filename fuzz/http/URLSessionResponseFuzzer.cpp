// Answers a URL session's request with arbitrary bytes (the first byte picks
// GET, POST or HEAD): the task must complete exactly once, with data and an
// HTTP response or with an error alone, and its header fields must be whole
// lines with a name.

#include <cstddef>
#include <cstdint>

#include "ResponseServer.h"
#include "foundation/URLSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  auto& server = fuzzhttp::ResponseServer::shared();
  server.setAnswer(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));

  foundation::URLRequest request(*foundation::URL::string("http://api.fuzz.invalid/items?q=1"));
  static const char* const kMethods[] = {"GET", "POST", "HEAD"};
  const std::string method = kMethods[data[0] % 3];
  request.setHTTPMethod(method);
  if (method == "POST") request.setHTTPBody(foundation::Data{'{', '}'});
  request.setTimeoutInterval(5);

  struct Outcome {
    std::optional<foundation::Data> data;
    std::shared_ptr<foundation::URLResponse> response;
    std::shared_ptr<foundation::NSError> error;
  };
  auto done = std::make_shared<fuzzhttp::Completion>();
  auto outcome = std::make_shared<Outcome>();
  auto task = foundation::URLSession::shared()->dataTaskWithRequest(
      std::move(request), [done, outcome](auto body, auto response, auto error) {
        *outcome = {std::move(body), std::move(response), std::move(error)};
        done->signal();
      });
  task->resume();
  done->wait();
  server.closeConnections();

  if (outcome->error) {
    if (outcome->data || outcome->response) __builtin_trap();
    if (outcome->error->domain() != foundation::NSURLErrorDomain) __builtin_trap();
    return 0;
  }
  auto http = std::dynamic_pointer_cast<foundation::HTTPURLResponse>(outcome->response);
  if (!outcome->data || !http) __builtin_trap();
  if (method == "HEAD" && !outcome->data->empty()) __builtin_trap();
  for (const auto& [name, value] : http->allHeaderFields()) {
    if (name.empty()) __builtin_trap();
    if (name.find('\n') != std::string::npos || value.find('\n') != std::string::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
