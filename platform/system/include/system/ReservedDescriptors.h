#pragma once

#include <cstdint>

// Descriptors kept open from set-up for use at crash time (the report's file,
// the thread list's folder). A program may close descriptors it did not open
// (`closefrom`, `close_range`, a double close) and then get the same number
// for a file of its own: a kept number is used, or closed, only while it
// still names what it was opened on. Async-signal-safe: one `fstat` each.
namespace sys {

// The device and inode a descriptor was opened on.
struct descriptor_identity {
  uint64_t device = 0;
  uint64_t inode = 0;
};

// What `fd` is open on; false when it is not open.
bool descriptor_identify(int fd, descriptor_identity* identity) noexcept;

// Whether `fd` is still open on `identity`; with `unnamed`, also on a file
// that no folder links (one made without a name and not named since: a
// file of the program's that took the freed inode has a name).
bool descriptor_still_names(int fd, const descriptor_identity& identity, bool unnamed) noexcept;

}  // namespace sys
