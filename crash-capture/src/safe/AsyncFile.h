#pragma once

#include <cstddef>
#include <cstdint>

// Buffered crash-time output file. Owned by its caller (usually on the stack)
// and used by one thread at a time. The buffer is written out only when the
// next piece would not fit; pieces larger than the buffer bypass it.
struct rocrash_async_file {
  static constexpr size_t kBufferSize = 256;

  int fd;                // opened by the caller
  uint64_t limit_bytes;  // 0 = no limit
  uint64_t total_bytes;  // bytes accepted so far (counted only with a limit)
  uint64_t buflen;       // bytes waiting in the buffer
  bool refused;          // a piece passed the limit: nothing more is accepted
  bool failed;           // a write-out failed: nothing more is accepted or flushed
  uint8_t buffer[kBufferSize];
};

// Sets the descriptor and the limit; total and buffered start at 0.
void rocrash_async_file_init(rocrash_async_file* file, int fd, uint64_t output_limit) noexcept;
// Accepts `length` bytes. False when the limit would be exceeded or a
// write-out failed (the buffered count is kept). Either ends the file's
// output for good: every later piece is refused too (and, after a failed
// write-out, every flush), so the file never goes on after a gap, however
// much of the failed piece reached the descriptor.
bool rocrash_async_file_write(rocrash_async_file* file, const void* data, size_t length) noexcept;
// Writes out the buffer; on failure the buffered count is kept. False, doing
// nothing, once a write-out has failed.
bool rocrash_async_file_flush(rocrash_async_file* file) noexcept;
// Flushes (a failed flush leaves the descriptor open), then closes. True only
// when both succeeded.
bool rocrash_async_file_close(rocrash_async_file* file) noexcept;
