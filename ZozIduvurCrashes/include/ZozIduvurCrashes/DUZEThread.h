#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ZozIduvurCrashes/DUZEExceptionModel.h"

// One thread of a crash: its number, name, frames and, for the crashed
// thread, the exception that ended the process.
class DUZEThread : public foundation::NSCoding, public DUZESerializableObject {
  DUZE_CLASS_NAME("DUZEThread")
  // "id" in JSON and archives.
  DUZE_PROPERTY(std::optional<int64_t>, threadId, ThreadId)
  DUZE_PROPERTY(std::optional<std::string>, name, Name)
  // Starts as an empty array.
  DUZE_PROPERTY(std::optional<DUZEStackFrames>, frames, Frames)
  DUZE_PROPERTY(std::shared_ptr<DUZEExceptionModel>, exception, Exception)

 public:
  DUZEThread() : frames_(DUZEStackFrames{}) {}
  static std::shared_ptr<DUZEThread> create() { return std::make_shared<DUZEThread>(); }

  void addFrame(std::shared_ptr<DUZEStackFrame> frame) {
    if (!frames_) frames_.emplace();
    frames_->push_back(std::move(frame));
  }

  nlohmann::ordered_json serializeToDictionary() const override;
  // threadId, then at least one frame.
  bool isValid() const;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
  // The text form of the dictionary.
  std::string description() const;
};
