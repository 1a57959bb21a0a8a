#pragma once

// The library's own errors. An RvError is thrown or carried in an Error; its
// `what()` is the fixed text of its case.

#include <exception>
#include <memory>
#include <string>

#include "RvStreams/Base.h"

namespace rv {

class RvError : public std::exception {
 public:
  enum class Kind {
    unknown,
    disposed,
    overflow,
    argumentOutOfRange,
    noElements,
    moreThanOneElement,
    timeout,
  };

  static RvError unknown() { return RvError(Kind::unknown); }
  // `object` is kept alive by the error; `objectDescription` is its text.
  static RvError disposed(std::shared_ptr<const void> object, const std::string& objectDescription);
  static RvError overflow() { return RvError(Kind::overflow); }
  static RvError argumentOutOfRange() { return RvError(Kind::argumentOutOfRange); }
  static RvError noElements() { return RvError(Kind::noElements); }
  static RvError moreThanOneElement() { return RvError(Kind::moreThanOneElement); }
  static RvError timeout() { return RvError(Kind::timeout); }

  Kind kind() const noexcept { return kind_; }
  // The object of a `disposed` error; null for every other case.
  const std::shared_ptr<const void>& object() const noexcept { return object_; }
  const char* what() const noexcept override { return text_.c_str(); }

  bool operator==(const RvError& other) const noexcept {
    return kind_ == other.kind_ && object_ == other.object_;
  }

 private:
  explicit RvError(Kind kind);

  Kind kind_;
  std::shared_ptr<const void> object_;
  std::string text_;
};

}  // namespace rv
