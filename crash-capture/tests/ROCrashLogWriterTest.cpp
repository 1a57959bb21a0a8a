#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "ThreadSanitizerFacts.h"
#include "baseTest/Children.h"
#include "baseTest/Handoff.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "crash_report.pb-c.h"
#include "images/AsyncObjCSection.h"
#include "objc/NSException.h"
#include "system/ImageEvents.h"
#include "system/SystemFacts.h"
#include "writer/ROCrashLogWriter.h"
#include "writer/ROCrashProcessInfo.h"

namespace {

rocrash_async_image_list* processImages() {
  static rocrash_async_image_list* list = [] {
    static rocrash_async_image_list l;
    rocrash_async_image_list_init(&l, sys::mach_task_self());
    rocrash_async_image_list_register_notifications(&l);
    return &l;
  }();
  sys::sync_loaded_images();
  return list;
}

class PinnedFacts : public sys::SystemFactSource {
 public:
  std::optional<std::string> text(const std::string& name) override {
    if (name == "hw.model") return model;
    return sys::SystemFactSource::text(name);
  }
  std::optional<int32_t> number(const std::string& name) override {
    if (name == "hw.cpusubtype") return subtype;
    if (name == "sysctl.proc_native") return nativeFlag;
    if (name == "hw.physicalcpu_max") return std::nullopt;
    return sys::SystemFactSource::number(name);
  }
  sys::OperatingSystem operatingSystem() override { return os; }
  std::optional<std::string> bootId() override { return boot; }

  std::optional<std::string> model = "TestMachine1,1";
  std::optional<std::string> boot = "6c1f0a52-93b4-4c2e-8d55-0e2f7a9b1c3d";
  std::optional<int32_t> subtype = static_cast<int32_t>(0x80000002u);
  std::optional<int32_t> nativeFlag = 1;
  sys::OperatingSystem os = {"TestOS", "14.2", "21A559"};
};

struct Report {
  std::vector<uint8_t> bytes;
  Rocrash__CrashReport* message = nullptr;
  ~Report() {
    if (message) rocrash__crash_report__free_unpacked(message, nullptr);
  }
};

// The field numbers of the top-level message, in the order they were written.
std::vector<uint32_t> topLevelFields(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> fields;
  size_t pos = 8;
  auto varint = [&] {
    uint64_t v = 0;
    for (int shift = 0; pos < bytes.size(); shift += 7) {
      uint8_t b = bytes[pos++];
      v |= uint64_t{b & 0x7Fu} << shift;
      if (!(b & 0x80)) break;
    }
    return v;
  };
  while (pos < bytes.size()) {
    uint64_t tag = varint();
    fields.push_back(static_cast<uint32_t>(tag >> 3));
    EXPECT_EQ(tag & 7, 2u) << "every top-level field is length-delimited";
    pos += varint();
  }
  return fields;
}

class ROCrashLogWriter : public ::testing::Test {
 public:
  void SetUp() override {
    facts_ = std::make_shared<PinnedFacts>();
    sys::installSystemFactSource(facts_);
    images_ = processImages();
  }
  void TearDown() override {
    sys::installSystemFactSource(nullptr);
    if (initialized_) rocrash_log_writer_free(&writer_);
  }
  void init(uint32_t strategy = 0, std::optional<std::string> marketing = "1.2") {
    ASSERT_EQ(
        rocrash_log_writer_init(&writer_, "com.example.app", "42", marketing, strategy, false),
        ROCRASH_ERR_NONE);
    initialized_ = true;
  }
  // Writes to a temporary file and unpacks the result.
  void write(Report* report, sys::thread_t crashed, const rocrash_async_thread_state* current,
             const rocrash_log_crash_info* info = nullptr, uint64_t* allocations = nullptr,
             uint64_t limit = 1 << 20) {
    char path[] = "/tmp/rocrash_writer_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    rocrash_async_file file;
    rocrash_async_file_init(&file, fd, limit);
    rocrash_async_siginfo si = {SIGSEGV, SEGV_MAPERR, 0x10};
    rocrash_log_crash_info defaultInfo = {&si, nullptr};
    // The write runs on this thread alone; threads of the test program that
    // are starting up meanwhile allocate on their own account.
    if (allocations) rocrash::testing::startCountingAllocations(/*thisThreadOnly=*/true);
    rocrash_error_t result = rocrash_log_writer_write(&writer_, crashed, images_, &file,
                                                      info ? info : &defaultInfo, current);
    if (allocations) *allocations = rocrash::testing::stopCountingAllocations();
    EXPECT_EQ(result, ROCRASH_ERR_NONE);
    EXPECT_TRUE(rocrash_async_file_close(&file));
    std::ifstream in(path, std::ios::binary);
    report->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    unlink(path);
    ASSERT_GT(report->bytes.size(), 8u);
    EXPECT_EQ(std::string(report->bytes.begin(), report->bytes.begin() + 8),
              std::string("rocrash\x01", 8));
    report->message =
        rocrash__crash_report__unpack(nullptr, report->bytes.size() - 8, report->bytes.data() + 8);
    ASSERT_NE(report->message, nullptr);
  }

