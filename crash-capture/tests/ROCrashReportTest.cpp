#include <gtest/gtest.h>

#include <map>
#include <random>

#include "crash-capture/ROCrashReport.h"
#include "crash-captureTest/ReportFixtures.h"

namespace {

using rocrash::testing::decode;
using rocrash::testing::fillMinimalReport;
using rocrash::testing::ReportBuilder;

std::string decodeError(const std::vector<uint8_t>& bytes) {
  std::shared_ptr<foundation::NSError> error;
  auto report = ROCrashReport::create(bytes, &error);
  EXPECT_EQ(report, nullptr);
  if (!error) return "<no error>";
  EXPECT_EQ(error->domain(), "ROReradUzerirudErrorDomain");
  EXPECT_EQ(error->code(), ROReradUzerirudErrorInvalidCrashReport);
  return error->localizedDescription();
}

TEST(ROCrashReportHeader, RejectsShortBadAndUnsupportedFilesInOrder) {
  std::vector<uint8_t> header = {'r', 'o', 'c', 'r', 'a', 's', 'h', 1};
  EXPECT_EQ(decodeError(header), "Could not decode truncated crash log");
  EXPECT_EQ(decodeError({}), "Could not decode truncated crash log");
  // Too short wins over a bad header.
  EXPECT_EQ(decodeError({'x', 'x'}), "Could not decode truncated crash log");
  EXPECT_EQ(decodeError({'R', 'o', 'c', 'r', 'a', 's', 'h', 1, 0}),
            "Could not decode invalid crash log header");
  EXPECT_EQ(decodeError({'r', 'o', 'c', 'r', 'a', 's', 'h', 0, 0}),
            "Could not decode unsupported crash report version: 0");
  EXPECT_EQ(decodeError({'r', 'o', 'c', 'r', 'a', 's', 'h', 2, 0}),
            "Could not decode unsupported crash report version: 2");
  EXPECT_EQ(decodeError({'r', 'o', 'c', 'r', 'a', 's', 'h', 255, 0}),
            "Could not decode unsupported crash report version: 255");
  // Nine bytes with a valid header reach the unpacking, which fails.
  EXPECT_EQ(decodeError({'r', 'o', 'c', 'r', 'a', 's', 'h', 1, 0}),
            "An unknown error occured decoding the crash report");
  // Well-formed wire data missing required sections fails in unpacking too
  // (field 10, custom data of length 0).
  EXPECT_EQ(decodeError({'r', 'o', 'c', 'r', 'a', 's', 'h', 1, 0x52, 0x00}),
            "An unknown error occured decoding the crash report");
}

TEST(ROCrashReportDecode, AForkedChildsProcessIdentityIsRead) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.process.boot_id = b.text("6c1f0a52-93b4-4c2e-8d55-0e2f7a9b1c3d");
  b.process.has_start_ticks = true;
  b.process.start_ticks = 123456;
  b.process.has_forked_from_process_id = true;
  b.process.forked_from_process_id = 4141;
  b.process.has_forked_from_start_ticks = true;
  b.process.forked_from_start_ticks = 123400;
  auto r = decode(b);
  ASSERT_TRUE(r);
  const auto& identity = r->processInfo()->identity();
  EXPECT_EQ(identity.bootId, "6c1f0a52-93b4-4c2e-8d55-0e2f7a9b1c3d");
  EXPECT_EQ(identity.startTicks, 123456u);
  EXPECT_EQ(identity.forkedFromProcessID, 4141u);
  EXPECT_EQ(identity.forkedFromStartTicks, 123400u);
}

// Annotations: none in a report of an older version, none set told apart
// from that, and of a name given twice the first value.
TEST(ROCrashReportDecode, AnnotationsAreReadAndTheirAbsenceIsToldFromNone) {
  ReportBuilder b;
  fillMinimalReport(b);
  auto older = decode(b);
  ASSERT_TRUE(older);
  EXPECT_FALSE(older->annotations());
  b.setAnnotations({});
  auto none = decode(b);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->annotations(), (std::map<std::string, std::string>{}));
  b.setAnnotations({{"sessionId", "S"}, {"userId", ""}, {"sessionId", "later"}});
  auto some = decode(b);
  ASSERT_TRUE(some);
  EXPECT_EQ(some->annotations(),
            (std::map<std::string, std::string>{{"sessionId", "S"}, {"userId", ""}}));
  // An entry whose text setAnnotation refuses (a zero byte, not UTF-8, too
  // long, an empty name) is left out, and the report reads as one without it.
  b.setAnnotations({{"zero", std::string("al\0ice", 6)},
                    {"userId", "caf\xC3"},
                    {"userId", "good"},
                    {"name\xC3", "x"},
                    {"", "x"},
                    {std::string(65, 'n'), "x"},
                    {"long", std::string(4097, 'v')},
                    {"longest", std::string(4096, 'v')}});
  auto damagedText = decode(b);
  ASSERT_TRUE(damagedText);
  EXPECT_EQ(damagedText->annotations(),
            (std::map<std::string, std::string>{{"userId", "good"},
                                                {"longest", std::string(4096, 'v')}}));
  // Damaged ones (a wrong wire type, an entry without its value, a field cut
  // short) cost the report them only.
  const std::vector<uint8_t> damages[] = {{0x58, 0x01},
                                          {0x5A, 0x04, 0x0A, 0x02, 0x08, 0x01},
                                          {0x5A, 0x05, 0x0A, 0x03, 0x0A, 0x01, 'n'},
                                          {0x5A, 0x10, 0x0A, 0x02}};
  for (const auto& damage : damages) {
    auto bytes = b.pack();
    bytes.insert(bytes.end(), damage.begin(), damage.end());
    auto damaged = ROCrashReport::create(bytes, nullptr);
    ASSERT_TRUE(damaged) << damage.size();
    EXPECT_FALSE(damaged->annotations());
    EXPECT_EQ(damaged->threads().size(), some->threads().size());
  }
}

