#include <cstdlib>
#include <cstring>

#include "CrashesTestSupport.h"
#include "DUZEErrorLogFormatter.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvurCrashes/DUZEWrapperExceptionManager.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatchTest/Environment.h"
#include "system/ImageEvents.h"

namespace {

using rocrash::testing::ReportBuilder;
using F = DUZEErrorLogFormatter;

constexpr uint64_t kArm64 = 0x0100000C;
constexpr uint64_t kX86_64 = 0x01000007;
constexpr const char* kAppPath = "/Applications/Demo.app/Contents/MacOS/Demo";

class Formatter : public crashestest::CrashesTest {
 protected:
  void SetUp() override {
    CrashesTest::SetUp();
    rocrash::testing::fillMinimalReport(b);
  }

  std::shared_ptr<DUZEAppleErrorLog> format() {
    auto report = crashestest::decode(b);
    return report ? F::errorLogFromCrashReport(*report) : nullptr;
  }

  Rocrash__CrashReport__Thread* crashedThread() { return b.report().threads[0]; }

  ReportBuilder b;
};

TEST_F(Formatter, MinimalReportBecomesAValidLog) {
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->errorId(), "00010203-0405-0607-0809-0A0B0C0D0E0F");
  EXPECT_EQ(log->processId(), 4242);
  EXPECT_EQ(log->processName(), "Demo");
  EXPECT_EQ(log->parentProcessName(), "launchd");
  EXPECT_EQ(log->parentProcessId(), 1);
  EXPECT_EQ(log->applicationPath(), kAppPath);
  EXPECT_EQ(log->errorThreadId(), 0);
  EXPECT_TRUE(log->isFatal());
  EXPECT_EQ(log->osExceptionType(), "SIGSEGV");
  EXPECT_EQ(log->osExceptionCode(), "SEGV_MAPERR");
  EXPECT_EQ(log->osExceptionAddress(), "0x0");
  EXPECT_FALSE(log->exceptionType());
  EXPECT_FALSE(log->exceptionReason());
  EXPECT_FALSE(log->errorThreadName());
  EXPECT_FALSE(log->architecture());
  EXPECT_FALSE(log->sid());
  EXPECT_FALSE(log->userId());
  EXPECT_EQ(log->appLaunchTimestamp(), dispatch::Date::fromUnixTime(1699999000));
  // Whole seconds are moved to the end of their second.
  EXPECT_EQ(log->timestamp(), dispatch::Date::fromUnixTime(1700000000.999));
  EXPECT_TRUE(log->isValid());
  EXPECT_EQ(log->serializeToDictionary()["timestamp"], "2023-11-14T22:13:20.999Z");
}

TEST_F(Formatter, WholeSecondCrashTimeGetsTheEndOfItsSecond) {
  b.system.timestamp = 1600000000;
  auto report = crashestest::decode(b);
  ASSERT_TRUE(report);
  EXPECT_EQ(F::getCrashTimeFromReport(*report), dispatch::Date::fromUnixTime(1600000000.999));
  // Beyond the 32-bit range the time is kept as it is.
  b.system.timestamp = 4000000000;
  report = crashestest::decode(b);
  ASSERT_TRUE(report);
  EXPECT_EQ(F::getCrashTimeFromReport(*report), dispatch::Date::fromUnixTime(4000000000));
}

TEST_F(Formatter, ReportWithoutProcessInfoUsesPlaceholders) {
  b.report().process_info = nullptr;
  b.report().report_info = nullptr;
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->processId(), 0);
  EXPECT_EQ(log->processName(), "???");
  EXPECT_EQ(log->applicationPath(), "???");
  EXPECT_EQ(log->parentProcessName(), "???");
  EXPECT_FALSE(log->parentProcessId());
  EXPECT_EQ(log->appLaunchTimestamp(), dispatch::Date::fromUnixTime(1700000000));
  // No report UUID: a random id.
  ASSERT_TRUE(log->errorId());
  EXPECT_EQ(log->errorId()->size(), 36u);
  EXPECT_NE(log->errorId(), "00010203-0405-0607-0809-0A0B0C0D0E0F");
}

TEST_F(Formatter, ProcessInfoWithoutStartTimeGivesNoLaunchTime) {
  b.process.has_start_time = false;
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_FALSE(log->appLaunchTimestamp());
}

