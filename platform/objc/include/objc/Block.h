#pragma once

#include <functional>
#include <utility>

#include "objc/NSObject.h"

namespace objc {

// A closure as an object of the runtime (class "NSBlock"); its encoding as an
// argument is "@?". Blocks are immutable: `copy` returns the same block.
class BlockObject : public NSObject {
 public:
  static constexpr bool kIsBlockObject = true;
  static Class classObject();

 protected:
  BlockObject() = default;

 private:
  friend struct detail::InstanceAccess;
};

template <class Sig>
class Block;

template <class R, class... A>
class Block<R(A...)> final : public BlockObject {
 public:
  template <class F>
  static Ref<Block> create(F function) {
    auto* block = new Block(std::function<R(A...)>(std::move(function)));
    detail::adoptNewObject(block, BlockObject::classObject());
    return Ref<Block>::adopt(block);
  }

  R operator()(A... args) const { return function_(std::forward<A>(args)...); }

 private:
  explicit Block(std::function<R(A...)> function) : function_(std::move(function)) {}
  std::function<R(A...)> function_;
};

}  // namespace objc
