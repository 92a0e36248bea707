// Tests of the program tolvdb on a real DBS in a temporary installation: create lays out the
// partition file and the segment by the sizing rules, the subcommands change and report the
// header, touch and verify give verify's three exit statuses, remove leaves no IPC object; and
// every failure with its message and exit status. Creating a DBS gives the partition file to
// the user tolv, so those tests need root.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "bm/bm_globals.h"
#include "bm/bm_init.h"
#include "bm/bm_io.h"
#include "flush/ad_check.h"
#include "testing/installed.h"
#include "testing/segment.h"
#include "tools/srv_create.h"
#include "tools/srv_layout.h"

namespace {

using tolvtest::TempInstall;

constexpr const char *kUsage =
    "usage: tolvdb create [--imgwriter] | state N | flushpct N | touch FIRST COUNT [--new] |\n"
    "              verify | stat [--watch SECONDS [--count N]] | reap | daemon start|stop|status |\n"
    "              imgwriter | arch on|copy|off|take | remove | checkpoint |\n"
    "              log write TYPE LEN [COUNT] | log read [N] | log files | log release N |\n"
    "              table create NAME NCOLS | table show ID | table insert ID VALUE... |\n"
    "              table dump ID [DELIM] | free | --help\n";

using result = tolvtest::runresult;

bool no_ipc(int key) { return shmget(key, 0, 0) < 0 && semget(key, 0, 0) < 0; }

// The DBS of a temporary installation (tolvtest::InstalledDbs), with the names these tests use.
class Tolvdb : public testing::Test {
 protected:
  std::string device() const { return dbs.device(); }
  void configure(const std::string &extra = "") const { dbs.configure(extra); }
  // Runs tolvdb (or program) with args.
  result run(const std::vector<std::string> &args,
             const std::string &program = tolvtest::tolvdb_path()) const {
    return dbs.run(program, args);
  }
  // Attaches the DBS in the test process and binds the buffer manager to it.
  dbshead *attach() { return head = dbs.attach(); }
  // The daemon's flush pass over every list.
  void flush_all() const {
    for (int i = 0; i < head->nlists; i++) ad_flush(&head->lists[i], AD_ALLBUFFERS);
  }
  std::string disk_page(int32_t k, const std::string &file = "") const {
    return (file.empty() ? tolvtest::read_file(device()) : file)
        .substr(size_t(k) * PAGESIZE, PAGESIZE);
  }
  std::string with_key(const char *fmt) const {
    char text[300];
    snprintf(text, sizeof text, fmt, key);
    return text;
  }

  tolvtest::InstalledDbs dbs;
  const TempInstall &inst = dbs.inst();
  const int key = dbs.key();
  dbshead *head = nullptr;
};

// A configured installation in which tolvdb create has made the DBS (needs root).
class Created : public Tolvdb {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || getpwnam("tolv") == nullptr)
      GTEST_SKIP() << "needs root and the user tolv";
    configure();
    created = run({"create"});
    ASSERT_EQ(created.status, 0) << created.err;
    ASSERT_NE(attach(), nullptr);
  }
  result created;
};

// ---- create --------------------------------------------------------------------------------

TEST_F(Created, CreateReportsTheDbsAndGoesOnline) {
  EXPECT_EQ(created.err, "");
  EXPECT_EQ(created.out, with_key("DBS testdbs created: key %d at 0x40000000, 8 user slots, 2 "
                                  "lists of 100 buffers, 3 log files of 100 pages from page 3, "
                                  "before-image area pages 303 to 402\n"));
  // The values the report line does not show.
  EXPECT_EQ(head->state, DBS_ONLINE);
  EXPECT_EQ(head->imgmax, 32);
  EXPECT_EQ(head->ntables, 8);
  EXPECT_EQ(head->flushpct, 10);
  EXPECT_EQ(head->mem.memlimit, 256 * 1024);
}

