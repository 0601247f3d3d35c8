#include "cli/cli_output.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli_app.h"

namespace quobble {
namespace {

using ::testing::HasSubstr;
using Mode = CliOptions::Mode;

TEST(CliArgumentsTest, ParsesEachForm) {
  const struct {
    std::vector<std::string> args;
    Mode mode;
    std::string query;
  } cases[] = {
      {{}, Mode::Interactive, ""},
      {{"--json"}, Mode::Interactive, ""},
      {{"tv"}, Mode::Search, "tv"},
      {{"lg", "tv"}, Mode::Search, "lg tv"},
      {{"--sort", "dsc", "--display=50", "모니터"}, Mode::Search, "모니터"},
      {{"wish", "add", "big", "tv"}, Mode::WishAdd, "big tv"},
      {{"wish", "list"}, Mode::WishList, ""},
      {{"wish"}, Mode::Search, "wish"},
      {{"--", "wish", "add", "x"}, Mode::Search, "wish add x"},
      {{"--", "--json"}, Mode::Search, "--json"},
  };
  for (const auto& c : cases) {
    CliOptions options;
    std::ostringstream out, err;
    ASSERT_EQ(ParseCliArguments(c.args, options, out, err), -1) << err.str();
    EXPECT_EQ(options.mode, c.mode) << ::testing::PrintToString(c.args);
    EXPECT_EQ(options.query, c.query);
  }

  CliOptions options;
  std::ostringstream out, err;
  ASSERT_EQ(ParseCliArguments({"--endpoint", "http://h:1", "--root=/r", "--start", "21",
                               "--no-thumbnails", "--json", "q"},
                              options, out, err),
            -1);
  EXPECT_EQ(options.client.endpoint, "http://h:1");
  EXPECT_EQ(options.client.root, "/r");
  EXPECT_EQ(options.start, 21);
  EXPECT_FALSE(options.thumbnails);
  EXPECT_TRUE(options.json);

  ASSERT_EQ(
      ParseCliArguments({"--header", "X-A: 1", "--header=X-B:2 ", "--headers-file", "/h", "q"},
                        options, out, err),
      -1);
  EXPECT_EQ(options.client.headers, (std::vector<std::string>{"X-A: 1", "X-B: 2"}));
  EXPECT_EQ(options.client.headersFile, "/h");

  ASSERT_EQ(ParseCliArguments({"x", "--help"}, options, out, err), 0);
  EXPECT_THAT(out.str(), HasSubstr("Usage: quobble-cli"));
}

TEST(CliArgumentsTest, RefusesMistakesWithAReason) {
  const std::vector<std::vector<std::string>> cases = {
      {"--display", "20", "q"},   {"--display", "ten"},
      {"--sort", "price"},        {"--start", "0", "q"},
      {"--start", "99999999999"}, {"--start"},
      {"--colour", "q"},          {"wish", "add"},
      {"wish", "list", "x"},      {"--endpoint", "h:1"},
      {"--header", "NoColon"},    {"--header", "Host: x"},
  };
  for (const auto& args : cases) {
    CliOptions options;
    std::ostringstream out, err;
    EXPECT_EQ(ParseCliArguments(args, options, out, err), 2) << ::testing::PrintToString(args);
    EXPECT_THAT(err.str(), HasSubstr("Try 'quobble-cli --help'."));
  }
}

TEST(CliOutputTest, JsonStringsAreEscaped) {
  const struct {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"plain", "\"plain\""},
      {u"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
      {u"a\nb\tc\r\b\f", R"("a\nb\tc\r\b\f")"},
      {std::u16string(u"\x01\x1f", 2), R"("\u0001\u001f")"},
      {u"\u2028", R"("\u2028")"},
      {u"모니터 \U0001F600", "\"모니터 \xF0\x9F\x98\x80\""},
      {std::u16string(1, u'\xD800'), "\"\xEF\xBF\xBD\""},  // a lone surrogate
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.in), c.out);
}

TEST(CliOutputTest, TerminalTextDefusesControlSequences) {
  EXPECT_EQ(TerminalText(u"ok 가"), "ok 가");
  EXPECT_EQ(TerminalText(u"\x1b]0;pwned\a"), "\xEF\xBF\xBD]0;pwned\xEF\xBF\xBD");
  EXPECT_EQ(TerminalText(u"a\nb"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(TerminalText(u"\u202Eevil"),
            "\xEF\xBF\xBD"
            "evil");
}

TEST(CliOutputTest, APageIsOneJsonLine) {
  PageView page;
  page.title = u"Shop";
  page.total = u"1,234";
  page.range = u"1~11";
  page.next = true;
  PageRow row;
  row.title = u"TV \"55\"";
  row.lowPrice = 12000;
  row.highPrice = 1234567;
  row.link = u"http://s/1";
  row.thumbPath = u"\\VOVo Vidav\\quobble\\Images\\a.jpg";
  page.rows.push_back(row);

  const std::string json = RenderPageJson(page);
  EXPECT_THAT(json, HasSubstr(R"("title":"Shop","total":"1,234","range":"1~11")"));
  EXPECT_THAT(json, HasSubstr(R"("previous":false,"next":true)"));
  EXPECT_THAT(json, HasSubstr(R"("title":"TV \"55\"","low":"Low : 12,000")"));
  EXPECT_THAT(json, HasSubstr(R"("thumbPath":"\\VOVo Vidav\\quobble\\Images\\a.jpg")"));
  EXPECT_EQ(json.back(), '\n');
  EXPECT_EQ(json.find('\n'), json.size() - 1);
}

}  // namespace
}  // namespace quobble