TEST(ROCrashReportHeader, NullErrorPointerIsAllowed) {
  EXPECT_EQ(ROCrashReport::create({1, 2, 3}, nullptr), nullptr);
}

TEST(ROCrashReportDecode, FixedReportDecodesFieldForField) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.application.marketing_version = b.text("1.2.3");
  auto* t = b.report().threads[0];
  b.addRegister(t, "pc", 0x100001000);
  b.addRegister(t, "sp", 0x16fdff000);
  b.addFrame(t, b.frame(0x100002004, "_main", 0x100002000));
  auto* idle = b.addThread(false);
  b.addFrame(idle, b.frame(0x7fff00001000));
  b.setException("NSRangeException", "index 3 beyond bounds");
  b.addExceptionFrame(b.frame(0x100003000));
  b.setMachException(1, {1, 0x10});
  b.signal.address = 0x10;
  b.report().has_custom_data = true;
  b.report().custom_data = b.bytes({0xCA, 0xFE});
  auto r = decode(b);
  ASSERT_TRUE(r);

  ASSERT_TRUE(r->uuidRef());
  for (uint8_t i = 0; i < 16; ++i) EXPECT_EQ((*r->uuidRef())[i], i);
  const auto& sys = r->systemInfo();
  EXPECT_EQ(sys->operatingSystem(), ROCrashReportOperatingSystemMacOSX);
  EXPECT_EQ(sys->operatingSystemVersion(), "10.15.7");
  EXPECT_EQ(sys->operatingSystemBuild(), "19H2");
  EXPECT_EQ(sys->architecture(), ROCrashReportArchitectureUnknown);
  ASSERT_TRUE(sys->timestamp());
  EXPECT_EQ(sys->timestamp()->timeIntervalSince1970(), 1700000000.0);
  EXPECT_EQ(sys->processorInfo(), r->machineInfo()->processorInfo());  // the machine's processor
  ASSERT_TRUE(r->hasMachineInfo());
  EXPECT_EQ(r->machineInfo()->modelName(), "MacBookPro16,1");
  EXPECT_EQ(r->machineInfo()->processorInfo()->typeEncoding(),
            ROCrashReportProcessorTypeEncodingMach);
  EXPECT_EQ(r->machineInfo()->processorInfo()->type(), 0x0100000Cu);
  EXPECT_EQ(r->machineInfo()->processorCount(), 8u);
  EXPECT_EQ(r->machineInfo()->logicalProcessorCount(), 16u);
  EXPECT_EQ(r->applicationInfo()->applicationIdentifier(), "com.example.app");
  EXPECT_EQ(r->applicationInfo()->applicationVersion(), "42");
  EXPECT_EQ(r->applicationInfo()->applicationMarketingVersion(), "1.2.3");
  ASSERT_TRUE(r->hasProcessInfo());
  EXPECT_EQ(r->processInfo()->processName(), "Demo");
  EXPECT_EQ(r->processInfo()->processID(), 4242u);
  EXPECT_EQ(r->processInfo()->parentProcessName(), "launchd");
  EXPECT_EQ(r->processInfo()->parentProcessID(), 1u);
  EXPECT_TRUE(r->processInfo()->native());
  EXPECT_EQ(r->processInfo()->processStartTime()->timeIntervalSince1970(), 1699999000.0);
  // Written as older versions write it: without the process's identity.
  const auto& identity = r->processInfo()->identity();
  EXPECT_FALSE(identity.bootId || identity.startTicks || identity.forkedFromProcessID ||
               identity.forkedFromStartTicks);
  EXPECT_EQ(r->signalInfo()->name(), "SIGSEGV");
  EXPECT_EQ(r->signalInfo()->code(), "SEGV_MAPERR");
  EXPECT_EQ(r->signalInfo()->address(), 0x10u);
  ASSERT_TRUE(r->machExceptionInfo());
  EXPECT_EQ(r->machExceptionInfo()->type(), 1u);
  EXPECT_EQ(r->machExceptionInfo()->codes(), (std::vector<uint64_t>{1, 0x10}));

  ASSERT_EQ(r->threads().size(), 2u);
  const auto& crashed = r->threads()[0];
  EXPECT_TRUE(crashed->crashed());
  EXPECT_EQ(crashed->threadNumber(), 0);
  ASSERT_EQ(crashed->registers().size(), 2u);
  EXPECT_EQ(crashed->registers()[1]->registerName(), "sp");
  EXPECT_EQ(crashed->registers()[1]->registerValue(), 0x16fdff000u);
  ASSERT_EQ(crashed->stackFrames().size(), 2u);
  EXPECT_EQ(crashed->stackFrames()[0]->symbolInfo(), nullptr);
  const auto& symbol = crashed->stackFrames()[1]->symbolInfo();
  ASSERT_TRUE(symbol);
  EXPECT_EQ(symbol->symbolName(), "_main");
  EXPECT_EQ(symbol->startAddress(), 0x100002000u);
  EXPECT_EQ(symbol->endAddress(), 0u);
  EXPECT_FALSE(r->threads()[1]->crashed());
  EXPECT_TRUE(r->threads()[1]->registers().empty());

  ASSERT_EQ(r->images().size(), 1u);
  const auto& image = r->images()[0];
  EXPECT_EQ(image->imageBaseAddress(), 0x100000000u);
  EXPECT_EQ(image->imageSize(), 0x4000u);
  EXPECT_TRUE(image->hasImageUUID());
  EXPECT_EQ(image->imageUUID(), "deadbeef000102030405060708090a0b");
  EXPECT_EQ(image->codeType()->type(), 0x0100000Cu);

  ASSERT_TRUE(r->hasExceptionInfo());
  EXPECT_EQ(r->exceptionInfo()->exceptionName(), "NSRangeException");
  EXPECT_EQ(r->exceptionInfo()->exceptionReason(), "index 3 beyond bounds");
  ASSERT_TRUE(r->exceptionInfo()->stackFrames());
  EXPECT_EQ(r->exceptionInfo()->stackFrames()->at(0)->instructionPointer(), 0x100003000u);
  EXPECT_EQ(r->customData(), (std::vector<uint8_t>{0xCA, 0xFE}));
}

