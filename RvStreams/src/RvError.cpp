#include "RvStreams/RvError.h"

namespace rv {
namespace {

const char* fixedText(RvError::Kind kind) {
  switch (kind) {
    case RvError::Kind::unknown:
      return "Unknown error occurred.";
    case RvError::Kind::disposed:
      return "";
    case RvError::Kind::overflow:
      return "Arithmetic overflow occurred.";
    case RvError::Kind::argumentOutOfRange:
      return "Argument out of range.";
    case RvError::Kind::noElements:
      return "Sequence doesn't contain any elements.";
    case RvError::Kind::moreThanOneElement:
      return "Sequence contains more than one element.";
    case RvError::Kind::timeout:
      return "Sequence timeout.";
  }
  return "";
}

}  // namespace

RvError::RvError(Kind kind) : kind_(kind), text_(fixedText(kind)) {}

RvError RvError::disposed(std::shared_ptr<const void> object,
                          const std::string& objectDescription) {
  RvError error(Kind::disposed);
  error.object_ = std::move(object);
  error.text_ = "Object `" + objectDescription + "` was already disposed.";
  return error;
}

}  // namespace rv
