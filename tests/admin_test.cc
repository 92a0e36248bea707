// End-to-end tests of running a DBS the way an administrator does: the daemon lets go of its
// caller, logs its start and end, keeps a status record; tolvdb daemon start|stop|status, reap,
// stat --watch; monitoring as a member of group tolv. Real programs of a temporary
// installation (InstalledDbs), real kill -9. These tests need root and the user tolv.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>

#include "bm/bm_io.h"
#include "testing/installed.h"
#include "testing/segment.h"

namespace {

using tolvtest::eventually;
using tolvtest::InstalledDbs;
using tolvtest::runresult;

class Admin : public testing::Test {
 public:
  dbshead *head() const { return dbs.head(); }

 protected:
  void SetUp() override {
    if (geteuid() != 0 || getpwnam("tolv") == nullptr)
      GTEST_SKIP() << "needs root and the user tolv";
    runresult r = dbs.create();
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_NE(dbs.attach(), nullptr);
  }
  runresult tolvdb(const std::vector<std::string> &args, tolvtest::runas as = {}) const {
    return dbs.run(tolvtest::tolvdb_path(), args, as);
  }
  // Starts a daemon with tolvflush directly and waits for its (further) slot.
  userslot *start_direct() {
    int before = registered();
    EXPECT_EQ(dbs.tolvflush({"testdbs"}).status, 0);
    EXPECT_TRUE(eventually([&] { return registered() == before + 1; }))
        << dbs.inst().read("stderr");
    userslot *last = nullptr;
    for (int i = 0; i < head()->nusers; i++)
      if (strcmp(head()->users[i].progname, "TOLVFLUSH") == 0 && !seen(head()->users[i].pid))
        last = &head()->users[i];
    if (last != nullptr) pids.push_back(last->pid);
    return last;
  }
  int registered() const {
    int n = 0;
    for (int i = 0; i < head()->nusers; i++) n += head()->users[i].progname[0] != '\0';
    return n;
  }
  bool seen(pid_t pid) const { return std::find(pids.begin(), pids.end(), pid) != pids.end(); }
  // kill -9 and collect (the test process is the subreaper of the detached daemons).
  void kill9(pid_t pid) {
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    EXPECT_EQ(dbs.wait_exit(pid), -1);
  }
  pagebuf *buffer_of(int32_t p) const {
    for (int l = 0; l < head()->nlists; l++)
      for (int b = 0; b < head()->lists[l].nbufs; b++)
        if (pg_word(head()->lists[l].bufs[b].page, PH_PAGENR) == p)
          return &head()->lists[l].bufs[b];
    return nullptr;
  }
  std::string status_record() const { return dbs.inst().read("log/testdbs.status"); }

  InstalledDbs dbs;
  std::vector<pid_t> pids;
};

// The target of descriptor fd of process pid.
std::string fd_target(pid_t pid, int fd) {
  char link[64], target[PATH_MAX] = "";
  snprintf(link, sizeof link, "/proc/%d/fd/%d", static_cast<int>(pid), fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

// ---- The daemon lets go of its caller -----------------------------------------------------------

TEST_F(Admin, CallerReadingTheDaemonsOutputReachesEndOfFile) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string prog = dbs.inst().path("bin/tolvflush");
  pid_t child = fork();
  if (child == 0) {  // out=$(tolvflush testdbs 2>&1)
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    execl(prog.c_str(), prog.c_str(), "testdbs", static_cast<char *>(nullptr));
    _exit(98);
  }
  close(fds[1]);
  std::string said;
  bool eof = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!eof && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) said.append(buf, static_cast<size_t>(n));
    eof = n == 0;
  }
  close(fds[0]);
  EXPECT_TRUE(eof) << "the caller still waits on the daemon's output";
  EXPECT_EQ(said, "");
  EXPECT_EQ(dbs.wait_exit(child), 0);
  userslot *u = dbs.daemon_slot();
  ASSERT_NE(u, nullptr);  // and the daemon runs on
  for (int fd = 0; fd <= 2; fd++) EXPECT_EQ(fd_target(u->pid, fd), "/dev/null") << fd;
}

TEST_F(Admin, StartAndEndAreLoggedWithTheReason) {
  struct ending {
    const char *reason;
    void (*stop)(Admin *, userslot *);
    int status;
  };
  const ending endings[] = {
      {"SIGTERM", [](Admin *, userslot *u) { kill(u->pid, SIGTERM); }, 0},
      {"DBS offline (state 0)", [](Admin *t, userslot *) { t->head()->state = 0; }, 0},
      // A server that cleared the slot (it believed the daemon dead): the daemon stops and
      // finds no slot to release.
      {"user slot gone", [](Admin *, userslot *u) { memset(static_cast<void *>(u), 0, sizeof *u); },
       255},
  };
  for (const ending &e : endings) {
    head()->state = DBS_ONLINE;
    userslot *u = start_direct();
    ASSERT_NE(u, nullptr);
    pid_t pid = u->pid;
    e.stop(this, u);
    EXPECT_EQ(dbs.wait_exit(pid), e.status) << e.reason;
    std::string log = dbs.log_text();
    const std::string me = "tolvflush: process " + std::to_string(pid);
    EXPECT_NE(log.find(me + " started in user slot "), std::string::npos) << log;
    EXPECT_NE(log.find(me + " stops after "), std::string::npos) << log;
    EXPECT_NE(log.find(std::string(" passes: ") + e.reason + "\n"), std::string::npos) << log;
    EXPECT_NE(status_record().find(std::string("state stopped: ") + e.reason + "\n"),
              std::string::npos)
        << status_record();
  }
}

