#include "DUZECrashesUtil.h"

#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvur/DUZELogWithProperties.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurCrashes/DUZEAppleErrorLog.h"
#include "ZozIduvurCrashes/DUZEErrorAttachmentLog.h"
#include "ZozIduvurCrashes/DUZEHandledErrorLog.h"
#include "ZozIduvurCrashes/DUZEWrapperException.h"
#include "dispatch/OnceToken.h"

namespace {

constexpr std::string_view kCrashesDirectory = "crashes";
constexpr std::string_view kLogBufferDirectory = "crasheslogbuffer";
constexpr std::string_view kWrapperExceptionsDirectory = "crasheswrapperexceptions";

dispatch::OnceToken& crashesToken() {
  static dispatch::OnceToken token;
  return token;
}
dispatch::OnceToken& logBufferToken() {
  static dispatch::OnceToken token;
  return token;
}
dispatch::OnceToken& wrapperExceptionsToken() {
  static dispatch::OnceToken token;
  return token;
}

std::string folder(dispatch::OnceToken& token, std::string_view name) {
  token.perform([name] { DUZEUtility::createDirectoryForPathComponent(name); });
  return std::string(name);
}

}  // namespace

std::string DUZECrashesUtil::crashesDir() { return folder(crashesToken(), kCrashesDirectory); }

std::string DUZECrashesUtil::logBufferDir() {
  return folder(logBufferToken(), kLogBufferDirectory);
}

std::string DUZECrashesUtil::wrapperExceptionsDir() {
  return folder(wrapperExceptionsToken(), kWrapperExceptionsDirectory);
}

void DUZECrashesUtil::resetDirectory() {
  crashesToken().reset();
  logBufferToken().reset();
  wrapperExceptionsToken().reset();
}

std::vector<foundation::ArchivableClass> DUZECrashesArchiverUtil::allowedCrashesModuleClasses() {
  using foundation::ArchivableClass;
  return {
      ArchivableClass::of<DUZEAppleErrorLog>(),
      ArchivableClass::named("NSDate"),
      ArchivableClass::of<DUZEDevice>(),
      ArchivableClass::of<DUZEThread>(),
      ArchivableClass::of<DUZEWrapperException>(),
      ArchivableClass::of<DUZEAbstractErrorLog>(),
      ArchivableClass::of<DUZEHandledErrorLog>(),
      ArchivableClass::of<DUZEWrapperExceptionModel>(),
      ArchivableClass::of<DUZEStackFrame>(),
      ArchivableClass::of<DUZEBinary>(),
      ArchivableClass::of<DUZEErrorAttachmentLog>(),
      // The error report archives nothing of its own; listed so that its
      // name stays admitted.
      ArchivableClass::named("DUZEErrorReport"),
      ArchivableClass::of<DUZEWrapperSdk>(),
      ArchivableClass::named("NSUUID"),
      ArchivableClass::named("NSDictionary"),
      ArchivableClass::named("NSArray"),
      ArchivableClass::named("NSNull"),
      ArchivableClass::of<DUZELogWithProperties>(),
      ArchivableClass::of<DUZECommonSchemaLog>(),
      ArchivableClass::named("NSMutableData"),
      ArchivableClass::of<DUZEExceptionModel>(),
      ArchivableClass::named("NSString"),
      ArchivableClass::named("NSNumber"),
      ArchivableClass::named("NSMutableArray"),
  };
}

void DUZECrashesArchiverUtil::addAllowedCrashesModuleClasses() {
  DUZEUtility::addAllowedClasses(allowedCrashesModuleClasses());
}

std::map<std::string, foundation::ArchivableClass> DUZECrashesArchiverUtil::migrationClasses() {
  using foundation::ArchivableClass;
  return {
      {"ZIAppleErrorLog", ArchivableClass::of<DUZEAppleErrorLog>()},
      {"ZIThread", ArchivableClass::of<DUZEThread>()},
      {"ZIWrapperException", ArchivableClass::of<DUZEWrapperException>()},
      {"ZIAbstractErrorLog", ArchivableClass::of<DUZEAbstractErrorLog>()},
      {"ZIHandledErrorLog", ArchivableClass::of<DUZEHandledErrorLog>()},
      {"ZIException", ArchivableClass::of<DUZEWrapperExceptionModel>()},
      {"DUZEException", ArchivableClass::of<DUZEWrapperExceptionModel>()},
      {"ZIStackFrame", ArchivableClass::of<DUZEStackFrame>()},
      {"ZIBinary", ArchivableClass::of<DUZEBinary>()},
      {"ZIErrorAttachmentLog", ArchivableClass::of<DUZEErrorAttachmentLog>()},
      {"ZIErrorReport", ArchivableClass::named("DUZEErrorReport")},
  };
}

void DUZECrashesArchiverUtil::addMigrationClasses() {
  DUZEUtility::addMigrationClasses(migrationClasses());
}
