// Runs the quobble-xmldump executable on files and checks what it prints and
// how it exits.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int status = -1;
  std::string out;
};

std::string Tool() {
  const char* build = std::getenv("QUOBBLE_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/src/xml/quobble-xmldump";
}

ToolRun Execute(const std::string& arguments) {
  ToolRun run;
  const std::string command = "'" + Tool() + "' " + arguments + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class XmlDump : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quobble-xmldump-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ / "sub");
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& relative, const std::string& bytes) {
    const fs::path path = dir_ / relative;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
  fs::path dir_;
};

TEST_F(XmlDump, PrintsTheTreeOfAHostFile) {
  const std::string file =
      Write("feed.xml",
            "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<rss v=\"2\"><channel><title>\"가\\b\"\t</title>"
            "<item id='7' flag/>x</channel></rss>");
  const ToolRun run = Execute("'" + file + "'");
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
  const ToolRun run = Execute("--options 0x0E --root '" + dir_.string() + "' '\\sub\\d.xml'");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "Document\n"
            "  Doctype @\"r\"=\"r\" @\"SYSTEM\"=\"SYSTEM\" @\"\"=\"r.dtd\"\n"
            "  ProcessingInstruction name=\"pi\" @\"a\"=\"1\"\n"
            "  Comment value=\"\\x01\"\n");
}

TEST_F(XmlDump, FailuresExitNonZero) {
  const std::string empty = Write("empty.xml", "");
  EXPECT_EQ(Execute("'" + empty + "'").status, 1);
  EXPECT_EQ(Execute("'" + (dir_ / "missing.xml").string() + "'").status, 1);
  EXPECT_EQ(Execute("--root '" + dir_.string() + "' '\\..\\x.xml'").status, 1);
  EXPECT_EQ(Execute("").status, 2);
  EXPECT_EQ(Execute("--options nine x.xml").status, 2);
  const ToolRun help = Execute("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("ProcessingInstruction"), std::string::npos);
}

}  // namespace