// The formatted pages follow the sizing and carry the segment's stamp and sequence numbers.
TEST_F(Created, PartitionFileIsTolvsAndMatchesTheSegment) {
  struct stat st;
  ASSERT_EQ(stat(device().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, getpwnam("tolv")->pw_uid);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_size, 1200 * PAGESIZE);
  std::string file = tolvtest::read_file(device());
  std::string bm = disk_page(1, file);
  EXPECT_EQ(bm.substr(32, 50), std::string(50, '\xFF'));  // pages 0..399
  EXPECT_EQ(bm[32 + 50], '\xE0');                         // 400..402 reserved, 403.. free
  EXPECT_EQ(bm[32 + 150], '\xFF');                        // beyond the dbspace
  for (int f = 0; f < 3; f++) {
    std::string h = disk_page(3 + 100 * f, file);
    EXPECT_EQ(pg_word(h.data(), PH_PAGETYPE), 0x40000);
    EXPECT_EQ(pg_word(h.data(), PH_STAMP), head->dbsstamp);
    EXPECT_EQ(pg_word(h.data(), PH_BISEQ), f + 1);
  }
  EXPECT_EQ(head->log_seq, 4);
  EXPECT_EQ(pg_word(disk_page(303, file).data(), PH_STAMP), head->dbsstamp);
  EXPECT_EQ(pg_word(disk_page(1199, file).data(), PH_PAGENR), 1199);
}

