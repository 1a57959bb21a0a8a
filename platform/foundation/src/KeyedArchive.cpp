#include "foundation/KeyedArchive.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>

#include "DepthLimitedJSON.h"
#include "ValueFromJSON.h"

namespace foundation {

using json = nlohmann::json;

namespace detail {

// Bytes being written: appends stay inline and never zero the room they
// take, so that writing a field costs little more than copying it.
class ByteBuffer {
 public:
  const uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  void clear() { size_ = 0; }
  void push(uint8_t byte) {
    if (size_ == capacity_) grow(1);
    bytes_[size_++] = byte;
  }
  void append(const uint8_t* data, size_t size) {
    if (size == 0) return;
    if (capacity_ - size_ < size) grow(size);
    std::memcpy(bytes_.get() + size_, data, size);
    size_ += size;
  }

 private:
  void grow(size_t more) {
    const size_t capacity = std::max({capacity_ * 2, size_ + more, size_t{512}});
    auto bytes = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (size_ > 0) std::memcpy(bytes.get(), bytes_.get(), size_);
    bytes_ = std::move(bytes);
    capacity_ = capacity;
  }

  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace detail

namespace {

// Keys of the tagged maps that hold what CBOR has no native form for (and
// the "$date" and "$dict" of ValueFromJSON.h).
constexpr std::string_view kClassKey = "$class";
constexpr std::string_view kFieldsKey = "$fields";
using detail::kDateTag;
using detail::kDictTag;

struct Context {
  const NSKeyedUnarchiver::Classes* classes = nullptr;
  std::shared_ptr<NSError> error;

  void fail(int64_t code, std::string message) {
    if (!error) error = NSError::create(std::string(NSKeyedArchiveErrorDomain), code, message);
  }
};

// Archives are written straight as CBOR, without a document tree in
// between: objects are maps of "$class" and "$fields", fields in key order
// (as a sorted document would hold them), integers and lengths in their
// shortest form, and a double as a single-precision float when that keeps
// its value. Every archive written so keeps the bytes it always had.
class CborWriter {
 public:
  explicit CborWriter(detail::ByteBuffer& out) : out_(out) {}

  void head(uint8_t major, uint64_t n) {
    const auto type = static_cast<uint8_t>(major << 5);
    if (n <= 0x17) {
      out_.push(static_cast<uint8_t>(type | n));
    } else if (n <= 0xFF) {
      const uint8_t bytes[] = {static_cast<uint8_t>(type | 0x18), static_cast<uint8_t>(n)};
      raw(bytes, sizeof bytes);
    } else if (n <= 0xFFFF) {
      bigEndian(type | 0x19, n, 2);
    } else if (n <= 0xFFFFFFFF) {
      bigEndian(type | 0x1A, n, 4);
    } else {
      bigEndian(type | 0x1B, n, 8);
    }
  }
  void integer(int64_t v) {
    if (v >= 0) {
      head(0, static_cast<uint64_t>(v));
    } else {
      head(1, static_cast<uint64_t>(-1 - v));
    }
  }
  void text(std::string_view v) {
    head(3, v.size());
    raw(reinterpret_cast<const uint8_t*>(v.data()), v.size());
  }
  void bytes(const Data& v) {
    head(2, v.size());
    raw(v.data(), v.size());
  }
  void boolean(bool v) { out_.push(v ? 0xF5 : 0xF4); }
  void null() { out_.push(0xF6); }
  void number(double v) {
    if (std::isnan(v)) {
      const uint8_t half[] = {0xF9, 0x7E, 0x00};
      raw(half, sizeof half);
    } else if (std::isinf(v)) {
      const uint8_t half[] = {0xF9, static_cast<uint8_t>(v > 0 ? 0x7C : 0xFC), 0x00};
      raw(half, sizeof half);
    } else if (v >= static_cast<double>(std::numeric_limits<float>::lowest()) &&
               v <= static_cast<double>(std::numeric_limits<float>::max()) &&
               static_cast<double>(static_cast<float>(v)) == v) {
      bigEndian(0xFA, std::bit_cast<uint32_t>(static_cast<float>(v)), 4);
    } else {
      bigEndian(0xFB, std::bit_cast<uint64_t>(v), 8);
    }
  }
  void raw(const uint8_t* data, size_t size) { out_.append(data, size); }

