#pragma once

// Reading stored documents without trusting their nesting. The documents the
// system writes (keyed archives, the defaults file) are shallow; a deeper one
// is damaged or hostile, and building it would hand the recursive converters
// that follow a stack they cannot finish on. Such a document is refused while
// it is parsed, before any of it is built.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

namespace foundation::detail {

// The deepest nesting of arrays and objects accepted.
inline constexpr size_t kMaxDocumentDepth = 128;

// A SAX handler that builds the document and stops at the first container
// nested deeper than kMaxDocumentDepth.
class DepthLimitedParser {
 public:
  using json = nlohmann::json;
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  explicit DepthLimitedParser(json& result) : dom_(result, false) {}

  bool null() { return dom_.null(); }
  bool boolean(bool v) { return dom_.boolean(v); }
  bool number_integer(number_integer_t v) { return dom_.number_integer(v); }
  bool number_unsigned(number_unsigned_t v) { return dom_.number_unsigned(v); }
  bool number_float(number_float_t v, const string_t& s) { return dom_.number_float(v, s); }
  bool string(string_t& v) { return dom_.string(v); }
  bool binary(binary_t& v) { return dom_.binary(v); }
  bool start_object(std::size_t n) { return ++depth_ <= kMaxDocumentDepth && dom_.start_object(n); }
  bool key(string_t& v) { return dom_.key(v); }
  bool end_object() {
    --depth_;
    return dom_.end_object();
  }
  bool start_array(std::size_t n) { return ++depth_ <= kMaxDocumentDepth && dom_.start_array(n); }
  bool end_array() {
    --depth_;
    return dom_.end_array();
  }
  template <class Exception>
  bool parse_error(std::size_t position, const std::string& token, const Exception& ex) {
    return dom_.parse_error(position, token, ex);
  }

 private:
  nlohmann::detail::json_sax_dom_parser<json> dom_;
  size_t depth_ = 0;
};

// The document `first`..`last` holds in `format`, or a discarded value when
// it is malformed or nested too deeply. Never throws.
template <class Iterator>
nlohmann::json parseDepthLimited(Iterator first, Iterator last,
                                 nlohmann::json::input_format_t format) {
  nlohmann::json document;
  DepthLimitedParser parser(document);
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(first, last, &parser, format, true);
  } catch (const std::exception&) {
    parsed = false;
  }
  if (!parsed) return nlohmann::json(nlohmann::json::value_t::discarded);
  return document;
}

}  // namespace foundation::detail
