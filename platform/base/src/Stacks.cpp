#include "base/Stacks.h"

#include <errno.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include "base/StackSwitch.h"

namespace base {
namespace {

template <class T>
KX_BARE_ENTRY long word(T value) noexcept {
  return (long)(value);  // NOLINT: pointers and integers alike
}

constexpr int kStackFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK;

// Lower addresses tried for a stack just below its caller's, one below the
// other, before any the kernel chooses.
constexpr int kPlacements = 4;

// A mapping at `at` (0: where the kernel chooses) with `flags` added; its
// address, or -errno.
KX_BARE_ENTRY long mapAt(std::uintptr_t at, std::size_t bytes, int flags,
                         SystemCalls calls) noexcept {
  if (calls == SystemCalls::raw) {
    return rawSystemCall(SYS_mmap, word(at), word(bytes), PROT_READ | PROT_WRITE,
                         kStackFlags | flags, -1, 0);
  }
  void* mapped =
      mmap(reinterpret_cast<void*>(at), bytes, PROT_READ | PROT_WRITE, kStackFlags | flags, -1, 0);
  return mapped == MAP_FAILED ? -errno : word(mapped);
}

KX_BARE_ENTRY bool failed(long result) noexcept { return result < 0 && result > -4096; }

}  // namespace

char* mapStackMemory(std::size_t bytes, std::uintptr_t below, SystemCalls calls) noexcept {
  if (below != 0 && stackMayGoJustBelow(below)) {
    std::uintptr_t top = below & ~std::uintptr_t{kStackGranule - 1};
    for (int placement = 0; placement < kPlacements && top > bytes + kStackGranule; ++placement) {
      top -= bytes;
      const long mapped = mapAt(top, bytes, MAP_FIXED_NOREPLACE, calls);
      // A kernel that does not know the flag takes the address as a hint.
      if (!failed(mapped)) return reinterpret_cast<char*>(mapped);
      if (mapped != -EEXIST) break;
    }
  }
  const long mapped = mapAt(0, bytes, 0, calls);
  return failed(mapped) ? nullptr : reinterpret_cast<char*>(mapped);
}

bool protectStackGuard(char* mapping, std::size_t guard, SystemCalls calls) noexcept {
  if (calls == SystemCalls::raw) {
    return rawSystemCall(SYS_mprotect, word(mapping), word(guard), PROT_NONE) == 0;
  }
  return mprotect(mapping, guard, PROT_NONE) == 0;
}

void unmapStackMemory(char* mapping, std::size_t bytes, SystemCalls calls) noexcept {
  if (calls == SystemCalls::raw) {
    rawSystemCall(SYS_munmap, word(mapping), word(bytes), 0);
  } else {
    munmap(mapping, bytes);
  }
}

char* mapGuardedStack(std::size_t bytes, std::size_t guard, std::uintptr_t below,
                      SystemCalls calls) noexcept {
  char* mapping = mapStackMemory(bytes, below, calls);
  if (mapping == nullptr || protectStackGuard(mapping, guard, calls)) return mapping;
  unmapStackMemory(mapping, bytes, calls);
  return nullptr;
}

bool stackMayGoJustBelow(std::uintptr_t below) noexcept {
  constexpr std::uintptr_t kMainStackReach = std::uintptr_t{2} << 30;
  const std::uintptr_t loader = getauxval(AT_BASE);
  // Sixteen bytes at the top of the main thread's stack.
  const std::uintptr_t mainTop = getauxval(AT_RANDOM);
  return (loader != 0 && below <= loader) ||
         (mainTop > kMainStackReach && below <= mainTop - kMainStackReach);
}

StackBounds threadStackBounds() noexcept {
  void* lowest = nullptr;
  std::size_t size = 0;
  std::size_t guard = 0;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    if (pthread_attr_getstack(&attributes, &lowest, &size) != 0) size = 0;
    if (pthread_attr_getguardsize(&attributes, &guard) != 0) guard = 0;
    pthread_attr_destroy(&attributes);
  }
  if (size == 0) return {};
  return {reinterpret_cast<std::uintptr_t>(lowest), size, guard};
}

// ---- Kept stacks ----
//
// A stack linked through the records, whose head carries a count in the bits
// a record's address leaves clear, so that a record taken and given back
// meanwhile is not taken for the head it was.

namespace {

// (A record starts a page: its low 12 bits are clear, and addresses given to
// programs here fit in 48 bits.)
constexpr std::uintptr_t kAddressBits = 0x0000'ffff'ffff'f000;

std::uintptr_t keptWord(const KeptStack* stack, std::uintptr_t count) noexcept {
  return reinterpret_cast<std::uintptr_t>(stack) | (count & 0xfff) | ((count >> 12) << 48);
}

KeptStack* keptStack(std::uintptr_t word) noexcept {
  return reinterpret_cast<KeptStack*>(word & kAddressBits);
}

std::uintptr_t keptCount(std::uintptr_t word) noexcept {
  return (word & 0xfff) | ((word >> 48) << 12);
}

KeptStack* keptAfter(const KeptStack* stack) noexcept {
  return reinterpret_cast<KeptStack*>(stack->next.load(std::memory_order_relaxed));
}

}  // namespace

// Puts the kept stacks from `first` to `last`, linked, on the list.
void KeptStacks::put(KeptStack* first, KeptStack* last) noexcept {
  std::uintptr_t head = head_.load(std::memory_order_relaxed);
  do {
    last->next.store(reinterpret_cast<std::uintptr_t>(keptStack(head)), std::memory_order_relaxed);
  } while (!head_.compare_exchange_weak(head, keptWord(first, keptCount(head) + 1),
                                        std::memory_order_release, std::memory_order_relaxed));
}

bool KeptStacks::keep(KeptStack* stack) noexcept {
  if ((reinterpret_cast<std::uintptr_t>(stack) & ~kAddressBits) != 0) return false;
  handOver(stack);
  put(stack, stack);
  return true;
}

// The whole list is taken off at once, in one step that a stack taken and
// given back meanwhile cannot fool, and the others go back: another thread
// (or a signal's handler here) meanwhile finds none.
KeptStack* KeptStacks::take(std::size_t bytes) noexcept {
  std::uintptr_t head = head_.load(std::memory_order_acquire);
  do {
    if (keptStack(head) == nullptr) return nullptr;
  } while (!head_.compare_exchange_weak(head, keptWord(nullptr, keptCount(head) + 1),
                                        std::memory_order_acquire, std::memory_order_acquire));
  KeptStack* first = keptStack(head);
  KeptStack* taken = nullptr;
  KeptStack* last = nullptr;
  for (KeptStack* stack = first; stack != nullptr; stack = keptAfter(stack)) {
    if (taken == nullptr && stack->bytes >= bytes) {
      taken = stack;
      if (last == nullptr) {
        first = keptAfter(stack);
      } else {
        last->next.store(reinterpret_cast<std::uintptr_t>(keptAfter(stack)),
                         std::memory_order_relaxed);
      }
    } else {
      last = stack;
    }
  }
  if (first != nullptr) put(first, last);
  if (taken != nullptr) takeOver(taken);
  return taken;
}

}  // namespace base