  std::shared_ptr<PinnedFacts> facts_;
  rocrash_async_image_list* images_ = nullptr;
  rocrash_log_writer writer_;
  bool initialized_ = false;
};

struct LiveWrite {
  ROCrashLogWriter* test;
  Report* report;
  uint64_t allocations = 0;
  const rocrash_log_crash_info* info = nullptr;
  uint64_t limit = 1 << 20;
};

// Writes with the calling thread as the crashed one, from its current state.
__attribute__((noinline)) void writeHere(ROCrashLogWriter* test, Report* report,
                                         const rocrash_log_crash_info* info = nullptr,
                                         uint64_t* allocations = nullptr, uint64_t limit = 1 << 20);

rocrash_error_t writeFromState(rocrash_async_thread_state* state, void* context) {
  auto* live = static_cast<LiveWrite*>(context);
  live->test->write(live->report, sys::mach_thread_self(), state, live->info, &live->allocations,
                    live->limit);
  return ROCRASH_ERR_NONE;
}

void writeHere(ROCrashLogWriter* test, Report* report, const rocrash_log_crash_info* info,
               uint64_t* allocations, uint64_t limit) {
  LiveWrite live{test, report, 0, info, limit};
  EXPECT_EQ(rocrash_async_thread_state_current(writeFromState, &live), ROCRASH_ERR_NONE);
  if (allocations) *allocations = live.allocations;
  asm volatile("" ::: "memory");
}

TEST_F(ROCrashLogWriter, WritesEverySectionInOrderWithTheGatheredFacts) {
  init();
  std::vector<uint8_t> custom = {1, 2, 3};
  rocrash_log_writer_set_custom_data(&writer_, &custom);
  Report report;
  writeHere(this, &report);
  auto* m = report.message;

  EXPECT_EQ(topLevelFields(report.bytes).front(), 9u);
  auto fields = topLevelFields(report.bytes);
  std::vector<uint32_t> order;
  for (auto f : fields) {
    if (order.empty() || order.back() != f) order.push_back(f);
  }
  EXPECT_EQ(order, (std::vector<uint32_t>{9, 1, 8, 2, 7, 3, 4, 6, 10, 11}));

  ASSERT_NE(m->report_info, nullptr);
  EXPECT_FALSE(m->report_info->user_requested);
  ASSERT_TRUE(m->report_info->has_uuid);
  EXPECT_EQ(m->report_info->uuid.len, 16u);

  EXPECT_EQ(m->system_info->operating_system,
            ROCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__MAC_OS_X);
  EXPECT_STREQ(m->system_info->os_version, "14.2");
  EXPECT_STREQ(m->system_info->os_build, "21A559");
  EXPECT_EQ(m->system_info->architecture, ROCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN);
  EXPECT_NEAR(static_cast<double>(m->system_info->timestamp), static_cast<double>(time(nullptr)),
              5);

  EXPECT_STREQ(m->machine_info->model, "TestMachine1,1");
  EXPECT_EQ(m->machine_info->processor->type, 0x01000007u);
  EXPECT_EQ(m->machine_info->processor->subtype, 0xFFFFFFFF80000002ULL);  // sign-extended
  EXPECT_EQ(m->machine_info->processor_count, 0u);                        // query failed
  EXPECT_GE(m->machine_info->logical_processor_count, 1u);

  EXPECT_STREQ(m->application_info->identifier, "com.example.app");
  EXPECT_STREQ(m->application_info->version, "42");
  EXPECT_STREQ(m->application_info->marketing_version, "1.2");

  EXPECT_EQ(m->process_info->process_id, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(m->process_info->parent_process_id, static_cast<uint32_t>(getppid()));
  EXPECT_STREQ(m->process_info->process_path, sys::systemFacts()->executablePath()->c_str());
  EXPECT_GT(strlen(m->process_info->process_name), 0u);
  EXPECT_TRUE(m->process_info->native);
  EXPECT_TRUE(m->process_info->has_start_time);
  EXPECT_STREQ(m->process_info->boot_id, facts_->boot->c_str());
  ASSERT_TRUE(m->process_info->has_start_ticks);
  EXPECT_EQ(m->process_info->start_ticks, sys::systemFacts()->currentProcess()->startTicks);
  EXPECT_FALSE(m->process_info->has_forked_from_process_id);
  EXPECT_FALSE(m->process_info->has_forked_from_start_ticks);

  ASSERT_TRUE(m->has_custom_data);
  EXPECT_EQ(std::vector<uint8_t>(m->custom_data.data, m->custom_data.data + m->custom_data.len),
            custom);
  EXPECT_STREQ(m->signal->name, "SIGSEGV");
  EXPECT_STREQ(m->signal->code, "SEGV_MAPERR");
  EXPECT_EQ(m->signal->address, 0x10u);
  EXPECT_EQ(m->signal->mach_exception, nullptr);
  EXPECT_EQ(m->exception, nullptr);
  // No annotation is set: the field is there, without entries.
  ASSERT_NE(m->annotations, nullptr);
  EXPECT_EQ(m->annotations->n_entries, 0u);

  // The decoder accepts it whole.
  std::shared_ptr<foundation::NSError> error;
  EXPECT_TRUE(ROCrashReport::create(report.bytes, &error))
      << (error ? error->localizedDescription() : "");
}

TEST_F(ROCrashLogWriter, OnlyTheCrashedThreadCarriesRegistersAndTheWalkStartsAtTheCaller) {
  init();
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::thread worker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return done; });
  });
  Report report;
  writeHere(this, &report);
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  cv.notify_all();
  worker.join();

  auto* m = report.message;
  ASSERT_GE(m->n_threads, 2u);
  int crashed = 0;
  size_t unparked = 0;  // listed without even their interrupted pc
  for (size_t i = 0; i < m->n_threads; ++i) {
    auto* t = m->threads[i];
    EXPECT_EQ(t->thread_number, i);
    if (t->crashed) {
      ++crashed;
      ASSERT_EQ(t->n_registers, 21u);
      EXPECT_STREQ(t->registers[0]->name, "rip");
      EXPECT_STREQ(t->registers[20]->name, "gs");
      ASSERT_GE(t->n_frames, 2u);
      EXPECT_EQ(t->frames[0]->pc, t->registers[0]->value);
      // Frame 0 is the return into writeHere.
      EXPECT_GT(t->frames[0]->pc, reinterpret_cast<uint64_t>(&writeHere));
      EXPECT_LT(t->frames[0]->pc, reinterpret_cast<uint64_t>(&writeHere) + 1024);
    } else {
      EXPECT_EQ(t->n_registers, 0u);
      if (t->n_frames == 0) ++unparked;
    }
    for (size_t f = 0; f < t->n_frames; ++f) EXPECT_EQ(t->frames[f]->symbol, nullptr);
  }
  EXPECT_EQ(crashed, 1);
  EXPECT_EQ(unparked, rocrash::testing::kSanitizerThreadsThatNeverPark)
      << "a parked thread has at least its interrupted pc";
}

