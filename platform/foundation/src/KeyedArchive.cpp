#include "foundation/KeyedArchive.h"

#include <nlohmann/json.hpp>

#include "DepthLimitedJSON.h"

namespace foundation {

using json = nlohmann::json;

namespace {

// Keys of the tagged maps that hold what CBOR has no native form for.
constexpr std::string_view kClassKey = "$class";
constexpr std::string_view kFieldsKey = "$fields";
constexpr std::string_view kDateKey = "$date";
constexpr std::string_view kDictKey = "$dict";

struct Context {
  const NSKeyedUnarchiver::Classes* classes = nullptr;
  std::shared_ptr<NSError> error;

  void fail(int64_t code, std::string message) {
    if (!error) error = NSError::create(std::string(NSKeyedArchiveErrorDomain), code, message);
  }
};

}  // namespace

namespace detail {
struct CoderState {
  bool decoding = false;
  json encoded = json::object();  // encoding: the fields written so far
  const json* fields = nullptr;   // decoding: the object's fields
  Context* context = nullptr;     // decoding only
};
}  // namespace detail

namespace {

json encodeValue(const Value& value);

json encodeObject(const NSCoding& object) {
  detail::CoderState state;
  NSCoder coder(&state);
  object.encodeWithCoder(coder);
  json out = json::object();
  out[std::string(kClassKey)] = std::string(object.className());
  out[std::string(kFieldsKey)] = std::move(state.encoded);
  return out;
}

json encodeValue(const Value& value) {
  if (value.isNull()) return nullptr;
  if (auto* v = value.boolValue()) return *v;
  if (auto* v = value.intValue()) return *v;
  if (auto* v = value.unsignedValue()) return *v;
  if (auto* v = value.doubleValue()) return *v;
  if (auto* v = value.stringValue()) return *v;
  if (auto* v = value.dataValue()) return json::binary(*v);
  if (auto* v = value.dateValue()) {
    json out = json::object();
    out[std::string(kDateKey)] = v->timeIntervalSinceReferenceDate();
    return out;
  }
  if (auto* v = value.arrayValue()) {
    json out = json::array();
    for (const auto& element : *v) out.push_back(encodeValue(element));
    return out;
  }
  if (auto* v = value.dictionaryValue()) {
    json entries = json::object();
    for (const auto& [key, element] : *v) entries[key] = encodeValue(element);
    json out = json::object();
    out[std::string(kDictKey)] = std::move(entries);
    return out;
  }
  return encodeObject(**value.objectValue());
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
  state.decoding = true;
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
  switch (j.type()) {
    case json::value_t::null:
      return {};
    case json::value_t::boolean:
      return Value(j.get<bool>());
    case json::value_t::number_integer:
      return Value(j.get<int64_t>());
    case json::value_t::number_unsigned:
      return Value(j.get<uint64_t>());
    case json::value_t::number_float:
      return Value(j.get<double>());
    case json::value_t::string:
      return Value(j.get<std::string>());
    case json::value_t::binary:
      return Value(Data(j.get_binary().begin(), j.get_binary().end()));
    case json::value_t::array: {
      Value::Array out;
      out.reserve(j.size());
      for (const auto& element : j) {
        out.push_back(decodeValue(element, context));
        if (context.error) return {};
      }
      return Value(std::move(out));
    }
    case json::value_t::object: {
      if (j.contains(std::string(kClassKey))) return decodeObject(j, context);
      if (j.size() == 1) {
        if (auto it = j.find(std::string(kDateKey)); it != j.end() && it->is_number()) {
          return Value(dispatch::Date(it->get<double>()));
        }
        if (auto it = j.find(std::string(kDictKey)); it != j.end() && it->is_object()) {
          Value::Dictionary out;
          for (const auto& [key, element] : it->items()) {
            out.emplace(key, decodeValue(element, context));
            if (context.error) return {};
          }
          return Value(std::move(out));
        }
      }
      break;
    }
    case json::value_t::discarded:
      break;
  }
  context.fail(NSKeyedArchiveErrorInvalidData, "The archive holds a value of an unknown shape.");
  return {};
}

}  // namespace

// NSCoder ---------------------------------------------------------------

void NSCoder::encodeObject(const Value& value, std::string_view key) {
  if (value.isNull()) return;
  state_->encoded[std::string(key)] = encodeValue(value);
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
    json document = encodeValue(root);
    return json::to_cbor(document);
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