TEST_F(Formatter, PathsUnderAUserFolderAreAnonymised) {
  EXPECT_EQ(F::anonymizedPathFromPath("/Users/alice/Apps/Demo.app/Contents/MacOS/Demo"),
            "/Users/USER/Apps/Demo.app/Contents/MacOS/Demo");
  EXPECT_EQ(F::anonymizedPathFromPath("/Volumes/Users/shared/tool"), "");
  EXPECT_EQ(F::anonymizedPathFromPath("/Applications/Demo.app/Contents/MacOS/Demo"),
            "/Applications/Demo.app/Contents/MacOS/Demo");
  EXPECT_EQ(F::anonymizedPathFromPath(""), "");
  EXPECT_EQ(F::anonymizedPathFromPath("/Users/bob"), "/Users/bob");

  b.process.process_path = b.text("/Users/carol/Demo.app/Contents/MacOS/Demo");
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->applicationPath(), "/Users/USER/Demo.app/Contents/MacOS/Demo");
}

// On Linux every home folder reads "/home/USER/": "/home/<name>/" anywhere in
// a path, "/root/" and $HOME at its start (unless $HOME is a folder of the
// system's own files).
TEST_F(Formatter, PathsUnderAHomeFolderAreAnonymised) {
  dispatch::testing::ScopedEnvironment environment;
  environment.set("HOME", "/srv/people/dana.k/");
  EXPECT_EQ(F::anonymizedPathFromPath("/srv/people/dana.k/bin/tool"), "/home/USER/bin/tool");
  EXPECT_EQ(F::anonymizedPathFromPath("/root/tool"), "/home/USER/tool");
  EXPECT_EQ(F::anonymizedPathFromPath("/mnt/old/home/erin/lib/libx.so"),
            "/mnt/old/home/USER/lib/libx.so");
  EXPECT_EQ(F::anonymizedPathFromPath("/srv/chroot/root/tool"), "/srv/chroot/root/tool");
  environment.set("HOME", "/usr/sbin");
  EXPECT_EQ(F::anonymizedPathFromPath("/usr/sbin/daemon"), "/usr/sbin/daemon");

  // A whole crash log of a program under a home folder names nobody.
  b.process.process_path = b.text("/home/erin/apps/demo/demo");
  b.addImage(0x200000000, 0x1000, "/home/erin/apps/demo/libdemo.so", {2}, b.processor(kArm64, 0));
  b.addRegister(crashedThread(), "x9", 0x200000010);
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->applicationPath(), "/home/USER/apps/demo/demo");
  const std::string text = log->serializeToDictionary().dump();
  EXPECT_NE(text.find("/home/USER/apps/demo/libdemo.so"), std::string::npos) << text;
  EXPECT_EQ(text.find("erin"), std::string::npos) << text;
}

TEST_F(Formatter, Arm64eKeepsTheSubtypeButNamesTheMaskedOne) {
  b.machine.processor = b.processor(kArm64, 0x80000002);
  b.report().binary_images[0]->code_type = b.processor(kArm64, 0x80000002);
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->primaryArchitectureId(), 16777228u);
  EXPECT_EQ(log->architectureVariantId(), 2147483650u);
  ASSERT_TRUE(log->threads());
  EXPECT_EQ((*log->threads())[0]->frames()->at(0)->address(), "0x0000000100001000");
  auto report = F::errorReportFromLog(*log);
  EXPECT_EQ(report->codeType(), "ARM-64");
  EXPECT_EQ(report->archName(), "arm64e");
}

TEST_F(Formatter, FirstMachImageDecidesTheArchitecture) {
  b.machine.processor = b.processor(kArm64, 0);
  b.report().binary_images[0]->code_type = b.processor(7, 3, /*mach=*/false);
  b.addImage(0x200000000, 0x1000, "/usr/lib/libx.dylib", {}, b.processor(kX86_64, 3));
  b.addImage(0x300000000, 0x1000, "/usr/lib/liby.dylib", {}, b.processor(12, 9));
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->primaryArchitectureId(), kX86_64);
  EXPECT_EQ(log->architectureVariantId(), 3u);
}

