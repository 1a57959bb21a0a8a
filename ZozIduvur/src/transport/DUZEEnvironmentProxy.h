#pragma once

#include <optional>
#include <string>
#include <vector>

// The proxy that libcurl takes from the environment, as the client's
// messages name it: which proxy a request goes through, and libcurl's texts
// with no user name or password of a proxy or URL in them.
namespace duze {

struct ProxySetting {
  std::string url;       // without user name and password
  std::string variable;  // where it came from
};

// The proxy a request for `url` goes through, as DUZEHttpClient::proxyForUrl
// describes it; std::nullopt when it goes direct.
std::optional<ProxySetting> proxySettingForUrl(const std::string& url);

// libcurl's detail of a failure as messages may show it, given the URLs of
// the request (as asked for and as last followed): whole, with each user
// name and password of the proxy variables and of those URLs, and each such
// user name alone, starred where it stands as a URL's user part
// ("http://***@host", "proxy: ***@host"), never inside other words.
// std::nullopt when no one can be sure it holds no piece of one: the detail
// was `cut` short while credentials are set, libcurl may have named a host
// or port it read out of them (they hold an unencoded '/', '?', '#' or '@'),
// or one (or a user name alone) still stands elsewhere in it.
std::optional<std::string> shownDetail(std::string detail, const std::vector<std::string>& urls,
                                       bool cut);

// `url` as messages name it: without its user name and password (everything
// between the scheme and the last '@').
std::string withoutUserInfo(const std::string& url);

}  // namespace duze
