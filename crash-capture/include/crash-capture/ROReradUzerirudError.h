#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/NSError.h"

// The domain of every error object the engine's classes hand out.
inline constexpr const char* ROReradUzerirudErrorDomain = "ROReradUzerirudErrorDomain";

// Codes of ROReradUzerirudErrorDomain.
// (Left unformatted: clang-format 14 breaks an attribute before an underlying type.)
// clang-format off
enum [[nodiscard]] ROReradUzerirudError : int64_t {
  ROReradUzerirudErrorUnknown = 0,
  ROReradUzerirudErrorOperatingSystem = 1,
  ROReradUzerirudErrorInvalidCrashReport = 2,
  ROReradUzerirudErrorBusy = 3,
  // An annotation's name or value the reports cannot carry, or a name a
  // component keeps.
  ROReradUzerirudErrorInvalidAnnotation = 4,
  // Every annotation's room holds another name.
  ROReradUzerirudErrorTooManyAnnotations = 5,
};
// clang-format on

// Stores a new error of ROReradUzerirudErrorDomain with `description` as its
// localized description (and `underlying`, when given, as its underlying
// error) in `*error` when `error` is given.
inline void ROCrashPopulateError(std::shared_ptr<foundation::NSError>* error, int64_t code,
                                 std::string description,
                                 std::shared_ptr<const foundation::NSError> underlying = nullptr) {
  if (error) {
    *error = foundation::NSError::create(ROReradUzerirudErrorDomain, code, std::move(description),
                                         std::move(underlying));
  }
}
