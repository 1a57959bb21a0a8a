#include "system/Task.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

#include "base/ProcessToken.h"
#include "system/SignalSafe.h"

#ifdef KX_TEST_SEAMS
#include "system/TestSeams.h"
#endif

namespace sys {
namespace {

#ifdef KX_TEST_SEAMS
std::atomic<bool> gVmReadvRefused{false};
bool vmReadvRefused() { return gVmReadvRefused.load(std::memory_order_relaxed); }
#else
constexpr bool vmReadvRefused() { return false; }
#endif

constexpr vm_size_t kPipeChunk = 4096;

// Pages asked about in one readability check: one byte of each, one call.
constexpr size_t kProbeBatch = 128;

// The last name this memory went by (not wiped in a child), and the names of
// the processes it was forked from, most recent first.
std::atomic<task_t> gLastName{0};
constexpr int kFormerNames = 8;
std::atomic<task_t> gFormerNames[kFormerNames];

void learnName(task_t pid) {
  const task_t previous = gLastName.exchange(pid, std::memory_order_acq_rel);
  if (previous != 0 && previous != pid) {
    bool known = false;
    for (auto& name : gFormerNames) known = known || name.load() == previous;
    if (!known) {
      for (int i = kFormerNames - 1; i > 0; --i) gFormerNames[i].store(gFormerNames[i - 1].load());
      gFormerNames[0].store(previous);
    }
  }
}

// Set once the process's main thread has ended (with pthread_exit): the
// kernel no longer finds the process's memory through its id, only through
// the id of a thread still running.
std::atomic<bool> gLeaderGone{false};

// The kernel's copy of `remote` (`count` pieces) of `task` into `local`. For
// the own process, through the calling thread once the main thread is gone.
ssize_t vmReadv(task_t task, bool own, const struct iovec* local, const struct iovec* remote,
                unsigned long count) {
  if (own && gLeaderGone.load(std::memory_order_relaxed)) {
    task = static_cast<task_t>(syscall(SYS_gettid));
  }
  ssize_t n = process_vm_readv(task, local, 1, remote, count, 0);
  if (n < 0 && errno == ESRCH && own && !gLeaderGone.load(std::memory_order_relaxed)) {
    gLeaderGone.store(true, std::memory_order_relaxed);
    n = process_vm_readv(static_cast<task_t>(syscall(SYS_gettid)), local, 1, remote, count, 0);
  }
  return n;
}

// The kernel's copy; false with errno on failure or a short copy.
bool readWithVmReadv(task_t task, vm_address_t address, vm_size_t size, void* data) {
  if (vmReadvRefused()) {
    errno = ENOSYS;
    return false;
  }
  struct iovec local = {data, size};
  struct iovec remote = {reinterpret_cast<void*>(address), size};
  ssize_t n = vmReadv(task, task_is_self(task), &local, &remote, 1);
  if (n < 0) return false;
  if (static_cast<vm_size_t>(n) != size) {
    errno = EFAULT;
    return false;
  }
  return true;
}

// Fallback for the own task: the kernel checks the source of a write(2), so
// pushing the bytes through a pipe never faults on a bad address.
bool readWithPipe(vm_address_t address, vm_size_t size, void* data) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  bool ok = true;
  auto* out = static_cast<uint8_t*>(data);
  vm_size_t done = 0;
  while (ok && done < size) {
    vm_size_t chunk = size - done < kPipeChunk ? size - done : kPipeChunk;
    ssize_t w;
    do {
      w = write(fds[1], reinterpret_cast<const void*>(address + done), chunk);
    } while (w < 0 && errno == EINTR);
    if (w <= 0) {
      ok = false;
      break;
    }
    vm_size_t got = 0;
    while (got < static_cast<vm_size_t>(w)) {
      ssize_t r = read(fds[0], out + done + got, static_cast<vm_size_t>(w) - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        ok = false;
        break;
      }
      got += static_cast<vm_size_t>(r);
    }
    done += got;
  }
  ErrnoGuard guard;  // the copy's error, not the closes'
  close(fds[0]);
  close(fds[1]);
  return ok;
}

bool pageMapped(vm_address_t page) {
  unsigned char vec;
  return mincore(reinterpret_cast<void*>(page), vm_page_size(), &vec) == 0;
}

bool pageReadable(vm_address_t page) {
  uint8_t byte;
  if (readWithVmReadv(mach_task_self(), page, 1, &byte)) return true;
  return readWithPipe(page, 1, &byte);
}

// How many of the `count` pages from the page-aligned `first` on are readable
// in `task`, in order: one byte of each page is read, a batch of pages per
// call (a call stops at the first page it cannot read). Without the kernel's
// copy, the own task's pages are tried one by one.
vm_size_t readablePages(task_t task, vm_address_t first, vm_size_t count) {
  const bool own = task_is_self(task);
  if (own) task = mach_task_self();
  const vm_size_t page = vm_page_size();
  vm_size_t done = 0;
  while (done < count) {
    const size_t batch = count - done < kProbeBatch ? count - done : kProbeBatch;
    struct iovec remote[kProbeBatch];
    uint8_t bytes[kProbeBatch];
    size_t asked = 0;
    for (; asked < batch; ++asked) {
      vm_address_t at = first + (done + asked) * page;
      if (at < first) break;  // past the top of the address space
      remote[asked] = {reinterpret_cast<void*>(at), 1};
    }
    if (asked == 0) break;
    struct iovec local = {bytes, asked};
    ssize_t got =
        vmReadvRefused() ? (errno = ENOSYS, -1) : vmReadv(task, own, &local, remote, asked);
    if (got < 0 && own && errno != EFAULT) {
      // The call is refused: one page at a time by the fallback.
      got = 0;
      while (static_cast<size_t>(got) < asked &&
             pageMapped(first + (done + static_cast<vm_size_t>(got)) * page) &&
             pageReadable(first + (done + static_cast<vm_size_t>(got)) * page)) {
        ++got;
      }
    }
    if (got <= 0) break;
    done += static_cast<vm_size_t>(got);
    if (static_cast<size_t>(got) < asked || asked < batch) break;
  }
  return done;
}

}  // namespace

