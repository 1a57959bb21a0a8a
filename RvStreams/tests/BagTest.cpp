#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "RvStreams/Bag.h"

namespace rv {
namespace {

std::vector<int> visit(const Bag<int>& bag) {
  std::vector<int> seen;
  bag.forEach([&](int v) { seen.push_back(v); });
  return seen;
}

TEST(Bag, NewBagIsEmpty) {
  Bag<int> bag;
  EXPECT_EQ(bag.count(), 0u);
  EXPECT_EQ(bag.debugDescription(), "0 elements in Bag");
  EXPECT_TRUE(visit(bag).empty());
}

TEST(Bag, FirstMemberIsInlineSecondGoesToPairs) {
  Bag<int> bag;
  EXPECT_EQ(bag.insert(10).rawValue, 0u);
  EXPECT_TRUE(bag.onlyFastPath());
  EXPECT_EQ(bag.pairCount(), 0u);
  EXPECT_EQ(bag.insert(11).rawValue, 1u);
  EXPECT_FALSE(bag.onlyFastPath());
  EXPECT_EQ(bag.pairCount(), 1u);
  EXPECT_EQ(bag.debugDescription(), "2 elements in Bag");
}

TEST(Bag, OneAtATimeStaysOnTheInlineSlot) {
  Bag<int> bag;
  BagKey first = bag.insert(1);
  EXPECT_EQ(bag.removeKey(first), 1);
  BagKey second = bag.insert(2);
  EXPECT_EQ(first.rawValue, 0u);
  EXPECT_EQ(second.rawValue, 1u);
  EXPECT_TRUE(bag.onlyFastPath());
  EXPECT_EQ(visit(bag), std::vector<int>{2});
}

TEST(Bag, TiersAt1And31And32Members) {
  Bag<int> bag;
  for (int i = 1; i <= 31; ++i) bag.insert(i);
  EXPECT_TRUE(bag.hasInlineMember());
  EXPECT_EQ(bag.pairCount(), 30u);
  EXPECT_FALSE(bag.hasDictionary());

  bag.insert(32);
  EXPECT_TRUE(bag.hasDictionary());
  EXPECT_EQ(bag.dictionaryCount(), 1u);
  EXPECT_EQ(bag.count(), 32u);

  std::vector<int> expected;
  for (int i = 1; i <= 32; ++i) expected.push_back(i);
  EXPECT_EQ(visit(bag), expected);  // the one table member comes last
}

TEST(Bag, OnceTheTableExistsNewMembersGoThereEvenWithRoomInPairs) {
  Bag<int> bag;
  std::vector<BagKey> keys;
  for (int i = 1; i <= 32; ++i) keys.push_back(bag.insert(i));
  for (int i = 1; i <= 30; ++i) bag.removeKey(keys[static_cast<size_t>(i)]);  // every pair
  EXPECT_EQ(bag.pairCount(), 0u);
  bag.insert(33);
  EXPECT_EQ(bag.pairCount(), 0u);
  EXPECT_EQ(bag.dictionaryCount(), 2u);

  bag.removeKey(keys[0]);  // frees the inline slot
  bag.insert(34);
  EXPECT_TRUE(bag.hasInlineMember());
  EXPECT_EQ(bag.dictionaryCount(), 2u);
  std::vector<int> seen = visit(bag);
  EXPECT_EQ(seen.front(), 34);
  std::sort(seen.begin() + 1, seen.end());
  EXPECT_EQ(seen, (std::vector<int>{34, 32, 33}));
}

TEST(Bag, FreedInlineSlotIsReusedAheadOfPairs) {
  Bag<int> bag;
  BagKey a = bag.insert(1);
  bag.insert(2);
  bag.insert(3);
  bag.removeKey(a);
  bag.insert(4);
  EXPECT_EQ(visit(bag), (std::vector<int>{4, 2, 3}));
}

TEST(Bag, RemovingAnAbsentKeyChangesNothing) {
  Bag<int> bag;
  bag.insert(1);
  bag.insert(2);
  EXPECT_EQ(bag.removeKey(BagKey{99}), std::nullopt);
  EXPECT_EQ(visit(bag), (std::vector<int>{1, 2}));
}

TEST(Bag, RemovingAPairKeepsTheOrderOfTheRest) {
  Bag<int> bag;
  bag.insert(1);
  bag.insert(2);
  BagKey three = bag.insert(3);
  bag.insert(4);
  EXPECT_EQ(bag.removeKey(three), 3);
  EXPECT_EQ(visit(bag), (std::vector<int>{1, 2, 4}));
}

TEST(Bag, RemoveAllKeepsTheKeyCounterAndTheSlowPath) {
  Bag<int> bag;
  bag.insert(1);
  bag.insert(2);
  bag.removeAll();
  EXPECT_EQ(bag.count(), 0u);
  EXPECT_FALSE(bag.onlyFastPath());
  EXPECT_EQ(bag.insert(3).rawValue, 2u);
}

TEST(Bag, RemoveAllKeepsAnEmptyTable) {
  Bag<int> bag;
  for (int i = 0; i < 32; ++i) bag.insert(i);
  bag.removeAll();
  EXPECT_TRUE(bag.hasDictionary());
  EXPECT_EQ(bag.count(), 0u);
  bag.insert(1);
  bag.insert(2);  // not inline: goes to the table that still exists
  EXPECT_EQ(bag.pairCount(), 0u);
  EXPECT_EQ(bag.dictionaryCount(), 1u);
}

TEST(Bag, CopiesAreIndependentOfLaterChanges) {
  Bag<std::string> bag;
  bag.insert("a");
  BagKey b = bag.insert("b");
  Bag<std::string> snapshot = bag;
  bag.removeKey(b);
  bag.insert("c");
  bag.insert("d");
  std::vector<std::string> seen;
  snapshot.forEach([&](const std::string& s) { seen.push_back(s); });
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(bag.count(), 3u);
}

}  // namespace
}  // namespace rv
