// Answers a batch POSTed by the telemetry client's HTTP client with arbitrary
// bytes: the client must complete exactly once, keep at most the capped start
// of the body, and report a status exactly when it has no error.

#include <cstddef>
#include <cstdint>

#include "ResponseServer.h"
#include "ZozIduvur/DUZEHttpClient.h"
#include "ZozIduvur/DUZELogger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static DUZEHttpClient* const client = [] {
    DUZELogger::setLogHandler(nullptr);
    fuzzhttp::ResponseServer::shared();
    return new DUZEHttpClient;
  }();
  auto& server = fuzzhttp::ResponseServer::shared();
  server.setAnswer(std::string(reinterpret_cast<const char*>(data), size));

  auto done = std::make_shared<fuzzhttp::Completion>();
  auto response = std::make_shared<DUZEHttpResponse>();
  DUZEHttpRequest request{"http://ingestion.fuzz.invalid/logs?api-version=1.0.0",
                          {{"Content-Type", "application/json"}, {"App-Secret", "secret"}},
                          R"({"logs":[]})",
                          std::chrono::seconds(5)};
  client->sendAsync(std::move(request), [done, response](DUZEHttpResponse answer) {
    *response = std::move(answer);
    done->signal();
  });
  done->wait();
  server.closeConnections();

  if (response->body.size() > kDUZEMaxResponseBodySize) __builtin_trap();
  if ((response->statusCode == 0) != (response->error != nullptr)) __builtin_trap();
  if (response->statusCode < 0 || response->statusCode > 999) __builtin_trap();
  return 0;
}
