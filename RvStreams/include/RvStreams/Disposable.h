#pragma once

// Disposables end subscriptions and release resources. Disposal is idempotent
// and one-shot: the first dispose does the work, later calls do nothing.

#include "RvStreams/Base.h"

namespace rv {

class Disposable {
 public:
  virtual void dispose() noexcept = 0;
  virtual ~Disposable() = default;
};

// A disposable that can tell whether it was disposed.
class Cancelable : public Disposable {
 public:
  virtual bool isDisposed() const noexcept = 0;
};

// The empty root of the library's own disposable classes.
class DisposeBase {
 protected:
  DisposeBase() = default;
  ~DisposeBase() = default;
};

}  // namespace rv
