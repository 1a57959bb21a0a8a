#include "AllocationCounter.h"

#include <pthread.h>
#include <stddef.h>

#include <atomic>

#include "base/BuildFacts.h"

namespace {

std::atomic<bool> gCounting{false};
std::atomic<uint64_t> gAllocations{0};
std::atomic<bool> gOneThread{false};
std::atomic<pthread_t> gThread{};

void noteAllocation() {
  if (!gCounting.load(std::memory_order_relaxed)) return;
  if (gOneThread.load(std::memory_order_relaxed) &&
      !pthread_equal(gThread.load(std::memory_order_relaxed), pthread_self())) {
    return;
  }
  gAllocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if KX_ASAN || KX_TSAN
// The sanitizer runtimes call these hooks on every allocation and release.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*,
                                                                          size_t),
                                                         void (*onFree)(const volatile void*));

namespace {

void onMalloc(const volatile void*, size_t) { noteAllocation(); }
void onFree(const volatile void*) {}

struct InstallHooks {
  InstallHooks() { __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree); }
} gInstallHooks;

}  // namespace

#else

// Every allocation entry point of the C library, forwarded to its internal
// implementation, so that a count sees all of them.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
  noteAllocation();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  noteAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
  noteAllocation();
  return __libc_realloc(pointer, size);
}
void* memalign(size_t alignment, size_t size) {
  noteAllocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  noteAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  noteAllocation();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
void free(void* pointer) { __libc_free(pointer); }
}

#endif

namespace rocrash::testing {

void startCountingAllocations(bool thisThreadOnly) {
  gThread.store(pthread_self());
  gOneThread.store(thisThreadOnly);
  gAllocations.store(0);
  gCounting.store(true);
}

uint64_t stopCountingAllocations() {
  gCounting.store(false);
  return gAllocations.load();
}

}  // namespace rocrash::testing