TEST_F(ROCrashLogWriter, WithoutACurrentStateTheCallerIsLeftOutAndNumbersStayGapFree) {
  init();
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::thread a([&] {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return done; });
  });
  std::thread b([&] {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return done; });
  });
  sys::thread_t threads[64];
  uint32_t before = 0;
  EXPECT_EQ(sys::task_threads(sys::mach_task_self(), threads, 64, &before), sys::KERN_SUCCESS);
  Report report;
  write(&report, 0, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  cv.notify_all();
  a.join();
  b.join();
  auto* m = report.message;
  EXPECT_EQ(m->n_threads, before - 1);
  for (size_t i = 0; i < m->n_threads; ++i) {
    EXPECT_EQ(m->threads[i]->thread_number, i);
    EXPECT_FALSE(m->threads[i]->crashed);
  }
}

TEST_F(ROCrashLogWriter, CrashedThreadWithoutAReadableStateHasNeitherRegistersNorFrames) {
  init();
  // A thread that never parks: the parking signal is blocked in it.
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::atomic<sys::thread_t> tid{0};
  std::thread stubborn([&] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sys::thread_parking_signal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    base::testing::announce(tid, sys::mach_thread_self());
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return done; });
  });
  base::testing::awaitChange(tid, 0);
  Report report;
  write(&report, tid, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  cv.notify_all();
  stubborn.join();
  int crashed = 0;
  for (size_t i = 0; i < report.message->n_threads; ++i) {
    auto* t = report.message->threads[i];
    if (!t->crashed) continue;
    ++crashed;
    EXPECT_EQ(t->n_registers, 0u);
    EXPECT_EQ(t->n_frames, 0u);
  }
  EXPECT_EQ(crashed, 1);
}

