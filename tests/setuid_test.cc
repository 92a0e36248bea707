// Attacks on the installed set-user-id daemon by a DBS user: bin/tolvflush (root:tolv 04750)
// of a temporary installation is run as the user tolv, and each test repeats one way in which
// a caller once made the daemon use root's rights on its behalf: a segment of its own with
// forged partition descriptors, a forged semaphore set id, names that lead out of the
// installation, a configuration file through a link or of another owner, a hard-linked message
// log or program file, a segment handed to root by another user, and TOLVNOCONFCHECK. Each must
// fail with its message and leave the target (a root-only file, a foreign semaphore set)
// exactly as it was. What a legitimate DBS of the user tolv needs keeps working.
//
// These tests need root and the user tolv. The daemon is started as tolv; the test process
// plays the attacker's hand where the attacker could (changing its own segment) and root's
// where it sets the stage.
#include <gtest/gtest.h>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testing/installed.h"
#include "testing/segment.h"

namespace {

using tolvtest::eventually;
using tolvtest::InstalledDbs;
using tolvtest::runas;
using tolvtest::runresult;
using tolvtest::TempInstall;

constexpr uid_t kNobody = 65534;
constexpr char kSecret[] = "F root /secret/of/root 2400 0\nroot:x:0:0::/root:/bin/sh\n";
constexpr char kInitFailed[] = "tolvflush:bm_init failed\nErrorcodes: 13 13\n";

// Everything of a file that an attack could change: its bytes, mode, owner and links.
struct filestate {
  std::string bytes;
  mode_t mode = 0;
  uid_t uid = 0;
  nlink_t links = 0;
  bool operator==(const filestate &) const = default;
};

filestate state_of(const std::string &path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return {};
  return {tolvtest::read_file(path), st.st_mode, st.st_uid, st.st_nlink};
}

class Attack : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || getpwnam("tolv") == nullptr)
      GTEST_SKIP() << "needs root and the user tolv";
    victim_ = dbs.inst().path("victim");
    dbs.inst().write("victim", kSecret);
    ASSERT_EQ(chmod(victim_.c_str(), 0600), 0);
    before_ = state_of(victim_);
  }
  void TearDown() override {
    if (IsSkipped()) return;
    EXPECT_EQ(state_of(victim_), before_) << "the root-only file changed";
  }

  // A DBS made by `tolvdb create`; as tolv, the segment and semaphores are tolv's own (the
  // attacker's), as root they are root's.
  void create_dbs(bool by_tolv) {
    dbs.configure();
    dbs.install_daemon();
    runresult r;
    if (by_tolv) {
      ASSERT_EQ(chown(dbs.inst().path("dbs").c_str(), tolv.uid, tolv.gid), 0);
      r = dbs.run(tolvtest::tolvdb_path(), {"create"}, tolv);
    } else {
      r = dbs.tolvdb({"create"});
    }
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_NE(dbs.attach(), nullptr);
  }
  dbshead *head() const { return dbs.head(); }
  partition &part0() const { return head()->dbspaces[0].parts[0]; }

  // Starts the daemon as tolv and waits until it has registered.
  userslot *start() {
    runresult r = dbs.tolvflush({"testdbs"}, tolv);
    EXPECT_EQ(r.status, 0) << r.err;
    userslot *u = nullptr;
    EXPECT_TRUE(eventually([&] { return (u = dbs.daemon_slot()) != nullptr; }))
        << dbs.inst().read("stderr");
    return u;
  }
  // Waits until the daemon has finished a pass: it copies the changed stamp after each.
  void pass(const userslot *u) {
    int32_t stamp = ++head()->dbsstamp;
    ASSERT_TRUE(eventually([&] { return u->seenstamp == stamp; }));
  }
  // Waits until the message log holds line.
  void expect_logged(const std::string &line) {
    EXPECT_TRUE(eventually([&] { return dbs.log_text().find(line) != std::string::npos; }))
        << dbs.log_text() << dbs.inst().read("stderr");
  }
  // A start-up as tolv that fails in the background with status and exactly err.
  void expect_refused(int status, const std::string &err) {
    runresult r = dbs.tolvflush_detached({"testdbs"}, tolv);
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(dbs.daemon_slot(), nullptr);
  }

  InstalledDbs dbs;
  runas tolv = tolvtest::tolv_user();
  std::string victim_;
  filestate before_;
};

