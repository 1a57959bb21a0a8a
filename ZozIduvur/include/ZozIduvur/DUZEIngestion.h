#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ZozIduvur/DUZEAbstractLog.h"
#include "ZozIduvur/DUZEHttpClient.h"
#include "foundation/Data.h"

// Logs of one batch on their way to an ingestion service.
struct DUZELogContainer {
  std::string batchId;
  std::vector<std::shared_ptr<DUZEAbstractLog>> logs;
};

// An ingestion service endpoint.
class DUZEIngestionProtocol {
 public:
  virtual ~DUZEIngestionProtocol() = default;
  // The request that carries the batch.
  virtual DUZEHttpRequest requestForContainer(const DUZELogContainer& container) const = 0;
  // Sends the batch; `completion` runs on the HTTP client's thread.
  void sendAsync(const DUZELogContainer& container,
                 std::function<void(DUZEHttpResponse)> completion);

 protected:
  explicit DUZEIngestionProtocol(std::shared_ptr<DUZEHttpClient> client)
      : client_(std::move(client)) {}

 private:
  std::shared_ptr<DUZEHttpClient> client_;
};

// Bodies of this size or more are sent gzip-compressed.
inline constexpr size_t kDUZEMinimumCompressionSize = 1400;

// Gzip (deflate with window bits 31) of `bytes`; std::nullopt when zlib fails.
std::optional<std::string> DUZECompressGzip(std::string_view bytes);

// The service ingestion: POST of {"logs":[...]} to "<base>/logs?api-version=1.0.0" with the
// headers "App-Secret" and "Install-ID".
class DUZEServiceIngestion : public DUZEIngestionProtocol {
 public:
  static constexpr std::string_view kApiPath = "/logs";
  static constexpr std::string_view kApiVersion = "1.0.0";

  static std::shared_ptr<DUZEServiceIngestion> create(std::shared_ptr<DUZEHttpClient> client,
                                                      std::string baseUrl, std::string appSecret,
                                                      std::string installId) {
    return std::make_shared<DUZEServiceIngestion>(std::move(client), std::move(baseUrl),
                                                  std::move(appSecret), std::move(installId));
  }
  DUZEServiceIngestion(std::shared_ptr<DUZEHttpClient> client, std::string baseUrl,
                       std::string appSecret, std::string installId)
      : DUZEIngestionProtocol(std::move(client)),
        baseUrl_(std::move(baseUrl)),
        appSecret_(std::move(appSecret)),
        installId_(std::move(installId)) {}

  DUZEHttpRequest requestForContainer(const DUZELogContainer& container) const override;

 private:
  std::string baseUrl_;
  std::string appSecret_;
  std::string installId_;
};

// The collector ingestion of the Common Schema mirror units: newline-separated
// JSON logs POSTed to "<base>/EventCollector/1.0" with the headers "apikey"
// (the batch's target tokens), "Tickets" (the cached tickets of the logs'
// ticket keys), "Upload-Time" and "Client-Version".
class DUZECollectorIngestion : public DUZEIngestionProtocol {
 public:
  static constexpr std::string_view kApiPath = "/EventCollector";
  static constexpr std::string_view kApiVersion = "1.0";
  static constexpr std::string_view kClientVersion = "ZOZ-Linux-C++-no-1.0.0-no";

  static std::shared_ptr<DUZECollectorIngestion> create(std::shared_ptr<DUZEHttpClient> client,
                                                        std::string baseUrl) {
    return std::make_shared<DUZECollectorIngestion>(std::move(client), std::move(baseUrl));
  }
  DUZECollectorIngestion(std::shared_ptr<DUZEHttpClient> client, std::string baseUrl)
      : DUZEIngestionProtocol(std::move(client)), baseUrl_(std::move(baseUrl)) {}

  DUZEHttpRequest requestForContainer(const DUZELogContainer& container) const override;

 private:
  std::string baseUrl_;
};
