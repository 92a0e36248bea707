// Tests of tolvmsgc, driving the built program: the exact bytes of a compiled catalog, the
// listing and its round trip, every source error with file and line, the atomic output, and
// the usage line. The shipped catalogs are compiled by the build and checked in ba_msg_test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ba/ba_msg.h"
#include "testing/tempinstall.h"

namespace {

namespace fs = std::filesystem;

struct result {
  int status;
  std::string out, err;
};

// A scratch directory with the program run in it.
class Msgc : public testing::Test {
 protected:
  Msgc() : dir(inst.path("work")) { tolvtest::make_dirs(dir); }

  std::string at(const std::string &name) const { return dir + "/" + name; }
  void write(const std::string &name, const std::string &bytes) const { inst.write("work/" + name, bytes); }
  std::string read(const std::string &name) const { return inst.read("work/" + name); }

  // Runs tolvmsgc with args; stdout and stderr go to files that are read back.
  result run(const std::vector<std::string> &args) const {
    std::string out = inst.path("stdout"), err = inst.path("stderr");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(99);
      std::vector<char *> argv{const_cast<char *>(TOLVMSGC_PATH)};
      for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(TOLVMSGC_PATH, argv.data());
      _exit(98);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, tolvtest::read_file(out),
            tolvtest::read_file(err)};
  }
  result compile(const std::string &source) const {
    write("in.src", source);
    return run({at("in.src"), at("out.msc")});
  }
  // The names in the scratch directory: a failed run must leave no temporary file.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto &f : fs::directory_iterator(dir)) names.push_back(f.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  tolvtest::TempInstall inst;
  std::string dir;
};

std::string be16(int v) { return {static_cast<char>(v >> 8 & 0xFF), static_cast<char>(v & 0xFF)}; }
std::string be32(uint32_t v) { return be16(static_cast<int>(v >> 16)) + be16(static_cast<int>(v & 0xFFFF)); }

// ---- Compiling ---------------------------------------------------------------------------

