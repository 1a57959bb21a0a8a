#include "CrashesServiceSupport.h"

#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/TestSeams.h"
#include "ZozIduvurCrashes/DUZEWrapperCrashesHelper.h"
#include "ZozIduvurCrashes/DUZEWrapperExceptionManager.h"
#include "ZozIduvurCrashes/TestSeams.h"
#include "crash-capture/ROReradUzerirud.h"
#include "crash-captureTest/ReportFixtures.h"
#include "dispatch/MainLoop.h"
#include "foundation/UUID.h"

namespace crashestest {

// RecordingCrashesDelegate ------------------------------------------------------------------

void RecordingCrashesDelegate::record(const std::string& event, const DUZEErrorReport& report) {
  std::string line = event + ":" + report.incidentIdentifier().value_or("");
  if (dispatch::isMainThread()) line += ":main";
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(line));
}

std::optional<bool> RecordingCrashesDelegate::crashesShouldProcessErrorReport(
    const std::shared_ptr<DUZECrashes>&, const std::shared_ptr<DUZEErrorReport>& errorReport) {
  record("asked", *errorReport);
  if (decide) return decide(*errorReport);
  return shouldProcess;
}

void RecordingCrashesDelegate::crashesWillSendErrorReport(
    const std::shared_ptr<DUZECrashes>&, const std::shared_ptr<DUZEErrorReport>& errorReport) {
  record("will", *errorReport);
}

void RecordingCrashesDelegate::crashesDidSucceedSendingErrorReport(
    const std::shared_ptr<DUZECrashes>&, const std::shared_ptr<DUZEErrorReport>& errorReport) {
  record("sent", *errorReport);
}

void RecordingCrashesDelegate::crashesDidFailSendingErrorReport(
    const std::shared_ptr<DUZECrashes>&, const std::shared_ptr<DUZEErrorReport>& errorReport,
    const std::shared_ptr<foundation::NSError>&) {
  record("failed", *errorReport);
}

std::optional<DUZEErrorAttachmentLogs> RecordingCrashesDelegate::attachmentsWithCrashes(
    const std::shared_ptr<DUZECrashes>&, const std::shared_ptr<DUZEErrorReport>& errorReport) {
  record("attachments", *errorReport);
  return attachments;
}

std::vector<std::string> RecordingCrashesDelegate::events() {
  std::lock_guard lock(mutex_);
  return events_;
}

size_t RecordingCrashesDelegate::count(const std::string& event) {
  size_t n = 0;
  for (const auto& line : events())
    if (line.rfind(event + ":", 0) == 0) ++n;
  return n;
}

// CrashesServiceTest -------------------------------------------------------------------------

void CrashesServiceTest::SetUp() {
  CrashesTest::SetUp();
  DUZECrashes::resetSharedInstance();
  server_ = std::make_unique<foundationtest::HTTPServer>();
  setenv(std::string(kDUZELogUrlEnvironmentVariable).c_str(), server_->baseUrl().c_str(), 1);
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::milliseconds(20));
  DUZECrashesSeams::setProcessingDelayForTesting(dispatch::DispatchTimeInterval::milliseconds(20));
}

void CrashesServiceTest::TearDown() {
  DUZEZozIduvur::resetSharedInstance();
  DUZECrashes::resetSharedInstance();
  fakeGroups_.clear();
  DUZECrashesSeams::setProcessingDelayForTesting(std::nullopt);
  DUZECrashesSeams::setDebuggerAttachedForTesting(std::nullopt);
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(std::nullopt);
  DUZEWrapperCrashesHelper::setCrashHandlerSetupDelegate(nullptr);
  DUZEWrapperExceptionManager::setCrashReporter(nullptr);
  dispatch::MainLoop::drainPending();
  unsetenv(std::string(kDUZELogUrlEnvironmentVariable).c_str());
  server_.reset();
  CrashesTest::TearDown();
}

void CrashesServiceTest::configureClient() { DUZEZozIduvur::start("secret", {}); }

std::shared_ptr<duzetest::FakeGroup> CrashesServiceTest::startOnFakeGroup() {
  configureClient();
  auto group = std::make_shared<duzetest::FakeGroup>();
  fakeGroups_.push_back(group);
  crashes()->startWithChannelGroup(group, "secret", std::nullopt, true);
  return group;
}

void CrashesServiceTest::startClient() {
  DUZEZozIduvur::start("secret", {DUZEServiceClass::of<DUZECrashes>()});
}

std::filesystem::path CrashesServiceTest::pendingReportPath() {
  return ROReradUzerirud::init()->crashReportPath();
}

void CrashesServiceTest::writeFile(const std::filesystem::path& path,
                                   const std::vector<uint8_t>& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> CrashesServiceTest::readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

std::filesystem::path CrashesServiceTest::storeCrashFile(const std::string& name,
                                                         const std::vector<uint8_t>& bytes) {
  auto path = crashesFolder() / name;
  writeFile(path, bytes);
  return path;
}

// Reports and processes -------------------------------------------------------------------------

std::vector<uint8_t> reportBytes(uint8_t uuidByte, uint64_t pid, uint64_t unixTime) {
  rocrash::testing::ReportBuilder builder;
  rocrash::testing::fillMinimalReport(builder);
  builder.info.uuid = builder.bytes(std::vector<uint8_t>(16, uuidByte));
  builder.process.process_id = static_cast<uint32_t>(pid);
  builder.system.timestamp = static_cast<int64_t>(unixTime);
  return builder.pack();
}

std::vector<uint8_t> reportWithAnnotations(
    uint8_t uuidByte, uint64_t unixTime,
    const std::vector<std::pair<std::string, std::string>>& annotations) {
  rocrash::testing::ReportBuilder builder;
  rocrash::testing::fillMinimalReport(builder);
  builder.info.uuid = builder.bytes(std::vector<uint8_t>(16, uuidByte));
  builder.system.timestamp = static_cast<int64_t>(unixTime);
  builder.setAnnotations(annotations);
  return builder.pack();
}

std::string incidentOf(uint8_t uuidByte) {
  foundation::NSUUID::Bytes bytes;
  bytes.fill(uuidByte);
  return foundation::NSUUID(bytes).UUIDString();
}

bool addHostObservers() {
  bool added = true;
  for (auto observer : {&hostObserver<0>, &hostObserver<1>, &hostObserver<2>, &hostObserver<3>}) {
    added = DUZESessionContext::addSessionIdObserver(observer) &&
            DUZEUserIdContext::addUserIdObserver(observer) && added;
  }
  return added;
}

}  // namespace crashestest
