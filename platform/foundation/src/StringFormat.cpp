#include "foundation/StringFormat.h"

#include <charconv>
#include <cstdio>
#include <vector>

namespace foundation {

int64_t FormatArg::signedValue() const {
  switch (kind_) {
    case Kind::signedInt:
    case Kind::character:
      return int_;
    case Kind::unsignedInt:
      return static_cast<int64_t>(uint_);
    case Kind::floating:
      return static_cast<int64_t>(double_);
    case Kind::text:
    case Kind::null:
      break;
  }
  return 0;
}

uint64_t FormatArg::unsignedValue() const {
  switch (kind_) {
    case Kind::signedInt:
    case Kind::character:
      return static_cast<uint64_t>(int_);
    case Kind::unsignedInt:
      return uint_;
    case Kind::floating:
      return static_cast<uint64_t>(double_);
    case Kind::text:
    case Kind::null:
      break;
  }
  return 0;
}

double FormatArg::doubleValue() const {
  switch (kind_) {
    case Kind::signedInt:
    case Kind::character:
      return static_cast<double>(int_);
    case Kind::unsignedInt:
      return static_cast<double>(uint_);
    case Kind::floating:
      return double_;
    case Kind::text:
    case Kind::null:
      break;
  }
  return 0;
}

std::string FormatArg::objectText() const {
  switch (kind_) {
    case Kind::signedInt:
    case Kind::character:
      return std::to_string(int_);
    case Kind::unsignedInt:
      return std::to_string(uint_);
    case Kind::floating: {
      // The shortest text that reads back as the same number, like a number
      // object's description.
      char buffer[64];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, double_);
      return std::string(buffer, result.ptr);
    }
    case Kind::text:
      return text_;
    case Kind::null:
      break;
  }
  return "(null)";
}

namespace {

struct Spec {
  std::string flags;
  std::optional<int> width;
  std::optional<int> precision;
  std::string length;
  char conversion = 0;
};

std::string cFormat(const Spec& spec, std::string_view lengthOverride, char conversion) {
  std::string f = "%";
  f += spec.flags;
  if (spec.width) f += std::to_string(*spec.width);
  if (spec.precision) {
    f += '.';
    f += std::to_string(*spec.precision);
  }
  f += lengthOverride;
  f += conversion;
  return f;
}

template <class T>
std::string runPrintf(const std::string& format, T value) {
  int needed = std::snprintf(nullptr, 0, format.c_str(), value);
  if (needed <= 0) return {};
  std::vector<char> buffer(static_cast<size_t>(needed) + 1);
  std::snprintf(buffer.data(), buffer.size(), format.c_str(), value);
  return std::string(buffer.data(), static_cast<size_t>(needed));
}

bool is64Bit(const std::string& length) {
  return length == "l" || length == "ll" || length == "q" || length == "z" || length == "t" ||
         length == "j" || length == "L";
}

std::string formatInteger(const Spec& spec, const FormatArg& arg) {
  const char c = spec.conversion;
  const bool isSigned = c == 'd' || c == 'i' || c == 'D';
  const char conv = c == 'D' ? 'd' : (c == 'U' ? 'u' : (c == 'O' ? 'o' : c));
  if (isSigned) {
    int64_t v = arg.signedValue();
    if (spec.length == "hh") return runPrintf(cFormat(spec, "", conv), int(int8_t(v)));
    if (spec.length == "h") return runPrintf(cFormat(spec, "", conv), int(int16_t(v)));
    if (is64Bit(spec.length) || c == 'D')
      return runPrintf(cFormat(spec, "ll", conv), static_cast<long long>(v));
    return runPrintf(cFormat(spec, "", conv), static_cast<int>(static_cast<int32_t>(v)));
  }
  uint64_t v = arg.unsignedValue();
  if (spec.length == "hh") return runPrintf(cFormat(spec, "", conv), unsigned(uint8_t(v)));
  if (spec.length == "h") return runPrintf(cFormat(spec, "", conv), unsigned(uint16_t(v)));
  if (is64Bit(spec.length) || c == 'U' || c == 'O')
    return runPrintf(cFormat(spec, "ll", conv), static_cast<unsigned long long>(v));
  return runPrintf(cFormat(spec, "", conv), static_cast<unsigned>(static_cast<uint32_t>(v)));
}

std::string formatText(const Spec& spec, const std::string& text) {
  std::string body = text;
  if (spec.precision && *spec.precision >= 0 && static_cast<size_t>(*spec.precision) < body.size())
    body.resize(static_cast<size_t>(*spec.precision));
  if (spec.width && static_cast<size_t>(*spec.width) > body.size()) {
    std::string pad(static_cast<size_t>(*spec.width) - body.size(), ' ');
    return spec.flags.find('-') != std::string::npos ? body + pad : pad + body;
  }
  return body;
}

}  // namespace

