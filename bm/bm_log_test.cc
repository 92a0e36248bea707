// Tests of bm_log, the DBS message log: entry format, file modes, the debug echo, appends from
// several processes, and the error paths (missing directory, symbolic links, long paths); and
// the binding of the logical log to a real segment.
#include "bm/bm_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ba/ba_sys.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "testing/segment.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using tolvtest::fork_child;
using tolvtest::strip_stamps;
using tolvtest::wait_child;

class MessageLog : public ::testing::Test {
 protected:
  void SetUp() override { tolvtest::use_settings(inst_); }
  void TearDown() override { tolvtest::clear_settings(); }
  std::string path() const { return inst_.path("log/testdbs"); }
  std::string log() const { return inst_.read("log/testdbs"); }
  mode_t mode(const std::string &p) const {
    struct stat st;
    return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  void make_log(mode_t m) const {
    inst_.write("log/testdbs", "");
    chmod(path().c_str(), m);
  }
  std::string pid() const { return std::to_string(getpid()); }

  tolvtest::TempInstall inst_;
};

// "dd.mm.yy(y) hh:mm:ss " — ba_datestr counts the year from 1900.
const std::regex kStamp("[0-9]{2}\\.[0-9]{2}\\.[0-9]{2,3} [0-9]{2}:[0-9]{2}:[0-9]{2} ");

// ---- Entries --------------------------------------------------------------------------------

TEST_F(MessageLog, EntryIsDateTimeAndTheText) {
  bm_logmsg("Logfile %d completed\n", 7);
  std::smatch m;
  std::string l = log();
  ASSERT_TRUE(std::regex_search(l, m, kStamp, std::regex_constants::match_continuous)) << l;
  EXPECT_EQ(l.substr(m.length()), "Logfile 7 completed\n");
}

TEST_F(MessageLog, ErrorEntryHasTheSamePrefix) {
  bm_logerr("ad_flush: bm_savepage() failed. iserrno = %d\n", -354);
  std::smatch m;
  std::string l = log();
  ASSERT_TRUE(std::regex_search(l, m, kStamp, std::regex_constants::match_continuous)) << l;
  EXPECT_EQ(l.substr(m.length()), "ad_flush: bm_savepage() failed. iserrno = -354\n");
}

TEST_F(MessageLog, EntriesAreAppended) {
  inst_.write("log/testdbs", "earlier line\n");
  bm_logmsg("one\n");
  bm_logerr("two %s\n", "b");
  EXPECT_EQ(strip_stamps(log().substr(13)), "one\ntwo b\n");
  EXPECT_EQ(log().substr(0, 13), "earlier line\n");
}

TEST_F(MessageLog, TextWithoutNewlineIsContinuedByTheNextEntry) {
  bm_logmsg("first ");
  bm_logmsg("second\n");
  std::string l = log();
  EXPECT_EQ(std::count(l.begin(), l.end(), '\n'), 1);
  EXPECT_TRUE(std::regex_match(l, std::regex("[0-9.]+ [0-9:]+ first [0-9.]+ [0-9:]+ second\n")))
      << l;
}

TEST_F(MessageLog, EntriesOfSeveralProcessesStayWhole) {
  constexpr int kProcs = 4, kEach = 200;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; p++)
    kids.push_back(fork_child([p] {
      for (int i = 0; i < kEach; i++) bm_logmsg("process %d entry %d of a few words\n", p, i);
      return 0;
    }));
  for (pid_t k : kids) EXPECT_EQ(wait_child(k), 0);
  std::string l = log();
  std::regex line("[0-9.]+ [0-9:]+ process [0-3] entry [0-9]+ of a few words");
  int n = 0;
  for (size_t pos = 0; pos < l.size(); n++) {
    size_t end = l.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(l.substr(pos, end - pos), line)) << l.substr(pos, end - pos);
    pos = end + 1;
  }
  EXPECT_EQ(n, kProcs * kEach);
}

// ---- File modes -----------------------------------------------------------------------------

TEST_F(MessageLog, ErrorEntryLeavesMode0664) {
  make_log(0600);
  bm_logerr("x\n");
  EXPECT_EQ(mode(path()), 0664u);
}

TEST_F(MessageLog, ErrorEntryCreatesTheFileWithMode0664) {
  mode_t old = umask(077);
  bm_logerr("x\n");
  umask(old);
  EXPECT_EQ(mode(path()), 0664u);
}

TEST_F(MessageLog, NoticeLeavesTheModeAlone) {
  make_log(0600);
  bm_logmsg("x\n");
  EXPECT_EQ(mode(path()), 0600u);
  EXPECT_EQ(strip_stamps(log()), "x\n");
}

