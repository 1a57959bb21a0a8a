#pragma once

#include <functional>
#include <ostream>

namespace sys::testing {

// What a forked child with two threads says of its descriptor table after
// its first thread ran an action there.
enum class ChildTable {
  shared,        // both threads still use one table
  split,         // they do not: a descriptor one opens is not the other's
  actionFailed,  // the action answered false
};

// Forks a child that starts a second thread, runs `action` on its first
// thread, and then asks whether the two threads share one descriptor table:
// whether a descriptor the second thread opens then is open on the same file
// for the first.
ChildTable childTableAfter(const std::function<bool()>& action);

// Takes every descriptor the calling process may still open: its limit is
// lowered to 256 first, and each free number below it is opened on
// /dev/null.
void useUpDescriptors();

inline void PrintTo(ChildTable table, std::ostream* out) {
  *out << (table == ChildTable::shared  ? "shared"
           : table == ChildTable::split ? "split"
                                        : "action failed");
}

}  // namespace sys::testing
