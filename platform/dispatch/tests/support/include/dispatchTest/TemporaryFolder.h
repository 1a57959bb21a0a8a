#pragma once

#include <filesystem>
#include <string>

namespace dispatch::testing {

// A fresh folder under /tmp, removed with everything in it when the object
// goes.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix = "kestrix-test");
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace dispatch::testing