__attribute__((noinline)) void recurseThenWrite(int depth, ROCrashLogWriter* test, Report* report) {
  if (depth == 0) {
    writeHere(test, report);
  } else {
    recurseThenWrite(depth - 1, test, report);
  }
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void recurseThen(int depth, const std::function<void()>& body) {
  if (depth == 0) {
    body();
  } else {
    recurseThen(depth - 1, body);
  }
  asm volatile("" ::: "memory");
}

// Frames of the crashed thread and of all the others together.
std::pair<size_t, size_t> frameCounts(const Report& report) {
  std::pair<size_t, size_t> counts;
  for (size_t i = 0; i < report.message->n_threads; ++i) {
    auto* t = report.message->threads[i];
    (t->crashed ? counts.first : counts.second) += t->n_frames;
  }
  return counts;
}

TEST_F(ROCrashLogWriter, ReportThatWouldPassTheLimitCutsOtherThreadsFramesAndStaysWhole) {
  init();
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  int waiting = 0;
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i) {
    workers.emplace_back([&] {
      recurseThen(20, [&] {
        std::unique_lock<std::mutex> lock(mutex);
        ++waiting;
        cv.notify_all();
        cv.wait(lock, [&] { return done; });
      });
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return waiting == 3; });
  }
  Report full, cut, withoutCustomData, withoutAnnotations;
  writeHere(this, &full);
  const uint64_t limit = full.bytes.size() - 100;
  writeHere(this, &cut, nullptr, nullptr, limit);
  // Custom data that cannot fit beside even the crashed thread alone.
  std::vector<uint8_t> custom(full.bytes.size());
  rocrash_log_writer_set_custom_data(&writer_, &custom);
  writeHere(this, &withoutCustomData, nullptr, nullptr, full.bytes.size() + 100);
  // Then annotations that cannot fit beside it either.
  const char* names[] = {"session", "user", "race", "other"};
  for (const char* name : names) {
    ASSERT_TRUE(ROReradUzerirud::setAnnotation(name, std::string(4096, 'a')));
  }
  writeHere(this, &withoutAnnotations, nullptr, nullptr, full.bytes.size() + 100);
  for (const char* name : names) ROReradUzerirud::removeAnnotation(name);
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  cv.notify_all();
  for (auto& w : workers) w.join();

  auto [crashedFrames, otherFrames] = frameCounts(full);
  EXPECT_LE(cut.bytes.size(), limit);
  EXPECT_EQ(frameCounts(cut).first, crashedFrames);
  EXPECT_LT(frameCounts(cut).second, otherFrames);
  EXPECT_GT(frameCounts(cut).second, 0u);
  EXPECT_FALSE(withoutCustomData.message->has_custom_data);
  EXPECT_EQ(frameCounts(withoutCustomData).first, crashedFrames);
  ASSERT_TRUE(withoutAnnotations.message);
  EXPECT_FALSE(withoutAnnotations.message->annotations);
  EXPECT_EQ(frameCounts(withoutAnnotations).first, crashedFrames);
}

TEST_F(ROCrashLogWriter, DeepStackIsCutAt512Frames) {
  init();
  Report report;
  recurseThenWrite(600, this, &report);
  for (size_t i = 0; i < report.message->n_threads; ++i) {
    if (report.message->threads[i]->crashed) {
      EXPECT_EQ(report.message->threads[i]->n_frames, 512u);
    }
  }
}

