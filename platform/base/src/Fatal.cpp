#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/FatalError.h"

namespace base {

namespace {

// Gathers the line in a fixed buffer so that a short report leaves in one
// write and cannot interleave with another thread's output; a longer one
// leaves in buffer-sized pieces.
class LineWriter {
 public:
  void append(std::string_view text) noexcept {
    while (!text.empty()) {
      size_t room = sizeof(buffer_) - used_;
      size_t count = text.size() < room ? text.size() : room;
      std::memcpy(buffer_ + used_, text.data(), count);
      used_ += count;
      text.remove_prefix(count);
      if (used_ == sizeof(buffer_)) flush();
    }
  }

  void append(int value) noexcept {
    char digits[12];
    size_t at = sizeof(digits);
    // Widened first so that the most negative value has a magnitude.
    long long magnitude = value < 0 ? -static_cast<long long>(value) : value;
    do {
      digits[--at] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--at] = '-';
    append(std::string_view(digits + at, sizeof(digits) - at));
  }

  void flush() noexcept {
    size_t written = 0;
    while (written < used_) {
      ssize_t n = ::write(STDERR_FILENO, buffer_ + written, used_ - written);
      if (n < 0 && errno == EINTR) continue;
      // Nothing more can be done for a report that cannot be written.
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    used_ = 0;
  }

 private:
  char buffer_[1024];
  size_t used_ = 0;
};

}  // namespace

void fatalError(std::string_view message, const char* file, int line) noexcept {
  LineWriter out;
  out.append("Fatal error: ");
  out.append(message);
  out.append(": file ");
  out.append(std::string_view(file != nullptr ? file : "?"));
  out.append(", line ");
  out.append(line);
  out.append("\n");
  out.flush();
  std::abort();
}

}  // namespace base
