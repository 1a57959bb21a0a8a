#include "base/ProcessToken.h"

#include <sys/mman.h>
#include <sys/rseq.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "base/Fork.h"

namespace base {

uint32_t* detail::gProcessTokenWord = nullptr;

namespace {

// The highest token given in the line of processes this memory comes from:
// never wiped, so a child starts past every token its parent and their
// parents took before they forked.
uint32_t gTokensGiven = 0;
// The first process's token: the one given first.
constexpr uint32_t kFirstToken = 1;
// Tokens the count gives stay below this bit; a process made without fork
// handlers, where the kernel wipes no page, has its id (below 2^22) with it.
// Below 2^30: some keep a token in the lower 30 bits of a word.
constexpr uint32_t kIdToken = 0x20000000u;
// Set where the kernel will not wipe a page.
int gWipeRefused = 0;
// Where the kernel wipes no page: the token taken in this memory, and in the
// upper half the id of the process that took it. The C library's fork gives
// its child a token of its own (by a fork handler); a child made otherwise
// finds another process's id here.
uint64_t gOwnedToken = 0;

// The page holds the token, then the id of the process that took it.
constexpr size_t kPageLength = 4096;  // rounded up to the page by the kernel

int32_t processId() { return static_cast<int32_t>(syscall(SYS_getpid)); }

// The words in a page the kernel wipes in a child, made now if need be; null
// where it cannot be.
uint32_t* tokenWord() {
  uint32_t* word = __atomic_load_n(&detail::gProcessTokenWord, __ATOMIC_ACQUIRE);
  if (word != nullptr || __atomic_load_n(&gWipeRefused, __ATOMIC_ACQUIRE) != 0) return word;
  const long page = syscall(SYS_mmap, nullptr, kPageLength, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  // Decided once, so that a process's token never changes: no page (no
  // memory for one, or no wiping) is tokens kept in ordinary memory for good.
  if (page == -1 || syscall(SYS_madvise, page, kPageLength, MADV_WIPEONFORK) != 0) {
    if (page != -1) syscall(SYS_munmap, page, kPageLength);
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

// A token no process of this memory's line has had. The count is raised
// before the token is published, so that a child forked by another thread
// meanwhile starts past it.
uint32_t nextToken() {
  uint32_t given = __atomic_load_n(&gTokensGiven, __ATOMIC_ACQUIRE);
  uint32_t next;
  do {
    // Past the first one when the count wraps round.
    next = given == 0 ? kFirstToken : given + 1 == kIdToken ? kFirstToken + 1 : given + 1;
  } while (!__atomic_compare_exchange_n(&gTokensGiven, &given, next, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE));
  return next;
}

uint64_t ownedBy(int32_t pid, uint32_t token) {
  return static_cast<uint64_t>(static_cast<uint32_t>(pid)) << 32 | token;
}

// In a child of the C library's fork: its token, taken at once, so that a
// child it makes in its memory (vfork, posix_spawn) before anything asked
// finds it taken, by another process. Where no page is wiped, the wipe done
// by hand first.
void tokenAfterFork() {
  if (__atomic_load_n(&gWipeRefused, __ATOMIC_ACQUIRE) != 0) {
    __atomic_store_n(&gOwnedToken, ownedBy(processId(), nextToken()), __ATOMIC_RELEASE);
  }
  (void)process_token();
}

// Before any static initialiser of the program (which may fork, or join the
// fork registration with handlers that ask for the token in the child): the
// page, the first process's token, and the fork handler, the first to run in
// a child.
__attribute__((constructor(101))) void madeAtStart() {
  (void)process_token();
  fork_join_or_stop(ForkPhase::processToken, {.child = tokenAfterFork});
}

}  // namespace

uint32_t detail::processTokenSlow() noexcept {
  const int savedErrno = errno;
  uint32_t* word = tokenWord();
  uint32_t token = 0;
  if (word == nullptr) {
    const int32_t pid = processId();
    uint64_t owned = __atomic_load_n(&gOwnedToken, __ATOMIC_ACQUIRE);
    // The first process's first ask (or that of a child forked before it).
    if (owned == 0 && __atomic_compare_exchange_n(&gOwnedToken, &owned, ownedBy(pid, nextToken()),
                                                  false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
      owned = __atomic_load_n(&gOwnedToken, __ATOMIC_ACQUIRE);
    }
    token = static_cast<int32_t>(owned >> 32) == pid ? static_cast<uint32_t>(owned)
                                                     : kIdToken | static_cast<uint32_t>(pid);
  } else if ((token = __atomic_load_n(word, __ATOMIC_ACQUIRE)) == 0) {
    // A new process: its id first, then its token (another thread of this
    // process may take one first: its token stands, with the same id).
    __atomic_store_n(&word[1], static_cast<uint32_t>(processId()), __ATOMIC_RELEASE);
    const uint32_t next = nextToken();
    token =
        __atomic_compare_exchange_n(word, &token, next, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)
            ? next
            : token;
  }
  errno = savedErrno;
  return token;
}

bool process_forked() noexcept { return process_token() != kFirstToken; }

int32_t process_token_id() noexcept {
  // Written before the token, by the process that took it.
  const uint32_t* word = __atomic_load_n(&detail::gProcessTokenWord, __ATOMIC_ACQUIRE);
  if (word != nullptr && __atomic_load_n(word, __ATOMIC_ACQUIRE) != 0) {
    return static_cast<int32_t>(__atomic_load_n(&word[1], __ATOMIC_ACQUIRE));
  }
  const int savedErrno = errno;
  (void)process_token();
  word = tokenWord();
  const int32_t id = word != nullptr
                         ? static_cast<int32_t>(__atomic_load_n(&word[1], __ATOMIC_ACQUIRE))
                         : processId();
  errno = savedErrno;
  return id;
}

namespace {

// Whether the calling process, which has the id of the process that took
// this memory's token, is another one all the same: the first process of a
// pid namespace of its own (made by clone with CLONE_VM and CLONE_NEWPID)
// that runs in the memory of a first process (pid 1) of another. Only the
// first thread of a process whose parent is beyond its pid namespace (as a
// namespace's first process's is) is asked, and only where the C library
// registered its threads' restartable sequences: the kernel drops the
// registration in a child made with CLONE_VM, whose thread then runs on its
// parent's thread's area without it. Unregistering that area with a
// signature other than the registration's fails with EPERM for the thread
// that registered it, and changes nothing; with EINVAL for a thread that
// registered none.
bool sameIdInAnotherNamespace() {
  if (__rseq_size == 0 || syscall(SYS_getppid) != 0 || syscall(SYS_gettid) != processId()) {
    return false;
  }
  char* threadPointer;
  asm("mov %%fs:0, %0" : "=r"(threadPointer));
  void* area = threadPointer + __rseq_offset;
  constexpr unsigned kOriginalLength = 32;  // the C library registers this much
  for (const unsigned length : {kOriginalLength, __rseq_size}) {
    if (syscall(SYS_rseq, area, length, RSEQ_FLAG_UNREGISTER, RSEQ_SIG ^ 1u) == 0 ||
        errno != EINVAL) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool process_in_parents_memory() noexcept {
  const int savedErrno = errno;
  const auto pid = static_cast<uint32_t>(processId());
  uint32_t taker = 0;
  if (const uint32_t* word = tokenWord()) {
    if (__atomic_load_n(word, __ATOMIC_ACQUIRE) != 0) {
      taker = __atomic_load_n(&word[1], __ATOMIC_ACQUIRE);
    }
  } else {
    const uint64_t owned = __atomic_load_n(&gOwnedToken, __ATOMIC_ACQUIRE);
    taker = static_cast<uint32_t>(owned >> 32);
  }
  const bool shared = taker != 0 && (taker != pid || sameIdInAnotherNamespace());
  errno = savedErrno;
  return shared;
}

}  // namespace base
