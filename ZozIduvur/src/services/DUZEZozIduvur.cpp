#include "ZozIduvur/DUZEZozIduvur.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>

#include "ZozIduvur/DUZEIngestion.h"
#include "ZozIduvur/DUZELogDBStorage.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "base/Mutex.h"
#include "base/ProcFiles.h"
#include "transport/DUZEEnvironmentProxy.h"

namespace {

constexpr std::string_view kEnabledKey = "ZozIduvurIsEnabled";
constexpr std::string_view kInstallIdKey = "InstallId";

struct State {
  base::RecursiveMutex lock;
  // Read without the lock: services ask while holding their own lock, which
  // `start` and `setEnabled` take after this one.
  std::atomic<bool> configured{false};
  // Makes reading the stored install id and storing a new one one step.
  base::Mutex installIdMutex;
  std::atomic<bool> enabledStateChanging{false};
  std::optional<std::string> logUrl KX_GUARDED_BY(lock);
  std::shared_ptr<DUZEHttpClient> httpClient KX_GUARDED_BY(lock);
  std::shared_ptr<DUZEChannelGroupDefault> group KX_GUARDED_BY(lock);
  std::shared_ptr<DUZEChannelUnitProtocol> startServiceUnit KX_GUARDED_BY(lock);
  std::optional<std::string> appSecret KX_GUARDED_BY(lock);
  std::optional<std::string> transmissionTargetToken KX_GUARDED_BY(lock);
  std::vector<std::shared_ptr<DUZEServiceAbstract>> services KX_GUARDED_BY(lock);
};

State& state() {
  static auto* s = new State();
  return *s;
}

bool disabledByEnvironment() {
  const char* value = std::getenv(std::string(kDUZEDisableEnvironmentVariable).c_str());
  if (!value) return false;
  std::string text(value);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text == "1" || text == "true";
}

std::string logUrl(const State& s) KX_REQUIRES(s.lock) {
  if (const char* url = std::getenv(std::string(kDUZELogUrlEnvironmentVariable).c_str());
      url && *url) {
    return url;
  }
  return s.logUrl.value_or(std::string(kDUZEDefaultLogUrl));
}

// "appsecret=<secret>;target=<token>", or the secret alone.
void parseSecret(const std::string& text, State& s) KX_REQUIRES(s.lock) {
  s.appSecret.reset();
  s.transmissionTargetToken.reset();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    const size_t equals = part.find('=');
    if (equals == std::string::npos) {
      s.appSecret = part;
    } else if (part.compare(0, equals, "appsecret") == 0) {
      s.appSecret = part.substr(equals + 1);
    } else if (part.compare(0, equals, "target") == 0) {
      s.transmissionTargetToken = part.substr(equals + 1);
    }
  }
}

bool configureLocked(State& s, const std::string& secret) KX_REQUIRES(s.lock) {
  if (s.configured) {
    DUZELogDebug(kDUZELogTag, "ZozIduvur has already been configured.");
    return true;
  }
  parseSecret(secret, s);
  if (!s.appSecret && !s.transmissionTargetToken) {
    DUZELogAssert(kDUZELogTag, "The application secret is empty; ZozIduvur is not configured.");
    return false;
  }
  const std::string installId =
      DUZEZozIduvur::installId().value_or(foundation::NSUUID()).UUIDString();
  const std::string url = logUrl(s);
  s.httpClient = DUZEHttpClient::create();
  s.group = DUZEChannelGroupDefault::create(
      DUZEServiceIngestion::create(s.httpClient, url, s.appSecret.value_or(""), installId),
      DUZECollectorIngestion::create(s.httpClient, url), DUZELogDBStorage::createInDataFolder());
  s.startServiceUnit = s.group->addChannelUnitWithConfiguration(
      DUZEChannelUnitConfiguration::defaultConfiguration(std::string(kDUZEStartServiceGroupId)));
  if (!DUZEZozIduvur::isEnabled()) s.group->setEnabled(false, true);
  s.configured = true;
  DUZELogInfo(kDUZELogTag, "ZozIduvur configured with the ingestion at %@.",
              duze::withoutUserInfo(url));
  return true;
}

}  // namespace

