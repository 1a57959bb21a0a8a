#include "system/ThreadStacks.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ThreadsInternal.h"
#include "system/Task.h"
#include "system/Threads.h"

namespace sys {
namespace {

// A stack's life: claimed while it is being filled in, offered to an
// existing thread, installed on its thread, or declined (the thread had one).
enum StackState : int32_t {
  kFree = 0,
  kClaimed = 1,
  kOffered = 2,
  kInstalled = 3,
  kDeclined = 4,
};

struct StackSlot {
  std::atomic<int32_t> state{kFree};
  std::atomic<int32_t> tid{0};
  void* mapping = nullptr;
  size_t mappingSize = 0;
};

StackSlot gStacks[kThreadCapacity];
std::atomic<size_t> gStackSize{0};

// Set once the fault signals are to stay deliverable (see ThreadStacks.h).
std::atomic<bool> gKeepFaultsDeliverable{false};

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS};

void removeFaultSignals(sigset_t* set) {
  for (int s : kFaultSignals) sigdelset(set, s);
}

// Keeps errno as the interrupted or calling code left it.
class ErrnoGuard {
 public:
  ErrnoGuard() : saved_(errno) {}
  ~ErrnoGuard() { errno = saved_; }

 private:
  int saved_;
};

size_t pageSize() { return static_cast<size_t>(vm_page_size()); }

// A mapping of `size` usable bytes (rounded up to pages) above an
// inaccessible guard page; null when there is no memory. `*total` gets the
// mapping's whole size.
void* mapStack(size_t size, size_t* total) {
  size_t page = pageSize();
  size_t usable = (size + page - 1) / page * page;
  *total = usable + page;
  void* mapping = mmap(nullptr, *total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  mprotect(mapping, page, PROT_NONE);
  return mapping;
}

// A stack of `size` usable bytes, filed in a slot claimed for `tid`. Null
// when there is no memory or no free slot.
StackSlot* newStack(thread_t tid, size_t size) {
  size_t total = 0;
  void* mapping = mapStack(size, &total);
  if (mapping == nullptr) return nullptr;
  for (auto& slot : gStacks) {
    int32_t expected = kFree;
    if (slot.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) {
      slot.mapping = mapping;
      slot.mappingSize = total;
      slot.tid.store(tid, std::memory_order_release);
      return &slot;
    }
  }
  munmap(mapping, total);
  return nullptr;
}

void releaseSlot(StackSlot* slot) {
  munmap(slot->mapping, slot->mappingSize);
  slot->mapping = nullptr;
  slot->mappingSize = 0;
  slot->tid.store(0, std::memory_order_relaxed);
  slot->state.store(kFree, std::memory_order_release);
}

stack_t stackOf(const StackSlot& slot) {
  stack_t stack;
  stack.ss_sp = static_cast<char*>(slot.mapping) + pageSize();
  stack.ss_size = slot.mappingSize - pageSize();
  stack.ss_flags = 0;
  return stack;
}

bool hasAlternateStack() {
  stack_t current;
  return sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
}

// Installs the slot's stack on the calling thread unless it has one; the
// slot ends installed or declined. In a signal handler, `interrupted` is the
// handler's context: the return from the handler sets the alternate stack
// its context holds, so that is where the stack must go.
void takeStack(StackSlot* slot, ucontext_t* interrupted = nullptr) {
  stack_t stack = stackOf(*slot);
  bool installed = !hasAlternateStack() && sigaltstack(&stack, nullptr) == 0;
  if (installed && interrupted != nullptr) interrupted->uc_stack = stack;
  slot->state.store(installed ? kInstalled : kDeclined, std::memory_order_release);
}

// The start routine and argument a thread was created with, and the
// alternate stack it took as it started (none when it had one, or stacks
// were not enabled yet). It lives as long as the thread: the argument may be
// the only reference to memory the thread owns, and leak checkers find it
// through the record. A thread's own stack is kept here rather than in a
// slot, so that every thread started after enabling has one, however many
// there are.
struct StartRecord {
  void* (*start)(void*);
  void* arg;
  void* stack;
  size_t stackMapping;
  int destructorRounds;
};

// At the end of a thread: gives back the stack of `record` and every stack
// filed for the thread, taking its own off first.
void releaseOwnStacks(StartRecord* record) {
  ErrnoGuard errnoGuard;
  // An offer arriving now would race the release.
  sigset_t parking;
  sigemptyset(&parking);
  sigaddset(&parking, thread_parking_signal());
  pthread_sigmask(SIG_BLOCK, &parking, nullptr);
  const thread_t self = mach_thread_self();
  stack_t current;
  bool haveCurrent = sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
  auto takeOff = [&](void* sp) {
    if (haveCurrent && current.ss_sp == sp) {
      stack_t off = {};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
      haveCurrent = false;
    }
  };
  if (record->stack != nullptr) {
    takeOff(static_cast<char*>(record->stack) + pageSize());
    munmap(record->stack, record->stackMapping);
    record->stack = nullptr;
  }
  for (auto& slot : gStacks) {
    if (slot.tid.load(std::memory_order_acquire) != self) continue;
    int32_t state = slot.state.load(std::memory_order_acquire);
    if (state != kInstalled && state != kOffered && state != kDeclined) continue;
    if (!slot.state.compare_exchange_strong(state, kClaimed, std::memory_order_acq_rel)) continue;
    takeOff(stackOf(slot).ss_sp);
    releaseSlot(&slot);
  }
}

// A thread's end runs its thread_local destructors, then its keys'
// destructors in rounds (as long as one of them sets a value again, up to
// PTHREAD_DESTRUCTOR_ITERATIONS). The stack is given back in the last round,
// so that a stack overflow in any of those destructors still finds it.
pthread_key_t gEndKey;

void endOfThread(void* value) {
  auto* record = static_cast<StartRecord*>(value);
  if (++record->destructorRounds < PTHREAD_DESTRUCTOR_ITERATIONS &&
      pthread_setspecific(gEndKey, record) == 0) {
    return;
  }
  releaseOwnStacks(record);
  free(record);
}

const bool gEndKeyMade = pthread_key_create(&gEndKey, endOfThread) == 0;

void finishThread(void* record) {
  releaseOwnStacks(static_cast<StartRecord*>(record));
  free(record);
}

void* startThread(void* argument) {
  auto* record = static_cast<StartRecord*>(argument);
  if (gKeepFaultsDeliverable.load(std::memory_order_acquire)) {
    // The creator may have blocked them (every signal, say) before creating.
    sigset_t faults;
    sigemptyset(&faults);
    for (int s : kFaultSignals) sigaddset(&faults, s);
    pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
  }
  size_t size = gStackSize.load(std::memory_order_acquire);
  if (size != 0 && !hasAlternateStack()) {
    size_t total = 0;
    if (void* mapping = mapStack(size, &total)) {
      stack_t stack;
      stack.ss_sp = static_cast<char*>(mapping) + pageSize();
      stack.ss_size = total - pageSize();
      stack.ss_flags = 0;
      if (sigaltstack(&stack, nullptr) == 0) {
        record->stack = mapping;
        record->stackMapping = total;
      } else {
        munmap(mapping, total);
      }
    }
  }
  if (gEndKeyMade && pthread_setspecific(gEndKey, record) == 0) {
    return record->start(record->arg);
  }
  void* result;
  pthread_cleanup_push(finishThread, record);
  result = record->start(record->arg);
  pthread_cleanup_pop(1);
  return result;
}

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

int64_t monotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

void detail::thread_alternate_stack_offered(void* context) noexcept {
  const thread_t self = mach_thread_self();
  // The mask the thread goes back to when the offer's handler returns.
  if (context != nullptr && gKeepFaultsDeliverable.load(std::memory_order_acquire)) {
    removeFaultSignals(&static_cast<ucontext_t*>(context)->uc_sigmask);
  }
  for (auto& slot : gStacks) {
    if (slot.state.load(std::memory_order_acquire) == kOffered &&
        slot.tid.load(std::memory_order_relaxed) == self) {
      takeStack(&slot, static_cast<ucontext_t*>(context));
      return;
    }
  }
}

void thread_alternate_stacks_enable(size_t size) noexcept {
  size_t expected = 0;
  if (size == 0 || !gStackSize.compare_exchange_strong(expected, size)) return;
  ErrnoGuard errnoGuard;
  thread_parking_prepare();
  const thread_t self = mach_thread_self();
  if (!hasAlternateStack()) {
    if (StackSlot* slot = newStack(self, size)) takeStack(slot);
  }
  static thread_t threads[kThreadCapacity];
  uint32_t count = 0;
  task_threads(mach_task_self(), threads, kThreadCapacity, &count);
  for (uint32_t i = 0; i < count; ++i) {
    if (threads[i] == self) continue;
    StackSlot* slot = newStack(threads[i], size);
    if (slot == nullptr) break;
    slot->state.store(kOffered, std::memory_order_release);
    if (!detail::thread_send_parking_signal(threads[i], detail::kAlternateStackRequest)) {
      // The thread is gone (unless its own end already gave the stack back).
      int32_t offered = kOffered;
      if (slot->state.compare_exchange_strong(offered, kClaimed, std::memory_order_acq_rel)) {
        releaseSlot(slot);
      }
    }
  }
  // Give the threads a moment to answer; the stacks they declined go back.
  const int64_t deadline = monotonicNs() + 100'000'000;
  for (;;) {
    bool waiting = false;
    for (auto& slot : gStacks) {
      if (slot.state.load(std::memory_order_acquire) == kOffered) waiting = true;
    }
    if (!waiting || monotonicNs() >= deadline) break;
    struct timespec pause = {0, 1'000'000};
    nanosleep(&pause, nullptr);
  }
  for (auto& slot : gStacks) {
    int32_t declined = kDeclined;
    if (slot.state.compare_exchange_strong(declined, kClaimed, std::memory_order_acq_rel)) {
      releaseSlot(&slot);
    }
  }
}

size_t thread_alternate_stack_size() noexcept { return gStackSize.load(); }

void thread_fault_signals_keep_deliverable() noexcept {
  gKeepFaultsDeliverable.store(true, std::memory_order_release);
  sigset_t faults;
  sigemptyset(&faults);
  for (int s : kFaultSignals) sigaddset(&faults, s);
  pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
}

namespace {

// Sets the mask through `next` with the fault signals taken out of `set`
// once they are kept deliverable. The result as pthread_sigmask gives it.
int maskWithFaultsDeliverable(int how, const sigset_t* set, sigset_t* old,
                              int (*next)(int, const sigset_t*, sigset_t*)) noexcept {
  sigset_t kept;
  if (set != nullptr && how != SIG_UNBLOCK && gKeepFaultsDeliverable.load()) {
    kept = *set;
    removeFaultSignals(&kept);
    set = &kept;
  }
  if (next != nullptr) return next(how, set, old);
  // Before the next definition is known (while the program loads): the
  // kernel's call, keeping the C library's own two signals as it does.
  uint64_t mask = 0;
  if (set != nullptr) {
    std::memcpy(&mask, set, sizeof mask);
    if (how != SIG_UNBLOCK) mask &= ~((uint64_t{1} << (32 - 1)) | (uint64_t{1} << (33 - 1)));
  }
  if (old != nullptr) sigemptyset(old);
  long rc = syscall(SYS_rt_sigprocmask, how, set != nullptr ? &mask : nullptr, old, sizeof mask);
  return rc == 0 ? 0 : errno;
}

}  // namespace

}  // namespace sys

// A sanitizer's own wrapper of thread creation, when one is linked in. A
// runtime linked statically into the program defines it beside this file's
// definition, where looking for the next definition in line would pass it by
// (and the sanitizer would not know the thread).
extern "C" int __interceptor_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*),
                                            void*) __attribute__((weak));

