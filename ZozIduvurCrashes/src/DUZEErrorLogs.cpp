#include "DUZECrashesCoding.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurCrashes/DUZEAbstractErrorLog.h"
#include "ZozIduvurCrashes/DUZEAppleErrorLog.h"
#include "ZozIduvurCrashes/DUZEHandledErrorLog.h"
#include "foundation/KeyedArchive.h"

namespace {

using ojson = nlohmann::ordered_json;

using duzecrashes::encodeObjects;
using duzecrashes::putObjects;

}  // namespace

// DUZEAbstractErrorLog -----------------------------------------------------------

ojson DUZEAbstractErrorLog::serializeToDictionary() const {
  ojson out = DUZELogWithProperties::serializeToDictionary();
  duze::putIfPresent(out, "id", errorId_);
  duze::putIfPresent(out, "processId", processId_);
  duze::putIfPresent(out, "processName", processName_);
  duze::putIfPresent(out, "parentProcessId", parentProcessId_);
  duze::putIfPresent(out, "parentProcessName", parentProcessName_);
  duze::putIfPresent(out, "errorThreadId", errorThreadId_);
  duze::putIfPresent(out, "errorThreadName", errorThreadName_);
  out["fatal"] = fatal_;
  if (appLaunchTimestamp_)
    out["appLaunchTimestamp"] = DUZEUtility::dateToISO8601(*appLaunchTimestamp_);
  duze::putIfPresent(out, "architecture", architecture_);
  return out;
}

bool DUZEAbstractErrorLog::isValid() const {
  if (!DUZELogWithProperties::isValid()) return false;
  if (!errorId_) {
    logInvalidField("errorId");
    return false;
  }
  if (!processId_) {
    logInvalidField("processId");
    return false;
  }
  if (!processName_) {
    logInvalidField("processName");
    return false;
  }
  return true;
}

bool DUZEAbstractErrorLog::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEAbstractErrorLog*>(&other);
  return o && DUZELogWithProperties::isEqual(other) && errorId_ == o->errorId_ &&
         processId_ == o->processId_ && processName_ == o->processName_ &&
         parentProcessId_ == o->parentProcessId_ && parentProcessName_ == o->parentProcessName_ &&
         errorThreadId_ == o->errorThreadId_ && errorThreadName_ == o->errorThreadName_ &&
         fatal_ == o->fatal_ && appLaunchTimestamp_ == o->appLaunchTimestamp_ &&
         architecture_ == o->architecture_;
}

void DUZEAbstractErrorLog::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZELogWithProperties::encodeWithCoder(coder);
  coder.encodeObject(errorId_, "id");
  coder.encodeObject(processId_, "processId");
  coder.encodeObject(processName_, "processName");
  coder.encodeObject(parentProcessId_, "parentProcessId");
  coder.encodeObject(parentProcessName_, "parentProcessName");
  coder.encodeObject(errorThreadId_, "errorThreadId");
  coder.encodeObject(errorThreadName_, "errorThreadName");
  coder.encodeBool(fatal_, "fatal");
  coder.encodeObject(appLaunchTimestamp_, "appLaunchTimestamp");
  coder.encodeObject(architecture_, "architecture");
}

bool DUZEAbstractErrorLog::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZELogWithProperties::initWithCoder(coder)) return false;
  errorId_ = coder.decodeStringForKey("id");
  processId_ = coder.decodeNumberForKey("processId");
  processName_ = coder.decodeStringForKey("processName");
  parentProcessId_ = coder.decodeNumberForKey("parentProcessId");
  parentProcessName_ = coder.decodeStringForKey("parentProcessName");
  errorThreadId_ = coder.decodeNumberForKey("errorThreadId");
  errorThreadName_ = coder.decodeStringForKey("errorThreadName");
  fatal_ = coder.decodeBoolForKey("fatal");
  appLaunchTimestamp_ = coder.decodeDateForKey("appLaunchTimestamp");
  architecture_ = coder.decodeStringForKey("architecture");
  return true;
}

// DUZEAppleErrorLog --------------------------------------------------------------

ojson DUZEAppleErrorLog::serializeToDictionary() const {
  ojson out = DUZEAbstractErrorLog::serializeToDictionary();
  duze::putIfPresent(out, "primaryArchitectureId", primaryArchitectureId_);
  duze::putIfPresent(out, "architectureVariantId", architectureVariantId_);
  duze::putIfPresent(out, "applicationPath", applicationPath_);
  duze::putIfPresent(out, "osExceptionType", osExceptionType_);
  duze::putIfPresent(out, "osExceptionCode", osExceptionCode_);
  duze::putIfPresent(out, "osExceptionAddress", osExceptionAddress_);
  duze::putIfPresent(out, "exceptionType", exceptionType_);
  duze::putIfPresent(out, "exceptionReason", exceptionReason_);
  duze::putIfPresent(out, "selectorRegisterValue", selectorRegisterValue_);
  putObjects(out, "threads", threads_);
  putObjects(out, "binaries", binaries_);
  if (registers_) {
    ojson registers = ojson::object();
    for (const auto& [name, value] : *registers_) registers[name] = value;
    out["registers"] = std::move(registers);
  }
  if (exception_) out["exception"] = exception_->serializeToDictionary();
  return out;
}