TEST_F(Formatter, UnknownCpuTypeHasNoNamesAndNoSelector) {
  b.machine.processor = b.processor(0x42, 1);
  b.report().binary_images[0]->code_type = nullptr;
  b.addRegister(crashedThread(), "x1", 0x100000010);
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_FALSE(log->selectorRegisterValue());
  auto report = F::errorReportFromLog(*log);
  EXPECT_EQ(report->codeType(), "Unknown (66)");
  EXPECT_EQ(report->archName(), "???");
  // 32-bit width for everything that is not a 64-bit type.
  EXPECT_EQ((*log->threads())[0]->frames()->at(0)->address(), "0x100001000");
  EXPECT_EQ(log->registers()->at("x1"), "0x100000010");
  EXPECT_EQ(F::formatAddress(0x10, false), "0x00000010");
}

TEST_F(Formatter, ArchitectureNames) {
  EXPECT_EQ(F::convertCodeTypeToString(7), "X86");
  EXPECT_EQ(F::convertCodeTypeToString(12), "ARM");
  EXPECT_EQ(F::convertCodeTypeToString(18), "PPC");
  EXPECT_EQ(F::convertCodeTypeToString(kX86_64), "X86-64");
  EXPECT_EQ(F::convertArchNameToString(7, 3), "i386");
  EXPECT_EQ(F::convertArchNameToString(kX86_64, 3), "x86_64");
  EXPECT_EQ(F::convertArchNameToString(18, 0), "powerpc");
  EXPECT_EQ(F::convertArchNameToString(12, 6), "armv6");
  EXPECT_EQ(F::convertArchNameToString(12, 9), "armv7");
  EXPECT_EQ(F::convertArchNameToString(12, 11), "armv7s");
  for (uint64_t subtype : {0, 5, 7, 8, 10, 12})
    EXPECT_EQ(F::convertArchNameToString(12, subtype), "arm-unknown");
  EXPECT_EQ(F::convertArchNameToString(kArm64, 1), "armv8");
  EXPECT_EQ(F::convertArchNameToString(kArm64, 3), "arm64-unknown");
  EXPECT_TRUE(F::isCodeType64bit(kArm64));
  EXPECT_FALSE(F::isCodeType64bit(12));
}

TEST_F(Formatter, ExceptionModelGoesOnTheCrashedThreadOnly) {
  b.addThread(false);
  b.setException("NSRangeException", "index 3 beyond bounds");
  b.addExceptionFrame(b.frame(0x100001100, "_whatever", 0x100001000));
  b.addExceptionFrame(b.frame(0x100001200));
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->exceptionType(), "NSRangeException");
  EXPECT_EQ(log->exceptionReason(), "index 3 beyond bounds");
  const auto& threads = *log->threads();
  ASSERT_EQ(threads.size(), 2u);
  ASSERT_TRUE(threads[0]->exception());
  EXPECT_FALSE(threads[1]->exception());
  // Threads without frames are listed too.
  EXPECT_TRUE(threads[1]->frames()->empty());
  const auto& model = *threads[0]->exception();
  EXPECT_EQ(model.type(), "NSRangeException");
  EXPECT_EQ(model.message(), "index 3 beyond bounds");
  ASSERT_EQ(model.frames()->size(), 2u);
  EXPECT_EQ(model.frames()->at(0)->address(), "0x0000000100001100");
  EXPECT_FALSE(model.frames()->at(0)->code());
  EXPECT_EQ(model.frames()->at(0)->serializeToDictionary().size(), 1u);
  // The exception is not the log's own exception.
  EXPECT_FALSE(log->exception());
}

TEST_F(Formatter, ExceptionWithoutNameTakesTheSignalName) {
  b.setException("", "why");
  b.addExceptionFrame(b.frame(0x100001100));
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ((*log->threads())[0]->exception()->type(), "SIGSEGV");
}

TEST_F(Formatter, WithoutCrashedThreadNoThreadCarriesTheException) {
  crashedThread()->crashed = false;
  b.setException("E", "r");
  b.addExceptionFrame(b.frame(0x100001100));
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->errorThreadId(), 0);
  EXPECT_FALSE((*log->threads())[0]->exception());
  EXPECT_TRUE(log->registers()->empty());
}

