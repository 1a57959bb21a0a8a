#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "RvStreams/PriorityQueue.h"
#include "RvStreams/Queue.h"
#include "RvStreamsTest/TestKit.h"

namespace rv {
namespace {

std::vector<int> contents(const Queue<int>& queue) { return {queue.begin(), queue.end()}; }

TEST(Queue, GrowsFromZeroBy2Then4Then8) {
  Queue<int> queue(0);
  EXPECT_EQ(queue.capacity(), 0);
  queue.enqueue(1);
  EXPECT_EQ(queue.capacity(), 2);
  queue.enqueue(2);
  EXPECT_EQ(queue.capacity(), 2);
  queue.enqueue(3);
  EXPECT_EQ(queue.capacity(), 4);
  queue.enqueue(4);
  queue.enqueue(5);
  EXPECT_EQ(queue.capacity(), 8);
}

TEST(Queue, ShrinksFrom16To8OnlyBelowAQuarter) {
  Queue<int> queue(0);
  for (int i = 1; i <= 9; ++i) queue.enqueue(i);
  EXPECT_EQ(queue.capacity(), 16);
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(queue.dequeue(), i);
  EXPECT_EQ(queue.count(), 4);
  EXPECT_EQ(queue.capacity(), 16);
  EXPECT_EQ(queue.dequeue(), 6);
  EXPECT_EQ(queue.capacity(), 8);
  EXPECT_EQ(queue.dequeue(), 7);
  EXPECT_EQ(queue.dequeue(), 8);
  EXPECT_EQ(queue.dequeue(), 9);
  EXPECT_EQ(queue.dequeue(), std::nullopt);
}

TEST(Queue, NeverShrinksBelowTwiceItsInitialCapacity) {
  Queue<int> queue(10);
  for (int i = 0; i < 41; ++i) queue.enqueue(i);
  EXPECT_EQ(queue.capacity(), 80);
  while (!queue.isEmpty()) queue.dequeue();
  EXPECT_EQ(queue.capacity(), 20);
}

TEST(Queue, KeepsOrderAcrossWrapAroundGrowAndShrink) {
  Queue<int> queue(0);
  std::vector<int> out;
  int next = 0;
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < round % 7 + 1; ++i) queue.enqueue(next++);
    for (int i = 0; i < round % 5 + 1; ++i) {
      if (auto v = queue.dequeue()) out.push_back(*v);
    }
  }
  while (auto v = queue.dequeue()) out.push_back(*v);
  ASSERT_EQ(static_cast<int>(out.size()), next);
  for (int i = 0; i < next; ++i) EXPECT_EQ(out[static_cast<size_t>(i)], i);
}

TEST(Queue, IterationYieldsOldestFirstWithoutRemoving) {
  Queue<int> queue(2);
  EXPECT_TRUE(contents(queue).empty());
  queue.enqueue(1);
  queue.enqueue(2);
  queue.dequeue();
  queue.enqueue(3);  // wraps around
  EXPECT_EQ(contents(queue), (std::vector<int>{2, 3}));
  EXPECT_EQ(queue.count(), 2);
  EXPECT_EQ(queue.peek(), 2);
}

TEST(Queue, CopiesAreIndependentAndMoveOnlyElementsWork) {
  Queue<int> a(0);
  a.enqueue(1);
  Queue<int> b = a;
  b.enqueue(2);
  EXPECT_EQ(a.count(), 1);
  EXPECT_EQ(b.count(), 2);

  Queue<std::unique_ptr<int>> owned(0);
  owned.enqueue(std::make_unique<int>(4));
  EXPECT_EQ(**owned.dequeue(), 4);
}

using QueueDeathTest = test::DeathTestBase;

TEST_F(QueueDeathTest, PeekingAnEmptyQueueStops) {
  EXPECT_DEATH(
      {
        Queue<int> queue(0);
        (void)queue.peek();
      },
      "Queue is empty");
}

PriorityQueue<int> smallestFirst() {
  return PriorityQueue<int>([](int a, int b) { return a < b; },
                            [](int a, int b) { return a == b; });
}

TEST(PriorityQueue, PeekGivesTheHighestPriority) {
  auto queue = smallestFirst();
  EXPECT_EQ(queue.peek(), std::nullopt);
  queue.enqueue(5);
  queue.enqueue(1);
  queue.enqueue(3);
  EXPECT_EQ(queue.peek(), 1);
  queue.remove(1);
  EXPECT_EQ(queue.peek(), 3);
}

TEST(PriorityQueue, RemovingAnAbsentElementChangesNothing) {
  auto queue = smallestFirst();
  for (int v : {4, 2, 6}) queue.enqueue(v);
  const std::vector<int> before = queue.elements();
  queue.remove(9);
  EXPECT_EQ(queue.elements(), before);
  queue.remove(6);  // the last array element: no rebalancing
  EXPECT_EQ(queue.elements(), (std::vector<int>{2, 4}));
}

TEST(PriorityQueue, DrainsInPriorityOrderAfterRemovalsInTheMiddle) {
  auto queue = smallestFirst();
  for (int v : {9, 4, 7, 1, 8, 2, 6, 3, 5}) queue.enqueue(v);
  queue.remove(4);
  queue.remove(1);
  std::vector<int> out;
  while (auto v = queue.peek()) {
    out.push_back(*v);
    queue.remove(*v);
  }
  EXPECT_EQ(out, (std::vector<int>{2, 3, 5, 6, 7, 8, 9}));
  EXPECT_EQ(queue.debugDescription(), "[]");
}

}  // namespace
}  // namespace rv
