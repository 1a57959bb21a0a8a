#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace foundation {

namespace detail {
template <class T>
concept HasDescription = requires(const T& t) {
  { t.description() } -> std::convertible_to<std::string>;
};
}  // namespace detail

// One argument of `stringWithFormat`, owned: strings are copied and objects are
// turned into their description at once, so a formatted message can be
// produced later on another thread without touching the caller's objects.
class FormatArg {
 public:
  enum class Kind { signedInt, unsignedInt, floating, character, text, null };

  FormatArg(std::nullptr_t) : kind_(Kind::null) {}
  FormatArg(bool v) : kind_(Kind::signedInt), int_(v ? 1 : 0) {}
  FormatArg(char c) : kind_(Kind::character), int_(static_cast<unsigned char>(c)) {}
  template <std::signed_integral T>
  FormatArg(T v) : kind_(Kind::signedInt), int_(static_cast<int64_t>(v)) {}
  template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>) FormatArg(T v)
      : kind_(Kind::unsignedInt), uint_(static_cast<uint64_t>(v)) {}
  template <std::floating_point T>
  FormatArg(T v) : kind_(Kind::floating), double_(static_cast<double>(v)) {}
  FormatArg(const char* s) : kind_(s ? Kind::text : Kind::null), text_(s ? s : "") {}
  FormatArg(std::string_view s) : kind_(Kind::text), text_(s) {}
  FormatArg(const std::string& s) : kind_(Kind::text), text_(s) {}
  FormatArg(std::string&& s) : kind_(Kind::text), text_(std::move(s)) {}
  template <class T>
  FormatArg(const std::optional<T>& v) : FormatArg(nullptr) {
    if (v) *this = FormatArg(*v);
  }
  template <class T>
  requires detail::HasDescription<T> FormatArg(const T& object)
      : kind_(Kind::text), text_(object.description()) {}
  template <class T>
  requires detail::HasDescription<T> FormatArg(const std::shared_ptr<T>& object)
      : FormatArg(nullptr) {
    if (object) *this = FormatArg(object->description());
  }

  Kind kind() const { return kind_; }
  int64_t signedValue() const;
  uint64_t unsignedValue() const;
  double doubleValue() const;
  // The text `%@` prints: the string, a number's decimal form, "(null)".
  std::string objectText() const;

 private:
  Kind kind_;
  int64_t int_ = 0;
  uint64_t uint_ = 0;
  double double_ = 0;
  std::string text_;
};

// Formats with the Objective-C conventions: `%@` prints an object (a string,
// a number, anything with `description()`, "(null)" for none), `%d`/`%u`
// without a length modifier are 32-bit like C's int, `l`/`ll`/`q`/`z`/`t`/`j`
// make them 64-bit, `*` takes a width or precision from the arguments, `%%`
// is a percent sign. A missing argument prints nothing; an argument of the
// wrong kind is converted as C would convert it.
std::string formatWithArgs(std::string_view format, std::span<const FormatArg> args);

template <class... Args>
std::string stringWithFormat(std::string_view format, Args&&... args) {
  const std::array<FormatArg, sizeof...(Args)> list{FormatArg(std::forward<Args>(args))...};
  return formatWithArgs(format, list);
}

}  // namespace foundation