TEST(ROCrashReportDecode, OptionalPartsMayBeAbsent) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.report().process_info = nullptr;
  b.report().report_info = nullptr;
  b.system.timestamp = 0;
  b.system.has_operating_system = false;
  b.system.os_build = nullptr;
  b.report().binary_images[0]->has_uuid = true;
  b.report().binary_images[0]->uuid = {0, nullptr};
  b.report().binary_images[0]->code_type = nullptr;
  b.setException("E", "");
  auto r = decode(b);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->uuidRef());
  EXPECT_FALSE(r->hasProcessInfo());
  EXPECT_FALSE(r->systemInfo()->timestamp());
  EXPECT_EQ(r->systemInfo()->operatingSystem(), ROCrashReportOperatingSystemUnknown);
  EXPECT_FALSE(r->systemInfo()->operatingSystemBuild());
  EXPECT_FALSE(r->images()[0]->hasImageUUID());
  EXPECT_EQ(r->images()[0]->codeType(), nullptr);
  EXPECT_FALSE(r->exceptionInfo()->stackFrames());  // no frames: nil, not empty
  EXPECT_FALSE(r->customData());
  EXPECT_FALSE(r->machExceptionInfo());
  EXPECT_FALSE(r->applicationInfo()->applicationMarketingVersion());
}

TEST(ROCrashReportDecode, ReportUuidMustBeSixteenBytes) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.info.uuid = b.bytes(std::vector<uint8_t>(15, 7));
  EXPECT_EQ(decodeError(b.pack()), "Report UUID value is not a standard 16 bytes");
  b.info.uuid = b.bytes(std::vector<uint8_t>(17, 7));
  EXPECT_EQ(decodeError(b.pack()), "Report UUID value is not a standard 16 bytes");
  b.info.has_uuid = false;
  auto r = decode(b);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->uuidRef());
}

TEST(ROCrashReportDecode, UnknownArchitectureNeedsMachineInformation) {
  ReportBuilder b;
  fillMinimalReport(b);
  ASSERT_TRUE(decode(b));
  b.report().machine_info = nullptr;
  EXPECT_EQ(decodeError(b.pack()), "Crash report has an unknown architecture");
  b.system.architecture = ROCRASH__ARCHITECTURE__ARMV7;
  auto r = decode(b);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->systemInfo()->processorInfo()->type(), 12u);
  EXPECT_EQ(r->systemInfo()->processorInfo()->subtype(), 9u);
  EXPECT_EQ(r->systemInfo()->processorInfo()->typeEncoding(),
            ROCrashReportProcessorTypeEncodingMach);
}

