// Announcing the libraries the loader adds and removes while the program
// runs. The loader tells nobody in the process, so two things stand in:
//
// - The program's own `dlopen` and `dlclose` (defined here for the whole
//   program, and exported so that libraries bind to them too) sync the image
//   registry as they return, so that a library is listed before the code that
//   opened it can call into it.
// - A watching thread compares the loader's counts of objects added and
//   removed, every tenth of a second, and syncs when they moved: loads that
//   pass the program's `dlopen` by (the C library's own, those of a library
//   opened with RTLD_DEEPBIND, which binds to the C library's `dlopen`) are
//   listed shortly after. Objects of other namespaces (`dlmopen`) are not:
//   dl_iterate_phdr reports only the caller's. A crash reads the loader's own
//   lists for what no sync has listed. It starts at the first sign of such
//   loads (a sync outside the program's `dlopen` and `dlclose` that finds
//   the loader's list changed, a library opened with RTLD_DEEPBIND, a load
//   routed past the wrapper below), so that a program without any keeps the
//   threads it has.
//
// `dlopen` depends on its caller: a name without a slash is searched along
// the calling object's run paths, "$ORIGIN" means the calling object's
// folder, and the calling object's namespace receives the library. The C
// library finds the caller from its return address, so a wrapper that calls
// it would change all of that for libraries that call `dlopen`. The entry
// point is therefore a few instructions that ask a router where to go and
// jump there with the caller's return address untouched: to the wrapper
// when the caller does not matter (the program itself calls, or a library
// of the base namespace opens a path with a slash), else straight to the
// next `dlopen` in line, and then the watching thread looks closely for a
// moment instead. A sanitizer's own `dlopen` wrapper, when one is linked in,
// is the next in line.
#include "LoaderNotices.h"

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "NextDefinition.h"
#include "base/BuildFacts.h"
#include "base/Fork.h"
#include "base/Mutex.h"
#include "system/ImageEvents.h"
#include "system/SignalSafe.h"

extern "C" void* __interceptor_dlopen(const char*, int) __attribute__((weak));
extern "C" int __interceptor_dlclose(void*) __attribute__((weak));