TEST(AllocationCounter, SeesAnAllocation) {
  rocrash::testing::startCountingAllocations();
  void* volatile p = malloc(32);
  uint64_t count = rocrash::testing::stopCountingAllocations();
  free(p);
  EXPECT_GE(count, 1u);
}

TEST(AllocationCounter, OneThreadCountIgnoresOtherThreads) {
  rocrash::testing::startCountingAllocations(/*thisThreadOnly=*/true);
  std::thread other([] {
    for (int i = 0; i < 100; ++i) {
      void* volatile p = malloc(32);
      free(p);
    }
  });
  other.join();
  // Starting the thread may allocate a record or two here, but none of the
  // other thread's hundred allocations count.
  EXPECT_LT(rocrash::testing::stopCountingAllocations(), 100u);
}

TEST_F(ROCrashLogWriter, WritingAllocatesNothing) {
  init(ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE);
  std::vector<uint8_t> custom(100, 7);
  rocrash_log_writer_set_custom_data(&writer_, &custom);
  ASSERT_TRUE(ROReradUzerirud::setAnnotation("session", "S"));
  // A worker that is up and waiting, so that it is parked for the write.
  std::mutex mutex;
  std::condition_variable cv;
  bool started = false, done = false;
  std::thread worker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    started = true;
    cv.notify_all();
    cv.wait(lock, [&] { return done; });
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return started; });
  }
  Report report;
  uint64_t allocations = 99;
  writeHere(this, &report, nullptr, &allocations);
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  cv.notify_all();
  worker.join();
  ROReradUzerirud::removeAnnotation("session");
  EXPECT_EQ(allocations, 0u);
  ASSERT_NE(report.message->annotations, nullptr);
  ASSERT_EQ(report.message->annotations->n_entries, 1u);
  EXPECT_STREQ(report.message->annotations->entries[0]->name, "session");
  EXPECT_STREQ(report.message->annotations->entries[0]->value, "S");
}

TEST_F(ROCrashLogWriter, SymbolsAreWrittenOnlyWhenSymbolicationIsOn) {
  init(ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE);
  Report report;
  writeHere(this, &report);
  const Rocrash__CrashReport__Thread* crashed = nullptr;
  for (size_t i = 0; i < report.message->n_threads; ++i) {
    if (report.message->threads[i]->crashed) crashed = report.message->threads[i];
  }
  ASSERT_NE(crashed, nullptr);
  ASSERT_GE(crashed->n_frames, 2u);
  auto* symbol = crashed->frames[0]->symbol;
  ASSERT_NE(symbol, nullptr);
  EXPECT_NE(std::string(symbol->name).find("writeHere"), std::string::npos) << symbol->name;
  EXPECT_EQ(symbol->start_address, reinterpret_cast<uint64_t>(&writeHere));
  EXPECT_FALSE(symbol->has_end_address);
}

TEST_F(ROCrashLogWriter, SignalWithoutNamesAndMachExceptionCodes) {
  init();
  rocrash_async_siginfo si = {SIGRTMIN + 1, -2147483647 - 1, 0xDEAD};
  uint64_t codes[] = {1, 0xDEAD, 0xFFFFFFFFFFFFFFFFULL};
  rocrash_log_mach_exception_info mach = {1, codes, 3};
  rocrash_log_crash_info info = {&si, &mach};
  Report report;
  write(&report, 0, nullptr, &info);
  auto* s = report.message->signal;
  EXPECT_EQ(std::string(s->name), "#" + std::to_string(SIGRTMIN + 1));
  EXPECT_STREQ(s->code, "#-2147483648");
  ASSERT_NE(s->mach_exception, nullptr);
  EXPECT_EQ(s->mach_exception->type, 1u);
  ASSERT_EQ(s->mach_exception->n_codes, 3u);
  EXPECT_EQ(s->mach_exception->codes[2], 0xFFFFFFFFFFFFFFFFULL);
}

