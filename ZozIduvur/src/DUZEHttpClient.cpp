#include "ZozIduvur/DUZEHttpClient.h"

#include <curl/curl.h>

#include "ZozIduvur/DUZEErrors.h"
#include "ZozIduvur/DUZELogger.h"

namespace {

void initCurlOnce() {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)initialised;
}

size_t collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

std::shared_ptr<foundation::NSError> connectionError(const std::string& description) {
  return foundation::NSError::create(std::string(kDUZEErrorDomain), DUZEErrorCodeConnection,
                                     description);
}

}  // namespace

DUZEHttpClient::DUZEHttpClient() {
  initCurlOnce();
  thread_ = std::thread([shared = shared_] { run(shared); });
}

DUZEHttpClient::~DUZEHttpClient() {
  std::deque<Job> cancelled;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
    cancelled.swap(shared_->jobs);
  }
  shared_->wake.notify_all();
  if (thread_.joinable()) {
    // Dropped from inside a completion: the thread ends on its own.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  for (auto& job : cancelled) {
    DUZEHttpResponse response;
    response.error = connectionError("The request was cancelled.");
    if (job.completion) job.completion(std::move(response));
  }
}

void DUZEHttpClient::sendAsync(DUZEHttpRequest request,
                               std::function<void(DUZEHttpResponse)> completion) {
  {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->stopping) {
      shared_->jobs.push_back({std::move(request), std::move(completion)});
      completion = nullptr;
    }
  }
  shared_->wake.notify_one();
  if (completion) {
    DUZEHttpResponse response;
    response.error = connectionError("The request was cancelled.");
    completion(std::move(response));
  }
}

void DUZEHttpClient::run(const std::shared_ptr<Shared>& shared) {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(shared->mutex);
      shared->wake.wait(lock, [&] { return shared->stopping || !shared->jobs.empty(); });
      if (shared->stopping) return;
      job = std::move(shared->jobs.front());
      shared->jobs.pop_front();
    }
    DUZEHttpResponse response = perform(job.request);
    if (job.completion) job.completion(std::move(response));
  }
}

DUZEHttpResponse DUZEHttpClient::perform(const DUZEHttpRequest& request) {
  DUZEHttpResponse response;
  CURL* curl = curl_easy_init();
  if (!curl) {
    response.error = connectionError("Couldn't start an HTTP request.");
    return response;
  }
  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers) {
    headers = curl_slist_append(headers, (name + ": " + value).c_str());
  }
  // No "Expect: 100-continue" round trip for larger bodies.
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  CURLcode result = curl_easy_perform(curl);
  if (result == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.statusCode);
  } else {
    response.statusCode = 0;
    response.error = connectionError(curl_easy_strerror(result));
    DUZELogDebug(kDUZELogTag, "HTTP request to %@ failed: %@", request.url,
                 curl_easy_strerror(result));
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return response;
}
