#pragma once

// A text-input object together with its text property:
//
//   TextInput<appkit::NSTextField> input = rv::textInput(rv::rv(field));
//   input.text().onNext("hello");

#include <optional>
#include <string>
#include <utility>

#include "RvCocoa/ControlProperty.h"
#include "objc/Ref.h"

namespace rv {

template <class Base>
class TextInput {
 public:
  TextInput(objc::Ref<Base> base, ControlProperty<std::optional<std::string>> text)
      : base_(std::move(base)), text_(std::move(text)) {}

  // The text-input object (held strongly).
  const objc::Ref<Base>& base() const noexcept { return base_; }
  // Its text.
  ControlProperty<std::optional<std::string>> text() const { return text_; }

 private:
  objc::Ref<Base> base_;
  ControlProperty<std::optional<std::string>> text_;
};

}  // namespace rv
