#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace foundation {

class NSError;

// Well-known user-info keys.
inline constexpr std::string_view NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr std::string_view NSUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr std::string_view NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";

// Well-known domains.
inline constexpr std::string_view NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::string_view NSCocoaErrorDomain = "NSCocoaErrorDomain";

// The project's one error object: a domain, a code and a user-info map.
// Immutable once made; shared by `std::shared_ptr<NSError>`.
class NSError {
 public:
  using UserInfoValue =
      std::variant<std::string, int64_t, double, bool, std::shared_ptr<const NSError>>;
  using UserInfo = std::map<std::string, UserInfoValue, std::less<>>;

  static std::shared_ptr<NSError> create(std::string domain, int64_t code, UserInfo userInfo = {});
  // An error whose user info holds `description` under the localized
  // description key (and `underlying`, when given, under the underlying-error
  // key).
  static std::shared_ptr<NSError> create(std::string domain, int64_t code, std::string description,
                                         std::shared_ptr<const NSError> underlying = nullptr);

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const UserInfo& userInfo() const { return userInfo_; }

  // The text under the localized description key, or the generic
  // "The operation couldn’t be completed. (<domain> error <code>.)".
  std::string localizedDescription() const;
  // The error under the underlying-error key, or null.
  std::shared_ptr<const NSError> underlyingError() const;
  // "Error Domain=<domain> Code=<code> \"<localized description>\"".
  std::string description() const;

  NSError(std::string domain, int64_t code, UserInfo userInfo)
      : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

 private:
  std::string domain_;
  int64_t code_;
  UserInfo userInfo_;
};

// Sets `*out` when the caller asked for the error (the out-parameter shape of
// operations that answer NO or nil on failure).
inline void setError(std::shared_ptr<NSError>* out, std::shared_ptr<NSError> error) {
  if (out) *out = std::move(error);
}

}  // namespace foundation
