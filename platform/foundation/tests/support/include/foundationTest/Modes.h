#pragma once

#include <sys/stat.h>

#include <filesystem>

namespace foundationtest {

// Sets the process's umask for the life of the object (every thread shares
// it: use it where no other thread makes files meanwhile).
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(saved_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t saved_;
};

// The permission bits of what `path` names, as an octal number (0700).
inline unsigned modeOf(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0;
}

}  // namespace foundationtest
