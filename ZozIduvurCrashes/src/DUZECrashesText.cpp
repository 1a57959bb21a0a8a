#include "DUZECrashesText.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>

#include "ZozIduvur/DUZESerializableObject.h"
#include "ZozIduvur/DUZEUtility.h"

namespace duzecrashes {

namespace {

constexpr int kIndentWidth = 4;

bool needsQuotes(const std::string& text) {
  if (text.empty()) return true;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '_' || c == '$' || c == '.' || c == '/') continue;
    return true;
  }
  return false;
}

std::string quoted(const std::string& text) {
  if (!needsQuotes(text)) return text;
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  out += '"';
  return out;
}

std::string pad(int level) { return std::string(static_cast<size_t>(level * kIndentWidth), ' '); }

std::string hexBytes(const uint8_t* bytes, size_t size) {
  std::string out = "<";
  char digits[3];
  for (size_t i = 0; i < size; ++i) {
    if (i > 0 && i % 4 == 0) out += ' ';
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    out += digits;
  }
  out += '>';
  return out;
}

// A printer shared by JSON and archive values: `entries` of a dictionary or
// the elements of an array, each already printed at `level + 1`.
std::string block(const std::vector<std::pair<std::string, std::string>>& entries, int level) {
  std::string out = "{\n";
  for (const auto& [key, value] : entries)
    out += pad(level + 1) + quoted(key) + " = " + value + ";\n";
  return out + pad(level) + "}";
}

std::string list(const std::vector<std::string>& elements, int level) {
  std::string out = "(\n";
  for (size_t i = 0; i < elements.size(); ++i) {
    out += pad(level + 1) + elements[i];
    out += i + 1 < elements.size() ? ",\n" : "\n";
  }
  return out + pad(level) + ")";
}

std::string describeJson(const nlohmann::ordered_json& value, int level) {
  switch (value.type()) {
    case nlohmann::ordered_json::value_t::object: {
      std::vector<std::pair<std::string, std::string>> entries;
      for (const auto& [key, element] : value.items())
        entries.emplace_back(key, describeJson(element, level + 1));
      return block(entries, level);
    }
    case nlohmann::ordered_json::value_t::array: {
      std::vector<std::string> elements;
      for (const auto& element : value) elements.push_back(describeJson(element, level + 1));
      return list(elements, level);
    }
    case nlohmann::ordered_json::value_t::string:
      return quoted(value.get<std::string>());
    case nlohmann::ordered_json::value_t::boolean:
      return value.get<bool>() ? "1" : "0";
    case nlohmann::ordered_json::value_t::binary: {
      const auto& bytes = value.get_binary();
      return hexBytes(bytes.data(), bytes.size());
    }
    case nlohmann::ordered_json::value_t::null:
    case nlohmann::ordered_json::value_t::discarded:
      return "<null>";
    default:
      return value.dump();
  }
}

std::string describeValue(const foundation::Value& value, int level) {
  if (value.isNull()) return "<null>";
  if (const auto* b = value.boolValue()) return *b ? "1" : "0";
  if (const auto* i = value.intValue()) return std::to_string(*i);
  if (const auto* u = value.unsignedValue()) return std::to_string(*u);
  if (const auto* d = value.doubleValue()) return nlohmann::ordered_json(*d).dump();
  if (const auto* s = value.stringValue()) return quoted(*s);
  if (const auto* data = value.dataValue()) return hexBytes(data->data(), data->size());
  if (const auto* date = value.dateValue()) {
    // "2023-11-14 22:13:20 +0000", the way a date describes itself.
    std::string iso = DUZEUtility::dateToISO8601(*date);
    return quoted(iso.substr(0, 10) + " " + iso.substr(11, 8) + " +0000");
  }
  if (const auto* array = value.arrayValue()) {
    std::vector<std::string> elements;
    for (const auto& element : *array) elements.push_back(describeValue(element, level + 1));
    return list(elements, level);
  }
  if (const auto* dictionary = value.dictionaryValue()) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& [key, element] : *dictionary)
      entries.emplace_back(key, describeValue(element, level + 1));
    return block(entries, level);
  }
  if (const auto* object = value.objectValue()) {
    if (const auto* serializable = dynamic_cast<const DUZESerializableObject*>(object->get()))
      return describeJson(serializable->serializeToDictionary(), level);
    return "<" + std::string((*object)->className()) + ">";
  }
  return "<null>";
}

}  // namespace

std::string describe(const nlohmann::ordered_json& value) { return describeJson(value, 0); }

std::string describe(const foundation::Value& value) { return describeValue(value, 0); }

std::string describe(const std::vector<std::string>& lines) {
  std::vector<std::string> elements;
  elements.reserve(lines.size());
  for (const auto& line : lines) elements.push_back(quoted(line));
  return list(elements, 0);
}

std::string describe(const foundation::NSError::UserInfo& userInfo) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& [key, value] : userInfo) {
    std::string text;
    if (const auto* s = std::get_if<std::string>(&value)) {
      text = quoted(*s);
    } else if (const auto* i = std::get_if<int64_t>(&value)) {
      text = std::to_string(*i);
    } else if (const auto* d = std::get_if<double>(&value)) {
      text = nlohmann::ordered_json(*d).dump();
    } else if (const auto* b = std::get_if<bool>(&value)) {
      text = *b ? "1" : "0";
    } else if (const auto* e = std::get_if<std::shared_ptr<const foundation::NSError>>(&value)) {
      text = *e ? quoted((*e)->description()) : "<null>";
    }
    entries.emplace_back(key, std::move(text));
  }
  return block(entries, 0);
}

std::string callStackSymbol(int index, uintptr_t address) {
  Dl_info info{};
  const bool found = dladdr(reinterpret_cast<void*>(address), &info) != 0;
  std::string image = "???";
  if (found && info.dli_fname && *info.dli_fname) {
    image = info.dli_fname;
    if (auto slash = image.rfind('/'); slash != std::string::npos) image.erase(0, slash + 1);
  }
  std::string symbol;
  uintptr_t start = 0;
  if (found && info.dli_sname) {
    symbol = info.dli_sname;
    start = reinterpret_cast<uintptr_t>(info.dli_saddr);
  } else {
    start = found ? reinterpret_cast<uintptr_t>(info.dli_fbase) : 0;
    char base[32];
    std::snprintf(base, sizeof base, "0x%" PRIxPTR, start);
    symbol = base;
  }
  std::string number = std::to_string(index);
  number.resize(std::max<size_t>(number.size(), 4), ' ');
  image.resize(std::max<size_t>(image.size(), 35), ' ');
  char hex[32];
  std::snprintf(hex, sizeof hex, "0x%016" PRIxPTR, address);
  return number + image + " " + hex + " " + symbol + " + " + std::to_string(address - start);
}

std::vector<std::string> callStackSymbols(int skip) {
  void* frames[128];
  const int count = backtrace(frames, 128);
  std::vector<std::string> out;
  for (int i = skip; i < count; ++i)
    out.push_back(callStackSymbol(i - skip, reinterpret_cast<uintptr_t>(frames[i])));
  return out;
}

}  // namespace duzecrashes