namespace sys::detail {
namespace {

using DlopenFunction = void* (*)(const char*, int);
using DlcloseFunction = int (*)(void*);

std::atomic<bool> gListening{false};

DlopenFunction nextDlopen() {
  static const DlopenFunction next =
      next_definition<DlopenFunction>(__interceptor_dlopen, "dlopen");
  return next;
}

DlcloseFunction nextDlclose() {
  static const DlcloseFunction next =
      next_definition<DlcloseFunction>(__interceptor_dlclose, "dlclose");
  return next;
}

// The watching thread of one process. A forked child starts its own, with a
// record of its own: the parent's lock may have been copied held.
struct Watch {
  pid_t pid;
  base::Mutex lock;
  std::condition_variable wake;
  int64_t closelyUntil KX_GUARDED_BY(lock) = 0;  // monotonic_ns; polls every few ms until then
};

std::atomic<Watch*> gWatch{nullptr};

constexpr auto kPeriod = std::chrono::milliseconds(100);
constexpr auto kClosePeriod = std::chrono::milliseconds(2);
constexpr int64_t kCloseSpanNs = 500'000'000;

void* watchLoader(void* argument) {
  auto* watch = static_cast<Watch*>(argument);
  for (;;) {
    {
      base::UniqueLock guard(watch->lock);
      const bool closely = monotonic_ns() < watch->closelyUntil;
      guard.waitFor(watch->wake, closely ? kClosePeriod : kPeriod);
    }
    sync_loaded_images();
  }
  return nullptr;
}

// Asks the watching thread to look closely for a moment: a load it is to
// notice has just begun.
void watchClosely() {
  loader_watch_start();
  Watch* watch = gWatch.load(std::memory_order_acquire);
  if (watch == nullptr) return;
  {
    base::LockGuard guard(watch->lock);
    watch->closelyUntil = monotonic_ns() + kCloseSpanNs;
  }
  watch->wake.notify_one();
}

// After the program's own `dlopen` or `dlclose`.
void loaderChanged() {
  if (!gListening.load(std::memory_order_acquire)) return;
  sync_after_own_call();
}

void* wrappedDlopen(const char* file, int mode) {
  void* handle = nextDlopen()(file, mode);
  if (handle == nullptr) return nullptr;
  // Such a library's own dlopen is the C library's.
  if ((mode & RTLD_DEEPBIND) != 0 && gListening.load(std::memory_order_acquire)) {
    loader_watch_start();
  }
  loaderChanged();
  return handle;
}

void* missingDlopen(const char*, int) { return nullptr; }

// Whether opening `file` from `caller` (an address in the calling object)
// from here instead would come to the same: the loader looks at the caller
// for a name without a slash, for "$ORIGIN" and the like, and for the
// namespace.
bool callerDoesNotMatter(const char* file, const void* caller) {
  if (file == nullptr) return true;  // the program's own handle
  Dl_info info;
  struct link_map* map = nullptr;
  // An address in no object counts as the program, as the loader takes it.
  if (dladdr1(caller, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
      map == nullptr) {
    return true;
  }
  static void* const program = nextDlopen()(nullptr, RTLD_LAZY);
  if (static_cast<void*>(map) == program) return true;
  if (strchr(file, '/') == nullptr || strchr(file, '$') != nullptr) return false;
  Lmid_t namespaceId = LM_ID_BASE;
  return dlinfo(map, RTLD_DI_LMID, &namespaceId) == 0 && namespaceId == LM_ID_BASE;
}

}  // namespace

void loader_notices_start() noexcept {
  static std::once_flag forkHandlers;
  // A fork leaves the image registry as the parent's threads left it: none of
  // them may be inside a sync then.
  std::call_once(forkHandlers, [] {
    base::fork_join_or_stop(base::ForkPhase::system, {.prepare = registry_lock_for_fork,
                                                      .parent = registry_unlock_after_fork});
  });
  gListening.store(true, std::memory_order_release);
}

void loader_watch_start() noexcept {
  const pid_t self = getpid();
  Watch* current = gWatch.load(std::memory_order_acquire);
  if (current != nullptr && current->pid == self) return;
  auto* fresh = new (std::nothrow) Watch();
  if (fresh == nullptr) return;
  fresh->pid = self;
  // The record of another process (the parent's) stays allocated: its lock
  // may be held for ever.
  if (!gWatch.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) {
    delete fresh;
    return;
  }
  pthread_t thread;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (pthread_create(&thread, &attributes, watchLoader, fresh) == 0) {
    pthread_setname_np(thread, "loader-watch");
  }
  pthread_attr_destroy(&attributes);
}

}  // namespace sys::detail

// Where the program's `dlopen` goes, given its arguments and the caller's
// return address.
extern "C" __attribute__((visibility("hidden"), used)) void* sys_loader_dlopen_route(
    const char* file, int mode, const void* caller) noexcept {
  using namespace sys::detail;
  (void)mode;
  const DlopenFunction next = nextDlopen();
  if (next == nullptr) return reinterpret_cast<void*>(missingDlopen);
  if (!gListening.load(std::memory_order_acquire)) return reinterpret_cast<void*>(next);
  if (callerDoesNotMatter(file, caller)) return reinterpret_cast<void*>(wrappedDlopen);
  watchClosely();
  return reinterpret_cast<void*>(next);
}

// The program's `dlopen` is LoaderNoticesEntry.S, for x86-64 and AArch64: it
// keeps the arguments, asks the router, and jumps where it says with the
// stack as the caller left it. The linker takes an object from a static
// library only for a symbol still undefined, and `dlopen` may be defined
// before (by a sanitizer's run-time library) or never asked for (by a program
// whose libraries alone call it): this reference to the entry point's own
// name takes the file wherever this one is taken.
#if !KX_X86_64 && !KX_AARCH64
#error "the program's dlopen (LoaderNoticesEntry.S) is written for x86-64 and AArch64 only"
#endif
extern "C" __attribute__((visibility("hidden"))) void* sys_loader_dlopen_entry(const char*, int);
[[maybe_unused]] __attribute__((used)) static void* (*const gEntryPoint)(const char*, int) =
    sys_loader_dlopen_entry;

// The program's `dlclose`: the loader does not look at its caller.
extern "C" int dlclose(void* handle) noexcept {
  const sys::detail::DlcloseFunction next = sys::detail::nextDlclose();
  if (next == nullptr) return -1;
  const int result = next(handle);
  sys::detail::loaderChanged();
  return result;
}