TEST_F(Formatter, FrameTextDependsOnTheImageKind) {
  b.clearFrames(crashedThread());
  // 500 bytes into the application's executable, with a symbol.
  b.addFrame(crashedThread(), b.frame(0x100000000 + 500, "_main", 0x100000000 + 400));
  // A system library with a symbol.
  b.addImage(0x180000000, 0x10000, "/usr/lib/libobjc.A.dylib", {1, 2}, b.processor(kArm64, 0));
  b.addFrame(crashedThread(), b.frame(0x180000020, "_objc_msgSend", 0x180000000));
  // No image at all.
  b.addFrame(crashedThread(), b.frame(0x900000000));
  b.addFrame(crashedThread(), b.frame(0));
  auto log = format();
  ASSERT_TRUE(log);
  const auto& frames = *(*log->threads())[0]->frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0]->code(), "0x100000000 + 500");
  EXPECT_EQ(frames[1]->code(), "objc_msgSend + 32");
  EXPECT_EQ(frames[2]->code(), "0x0 + 0");
  EXPECT_EQ(countLines("Cannot find image for 0x900000000"), 1u);
  EXPECT_EQ(countLines("Cannot find image for"), 1u);
  EXPECT_TRUE(hasLine("[ZozIduvurCrashes] WARNING"));
}

TEST_F(Formatter, UnderscoreRulesFollowTheOperatingSystem) {
  b.addImage(0x180000000, 0x10000, "/usr/lib/libobjc.A.dylib", {}, b.processor(kArm64, 0));
  b.addFrame(crashedThread(), b.frame(0x180000020, "_objc_msgSend", 0x180000000));
  b.addFrame(crashedThread(), b.frame(0x180000030, "_", 0x180000000));
  b.system.operating_system = ROCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN;
  auto log = format();
  ASSERT_TRUE(log);
  const auto& frames = *(*log->threads())[0]->frames();
  EXPECT_EQ(frames[1]->code(), "_objc_msgSend + 32");
  EXPECT_EQ(frames[2]->code(), "_ + 48");
  EXPECT_TRUE(hasLine("Symbol \"_objc_msgSend\" prefix rules are unknown for this OS!"));

  b.system.operating_system = ROCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__APPLE_TVOS;
  log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ((*(*log->threads())[0]->frames())[1]->code(), "objc_msgSend + 32");
}

TEST_F(Formatter, ExecutableOutsideABundleIsTreatedAsASystemImage) {
  b.process.process_path = b.text("/usr/local/bin/tool");
  b.clearImages();
  b.addImage(0x100000000, 0x4000, "/usr/local/bin/tool", {7}, b.processor(kArm64, 0));
  b.clearFrames(crashedThread());
  b.addFrame(crashedThread(), b.frame(0x100000010, "_run", 0x100000000));
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ((*(*log->threads())[0]->frames())[0]->code(), "run + 16");
  EXPECT_EQ(log->binaries()->size(), 1u);

  // Nothing points into it any more: it is left out.
  b.clearFrames(crashedThread());
  log = format();
  ASSERT_TRUE(log);
  EXPECT_TRUE(log->binaries()->empty());
}

TEST_F(Formatter, BinariesListedByKindAndReference) {
  b.clearImages();
  b.clearFrames(crashedThread());
  b.addImage(0x300000000, 0x1000, "/usr/lib/libunused.dylib", {3}, b.processor(kArm64, 0));
  b.addImage(0x200000000, 0x2000, "/usr/lib/libused.dylib", {2}, b.processor(kArm64, 0));
  b.addImage(0x150000000, 0, "/Applications/Demo.app/Contents/Frameworks/Kit.framework/Kit", {},
             nullptr);
  b.addImage(0x100000000, 0x4000, kAppPath, {0xde, 0xad}, b.processor(kArm64, 0));
  b.addImage(0x400000000, 0x1000, "", {}, b.processor(kArm64, 0));
  b.addRegister(crashedThread(), "x9", 0x200001fff);
  auto log = format();
  ASSERT_TRUE(log);
  const auto& binaries = *log->binaries();
  ASSERT_EQ(binaries.size(), 3u);
  // Sorted by base address.
  EXPECT_EQ(binaries[0]->name(), "Demo");
  EXPECT_EQ(binaries[0]->binaryId(), "dead");
  EXPECT_EQ(binaries[0]->path(), kAppPath);
  EXPECT_EQ(binaries[0]->startAddress(), "0x0000000100000000");
  EXPECT_EQ(binaries[0]->endAddress(), "0x0000000100003fff");
  EXPECT_EQ(binaries[1]->name(), "Kit");
  EXPECT_EQ(binaries[1]->binaryId(), "???");
  EXPECT_EQ(binaries[1]->startAddress(), binaries[1]->endAddress());
  EXPECT_EQ(binaries[1]->primaryArchitectureId(), 0u);
  EXPECT_EQ(binaries[2]->name(), "libused.dylib");
  EXPECT_EQ(binaries[2]->endAddress(), "0x0000000200001fff");
  EXPECT_FALSE(binaries[0]->architecture());
  for (const auto& binary : binaries) EXPECT_TRUE(binary->isValid());
}

