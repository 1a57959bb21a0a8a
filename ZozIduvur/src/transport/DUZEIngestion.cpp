#include "ZozIduvur/DUZEIngestion.h"

#include <zlib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <set>

#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZETicketCache.h"

namespace {

using ojson = nlohmann::ordered_json;

std::string dump(const ojson& j) {
  // Text that is not UTF-8 must not stop the whole batch.
  return j.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

// Compresses the body when it is large enough to gain from it.
void compressIfLarge(DUZEHttpRequest& request) {
  if (request.body.size() < kDUZEMinimumCompressionSize) return;
  if (auto gz = DUZECompressGzip(request.body)) {
    request.body = std::move(*gz);
    request.headers.emplace_back("Content-Encoding", "gzip");
  }
}

}  // namespace

std::optional<std::string> DUZECompressGzip(std::string_view bytes) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return std::nullopt;
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  const size_t written = stream.total_out;
  deflateEnd(&stream);
  if (result != Z_STREAM_END) return std::nullopt;
  out.resize(written);
  return out;
}

void DUZEIngestionProtocol::sendAsync(const DUZELogContainer& container,
                                      std::function<void(DUZEHttpResponse)> completion) {
  client_->sendAsync(requestForContainer(container), std::move(completion));
}

DUZEHttpRequest DUZEServiceIngestion::requestForContainer(const DUZELogContainer& container) const {
  ojson logs = ojson::array();
  for (const auto& log : container.logs) logs.push_back(log->serializeToDictionary());
  ojson body = ojson::object();
  body["logs"] = std::move(logs);
  DUZEHttpRequest request;
  request.url = baseUrl_ + std::string(kApiPath) + "?api-version=" + std::string(kApiVersion);
  request.headers = {
      {"Content-Type", "application/json"}, {"App-Secret", appSecret_}, {"Install-ID", installId_}};
  request.body = dump(body);
  compressIfLarge(request);
  return request;
}

DUZEHttpRequest DUZECollectorIngestion::requestForContainer(
    const DUZELogContainer& container) const {
  std::set<std::string> tokens;
  ojson tickets = ojson::object();
  std::string body;
  auto cache = DUZETicketCache::sharedInstance();
  for (const auto& log : container.logs) {
    tokens.insert(log->transmissionTargetTokens().begin(), log->transmissionTargetTokens().end());
    if (auto cs = std::dynamic_pointer_cast<DUZECommonSchemaLog>(log)) {
      if (cs->ext() && cs->ext()->protocolExt() && cs->ext()->protocolExt()->ticketKeys()) {
        for (const auto& key : *cs->ext()->protocolExt()->ticketKeys()) {
          if (auto ticket = cache->ticketFor(key)) tickets[key] = *ticket;
        }
      }
    }
    body += dump(log->serializeToDictionary());
    body += '\n';
  }
  std::string apiKey;
  for (const auto& token : tokens) {
    if (!apiKey.empty()) apiKey += ',';
    apiKey += token;
  }
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  DUZEHttpRequest request;
  request.url = baseUrl_ + std::string(kApiPath) + "/" + std::string(kApiVersion);
  request.headers = {{"Content-Type", "application/x-json-stream; charset=utf-8"},
                     {"apikey", apiKey},
                     {"Upload-Time", std::to_string(now)},
                     {"Client-Version", std::string(kClientVersion)}};
  if (!tickets.empty()) request.headers.emplace_back("Tickets", dump(tickets));
  request.body = std::move(body);
  compressIfLarge(request);
  return request;
}
