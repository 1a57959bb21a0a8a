#include <algorithm>
#include <cstring>

#include "DUZECrashesCoding.h"
#include "DUZECrashesText.h"
#include "ZozIduvur/DUZEAbstractLog.h"
#include "ZozIduvurCrashes/DUZEBinary.h"
#include "ZozIduvurCrashes/DUZEExceptionModel.h"
#include "ZozIduvurCrashes/DUZEStackFrame.h"
#include "ZozIduvurCrashes/DUZEThread.h"
#include "ZozIduvurCrashes/DUZEWrapperException.h"
#include "foundation/KeyedArchive.h"
#include "objc/NSArray.h"
#include "objc/NSObject.h"
#include "objc/NSString.h"

namespace {

using ojson = nlohmann::ordered_json;

using duzecrashes::encodeObjects;
using duzecrashes::putObjects;

bool hasFrames(const std::optional<DUZEStackFrames>& frames) { return frames && !frames->empty(); }

}  // namespace

// DUZEStackFrame ---------------------------------------------------------------

ojson DUZEStackFrame::serializeToDictionary() const {
  ojson out = ojson::object();
  duze::putIfPresent(out, "address", address_);
  duze::putIfPresent(out, "code", code_);
  duze::putIfPresent(out, "className", frameClassName_);
  duze::putIfPresent(out, "methodName", methodName_);
  duze::putIfPresent(out, "lineNumber", lineNumber_);
  duze::putIfPresent(out, "fileName", fileName_);
  return out;
}

bool DUZEStackFrame::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEStackFrame*>(&other);
  return o && address_ == o->address_ && code_ == o->code_ &&
         frameClassName_ == o->frameClassName_ && methodName_ == o->methodName_ &&
         lineNumber_ == o->lineNumber_ && fileName_ == o->fileName_;
}

void DUZEStackFrame::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(address_, "address");
  coder.encodeObject(code_, "code");
  coder.encodeObject(frameClassName_, "className");
  coder.encodeObject(methodName_, "methodName");
  coder.encodeObject(lineNumber_, "lineNumber");
  coder.encodeObject(fileName_, "fileName");
}

bool DUZEStackFrame::initWithCoder(foundation::NSCoder& coder) {
  address_ = coder.decodeStringForKey("address");
  code_ = coder.decodeStringForKey("code");
  frameClassName_ = coder.decodeStringForKey("className");
  methodName_ = coder.decodeStringForKey("methodName");
  lineNumber_ = coder.decodeNumberForKey("lineNumber");
  fileName_ = coder.decodeStringForKey("fileName");
  return true;
}

// DUZEExceptionModel -------------------------------------------------------------

std::shared_ptr<DUZEExceptionModel> DUZEExceptionModel::createWithError(
    const foundation::NSError& error) {
  auto model = create();
  if (!error.domain().empty()) model->setType(error.domain());
  if (!error.userInfo().empty()) model->setMessage(duzecrashes::describe(error.userInfo()));
  const auto symbols = duzecrashes::callStackSymbols();
  model->setStackTrace(duzecrashes::describe(symbols));
  model->setFrames(loadStackTrace(symbols));
  return model;
}

std::shared_ptr<DUZEExceptionModel> DUZEExceptionModel::createWithException(
    objc::NSObject* exception) {
  static const objc::SEL nameSel = objc::sel_registerName("name");
  static const objc::SEL reasonSel = objc::sel_registerName("reason");
  static const objc::SEL symbolsSel = objc::sel_registerName("callStackSymbols");
  auto model = create();
  auto text = [&](objc::SEL sel) -> std::optional<std::string> {
    auto value = objc::send<objc::Ref<objc::NSString>()>(exception, sel);
    if (!value) return std::nullopt;
    return value->string();
  };
  if (exception && exception->respondsToSelector(nameSel)) model->setType(text(nameSel));
  if (exception && exception->respondsToSelector(reasonSel)) model->setMessage(text(reasonSel));
  if (exception && exception->respondsToSelector(symbolsSel)) {
    std::vector<std::string> symbols;
    if (auto array = objc::send<objc::Ref<objc::NSArray>()>(exception, symbolsSel)) {
      for (const auto& element : array->objects()) {
        if (auto* line = dynamic_cast<objc::NSString*>(element.get()))
          symbols.push_back(line->string());
      }
    }
    model->setStackTrace(duzecrashes::describe(symbols));
    model->setFrames(loadStackTrace(symbols));
  } else {
    model->setFrames(loadStackTrace(duzecrashes::callStackSymbols()));
  }
  return model;
}

