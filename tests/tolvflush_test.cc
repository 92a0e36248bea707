// End-to-end tests of the installed daemon: bin/tolvflush of a temporary installation, owner
// root, group tolv, mode 04750, run against a real DBS that the stand-in tolvdb created, with
// real partition files. The test process plays the DBS server where it must (it attaches the
// segment to look, to change the stamp and to put images into the before-image buffer).
//
// The daemon detaches from the process that starts it; the test process is a child subreaper
// (InstalledDbs), so the background process is still its descendant: its exit status is
// collected and it never outlives the test. These tests need root and the user tolv.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_io.h"
#include "testing/installed.h"
#include "testing/segment.h"

namespace {

using tolvtest::eventually;
using tolvtest::InstalledDbs;
using tolvtest::runresult;
using tolvtest::TempInstall;

// Seconds to wait for the daemon to reach a state: generous for a loaded machine (two CPUs,
// parallel tests), and still well under the test's timeout. A wait, never a timing check.
constexpr int kPatience = 60;

bool patiently(const std::function<bool()> &cond) { return eventually(cond, kPatience); }

constexpr char kBanner[] =
    "TOLV-SQL tolvflush Version 04.04.03 (Port 1087)\n"
    "Page-flush daemon of the TOLV-SQL database system\n";

class Daemon : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || getpwnam("tolv") == nullptr)
      GTEST_SKIP() << "needs root and the user tolv";
  }
  // A running DBS made by tolvdb create, attached in the test process.
  void create_dbs() {
    runresult r = dbs.create();
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_NE(dbs.attach(), nullptr);
  }
  dbshead *head() const { return dbs.head(); }
  // Starts the daemon and waits until it has registered; its slot.
  userslot *start() {
    runresult r = dbs.tolvflush({"testdbs"});
    EXPECT_EQ(r.status, 0) << r.err;
    userslot *u = nullptr;
    EXPECT_TRUE(patiently([&] { return (u = dbs.daemon_slot()) != nullptr; })) << stderr_text();
    return u;
  }
  // Waits until the daemon has finished n more passes: the server changes the stamp and the
  // daemon copies it into its slot after each pass.
  void passes(const userslot *u, int n) {
    for (int i = 0; i < n; i++) {
      int32_t stamp = ++head()->dbsstamp;
      ASSERT_TRUE(patiently([&] { return u->seenstamp == stamp; }));
    }
  }
  runresult tolvdb(const std::vector<std::string> &args) const { return dbs.tolvdb(args); }
  std::string stderr_text() const { return dbs.inst().read("stderr"); }
  // The buffer that holds page p, or null.
  pagebuf *buffer_of(int32_t p) const {
    for (int l = 0; l < head()->nlists; l++)
      for (int b = 0; b < head()->lists[l].nbufs; b++)
        if (pg_word(head()->lists[l].bufs[b].page, PH_PAGENR) == p) return &head()->lists[l].bufs[b];
    return nullptr;
  }
  // The pages of the dirty buffers of list l, in the order a pass collects them (from the
  // least recently used end).
  std::vector<int32_t> dirty_in_pass_order(int l) const {
    std::vector<int32_t> pages;
    for (const pagebuf *b = head()->lists[l].head; b != nullptr; b = b->next)
      if ((b->flags & BF_DIRTY) != 0) pages.push_back(pg_word(b->page, PH_PAGENR));
    return pages;
  }
  // Whether page p's disk copy equals its buffer.
  bool on_disk(int32_t p) const {
    std::string file = tolvtest::read_file(dbs.device());
    return memcmp(file.data() + static_cast<size_t>(p) * PAGESIZE, buffer_of(p)->page,
                  PAGESIZE) == 0;
  }
  // Expects a start-up that fails in the background with status and exactly the text err.
  void expect_start_failure(const std::vector<std::string> &args, int status,
                            const std::string &err, tolvtest::runas user = {}) {
    runresult r = dbs.tolvflush_detached(args, user);
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dbs.daemon_slot(), nullptr);  // nothing left behind
  }

  InstalledDbs dbs;
};

