#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ZozIduvur/DUZEAbstractLog.h"
#include "foundation/Data.h"

// A file attached to a crash or a handled error, sent as its own log after
// the error log. It is valid once the crash service has stamped the error's
// id on it (and the channel has given it a time and a device).
class DUZEErrorAttachmentLog : public DUZEAbstractLog {
  DUZE_CLASS_NAME("DUZEErrorAttachmentLog")
  // "id" in JSON and archives; a new random UUID text at construction.
  DUZE_PROPERTY(std::optional<std::string>, attachmentId, AttachmentId)
  DUZE_PROPERTY(std::optional<std::string>, errorId, ErrorId)
  DUZE_PROPERTY(std::optional<std::string>, contentType, ContentType)
  // "fileName" in JSON and archives.
  DUZE_PROPERTY(std::optional<std::string>, filename, Filename)
  DUZE_PROPERTY(std::optional<foundation::Data>, data, Data)

 public:
  static constexpr std::string_view kType = "errorAttachment";
  static constexpr std::string_view kTextContentType = "text/plain";

  // Type "errorAttachment" and a new attachment id.
  DUZEErrorAttachmentLog();

  // The UTF-8 bytes of `text` as "text/plain"; no text gives no data (and so
  // an attachment that is not valid).
  static std::shared_ptr<DUZEErrorAttachmentLog> attachmentWithText(
      const std::optional<std::string>& text, std::optional<std::string> filename);
  // The bytes with the given content type; no default type, no size check.
  static std::shared_ptr<DUZEErrorAttachmentLog> attachmentWithBinary(
      std::optional<foundation::Data> data, std::optional<std::string> filename,
      std::optional<std::string> contentType);

  // The base log's keys, then "id", "errorId", "contentType", "fileName" and
  // "data" (Base64), each only when present.
  nlohmann::ordered_json serializeToDictionary() const override;
  // The base log's check, then errorId, attachmentId, data, contentType.
  bool isValid() const override;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
