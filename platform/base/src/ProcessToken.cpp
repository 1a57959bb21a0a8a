#include "base/ProcessToken.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace base {

uint32_t* detail::gProcessTokenWord = nullptr;

namespace {

// The highest token given in the line of processes this memory comes from:
// never wiped, so a child starts past every token its parent and their
// parents took before they forked.
uint32_t gTokensGiven = 0;
// The first process's token: the one given first.
constexpr uint32_t kFirstToken = 1;
// Set where the kernel will not wipe a page: tokens are process ids then,
// and the first process is known by its id.
int gWipeRefused = 0;
int32_t gFirstProcessId = 0;

constexpr size_t kPageLength = 4096;  // rounded up to the page by the kernel

int32_t processId() { return static_cast<int32_t>(syscall(SYS_getpid)); }

// The word in a page the kernel wipes in a child, made now if need be; null
// where it cannot be.
uint32_t* tokenWord() {
  uint32_t* word = __atomic_load_n(&detail::gProcessTokenWord, __ATOMIC_ACQUIRE);
  if (word != nullptr || __atomic_load_n(&gWipeRefused, __ATOMIC_ACQUIRE) != 0) return word;
  const long page = syscall(SYS_mmap, nullptr, kPageLength, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  // Decided once, so that a process's token never changes: no page (no
  // memory for one, or no wiping) is ids for good.
  if (page == -1 || syscall(SYS_madvise, page, kPageLength, MADV_WIPEONFORK) != 0) {
    if (page != -1) syscall(SYS_munmap, page, kPageLength);
    int32_t none = 0;
    __atomic_compare_exchange_n(&gFirstProcessId, &none, processId(), false, __ATOMIC_ACQ_REL,
                                __ATOMIC_ACQUIRE);
    __atomic_store_n(&gWipeRefused, 1, __ATOMIC_RELEASE);
    return nullptr;
  }
  auto* made = reinterpret_cast<uint32_t*>(page);
  if (!__atomic_compare_exchange_n(&detail::gProcessTokenWord, &word, made, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE)) {
    syscall(SYS_munmap, page, kPageLength);  // another thread made one first
    return word;
  }
  return made;
}

// The page made (and the first process's token taken) before anything else
// of the program forks, as a rule.
[[maybe_unused]] const uint32_t gMadeAtStart = process_token();

}  // namespace

uint32_t detail::processTokenSlow() noexcept {
  const int savedErrno = errno;
  uint32_t* word = tokenWord();
  uint32_t token = 0;
  if (word == nullptr) {
    token = static_cast<uint32_t>(processId());
  } else if ((token = __atomic_load_n(word, __ATOMIC_ACQUIRE)) == 0) {
    // A new process. The count is raised before the token is in the page,
    // so that a child forked by another thread meanwhile, whose page is
    // wiped, starts past it.
    uint32_t given = __atomic_load_n(&gTokensGiven, __ATOMIC_ACQUIRE);
    uint32_t next;
    do {
      // Past the first one when the count wraps round.
      next = given == 0 ? kFirstToken : given == UINT32_MAX ? kFirstToken + 1 : given + 1;
    } while (!__atomic_compare_exchange_n(&gTokensGiven, &given, next, false, __ATOMIC_ACQ_REL,
                                          __ATOMIC_ACQUIRE));
    // Another thread of this process may have taken one first: its token
    // stands.
    token =
        __atomic_compare_exchange_n(word, &token, next, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)
            ? next
            : token;
  }
  errno = savedErrno;
  return token;
}

bool process_forked() noexcept {
  const uint32_t token = process_token();
  if (__atomic_load_n(&detail::gProcessTokenWord, __ATOMIC_ACQUIRE) != nullptr) {
    return token != kFirstToken;
  }
  const int32_t first = __atomic_load_n(&gFirstProcessId, __ATOMIC_ACQUIRE);
  return first != 0 && static_cast<int32_t>(token) != first;
}

}  // namespace base
