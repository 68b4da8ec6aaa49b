#include "http/url.h"

#include <gtest/gtest.h>

#include "support/printers.h"

namespace pellucor {
namespace {

TEST(Url, TextBetween) {
  struct Case {
    const char *text, *left, *right;
    std::optional<int32_t> start;
    bool caseSensitive;
    const char* want;
  };
  const Case cases[] = {
      {"<a href=\"x\">y</a>", "href=#引号", "#引号", {}, false, "x"},
      {"a href=\"1\" href=\"2\"", "href=#引号", "#引号", {}, false, "1"},
      {"a href=\"1\" href=\"2\"", "href=#引号", "#引号", 4, false, "2"},
      {"x[]y", "[", "]", {}, false, ""},   // adjacent markers
      {"abc", "z", "c", {}, false, ""},    // left missing
      {"abc", "a", "z", {}, false, ""},    // right missing
      {"c-a-b", "a", "c", {}, false, ""},  // right only before left
      {"abc", "a", "", {}, false, ""},     // an empty right marker is found at 1
      {"abc", "", "c", {}, false, "ab"},   // an empty left marker is found at 1
      {"abc", "c", "x", {}, false, ""},    // left ends the text
      {"User-Agent: Foo\r\n", "user-agent:", "\r\n", {}, false, " Foo"},
      {"User-Agent: Foo\r\n", "user-agent:", "\r\n", {}, true, ""},
      {"k=V;K=w;", "K=", ";", {}, true, "w"},
      {"中[文]", "[", "]", {}, false, "文"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TextBetween(c.text, c.left, c.right, c.start, c.caseSensitive), GbkText(c.want))
        << c.text << " | " << c.left << " | " << c.right;
  }
}

TEST(Url, HeaderValue) {
  struct Case {
    const char *line, *want;
  };
  const Case cases[] = {
      {"Location:   /a:b  ", "/a:b"}, {"no colon here", ""}, {"X:", ""},
      {"Set-Cookie: a=1\t", "a=1\t"},  // tabs are not blanks
      {"Name:　值　", "值"},           // ideographic spaces are
  };
  for (const Case& c : cases) EXPECT_EQ(HeaderValue(c.line), GbkText(c.want)) << c.line;
}

TEST(Url, Split) {
  struct Case {
    const char* url;
    const char* host;
    int32_t port;
    const char* path;
    const char* hostWithPort;
  };
  const Case cases[] = {
      {"http://a.com/x", "a.com", 80, "/x", "a.com"},
      {"HTTP://A.COM/A/b?x=1", "a.com", 80, "/A/b?x=1", "a.com"},
      {"https://a.com", "a.com", 443, "/", "a.com"},
      {"HTTPS://a.com/p", "a.com", 443, "/p", "a.com"},
      {"https://a.com:8080/p", "a.com", 8080, "/p", "a.com:8080"},
      {"http://a.com:8080/p", "a.com", 8080, "/p", "a.com:8080"},
      {"http://a.com:/p", "a.com", 0, "/p", "a.com:"},  // ":" without digits
      {"http://a.com:8o/p", "a.com", 8, "/p", "a.com:8o"},
      {"a.com/x/y", "a.com", 80, "/x/y", "a.com"},  // no scheme: read as http
      {"a.com", "a.com", 80, "/", "a.com"},
      {"http://a.com?x=1", "a.com?x=1", 80, "/", "a.com?x=1"},  // query right after the host
      {"ftp://a/?u=http://b/c", "b", 80, "/c", "b"},            // the first "http://" counts
      {"", "", 80, "/", ""},
      {"http://", "", 80, "//", ""},  // the empty host is "found" at 1
      {"http://a.com/X?h=http://z/", "a.com", 80, "/X?h=http://z/", "a.com"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UrlHost(c.url), GbkText(c.host)) << c.url;
    EXPECT_EQ(UrlHost(c.url, false, true), GbkText(c.hostWithPort)) << c.url;
    EXPECT_EQ(UrlPort(c.url), c.port) << c.url;
    EXPECT_EQ(UrlPath(c.url), GbkText(c.path)) << c.url;
  }
}

TEST(Url, MainDomainOnly) {
  struct Case {
    const char *url, *want;
    bool keepPort;
  };
  const Case cases[] = {
      {"http://www.a.com/x", "a.com", false},
      {"http://x.y.a.com:81/", "a.com", false},
      {"http://x.y.a.com:81/", "a.com:81", true},
      {"http://localhost/x", "localhost", false},
  };
  for (const Case& c : cases) EXPECT_EQ(UrlHost(c.url, true, c.keepPort), GbkText(c.want)) << c.url;
}

}  // namespace
}  // namespace pellucor
