#include "FlatDeletionQueue.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace rv::detail {
namespace {

// Queued deletions take nodes from a pool of the library's own (no memory is
// had where a queue is needed), then from the heap; a deletion that gets
// neither runs in place. The pool's free nodes form a stack whose head
// carries a count beside the node's number, so that a node taken and given
// back meanwhile is not taken for the head it was.
constexpr std::uint32_t kPooledNodes = 1024;
constinit FlatQueued gNodes[kPooledNodes] = {};
std::atomic<std::uint32_t> gNodesNeverUsed{0};
std::atomic<std::uint64_t> gFreeNodes{0};  // count << 32 | (number + 1), 0 if none

FlatQueued* takeNode() noexcept {
  std::uint64_t head = gFreeNodes.load(std::memory_order_acquire);
  while ((head & 0xffff'ffff) != 0) {
    FlatQueued& node = gNodes[(head & 0xffff'ffff) - 1];
    const std::uint64_t next =
        ((head >> 32) + 1) << 32 | node.nextFree.load(std::memory_order_relaxed);
    if (gFreeNodes.compare_exchange_weak(head, next, std::memory_order_acquire)) return &node;
  }
  // Counted up only while some are left, so that the count never wraps.
  if (gNodesNeverUsed.load(std::memory_order_relaxed) < kPooledNodes) {
    const std::uint32_t fresh = gNodesNeverUsed.fetch_add(1, std::memory_order_relaxed);
    if (fresh < kPooledNodes) return &gNodes[fresh];
  }
  return static_cast<FlatQueued*>(std::malloc(sizeof(FlatQueued)));
}

void giveBackNode(FlatQueued* node) noexcept {
  if (node < gNodes || node >= gNodes + kPooledNodes) {
    std::free(node);
    return;
  }
  const auto number = static_cast<std::uint64_t>(node - gNodes) + 1;
  std::uint64_t head = gFreeNodes.load(std::memory_order_relaxed);
  do {
    node->nextFree.store(static_cast<std::uint32_t>(head & 0xffff'ffff), std::memory_order_relaxed);
  } while (!gFreeNodes.compare_exchange_weak(head, ((head >> 32) + 1) << 32 | number,
                                             std::memory_order_release, std::memory_order_relaxed));
}

FlatQueued* takeAfter(FlatQueued*& first, FlatQueued*& last, FlatQueued* mark) noexcept {
  FlatQueued*& from = mark != nullptr ? mark->next : first;
  FlatQueued* const taken = from;
  from = nullptr;
  last = mark;
  return taken;
}

}  // namespace

bool queueFlat(FlatQueued*& first, FlatQueued*& last, FlatDeletion* object,
               FlatDestroy later) noexcept {
  FlatQueued* node = takeNode();
  if (node == nullptr) return false;
  node->object = object;
  node->destroy = later;
  node->next = nullptr;
  if (last == nullptr) {
    first = node;
  } else {
    last->next = node;
  }
  last = node;
  return true;
}

void runQueued(FlatQueued* node) noexcept {
  FlatDeletion* const object = node->object;
  const FlatDestroy destroy = node->destroy;
  giveBackNode(node);
  destroy(object);
}

void runQueuedAfter(FlatQueued*& first, FlatQueued*& last, FlatQueued* mark) noexcept {
  FlatQueued* next = takeAfter(first, last, mark);
  while (next != nullptr) {
    FlatQueued* const node = next;
    next = node->next;
    runQueued(node);
    if (last != mark) {
      last->next = next;
      next = takeAfter(first, last, mark);
    }
  }
}

}  // namespace rv::detail
