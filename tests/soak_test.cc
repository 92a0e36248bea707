// Soak test: a DBS made by tolvdb create, the installed daemon, tolvdb imgwriter and a tolvdb
// checkpoint every few seconds, under the actions of several registered worker processes; midway
// the daemon is stopped with SIGTERM and started again, and the DBS taken offline and online.
// Run by the ctest entry "soak" (label soak, TOLV_SOAK=1) and by scripts/soak; skipped elsewhere.
//
// Each worker owns pages nobody else updates, as a server's locks would give it: a hot set from
// bm_allocext and pages it creates later (ST_NEW, extents of one page) and releases again
// (bm_droppage, only in actions that commit: a bitmap page takes no local image, so an abort
// would not take a release back). An update action gives 1 to 3 of its pages new versioned
// contents (srv_fillpage, unique versions from bm_nextseq) and ends with bm_endea or bm_abortea;
// a page fixed for update must hold its last committed version, and after an abort the pages
// must read back as committed. At the end each worker reports through a pipe the last committed
// version of every page it owns and every version it rolled back.
//
// A monitor samples the partition: a hot page whose home copy changes must have its before image
// in the area of the current interval. At the end, after a final checkpoint and offline: every
// live page holds its last committed version at home and in its buffer, no user slot, pinned or
// flagged buffer is left, no fault message is in the DBS log, and tolvdb remove leaves no IPC
// object. The counts are printed. Duration: TOLV_SOAK_SECONDS (default 25), and at least
// kMinActions actions per worker; every wait has a generous bound, nothing asserts a timing.
//
// See also: getpage_stress.cc (page requests on a bare segment), testing/installed.h,
// scripts/soak.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <poll.h>
#include <pwd.h>
#include <set>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>
#include <vector>

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_free.h"
#include "bm/bm_globals.h"
#include "bm/bm_proto.h"
#include "bm/bm_shm.h"
#include "flush/ad_ckpt.h"
#include "testing/installed.h"
#include "testing/segment.h"
#include "tools/srv_log.h"
#include "tools/srv_pool.h"

namespace {

using tolvtest::eventually;
using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 4;
constexpr int kHot = 64;          // hot pages per worker: 256 in all, for a pool of 160 buffers
constexpr size_t kMaxNew = 4;     // pages a worker has created and not released
constexpr int kMinActions = 200;  // per worker, however short the run
constexpr int kCheckpointer = kWorkers;  // its index in control::paused
constexpr int kCheckpointSeconds = 3;
constexpr int kSlack = 240;  // seconds every phase may take beyond its share of the run

// 8 user slots (4 workers, image writer, tolvdb checkpoint, the daemon in the last); the smallest
// pool the checks allow for them, 160 buffers in 4 lists of 40: far more than the 4 pins a
// worker holds at once (3 local images, one fix), so a request always finds a victim. A
// before-image area of 600 pages (as many bitab entries) outnumbers the pages touched in an
// interval but for pages created meanwhile; should bitab fill before the checkpoint the image
// writer owes, the request is refused (-362) and the action rolled back, as a server would.
std::string config(const tolvtest::InstalledDbs &dbs) {
  const std::string dir = dbs.inst().path("dbs");
  return "D " + std::to_string(dbs.key()) +
         "\nS 8 2000 160 80 0x40000000 1 0\nC 300 1 4 8 4\nO 0 10 3 256\nR 8 30 0 1\nP 1200\n"
         "B " + dir + " 4 100\nT " + dir + " 4 100\nF root " + dbs.device() +
         " 6000 0\nL root 3 200\n";
}

enum phase { kRun, kPause, kStop, kDone };
enum kind { kLive, kAborted };
constexpr int kRefused = -1;  // a request refused for want of a bitab entry

struct report {
  int32_t pagenr, version, kind;
};

// Shared by the test process and its children (an anonymous shared mapping).
struct control {
  std::atomic<int> phase{kRun};
  std::atomic<int> failed{0};
  std::atomic<int> paused[kWorkers + 1]{};
  std::atomic<int32_t> hotfirst[kWorkers]{};  // first hot page of each worker, once committed
  std::atomic<int> actions[kWorkers]{};
  std::atomic<int> updates{0}, aborts{0}, rolled{0}, refused{0}, created{0}, dropped{0};
  std::atomic<int> reads{0};
  std::atomic<int> checkpoints{0}, verdicts{0};
};

int env_seconds() {
  const char *v = getenv("TOLV_SOAK_SECONDS");
  return v != nullptr && atoi(v) > 0 ? atoi(v) : 25;
}

int32_t version_of(const unsigned char *page) {
  return pg_word(page, PH_PAGETYPE) == PT_STANDIN ? pg_word(page, SP_VERSION) : -1;
}

// Whether page holds the contents srv_fillpage gives page p in version v. The stamps of a
// before image (PH_STAMP, PH_BISEQ, PH_BISEQ2) are the buffer manager's: a page just imaged
// by its fix for update, or put back from a local image taken after its before image, carries
// them; the writer's pid is not compared either.
bool holds(const unsigned char *page, int32_t p, int32_t v) {
  unsigned char want[PAGESIZE];
  srv_fillpage(want, p, v);
  return pg_word(page, PH_PAGENR) == p && version_of(page) == v &&
         memcmp(page + SP_PATTERN, want + SP_PATTERN, SP_CHECKSUM - SP_PATTERN) == 0;
}

// Process i of the paused list waits while the phase is kPause.
void pause(control *ctl, int i) {
  ctl->paused[i] = 1;
  while (ctl->phase.load() == kPause) bm_nap(10);
  ctl->paused[i] = 0;
}

// ---- Workers -----------------------------------------------------------------------------------

class Worker {
 public:
  Worker(int w, control *ctl) : w_(w), ctl_(ctl), seed_(static_cast<unsigned>(w * 7919 + 1)) {}