// ---- Forged partition descriptors in a segment of the attacker ------------------------------

struct forgery {
  const char *name;
  const char *device;  // below the installation; "=" keeps the configured device
  int32_t offset;      // -1: keep the configured offset
  const char *reason;
};

void PrintTo(const forgery &f, std::ostream *os) { *os << f.name; }

class ForgedPartition : public Attack, public testing::WithParamInterface<forgery> {};

TEST_P(ForgedPartition, IsRefusedAndTheTargetStaysUntouched) {
  const forgery &f = GetParam();
  create_dbs(true);
  ASSERT_EQ(symlink(victim_.c_str(), dbs.inst().path("dbs/link").c_str()), 0);
  std::string device = strcmp(f.device, "=") == 0 ? dbs.device() : dbs.inst().path(f.device);
  ASSERT_LT(device.size(), sizeof part0().device);
  strcpy(part0().device, device.c_str());
  if (f.offset != -1) part0().offset = f.offset;
  ASSERT_EQ(dbs.tolvdb({"flushpct", "-1"}).status, 0);
  ASSERT_EQ(dbs.tolvdb({"touch", "500", "3", "--new"}).status, 0);
  TempInstall::setenv("TOLVNOCONFCHECK", "1");
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  expect_logged("bm_openpart: " + device + " refused: " + f.reason + "\n");
  pass(u);
  EXPECT_EQ(dbs.tolvdb({"verify"}).status, 2) << "the pages must stay dirty";
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, ForgedPartition,
    testing::Values(
        forgery{"LinkWithNegativeOffset", "dbs/link", -2048, "negative offset"},
        forgery{"LinkToARootFile", "dbs/link", -1, "not a partition of the configuration"},
        forgery{"TheRootFileItself", "victim", -1, "not a partition of the configuration"},
        forgery{"ConfiguredDeviceOtherOffset", "=", 4096, "not a partition of the configuration"}),
    [](const testing::TestParamInfo<forgery> &i) { return std::string(i.param.name); });

TEST_F(Attack, AConfiguredPartitionReplacedByALinkIsNotFollowed) {
  create_dbs(true);
  ASSERT_EQ(dbs.tolvdb({"flushpct", "-1"}).status, 0);
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  // After the start-up checks, the partition's name is made a link to the root-only file.
  ASSERT_EQ(rename(dbs.device().c_str(), (dbs.device() + ".away").c_str()), 0);
  ASSERT_EQ(symlink(victim_.c_str(), dbs.device().c_str()), 0);
  ASSERT_EQ(dbs.tolvdb({"touch", "500", "2", "--new"}).status, 0);
  expect_logged("bm_openpart: " + dbs.device() + " refused: not its own real path (a symbolic link)\n");
}

TEST_F(Attack, TolvnoconfcheckDoesNotSwitchOffTheLastPageProbe) {
  create_dbs(true);
  ASSERT_EQ(dbs.tolvdb({"flushpct", "-1"}).status, 0);
  ASSERT_EQ(truncate(dbs.device().c_str(), 100 * PAGESIZE), 0);  // shorter than configured
  TempInstall::setenv("TOLVNOCONFCHECK", "");
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  ASSERT_EQ(dbs.tolvdb({"touch", "500", "1", "--new"}).status, 0);
  expect_logged("Reading last page of " + dbs.device() + " failed. errno = -410\n");
}

