// Runs the quobble-xmldump executable on files and checks what it prints and
// how it exits.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int status = -1;
  std::string out;
};

ToolRun Execute(const std::vector<std::string>& args) {
  quobble::ChildProcess tool(
      quobble::TestExecutable("QUOBBLE_XMLDUMP_EXE", "/src/xml/quobble-xmldump"), args);
  ToolRun run;
  run.status = tool.Finish();
  run.out = tool.out;
  return run;
}

class XmlDump : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_ / "sub"); }
  std::string Write(const std::string& relative, const std::string& bytes) {
    const fs::path path = dir_ / relative;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
  quobble::TempRoot root_;
  const fs::path dir_ = root_.path();
};

TEST_F(XmlDump, PrintsTheTreeOfAHostFile) {
  const std::string file =
      Write("feed.xml",
            "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<rss v=\"2\"><channel><title>\"가\\b\"\t</title>"
            "<item id='7' flag/>x</channel></rss>");
  const ToolRun run = Execute({file});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "Document\n"
            "  Element name=\"rss\" @\"v\"=\"2\"\n"
            "    Element name=\"channel\"\n"
            "      Element name=\"title\"\n"
            "        Text value=\"\\\"가\\\\b\\\"\\t\"\n"
            // A bare attribute swallows the '/': item stays open and takes x.
            "      Element name=\"item\" @\"id\"=\"7\" @\"flag\"\n"
            "        Text value=\"x\"\n");
}

TEST_F(XmlDump, OptionsAndDevicePathsUnderARoot) {
  Write("sub/d.xml", "<!DOCTYPE r SYSTEM 'r.dtd'><?pi a='1'?><!--\x01-->");
  const ToolRun run = Execute({"--options", "0x0E", "--root", dir_.string(), "\\sub\\d.xml"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "Document\n"
            "  Doctype @\"r\"=\"r\" @\"SYSTEM\"=\"SYSTEM\" @\"\"=\"r.dtd\"\n"
            "  ProcessingInstruction name=\"pi\" @\"a\"=\"1\"\n"
            "  Comment value=\"\\x01\"\n");
}

TEST_F(XmlDump, FailuresExitNonZero) {
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{Write("empty.xml", "")}, 1},
      {{(dir_ / "missing.xml").string()}, 1},
      {{"--root", dir_.string(), "\\..\\x.xml"}, 1},
      {{}, 2},
      {{"--options", "nine", "x.xml"}, 2},
  };
  for (const auto& c : cases) EXPECT_EQ(Execute(c.args).status, c.status) << c.args.size();
  const ToolRun help = Execute({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("ProcessingInstruction"), std::string::npos);
}

}  // namespace
