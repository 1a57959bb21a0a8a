#include "foundation/JSONSerialization.h"

#include <string>

namespace foundation {

namespace {

std::shared_ptr<NSError> readError(std::string reason) {
  NSError::UserInfo info;
  info.emplace(std::string(NSLocalizedDescriptionKey),
               std::string("The data couldn\u2019t be read because it isn\u2019t in the correct "
                           "format."));
  info.emplace("NSDebugDescription", std::move(reason));
  return NSError::create(std::string(NSCocoaErrorDomain), NSPropertyListReadCorruptError,
                         std::move(info));
}

}  // namespace

std::optional<nlohmann::json> JSONSerialization::JSONObjectWithData(
    const Data& data, JSONReadingOptions options, std::shared_ptr<NSError>* error) {
  if (data.empty()) {
    setError(error, readError("Unable to parse empty data."));
    return std::nullopt;
  }
  // Without exceptions: malformed text gives a discarded value.
  nlohmann::json value = nlohmann::json::parse(data.begin(), data.end(), nullptr,
                                               /*allow_exceptions=*/false);
  if (value.is_discarded()) {
    setError(error, readError("The given data was not valid JSON."));
    return std::nullopt;
  }
  if ((options & JSONReadingFragmentsAllowed) == 0 && !value.is_array() && !value.is_object()) {
    setError(error, readError("JSON text did not start with array or object and option to allow "
                              "fragments not set."));
    return std::nullopt;
  }
  return value;
}

}  // namespace foundation
