#include "foundation/Paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

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

namespace {

bool isDirectory(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fail(std::error_code* error, int code) {
  if (error) *error = std::error_code(code, std::generic_category());
  return false;
}

}  // namespace

bool createPrivateDirectory(const std::filesystem::path& folder, ExistingFolder existing,
                            std::error_code* error) {
  if (error) error->clear();
  if (folder.empty()) return fail(error, ENOENT);
  // The folders that are missing, nearest the top last.
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path at = folder;;) {
    struct stat st;
    if (::stat(at.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return fail(error, ENOTDIR);
      break;
    }
    if (errno != ENOENT) return fail(error, errno);
    missing.push_back(at);
    std::filesystem::path parent = at.parent_path();
    if (parent.empty() || parent == at) break;
    at = std::move(parent);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) == 0) {
      // Only an umask that takes owner bits away leaves less; adding them
      // back opens the folder to nobody else.
      struct stat st;
      if (::stat(it->c_str(), &st) == 0 && (st.st_mode & 0777) != 0700) {
        ::chmod(it->c_str(), 0700);
      }
    } else if (const int code = errno; code != EEXIST || !isDirectory(*it)) {
      return fail(error, code == EEXIST ? ENOTDIR : code);
    }
  }
  if (missing.empty() && existing == ExistingFolder::makePrivate) ::chmod(folder.c_str(), 0700);
  return true;
}

bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, mode_t mode) {
  static std::atomic<uint64_t> counter{0};
  if (file.has_parent_path()) createPrivateDirectory(file.parent_path());
  // A new file under a name no one else took: whatever stands at a name that
  // could be guessed (a link, a hard link to someone's file) is neither
  // written through nor given the mode asked for; the next name is tried.
  std::filesystem::path temp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temp = file;
    temp += ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) return false;
  }
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
