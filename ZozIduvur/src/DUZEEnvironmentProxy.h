#pragma once

#include <optional>
#include <string>

// The proxy that libcurl takes from the environment, as the client's
// messages name it: which proxy a request goes through, and texts with no
// user name or password of a proxy left in them.
namespace duze {

struct ProxySetting {
  std::string url;       // without user name and password
  std::string variable;  // where it came from
};

// The proxy a request for `url` goes through, as DUZEHttpClient::proxyForUrl
// describes it; std::nullopt when it goes direct.
std::optional<ProxySetting> proxySettingForUrl(const std::string& url);

// `text` with nothing left of the user names and passwords that the proxy
// variables hold, also where libcurl quotes a setting whole or reads a host
// out of a password: a part of them that stands on its own becomes "***".
std::string withoutProxyCredentials(std::string text);

// The same for the user name and password of a URL (its "user:password@").
std::string withoutUrlCredentials(std::string text, const std::string& url);

// `url` as messages name it: without its user name and password (everything
// between the scheme and the last '@').
std::string withoutUserInfo(const std::string& url);

}  // namespace duze
