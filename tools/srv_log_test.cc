// Tests of the stand-in's log and checkpoint commands through the program tolvdb on a DBS of a
// temporary installation: records written and read back, the log files listed and released,
// a checkpoint with its log lines and what `stat` then shows, and the bad arguments. Creating a
// DBS gives the partition file to the user tolv, so these tests need root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/installed.h"
#include "testing/segment.h"

namespace {

using result = tolvtest::runresult;

class LogCommands : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "creating a DBS needs root";
    result r = dbs.create();
    ASSERT_EQ(r.status, 0) << r.err;
  }
  result tolvdb(const std::vector<std::string> &args) const { return dbs.tolvdb(args); }

  tolvtest::InstalledDbs dbs;
};

TEST_F(LogCommands, WrittenRecordsReadBackNewestFirst) {
  result w = tolvdb({"log", "write", "1", "100", "3"});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.out, "file 0 logid 1 offset 0\nfile 0 logid 1 offset 100\nfile 0 logid 1 offset 200\n");
  ASSERT_EQ(tolvdb({"log", "write", "9", "40"}).status, 0);
  result r = tolvdb({"log", "read", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string first = r.out.substr(0, r.out.find('\n') + 1);
  EXPECT_EQ(first.rfind("file 0 logid 1 offset 300 length 40 user ", 0), 0u) << first;
  EXPECT_EQ(first.substr(first.size() - 8), " type 9\n") << first;
  EXPECT_NE(r.out.find("file 0 logid 1 offset 200 length 100"), std::string::npos) << r.out;
  // Reading past the start of the log fails with the reason.
  result all = tolvdb({"log", "read", "5"});
  EXPECT_EQ(all.status, 1);
  EXPECT_NE(all.err.find("bm_getprev failed"), std::string::npos) << all.err;
}

TEST_F(LogCommands, FilesAreListedAndAFullOneReleased) {
  result f = tolvdb({"log", "files"});
  ASSERT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(f.out.substr(0, f.out.find('\n') + 1), "file 0 state 0x02 current logid 1 bytes 0\n");
  EXPECT_NE(f.out.find("file 1 state 0x04 free logid -1 bytes 0\n"), std::string::npos);
  result r = tolvdb({"log", "release", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tolvdb: log file 1 is not full (state 0x04 free)\n");
  dbshead *h = dbs.attach();
  ASSERT_NE(h, nullptr);
  h->logctl.lc_state[1] = LS_FULL;
  r = tolvdb({"log", "release", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(h->logctl.lc_state[1], LS_FREE);
}

TEST_F(LogCommands, CheckpointPrintsItsLogLines) {
  ASSERT_EQ(tolvdb({"log", "write", "1", "500"}).status, 0);
  result c = tolvdb({"checkpoint"});
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_EQ(tolvtest::strip_stamps(c.out),
            "Checkpoint started in log 0 1\nCheckpoint terminated\n");
  result s = tolvdb({"stat"});
  EXPECT_NE(s.out.find("log: file 0 of "), std::string::npos) << s.out;
  EXPECT_NE(s.out.find(", 536 bytes; ckptrun 0 ckptflags 0x0\n"), std::string::npos) << s.out;
  result r = tolvdb({"log", "read", "1"});
  EXPECT_NE(r.out.find("length 36 user 0 type 13"), std::string::npos) << r.out;
}

TEST_F(LogCommands, BadArgumentsAreRefused) {
  struct {
    std::vector<std::string> args;
    const char *err;
  } cases[] = {
      {{"log", "write", "1", "10"}, "bm_wrtlog failed"},
      {{"log", "write", "1", "0"}, "bm_wrtlog failed"},
      {{"log", "write", "1", "999999"}, "bm_wrtlog failed"},
      {{"log", "write", "256", "100"}, "bad record type"},
      {{"log", "read", "0"}, "bad count"},
      {{"log", "release", "64"}, "bad log file"},
      {{"log", "release", "9"}, "no log file 9"},
      {{"log", "files", "x"}, "usage:"},
      {{"log", "shred"}, "usage:"},
  };
  for (const auto &c : cases) {
    result r = tolvdb(c.args);
    EXPECT_EQ(r.status, 1) << c.args[1];
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[1] << ": " << r.err;
  }
}

}  // namespace
