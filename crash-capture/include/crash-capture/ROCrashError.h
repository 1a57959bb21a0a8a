#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The domain of every error object the engine's classes hand out.
inline constexpr const char* ROReradUzerirudErrorDomain = "ROReradUzerirudErrorDomain";

// Codes of ROReradUzerirudErrorDomain.
enum ROReradUzerirudError : int64_t {
  ROReradUzerirudErrorUnknown = 0,
  ROReradUzerirudErrorOperatingSystem = 1,
  ROReradUzerirudErrorInvalidCrashReport = 2,
  ROReradUzerirudErrorBusy = 3,
};

// An error object of the engine: domain, code and description. Immutable;
// handed out through `std::shared_ptr<ROCrashError>*` out-parameters (which
// may be null) the way the engine's callers expect error objects.
class ROCrashError {
 public:
  ROCrashError(std::string domain, int64_t code, std::string localizedDescription)
      : domain_(std::move(domain)),
        code_(code),
        localizedDescription_(std::move(localizedDescription)) {}

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const std::string& localizedDescription() const { return localizedDescription_; }

 private:
  std::string domain_;
  int64_t code_;
  std::string localizedDescription_;
};

// Stores a new error of ROReradUzerirudErrorDomain in `*error` when `error`
// is given.
inline void ROCrashPopulateError(std::shared_ptr<ROCrashError>* error, int64_t code,
                                 std::string description) {
  if (error) {
    *error =
        std::make_shared<ROCrashError>(ROReradUzerirudErrorDomain, code, std::move(description));
  }
}
