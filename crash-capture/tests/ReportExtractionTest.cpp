#include <gtest/gtest.h>

#include "crash-captureTest/ReportFixtures.h"
#include "report/ReportExtraction.h"

namespace {

using rocrash::detail::ReportExtractor;
using rocrash::testing::ReportBuilder;

// Runs one extraction expected to fail and returns its message.
template <class F>
std::string failure(F&& extract) {
  std::shared_ptr<foundation::NSError> error;
  auto result = extract(&error);
  EXPECT_EQ(result, nullptr);
  if (!error) return "<no error>";
  EXPECT_EQ(error->code(), ROReradUzerirudErrorInvalidCrashReport);
  EXPECT_EQ(error->domain(), ROReradUzerirudErrorDomain);
  return error->localizedDescription();
}

// Checks that unpacking enforces the schema's required fields are reported by
// the extraction steps too, with their own messages.
TEST(ReportExtraction, MissingSectionsAndFieldsHaveTheirMessages) {
  ReportExtractor x;
  ReportBuilder b;
  auto processor =
      std::make_shared<ROCrashReportProcessorInfo>(ROCrashReportProcessorTypeEncodingMach, 7, 3);
  using E = std::shared_ptr<foundation::NSError>*;

  EXPECT_EQ(failure([&](E e) { return x.extractSystemInfo(nullptr, processor, e); }),
            "Crash report is missing System Information section");
  b.system.os_version = nullptr;
  EXPECT_EQ(failure([&](E e) { return x.extractSystemInfo(&b.system, processor, e); }),
            "Crash report is missing System Information OS version field");
  EXPECT_EQ(failure([&](E e) { return x.extractProcessorInfo(nullptr, e); }),
            "Crash report is missing processor info section");
  EXPECT_EQ(failure([&](E e) { return x.extractMachineInfo(nullptr, e); }),
            "Crash report is missing Machine Information section");

  EXPECT_EQ(failure([&](E e) { return x.extractApplicationInfo(nullptr, e); }),
            "Crash report is missing Application Information section");
  b.application.identifier = nullptr;
  EXPECT_EQ(failure([&](E e) { return x.extractApplicationInfo(&b.application, e); }),
            "Crash report is missing Application Information app identifier field");
  b.application.identifier = b.text("id");
  b.application.version = nullptr;
  EXPECT_EQ(failure([&](E e) { return x.extractApplicationInfo(&b.application, e); }),
            "Crash report is missing Application Information app version field");

  EXPECT_EQ(failure([&](E e) { return x.extractProcessInfo(nullptr, e); }),
            "Crash report is missing Process Information section");

  EXPECT_EQ(failure([&](E e) { return x.extractSignalInfo(nullptr, e); }),
            "Crash report is missing Signal Information section");
  b.signal.name = nullptr;
  EXPECT_EQ(failure([&](E e) { return x.extractSignalInfo(&b.signal, e); }),
            "Crash report is missing signal name field");
  b.signal.name = b.text("SIGBUS");
  b.signal.code = nullptr;
  EXPECT_EQ(failure([&](E e) { return x.extractSignalInfo(&b.signal, e); }),
            "Crash report is missing signal code field");
  EXPECT_EQ(failure([&](E e) { return x.extractMachExceptionInfo(nullptr, e); }),
            "Crash report is missing Mach Exception Information section");

  EXPECT_EQ(failure([&](E e) { return x.extractExceptionInfo(nullptr, e); }),
            "Crash report is missing Exception Information section");
  auto* exception = b.setException(nullptr, "r");
  EXPECT_EQ(failure([&](E e) { return x.extractExceptionInfo(exception, e); }),
            "Crash report is missing exception name field");
  exception = b.setException("n", nullptr);
  EXPECT_EQ(failure([&](E e) { return x.extractExceptionInfo(exception, e); }),
            "Crash report is missing exception reason field");

  EXPECT_EQ(failure([&](E e) { return x.extractStackFrameInfo(nullptr, e); }),
            "Crash report is missing stack frame information");
  EXPECT_EQ(failure([&](E e) { return x.extractSymbolInfo(nullptr, e); }),
            "Crash report is missing symbol information");
  EXPECT_EQ(failure([&](E e) { return x.extractThreadInfo(nullptr, e); }),
            "Crash report is missing thread state information");

  auto* thread = b.addThread(true);
  b.addRegister(thread, "rip", 1);
  b.addRegister(thread, nullptr, 2);
  EXPECT_EQ(failure([&](E e) { return x.extractThreadInfo(thread, e); }),
            "Missing register name in register value");
  auto* image = b.addImage(0x1000, 0x1000, nullptr, {}, nullptr);
  EXPECT_EQ(failure([&](E e) { return x.extractImageInfo(image, e); }),
            "Missing image name in image record");
}

TEST(ReportExtraction, NestedFailuresFailTheirParent) {
  ReportExtractor x;
  ReportBuilder b;
  using E = std::shared_ptr<foundation::NSError>*;
  // A frame whose symbol has no name fails the thread and the exception.
  auto* thread = b.addThread(false);
  Rocrash__CrashReport__Thread__StackFrame* frame = b.frame(0x10, "sym", 0);
  frame->symbol->name = nullptr;
  b.addFrame(thread, frame);
  EXPECT_EQ(failure([&](E e) { return x.extractThreadInfo(thread, e); }),
            "Crash report is missing symbol information");
  b.setException("n", "r");
  b.addExceptionFrame(frame);
  EXPECT_EQ(failure([&](E e) { return x.extractExceptionInfo(b.report().exception, e); }),
            "Crash report is missing symbol information");
  // A system section without machine processor and with an architecture past
  // the table fails through the synthesis.
  b.system.architecture = static_cast<Rocrash__Architecture>(6);
  EXPECT_EQ(failure([&](E e) { return x.extractSystemInfo(&b.system, nullptr, e); }),
            "Crash report has an unknown architecture");
}

TEST(ReportExtraction, ArchitecturesSynthesizeTheirProcessors) {
  ReportExtractor x;
  const uint64_t expected[][2] = {{7, 3},  {0x01000007, 3}, {12, 6},
                                  {18, 0}, {0x01000012, 0}, {12, 9}};
  for (uint32_t arch = 0; arch < 6; ++arch) {
    auto p = x.synthesizeProcessorInfoFromArchitecture(arch, nullptr);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type(), expected[arch][0]);
    EXPECT_EQ(p->subtype(), expected[arch][1]);
    EXPECT_EQ(p->typeEncoding(), ROCrashReportProcessorTypeEncodingMach);
  }
  EXPECT_FALSE(x.synthesizeProcessorInfoFromArchitecture(6, nullptr));
  EXPECT_FALSE(x.synthesizeProcessorInfoFromArchitecture(1000, nullptr));
}

}  // namespace