 private:
  // A lead byte and `size` bytes of `v`, most significant first.
  void bigEndian(uint8_t lead, uint64_t v, int size) {
    uint8_t bytes[9] = {lead};
    for (int i = 0; i < size; ++i) bytes[1 + i] = static_cast<uint8_t>(v >> ((size - 1 - i) * 8));
    raw(bytes, static_cast<size_t>(size) + 1);
  }

  detail::ByteBuffer& out_;
};

void writeValue(CborWriter& writer, const Value& value);

}  // namespace

namespace detail {
struct CoderState {
  // Encoding: each field's key and value are written to `keys` and
  // `scratch` as they come; the fields are put in key order when the object
  // is done.
  struct Field {
    // The key's first eight bytes, most significant first: keys mostly
    // differ there, so most comparisons need not look further.
    uint64_t prefix;
    size_t keyOffset;
    size_t keySize;
    size_t offset;
    size_t size;
  };
  std::string keys;
  ByteBuffer scratch;
  std::vector<Field> encoded;

  const json* fields = nullptr;  // decoding: the object's fields
  Context* context = nullptr;    // decoding only

  std::string_view keyOf(const Field& field) const {
    return std::string_view(keys).substr(field.keyOffset, field.keySize);
  }

  void add(std::string_view key, size_t offset) {
    uint64_t prefix = 0;
    for (size_t i = 0; i < 8; ++i) {
      prefix = (prefix << 8) | (i < key.size() ? static_cast<uint8_t>(key[i]) : 0);
    }
    encoded.push_back({prefix, keys.size(), key.size(), offset, scratch.size() - offset});
    keys.append(key);
  }

  bool less(const Field& a, const Field& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return keyOf(a) < keyOf(b);
  }

  void writeFields(CborWriter& writer) {
    // Insertion sort: an object has a few dozen fields at most, and a key
    // written twice keeps the order it was written in.
    for (size_t i = 1; i < encoded.size(); ++i) {
      const Field field = encoded[i];
      size_t j = i;
      for (; j > 0 && less(field, encoded[j - 1]); --j) encoded[j] = encoded[j - 1];
      encoded[j] = field;
    }
    // A key written twice keeps its last value.
    size_t count = 0;
    for (size_t i = 0; i < encoded.size(); ++i) {
      if (i + 1 == encoded.size() || keyOf(encoded[i]) != keyOf(encoded[i + 1])) ++count;
    }
    writer.head(5, count);
    for (size_t i = 0; i < encoded.size(); ++i) {
      if (i + 1 < encoded.size() && keyOf(encoded[i]) == keyOf(encoded[i + 1])) continue;
      writer.text(keyOf(encoded[i]));
      writer.raw(scratch.data() + encoded[i].offset, encoded[i].size);
    }
  }
};
}  // namespace detail

namespace {

// The encoding states of the objects being written on this thread, one per
// nesting level, kept with their buffers from one archive to the next.
class EncodingStates {
 public:
  detail::CoderState& acquire() {
    if (depth_ == states_.size()) states_.push_back(std::make_unique<detail::CoderState>());
    detail::CoderState& state = *states_[depth_++];
    state.scratch.clear();
    state.keys.clear();
    state.encoded.clear();
    return state;
  }
  void release() { --depth_; }