// ---- tolvdb daemon start|stop|status ------------------------------------------------------------

// A status record that cannot be written is said once, not every second; once the obstacle is
// gone the record is written again.
TEST_F(Admin, AnUnwritableStatusRecordIsSaidOnceAndWrittenWhenItCanBe) {
  std::string path = dbs.inst().path("log/testdbs.status");
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  ASSERT_NE(start_direct(), nullptr);
  const std::string line = "tolvflush: status record not written: Is a directory\n";
  auto said = [&] {
    std::string log = dbs.inst().read("log/testdbs");
    size_t n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) n++;
    return n;
  };
  ASSERT_TRUE(eventually([&] { return said() == 1; })) << dbs.inst().read("log/testdbs");
  ASSERT_EQ(rmdir(path.c_str()), 0);
  ASSERT_TRUE(eventually([&] { return status_record().find("passes ") != std::string::npos; }));
  EXPECT_EQ(said(), 1u);
}

TEST_F(Admin, DaemonStartStatusStopLikePgCtl) {
  runresult r = tolvdb({"daemon", "status"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "tolvflush of DBS testdbs: not running\n");

  r = tolvdb({"daemon", "start"});
  ASSERT_EQ(r.status, 0) << r.err;
  userslot *u = dbs.daemon_slot();
  ASSERT_NE(u, nullptr);
  pid_t pid = u->pid;
  EXPECT_EQ(r.out, "tolvflush of DBS testdbs started: process " + std::to_string(pid) + "\n");
  EXPECT_EQ(r.err, "");

  r = tolvdb({"daemon", "start"});  // refused: one runs already
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tolvdb: tolvflush is running already as process " + std::to_string(pid) + "\n");

  ASSERT_TRUE(eventually([&] { return status_record().find("passes 2\n") != std::string::npos; }));
  r = tolvdb({"daemon", "status"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const std::string &line :
       {std::string("tolvflush of DBS testdbs: running\n"),
        "pid            " + std::to_string(pid) + "\n", std::string("state          running\n"),
        std::string("share          10% of each list\n"), std::string("write failures 0\n")})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
  for (const char *name :
       {"passes         ", "pages written  0", "last pass      2", "started        2"})
    EXPECT_NE(r.out.find(name), std::string::npos) << name << r.out;

  r = tolvdb({"daemon", "stop"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "tolvflush of DBS testdbs stopped: process " + std::to_string(pid) + "\n");
  EXPECT_EQ(dbs.daemon_slot(), nullptr);  // stop returned after the slot was free
  EXPECT_EQ(dbs.wait_exit(pid), 0);

  r = tolvdb({"daemon", "status"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("not running\nlast run:\npid            " + std::to_string(pid) +
                       "\nstate          stopped: SIGTERM\n"),
            std::string::npos)
      << r.out;
  r = tolvdb({"daemon", "stop"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "tolvflush of DBS testdbs is not running\n");
}

TEST_F(Admin, DaemonStartReportsTheFailureWithItsStatus) {
  ASSERT_EQ(tolvdb({"state", "2"}).status, 0);
  runresult r = tolvdb({"daemon", "start"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.substr(0, r.err.find("Errorcodes")), "DBS not in online mode\n") << r.err;
  EXPECT_NE(r.err.find("\ntolvdb: tolvflush did not start\n"), std::string::npos) << r.err;

  ASSERT_EQ(tolvdb({"state", "1"}).status, 0);
  dbs.install_daemon(0755);  // the installation check fails before the attach
  r = tolvdb({"daemon", "start"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Bad permission of " + dbs.inst().path("bin/tolvflush") +
                       ". Expected 04750\ntolvdb: tolvflush did not start\n");
  EXPECT_EQ(dbs.daemon_slot(), nullptr);
}

// ---- Dead processes: real kill -9 ---------------------------------------------------------------

TEST_F(Admin, DaemonKilledWhileAPageWasCollectedIsReaped) {
  ASSERT_EQ(tolvdb({"flushpct", "-1"}).status, 0);
  ASSERT_EQ(tolvdb({"touch", "500", "1", "--new"}).status, 0);
  // The page's before image waits in memory: the daemon collects the page and waits for it.
  pg_setword(head()->images.get(), PH_PAGENR, 500);
  head()->nimg = 1;
  userslot *u = start_direct();
  ASSERT_NE(u, nullptr);
  ASSERT_TRUE(eventually([&] { return (u->uflags & US_WAITING) != 0 && u->waitkind == 'I'; }));
  ASSERT_EQ(buffer_of(500)->flags, BF_FLUSHING);
  pid_t pid = u->pid;
  int slot = u->uindex;
  kill9(pid);
  head()->nimg = 0;  // the image is written; only the dead daemon's mark is left

  runresult r = tolvdb({"reap"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "bm_reap: process " + std::to_string(pid) + " (TOLVFLUSH) of user slot " +
                       std::to_string(slot) +
                       " no longer exists; slot released\n"
                       "bm_reap: page 500 was left being flushed by no living flush daemon; "
                       "dirty again\n"
                       "1 user slot released\n");
  EXPECT_EQ(buffer_of(500)->flags, BF_DIRTY);
  EXPECT_NE(dbs.log_text().find(r.out.substr(0, r.out.find("1 user slot"))), std::string::npos);

  // The next daemon writes the page.
  ASSERT_EQ(tolvdb({"daemon", "start"}).status, 0);
  EXPECT_TRUE(eventually([&] { return buffer_of(500)->flags == 0; }));
}

TEST_F(Admin, EightKilledDaemonsOnAnEightSlotDbsAreReapedByAnyCommand) {
  ASSERT_EQ(head()->nusers, 8);
  for (int i = 0; i < 8; i++) ASSERT_NE(start_direct(), nullptr) << i;
  for (pid_t pid : pids) kill9(pid);
  EXPECT_EQ(registered(), 8);
  // Every command that attaches reaps silently first.
  runresult r = tolvdb({"stat"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(registered(), 0);
  EXPECT_EQ(r.out.find("TOLVFLUSH"), std::string::npos) << r.out;
  r = tolvdb({"daemon", "start"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(dbs.daemon_slot(), nullptr);
}

// ---- Monitoring as a member of group tolv
// ---------------------------------------------------------

TEST_F(Admin, GroupTolvMayLookButNotChange) {
  shmid_ds ds;
  ASSERT_EQ(shmctl(shmget(dbs.key(), 0, 0), IPC_STAT, &ds), 0);
  EXPECT_EQ(ds.shm_perm.mode & 0777, 0640u);
  EXPECT_EQ(ds.shm_perm.gid, tolvtest::tolv_user().gid);
  // The daemon started by the user tolv (set-user-id root) attaches the 0640 segment.
  runresult r = tolvdb({"daemon", "start"}, tolvtest::tolv_user());
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_NE(dbs.daemon_slot(), nullptr);

  r = tolvdb({"stat"}, tolvtest::tolv_user());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("state 1 (online)"), 0u) << r.out;
  EXPECT_NE(r.out.find("TOLVFLUSH"), std::string::npos) << r.out;
  r = tolvdb({"daemon", "status"}, tolvtest::tolv_user());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("running\npid"), std::string::npos) << r.out;

  for (const std::vector<std::string> &change :
       {std::vector<std::string>{"state", "0"}, std::vector<std::string>{"flushpct", "50"},
        std::vector<std::string>{"reap"}}) {
    r = tolvdb(change, tolvtest::tolv_user());
    EXPECT_EQ(r.status, 1) << change[0];
    EXPECT_EQ(r.err, "tolvdb: permission denied: only the owner of the segment of key " +
                         std::to_string(dbs.key()) +
                         " may change DBS testdbs (members of group tolv may run stat and "
                         "daemon status)\n");
  }
  EXPECT_EQ(head()->state, DBS_ONLINE);
  EXPECT_EQ(head()->flushpct, 10);
}

// ---- tolvdb stat --watch
// ---------------------------------------------------------------------------

TEST_F(Admin, StatWatchPrintsTheReportAndOneRateLinePerInterval) {
  runresult r = tolvdb({"stat", "--watch", "1", "--count", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  size_t table = r.out.find("\ntime       read/s written/s flushwait/s biwait/s nofree/s  dirty\n");
  ASSERT_NE(table, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("state 1 (online)"), 0u);
  std::string rates = r.out.substr(table + 1);
  EXPECT_EQ(std::count(rates.begin(), rates.end(), '\n'), 3) << rates;
  for (const std::vector<std::string> &bad :
       {std::vector<std::string>{"stat", "--watch"},
        std::vector<std::string>{"stat", "--watch", "0"},
        std::vector<std::string>{"stat", "--watch", "1", "--count"},
        std::vector<std::string>{"stat", "--count", "1"}}) {
    r = tolvdb(bad);
    EXPECT_EQ(r.status, 1) << bad.size();
  }
}

}  // namespace
