#pragma once

#include <string>

namespace dispatch {

// Quality-of-service classes, lowest first. Work of a higher class is taken
// first by the worker pool; `unspecified` is treated as `defaultQoS`.
enum class QoSClass {
  unspecified,
  background,
  utility,
  defaultQoS,
  userInitiated,
  userInteractive
};

// The name of a class as written in code ("userInitiated").
const char* toString(QoSClass qosClass) noexcept;

// A quality of service: a class and a relative priority within it (0 or
// negative, down to -15). A value type.
struct DispatchQoS {
  QoSClass qosClass = QoSClass::unspecified;
  int relativePriority = 0;

  static constexpr DispatchQoS unspecified() { return {QoSClass::unspecified, 0}; }
  static constexpr DispatchQoS background() { return {QoSClass::background, 0}; }
  static constexpr DispatchQoS utility() { return {QoSClass::utility, 0}; }
  static constexpr DispatchQoS defaultQoS() { return {QoSClass::defaultQoS, 0}; }
  static constexpr DispatchQoS userInitiated() { return {QoSClass::userInitiated, 0}; }
  static constexpr DispatchQoS userInteractive() { return {QoSClass::userInteractive, 0}; }

  // The value's textual form, used in queue labels:
  // "DispatchQoS(qosClass: userInitiated, relativePriority: 0)".
  std::string description() const;

  friend constexpr bool operator==(DispatchQoS, DispatchQoS) = default;
};

}  // namespace dispatch