std::string formatWithArgs(std::string_view format, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(format.size() + 16);
  size_t next = 0;
  auto take = [&]() -> const FormatArg* { return next < args.size() ? &args[next++] : nullptr; };

  size_t i = 0;
  while (i < format.size()) {
    char ch = format[i];
    if (ch != '%') {
      out += ch;
      ++i;
      continue;
    }
    size_t start = i++;
    if (i < format.size() && format[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    Spec spec;
    while (i < format.size() && std::string_view("-+ #0'").find(format[i]) != std::string::npos)
      spec.flags += format[i++];
    if (i < format.size() && format[i] == '*') {
      ++i;
      const FormatArg* a = take();
      int w = a ? static_cast<int>(a->signedValue()) : 0;
      if (w < 0) {
        spec.flags += '-';
        w = -w;
      }
      spec.width = w;
    } else {
      int w = 0;
      bool any = false;
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        w = w * 10 + (format[i++] - '0');
        any = true;
      }
      if (any) spec.width = w;
    }
    if (i < format.size() && format[i] == '.') {
      ++i;
      if (i < format.size() && format[i] == '*') {
        ++i;
        const FormatArg* a = take();
        int p = a ? static_cast<int>(a->signedValue()) : 0;
        if (p >= 0) spec.precision = p;
      } else {
        int p = 0;
        while (i < format.size() && format[i] >= '0' && format[i] <= '9')
          p = p * 10 + (format[i++] - '0');
        spec.precision = p;
      }
    }
    while (i < format.size() && std::string_view("hlqLztj").find(format[i]) != std::string::npos)
      spec.length += format[i++];
    if (i >= format.size()) {
      // A lone or unfinished specifier is kept as it was written.
      out.append(format.substr(start));
      break;
    }
    spec.conversion = format[i++];
    switch (spec.conversion) {
      case 'd':
      case 'i':
      case 'D':
      case 'u':
      case 'U':
      case 'x':
      case 'X':
      case 'o':
      case 'O': {
        const FormatArg* a = take();
        if (a) out += formatInteger(spec, *a);
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        const FormatArg* a = take();
        if (a) out += runPrintf(cFormat(spec, "", spec.conversion), a->doubleValue());
        break;
      }
      case 'c':
      case 'C': {
        const FormatArg* a = take();
        if (a) {
          std::string one(1, static_cast<char>(a->signedValue() & 0xFF));
          out += formatText(spec, one);
        }
        break;
      }
      case 's':
      case 'S':
      case '@': {
        const FormatArg* a = take();
        if (a) out += formatText(spec, a->objectText());
        break;
      }
      case 'p': {
        const FormatArg* a = take();
        if (a)
          out += runPrintf(cFormat(spec, "ll", 'x'), (unsigned long long)a->unsignedValue())
                     .insert(0, "0x");
        break;
      }
      default:
        // Unknown conversions are copied through untouched.
        out.append(format.substr(start, i - start));
        break;
    }
  }
  return out;
}

}  // namespace foundation