TEST_F(Msgc, CatalogBytesAreCountIndexThenTexts) {
  result r = compile("# comment\n\n-316\tOut of memory\n2281\ta\\tb\\nc\\\\d\n-5004\t\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string expect = be16(3) + be16(-316) + be32(20) + be16(2281) + be32(34) + be16(-5004) + be32(42) +
                       std::string("Out of memory\0a\tb\nc\\d\0\0", 23);
  EXPECT_EQ(read("out.msc"), expect);
}

TEST_F(Msgc, LastLineWithoutNewlineAndExtremeNumbers) {
  result r = compile("-32768\tlow\n32767\thigh\n0\tzero\n-00001\tone");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string cat = read("out.msc");
  EXPECT_EQ(cat.substr(0, 2), be16(4));
  EXPECT_EQ(cat.substr(2, 2), be16(-32768));
  EXPECT_EQ(cat.substr(8, 2), be16(32767));
  EXPECT_EQ(cat.substr(20, 2), be16(-1));
  EXPECT_EQ(cat.substr(cat.size() - 4), std::string("one\0", 4));
}

TEST_F(Msgc, TabsAndBytesAboveAsciiStayInTheText) {
  result r = compile("-1\tgen\xfcgend\tSpeicher\r\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read("out.msc").substr(8), std::string("gen\xfcgend\tSpeicher\r\0", 19));
}

TEST_F(Msgc, TextOfHundredBytesIsAccepted) {
  EXPECT_EQ(compile("-1\t" + std::string(98, 'x') + "\\n\\\\\n").status, 0);
}

TEST_F(Msgc, OutputIsReadableLikeANewFile) {
  ASSERT_EQ(compile("-1\tx\n").status, 0);
  struct stat st {};
  ASSERT_EQ(stat(at("out.msc").c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

// ---- Listing -----------------------------------------------------------------------------

TEST_F(Msgc, ListingCompilesToTheSameCatalog) {
  std::string src = "# c\n-3024\tCannot open %s (errno %d)\n5\ttab\\there\n6\tnl\\nand\\\\\n\n7\t\n";
  ASSERT_EQ(compile(src).status, 0);
  result l = run({"-d", at("out.msc")});
  ASSERT_EQ(l.status, 0) << l.err;
  EXPECT_EQ(l.out, "-3024\tCannot open %s (errno %d)\n5\ttab\\there\n6\tnl\\nand\\\\\n7\t\n");
  write("again.src", l.out);
  ASSERT_EQ(run({at("again.src"), at("again.msc")}).status, 0);
  EXPECT_EQ(read("again.msc"), read("out.msc"));
}

TEST_F(Msgc, ShippedSourcesRoundTrip) {
  for (const char *lang : {"eng", "geriso"}) {
    for (const auto &f : fs::directory_iterator(tolvtest::source_dir() + "/share/msg/" + lang)) {
      if (f.path().extension() != ".src") continue;
      ASSERT_EQ(run({f.path().string(), at("a.msc")}).status, 0) << f.path();
      write("a.src", run({"-d", at("a.msc")}).out);
      ASSERT_EQ(run({at("a.src"), at("b.msc")}).status, 0);
      EXPECT_EQ(read("b.msc"), read("a.msc")) << f.path();
    }
  }
}

// ---- Source errors -----------------------------------------------------------------------

TEST_F(Msgc, MalformedLinesAreReportedWithFileAndLine) {
  const std::pair<std::string, const char *> cases[] = {  // source, message after "<path>:"
      {"# ok\n-1 no tab\n", "2: no tab after the message number\n"},
      {"x1\ttext\n", "1: bad message number \"x1\"\n"},
      {"\ttext\n", "1: bad message number \"\"\n"},
      {"-\ttext\n", "1: bad message number \"-\"\n"},
      {"+1\ttext\n", "1: bad message number \"+1\"\n"},
      {" 1\ttext\n", "1: bad message number \" 1\"\n"},
      {"\n\n32768\ttext\n", "3: message number 32768 outside -32768..32767\n"},
      {"-32769\ttext\n", "1: message number -32769 outside -32768..32767\n"},
      {"99999999999999999999\ttext\n", "1: message number 99999999999999999999 outside -32768..32767\n"},
      {"1\ta\\qb\n", "1: unknown escape \\q\n"},
      {"1\tends in \\\n", "1: backslash at the end of the line\n"},
      {std::string("1\tzero\0byte\n", 12), "1: zero byte in the text\n"},
      {"1\tok\n2\tok\n1\tagain\n", "3: message 1 already defined in line 1\n"},
  };
  for (const auto &[source, message] : cases) {
    result r = compile(source);
    EXPECT_EQ(r.status, 1) << source;
    EXPECT_EQ(r.err, "tolvmsgc: " + at("in.src") + ":" + message) << source;
    EXPECT_EQ(files(), std::vector<std::string>{"in.src"}) << source;
  }
}

TEST_F(Msgc, TextOverHundredBytesIsRefused) {
  result r = compile("-1\t" + std::string(99, 'x') + "\\t\\n\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tolvmsgc: " + at("in.src") + ":1: text longer than 100 bytes (101)\n");
}

TEST_F(Msgc, EveryMalformedLineIsReportedAndNothingWritten) {
  write("out.msc", "old catalog");
  result r = compile("1\tok\nbad\n2\tx\\y\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tolvmsgc: " + at("in.src") + ":2: no tab after the message number\n" + "tolvmsgc: " +
                       at("in.src") + ":3: unknown escape \\y\n");
  EXPECT_EQ(read("out.msc"), "old catalog");
  EXPECT_EQ(files(), (std::vector<std::string>{"in.src", "out.msc"}));
}

TEST_F(Msgc, UnwritableOutputLeavesNothingBehind) {
  write("in.src", "1\tx\n");
  result r = run({at("in.src"), at("missing/out.msc")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("tolvmsgc: " + at("missing/out.msc") + ": cannot create a temporary file: ", 0), 0u)
      << r.err;
  // A directory in the way of the rename: the temporary file is removed again.
  tolvtest::make_dirs(at("dir.msc/sub"));
  r = run({at("in.src"), at("dir.msc")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("tolvmsgc: " + at("dir.msc") + ": cannot write: ", 0), 0u) << r.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"dir.msc", "in.src"}));
}

TEST_F(Msgc, MissingSourceIsAnError) {
  result r = run({at("none.src"), at("out.msc")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tolvmsgc: " + at("none.src") + ": cannot open: No such file or directory\n");
  EXPECT_TRUE(files().empty());
}

// ---- Corrupt catalogs in a listing -------------------------------------------------------

TEST_F(Msgc, CorruptCatalogsAreRefusedByTheListing) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string(1, '\0'), "shorter than the catalog header"},
      {be16(-1), "index of -1 entries does not fit the file (2 bytes)"},
      {be16(2) + be16(1) + be32(8), "index of 2 entries does not fit the file (8 bytes)"},
      {be16(1) + be16(1) + be32(8), "entry 0 (message 1): text offset beyond the end of the file"},
      {be16(1) + be16(1) + be32(8) + "open", "entry 0 (message 1): text not ended by a zero byte"},
      {be16(1) + be16(1) + be32(8) + std::string(101, 'l') + '\0', "entry 0 (message 1): text longer than 100 bytes"},
      {be16(2) + be16(1) + be32(14) + be16(1) + be32(14) + "x" + '\0', "entry 1 (message 1): number listed twice"},
  };
  for (const auto &[bytes, message] : cases) {
    write("bad.msc", bytes);
    result r = run({"-d", at("bad.msc")});
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.out, "") << message;
    EXPECT_EQ(r.err, "tolvmsgc: " + at("bad.msc") + ": " + message + "\n");
  }
}

// ---- Usage -------------------------------------------------------------------------------

TEST_F(Msgc, WrongArgumentsPrintTheUsage) {
  const std::vector<std::string> cases[] = {{}, {"a.src"}, {"-d"}, {"a", "b", "c"}, {"-x", "b"}, {"-d", "a", "b"}};
  for (const auto &args : cases) {
    result r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "usage: tolvmsgc SOURCE OUTPUT.msc | tolvmsgc -d FILE.msc\n");
  }
}

}  // namespace
