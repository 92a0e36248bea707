// Stress and slow tests of page requests, run with real processes on a real segment and a real
// partition file (ctest labels "stress" and "slow"; not part of the per-module unit tests).
//
// Stress: four or more workers update pages of a hot set through bm_getpage / bm_unfix on a
// pool of 8 lists x 25 buffers of a DBS made by tolvdb create, so that replacement, saving of
// replaced dirty contents, transit waits, read-in waits and flush waits all happen. The real
// daemon (the installed tolvflush) and the stand-in's image writer (tolvdb imgwriter) run
// beside them; a process of the test adds a flush pass (ad_flush) every few milliseconds, so
// that flushes meet updates far more often than the daemon's paced passes alone would make
// them.
// A monitor process checks, while they run, that no page reaches its home location before its
// before image is in the before-image area on disk. At the end, after a final flush, every page
// on disk holds its last update (the highest version any worker wrote into it).
//
// Duration: TOLV_STRESS_SECONDS (default 30) and at least TOLV_STRESS_UPDATES updates per worker
// (default 20000), whichever takes longer.
//
// Slow: a request for a list whose buffers are all fixed except the tail sleeps 61 times one
// second and fails with -333.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <pwd.h>
#include <unistd.h>
#include <vector>

#include "ba/ba_env.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_proto.h"
#include "flush/ad_check.h"
#include "testing/installed.h"
#include "testing/segment.h"
#include "tools/srv_pool.h"

namespace {

using tolvtest::eventually;
using tolvtest::fork_child;
using tolvtest::register_slot;
using tolvtest::wait_child;

constexpr int kWorkers = 4;
// The hot set: kHot pages of list 0 (groups of eight pages from kFirst, every eighth group),
// almost three times its 25 buffers; below 3/4 of the 100 bitab entries, so no checkpoint
// starts.
constexpr int kLists = 8;
constexpr int32_t kFirst = 448;
constexpr int kHot = 72;
int32_t hot_page(int i) { return kFirst + 8 * kLists * (i / 8) + i % 8; }
constexpr int32_t kAreaFirst = 303;  // before-image area of the installed DBS (303 .. 402)
constexpr int kFlusher = 6, kMonitor = 7, kFirstWorker = 2;  // 0 and 1: the daemon, the writer

int env_int(const char *name, int fallback) {
  const char *v = getenv(name);
  return v != nullptr && atoi(v) > 0 ? atoi(v) : fallback;
}

// Read before any fixture runs: the temporary installation clears the TOLV variables.
const int kUpdates = env_int("TOLV_STRESS_UPDATES", 20000);
const int kSeconds = env_int("TOLV_STRESS_SECONDS", 30);

// A pipe through which each worker reports the highest version it wrote per page.
struct report {
  int32_t pagenr, version;
};

// A DBS of 8 user slots and 8 lists of 25 buffers (about the smallest lists a configuration
// may give) with its before-image area of 100 pages (303 .. 402), made by tolvdb create with the
// daemon installed, attached in the test process.
class Stress : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || getpwnam("tolv") == nullptr)
      GTEST_SKIP() << "needs root and the user tolv";
    installed.configure("C 300 1 8 8 4\n");
    tolvtest::runresult r = installed.create();
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_NE(installed.attach(), nullptr);
    ASSERT_EQ(ba_readenv(stderr), 0);  // the workers' messages go to the DBS message log
    ASSERT_EQ(dbs()->nlists, kLists);
    ASSERT_EQ(dbs()->lists[0].nbufs, 25);
  }
  dbshead *dbs() const { return installed.head(); }
  std::vector<unsigned char> disk(int32_t p) const {
    return tolvtest::read_page(installed.device(), p);
  }

  tolvtest::InstalledDbs installed;
};


// ---- The processes ---------------------------------------------------------------------------

int worker(int slot, int updates, int seconds, int fd) {
  userslot *u = register_slot(slot);
  u->uflags = US_EA | US_ACTION;
  std::map<int32_t, int32_t> last;
  unsigned seed = static_cast<unsigned>(slot * 7919);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (int n = 0; n < updates || std::chrono::steady_clock::now() < end; n++) {
    int32_t p = hot_page(static_cast<int>(rand_r(&seed) % kHot));
    int32_t version = bm_nextseq();
    pagebuf *b = bm_getpage(p, ST_UPDATE, nullptr);
    if (b == nullptr) {
      fprintf(stderr, "worker %d: page %d: iserrno %d\n", slot, p, iserrno);
      return 10;
    }
    srv_fillpage(b->page, p, version);
    bm_unfix(b);
    bm_freelocimg(u);  // the end of this one-page action
    last[p] = version;
  }
  for (auto [p, v] : last) {
    report r{p, v};
    if (write(fd, &r, sizeof r) != sizeof r) return 11;
  }
  return 0;
}

// The flush pass of the daemon, every 2 ms, until the DBS goes offline; then one last pass.
int flusher() {
  register_slot(kFlusher, "TOLVFLUSH");
  for (bool last = false; !last;) {
    last = bm_dbs->state != DBS_ONLINE;
    for (int i = 0; i < bm_dbs->nlists; i++) ad_flush(&bm_dbs->lists[i], -1);
    bm_nap(2);
  }
  return 0;
}

// Whether the before-image area on disk holds an image of page p (pages first .. binext - 1).
bool image_on_disk(int fd, int32_t p) {
  int32_t end = __atomic_load_n(&bm_dbs->binext, __ATOMIC_ACQUIRE);
  unsigned char img[PAGESIZE];
  for (int32_t a = kAreaFirst; a < end; a++)
    if (pread(fd, img, PAGESIZE, off_t{a} * PAGESIZE) == PAGESIZE && pg_word(img, 0) == p)
      return true;
  return false;
}

