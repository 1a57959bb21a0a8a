#include <gtest/gtest.h>

#include "base/FatalError.h"

namespace base {
namespace {

TEST(FatalErrorTest, ReportsTheMessageWithTheCallersFileAndLine) {
  EXPECT_DEATH(base::fatalError("stopped here"),
               "Fatal error: stopped here: file .*FatalErrorTest\\.cpp, line [0-9]+");
}

}  // namespace
}  // namespace base