TEST_F(Formatter, AddressesComeFromExceptionFramesThenThreads) {
  b.setException("E", "r");
  b.addExceptionFrame(b.frame(0xAAA));
  b.addRegister(crashedThread(), "x0", 0xBBB);
  auto* second = b.addThread(false);
  b.addFrame(second, b.frame(0xCCC));
  auto report = crashestest::decode(b);
  ASSERT_TRUE(report);
  EXPECT_EQ(F::addressesFromReport(*report),
            (std::vector<uint64_t>{0xAAA, 0x100001000, 0xBBB, 0xCCC}));
  EXPECT_TRUE(F::isBinaryWithStart(0xBBB, 0xBBB, {0xBBB}));
  EXPECT_FALSE(F::isBinaryWithStart(0xBBC, 0xCCB, {0xBBB, 0xCCC}));
}

TEST_F(Formatter, ImageKinds) {
  const std::string app = kAppPath;
  EXPECT_EQ(F::imageTypeForImagePath(app, std::nullopt), DUZEBinaryImageTypeOther);
  EXPECT_EQ(F::imageTypeForImagePath(std::nullopt, app), DUZEBinaryImageTypeOther);
  EXPECT_EQ(F::imageTypeForImagePath(app, app), DUZEBinaryImageTypeAppBinary);
  EXPECT_EQ(F::imageTypeForImagePath("/Applications/Demo.app/Contents/MacOS/../MacOS/Demo", app),
            DUZEBinaryImageTypeAppBinary);
  EXPECT_EQ(F::imageTypeForImagePath("/APPLICATIONS/demo.APP/Contents/MacOS/Demo", app),
            DUZEBinaryImageTypeAppBinary);
  EXPECT_EQ(
      F::imageTypeForImagePath("/Applications/Demo.app/Contents/Frameworks/Kit.framework/Kit", app),
      DUZEBinaryImageTypeAppFramework);
  EXPECT_EQ(F::imageTypeForImagePath(
                "/Applications/Demo.app/Contents/Frameworks/libswiftCore.dylib", app),
            DUZEBinaryImageTypeOther);
  EXPECT_EQ(F::imageTypeForImagePath("/usr/lib/libobjc.A.dylib", app), DUZEBinaryImageTypeOther);
}

TEST_F(Formatter, DeviceMixesTheReportWithTheTrackedDevice) {
  b.application.marketing_version = b.text("4.2");
  auto report = crashestest::decode(b);
  ASSERT_TRUE(report);
  auto tracked = DUZEDeviceTracker::sharedInstance()->device();
  auto device = F::deviceForTimestamp(dispatch::Date::now(), *report);
  EXPECT_EQ(device->osVersion(), "10.15.7");
  EXPECT_EQ(device->osBuild(), "19H2");
  EXPECT_EQ(device->model(), "MacBookPro16,1");
  EXPECT_EQ(device->appBuild(), "42");
  EXPECT_EQ(device->appVersion(), "4.2");
  EXPECT_EQ(device->appNamespace(), "com.example.app");
  EXPECT_EQ(device->sdkName(), tracked->sdkName());
  EXPECT_EQ(device->osName(), tracked->osName());
  EXPECT_EQ(device->locale(), tracked->locale());
  EXPECT_NE(device, tracked);

  // Without a marketing version, build or model the tracked values stay.
  b.application.marketing_version = nullptr;
  b.system.os_build = nullptr;
  b.machine.model = nullptr;
  report = crashestest::decode(b);
  ASSERT_TRUE(report);
  device = F::deviceForTimestamp(std::nullopt, *report);
  EXPECT_EQ(device->appVersion(), tracked->appVersion());
  EXPECT_EQ(device->osBuild(), tracked->osBuild());
  EXPECT_EQ(device->model(), tracked->model());
}

