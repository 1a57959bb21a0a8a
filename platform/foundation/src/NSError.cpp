#include "foundation/NSError.h"

namespace foundation {

std::shared_ptr<NSError> NSError::create(std::string domain, int64_t code, UserInfo userInfo) {
  return std::make_shared<NSError>(std::move(domain), code, std::move(userInfo));
}

std::shared_ptr<NSError> NSError::create(std::string domain, int64_t code, std::string description,
                                         std::shared_ptr<const NSError> underlying) {
  UserInfo info;
  info.emplace(std::string(NSLocalizedDescriptionKey), std::move(description));
  if (underlying) info.emplace(std::string(NSUnderlyingErrorKey), std::move(underlying));
  return create(std::move(domain), code, std::move(info));
}

std::string NSError::localizedDescription() const {
  auto it = userInfo_.find(NSLocalizedDescriptionKey);
  if (it != userInfo_.end()) {
    if (const auto* text = std::get_if<std::string>(&it->second)) return *text;
  }
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
         std::to_string(code_) + ".)";
}

std::shared_ptr<const NSError> NSError::underlyingError() const {
  auto it = userInfo_.find(NSUnderlyingErrorKey);
  if (it == userInfo_.end()) return nullptr;
  if (const auto* error = std::get_if<std::shared_ptr<const NSError>>(&it->second)) return *error;
  return nullptr;
}

std::string NSError::description() const {
  return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
         localizedDescription() + "\"";
}

}  // namespace foundation