TEST_F(Attack, ADbsOfTheUserTolvIsFlushed) {
  create_dbs(true);
  ASSERT_EQ(dbs.tolvdb({"flushpct", "-1"}).status, 0);
  userslot *u = start();
  ASSERT_NE(u, nullptr);
  ASSERT_EQ(dbs.tolvdb({"touch", "500", "20", "--new"}).status, 0);
  pass(u);
  pass(u);
  runresult r = dbs.tolvdb({"verify"});
  EXPECT_EQ(r.status, 0) << r.out << dbs.log_text();
  // Nothing but the daemon's own start line: no refusal, no failed write.
  std::string log = dbs.log_text();
  EXPECT_EQ(log.rfind("tolvflush: process ", 0), 0u) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

// ---- Semaphores -------------------------------------------------------------------------------

// A root-only semaphore set of another program, with known values; removed at the end.
struct foreign_set {
  static constexpr int kCount = 4;
  foreign_set() : id(semget(IPC_PRIVATE, kCount, IPC_CREAT | 0600)) {
    for (int i = 0; i < kCount; i++) semctl(id, i, SETVAL, 5 + i);
  }
  ~foreign_set() { semctl(id, 0, IPC_RMID); }
  std::vector<int> values() const {
    std::vector<int> v;
    for (int i = 0; i < kCount; i++) v.push_back(semctl(id, i, GETVAL));
    return v;
  }
  int id;
};

TEST_F(Attack, AForgedSemaphoreSetIdIsRefused) {
  create_dbs(true);
  foreign_set foreign;
  ASSERT_GE(foreign.id, 0);
  std::vector<int> values = foreign.values();
  int real = head()->semid;
  head()->semid = foreign.id;
  expect_refused(255, kInitFailed);
  EXPECT_NE(dbs.log_text().find("bm_init: semaphore set " + std::to_string(foreign.id) +
                                " refused: the set of key " + std::to_string(dbs.key()) +
                                " is " + std::to_string(real) + "\n"),
            std::string::npos)
      << dbs.log_text();
  EXPECT_EQ(foreign.values(), values);
  head()->semid = real;
}

TEST_F(Attack, ASemaphoreSetOfAnotherOwnerIsRefused) {
  create_dbs(false);
  semid_ds ds{};
  ASSERT_EQ(semctl(head()->semid, 0, IPC_STAT, &ds), 0);
  ds.sem_perm.uid = kNobody;
  ASSERT_EQ(semctl(head()->semid, 0, IPC_SET, &ds), 0);
  expect_refused(255, kInitFailed);
  EXPECT_NE(dbs.log_text().find("bm_init: semaphore set " + std::to_string(head()->semid) +
                                " refused: owner 65534, creator 0 is not root or tolv\n"),
            std::string::npos)
      << dbs.log_text();
}

// ---- Segments ---------------------------------------------------------------------------------

TEST_F(Attack, ASegmentHandedToRootByAnotherUserIsRefused) {
  dbs.configure();
  dbs.install_daemon();
  // The configured partition, as tolvdb create leaves it, so that the start-up gets as far as
  // the attach.
  std::string dev = dbs.device();
  dbs.inst().write("dbs/root.dbs", "");
  ASSERT_EQ(truncate(dev.c_str(), 2400 * 1024), 0);
  ASSERT_EQ(chown(dev.c_str(), tolv.uid, tolv.gid), 0);
  ASSERT_EQ(chmod(dev.c_str(), 0660), 0);
  int key = dbs.key();
  // The user nobody creates a segment at the DBS key and hands it to root.
  ASSERT_EQ(tolvtest::as_user({kNobody, kNobody},
                              [key] { return shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600) < 0; }),
            0);
  int id = shmget(key, 0, 0);
  ASSERT_GE(id, 0);
  shmid_ds ds{};
  ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
  ds.shm_perm.uid = 0;
  ds.shm_perm.gid = 0;
  ASSERT_EQ(shmctl(id, IPC_SET, &ds), 0);
  expect_refused(255, kInitFailed);
  EXPECT_NE(dbs.log_text().find("ba_shmat: segment " + std::to_string(id) + " of key " +
                                std::to_string(key) + " refused: owner 0, creator 65534 is " +
                                "not root or tolv\n"),
            std::string::npos)
      << dbs.log_text();
}

