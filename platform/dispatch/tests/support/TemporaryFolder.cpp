#include "dispatchTest/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <system_error>
#include <vector>

namespace dispatch::testing {

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* made = mkdtemp(buffer.data());
  EXPECT_NE(made, nullptr) << "cannot make a folder like " << pattern;
  if (made) path_ = made;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

}  // namespace dispatch::testing
