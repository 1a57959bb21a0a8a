#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundationTest/HTTPServer.h"

namespace duzetest {

// The JSON logs of the requests to a path ("/logs", or the collector's), in
// the order they came: the "logs" array of a service-ingestion body, or the
// collector's one log per line.
std::vector<nlohmann::json> sentLogs(
    const std::vector<foundationtest::HTTPServer::Request>& requests,
    const std::string& pathPrefix = "/logs");

}  // namespace duzetest
