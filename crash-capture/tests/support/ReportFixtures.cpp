#include "crash-captureTest/ReportFixtures.h"

#include <gtest/gtest.h>

#include <cstring>

namespace rocrash::testing {

std::vector<uint8_t> packReport(const Rocrash__CrashReport& message, uint8_t version) {
  std::vector<uint8_t> out = {'r', 'o', 'c', 'r', 'a', 's', 'h', version};
  size_t size = rocrash__crash_report__get_packed_size(&message);
  out.resize(8 + size);
  rocrash__crash_report__pack(&message, out.data() + 8);
  return out;
}

ReportBuilder::ReportBuilder() {
  rocrash__crash_report__init(&report_);
  rocrash__crash_report__system_info__init(&system);
  rocrash__crash_report__application_info__init(&application);
  rocrash__crash_report__signal__init(&signal);
  rocrash__crash_report__machine_info__init(&machine);
  rocrash__crash_report__process_info__init(&process);
  rocrash__crash_report__report_info__init(&info);
  system.os_version = text("10.15.7");
  application.identifier = text("com.example.app");
  application.version = text("42");
  signal.name = text("SIGSEGV");
  signal.code = text("SEGV_MAPERR");
  report_.system_info = &system;
  report_.application_info = &application;
  report_.signal = &signal;
}

char* ReportBuilder::text(const std::string& s) { return strings_.emplace_back(s).data(); }

ProtobufCBinaryData ReportBuilder::bytes(const std::vector<uint8_t>& b) {
  auto& stored = blobs_.emplace_back(b);
  return ProtobufCBinaryData{stored.size(), stored.data()};
}

Rocrash__CrashReport__Processor* ReportBuilder::processor(uint64_t type, uint64_t subtype,
                                                          bool mach) {
  auto& p = processors_.emplace_back();
  rocrash__crash_report__processor__init(&p);
  p.has_encoding = mach;
  p.encoding = ROCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
  p.type = type;
  p.subtype = subtype;
  return &p;
}

Rocrash__CrashReport__Thread* ReportBuilder::addThread(bool crashed) {
  auto& t = threads_.emplace_back();
  rocrash__crash_report__thread__init(&t);
  t.thread_number = static_cast<uint32_t>(threadPtrs_.size());
  t.crashed = crashed;
  threadPtrs_.push_back(&t);
  report_.threads = threadPtrs_.data();
  report_.n_threads = threadPtrs_.size();
  return &t;
}

void ReportBuilder::clearThreads() {
  threadPtrs_.clear();
  report_.threads = nullptr;
  report_.n_threads = 0;
}

void ReportBuilder::clearImages() {
  imagePtrs_.clear();
  report_.binary_images = nullptr;
  report_.n_binary_images = 0;
}

void ReportBuilder::clearFrames(Rocrash__CrashReport__Thread* thread) {
  thread->frames = nullptr;
  thread->n_frames = 0;
}

Rocrash__CrashReport__Thread__StackFrame* ReportBuilder::frame(uint64_t pc, const char* symbol,
                                                               uint64_t start) {
  auto& f = frames_.emplace_back();
  rocrash__crash_report__thread__stack_frame__init(&f);
  f.pc = pc;
  if (symbol) {
    auto& s = symbols_.emplace_back();
    rocrash__crash_report__symbol__init(&s);
    s.name = text(symbol);
    s.start_address = start;
    f.symbol = &s;
  }
  return &f;
}

void ReportBuilder::addFrame(Rocrash__CrashReport__Thread* thread,
                             Rocrash__CrashReport__Thread__StackFrame* f) {
  // Each thread's frame array lives in its own vector, found by the thread.
  std::vector<Rocrash__CrashReport__Thread__StackFrame*>* list = nullptr;
  for (auto& v : framePtrs_) {
    if (!v.empty() && thread->frames == v.data()) list = &v;
  }
  if (!list) list = &framePtrs_.emplace_back();
  list->push_back(f);
  thread->frames = list->data();
  thread->n_frames = list->size();
}

void ReportBuilder::addRegister(Rocrash__CrashReport__Thread* thread, const char* name,
                                uint64_t value) {
  auto& r = registers_.emplace_back();
  rocrash__crash_report__thread__register_value__init(&r);
  r.name = name ? text(name) : nullptr;
  r.value = value;
  std::vector<Rocrash__CrashReport__Thread__RegisterValue*>* list = nullptr;
  for (auto& v : registerPtrs_) {
    if (!v.empty() && thread->registers == v.data()) list = &v;
  }
  if (!list) list = &registerPtrs_.emplace_back();
  list->push_back(&r);
  thread->registers = list->data();
  thread->n_registers = list->size();
}

Rocrash__CrashReport__BinaryImage* ReportBuilder::addImage(
    uint64_t base, uint64_t size, const char* name, std::vector<uint8_t> uuid,
    Rocrash__CrashReport__Processor* codeType) {
  auto& i = images_.emplace_back();
  rocrash__crash_report__binary_image__init(&i);
  i.base_address = base;
  i.size = size;
  i.name = name ? text(name) : nullptr;
  if (!uuid.empty()) {
    i.has_uuid = true;
    i.uuid = bytes(uuid);
  }
  i.code_type = codeType;
  imagePtrs_.push_back(&i);
  report_.binary_images = imagePtrs_.data();
  report_.n_binary_images = imagePtrs_.size();
  return &i;
}

Rocrash__CrashReport__Exception* ReportBuilder::setException(const char* name, const char* reason) {
  auto& e = exceptions_.emplace_back();
  rocrash__crash_report__exception__init(&e);
  e.name = name ? text(name) : nullptr;
  e.reason = reason ? text(reason) : nullptr;
  report_.exception = &e;
  return &e;
}

void ReportBuilder::addExceptionFrame(Rocrash__CrashReport__Thread__StackFrame* f) {
  auto& list = framePtrs_.emplace_back();
  if (report_.exception->frames) {
    list.assign(report_.exception->frames, report_.exception->frames + report_.exception->n_frames);
  }
  list.push_back(f);
  report_.exception->frames = list.data();
  report_.exception->n_frames = list.size();
}

Rocrash__CrashReport__Signal__MachException* ReportBuilder::setMachException(
    uint64_t type, std::vector<uint64_t> codes) {
  auto& m = machExceptions_.emplace_back();
  rocrash__crash_report__signal__mach_exception__init(&m);
  m.type = type;
  auto& stored = codes_.emplace_back(std::move(codes));
  m.codes = stored.data();
  m.n_codes = stored.size();
  signal.mach_exception = &m;
  return &m;
}

void fillMinimalReport(ReportBuilder& b) {
  b.system.has_operating_system = true;
  b.system.operating_system = ROCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__MAC_OS_X;
  b.system.architecture = ROCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN;
  b.system.timestamp = 1700000000;
  b.system.os_build = b.text("19H2");
  b.machine.model = b.text("MacBookPro16,1");
  b.machine.processor = b.processor(0x0100000C, 0);
  b.machine.processor_count = 8;
  b.machine.logical_processor_count = 16;
  b.report().machine_info = &b.machine;
  b.process.process_name = b.text("Demo");
  b.process.process_id = 4242;
  b.process.process_path = b.text("/Applications/Demo.app/Contents/MacOS/Demo");
  b.process.parent_process_name = b.text("launchd");
  b.process.parent_process_id = 1;
  b.process.native = true;
  b.process.has_start_time = true;
  b.process.start_time = 1699999000;
  b.report().process_info = &b.process;
  std::vector<uint8_t> uuid;
  for (uint8_t i = 0; i < 16; ++i) uuid.push_back(i);
  b.info.has_uuid = true;
  b.info.uuid = b.bytes(uuid);
  b.report().report_info = &b.info;
  auto* t = b.addThread(true);
  b.addFrame(t, b.frame(0x100001000));
  b.addImage(0x100000000, 0x4000, "/Applications/Demo.app/Contents/MacOS/Demo",
             {0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
             b.processor(0x0100000C, 0));
}

std::shared_ptr<ROCrashReport> decode(ReportBuilder& b) {
  std::shared_ptr<foundation::NSError> error;
  auto report = ROCrashReport::create(b.pack(), &error);
  EXPECT_TRUE(report) << (error ? error->localizedDescription() : std::string());
  return report;
}

namespace {

void appendVarint(std::vector<uint8_t>& out, uint64_t value) {
  for (; value >= 0x80; value >>= 7) out.push_back(static_cast<uint8_t>(value | 0x80));
  out.push_back(static_cast<uint8_t>(value));
}

// A length-delimited field.
void appendField(std::vector<uint8_t>& out, uint8_t number, const void* data, size_t size) {
  out.push_back(static_cast<uint8_t>(number << 3 | 2));
  appendVarint(out, size);
  out.insert(out.end(), static_cast<const uint8_t*>(data),
             static_cast<const uint8_t*>(data) + size);
}

}  // namespace

void ReportBuilder::setAnnotations(
    const std::vector<std::pair<std::string, std::string>>& annotations) {
  std::vector<uint8_t> entries;
  for (const auto& [name, value] : annotations) {
    std::vector<uint8_t> entry;
    appendField(entry, 1, name.data(), name.size());
    appendField(entry, 2, value.data(), value.size());
    appendField(entries, 1, entry.data(), entry.size());
  }
  annotations_.clear();
  appendField(annotations_, 11, entries.data(), entries.size());
}

std::vector<uint8_t> ReportBuilder::pack(uint8_t version) {
  std::vector<uint8_t> out = packReport(report_, version);
  out.insert(out.end(), annotations_.begin(), annotations_.end());
  return out;
}

}  // namespace rocrash::testing
