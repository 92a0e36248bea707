// The manual pages agree with the programs: every command that `tolvdb --help` lists has its
// item in tolvdb(8) and the other way round; the usage lines of tolvflush and tolvmsgc are
// those of their pages; every page formats without a warning.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "testing/installed.h"
#include "testing/tempinstall.h"

namespace {

using tolvtest::source_dir;

std::string page(const std::string &name) {
  return tolvtest::read_file(source_dir() + "/share/man/" + name);
}

// The lines of the section title of a page, up to the next section.
std::vector<std::string> section(const std::string &text, const std::string &title) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(".SH", 0) == 0)
      inside = line == ".SH " + title;
    else if (inside)
      lines.push_back(line);
  }
  return lines;
}

// The first word of the head of every item (the line after .TP) of a page's section, its
// font requests and escapes taken off.
std::set<std::string> item_heads(const std::string &text, const std::string &title) {
  std::set<std::string> heads;
  std::vector<std::string> lines = section(text, title);
  for (size_t i = 0; i + 1 < lines.size(); i++) {
    if (lines[i] != ".TP") continue;
    std::string head = lines[i + 1];
    for (const char *req : {".BI ", ".BR ", ".B "})
      if (head.rfind(req, 0) == 0) head.erase(0, strlen(req));
    if (head.rfind("\\fB", 0) == 0) head.erase(0, 3);
    heads.insert(head.substr(0, head.find_first_of(" \\")));
  }
  return heads;
}

// The first words of the command lines of tolvdb --help: in the block after the usage (up to
// the next empty line), the lines indented by exactly two blanks.
std::set<std::string> help_commands(const std::string &help) {
  std::set<std::string> commands;
  size_t from = help.find("\n\n"), to = help.find("\n\n", from + 2);
  std::istringstream in(help.substr(from, to - from));
  for (std::string line; std::getline(in, line);)
    if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && islower(line[2]))
      commands.insert(line.substr(2, line.find(' ', 2) - 2));
  return commands;
}

tolvtest::runresult run(const std::string &program, const std::vector<std::string> &args) {
  tolvtest::InstalledDbs dbs;
  return dbs.run(program, args);
}

TEST(ManPages, TolvdbHelpListsTheCommandsOfItsPage) {
  tolvtest::runresult r = run(tolvtest::tolvdb_path(), {"--help"});
  ASSERT_EQ(r.status, 0);
  std::set<std::string> listed = help_commands(r.out);
  EXPECT_EQ(listed, item_heads(page("tolvdb.8"), "COMMANDS"));
  EXPECT_GE(listed.size(), 9u);
  for (const char *option : {"--watch", "--count"}) {
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
    std::string escaped = std::string("\\-\\-") + (option + 2);
    EXPECT_NE(page("tolvdb.8").find(escaped), std::string::npos) << option;
  }
}

TEST(ManPages, UsageLinesAreThoseOfThePages) {
  tolvtest::runresult r = run(tolvtest::tolvflush_path(), {});
  EXPECT_EQ(r.err, "usage: tolvflush <dbsname>\n");
  const std::string flush = page("tolvflush.8");
  EXPECT_NE(flush.find(".B usage: tolvflush <dbsname>\n"), std::string::npos);
  EXPECT_NE(flush.find(".B tolvflush \\-V\n"), std::string::npos);

  r = run(tolvtest::binary_dir() + "/tools/tolvmsgc", {});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "usage: tolvmsgc SOURCE OUTPUT.msc | tolvmsgc -d FILE.msc\n");
  std::vector<std::string> synopsis = section(page("tolvmsgc.1"), "SYNOPSIS");
  EXPECT_EQ(synopsis, (std::vector<std::string>{".B tolvmsgc", ".I SOURCE OUTPUT.msc", ".br",
                                                ".B tolvmsgc \\-d", ".I FILE.msc"}));
}

TEST(ManPages, FormatWithoutWarnings) {
  if (access("/usr/bin/groff", X_OK) != 0) GTEST_SKIP() << "no groff";
  for (const char *name : {"tolvflush.8", "tolvdb.8", "tolvmsgc.1"}) {
    std::string cmd = "groff -man -ww -z " + source_dir() + "/share/man/" + name + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string warnings;
    char buf[256];
    while (fgets(buf, sizeof buf, p) != nullptr) warnings += buf;
    EXPECT_EQ(pclose(p), 0) << name;
    EXPECT_EQ(warnings, "") << name;
  }
}

}  // namespace
