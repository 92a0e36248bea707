// Tests of the daemon's status record: round trip, atomic replacement, and the files it must
// never write through (links planted in the log directory).
#include "flush/ad_status.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "testing/tempinstall.h"

namespace {

using tolvtest::TempInstall;

class StatusRecord : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ad_statusopen(&file, inst.home().c_str(), "testdbs"), 0); }
  void TearDown() override { ad_statusclose(&file); }
  std::string record_path() const { return inst.path("log/testdbs.status"); }
  static adstatus sample() {
    adstatus s;
    s.pid = 4321;
    snprintf(s.state, sizeof s.state, "stopped: DBS offline (state 2)");
    s.started = 1765170000;
    s.share = -1;
    s.passes = 42;
    s.written = 5000000000;  // beyond 32 bits
    s.failures = 3;
    s.lastpass = 1765170041;
    return s;
  }
  std::string temp_name() const {
    return inst.path("log/.testdbs.status." + std::to_string(getpid()));
  }

  TempInstall inst;
  adstatusfile file;
};

TEST_F(StatusRecord, WrittenRecordReadsBackFieldByField) {
  ASSERT_EQ(ad_statuswrite(&file, sample()), 0);
  EXPECT_EQ(inst.read("log/testdbs.status"),
            "pid 4321\nstate stopped: DBS offline (state 2)\nstarted 1765170000\nshare -1\n"
            "passes 42\nwritten 5000000000\nfailures 3\nlastpass 1765170041\n");
  adstatus r;
  ASSERT_EQ(ad_statusread(record_path().c_str(), &r), 0);
  adstatus s = sample();
  EXPECT_EQ(r.pid, s.pid);
  EXPECT_STREQ(r.state, s.state);
  EXPECT_EQ(r.started, s.started);
  EXPECT_EQ(r.share, s.share);
  EXPECT_EQ(r.passes, s.passes);
  EXPECT_EQ(r.written, s.written);
  EXPECT_EQ(r.failures, s.failures);
  EXPECT_EQ(r.lastpass, s.lastpass);
  struct stat st;
  ASSERT_EQ(stat(record_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_NE(access(temp_name().c_str(), F_OK), 0);  // nothing left behind
}

TEST_F(StatusRecord, EachWriteReplacesTheWholeRecord) {
  adstatus s = sample();
  ASSERT_EQ(ad_statuswrite(&file, s), 0);
  ino_t first = 0;
  struct stat st;
  ASSERT_EQ(stat(record_path().c_str(), &st), 0);
  first = st.st_ino;
  s.passes = 7;
  snprintf(s.state, sizeof s.state, "running");
  ASSERT_EQ(ad_statuswrite(&file, s), 0);
  adstatus r;
  ASSERT_EQ(ad_statusread(record_path().c_str(), &r), 0);
  EXPECT_EQ(r.passes, 7);
  EXPECT_STREQ(r.state, "running");
  ASSERT_EQ(stat(record_path().c_str(), &st), 0);
  EXPECT_NE(st.st_ino, first);  // a new file renamed over the old one, never rewritten in place
}

// ---- Error paths: links, bad names, bad records
// ---------------------------------------------------

TEST_F(StatusRecord, LinksInTheLogDirectoryAreNeverWrittenThrough) {
  inst.write("victim", "precious\n");
  // A link at the temporary name and one at the final name, both to the victim.
  ASSERT_EQ(symlink(inst.path("victim").c_str(), temp_name().c_str()), 0);
  ASSERT_EQ(symlink(inst.path("victim").c_str(), record_path().c_str()), 0);
  ASSERT_EQ(ad_statuswrite(&file, sample()), 0);
  EXPECT_EQ(inst.read("victim"), "precious\n");
  struct stat st;
  ASSERT_EQ(lstat(record_path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));  // the link itself was replaced
}

// A record that cannot take the old one's place (a directory stands there) fails with the
// reason and leaves no temporary file behind.
TEST_F(StatusRecord, ARecordThatCannotReplaceTheOldOneFailsAndLeavesNothing) {
  ASSERT_EQ(mkdir(record_path().c_str(), 0755), 0);
  EXPECT_EQ(ad_statuswrite(&file, sample()), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_NE(access(temp_name().c_str(), F_OK), 0);
}

TEST_F(StatusRecord, ALogDirectoryThatIsALinkOrABadDbsNameIsRefused) {
  TempInstall other;
  tolvtest::remove_tree(other.path("log"));
  ASSERT_EQ(symlink(inst.path("log").c_str(), other.path("log").c_str()), 0);
  adstatusfile f;
  EXPECT_EQ(ad_statusopen(&f, other.home().c_str(), "testdbs"), -1);
  for (const char *name : {"", "../etc/x", "a/b"}) {
    EXPECT_EQ(ad_statusopen(&f, inst.home().c_str(), name), -1) << name;
    EXPECT_EQ(errno, EINVAL) << name;
  }
}

TEST_F(StatusRecord, ReadingSomethingElseFails) {
  adstatus r;
  EXPECT_EQ(ad_statusread(inst.path("log/none").c_str(), &r), -1);
  EXPECT_EQ(errno, ENOENT);
  for (const char *text :
       {"", "pid 12\nbogus 1\n", "pid twelve\n", "pid 12", "pid 99999999999\n"}) {
    inst.write("log/bad", text);
    EXPECT_EQ(ad_statusread(inst.path("log/bad").c_str(), &r), -1) << text;
    EXPECT_EQ(errno, EINVAL) << text;
  }
}

}  // namespace
