#pragma once

#include <cstdint>

// Which process wrote a word of memory.
//
// A child made by fork starts with a copy of its parent's memory: a word
// that says "held by process N" is the parent's claim there, not the
// child's. A process id cannot tell them apart for good: a child made in a
// new pid namespace may have its parent's id, and an id is given again once
// its process has ended, to a descendant too. The kernel itself can say
// "this is a new process": a page advised MADV_WIPEONFORK reads as zeros in
// every child made by fork (the C library's, the raw system call, or clone
// without CLONE_VM), and never in the process itself.
//
// Each process gets a token from such a page: the first time a process asks,
// it takes one more than the highest token its memory knows of having been
// given (its own line of forks: the ones its parent and their parents took
// before they forked), so that its token differs from every token it
// inherited in memory, whatever the ids. The page is made before the
// program's static initialisers (or at the first ask before them); a process
// that forks before then has children that may take its token (none of them
// wrote one yet). A child that runs in its parent's memory (vfork, or clone
// with CLONE_VM) shares the page and has its parent's token.
//
// Where the kernel refuses the advice (before Linux 4.14, or a sandbox's
// filter refuses madvise), the token lives in ordinary memory beside the id
// of the process that took it, and a fork handler (the first to run in the
// child) gives each child of the C library's fork a token of its own, as the
// wipe would. A child made otherwise (the raw system call, clone, vfork)
// finds another process's id there: it may run in that process's memory,
// and its token is its id (with a bit no counted token has), with the limits
// of ids said above.
//
// Everything here is async-signal-safe and allocates nothing.
namespace base {

namespace detail {
// The calling process's token once it has one, in the page the kernel wipes
// in a child, before the id of the process that took it (null until the page
// is made, and where it cannot be).
extern uint32_t* gProcessTokenWord;
uint32_t processTokenSlow() noexcept;
}  // namespace detail

// The calling process's token: never 0, below 2^30, and never a token a
// process whose writes its memory holds (its parent, their parents, or a
// process its id was given to before) has had. Inlined whole (a load or two) into any
// caller, a signal handler's entry that must call no function of another
// object too; the first ask in a new process calls one.
__attribute__((always_inline)) inline uint32_t process_token() noexcept {
  const uint32_t* word = __atomic_load_n(&detail::gProcessTokenWord, __ATOMIC_ACQUIRE);
  const uint32_t token = word != nullptr ? __atomic_load_n(word, __ATOMIC_ACQUIRE) : 0;
  return token != 0 ? token : detail::processTokenSlow();
}

// The calling process's id as it learned it with its token, asked of the
// kernel once per process: what the process goes by (the crash engine's
// task name). A child in its parent's memory goes by its parent's. Where
// the kernel wipes no page, a process made without fork handlers (which may
// run in its parent's memory, where learning its id would rename the
// parent) asks the kernel at each call.
int32_t process_token_id() noexcept;

// Whether the calling process was made from another process running this
// program (by fork or clone), rather than started by running it: only such a
// process can hold what another process of the program set up (its
// descriptors, its table). A child in its parent's memory answers as its
// parent where the kernel wipes pages.
bool process_forked() noexcept;

// Whether the calling process may run in the memory of the process it was
// made from (vfork, or clone with CLONE_VM), so that whatever it writes is
// that process's: told exactly where the kernel wipes pages; elsewhere true
// of every process made without fork handlers (the raw system call, clone,
// vfork), which cannot be told apart.
bool process_in_parents_memory() noexcept;

}  // namespace base
