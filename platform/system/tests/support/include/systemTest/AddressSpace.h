#pragma once

namespace sys::testing {

// From here on no mapping can be added: the calling process's address space
// is limited to its size now (RLIMIT_AS).
void exhaustAddressSpace();

}  // namespace sys::testing