 private:
  std::vector<std::unique_ptr<detail::CoderState>> states_;
  size_t depth_ = 0;
};

thread_local EncodingStates tEncodingStates;

// The state of one more nesting level, for as long as it is written.
struct EncodingLevel {
  detail::CoderState& state = tEncodingStates.acquire();
  ~EncodingLevel() { tEncodingStates.release(); }
};

void writeObject(CborWriter& writer, const NSCoding& object) {
  EncodingLevel level;
  NSCoder coder(&level.state);
  object.encodeWithCoder(coder);
  writer.head(5, 2);
  writer.text(kClassKey);
  writer.text(object.className());
  writer.text(kFieldsKey);
  level.state.writeFields(writer);
}

void writeValue(CborWriter& writer, const Value& value) {
  if (value.isNull()) {
    writer.null();
  } else if (auto* v = value.boolValue()) {
    writer.boolean(*v);
  } else if (auto* v = value.intValue()) {
    writer.integer(*v);
  } else if (auto* v = value.unsignedValue()) {
    writer.head(0, *v);
  } else if (auto* v = value.doubleValue()) {
    writer.number(*v);
  } else if (auto* v = value.stringValue()) {
    writer.text(*v);
  } else if (auto* v = value.dataValue()) {
    writer.bytes(*v);
  } else if (auto* v = value.dateValue()) {
    writer.head(5, 1);
    writer.text(kDateTag);
    writer.number(v->timeIntervalSinceReferenceDate());
  } else if (auto* v = value.arrayValue()) {
    writer.head(4, v->size());
    for (const auto& element : *v) writeValue(writer, element);
  } else if (auto* v = value.dictionaryValue()) {
    // Already in key order.
    writer.head(5, 1);
    writer.text(kDictTag);
    writer.head(5, v->size());
    for (const auto& [key, element] : *v) {
      writer.text(key);
      writeValue(writer, element);
    }
  } else {
    writeObject(writer, **value.objectValue());
  }
}

Value decodeValue(const json& j, Context& context);

Value decodeObject(const json& j, Context& context) {
  const auto& nameJson = j.at(std::string(kClassKey));
  auto fieldsIt = j.find(std::string(kFieldsKey));
  if (!nameJson.is_string() || fieldsIt == j.end() || !fieldsIt->is_object() || j.size() != 2) {
    context.fail(NSKeyedArchiveErrorInvalidData, "The archive holds a malformed object.");
    return {};
  }
  std::string name = nameJson.get<std::string>();
  const auto& classes = *context.classes;
  const ArchivableClass* cls = nullptr;
  if (auto renamed = classes.renamed.find(name); renamed != classes.renamed.end()) {
    cls = &renamed->second;
  }
  const std::string& resolved = cls ? cls->name : name;
  auto allowed = classes.allowed.find(resolved);
  if (allowed == classes.allowed.end()) {
    context.fail(NSKeyedArchiveErrorClassRefused, "The archive holds an object of the class \"" +
                                                      name + "\", which is not allowed.");
    return {};
  }
  if (!cls || !cls->make) cls = &allowed->second;
  if (!cls->make) {
    context.fail(NSKeyedArchiveErrorClassRefused,
                 "The class \"" + resolved + "\" cannot be made from an archive.");
    return {};
  }
  std::shared_ptr<NSCoding> object = cls->make();
  detail::CoderState state;
  state.fields = &*fieldsIt;
  state.context = &context;
  NSCoder coder(&state);
  if (!object || !object->initWithCoder(coder) || context.error) {
    context.fail(NSKeyedArchiveErrorInvalidData,
                 "An object of the class \"" + resolved + "\" could not be decoded.");
    return {};
  }
  return Value(std::move(object));
}

Value decodeValue(const json& j, Context& context) {
  if (context.error) return {};
  // The archive's own shape: objects, as maps that hold "$class".
  const auto object = [&](const json& map) -> std::optional<Value> {
    if (!map.contains(std::string(kClassKey))) return std::nullopt;
    Value value = decodeObject(map, context);
    if (context.error) return std::nullopt;
    return value;
  };
  std::optional<Value> value = detail::valueFromJSON(j, object);
  if (!value) {
    // Keeps the first failure's message when an object inside failed.
    context.fail(NSKeyedArchiveErrorInvalidData, "The archive holds a value of an unknown shape.");
    return {};
  }
  return std::move(*value);
}

}  // namespace

// NSCoder ---------------------------------------------------------------

namespace {

// Writes one field of the object being encoded.
template <class Write>
void encodeFieldWith(detail::CoderState& state, std::string_view key, Write&& write) {
  const size_t offset = state.scratch.size();
  CborWriter writer(state.scratch);
  write(writer);
  state.add(key, offset);
}

}  // namespace

void NSCoder::encodeObject(const Value& value, std::string_view key) {
  if (value.isNull()) return;
  encodeFieldWith(*state_, key, [&](CborWriter& writer) { writeValue(writer, value); });
}

void NSCoder::encodeArchivedObject(const Data& archive, std::string_view key) {
  encodeFieldWith(*state_, key,
                  [&](CborWriter& writer) { writer.raw(archive.data(), archive.size()); });
}

void NSCoder::encodeField(std::string_view text, std::string_view key) {
  encodeFieldWith(*state_, key, [&](CborWriter& writer) { writer.text(text); });
}

void NSCoder::encodeField(int64_t number, std::string_view key) {
  encodeFieldWith(*state_, key, [&](CborWriter& writer) { writer.integer(number); });
}

void NSCoder::encodeField(Value::Date date, std::string_view key) {
  encodeFieldWith(*state_, key, [&](CborWriter& writer) {
    writer.head(5, 1);
    writer.text(kDateTag);
    writer.number(date.timeIntervalSinceReferenceDate());
  });
}

void NSCoder::encodeStringDictionary(const std::map<std::string, std::string>& entries,
                                     std::string_view key) {
  encodeFieldWith(*state_, key, [&](CborWriter& writer) {
    writer.head(5, 1);
    writer.text(kDictTag);
    writer.head(5, entries.size());
    for (const auto& [entryKey, text] : entries) {
      writer.text(entryKey);
      writer.text(text);
    }
  });
}

bool NSCoder::containsValueForKey(std::string_view key) const {
  return state_->fields && state_->fields->contains(std::string(key));
}

Value NSCoder::decodeObjectForKey(std::string_view key) {
  if (!state_->fields) return {};
  auto it = state_->fields->find(std::string(key));
  if (it == state_->fields->end()) return {};
  return decodeValue(*it, *state_->context);
}

std::optional<std::string> NSCoder::decodeStringForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  if (auto* s = v.stringValue()) return *s;
  return std::nullopt;
}

std::optional<Value::Date> NSCoder::decodeDateForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  if (auto* d = v.dateValue()) return *d;
  return std::nullopt;
}

std::optional<Data> NSCoder::decodeDataForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  if (auto* d = v.dataValue()) return *d;
  return std::nullopt;
}

