#include "DUZEOwnFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/ProcFiles.h"

namespace duze {

OwnFile makeOwnerOnly(const std::filesystem::path& path, bool create) {
  // A descriptor that only names the file: opened without following a link
  // at the end of the path, whatever the file's permissions are.
  int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && create) {
    // O_EXCL never follows a link either, a dangling one included.
    const int made =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made >= 0) ::close(made);
    if (made >= 0 || errno == EEXIST) fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0) {
    const int error = errno;
    return {error == ENOENT ? OwnFile::State::Missing : OwnFile::State::Failed, error};
  }
  OwnFile file;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    file = {OwnFile::State::Failed, errno};
  } else if (S_ISLNK(st.st_mode)) {
    file = {OwnFile::State::Link, ELOOP};
  } else if (!S_ISREG(st.st_mode)) {
    file = {OwnFile::State::NotRegular, S_ISDIR(st.st_mode) ? EISDIR : EINVAL};
  } else {
    file = {OwnFile::State::Regular, 0};
    // The mode of the very file just looked at (a descriptor of this kind
    // cannot be given to fchmod, its name under /proc can): one of another
    // user's is left as it is.
    if (st.st_uid == ::geteuid() && (st.st_mode & 07777) != 0600) {
      ::chmod(base::ProcPath(base::kProcSelf).file("fd").id(fd).c_str(), 0600);
    }
  }
  ::close(fd);
  return file;
}

}  // namespace duze