std::shared_ptr<DUZEExceptionModel> DUZEExceptionModel::createWithType(
    std::optional<std::string> type, std::optional<std::string> message,
    const std::optional<std::vector<std::string>>& stackTrace) {
  auto model = create();
  model->setType(std::move(type));
  model->setMessage(std::move(message));
  const auto symbols = stackTrace ? *stackTrace : duzecrashes::callStackSymbols();
  model->setStackTrace(duzecrashes::describe(symbols));
  model->setFrames(loadStackTrace(symbols));
  return model;
}

DUZEStackFrames DUZEExceptionModel::loadStackTrace(const std::vector<std::string>& symbols) {
  static constexpr const char* kSeparators = " -[]+?.,";
  DUZEStackFrames frames;
  for (const auto& line : symbols) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= line.size()) {
      const size_t end = line.find_first_of(kSeparators, start);
      const size_t stop = end == std::string::npos ? line.size() : end;
      if (stop > start) parts.push_back(line.substr(start, stop - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    if (parts.size() < 6) continue;
    auto frame = DUZEStackFrame::create();
    frame->setFileName(parts[1]);
    frame->setAddress(parts[2]);
    frame->setFrameClassName(parts[3]);
    frame->setMethodName(parts[4]);
    frames.push_back(std::move(frame));
  }
  return frames;
}

ojson DUZEExceptionModel::serializeToDictionary() const {
  ojson out = ojson::object();
  duze::putIfPresent(out, "type", type_);
  duze::putIfPresent(out, "message", message_);
  duze::putIfPresent(out, "stackTrace", stackTrace_);
  putObjects(out, "frames", frames_);
  return out;
}

bool DUZEExceptionModel::isValid() const {
  if (!type_) {
    DUZELogInvalidField(className(), "type");
    return false;
  }
  if (!hasFrames(frames_)) {
    DUZELogInvalidField(className(), "frames");
    return false;
  }
  return true;
}

bool DUZEExceptionModel::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEExceptionModel*>(&other);
  return o && type_ == o->type_ && message_ == o->message_ &&
         duze::sameObjects(frames_, o->frames_) && stackTrace_ == o->stackTrace_;
}

void DUZEExceptionModel::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(type_, "type");
  coder.encodeObject(message_, "message");
  coder.encodeObject(stackTrace_, "stackTrace");
  encodeObjects(coder, "frames", frames_);
}

bool DUZEExceptionModel::initWithCoder(foundation::NSCoder& coder) {
  type_ = coder.decodeStringForKey("type");
  message_ = coder.decodeStringForKey("message");
  stackTrace_ = coder.decodeStringForKey("stackTrace");
  frames_ = coder.decodeArrayOfClass<DUZEStackFrame>("frames");
  return true;
}

// DUZEWrapperExceptionModel -----------------------------------------------------

ojson DUZEWrapperExceptionModel::serializeToDictionary() const {
  ojson out = DUZEExceptionModel::serializeToDictionary();
  duze::putIfPresent(out, "wrapperSdkName", wrapperSdkName_);
  putObjects(out, "innerExceptions", innerExceptions_);
  return out;
}

bool DUZEWrapperExceptionModel::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEWrapperExceptionModel*>(&other);
  return o && DUZEExceptionModel::isEqual(other) && wrapperSdkName_ == o->wrapperSdkName_ &&
         duze::sameObjects(innerExceptions_, o->innerExceptions_);
}

void DUZEWrapperExceptionModel::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEExceptionModel::encodeWithCoder(coder);
  coder.encodeObject(wrapperSdkName_, "wrapperSdkName");
  encodeObjects(coder, "innerExceptions", innerExceptions_);
}

bool DUZEWrapperExceptionModel::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEExceptionModel::initWithCoder(coder)) return false;
  wrapperSdkName_ = coder.decodeStringForKey("wrapperSdkName");
  innerExceptions_ = coder.decodeArrayOfClass<DUZEExceptionModel>("innerExceptions");
  return true;
}

// DUZEThread ---------------------------------------------------------------------

ojson DUZEThread::serializeToDictionary() const {
  ojson out = ojson::object();
  duze::putIfPresent(out, "id", threadId_);
  duze::putIfPresent(out, "name", name_);
  putObjects(out, "frames", frames_);
  if (exception_) out["exception"] = exception_->serializeToDictionary();
  return out;
}

bool DUZEThread::isValid() const {
  if (!threadId_) {
    DUZELogInvalidField(className(), "threadId");
    return false;
  }
  if (!hasFrames(frames_)) {
    DUZELogInvalidField(className(), "frames");
    return false;
  }
  return true;
}