  // Registers, allocates the hot set, works until the stop, reports to fd. 0, or the step that
  // failed (also reported on stderr).
  int run(int fd) {
    bm_mypid = getpid();
    if (bm_usrin(bm_dbs, "SOAK", "", "", "local") != 0) return fail(1, "bm_usrin", 0);
    if (int r = make_hot(); r != 0) return r;
    for (int ph; (ph = ctl_->phase.load()) != kStop && ph != kDone;) {
      if (ph == kPause) {
        pause(ctl_, w_);  // between actions only: the DBS may go offline meanwhile
        continue;
      }
      ctl_->actions[w_]++;
      int r = random(10) == 0 ? read_action() : update_action();
      if (r != 0) return r;
    }
    int r = report_to(fd);
    bm_usrout(bm_mypid);
    return r;
  }

 private:
  unsigned random(unsigned n) { return static_cast<unsigned>(rand_r(&seed_)) % n; }

  int fail(int step, const char *what, int32_t page) {
    fprintf(stderr, "worker %d: %s: page %d: iserrno %d\n", w_, what, page, iserrno);
    ctl_->failed = 1;
    return step;
  }

  // Fixes page p for update and gives it new contents; *version receives them. ST_NEW: a page
  // of a fresh extent; otherwise the page must hold its last committed version. kRefused when
  // bitab is full.
  int update(int32_t p, int state, int32_t *version) {
    pagebuf *b = bm_getpage(p, state, nullptr);
    if (b == nullptr && iserrno == ER_BITABFULL) return kRefused;
    if (b == nullptr) return fail(10, "update request", p);
    bool ok = (state & ST_NEW) != 0 || holds(b->page, p, committed_[p]);
    *version = bm_nextseq();
    srv_fillpage(b->page, p, *version);
    bm_unfix(b);
    return ok ? 0 : fail(11, "not the committed version", p);
  }

  // Reads page p: 0 when it holds version (or, with version -1, when it is page p at all).
  int read(int32_t p, int32_t version) {
    pagebuf *b = bm_getpage(p, 0, nullptr);
    if (b == nullptr) return fail(20, "read request", p);
    bool ok = version < 0 ? pg_word(b->page, PH_PAGENR) == p : holds(b->page, p, version);
    bm_unfix(b);
    return ok ? 0 : fail(21, "read a wrong version", p);
  }