TEST_F(ROCrashLogWriter, ExceptionWithoutReasonOrStackAndAbsentMarketingVersion) {
  init(0, std::nullopt);
  auto exception = objc::NSException::exceptionWithName("NSRangeException", "");
  rocrash_log_writer_set_exception(&writer_, exception.get());
  Report report;
  write(&report, 0, nullptr);
  auto* e = report.message->exception;
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->name, "NSRangeException");
  EXPECT_STREQ(e->reason, "");
  EXPECT_EQ(e->n_frames, 0u);
  EXPECT_STREQ(report.message->application_info->marketing_version, "");
  EXPECT_FALSE(report.message->has_custom_data);
}

TEST_F(ROCrashLogWriter, RaisedExceptionKeepsItsReturnAddresses) {
  init();
  objc::Ref<objc::NSException> caught;
  try {
    objc::NSException::raise("NSGenericException", "boom");
  } catch (const objc::Ref<objc::NSException>& e) {
    caught = e;
  }
  ASSERT_TRUE(caught);
  rocrash_log_writer_set_exception(&writer_, caught.get());
  auto addresses = caught->callStackReturnAddresses();
  Report report;
  write(&report, 0, nullptr);
  auto* e = report.message->exception;
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->reason, "boom");
  ASSERT_EQ(e->n_frames, std::min<size_t>(addresses.size(), 512));
  for (size_t i = 0; i < e->n_frames; ++i) EXPECT_EQ(e->frames[i]->pc, addresses[i]);
}

// A function whose last instruction is a call that never returns: the
// return address it leaves is past its end.
uint64_t gReturnPastTheEnd = 0;
[[noreturn]] __attribute__((noinline)) void recordReturnAndLeave() {
  gReturnPastTheEnd = reinterpret_cast<uint64_t>(__builtin_return_address(0));
  throw 1;
}
__attribute__((noinline)) void endsInACallThatNeverReturns() { recordReturnAndLeave(); }

TEST_F(ROCrashLogWriter, ReturnAddressesAreNamedFromTheirCall) {
  init(ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE);
  try {
    endsInACallThatNeverReturns();
  } catch (int) {
  }
  ASSERT_NE(gReturnPastTheEnd, 0u);
  auto& e = writer_.uncaught_exception;
  e.has_exception = true;
  e.name = strdup("NSGenericException");
  e.reason = strdup("");
  e.callstack = static_cast<uint64_t*>(malloc(sizeof(uint64_t)));
  e.callstack[0] = gReturnPastTheEnd;
  e.callstack_count = 1;
  Report report;
  write(&report, 0, nullptr);
  ASSERT_NE(report.message->exception, nullptr);
  ASSERT_EQ(report.message->exception->n_frames, 1u);
  const auto* frame = report.message->exception->frames[0];
  EXPECT_EQ(frame->pc, gReturnPastTheEnd);
  ASSERT_NE(frame->symbol, nullptr);
  EXPECT_NE(std::string(frame->symbol->name).find("endsInACallThatNeverReturns"), std::string::npos)
      << frame->symbol->name;
}

TEST_F(ROCrashLogWriter, SecondExceptionStopsTheProcess) {
  init();
  auto exception = objc::NSException::exceptionWithName("A", "a");
  rocrash_log_writer_set_exception(&writer_, exception.get());
  EXPECT_DEATH(rocrash_log_writer_set_exception(&writer_, exception.get()),
               "writer->uncaught_exception.has_exception == false");
}

TEST_F(ROCrashLogWriter, SystemVersionIsTakenAsItIsAndMissingFactsStayOut) {
  facts_->os.version = "22.04";
  facts_->nativeFlag = 0;
  facts_->model = std::nullopt;
  facts_->os.build = std::nullopt;
  facts_->boot = std::nullopt;
  init();
  EXPECT_STREQ(writer_.system_info.version.str, "22.04");
  EXPECT_EQ(writer_.system_info.version.len, 5u);
  EXPECT_FALSE(writer_.process_info.native);
  EXPECT_EQ(writer_.machine_info.model.str, nullptr);
  Report report;
  write(&report, 0, nullptr);
  EXPECT_EQ(report.message->machine_info->model, nullptr);  // omitted
  EXPECT_STREQ(report.message->system_info->os_build, "");  // always written
  EXPECT_EQ(report.message->process_info->boot_id, nullptr);
}

