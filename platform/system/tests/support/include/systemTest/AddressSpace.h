#pragma once

#include <cstddef>

namespace sys::testing {

// From here on no mapping can be added past `spareBytes`: the calling
// process's address space is limited to its size now plus those (RLIMIT_AS).
void exhaustAddressSpace(size_t spareBytes = 0);

// The mappings of the calling process, as the kernel counts them against its
// limit (the lines of /proc/self/maps); -1 when they cannot be read.
long mappingCount();

// The bytes of address space the calling process has mapped (VmSize); -1
// when they cannot be read.
long long mappedBytes();

}  // namespace sys::testing