std::optional<int64_t> NSCoder::decodeNumberForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  if (v.stringValue() || v.isNull()) return std::nullopt;
  return v.asInt64();
}

std::optional<double> NSCoder::decodeDoubleNumberForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  return v.asDouble();
}

bool NSCoder::decodeBoolForKey(std::string_view key) {
  return decodeObjectForKey(key).asBool().value_or(false);
}

std::optional<std::vector<std::string>> NSCoder::decodeStringArrayForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  const auto* array = v.arrayValue();
  if (!array) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& element : *array) {
    const auto* s = element.stringValue();
    if (!s) return std::nullopt;
    out.push_back(*s);
  }
  return out;
}

std::optional<std::map<std::string, std::string>> NSCoder::decodeStringDictionaryForKey(
    std::string_view key) {
  Value v = decodeObjectForKey(key);
  const auto* dictionary = v.dictionaryValue();
  if (!dictionary) return std::nullopt;
  std::map<std::string, std::string> out;
  for (const auto& [k, element] : *dictionary) {
    const auto* s = element.stringValue();
    if (!s) return std::nullopt;
    out.emplace(k, *s);
  }
  return out;
}

// Archiver and unarchiver -------------------------------------------------

std::optional<Data> NSKeyedArchiver::archivedDataWithRootObject(const Value& root,
                                                                std::shared_ptr<NSError>* error) {
  try {
    // Written to a buffer kept from one archive to the next, then copied
    // out once.
    EncodingLevel level;
    CborWriter writer(level.state.scratch);
    writeValue(writer, root);
    const auto& bytes = level.state.scratch;
    return Data(bytes.data(), bytes.data() + bytes.size());
  } catch (const std::exception& e) {
    setError(error, NSError::create(std::string(NSKeyedArchiveErrorDomain),
                                    NSKeyedArchiveErrorEncoding, e.what()));
    return std::nullopt;
  }
}

Value NSKeyedUnarchiver::unarchivedObject(const Data& data, const Classes& classes,
                                          std::shared_ptr<NSError>* error) {
  Context context;
  context.classes = &classes;
  const json document =
      detail::parseDepthLimited(data.begin(), data.end(), json::input_format_t::cbor);
  if (document.is_discarded()) {
    setError(error,
             NSError::create(std::string(NSKeyedArchiveErrorDomain), NSKeyedArchiveErrorInvalidData,
                             "The data is not a keyed archive."));
    return {};
  }
  Value result;
  try {
    result = decodeValue(document, context);
  } catch (const std::exception& e) {
    context.fail(NSKeyedArchiveErrorInvalidData, e.what());
  }
  if (context.error) {
    setError(error, context.error);
    return {};
  }
  return result;
}

}  // namespace foundation
