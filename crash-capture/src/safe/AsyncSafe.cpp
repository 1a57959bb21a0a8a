#include "AsyncSafe.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include "AsyncFile.h"
#include "AsyncMachException.h"
#include "AsyncReadCache.h"

namespace {

uint16_t direct16(uint16_t v) { return v; }
uint32_t direct32(uint32_t v) { return v; }
uint64_t direct64(uint64_t v) { return v; }
uint16_t swapped16(uint16_t v) { return __builtin_bswap16(v); }
uint32_t swapped32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t swapped64(uint64_t v) { return __builtin_bswap64(v); }

constexpr rocrash_async_byteorder kDirect = {direct16, direct32, direct64};
constexpr rocrash_async_byteorder kSwapped = {swapped16, swapped32, swapped64};

constexpr const char* kMessages[] = {
    "No error",
    "Unknown error",
    "Output file can not be opened (or written to)",
    "No memory available",
    "Operation not supported",
    "Invalid argument",
    "Internal error",
    "Access denied",
    "Not found",
    "The input data is in an unknown or invalid format.",
};

}  // namespace

const char* rocrash_async_strerror(rocrash_error_t error) noexcept {
  if (error < sizeof kMessages / sizeof kMessages[0]) return kMessages[error];
  return "Unhandled error code";
}

const rocrash_async_byteorder* rocrash_async_byteorder_direct() noexcept { return &kDirect; }
const rocrash_async_byteorder* rocrash_async_byteorder_swapped() noexcept { return &kSwapped; }

bool rocrash_async_address_apply_offset(rocrash_vm_address_t base, rocrash_vm_off_t offset,
                                        rocrash_vm_address_t* out) noexcept {
  rocrash_vm_address_t result;
  if (offset >= 0) {
    if (__builtin_add_overflow(base, static_cast<uint64_t>(offset), &result)) return false;
  } else {
    // The magnitude of INT64_MIN does not fit an int64; take it unsigned.
    uint64_t magnitude = 0 - static_cast<uint64_t>(offset);
    if (magnitude > base) return false;
    result = base - magnitude;
  }
  if (out) *out = result;
  return true;
}

sys::thread_t rocrash_async_mach_thread_self() noexcept { return sys::mach_thread_self(); }

rocrash_error_t rocrash_async_task_read(sys::task_t task, rocrash_vm_address_t address,
                                        rocrash_vm_off_t offset, void* destination,
                                        rocrash_vm_size_t length) noexcept {
  rocrash_vm_address_t target;
  if (!rocrash_async_address_apply_offset(address, offset, &target)) return ROCRASH_ERR_NOMEM;
  rocrash_error_t cached;
  if (rocrash::async::read_cache_read(task, target, destination, length, &cached)) return cached;
  sys::vm_size_t copied = 0;
  return rocrash_async_task_read_error(
      sys::mach_vm_read_overwrite(task, target, length, destination, &copied));
}

rocrash_error_t rocrash_async_task_read_uint8(sys::task_t task, rocrash_vm_address_t address,
                                              rocrash_vm_off_t offset, uint8_t* result) noexcept {
  return rocrash_async_task_read(task, address, offset, result, sizeof *result);
}

namespace {
template <class T>
rocrash_error_t readSwapped(sys::task_t task, const rocrash_async_byteorder* byteorder,
                            rocrash_vm_address_t address, rocrash_vm_off_t offset, T* result) {
  rocrash_error_t err = rocrash_async_task_read(task, address, offset, result, sizeof *result);
  *result = rocrash_async_swap(byteorder, *result);
  return err;
}
}  // namespace

rocrash_error_t rocrash_async_task_read_uint16(sys::task_t task,
                                               const rocrash_async_byteorder* byteorder,
                                               rocrash_vm_address_t address,
                                               rocrash_vm_off_t offset, uint16_t* result) noexcept {
  return readSwapped(task, byteorder, address, offset, result);
}

rocrash_error_t rocrash_async_task_read_uint32(sys::task_t task,
                                               const rocrash_async_byteorder* byteorder,
                                               rocrash_vm_address_t address,
                                               rocrash_vm_off_t offset, uint32_t* result) noexcept {
  return readSwapped(task, byteorder, address, offset, result);
}

rocrash_error_t rocrash_async_task_read_uint64(sys::task_t task,
                                               const rocrash_async_byteorder* byteorder,
                                               rocrash_vm_address_t address,
                                               rocrash_vm_off_t offset, uint64_t* result) noexcept {
  return readSwapped(task, byteorder, address, offset, result);
}

