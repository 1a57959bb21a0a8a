#include "system/ReservedDescriptors.h"

#include <errno.h>
#include <sys/stat.h>

namespace sys {

bool descriptor_identify(int fd, descriptor_identity* identity) noexcept {
  const int saved = errno;
  struct stat st;
  const bool open = fd >= 0 && fstat(fd, &st) == 0;
  errno = saved;
  if (!open) return false;
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool descriptor_still_names(int fd, const descriptor_identity& identity, bool unnamed) noexcept {
  const int saved = errno;
  struct stat st;
  const bool open = fd >= 0 && fstat(fd, &st) == 0;
  errno = saved;
  return open && static_cast<uint64_t>(st.st_dev) == identity.device &&
         static_cast<uint64_t>(st.st_ino) == identity.inode && (!unnamed || st.st_nlink == 0);
}

}  // namespace sys