TEST(ROCrashReportDecode, PointerAuthenticatingArmMasksEveryFrameTo36Bits) {
  for (uint64_t subtype : {2u, 0u}) {
    ReportBuilder b;
    fillMinimalReport(b);
    b.machine.processor = b.processor(0x0100000C, subtype);
    b.addFrame(b.report().threads[0], b.frame(0xABCD001234567890ull));
    b.setException("E", "r");
    b.addExceptionFrame(b.frame(0xFF00000FFFFFFFFFull));
    auto r = decode(b);
    ASSERT_TRUE(r);
    uint64_t threadPc = r->threads()[0]->stackFrames()[1]->instructionPointer();
    uint64_t exceptionPc = r->exceptionInfo()->stackFrames()->at(0)->instructionPointer();
    if (subtype == 2) {
      EXPECT_EQ(threadPc, 0x234567890ull);
      EXPECT_EQ(exceptionPc, 0xFFFFFFFFFull);
    } else {
      EXPECT_EQ(threadPc, 0xABCD001234567890ull);
      EXPECT_EQ(exceptionPc, 0xFF00000FFFFFFFFFull);
    }
  }
}

TEST(ROCrashReportDecode, ThreadsAndImagesAreRequired) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.report().n_threads = 0;
  EXPECT_EQ(decodeError(b.pack()), "Crash report is missing thread state information");
  b.report().n_threads = 1;
  b.report().n_binary_images = 0;
  EXPECT_EQ(decodeError(b.pack()), "Crash report is missing binary image information");
}

TEST(ROCrashReportDecode, MachExceptionCodeLimit) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.setMachException(1, std::vector<uint64_t>(255, 3));
  auto r = decode(b);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->machExceptionInfo()->codes().size(), 255u);
  b.setMachException(1, std::vector<uint64_t>(256, 3));
  EXPECT_EQ(decodeError(b.pack()), "Crash report includes too many Mach Exception codes");
}

TEST(ROCrashReportDecode, ImageForAddressCoversBaseButNotEnd) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.addImage(0x200000000, 0x1000, "/usr/lib/first", {}, nullptr);
  b.addImage(0x200000800, 0x1000, "/usr/lib/overlapping", {}, nullptr);
  b.addImage(UINT64_MAX - 0xFFF, 0x1000, "/top", {}, nullptr);
  auto r = decode(b);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->imageForAddress(0x100000000)->imageName(),
            "/Applications/Demo.app/Contents/MacOS/Demo");
  EXPECT_EQ(r->imageForAddress(0x100003FFF)->imageBaseAddress(), 0x100000000u);
  EXPECT_EQ(r->imageForAddress(0x100004000), nullptr);
  EXPECT_EQ(r->imageForAddress(0x200000900)->imageName(), "/usr/lib/first");  // first in order
  EXPECT_EQ(r->imageForAddress(0x200001000)->imageName(), "/usr/lib/overlapping");
  EXPECT_EQ(r->imageForAddress(UINT64_MAX)->imageName(), "/top");
  EXPECT_EQ(r->imageForAddress(0), nullptr);
}

// Every truncation of a valid report and a spread of random bodies must be
// refused or decoded without a fault or a leak.
TEST(ROCrashReportFuzz, TruncatedAndRandomBytesNeverCrash) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.setException("E", "reason");
  b.addExceptionFrame(b.frame(1, "sym", 0));
  b.setMachException(5, {0x10002, 0});
  auto full = b.pack();
  size_t decoded = 0;
  for (size_t n = 0; n <= full.size(); ++n) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + n);
    if (ROCrashReport::create(cut, nullptr)) ++decoded;
  }
  // Cuts at a field boundary before the optional sections still decode.
  EXPECT_GE(decoded, 1u);
  EXPECT_TRUE(ROCrashReport::create(full, nullptr));
  std::mt19937 rng(1234);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> bytes = full;
    int flips = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < flips; ++i) bytes[8 + rng() % (bytes.size() - 8)] = rng() & 0xFF;
    std::shared_ptr<foundation::NSError> error;
    auto r = ROCrashReport::create(bytes, &error);
    EXPECT_TRUE(r || error);
    std::vector<uint8_t> noise(8 + rng() % 64);
    for (auto& byte : noise) byte = rng() & 0xFF;
    std::copy(full.begin(), full.begin() + 8, noise.begin());
    (void)ROCrashReport::create(noise, nullptr);
  }
}

}  // namespace
