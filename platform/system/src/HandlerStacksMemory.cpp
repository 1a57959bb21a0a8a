// Stack memory: the mappings of a set's stacks (made by base/Stacks.h),
// their guard pages and the mark at their tops (system/HandlerStacks.h).

#include <linux/futex.h>
#include <sys/uio.h>

#include "HandlerStacksInternal.h"

#ifdef KX_TEST_SEAMS
#include "system/TestSeams.h"
#endif

namespace sys::stacks {
namespace {

#ifdef KX_TEST_SEAMS
void (*gMappedHook)(const void* top) = nullptr;
#endif

KX_HANDLER_ENTRY bool marked(const handler_stacks* set, const uint64_t* mark, const char* top) {
  return mark[0] == (kMarkWord ^ reinterpret_cast<uint64_t>(set)) &&
         mark[1] == reinterpret_cast<uint64_t>(top);
}

}  // namespace

// The mark of the stack at `top`, read with calls that fail where a load
// would fault: a copy through the calling thread (the process's id names
// nothing once its first thread has ended), or, where copies are refused,
// the futex call, which compares each word with what the mark holds there
// and, finding it, waits no time.
KX_HANDLER_ENTRY Mark stackMark(const handler_stacks* set, char* top) {
  uint64_t mark[2] = {0, 0};
  struct iovec local = {mark, sizeof mark};
  struct iovec remote = {top - kMarkSize, kMarkSize};
  const long copied =
      systemCall(SYS_process_vm_readv, threadId(), word(&local), 1, word(&remote), 1, 0);
  if (copied == static_cast<long>(kMarkSize))
    return marked(set, mark, top) ? Mark::ours : Mark::gone;
  if (copied >= 0 || copied == -EFAULT) return Mark::gone;
  const uint64_t expected[2] = {kMarkWord ^ reinterpret_cast<uint64_t>(set),
                                reinterpret_cast<uint64_t>(top)};
  const auto* words = reinterpret_cast<const uint32_t*>(expected);
  for (int i = 0; i < 4; ++i) {
    const struct timespec noTime = {0, 0};
    const long result = systemCall(SYS_futex, word(top - kMarkSize + 4 * i), FUTEX_WAIT_PRIVATE,
                                   words[i], word(&noTime));
    // A different word answers at once; a word it waited on (timed out, or
    // interrupted, or woken) was the mark's.
    if (result == -EAGAIN || result == -EFAULT) return Mark::gone;
    if (result != -ETIMEDOUT && result != -EINTR && result != 0) return Mark::unknown;
  }
  return Mark::ours;
}

// Makes the guard page of the stack at `top` inaccessible.
KX_HANDLER_ENTRY bool protectGuardPage(const handler_stacks* set, char* top) {
  return base::protectStackGuard(guardOf(set, top), kPage, base::SystemCalls::raw);
}

// Maps a stack of the set above its guard page, marked; its top, or null
// when the process can have no more memory, or no guard page. `published`
// (unless null) is the place's top, set as soon as the mapping exists, so
// that a child forked meanwhile finds it and finishes it.
KX_HANDLER_ENTRY char* mapStack(const handler_stacks* set, void** published) {
  const size_t length = set->size + kPage;
  char* mapping = base::mapStackMemory(length, 0, base::SystemCalls::raw);
  if (mapping == nullptr) return nullptr;
  char* top = mapping + length;
  auto* mark = reinterpret_cast<uint64_t*>(top - kMarkSize);
  mark[0] = kMarkWord ^ reinterpret_cast<uint64_t>(set);
  mark[1] = reinterpret_cast<uint64_t>(top);
  if (published != nullptr) {
    __atomic_store_n(published, top, __ATOMIC_RELEASE);
#ifdef KX_TEST_SEAMS
    if (auto* hook = __atomic_load_n(&gMappedHook, __ATOMIC_ACQUIRE)) hook(top);
#endif
  }
  if (!protectGuardPage(set, top)) {
    if (published != nullptr) __atomic_store_n(published, nullptr, __ATOMIC_RELEASE);
    base::unmapStackMemory(mapping, length, base::SystemCalls::raw);
    return nullptr;
  }
  return top;
}

// Unmaps the stack at `top`: all of it, or, when `checked` and its mark is
// not known to be there (see stackMark), only the guard page, the one part
// still the set's: memory that may not be the set's is never unmapped.
KX_HANDLER_ENTRY void unmapStack(const handler_stacks* set, char* top, bool checked) {
  const size_t length = !checked || stackMark(set, top) == Mark::ours ? set->size + kPage : kPage;
  base::unmapStackMemory(guardOf(set, top), length, base::SystemCalls::raw);
}

}  // namespace sys::stacks

#ifdef KX_TEST_SEAMS
namespace sys {

void setHandlerStackMappedHookForTesting(void (*hook)(const void* top)) noexcept {
  __atomic_store_n(&stacks::gMappedHook, hook, __ATOMIC_RELEASE);
}

}  // namespace sys
#endif
