// Address splitting and header reading: the parts of the downloader that
// decide where a request goes and which redirect is followed.
#include <gtest/gtest.h>

#include "net/http_headers.h"
#include "net/http_url.h"

namespace launcher {
namespace {

HttpUrl Split(std::u16string_view url) {
  HttpUrl out;
  EXPECT_TRUE(SplitHttpUrl(url, out)) << "should split";
  return out;
}

TEST(SplitHttpUrlTest, KeepsObjectAsGivenAndFillsDefaults) {
  HttpUrl u = Split(u"http://patch.example.com/game/./Zm9v/YmFy.txt?x=1");
  EXPECT_FALSE(u.tls);
  EXPECT_EQ(u.host, "patch.example.com");
  EXPECT_EQ(u.port, 80);
  EXPECT_EQ(u.object, "/game/./Zm9v/YmFy.txt?x=1");
  EXPECT_EQ(u.ClientUrl(), "http://patch.example.com/game/./Zm9v/YmFy.txt?x=1");

  u = Split(u"HTTPS://user:pw@[::1]:8443/a/../b#frag");
  EXPECT_TRUE(u.tls);
  EXPECT_EQ(u.host, "[::1]");
  EXPECT_EQ(u.port, 8443);
  EXPECT_EQ(u.object, "/a/../b");
  EXPECT_EQ(u.ClientUrl(), "https://[::1]:8443/a/../b");

  EXPECT_EQ(Split(u"http://h").object, "/");
  EXPECT_EQ(Split(u"http://h:").port, 80);
  EXPECT_EQ(Split(u"https://h").port, 443);
  EXPECT_EQ(Split(u"http://h?q").object, "/?q");
  EXPECT_EQ(Split(u"http://h/a b/\u00e9").object, "/a%20b/%C3%A9");
}

TEST(SplitHttpUrlTest, RefusesWhatCannotBeSplit) {
  for (std::u16string_view bad :
       {u"", u"/relative/path", u"relative", u"patch.example.com/x", u"ftp://h/x",
        u"file:///etc/passwd", u"http:///x", u"http://:80/x", u"http://h:0/", u"http://h:65536/",
        u"http://h:8x/", u"http://h/a\r\nX: y", u"http://h/\x01", u"http://[::1/x",
        u"http://h\u00e9/"}) {
    HttpUrl out;
    EXPECT_FALSE(SplitHttpUrl(bad, out)) << std::string(bad.begin(), bad.end());
  }
}

TEST(HttpHeadersTest, LocationIsTheHeaderNamedLocationOnly) {
  std::string value;
  const std::string block =
      "HTTP/1.0 302 Found\r\nContent-Location: http://wrong/\r\nX-Location: http://wrong2/\r\n"
      "location:   http://right/a  \r\n\r\n";
  ASSERT_EQ(FindLocation(block, value), LocationResult::kFound);
  EXPECT_EQ(value, "http://right/a");

  EXPECT_EQ(FindLocation("HTTP/1.0 301 Moved\r\nContent-Location: http://x/\r\n\r\n", value),
            LocationResult::kMissing);
  EXPECT_EQ(
      FindLocation("HTTP/1.0 301 Moved\r\nLocation: http://x/a\rSet-Cookie: y\r\n\r\n", value),
      LocationResult::kUnusable);
  EXPECT_EQ(
      FindLocation(std::string("HTTP/1.0 301 M\r\nLocation: http://x/\0a\r\n\r\n", 36), value),
      LocationResult::kUnusable);
  EXPECT_EQ(FindLocation("HTTP/1.0 301 M\r\nLocation:\r\n\r\n", value), LocationResult::kUnusable);
}

TEST(HttpHeadersTest, ContentLengthIsLeadingDigitsIn64Bits) {
  EXPECT_EQ(ParseContentLength("HTTP/1.0 200 OK\r\n\r\n"), -1);
  EXPECT_EQ(ParseContentLength("HTTP/1.0 200 OK\r\ncontent-length: 12288\r\n\r\n"), 12288);
  EXPECT_EQ(ParseContentLength("HTTP/1.0 200 OK\r\nContent-Length: 5368709120\r\n\r\n"),
            5368709120);
  EXPECT_EQ(ParseContentLength("HTTP/1.0 200 OK\r\nContent-Length: 12abc\r\n\r\n"), 12);
  EXPECT_EQ(ParseContentLength("HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\n"), 0);
  EXPECT_EQ(ParseContentLength("HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n"), 0);
  EXPECT_EQ(ParseContentLength("HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n"),
            0);
}

}  // namespace
}  // namespace launcher