void DUZEZozIduvur::start(const std::string& appSecret,
                          const std::vector<DUZEServiceClass>& services) {
  if (disabledByEnvironment()) {
    DUZELogInfo(kDUZELogTag, "ZozIduvur is disabled by the environment variable %@.",
                kDUZEDisableEnvironmentVariable);
    return;
  }
  auto& s = state();
  base::LockGuard lock(s.lock);
  if (!configureLocked(s, appSecret)) return;

  std::vector<std::shared_ptr<DUZEServiceAbstract>> instances;
  for (const auto& cls : services) {
    if (!cls.sharedInstance) continue;
    if (auto service = cls.sharedInstance()) instances.push_back(std::move(service));
  }
  std::stable_sort(instances.begin(), instances.end(), [](const auto& a, const auto& b) {
    return a->initializationPriority() > b->initializationPriority();
  });
  std::vector<std::string> started;
  for (const auto& service : instances) {
    if (service->isStarted()) {
      if (!service->startedFromApplication()) {
        service->updateConfigurationWithAppSecret(s.appSecret, s.transmissionTargetToken);
      } else {
        DUZELogWarning(kDUZELogTag, "%@ service has already been started.", service->serviceName());
      }
      continue;
    }
    if (service->isAppSecretRequired() && !s.appSecret) {
      DUZELogError(kDUZELogTag, "%@ service needs an application secret and is not started.",
                   service->serviceName());
      continue;
    }
    service->startWithChannelGroup(s.group, s.appSecret, s.transmissionTargetToken, true);
    s.services.push_back(service);
    started.push_back(service->serviceName());
    DUZELogInfo(kDUZELogTag, "%@ service started from application.", service->serviceName());
  }
  if (!started.empty() && isEnabled()) {
    auto log = DUZEStartServiceLog::create();
    log->setServices(started);
    s.startServiceUnit->enqueueItem(log, 1);
  }
}

bool DUZEZozIduvur::isConfigured() { return state().configured.load(); }

bool DUZEZozIduvur::isEnabled() {
  auto stored = DUZEZozIduvurUserDefaults::shared()->objectForKey(kEnabledKey);
  return stored ? stored->asBool().value_or(true) : true;
}

bool DUZEZozIduvur::isEnabledStateChanging() { return state().enabledStateChanging.load(); }

void DUZEZozIduvur::setEnabled(bool enabled) {
  auto& s = state();
  base::LockGuard lock(s.lock);
  if (!s.configured) {
    DUZELogError(kDUZELogTag,
                 "ZozIduvur hasn't been configured. You need to call [DUZEZozIduvur "
                 "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first.");
    return;
  }
  if (enabled == isEnabled()) return;
  s.enabledStateChanging = true;
  s.group->setEnabled(enabled, !enabled);
  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(enabled), kEnabledKey);
  for (const auto& service : s.services) service->setEnabled(enabled);
  s.enabledStateChanging = false;
  DUZELogInfo(kDUZELogTag, "ZozIduvur has been %@.", enabled ? "enabled" : "disabled");
}

std::optional<foundation::NSUUID> DUZEZozIduvur::installId() {
  auto& s = state();
  base::LockGuard lock(s.installIdMutex);
  auto defaults = DUZEZozIduvurUserDefaults::shared();
  if (auto stored = defaults->objectForKey(kInstallIdKey); stored && stored->stringValue()) {
    if (auto parsed = foundation::NSUUID::fromString(*stored->stringValue())) return parsed;
  }
  foundation::NSUUID fresh;
  defaults->setObject(foundation::Value(fresh.UUIDString()), kInstallIdKey);
  return fresh;
}

bool DUZEZozIduvur::isDebuggerAttached() {
  base::ProcStatus status;
  return base::proc_status_read(base::ProcPath(base::kProcSelf).file("status").c_str(), &status) &&
         (status.found & base::ProcStatus::kTracer) != 0 && status.tracer != 0;
}

void DUZEZozIduvur::setLogUrl(std::string url) {
  auto& s = state();
  base::LockGuard lock(s.lock);
  s.logUrl = std::move(url);
}

std::shared_ptr<DUZEChannelGroupDefault> DUZEZozIduvur::channelGroup() {
  auto& s = state();
  base::LockGuard lock(s.lock);
  return s.group;
}

void DUZEZozIduvur::resetSharedInstance() {
  auto& s = state();
  std::shared_ptr<DUZEChannelGroupDefault> group;
  std::shared_ptr<DUZEHttpClient> client;
  {
    base::LockGuard lock(s.lock);
    group = std::move(s.group);
    client = std::move(s.httpClient);
    s.startServiceUnit.reset();
    s.services.clear();
    s.configured = false;
    s.logUrl.reset();
    s.appSecret.reset();
    s.transmissionTargetToken.reset();
  }
  if (group) {
    group->waitUntilIdle();
    group->shutdown();
  }
  // Ends the HTTP thread; requests that did not start are answered as failed
  // and their logs stay stored.
  client.reset();
}
