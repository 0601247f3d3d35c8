#include "platform/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

namespace quobble {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

struct Seen {
  std::vector<std::string> roots;
  bool json = false;
};

std::vector<CommandOption> Table(Seen& seen) {
  return {
      {"--root", "DIR", "the folder\nof everything",
       [&](const std::string& v) {
         seen.roots.push_back(v);
         return std::string();
       }},
      {"--json", "", "one line of JSON",
       [&](const std::string&) {
         seen.json = true;
         return std::string();
       }},
      {"--size", "N", "10 or 20",
       [](const std::string& v) {
         return v == "10" || v == "20" ? std::string() : "--size takes 10 or 20, not " + v;
       }},
  };
}

const ProgramHelp kProgram{"prog", "Usage: prog [OPTIONS] WORD...", "Does things.", "Exit 0."};

TEST(CommandLine, TakesOptionsAnywhereAndEndsThemAtDashes) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> operands;
    size_t beforeDashes;
    std::vector<std::string> roots;
    bool json;
  } cases[] = {
      {{}, {}, 0, {}, false},
      {{"a", "--json", "b"}, {"a", "b"}, 2, {}, true},
      {{"--root", "/r", "--root=/s", "x"}, {"x"}, 1, {"/r", "/s"}, false},
      {{"--root=", "-", "x"}, {"-", "x"}, 2, {""}, false},
      {{"a", "--", "--json", "--"}, {"a", "--json", "--"}, 1, {}, false},
      {{"--size", "20", "--", "b"}, {"b"}, 0, {}, false},
  };
  for (const auto& c : cases) {
    Seen seen;
    std::ostringstream out, err;
    const ParsedCommandLine parsed = ParseCommandLine(kProgram, Table(seen), c.args, out, err);
    const std::string label = ::testing::PrintToString(c.args);
    ASSERT_TRUE(parsed.run) << label << err.str();
    EXPECT_THAT(parsed.operands, ElementsAreArray(c.operands)) << label;
    EXPECT_EQ(parsed.operandsBeforeDashes, c.beforeDashes) << label;
    EXPECT_THAT(seen.roots, ElementsAreArray(c.roots)) << label;
    EXPECT_EQ(seen.json, c.json) << label;
    EXPECT_EQ(out.str() + err.str(), "") << label;
  }
}

TEST(CommandLine, MistakesStopWithTwoAndSayWhatAndWhereToLook) {
  const struct {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"--colour"}, "prog: unknown option --colour\n"},
      {{"-x", "a"}, "prog: unknown option -x\n"},
      {{"a", "--root"}, "prog: --root needs a value\n"},
      {{"--json=yes"}, "prog: --json takes no value\n"},
      {{"--size", "30", "--help"}, "prog: --size takes 10 or 20, not 30\n"},
  };
  for (const auto& c : cases) {
    Seen seen;
    std::ostringstream out, err;
    const ParsedCommandLine parsed = ParseCommandLine(kProgram, Table(seen), c.args, out, err);
    EXPECT_FALSE(parsed.run);
    EXPECT_EQ(parsed.exitCode, 2);
    EXPECT_EQ(err.str(), c.says + "Try 'prog --help'.\n");
    EXPECT_EQ(out.str(), "");
  }
}

TEST(CommandLine, HelpAndVersionAnswerOnStandardOutput) {
  for (const char* ask : {"--help", "-h"}) {
    Seen seen;
    std::ostringstream out, err;
    const ParsedCommandLine parsed = ParseCommandLine(kProgram, Table(seen), {"a", ask}, out, err);
    EXPECT_FALSE(parsed.run);
    EXPECT_EQ(parsed.exitCode, 0);
    EXPECT_EQ(out.str(),
              "Usage: prog [OPTIONS] WORD...\n"
              "\nDoes things.\n"
              "\nOptions:\n"
              "  --root DIR         the folder\n"
              "                     of everything\n"
              "  --json             one line of JSON\n"
              "  --size N           10 or 20\n"
              "  --help             show this text and exit\n"
              "  --version          show the version and exit\n"
              "\nExit 0.\n");
  }
  Seen seen;
  std::ostringstream out, err;
  const ParsedCommandLine parsed = ParseCommandLine(kProgram, Table(seen), {"--version"}, out, err);
  EXPECT_FALSE(parsed.run);
  EXPECT_EQ(parsed.exitCode, 0);
  EXPECT_EQ(out.str(), "prog " + std::string(ProgramVersion()) + "\n");
  EXPECT_THAT(std::string(ProgramVersion()), ::testing::MatchesRegex("[0-9]+\\.[0-9]+.*"));
}

}  // namespace
}  // namespace quobble