// Every thread the program creates starts in `startThread`, which takes an
// alternate stack for it once stacks are enabled and gives it back when the
// thread ends. A sanitizer's wrapper, or else the next definition in line
// (the C library's), does the creating.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) noexcept {
  static const auto next =
      __interceptor_pthread_create != nullptr
          ? __interceptor_pthread_create
          : reinterpret_cast<sys::PthreadCreate>(dlsym(RTLD_NEXT, "pthread_create"));
  if (next == nullptr) return EAGAIN;
  auto* record = static_cast<sys::StartRecord*>(malloc(sizeof(sys::StartRecord)));
  if (record == nullptr) return EAGAIN;
  record->start = start;
  record->arg = arg;
  record->stack = nullptr;
  record->stackMapping = 0;
  record->destructorRounds = 0;
  int result = next(thread, attr, sys::startThread, record);
  if (result != 0) free(record);
  return result;
}

// Masks set after the fault signals are kept deliverable leave them out (see
// ThreadStacks.h). The next definitions are found while the program loads,
// never in a signal handler, where a mask may be set too.
extern "C" int __interceptor_pthread_sigmask(int, const sigset_t*, sigset_t*) __attribute__((weak));
extern "C" int __interceptor_sigprocmask(int, const sigset_t*, sigset_t*) __attribute__((weak));

namespace {

using MaskCall = int (*)(int, const sigset_t*, sigset_t*);

MaskCall nextMaskCall(const char* name, MaskCall interceptor) {
  return interceptor != nullptr ? interceptor : reinterpret_cast<MaskCall>(dlsym(RTLD_NEXT, name));
}

const MaskCall gNextPthreadSigmask = nextMaskCall("pthread_sigmask", __interceptor_pthread_sigmask);
const MaskCall gNextSigprocmask = nextMaskCall("sigprocmask", __interceptor_sigprocmask);

}  // namespace

extern "C" int pthread_sigmask(int how, const sigset_t* set, sigset_t* old) noexcept {
  return sys::maskWithFaultsDeliverable(how, set, old, gNextPthreadSigmask);
}

extern "C" int sigprocmask(int how, const sigset_t* set, sigset_t* old) noexcept {
  int rc = sys::maskWithFaultsDeliverable(how, set, old, gNextSigprocmask);
  if (gNextSigprocmask == nullptr && rc != 0) {
    errno = rc;
    return -1;
  }
  return rc;
}
