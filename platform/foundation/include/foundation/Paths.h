#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>
#include <system_error>

namespace foundation {

// Environment variable that names the application's data directory outright
// (tests and parallel runs point it at their own temporary folder).
inline constexpr std::string_view kDataDirectoryEnvironmentVariable = "KESTRIX_DATA_DIR";

// Where the application keeps its data: the folder named by KESTRIX_DATA_DIR
// when set, else "$XDG_DATA_HOME/<bundle identifier>" (an absolute
// XDG_DATA_HOME), else "$HOME/.local/share/<bundle identifier>". Read anew on
// every call; the folder is not created here.
std::filesystem::path applicationDataDirectory();

// What becomes of the folder asked for when it exists already.
enum class ExistingFolder {
  // It keeps its mode: it may be someone else's (a home or a shared folder).
  keep,
  // It is made owner-only too: it is the caller's own, perhaps made open by
  // an earlier version.
  makePrivate,
};

// Creates `folder` and every missing parent owner-only: mode 0700 is given to
// mkdir itself, so no folder is open to other users for a moment, whatever
// the umask (one that takes owner bits away is made up for on the new folder
// alone). Folders that exist keep their mode, except `folder` as `existing`
// says. A folder made meanwhile by another process counts as existing. True
// when `folder` is a folder at the end; otherwise false with `error` set
// (when given). Any thread.
bool createPrivateDirectory(const std::filesystem::path& folder,
                            ExistingFolder existing = ExistingFolder::keep,
                            std::error_code* error = nullptr);

// Writes `bytes` to `file` through a temporary file in the same folder, made
// new under a name nothing else stands at (nothing there is written through
// or renamed into place), flushed to disk before it is renamed over `file`,
// creating missing parent folders owner-only (`createPrivateDirectory`). The
// file written has `mode` (less the process's umask). False when any step fails (the old content,
// if any, stays).
bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                         mode_t mode = 0644);

}  // namespace foundation
