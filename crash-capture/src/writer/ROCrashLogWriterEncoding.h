#pragma once

#include <cstddef>
#include <cstdint>

#include "ROCrashLogWriter.h"
#include "base/FatalError.h"

// The report's wire encoding: protocol-buffer fields written straight to the
// report file, or only measured when the file is null. Inline, so that the
// fields of each section compile to a few stores. Async-signal-safe.
namespace rocrash::writer {

inline size_t encodeVarint(uint64_t value, uint8_t* out) {
  size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<uint8_t>(value);
  return n;
}

inline size_t textLength(const char* text) {
  size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

inline size_t emit(rocrash_async_file* file, const void* data, size_t length) {
  if (file != nullptr && length > 0) rocrash_async_file_write(file, data, length);
  return length;
}

inline size_t emitVarint(rocrash_async_file* file, uint64_t value) {
  uint8_t buffer[10];
  return emit(file, buffer, encodeVarint(value, buffer));
}

inline size_t emitLittleEndian(rocrash_async_file* file, uint64_t value, size_t width) {
  uint8_t buffer[8];
  for (size_t i = 0; i < width; ++i) buffer[i] = static_cast<uint8_t>(value >> (8 * i));
  return emit(file, buffer, width);
}

// Encodes one field as `rocrash_writer_pack` (ROCrashLogWriter.h) does.
inline size_t packField(rocrash_async_file* file, uint32_t field_id, uint32_t type,
                        const void* value) noexcept {
  uint32_t wireType;
  switch (type) {
    case ROCRASH_PROTOBUF_TYPE_SFIXED64:
    case ROCRASH_PROTOBUF_TYPE_FIXED64:
    case ROCRASH_PROTOBUF_TYPE_DOUBLE:
      wireType = 1;
      break;
    case ROCRASH_PROTOBUF_TYPE_SFIXED32:
    case ROCRASH_PROTOBUF_TYPE_FIXED32:
    case ROCRASH_PROTOBUF_TYPE_FLOAT:
      wireType = 5;
      break;
    case ROCRASH_PROTOBUF_TYPE_STRING:
    case ROCRASH_PROTOBUF_TYPE_BYTES:
    case ROCRASH_PROTOBUF_TYPE_MESSAGE:
      wireType = 2;
      break;
    default:
      // A type past the table would write a field no reader can skip.
      if (type > ROCRASH_PROTOBUF_TYPE_MESSAGE)
        base::fatalError("unknown protocol-buffer field type");
      wireType = 0;
      break;
  }
  size_t rv = emitVarint(file, (static_cast<uint64_t>(field_id) << 3) | wireType);

  switch (type) {
    case ROCRASH_PROTOBUF_TYPE_INT32: {
      // A negative value is sign-extended to 64 bits: ten bytes.
      int64_t v = *static_cast<const int32_t*>(value);
      return rv + emitVarint(file, static_cast<uint64_t>(v));
    }
    case ROCRASH_PROTOBUF_TYPE_SINT32: {
      int32_t v = *static_cast<const int32_t*>(value);
      uint32_t zigzag = (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
      return rv + emitVarint(file, zigzag);
    }
    case ROCRASH_PROTOBUF_TYPE_SINT64: {
      int64_t v = *static_cast<const int64_t*>(value);
      uint64_t zigzag = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
      return rv + emitVarint(file, zigzag);
    }
    case ROCRASH_PROTOBUF_TYPE_UINT32:
    case ROCRASH_PROTOBUF_TYPE_ENUM:
      return rv + emitVarint(file, *static_cast<const uint32_t*>(value));
    case ROCRASH_PROTOBUF_TYPE_INT64:
    case ROCRASH_PROTOBUF_TYPE_UINT64:
      return rv + emitVarint(file, *static_cast<const uint64_t*>(value));
    case ROCRASH_PROTOBUF_TYPE_SFIXED32:
    case ROCRASH_PROTOBUF_TYPE_FIXED32:
    case ROCRASH_PROTOBUF_TYPE_FLOAT:
      return rv + emitLittleEndian(file, *static_cast<const uint32_t*>(value), 4);
    case ROCRASH_PROTOBUF_TYPE_SFIXED64:
    case ROCRASH_PROTOBUF_TYPE_FIXED64:
    case ROCRASH_PROTOBUF_TYPE_DOUBLE:
      return rv + emitLittleEndian(file, *static_cast<const uint64_t*>(value), 8);
    case ROCRASH_PROTOBUF_TYPE_BOOL:
      return rv + emit(file, value, 1);
    case ROCRASH_PROTOBUF_TYPE_STRING: {
      const char* text = static_cast<const char*>(value);
      size_t length = textLength(text);
      rv += emitVarint(file, length);
      return rv + emit(file, text, length);
    }
    case ROCRASH_PROTOBUF_TYPE_BYTES: {
      const auto* bytes = static_cast<const rocrash_protobuf_bytes*>(value);
      rv += emitVarint(file, bytes->len);
      return rv + emit(file, bytes->data, bytes->len);
    }
    default:  // message: the length only; the caller writes the content
      return rv + emitVarint(file, *static_cast<const uint32_t*>(value));
  }
}

// Writes `text` (null counts as empty) as a string field.
inline size_t packText(rocrash_async_file* file, uint32_t field, const char* text) {
  return packField(file, field, ROCRASH_PROTOBUF_TYPE_STRING, text ? text : "");
}

inline size_t packUint64(rocrash_async_file* file, uint32_t field, uint64_t value) {
  return packField(file, field, ROCRASH_PROTOBUF_TYPE_UINT64, &value);
}

inline size_t packUint32(rocrash_async_file* file, uint32_t field, uint32_t value) {
  return packField(file, field, ROCRASH_PROTOBUF_TYPE_UINT32, &value);
}

inline size_t packBool(rocrash_async_file* file, uint32_t field, bool value) {
  return packField(file, field, ROCRASH_PROTOBUF_TYPE_BOOL, &value);
}

inline size_t packEnum(rocrash_async_file* file, uint32_t field, uint32_t value) {
  return packField(file, field, ROCRASH_PROTOBUF_TYPE_ENUM, &value);
}

// The tag and length of a message field whose content, `length` bytes, the
// caller writes right after.
inline size_t packMessageHeader(rocrash_async_file* file, uint32_t field, size_t length) {
  uint32_t length32 = static_cast<uint32_t>(length);
  return packField(file, field, ROCRASH_PROTOBUF_TYPE_MESSAGE, &length32);
}

// A nested message field, written in one forward pass: `content(out)` writes
// the message's fields to `out` (to a null `out`: only measures) and returns
// their size, the same for both. It runs once dry to size the header, then
// once more to write; with a null `file` the dry run alone serves. Returns
// the size of the whole field.
template <class Content>
size_t packMessage(rocrash_async_file* file, uint32_t field, Content&& content) {
  const size_t size = content(nullptr);
  const size_t header = packMessageHeader(file, field, size);
  if (file != nullptr) content(file);
  return header + size;
}

}  // namespace rocrash::writer
