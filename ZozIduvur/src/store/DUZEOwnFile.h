#pragma once

#include <filesystem>

// Files the client keeps for itself in its data folder (the log store's lock
// file, database and companions): a symbolic link found at such a name is
// never followed, so that nothing outside the folder is made, changed or
// written through it.
namespace duze {

struct OwnFile {
  enum class State { Regular, Missing, Link, NotRegular, Failed };
  State state = State::Failed;
  int error = 0;  // why, when not Regular: the errno, ELOOP for a link

  bool regular() const { return state == State::Regular; }
  bool link() const { return state == State::Link; }
};

// What stands at `path`; a regular file of this user's is made
// owner-read-write (0600) first. With `create`, a missing file is made
// (empty, 0600). Only the file opened here has its mode changed: never the
// target of a link, never a file put there meanwhile.
OwnFile makeOwnerOnly(const std::filesystem::path& path, bool create);

}  // namespace duze