  // Ends an update action with a log record naming its first page and version.
  int commit(const std::vector<report> &done) {
    std::vector<unsigned char> rec = srv_logrecord(LR_HEADLEN + 8 + LR_TRAILLEN, bm_sessno(), 1);
    pg_setword(rec.data(), LR_HEADLEN, done.empty() ? -1 : done[0].pagenr);
    pg_setword(rec.data(), LR_HEADLEN + 4, done.empty() ? -1 : done[0].version);
    if (bm_endea(static_cast<int>(rec.size()), rec.data(), nullptr) == nullptr)
      return fail(30, "bm_endea", -1);
    for (const report &r : done) committed_[r.pagenr] = r.version;
    return 0;
  }

  int make_hot() {
    if (bm_startea(nullptr, 0, EA_UPDATE) != 0) return fail(2, "bm_startea", -1);
    std::vector<report> done;
    int32_t first = -1;
    if (int r = create(kHot, &first, &done); r != 0) return r == kRefused ? fail(3, "hot", -1) : r;
    if (int r = commit(done); r != 0) return r;
    for (int32_t p = first; p < first + kHot; p++) hot_.push_back(p);
    ctl_->hotfirst[w_] = first;
    return 0;
  }

  // Two own pages must read as committed; a hot page of another worker must be that page.
  int read_action() {
    if (bm_startea(nullptr, 0, EA_READ) != 0) return fail(40, "bm_startea", -1);
    for (int i = 0; i < 2; i++) {
      int32_t p = hot_[random(kHot)];
      if (int r = read(p, committed_[p]); r != 0) return r;
    }
    int32_t other = ctl_->hotfirst[random(kWorkers)], r = 0;
    if (other > 0 && (r = read(other + static_cast<int32_t>(random(kHot)), -1)) != 0) return r;
    bm_endea(0, nullptr, nullptr);
    ctl_->reads++;
    return 0;
  }

  // 1 to 3 distinct own pages (hot or created earlier), none of them excluded.
  std::vector<int32_t> pick(int32_t excluded) {
    std::vector<int32_t> own = hot_;
    own.insert(own.end(), created_.begin(), created_.end());
    std::set<int32_t> chosen;
    for (unsigned n = 1 + random(3); chosen.size() < n;) {
      int32_t p = own[random(static_cast<unsigned>(own.size()))];
      if (p != excluded) chosen.insert(p);
    }
    return {chosen.begin(), chosen.end()};
  }

  // The n pages of a fresh extent (its first into *first) with contents; versions into done.
  int create(int n, int32_t *first, std::vector<report> *done) {
    *first = bm_allocext(0, n);
    if (*first < 0) return iserrno == ER_BITABFULL ? kRefused : fail(51, "bm_allocext", -1);
    bm_newextent(*first, n);
    int r = 0;
    for (int32_t p = *first, v = 0; p < *first + n && r == 0; p++)
      if ((r = update(p, ST_NEW | ST_UPDATE, &v)) == 0) done->push_back({p, v, kLive});
    return r;
  }

  // The release, when there is one, comes last: only an action that commits releases a page.
  int update_action() {
    bool abort = random(5) == 0;
    if (bm_startea(nullptr, 0, EA_UPDATE) != 0) return fail(50, "bm_startea", -1);
    std::vector<report> done;
    int32_t fresh = -1, released = -1;
    int r = 0;
    if (created_.size() < kMaxNew && random(10) == 0)
      r = create(1, &fresh, &done);
    else if (!abort && !created_.empty() && random(4) == 0)
      released = created_[random(static_cast<unsigned>(created_.size()))];
    for (int32_t p : pick(released)) {
      int32_t v = 0;
      if (r == 0 && (r = update(p, ST_UPDATE, &v)) == 0) done.push_back({p, v, kLive});
    }
    if (r == kRefused) ctl_->refused++;
    if (r == kRefused || abort) return roll_back(done, fresh);
    if (r != 0) return r;
    if (released >= 0) bm_droppage(0, released);
    if ((r = commit(done)) != 0) return r;
    if (fresh >= 0) created_.push_back(fresh);
    if (released >= 0) {
      std::erase(created_, released);
      committed_.erase(released);
      ctl_->dropped++;
    }
    ctl_->created += fresh >= 0;
    ctl_->updates += static_cast<int>(done.size());
    return 0;
  }