TEST_F(MessageLog, NoticeCreatesTheFileUnderTheUmask) {
  mode_t old = umask(027);
  bm_logmsg("x\n");
  umask(old);
  EXPECT_EQ(mode(path()), 0640u);
}

// ---- Echo -----------------------------------------------------------------------------------

TEST_F(MessageLog, ErrorIsEchoedWithoutPrefixWithDebug) {
  ba_settings.debug = 1;
  CaptureStderr();
  bm_logerr("bm_tp: mode = %d\n", 1);
  EXPECT_EQ(GetCapturedStderr(), "bm_tp: mode = 1\n");
  EXPECT_EQ(strip_stamps(log()), "bm_tp: mode = 1\n");
}

TEST_F(MessageLog, NothingIsEchoedWithoutDebug) {
  CaptureStderr();
  bm_logerr("quiet\n");
  bm_logmsg("quiet\n");
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(MessageLog, NoticeIsNeverEchoed) {
  ba_settings.debug = 1;
  CaptureStderr();
  bm_logmsg("notice\n");
  EXPECT_EQ(GetCapturedStderr(), "");
}

// ---- Error paths ----------------------------------------------------------------------------

TEST_F(MessageLog, MissingLogDirectoryIsReportedAndTheCallerGoesOn) {
  tolvtest::remove_tree(inst_.path("log"));
  CaptureStderr();
  bm_logmsg("lost\n");
  bm_logerr("lost too\n");
  EXPECT_EQ(GetCapturedStderr(), pid() + ": Cannot open logfile " + path() + "\n" + pid() +
                                     ": Cannot open logfile " + path() + ". errno = 2\n");
}

TEST_F(MessageLog, OpenFailureIsNotEchoedEvenWithDebug) {
  ba_settings.debug = 1;
  tolvtest::remove_tree(inst_.path("log"));
  CaptureStderr();
  bm_logerr("lost\n");
  EXPECT_EQ(GetCapturedStderr(), pid() + ": Cannot open logfile " + path() + ". errno = 2\n");
}

TEST_F(MessageLog, SymbolicLinkAtTheLogPathIsNotFollowed) {
  std::string target = inst_.path("etc/precious");
  inst_.write("etc/precious", "keep\n");
  chmod(target.c_str(), 0600);
  ASSERT_EQ(symlink(target.c_str(), path().c_str()), 0);
  CaptureStderr();
  bm_logerr("x\n");
  bm_logmsg("y\n");
  EXPECT_EQ(GetCapturedStderr(), pid() + ": Cannot open logfile " + path() + ". errno = 40\n" +
                                     pid() + ": Cannot open logfile " + path() + "\n");
  EXPECT_EQ(inst_.read("etc/precious"), "keep\n");
  EXPECT_EQ(mode(target), 0600u);  // no chmod landed on the link's target
  EXPECT_EQ(mode(path()) & 0777, 0777u);  // the link itself is untouched too
}

TEST_F(MessageLog, DanglingLinkCreatesNothing) {
  std::string target = inst_.path("etc/nothere");
  ASSERT_EQ(symlink(target.c_str(), path().c_str()), 0);
  CaptureStderr();
  bm_logerr("x\n");
  GetCapturedStderr();
  EXPECT_NE(access(target.c_str(), F_OK), 0);
}

TEST_F(MessageLog, OverlongPathIsRefusedNotCut) {
  std::string home = "/tmp/" + std::string(420, 'h');
  ba_settings.home = home.data();
  CaptureStderr();
  bm_logerr("x\n");
  std::string err = GetCapturedStderr();
  std::string cut = (home + "/log/testdbs").substr(0, LOG_PATHLEN - 1);
  EXPECT_EQ(err, pid() + ": Cannot open logfile " + cut + ". errno = 36\n");
}

TEST_F(MessageLog, PathJustFittingTheBufferIsUsed) {
  // home + "/log/testdbs" of exactly 399 characters (two directories: names stay short).
  std::string home = inst_.home() + "/" + std::string(180, 'd') + "/";
  home += std::string(399 - 12 - home.size(), 'e');
  tolvtest::make_dirs(home + "/log");
  ba_settings.home = home.data();
  bm_logmsg("fits\n");
  EXPECT_EQ(strip_stamps(tolvtest::read_file(home + "/log/testdbs")), "fits\n");
}

TEST_F(MessageLog, MissingSettingsAreAnOpenFailure) {
  tolvtest::clear_settings();
  CaptureStderr();
  bm_logerr("x\n");
  EXPECT_EQ(GetCapturedStderr(), pid() + ": Cannot open logfile /log/. errno = 2\n");
}

// ---- One hardened writer: what stands at the log path is never written through ---------------

// A thing planted at the log path (or the log directory) and the errno of the refusal.
struct plant {
  const char *name;
  int err;
  void (*make)(const tolvtest::TempInstall &inst, const std::string &target);
};

const plant kPlants[] = {
    {"symlink", ELOOP,
     [](const tolvtest::TempInstall &i, const std::string &t) {
       ASSERT_EQ(symlink(t.c_str(), i.path("log/testdbs").c_str()), 0);
     }},
    {"hardlink", EMLINK,
     [](const tolvtest::TempInstall &i, const std::string &t) {
       ASSERT_EQ(link(t.c_str(), i.path("log/testdbs").c_str()), 0);
     }},
    {"fifo", ENXIO,  // opened without waiting for a reader
     [](const tolvtest::TempInstall &i, const std::string &) {
       ASSERT_EQ(mkfifo(i.path("log/testdbs").c_str(), 0666), 0);
     }},
    {"linkeddir", ENOTDIR,
     [](const tolvtest::TempInstall &i, const std::string &t) {
       std::string dir = t.substr(0, t.rfind('/'));
       tolvtest::remove_tree(i.path("log"));
       ASSERT_EQ(symlink(dir.c_str(), i.path("log").c_str()), 0);
     }},
};

// Both writers and ba_log refuse every plant; the target keeps its bytes and its mode.
TEST_F(MessageLog, PlantsAtTheLogPathAreRefusedByEveryWriter) {
  for (const plant &p : kPlants) {
    SCOPED_TRACE(p.name);
    tolvtest::TempInstall inst;
    tolvtest::use_settings(inst);
    std::string target = inst.path("etc/testdbs");  // named like the log: the linked-dir case
    inst.write("etc/testdbs", "keep\n");
    chmod(target.c_str(), 0600);
    p.make(inst, target);
    std::string logpath = inst.path("log/testdbs");
    CaptureStderr();
    bm_logerr("x\n");
    bm_logmsg("y\n");
    ba_log("z\n");
    EXPECT_EQ(GetCapturedStderr(), pid() + ": Cannot open logfile " + logpath + ". errno = " +
                                       std::to_string(p.err) + "\n" + pid() +
                                       ": Cannot open logfile " + logpath + "\n");
    EXPECT_EQ(inst.read("etc/testdbs"), "keep\n");
    EXPECT_EQ(mode(target), 0600u);
  }
  tolvtest::use_settings(inst_);
}

TEST_F(MessageLog, ADbsNameThatIsNoPlainNameIsRefused) {
  inst_.write("precious", "keep\n");
  std::string name = "../precious";
  ba_settings.dbsname = name.data();
  CaptureStderr();
  bm_logerr("x\n");
  EXPECT_EQ(GetCapturedStderr(),
            pid() + ": Cannot open logfile " + inst_.path("log/../precious") + ". errno = 22\n");
  EXPECT_EQ(inst_.read("precious"), "keep\n");
}

// ---- Logical log: binding ----------------------------------------------------------------------

using LogBinding = tolvtest::SegmentTest;

TEST(LogBindingUnbound, NothingIsBoundBeforeLoginit) {
  EXPECT_EQ(bm_logctl(), nullptr);
  EXPECT_EQ(bm_logmaxrec(), 0);
}

TEST_F(LogBinding, KeepsTheControlBlockAndComputesTheRecordCapacity) {
  bm_loginit(dbs());
  EXPECT_EQ(bm_logctl(), &dbs()->logctl);
  EXPECT_EQ(reinterpret_cast<char *>(bm_logctl()) - reinterpret_cast<char *>(dbs()), 0xa4);
  EXPECT_EQ(bm_logmaxrec(), 3 * 2012);  // log files of 4 pages, the header page carries none
}

TEST_F(LogBinding, CapacityStaysWithinAnInt) {
  dbs()->logctl.lc_filepages = 1;
  bm_loginit(dbs());
  EXPECT_EQ(bm_logmaxrec(), 0);
  dbs()->logctl.lc_filepages = 0;
  bm_loginit(dbs());
  EXPECT_EQ(bm_logmaxrec(), 0);
  dbs()->logctl.lc_filepages = INT_MAX;
  bm_loginit(dbs());
  EXPECT_EQ(bm_logmaxrec(), INT_MAX);
}

}  // namespace
