#include "search/search_state.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <limits>

#include "search/commands.h"

namespace quobble {
namespace {

class SearchRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("QUOBBLE_API_KEY");
    SetServiceEndpoint(u"http://127.0.0.1:9/");
  }
};

TEST_F(SearchRequest, FirstRequestForAbcWithDefaults) {
  SearchState s;
  const auto url = BuildRequestUrl(PercentEncodeQuery(u"abc"), s.pageSize,
                                   s.StartIndexFor(ID_SEARCH), s.sortKey);
  EXPECT_EQ(url,
            u"http://127.0.0.1:9/search?key=5d0c7e3b9a14f6820c3e7d9b1a5f4e27"
            u"&query=%61%62%63&display=10&start=1&target=shop&sort=sim");
}

TEST_F(SearchRequest, EncodesEveryByteLowercase) {
  EXPECT_EQ(PercentEncodeQuery(u"   "), u"%20%20%20");
  EXPECT_EQ(PercentEncodeQuery(u"\uAC00"), u"%ea%b0%80");
  EXPECT_EQ(PercentEncodeQuery(u"a&b=c"), u"%61%26%62%3d%63");
  EXPECT_EQ(PercentEncodeQuery(u""), u"");
}

TEST_F(SearchRequest, LongHangulQueryIsNeverCut) {
  // 30 syllables: 90 UTF-8 bytes, well past the device's 42-byte buffer.
  const std::u16string query(30, u'\uD55C');
  const auto encoded = PercentEncodeQuery(query);
  ASSERT_EQ(encoded.size(), 270u);
  for (size_t i = 0; i < encoded.size(); i += 9) EXPECT_EQ(encoded.substr(i, 9), u"%ed%95%9c");
}

TEST_F(SearchRequest, ApiKeyCanBeReplaced) {
  ::setenv("QUOBBLE_API_KEY", "0123", 1);
  EXPECT_NE(BuildRequestUrl(u"%61", 10, 1, u"sim").find(u"key=0123&query="), std::u16string::npos);
  ::unsetenv("QUOBBLE_API_KEY");
}

TEST(Service, AnEndpointsPathReplacesSearch) {
  const struct {
    std::u16string endpoint, origin, path;
  } cases[] = {
      {u"http://h:1", u"http://h:1", u"/search"},
      {u"http://h:1/", u"http://h:1", u"/search"},
      {u"https://h/v1/shop//", u"https://h", u"/v1/shop"},
  };
  for (const auto& c : cases) {
    SetServiceEndpoint(c.endpoint);
    EXPECT_EQ(ServiceEndpoint(), c.origin);
    EXPECT_EQ(ServicePath(), c.path);
  }
  EXPECT_EQ(BuildRequestUrl(u"%61", 10, 1, u"sim").substr(0, 22), u"https://h/v1/shop?key=");
  SetServiceEndpoint(u"");

  for (const char* usable : {"http://h", "HTTPS://h:8443/a/b", "http://[::1]:8080", "http://h/a@b"})
    EXPECT_EQ(EndpointProblem(usable), "") << usable;
  for (const char* unusable : {"h:8080", "ftp://h", "http://", "http:///x", "http://h/a b",
                               "http://h/?x=1", "http://h#f", "http://user:pw@h", "https://u@h/x"})
    EXPECT_NE(EndpointProblem(unusable), "") << unusable;
  EXPECT_NE(EndpointProblem("http://u:p@h").find("--headers-file"), std::string::npos);
}

// Messages never show the service key or a password in an address.
TEST(Service, SecretsInAddressesAreMasked) {
  const struct {
    const char* url;
    const char* shown;
  } cases[] = {
      {"http://h/search?key=s3cret&query=%61", "http://h/search?key=\u2026&query=%61"},
      {"http://h/s?query=a&key=s3cret", "http://h/s?query=a&key=\u2026"},
      {"http://h/s?monkey=1&key=&x#key=frag", "http://h/s?monkey=1&key=\u2026&x#key=frag"},
      {"https://me:pw@h:8080/p?key=k", "https://\u2026@h:8080/p?key=\u2026"},
      {"http://h/a@b?q=1", "http://h/a@b?q=1"},
      {"http://img.example.com/x.jpg", "http://img.example.com/x.jpg"},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskSecrets(c.url), c.shown) << c.url;
}

TEST(Service, HeadersAreCheckedAndTidied) {
  const struct {
    const char* line;
    const char* normalized;  // "" when refused
  } cases[] = {
      {"X-Key: abc", "X-Key: abc"},
      {"X-Key:abc  ", "X-Key: abc"},
      {"X-Empty:", "X-Empty: "},
      {"No colon", ""},
      {": value", ""},
      {"Bad Name: v", ""},
      {"Host: evil", ""},
      {"content-length: 5", ""},
      {"X: a\rInjected: b", ""},
  };
  for (const auto& c : cases) {
    std::string problem;
    EXPECT_EQ(NormalizeHeader(c.line, problem), c.normalized) << c.line;
    EXPECT_EQ(problem.empty(), *c.normalized != '\0') << c.line << ": " << problem;
  }
}