// ---- Names that lead out of the installation ------------------------------------------------

struct badname {
  const char *name;
  const char *var;
  const char *value;
  const char *message;
};

void PrintTo(const badname &b, std::ostream *os) { *os << b.name; }

class BadName : public Attack, public testing::WithParamInterface<badname> {};

TEST_P(BadName, IsRefusedBeforeAnyFileIsTouched) {
  const badname &b = GetParam();
  create_dbs(false);
  // What the names would reach: the configuration and log of "../victim", a language file.
  dbs.inst().write("victim.cfg", kSecret);
  dbs.inst().write("victim.nls", kSecret);
  for (const char *f : {"victim.cfg", "victim.nls"})
    ASSERT_EQ(chmod(dbs.inst().path(f).c_str(), 0600), 0);
  filestate cfg = state_of(dbs.inst().path("victim.cfg"));
  TempInstall::setenv(b.var, b.value);
  std::vector<std::string> args{strcmp(b.var, "TOLVDBS") == 0 ? b.value : "testdbs"};
  runresult r = dbs.tolvflush_detached(args, tolv);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, b.message);
  EXPECT_EQ(state_of(dbs.inst().path("victim.cfg")), cfg);
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, BadName,
    testing::Values(
        badname{"DbsUp", "TOLVDBS", "../victim", "DBS name (../victim) is not a plain name\n"},
        badname{"DbsPath", "TOLVDBS", "a/b", "DBS name (a/b) is not a plain name\n"},
        badname{"DbsHidden", "TOLVDBS", ".x", "DBS name (.x) is not a plain name\n"},
        badname{"LangUp", "TOLVLANG", "..", "TOLVLANG (..) is not a plain name\n"},
        badname{"LangPath", "TOLVLANG", "../../x", "TOLVLANG (../../x) is not a plain name\n"},
        badname{"NlsUp", "TOLVNLS", "../../victim",
                "TOLVNLS (../../victim) is not a plain name\n"}),
    [](const testing::TestParamInfo<badname> &i) { return std::string(i.param.name); });

// Names far past every buffer the daemon keeps them in: each is refused with its message, in full
// (never cut to a shorter name that could lead elsewhere), and nothing is touched.
TEST_F(Attack, OverlongNamesAreRefusedWhole) {
  create_dbs(false);
  const std::string home = dbs.inst().home(), cfg = dbs.inst().path("etc/testdbs.cfg");
  filestate before = state_of(cfg);
  std::string longhome;
  while (longhome.size() < 5000) longhome += home;
  const std::string d(300, 'd'), l(300, 'l'), n(300, 'n');
  const struct {
    const char *var;
    std::string value, err;
  } cases[] = {
      {"TOLVHOME", longhome, "tolvflush: " + longhome + " is not the installation of this program\n"},
      {"TOLVDBS", d, "TOLVDBS (" + d + ") too long\n"},
      {"TOLVLANG", l, "Cannot open language file " + home + "/msg/" + l + "/geriso.nls\n"},
      {"TOLVNLS", n, "Cannot open language file " + home + "/msg/eng/" + n + ".nls\n"},
  };
  for (const auto &c : cases) {
    const char *saved = getenv(c.var);
    std::string old = saved != nullptr ? saved : "";
    TempInstall::setenv(c.var, c.value);
    runresult r = dbs.tolvflush_detached({strcmp(c.var, "TOLVDBS") == 0 ? d : "testdbs"}, tolv);
    TempInstall::setenv(c.var, old);
    EXPECT_EQ(r.status, 1) << c.var;
    EXPECT_EQ(r.err, c.err) << c.var;
    EXPECT_EQ(dbs.daemon_slot(), nullptr) << c.var;
  }
  EXPECT_EQ(state_of(cfg), before);
}

// ---- Configuration file -----------------------------------------------------------------------

