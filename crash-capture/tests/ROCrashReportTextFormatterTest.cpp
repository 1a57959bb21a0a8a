#include <gtest/gtest.h>

#include "crash-capture/ROCrashReportTextFormatter.h"
#include "crash-captureTest/ReportFixtures.h"
#include "log/ROCrashLog.h"

namespace {

using rocrash::testing::decode;
using rocrash::testing::fillMinimalReport;
using rocrash::testing::ReportBuilder;

std::string text(ReportBuilder& b) {
  auto r = decode(b);
  return r ? ROCrashReportTextFormatter::stringValueForCrashReport(*r, ROCrashReportTextFormatiOS)
           : "";
}

std::string spaces(size_t n) { return std::string(n, ' '); }

class ROCrashReportTextFormatterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ROCrashSetLogSinkForTesting([this](const std::string& line) { log_.push_back(line); });
  }
  void TearDown() override { ROCrashSetLogSinkForTesting(nullptr); }
  std::vector<std::string> log_;
};

// A report as this host writes it: x86-64, 21 registers, an empty marketing
// version, no timestamp.
TEST_F(ROCrashReportTextFormatterTest, HostReportGoldenText) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.machine.model = b.text("Standard PC (Q35 + ICH9, 2009)");
  b.machine.processor = b.processor(0x01000007, 3);
  b.process.process_name = b.text("kestrix");
  b.process.process_id = 100;
  b.process.process_path = b.text("/opt/kestrix/bin/kestrix");
  b.process.parent_process_name = b.text("bash");
  b.process.parent_process_id = 99;
  b.application.identifier = b.text("org.kestrix.switcher");
  b.application.version = b.text("7");
  b.application.marketing_version = b.text("");
  b.system.os_version = b.text("6.1.0");
  b.system.os_build = b.text("#1 SMP");
  b.system.timestamp = 0;
  b.signal.address = 0x10;
  auto* crashed = b.report().threads[0];
  b.clearFrames(crashed);
  b.addFrame(crashed, b.frame(0x555555555123, "_crashHere", 0x555555555100));
  b.addFrame(crashed, b.frame(0x7ffff7c29d90));
  const char* names[] = {"rip", "rbp", "rsp", "rax",    "rbx", "rcx", "rdx",
                         "rdi", "rsi", "r8",  "r9",     "r10", "r11", "r12",
                         "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};
  uint64_t value = 0;
  for (const char* name : names) {
    b.addRegister(crashed, name, value);
    value += 0x10;
  }
  b.addFrame(b.addThread(false), b.frame(0x1));
  b.clearImages();
  b.addImage(0x555555554000, 0x3000, "/opt/kestrix/bin/kestrix",
             {0xde, 0xad, 0xbe, 0xef, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
             b.processor(0x01000007, 3));
  b.addImage(0x7ffff7c00000, 0x1c0000, "/usr/lib/x86_64-linux-gnu/libc.so.6", {},
             b.processor(0x01000007, 3));

  std::string expected =
      "Incident Identifier: 00010203-0405-0607-0809-0A0B0C0D0E0F\n"
      "Hardware Model:      Standard PC (Q35 + ICH9, 2009)\n"
      "Process:         kestrix [100]\n"
      "Path:            /opt/kestrix/bin/kestrix\n"
      "Identifier:      org.kestrix.switcher\n"
      "Version:         7\n"
      "Code Type:       X86-64\n"
      "Parent Process:  bash [99]\n"
      "\n"
      "Date/Time:       ???\n"
      "OS Version:      Mac OS X 6.1.0 (#1 SMP)\n"
      "Report Version:  104\n"
      "\n"
      "Exception Type:  SIGSEGV\n"
      "Exception Codes: SEGV_MAPERR at 0x10\n"
      "Crashed Thread:  0\n"
      "\n"
      "Thread 0 Crashed:\n"
      "0   kestrix" +
      spaces(28) +
      " 0x0000555555555123 crashHere + 35\n"
      "1   libc.so.6" +
      spaces(26) +
      " 0x00007ffff7c29d90 0x7ffff7c00000 + 171408\n"
      "\n"
      "Thread 1:\n"
      "0   ???" +
      spaces(32) +
      " 0x0000000000000001 0x0 + 0\n"
      "\n"
      "Thread 0 crashed with X86-64 Thread State:\n"
      "   rip: 0x0000000000000000    rbp: 0x0000000000000010    rsp: 0x0000000000000020    rax: "
      "0x0000000000000030 \n"
      "   rbx: 0x0000000000000040    rcx: 0x0000000000000050    rdx: 0x0000000000000060    rdi: "
      "0x0000000000000070 \n"
      "   rsi: 0x0000000000000080     r8: 0x0000000000000090     r9: 0x00000000000000a0    r10: "
      "0x00000000000000b0 \n"
      "   r11: 0x00000000000000c0    r12: 0x00000000000000d0    r13: 0x00000000000000e0    r14: "
      "0x00000000000000f0 \n"
      "   r15: 0x0000000000000100 rflags: 0x0000000000000110     cs: 0x0000000000000120     fs: "
      "0x0000000000000130 \n"
      "    gs: 0x0000000000000140 \n"
      "\n"
      "Binary Images:\n"
      "    0x555555554000 -     0x555555556fff +kestrix x86_64  <deadbeef000102030405060708090a0b> "
      "/opt/kestrix/bin/kestrix\n"
      "    0x7ffff7c00000 -     0x7ffff7dbffff  libc.so.6 x86_64  <"
      "???"
      "> "
      "/usr/lib/x86_64-linux-gnu/libc.so.6\n";
  EXPECT_EQ(text(b), expected);
  EXPECT_EQ(log_, std::vector<std::string>{"[ROReradUzerirud] Cannot find image for 0x1"});
}

// A 32-bit ARM report with an uncaught exception, a marketing version, nine
// registers, and images the listing sorts, merges and skips.
TEST_F(ROCrashReportTextFormatterTest, ArmReportGoldenText) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.report().machine_info = nullptr;
  b.report().process_info = nullptr;
  b.report().report_info = nullptr;
  b.system.architecture = ROCRASH__ARCHITECTURE__ARMV7;
  b.system.has_operating_system = true;
  b.system.operating_system = ROCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_OS;
  b.system.timestamp = 978307200;  // the reference date
  b.application.marketing_version = b.text("2.0");
  b.signal.name = b.text("SIGABRT");
  b.signal.code = b.text("#0");
  b.clearThreads();
  auto* idle = b.addThread(false);
  b.addFrame(idle, b.frame(0x4010, "_", 0x4000));
  auto* crashed = b.addThread(true);
  b.addFrame(crashed, b.frame(0x8004, "_abort", 0x8000));
  for (int i = 0; i < 9; ++i) {
    b.addRegister(crashed, i == 8 ? "r12" : std::string("r").append(std::to_string(i)).c_str(),
                  0x11111111u * static_cast<uint64_t>(i));
  }
  b.setException("NSInvalidArgumentException", "bad");
  b.addExceptionFrame(b.frame(0x4020));
  b.clearImages();
  b.addImage(0x8000, 0x1000, "/usr/lib/libsystem.dylib", {1, 2}, b.processor(12, 9));
  b.addImage(0x4000, 0x2000, "/Apps/Demo.app/Demo", {}, b.processor(12, 11));
  b.addImage(0x8000, 0x3000, "/usr/lib/duplicate.dylib", {}, b.processor(12, 6));
  b.addImage(0xC000, 0, "/usr/lib/empty.dylib", {}, nullptr);
  b.addImage(0, 0x10, "/at/zero", {}, b.processor(12, 9));

  std::string expected =
      "Incident Identifier: ???\n"
      "Hardware Model:      ???\n"
      "Process:         ??? ["
      "???"
      "]\n"
      "Path:            ???\n"
      "Identifier:      com.example.app\n"
      "Version:         2.0 (42)\n"
      "Code Type:       ARM\n"
      "Parent Process:  ??? ["
      "???"
      "]\n"
      "\n"
      "Date/Time:       2001-01-01 00:00:00 +0000\n"
      "OS Version:      iPhone OS 10.15.7 (19H2)\n"
      "Report Version:  104\n"
      "\n"
      "Exception Type:  SIGABRT\n"
      "Exception Codes: #0 at 0x0\n"
      "Crashed Thread:  1\n"
      "\n"
      "Application Specific Information:\n"
      "*** Terminating app due to uncaught exception 'NSInvalidArgumentException', reason: 'bad'\n"
      "\n"
      "Last Exception Backtrace:\n"
      "0   Demo" +
      spaces(31) +
      " 0x00004020 0x4000 + 32\n"
      "\n"
      "Thread 0:\n"
      "0   Demo" +
      spaces(31) +
      " 0x00004010 _ + 16\n"
      "\n"
      "Thread 1 Crashed:\n"
      "0   libsystem.dylib" +
      spaces(20) +
      " 0x00008004 abort + 4\n"
      "\n"
      "Thread 1 crashed with ARM Thread State:\n"
      "    r0: 0x00000000     r1: 0x11111111     r2: 0x22222222     r3: 0x33333333 \n"
      "    r4: 0x44444444     r5: 0x55555555     r6: 0x66666666     r7: 0x77777777 \n"
      "    ip: 0x88888888 \n"
      "\n"
      "Binary Images:\n"
      "    0x4000 -     0x5fff +Demo armv7s  <"
      "???"
      "> /Apps/Demo.app/Demo\n"
      "    0x8000 -     0x8fff  libsystem.dylib armv7  <0102> /usr/lib/libsystem.dylib\n"
      "    0xc000 -     0xc000  empty.dylib ???  <"
      "???"
      "> /usr/lib/empty.dylib\n";
  // Without process information no image is marked as the main one.
  size_t plus = expected.find("+Demo");
  expected[plus] = ' ';
  EXPECT_EQ(text(b), expected);
}