// A crash log and the logs of the same run describe the system alike, so
// that a backend grouping by it sees one machine.
TEST_F(Formatter, CrashLogAndEventsOfOneRunAgreeOnTheOperatingSystem) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "org.example.app", "1", std::nullopt,
      ROReradUzerirudConfig::initWithBasePath((dataDir() / "engine").string()));
  auto bytes = reporter->generateLiveReport();
  ASSERT_TRUE(bytes);
  std::shared_ptr<foundation::NSError> error;
  auto report = ROCrashReport::create(*bytes, &error);
  ASSERT_TRUE(report);
  auto crash = F::errorLogFromCrashReport(*report);
  ASSERT_TRUE(crash);
  auto event = DUZEDeviceTracker::describeHost();
  EXPECT_EQ(crash->device()->osVersion(), event->osVersion());
  EXPECT_EQ(crash->device()->osBuild(), event->osBuild());
}

TEST_F(Formatter, ErrorReportSummarisesTheLog) {
  b.setException("NSGenericException", "boom");
  auto report = crashestest::decode(b);
  ASSERT_TRUE(report);
  auto summary = F::errorReportFromCrashReport(report);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->incidentIdentifier(), "00010203-0405-0607-0809-0A0B0C0D0E0F");
  EXPECT_EQ(summary->reporterKey(), DUZEZozIduvur::installId()->UUIDString());
  EXPECT_EQ(summary->signal(), "SIGSEGV");
  EXPECT_EQ(summary->exceptionName(), "NSGenericException");
  EXPECT_EQ(summary->exceptionReason(), "boom");
  EXPECT_EQ(summary->appStartTime(), dispatch::Date::fromUnixTime(1699999000));
  EXPECT_EQ(summary->appErrorTime(), dispatch::Date::fromUnixTime(1700000000.999));
  EXPECT_EQ(summary->codeType(), "ARM-64");
  EXPECT_EQ(summary->archName(), "arm64");
  EXPECT_EQ(summary->applicationPath(), kAppPath);
  EXPECT_EQ(summary->threads()->size(), 1u);
  EXPECT_EQ(summary->binaries()->size(), 1u);
  EXPECT_TRUE(summary->device());
  EXPECT_EQ(summary->appProcessIdentifier(), 4242u);
  EXPECT_FALSE(F::errorReportFromCrashReport(nullptr));

  auto log = F::errorLogFromCrashReport(*report);
  log->setArchitectureVariantId(std::nullopt);
  EXPECT_EQ(F::errorReportFromLog(*log)->codeType(), "ARM-64");
  EXPECT_EQ(F::errorReportFromLog(*log)->archName(), "???");
  log->setPrimaryArchitectureId(std::nullopt);
  log->setArchitectureVariantId(0);
  EXPECT_EQ(F::errorReportFromLog(*log)->codeType(), "???");
  EXPECT_EQ(F::errorReportFromLog(*log)->archName(), "???");
}

TEST_F(Formatter, SavedWrapperExceptionBecomesTheLogsException) {
  auto saved = DUZEWrapperException::create();
  auto model = DUZEWrapperExceptionModel::create();
  model->setType("Managed");
  saved->setModelException(model);
  saved->setProcessId(4242);
  DUZEWrapperExceptionManager::saveWrapperException(saved);
  auto report = crashestest::decode(b);
  ASSERT_TRUE(report);
  DUZEWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
      {F::errorReportFromCrashReport(report)});
  auto log = F::errorLogFromCrashReport(*report);
  ASSERT_TRUE(log->exception());
  EXPECT_EQ(log->exception()->type(), "Managed");
}

// A small Mach-O image laid into memory and announced to the loader layer,
// with a UUID and a selector-name section, as the running process would have
// it loaded.
class SelectorImage {
 public:
  static constexpr uint64_t kSectionOffset = 0x200;
  static constexpr uint64_t kSectionSize = 0x40;
  static constexpr const char* kPath = "/Applications/Demo.app/Contents/Frameworks/Kit";

