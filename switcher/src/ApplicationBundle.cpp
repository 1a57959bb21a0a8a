#include "switcher/ApplicationBundle.h"

#include "foundation/Bundle.h"
#include "foundation/Value.h"

void describeMainBundle() {
  // The project's version, given by the build.
  constexpr std::string_view version = KESTRIX_VERSION;
  auto bundle = foundation::NSBundle::mainBundle();
  bundle->setObjectForInfoDictionaryKey(kApplicationIdentifier, foundation::kCFBundleIdentifierKey);
  bundle->setObjectForInfoDictionaryKey(version, foundation::kCFBundleShortVersionStringKey);
  bundle->setObjectForInfoDictionaryKey(version, foundation::kCFBundleVersionKey);
}