int rocrash_async_strcmp(const char* a, const char* b) noexcept {
  for (;; ++a, ++b) {
    auto ca = static_cast<unsigned char>(*a);
    auto cb = static_cast<unsigned char>(*b);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

int rocrash_async_strncmp(const char* a, const char* b, size_t n) noexcept {
  for (; n > 0; --n, ++a, ++b) {
    auto ca = static_cast<unsigned char>(*a);
    auto cb = static_cast<unsigned char>(*b);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

void* rocrash_async_memcpy(void* destination, const void* source, size_t n) noexcept {
  auto* d = static_cast<uint8_t*>(destination);
  const auto* s = static_cast<const uint8_t*>(source);
  size_t i = 0;
  // Word by word where the ranges do not overlap (register states and page
  // copies are copied on every step of a walk); the empty statement keeps
  // the compiler from turning the loops into a library call.
  const auto from = reinterpret_cast<uintptr_t>(s);
  const auto to = reinterpret_cast<uintptr_t>(d);
  if (to - from >= n && from - to >= n) {
    for (; i + 8 <= n; i += 8) {
      uint64_t word;
      __builtin_memcpy(&word, s + i, 8);
      __builtin_memcpy(d + i, &word, 8);
      asm volatile("" ::: "memory");
    }
  }
  for (; i < n; ++i) {
    d[i] = s[i];
    asm volatile("" ::: "memory");
  }
  return destination;
}

void* rocrash_async_memset(void* destination, uint8_t value, size_t n) noexcept {
  auto* d = static_cast<uint8_t*>(destination);
  const uint64_t word = 0x0101010101010101ULL * value;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __builtin_memcpy(d + i, &word, 8);
    asm volatile("" ::: "memory");
  }
  for (; i < n; ++i) {
    d[i] = value;
    asm volatile("" ::: "memory");
  }
  return destination;
}

ssize_t rocrash_async_writen(int fd, const void* data, size_t length) noexcept {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t remaining = length;
  while (remaining > 0) {
    ssize_t written = write(fd, p, remaining);
    if (written < 1) {
      if (written < 0 && errno == EINTR) continue;
      return -1;
    }
    p += written;
    remaining -= static_cast<size_t>(written);
  }
  return static_cast<ssize_t>(length);
}

void rocrash_async_file_init(rocrash_async_file* file, int fd, uint64_t output_limit) noexcept {
  file->fd = fd;
  file->limit_bytes = output_limit;
  file->total_bytes = 0;
  file->buflen = 0;
  file->refused = false;
  file->failed = false;
}

bool rocrash_async_file_write(rocrash_async_file* file, const void* data, size_t length) noexcept {
  if (file->refused || file->failed) return false;
  if (file->limit_bytes != 0) {
    if (file->total_bytes + length > file->limit_bytes) {
      file->refused = true;
      return false;
    }
    file->total_bytes += length;
  }
  if (file->buflen + length > rocrash_async_file::kBufferSize) {
    if (rocrash_async_writen(file->fd, file->buffer, file->buflen) < 0) {
      file->failed = true;
      return false;
    }
    file->buflen = 0;
  }
  if (length > rocrash_async_file::kBufferSize) {
    if (rocrash_async_writen(file->fd, data, length) >= 0) return true;
    file->failed = true;
    return false;
  }
  rocrash_async_memcpy(file->buffer + file->buflen, data, length);
  file->buflen += length;
  return true;
}

bool rocrash_async_file_flush(rocrash_async_file* file) noexcept {
  if (file->failed) return false;
  if (file->buflen == 0) return true;
  if (rocrash_async_writen(file->fd, file->buffer, file->buflen) < 0) {
    file->failed = true;
    return false;
  }
  file->buflen = 0;
  return true;
}

bool rocrash_async_file_close(rocrash_async_file* file) noexcept {
  if (!rocrash_async_file_flush(file)) return false;
  return close(file->fd) == 0;
}

bool rocrash_async_mach_exception_siginfo(uint64_t exception_type, const uint64_t* codes,
                                          uint32_t code_count,
                                          rocrash_async_siginfo* out) noexcept {
  if (code_count < 2) return false;
  int32_t signo;
  int32_t code = 0;
  switch (exception_type) {
    case ROCRASH_EXC_BAD_ACCESS:
      if (codes[0] == 1) {  // invalid address
        signo = SIGSEGV;
        code = SEGV_MAPERR;
      } else {
        signo = SIGBUS;
        code = BUS_ADRERR;
      }
      break;
    case ROCRASH_EXC_BAD_INSTRUCTION:
      signo = SIGILL;
      break;
    case ROCRASH_EXC_ARITHMETIC:
      signo = SIGFPE;
      break;
    case ROCRASH_EXC_EMULATION:
#ifdef SIGEMT
      signo = SIGEMT;
      break;
#else
      return false;
#endif
    case ROCRASH_EXC_SOFTWARE:
      switch (codes[0]) {
        case 0x10000:  // bad system call
          signo = SIGSYS;
          break;
        case 0x10001:  // bad pipe
          signo = SIGPIPE;
          break;
        case 0x10003:  // soft signal
          signo = SIGKILL;
          break;
        default:  // abort, and anything else
          signo = SIGABRT;
          break;
      }
      break;
    case ROCRASH_EXC_BREAKPOINT:
      signo = SIGTRAP;
      code = TRAP_BRKPT;
      break;
    default:
      return false;
  }
  out->signo = signo;
  out->code = code;
  out->address = codes[1];
  return true;
}