  // Aborts the action; its pages must read back as committed (a page of the action's own extent
  // went back to the free pages and is no longer this worker's).
  int roll_back(const std::vector<report> &done, int32_t fresh) {
    bm_abortea(bm_myslot);
    ctl_->aborts++;
    if (bm_startea(nullptr, 0, EA_READ) != 0) return fail(60, "bm_startea", -1);
    ctl_->rolled += static_cast<int>(done.size());
    for (const report &d : done) {
      aborted_.push_back({d.pagenr, d.version, kAborted});
      if (d.pagenr == fresh) continue;
      if (int r = read(d.pagenr, committed_[d.pagenr]); r != 0) return r;
    }
    bm_endea(0, nullptr, nullptr);
    return 0;
  }

  int report_to(int fd) {
    std::vector<report> all = aborted_;
    for (auto [p, v] : committed_) all.push_back({p, v, kLive});
    // Whole records of several workers' writes to the one pipe never interleave: each write
    // is at most PIPE_BUF bytes, which the pipe keeps together.
    constexpr size_t kChunk = PIPE_BUF / sizeof(report);
    for (size_t i = 0; i < all.size(); i += kChunk) {
      size_t bytes = std::min(kChunk, all.size() - i) * sizeof(report);
      if (write(fd, &all[i], bytes) != static_cast<ssize_t>(bytes)) return fail(70, "report", -1);
    }
    return 0;
  }

  int w_;
  control *ctl_;
  unsigned seed_;
  std::vector<int32_t> hot_, created_;
  std::map<int32_t, int32_t> committed_;  // live page -> last committed version
  std::vector<report> aborted_;
};

// ---- Monitor and checkpointer ------------------------------------------------------------------

bool read_disk(int fd, int32_t p, unsigned char *page) {
  return pread(fd, page, PAGESIZE, off_t{p} * PAGESIZE) == PAGESIZE;
}

// Whether the area of the current interval (bifirst .. binext - 1) holds an image of p.
bool imaged(int fd, const dbshead *h, int32_t p) {
  int32_t end = __atomic_load_n(&h->binext, __ATOMIC_ACQUIRE);
  unsigned char img[PAGESIZE];
  for (int32_t a = h->bifirst; a < end; a++)
    if (read_disk(fd, a, img) && pg_word(img, PH_PAGENR) == p) return true;
  return false;
}

// Until kDone: 0, or 2 when a hot page's home copy changed without its before image. A change
// seen in a round happened after the page was read in the round before; the verdict is given
// only when no checkpoint ran in that window: none running at the start of either round or
// after the read, and the root page as it was at the start of the round before.
int monitor(const dbshead *h, control *ctl, const std::string &device) {
  int fd = open(device.c_str(), O_RDONLY);
  std::map<int32_t, int32_t> seen;  // hot page -> version last seen at home
  unsigned char page[PAGESIZE], root[PAGESIZE], before[PAGESIZE], after[PAGESIZE];
  auto checkpointing = [h] {
    return (__atomic_load_n(&h->ckptflags, __ATOMIC_ACQUIRE) & CK_RUNNING) != 0;
  };
  bool ran_before = true;  // the first round judges nothing
  while (ctl->phase.load() != kDone) {
    bool ran = checkpointing();
    if (!read_disk(fd, ROOT_PAGENR, root)) return 1;
    for (int w = 0; w < kWorkers; w++) {
      int32_t first = ctl->hotfirst[w];
      for (int32_t p = first; first > 0 && p < first + kHot; p++) {
        if (!read_disk(fd, p, page)) return 1;
        int32_t v = version_of(page), last = seen.count(p) != 0 ? seen[p] : -1;
        if (v == last) continue;
        seen[p] = v;
        if (last < 0 || v < 0 || ran_before || ran) continue;
        if (imaged(fd, h, p)) {
          ctl->verdicts++;
          continue;
        }
        if (checkpointing() || !read_disk(fd, ROOT_PAGENR, after) ||
            memcmp(before, after, PAGESIZE) != 0)
          continue;
        fprintf(stderr, "monitor: page %d went from version %d to %d at home without its "
                "before image in the area (pages %d to %d)\n", p, last, v, h->bifirst,
                h->binext - 1);
        return 2;
      }
    }
    ran_before = ran;
    memcpy(before, root, PAGESIZE);
    bm_nap(10);
  }
  return 0;
}

// Runs tolvdb with args, its streams appended to out; the child's pid.
pid_t spawn(const std::vector<std::string> &args, const std::string &out) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(99);
  std::string prog = tolvtest::tolvdb_path();
  std::vector<char *> argv{prog.data()};
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(prog.c_str(), argv.data());
  _exit(98);
}

