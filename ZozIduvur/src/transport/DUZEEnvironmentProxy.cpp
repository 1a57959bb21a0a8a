#include "DUZEEnvironmentProxy.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::optional<std::string> environmentValue(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

// A URL's parts through libcurl's own parser; empty when there is none.
std::string urlPart(CURLU* url, CURLUPart what) {
  char* part = nullptr;
  if (curl_url_get(url, what, &part, 0) != CURLUE_OK || !part) return {};
  std::string text(part);
  curl_free(part);
  return text;
}

struct UrlParts {
  std::string scheme;
  std::string host;
  std::string port;
};

std::optional<UrlParts> parseUrl(const std::string& text) {
  CURLU* url = curl_url();
  if (!url) return std::nullopt;
  std::optional<UrlParts> parts;
  if (curl_url_set(url, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    parts = UrlParts{lowered(urlPart(url, CURLUPART_SCHEME)), lowered(urlPart(url, CURLUPART_HOST)),
                     urlPart(url, CURLUPART_PORT)};
  }
  curl_url_cleanup(url);
  return parts;
}

// Every variable libcurl may take a proxy from for an http or https request
// (HTTP_PROXY too, although only its lower-case form is read for http).
constexpr const char* kProxyVariables[] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                                           "HTTPS_PROXY", "all_proxy",  "ALL_PROXY"};

// A proxy setting cut where a user name and password may be: everything
// between the scheme and the last '@' counts as credentials, also where a
// password holds an unencoded '/', '?', '#' or '@' (libcurl then ends the
// host early and takes the user name for the proxy's host, the password's
// start for its port).
struct ProxyParts {
  std::string scheme = "http";  // libcurl's guess when there is none
  std::string credentials;
  std::string place;  // host, port and whatever follows
};

ProxyParts splitProxy(const std::string& proxy) {
  ProxyParts parts;
  parts.place = proxy;
  const size_t end = proxy.find("://");
  const auto isSchemeCharacter = [](unsigned char c) {
    return std::isalnum(c) || c == '+' || c == '-' || c == '.';
  };
  if (end != std::string::npos && end > 0 && std::isalpha(static_cast<unsigned char>(proxy[0])) &&
      std::all_of(proxy.begin(), proxy.begin() + static_cast<std::ptrdiff_t>(end),
                  isSchemeCharacter)) {
    parts.scheme = lowered(proxy.substr(0, end));
    parts.place = proxy.substr(end + 3);
  }
  if (const size_t at = parts.place.rfind('@'); at != std::string::npos) {
    parts.credentials = parts.place.substr(0, at);
    parts.place.erase(0, at + 1);
  }
  return parts;
}

// How messages name a proxy: "scheme://host:port", never with anything that
// may be a user name or password.
std::string displayedProxy(const std::string& proxy) {
  const ProxyParts parts = splitProxy(proxy);
  if (auto url = parseUrl(parts.scheme + "://" + parts.place); url && !url->host.empty()) {
    std::string text = parts.scheme + "://" + url->host;
    if (!url->port.empty()) text += ":" + url->port;
    return text;
  }
  // Unreadable for libcurl too (the request fails on it, "Unsupported proxy
  // syntax"): the place as it stands, up to its path.
  return parts.scheme + "://" + parts.place.substr(0, parts.place.find_first_of("/?#"));
}

std::string percentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Whether libcurl sends a request for `url` through a proxy, answered by
// libcurl itself rather than by a copy of its rules (which hosts no_proxy
// names, in its own reading): a transfer that is stopped before it resolves
// a name or opens a socket fails on the proxy's name when it goes through a
// proxy (or on the proxy's syntax or scheme), and on the host's otherwise.
bool libcurlSendsThroughAProxy(const std::string& url) {
  CURL* easy = curl_easy_init();
  if (!easy) return false;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_resolver_start_callback stopResolving = [](void*, void*, void*) { return 1; };
  curl_easy_setopt(easy, CURLOPT_RESOLVER_START_FUNCTION, stopResolving);
  curl_opensocket_callback openNothing = [](void*, curlsocktype, curl_sockaddr*) {
    return CURL_SOCKET_BAD;
  };
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openNothing);
  const CURLcode result = curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_URL_MALFORMAT:  // nothing is sent at all
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FAILED_INIT:
      return false;
    default:
      return true;
  }
}

}  // namespace

