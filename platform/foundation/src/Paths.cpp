#include "foundation/Paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "foundation/Bundle.h"

namespace foundation {

std::filesystem::path applicationDataDirectory() {
  if (const char* dir = std::getenv(std::string(kDataDirectoryEnvironmentVariable).c_str());
      dir && *dir) {
    return std::filesystem::path(dir);
  }
  std::filesystem::path base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::filesystem::path(home) / ".local" / "share";
  } else {
    base = std::filesystem::temp_directory_path();
  }
  return base / NSBundle::mainBundle()->bundleIdentifier();
}

bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, mode_t mode) {
  static std::atomic<uint64_t> counter{0};
  std::error_code ec;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
  std::filesystem::path temp = file;
  temp += ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t written = 0;
  bool ok = true;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    written += static_cast<size_t>(n);
  }
  // On disk before it takes the old file's place: after a power cut the name
  // holds either the old content or the new, never an empty file.
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), file.c_str()) != 0) ok = false;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace foundation
