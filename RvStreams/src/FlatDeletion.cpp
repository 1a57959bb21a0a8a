#include "RvStreams/detail/FlatDeletion.h"

namespace rv::detail {

namespace {

// The deletions queued on this thread's loop, last queued first, and whether
// the loop runs. Trivially destructible, so that a chain let go by another
// thread-local object's destructor at thread exit still finds it.
struct DeletionQueue {
  FlatDeletion* head = nullptr;
  bool running = false;
};

constinit thread_local DeletionQueue tQueue;

// Marks the loop running for as long as it is in scope.
class Running {
 public:
  explicit Running(DeletionQueue& queue) noexcept : queue_(queue) { queue_.running = true; }
  ~Running() { queue_.running = false; }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  DeletionQueue& queue_;
};

}  // namespace

void FlatDeleter::operator()(FlatDeletion* object) const noexcept {
  if (object == nullptr) return;
  DeletionQueue& queue = tQueue;
  if (queue.running) {
    object->nextQueued_ = queue.head;
    queue.head = object;
    return;
  }
  const Running running(queue);
  delete object;
  while (queue.head != nullptr) {
    FlatDeletion* next = queue.head;
    queue.head = next->nextQueued_;
    delete next;
  }
}

}  // namespace rv::detail