TEST_F(Created, SecondCreateLeavesTheRunningDbsAlone) {
  unsigned char marker[PAGESIZE] = {};
  pg_setword(marker, 0, 500);
  pg_setword(marker, 100, 0x5a5a5a5a);
  ASSERT_EQ(bm_pwrite(500, marker, PIO_ANYPART), 0);
  result r = run({"create"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, with_key("tolvdb: a segment or semaphore set with key %d exists already\n"));
  EXPECT_EQ(pg_word(disk_page(500).data(), 100), 0x5a5a5a5a);  // not formatted again
  EXPECT_EQ(head->state, DBS_ONLINE);
  EXPECT_EQ(access(device().c_str(), F_OK), 0);  // the existing file stays
}

// ---- Header fields and the report -------------------------------------------------------------

TEST_F(Created, StateAndFlushpctAreWrittenAndReported) {
  EXPECT_EQ(run({"state", "2"}).status, 0);
  EXPECT_EQ(run({"flushpct", "-1"}).status, 0);
  EXPECT_EQ(head->state, 2);
  EXPECT_EQ(head->flushpct, -1);
  result r = run({"stat"});
  EXPECT_EQ(r.status, 0);
  char first[120];
  snprintf(first, sizeof first,
           "state 2 (not online), stamp %d, flushpct -1, key %d at 0x40000000\n", head->dbsstamp,
           key);
  EXPECT_EQ(r.out.substr(0, strlen(first)), first);
  EXPECT_NE(r.out.find("   1      100     0     0     0        0       -\n"), std::string::npos);
  EXPECT_EQ(run({"flushpct", "0x32"}).status, 0);
  EXPECT_EQ(head->flushpct, 50);
}

// ---- touch and verify --------------------------------------------------------------------------

TEST_F(Created, VerifyGivesItsThreeStatuses) {
  result r = run({"touch", "500", "10"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  r = run({"verify"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "10 buffered pages: 0 equal, 10 dirty, 0 differing\n");
  flush_all();
  r = run({"verify"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "10 buffered pages: 10 equal, 0 dirty, 0 differing\n");
  std::string stale = disk_page(400);  // some other page's image
  ASSERT_EQ(bm_pwrite(503, stale.data(), PIO_ANYPART), 0);
  r = run({"verify"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "page 503 differs from its disk copy\n"
            "10 buffered pages: 9 equal, 0 dirty, 1 differing\n");
  EXPECT_EQ(head->st_requests, 10);
}

// Fills both lists, pins every buffer of list 1 as a reader would, and starts a touch that
// must wait for a buffer; returns the forked child that runs it (exit 0 when tolvdb ended with
// status and err) and its user slot.
class Waiting : public Created {
 protected:
  pid_t start(int status, const std::string &err) {
    // 100 pages in each list: 96 from eight-page groups in turn, then four more in each.
    for (auto [first, count] : {std::pair{"416", "192"}, {"608", "4"}, {"616", "4"}})
      EXPECT_EQ(run({"touch", first, count}).status, 0);
    fix_list1(1);
    pid_t child = tolvtest::fork_child([this, status, err] {
      result r = run({"touch", "620", "2"});  // list 1; the stop flag is seen after a page
      return r.status == status && r.err == err ? 0 : 1;
    });
    EXPECT_TRUE(tolvtest::eventually([this] { return (slot = waiter()) != nullptr; }));
    return child;
  }
  // The slot of a process registered as TOLVDB that waits for a buffer, or null.
  const userslot *waiter() const {
    for (int i = 0; i < head->nusers; i++) {
      const userslot &u = head->users[i];
      if (strcmp(u.progname, "TOLVDB") == 0 && (u.uflags & US_WAITING) != 0 && u.waitkind == 'P')
        return &u;
    }
    return nullptr;
  }
  void fix_list1(int32_t fixcnt) {
    buflist &l = head->lists[1];
    for (int b = 0; b < l.nbufs; b++) __atomic_store_n(&l.bufs[b].fixcnt, fixcnt, __ATOMIC_SEQ_CST);
  }
  const userslot *slot = nullptr;
};

TEST_F(Waiting, TouchShowsItsWaitAndEndsWhenABufferIsReleased) {
  pid_t child = start(0, "");
  ASSERT_NE(slot, nullptr);
  EXPECT_STREQ(slot->host, "local");
  fix_list1(0);
  EXPECT_EQ(tolvtest::wait_child(child), 0);
  EXPECT_EQ(slot->progname[0], '\0');  // released
  EXPECT_EQ(pg_word(head->lists[1].tail->page, 0), 621);
}

TEST_F(Waiting, SignalEndsTheTouchAndReleasesTheSlot) {
  pid_t child = start(1, "tolvdb: touch stopped by a signal\n");
  ASSERT_NE(slot, nullptr);
  kill(slot->pid, SIGTERM);
  fix_list1(0);  // the buffer wait itself knows no stop flag
  EXPECT_EQ(tolvtest::wait_child(child), 0);
  EXPECT_EQ(slot->progname[0], '\0');
}

// The stand-in with the real daemon, installed in the temporary installation as the daemon's
// installation check demands (root, group tolv, mode 04750).
class WithDaemon : public Created {
 protected:
  void SetUp() override {
    Created::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    dbs.install_daemon();
  }
  const userslot *daemon() const { return dbs.daemon_slot(); }
  int dirty() const {
    int n = 0;
    for (int i = 0; i < head->nlists; i++)
      for (int b = 0; b < head->lists[i].nbufs; b++)
        n += (head->lists[i].bufs[b].flags & BF_DIRTY) != 0;
    return n;
  }
};

TEST_F(WithDaemon, DaemonCleansWhatTouchDirtiedAndLeavesOnRemove) {
  ASSERT_EQ(run({"flushpct", "-1"}).status, 0);
  result d = dbs.tolvflush({"testdbs"});
  ASSERT_EQ(d.status, 0) << d.err;  // the parent; the daemon goes on in the background
  ASSERT_TRUE(tolvtest::eventually([this] { return daemon() != nullptr; }));
  ASSERT_EQ(run({"touch", "500", "150"}).status, 0);
  EXPECT_TRUE(tolvtest::eventually([this] { return dirty() == 0; }));
  result r = run({"verify"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "150 buffered pages: 150 equal, 0 dirty, 0 differing\n");
  r = run({"remove"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(daemon(), nullptr);  // it left its slot when the DBS went offline
}

TEST_F(Created, TouchTakesHexadecimalPageNumbers) {
  EXPECT_EQ(run({"touch", "0x200", "1"}).status, 0);
  EXPECT_EQ(pg_word(head->lists[0].tail->page, 0), 512);
}

// ---- remove ------------------------------------------------------------------------------------

TEST_F(Created, RemoveLeavesNoIpcObject) {
  result r = run({"remove"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_TRUE(no_ipc(key));
  EXPECT_EQ(access(device().c_str(), F_OK), 0);  // the partition file stays
}

TEST_F(Created, RemoveTakesTheDbsOfflineAndWaitsForItsUsers) {
  // A registered process that leaves its slot when the DBS goes offline, like the daemon.
  pid_t child = tolvtest::fork_child([this] {
    tolvtest::register_slot(2, "TOLVFLUSH");
    if (!tolvtest::eventually([this] { return head->state != DBS_ONLINE; })) return 1;
    memset(&head->users[2], 0, sizeof(userslot));
    return 0;
  });
  ASSERT_TRUE(tolvtest::eventually([this] { return head->users[2].progname[0] != '\0'; }));
  result r = run({"remove"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(tolvtest::wait_child(child), 0);
  EXPECT_EQ(head->users[2].progname[0], '\0');  // it had left before the removal
}

TEST_F(Created, DeadRegisteredProcessIsNotWaitedFor) {
  pid_t gone = tolvtest::fork_child([] { return 0; });
  ASSERT_EQ(tolvtest::wait_child(gone), 0);
  userslot *u = tolvtest::register_slot(2, "TOLVFLUSH");
  u->pid = gone;
  result r = run({"remove"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

// ---- Error paths -------------------------------------------------------------------------------

TEST_F(Tolvdb, UsageErrors) {
  configure();
  const std::vector<std::vector<std::string>> wrong = {
      {}, {"state"}, {"touch", "1"}, {"stat", "x"}, {"--help", "x"}, {"create", "now"}};
  for (const auto &args : wrong) {
    result r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
  }
  result r = run({"bogus"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string("tolvdb: unknown command \"bogus\"\n") + kUsage);
}

TEST_F(Tolvdb, BadNumbersAreNamed) {
  configure();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"touch", "x", "1"}, "bad page number \"x\": a number in 0 .. 2147483647"},
      {{"touch", "-1", "1"}, "bad page number \"-1\": a number in 0 .. 2147483647"},
      {{"touch", "010x", "1"}, "bad page number \"010x\": a number in 0 .. 2147483647"},
      {{"touch", "0x", "1"}, "bad page number \"0x\": a number in 0 .. 2147483647"},
      {{"touch", " 5", "1"}, "bad page number \" 5\": a number in 0 .. 2147483647"},
      {{"touch", "+5", "1"}, "bad page number \"+5\": a number in 0 .. 2147483647"},
      {{"touch", "0x-5", "1"}, "bad page number \"0x-5\": a number in 0 .. 2147483647"},
      {{"touch", "1", "0"}, "bad count \"0\": a number in 1 .. 2147483647"},
      {{"touch", "1", "99999999999"}, "bad count \"99999999999\": a number in 1 .. 2147483647"},
      {{"state", "32768"}, "bad state \"32768\": a number in -32768 .. 32767"},
      {{"flushpct", "101"}, "bad flushpct \"101\": a number in -1 .. 100"},
      {{"flushpct", ""}, "bad flushpct \"\": a number in -1 .. 100"},
  };
  for (const auto &[args, text] : cases) {
    result r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tolvdb: " + text + "\n" + kUsage);
  }
}

TEST_F(Tolvdb, HelpShowsUsageCommandsAndSizingRules) {
  result r = run({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, strlen(kUsage)), kUsage);
  for (const char *word : {"create", "touch FIRST COUNT", "verify", "remove", "buffers per list",
                           "before-image area", "4 GiB"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  EXPECT_EQ(r.err, "");
}

TEST_F(Tolvdb, ConfigurationErrorIsPrintedWithItsCatalogText) {
  result r = run({"stat"});  // no configuration file
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tolvdb: Cannot open configuration file " + inst.path("etc/testdbs.cfg") +
                       " (errno 2)\n");
}

TEST_F(Tolvdb, RemoteDbsIsRefused) {
  TempInstall::setenv("TOLVDBS", "testdbs@otherhost");
  result r = run({"stat"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "tolvdb: TOLVDBS names DBS testdbs on host otherhost; the stand-in works on "
            "local DBSs only\n");
}

TEST_F(Tolvdb, CommandsWithoutASegmentFail) {
  configure();
  for (const std::vector<std::string> &args : {std::vector<std::string>{"stat"},
                                               {"verify"},
                                               {"touch", "500", "1"},
                                               {"free"},
                                               {"state", "1"},
                                               {"flushpct", "10"}}) {
    result r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, with_key("tolvdb: no segment with key %d: DBS testdbs is not running\n"));
  }
  result r = run({"remove"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, with_key("tolvdb: no segment or semaphore set with key %d\n"));
}

TEST_F(Tolvdb, ForeignSegmentIsNeitherUsedNorRemoved) {
  configure();
  int id = shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(id, 0);
  result r = run({"remove"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, with_key("tolvdb: the segment of key %d is no DBS segment; not removed\n"));
  r = run({"stat"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, with_key("tolvdb: cannot attach the segment of key %d: Shared memory segment "
                            "is not a DBS segment (wrong magic)\n"));
  EXPECT_EQ(shmget(key, 0, 0), id);
  shmctl(id, IPC_RMID, nullptr);
}

TEST_F(Created, SegmentAtAnotherAddressThanConfiguredIsRefused) {
  configure("S 8 2000 200 80 0x50000000 1 0\n");
  result r = run({"stat"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, with_key("tolvdb: the segment of key %d was made for address 0x40000000, the "
                            "configuration names 0x50000000\n"));
}

TEST_F(Created, ReservedPagesAreRefusedByTouch) {
  result r = run({"touch", "300", "5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tolvdb: page 300 lies in the log area\n");
  r = run({"touch", "1199", "2"});
  EXPECT_EQ(r.err, "tolvdb: page 1200 lies beyond the 1200 pages of dbspace ROOT\n");
  EXPECT_EQ(head->st_requests, 0);
}

// Failures of create remove the partition file they made and leave no IPC object.
class CreateFails : public Tolvdb {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || getpwnam("tolv") == nullptr)
      GTEST_SKIP() << "needs root and the user tolv";
  }
  void expect_clean(const result &r, const std::string &err) const {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(access(device().c_str(), F_OK), 0);
    EXPECT_TRUE(no_ipc(key));
  }
};

TEST_F(CreateFails, OnAConfigurationCheck) {
  configure("S 3\n");
  expect_clean(run({"create"}), "tolvdb: S line: 1st value outside 4..9999\n");
}

TEST_F(CreateFails, OnTheSizing) {
  configure("O 0 10 20 32\n");
  expect_clean(run({"create"}),
               "tolvdb: cannot size the DBS: the archive buffer of 20 pages "
               "does not fit the arena of 32 kilobytes\n");
}

TEST_F(CreateFails, OnAnExistingKey) {
  configure();
  int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(id, 0);
  result r = run({"create"});
  semctl(id, 0, IPC_RMID);
  expect_clean(r, with_key("tolvdb: a segment or semaphore set with key %d exists already\n"));
}

TEST_F(CreateFails, OnAMissingDirectory) {
  tolvtest::remove_tree(inst.path("dbs"));
  configure();
  expect_clean(run({"create"}), "tolvdb: cannot create partition file " + device() +
                                    ": No such file or directory\n");
}

}  // namespace

// ---- The stand-in as a server: image writer, archiver, tables ---------------------------------

TEST_F(Tolvdb, CreateWithImageWriterStartsItAndRemoveStopsIt) {
  if (geteuid() != 0 || getpwnam("tolv") == nullptr) GTEST_SKIP() << "needs root and the user tolv";
  configure();
  ASSERT_EQ(run({"create", "--imgwriter"}).status, 0);
  ASSERT_NE(attach(), nullptr);
  int w = head->imgwriter;
  ASSERT_GE(w, 0);
  EXPECT_STREQ(head->users[w].progname, "TOLVDB");
  ASSERT_EQ(run({"touch", "500", "20"}).status, 0);
  // The writer, not the touches, empties the buffer: into the area, in the order taken.
  EXPECT_TRUE(tolvtest::eventually([&] { return head->nimg == 0 && head->binext == 323; }));
  for (int32_t i = 0; i < 20; i++) EXPECT_EQ(pg_word(disk_page(303 + i).data(), PH_PAGENR), 500 + i);
  result r = run({"remove"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(head->users[w].progname[0], '\0');  // it left before the segment went
  EXPECT_EQ(head->imgwriter, -1);
  EXPECT_TRUE(no_ipc(key));
}

TEST_F(Created, ArchiveCopiesAreTakenOncePerRun) {
  ASSERT_EQ(run({"arch", "copy"}).status, 0);
  EXPECT_EQ(head->archflags, AR_ACTIVE | AR_COPYPHASE);
  for (int round = 0; round < 2; round++) ASSERT_EQ(run({"touch", "500", "2"}).status, 0);
  EXPECT_EQ(run({"arch", "take"}).out, "500\n501\n");
  EXPECT_EQ(run({"arch", "take"}).out, "");
  ASSERT_EQ(run({"arch", "off"}).status, 0);
  EXPECT_EQ(head->archflags, 0u);
  EXPECT_EQ(run({"arch", "sideways"}).err, kUsage);
}

TEST_F(Created, TablesAreCreatedFilledAndDumpedThroughActions) {
  auto free_pages = [this] {
    result f = run({"free"});
    int n = -1;
    sscanf(f.out.c_str(), "dbspace %*s %d free", &n);
    return n;
  };
  int before = free_pages();
  result c = run({"table", "create", "orders", "5"});
  ASSERT_EQ(c.status, 0) << c.err;
  std::string t = c.out.substr(0, c.out.size() - 1);
  EXPECT_EQ(free_pages(), before - 12);  // root, two reserved, one column page, eight data pages
  result s = run({"table", "show", t});
  EXPECT_EQ(s.out.substr(s.out.find(':')),
            ": root page " + std::to_string(1200 - before) +
                ", 5 columns, 0 keys, row length 29\n"
                "column 1: type 4 length 4 scale 0 offset 0\n"
                "column 2: type 1 length 12 scale 0 offset 4\n"
                "column 3: type 3 length 10 scale 2 offset 16\n"
                "column 4: type -5 length 4 scale 0 offset 23\n"
                "column 5: type 5 length 2 scale 0 offset 27\n");
  const struct {
    std::vector<std::string> values;
    std::string err;  // "" when the row is taken
  } inserts[] = {
      {{"1", "widget", "12.5", "12/01/2026", "3"}, ""},
      {{"x", "a", "1", "12/01/2026", "1"}, "column 1: \"x\" is not an integer"},
      {{"2", "much-too-long-name", "1", "12/01/2026", "1"}, "column 2: \"much-too-long-name\" is not characters (at most the column's length)"},
      {{"2", "a", "123456789", "12/01/2026", "1"}, "column 3: \"123456789\" is not a decimal of the column's precision and scale"},
      {{"2", "a", "1", "02/31/2026", "1"}, "column 4: \"02/31/2026\" is not a date"},
      {{"2", "a", "1", "12/01/2026", "40000"}, "column 5: \"40000\" is not a small integer"},
      {{"2", "a"}, "table " + t + " has 5 columns, 2 values given"},
      {{"2", "gadget", "-0.75", "12/24/2026", "-7"}, ""},
  };
  for (const auto &in : inserts) {
    std::vector<std::string> args = {"table", "insert", t};
    args.insert(args.end(), in.values.begin(), in.values.end());
    result r = run(args);
    EXPECT_EQ(r.status, in.err.empty() ? 0 : 1) << in.err;
    EXPECT_EQ(r.err, in.err.empty() ? "" : "tolvdb: " + in.err + "\n");
  }
  EXPECT_EQ(run({"table", "dump", t, "|"}).out,
            "1|widget      |12.50|12/01/2026|3|\n2|gadget      |-0.75|12/24/2026|-7|\n");
  result r = run({"table", "show", "99"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(0, 18), "tolvdb: table 99: ");
  r = run({"table", "create", "a-name-of-19-bytes.", "1"});
  EXPECT_EQ(r.err, "tolvdb: bad table name \"a-name-of-19-bytes.\": 1 to 18 bytes\n");
  EXPECT_EQ(free_pages(), before - 12);  // nothing taken
}
