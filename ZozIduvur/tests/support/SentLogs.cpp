#include "ZozIduvurTest/SentLogs.h"

#include <sstream>

namespace duzetest {

std::vector<nlohmann::json> sentLogs(
    const std::vector<foundationtest::HTTPServer::Request>& requests,
    const std::string& pathPrefix) {
  std::vector<nlohmann::json> out;
  for (const auto& request : requests) {
    if (request.target.rfind(pathPrefix, 0) != 0) continue;
    const std::string body = request.plainBody();
    auto whole = nlohmann::json::parse(body, nullptr, false);
    if (whole.is_object() && whole.contains("logs")) {
      for (const auto& log : whole["logs"]) out.push_back(log);
      continue;
    }
    // The collector's form: one JSON log per line.
    std::istringstream lines(body);
    for (std::string line; std::getline(lines, line);) {
      auto log = nlohmann::json::parse(line, nullptr, false);
      if (log.is_object()) out.push_back(log);
    }
  }
  return out;
}

}  // namespace duzetest