TEST_F(ROCrashReportTextFormatterTest, CodeTypeFallsBackToSystemProcessor) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.report().binary_images[0]->code_type = b.processor(99, 0);  // not a named type
  b.machine.processor = b.processor(99, 0);
  EXPECT_NE(text(b).find("Code Type:       Unknown (99)\n"), std::string::npos);
  b.machine.processor = b.processor(0x01000007, 3, /*mach=*/false);
  EXPECT_NE(text(b).find("Code Type:       Unknown\n"), std::string::npos);
  b.machine.processor = b.processor(7, 3);
  std::string t = text(b);
  EXPECT_NE(t.find("Code Type:       X86\n"), std::string::npos);
  // 32-bit layout: eight digits at least.
  EXPECT_NE(t.find("0   Demo" + spaces(31) + " 0x100001000 0x100000000 + 4096\n"),
            std::string::npos);
}

TEST_F(ROCrashReportTextFormatterTest, NoCrashedThreadMeansNoCrashLines) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.report().threads[0]->crashed = false;
  std::string t = text(b);
  EXPECT_EQ(t.find("Crashed Thread:"), std::string::npos);
  EXPECT_EQ(t.find("Thread State:"), std::string::npos);
  EXPECT_NE(t.find("Thread 0:\n"), std::string::npos);
}

