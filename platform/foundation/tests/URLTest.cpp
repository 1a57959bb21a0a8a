#include <gtest/gtest.h>

#include "foundation/URL.h"
#include "foundation/URLRequest.h"
#include "foundation/URLResponse.h"

namespace {

using foundation::HTTPURLResponse;
using foundation::URL;
using foundation::URLRequest;
using foundation::URLRequestCachePolicy;
using foundation::URLResponse;

TEST(URL, AcceptsAbsoluteURLsAndRefusesOtherText) {
  for (const char* text :
       {"http://example.test/a?b=c", "file:///tmp/x", "a+b-c.d:rest", "HTTPS://X"}) {
    auto url = URL::string(text);
    ASSERT_TRUE(url) << text;
    EXPECT_EQ(url->absoluteString(), text);
  }
  for (const char* text : {"", "example.test/path", ":nothing", "1http://x", "ht tp://x",
                           "http://a b", "http://x/\n", "http://\xC3\xA9"}) {
    EXPECT_FALSE(URL::string(text)) << text;
  }
  EXPECT_EQ(URL::string("HTTPS://X")->scheme(), "https");
}

TEST(URL, FileURLsEncodeWhatAURLCannotHold) {
  EXPECT_EQ(URL::fileURLWithPath("/tmp/a b/%x\xC3\xA9.txt")->absoluteString(),
            "file:///tmp/a%20b/%25x%C3%A9.txt");
  EXPECT_FALSE(URL::fileURLWithPath("relative/path"));
  EXPECT_FALSE(URL::fileURLWithPath(""));
}

TEST(URLRequest, DefaultsAndHeaderFieldsWithoutRegardToCase) {
  URLRequest request(*URL::string("http://example.test/"));
  EXPECT_FALSE(request.httpMethod());
  EXPECT_FALSE(request.httpBody());
  EXPECT_EQ(request.cachePolicy(), URLRequestCachePolicy::useProtocolCachePolicy);
  EXPECT_EQ(request.timeoutInterval(), 60);
  const URLRequest empty;
  EXPECT_FALSE(empty.url());

  request.setValue("text/plain", "Content-Type");
  request.setValue("1", "X-First");
  request.setValue("application/json", "content-type");  // replaces, keeps its place
  request.addValue("2", "x-first");
  request.addValue("v", "X-New");
  EXPECT_EQ(request.allHTTPHeaderFields(),
            (URLRequest::HeaderFields{
                {"Content-Type", "application/json"}, {"X-First", "1,2"}, {"X-New", "v"}}));
  EXPECT_EQ(request.value("CONTENT-TYPE"), "application/json");
  request.setValue(std::nullopt, "CONTENT-type");
  EXPECT_FALSE(request.value("Content-Type"));
  EXPECT_EQ(request.allHTTPHeaderFields().size(), 2u);
}

TEST(URLResponse, DescriptionsNameTheURLAndTheStatus) {
  auto plain = URLResponse::create(URL::string("file:///tmp/x"));
  EXPECT_NE(plain->description().find("{ URL: file:///tmp/x }"), std::string::npos);
  auto http = HTTPURLResponse::create(URL::string("http://h/"), 404, {{"Content-Type", "x"}});
  EXPECT_NE(http->description().find("{ Status Code: 404 }"), std::string::npos);
  EXPECT_EQ(http->value("content-TYPE"), "x");
  EXPECT_FALSE(http->value("Missing"));
  EXPECT_NE(URLResponse::create(std::nullopt)->description().find("(null)"), std::string::npos);
}

}  // namespace
