#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace foundation {

// Environment variable that names the application's data directory outright
// (tests and parallel runs point it at their own temporary folder).
inline constexpr std::string_view kDataDirectoryEnvironmentVariable = "KESTRIX_DATA_DIR";

// Where the application keeps its data: the folder named by KESTRIX_DATA_DIR
// when set, else "$XDG_DATA_HOME/<bundle identifier>" (an absolute
// XDG_DATA_HOME), else "$HOME/.local/share/<bundle identifier>". Read anew on
// every call; the folder is not created here.
std::filesystem::path applicationDataDirectory();

// Writes `bytes` to `file` through a temporary file in the same folder,
// flushed to disk before it is renamed over `file`, creating missing parent
// folders. The file written has `mode` (less the process's umask). False when
// any step fails (the old content, if any, stays).
bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                         mode_t mode = 0644);

}  // namespace foundation