TEST(Service, AHeadersFileSkipsCommentsAndSaysWhoMayReadIt) {
  const std::string path = ::testing::TempDir() + "quobble-headers-" + std::to_string(::getpid());
  std::ofstream(path) << "# credentials\r\nX-Id: me\r\n\n   \nX-Secret:  s \n";
  std::vector<std::string> headers;
  std::string problem;
  bool exposed = false;
  ::chmod(path.c_str(), 0600);
  ASSERT_TRUE(ReadHeadersFile(path, headers, problem, exposed)) << problem;
  EXPECT_EQ(headers, (std::vector<std::string>{"X-Id: me", "X-Secret: s"}));
  EXPECT_FALSE(exposed);
  ::chmod(path.c_str(), 0644);
  headers.clear();
  ASSERT_TRUE(ReadHeadersFile(path, headers, problem, exposed));
  EXPECT_TRUE(exposed);

  std::ofstream(path) << "X-Id: me\nnot a header\n";
  EXPECT_FALSE(ReadHeadersFile(path, headers, problem, exposed));
  EXPECT_EQ(problem, path + " line 2: a header is \"Name: value\"");
  ::unlink(path.c_str());
  EXPECT_FALSE(ReadHeadersFile(path, headers, problem, exposed));
  EXPECT_NE(problem.find("cannot read the headers file"), std::string::npos);
}

TEST(SearchPaging, StartIndexes) {
  SearchState s;
  s.start = 11;
  s.display = 10;
  EXPECT_EQ(s.StartIndexFor(ID_PREV_PAGE), 1);
  EXPECT_EQ(s.StartIndexFor(ID_NEXT_PAGE), 21);
  EXPECT_EQ(s.StartIndexFor(ID_SEARCH), 1);
  s.start = 5;
  EXPECT_EQ(s.StartIndexFor(ID_PREV_PAGE), 1);
  // A changed page size does not change the step.
  s.start = 1;
  s.ApplyMenuCommand(ID_DISPLAY_50);
  EXPECT_EQ(s.StartIndexFor(ID_NEXT_PAGE), 11);
  EXPECT_EQ(s.pageSize, 50);
  // Nor backwards: from 31 after a page of 30, "<-" steps back 30 whatever
  // the page size chosen since.
  s.start = 31;
  s.display = 30;
  s.ApplyMenuCommand(ID_DISPLAY_10);
  EXPECT_EQ(s.StartIndexFor(ID_PREV_PAGE), 1);
}

TEST(SearchPaging, HostileCountsSaturate) {
  SearchState s;
  s.start = std::numeric_limits<int32_t>::max();
  s.display = 100;
  EXPECT_EQ(s.StartIndexFor(ID_NEXT_PAGE), std::numeric_limits<int32_t>::max());
  s.start = std::numeric_limits<int32_t>::min();
  EXPECT_EQ(s.StartIndexFor(ID_PREV_PAGE), 1);
}

TEST(SearchMenu, CommandsSetOneFieldAndReportTheirGroup) {
  SearchState s;
  EXPECT_EQ(s.ApplyMenuCommand(ID_SORT_DSC), MenuGroup::Sort);
  EXPECT_EQ(s.sortKey, u"dsc");
  EXPECT_EQ(s.pageSize, 10);
  const std::pair<int, int> sizes[] = {{ID_DISPLAY_10, 10},
                                       {ID_DISPLAY_30, 30},
                                       {ID_DISPLAY_50, 50},
                                       {ID_DISPLAY_75, 75},
                                       {ID_DISPLAY_100, 100}};
  for (auto [id, size] : sizes) {
    EXPECT_EQ(s.ApplyMenuCommand(id), MenuGroup::PageSize);
    EXPECT_EQ(s.pageSize, size);
  }
  const std::pair<int, const char16_t*> sorts[] = {
      {ID_SORT_SIM, u"sim"}, {ID_SORT_ASC, u"asc"}, {ID_SORT_DATE, u"date"}, {ID_SORT_DSC, u"dsc"}};
  for (auto [id, key] : sorts) {
    EXPECT_EQ(s.ApplyMenuCommand(id), MenuGroup::Sort);
    EXPECT_EQ(s.sortKey, key);
  }
  EXPECT_EQ(s.ApplyMenuCommand(32797), MenuGroup::None);
  EXPECT_EQ(s.ApplyMenuCommand(ID_ABOUT), MenuGroup::None);
  EXPECT_EQ(s.sortKey, u"dsc");
  EXPECT_EQ(s.pageSize, 100);
}

TEST(SearchAnswerFile, JoinsWithoutSeparator) {
  EXPECT_EQ(AnswerFilePath(kDataFolder), u"\\VOVo Vidav\\quobble\\GoodsDataTemp.xml");
}

}  // namespace
}  // namespace quobble