// A checkpoint by tolvdb every few seconds while the workers run. 0, or 1 when one failed.
int checkpointer(control *ctl, const std::string &out) {
  for (int ph; (ph = ctl->phase.load()) == kRun || ph == kPause;) {
    if (ph == kPause) {
      pause(ctl, kCheckpointer);
      continue;
    }
    if (tolvtest::wait_child(spawn({"checkpoint"}, out), kSlack) != 0) return 1;
    ctl->checkpoints++;
    for (int ms = 0; ms < kCheckpointSeconds * 1000 && ctl->phase.load() == kRun; ms += 10)
      bm_nap(10);
  }
  return 0;
}

// ---- The test ----------------------------------------------------------------------------------

class Soak : public testing::Test {
 protected:
  void SetUp() override {
    if (!enabled_)
      GTEST_SKIP() << "run by the ctest entry soak (TOLV_SOAK=1) or scripts/soak";
    if (geteuid() != 0 || getpwnam("tolv") == nullptr) GTEST_SKIP() << "needs root and the user tolv";
    void *m = mmap(nullptr, sizeof(control), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    ASSERT_NE(m, MAP_FAILED);
    ctl_ = new (m) control;
  }
  // After a failure: the children still running are killed (every one was started here).
  void TearDown() override {
    if (ctl_ == nullptr) return;
    ctl_->phase = kDone;
    for (pid_t pid : children_) kill(pid, SIGKILL);
    for (pid_t pid : children_) waitpid(pid, nullptr, 0);
    munmap(ctl_, sizeof(control));
    tolvtest::clear_settings();
  }

  pid_t fork_child(const std::function<int()> &body) {
    pid_t pid = tolvtest::fork_child(body);
    children_.push_back(pid);
    return pid;
  }
  // Waits for a child of fork_child or spawn: its exit status, or -1 (see wait_child).
  int wait(pid_t pid) {
    std::erase(children_, pid);
    return tolvtest::wait_child(pid, kSlack);
  }
  std::string logfile(const std::string &name) const { return dbs_.inst().path("log/" + name); }
  dbshead *head() const { return dbs_.head(); }

  // Starts the installed daemon and waits until it is registered.
  void start_daemon() {
    tolvtest::runresult r = dbs_.tolvflush({"testdbs"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(eventually([&] { return dbs_.daemon_slot() != nullptr; }, kSlack));
  }
  // The daemon and the image writer, both registered.
  void start_helpers() {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    imgwriter_ = spawn({"imgwriter"}, logfile("soak.imgwriter"));
    children_.push_back(imgwriter_);
    ASSERT_TRUE(eventually([&] { return head()->imgwriter != -1; }, kSlack));
  }
  void restart_daemon() {
    ASSERT_NE(dbs_.daemon_slot(), nullptr);
    pid_t pid = dbs_.daemon_slot()->pid;
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_EQ(dbs_.wait_exit(pid, kSlack), 0);
    ASSERT_NO_FATAL_FAILURE(start_daemon());
  }
  // Takes the DBS offline (the daemon and the image writer leave); online again with both.
  void offline(bool again) {
    ASSERT_NE(dbs_.daemon_slot(), nullptr);
    pid_t daemon = dbs_.daemon_slot()->pid;
    ASSERT_EQ(dbs_.tolvdb({"state", "0"}).status, 0);
    EXPECT_EQ(dbs_.wait_exit(daemon, kSlack), 0);
    EXPECT_EQ(wait(imgwriter_), 0);
    if (!again) return;
    ASSERT_EQ(dbs_.tolvdb({"state", "1"}).status, 0);
    ASSERT_NO_FATAL_FAILURE(start_helpers());
  }
  void pause_all() {
    ctl_->phase = kPause;
    ASSERT_TRUE(eventually(
        [&] {
          for (const auto &p : ctl_->paused)
            if (p == 0) return false;
          return true;
        },
        kSlack));
  }
  // Until time t and at least min actions per worker, or a failure.
  void run_until(Clock::time_point t, int min) {
    ASSERT_TRUE(eventually(
        [&] {
          if (ctl_->failed != 0) return true;
          for (const auto &a : ctl_->actions)
            if (a < min) return false;
          return Clock::now() >= t;
        },
        seconds_ + kSlack));
    ASSERT_EQ(ctl_->failed, 0);
  }
  // Every report of the workers, read until all have closed the pipe.
  std::vector<report> collect(int fd) {
    std::string bytes;
    char buf[65536];
    auto deadline = Clock::now() + std::chrono::seconds(kSlack);
    for (ssize_t n = 1; n != 0 && Clock::now() < deadline;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) continue;
      n = ::read(fd, buf, sizeof buf);
      if (n > 0) bytes.append(buf, static_cast<size_t>(n));
    }
    std::vector<report> all(bytes.size() / sizeof(report));
    memcpy(all.data(), bytes.data(), all.size() * sizeof(report));
    return all;
  }

  // Checks the reports against the disk and the pool; the number of rolled-back versions.
  int expect_committed(const std::vector<report> &reports, const std::string &device) {
    // The reports are complete: every page owned at the end, every version rolled back.
    std::map<int32_t, int32_t> live;
    int rolled = 0;
    for (const report &r : reports) {
      if (r.kind == kLive) live[r.pagenr] = r.version;
      rolled += r.kind == kAborted;
    }
    EXPECT_EQ(static_cast<int>(live.size()), kWorkers * kHot + ctl_->created - ctl_->dropped);
    EXPECT_EQ(rolled, ctl_->rolled);
    // Every live page holds its last committed version, at home and in its buffer. Versions
    // are unique (bm_nextseq): none of a page's rolled-back versions is left there either.
    int fd = open(device.c_str(), O_RDONLY);
    unsigned char page[PAGESIZE];
    for (auto [p, v] : live) {
      EXPECT_TRUE(read_disk(fd, p, page) && holds(page, p, v))
          << "page " << p << " holds version " << version_of(page) << ", not " << v;
    }
    close(fd);
    const dbshead *h = head();
    for (int l = 0; l < h->nlists; l++)
      for (int b = 0; b < h->lists[l].nbufs; b++) {
        const pagebuf &buf = h->lists[l].bufs[b];
        int32_t p = pg_word(buf.page, PH_PAGENR);
        EXPECT_EQ(buf.flags & (BF_DIRTY | BF_LOCIMG | BF_NEW | BF_FLUSHING), 0u) << "page " << p;
        bool stale = live.count(p) != 0 && !holds(buf.page, p, live[p]);
        EXPECT_FALSE(stale) << "the buffer of page " << p << " holds another version";
      }
    return rolled;
  }
  void print_counts(int rolled, int checkpoints) const {
    const dbshead *h = head();
    int actions = 0;
    for (const auto &a : ctl_->actions) actions += a;
    printf("soak %d s: actions %d, pages updated %d, aborts %d (bitab refusals %d, pages rolled "
           "back %d), pages created %d, released %d, reads %d, checkpoints %d (by tolvdb "
           "checkpoint %d), home changes checked against the area %d\n",
           seconds_, actions, ctl_->updates.load(), ctl_->aborts.load(), ctl_->refused.load(),
           rolled, ctl_->created.load(), ctl_->dropped.load(), ctl_->reads.load(), checkpoints,
           ctl_->checkpoints.load(), ctl_->verdicts.load());
    printf("pages read %d, written %d; requests %d, hits %d; waits: transit %d, readwait %d, "
           "flushwait %d, nofree %d, savewait %d, biwait %d, archwait %d; image writes %d\n",
           h->st_reads, h->st_writes, h->st_requests, h->st_hits, h->st_transit,
           h->st_readwait, h->st_flushwait, h->st_nofree, h->st_savewait, h->st_biwait,
           h->st_archwait, h->st_biflush);
  }

  // Read before the installation is made: it clears every TOLV variable.
  const bool enabled_ = getenv("TOLV_SOAK") != nullptr;
  const int seconds_ = env_seconds();
  tolvtest::InstalledDbs dbs_;
  control *ctl_ = nullptr;
  std::vector<pid_t> children_;
  pid_t imgwriter_ = 0;
};

TEST_F(Soak, CommittedUpdatesSurviveRestartsOfflineAndCheckpoints) {
  dbs_.inst().write("etc/testdbs.cfg", config(dbs_));
  tolvtest::runresult c = dbs_.create();
  ASSERT_EQ(c.status, 0) << c.err;
  ASSERT_NE(dbs_.attach(), nullptr);
  tolvtest::use_settings(dbs_.inst());
  head()->logctl.lc_autofree = 1;  // as the server does without log backups: the ring wraps
  ASSERT_EQ(dbs_.tolvdb({"flushpct", "-1"}).status, 0);
  ASSERT_NO_FATAL_FAILURE(start_helpers());

  const dbshead *h = head();
  control *ctl = ctl_;
  std::string device = dbs_.device(), ckptlog = logfile("soak.ckpt");
  pid_t mon = fork_child([=] { return monitor(h, ctl, device); });
  pid_t ckpt = fork_child([=] { return checkpointer(ctl, ckptlog); });
  int fds[2];  // made after the helpers, so that only the workers hold its write end
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  std::vector<pid_t> workers;
  for (int w = 0; w < kWorkers; w++)
    workers.push_back(fork_child([=] { return Worker(w, ctl).run(fds[1]); }));
  close(fds[1]);

  auto start = Clock::now();
  auto at = [&](int third) { return start + std::chrono::seconds(seconds_ * third / 3); };
  ASSERT_NO_FATAL_FAILURE(run_until(at(1), 0));
  ASSERT_NO_FATAL_FAILURE(restart_daemon());
  ASSERT_NO_FATAL_FAILURE(run_until(at(2), 0));
  ASSERT_NO_FATAL_FAILURE(pause_all());
  ASSERT_NO_FATAL_FAILURE(offline(true));
  ctl_->phase = kRun;
  ASSERT_NO_FATAL_FAILURE(run_until(at(3), kMinActions));
  ctl_->phase = kStop;
  std::vector<report> reports = collect(fds[0]);
  close(fds[0]);
  for (pid_t w : workers) EXPECT_EQ(wait(w), 0);
  EXPECT_EQ(wait(ckpt), 0) << "a checkpoint failed";
  ASSERT_EQ(ctl_->failed, 0);

  tolvtest::runresult fin = dbs_.tolvdb({"checkpoint"});
  ASSERT_EQ(fin.status, 0) << fin.err;
  ctl_->phase = kDone;
  EXPECT_EQ(wait(mon), 0) << "a page reached its home before its image";
  ASSERT_NO_FATAL_FAILURE(offline(false));

  int rolled = expect_committed(reports, device);
  EXPECT_EQ(tolvtest::pool_problems(h), "");
  for (int i = 0; i < h->nusers; i++) EXPECT_EQ(h->users[i].progname[0], '\0') << "slot " << i;
  std::string log = dbs_.log_text();
  for (const char *fault : {"restorelocimg", "already freed", "bm_saveimagebuf", "bm_abortea",
                            "Checkpoint aborted", "could not be written", "bm_droppage"})
    EXPECT_EQ(log.find(fault), std::string::npos) << fault << " in the message log:\n" << log;
  int checkpoints = 0;
  for (size_t at = 0; (at = log.find("Checkpoint terminated", at)) != std::string::npos; at++)
    checkpoints++;
  print_counts(rolled, checkpoints);
  EXPECT_GT(ctl_->aborts, 0);
  EXPECT_GT(ctl_->created, 0);
  EXPECT_GT(ctl_->dropped, 0);
  EXPECT_GT(checkpoints, 0);
  EXPECT_GT(ctl_->verdicts, 0);  // the monitor saw changes at home and found their images

  tolvtest::runresult rm = dbs_.tolvdb({"remove"});
  EXPECT_EQ(rm.status, 0) << rm.err;
  EXPECT_LT(shmget(dbs_.key(), 0, 0), 0);
  EXPECT_LT(semget(dbs_.key(), 0, 0), 0);
}

}  // namespace
