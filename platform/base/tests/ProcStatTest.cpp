#include <gtest/gtest.h>

#include <string>

#include "base/ProcStat.h"

namespace {

// A stat line whose name holds ")", spaces and digits, read whole and a byte
// at a time: the fields are those after the name's last ")".
TEST(ProcStat, FieldsComeAfterTheNamesLastParenthesis) {
  std::string line = "4242 (a) 1 2 (b)) R 17";
  for (int field = 5; field <= 21; ++field) line += " " + std::to_string(field);
  line += " 987654 23 24\n";
  for (const size_t piece : {line.size(), size_t{1}}) {
    base::ProcStatScanner scanner;
    scanner.start();
    for (size_t at = 0; at < line.size(); at += piece) {
      scanner.feed(line.data() + at, std::min(piece, line.size() - at));
    }
    ASSERT_TRUE(scanner.complete());
    const base::ProcStat& stat = scanner.stat();
    EXPECT_EQ(std::string(stat.name, stat.nameLength), "a) 1 2 (b)");
    EXPECT_EQ(stat.state, 'R');
    EXPECT_EQ(stat.parent, 17);
    EXPECT_EQ(stat.startTicks, 987654u);
  }
  base::ProcStatScanner cut;
  cut.start();
  cut.feed(line.data(), line.find(" 987654"));
  EXPECT_FALSE(cut.complete());
  base::ProcStat self;
  ASSERT_TRUE(base::proc_stat_read("/proc/self/stat", &self));
  EXPECT_EQ(self.state, 'R');
  EXPECT_GT(self.startTicks, 0u);
}

}  // namespace
