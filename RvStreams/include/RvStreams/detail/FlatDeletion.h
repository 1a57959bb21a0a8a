#pragma once

// Deleting producers that hold producers of their own kind without bound: a
// concatenation whose first source is a concatenation whose first source is
// another, and so on. Subscribing drains such a chain in place, so it can be
// built a million levels deep; deleting it destructor inside destructor would
// then take a few frames of stack for every level. These producers are
// deleted by a loop of the deleting thread instead: a deletion that starts
// while the loop runs (one level's destructor releasing the next level) is
// queued on it, and runs once the destructor running now has returned. The
// outermost deletion returns only once everything it released is deleted.
//
// Queuing takes no memory: the queue is linked through the queued objects,
// which nothing else refers to any more.

#include <memory>
#include <utility>

namespace rv::detail {

class FlatDeletion {
 public:
  virtual ~FlatDeletion() = default;
  FlatDeletion(const FlatDeletion&) = delete;
  FlatDeletion& operator=(const FlatDeletion&) = delete;

 protected:
  FlatDeletion() = default;

 private:
  friend struct FlatDeleter;
  FlatDeletion* nextQueued_ = nullptr;
};

// The deleter of a shared pointer to a FlatDeletion.
struct FlatDeleter {
  void operator()(FlatDeletion* object) const noexcept;
};

// Creates a P (a FlatDeletion) owned by a shared pointer that deletes it
// through the loop.
template <class P, class... Args>
std::shared_ptr<P> makeFlatDeleted(Args&&... args) {
  return std::shared_ptr<P>(new P(std::forward<Args>(args)...), FlatDeleter{});
}

}  // namespace rv::detail