// A child forked after set-up writes its own start, and names the process it
// was forked from as set-up knew it.
TEST_F(ROCrashLogWriter, AForkedChildNamesItselfAndTheProcessItWasForkedFrom) {
  init();
  char path[] = "/tmp/rocrash_forked_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const int status = base::testing::inChild([&] {
    if (!rocrash_log_writer_adopt_process(&writer_)) return 1;
    Report report;
    writeHere(this, &report);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(report.bytes.data()),
               static_cast<std::streamsize>(report.bytes.size()));
    return 0;
  });
  ASSERT_EQ(status, 0);
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  unlink(path);
  ASSERT_GT(bytes.size(), 8u);
  auto* m = rocrash__crash_report__unpack(nullptr, bytes.size() - 8, bytes.data() + 8);
  ASSERT_NE(m, nullptr);
  const auto* p = m->process_info;
  EXPECT_NE(p->process_id, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(p->parent_process_id, static_cast<uint32_t>(getpid()));
  EXPECT_STREQ(p->boot_id, facts_->boot->c_str());
  // The child started after this process, on the clock a step of the wall
  // clock does not move.
  EXPECT_TRUE(p->has_start_ticks);
  EXPECT_GE(p->start_ticks, writer_.process_info.start_ticks);
  ASSERT_TRUE(p->has_forked_from_process_id && p->has_forked_from_start_ticks);
  EXPECT_EQ(p->forked_from_process_id, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(p->forked_from_start_ticks, sys::systemFacts()->currentProcess()->startTicks);
  rocrash__crash_report__free_unpacked(m, nullptr);
}

class MissingProcess : public sys::SystemFactSource {
 public:
  std::optional<sys::ProcessRecord> currentProcess() override { return std::nullopt; }
  std::optional<sys::ProcessRecord> parentProcess() override { return std::nullopt; }
  std::optional<sys::ProcessRecord> process(pid_t) override { return std::nullopt; }
};

TEST(ROCrashLogWriterSetUp, FailsWithoutASnapshotOfThisProcess) {
  sys::installSystemFactSource(std::make_shared<MissingProcess>());
  rocrash_log_writer writer;
  EXPECT_EQ(rocrash_log_writer_init(&writer, "id", "1", std::nullopt, 0, true), ROCRASH_ERR_INVAL);
  sys::installSystemFactSource(nullptr);
  rocrash_log_writer_free(&writer);
}

std::vector<uint8_t> packed(uint32_t field, uint32_t type, const void* value) {
  char path[] = "/tmp/rocrash_pack_XXXXXX";
  int fd = mkstemp(path);
  rocrash_async_file file;
  rocrash_async_file_init(&file, fd, 0);
  size_t size = rocrash_writer_pack(&file, field, type, value);
  EXPECT_EQ(rocrash_writer_pack(nullptr, field, type, value), size);
  rocrash_async_file_close(&file);
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  unlink(path);
  EXPECT_EQ(bytes.size(), size);
  return bytes;
}

TEST(RocrashWriterPack, EncodesEachTypeAsTheWireFormatSays) {
  int32_t minusOne = -1;
  EXPECT_EQ(
      packed(1, ROCRASH_PROTOBUF_TYPE_INT32, &minusOne),
      (std::vector<uint8_t>{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
  EXPECT_EQ(packed(1, ROCRASH_PROTOBUF_TYPE_SINT32, &minusOne), (std::vector<uint8_t>{0x08, 0x01}));
  int64_t minusTwo = -2;
  EXPECT_EQ(packed(1, ROCRASH_PROTOBUF_TYPE_SINT64, &minusTwo), (std::vector<uint8_t>{0x08, 0x03}));
  uint32_t u300 = 300;
  EXPECT_EQ(packed(2, ROCRASH_PROTOBUF_TYPE_UINT32, &u300),
            (std::vector<uint8_t>{0x10, 0xAC, 0x02}));
  uint32_t fixed = 0x01020304;
  EXPECT_EQ(packed(3, ROCRASH_PROTOBUF_TYPE_FIXED32, &fixed),
            (std::vector<uint8_t>{0x1D, 0x04, 0x03, 0x02, 0x01}));
  uint64_t fixed64 = 0x0102030405060708ULL;
  EXPECT_EQ(packed(1, ROCRASH_PROTOBUF_TYPE_FIXED64, &fixed64),
            (std::vector<uint8_t>{0x09, 8, 7, 6, 5, 4, 3, 2, 1}));
  bool yes = true;
  EXPECT_EQ(packed(6, ROCRASH_PROTOBUF_TYPE_BOOL, &yes), (std::vector<uint8_t>{0x30, 0x01}));
  EXPECT_EQ(packed(1, ROCRASH_PROTOBUF_TYPE_STRING, "abc"),
            (std::vector<uint8_t>{0x0A, 3, 'a', 'b', 'c'}));
  uint8_t raw[] = {9, 8};
  rocrash_protobuf_bytes bytes = {2, raw};
  EXPECT_EQ(packed(4, ROCRASH_PROTOBUF_TYPE_BYTES, &bytes), (std::vector<uint8_t>{0x22, 2, 9, 8}));
  uint32_t length = 200;
  EXPECT_EQ(packed(3, ROCRASH_PROTOBUF_TYPE_MESSAGE, &length),
            (std::vector<uint8_t>{0x1A, 0xC8, 0x01}));
  uint64_t big = 1;
  EXPECT_EQ(packed(1u << 29, ROCRASH_PROTOBUF_TYPE_UINT64, &big),
            (std::vector<uint8_t>{0x80, 0x80, 0x80, 0x80, 0x10, 0x01}));
}

TEST(RocrashWriterPack, UnknownTypeStopsTheProcess) {
  uint32_t value = 0;
  EXPECT_DEATH(rocrash_writer_pack(nullptr, 1, 17, &value),
               "Fatal error: unknown protocol-buffer field type");
}

TEST(ROCrashProcessInfo, CommandNameIsCutAtTheFirstInvalidUtf8) {
  const uint8_t ok[] = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0};
  EXPECT_EQ(rocrash_utf8_valid_prefix_length(ok, sizeof ok), 10u);
  const uint8_t bom[] = {0xEF, 0xBB, 0xBF, 'x'};
  EXPECT_EQ(rocrash_utf8_valid_prefix_length(bom, sizeof bom), 4u);
  const uint8_t badLead[] = {'a', 'b', 0xFF, 'c'};
  EXPECT_EQ(rocrash_utf8_valid_prefix_length(badLead, sizeof badLead), 2u);
  const uint8_t cut[] = {'a', 0xE2, 0x82};
  EXPECT_EQ(rocrash_utf8_valid_prefix_length(cut, sizeof cut), 1u);
  const uint8_t badContinuation[] = {'a', 0xC3, 'b'};
  EXPECT_EQ(rocrash_utf8_valid_prefix_length(badContinuation, sizeof badContinuation), 1u);
  const uint8_t stray[] = {0x80, 'a'};
  EXPECT_EQ(rocrash_utf8_valid_prefix_length(stray, sizeof stray), 0u);
  // Overlong forms, a surrogate, past U+10FFFF, and a leader beyond F4; the
  // highest and lowest that pass.
  for (const std::vector<uint8_t>& bad : {std::vector<uint8_t>{0xC0, 0x80},
                                          {0xC1, 0xBF},
                                          {0xE0, 0x80, 0xAF},
                                          {0xED, 0xA0, 0x80},
                                          {0xF0, 0x8F, 0xBF, 0xBF},
                                          {0xF4, 0x90, 0x80, 0x80},
                                          {0xF7, 0xBF, 0xBF, 0xBF}}) {
    EXPECT_EQ(rocrash_utf8_valid_prefix_length(bad.data(), bad.size()), 0u) << int(bad[0]);
  }
  const uint8_t edges[] = {0xC2, 0x80, 0xE0, 0xA0, 0x80, 0xED, 0x9F, 0xBF,
                           0xF0, 0x90, 0x80, 0x80, 0xF4, 0x8F, 0xBF, 0xBF};
  EXPECT_EQ(rocrash_utf8_valid_prefix_length(edges, sizeof edges), sizeof edges);

  auto self = ROCrashProcessInfo::currentProcessInfo();
  ASSERT_TRUE(self);
  EXPECT_EQ(self->processID(), getpid());
  EXPECT_EQ(self->parentProcessID(), getppid());
  EXPECT_TRUE(self->processName().has_value());
  EXPECT_GT(self->startTime().seconds, 0);
  EXPECT_EQ(ROCrashProcessInfo::initWithProcessID(0x7FFFFFF0), nullptr);
}

}  // namespace
