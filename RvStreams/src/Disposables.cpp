#include "RvStreams/Disposables.h"

namespace rv {

const Ref<Disposable>& NopDisposable::shared() {
  // Made once, thread-safely, and never released.
  static const Ref<Disposable>* instance = new Ref<Disposable>(std::make_shared<NopDisposable>());
  return *instance;
}

}  // namespace rv
