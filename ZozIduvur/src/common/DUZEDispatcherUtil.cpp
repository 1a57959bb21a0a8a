#include "ZozIduvur/DUZEDispatcherUtil.h"

#include "dispatch/DispatchQueue.h"

void DUZEDispatcherUtil::performBlockOnMainThread(std::function<void()> block) {
  if (!block) return;
  if (dispatch::isMainThread()) {
    block();
    return;
  }
  dispatch::DispatchQueue::main()->async(std::move(block));
}