// ---- Command line --------------------------------------------------------------------------

TEST_F(Daemon, WithoutAnArgumentPrintsTheUsageAndEndsWithOne) {
  dbs.install_daemon();
  runresult r = dbs.tolvflush({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "usage: tolvflush <dbsname>\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(Daemon, DashVPrintsTheBannerWithoutReadingTheEnvironment) {
  dbs.install_daemon();
  TempInstall::unsetenv("TOLVHOME");  // the settings would fail to load
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"-V"}, std::vector<std::string>{"-V", "extra"}}) {
    runresult r = dbs.tolvflush(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err, "");
  }
}

// ---- Start-up failures (in the background process; the caller sees 0) ------------------------

TEST_F(Daemon, SettingsThatCannotBeLoadedEndWithOne) {
  dbs.install_daemon();
  TempInstall::unsetenv("TOLVHOME");
  expect_start_failure({"testdbs"}, 1, "TOLVHOME not set\n");
}

TEST_F(Daemon, ARemoteDbsIsRefusedBeforeAnyConfigurationIsRead) {
  dbs.install_daemon();  // and no configuration file at all
  TempInstall::setenv("TOLVDBS", "testdbs@otherhost");
  expect_start_failure({"testdbs"}, 1, "No remote use. Modify TOLVDBS\n");
}

TEST_F(Daemon, AConfigurationErrorIsPrintedWithItsCatalogText) {
  dbs.install_daemon();
  expect_start_failure({"testdbs"}, 1,
                       "Cannot open configuration file " +
                           dbs.inst().path("etc/testdbs.cfg") + " (errno 2)\n");
}

TEST_F(Daemon, TheConfigurationIsCheckedBeforeTheNameIsCompared) {
  dbs.install_daemon();
  dbs.configure("D 0\n");  // the key check fails; the partition file does not even exist
  expect_start_failure({"otherdbs"}, 1,
                       "Cannot open partition " + dbs.device() + " for update (errno 2)\n");
}

TEST_F(Daemon, AnArgumentOtherThanTheDbsNameIsAMismatch) {
  create_dbs();
  expect_start_failure({"otherdbs"}, 1, "tolvflush: DBS mismatch #otherdbs#testdbs#\n");
  expect_start_failure({"-v"}, 1, "tolvflush: DBS mismatch #-v#testdbs#\n");
  // With a wrongly installed program as well, the mismatch is what is reported.
  dbs.install_daemon(0755);
  expect_start_failure({"otherdbs"}, 1, "tolvflush: DBS mismatch #otherdbs#testdbs#\n");
}

TEST_F(Daemon, AWronglyInstalledProgramIsRefused) {
  create_dbs();
  dbs.install_daemon(0755);
  expect_start_failure({"testdbs"}, 1,
                       "Bad permission of " + dbs.inst().path("bin/tolvflush") +
                           ". Expected 04750\n");
}

TEST_F(Daemon, NoSegmentEndsWith255AndTheErrorCodes) {
  create_dbs();
  ASSERT_EQ(tolvdb({"remove"}).status, 0);
  expect_start_failure({"testdbs"}, 255, "tolvflush:bm_init failed\nErrorcodes: 2 2\n");
}

