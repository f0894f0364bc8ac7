// The Windows proxy and bypass lists turned into libcurl's forms; the
// reading of the settings themselves is checked under Wine by
// system_proxy_wine_test.
#include "platform/system_proxy.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

TEST(SystemProxyTest, AProxyListGivesTheEntryForTheScheme) {
  EXPECT_EQ(ProxyForScheme("proxy.corp:8080", "https"), "http://proxy.corp:8080");
  EXPECT_EQ(ProxyForScheme("http://proxy.corp:3128", "http"), "http://proxy.corp:3128");
  const char* perScheme = "ftp=f:21;http=h:80; https=s:443";
  EXPECT_EQ(ProxyForScheme(perScheme, "http"), "http://h:80");
  EXPECT_EQ(ProxyForScheme(perScheme, "https"), "http://s:443");
  EXPECT_EQ(ProxyForScheme("HTTP=h:80 socks=k:1080", "https"), "socks4://k:1080");
  EXPECT_EQ(ProxyForScheme("ftp=f:21", "http"), "");
  EXPECT_EQ(ProxyForScheme("", "http"), "");
}

TEST(SystemProxyTest, ABypassListBecomesLibcurlsNoProxyList) {
  EXPECT_EQ(NoProxyFromBypassList(""), "localhost,127.0.0.0/8,::1");
  EXPECT_EQ(NoProxyFromBypassList("<-loopback>"), "");
  EXPECT_EQ(NoProxyFromBypassList("*.corp.example;intranet:8080;http://wiki.corp;<local>;"
                                  "10.*;192.168.*.*;172.16.5.*;a*b.com;10.*.3.*;<-loopback>"),
            "corp.example,intranet,wiki.corp,10.0.0.0/8,192.168.0.0/16,172.16.5.0/24");
  EXPECT_EQ(NoProxyFromBypassList("* ; 127.0.0.1"), "*,127.0.0.1,localhost,127.0.0.0/8,::1");
}

}  // namespace
}  // namespace launcher