TEST_F(Attack, AConfigurationThroughALinkIsRefusedWithoutRevealingItsTarget) {
  dbs.install_daemon();
  ASSERT_EQ(symlink(victim_.c_str(), dbs.inst().path("etc/testdbs.cfg").c_str()), 0);
  expect_refused(1, "Cannot open configuration file " + dbs.inst().path("etc/testdbs.cfg") +
                        " (errno 40)\n");
}

// The configured partition path reaches a file through a link: refused at start-up, before
// anything is opened for update, for a link at its end and for one in a directory.
TEST_F(Attack, AConfiguredPartitionThroughALinkIsRefusedBeforeItIsOpened) {
  create_dbs(false);
  ASSERT_EQ(symlink(victim_.c_str(), dbs.inst().path("dbs/link").c_str()), 0);
  ASSERT_EQ(symlink(dbs.inst().path("dbs").c_str(), dbs.inst().path("dbs2").c_str()), 0);
  const std::string config = dbs.inst().read("etc/testdbs.cfg");
  for (const std::string &path : {dbs.inst().path("dbs/link"), dbs.inst().path("dbs2/root.dbs")}) {
    SCOPED_TRACE(path);
    std::string forged = config;
    forged.replace(forged.find(dbs.device()), dbs.device().size(), path);
    dbs.inst().write("etc/testdbs.cfg", forged);
    expect_refused(1, "Cannot open partition " + path + " for update (errno 40)\n");
  }
}

TEST_F(Attack, AConfigurationOfAnotherOwnerIsRefused) {
  create_dbs(false);
  std::string cfg = dbs.inst().path("etc/testdbs.cfg");
  ASSERT_EQ(chown(cfg.c_str(), kNobody, kNobody), 0);
  expect_refused(1, "Cannot open configuration file " + cfg + " (errno 13)\n");
  ASSERT_EQ(chown(cfg.c_str(), tolv.uid, tolv.gid), 0);  // the user tolv may own it
  ASSERT_NE(start(), nullptr);
}

// ---- Hard links -------------------------------------------------------------------------------

TEST_F(Attack, AHardLinkedMessageLogIsNeitherWrittenNorChmodded) {
  create_dbs(false);
  std::string log = dbs.inst().path("log/testdbs");
  ASSERT_EQ(chown(dbs.inst().path("log").c_str(), tolv.uid, tolv.gid), 0);
  std::string target = victim_;
  int made = tolvtest::as_user(tolv, [&] { return link(target.c_str(), log.c_str()) == 0 ? 0 : errno; });
  if (made != 0) {
    // fs.protected_hardlinks keeps tolv from linking root's file; the daemon must not rely on
    // it, so root lays the same trap (as an installation without that setting allows).
    RecordProperty("link", "made by root: fs.protected_hardlinks forbids it to tolv");
    ASSERT_EQ(link(victim_.c_str(), log.c_str()), 0);
  }
  before_ = state_of(victim_);  // now with its second link
  strcpy(part0().device, "/dev/full");  // the next open is refused and logged
  ASSERT_EQ(dbs.tolvdb({"touch", "500", "1", "--new"}).status, 0);
  ASSERT_EQ(dbs.tolvdb({"flushpct", "-1"}).status, 0);
  start();
  EXPECT_TRUE(eventually([&] {
    // The daemon's start line is the first entry it tries; stderr goes to /dev/null after it.
    return dbs.inst().read("stderr").find(": Cannot open logfile " + log) != std::string::npos;
  })) << dbs.inst().read("stderr");
}

TEST_F(Attack, AProgramFileWithASecondLinkIsRefused) {
  create_dbs(false);
  std::string prog = dbs.inst().path("bin/tolvflush");
  ASSERT_EQ(link(prog.c_str(), dbs.inst().path("tolvflush.again").c_str()), 0);
  expect_refused(1, "tolvflush: " + prog + " has 2 links; the program file must have one\n");
}

}  // namespace
