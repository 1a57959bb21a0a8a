#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "CrashesTestSupport.h"
#include "DUZECrashesInternal.h"
#include "ZozIduvur/DUZESessionHistoryInfo.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurCrashes/DUZECrashes.h"
#include "ZozIduvurTest/FakeChannel.h"
#include "foundationTest/HTTPServer.h"

namespace crashestest {

// A crash delegate that records what it hears and answers as told.
class RecordingCrashesDelegate : public DUZECrashesDelegate {
 public:
  std::optional<bool> shouldProcess;  // none: not implemented
  std::optional<DUZEErrorAttachmentLogs> attachments;
  std::function<bool(const DUZEErrorReport&)> decide;  // overrides shouldProcess when set

  std::optional<bool> crashesShouldProcessErrorReport(
      const std::shared_ptr<DUZECrashes>& crashes,
      const std::shared_ptr<DUZEErrorReport>& errorReport) override;
  void crashesWillSendErrorReport(const std::shared_ptr<DUZECrashes>& crashes,
                                  const std::shared_ptr<DUZEErrorReport>& errorReport) override;
  void crashesDidSucceedSendingErrorReport(
      const std::shared_ptr<DUZECrashes>& crashes,
      const std::shared_ptr<DUZEErrorReport>& errorReport) override;
  void crashesDidFailSendingErrorReport(const std::shared_ptr<DUZECrashes>& crashes,
                                        const std::shared_ptr<DUZEErrorReport>& errorReport,
                                        const std::shared_ptr<foundation::NSError>& error) override;
  std::optional<DUZEErrorAttachmentLogs> attachmentsWithCrashes(
      const std::shared_ptr<DUZECrashes>& crashes,
      const std::shared_ptr<DUZEErrorReport>& errorReport) override;

  // "<event>:<incident id>[:main]" in order: "asked", "will", "sent",
  // "failed", "attachments" (":main" when it came on the main thread).
  std::vector<std::string> events();
  size_t count(const std::string& event);

 private:
  void record(const std::string& event, const DUZEErrorReport& report);
  std::mutex mutex_;
  std::vector<std::string> events_;
};

// The crash service's tests: a fresh data folder and shared instances, the
// client's ingestion on a loopback server, short flush and processing
// delays, and helpers to start the service.
class CrashesServiceTest : public CrashesTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Configures the client (no services) so that services can be used.
  void configureClient();
  // Starts the crash service on a fake group (the crash engine is set up
  // for real: call this in a process of the test's own).
  std::shared_ptr<duzetest::FakeGroup> startOnFakeGroup();
  // Starts the client with the crash service on the real group.
  void startClient();
  std::shared_ptr<DUZECrashes> crashes() { return DUZECrashes::sharedInstance(); }
  // The shared instance's own steps (processing, the crash-time buffer).
  DUZECrashesInternal steps() { return DUZECrashesInternal(*crashes()); }

  std::filesystem::path crashesFolder() const { return dataDir() / "crashes"; }
  std::filesystem::path bufferFolder() const { return dataDir() / "crasheslogbuffer"; }
  std::filesystem::path wrapperFolder() const { return dataDir() / "crasheswrapperexceptions"; }
  // Where the crash engine keeps its pending report in this process.
  static std::filesystem::path pendingReportPath();
  static void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
  static std::vector<uint8_t> readFile(const std::filesystem::path& path);
  // Stores the bytes as a report of the crash folder.
  std::filesystem::path storeCrashFile(const std::string& name, const std::vector<uint8_t>& bytes);

  std::unique_ptr<foundationtest::HTTPServer> server_;
  std::vector<std::shared_ptr<duzetest::FakeGroup>> fakeGroups_;
};

// A valid report (one crashed thread, one image) of process `pid`, with
// report UUID `uuidByte` repeated and its crash time `unixTime`.
std::vector<uint8_t> reportBytes(uint8_t uuidByte = 1, uint64_t pid = 4242,
                                 uint64_t unixTime = 1700000000);
// As reportBytes (which makes a report of a version that wrote no
// annotations), with these annotations.
std::vector<uint8_t> reportWithAnnotations(
    uint8_t uuidByte, uint64_t unixTime,
    const std::vector<std::pair<std::string, std::string>>& annotations);
// A dated history as the client keeps it in user defaults under `key`
// ("SessionIdHistory", "UserIdHistory"), read from what this process holds.
template <class T>
std::vector<std::shared_ptr<T>> storedHistory(std::string_view key) {
  std::vector<std::shared_ptr<T>> history;
  auto stored = DUZEZozIduvurUserDefaults::shared()->objectForKey(key);
  if (!stored || !stored->dataValue()) return history;
  const auto value = DUZEUtility::unarchiveKeyedData(*stored->dataValue());
  if (const auto* array = value.arrayValue()) {
    for (const auto& element : *array) {
      const auto* object = element.objectValue();
      if (auto entry = object ? std::dynamic_pointer_cast<T>(*object) : nullptr) {
        history.push_back(std::move(entry));
      }
    }
  }
  return history;
}
template <class T>
void storeHistory(std::string_view key, const std::vector<std::shared_ptr<T>>& history) {
  DUZEZozIduvurUserDefaults::shared()->setObject(
      foundation::Value(*DUZEUtility::archiveKeyedData(duze::objectArray(history))), key);
}
// The incident identifier the formatter gives a report of `reportBytes`.
std::string incidentOf(uint8_t uuidByte);

// A host's observers of the session and user id, each keeping what it heard
// last, added to both contexts: as many as a host has room for.
inline std::optional<std::string> gHostHeard[4];
template <int N>
void hostObserver(const std::optional<std::string>& id) {
  gHostHeard[N] = id;
}
bool addHostObservers();

}  // namespace crashestest