task_t mach_task_self() noexcept {
  // The id the process learned with its token: its parent's in a child in
  // its parent's memory, whose names it leaves as they are.
  const task_t pid = base::process_token_id();
  if (gLastName.load(std::memory_order_relaxed) != pid && !base::process_in_parents_memory()) {
    learnName(pid);
  }
  return pid;
}

bool task_is_self(task_t task) noexcept {
  if (task == mach_task_self()) return true;
  if (task <= 0) return false;
  // The name this memory goes by (a child's parent's, where it learnt none).
  if (task == gLastName.load(std::memory_order_relaxed)) return true;
  for (auto& name : gFormerNames) {
    if (name.load(std::memory_order_relaxed) == task) return true;
  }
  return false;
}

bool task_shares_parent_memory() noexcept { return base::process_in_parents_memory(); }

thread_t mach_thread_self() noexcept { return static_cast<thread_t>(syscall(SYS_gettid)); }

vm_size_t vm_page_size() noexcept {
  static const vm_size_t size = static_cast<vm_size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

vm_size_t vm_page_mask() noexcept { return vm_page_size() - 1; }

bool task_range_readable(vm_address_t address, vm_size_t size, vm_address_t* unreadable) noexcept {
  if (size == 0) return true;
  ErrnoGuard guard;
  vm_address_t first = address & ~vm_page_mask();
  vm_address_t last = address + size - 1;
  if (last < address) last = ~vm_address_t{0};
  vm_size_t pages = ((last & ~vm_page_mask()) - first) / vm_page_size() + 1;
  vm_size_t readable = readablePages(mach_task_self(), first, pages);
  if (readable == pages) return true;
  if (unreadable) *unreadable = first + readable * vm_page_size();
  return false;
}

kern_return_t mach_vm_read_overwrite(task_t task, vm_address_t address, vm_size_t size, void* data,
                                     vm_size_t* outsize) noexcept {
  if (outsize) *outsize = 0;
  if (size == 0) return KERN_SUCCESS;
  if (address + size < address) return KERN_INVALID_ADDRESS;
  ErrnoGuard guard;
  bool own = task_is_self(task);
  if (own) task = mach_task_self();
  bool ok = readWithVmReadv(task, address, size, data);
  if (!ok && own && errno != EFAULT) ok = readWithPipe(address, size, data);
  if (ok) {
    if (outsize) *outsize = size;
    return KERN_SUCCESS;
  }
  if (!own) return errno == ESRCH ? KERN_INVALID_ARGUMENT : KERN_FAILURE;
  // Tell an unmapped page from a protected one, page by page in order.
  kern_return_t result = KERN_FAILURE;
  vm_address_t page = address & ~vm_page_mask();
  vm_address_t last = address + size - 1;
  for (;;) {
    if (!pageMapped(page)) {
      result = KERN_INVALID_ADDRESS;
      break;
    }
    if (!pageReadable(page)) {
      result = KERN_PROTECTION_FAILURE;
      break;
    }
    vm_address_t next = page + vm_page_size();
    if (next <= page || next > last) break;
    page = next;
  }
  return result;
}

vm_size_t task_readable_prefix(task_t task, vm_address_t address, vm_size_t size) noexcept {
  if (size == 0) return 0;
  ErrnoGuard guard;
  vm_address_t first = address & ~vm_page_mask();
  vm_address_t last = address + size - 1;
  if (last < address) last = ~vm_address_t{0};
  vm_size_t pages = ((last & ~vm_page_mask()) - first) / vm_page_size() + 1;
  vm_size_t readable = readablePages(task, first, pages);
  if (readable == 0) return 0;
  vm_size_t covered = first + readable * vm_page_size() - address;
  return covered < size ? covered : size;
}

#ifdef KX_TEST_SEAMS
void setProcessVmReadvRefusedForTesting(bool refused) noexcept {
  gVmReadvRefused.store(refused, std::memory_order_relaxed);
}
#endif

}  // namespace sys