TEST_F(ROCrashReportTextFormatterTest, SymbolPrefixRulesDependOnTheSystem) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.clearFrames(b.report().threads[0]);
  b.addFrame(b.report().threads[0], b.frame(0x100001010, "_main", 0x100001000));
  b.system.operating_system = ROCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__APPLE_TVOS;
  EXPECT_NE(text(b).find(" main + 16\n"), std::string::npos);
  EXPECT_TRUE(log_.empty());
  b.system.operating_system = ROCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN;
  std::string t = text(b);
  EXPECT_NE(t.find(" _main + 16\n"), std::string::npos);
  EXPECT_NE(t.find("OS Version:      Unknown (3) "), std::string::npos);
  EXPECT_EQ(log_, std::vector<std::string>{
                      "[ROReradUzerirud] Symbol \"_main\" prefix rules are unknown for this OS!"});
}

TEST_F(ROCrashReportTextFormatterTest, FormatReportEncodesLossily) {
  ReportBuilder b;
  fillMinimalReport(b);
  b.application.identifier = b.text("caf\xc3\xa9");
  auto r = decode(b);
  ASSERT_TRUE(r);
  ROCrashReportTextFormatter ascii(ROCrashReportTextFormatiOS, ROCrashReportStringEncodingASCII);
  auto bytes = ascii.formatReport(*r, nullptr);
  std::string asText(bytes.begin(), bytes.end());
  EXPECT_NE(asText.find("Identifier:      caf?\n"), std::string::npos);
  ROCrashReportTextFormatter utf8(ROCrashReportTextFormatiOS, ROCrashReportStringEncodingUTF8);
  bytes = utf8.formatReport(*r, nullptr);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            ROCrashReportTextFormatter::stringValueForCrashReport(*r, ROCrashReportTextFormatiOS));
}

}  // namespace
