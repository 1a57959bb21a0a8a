#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "foundation/StringFormat.h"

using foundation::stringWithFormat;

namespace {
struct Described {
  std::string description() const { return "<described>"; }
};
}  // namespace

TEST(StringFormat, ObjectSpecifierPrintsStringsNumbersObjectsAndNull) {
  EXPECT_EQ(stringWithFormat("[%@] %@: %@/%d %@", "ZozIduvur", "ERROR", "func", 42, "text"),
            "[ZozIduvur] ERROR: func/42 text");
  EXPECT_EQ(stringWithFormat("%@ %@ %@", 7, 2.5, Described{}), "7 2.5 <described>");
  EXPECT_EQ(stringWithFormat("%@", std::shared_ptr<Described>()), "(null)");
  EXPECT_EQ(stringWithFormat("%@", std::make_shared<Described>()), "<described>");
  EXPECT_EQ(stringWithFormat("%@|%@", std::optional<std::string>(), std::optional<int>(3)),
            "(null)|3");
  EXPECT_EQ(stringWithFormat("%@", static_cast<const char*>(nullptr)), "(null)");
}

TEST(StringFormat, IntegerWidthsFollowTheLengthModifier) {
  // Without a modifier %d and %u are 32-bit, as C's int.
  EXPECT_EQ(stringWithFormat("%d", int64_t{1} << 32 | 5), "5");
  EXPECT_EQ(stringWithFormat("%u", -1), "4294967295");
  EXPECT_EQ(stringWithFormat("%lu %lld %llu", uint64_t{1} << 40, int64_t{-3}, ~uint64_t{0}),
            "1099511627776 -3 18446744073709551615");
  EXPECT_EQ(stringWithFormat("%llx", uint64_t{0xdeadbeef}), "deadbeef");
  EXPECT_EQ(stringWithFormat("%0*llx", 16, uint64_t{0xabc}), "0000000000000abc");
  EXPECT_EQ(stringWithFormat("%tu %ld", size_t{9}, long{-2}), "9 -2");
}

TEST(StringFormat, FloatsCharactersStringsAndPercent) {
  EXPECT_EQ(stringWithFormat("%.0f", 1234.6), "1235");
  EXPECT_EQ(stringWithFormat("%f", 1.5), "1.500000");
  EXPECT_EQ(stringWithFormat("%c:%@", 'u', "id"), "u:id");
  EXPECT_EQ(stringWithFormat("%s and 100%%", "text"), "text and 100%");
  EXPECT_EQ(stringWithFormat("%5@|%-4s|", "ab", "c"), "   ab|c   |");
}

TEST(StringFormat, MissingArgumentsAndUnfinishedSpecifiersAreHarmless) {
  EXPECT_EQ(stringWithFormat("a %@ b %d c"), "a  b  c");
  EXPECT_EQ(stringWithFormat("tail %"), "tail %");
  EXPECT_EQ(stringWithFormat("%k", 1), "%k");
  EXPECT_EQ(stringWithFormat("no specifiers", 1, 2), "no specifiers");
}
