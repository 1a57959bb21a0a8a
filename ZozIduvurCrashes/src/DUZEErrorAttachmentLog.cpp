#include "ZozIduvurCrashes/DUZEErrorAttachmentLog.h"

#include <algorithm>
#include <cctype>

#include "DUZECrashesText.h"
#include "ZozIduvurCrashes/DUZEErrorReport.h"
#include "foundation/Base64.h"
#include "foundation/KeyedArchive.h"
#include "foundation/UUID.h"

// DUZEErrorAttachmentLog ---------------------------------------------------------

DUZEErrorAttachmentLog::DUZEErrorAttachmentLog()
    : attachmentId_(foundation::NSUUID().UUIDString()) {
  setType(std::string(kType));
}

std::shared_ptr<DUZEErrorAttachmentLog> DUZEErrorAttachmentLog::attachmentWithText(
    const std::optional<std::string>& text, std::optional<std::string> filename) {
  std::optional<foundation::Data> data;
  if (text) data = foundation::dataFromString(*text);
  return attachmentWithBinary(std::move(data), std::move(filename), std::string(kTextContentType));
}

std::shared_ptr<DUZEErrorAttachmentLog> DUZEErrorAttachmentLog::attachmentWithBinary(
    std::optional<foundation::Data> data, std::optional<std::string> filename,
    std::optional<std::string> contentType) {
  auto log = std::make_shared<DUZEErrorAttachmentLog>();
  log->setData(std::move(data));
  log->setContentType(std::move(contentType));
  log->setFilename(std::move(filename));
  return log;
}

nlohmann::ordered_json DUZEErrorAttachmentLog::serializeToDictionary() const {
  nlohmann::ordered_json out = DUZEAbstractLog::serializeToDictionary();
  duze::putIfPresent(out, "id", attachmentId_);
  duze::putIfPresent(out, "errorId", errorId_);
  duze::putIfPresent(out, "contentType", contentType_);
  duze::putIfPresent(out, "fileName", filename_);
  if (data_) out["data"] = foundation::base64Encode(*data_);
  return out;
}

bool DUZEErrorAttachmentLog::isValid() const {
  if (!DUZEAbstractLog::isValid()) return false;
  if (!errorId_) {
    logInvalidField("errorId");
    return false;
  }
  if (!attachmentId_) {
    logInvalidField("attachmentId");
    return false;
  }
  if (!data_) {
    logInvalidField("data");
    return false;
  }
  if (!contentType_) {
    logInvalidField("contentType");
    return false;
  }
  return true;
}

bool DUZEErrorAttachmentLog::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEErrorAttachmentLog*>(&other);
  return o && DUZEAbstractLog::isEqual(other) && attachmentId_ == o->attachmentId_ &&
         errorId_ == o->errorId_ && contentType_ == o->contentType_ && filename_ == o->filename_ &&
         data_ == o->data_;
}

void DUZEErrorAttachmentLog::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEAbstractLog::encodeWithCoder(coder);
  coder.encodeObject(attachmentId_, "id");
  coder.encodeObject(errorId_, "errorId");
  coder.encodeObject(contentType_, "contentType");
  coder.encodeObject(filename_, "fileName");
  coder.encodeObject(data_, "data");
}

bool DUZEErrorAttachmentLog::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEAbstractLog::initWithCoder(coder)) return false;
  // The object was made with a fresh id; the archive's (or none) replaces it.
  attachmentId_ = coder.decodeStringForKey("id");
  errorId_ = coder.decodeStringForKey("errorId");
  contentType_ = coder.decodeStringForKey("contentType");
  filename_ = coder.decodeStringForKey("fileName");
  data_ = coder.decodeDataForKey("data");
  return true;
}

// DUZEErrorReport ---------------------------------------------------------------

DUZEErrorReport::DUZEErrorReport(
    std::optional<std::string> errorId, std::optional<std::string> reporterKey,
    std::optional<std::string> signal, std::optional<std::string> exceptionName,
    std::optional<std::string> exceptionReason, std::optional<dispatch::Date> appStartTime,
    std::optional<dispatch::Date> appErrorTime, std::optional<std::string> codeType,
    std::optional<std::string> archName, std::optional<std::string> applicationPath,
    std::optional<DUZEThreads> threads, std::optional<DUZEBinaries> binaries,
    std::shared_ptr<DUZEDevice> device, uint64_t appProcessIdentifier)
    : incidentIdentifier_(std::move(errorId)),
      reporterKey_(std::move(reporterKey)),
      signal_(std::move(signal)),
      exceptionName_(std::move(exceptionName)),
      exceptionReason_(std::move(exceptionReason)),
      appStartTime_(appStartTime),
      appErrorTime_(appErrorTime),
      codeType_(std::move(codeType)),
      archName_(std::move(archName)),
      applicationPath_(std::move(applicationPath)),
      threads_(std::move(threads)),
      binaries_(std::move(binaries)),
      device_(std::move(device)),
      appProcessIdentifier_(appProcessIdentifier) {}

bool DUZEErrorReport::isAppKill() const {
  if (!signal_) return false;
  std::string upper = *signal_;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper == "SIGKILL";
}

foundation::Value::Dictionary DUZEErrorReport::serializeToDictionary() const {
  foundation::Value::Dictionary out;
  auto put = [&](const char* key, foundation::Value value) {
    if (!value.isNull()) out.insert_or_assign(key, std::move(value));
  };
  put("incidentIdentifier", incidentIdentifier_);
  put("reporterKey", reporterKey_);
  put("signal", signal_);
  put("exceptionName", exceptionName_);
  put("exceptionReason", exceptionReason_);
  put("appStartTime", appStartTime_);
  put("appErrorTime", appErrorTime_);
  put("codeType", codeType_);
  put("archName", archName_);
  put("applicationPath", applicationPath_);
  if (threads_) put("threads", duze::objectArray(*threads_));
  if (binaries_) put("binaries", duze::objectArray(*binaries_));
  put("device", device_);
  if (appProcessIdentifier_ != 0)
    put("appProcessIdentifier", std::to_string(appProcessIdentifier_));
  return out;
}

std::string DUZEErrorReport::description() const {
  return duzecrashes::describe(foundation::Value(serializeToDictionary()));
}
