#include "RvStreams/CombineLatest.h"

namespace rv::detail {

CombineLatestSink::CombineLatestSink(int64_t arity)
    : arity_(arity),
      hasValue_(static_cast<std::size_t>(arity), false),
      isDone_(static_cast<std::size_t>(arity), false) {}

void CombineLatestSink::next(int64_t index) noexcept {
  const auto i = static_cast<std::size_t>(index);
  if (!hasValue_[i]) {
    hasValue_[i] = true;
    ++numberOfValues_;
  }
  if (numberOfValues_ == arity_) {
    forwardResult();
    return;
  }
  // Some source still has no element. When every other source has completed,
  // one of them completed without any, and no combination can ever be made.
  for (int64_t j = 0; j < arity_; ++j) {
    if (j != index && !isDone_[static_cast<std::size_t>(j)]) return;
  }
  forwardCompleted();
}

void CombineLatestSink::fail(const Error& error) noexcept { forwardError(error); }

void CombineLatestSink::done(int64_t index) noexcept {
  const auto i = static_cast<std::size_t>(index);
  if (isDone_[i]) return;
  isDone_[i] = true;
  ++numberOfDone_;
  if (numberOfDone_ == arity_) forwardCompleted();
}

}  // namespace rv::detail
