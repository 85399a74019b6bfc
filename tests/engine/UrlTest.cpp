#include "engine/http/Url.h"

#include <gtest/gtest.h>

namespace {

UrlParts Split(const std::string& url) {
  UrlParts p;
  EXPECT_TRUE(SplitUrl(url, p)) << url;
  return p;
}

bool Splits(const std::string& url) {
  UrlParts p;
  return SplitUrl(url, p);
}

TEST(SplitUrl, HostPortAndObject) {
  UrlParts p = Split("http://example.test/music/a.mp3");
  EXPECT_EQ(p.host, "example.test");
  EXPECT_EQ(p.port, 80);
  EXPECT_EQ(p.object, "/music/a.mp3");

  p = Split("HTTP://127.0.0.1:8080/a.mp3?x=1&y=%D6%D0");
  EXPECT_EQ(p.host, "127.0.0.1");
  EXPECT_EQ(p.port, 8080);
  EXPECT_EQ(p.object, "/a.mp3?x=1&y=%D6%D0");

  EXPECT_EQ(Split("http://h").object, "/");
  EXPECT_EQ(Split("http://h:81").port, 81);
  EXPECT_EQ(Split("http://h?x").object, "/?x");
  EXPECT_EQ(Split("http://h/a#frag").object, "/a");
  EXPECT_EQ(Split("http://h#frag").object, "/");
  EXPECT_EQ(Split("http://h:65535/").port, 65535);
  EXPECT_EQ(Split("http://h:/p").port, 80) << "an empty port is the default";
  EXPECT_EQ(Split("http://[::1]:9000/p").host, "::1");
  EXPECT_EQ(Split("  http://h/p \r\n").object, "/p");
  // The object keeps its text as written; escaping is the request's job.
  EXPECT_EQ(Split("http://h/a b.mp3").object, "/a b.mp3");
}

TEST(SplitWebUrl, HttpsAndHostHeaders) {
  UrlParts p;
  ASSERT_TRUE(SplitWebUrl("HTTPS://[::1]/a.mp3", p));
  EXPECT_TRUE(p.secure);
  EXPECT_EQ(p.port, 443);
  EXPECT_EQ(p.host, "::1");
  EXPECT_EQ(HostForHeader(p), "[::1]");
  ASSERT_TRUE(SplitWebUrl("https://h.test:8443/x", p));
  EXPECT_EQ(AuthorityOf(p), "h.test:8443");
  EXPECT_EQ(HostForHeader(p), "h.test") << "names go without their port, as always";
  ASSERT_TRUE(SplitWebUrl("http://[fe80::2]:443/", p));
  EXPECT_FALSE(p.secure);
  EXPECT_EQ(HostForHeader(p), "[fe80::2]:443");
  ASSERT_TRUE(SplitWebUrl("http://h.test/", p));
  EXPECT_EQ(AuthorityOf(p), "h.test");
  EXPECT_FALSE(SplitWebUrl("ftp://h/", p));
  EXPECT_FALSE(SplitWebUrl("https:///a", p));
}

TEST(SplitUrl, RejectsWhatCannotBeSplit) {
  EXPECT_FALSE(Splits(""));
  EXPECT_FALSE(Splits("https://h/a"));
  EXPECT_FALSE(Splits("ftp://h/a"));
  EXPECT_FALSE(Splits("h/a.mp3"));
  EXPECT_FALSE(Splits("http:/h/a"));
  EXPECT_FALSE(Splits("http:///a"));
  EXPECT_FALSE(Splits("http://:80/a"));
  EXPECT_FALSE(Splits("http://h:0/"));
  EXPECT_FALSE(Splits("http://h:65536/"));
  EXPECT_FALSE(Splits("http://h:99999999999/"));
  EXPECT_FALSE(Splits("http://h:8a/"));
  EXPECT_FALSE(Splits("http://h:-1/"));
  EXPECT_FALSE(Splits("http://user@h/"));
  EXPECT_FALSE(Splits("http://a b/"));
  EXPECT_FALSE(Splits("http://a:1:2/"));
  EXPECT_FALSE(Splits("http://[::1/"));
}

TEST(EscapeRequestTarget, BlanksControlsAndHighBytes) {
  EXPECT_EQ(EscapeRequestTarget("/a b.mp3"), "/a%20b.mp3");
  EXPECT_EQ(EscapeRequestTarget("/\x01\x7F\t"), "/%01%7F%09");
  EXPECT_EQ(EscapeRequestTarget("/\xD6\xD0.mp3"), "/%D6%D0.mp3");
  // Already escaped text and reserved characters pass unchanged.
  EXPECT_EQ(EscapeRequestTarget("/cgi?_searchkey=%D6%D0&a=b~!*'();:@+$,[]"),
            "/cgi?_searchkey=%D6%D0&a=b~!*'();:@+$,[]");
  EXPECT_EQ(EscapeRequestTarget(""), "");
}

TEST(ResolveUrl, FormsOfLocation) {
  const std::string base = "http://h:81/music/list/a.mp3?x=1";
  EXPECT_EQ(ResolveUrl(base, "http://other/b.mp3"), "http://other/b.mp3");
  EXPECT_EQ(ResolveUrl(base, "HTTP://other:82/b.mp3"), "HTTP://other:82/b.mp3");
  EXPECT_EQ(ResolveUrl(base, "//mirror/b.mp3"), "http://mirror/b.mp3");
  EXPECT_EQ(ResolveUrl(base, "/b.mp3"), "http://h:81/b.mp3");
  EXPECT_EQ(ResolveUrl(base, "b.mp3"), "http://h:81/music/list/b.mp3");
  EXPECT_EQ(ResolveUrl(base, "b.mp3?k=v"), "http://h:81/music/list/b.mp3?k=v");
  EXPECT_EQ(ResolveUrl(base, "?y=2"), "http://h:81/music/list/a.mp3?y=2");
  EXPECT_EQ(ResolveUrl(base, ""), "http://h:81/music/list/a.mp3?x=1");
  EXPECT_EQ(ResolveUrl(base, " /b.mp3\r"), "http://h:81/b.mp3");
  EXPECT_EQ(ResolveUrl("http://h", "b.mp3"), "http://h/b.mp3");
  EXPECT_EQ(ResolveUrl("http://h?q", "b.mp3"), "http://h/b.mp3");
}

TEST(ResolveUrl, DotSegments) {
  const std::string base = "http://h/a/b/c.mp3";
  EXPECT_EQ(ResolveUrl(base, "./d.mp3"), "http://h/a/b/d.mp3");
  EXPECT_EQ(ResolveUrl(base, "../d.mp3"), "http://h/a/d.mp3");
  EXPECT_EQ(ResolveUrl(base, "../../d.mp3"), "http://h/d.mp3");
  EXPECT_EQ(ResolveUrl(base, "../../../../d.mp3"), "http://h/d.mp3") << "never above the root";
  EXPECT_EQ(ResolveUrl(base, "/x/./y/../z.mp3"), "http://h/x/z.mp3");
  EXPECT_EQ(ResolveUrl(base, ".."), "http://h/a/");
  EXPECT_EQ(ResolveUrl(base, "."), "http://h/a/b/");
  EXPECT_EQ(ResolveUrl(base, "d/../e.mp3?p=../q"), "http://h/a/b/e.mp3?p=../q");
}

TEST(ResolveUrl, ResultSplitsLikeTheOriginal) {
  UrlParts p;
  ASSERT_TRUE(SplitUrl(ResolveUrl("http://127.0.0.1:5000/old", "new/a.mp3"), p));
  EXPECT_EQ(p.host, "127.0.0.1");
  EXPECT_EQ(p.port, 5000);
  EXPECT_EQ(p.object, "/new/a.mp3");
}

}  // namespace