bool DUZEAppleErrorLog::isValid() const {
  if (!DUZEAbstractErrorLog::isValid()) return false;
  if (!primaryArchitectureId_) {
    logInvalidField("primaryArchitectureId");
    return false;
  }
  const std::pair<const char*, const std::optional<std::string>*> required[] = {
      {"applicationPath", &applicationPath_},
      {"osExceptionType", &osExceptionType_},
      {"osExceptionCode", &osExceptionCode_},
      {"osExceptionAddress", &osExceptionAddress_},
  };
  for (const auto& [field, value] : required) {
    if (!*value) {
      logInvalidField(field);
      return false;
    }
  }
  return true;
}

bool DUZEAppleErrorLog::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEAppleErrorLog*>(&other);
  return o && DUZEAbstractErrorLog::isEqual(other) &&
         primaryArchitectureId_ == o->primaryArchitectureId_ &&
         architectureVariantId_ == o->architectureVariantId_ &&
         applicationPath_ == o->applicationPath_ && osExceptionType_ == o->osExceptionType_ &&
         osExceptionCode_ == o->osExceptionCode_ && osExceptionAddress_ == o->osExceptionAddress_ &&
         exceptionType_ == o->exceptionType_ && exceptionReason_ == o->exceptionReason_ &&
         selectorRegisterValue_ == o->selectorRegisterValue_ &&
         duze::sameObjects(threads_, o->threads_) && duze::sameObjects(binaries_, o->binaries_) &&
         registers_ == o->registers_ && duze::sameObject(exception_, o->exception_);
}

void DUZEAppleErrorLog::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEAbstractErrorLog::encodeWithCoder(coder);
  coder.encodeObject(primaryArchitectureId_, "primaryArchitectureId");
  coder.encodeObject(architectureVariantId_, "architectureVariantId");
  coder.encodeObject(applicationPath_, "applicationPath");
  coder.encodeObject(osExceptionType_, "osExceptionType");
  coder.encodeObject(osExceptionCode_, "osExceptionCode");
  coder.encodeObject(osExceptionAddress_, "osExceptionAddress");
  coder.encodeObject(exceptionType_, "exceptionType");
  coder.encodeObject(exceptionReason_, "exceptionReason");
  coder.encodeObject(selectorRegisterValue_, "selectorRegisterValue");
  encodeObjects(coder, "threads", threads_);
  encodeObjects(coder, "binaries", binaries_);
  if (registers_) coder.encodeObject(duze::stringDictionary(*registers_), "registers");
  coder.encodeObject(exception_, "exception");
}

bool DUZEAppleErrorLog::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEAbstractErrorLog::initWithCoder(coder)) return false;
  primaryArchitectureId_ = duzecrashes::decodeUnsigned(coder, "primaryArchitectureId");
  architectureVariantId_ = duzecrashes::decodeUnsigned(coder, "architectureVariantId");
  applicationPath_ = coder.decodeStringForKey("applicationPath");
  osExceptionType_ = coder.decodeStringForKey("osExceptionType");
  osExceptionCode_ = coder.decodeStringForKey("osExceptionCode");
  osExceptionAddress_ = coder.decodeStringForKey("osExceptionAddress");
  exceptionType_ = coder.decodeStringForKey("exceptionType");
  exceptionReason_ = coder.decodeStringForKey("exceptionReason");
  selectorRegisterValue_ = coder.decodeStringForKey("selectorRegisterValue");
  threads_ = coder.decodeArrayOfClass<DUZEThread>("threads");
  binaries_ = coder.decodeArrayOfClass<DUZEBinary>("binaries");
  registers_ = coder.decodeStringDictionaryForKey("registers");
  exception_ = coder.decodeObjectOfClass<DUZEExceptionModel>("exception");
  return true;
}

// DUZEHandledErrorLog ------------------------------------------------------------

ojson DUZEHandledErrorLog::serializeToDictionary() const {
  ojson out = DUZELogWithProperties::serializeToDictionary();
  duze::putIfPresent(out, "id", errorId_);
  if (exception_) out["exception"] = exception_->serializeToDictionary();
  return out;
}

bool DUZEHandledErrorLog::isValid() const {
  if (!DUZELogWithProperties::isValid()) return false;
  if (!errorId_) {
    logInvalidField("errorId");
    return false;
  }
  if (!exception_) {
    logInvalidField("exception");
    return false;
  }
  return true;
}

bool DUZEHandledErrorLog::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEHandledErrorLog*>(&other);
  return o && DUZELogWithProperties::isEqual(other) && errorId_ == o->errorId_ &&
         duze::sameObject(exception_, o->exception_);
}

void DUZEHandledErrorLog::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZELogWithProperties::encodeWithCoder(coder);
  coder.encodeObject(errorId_, "id");
  coder.encodeObject(exception_, "exception");
}

bool DUZEHandledErrorLog::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZELogWithProperties::initWithCoder(coder)) return false;
  errorId_ = coder.decodeStringForKey("id");
  exception_ = coder.decodeObjectOfClass<DUZEExceptionModel>("exception");
  return true;
}
