#include "switcher/ApplicationBundle.h"

#include "foundation/Bundle.h"
#include "foundation/Value.h"

// KESTRIX_VERSION is the project's version, given by the build.
std::string_view applicationVersion() { return KESTRIX_VERSION; }

void describeMainBundle() {
  auto bundle = foundation::NSBundle::mainBundle();
  bundle->setObjectForInfoDictionaryKey(kApplicationIdentifier, foundation::kCFBundleIdentifierKey);
  bundle->setObjectForInfoDictionaryKey(applicationVersion(),
                                        foundation::kCFBundleShortVersionStringKey);
  bundle->setObjectForInfoDictionaryKey(applicationVersion(), foundation::kCFBundleVersionKey);
}