bool DUZEThread::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEThread*>(&other);
  return o && threadId_ == o->threadId_ && name_ == o->name_ &&
         duze::sameObjects(frames_, o->frames_) && duze::sameObject(exception_, o->exception_);
}

void DUZEThread::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(threadId_, "id");
  coder.encodeObject(name_, "name");
  encodeObjects(coder, "frames", frames_);
  coder.encodeObject(exception_, "exception");
}

bool DUZEThread::initWithCoder(foundation::NSCoder& coder) {
  threadId_ = coder.decodeNumberForKey("id");
  name_ = coder.decodeStringForKey("name");
  frames_ = coder.decodeArrayOfClass<DUZEStackFrame>("frames");
  exception_ = coder.decodeObjectOfClass<DUZEExceptionModel>("exception");
  return true;
}

std::string DUZEThread::description() const {
  return duzecrashes::describe(serializeToDictionary());
}

// DUZEBinary ---------------------------------------------------------------------

ojson DUZEBinary::serializeToDictionary() const {
  ojson out = ojson::object();
  duze::putIfPresent(out, "id", binaryId_);
  duze::putIfPresent(out, "startAddress", startAddress_);
  duze::putIfPresent(out, "endAddress", endAddress_);
  duze::putIfPresent(out, "name", name_);
  duze::putIfPresent(out, "path", path_);
  duze::putIfPresent(out, "architecture", architecture_);
  duze::putIfPresent(out, "primaryArchitectureId", primaryArchitectureId_);
  duze::putIfPresent(out, "architectureVariantId", architectureVariantId_);
  return out;
}

bool DUZEBinary::isValid() const {
  const std::pair<const char*, const std::optional<std::string>*> required[] = {
      {"binaryId", &binaryId_},
      {"startAddress", &startAddress_},
      {"endAddress", &endAddress_},
      {"name", &name_},
      {"path", &path_},
  };
  for (const auto& [field, value] : required) {
    if (!*value) {
      DUZELogInvalidField(className(), field);
      return false;
    }
  }
  return true;
}

bool DUZEBinary::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEBinary*>(&other);
  return o && binaryId_ == o->binaryId_ && startAddress_ == o->startAddress_ &&
         endAddress_ == o->endAddress_ && name_ == o->name_ && path_ == o->path_ &&
         architecture_ == o->architecture_ && primaryArchitectureId_ == o->primaryArchitectureId_ &&
         architectureVariantId_ == o->architectureVariantId_;
}

void DUZEBinary::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(binaryId_, "id");
  coder.encodeObject(startAddress_, "startAddress");
  coder.encodeObject(endAddress_, "endAddress");
  coder.encodeObject(name_, "name");
  coder.encodeObject(path_, "path");
  coder.encodeObject(architecture_, "architecture");
  coder.encodeObject(primaryArchitectureId_, "primaryArchitectureId");
  coder.encodeObject(architectureVariantId_, "architectureVariantId");
}

bool DUZEBinary::initWithCoder(foundation::NSCoder& coder) {
  binaryId_ = coder.decodeStringForKey("id");
  startAddress_ = coder.decodeStringForKey("startAddress");
  endAddress_ = coder.decodeStringForKey("endAddress");
  name_ = coder.decodeStringForKey("name");
  path_ = coder.decodeStringForKey("path");
  architecture_ = coder.decodeStringForKey("architecture");
  primaryArchitectureId_ = duzecrashes::decodeUnsigned(coder, "primaryArchitectureId");
  architectureVariantId_ = duzecrashes::decodeUnsigned(coder, "architectureVariantId");
  return true;
}

std::string DUZEBinary::description() const {
  return duzecrashes::describe(serializeToDictionary());
}

// DUZEWrapperException -----------------------------------------------------------

ojson DUZEWrapperException::serializeToDictionary() const {
  ojson out = ojson::object();
  if (modelException_) out["modelException"] = modelException_->serializeToDictionary();
  if (exceptionData_) out["exceptionData"] = ojson::binary(*exceptionData_);
  duze::putIfPresent(out, "processId", processId_);
  return out;
}

void DUZEWrapperException::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(modelException_, "modelException");
  coder.encodeObject(exceptionData_, "exceptionData");
  coder.encodeObject(processId_, "processId");
}

bool DUZEWrapperException::initWithCoder(foundation::NSCoder& coder) {
  setModelException(coder.decodeObjectOfClass<DUZEExceptionModel>("modelException"));
  setExceptionData(coder.decodeDataForKey("exceptionData"));
  setProcessId(coder.decodeNumberForKey("processId"));
  return true;
}