  SelectorImage() : memory_(4096) {
    uint8_t* m = memory_.data();
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(m + at, &v, 4); };
    auto put64 = [&](size_t at, uint64_t v) { std::memcpy(m + at, &v, 8); };
    put32(0, 0xFEEDFACF);
    put32(4, static_cast<uint32_t>(kX86_64));
    put32(12, 6);
    put32(16, 2);             // commands
    put32(20, 24 + 72 + 80);  // their size
    put32(32, 27);            // the UUID command
    put32(36, 24);
    for (int i = 0; i < 16; ++i) m[40 + i] = static_cast<uint8_t>(0xA0 + i);
    const size_t segment = 56;
    put32(segment, 0x19);
    put32(segment + 4, 72 + 80);
    std::memcpy(m + segment + 8, "__TEXT", 6);
    put64(segment + 32, 4096);  // vmsize
    put32(segment + 64, 1);     // sections
    const size_t section = segment + 72;
    std::memcpy(m + section, "__objc_methname", 15);
    std::memcpy(m + section + 16, "__TEXT", 6);
    put64(section + 32, kSectionOffset);
    put64(section + 40, kSectionSize);
    std::memcpy(m + kSectionOffset, "doSomething:\0x\0", 15);
    std::memcpy(m + kSectionOffset + kSectionSize - 4, "abcd", 4);  // no terminator
    header_ = reinterpret_cast<uint64_t>(m);
    sys::announce_image_added(header_, static_cast<int64_t>(header_), memory_.size(), kPath);
  }
  ~SelectorImage() { sys::announce_image_removed(header_); }

  static std::vector<uint8_t> uuid() {
    std::vector<uint8_t> out;
    for (int i = 0; i < 16; ++i) out.push_back(static_cast<uint8_t>(0xA0 + i));
    return out;
  }

 private:
  std::vector<uint8_t> memory_;
  uint64_t header_;
};

TEST_F(Formatter, SelectorRegisterIsReadFromTheLoadedImage) {
  SelectorImage image;
  constexpr uint64_t base = 0x7000000000;
  b.machine.processor = b.processor(kX86_64, 3);
  b.report().binary_images[0]->code_type = b.processor(kX86_64, 3);
  b.addImage(base, 0x1000, SelectorImage::kPath, SelectorImage::uuid(), b.processor(kX86_64, 3));
  b.addRegister(crashedThread(), "rsi", base + SelectorImage::kSectionOffset);
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->selectorRegisterValue(), "doSomething:");

  // An unterminated name falls back to the second register.
  auto* thread = crashedThread();
  thread->registers = nullptr;
  thread->n_registers = 0;
  b.addRegister(thread, "rsi",
                base + SelectorImage::kSectionOffset + SelectorImage::kSectionSize - 4);
  b.addRegister(thread, "rdx", base + SelectorImage::kSectionOffset + 13);
  auto report = crashestest::decode(b);
  ASSERT_TRUE(report);
  auto crashed = F::findCrashedThreadInReport(*report);
  EXPECT_FALSE(F::selectorForRegisterWithName("rsi", crashed, *report));
  EXPECT_EQ(F::selectorRegisterValueFromReport(*report, crashed, kX86_64), "x");
  // Outside the section, zero, or an unknown register: none.
  EXPECT_FALSE(F::selectorForRegisterWithName("rbx", crashed, *report));
}

TEST_F(Formatter, SelectorNeedsTheSameNameAndUuid) {
  SelectorImage image;
  constexpr uint64_t base = 0x7000000000;
  b.machine.processor = b.processor(kX86_64, 3);
  b.report().binary_images[0]->code_type = b.processor(kX86_64, 3);
  std::vector<uint8_t> otherUuid = SelectorImage::uuid();
  otherUuid[15] ^= 1;
  b.addImage(base, 0x1000, SelectorImage::kPath, otherUuid, b.processor(kX86_64, 3));
  b.addRegister(crashedThread(), "rsi", base + SelectorImage::kSectionOffset);
  b.addRegister(crashedThread(), "rdx", 0);
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_FALSE(log->selectorRegisterValue());
}

TEST_F(Formatter, ElfImagesOfThisProcessGiveNoSelector) {
  // The test program itself is loaded, but it has no UUID load command.
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  b.machine.processor = b.processor(kX86_64, 3);
  b.clearImages();
  b.addImage(0x7000000000, 0x100000, self, {1, 2, 3}, b.processor(kX86_64, 3));
  b.addRegister(crashedThread(), "rsi", 0x7000000010);
  auto log = format();
  ASSERT_TRUE(log);
  EXPECT_FALSE(log->selectorRegisterValue());
}

}  // namespace