namespace duze {

namespace {

// Replaces each whole `form` of credentials that stands where a URL's user
// part stands (before an '@', at the start of the text or of a word: after
// a space, "/", a quote or a bracket) with "***", leaving the words around
// it as they are.
void starAsUserPart(std::string& text, const std::string& form) {
  const std::string quoted = form + "@";
  for (size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at + 1)) {
    if (at == 0 || std::string_view("/'\"<(").find(text[at - 1]) != std::string_view::npos ||
        std::isspace(static_cast<unsigned char>(text[at - 1]))) {
      text.replace(at, form.size(), "***");
    }
  }
}

}  // namespace

std::optional<std::string> shownDetail(std::string detail, const std::vector<std::string>& urls,
                                       bool cut) {
  std::vector<std::string> credentials;
  for (const char* name : kProxyVariables) {
    if (const auto value = environmentValue(name)) {
      credentials.push_back(splitProxy(*value).credentials);
    }
  }
  for (const auto& url : urls) credentials.push_back(splitProxy(url).credentials);
  std::erase(credentials, std::string());
  if (credentials.empty()) return detail;
  // What was cut off may have ended inside a credential, and libcurl takes
  // a host and port out of credentials that hold one of these characters
  // unencoded (then names them as such, where no one can tell them apart
  // from its own words).
  if (cut) return std::nullopt;
  for (const auto& credential : credentials) {
    if (credential.find_first_of("/?#@") != std::string::npos) return std::nullopt;
  }
  // The whole credentials, then the user names alone (a text may name the
  // user without the password), each as set and decoded; the longest first,
  // so that a user name never stars part of a whole credential.
  std::vector<std::string> forms;
  for (const auto& credential : credentials) {
    const std::string user = credential.substr(0, credential.find(':'));
    for (const auto& form : {credential, user}) {
      if (form.empty()) continue;
      forms.push_back(form);
      forms.push_back(percentDecoded(form));
    }
  }
  std::stable_sort(forms.begin(), forms.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const auto& form : forms) starAsUserPart(detail, form);
  // One that still stands somewhere else may be quoted in a way not known
  // here, or be a word of the text: no one can tell.
  for (const auto& form : forms) {
    if (detail.find(form) != std::string::npos) return std::nullopt;
  }
  return detail;
}

std::string withoutUserInfo(const std::string& url) {
  const ProxyParts parts = splitProxy(url);
  if (parts.credentials.empty()) return url;
  const size_t schemeEnd = url.find("://");
  return (schemeEnd == std::string::npos ? std::string() : url.substr(0, schemeEnd + 3)) +
         parts.place;
}

std::optional<ProxySetting> proxySettingForUrl(const std::string& url) {
  auto parts = parseUrl(url);
  if (!parts || parts->scheme.empty()) return std::nullopt;
  // Upper-case HTTP_PROXY is never read: a CGI program gets the client's
  // "Proxy:" header field under that name.
  std::string lower = parts->scheme + "_proxy";
  std::string upper;
  if (parts->scheme != "http") {
    upper = lower;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  }
  // An array rather than a growing vector: g++ 12 at -O3 warns about the
  // vector's copies of its strings.
  const std::string names[] = {std::move(lower), std::move(upper), "all_proxy", "ALL_PROXY"};
  for (const auto& name : names) {
    if (name.empty()) continue;
    if (auto value = environmentValue(name)) {
      if (!libcurlSendsThroughAProxy(url)) return std::nullopt;
      return ProxySetting{displayedProxy(*value), name};
    }
  }
  return std::nullopt;
}

}  // namespace duze