// Checks until the DBS goes offline: a page whose home copy was updated (a stand-in version)
// must have its before image in the area already. Exit 0, or 20 + the offending page offset.
int monitor(const std::string &path) {
  register_slot(kMonitor);
  int fd = open(path.c_str(), O_RDONLY);
  std::vector<bool> seen(kHot, false);
  unsigned char page[PAGESIZE];
  while (bm_dbs->state == DBS_ONLINE) {
    for (int i = 0; i < kHot; i++) {
      if (seen[i]) continue;
      int32_t p = hot_page(i);
      if (pread(fd, page, PAGESIZE, off_t{p} * PAGESIZE) != PAGESIZE) return 19;
      if (pg_word(page, PH_PAGETYPE) != PT_STANDIN) continue;  // not yet written home
      if (!image_on_disk(fd, p)) return 20 + i;
      seen[i] = true;
    }
    bm_nap(1);
  }
  return 0;
}

TEST_F(Stress, ConcurrentUpdatesReachTheDiskAfterTheirImages) {
  const int updates = kUpdates, seconds = kSeconds;
  ASSERT_EQ(installed.tolvflush({"testdbs"}).status, 0);
  ASSERT_TRUE(eventually([this] { return installed.daemon_slot() != nullptr; }));
  // Executed in the child itself, so that it runs as long as the workers do and its exit
  // status is tolvdb's own.
  pid_t writer = fork_child([] {
    execl(tolvtest::tolvdb_path().c_str(), "tolvdb", "imgwriter", static_cast<char *>(nullptr));
    return 127;
  });
  ASSERT_TRUE(eventually([this] { return dbs()->imgwriter != -1; }));
  ASSERT_LT(std::max(dbs()->imgwriter, installed.daemon_slot()->uindex), kFirstWorker);
  pid_t flush = fork_child(flusher);
  std::string path = installed.device();
  pid_t mon = fork_child([path] { return monitor(path); });
  int fds[2];  // made after the helpers, so that only the workers hold its write end
  ASSERT_EQ(pipe(fds), 0);
  std::vector<pid_t> workers;
  for (int w = 0; w < kWorkers; w++)
    workers.push_back(fork_child([=] { return worker(kFirstWorker + w, updates, seconds, fds[1]); }));
  close(fds[1]);
  for (pid_t w : workers) EXPECT_EQ(wait_child(w, 280), 0);
  std::map<int32_t, int32_t> last;
  report r;
  while (read(fds[0], &r, sizeof r) == sizeof r) last[r.pagenr] = std::max(last[r.pagenr], r.version);
  close(fds[0]);
  dbs()->state = 2;  // offline: the helpers, the daemon and the writer end
  EXPECT_EQ(wait_child(writer), 0);
  EXPECT_TRUE(eventually([this] { return installed.daemon_slot() == nullptr; }));
  EXPECT_EQ(wait_child(mon), 0) << "a page reached its home before its before image";
  EXPECT_EQ(wait_child(flush), 0);
  register_slot(kFlusher, "TOLVFLUSH");  // a final pass after every image is written
  for (int i = 0; i < dbs()->nlists; i++) ad_flush(&dbs()->lists[i], -1);

  EXPECT_EQ(tolvtest::pool_problems(dbs()), "");
  EXPECT_EQ(static_cast<int>(last.size()), kHot);
  for (auto [p, v] : last) {
    auto home = disk(p);
    EXPECT_TRUE(srv_pageok(home.data(), p)) << "page " << p;
    EXPECT_EQ(pg_word(home.data(), SP_VERSION), v) << "page " << p << " lost its last update";
  }
  const dbshead &h = *dbs();
  printf("requests %d hits %d reads %d writes %d transit %d readwait %d flushwait %d nofree %d "
         "savewait %d biwait %d biflush %d\n",
         h.st_requests, h.st_hits, h.st_reads, h.st_writes, h.st_transit, h.st_readwait,
         h.st_flushwait, h.st_nofree, h.st_savewait, h.st_biwait, h.st_biflush);
  EXPECT_GE(h.st_requests, kWorkers * updates);
  EXPECT_GT(h.st_reads, kHot);  // pages were replaced and read again
  int saved = 0;                // replaced dirty contents written by the workers themselves
  for (int w = 0; w < kWorkers; w++) saved += h.users[kFirstWorker + w].nwrites;
  EXPECT_GT(saved, 0);
  EXPECT_GT(h.st_transit, 0);
  EXPECT_GT(h.st_readwait, 0);
  EXPECT_GT(h.st_flushwait, 0);
  EXPECT_GT(h.st_biflush, 0);
}

// ---- Slow ----------------------------------------------------------------------------------------

using Slow = Stress;

TEST_F(Slow, NoReplaceableBufferGivesUpAfter61Sleeps) {
  userslot *me = register_slot(1, "TOLVDB");
  std::vector<pagebuf *> held;
  const int nbufs = dbs()->lists[0].nbufs;
  for (int i = 0; i < nbufs; i++) {  // every buffer of list 0
    held.push_back(bm_getpage(hot_page(i), 0, nullptr));
    ASSERT_NE(held.back(), nullptr);
  }
  bm_unfix(held.back());  // only the tail is unfixed: never a victim
  EXPECT_EQ(bm_getpage(hot_page(nbufs), 0, nullptr), nullptr);
  EXPECT_EQ(iserrno, ER_NOBUFFER);
  EXPECT_EQ(dbs()->st_nofree, GP_VICTIMRETRIES + 1);
  EXPECT_EQ(me->uflags & US_WAITING, 0u);
  held.pop_back();
  for (pagebuf *b : held) bm_unfix(b);
  EXPECT_EQ(tolvtest::pool_problems(dbs()), "");
}

}  // namespace