TEST_F(Daemon, ADbsThatIsNotOnlineEndsWith255) {
  create_dbs();
  ASSERT_EQ(tolvdb({"state", "2"}).status, 0);
  runresult r = dbs.tolvflush_detached({"testdbs"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err.rfind("DBS not in online mode\nErrorcodes: ", 0), 0u) << r.err;
  EXPECT_EQ(dbs.daemon_slot(), nullptr);
}

TEST_F(Daemon, AFullUserTableEndsWith255) {
  create_dbs();
  for (int i = 0; i < head()->nusers; i++) strcpy(head()->users[i].progname, "BUSY");
  runresult r = dbs.tolvflush_detached({"testdbs"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err.rfind("bm_usrin failed\nErrorcodes: -329 ", 0), 0u) << r.err;
  for (int i = 0; i < head()->nusers; i++) memset(&head()->users[i], 0, sizeof(userslot));
}

// ---- Running -------------------------------------------------------------------------------

TEST_F(Daemon, RegistersAsTolvflushAndRefreshesItsSeenStamp) {
  create_dbs();
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  EXPECT_STREQ(u->host, "local");
  EXPECT_STREQ(u->dbopt, "");
  EXPECT_STREQ(u->client, "");
  EXPECT_STREQ(u->osuser, "root");
  EXPECT_EQ(kill(u->pid, 0), 0);
  // Detached: in the process group that its parent made before the fork, not the caller's.
  EXPECT_NE(getpgid(u->pid), getpgid(0));
  passes(u, 2);
  EXPECT_EQ(stderr_text(), "");
}

TEST_F(Daemon, DirtyPagesReachTheirPartitionWithinTheNextPass) {
  create_dbs();
  ASSERT_EQ(tolvdb({"flushpct", "-1"}).status, 0);
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  ASSERT_EQ(tolvdb({"touch", "500", "150", "--new"}).status, 0);
  passes(u, 2);
  runresult r = tolvdb({"verify"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "150 buffered pages: 150 equal, 0 dirty, 0 differing\n");
  EXPECT_TRUE(on_disk(500));
  EXPECT_TRUE(on_disk(649));
}

TEST_F(Daemon, TheFlushPercentageLimitsTheExaminedShare) {
  create_dbs();
  ASSERT_EQ(tolvdb({"flushpct", "0"}).status, 0);  // only the least recently used buffer
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  ASSERT_EQ(tolvdb({"touch", "500", "20", "--new"}).status, 0);  // the touched buffers are at the tails
  passes(u, 2);
  EXPECT_EQ(tolvdb({"verify"}).status, 2);
  ASSERT_EQ(tolvdb({"flushpct", "100"}).status, 0);
  passes(u, 2);
  EXPECT_EQ(tolvdb({"verify"}).status, 0);
}

TEST_F(Daemon, AFixedDirtyBufferStaysDirtyUntilItIsUnfixed) {
  create_dbs();
  ASSERT_EQ(tolvdb({"flushpct", "-1"}).status, 0);
  ASSERT_EQ(tolvdb({"touch", "500", "2", "--new"}).status, 0);
  pagebuf *fixed = buffer_of(500);
  ASSERT_NE(fixed, nullptr);
  fixed->fixcnt = 1;
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  passes(u, 2);
  EXPECT_EQ(fixed->flags & BF_DIRTY, BF_DIRTY);
  EXPECT_FALSE(on_disk(500));
  EXPECT_TRUE(on_disk(501));
  fixed->fixcnt = 0;
  passes(u, 2);
  EXPECT_EQ(fixed->flags, 0u);
  EXPECT_TRUE(on_disk(500));
}

TEST_F(Daemon, APageWaitsForItsBeforeImageMarkedIWithThePageNumber) {
  create_dbs();
  ASSERT_EQ(tolvdb({"flushpct", "-1"}).status, 0);
  ASSERT_EQ(tolvdb({"touch", "500", "1", "--new"}).status, 0);
  // The page's before image waits in the before-image buffer; nobody writes it yet.
  pg_setword(head()->images.get(), PH_PAGENR, 500);
  head()->nimg = 1;
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  ASSERT_TRUE(patiently([&] { return (u->uflags & US_WAITING) != 0; }));
  EXPECT_EQ(u->waitkind, 'I');
  EXPECT_EQ(u->waitobj, 500);
  EXPECT_FALSE(on_disk(500));
  EXPECT_EQ(buffer_of(500)->flags, BF_FLUSHING);
  head()->nimg = 0;  // the image writer has written the image
  passes(u, 1);
  EXPECT_TRUE(on_disk(500));
  EXPECT_EQ(buffer_of(500)->flags, 0u);
  EXPECT_EQ(u->uflags & US_WAITING, 0u);
  EXPECT_GT(head()->st_savewait, 0);
}

TEST_F(Daemon, SigtermReleasesTheSlotAndEndsWithZero) {
  create_dbs();
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  pid_t pid = u->pid;
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(dbs.wait_exit(pid, kPatience), 0);
  EXPECT_EQ(dbs.daemon_slot(), nullptr);
  EXPECT_EQ(stderr_text(), "");
}

// A SIGTERM while the pass waits for a before image: that wait ends and its page stays dirty
// (never written before its image), but the pass completes: every other buffer it collects, in
// this list and the next, is written. Then the daemon ends with 0 after that one pass.
TEST_F(Daemon, SigtermDuringAPassLetsThePassCompleteThenEndsWithZero) {
  create_dbs();
  ASSERT_EQ(tolvdb({"flushpct", "-1"}).status, 0);
  ASSERT_EQ(tolvdb({"touch", "500", "20", "--new"}).status, 0);  // in both lists
  std::vector<int32_t> first = dirty_in_pass_order(0), second = dirty_in_pass_order(1);
  ASSERT_GE(first.size(), 2u);
  ASSERT_FALSE(second.empty());
  int32_t held = first[0];
  pg_setword(head()->images.get(), PH_PAGENR, held);
  head()->nimg = 1;  // and nobody writes it
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  pid_t pid = u->pid;
  ASSERT_TRUE(patiently([&] { return (u->uflags & US_WAITING) != 0 && u->waitkind == 'I'; }));
  EXPECT_EQ(u->waitobj, held);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(dbs.wait_exit(pid, kPatience), 0);
  EXPECT_EQ(dbs.daemon_slot(), nullptr);
  EXPECT_EQ(buffer_of(held)->flags, BF_DIRTY);
  EXPECT_FALSE(on_disk(held));
  first.insert(first.end(), second.begin(), second.end());
  for (size_t i = 1; i < first.size(); i++) {
    EXPECT_EQ(buffer_of(first[i])->flags, 0u) << first[i];
    EXPECT_TRUE(on_disk(first[i])) << first[i];
  }
  const std::string log = dbs.log_text();
  EXPECT_NE(log.find("ad_flush: bm_savepage() failed. iserrno = -406\n"), std::string::npos) << log;
  const std::string end = "tolvflush: process " + std::to_string(pid) + " stops after 1 passes";
  EXPECT_NE(log.find(end + ": SIGTERM\n"), std::string::npos) << log;
}

// Without buffer lists a pass writes nothing, and the daemon still shows it ran each one.
TEST_F(Daemon, APassOverNoListsWritesNothingAndStillRefreshesTheStamp) {
  create_dbs();
  ASSERT_EQ(tolvdb({"flushpct", "-1"}).status, 0);
  ASSERT_EQ(tolvdb({"touch", "500", "8", "--new"}).status, 0);  // 500 .. 503 in list 0
  pagebuf *b = buffer_of(500);
  ASSERT_NE(b, nullptr);
  const int nlists = head()->nlists;
  head()->nlists = 0;
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  passes(u, 2);
  EXPECT_EQ(u->nwrites, 0);
  EXPECT_EQ(b->flags, BF_DIRTY);
  head()->nlists = nlists;  // the lists are back: the next pass writes
  passes(u, 2);
  EXPECT_EQ(b->flags, 0u);
  EXPECT_TRUE(on_disk(500));
}

TEST_F(Daemon, SignalsOtherThanSigtermAreIgnored) {
  create_dbs();
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGUSR1, SIGALRM}) kill(u->pid, sig);
  passes(u, 1);
  EXPECT_EQ(kill(u->pid, 0), 0);
  EXPECT_NE(dbs.daemon_slot(), nullptr);
}

TEST_F(Daemon, LeavingOnlineModeReleasesTheSlotAndEndsWithZero) {
  create_dbs();
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  pid_t pid = u->pid;
  ASSERT_EQ(tolvdb({"state", "0"}).status, 0);
  EXPECT_EQ(dbs.wait_exit(pid, kPatience), 0);
  EXPECT_EQ(dbs.daemon_slot(), nullptr);
}

// ---- A slot that cannot be released at the end ------------------------------------------------

enum class stopby { itself, sigterm, offline };

// How the daemon's slot is lost while it runs, and what then ends the daemon.
struct slotloss {
  const char *name;
  bool taken_over;  // the slot carries another process (else it is cleared)
  stopby stop;
};

void PrintTo(const slotloss &c, std::ostream *os) { *os << c.name; }

class LostSlot : public Daemon, public testing::WithParamInterface<slotloss> {};

// bm_usrout finds no slot of the daemon's at the end: the daemon ends with 255, not 0, so
// that whoever started it learns that its slot was not its own to release.
TEST_P(LostSlot, TheDaemonEndsWith255) {
  const slotloss &c = GetParam();
  create_dbs();
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  pid_t pid = u->pid;
  // The process that takes the slot over is the test's own, as teardown may kill it.
  pid_t other = c.taken_over ? tolvtest::fork_child([] { pause(); return 0; }) : 0;
  if (c.taken_over)
    u->pid = other;
  else
    memset(static_cast<void *>(u), 0, sizeof *u);
  if (c.stop == stopby::sigterm) {
    EXPECT_EQ(kill(pid, SIGTERM), 0);
  } else if (c.stop == stopby::offline) {
    EXPECT_EQ(tolvdb({"state", "0"}).status, 0);
  }
  EXPECT_EQ(dbs.wait_exit(pid, kPatience), 255);
  const std::string log = dbs.log_text();
  const std::string end = "tolvflush: process " + std::to_string(pid) + " stops after ";
  EXPECT_NE(log.find(end), std::string::npos) << log;
  if (c.stop == stopby::itself) {
    EXPECT_NE(log.find("user slot gone\n"), std::string::npos) << log;
  }
  if (other > 0) {
    kill(other, SIGKILL);
    tolvtest::wait_child(other);
    memset(static_cast<void *>(u), 0, sizeof *u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LostSlot,
    testing::Values(slotloss{"Cleared", false, stopby::itself},
                    slotloss{"TakenOverThenSigterm", true, stopby::sigterm},
                    slotloss{"TakenOverThenOffline", true, stopby::offline}),
    [](const testing::TestParamInfo<slotloss> &i) { return std::string(i.param.name); });

// The first failure of the device is logged once per buffer; its repeats in later passes are
// only counted, so a device that fails for good does not flood the log.
TEST_F(Daemon, FailingWritesAreLoggedOnceAndStayDirtyForTheNextPass) {
  create_dbs();
  ASSERT_EQ(tolvdb({"flushpct", "-1"}).status, 0);
  ASSERT_EQ(tolvdb({"touch", "500", "3", "--new"}).status, 0);
  // The server switches the partition's device to one that fails every write.
  strcpy(head()->dbspaces[0].parts[0].device, "/dev/full");
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  passes(u, 2);
  for (int32_t p : {500, 501, 502}) EXPECT_EQ(buffer_of(p)->flags, BF_DIRTY) << p;
  const std::string log = dbs.log_text();
  const std::string failed = "ad_flush: bm_savepage() failed. iserrno = 28\n";
  size_t lines = 0;
  for (size_t at = log.find(failed); at != std::string::npos; at = log.find(failed, at + 1))
    lines++;
  EXPECT_EQ(lines, 3u) << log;  // three buffers of the first pass, none of the later ones
  EXPECT_NE(log.find(": Write on device /dev/full failed.Page 500.errno 28\n"), std::string::npos);
  EXPECT_EQ(kill(u->pid, 0), 0);  // a device error never stops the daemon
}

// ---- Run set-user-id by another user ---------------------------------------------------------

// The daemon started by the user tolv: real user tolv, effective user root.
class SetUid : public Daemon {
 protected:
  tolvtest::runas tolv = tolvtest::tolv_user();
};

TEST_F(SetUid, RunsFromItsOwnInstallation) {
  create_dbs();
  ASSERT_EQ(dbs.tolvflush({"testdbs"}, tolv).status, 0);
  userslot *u = nullptr;
  ASSERT_TRUE(patiently([&] { return (u = dbs.daemon_slot()) != nullptr; })) << stderr_text();
  // The slot is visible once its name is written; a finished pass shows it complete.
  passes(u, 1);
  EXPECT_STREQ(u->osuser, "tolv");
  EXPECT_EQ(stderr_text(), "");
}

TEST_F(SetUid, AHomeThatIsNotItsInstallationIsRefused) {
  create_dbs();
  // Another tree with the language files and a program file of the same name, made and
  // installed like the real one.
  std::string other = dbs.inst().path("other");
  tolvtest::make_dirs(other + "/bin");
  std::filesystem::copy(dbs.inst().path("msg"), other + "/msg",
                        std::filesystem::copy_options::recursive);
  std::filesystem::copy_file(dbs.inst().path("bin/tolvflush"), other + "/bin/tolvflush");
  ASSERT_EQ(chown((other + "/bin/tolvflush").c_str(), 0, getgrnam("tolv")->gr_gid), 0);
  ASSERT_EQ(chmod((other + "/bin/tolvflush").c_str(), 04750), 0);
  TempInstall::setenv("TOLVHOME", other);
  expect_start_failure({"testdbs"}, 1,
                       "tolvflush: " + other + " is not the installation of this program\n",
                       tolv);
}

TEST_F(SetUid, AProgramFileReachedThroughALinkIsRefused) {
  create_dbs();
  std::string other = dbs.inst().path("other");
  tolvtest::make_dirs(other);
  std::filesystem::copy(dbs.inst().path("msg"), other + "/msg",
                        std::filesystem::copy_options::recursive);
  ASSERT_EQ(symlink(dbs.inst().path("bin").c_str(), (other + "/bin").c_str()), 0);
  TempInstall::setenv("TOLVHOME", other);
  expect_start_failure({"testdbs"}, 1,
                       "tolvflush: " + other + " is not the installation of this program\n",
                       tolv);
}

TEST_F(SetUid, AHomeGivenThroughALinkIsResolved) {
  create_dbs();
  std::string link = dbs.inst().path("link");
  ASSERT_EQ(symlink(dbs.inst().home().c_str(), link.c_str()), 0);
  TempInstall::setenv("TOLVHOME", link);
  ASSERT_EQ(dbs.tolvflush({"testdbs"}, tolv).status, 0);
  EXPECT_TRUE(patiently([&] { return dbs.daemon_slot() != nullptr; })) << stderr_text();
}

TEST_F(SetUid, ASegmentOfAnotherOwnerIsNotAttached) {
  create_dbs();
  int id = shmget(dbs.key(), 0, 0);
  ASSERT_GE(id, 0);
  shmid_ds ds;
  ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
  ds.shm_perm.uid = 65534;  // nobody
  ASSERT_EQ(shmctl(id, IPC_SET, &ds), 0);
  expect_start_failure({"testdbs"}, 255, "tolvflush:bm_init failed\nErrorcodes: 13 13\n", tolv);
  // Run normally (by root itself) nothing changes: the segment is attached.
  ASSERT_EQ(dbs.tolvflush({"testdbs"}).status, 0);
  EXPECT_TRUE(patiently([&] { return dbs.daemon_slot() != nullptr; })) << stderr_text();
}

}  // namespace
