#include "RvStreams/Zip.h"

namespace rv::detail {

ZipSink::ZipSink(int64_t arity) : arity_(arity), isDone_(static_cast<std::size_t>(arity), false) {}

void ZipSink::next(int64_t) noexcept {
  for (int64_t k = 0; k < arity_; ++k) {
    if (!hasElements(k)) return;
  }
  forwardResult();
}

void ZipSink::fail(const Error& error) noexcept { forwardError(error); }

void ZipSink::done(int64_t index) noexcept {
  if (index < 0 || index >= arity_) fatalError("Index out of range");
  isDone_[static_cast<std::size_t>(index)] = true;
  for (bool done : isDone_) {
    if (!done) return;
  }
  forwardCompleted();
}

}  // namespace rv::detail
